"""Gate categories of the circuit model and the circuit-to-DAG builder.

Each category maps a gate name to the number of parameters the gate takes; all
six are filled from the compiled gate table at import, in its order, and are
plain dicts from then on. The passes only test names against the keys, so
adding a name to a category (for example ``one_qubit_gates_available["myx"] = 0``) is seen everywhere:
``quantumcircuit`` re-exports these very dict objects.
"""

from typing import NamedTuple

from corvane.circuit._convert import _entry_shapes, _gate_rows, convert_gate_info_to_dag_info


class GateRow(NamedTuple):
    """The gate table's facts about one gate or operation of the circuit model."""

    name: str
    category: str  # the name of its category mapping
    nqubits: int  # 0 for the functional operations (any number)
    nparams: int
    inverse: str  # how inverse() undoes it: "self", "adjoint", "negate_angle", ...
    inverse_gate: str  # for "adjoint": the gate that undoes it
    label: str  # the drawings' box text
    symbols: str  # what each qubit shows in a drawing, space-separated; "" for boxes
    qiskit_class: str  # its class in qiskit.circuit.library
    qiskit_name: str  # the Qiskit instruction's name


# The compiled gate table (cpp/core/gates/gate_table.cpp), rows of the model's
# gates and operations in table order.
GATE_ROWS = tuple(GateRow(*row) for row in _gate_rows())


def _category(key):
    return {row.name: row.nparams for row in GATE_ROWS if row.category == key}


one_qubit_gates_available = _category("one_qubit_gates_available")
two_qubit_gates_available = _category("two_qubit_gates_available")
three_qubit_gates_available = _category("three_qubit_gates_available")
one_qubit_parameter_gates_available = _category("one_qubit_parameter_gates_available")
two_qubit_parameter_gates_available = _category("two_qubit_parameter_gates_available")
functional_gates_available = _category("functional_gates_available")


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
# other functional operation. The native bindings' own table, read once.
ENTRY_SHAPES = {key: EntryShape(*shape) for key, shape in _entry_shapes().items()}

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
    "GateRow",
    "GATE_ROWS",
]
