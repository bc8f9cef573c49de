"""The unitary matrix of a circuit, from the core's gate matrices."""

from collections.abc import Sequence

import numpy as np

MAX_QUBITS: int

def circuit_unitary(
    nqubits: int, operations: Sequence[tuple[str, Sequence[float], Sequence[int]]]
) -> np.ndarray: ...
