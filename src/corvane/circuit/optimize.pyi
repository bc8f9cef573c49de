"""This module contains the `GateCompressor` class, which is designed to optimize quantum circuits by merging or compressing adjacent gates."""

import re as re
from typing import Any

import networkx as nx

from corvane.circuit.dag import dag2qc as dag2qc
from corvane.circuit.dag import qc2dag as qc2dag
from corvane.circuit.decompose import u3_decompose as u3_decompose
from corvane.circuit.matrix import gate_matrix_dict as gate_matrix_dict
from corvane.circuit.matrix import u_mat as u_mat
from corvane.circuit.quantumcircuit import (
    QuantumCircuit as QuantumCircuit,
)
from corvane.circuit.quantumcircuit import (
    one_qubit_gates_available as one_qubit_gates_available,
)
from corvane.circuit.quantumcircuit import (
    one_qubit_parameter_gates_available as one_qubit_parameter_gates_available,
)
from corvane.circuit.quantumcircuit import (
    three_qubit_gates_available as three_qubit_gates_available,
)
from corvane.circuit.quantumcircuit import (
    two_qubit_gates_available as two_qubit_gates_available,
)
from corvane.circuit.quantumcircuit import (
    two_qubit_parameter_gates_available as two_qubit_parameter_gates_available,
)
from corvane.circuit.stratum import TranspilerPass as TranspilerPass

_MergeResult = tuple[
    list[Any], list[tuple[str, dict[str, Any]]], list[tuple[Any, Any, dict[str, list[Any]]]]
]

class GateCompressor(TranspilerPass):
    compressible_gates: list[str]
    dag: nx.DiGraph
    _idx: int
    def __init__(self) -> None: ...
    def remove_identity_gates(self, qc: QuantumCircuit) -> QuantumCircuit: ...
    def is_adjacent_gates(self, node1: str, node2: str) -> bool: ...
    def has_adjacent_gates(self) -> bool: ...
    def compress_adjacent_single_qubit_gates(self, node1: str, node2: str) -> _MergeResult: ...
    def compress_adjacent_single_parameter_qubit_gates(
        self, node1: str, node2: str
    ) -> _MergeResult: ...
    def compress_adjacent_two_qubit_gates(self, node1: str, node2: str) -> _MergeResult: ...
    def compress_adjacent_two_qubit_parameter_gates(
        self, node1: str, node2: str
    ) -> _MergeResult: ...
    def compress_adjacent_three_qubit_gates(self, node1: Any, node2: Any) -> _MergeResult: ...
    def run_compress_once(self, node1: str, node2: str) -> _MergeResult | None: ...
    @property
    def idx(self) -> int: ...
    def run(self, qc: QuantumCircuit) -> QuantumCircuit: ...
