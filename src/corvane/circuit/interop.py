"""Interchange with Qiskit: ``to_qiskit`` and ``from_qiskit``.

Qiskit is an optional extra (``pip install 'corvane-circuit[qiskit]'``),
imported only inside these functions. Our gate names are Qiskit's instruction
names (``cnot`` is written as ``cx``), and both sides order the basis of a
gate's matrix the same way (bit k of an index is the gate's k-th qubit), so
``qiskit.quantum_info.Operator(to_qiskit(qc))`` equals ``unitary(qc)``.

Entries that Qiskit spells differently: a measurement or delay of several
qubits becomes one Qiskit instruction per qubit, and comes back that way. A
conditional becomes an ``if_test`` block (an ``IfElseOp``): a condition on one
bit as ``(clbit, value)``, one on several bits as the expression that ANDs
each bit or its negation; ``from_qiskit`` reads those forms back, and a
condition ``(register, value)`` or ``register == value`` as that register's bits.
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

    out = qiskit.QuantumCircuit(qc.nqubits, qc.ncbits)
    _append_to_qiskit(out, qc.gates)
    return out


def _qiskit_condition(out, cbits, value):
    from qiskit.circuit.classical import expr

    if len(cbits) == 1:
        return (out.clbits[cbits[0]], value)
    terms = [
        expr.lift(out.clbits[c]) if value >> k & 1 else expr.logic_not(out.clbits[c])
        for k, c in enumerate(cbits)
    ]
    condition = terms[0]
    for term in terms[1:]:
        condition = expr.logic_and(condition, term)
    return condition


def _append_to_qiskit(out, entries):
    from qiskit.circuit import library

    for index, entry in enumerate(entries):
        name = entry[0]
        if name == "if":
            cbits, value, body, orelse = entry[1:]
            with out.if_test(_qiskit_condition(out, cbits, value)) as otherwise:
                _append_to_qiskit(out, body)
            if orelse:
                with otherwise:
                    _append_to_qiskit(out, orelse)
            continue
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
    qubit_of = {q: circuit.find_bit(q).index for q in circuit.qubits}
    cbit_of = {c: circuit.find_bit(c).index for c in circuit.clbits}
    _read_qiskit(circuit, qubit_of, cbit_of, out, dt)
    return out


def _condition_bits(condition, cbit_of, index):
    """(cbits, value) of an IfElseOp's condition, in the forms to_qiskit writes
    and the register forms; ValueError for any other."""
    from qiskit.circuit import ClassicalRegister, Clbit
    from qiskit.circuit.classical import expr

    def register_bits(target):
        if isinstance(target, Clbit):
            return (cbit_of[target],)
        if isinstance(target, ClassicalRegister):
            return tuple(cbit_of[c] for c in target)
        return None

    if isinstance(condition, tuple):
        return register_bits(condition[0]), int(condition[1])
    if isinstance(condition, expr.Var) and isinstance(condition.var, Clbit):
        return (cbit_of[condition.var],), 1
    if isinstance(condition, expr.Unary) and condition.op == expr.Unary.Op.LOGIC_NOT:
        bits, value = _condition_bits(condition.operand, cbit_of, index)
        if len(bits) == 1:
            return bits, 1 - value
    if isinstance(condition, expr.Binary):
        if condition.op == expr.Binary.Op.LOGIC_AND:
            left_bits, left = _condition_bits(condition.left, cbit_of, index)
            right_bits, right = _condition_bits(condition.right, cbit_of, index)
            if not set(left_bits) & set(right_bits):
                return left_bits + right_bits, left | right << len(left_bits)
        if condition.op == expr.Binary.Op.EQUAL and isinstance(condition.right, expr.Value):
            if isinstance(condition.left, expr.Var):
                bits = register_bits(condition.left.var)
                if bits is not None:
                    return bits, int(condition.right.value)
    raise ValueError(
        f"instruction {index} (if_else) has a condition corvane.circuit cannot express"
    )


def _read_qiskit(circuit, qubit_of, cbit_of, out, dt):
    for index, instruction in enumerate(circuit.data):
        operation = instruction.operation
        name = operation.name
        qubits = [qubit_of[q] for q in instruction.qubits]
        if name == "if_else":
            cbits, value = _condition_bits(operation.condition, cbit_of, index)
            cbits_outer = [cbit_of[c] for c in instruction.clbits]
            with out.if_test(cbits, value) as branch:
                _read_block(operation.blocks[0], qubits, cbits_outer, out, dt)
            if len(operation.blocks) > 1 and operation.blocks[1] is not None:
                with branch.else_():
                    _read_block(operation.blocks[1], qubits, cbits_outer, out, dt)
            continue
        if getattr(operation, "condition", None) is not None:
            raise ValueError(
                f"instruction {index} ({name!r}) is classically conditioned, "
                "which corvane.circuit cannot express"
            )
        if name == "measure":
            out.measure(qubits, [cbit_of[c] for c in instruction.clbits])
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


def _read_block(block, qubits, cbits, out, dt):
    """A branch of an IfElseOp: its qubits and bits stand for the instruction's, in order."""
    _read_qiskit(block, dict(zip(block.qubits, qubits)), dict(zip(block.clbits, cbits)), out, dt)
