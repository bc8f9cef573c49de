"""Benchmark suite: every pass, native against the generic path, Qiskit and the object-creation floor.

    python bench/suite.py            # full run, writes bench/results/ (under 30 minutes)
    python bench/suite.py --quick    # smoke run, 1e3 gates only, writes bench/results-quick/
    python bench/suite.py --passes compress compress-dag --merge   # rerun some passes, keep the other rows

Passes: qc2dag, dag2qc, compress (GateCompressor.run, its `dag` left unread), compress-dag (run, then
reading `dag`), compress-dd (GateCompressor then DynamicalDecoupling on its result: the road users
take), dd (DynamicalDecoupling, XY4, align_right).
Implementations: native (the C++ engines), generic (the Python path: bench_dag's straightforward
version for the conversions, a subclass overriding one method for the passes), qiskit (closest
equivalent, see peer_qiskit.py) and floor (creating the output Python objects from data already
computed: the fastest of unpickling the finished result and rebuilding it in Python).
"""

import argparse
import gc
import json
import os
import pickle
import platform
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import tracemalloc

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import networkx as nx  # noqa: E402
from bench_dag import python_dag2qc, python_qc2dag  # noqa: E402
from circuits import SHAPES  # noqa: E402

from corvane.circuit.dag import dag2qc, qc2dag  # noqa: E402
from corvane.circuit.optimize import GateCompressor  # noqa: E402
from corvane.circuit.schedule import DynamicalDecoupling  # noqa: E402


class _Peer:
    """peer_qiskit, imported on first use: Qiskit takes over a second to import, and the
    fresh processes that time our own passes never need it."""

    def __getattr__(self, name):
        import peer_qiskit

        return getattr(peer_qiskit, name)


peer = _Peer()

T1G, T2G = 3e-8, 4.2e-8
BIG = 1_000_000  # from this size on: native only, each pass in a fresh process
PASSES = ["qc2dag", "dag2qc", "compress", "compress-dag", "compress-dd", "dd"]
# Passes compared with Qiskit (reading `dag` has no Qiskit counterpart: its row compares with our own
# compress rows).
PEER_PASSES = ["qc2dag", "dag2qc", "compress", "compress-dd", "dd"]
GENERIC_BUDGET = 30.0  # seconds one generic run may be predicted to take before the size is skipped
PEER_BUDGET = 10.0  # seconds of Qiskit runs per row before fewer runs are taken


class GenericCompressor(GateCompressor):
    def has_adjacent_gates(self):
        return super().has_adjacent_gates()


class GenericDD(DynamicalDecoupling):
    def counter(self):
        return super().counter()


# ---- the passes, each as prepare(qc) -> input, run(input) -> (result, gates out) -----------


def prepare(pass_name, impl, qc):
    """Input of the timed call, built outside the timed region."""
    if impl == "qiskit":
        q = peer.to_qiskit(qc)
        if pass_name == "dag2qc":
            return peer.circuit_to_dag(q)
        if pass_name == "compress":
            return (peer.compress_manager(), q)
        if pass_name == "compress-dd":
            return (peer.compress_manager(), peer.dd_manager(T1G, T2G), q)
        if pass_name == "dd":
            return (peer.dd_manager(T1G, T2G), q)
        return q
    if pass_name == "dag2qc":
        return (
            (python_qc2dag(qc) if impl == "generic" else qc2dag(qc, False)),
            qc.nqubits,
            qc.ncbits,
        )
    return qc


def runner(pass_name, impl):
    """The timed call; returns a function of the prepared input giving the result."""
    if impl == "qiskit":
        if pass_name == "qc2dag":
            return peer.circuit_to_dag
        if pass_name == "dag2qc":
            return peer.dag_to_circuit
        if pass_name == "compress-dd":
            return lambda inp: inp[1].run(inp[0].run(inp[2]))
        return lambda inp: inp[0].run(inp[1])
    if pass_name == "qc2dag":
        return (
            (lambda qc: python_qc2dag(qc)) if impl == "generic" else (lambda qc: qc2dag(qc, False))
        )
    if pass_name == "dag2qc":
        f = python_dag2qc if impl == "generic" else dag2qc
        return lambda inp: f(*inp)
    compressor = GenericCompressor if impl == "generic" else GateCompressor
    decoupler = GenericDD if impl == "generic" else DynamicalDecoupling
    if pass_name == "compress":
        return lambda qc: compressor().run(qc)
    if pass_name == "compress-dag":

        def run(qc):
            c = compressor()
            out = c.run(qc)
            return out, c.dag

        return run
    if pass_name == "compress-dd":
        return lambda qc: decoupler(T1G, T2G).run(
            compressor().run(qc), sequence="XY4", align_right=True
        )
    return lambda qc: decoupler(T1G, T2G).run(qc, sequence="XY4", align_right=True)


def gates_out(pass_name, impl, result):
    if impl == "qiskit":
        return peer.count(result)
    if pass_name == "qc2dag":
        return result.number_of_nodes()
    if pass_name == "compress-dag":
        return len(result[0].gates)
    return len(result.gates)


def gates_in(pass_name, impl, inp, qc):
    return len(qc.gates)


# ---- the floor: creating the output objects from already-computed data ---------------------


def floor_variants(pass_name, result, with_python):
    """Functions that each create a fresh copy of the output objects; the fastest is the floor.

    `pickle` unpickles the finished result (every dict, list, tuple, float and string fresh,
    created by C code), `pickle-nogc` the same with the cyclic collector paused (millions of new
    containers otherwise set off collections that walk all of them); `python` rebuilds it with the plain Python idiom (networkx bulk adds with
    copied attribute dicts, or fresh gate tuples in a fresh list).
    """

    def gates_python(gates):
        return lambda: [(*e,) for e in gates]

    def graph_python(g):
        nodes = list(g.nodes(data=True))
        edges = list(g.edges(data=True))
        graph = dict(g.graph)

        def build():
            h = nx.DiGraph()
            h.graph.update(graph)
            h.add_nodes_from(
                (n, {k: (v[:] if v.__class__ is list else v) for k, v in d.items()})
                for n, d in nodes
            )
            h.add_edges_from(
                (u, v, {k: (x[:] if x.__class__ is list else x) for k, x in d.items()})
                for u, v, d in edges
            )
            return h

        return build

    if pass_name == "qc2dag":
        objs, py = result, (graph_python(result) if with_python else None)
    elif pass_name == "compress-dag":
        out, g = result
        objs = (out.gates, g)
        if with_python:
            gp, gg = gates_python(out.gates), graph_python(g)
            py = lambda: (gp(), gg())  # noqa: E731
        else:
            py = None
    else:
        objs, py = result.gates, (gates_python(result.gates) if with_python else None)
    blob = pickle.dumps(objs, protocol=pickle.HIGHEST_PROTOCOL)

    def unpickle_without_gc():
        gc.disable()
        try:
            return pickle.loads(blob)
        finally:
            gc.enable()

    variants = {"pickle": lambda: pickle.loads(blob), "pickle-nogc": unpickle_without_gc}
    if py is not None:
        variants["python"] = py
    return variants


# ---- measurement ----------------------------------------------------------------------------


def settle_collector():
    """Runs the collection CPython starts at the next allocation of a container, if one is due.

    A run that pauses the collector while it creates objects (the native passes, the floor's
    pickle-nogc) leaves that collection to whatever allocates next, and whether that happens
    before the clock is read depends on the run's last few steps. Every timing ends with this
    call, so each run pays for the collection its own objects made due, and no run defers it
    past the clock. Generations 0 and 1 as CPython 3.11 picks them; the oldest generation also
    depends on a ratio Python does not expose, and is left to CPython.
    """
    (young, middle, _), (young_limit, middle_limit, _) = gc.get_count(), gc.get_threshold()
    if young > young_limit:
        gc.collect(1 if middle > middle_limit else 0)


def timed(fn, repeat, budget=None):
    """Times of `repeat` runs; with a budget, stops early once the runs so far took longer."""
    times, result = [], None
    gc.collect()
    for _ in range(repeat):
        if budget is not None and sum(times) > budget:
            break
        result = None  # the previous result is freed outside the timed region
        if (
            times and times[-1] > 0.05
        ):  # a full collection costs ~0.1 s here; only worth it after big runs
            gc.collect()
        t0 = time.perf_counter()
        result = fn()
        settle_collector()
        times.append(time.perf_counter() - t0)
    return times, result


def traced_peak_mb(fn):
    gc.collect()
    tracemalloc.start()
    fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak / 1e6


def _status_kb(key):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1])
    return 0


def rss_probe():
    """Start of a resident-memory measurement; returns a function giving the growth in MB."""
    gc.collect()
    try:  # reset the high-water mark, so the input's own construction is not counted
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        base = _status_kb("VmRSS:")
        return lambda: (_status_kb("VmHWM:") - base) / 1024
    except OSError:
        base = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        return lambda: (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - base) / 1024


def worker(job):
    """In a fresh process: load the circuit, time the pass, its resident growth and its floor."""
    with open(job["circuit"], "rb") as f:
        qc = pickle.load(f)
    p, impl = job["pass"], job["impl"]
    inp = prepare(p, impl, qc)
    run = runner(p, impl)
    probe = rss_probe()
    t0 = time.perf_counter()
    result = run(inp)
    settle_collector()
    times = [time.perf_counter() - t0]
    rss = probe()
    more, result2 = timed(lambda: run(inp), job["repeat"] - 1) if job["repeat"] > 1 else ([], None)
    times += more
    if result2 is not None:
        result = result2
    out = dict(
        times=times, rss_mb=rss, gates_in=len(qc.gates), gates_out=gates_out(p, impl, result)
    )
    if job.get("floor"):
        floors = {}
        # at this size only the faster unpickling (smaller sizes show it beats the others)
        fn = floor_variants(p, result, False)["pickle-nogc"]
        result = None
        floors["pickle-nogc"], _ = timed(fn, job["repeat"])
        out["floors"] = floors
    print(json.dumps(out))


def in_subprocess(job, timeout=900):
    r = subprocess.run(
        [sys.executable, os.path.abspath(__file__), "--worker", json.dumps(job)],
        capture_output=True,
        text=True,
        timeout=timeout,
    )
    if r.returncode != 0:
        raise RuntimeError(r.stderr[-2000:])
    return json.loads(r.stdout.strip().splitlines()[-1])


# ---- the suite -------------------------------------------------------------------------------


def summarise(times):
    return statistics.median(times), max(times) - min(times)


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument(
        "--quick", action="store_true", help="1e3 gates only, results in bench/results-quick/"
    )
    ap.add_argument("--sizes", type=int, nargs="+")
    ap.add_argument("--shapes", nargs="+", default=list(SHAPES))
    ap.add_argument(
        "--million-shapes",
        nargs="+",
        default=["merge-rich", "uneven", "wide"],
        help="shapes run at 1e6 (native only, in fresh processes)",
    )
    ap.add_argument("--passes", nargs="+", default=PASSES, choices=PASSES)
    ap.add_argument(
        "--merge",
        action="store_true",
        help="keep the rows of the passes not run from the existing results.json",
    )
    ap.add_argument("--peer-max", type=int, default=100_000)
    ap.add_argument(
        "--generic-max",
        type=int,
        help="largest size the generic path runs at (default: no limit beyond its time budget)",
    )
    ap.add_argument("--out")
    ap.add_argument("--worker", help=argparse.SUPPRESS)
    args = ap.parse_args()
    if args.worker:
        return worker(json.loads(args.worker))

    started = time.perf_counter()
    sizes = args.sizes or ([1000] if args.quick else [1000, 10_000, 100_000, 1_000_000])
    out_dir = args.out or os.path.join(HERE, "results-quick" if args.quick else "results")
    os.makedirs(out_dir, exist_ok=True)
    tmp = tempfile.mkdtemp(prefix="corvane-bench-")
    rows = []
    generic_last = {}  # (pass, shape) -> (size, seconds) of the last generic run, to predict the next

    def log(msg):
        print(f"[{time.perf_counter() - started:7.1f}s] {msg}", flush=True)

    for n in sizes:
        repeat = 5 if n <= 10_000 else 3
        for shape in args.shapes:
            if n >= BIG and shape not in args.million_shapes:
                continue
            qc = SHAPES[shape](n)
            log(f"{shape} {n}")
            if n >= BIG:
                path = os.path.join(tmp, f"{shape}-{n}.pickle")
                with open(path, "wb") as f:
                    pickle.dump(qc, f, protocol=pickle.HIGHEST_PROTOCOL)
                del qc
                gc.collect()
                for p in args.passes:
                    r = in_subprocess(
                        dict(circuit=path, **{"pass": p}, impl="native", repeat=repeat, floor=True)
                    )
                    med, spread = summarise(r["times"])
                    floors = {k: summarise(v)[0] for k, v in r["floors"].items()}
                    best = min(floors, key=floors.get)
                    rows.append(
                        dict(
                            pass_=p,
                            shape=shape,
                            n=n,
                            impl="native",
                            median=med,
                            spread=spread,
                            runs=len(r["times"]),
                            py_peak_mb=None,
                            rss_mb=r["rss_mb"],
                            gates_in=r["gates_in"],
                            gates_out=r["gates_out"],
                        )
                    )
                    rows.append(
                        dict(
                            pass_=p,
                            shape=shape,
                            n=n,
                            impl="floor",
                            median=floors[best],
                            spread=summarise(r["floors"][best])[1],
                            runs=len(r["floors"][best]),
                            floor_kind=best,
                            floor_variants=floors,
                            gates_in=r["gates_in"],
                            gates_out=r["gates_out"],
                        )
                    )
                    log(
                        f"  {p:8} native {med:.3f}s floor {floors[best]:.3f}s ({best}) rss {r['rss_mb']:.0f} MB"
                    )
                os.remove(path)
                continue

            path = None
            if n == args.peer_max or n == 100_000:
                path = os.path.join(tmp, f"{shape}-{n}.pickle")
                with open(path, "wb") as f:
                    pickle.dump(qc, f, protocol=pickle.HIGHEST_PROTOCOL)
            for p in args.passes:
                with_peer = peer.AVAILABLE and n <= args.peer_max and p in PEER_PASSES
                with_generic = args.generic_max is None or n <= args.generic_max
                for impl in (
                    ["native"]
                    + (["generic"] if with_generic else [])
                    + (["qiskit"] if with_peer else [])
                ):
                    reps = repeat
                    if impl == "generic":
                        last = generic_last.get((p, shape))
                        if last is not None:
                            # the conversions grow linearly, the generic passes up to quadratically
                            power = {"qc2dag": 1, "dag2qc": 1, "dd": 1.3}.get(p, 2)
                            predicted = last[1] * (n / last[0]) ** power
                            if predicted > GENERIC_BUDGET:
                                rows.append(
                                    dict(
                                        pass_=p,
                                        shape=shape,
                                        n=n,
                                        impl=impl,
                                        skipped=True,
                                        predicted=predicted,
                                        gates_in=len(qc.gates),
                                    )
                                )
                                continue
                            reps = max(1, min(repeat, int(GENERIC_BUDGET / max(predicted, 1e-9))))
                    if impl == "qiskit" and p == "qc2dag":
                        conv_times, _ = timed(lambda: peer.to_qiskit(qc), reps)  # noqa: F821 (deleted only on the branch that continues)
                        med, spread = summarise(conv_times)
                        rows.append(
                            dict(
                                pass_=p,
                                shape=shape,
                                n=n,
                                impl="qiskit-convert",
                                median=med,
                                spread=spread,
                                runs=reps,
                                py_peak_mb=None,
                                rss_mb=None,
                                gates_in=len(qc.gates),
                                gates_out=len(qc.gates),
                            )
                        )
                    inp = prepare(p, impl, qc)
                    run = runner(p, impl)
                    times, result = timed(
                        lambda: run(inp), reps, PEER_BUDGET if impl == "qiskit" else None
                    )
                    med, spread = summarise(times)
                    if impl == "generic":
                        generic_last[(p, shape)] = (n, med)
                    row = dict(
                        pass_=p,
                        shape=shape,
                        n=n,
                        impl=impl,
                        median=med,
                        spread=spread,
                        runs=reps,
                        gates_in=len(qc.gates),
                        gates_out=gates_out(p, impl, result),
                        rss_mb=None,
                    )
                    # tracemalloc slows Python code several-fold: one extra run, skipped for slow paths
                    row["py_peak_mb"] = traced_peak_mb(lambda: run(inp)) if med < 1 else None
                    if path and impl in ("native", "qiskit"):
                        row["rss_mb"] = in_subprocess(
                            dict(circuit=path, **{"pass": p}, impl=impl, repeat=1)
                        )["rss_mb"]
                    rows.append(row)
                    if impl == "native":
                        variants = floor_variants(p, result, n <= 10_000)
                        result = None
                        floors = {k: summarise(timed(fn, repeat)[0]) for k, fn in variants.items()}
                        best = min(floors, key=lambda k: floors[k][0])
                        rows.append(
                            dict(
                                pass_=p,
                                shape=shape,
                                n=n,
                                impl="floor",
                                median=floors[best][0],
                                spread=floors[best][1],
                                runs=repeat,
                                floor_kind=best,
                                floor_variants={k: v[0] for k, v in floors.items()},
                                gates_in=row["gates_in"],
                                gates_out=row["gates_out"],
                            )
                        )
                    result = inp = None
                log(
                    f"  {p:8} "
                    + "  ".join(
                        f"{r['impl']} {r['median']:.4f}s"
                        for r in rows
                        if r["pass_"] == p
                        and r["shape"] == shape
                        and r["n"] == n
                        and not r.get("skipped")
                    )
                )
            if path:
                os.remove(path)
            del qc
            gc.collect()

    elapsed = time.perf_counter() - started
    import report  # noqa: E402  (plots and tables; kept apart so they can be redrawn from results.json)

    meta = dict(
        python=sys.version.split()[0],
        platform=platform.platform(),
        cpus=os.cpu_count(),
        qiskit=peer.VERSION,
        networkx=nx.__version__,
        t1g=T1G,
        t2g=T2G,
        sizes=sizes,
        shapes=args.shapes,
        million_shapes=args.million_shapes,
        elapsed_s=elapsed,
        compress_basis=peer.COMPRESS_BASIS if peer.AVAILABLE else None,
        quick=args.quick,
        passes=args.passes,
        load=os.getloadavg(),
    )
    if args.merge and os.path.exists(os.path.join(out_dir, "results.json")):
        with open(os.path.join(out_dir, "results.json")) as f:
            earlier = json.load(f)
        kept = [
            r for r in earlier["rows"] if r["pass_"] not in args.passes and r["pass_"] in PASSES
        ]
        rows = kept + rows
        # Where the kept rows come from, for the report's header.
        meta["kept"] = dict(
            passes=sorted({r["pass_"] for r in kept}),
            run=earlier["meta"].get("kept", {}).get("run")
            or f"{earlier['meta']['elapsed_s'] / 60:.1f} min run of passes "
            + ", ".join(earlier["meta"].get("passes", ["qc2dag", "dag2qc", "compress", "dd"])),
        )
    with open(os.path.join(out_dir, "results.json"), "w") as f:
        json.dump(dict(meta=meta, rows=rows), f, indent=1)
    lines = report.write_all(out_dir, meta, rows)
    print("\n".join(lines))
    os.rmdir(tmp)


if __name__ == "__main__":
    main()
