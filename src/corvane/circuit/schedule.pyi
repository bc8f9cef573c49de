"""Dynamical decoupling: fills the idle windows of a circuit's qubits with XY4 or CPMG pulse trains separated by delays."""

import copy as copy
from collections.abc import Iterable
from typing import Any
from typing import Literal as Literal

from corvane.circuit.dag import dag2qc as dag2qc
from corvane.circuit.dag import qc2dag as qc2dag
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.quantumcircuit_helpers import (
    one_qubit_gates_available as one_qubit_gates_available,
)
from corvane.circuit.quantumcircuit_helpers import (
    one_qubit_parameter_gates_available as one_qubit_parameter_gates_available,
)
from corvane.circuit.quantumcircuit_helpers import (
    two_qubit_gates_available as two_qubit_gates_available,
)
from corvane.circuit.quantumcircuit_helpers import (
    two_qubit_parameter_gates_available as two_qubit_parameter_gates_available,
)
from corvane.circuit.stratum import TranspilerPass as TranspilerPass

class DynamicalDecoupling(TranspilerPass):
    t1g: Any
    t2g: Any
    _count: int
    def __init__(self, t1g: float, t2g: float, *, max_entries: int | None = None) -> None: ...
    def counter(self) -> int: ...
    def _get_max_idle_time(self, nodes: Iterable[Any]) -> Any: ...
    def _update_idle_time(self, node: Any, max_idle_time: Any) -> Any: ...
    def run(
        self,
        qc: QuantumCircuit,
        sequence: Literal["XY4", "CPMG"] = "XY4",
        align_right: bool = True,
        insert_before_barrier: bool = False,
    ) -> QuantumCircuit: ...
