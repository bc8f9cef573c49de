"""This module contains the TranspilerPass class, an abstract base class for defining transpiler passes."""

from abc import ABC as ABC
from abc import abstractmethod as abstractmethod
from typing import Any

from corvane.circuit.quantumcircuit import QuantumCircuit as QuantumCircuit

class TranspilerPass(ABC):
    def __init__(self) -> None: ...
    @abstractmethod
    def run(self, qc: QuantumCircuit) -> Any: ...
