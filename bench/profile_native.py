"""Profile one native pass under `perf record`, sampling only while the pass runs.

    bash bench/profile.sh [gates] [shape]     # all four passes, reports in bench/results/perf-*.txt

The circuit is built (or loaded from a pickle cache) before sampling starts; when perf's control
fifo is given (PERF_CTL_FIFO / PERF_ACK_FIFO), sampling is switched on around the timed runs only.
"""

import os
import pickle
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import suite  # noqa: E402
from circuits import SHAPES  # noqa: E402


def control(word):
    ctl, ack = os.environ.get("PERF_CTL_FIFO"), os.environ.get("PERF_ACK_FIFO")
    if not ctl:
        return
    with open(ctl, "w") as f:
        f.write(word + "\n")
    with open(ack) as f:
        f.readline()


def main():
    pass_name, n, shape = sys.argv[1], int(sys.argv[2]), sys.argv[3]
    repeat = int(sys.argv[4]) if len(sys.argv) > 4 else 2
    cache = f"/tmp/corvane-profile-{shape}-{n}.pickle"
    if os.path.exists(cache):
        with open(cache, "rb") as f:
            qc = pickle.load(f)
    else:
        qc = SHAPES[shape](n)
        with open(cache, "wb") as f:
            pickle.dump(qc, f, protocol=pickle.HIGHEST_PROTOCOL)
    inp = suite.prepare(pass_name, "native", qc)
    run = suite.runner(pass_name, "native")
    times = []
    for _ in range(repeat):
        result = None
        control("enable")
        t0 = time.perf_counter()
        result = run(inp)
        suite.settle_collector()  # the collection the run made due is part of its cost, as in the suite
        times.append(time.perf_counter() - t0)
        control("disable")
    print(f"{pass_name} {shape} {n}: " + ", ".join(f"{t:.3f}s" for t in times), file=sys.stderr)
    del result


if __name__ == "__main__":
    main()
