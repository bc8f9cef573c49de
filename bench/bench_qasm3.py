"""Benchmark of the OpenQASM 3 reader and writer against our OpenQASM 2 ones.

One seeded circuit per size (qasm_programs.generated, read once), written by our
writer as OpenQASM 2 and as OpenQASM 3, so both readers see the same gates in
the same layout: `qasm.loads` on each text, medians and spreads of repeated
runs, and the ratio of the two. Then `qasm.dumps(qc, version=3)` in entries per
second, and the peer's `qiskit.qasm3.loads` once on the 1e4-gate program (it is
slow; one run is its figure).

Targets: reading OpenQASM 3 within 1.5x of reading OpenQASM 2 at every size;
writing at least 1e7 entries/s. Results go to bench/results/qasm3.md and
qasm3.json.

    python bench/bench_qasm3.py [--repeats R] [--skip-million]
"""

import argparse
import json
import pathlib
import sys
import time

sys.path.insert(0, str(pathlib.Path(__file__).parent))
from qasm_programs import generated  # noqa: E402
from timing import RESULTS, timed  # noqa: E402

from corvane.circuit import qasm  # noqa: E402

PEER_GATES = 10_000  # the one size the peer's reader is timed at


def size_row(ngates, repeats):
    qc = qasm.loads(generated(ngates))
    text2, text3 = qasm.dumps(qc), qasm.dumps(qc, version=3)
    assert qasm.loads(text3) == qasm.loads(text2)
    r = repeats if ngates <= 100_000 else max(1, min(repeats, 3))
    read2, _ = timed(lambda: qasm.loads(text2), r)
    read3, _ = timed(lambda: qasm.loads(text3), r)
    write3, _ = timed(lambda: qasm.dumps(qc, version=3), r)
    return {
        "gates": len(qc.gates),
        "read2": read2,
        "read3": read3,
        "read3_over_read2": read3["median"] / read2["median"],
        "write3": write3,
        "write3_entries_per_s": len(qc.gates) / write3["median"],
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


def markdown(rows, peer):
    lines = [
        "| gates | read v2 (s) | read v3 (s) | v3 / v2 | write v3 (entries/s) |",
        "|---|---|---|---|---|",
    ]
    for row in rows:
        lines.append(
            f"| {row['gates']} | {row['read2']['median']:.4g} | {row['read3']['median']:.4g} | "
            f"{row['read3_over_read2']:.2f} | {row['write3_entries_per_s']:.3g} |"
        )
    lines += [
        "",
        f"Peer's `qiskit.qasm3.loads` on {peer['gates']} gates: {peer['peer']:.3g} s, "
        f"{peer['peer_over_ours']:.0f}x ours ({peer['ours']:.3g} s).",
    ]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--skip-million", action="store_true")
    args = parser.parse_args()
    sizes = [10_000, 100_000] + ([] if args.skip_million else [1_000_000])
    rows = [size_row(n, args.repeats) for n in sizes]
    peer = peer_row()
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "qasm3.json").write_text(json.dumps({"sizes": rows, "peer": peer}, indent=1))
    (RESULTS / "qasm3.md").write_text(markdown(rows, peer))
    print(markdown(rows, peer))


if __name__ == "__main__":
    main()
