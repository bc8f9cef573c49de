import math
import pathlib
import re

import numpy as np
import pytest
from conftest import random_circuit
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.circuit.quantumcircuit import QuantumCircuit

PROGRAMS = pathlib.Path(__file__).parent / "qasm"


@settings(max_examples=80, deadline=None)
@given(seed=st.integers(0, 10**6), ngates=st.integers(0, 50), nqubits=st.integers(1, 5))
def test_every_circuit_of_the_gate_set_round_trips(seed, ngates, nqubits):
    qc = random_circuit(seed, ngates, nqubits)
    back = QuantumCircuit.from_qasm(qc.to_qasm())
    assert (back.nqubits, back.ncbits) == (qc.nqubits, qc.ncbits)
    assert back.gates == [("cx", *e[1:]) if e[0] == "cnot" else e for e in qc.gates]
    assert [type(x) for e in back.gates for x in e] == [type(x) for e in qc.gates for x in e]


def test_written_program_uses_standard_names_and_declares_the_rest():
    qc = (
        QuantumCircuit(2, 1).cnot(0, 1).u(0.1, 0.2, 0.3, 0).p(0.5, 1).swap(0, 1).delay(1e-8, [0, 1])
    )
    text = qc.to_qasm()
    assert text.startswith('OPENQASM 2.0;\ninclude "qelib1.inc";\n')
    assert (
        "cx q[0], q[1];" in text and "u3(0.1, 0.2, 0.3) q[0];" in text and "u1(0.5) q[1];" in text
    )
    assert "gate swap a, b {" in text and "opaque delay(duration) a;" in text
    assert "delay(1e-08) q[0]; delay(1e-08) q[1];" in text


def test_adder_program_expands_its_gate_definitions():
    qc = QuantumCircuit.from_qasm((PROGRAMS / "adder.qasm").read_text())
    assert (qc.nqubits, qc.ncbits) == (10, 5)
    counts = qc.count_ops()
    assert counts == {"cx": 17, "ccx": 8, "measure": 5, "x": 5}
    # majority cin[0], b[0], a[0] with cin at 0, a at 1..4, b at 5..8
    assert qc.gates[5:8] == [("cx", 1, 5), ("cx", 1, 0), ("ccx", 0, 5, 1)]


def test_qft_program_maps_qelib_names_into_the_gate_set():
    qc = QuantumCircuit.from_qasm((PROGRAMS / "qft4.qasm").read_text())
    assert qc.gates[2] == ("barrier", (0, 1, 2, 3))
    assert qc.gates[4] == ("cp", math.pi / 2, 1, 0)
    assert qc.gates[-1] == ("measure", [0, 1, 2, 3], [0, 1, 2, 3])


def test_parameter_expressions_and_several_statements_on_a_line():
    qc = QuantumCircuit.from_qasm((PROGRAMS / "variational.qasm").read_text())
    assert qc.gates[:4] == [
        ("u", 0.1, -math.pi / 2, math.pi / 2, 0),
        ("u", math.pi / 2, 0, math.pi, 1),
        ("p", 2 * math.pi / 3, 2),
        ("rz", -0.05, 0),
    ]
    assert qc.gates[4:6] == [("cx", 0, 1), ("cx", 1, 2)]
    assert qc.gates[6] == ("ry", math.sqrt(2) / 2, 2)


@pytest.mark.parametrize(
    "text, message",
    [
        ("OPENQASM 4.0;", r"line 1: expected version 2.0 or 3"),
        ("OPENQASM 2.0;\nqreg q[2];\nh q[0]\ncx q[0], q[1];", r"line 4: expected ';', got 'cx'"),
        ("OPENQASM 2.0;\nqreg q[2];\nfoo q[0];", r"line 3: unknown gate 'foo'"),
        ("OPENQASM 2.0;\nqreg q[2];\nh r[0];", r"line 3: unknown quantum register 'r'"),
        ("OPENQASM 2.0;\nqreg q[2];\nh q[2];", r"line 3: index 2 out of range for q\[2\]"),
        # Found by fuzzing: a size past the index range made the circuit raise OverflowError.
        (
            "OPENQASM 2.0;\nqreg q[4000000000000000000000000000000000000];",
            r"line 2: register size 4000000000000000000000000000000000000 is too large",
        ),
        # Found by fuzzing: arithmetic without a real value escaped as ZeroDivisionError.
        (
            "OPENQASM 2.0;\nqreg q[1];\nrz(1/0) q[0];",
            r"line 3: division by zero in a parameter expression",
        ),
        (
            "OPENQASM 2.0;\nqreg q[1];\nrz(ln(-1)) q[0];",
            r"line 3: math domain error in a parameter expression",
        ),
        (
            "OPENQASM 2.0;\nqreg q[1];\nrz((-1)^0.5) q[0];",
            r"line 3: a negative number raised to a fractional power is not a real number",
        ),
        (
            "OPENQASM 2.0;\nqreg q[1];\ngate g(a) x { rz(1/a) x; }\ng(0) q[0];",
            r"line 3: division by zero in a parameter expression",
        ),
        # Found by fuzzing: a lone surrogate escaped as UnicodeEncodeError without a line.
        (
            "OPENQASM 2.0;\nqreg q[1];\n// \udc81\n",
            r"line 3: character '\\udc81' cannot be read as UTF-8",
        ),
        (
            "OPENQASM 2.0;\nqreg q[2];\ncx q[0], q[0];",
            r"line 3: a gate cannot act twice on one qubit",
        ),
        ("OPENQASM 2.0;\nqreg q[1];\nrx q[0];", r"line 3: rx takes 1 parameter"),
        ('OPENQASM 2.0;\ninclude "other.inc";', r"line 2: only \"qelib1.inc\" can be included"),
        (
            "OPENQASM 2.0;\nqreg q[1];\ncreg c[2];\nif (c==4) x q[0];",
            r"line 4: condition value 4 does not fit in 2 bit\(s\)",
        ),
        ("OPENQASM 2.0;\nqreg q[1];\ncreg c[2];\nif (c[0]==1) x q[0];", r"line 4: .*whole"),
        ("OPENQASM 2.0;\nqreg q[1];\ncreg c[1];\nif (c==1) barrier q;", r"line 4: 'if' controls"),
        ("OPENQASM 2.0;\nqreg q[1];\ndelay(1e-8) q[0];", r"line 3: unknown gate 'delay'"),
        ("OPENQASM 2.0;\nqreg q[1];\nrx(1 +) q[0];", r"line 3: expected a number"),
        ("OPENQASM 2.0;\nqreg q[1];\nh q[0]; $", r"line 3: unexpected character '\$'"),
        ("OPENQASM 2.0;\nqreg q[2];\nh q[0]\ncx q[0], q[1];", r"^line 3: missing ';'"),
        (
            'OPENQASM 2.0;\ninclude "qelib1.inc";\nopaque magic(a) b;\nqreg q[1];',
            r"^line 3: opaque gate 'magic' is not",
        ),
        ("OPENQASM 2.0;\nqreg q[1];\nrx(1/0) q[0];", r"^line 3: division by zero"),
        ("OPENQASM 2.0;\nqreg q[1];\nrx(ln(0)) q[0];", r"^line 3: math domain error"),
        (
            "OPENQASM 2.0;\nqreg q[1];\nrx(1e999) q[0];",
            r"^line 3: rx parameter must be a finite number",
        ),
        (
            "OPENQASM 2.0;\nqreg q[2];\n\ncu3(1, 2) q[0], q[1];",
            r"^line 4: gate 'cu3' takes 3 parameter",
        ),
    ],
)
def test_malformed_programs_name_the_line_and_what_was_expected(text, message):
    with pytest.raises(ValueError, match=message):
        QuantumCircuit.from_qasm(text)


def test_values_that_qasm_cannot_hold_are_refused():
    qc = QuantumCircuit(1, 0)
    qc.gates.append(("rx", float("inf"), 0))
    with pytest.raises(ValueError, match="cannot write"):
        qc.to_qasm()
    with pytest.raises(TypeError):
        QuantumCircuit.from_qasm(b"OPENQASM 2.0;")


# ---- the standard gate library -------------------------------------------------------


def _unitary(qc):
    """The circuit's unitary from the matrix module; bit k of an index is qubit k."""
    from corvane.circuit.matrix import gate_matrix_dict

    n = qc.nqubits
    u = np.eye(2**n, dtype=complex).reshape([2] * n + [2**n])
    for entry in qc.gates:
        name = entry[0]
        if name == "barrier":
            continue
        gate = gate_matrix_dict[name]
        if callable(gate):
            nq = 2 if name in ("rxx", "ryy", "rzz", "cp") else 1
            matrix = gate(*entry[1 : len(entry) - nq])
        else:
            matrix = gate
        k = {2: 1, 4: 2, 8: 3}[matrix.shape[0]]
        qubits = entry[len(entry) - k :]
        # Tensor axes of the gate: its last qubit is the most significant bit.
        m = matrix.reshape([2] * (2 * k))
        axes = [n - 1 - q for q in reversed(qubits)]
        u = np.moveaxis(
            np.tensordot(m, u, axes=(list(range(k, 2 * k)), axes)), list(range(k)), axes
        )
    return u.reshape(2**n, 2**n)


STANDARD_GATES = {  # name: (parameters, qubits)
    "u3": (3, 1),
    "u2": (2, 1),
    "u1": (1, 1),
    "cx": (0, 2),
    "id": (0, 1),
    "u0": (1, 1),
    "u": (3, 1),
    "p": (1, 1),
    "x": (0, 1),
    "y": (0, 1),
    "z": (0, 1),
    "h": (0, 1),
    "s": (0, 1),
    "sdg": (0, 1),
    "t": (0, 1),
    "tdg": (0, 1),
    "rx": (1, 1),
    "ry": (1, 1),
    "rz": (1, 1),
    "sx": (0, 1),
    "sxdg": (0, 1),
    "cz": (0, 2),
    "cy": (0, 2),
    "swap": (0, 2),
    "ch": (0, 2),
    "ccx": (0, 3),
    "cswap": (0, 3),
    "crx": (1, 2),
    "cry": (1, 2),
    "crz": (1, 2),
    "cu1": (1, 2),
    "cp": (1, 2),
    "cu3": (3, 2),
    "csx": (0, 2),
    "cu": (4, 2),
    "rxx": (1, 2),
    "rzz": (1, 2),
    "rccx": (0, 3),
    "rc3x": (0, 4),
    "c3x": (0, 4),
    "c3sqrtx": (0, 4),
    "c4x": (0, 5),
}
# Gates whose qelib1.inc definition is the peer's gate only up to a global phase.
PHASE_ONLY = {"u3", "u2", "u1", "u", "rz", "sx", "sxdg", "u0", "cu1"}


@pytest.mark.parametrize("name", sorted(STANDARD_GATES))
@pytest.mark.parametrize("seed", [0, 1])
def test_every_standard_gate_has_the_unitary_of_its_definition(name, seed):
    qiskit = pytest.importorskip("qiskit")
    from qiskit.quantum_info import Operator

    nparams, nqubits = STANDARD_GATES[name]
    rng = np.random.default_rng(seed)
    params = ", ".join(repr(float(a)) for a in rng.uniform(-3, 3, nparams))
    if name == "u0":
        params = "2"  # the peer reads u0(n) as a delay of n cycles, an integer
    order = [int(q) for q in rng.permutation(nqubits)]  # the gate on permuted wires
    text = (
        f'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[{nqubits}];\n'
        f"{name}{f'({params})' if nparams else ''} {', '.join(f'q[{q}]' for q in order)};\n"
    )
    ours = _unitary(QuantumCircuit.from_qasm(text))
    expected = Operator(
        qiskit.qasm2.loads(text, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    ).data
    if name in PHASE_ONLY:
        phase = np.vdot(expected.ravel(), ours.ravel())
        ours = ours * (abs(phase) / phase)
    np.testing.assert_allclose(ours, expected, atol=1e-12)


def test_gates_of_the_set_are_read_natively_and_the_rest_expanded():
    text = (
        'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[5];\n'
        "u2(0, pi) q[0]; cu1(0.5) q[0], q[1]; ch q[0], q[1]; c4x q[0], q[1], q[2], q[3], q[4];\n"
    )
    qc = QuantumCircuit.from_qasm(text)
    assert qc.gates[:2] == [("u", math.pi / 2, 0, math.pi, 0), ("cp", 0.5, 0, 1)]
    assert qc.gates[2:5] == [("ry", math.pi / 4, 1), ("cx", 0, 1), ("ry", -math.pi / 4, 1)]
    assert set(qc.count_ops()) <= {"u", "cp", "ry", "cx", "h", "p"}


# ---- real programs ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "program",
    [
        "grover3.qasm",
        "bernstein_vazirani.qasm",
        "qpe.qasm",
        "multicontrol.qasm",
        "qaoa_rotations.qasm",
        "qft4.qasm",
        "adder.qasm",
    ],
)
def test_benchmark_programs_have_the_peers_unitary_and_round_trip(program):
    qiskit = pytest.importorskip("qiskit")
    from qiskit.quantum_info import Operator

    text = (PROGRAMS / program).read_text()
    qc = QuantumCircuit.from_qasm(text)
    peer = qiskit.qasm2.loads(text, custom_instructions=qiskit.qasm2.LEGACY_CUSTOM_INSTRUCTIONS)
    assert (qc.nqubits, qc.ncbits) == (peer.num_qubits, peer.num_clbits)
    peer.remove_final_measurements(inplace=True)
    ours = QuantumCircuit(qc.nqubits)
    ours.gates = [e for e in qc.gates if e[0] != "measure"]
    u, expected = _unitary(ours), Operator(peer).data
    phase = np.vdot(expected.ravel(), u.ravel())
    np.testing.assert_allclose(u * (abs(phase) / phase), expected, atol=1e-10)
    assert QuantumCircuit.from_qasm(qc.to_qasm()) == qc


def _circuit(nqubits, ncbits, *entries):
    qc = QuantumCircuit(nqubits, ncbits)
    qc.gates = list(entries)
    return qc


@pytest.mark.parametrize(
    "entry, reason",
    [
        (("h", 99), "qubit index 99 out of range for 2 qubits"),
        (("cx", [0, 1]), "cx acts on 2 qubit"),
        (("cx", 0, 0), "qubit 0 appears twice"),
        (("h", 0.0), "qubit index 0.0 is not an integer"),
        (("h", True), "qubit index True is not an integer"),
        (("rx", "0.5", 0), "'0.5' is not a real number"),
        (("rx", 1j, 0), "1j is not a real number"),
        (("rx", math.nan, 0), "cannot write the parameter nan"),
        (("rx", 0, 1, 0), "rx takes 1 parameter"),
        (("foo", 0), "unknown gate 'foo'"),
        (("measure", [0, 1], [0]), "one classical bit per qubit"),
        (("measure", [0], [3]), "classical bit index 3 out of range"),
        (("barrier", ()), "barrier on no qubits"),
        (("delay", -1e-9, (0,)), "non-negative"),
        (("delay", math.inf, (0,)), "cannot write the delay duration inf"),
        ((), "starts with the gate name"),
        ({"h": 0}, "a gate entry is a tuple"),
    ],
)
def test_writer_refuses_entries_that_would_not_read_back(entry, reason):
    qc = _circuit(2, 1, ("x", 0), entry)
    with pytest.raises(
        ValueError, match=rf"^cannot write gate entry 1 .* in OpenQASM 2.0: .*{re.escape(reason)}"
    ):
        qc.to_qasm()


@settings(max_examples=200, deadline=None)
@given(
    params=st.lists(
        st.one_of(st.floats(allow_nan=False, allow_infinity=False), st.integers(-(2**80), 2**80)),
        min_size=3,
        max_size=3,
    ),
    duration=st.floats(min_value=0, allow_infinity=False),
)
def test_numbers_read_back_as_the_same_values_and_types(params, duration):
    qc = _circuit(2, 0, ("u", *params, 1), ("rzz", params[0], 0, 1), ("delay", duration, (0, 1)))
    back = QuantumCircuit.from_qasm(qc.to_qasm())
    assert back == qc
    assert [type(x) for e in back.gates for x in e[1:2]] == [
        type(x) for e in qc.gates for x in e[1:2]
    ]


@pytest.mark.parametrize(
    "call",
    [
        lambda qc: qc.rx(math.nan, 0),
        lambda qc: qc.u(0.1, math.inf, 0.2, 0),
        lambda qc: qc.rzz(-math.inf, 0, 1),
        lambda qc: qc.delay(math.inf),
        lambda qc: qc.delay(math.nan, [0]),
        lambda qc: qc.append_gate("cp", np.float64("nan"), 0, 1),
    ],
)
def test_builders_refuse_non_finite_values_and_leave_the_circuit_as_it_was(call):
    qc = QuantumCircuit(2).h(0)
    with pytest.raises(ValueError, match="finite"):
        call(qc)
    assert qc.gates == [("h", 0)]


def test_an_entry_given_as_a_list_is_written_as_its_tuple():
    qc = _circuit(2, 1, ["cx", 0, 1], ["measure", [1], [0]])
    assert QuantumCircuit.from_qasm(qc.to_qasm()).gates == [("cx", 0, 1), ("measure", [1], [0])]


def test_large_integer_parameters_are_kept_exactly():
    qc = QuantumCircuit(1).rx(10**30, 0).rx(-(10**25), 0)
    assert QuantumCircuit.from_qasm(qc.to_qasm()) == qc
