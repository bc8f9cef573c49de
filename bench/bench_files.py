"""The command line on a folder: `corvane-circuit transpile DIR -o OUT --compress --dd XY4`.

    python bench/bench_files.py                    # 250 programs, 3 runs per road; writes bench/results/files.md
    python bench/bench_files.py --count 40 --runs 1 --copies 2   # dry run; writes bench/results-quick/

The folder (made under /tmp, never committed): the programs of tests/qasm and examples/qasm,
then seeded programs of 500 to 4,000 gates, up to `--count` programs (about 5.6e5 gates at
250), in turn of four shapes: random gates over qelib1.inc (qasm_programs.py), and the
quantum Fourier transforms, ripple-carry adders and rotation-layer ansatzes of
circuits.py. The algorithm shapes leave qubits
waiting as real programs do, so decoupling multiplies their entries and the outputs run to
a few hundred MB. Each road runs the command line in a fresh process, into an emptied output
folder after the previous writes are flushed (`sync`); `--jobs 1` and `--jobs 2` take turns
within each round:

- `--jobs 1` (every file in the command's own process) and `--jobs 2` (two worker processes),
  compress then XY4 decoupling;
- `--scheduler` on a 2-worker `distributed.LocalCluster` (process workers, started before the
  clock), shared files;
- compression alone on `--copies` copies of the folder (ten by default), `--jobs 2`.

Recorded per run: wall time; the command process's own CPU time and peak resident set
(`wait4` of that process: the worker processes are children of the start method's server,
not of the command, so neither their CPU time nor their memory is in these figures); the
workers' time, the sum of the report's per-file seconds. Outputs of `--jobs 1`, `--jobs 2`
and the cluster are compared byte for byte.
"""

import argparse
import hashlib
import json
import os
import platform
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
sys.path.insert(0, HERE)

import circuits  # noqa: E402
from qasm_programs import generated  # noqa: E402
from timing import load_average  # noqa: E402

WORK = "/tmp/corvane-bench-files"


def program(index, ngates):
    """The file name and OpenQASM 2 text of generated program `index`, its shape in turn."""
    rng = random.Random(-index)
    shape = index % 4
    if shape == 0:
        return f"g{index:04d}.qasm", generated(ngates, nqubits=rng.randint(5, 27), seed=index)
    if shape == 1:
        qc = circuits.qft(ngates)
    elif shape == 2:
        qc = circuits.ripple_carry_adder(ngates, nbits=rng.randint(4, 24))
    else:
        qc = circuits.hardware_efficient_ansatz(ngates, nqubits=rng.randint(8, 40), seed=index)
    return f"g{index:04d}.qasm", qc.to_qasm()


def make_folder(path, count):
    """Real programs first, then seeded generated ones of 500 to 4,000 gates; the gate count."""
    os.makedirs(path, exist_ok=True)
    real = [
        os.path.join(folder, name)
        for folder in (os.path.join(ROOT, "tests", "qasm"), os.path.join(ROOT, "examples", "qasm"))
        for name in sorted(os.listdir(folder))
        if name.endswith(".qasm")
    ]
    for index, source in enumerate(real[:count]):
        shutil.copy(source, os.path.join(path, f"r{index:03d}_{os.path.basename(source)}"))
    gates = 0
    for index in range(count - min(count, len(real))):
        ngates = random.Random(index).randint(500, 4000)
        gates += ngates
        name, text = program(index, ngates)
        with open(os.path.join(path, name), "w") as f:
            f.write(text)
    return gates


def run_command(argv, report):
    """Wall time, own CPU, peak RSS of the command, and the workers' seconds from its report."""
    start = time.perf_counter()
    child = subprocess.Popen(
        [sys.executable, "-m", "corvane.circuit", *argv, "--report", report],
        stdout=subprocess.DEVNULL,
        stderr=subprocess.DEVNULL,
    )
    _, status, usage = os.wait4(child.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        raise RuntimeError(f"{argv} exited with {status}")
    with open(report) as f:
        worker_seconds = sum(json.loads(line)["seconds"] for line in f)
    return dict(
        wall=wall,
        cpu=usage.ru_utime + usage.ru_stime,
        peak_rss_mb=usage.ru_maxrss / 1024,
        worker_seconds=worker_seconds,
    )


def digest(folder):
    h = hashlib.sha256()
    for name in sorted(os.listdir(folder)):
        with open(os.path.join(folder, name), "rb") as f:
            h.update(name.encode() + b"\0" + f.read())
    return h.hexdigest()


def folder_bytes(folder):
    return sum(os.path.getsize(os.path.join(folder, n)) for n in os.listdir(folder))


def run_once(label, argv, out):
    """One run into an empty `out`, the previous runs' writes flushed to disk first, so that
    no run pays for another's writeback."""
    shutil.rmtree(out, ignore_errors=True)
    os.sync()
    sample = run_command(argv + ["-o", out], os.path.join(WORK, "report.jsonl"))
    print(f"{label}: " + ", ".join(f"{k} {v:.2f}" for k, v in sample.items()), flush=True)
    return sample


def in_turn(roads, runs):
    """Runs of the `roads` ({label: (argv, out)}) taken in turn within each round, the order
    reversed every other round, so that a change in the machine's speed reaches them alike."""
    samples = {label: [] for label in roads}
    for round_ in range(runs):
        order = list(roads) if round_ % 2 == 0 else list(reversed(roads))
        for label in order:
            samples[label].append(run_once(label, *roads[label]))
    return {label: summarise(samples[label], roads[label][1]) for label in roads}


def road(label, runs, argv, out):
    return summarise([run_once(label, argv, out) for _ in range(runs)], out)


def summarise(samples, out):
    walls = [s["wall"] for s in samples]
    return dict(
        samples=samples,
        wall_median_s=statistics.median(walls),
        wall_spread_s=max(walls) - min(walls),
        cpu_median_s=statistics.median(s["cpu"] for s in samples),
        peak_rss_mb=max(s["peak_rss_mb"] for s in samples),
        worker_seconds_median=statistics.median(s["worker_seconds"] for s in samples),
        output_mb=folder_bytes(out) / 1e6,
        digest=digest(out),
    )


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--count", type=int, default=250, help="programs (default 250)")
    parser.add_argument("--runs", type=int, default=3, help="runs per road (default 3)")
    parser.add_argument("--copies", type=int, default=10, help="copies for the large folder")
    args = parser.parse_args()
    out_dir = os.path.join(HERE, "results" if args.count == 250 else "results-quick")
    os.makedirs(out_dir, exist_ok=True)
    shutil.rmtree(WORK, ignore_errors=True)
    folder = os.path.join(WORK, "in")
    gates = make_folder(folder, args.count)
    large = os.path.join(WORK, "large")
    for copy in range(args.copies):
        for name in os.listdir(folder):
            os.makedirs(large, exist_ok=True)
            shutil.copy(os.path.join(folder, name), os.path.join(large, f"c{copy}_{name}"))
    load_before = load_average()
    decouple = ["transpile", folder, "--compress", "--dd", "XY4"]
    roads = in_turn(
        {
            "--jobs 1": (decouple + ["--jobs", "1"], f"{WORK}/out1"),
            "--jobs 2": (decouple + ["--jobs", "2"], f"{WORK}/out2"),
        },
        args.runs,
    )
    try:
        import distributed
    except ImportError:
        print("distributed is not installed: no cluster row")
    else:
        with distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster:
            roads["2-worker LocalCluster"] = road(
                "dask",
                args.runs,
                decouple + ["--scheduler", cluster.scheduler_address],
                f"{WORK}/outd",
            )
    compress = ["transpile", large, "--compress", "--jobs", "2"]
    roads[f"{args.copies}x folder, compression, --jobs 2"] = road(
        "large", args.runs, compress, f"{WORK}/outl"
    )
    one, two = roads["--jobs 1"], roads["--jobs 2"]
    digests = {r["digest"] for name, r in roads.items() if "folder" not in name}
    data = dict(
        meta=dict(
            command="python bench/bench_files.py" + "".join(f" {a}" for a in sys.argv[1:]),
            programs=args.count,
            generated_gates=gates,
            input_mb=folder_bytes(folder) / 1e6,
            python=sys.version.split()[0],
            platform=platform.platform(),
            cpus=os.cpu_count(),
            load_before=load_before,
            load_after=load_average(),
        ),
        roads=roads,
        speedup=one["wall_median_s"] / two["wall_median_s"],
        identical=len(digests) == 1,
    )
    with open(os.path.join(out_dir, "files.json"), "w") as f:
        json.dump(data, f, indent=1)
    lines = [
        "# The command line on a folder",
        "",
        f"`{data['meta']['command']}`: {args.count} programs ({gates:,} generated gates and the "
        f"real programs, {data['meta']['input_mb']:.1f} MB), {args.runs} run(s) per road; Python "
        f"{data['meta']['python']}, {data['meta']['cpus']} CPUs, load average "
        f"{load_before} before and {data['meta']['load_after']} after.",
        "",
        "| road | wall median (s) | spread (s) | command CPU (s) | workers' seconds | "
        "command peak RSS (MB) | outputs (MB) |",
        "|---|---|---|---|---|---|---|",
    ]
    for name, r in roads.items():
        lines.append(
            f"| {name} | {r['wall_median_s']:.2f} | {r['wall_spread_s']:.2f} | "
            f"{r['cpu_median_s']:.2f} | {r['worker_seconds_median']:.2f} | "
            f"{r['peak_rss_mb']:.0f} | {r['output_mb']:.0f} |"
        )
    lines += [
        "",
        f"- `--jobs 2` against `--jobs 1`, wall time: {data['speedup']:.2f}x (target 1.8x).",
        f"- Outputs of `--jobs 1`, `--jobs 2` and the cluster byte-identical: {data['identical']}.",
        "- Command peak RSS under 150 MB: "
        f"{max(r['peak_rss_mb'] for r in roads.values()):.0f} MB at most.",
    ]
    with open(os.path.join(out_dir, "files.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main()
