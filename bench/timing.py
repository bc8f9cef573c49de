"""Timing of the reader and writer benchmarks.

Kept apart from the peer's imports: each run starts from a collected heap, and
a collection walks every object of the process, so in a process that has
imported the peer (Qiskit's hundreds of thousands of objects) it also empties
the caches before each run. Measured: the OpenQASM 3 writer at 1e4 gates gave
12-14 M entries/s here and 6.5-7.2 M with Qiskit imported. So bench_qasm3 times
our rows before it imports the peer (bench_qasm, which times both per program,
imports it first).
"""

import gc
import os
import pathlib
import statistics
import time

RESULTS = pathlib.Path(__file__).parent / "results"


def _summary(times, cpu):
    return {
        "median": statistics.median(times),
        "spread": max(times) - min(times),
        "runs": times,
        "cpu_median": statistics.median(cpu),
        "cpu_runs": cpu,
    }


def pooled(summaries):
    """One summary of the runs of several (of one call, timed in rounds minutes apart)."""
    return _summary(
        [t for s in summaries for t in s["runs"]], [t for s in summaries for t in s["cpu_runs"]]
    )


def timed(fn, repeats):
    """Median and spread of the wall time of `repeats` runs, each starting from a
    collected heap, and the median CPU time (which leaves out the time other
    jobs on the loaded machine took the core away); the last result."""
    (summary,), (result,) = interleaved([fn], repeats)
    return summary, result


def interleaved(fns, repeats):
    """`timed` for several calls that take turns run by run, so that a change in
    the machine's speed (it drifts by tens of per cent over minutes here) falls
    on all of them alike; their summaries and last results, in order."""
    times = [[] for _ in fns]
    cpu = [[] for _ in fns]
    results = [None] * len(fns)
    for _ in range(repeats):
        for k, fn in enumerate(fns):
            results[k] = None
            gc.collect()
            start, start_cpu = time.perf_counter(), time.process_time()
            results[k] = fn()
            times[k].append(time.perf_counter() - start)
            cpu[k].append(time.process_time() - start_cpu)
    return [_summary(t, c) for t, c in zip(times, cpu)], results


def load_average():
    """The 1-, 5- and 15-minute load averages, as the results files quote them."""
    return " ".join(f"{x:.1f}" for x in os.getloadavg())
