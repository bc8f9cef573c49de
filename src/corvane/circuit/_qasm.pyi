def read(
    text: str,
    categories: tuple[dict, dict, dict, dict, dict],
    dt: float | None,
    max_qubits: int,
    max_gates: int,
) -> tuple[int, int, list[tuple], int]: ...
def write(
    nqubits: int,
    ncbits: int,
    gates: list,
    categories: tuple[dict, dict, dict, dict, dict],
    version: int = 2,
) -> str: ...
