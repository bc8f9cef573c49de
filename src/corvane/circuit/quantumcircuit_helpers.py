"""Gate categories of the circuit model and the circuit-to-DAG builder.

Each category maps a gate name to the number of parameters the gate takes.
The passes only test names against the keys, so adding a name to a category
(for example ``one_qubit_gates_available["myx"] = 0``) is seen everywhere:
``quantumcircuit`` re-exports these very dict objects.
"""

from typing import NamedTuple

from corvane.circuit._convert import convert_gate_info_to_dag_info

one_qubit_gates_available = {
    name: 0 for name in ("id", "x", "y", "z", "h", "s", "sdg", "t", "tdg", "sx", "sxdg")
}
two_qubit_gates_available = {name: 0 for name in ("swap", "iswap", "cx", "cnot", "cy", "cz")}
three_qubit_gates_available = {name: 0 for name in ("ccz", "ccx", "cswap")}
one_qubit_parameter_gates_available = {"rx": 1, "ry": 1, "rz": 1, "p": 1, "u": 3, "r": 2}
two_qubit_parameter_gates_available = {"rxx": 1, "ryy": 1, "rzz": 1, "cp": 1}
functional_gates_available = {"measure": 0, "barrier": 0, "delay": 1, "reset": 0}


class EntryShape(NamedTuple):
    """Where the items of a gate entry are. Items are counted with the name at 0."""

    size: int | None  # items, the name included; None when parameters make it vary
    trailing_qubits: int  # qubits at the end of the entry, one item each
    parameters: bool  # the items between the name and the trailing qubits are parameters
    qubits_item: int | None  # the item holding a collection of qubits
    qubits_as_tuple: bool  # that collection written back as a tuple (else a list)
    cbits_item: int | None  # the item holding the classical bits
    duration_item: int | None  # the item holding the duration
    written_back: bool  # a DAG node of this shape turns back into an entry


# One row per category of fixed shape and one per functional gate; "" is any
# other functional operation. The native bindings hold the same table (a test
# checks that the two agree).
ENTRY_SHAPES = {
    "one_qubit_gates_available": EntryShape(2, 1, False, None, False, None, None, True),
    "two_qubit_gates_available": EntryShape(3, 2, False, None, False, None, None, True),
    "three_qubit_gates_available": EntryShape(4, 3, False, None, False, None, None, True),
    "one_qubit_parameter_gates_available": EntryShape(None, 1, True, None, False, None, None, True),
    "two_qubit_parameter_gates_available": EntryShape(None, 2, True, None, False, None, None, True),
    "measure": EntryShape(3, 0, False, 1, False, 2, None, True),
    "barrier": EntryShape(2, 0, False, 1, True, None, None, True),
    "delay": EntryShape(3, 0, False, 2, True, None, 1, True),
    "reset": EntryShape(2, 1, False, None, False, None, None, True),
    "": EntryShape(2, 0, False, 1, True, None, None, False),
}

__all__ = [
    "one_qubit_gates_available",
    "two_qubit_gates_available",
    "three_qubit_gates_available",
    "one_qubit_parameter_gates_available",
    "two_qubit_parameter_gates_available",
    "functional_gates_available",
    "convert_gate_info_to_dag_info",
    "EntryShape",
    "ENTRY_SHAPES",
]
