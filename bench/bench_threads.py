"""Two threads against one on the same batch: the native engines release the GIL.

    python bench/bench_threads.py              # 200 circuits of the throughput batch, 3 runs
    python bench/bench_threads.py --count 40 --runs 1   # dry run

Roads, each on the same circuits and checked to give the same results:

- compress + XY4 and compression alone: `PassManager.run(qc)` over the batch in one thread, and
  the same calls from a `ThreadPoolExecutor(2)` (`PassManager.run(list, executor=...)`);
- the OpenQASM reader: `qasm.loads` of each circuit's program text, one thread against two.

Wall time, median of `--runs`; on the shared machine the ratio is only a rough guide (the lead
takes the reportable figures on a quiet machine). Only the engines' core work runs without the
GIL: reading the circuits in and building the results stay serial, so the ratio shows how much
of each road is core work.
"""

import argparse
import concurrent.futures as cf
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_batch_road import median_wall  # noqa: E402
from bench_throughput import T1G, T2G, make_batch  # noqa: E402

from corvane.circuit import qasm  # noqa: E402
from corvane.circuit.optimize import GateCompressor  # noqa: E402
from corvane.circuit.pipeline import PassManager  # noqa: E402
from corvane.circuit.schedule import DynamicalDecoupling  # noqa: E402

THREADS = 2


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=200)
    parser.add_argument("--runs", type=int, default=3)
    args = parser.parse_args()
    batch = make_batch(args.count)
    texts = [qasm.dumps(qc) for qc in batch]
    print(f"{args.count} circuits, {sum(len(qc.gates) for qc in batch):,} gates")
    roads = {
        "compress + XY4": PassManager([GateCompressor(), DynamicalDecoupling(T1G, T2G)]).run,
        "compress": PassManager([GateCompressor()]).run,
        "qasm.loads": qasm.loads,
    }
    for name, run in roads.items():
        items = texts if run is qasm.loads else batch
        one, expected = median_wall(lambda: [run(item) for item in items], args.runs)
        with cf.ThreadPoolExecutor(THREADS) as pool:
            two, results = median_wall(lambda: list(pool.map(run, items)), args.runs)
        same = "identical" if results == expected else "DIFFERENT"
        print(
            f"{name:15}: 1 thread {one:.3f} s, {THREADS} threads {two:.3f} s, "
            f"{one / two:.2f}x; results {same}"
        )


if __name__ == "__main__":
    main()
