"""Benchmark: qc2dag and dag2qc against a straightforward Python version.

Run: python bench/bench_dag.py [--sizes 1000 10000 100000] [--repeat 5] [--no-million]

Prints, per circuit size, the median time of each implementation, the ratio,
and the peak of Python allocations (tracemalloc) of each; then a round trip of
a 1e6-gate circuit in a fresh process with its peak resident memory against
the memory of the networkx graph itself.
"""

import argparse
import json
import random
import statistics
import subprocess
import sys
import time
import tracemalloc

import networkx as nx

from corvane.circuit.dag import dag2qc, qc2dag
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.quantumcircuit_helpers import (
    functional_gates_available,
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    three_qubit_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)


def random_circuit(ngates, nqubits=20, seed=1):
    rng = random.Random(seed)
    qc = QuantumCircuit(nqubits, nqubits)
    one, two = ["h", "x", "s", "t", "z"], ["cx", "cz", "swap"]
    for _ in range(ngates):
        r = rng.random()
        if r < 0.45:
            qc.gates.append((rng.choice(one), rng.randrange(nqubits)))
        elif r < 0.75:
            a, b = rng.sample(range(nqubits), 2)
            qc.gates.append((rng.choice(two), a, b))
        elif r < 0.95:
            qc.gates.append(
                (rng.choice(["rx", "rz", "p"]), rng.uniform(-3, 3), rng.randrange(nqubits))
            )
        else:
            qc.gates.append(("measure", [rng.randrange(nqubits)], [rng.randrange(nqubits)]))
    return qc


# ---- the straightforward Python version of the same steps ---------------------


def python_qc2dag(qc):
    nodes, edges, last = [], [], {}
    for i, entry in enumerate(qc.gates):
        name = entry[0]
        attrs = {}
        if name in one_qubit_parameter_gates_available:
            attrs = {"qubits": [entry[-1]], "params": list(entry[1:-1])}
        elif name in two_qubit_parameter_gates_available:
            attrs = {"qubits": list(entry[-2:]), "params": list(entry[1:-2])}
        elif name == "measure":
            attrs = {"qubits": list(entry[1]), "cbits": list(entry[2])}
        elif name == "delay":
            attrs = {"qubits": list(entry[2]), "duration": entry[1]}
        elif name == "barrier":
            attrs = {"qubits": list(entry[1])}
        else:
            attrs = {"qubits": list(entry[1:])}
        node = f"{name}_{i}"
        nodes.append((node, attrs))
        shared = {}
        for q in attrs["qubits"]:
            if q in last:
                shared.setdefault(last[q], []).append(q)
            last[q] = node
        edges.extend((u, node, {"qubit": qs}) for u, qs in shared.items())
    g = nx.DiGraph()
    g.add_nodes_from(nodes)
    g.add_edges_from(edges)
    g.graph["qubits"] = qc.qubits
    return g


def python_dag2qc(dag, nqubits, ncbits):
    new = []
    for node in nx.topological_sort(dag):
        gate = node.split("_")[0]
        data = dag.nodes[node]
        qubits = data["qubits"]
        if gate in one_qubit_gates_available:
            new.append((gate, qubits[0]))
        elif gate in two_qubit_gates_available:
            new.append((gate, qubits[0], qubits[1]))
        elif gate in three_qubit_gates_available:
            new.append((gate, qubits[0], qubits[1], qubits[2]))
        elif gate in one_qubit_parameter_gates_available:
            new.append((gate, *data["params"], qubits[0]))
        elif gate in two_qubit_parameter_gates_available:
            new.append((gate, *data["params"], qubits[0], qubits[1]))
        elif gate in functional_gates_available:
            if gate == "measure":
                new.append((gate, qubits, data["cbits"]))
            elif gate == "barrier":
                new.append((gate, tuple(qubits)))
            elif gate == "delay":
                new.append((gate, data["duration"], tuple(qubits)))
            elif gate == "reset":
                new.append((gate, qubits[0]))
    qc = QuantumCircuit(nqubits, ncbits)
    qc.gates = new
    qc.qubits = dag.graph["qubits"]
    return qc


# ---- measurement ---------------------------------------------------------------


def median_time(fn, repeat):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), (max(times) - min(times))


def peak_python_bytes(fn):
    tracemalloc.start()
    fn()
    peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return peak


def compare(sizes, repeat):
    print(
        f"{'gates':>8} {'step':>7} {'native s':>10} {'python s':>10} {'ratio':>7} {'native MB':>10} {'python MB':>10}"
    )
    for n in sizes:
        qc = random_circuit(n)
        native_graph, python_graph = qc2dag(qc, False), python_qc2dag(qc)
        assert list(native_graph.nodes(data=True)) == list(python_graph.nodes(data=True))
        assert list(native_graph.edges(data=True)) == list(python_graph.edges(data=True))
        assert (
            dag2qc(native_graph, qc.nqubits, qc.ncbits).gates
            == python_dag2qc(python_graph, qc.nqubits, qc.ncbits).gates
        )
        rows = [
            ("qc2dag", lambda: qc2dag(qc, False), lambda: python_qc2dag(qc)),
            (
                "dag2qc",
                lambda: dag2qc(native_graph, qc.nqubits, qc.ncbits),
                lambda: python_dag2qc(python_graph, qc.nqubits, qc.ncbits),
            ),
        ]
        for step, native, python in rows:
            t_native, _ = median_time(native, repeat)
            t_python, _ = median_time(python, repeat)
            m_native, m_python = peak_python_bytes(native), peak_python_bytes(python)
            print(
                f"{n:>8} {step:>7} {t_native:>10.4f} {t_python:>10.4f} {t_python / t_native:>6.1f}x"
                f" {m_native / 1e6:>10.1f} {m_python / 1e6:>10.1f}"
            )


ROUND_TRIP = """
import gc, json, resource, sys, time
sys.path.insert(0, {bench_dir!r})
from bench_dag import random_circuit
from corvane.circuit.dag import dag2qc, qc2dag

def rss_mb():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096 / 1e6

qc = random_circuit({n})
gc.collect()
base = rss_mb()
start = time.perf_counter()
g = qc2dag(qc)
t_qc2dag = time.perf_counter() - start
graph_mb = rss_mb() - base
start = time.perf_counter()
back = dag2qc(g, qc.nqubits, qc.ncbits)
t_dag2qc = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1e3 - base
print(json.dumps(dict(qc2dag=t_qc2dag, dag2qc=t_dag2qc, graph_mb=graph_mb, peak_mb=peak, gates=len(back.gates))))
"""


def million_round_trip(n=1_000_000):
    import os

    code = ROUND_TRIP.format(bench_dir=os.path.dirname(os.path.abspath(__file__)), n=n)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    r = json.loads(out.stdout)
    print(
        f"\nround trip of {n} gates: qc2dag {r['qc2dag']:.2f} s, dag2qc {r['dag2qc']:.2f} s, "
        f"{r['gates']} gates back"
    )
    print(
        f"networkx graph {r['graph_mb']:.0f} MB, peak above the circuit {r['peak_mb']:.0f} MB "
        f"({r['peak_mb'] / r['graph_mb']:.2f}x the graph)"
    )


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", type=int, nargs="+", default=[1000, 10000, 100000])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--no-million", action="store_true")
    args = parser.parse_args()
    compare(args.sizes, args.repeat)
    if not args.no_million:
        million_round_trip()


if __name__ == "__main__":
    main()
