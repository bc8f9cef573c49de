"""What moving circuits to pool workers and results back costs, against the passes' own work.

    python bench/bench_transfer.py              # 40 circuits of the throughput batch, best of 5
    python bench/bench_transfer.py --count 10   # dry run

For compress then XY4 decoupling, and for compression alone, on the circuits of
bench_throughput.py: the CPU time of the passes per input gate and per result entry, and of
pickling and unpickling the inputs and the results, per gate and per entry, both as a circuit
pickles now (its compact layout) and as its attributes pickled before (``qc.__dict__``). The
figures behind the transfer constants of pipeline.py (``PARENT_NS_PER_GATE`` and the others).
Best of ``--runs`` runs, the collector paused while timing; CPU time, so a loaded machine
inflates every row alike.
"""

import argparse
import gc
import os
import pickle
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_throughput import T1G, T2G, make_batch  # noqa: E402

from corvane.circuit.optimize import GateCompressor  # noqa: E402
from corvane.circuit.pipeline import PassManager  # noqa: E402
from corvane.circuit.schedule import DynamicalDecoupling  # noqa: E402

PROTOCOL = pickle.HIGHEST_PROTOCOL


def best_cpu(function, runs):
    best, value = float("inf"), None
    for _ in range(runs):
        gc.collect()
        gc.disable()
        start = time.process_time()
        value = function()
        best = min(best, time.process_time() - start)
        gc.enable()
    return best, value


def transfer(circuits, runs, as_before):
    """CPU seconds to pickle and to unpickle every circuit, and the bytes per entry."""
    pickled = (lambda qc: qc.__dict__) if as_before else (lambda qc: qc)
    dumps, blobs = best_cpu(lambda: [pickle.dumps(pickled(qc), PROTOCOL) for qc in circuits], runs)
    loads, _ = best_cpu(lambda: [pickle.loads(blob) for blob in blobs], runs)
    return dumps, loads, sum(map(len, blobs))


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("--count", type=int, default=40)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    batch = make_batch(args.count)
    gates_in = sum(len(qc.gates) for qc in batch)
    print(f"{args.count} circuits, {gates_in:,} gates; CPU ns, best of {args.runs}")
    roads = {
        "compress + XY4": [GateCompressor(), DynamicalDecoupling(T1G, T2G)],
        "compress": [GateCompressor()],
    }
    for name, steps in roads.items():
        manager = PassManager(steps)
        work, results = best_cpu(lambda: [manager.run(qc) for qc in batch], args.runs)
        entries_out = sum(len(qc.gates) for qc in results)
        print(f"\n{name}: {entries_out:,} result entries ({entries_out / gates_in:.1f} per gate)")
        print(
            f"  passes: {work * 1e9 / gates_in:.1f} per gate, "
            f"{work * 1e9 / entries_out:.1f} per result entry"
        )
        for label, as_before in (("layout 1", False), ("attributes", True)):
            dumps_in, loads_in, _ = transfer(batch, args.runs, as_before)
            dumps_out, loads_out, size = transfer(results, args.runs, as_before)
            print(
                f"  {label:10}: inputs dumps {dumps_in * 1e9 / gates_in:.1f} "
                f"loads {loads_in * 1e9 / gates_in:.1f} per gate; results dumps "
                f"{dumps_out * 1e9 / entries_out:.1f} loads {loads_out * 1e9 / entries_out:.1f} "
                f"per entry, {size / entries_out:.1f} bytes per entry"
            )


if __name__ == "__main__":
    main()
