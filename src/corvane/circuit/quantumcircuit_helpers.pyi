"""Gate categories of the circuit model and the circuit-to-DAG builder."""

from typing import NamedTuple

from corvane.circuit._convert import convert_gate_info_to_dag_info as convert_gate_info_to_dag_info

class GateRow(NamedTuple):
    name: str
    category: str
    nqubits: int
    nparams: int
    inverse: str
    inverse_gate: str
    label: str
    symbols: str
    qiskit_class: str
    qiskit_name: str

GATE_ROWS: tuple[GateRow, ...]

one_qubit_gates_available: dict[str, int]
two_qubit_gates_available: dict[str, int]
three_qubit_gates_available: dict[str, int]
one_qubit_parameter_gates_available: dict[str, int]
two_qubit_parameter_gates_available: dict[str, int]
functional_gates_available: dict[str, int]

class EntryShape(NamedTuple):
    size: int | None
    trailing_qubits: int
    parameters: bool
    qubits_item: int | None
    qubits_as_tuple: bool
    cbits_item: int | None
    duration_item: int | None
    written_back: bool

ENTRY_SHAPES: dict[str, EntryShape]

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
