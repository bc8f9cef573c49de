"""Hostile input: every call either gives its documented result or raises a
Python exception; none crashes the interpreter or changes what it only reads."""

import copy
import math

import networkx as nx
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane.circuit.dag import dag2qc, get_qcgraph_edges, qc2dag, qc2graph, split_qubits
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.quantumcircuit_helpers import convert_gate_info_to_dag_info

EXPECTED = (TypeError, ValueError, KeyError, IndexError, AttributeError, OverflowError, ZeroDivisionError,
            nx.NetworkXUnfeasible, nx.NetworkXError, RecursionError)


class Boom(Exception):
    """Raised by the hostile objects below; must pass through unchanged."""


class RaisingIter:
    def __iter__(self):
        yield 0
        raise Boom("iter")


class RaisingHash:
    def __hash__(self):
        raise Boom("hash")


class RaisingEq(int):
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = int.__hash__


class RaisingStr:
    def __str__(self):
        raise Boom("str")


scalars = st.one_of(
    st.none(), st.booleans(), st.integers(-2**70, 2**70), st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=6), st.binary(max_size=4), st.complex_numbers(allow_nan=True),
    st.sampled_from([RaisingIter, RaisingHash, RaisingStr, object]).map(lambda make: make()),
)
values = st.recursive(scalars, lambda inner: st.one_of(st.lists(inner, max_size=4),
                                                       st.tuples(inner, inner),
                                                       st.dictionaries(st.text(max_size=3), inner, max_size=3)),
                      max_leaves=8)
gate_names = st.sampled_from(["h", "cx", "ccx", "rx", "u", "rzz", "measure", "barrier", "delay", "reset",
                              "nope", "a_b", ""])
entries = st.one_of(st.tuples(gate_names), st.tuples(gate_names, values), st.tuples(gate_names, values, values),
                    st.tuples(gate_names, values, values, values), values)


def frozen(obj):
    """A deep snapshot for checking that nothing was changed; raising objects compare by identity."""
    try:
        return copy.deepcopy(obj)
    except Exception:
        return obj


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(gates=st.lists(entries, max_size=6), show=values)
def test_builder_and_qc2dag_survive_any_gate_list(gates, show):
    before = repr(gates)
    qc = QuantumCircuit(3, 3)
    qc.gates = gates
    for call in (lambda: convert_gate_info_to_dag_info(3, qc.qubits, gates, show_qubits=show),
                 lambda: qc2dag(qc, show), lambda: get_qcgraph_edges(gates), lambda: split_qubits(qc)):
        try:
            call()
        except EXPECTED + (Boom,):
            pass
    assert repr(gates) == before


node_keys = st.one_of(st.sampled_from(["h_1", "cx_2", "rx_3", "measure_4", "delay_5", "barrier_6", "reset_7",
                                        "x", "nope_8", "_9", ""]), st.integers(-3, 3), st.tuples(st.integers(0, 2)))
attributes = st.dictionaries(st.sampled_from(["qubits", "params", "cbits", "duration"]), values, max_size=4)


@settings(max_examples=300, deadline=None, suppress_health_check=list(HealthCheck))
@given(nodes=st.lists(st.tuples(node_keys, attributes), max_size=6),
       edges=st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5)), max_size=8),
       nqubits=values, ncbits=values, graph_qubits=values, subclass=st.booleans())
def test_dag2qc_survives_any_graph(nodes, edges, nqubits, ncbits, graph_qubits, subclass):
    g = (type("UserGraph", (nx.DiGraph,), {}) if subclass else nx.DiGraph)()
    g.add_nodes_from(nodes)
    keys = list(g)
    for u, v in edges:
        if keys:
            g.add_edge(keys[u % len(keys)], keys[v % len(keys)], qubit=[u])
    g.graph["qubits"] = graph_qubits
    before = (list(g.nodes(data=True)), list(g.edges(data=True)))
    snapshot = repr(before)
    try:
        dag2qc(g, nqubits, ncbits)
    except EXPECTED + (Boom,):
        pass
    assert repr((list(g.nodes(data=True)), list(g.edges(data=True)))) == snapshot


@pytest.mark.parametrize("make", [
    lambda: RaisingIter(),
    lambda: [("h", 0), ("cx", RaisingHash(), 1)],
    lambda: [("h", RaisingEq(1)), ("x", 1)],
    lambda: [("measure", RaisingIter(), [0])],
    lambda: [("h", 0)] * 3 + [("barrier", RaisingIter())],
])
def test_errors_of_user_objects_pass_through_unchanged(make):
    qc = QuantumCircuit(2, 2)
    qc.gates = make()
    with pytest.raises(Boom):
        qc2dag(qc)


def test_errors_raised_by_circuit_attributes_pass_through():
    class Broken(QuantumCircuit):
        @property
        def gates(self):
            raise Boom("gates")

        @gates.setter
        def gates(self, value):
            pass

    with pytest.raises(Boom):
        qc2dag(Broken(1, 1))


def test_dag2qc_passes_constructor_errors_through():
    g = nx.DiGraph()
    g.add_node("h_1", qubits=[-5])
    g.graph["qubits"] = []
    with pytest.raises(ValueError, match="nqubits must be non-negative"):
        dag2qc(g)


@pytest.mark.parametrize("qubit", [2**80, -2**80, 10**6, RaisingStr()])
def test_unusual_qubit_objects_in_names_and_counts(qubit):
    qc = QuantumCircuit(1, 1)
    qc.gates = [("h", qubit), ("h", qubit)]
    try:
        g = qc2dag(qc)
    except Boom:
        return
    assert g.number_of_edges() == 1
    assert all(n.endswith(f"_q{qubit}") for n in g)
    assert dag2qc(g, 1, 1).gates == qc.gates
