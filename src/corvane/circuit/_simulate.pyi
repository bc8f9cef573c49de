"""The unitary and the output state of a circuit, from the core's gate matrices."""

from collections.abc import Sequence

import numpy as np

MAX_QUBITS: int
MAX_STATE_QUBITS: int

def circuit_unitary(
    nqubits: int, operations: Sequence[tuple[int, str, Sequence[float], Sequence[int]]]
) -> np.ndarray: ...
def apply_circuit(
    nqubits: int,
    operations: Sequence[tuple[int, str, Sequence[float], Sequence[int]]],
    state: np.ndarray,
) -> None: ...
