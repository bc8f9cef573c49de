"""Gate categories of the circuit model and the circuit-to-DAG builder.

Each category maps a gate name to the number of parameters the gate takes.
The passes only test names against the keys, so adding a name to a category
(for example ``one_qubit_gates_available["myx"] = 0``) is seen everywhere:
``quantumcircuit`` re-exports these very dict objects.
"""

from corvane.circuit._convert import convert_gate_info_to_dag_info

one_qubit_gates_available = {
    name: 0 for name in ("id", "x", "y", "z", "h", "s", "sdg", "t", "tdg", "sx", "sxdg")
}
two_qubit_gates_available = {name: 0 for name in ("swap", "iswap", "cx", "cnot", "cy", "cz")}
three_qubit_gates_available = {name: 0 for name in ("ccz", "ccx", "cswap")}
one_qubit_parameter_gates_available = {"rx": 1, "ry": 1, "rz": 1, "p": 1, "u": 3, "r": 2}
two_qubit_parameter_gates_available = {"rxx": 1, "ryy": 1, "rzz": 1, "cp": 1}
functional_gates_available = {"measure": 0, "barrier": 0, "delay": 1, "reset": 0}

__all__ = [
    "one_qubit_gates_available",
    "two_qubit_gates_available",
    "three_qubit_gates_available",
    "one_qubit_parameter_gates_available",
    "two_qubit_parameter_gates_available",
    "functional_gates_available",
    "convert_gate_info_to_dag_info",
]
