"""Batch throughput: compress then XY4 decoupling on many circuits, serially and in parallel.

    python bench/bench_throughput.py                        # 1,000 circuits, 3 runs each; writes bench/results/
    python bench/bench_throughput.py --count 100 --runs 1   # dry run; writes bench/results-quick/

The batch: seeded circuits of 1e3 to 1e4 gates (a size drawn per circuit), taking the shapes of
circuits.py in turn. Roads, each on the same circuits (serial and pool take turns run by run):

- serial: `PassManager.run(list)` in this process (its in-process road, forced);
- pool: `PassManager.run(list, executor=ProcessPoolExecutor(2))`, the pool's start included;
- dask: a 2-worker `distributed.LocalCluster` (one thread per worker, processes), started before
  the clock; its results are checked to be identical to the serial ones, as are the pool's;
- qiskit: Qiskit's `PassManager.run(list, num_processes=2)` with its process parallelism switched
  on, for the closest equivalent passes (peer_qiskit.py), on the circuits converted beforehand.

Qiskit takes about 100 times our time per circuit, so it runs on every `--qiskit-step`-th circuit
of the batch (every 10th by default), and our pool runs on that same subset for the ratio.

Every road records wall time and CPU time: this process's and its workers' (children reaped by
the pool's shutdown, or each Dask worker's own clock). The machine's scheduler shares the CPU
between sessions rather than between processes (Linux autogroup), so on a machine loaded by other
sessions a second worker process mostly splits this session's share instead of adding a core.
The report therefore also gives the time the road would take on 2 free cores, estimated from
the CPU times: the largest of this process's CPU time and each worker's.

Also the pipeline's overhead on one circuit: `PassManager.run(qc)` against calling the two passes
one by one, at 1e4 gates, the two interleaved run by run, in CPU time.
"""

import argparse
import concurrent.futures as cf
import gc
import inspect
import json
import os
import platform
import random
import resource
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from circuits import SHAPES  # noqa: E402
from timing import load_average  # noqa: E402

from corvane.circuit import pipeline  # noqa: E402
from corvane.circuit.optimize import GateCompressor  # noqa: E402
from corvane.circuit.pipeline import PassManager  # noqa: E402
from corvane.circuit.schedule import DynamicalDecoupling  # noqa: E402
from corvane.circuit.stratum import TranspilerPass  # noqa: E402

T1G, T2G = 2e-8, 5e-8
WORKERS = 2  # the machine's core count, and the target's "2 processes"


def make_batch(count, low=1_000, high=10_000):
    """``count`` seeded circuits of ``low`` to ``high`` gates, the shapes taken in turn."""
    shapes = list(SHAPES.values())
    circuits = []
    for index in range(count):
        generator = shapes[index % len(shapes)]
        ngates = random.Random(index).randint(low, high)
        seeded = "seed" in inspect.signature(generator).parameters
        circuits.append(generator(ngates, seed=index) if seeded else generator(ngates))
    return circuits


def steps():
    return [GateCompressor(), (DynamicalDecoupling(T1G, T2G), {"sequence": "XY4"})]


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def timed(call, worker_clocks=None):
    """Wall time, this process's CPU time, the workers' CPU times and the result of ``call()``.

    ``worker_clocks`` reads each long-lived worker's CPU clock; without it the workers are this
    process's children that ``call`` started and reaped, counted together.
    """
    gc.collect()
    workers_before = worker_clocks() if worker_clocks else children_cpu()
    cpu, start = time.process_time(), time.perf_counter()
    result = call()
    wall, cpu = time.perf_counter() - start, time.process_time() - cpu
    if worker_clocks:
        after = worker_clocks()
        workers = [after[w] - workers_before[w] for w in after]
    else:
        total = children_cpu() - workers_before
        workers = [total / WORKERS] * WORKERS if total else []  # the pool's chunks are balanced
    return dict(wall=wall, cpu=cpu, workers=workers), result


def summary(samples, count):
    walls = [s["wall"] for s in samples]
    median = statistics.median(walls)
    free = statistics.median(max([s["cpu"]] + s["workers"]) for s in samples)
    return dict(
        samples=samples,
        count=count,
        median_s=median,
        spread_s=max(walls) - min(walls),
        circuits_per_s=count / median,
        cpu_s=statistics.median(s["cpu"] + sum(s["workers"]) for s in samples),
        free_cores_s=free,
        free_cores_circuits_per_s=count / free,
    )


def run_serial(manager, circuits):
    saved = pipeline.IN_PROCESS_GATES
    pipeline.IN_PROCESS_GATES = float("inf")
    try:
        return manager.run(circuits)
    finally:
        pipeline.IN_PROCESS_GATES = saved


def run_pool(manager, circuits):
    with cf.ProcessPoolExecutor(WORKERS) as pool:
        return manager.run(circuits, executor=pool)


def qiskit_road(circuits):
    """Qiskit's batch run on its own processes, or None when Qiskit is not installed."""
    import peer_qiskit as peer

    if not peer.AVAILABLE:
        return None, None
    from qiskit.utils import should_run_in_parallel

    converted = [peer.to_qiskit(qc) for qc in circuits]
    manager = peer.compress_manager() + peer.dd_manager(T1G, T2G)

    def run():
        with should_run_in_parallel.override(True):
            return manager.run(converted, num_processes=WORKERS)

    return run, peer.VERSION


def cpu_timed(call):
    gc.collect()
    start = time.process_time()
    call()
    gc.collect()  # the collection the run's new objects made due belongs to the run
    return time.process_time() - start


class Identity(TranspilerPass):
    def run(self, qc):
        return qc


def fixed_cost(calls=20_000, repeats=7):
    """CPU seconds the manager adds to one run(qc): two identity steps through it, less the two
    called directly; the fastest of ``repeats`` loops, the least disturbed on a loaded machine."""
    qc = SHAPES["merge-rich"](100)
    first, second = Identity(), Identity()
    manager = PassManager([first, (second, {})])

    def loop(call):
        start = time.process_time()
        for _ in range(calls):
            call()
        return (time.process_time() - start) / calls

    managed = min(loop(lambda: manager.run(qc)) for _ in range(repeats))
    direct = min(loop(lambda: second.run(first.run(qc))) for _ in range(repeats))
    return managed - direct


def overhead(runs, ngates=10_000):
    """Median CPU time of PassManager.run(qc) and of the passes called one by one, interleaved,
    and the manager's fixed cost per run relative to the passes' time."""
    rows = []
    fixed = fixed_cost()
    for name in ("merge-rich", "uneven", "adder"):
        qc = SHAPES[name](ngates)
        compressor, dd = GateCompressor(), DynamicalDecoupling(T1G, T2G)
        manager = PassManager([compressor, (dd, {"sequence": "XY4"})])
        managed, direct = [], []
        for _ in range(runs):
            managed.append(cpu_timed(lambda: manager.run(qc)))
            direct.append(cpu_timed(lambda: dd.run(compressor.run(qc), sequence="XY4")))
        m, d = statistics.median(managed), statistics.median(direct)
        rows.append(
            dict(
                shape=name,
                gates=ngates,
                runs=runs,
                manager_median_s=m,
                manager_spread_s=max(managed) - min(managed),
                direct_median_s=d,
                direct_spread_s=max(direct) - min(direct),
                difference=m / d - 1,
                fixed_cost_s=fixed,
                overhead=fixed / d,
            )
        )
    return rows


def write_report(path, data):
    meta, roads = data["meta"], data["roads"]
    serial = roads["serial"]
    lines = [
        "# Batch throughput: compress then XY4 decoupling",
        "",
        f"`{meta['command']}`: {meta['count']} seeded circuits of 1e3 to 1e4 gates ({meta['gates']:,} gates in "
        f"all), {meta['runs']} run(s) per road; Python {meta['python']}, {meta['cpus']} CPUs, Qiskit "
        f"{meta['qiskit']}, distributed {meta['distributed']}.",
        "",
        f"Load average {meta['load_before']} before and {meta['load_after']} after (the benchmark's own "
        "load when nothing else runs). On a machine shared with other sessions, Linux autogroup splits "
        "the CPU between sessions, so wall times are those of this session's share. The `2 free cores` "
        "columns are an estimate from the CPU times (the largest of the main process's and each "
        "worker's), not a measurement: the targets below are judged on wall time.",
        "",
        "| road | circuits | wall median (s) | spread (s) | circuits/s | vs serial | CPU in all (s) "
        "| 2 free cores (s) | circuits/s | vs serial | results |",
        "|---|---|---|---|---|---|---|---|---|---|---|",
    ]
    for name, road in roads.items():
        same_batch = road["count"] == serial["count"]  # speed-ups only on the same circuits
        speedup = f"{road['circuits_per_s'] / serial['circuits_per_s']:.2f}x" if same_batch else "-"
        free_speedup = (
            f"{road['free_cores_circuits_per_s'] / serial['free_cores_circuits_per_s']:.2f}x"
            if same_batch
            else "-"
        )
        lines.append(
            f"| {name} | {road['count']} | {road['median_s']:.2f} | {road['spread_s']:.2f} | "
            f"{road['circuits_per_s']:.1f} | {speedup} | {road['cpu_s']:.2f} | "
            f"{road['free_cores_s']:.2f} | {road['free_cores_circuits_per_s']:.1f} | {free_speedup} | "
            f"{road.get('results', '')} |"
        )
    lines += [
        "",
        "| one circuit, 1e4 gates | `PassManager.run(qc)` CPU (ms) | passes one by one CPU (ms) | difference "
        "| manager's fixed cost (us) | overhead |",
        "|---|---|---|---|---|---|",
    ]
    for row in data["overhead"]:
        lines.append(
            f"| {row['shape']} | {row['manager_median_s'] * 1e3:.2f} ± {row['manager_spread_s'] * 1e3:.2f} | "
            f"{row['direct_median_s'] * 1e3:.2f} ± {row['direct_spread_s'] * 1e3:.2f} | "
            f"{row['difference'] * 100:+.1f}% | {row['fixed_cost_s'] * 1e6:.2f} | "
            f"{row['overhead'] * 100:.3f}% |"
        )
    lines += [
        "",
        f"Medians of {data['overhead'][0]['runs']} interleaved runs each; ± is the spread (max - min). "
        "On the loaded machine the spread is as large as the time itself, so the difference of the medians "
        "is noise; the overhead is the manager's fixed cost per run (two identity passes through the "
        "manager less the two called directly, the fastest of 7 loops of 20,000 calls) over the passes' "
        "median time.",
        "",
        "Targets:",
        "",
    ]
    for text, passed in data["targets"]:
        lines.append(f"- {'PASS' if passed else 'FAIL'}: {text}")
    with open(path, "w") as f:
        f.write("\n".join(lines) + "\n")


def measure(label, runs, call, count, reference=None, worker_clocks=None):
    (road,) = measure_in_turns({label: (call, count, reference, worker_clocks)}, runs).values()
    return road


def measure_in_turns(roads, runs):
    """Summaries of the roads, ``{label: (call, count, reference, worker_clocks)}``, which take
    turns run by run, so that the machine's drifts in speed (tens of per cent over minutes
    here) fall on all of them alike."""
    samples, same = {label: [] for label in roads}, {label: True for label in roads}
    for _ in range(runs):
        for label, (call, count, reference, worker_clocks) in roads.items():
            sample, results = timed(call, worker_clocks)
            if reference is not None:
                same[label] &= results == reference
            del results
            samples[label].append(sample)
            print(
                f"{label}: {sample['wall']:.2f} s wall, {sample['cpu']:.2f} s CPU here, workers "
                f"{', '.join(f'{w:.2f}' for w in sample['workers'])} s",
                flush=True,
            )
    summaries = {}
    for label, (_, count, reference, _) in roads.items():
        summaries[label] = summary(samples[label], count)
        if reference is not None:
            summaries[label]["results"] = (
                "identical to serial" if same[label] else "DIFFERENT from serial"
            )
    return summaries


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--count", type=int, default=1000, help="circuits in the batch (default 1000)"
    )
    parser.add_argument("--runs", type=int, default=3, help="runs per road (default 3)")
    parser.add_argument(
        "--qiskit-step", type=int, default=10, help="Qiskit runs every n-th circuit (default 10)"
    )
    parser.add_argument(
        "--qiskit-runs", type=int, default=1, help="runs of the Qiskit road (default 1)"
    )
    parser.add_argument(
        "--overhead-runs", type=int, default=21, help="runs per side of the overhead rows"
    )
    parser.add_argument(
        "--overhead-only",
        action="store_true",
        help="measure the overhead rows again and rewrite them in the existing results",
    )
    args = parser.parse_args()
    out_dir = os.path.join(HERE, "results" if args.count == 1000 else "results-quick")
    os.makedirs(out_dir, exist_ok=True)
    if args.overhead_only:
        with open(os.path.join(out_dir, "throughput.json")) as f:
            data = json.load(f)
        data["overhead"] = overhead(args.overhead_runs)
        data["targets"][0] = overhead_target(data["overhead"])
        data["meta"]["overhead_command"] = "python bench/bench_throughput.py" + "".join(
            f" {a}" for a in sys.argv[1:]
        )
        write_results(out_dir, data)
        return

    load_before = load_average()
    overhead_rows = overhead(
        args.overhead_runs
    )  # first, while the heap that collections walk is small
    circuits = make_batch(args.count)
    manager = PassManager(steps())
    roads = {}
    _, reference = timed(
        lambda: run_serial(manager, circuits)
    )  # warm-up, and the results to compare
    # The reference results (66 million entries) and the batch are set aside from the
    # collector: a user's batch holds no second copy of its results for the collections of
    # the serial road to walk again and again.
    gc.freeze()
    roads.update(
        measure_in_turns(
            {
                "serial": (lambda: run_serial(manager, circuits), len(circuits), None, None),
                "2-process pool": (
                    lambda: run_pool(manager, circuits),
                    len(circuits),
                    reference,
                    None,
                ),
            },
            args.runs,
        )
    )

    distributed_version = None
    try:
        import distributed
    except ImportError:
        print("distributed is not installed: no Dask row")
    else:
        distributed_version = distributed.__version__
        with (
            distributed.LocalCluster(
                n_workers=WORKERS,
                threads_per_worker=1,
                processes=True,
                dashboard_address=None,
                scheduler_kwargs={"dashboard_address": ":0"},
            ) as cluster,
            distributed.Client(cluster) as client,
        ):
            roads["2-worker Dask LocalCluster"] = measure(
                "dask",
                args.runs,
                lambda: manager.run(circuits, executor=client.get_executor()),
                len(circuits),
                reference,
                worker_clocks=lambda: client.run(time.process_time),
            )
    gc.unfreeze()
    del reference

    subset = circuits[:: args.qiskit_step]
    qiskit_run, qiskit_version = qiskit_road(subset)
    if qiskit_run:
        roads["2-process pool, Qiskit's subset"] = measure(
            "pool on the subset", args.runs, lambda: run_pool(manager, subset), len(subset)
        )
        roads["Qiskit PassManager.run(list), 2 processes"] = dict(
            measure("qiskit", args.qiskit_runs, qiskit_run, len(subset)), results="(its own passes)"
        )

    serial, pool = roads["serial"], roads["2-process pool"]
    pool["round_ratios"] = [
        s["wall"] / p["wall"] for s, p in zip(serial["samples"], pool["samples"])
    ]
    targets = [
        overhead_target(overhead_rows),
        (
            f"2 processes at least 1.6x the serial throughput, wall time: "
            f"{pool['circuits_per_s'] / serial['circuits_per_s']:.2f}x by medians, round by round "
            f"{', '.join(f'{r:.2f}' for r in pool['round_ratios'])} (the CPU-time estimate for 2 "
            f"free cores: {pool['free_cores_circuits_per_s'] / serial['free_cores_circuits_per_s']:.2f}x)",
            pool["circuits_per_s"] / serial["circuits_per_s"] >= 1.6,
        ),
    ]
    if "2-worker Dask LocalCluster" in roads:
        targets.append(
            (
                "Dask results identical to the serial run",
                roads["2-worker Dask LocalCluster"]["results"] == "identical to serial",
            )
        )
    if qiskit_run:
        ours, theirs = (
            roads["2-process pool, Qiskit's subset"],
            roads["Qiskit PassManager.run(list), 2 processes"],
        )
        ratio = ours["circuits_per_s"] / theirs["circuits_per_s"]
        targets.append(
            (f"at least 5x Qiskit's throughput, both on 2 processes: {ratio:.1f}x", ratio >= 5)
        )

    data = dict(
        meta=dict(
            command="python bench/bench_throughput.py" + "".join(f" {a}" for a in sys.argv[1:]),
            count=len(circuits),
            gates=sum(len(qc) for qc in circuits),
            runs=args.runs,
            python=sys.version.split()[0],
            platform=platform.platform(),
            cpus=os.cpu_count(),
            qiskit=qiskit_version,
            distributed=distributed_version,
            load_before=load_before,
            load_after=load_average(),
        ),
        roads=roads,
        overhead=overhead_rows,
        targets=targets,
    )
    write_results(out_dir, data)


def overhead_target(rows):
    worst = max(r["overhead"] for r in rows)
    return (
        f"PassManager.run(qc) within 5% of the passes one by one at 1e4 gates (worst {worst * 100:.3f}%)",
        worst <= 0.05,
    )


def write_results(out_dir, data):
    with open(os.path.join(out_dir, "throughput.json"), "w") as f:
        json.dump(data, f, indent=1)
    write_report(os.path.join(out_dir, "throughput.md"), data)
    print(open(os.path.join(out_dir, "throughput.md")).read())


if __name__ == "__main__":
    main()
