import math
import pathlib

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.circuit.quantumcircuit import QuantumCircuit

from conftest import random_circuit

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
    qc = QuantumCircuit(2, 1).cnot(0, 1).u(0.1, 0.2, 0.3, 0).p(0.5, 1).swap(0, 1).delay(1e-8, [0, 1])
    text = qc.to_qasm()
    assert text.startswith('OPENQASM 2.0;\ninclude "qelib1.inc";\n')
    assert "cx q[0], q[1];" in text and "u3(0.1, 0.2, 0.3) q[0];" in text and "u1(0.5) q[1];" in text
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
    assert qc.gates[:4] == [("u", 0.1, -math.pi / 2, math.pi / 2, 0), ("u", math.pi / 2, 0, math.pi, 1),
                            ("p", 2 * math.pi / 3, 2), ("rz", -0.05, 0)]
    assert qc.gates[4:6] == [("cx", 0, 1), ("cx", 1, 2)]
    assert qc.gates[6] == ("ry", math.sqrt(2) / 2, 2)


@pytest.mark.parametrize("text, message", [
    ("qreg q[1];", r"line 1: expected 'OPENQASM 2.0;' at the start"),
    ("OPENQASM 3.0;", r"line 1: expected version 2.0"),
    ("OPENQASM 2.0;\nqreg q[2];\nh q[0]\ncx q[0], q[1];", r"line 4: expected ';', got 'cx'"),
    ("OPENQASM 2.0;\nqreg q[2];\nfoo q[0];", r"line 3: unknown gate 'foo'"),
    ("OPENQASM 2.0;\nqreg q[2];\nh r[0];", r"line 3: unknown quantum register 'r'"),
    ("OPENQASM 2.0;\nqreg q[2];\nh q[2];", r"line 3: index 2 out of range for q\[2\]"),
    # Found by fuzzing: a size past the index range made the circuit raise OverflowError.
    ("OPENQASM 2.0;\nqreg q[4000000000000000000000000000000000000];", r"line 2: register 'q' takes the program beyond 16777216 bits"),
    ("OPENQASM 2.0;\nqreg q[16777216];\ncreg c[16777216];\nqreg r[1];", r"line 4: register 'r' takes the program beyond"),
    # Found by fuzzing: arithmetic without a real value escaped as ZeroDivisionError.
    ("OPENQASM 2.0;\nqreg q[1];\nrz(1/0) q[0];", r"line 3: cannot evaluate a parameter: division by zero"),
    ("OPENQASM 2.0;\nqreg q[1];\nrz(ln(-1)) q[0];", r"line 3: cannot evaluate a parameter: math domain error"),
    ("OPENQASM 2.0;\nqreg q[1];\nrz((-1)^0.5) q[0];", r"line 3: a parameter evaluates to the complex number"),
    ("OPENQASM 2.0;\nqreg q[1];\ngate g(a) x { rz(1/a) x; }\ng(0) q[0];", r"line 4: cannot evaluate a parameter"),
    # Found by fuzzing: a whole empty register as an argument raised IndexError.
    ("OPENQASM 2.0;\nqreg q[0];\nqreg r[1];\ncx q, r[0];", r"line 4: an empty register names no bit to act on"),
    ("OPENQASM 2.0;\nqreg q[2];\ncx q[0], q[0];", r"line 3: a gate cannot act twice on one qubit"),
    ("OPENQASM 2.0;\nqreg q[1];\nrx q[0];", r"line 3: rx takes 1 parameter"),
    ('OPENQASM 2.0;\ninclude "other.inc";', r"line 2: only \"qelib1.inc\" can be included"),
    ("OPENQASM 2.0;\nqreg q[1];\ncreg c[1];\nif (c==1) x q[0];", r"line 4: classically controlled"),
    ("OPENQASM 2.0;\nqreg q[1];\ndelay(1e-8) q[0];", r"line 3: unknown gate 'delay'"),
    ("OPENQASM 2.0;\nqreg q[1];\nrx(1 +) q[0];", r"line 3: expected a number"),
    ("OPENQASM 2.0;\nqreg q[1];\nh q[0]; $", r"line 3: unexpected character '\$'"),
])
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
