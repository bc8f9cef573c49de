"""Euler-angle decomposition of one-qubit unitaries."""

from typing import Any

def u3_decompose(matrix: Any) -> tuple[float, float, float, float]: ...
