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
import pathlib
import statistics
import time

RESULTS = pathlib.Path(__file__).parent / "results"


def timed(fn, repeats):
    """Median and spread of the wall time of `repeats` runs, each starting from a
    collected heap, and the median CPU time (which leaves out the time other
    jobs on the loaded machine took the core away); the last result."""
    times, cpu, result = [], [], None
    for _ in range(repeats):
        result = None
        gc.collect()
        start, start_cpu = time.perf_counter(), time.process_time()
        result = fn()
        times.append(time.perf_counter() - start)
        cpu.append(time.process_time() - start_cpu)
    return {
        "median": statistics.median(times),
        "spread": max(times) - min(times),
        "runs": times,
        "cpu_median": statistics.median(cpu),
    }, result
