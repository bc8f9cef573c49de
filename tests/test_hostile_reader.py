"""Hostile OpenQASM programs: each ends in a named error or a correct reading, within
seconds and a bounded memory, and none crashes the interpreter, even on a 1 MiB stack."""

import json
import math
import resource
import subprocess
import sys
import textwrap

import pytest

from corvane.circuit.limits import LimitExceeded
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.quantumcircuit_helpers import (
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    three_qubit_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)

# The child's ceilings: a runaway allocation fails rather than swap, a runaway
# recursion meets a small stack. The memory a reading may take is checked apart.
_ADDRESS_SPACE = 1 << 30
_STACK = 1 << 20
_MEMORY = 500 << 20


def _limit_child():
    resource.setrlimit(resource.RLIMIT_AS, (_ADDRESS_SPACE, _ADDRESS_SPACE))
    resource.setrlimit(resource.RLIMIT_STACK, (_STACK, _STACK))


# Runs `code` (which sets `call`, a function of no arguments) and reports the
# exception it raised and the peak memory of the process.
_HARNESS = """
import json, resource
{code}
try:
    call()
    error = None
except Exception as e:
    error = (type(e).__name__, str(e)[:300])
print(json.dumps({{"error": error, "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss}}))
"""


def _run_in_child(code):
    done = subprocess.run(
        [sys.executable, "-c", _HARNESS.format(code=textwrap.dedent(code))],
        capture_output=True,
        text=True,
        timeout=60,
        preexec_fn=_limit_child,
    )
    assert done.returncode == 0, done.stderr[-2000:]
    report = json.loads(done.stdout)
    assert report["rss"] * 1024 < _MEMORY
    return report["error"]


def _read(program):
    """Code that reads the program `program` (a Python expression making its text)."""
    return f"""
        from corvane.circuit.quantumcircuit import QuantumCircuit
        text = {program}
        call = lambda: QuantumCircuit.from_qasm(text)
    """


def _chain(n, link, seed="1"):
    return f"({link!r} * {n} + {seed!r})"


def _nested_if_entries(version):
    return f"""
        from corvane.circuit.quantumcircuit import QuantumCircuit
        qc = QuantumCircuit(1, 1)
        entry = ("x", 0)
        for _ in range(100_000):
            entry = ("if", (0,), 1, (entry,), ())
        qc.gates = [entry]
        call = lambda: qc.to_qasm(version={version})
    """


V2 = "'OPENQASM 2.0;\\nqreg q[1];\\n'"
V3 = "'OPENQASM 3;\\nqubit q;\\nbit c;\\n'"


def _doubling(last):
    """A program of definitions g0 ... g`last`, each applying the one before twice, and
    an application of the last: 2^last gates."""
    return (
        "'OPENQASM 2.0;\\nqreg q[1];\\ngate g0 a { x a; }\\n' + ''.join("
        "f'gate g{i} a {{ g{i-1} a; g{i-1} a; }}\\n' for i in range(1, "
        + str(last + 1)
        + f")) + 'g{last} q[0];'"
    )


_HOSTILE_IDS = [
    "power-chain-2",
    "power-chain-3",
    "minus-chain",
    "plus-chain",
    "parentheses",
    "functions",
    "sum-chain",
    "tilde-chain",
    "not-chain",
    "if-blocks",
    "if-else-chain",
    "braces",
    "if-2",
    "definition-chain",
    "writer-if-2",
    "writer-if-3",
    "qubits",
    "classical-bits",
    "doubling-40",
    "doubling-79",
    "long-name",
    "long-integer",
]


@pytest.mark.parametrize(
    "code, error, message",
    [
        # operator chains and nesting forms, each past any stack
        (
            _read(f"{V2} + 'rx(' + {_chain(110_000, '1^')} + ') q[0];'"),
            "ValueError",
            "line 3: expression nested too deeply",
        ),
        (
            _read(f"{V3} + 'rx(' + {_chain(110_000, '1**')} + ') q;'"),
            "ValueError",
            "line 4: expression nested too deeply",
        ),
        (
            _read(f"{V2} + 'rx(' + {_chain(200_000, '-')} + ') q[0];'"),
            "ValueError",
            "line 3: expression nested too deeply",
        ),
        (_read(f"{V2} + 'rx(' + {_chain(200_000, '+')} + ') q[0];'"), None, None),
        (
            _read(f"{V2} + 'rx(' + {_chain(200_000, '(')} + ')' * 200_000 + ') q[0];'"),
            "ValueError",
            "line 3: expression nested too deeply",
        ),
        (
            _read(f"{V2} + 'rx(' + {_chain(200_000, 'sin(')} + ')' * 200_000 + ') q[0];'"),
            "ValueError",
            "line 3: expression nested too deeply",
        ),
        (
            _read(f"{V2} + 'rx(' + {_chain(200_000, '1+')} + ') q[0];'"),
            "ValueError",
            "line 3: expression nested too deeply",
        ),
        (
            _read(f"{V3} + 'rx(' + {_chain(200_000, '~')} + ') q;'"),
            "ValueError",
            "line 4: expected a number, a parameter or '(', got '~'",
        ),
        (
            _read(f"{V3} + 'rx(' + {_chain(200_000, '!')} + ') q;'"),
            "ValueError",
            "line 4: expected a number, a parameter or '(', got '!'",
        ),
        (
            _read(f"{V3} + 'if (c) {{' * 200_000 + 'x q;' + '}}' * 200_000"),
            "ValueError",
            "line 4: 'if' blocks nested too deeply",
        ),
        (
            _read(f"{V3} + 'if (c) x q; else ' * 200_000 + 'x q;'"),
            "ValueError",
            "line 4: 'if' blocks nested too deeply",
        ),
        (
            _read(f"{V3} + '{{' * 200_000 + 'x q;' + '}}' * 200_000"),
            "ValueError",
            "line 4: expected a statement, got '{'",
        ),
        (
            _read(
                "'OPENQASM 2.0;\\nqreg q[1];\\ncreg c[1];\\n' + 'if (c==1) ' * 200_000 + 'x q[0];'"
            ),
            "ValueError",
            "line 4: 'if' controls a gate, a measure or a reset, got 'if'",
        ),
        # a chain of 100,000 definitions, each applying the one before
        (
            _read(
                "'OPENQASM 2.0;\\nqreg q[1];\\ngate g0 a { x a; }\\n' + ''.join(f'gate g{i} a {{ g{i-1}"
                " a; }}\\n' for i in range(1, 100_000)) + 'g99999 q[0];'"
            ),
            "ValueError",
            "line 100003: gate 'g99999' expands through definitions nested too deeply",
        ),
        # the writer over 100,000 nested conditionals
        (_nested_if_entries(2), "ValueError", "cannot write gate entry 0 (nested too deeply"),
        (_nested_if_entries(3), "ValueError", "cannot write gate entry 0 (nested too deeply"),
        # declarations and expansions past the ceilings, refused before the work
        (
            _read("'qreg q[268435456];'"),
            "LimitExceeded",
            "line 1: 268435456 qubits declared, over the ceiling of 1048576 (raise it with "
            "max_qubits= or --max-qubits)",
        ),
        (
            _read("'OPENQASM 3;\\nbit[4294967295] c;'"),
            "LimitExceeded",
            "line 2: 4294967295 classical bits declared, over the ceiling of 1048576",
        ),
        (
            _read(_doubling(40)),
            "LimitExceeded",
            "line 44: gate 'g40' expands to 1099511627776 gates, over the ceiling of 50000000 "
            "(raise it with max_gates= or --max-gates)",
        ),
        (
            _read(_doubling(79)),
            "LimitExceeded",
            "line 83: gate 'g79' expands to 18446744073709551615 gates",
        ),
        # messages: a huge name cut, a huge literal named by its line
        (
            _read(f"{V2} + 'x ' + 'b' * 10_000_000 + '[0];'"),
            "ValueError",
            "line 3: unknown quantum register '" + "b" * 40 + "'... (10000000 characters)",
        ),
        (
            _read(f"{V2} + 'rx(' + '9' * 5000 + ') q[0];'"),
            "ValueError",
            "line 3: integer of 5000 digits is over the interpreter's limit",
        ),
    ],
    ids=_HOSTILE_IDS,
)
def test_hostile_programs_end_in_a_named_error_in_bounded_time_and_memory(code, error, message):
    got = _run_in_child(code)
    if error is None:
        assert got is None
    else:
        assert got is not None and got[0] == error and got[1].startswith(message), got


def test_the_deepest_programs_read_fit_a_thread_of_128_kib():
    # Each nesting form at its ceiling: 1000 levels of expression, 100 of blocks and of
    # definitions; a thread of 128 KiB is the smallest default of common C libraries.
    code = """
        import threading
        from corvane.circuit.quantumcircuit import QuantumCircuit as QC
        V2, V3 = "OPENQASM 2.0;\\nqreg q[1];\\n", "OPENQASM 3;\\nqubit q;\\nbit c;\\n"
        programs = [
            V2 + "rx(" + "1+" * 999 + "1) q[0];",
            V2 + "rx(" + "(" * 999 + "1" + ")" * 999 + ") q[0];",
            V2 + "gate g(t) a { rx(" + "-" * 999 + "t) a; }\\ng(1) q[0];",
            V3 + "if (c) {" * 100 + "x q;" + "}" * 100,
            V2 + "gate g0 a { x a; }\\n"
            + "".join(f"gate g{i} a {{ g{i - 1} a; }}\\n" for i in range(1, 100))
            + "g99 q[0];",
        ]
        threading.stack_size(128 << 10)
        def call():
            read = []
            thread = threading.Thread(target=lambda: read.extend(QC.from_qasm(p) for p in programs))
            thread.start()
            thread.join()
            assert len(read) == len(programs)
    """
    assert _run_in_child(code) is None


# ---- what a program's definitions mean -----------------------------------------------

H3 = "OPENQASM 3;\n"
H2 = "OPENQASM 2.0;\n"
QELIB = 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'
STDGATES = 'OPENQASM 3;\ninclude "stdgates.inc";\n'


# The core's tests (cpp/tests/test_qasm.cpp) hold the rest of these rules' cases.
@pytest.mark.parametrize(
    "text, gates",
    [
        # without an include, a program's definition of a library name is its own gate
        (H2 + "qreg q[1];\ngate h a { U(pi,0,pi) a; }\nh q[0];", [("u", math.pi, 0, math.pi, 0)]),
        (H3 + "qubit q;\ngate x a { h a; }\nx q;", [("h", 0)]),
        (H2 + "qreg q[2];\ngate cx a, b { h a; }\ncx q[0], q[1];", [("h", 0)]),
        (H3 + "qubit[2] q;\ngate rzz(t) a, b { h a; }\nrzz(1) q[0], q[1];", [("h", 0)]),
        # a condition on one bit compares with true
        (STDGATES + "qubit q;\nbit c;\nif (c == true) x q;", [("if", (0,), 1, (("x", 0),), ())]),
    ],
)
def test_a_programs_definition_is_what_its_name_means(text, gates):
    assert QuantumCircuit.from_qasm(text).gates == gates


@pytest.mark.parametrize(
    "text, message",
    [
        (STDGATES + "gate cphase(t) a, b { }", "line 3: gate 'cphase' is defined by stdgates.inc"),
        (H3 + "gate U(a, b, c) x { }", "line 2: gate 'U' is built into the language"),
        (
            STDGATES + "qubit q;\nbit[2] c;\nif (c != false) x q;",
            "line 5: a register of 2 bits compares with an integer, not with 'false'",
        ),
        # line ends: CR, CRLF and LF each end one line, in comments too
        (QELIB + "qreg q[1];\rx q[0];\r\nx q[1];", "line 5: index 1 out of range"),
        (STDGATES + "qubit q;\r/* a\rb\r\nc */ x q[1];", "line 6: index 1 out of range"),
        # a NUL shown escaped, not cutting the message
        (H2 + 'include "qe\0lib1.inc";', 'line 2: only "qelib1.inc" can be included, got "qe\\x00'),
    ],
)
def test_redefinitions_and_odd_text_are_refused_by_line(text, message):
    with pytest.raises(ValueError) as raised:
        QuantumCircuit.from_qasm(text)
    assert str(raised.value).startswith(message)


def test_a_byte_order_mark_is_read_past():
    text = "\ufeff" + QELIB + "qreg q[1];\nh q[0];"
    assert QuantumCircuit.from_qasm(text).gates == [("h", 0)]


# ---- ceilings ------------------------------------------------------------------------


def test_ceilings_are_raised_by_keyword_and_validated():
    text = QELIB + "qreg q[3];\ncreg c[3];\nh q;"
    assert QuantumCircuit.from_qasm(text, max_qubits=3, max_gates=3).nqubits == 3
    with pytest.raises(LimitExceeded, match=r"^line 3: 3 qubits declared, over the ceiling of 2"):
        QuantumCircuit.from_qasm(text, max_qubits=2)
    with pytest.raises(LimitExceeded, match=r"^line 5: the program reads over 2 gates"):
        QuantumCircuit.from_qasm(text, max_gates=2)
    for bad, error in [(0, ValueError), (-1, ValueError), (True, TypeError), (2.0, TypeError)]:
        with pytest.raises(error, match="max_gates must be a positive int"):
            QuantumCircuit.from_qasm(text, max_gates=bad)
    assert QuantumCircuit.from_qasm(text, max_gates=10**30).gates == [("h", q) for q in range(3)]


# ---- the writer's own definitions read back as their gates ---------------------------

_GATE_SET = [
    (name, nqubits, nparams)
    for category, nqubits in [
        (one_qubit_gates_available, 1),
        (two_qubit_gates_available, 2),
        (three_qubit_gates_available, 3),
        (one_qubit_parameter_gates_available, 1),
        (two_qubit_parameter_gates_available, 2),
    ]
    for name, nparams in category.items()
]


@pytest.mark.parametrize("version", [2, 3])
@pytest.mark.parametrize("name, nqubits, nparams", _GATE_SET)
def test_every_gate_the_writer_defines_reads_back_as_itself(name, nqubits, nparams, version):
    qc = QuantumCircuit(3)
    entry = (name, *[0.25 + k for k in range(nparams)], *[2 - q for q in range(nqubits)])
    qc.gates = [entry]
    back = QuantumCircuit.from_qasm(qc.to_qasm(version=version))
    assert back.gates == [("cx", *entry[1:]) if name == "cnot" else entry]
