"""Interchange with Qiskit: ``to_qiskit`` and ``from_qiskit``.

Qiskit is an optional extra (``pip install 'corvane-circuit[qiskit]'``),
imported only inside these functions. Our gate names are Qiskit's instruction
names (``cnot`` is written as ``cx``), and both sides order the basis of a
gate's matrix the same way (bit k of an index is the gate's k-th qubit), so
``qiskit.quantum_info.Operator(to_qiskit(qc))`` equals ``unitary(qc)``.

Entries that Qiskit spells differently: a measurement or delay of several
qubits becomes one Qiskit instruction per qubit, and comes back that way.
Delays are in seconds here; Qiskit's delays carry a unit ("s", "ms", "us",
"ns", "ps", or "dt" for the backend's sample time).
"""

from corvane.circuit.durations import SECONDS_PER_UNIT
from corvane.circuit.entry_transforms import entry_cbits, entry_duration, gate_parameters
from corvane.circuit.quantumcircuit import QuantumCircuit, operation_qubits
from corvane.circuit.quantumcircuit_helpers import GATE_ROWS

__all__ = ["to_qiskit", "from_qiskit"]

# Our gate name -> the name of its Qiskit gate class in qiskit.circuit.library.
_QISKIT_GATES = {row.name: row.qiskit_class for row in GATE_ROWS if row.qiskit_class}
# Qiskit instruction names that are our gate names ("cnot" is Qiskit's "cx").
_SHARED_NAMES = frozenset(
    row.name for row in GATE_ROWS if row.qiskit_class and row.qiskit_name == row.name
)


def _require_qiskit(function):
    try:
        import qiskit
    except ImportError:
        raise ImportError(
            f"{function}() needs Qiskit: pip install 'corvane-circuit[qiskit]'"
        ) from None
    return qiskit


def to_qiskit(qc):
    """Return the circuit as a ``qiskit.QuantumCircuit``.

    Args:
        qc (QuantumCircuit): The circuit.

    Returns:
        qiskit.QuantumCircuit: One quantum register of ``qc.nqubits`` qubits and
        one classical register of ``qc.ncbits`` bits; delays in seconds.

    Raises:
        ImportError: If Qiskit is not installed.
        ValueError: For a gate with no Qiskit counterpart (a name added to a
            gate category by the user).
    """
    qiskit = _require_qiskit("to_qiskit")
    from qiskit.circuit import library

    out = qiskit.QuantumCircuit(qc.nqubits, qc.ncbits)
    for index, entry in enumerate(qc.gates):
        name = entry[0]
        qubits = operation_qubits(entry)
        if name == "measure":
            out.measure(qubits, list(entry_cbits(entry)))
        elif name == "barrier":
            out.barrier(*qubits)
        elif name == "delay":
            out.delay(float(entry_duration(entry)), qubits, unit="s")
        elif name == "reset":
            out.reset(qubits[0])
        elif name in _QISKIT_GATES:
            params = [float(p) for p in gate_parameters(entry)]
            out.append(getattr(library, _QISKIT_GATES[name])(*params), qubits)
        else:
            raise ValueError(f"gate {index} ({name!r}) has no Qiskit counterpart")
    return out


def _seconds(operation, dt):
    unit = operation.unit
    if unit == "dt":
        if dt is None:
            raise ValueError("a delay in units of 'dt' needs dt, the sample time in seconds")
        return float(operation.duration) * dt
    if unit not in SECONDS_PER_UNIT:
        raise ValueError(f"delay unit {unit!r} is not one of {sorted(SECONDS_PER_UNIT)} or 'dt'")
    return float(operation.duration) * SECONDS_PER_UNIT[unit]


def _parameters(operation, index):
    try:
        return tuple(float(p) for p in operation.params)
    except TypeError:
        raise ValueError(
            f"instruction {index} ({operation.name!r}) has unbound parameters "
            f"{operation.params}; bind them first (assign_parameters)"
        ) from None


def from_qiskit(circuit, dt=None):
    """Return a ``QuantumCircuit`` made from a ``qiskit.QuantumCircuit``.

    Qubits and classical bits are numbered in the order of ``circuit.qubits``
    and ``circuit.clbits`` (all registers, flattened). The global phase is
    dropped: our circuits carry none.

    Args:
        circuit (qiskit.QuantumCircuit): The circuit; its instructions must be
            gates of our set, measure, barrier, delay or reset (decompose
            others first, for example with ``qiskit.transpile(circuit,
            basis_gates=["u", "cx"])``).
        dt (float | None): Seconds per sample, for delays in units of "dt".

    Returns:
        QuantumCircuit: The circuit; delays in seconds.

    Raises:
        ImportError: If Qiskit is not installed.
        ValueError: For an instruction with no counterpart here, unbound
            parameters, or a delay in "dt" without ``dt``.
    """
    _require_qiskit("from_qiskit")
    out = QuantumCircuit(circuit.num_qubits, circuit.num_clbits)
    for index, instruction in enumerate(circuit.data):
        operation = instruction.operation
        name = operation.name
        qubits = [circuit.find_bit(q).index for q in instruction.qubits]
        if getattr(operation, "condition", None) is not None:
            raise ValueError(
                f"instruction {index} ({name!r}) is classically conditioned, "
                "which corvane.circuit cannot express"
            )
        if name == "measure":
            out.measure(qubits, [circuit.find_bit(c).index for c in instruction.clbits])
        elif name == "barrier":
            out.barrier(qubits)
        elif name == "delay":
            out.delay(_seconds(operation, dt), qubits)
        elif name == "reset":
            out.reset(qubits[0])
        elif name in _SHARED_NAMES and not instruction.clbits:
            out.append_gate(name, *_parameters(operation, index), *qubits)
        else:
            raise ValueError(
                f"instruction {index} ({name!r}) has no counterpart in corvane.circuit; "
                "decompose it first, e.g. qiskit.transpile(circuit, basis_gates=['u', 'cx'])"
            )
    return out
