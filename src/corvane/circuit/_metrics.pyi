from collections.abc import Callable, Sequence

def circuit_figures(
    gates: Sequence[tuple], describe: Callable[[str], tuple]
) -> tuple[dict[str, int], int, int, float]: ...
