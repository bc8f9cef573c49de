"""Benchmark of DynamicalDecoupling.run: the native path against the generic path.

Seeded random circuits with uneven qubit loads (a few hot qubits carry most
gates, so the cold ones wait long and many windows take pulse trains) at 1e3,
1e4 and 1e5 gates run through both paths; the generic path is forced by a
subclass whose ``counter`` only defers to the base. The native engine alone
runs 1e6 gates. Prints median times, speed-ups, peak memory and gate counts,
and checks that both paths give identical circuits.

    python bench/bench_schedule.py [--generic-max N] [--repeats R] [--skip-million]
"""

import argparse
import gc
import math
import random
import resource
import statistics
import sys
import time
import tracemalloc

from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.schedule import DynamicalDecoupling

T1G, T2G = 3e-8, 4.2e-8
ONE = ["h", "x", "sx", "t", "s"]
TWO = ["cx", "cz", "swap"]


class GenericDecoupling(DynamicalDecoupling):
    def counter(self):
        return super().counter()


def uneven_circuit(ngates, nqubits=24, seed=7):
    """Gate entries built directly (the builder's checks would dominate at 1e6)."""
    rng = random.Random(seed)
    hot = max(2, nqubits // 6)

    # Hot qubits take ~85% of the operands; the rest are spread thinly.
    def pick():
        return rng.randrange(hot) if rng.random() < 0.85 else rng.randrange(nqubits)

    gates = []
    append = gates.append
    for _ in range(ngates):
        r = rng.random()
        q0 = pick()
        if r < 0.55:
            append((ONE[rng.randrange(len(ONE))], q0))
        elif r < 0.62:
            append(("rz", rng.uniform(-3.0, 3.0), q0))
        elif r < 0.97:
            q1 = pick()
            while q1 == q0:
                q1 = rng.randrange(nqubits)
            append((TWO[rng.randrange(len(TWO))], q0, q1))
        elif r < 0.985:
            append(("measure", [q0], [q0]))
        else:
            append(("barrier", tuple(sorted(rng.sample(range(nqubits), 3)))))
    qc = QuantumCircuit(nqubits, nqubits)
    qc.gates = gates
    return qc


def timed(cls, qc, repeats, **options):
    times, result, count = [], None, None
    for _ in range(repeats):
        dd = cls(T1G, T2G)
        result = None  # free the previous result outside the timed region
        gc.collect()
        start = time.perf_counter()
        result = dd.run(qc, **options)
        times.append(time.perf_counter() - start)
        count = dd._count
    return statistics.median(times), result, count


def traced_peak(cls, qc, **options):
    gc.collect()
    tracemalloc.start()
    cls(T1G, T2G).run(qc, **options)
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def rss_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def same(a, b):
    if (
        a.gates != b.gates
        or (a.nqubits, a.ncbits) != (b.nqubits, b.ncbits)
        or a.qubits is not b.qubits
    ):
        return False
    return all(
        type(x) is type(y) and [type(i) for i in x] == [type(i) for i in y]
        for x, y in zip(a.gates, b.gates)
    )


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument(
        "--generic-max", type=int, default=100_000, help="largest size the generic path runs at"
    )
    parser.add_argument("--repeats", type=int, default=5)
    parser.add_argument("--skip-million", action="store_true")
    args = parser.parse_args()

    sizes = [1_000, 10_000, 100_000] + ([] if args.skip_million else [1_000_000])
    print(f"python {sys.version.split()[0]}; t1g={T1G}, t2g={T2G}; XY4, align_right=True")
    print(
        f"{'gates':>9} {'out gates':>10} {'native s':>10} {'generic s':>10} {'speed-up':>9} "
        f"{'same':>5} {'traced MiB':>11} {'max RSS MiB':>12}"
    )
    native_times = {}
    for n in sizes:
        qc = uneven_circuit(n)
        repeats = args.repeats if n <= 100_000 else max(1, min(args.repeats, 3))
        t_native, out_native, count_native = timed(DynamicalDecoupling, qc, repeats)
        native_times[n] = t_native
        generic = "-"
        ratio = "-"
        identical = "-"
        if n <= args.generic_max:
            generic_repeats = 3 if n <= 10_000 else 1
            t_generic, out_generic, count_generic = timed(GenericDecoupling, qc, generic_repeats)
            generic = f"{t_generic:10.3f}"
            ratio = f"{t_generic / t_native:8.0f}x"
            identical = (
                "yes" if same(out_native, out_generic) and count_native == count_generic else "NO"
            )
        peak = traced_peak(DynamicalDecoupling, qc) / 2**20
        print(
            f"{n:>9} {len(out_native.gates):>10} {t_native:10.4f} {generic:>10} {ratio:>9} "
            f"{identical:>5} {peak:11.1f} {rss_mib():12.1f}",
            flush=True,
        )
        del out_native, qc
        gc.collect()

    def growth(a, b):
        if a in native_times and b in native_times:
            measured = native_times[b] / native_times[a]
            nlogn = (b * math.log(b)) / (a * math.log(a))
            print(
                f"native time {a:.0e} -> {b:.0e}: x{measured:.1f} (n log n: x{nlogn:.1f}, n: x{b / a:.0f})"
            )

    growth(10_000, 100_000)
    growth(10_000, 1_000_000)


if __name__ == "__main__":
    main()
