"""Gate-entry helpers behind ``QuantumCircuit.inverse`` and ``compose``, the
drawings, ``unitary`` and the Qiskit interchange.

Entry shapes are read from ``ENTRY_SHAPES`` through ``entry_shape`` and
``operation_qubits``.
"""

from corvane.circuit.quantumcircuit import entry_shape, operation_qubits

# Gates of our set that are their own inverse.
_SELF_INVERSE = frozenset(
    ("id", "x", "y", "z", "h", "swap", "cx", "cnot", "cy", "cz", "ccz", "ccx", "cswap")
)
# Fixed gates whose inverse is another fixed gate of the set.
_ADJOINT_PAIRS = {"s": "sdg", "sdg": "s", "t": "tdg", "tdg": "t", "sx": "sxdg", "sxdg": "sx"}
# Rotations whose inverse negates their one angle.
_NEGATED_ANGLE = frozenset(("rx", "ry", "rz", "p", "rxx", "ryy", "rzz", "cp"))


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


def remap_entry(entry, qubit_map, cbit_map):
    """``entry`` with qubit q replaced by ``qubit_map[q]`` and classical bit c by ``cbit_map[c]``."""
    name = entry[0]
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
    if name in _SELF_INVERSE or name in ("barrier", "delay"):
        return [entry]
    if name in _ADJOINT_PAIRS:
        return [(_ADJOINT_PAIRS[name], *entry[1:])]
    if name == "iswap":
        # iswap's adjoint is iswap conjugated by Z on its first qubit: Z
        # flips the sign of the i on the two exchanged states.
        q0, q1 = entry[1:]
        return [("z", q0), ("iswap", q0, q1), ("z", q0)]
    if name in _NEGATED_ANGLE:
        theta, *qubits = entry[1:]
        return [(name, -theta, *qubits)]
    if name == "u":
        # u(theta, phi, lamda)^-1 = u(-theta, -lamda, -phi)
        theta, phi, lamda, q = entry[1:]
        return [(name, -theta, -lamda, -phi, q)]
    if name == "r":
        # a rotation about a fixed axis in the xy-plane: undo by negating the angle
        theta, phi, q = entry[1:]
        return [(name, -theta, phi, q)]
    if name in ("measure", "reset"):
        raise ValueError(f"a circuit with {name!r} has no inverse: {name} is not reversible")
    raise ValueError(f"no inverse known for gate {name!r}")


def inverse_entries(gates):
    """The entries of the inverse circuit: each gate's inverse, last gate first."""
    return [undo for entry in reversed(gates) for undo in inverse_entry(entry)]
