"""Gate-entry helpers behind ``QuantumCircuit.inverse`` and ``compose``, the
drawings, ``unitary`` and the Qiskit interchange.

Entry shapes are read from ``ENTRY_SHAPES`` through ``entry_shape`` and
``operation_qubits``.
"""

from corvane.circuit.quantumcircuit import entry_shape, operation_qubits
from corvane.circuit.quantumcircuit_helpers import GATE_ROWS

# Gate name -> how inverse() undoes it and, for an adjoint, the gate that does.
_INVERSES = {row.name: (row.inverse, row.inverse_gate) for row in GATE_ROWS}


def gate_parameters(entry):
    """The parameters of a gate entry: the items between the name and the
    trailing qubits of a parameter gate; none for any other gate."""
    shape = entry_shape(entry[0])
    end = len(entry) - shape.trailing_qubits if shape is not None and shape.parameters else 1
    return entry[1:end]


def entry_cbits(entry):
    """The classical bits a measure entry writes to."""
    return entry[entry_shape(entry[0]).cbits_item]


def entry_duration(entry):
    """The duration of a delay entry."""
    return entry[entry_shape(entry[0]).duration_item]


def condition_text(entry):
    """A conditional's condition as the drawings show it: "c1==1", "c[0,2]==3"."""
    cbits, value = entry[1], entry[2]
    bits = f"c{cbits[0]}" if len(cbits) == 1 else "c[" + ",".join(map(str, cbits)) + "]"
    return f"{bits}=={value}"


def remap_entry(entry, qubit_map, cbit_map):
    """``entry`` with qubit q replaced by ``qubit_map[q]`` and classical bit c by ``cbit_map[c]``."""
    name = entry[0]
    if name == "if":
        cbits, value, body, orelse = entry[1:]
        return (
            name,
            tuple(cbit_map[c] for c in cbits),
            value,
            tuple(remap_entry(inner, qubit_map, cbit_map) for inner in body),
            tuple(remap_entry(inner, qubit_map, cbit_map) for inner in orelse),
        )
    shape = entry_shape(name)
    if shape is None or shape.qubits_item is None:
        return (name, *gate_parameters(entry), *(qubit_map[q] for q in operation_qubits(entry)))
    items = list(entry)
    qubits = [qubit_map[q] for q in entry[shape.qubits_item]]
    items[shape.qubits_item] = tuple(qubits) if shape.qubits_as_tuple else qubits
    if shape.cbits_item is not None:
        items[shape.cbits_item] = [cbit_map[c] for c in entry[shape.cbits_item]]
    return tuple(items)


def inverse_entry(entry):
    """The entries that undo ``entry``, in program order; ValueError when there are none."""
    name = entry[0]
    rule, inverse_gate = _INVERSES.get(name, ("unknown", ""))
    if rule == "self":
        return [entry]
    if rule == "adjoint":
        return [(inverse_gate, *entry[1:])]
    if rule == "conjugate_by_z":
        # iswap's adjoint is iswap conjugated by Z on its first qubit: Z
        # flips the sign of the i on the two exchanged states.
        q0, q1 = entry[1:]
        return [("z", q0), (name, q0, q1), ("z", q0)]
    if rule == "negate_angle":
        theta, *qubits = entry[1:]
        return [(name, -theta, *qubits)]
    if rule == "negate_and_swap":
        # u(theta, phi, lamda)^-1 = u(-theta, -lamda, -phi)
        theta, phi, lamda, q = entry[1:]
        return [(name, -theta, -lamda, -phi, q)]
    if rule == "negate_theta_keep_phi":
        # a rotation about a fixed axis in the xy-plane: undo by negating the angle
        theta, phi, q = entry[1:]
        return [(name, -theta, phi, q)]
    if rule == "irreversible" and name == "if":
        raise ValueError(
            "a circuit with a conditional ('if') has no inverse: which branch runs "
            "depends on measurement results"
        )
    if rule == "irreversible":
        raise ValueError(f"a circuit with {name!r} has no inverse: {name} is not reversible")
    raise ValueError(f"no inverse known for gate {name!r}")


def inverse_entries(gates):
    """The entries of the inverse circuit: each gate's inverse, last gate first."""
    return [undo for entry in reversed(gates) for undo in inverse_entry(entry)]
