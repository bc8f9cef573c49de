"""Calling the native functions many times, on results and on errors alike,
leaves the interpreter's allocated-block count and the process's memory flat."""

import gc
import sys

import networkx as nx
import numpy as np
import pytest

from corvane.circuit import matrix
from corvane.circuit.dag import dag2qc, get_qcgraph_edges, qc2dag, split_qubits
from corvane.circuit.decompose import u3_decompose
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.quantumcircuit_helpers import convert_gate_info_to_dag_info

from conftest import random_circuit

CIRCUIT = random_circuit(7, 60, 4)
GRAPH = qc2dag(CIRCUIT)
CYCLE = nx.DiGraph([("x_1", "x_2"), ("x_2", "x_1")])
nx.set_node_attributes(CYCLE, {"x_1": {"qubits": [0]}, "x_2": {"qubits": [0]}})
CYCLE.graph["qubits"] = [0]
BAD_GATES = QuantumCircuit(2, 0)
BAD_GATES.gates = [("h", 0), ("nope", 1)]


def raises(call, *args, **kwargs):
    def run():
        try:
            call(*args, **kwargs)
        except Exception:
            pass
    return run


CASES = {
    "qc2dag": lambda: qc2dag(CIRCUIT),
    "qc2dag_error": raises(qc2dag, BAD_GATES),
    "dag2qc": lambda: dag2qc(GRAPH, 4, 4),
    "dag2qc_cycle": raises(dag2qc, CYCLE, 1),
    "dag2qc_bad_count": raises(dag2qc, GRAPH, "4"),
    "convert": lambda: convert_gate_info_to_dag_info(4, CIRCUIT.qubits, CIRCUIT.gates, show_qubits=False),
    "coupling": lambda: (get_qcgraph_edges(CIRCUIT.gates), split_qubits(CIRCUIT)),
    "coupling_error": raises(get_qcgraph_edges, [("cxx", 0, 1)]),
    "argument_errors": raises(qc2dag, CIRCUIT, 1, 2, x=3),
    "matrices": lambda: [matrix.rx_mat(0.3), matrix.u_mat(0.1, 0.2, 0.3), matrix.rzz_mat(1), matrix.ketn0(3),
                         matrix.r_mat(0.2, 0.1), matrix.u2_mat(0.1, 0.2)],
    "matrix_errors": raises(matrix.rx_mat, "a"),
    "decompose": lambda: u3_decompose(matrix.h_mat),
    "decompose_error": raises(u3_decompose, np.zeros((3, 3))),
}


@pytest.mark.parametrize("name", list(CASES))
def test_repeated_calls_do_not_leak(name):
    call = CASES[name]
    for _ in range(300):  # warm the interpreter's and networkx's caches first
        call()
    gc.collect()
    before = sys.getallocatedblocks()
    for _ in range(500):
        call()
    gc.collect()
    # A few blocks of slack for interpreter caches (method caches, interned names).
    assert sys.getallocatedblocks() - before < 100


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="reads /proc")
def test_process_memory_stays_flat_over_large_round_trips():
    qc = random_circuit(3, 20000, 8)
    for _ in range(2):
        dag2qc(qc2dag(qc), qc.nqubits, qc.ncbits)
    gc.collect()
    before = rss_bytes()
    for _ in range(6):
        dag2qc(qc2dag(qc), qc.nqubits, qc.ncbits)
    gc.collect()
    assert rss_bytes() - before < 16 * 2**20
