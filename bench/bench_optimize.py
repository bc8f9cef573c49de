"""Benchmark: GateCompressor.run, native path against the generic path.

Run: python bench/bench_optimize.py [--sizes 1000 10000 100000] [--repeat 5]
                                    [--generic-limit 10000] [--no-million]

On seeded merge-rich random circuits (inverse pairs, repeated rotations,
angles summing to identities, u and r gates, every gate category) it prints,
per size, the median time of the native run and, up to --generic-limit gates,
of the generic path (forced by a subclass that overrides one method
trivially), their ratio, the gate counts before and after, whether both gave
the same circuit, graph and counter, and the peak of Python allocations
(tracemalloc) of the native run. Then it runs a 1e6-gate circuit in a fresh
process and reports its time and peak resident memory, and the time per gate
at each size as a check that the cost grows no faster than n log n.
"""

import argparse
import json
import math
import random
import statistics
import subprocess
import sys
import time
import tracemalloc

from corvane.circuit.optimize import GateCompressor
from corvane.circuit.quantumcircuit import QuantumCircuit

ANGLES = [0.5, -0.5, math.pi, 2 * math.pi, 4 * math.pi, 1, -1, 2, 0.25]


class Generic(GateCompressor):
    def has_adjacent_gates(self):
        return super().has_adjacent_gates()


def merge_rich_circuit(ngates, nqubits=20, seed=7):
    rng = random.Random(seed)
    qc = QuantumCircuit(nqubits, nqubits)
    add = qc.gates.append

    def angle():
        return rng.choice(ANGLES) if rng.random() < 0.5 else rng.uniform(-3, 3)

    while len(qc.gates) < ngates:
        kind = rng.random()
        if kind < 0.3:
            g, q = rng.choice(["x", "y", "z", "h", "s", "t"]), rng.randrange(nqubits)
            for _ in range(rng.choice([1, 2, 3])):
                add((g, q))
        elif kind < 0.45:
            g, qs = rng.choice(["cx", "cz", "swap", "cy"]), rng.sample(range(nqubits), 2)
            for _ in range(rng.choice([1, 2, 3])):
                add((g, *qs))
        elif kind < 0.5:
            g, qs = rng.choice(["ccx", "ccz", "cswap"]), rng.sample(range(nqubits), 3)
            add((g, *qs))
            add((g, *qs))
        elif kind < 0.7:
            g, q, a = rng.choice(["rx", "ry", "rz", "p"]), rng.randrange(nqubits), angle()
            add((g, a, q))
            add((g, rng.choice([-a, angle()]), q))
        elif kind < 0.8:
            g, qs, a = (
                rng.choice(["rxx", "ryy", "rzz", "cp"]),
                rng.sample(range(nqubits), 2),
                angle(),
            )
            add((g, a, *qs))
            add((g, rng.choice([-a, angle()]), *qs))
        elif kind < 0.85:
            q = rng.randrange(nqubits)
            add(("u", angle(), angle(), angle(), q))
            add(("u", angle(), angle(), angle(), q))
        elif kind < 0.9:
            q, phi = rng.randrange(nqubits), angle()
            add(("r", angle(), phi, q))
            add(("r", angle(), rng.choice([phi, angle()]), q))
        else:
            f = rng.choice(["measure", "barrier", "reset"])
            if f == "measure":
                add(("measure", [rng.randrange(nqubits)], [rng.randrange(nqubits)]))
            elif f == "barrier":
                add(("barrier", tuple(rng.sample(range(nqubits), rng.randint(1, 4)))))
            else:
                add(("reset", rng.randrange(nqubits)))
    return qc


def make(cls):
    c = cls()
    c.compressible_gates.append("r")
    return c


def state(c, out):
    g = c.dag
    return (
        out.gates,
        [tuple(map(type, e)) for e in out.gates],
        out.qubits,
        list(g.nodes(data=True)),
        list(g.edges(data=True)),
        {n: list(g._pred[n]) for n in g},
        dict(g.graph),
        c._idx,
    )


def timed(cls, qc, repeat):
    times = []
    for _ in range(repeat):
        c = make(cls)
        t0 = time.perf_counter()
        out = c.run(qc)
        times.append(time.perf_counter() - t0)
    return statistics.median(times), c, out


def peak_python_memory(cls, qc):
    tracemalloc.start()
    make(cls).run(qc)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def million(ngates):
    code = f"""
import json, resource, sys, time
sys.path.insert(0, {repr(sys.path[0])})
from bench_optimize import make, merge_rich_circuit
from corvane.circuit.optimize import GateCompressor
qc = merge_rich_circuit({ngates})
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
c = make(GateCompressor)
t0 = time.perf_counter()
out = c.run(qc)
t = time.perf_counter() - t0
print(json.dumps(dict(time=t, before=len(qc.gates), after=len(out.gates), nodes=c.dag.number_of_nodes(),
                      edges=c.dag.number_of_edges(), rss_before=before,
                      rss_peak=resource.getrusage(resource.RUSAGE_SELF).ru_maxrss)))
"""
    result = subprocess.run(
        [sys.executable, "-c", code], capture_output=True, text=True, check=True
    )
    return json.loads(result.stdout)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000, 100000])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--generic-limit", type=int, default=10000)
    parser.add_argument("--no-million", action="store_true")
    args = parser.parse_args()

    print(
        f"{'gates':>8} {'after':>8} {'native s':>10} {'generic s':>10} {'ratio':>8} {'same':>5} "
        f"{'us/gate':>8} {'py peak MB':>10}"
    )
    per_gate = []
    for n in args.sizes:
        qc = merge_rich_circuit(n)
        native_time, c, out = timed(GateCompressor, qc, args.repeat)
        generic = same = ratio = ""
        if n <= args.generic_limit:
            generic_repeat = 1 if n >= 10000 else args.repeat
            generic_time, gc, gout = timed(Generic, qc, generic_repeat)
            generic = f"{generic_time:10.3f}"
            ratio = f"{generic_time / native_time:8.0f}"
            same = str(state(c, out) == state(gc, gout))
        peak = peak_python_memory(GateCompressor, qc) / 1e6
        per_gate.append((n, native_time / n * 1e6))
        print(
            f"{n:>8} {len(out.gates):>8} {native_time:10.4f} {generic:>10} {ratio:>8} {same:>5} "
            f"{native_time / n * 1e6:8.2f} {peak:10.1f}"
        )
    if not args.no_million:
        r = million(10**6)
        print(
            f"\n1e6 gates (fresh process): {r['time']:.2f} s including building self.dag; "
            f"{r['before']} -> {r['after']} gates; graph {r['nodes']} nodes, {r['edges']} edges; "
            f"peak RSS {r['rss_peak'] / 1024:.0f} MB (circuit alone {r['rss_before'] / 1024:.0f} MB)"
        )
        per_gate.append((10**6, r["time"] / 10**6 * 1e6))
    print(
        "\ntime per gate / log2(n), relative to the smallest size (flat or falling: no worse than n log n):"
    )
    base = per_gate[0][1] / math.log2(per_gate[0][0])
    for n, us in per_gate:
        print(f"  {n:>8}: {us / math.log2(n) / base:.2f}")


if __name__ == "__main__":
    main()
