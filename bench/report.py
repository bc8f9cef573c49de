"""Tables, target checks and scaling plots from the suite's rows.

python bench/report.py [bench/results]   # redraw results.md and the plots from results.json
"""

import json
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

PASS_TITLES = {
    "qc2dag": "qc2dag (gate list -> networkx DAG)",
    "dag2qc": "dag2qc (networkx DAG -> gate list)",
    "compress": "GateCompressor.run (gate compression), `dag` left unread",
    "compress-dag": "GateCompressor.run, then reading `dag`",
    "compress-dd": "GateCompressor.run, then DynamicalDecoupling.run on its result (XY4, align_right)",
    "dd": "DynamicalDecoupling.run (XY4, align_right)",
}
IMPL_ORDER = ["native", "floor", "generic", "qiskit", "qiskit-convert"]
TARGET_SIZE = 100_000
FLOOR_SIZE = 1_000_000
# Against Qiskit at TARGET_SIZE: on how many shapes ours must be faster (None: all) and use less
# resident memory (None: all, 0: no memory target), and the largest slowdown allowed on the others.
PEER_TARGETS = {
    "qc2dag": dict(faster=None, rss=None),
    "dag2qc": dict(faster=None, rss=None),
    "dd": dict(faster=None, rss=None),
    "compress": dict(faster=6, rss=5, slowest=1.5),
    "compress-dd": dict(faster=None, rss=0),
}
# Native time over the floor's at FLOOR_SIZE.
FLOOR_FACTORS = {"qc2dag": 3.0, "dag2qc": 3.0, "compress": 2.0, "dd": 3.0}
# GateCompressor.run before `dag` was built on first read against run + reading dag now.
COMPRESS_BEFORE = os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "results", "compress_before.json"
)
TIME_LIMIT_S = 30 * 60

READING = """\
How to read them: Qiskit keeps its DAG in Rust, so `circuit_to_dag`/`dag_to_circuit` create no
Python object per gate while ours must create a networkx graph or gate tuples; that, not the
engines, is why the conversions (and compression, which also builds `self.dag`) lose on time and
memory at 1e5: creating our output alone (the floor rows) takes longer than Qiskit's whole pass
(see profile.md). An `x floor` below 1 means the native code creates the objects faster than the
fastest Python-level route found (unpickling with the collector paused), so that floor is an
upper estimate there. Every time includes the collection its run's new objects made due (a run
that pauses the collector would otherwise leave it to whoever allocates next). The dag2qc and dd floors count only creating the output list: reading the
input networkx graph (dag2qc) is not in it, nor is the DAG dd lays out internally. dag2qc gives
equal entries of a gate and ints one shared tuple, so its output, and with it its floor, is tiny
(unpickling recreates the sharing: 0.006 s for 1e6 entries on uneven); what remains of its time
is reading the graph, which no Python-level route does faster. Compression and decoupling read
the gate list into each entry's gate and qubits and make node names, attribute dicts and qubit
lists only for the nodes that need them (compression: the nodes that survive; decoupling: none
in the model's own categories), so their time above the floor is the engines and, for
compression, the one networkx graph `self.dag` it must build (profile.md)."""

SEMANTICS = """\
## Where the peer does something different

Qiskit (version {qiskit}) runs on the same circuits, converted outside the timed region.

- **qc2dag / dag2qc**: `circuit_to_dag` / `dag_to_circuit`. Qiskit's DAG lives in Rust; our
  output is a networkx DiGraph whose every node, edge and attribute is a Python object. The
  conversion of our gate list into a Qiskit circuit is shown in its own row (`qiskit-convert`);
  the target compares `circuit_to_dag` alone, without it.
- **compress**: `PassManager([InverseCancellation(x, y, z, h, cx, cy, cz, swap, ccx, ccz, cswap,
  s/sdg, t/tdg), Optimize1qGatesDecomposition(basis={basis})])`. Qiskit re-synthesises any run of
  one-qubit gates into the cheapest Euler form of that basis, so it also fuses runs our pass
  leaves alone (h then t, different rotation axes), and it does not merge two-qubit rotations
  (rzz, cp) as ours does; ours also keeps the final graph for `self.dag`, built as a networkx graph
  when first read (the compress-dag rows). The gate
  counts after differ for that reason.
- **dd**: `ALAPScheduleAnalysis` + `PadDynamicalDecoupling([X, Y, X, Y])` with durations on a
  0.1 ns grid: one-qubit gates t1g = {t1g} s, two-qubit gates t2g = {t2g} s, three-qubit gates
  t2g, measure and reset 0. Our pass lays the DAG out in layers (each layer lasts t2g if it holds
  a two-qubit gate, else t1g) and pads idle windows per layer; Qiskit schedules every gate as late
  as possible on its own and pads each idle window once, with its own spacing rule, and emits one
  delay per qubit. The counts after differ for that reason.
- **generic**: for qc2dag/dag2qc the straightforward Python version in `bench_dag.py`; for the
  passes a subclass overriding one method trivially, which sends the pass down its Python path.
  It runs only while one run is predicted to take under a budget (sizes left out are listed).
- **floor**: the fastest way found to create the output Python objects from already-computed
  data: unpickling the finished result (every container, float and string created fresh, in C), the
  same with the cyclic garbage collector paused (`pickle-nogc`),
  or the plain Python rebuild (networkx `add_nodes_from`/`add_edges_from` with copied attribute
  dicts, or `[(*e,) for e in gates]`); the faster one is used (`floor kind`). For compress it is
  the output gate list; for compress-dag the output gate list plus `self.dag`.
- **compress-dd**: our `GateCompressor().run` then `DynamicalDecoupling(t1g, t2g).run(...,
  sequence="XY4", align_right=True)` on its result, against Qiskit's compression pass manager
  above followed by its ALAP + XY4 pass manager (two `PassManager.run` calls, as a user chains
  them); the counts differ for both reasons above.
- **compress-dag**: no Qiskit row (Qiskit leaves no graph to read); its target line compares run +
  reading `dag` with `GateCompressor.run` before the graph was built on first read, timed in
  alternating fresh processes by `bench/ab_compress_dag.py` (`compress_before.json`).
"""


def fmt_t(x):
    if x is None:
        return ""
    return f"{x:.4f}" if x < 10 else f"{x:.1f}"


def fmt_mb(x):
    return "" if x is None else f"{x:.1f}"


def index(rows):
    return {(r["pass_"], r["shape"], r["n"], r["impl"]): r for r in rows if not r.get("skipped")}


def peer_target(p, idx):
    keys = sorted(
        {(s, n) for (pp, s, n, i) in idx if pp == p and n == TARGET_SIZE and i == "native"}
    )
    pairs = [
        (s, idx[(p, s, n, "native")], idx[(p, s, n, "qiskit")])
        for s, n in keys
        if (p, s, n, "qiskit") in idx
    ]
    if not pairs:
        return f"SKIP {p}: no peer rows at {TARGET_SIZE} gates"
    rule, total = PEER_TARGETS[p], len(pairs)
    wins_t = sum(a["median"] < b["median"] for _, a, b in pairs)
    wins_m = sum(
        a.get("rss_mb") is not None and b.get("rss_mb") is not None and a["rss_mb"] < b["rss_mb"]
        for _, a, b in pairs
    )
    slowest = max(a["median"] / b["median"] for _, a, b in pairs)
    need_t = total if rule["faster"] is None else rule["faster"]
    need_m = total if rule["rss"] is None else rule["rss"]
    ok = (
        wins_t >= need_t
        and wins_m >= need_m
        and slowest <= rule.get("slowest", 1.0 if need_t == total else 1e9)
    )
    wanted = f"wanted {need_t}/{total}" + (
        f", never over {rule['slowest']:g}x slower" if "slowest" in rule else ""
    )
    memory = f", lower peak RSS on {wins_m}/{total} (wanted {need_m})" if need_m else ""
    detail = "; ".join(
        f"{s} {a['median']:.3f}s/{b['median']:.3f}s {fmt_mb(a.get('rss_mb'))}/{fmt_mb(b.get('rss_mb'))} MB"
        for s, a, b in pairs
    )
    return (
        f"{'PASS' if ok else 'FAIL'} {p} faster than Qiskit at {TARGET_SIZE} gates on {wins_t}/{total} shapes "
        f"({wanted}; slowest {slowest:.2f}x){memory} (ours/Qiskit: {detail})"
    )


def before_target():
    """Reading `dag` after the run costs no more than the run that built it before (bench/ab_compress_dag.py)."""
    if not os.path.exists(COMPRESS_BEFORE):
        return "SKIP compress-dag: no before/after run (bench/ab_compress_dag.py)"
    with open(COMPRESS_BEFORE) as f:
        ab = json.load(f)
    pairs = [
        (s, int(n), r["now"]["median"], r["then"]["median"])
        for s, by_n in ab["rows"].items()
        for n, r in by_n.items()
    ]
    wins = sum(now <= then for *_, now, then in pairs)
    return (
        f"{'PASS' if wins == len(pairs) else 'FAIL'} compress-dag: run, then reading dag, no slower than run at "
        f"{ab['commit']} (which built dag during the run) on {wins}/{len(pairs)} shapes, alternating fresh "
        "processes (now/then: "
        + "; ".join(f"{s} {n:.0e} {a:.3f}s/{b:.3f}s" for s, n, a, b in pairs)
        + ")"
    )


def targets(meta, rows):
    idx = index(rows)
    lines = [peer_target(p, idx) for p in PEER_TARGETS]
    lines.append(before_target())
    for p, factor in FLOOR_FACTORS.items():
        keys = sorted({s for (pp, s, n, i) in idx if pp == p and n == FLOOR_SIZE and i == "native"})
        if not keys:
            lines.append(f"SKIP {p}: no native rows at {FLOOR_SIZE} gates")
            continue
        ratios = {
            s: idx[(p, s, FLOOR_SIZE, "native")]["median"]
            / idx[(p, s, FLOOR_SIZE, "floor")]["median"]
            for s in keys
        }
        ok = all(r <= factor for r in ratios.values())
        lines.append(
            f"{'PASS' if ok else 'FAIL'} {p} native within {factor:g}x of its floor at {FLOOR_SIZE} gates: "
            + ", ".join(f"{s} {r:.2f}x" for s, r in ratios.items())
        )
    el = meta["elapsed_s"]
    if meta.get("quick"):
        lines.append(f"SKIP suite time: quick run ({el / 60:.1f} min)")
    elif meta.get("kept"):
        lines.append(
            f"SKIP suite time: partial run ({el / 60:.1f} min for {', '.join(meta['passes'])})"
        )
    else:
        lines.append(
            f"{'PASS' if el < TIME_LIMIT_S else 'FAIL'} suite finished in {el / 60:.1f} min (limit 30)"
        )
    return lines


def tables(rows):
    idx = index(rows)
    out = []
    for p, title in PASS_TITLES.items():
        out += [
            f"### {title}",
            "",
            "| shape | gates | implementation | median s | spread s | runs | py peak MB | RSS growth MB "
            "| gates before | gates after | vs native | x floor |",
            "|---|---:|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|",
        ]
        prs = [r for r in rows if r["pass_"] == p]
        prs.sort(key=lambda r: (r["shape"], r["n"], IMPL_ORDER.index(r["impl"])))
        for r in prs:
            if r.get("skipped"):
                out.append(
                    f"| {r['shape']} | {r['n']} | {r['impl']} | skipped (predicted {r['predicted']:.0f} s) "
                    "| | | | | | | | |"
                )
                continue
            nat = idx.get((p, r["shape"], r["n"], "native"))
            flo = idx.get((p, r["shape"], r["n"], "floor"))
            vs = f"{r['median'] / nat['median']:.2f}" if nat and r["impl"] != "native" else ""
            xf = f"{r['median'] / flo['median']:.2f}" if flo and r["impl"] == "native" else ""
            impl = r["impl"] + (f" ({r['floor_kind']})" if r["impl"] == "floor" else "")
            out.append(
                f"| {r['shape']} | {r['n']} | {impl} | {fmt_t(r['median'])} | {fmt_t(r['spread'])} | "
                f"{r['runs']} | {fmt_mb(r.get('py_peak_mb'))} | {fmt_mb(r.get('rss_mb'))} | "
                f"{r['gates_in']} | {r['gates_out']} | {vs} | {xf} |"
            )
        out.append("")
    return out


def plots(out_dir, rows):
    styles = {"native": "-", "generic": "--", "qiskit": ":", "floor": "-."}
    shapes = sorted({r["shape"] for r in rows})
    colours = {s: plt.cm.tab10(i % 10) for i, s in enumerate(shapes)}
    names = []
    for p, title in PASS_TITLES.items():
        fig, ax = plt.subplots(figsize=(9, 6))
        for impl, ls in styles.items():
            for s in shapes:
                pts = sorted(
                    (r["n"], r["median"])
                    for r in rows
                    if r["pass_"] == p
                    and r["impl"] == impl
                    and r["shape"] == s
                    and not r.get("skipped")
                )
                if pts:
                    ax.plot(
                        [x for x, _ in pts],
                        [y for _, y in pts],
                        ls,
                        marker="o",
                        ms=3,
                        color=colours[s],
                        label=f"{impl} {s}",
                        lw=1.6 if impl == "native" else 1.1,
                    )
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_xlabel("gates in the circuit")
        ax.set_ylabel("median time per run, s")
        ax.set_title(title)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=6, ncol=4)
        fig.tight_layout()
        name = f"scaling_{p}.png"
        fig.savefig(os.path.join(out_dir, name), dpi=110)
        plt.close(fig)
        names.append(name)
    return names


def run_note(meta):
    load = meta.get("load")
    load = (
        f" Load average at the end: {', '.join(f'{x:.1f}' for x in load)} (1, 5, 15 min)."
        if load
        else ""
    )
    if not meta.get("kept"):
        return f"Whole suite: {meta['elapsed_s'] / 60:.1f} min.{load}"
    kept = meta["kept"]
    return (
        f"This run: passes {', '.join(meta['passes'])}, sizes {', '.join(f'{n:.0e}' for n in meta['sizes'])}, "
        f"{meta['elapsed_s'] / 60:.1f} min.{load} Rows of {', '.join(kept['passes'])} are kept from an earlier "
        f"{kept['run']}."
    )


def write_all(out_dir, meta, rows):
    target_lines = targets(meta, rows)
    pngs = plots(out_dir, rows)
    md = [
        "# Benchmark results",
        "",
        f"`python bench/suite.py{' --quick' if meta.get('quick') else ''}` on {meta['platform']}, "
        f"{meta['cpus']} CPUs (shared with other work, so times are noisy: each row gives the median "
        f"and the spread, max - min, of its runs), Python {meta['python']}, networkx {meta['networkx']}, "
        f"Qiskit {meta['qiskit']}. {run_note(meta)}",
        "",
        "## Targets",
        "",
        "```",
        *target_lines,
        "```",
        "",
        READING,
        "",
        "Memory: `py peak MB` is the tracemalloc peak of Python allocations during one run (it does not "
        "see C++ or Rust heaps, so it flatters Qiskit and our engines' scratch space alike; left empty "
        "for slow runs and 1e6); `RSS growth MB` is the growth of the peak resident set during one run in "
        "a fresh process, measured after the input is built (1e5 for native and Qiskit, 1e6 for native). "
        f"Sizes at 1e6: native only, shapes {', '.join(meta['million_shapes'])}.",
        "",
        SEMANTICS.format(
            qiskit=meta["qiskit"], basis=meta["compress_basis"], t1g=meta["t1g"], t2g=meta["t2g"]
        ),
        "## Tables",
        "",
        *tables(rows),
        "## Scaling plots",
        "",
        *[f"![{p}]({p})" for p in pngs],
        "",
    ]
    with open(os.path.join(out_dir, "results.md"), "w") as f:
        f.write("\n".join(md))
    return target_lines


if __name__ == "__main__":
    d = (
        sys.argv[1]
        if len(sys.argv) > 1
        else os.path.join(os.path.dirname(os.path.abspath(__file__)), "results")
    )
    with open(os.path.join(d, "results.json")) as f:
        data = json.load(f)
    print("\n".join(write_all(d, data["meta"], data["rows"])))
