"""Gate categories of the circuit model and the circuit-to-DAG builder."""
from corvane.circuit._convert import convert_gate_info_to_dag_info as convert_gate_info_to_dag_info

one_qubit_gates_available: dict[str, int]
two_qubit_gates_available: dict[str, int]
three_qubit_gates_available: dict[str, int]
one_qubit_parameter_gates_available: dict[str, int]
two_qubit_parameter_gates_available: dict[str, int]
functional_gates_available: dict[str, int]

__all__ = ['one_qubit_gates_available', 'two_qubit_gates_available', 'three_qubit_gates_available', 'one_qubit_parameter_gates_available', 'two_qubit_parameter_gates_available', 'functional_gates_available', 'convert_gate_info_to_dag_info']
