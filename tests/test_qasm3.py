"""OpenQASM 3 reading and writing, and the conditionals of both versions: stdgates.inc
against the peer toolkit's reading, round trips through our reader and the peer's,
exact delay durations, and the refusals."""

import numpy as np
import pytest

from corvane.circuit.equivalence import unitary
from corvane.circuit.quantumcircuit import QuantumCircuit

HEADER = 'OPENQASM 3.0;\ninclude "stdgates.inc";\n'

STDGATES = {  # name: (parameters, qubits), every gate stdgates.inc declares
    "p": (1, 1), "x": (0, 1), "y": (0, 1), "z": (0, 1), "h": (0, 1), "s": (0, 1),
    "sdg": (0, 1), "t": (0, 1), "tdg": (0, 1), "sx": (0, 1), "rx": (1, 1), "ry": (1, 1),
    "rz": (1, 1), "cx": (0, 2), "cy": (0, 2), "cz": (0, 2), "cp": (1, 2), "crx": (1, 2),
    "cry": (1, 2), "crz": (1, 2), "ch": (0, 2), "swap": (0, 2), "ccx": (0, 3),
    "cswap": (0, 3), "cu": (4, 2), "CX": (0, 2), "phase": (1, 1), "cphase": (1, 2),
    "id": (0, 1), "u1": (1, 1), "u2": (2, 1), "u3": (3, 1), "U": (3, 1),
}  # fmt: skip


@pytest.fixture
def qiskit():
    """The peer toolkit, with its OpenQASM 3 reader."""
    pytest.importorskip("qiskit_qasm3_import")
    return pytest.importorskip("qiskit")


def _circuit(nqubits, ncbits, *entries):
    qc = QuantumCircuit(nqubits, ncbits)
    qc.gates = list(entries)
    return qc


@pytest.mark.parametrize("name", sorted(STDGATES))
@pytest.mark.parametrize("seed", [0, 1])
def test_every_stdgates_gate_has_the_peers_unitary(name, seed, qiskit):
    from qiskit.quantum_info import Operator

    nparams, nqubits = STDGATES[name]
    rng = np.random.default_rng(seed)
    params = ", ".join(repr(float(a)) for a in rng.uniform(-3, 3, nparams))
    order = [int(q) for q in rng.permutation(nqubits)]
    text = (
        f"{HEADER}qubit[{nqubits}] q;\n"
        f"{name}{f'({params})' if nparams else ''} {', '.join(f'q[{q}]' for q in order)};\n"
    )
    ours = unitary(QuantumCircuit.from_qasm(text))
    expected = Operator(qiskit.qasm3.loads(text)).data
    np.testing.assert_allclose(ours, expected, atol=1e-12)


def test_declarations_measures_comments_and_constants():
    text = (
        "OPENQASM 3;\n"
        'include "stdgates.inc";\n'
        "qubit[2] a; qubit b; qreg r[1];\n"
        "bit[2] c; bit d; creg e[1];\n"
        "/* a block\n comment */ // and a line comment\n"
        "rz(π) a[0]; rx(tau / 4) b; ry(euler) r[0]; rz(τ - ℇ) a[1]; p(2 ** 3) b;\n"
        "c[0] = measure a[0]; d = measure b; c = measure a; measure r -> e;\n"
        "gate g(θ) x, y { U(θ, 0, π) x; cx x, y; }\n"
        "g(0.5) a[1], b; reset b; barrier a, b;\n"
    )
    qc = QuantumCircuit.from_qasm(text)
    assert (qc.nqubits, qc.ncbits) == (4, 4)
    pi, tau, e = np.pi, 2 * np.pi, np.e
    assert qc.gates == [
        ("rz", pi, 0),
        ("rx", tau / 4, 2),
        ("ry", e, 3),
        ("rz", tau - e, 1),
        ("p", 8, 2),
        ("measure", [0, 2], [0, 2]),  # one line: joined until a qubit repeats
        ("measure", [0, 1, 3], [0, 1, 3]),
        ("u", 0.5, 0, pi, 1),
        ("cx", 1, 2),
        ("reset", 2),
        ("barrier", (0, 1, 2)),
    ]


@pytest.mark.parametrize(
    "literal, seconds",
    [
        ("50ns", 50e-9),
        ("1.5us", 1.5e-6),
        ("2µs", 2e-6),
        ("3ms", 3e-3),
        ("4s", 4.0),
        ("2.5e3ns", 2.5e-6),
        ("0.1ns", 1e-10),
    ],
)
def test_delay_units_read_as_the_decimal_value_in_seconds(literal, seconds):
    qc = QuantumCircuit.from_qasm(f"OPENQASM 3;\nqubit[2] q;\ndelay[{literal}] q[0], q[1];")
    assert qc.gates == [("delay", seconds, (0, 1))]


def test_dt_needs_its_length():
    text = "OPENQASM 3;\nqubit q;\ndelay[100dt] q;"
    with pytest.raises(ValueError, match=r"^line 3: a duration in 'dt' needs the length of dt"):
        QuantumCircuit.from_qasm(text)
    assert QuantumCircuit.from_qasm(text, dt=2e-9).gates == [("delay", 100 * 2e-9, (0,))]


@pytest.mark.parametrize(
    "condition, cbits, value, swapped",
    [
        ("c[1]", (1,), 1, False),
        ("!c[1]", (1,), 0, False),
        ("c[1] == true", (1,), 1, False),
        ("c[1] == 0", (1,), 0, False),
        ("c[1] != false", (1,), 0, True),
        ("c == 2", (0, 1), 2, False),
        ("c != 3", (0, 1), 3, True),
        ("c", (0, 1), 0, True),
        ("d", (2,), 1, False),
    ],
)
def test_conditions_of_version_3(condition, cbits, value, swapped):
    text = (
        f"{HEADER}qubit[2] q; bit[2] c; bit d;\n"
        f"if ({condition}) {{ x q[0]; ch q[0], q[1]; }} else h q[1];\n"
    )
    then = (("x", 0), ("ry", np.pi / 4, 1), ("cx", 0, 1), ("ry", -np.pi / 4, 1))
    orelse = (("h", 1),)
    body, other = (orelse, then) if swapped else (then, orelse)
    assert QuantumCircuit.from_qasm(text).gates == [("if", cbits, value, body, other)]


def test_openqasm2_if_reads_the_whole_register_and_expands_into_one_body():
    text = 'include "qelib1.inc";\nqreg q[2]; creg a[1]; creg c[2];\nif (c == 3) ch q[0], q[1];'
    (entry,) = QuantumCircuit.from_qasm(text).gates  # no version line: OpenQASM 2
    assert entry[:3] == ("if", (1, 2), 3) and len(entry[3]) == 3 and entry[4] == ()


@pytest.mark.parametrize(
    "statement, message",
    [
        ("for int i in [0:2] { x q[0]; }", r"'for' loops are not supported"),
        ("while (c[0]) { x q[0]; }", r"'while' loops are not supported"),
        ("def f() { }", r"subroutine definitions \('def'\)"),
        ("extern f(int) -> int;", r"'extern' declarations"),
        ("input float a;", r"'input' declarations"),
        ("output bit o;", r"'output' declarations"),
        ("stretch s;", r"'stretch' durations"),
        ("box { x q[0]; }", r"'box' blocks"),
        ("ctrl @ x q[0], q[1];", r"gate modifiers \('ctrl @'\)"),
        ("inv @ s q[0];", r"gate modifiers \('inv @'\)"),
        ("pow(2) @ s q[0];", r"gate modifiers \('pow @'\)"),
        ("gphase(0.5);", r"global phases \('gphase'\)"),
        ("gate g a { gphase(0.5); x a; }", r"global phases \('gphase'\)"),
        ("int i = 3;", r"classical type 'int'"),
        ("float f;", r"classical type 'float'"),
        ("c[0] = c[1];", r"classical assignments are not supported"),
        ("rx(2 ^ 3) q[0];", r"the bitwise operator '\^'"),
        ("if (c[0] && c[1]) x q[0];", r"conditions other than"),
        ("if (c == 4) x q[0];", r"condition value 4 does not fit in 2 bit"),
        ("if (c[0]) { qubit r; }", r"declarations inside an 'if' block"),
        ("else { x q[0]; }", r"'else' without 'if'"),
        ("delay[5 minutes] q[0];", r"unknown unit of time 'minutes'"),
        ("cu3(1, 2, 3) q[0], q[1];", r"unknown gate 'cu3'"),
        ("/* never closed", r"unterminated comment"),
    ],
)
def test_unsupported_version_3_constructs_are_refused_by_line_and_name(statement, message):
    text = f"{HEADER}qubit[2] q; bit[2] c;\n{statement}\n"
    with pytest.raises(ValueError, match=rf"^line 4: {message}"):
        QuantumCircuit.from_qasm(text)


def test_blocks_nested_too_deeply_are_refused_not_crashed():
    text = f"{HEADER}qubit q; bit c;\n" + "if (c) {" * 5000 + "x q;" + "}" * 5000
    with pytest.raises(ValueError, match=r"^line 4: 'if' blocks nested too deeply"):
        QuantumCircuit.from_qasm(text)


def _random_static_circuit(seed, nqubits=4, ngates=60):
    from corvane.circuit.quantumcircuit_helpers import GATE_ROWS

    rng = np.random.default_rng(seed)
    rows = [r for r in GATE_ROWS if r.category and r.category != "functional_gates_available"]
    qc = QuantumCircuit(nqubits)
    for _ in range(ngates):
        row = rows[rng.integers(len(rows))]
        params = [float(a) for a in rng.uniform(-3, 3, row.nparams)]
        qubits = [int(q) for q in rng.permutation(nqubits)[: row.nqubits]]
        qc.gates.append((row.name, *params, *qubits))
    return qc


@pytest.mark.parametrize("seed", range(4))
def test_static_circuits_round_trip_here_and_have_the_peers_unitary(seed, qiskit):
    from qiskit.quantum_info import Operator

    qc = _random_static_circuit(seed)
    text = qc.to_qasm(version=3)
    back = QuantumCircuit.from_qasm(text)
    assert back.gates == [("cx", *e[1:]) if e[0] == "cnot" else e for e in qc.gates]
    np.testing.assert_allclose(Operator(qiskit.qasm3.loads(text)).data, unitary(qc), atol=1e-10)


def _dynamic_circuit(seed):
    rng = np.random.default_rng(seed)
    durations = [float(d) for d in rng.uniform(0, 1e-6, 3)] + [1e-310, 0.1 + 0.2]
    return _circuit(
        3,
        2,
        ("h", 0),
        ("delay", durations[0], (0, 1)),
        ("measure", [0, 1], [0, 1]),
        ("if", (0,), 1, (("x", 2), ("delay", durations[1], (2,))), (("reset", 1),)),
        ("if", (0, 1), 2, (("if", (1,), 0, (("z", 0),), ()),), ()),
        ("barrier", (0, 1, 2)),
        *[("delay", d, (2,)) for d in durations[2:]],
        ("measure", [2], [1]),
    )


def _peer_sequence(circuit, qiskit):
    """Names, durations and conditions of the peer's instructions, blocks flattened."""
    out = []
    for instruction in circuit.data:
        op = instruction.operation
        if op.name == "if_else":
            target, value = op.condition
            bits = (
                list(target) if isinstance(target, qiskit.circuit.ClassicalRegister) else [target]
            )
            out.append(("if", tuple(circuit.find_bit(b).index for b in bits), int(value)))
            for block in op.blocks:
                out.append(("block", _peer_sequence(block, qiskit)))
        elif op.name == "delay":
            assert op.unit == "s"
            out.append(("delay", op.duration))
        else:
            out.append((op.name,))
    return out


def _our_sequence(entries):
    out = []
    for e in entries:
        if e[0] == "if":
            out.append(("if", e[1], e[2]))
            out.append(("block", _our_sequence(e[3])))
            if e[4]:
                out.append(("block", _our_sequence(e[4])))
        elif e[0] == "delay":
            out.extend([("delay", e[1])] * len(e[2]))
        elif e[0] == "measure":
            out.extend([("measure",)] * len(e[1]))
        else:
            out.append((e[0],))
    return out


@pytest.mark.parametrize("seed", range(3))
def test_dynamic_circuits_round_trip_here_and_in_the_peer(seed, qiskit):
    qc = _dynamic_circuit(seed)
    text = qc.to_qasm(version=3)
    assert QuantumCircuit.from_qasm(text) == qc
    assert _peer_sequence(qiskit.qasm3.loads(text), qiskit) == _our_sequence(qc.gates)


def test_openqasm2_conditionals_round_trip_here_and_in_the_peer():
    qiskit = pytest.importorskip("qiskit")
    qc = _circuit(2, 2, ("measure", [0], [0]), ("if", (0, 1), 3, (("cx", 0, 1),), ()))
    text = qc.to_qasm()
    assert "if (c == 3) cx q[0], q[1];" in text
    assert QuantumCircuit.from_qasm(text) == qc
    peer = qiskit.qasm2.loads(text)
    assert peer.data[-1].operation.condition[1] == 3


@pytest.mark.parametrize("seed", range(12))
def test_the_peers_programs_read_here_as_the_peer_reads_them(seed, qiskit):
    """Its writer defines the gates stdgates.inc lacks, some (sxdg, ecr) only up to a
    global phase it leaves out: those bodies are what its programs mean."""
    from qiskit.circuit.random import random_circuit
    from qiskit.quantum_info import Operator

    text = qiskit.qasm3.dumps(random_circuit(4, 8, max_operands=3, seed=seed))
    theirs = Operator(qiskit.qasm3.loads(text)).data
    np.testing.assert_allclose(unitary(QuantumCircuit.from_qasm(text)), theirs, atol=1e-10)


def test_the_peers_dynamic_programs_read_here_with_their_instructions(qiskit):
    peer = qiskit.QuantumCircuit(3, 2)
    peer.h(0)
    peer.delay(2e-8, 0, unit="s")
    peer.measure(0, 0)
    with peer.if_test((peer.clbits[0], 1)) as orelse:
        peer.x(1)
        peer.delay(3.5e-7, 2, unit="s")
    with orelse:
        peer.reset(2)
    with peer.if_test((peer.cregs[0], 2)):
        peer.y(0)
    peer.barrier()
    peer.measure(1, 1)
    ours = QuantumCircuit.from_qasm(qiskit.qasm3.dumps(peer))
    assert _our_sequence(ours.gates) == _peer_sequence(peer, qiskit)


@pytest.mark.parametrize("version", [2, 3])
@pytest.mark.parametrize(
    "definition, read",
    [
        # the writer's own definition, and the same matrix spelled otherwise: the model gate
        ("gate sxdg a { h a; sdg a; h a; }", [("sxdg", 0)]),
        # rx(-pi/2) is sxdg but for a phase e^(-i pi/4), which p(t); x; p(t); x puts back
        ("gate sxdg a { rx(-pi/2) a; p(-pi/4) a; x a; p(-pi/4) a; x a; }", [("sxdg", 0)]),
        # the gate up to a global phase, or another gate: what the body says
        ("gate sxdg a { s a; h a; s a; }", [("s", 0), ("h", 0), ("s", 0)]),
        ("gate sxdg a { x a; }", [("x", 0)]),
        # a body naming the gate itself names the model gate
        ("gate sxdg a { sxdg a; }", [("sxdg", 0)]),
    ],
)
def test_a_definition_of_a_model_gate_names_it_only_with_its_matrix(definition, read, version):
    header = HEADER if version == 3 else 'OPENQASM 2.0;\ninclude "qelib1.inc";\n'
    register = "qubit[1] q;" if version == 3 else "qreg q[1];"
    qc = QuantumCircuit.from_qasm(f"{header}{definition}\n{register}\nsxdg q[0];\n")
    assert qc.gates == read


@pytest.mark.parametrize(
    "entry, version, reason",
    [
        (("if", (0, 1), 1, (("x", 0),), (("y", 0),)), 2, "no else branch"),
        (("if", (0, 1), 1, (("x", 0), ("y", 0)), ()), 2, "control one statement"),
        (("if", (0, 1), 1, (("measure", [0, 1], [0, 1]),), ()), 2, "one gate, measure or reset"),
        (("if", (0, 1), 1, (("if", (0, 1), 0, (), ()),), ()), 2, "one gate, measure or reset"),
        (("if", (1, 0), 1, (("x", 0),), ()), 3, "consecutive and no other condition's bits"),
        (("if", (0, 1), 4, (("x", 0),), ()), 3, "does not fit in 2 bit"),
        (("if", (5,), 1, (("x", 0),), ()), 3, "out of range"),
        (("if", (0,), 1, (("nope", 0),), ()), 3, "unknown gate 'nope'"),
        (("if", (0,), 1), 3, "an if entry has 5 items"),
    ],
)
def test_conditionals_that_cannot_be_written_are_refused_by_entry(entry, version, reason):
    qc = _circuit(2, 2, ("h", 0), entry)
    with pytest.raises(ValueError, match=rf"^cannot write gate entry 1 .*: .*{reason}"):
        qc.to_qasm(version=version)


SYNDROME = """OPENQASM 2.0;
include "qelib1.inc";
qreg q[5];
creg syn[2];
creg out[3];
h q[0];
cx q[0], q[3];
measure q[3] -> syn[0];
measure q[4] -> syn[1];
if (syn == 3) x q[0];
if (syn == 1) z q[1];
measure q[0] -> out[0];
if (out == 1) x q[2];
"""


@pytest.mark.parametrize("version", [2, 3])
def test_conditions_on_some_bits_are_written_as_registers_of_their_own(version, qiskit):
    qc = QuantumCircuit.from_qasm(SYNDROME)
    assert [e[1] for e in qc.gates if e[0] == "if"] == [(0, 1), (0, 1), (2, 3, 4)]
    text = qc.to_qasm(version=version)
    assert ("creg c0[2];\ncreg c1[3];" if version == 2 else "bit[2] c0;\nbit[3] c1;") in text
    assert QuantumCircuit.from_qasm(text) == qc
    peer = (qiskit.qasm2 if version == 2 else qiskit.qasm3).loads(text)
    assert [len(r) for r in peer.cregs] == [2, 3]
    assert [i.operation.name for i in peer.data].count("if_else") == 3


@pytest.mark.parametrize("version", [2, 3])
def test_conditions_whose_bits_overlap_are_refused(version):
    qc = _circuit(1, 3, ("if", (0, 1), 1, (("x", 0),), ()), ("if", (1, 2), 1, (("x", 0),), ()))
    with pytest.raises(ValueError, match=r"^cannot write gate entry [01] "):
        qc.to_qasm(version=version)


def test_unknown_version_is_refused():
    with pytest.raises(ValueError, match="OpenQASM version is 2 or 3, got 4"):
        _circuit(1, 0, ("h", 0)).to_qasm(version=4)
