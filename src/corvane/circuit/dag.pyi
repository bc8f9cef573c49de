"""Tools for converting between directed acyclic graphs (DAGs) and quantum circuits"""

from collections.abc import Sequence
from typing import Any

import networkx as nx

from corvane.circuit.quantumcircuit import QuantumCircuit as QuantumCircuit
from corvane.circuit.quantumcircuit_helpers import (
    convert_gate_info_to_dag_info as convert_gate_info_to_dag_info,
)
from corvane.circuit.quantumcircuit_helpers import (
    functional_gates_available as functional_gates_available,
)
from corvane.circuit.quantumcircuit_helpers import (
    one_qubit_gates_available as one_qubit_gates_available,
)
from corvane.circuit.quantumcircuit_helpers import (
    one_qubit_parameter_gates_available as one_qubit_parameter_gates_available,
)
from corvane.circuit.quantumcircuit_helpers import (
    three_qubit_gates_available as three_qubit_gates_available,
)
from corvane.circuit.quantumcircuit_helpers import (
    two_qubit_gates_available as two_qubit_gates_available,
)
from corvane.circuit.quantumcircuit_helpers import (
    two_qubit_parameter_gates_available as two_qubit_parameter_gates_available,
)

def qc2dag(qc: QuantumCircuit, show_qubits: bool = True) -> nx.DiGraph: ...
def dag2qc(
    dag: nx.DiGraph, nqubits: int | None = None, ncbits: int | None = None
) -> QuantumCircuit: ...
def get_qcgraph_edges(gates: Sequence[Sequence[Any]]) -> list[Sequence[Any]]: ...
def qc2graph(qc: QuantumCircuit) -> nx.Graph: ...
def split_qubits(qc: QuantumCircuit) -> list[list[Any]]: ...
def draw_graph(G: nx.Graph) -> None: ...
def draw_dag(dag: nx.DiGraph, output: str = "dag_figure.png") -> None: ...
