"""The unitary and the output state of a circuit, from the core's gate matrices."""

from collections.abc import Sequence

import numpy as np

MAX_QUBITS: int
MAX_STATE_QUBITS: int
MAX_OUTCOME_QUBITS: int
NEGLIGIBLE: float

def circuit_unitary(
    nqubits: int, operations: Sequence[tuple[int, str, Sequence[float], Sequence[int]]]
) -> np.ndarray: ...
def apply_circuit(
    nqubits: int,
    operations: Sequence[tuple[int, str, Sequence[float], Sequence[int]]],
    state: np.ndarray,
    fuse_single_qubit_runs: bool = False,
) -> complex | None: ...
def outcome_distribution(
    nqubits: int,
    ncbits: int,
    steps: Sequence[tuple[object, ...]],
    max_branch_points: int,
    max_outcomes: int,
    seconds: float | None = None,
) -> tuple[dict[int, float], float, float, str, int]: ...
