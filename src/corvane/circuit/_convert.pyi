from collections.abc import Sequence
from typing import Any

def convert_gate_info_to_dag_info(
    nqubits: int, qubits: Sequence[Any], gates: Sequence[Sequence[Any]], show_qubits: bool = True
) -> tuple[list[tuple[str, dict[str, Any]]], list[tuple[str, str, dict[str, list[Any]]]]]: ...
def _entry_shapes() -> dict[str, tuple[Any, ...]]: ...
