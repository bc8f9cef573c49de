"""The unitary of a circuit, and a check that two circuits do the same thing.

``unitary`` is computed natively, gate by gate, from the same gate matrices as
``corvane.circuit.matrix`` and the gate-compression pass.
"""

from numbers import Real

import numpy as np

from corvane.circuit._unitary import MAX_QUBITS, circuit_unitary
from corvane.circuit.entry_transforms import gate_parameters
from corvane.circuit.quantumcircuit import operation_qubits

__all__ = ["MAX_QUBITS", "unitary", "equivalent"]

# Operations that leave the state unchanged: they only order or time the gates.
_IDENTITY_OPERATIONS = frozenset(("barrier", "delay"))
_NOT_UNITARY = frozenset(("measure", "reset"))


def _operations(qc):
    """(name, parameters, qubits) of every gate entry, in program order."""
    operations = []
    for index, entry in enumerate(qc.gates):
        name = entry[0]
        if name in _IDENTITY_OPERATIONS:
            continue
        if name in _NOT_UNITARY:
            raise ValueError(f"gate {index} is {name!r}, which has no unitary matrix")
        qubits = operation_qubits(entry)
        operations.append((name, gate_parameters(entry), qubits))
    return operations


def unitary(qc):
    """Return the unitary matrix of a circuit.

    Bit k (value 2**k) of a row or column index is the state of qubit k, as
    in the gate matrices of ``corvane.circuit.matrix``: for two qubits the
    index is ``q0 + 2 * q1``, and a gate A on qubit 0 followed by B on qubit 1
    gives ``np.kron(B, A)``. Barriers and delays count as the identity.

    Args:
        qc (QuantumCircuit): The circuit, of at most ``MAX_QUBITS`` (12) qubits.

    Returns:
        np.ndarray: complex128 array of shape (2**nqubits, 2**nqubits).

    Raises:
        ValueError: If the circuit has more than ``MAX_QUBITS`` qubits, or holds
            a measure, a reset or a gate with no matrix (an unknown name, or
            the wrong number of parameters or qubits for its name).
    """
    if qc.nqubits > MAX_QUBITS:
        raise ValueError(
            f"unitary() takes circuits of at most {MAX_QUBITS} qubits "
            f"(a {qc.nqubits}-qubit unitary has {4**qc.nqubits} entries)"
        )
    return circuit_unitary(qc.nqubits, _operations(qc))


def equivalent(a, b, up_to_global_phase=True, atol=1e-8):
    """Return whether two circuits have the same unitary.

    Their unitaries are compared entry by entry: every entry may differ by at
    most ``atol`` in absolute value. With ``up_to_global_phase``, the
    unitary of ``a`` is first turned by the global phase that best matches
    it to that of ``b``.

    Args:
        a (QuantumCircuit): The first circuit.
        b (QuantumCircuit): The second circuit.
        up_to_global_phase (bool): Ignore a global phase between the two.
        atol (float): The largest absolute difference allowed per entry.

    Returns:
        bool: True if the unitaries agree, False otherwise (also when the
        circuits have different numbers of qubits).

    Raises:
        ValueError: As ``unitary`` for either circuit, or for a negative or
            non-finite ``atol``.
    """
    if isinstance(atol, bool) or not isinstance(atol, Real):
        raise TypeError(f"atol must be a real number, got {type(atol).__name__}")
    if not 0 <= atol < float("inf"):
        raise ValueError(f"atol must be a finite non-negative number, got {atol!r}")
    if a.nqubits != b.nqubits:
        return False
    ua, ub = unitary(a), unitary(b)
    if up_to_global_phase:
        # The phase of <ua, ub> is the one that brings ua closest to ub.
        overlap = np.vdot(ua, ub)
        if overlap != 0:
            ua *= overlap / abs(overlap)
    # In place: at 12 qubits each unitary takes 256 MiB.
    ua -= ub
    return bool(np.abs(ua).max() <= atol)
