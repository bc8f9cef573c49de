"""Reading `dag` after GateCompressor.run against the run that built it before (same machine, same minutes).

    python bench/ab_compress_dag.py BEFORE_SITE [--sizes 100000] [--rounds 5]

BEFORE_SITE is a `pip install --target` of the commit before `dag` was built on first read; this
checkout's own build is the other side. Each round times, in one fresh process per side and in
alternating order, `GateCompressor().run(qc)` then (current build) reading `dag`, every run ending
with the collection its objects made due (as the suite times). The medians and spreads go to
bench/results/compress_before.json, which the suite's report reads for its target line.
"""

import argparse
import json
import os
import pickle
import statistics
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from circuits import SHAPES  # noqa: E402

WORKER = """
import gc, pickle, sys, time
sys.path.insert(0, {here!r})
from suite import settle_collector
from corvane.circuit.optimize import GateCompressor
with open({path!r}, "rb") as f:
    qc = pickle.load(f)
gc.collect()
c = GateCompressor()
t0 = time.perf_counter()
c.run(qc)
c.dag
settle_collector()
print(time.perf_counter() - t0)
"""


def timed_in(site, path):
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = site
    code = WORKER.format(here=HERE, path=path)
    r = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, env=env, check=True
    )
    return float(r.stdout.split()[-1])


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("before_site")
    ap.add_argument("--commit", default="9f8b221")
    ap.add_argument("--sizes", type=int, nargs="+", default=[100_000])
    ap.add_argument("--shapes", nargs="+", default=list(SHAPES))
    ap.add_argument("--rounds", type=int, default=5)
    args = ap.parse_args()
    rows = {}
    with tempfile.TemporaryDirectory() as tmp:
        for n in args.sizes:
            for shape in args.shapes:
                path = os.path.join(tmp, "circuit.pickle")
                with open(path, "wb") as f:
                    pickle.dump(SHAPES[shape](n), f, protocol=pickle.HIGHEST_PROTOCOL)
                then, now = [], []
                for k in range(args.rounds):
                    sides = [(then, args.before_site), (now, None)]
                    for times, site in sides if k % 2 == 0 else sides[::-1]:
                        times.append(timed_in(site, path))
                row = {
                    side: dict(median=statistics.median(t), spread=max(t) - min(t), runs=len(t))
                    for side, t in (("then", then), ("now", now))
                }
                rows.setdefault(shape, {})[str(n)] = row
                print(
                    f"{shape:10} {n:>8} then {row['then']['median']:.3f}s (+-{row['then']['spread']:.3f}) "
                    f"now {row['now']['median']:.3f}s (+-{row['now']['spread']:.3f})",
                    flush=True,
                )
    out = dict(
        commit=args.commit,
        load=os.getloadavg(),
        command=" ".join(["python"] + sys.argv),
        rows=rows,
        note=f"GateCompressor.run at {args.commit} (which built dag during the run, reading it afterwards "
        "is free) against this checkout's run followed by reading dag, alternating fresh processes",
    )
    with open(os.path.join(HERE, "results", "compress_before.json"), "w") as f:
        json.dump(out, f, indent=1)


if __name__ == "__main__":
    main()
