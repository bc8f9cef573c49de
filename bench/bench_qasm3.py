"""Benchmark of the OpenQASM 3 reader and writer against our OpenQASM 2 ones.

One seeded circuit per size (qasm_programs.generated, read once), written by our
writer as OpenQASM 2 and as OpenQASM 3, so both readers see the same gates in
the same layout: `qasm.loads` on each text, medians and spreads of repeated
runs, and the ratio of the two; then `qasm.dumps(qc, version=3)` in entries per
second beside `qasm.dumps(qc)` (OpenQASM 2). The two of each pair take turns run
by run, and every size is timed in each of several rounds, so that the
machine's drifts in speed (tens of per cent over minutes here) fall on both
alike and a size's runs span the whole benchmark. Then the peer's
`qiskit.qasm3.loads` once on the 1e4-gate program (it is slow; one run is its
figure).

Targets: reading OpenQASM 3 within 1.5x of reading OpenQASM 2 at every size;
writing at least 1e7 entries/s. Results go to bench/results/qasm3.md and
qasm3.json.

    python bench/bench_qasm3.py [--repeats R] [--rounds N] [--skip-million]
"""

import argparse
import json
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from qasm_programs import generated  # noqa: E402
from timing import RESULTS, interleaved, load_average, pooled, timed  # noqa: E402

from corvane.circuit import qasm  # noqa: E402

PEER_GATES = 10_000  # the one size the peer's reader is timed at


def size_runs(ngates, repeats):
    """The four timings of one size, reading and writing each pair in turns."""
    qc = qasm.loads(generated(ngates))
    text2, text3 = qasm.dumps(qc), qasm.dumps(qc, version=3)
    assert qasm.loads(text3) == qasm.loads(text2)
    r = repeats if ngates <= 100_000 else max(1, min(repeats, 3))
    reads, _ = interleaved([lambda: qasm.loads(text2), lambda: qasm.loads(text3)], r)
    writes, _ = interleaved([lambda: qasm.dumps(qc), lambda: qasm.dumps(qc, version=3)], r)
    return len(qc.gates), reads + writes


def size_row(gates, rounds):
    """The row of one size from its timings in every round."""
    read2, read3, write2, write3 = (pooled(timings) for timings in zip(*rounds))
    return {
        "gates": gates,
        "read2": read2,
        "read3": read3,
        "read3_over_read2": read3["median"] / read2["median"],
        "write2": write2,
        "write3": write3,
        "write2_entries_per_s": gates / write2["median"],
        "write3_entries_per_s": gates / write3["median"],
    }


def peer_row():
    from qiskit import qasm3

    text3 = qasm.dumps(qasm.loads(generated(PEER_GATES)), version=3)
    ours, _ = timed(lambda: qasm.loads(text3), 5)
    start = time.perf_counter()
    qasm3.loads(text3)
    peer = time.perf_counter() - start
    return {
        "gates": PEER_GATES,
        "ours": ours["median"],
        "peer": peer,
        "peer_over_ours": peer / ours["median"],
    }


def markdown(rows, peer, meta):
    def timing(t):
        return f"{t['median']:.4g} ({t['spread']:.2g})"

    def rate(row, key):
        spread = row["gates"] / min(row[key]["runs"]) - row["gates"] / max(row[key]["runs"])
        return f"{row[key + '_entries_per_s'] / 1e6:.1f} ({spread / 1e6:.1f})"

    lines = [
        f"`{meta['command']}` on Python {meta['python']}; load average {meta['load_before']} "
        f"before and {meta['load_after']} after (the benchmark's own load when nothing else "
        "runs). Medians of the repeats, spreads (max - min) in brackets.",
        "",
        "| gates | read v2 (s) | read v3 (s) | v3 / v2 | write v2 (M entries/s) "
        "| write v3 (M entries/s) |",
        "|---|---|---|---|---|---|",
    ]
    for row in rows:
        lines.append(
            f"| {row['gates']} | {timing(row['read2'])} | {timing(row['read3'])} | "
            f"{row['read3_over_read2']:.2f} | {rate(row, 'write2')} | {rate(row, 'write3')} |"
        )
    lines += [
        "",
        f"Peer's `qiskit.qasm3.loads` on {peer['gates']} gates: {peer['peer']:.3g} s, "
        f"{peer['peer_over_ours']:.0f}x ours ({peer['ours']:.3g} s).",
        "",
    ]
    worst_read = max(row["read3_over_read2"] for row in rows)
    worst_write = min(row["write3_entries_per_s"] for row in rows)
    for passed, target in (
        (
            worst_read <= 1.5,
            f"reading OpenQASM 3 within 1.5x of OpenQASM 2 (worst {worst_read:.2f}x)",
        ),
        (worst_write >= 1e7, f"writing >= 10 M entries/s (lowest {worst_write / 1e6:.1f} M)"),
    ):
        lines.append(f"- {'PASS' if passed else 'FAIL'}: {target}")
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7, help="runs per round (default 7)")
    parser.add_argument("--rounds", type=int, default=3, help="rounds over the sizes (default 3)")
    parser.add_argument("--skip-million", action="store_true")
    args = parser.parse_args()
    sizes = [10_000, 100_000] + ([] if args.skip_million else [1_000_000])
    meta = {
        "command": "python bench/bench_qasm3.py" + "".join(f" {a}" for a in sys.argv[1:]),
        "python": sys.version.split()[0],
        "load_before": load_average(),
    }
    # Every size is timed once per round, the rounds one after another, so that
    # a size's runs span the whole benchmark rather than one minute of it.
    rounds, gates = {n: [] for n in sizes}, {}
    for _ in range(args.rounds):
        for n in sizes:
            gates[n], timings = size_runs(n, args.repeats)
            rounds[n].append(timings)
    rows = [size_row(gates[n], rounds[n]) for n in sizes]
    peer = peer_row()
    meta["load_after"] = load_average()
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "qasm3.json").write_text(
        json.dumps({"meta": meta, "sizes": rows, "peer": peer}, indent=1)
    )
    (RESULTS / "qasm3.md").write_text(markdown(rows, peer, meta))
    print(markdown(rows, peer, meta))


if __name__ == "__main__":
    main()
