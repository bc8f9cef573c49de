"""Fuzz target: graphs built from the bytes into `dag2qc`, and the gate lists
and circuits made from them into `get_qcgraph_edges`, `qc2graph` and
`split_qubits`.

Graphs come with missing and mistyped attributes, odd node keys, cycles,
self-loops, multigraph edges and attribute objects shared between nodes.

Out of scope: graphs whose circuit would have over `inputs.MAX_QUBITS` qubits.

Failure: a crash or sanitizer report, an undocumented exception, a graph or
gate list changed by a function that only reads it, or a circuit converted to
a graph and back that lost or reordered its gates.
"""

import atheris
import inputs

from corvane.circuit.dag import dag2qc, get_qcgraph_edges, qc2dag, qc2graph, split_qubits
from corvane.circuit.quantumcircuit import QuantumCircuit


def readers_leave_alone(qc):
    before = inputs.state(qc.gates)
    inputs.call(get_qcgraph_edges, qc.gates)
    inputs.call(qc2graph, qc)
    inputs.call(split_qubits, qc)
    if inputs.state(qc.gates) != before:
        raise AssertionError(f"a reader changed the gate list: {before} -> {qc.gates!r}")


def from_graph(fdp):
    g = inputs.graph(fdp)
    before = inputs.graph_state(g)
    counts = [
        inputs.small_int(fdp, 5) if fdp.ConsumeProbability() < 0.9 else inputs.value(fdp)
        for _ in range(2)
    ]
    # Without a count the circuit has max(qubits) + 1 qubits.
    sizes = [counts[0]] if counts[0] is not None else inputs.node_qubits(g)
    if any(inputs.huge_qubit_count(size) for size in sizes):
        return
    qc = inputs.call(dag2qc, g, *counts)
    if inputs.graph_state(g) != before:
        raise AssertionError("dag2qc changed its graph")
    gates = [tuple(attrs.values()) for _, attrs in g.nodes(data=True)]
    probe = QuantumCircuit(3, 3)
    probe.gates = gates
    readers_leave_alone(probe)
    if qc is not None:
        readers_leave_alone(qc)


def round_trip(fdp):
    qc = inputs.valid_circuit(fdp)
    readers_leave_alone(qc)
    back = dag2qc(qc2dag(qc), qc.nqubits, qc.ncbits)
    if sorted(map(repr, back.gates)) != sorted(map(repr, qc.gates)):
        raise AssertionError(f"round trip changed the gates:\n{qc.gates}\n{back.gates}")


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    (round_trip if fdp.ConsumeProbability() < 0.2 else from_graph)(fdp)


if __name__ == "__main__":
    inputs.fuzz_main(test_one_input)
