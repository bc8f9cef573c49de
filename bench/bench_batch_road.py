"""The in-memory batch against a loop: `PassManager.run(list)` with no executor never loses.

    python bench/bench_batch_road.py              # 300 programs, 3 runs per road
    python bench/bench_batch_road.py --count 60 --runs 1   # dry run

The programs of bench_files.py's folder (the shipped ones, then seeded generated programs of 500
to 4,000 gates), read once. For compress then XY4 decoupling, and for compression alone, the
wall time of: a loop of `run(qc)`; `run(list)` with no executor (its own choice, printed: how
many circuits it ran here); and `run(list, executor=ProcessPoolExecutor(2))`, the pool's start
included, in turn in each of `--runs` rounds. Every road's results are checked equal to the
loop's. Medians and spreads; timings on a shared machine are a rough guide only.
"""

import argparse
import concurrent.futures as cf
import os
import statistics
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_files import make_folder  # noqa: E402

from corvane.circuit import pipeline, qasm  # noqa: E402
from corvane.circuit.optimize import GateCompressor  # noqa: E402
from corvane.circuit.pipeline import PassManager  # noqa: E402
from corvane.circuit.schedule import DynamicalDecoupling  # noqa: E402

T1G, T2G = 2e-8, 5e-8
WORKERS = 2


def programs(count):
    with tempfile.TemporaryDirectory() as folder:
        make_folder(folder, count)
        names = sorted(os.listdir(folder))
        return [qasm.loads(open(os.path.join(folder, n), encoding="utf-8").read()) for n in names]


def alternating_walls(roads, runs):
    """Wall times of ``runs`` rounds, each calling every road once in turn (so that a
    drift of the machine's speed falls on all of them alike): per road, its median,
    its spread (max - min) and its last value.

    The previous call's value is dropped before each call, so that every road
    runs beside the same live objects (the loop's results, kept to check the
    others against): a batch more alive makes the collector's passes longer.
    """
    times = {name: [] for name in roads}
    values = {}
    for _ in range(runs):
        for name, function in roads.items():
            values[name] = None
            start = time.perf_counter()
            values[name] = function()
            times[name].append(time.perf_counter() - start)
    return {
        name: (statistics.median(t), max(t) - min(t), values[name]) for name, t in times.items()
    }


def on_pool(manager, circuits):
    with cf.ProcessPoolExecutor(WORKERS) as pool:
        return manager.run(circuits, executor=pool)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    circuits = programs(args.count)
    print(f"{len(circuits)} programs, {sum(len(qc.gates) for qc in circuits):,} gates")
    decisions = []
    pool_wins = pipeline._pool_wins

    def recorded(*call):
        decisions.append(pool_wins(*call))
        return decisions[-1]

    pipeline._pool_wins = recorded
    for name, steps in {
        "compress + XY4": [GateCompressor(), DynamicalDecoupling(T1G, T2G)],
        "compress": [GateCompressor()],
    }.items():
        manager = PassManager(steps)
        expected = [manager.run(qc) for qc in circuits]
        decisions.clear()
        walls = alternating_walls(
            {
                "loop": lambda: [manager.run(qc) for qc in circuits],
                "run(list)": lambda: manager.run(circuits),
                "pool": lambda: on_pool(manager, circuits),
            },
            args.runs,
        )
        assert all(value == expected for _, _, value in walls.values())
        (loop, loop_spread, _), (default, default_spread, _), (pool, pool_spread, _) = (
            walls["loop"],
            walls["run(list)"],
            walls["pool"],
        )
        entries = sum(len(qc.gates) for qc in expected)
        chose = "pool" if any(decisions) else "here"
        print(
            f"{name} ({entries:,} entries out), medians (spreads): loop {loop:.3f} s "
            f"({loop_spread:.3f}); run(list) {default:.3f} s ({default_spread:.3f}), "
            f"{loop / default:.2f}x, ran {chose}; {WORKERS}-process pool {pool:.3f} s "
            f"({pool_spread:.3f}), {loop / pool:.2f}x"
        )


if __name__ == "__main__":
    main()
