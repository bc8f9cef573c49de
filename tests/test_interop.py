"""Interchange with Qiskit: to_qiskit / from_qiskit."""

import numpy as np
import pytest
from conftest import random_circuit
from test_equivalence import ARITY, GATES

from corvane.circuit import QuantumCircuit, unitary
from corvane.circuit.interop import from_qiskit, to_qiskit

qiskit = pytest.importorskip("qiskit")
from qiskit.quantum_info import Operator  # noqa: E402


def per_qubit(qc):
    """`qc` as it comes back from Qiskit: one measure or delay per qubit, cnot spelled cx."""
    out = QuantumCircuit(qc.nqubits, qc.ncbits)
    for entry in qc.gates:
        if entry[0] == "measure":
            out.gates += [("measure", [q], [c]) for q, c in zip(entry[1], entry[2])]
        elif entry[0] == "delay":
            out.gates += [("delay", entry[1], (q,)) for q in entry[2]]
        else:
            out.gates.append(("cx", *entry[1:]) if entry[0] == "cnot" else entry)
    return out


@pytest.mark.parametrize("name, params", GATES)
def test_every_gate_has_the_qiskit_operator_of_its_unitary(name, params):
    qc = QuantumCircuit(4).append_gate(name, *params, *[3, 0, 2][: ARITY[name]])
    np.testing.assert_allclose(Operator(to_qiskit(qc)).data, unitary(qc), atol=1e-12)


@pytest.mark.parametrize("seed", range(4))
def test_round_trip_keeps_every_entry(seed):
    qc = random_circuit(seed, ngates=80, nqubits=4)
    assert from_qiskit(to_qiskit(qc)) == per_qubit(qc)


def test_delays_keep_their_duration_in_every_unit():
    theirs = qiskit.QuantumCircuit(2)
    theirs.delay(20, 0, unit="ns")
    theirs.delay(1.5, 1, unit="us")
    theirs.delay(100, 0, unit="dt")
    ours = from_qiskit(theirs, dt=2.5e-10)
    assert [e[0] for e in ours.gates] == ["delay"] * 3
    np.testing.assert_allclose([e[1] for e in ours.gates], [2e-8, 1.5e-6, 2.5e-8], rtol=1e-12)
    back = to_qiskit(ours).data[1].operation
    assert (back.unit, back.duration) == ("s", ours.gates[1][1])
    with pytest.raises(ValueError, match="needs dt"):
        from_qiskit(theirs)


def test_registers_are_flattened_in_qiskit_bit_order():
    a, b = qiskit.QuantumRegister(1, "a"), qiskit.QuantumRegister(2, "b")
    c = qiskit.ClassicalRegister(2, "c")
    theirs = qiskit.QuantumCircuit(a, b, c)
    theirs.cx(b[1], a[0])
    theirs.measure(b[0], c[1])
    assert from_qiskit(theirs).gates == [("cx", 2, 0), ("measure", [1], [1])]


def unbound():
    theirs = qiskit.QuantumCircuit(1)
    theirs.rx(qiskit.circuit.Parameter("theta"), 0)
    return theirs


def with_u3():
    theirs = qiskit.QuantumCircuit(1)
    theirs.append(qiskit.circuit.library.U3Gate(0.1, 0.2, 0.3), [0])
    return theirs


@pytest.mark.parametrize("theirs, message", [(unbound, "unbound"), (with_u3, "'u3'.*decompose")])
def test_instructions_without_a_counterpart_are_refused(theirs, message):
    with pytest.raises(ValueError, match=message):
        from_qiskit(theirs())


def test_gate_without_a_qiskit_counterpart_is_refused():
    qc = QuantumCircuit(1).h(0)
    qc.gates.append(("myx", 0))
    with pytest.raises(ValueError, match="gate 1 .'myx'. has no Qiskit counterpart"):
        to_qiskit(qc)
