import copy
import gc

import networkx as nx
import pytest
from conftest import random_circuit
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.circuit import dag as dag_module
from corvane.circuit.dag import dag2qc, qc2dag
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.quantumcircuit_helpers import convert_gate_info_to_dag_info


class PlainSubgraph(nx.DiGraph):
    """A DiGraph subclass: dag2qc reads it through networkx's own calls."""


def graph_structure(g):
    return (
        list(g.nodes(data=True)),
        [(u, v, d) for u, v, d in g.edges(data=True)],
        {n: list(g._pred[n]) for n in g},
        dict(g.graph),
        # The collector tracks a node's dicts exactly when they hold edges.
        {n: (gc.is_tracked(g._succ[n]), gc.is_tracked(g._pred[n])) for n in g},
    )


def reference_graph(qc, show_qubits=True):
    nodes, edges = convert_gate_info_to_dag_info(
        qc.nqubits, qc.qubits, qc.gates, show_qubits=show_qubits
    )
    g = nx.DiGraph()
    g.add_nodes_from(nodes)
    g.add_edges_from(edges)
    g.graph["qubits"] = qc.qubits
    return g


@settings(max_examples=60, deadline=None)
@given(
    seed=st.integers(0, 10**6),
    ngates=st.integers(0, 60),
    nqubits=st.integers(1, 6),
    show_qubits=st.booleans(),
)
def test_native_graph_is_indistinguishable_from_add_nodes_and_edges(
    seed, ngates, nqubits, show_qubits
):
    qc = random_circuit(seed, ngates, nqubits)
    built = qc2dag(qc, show_qubits=show_qubits)
    assert type(built) is nx.DiGraph
    assert graph_structure(built) == graph_structure(reference_graph(qc, show_qubits))
    assert built.graph["qubits"] is qc.qubits
    for u, v in built.edges:
        assert built._succ[u][v] is built._pred[v][u]
    # networkx's own algorithms see the same graph.
    assert list(nx.topological_sort(built)) == list(
        nx.topological_sort(reference_graph(qc, show_qubits))
    )


@settings(max_examples=60, deadline=None)
@given(
    seed=st.integers(0, 10**6),
    ngates=st.integers(1, 60),
    nqubits=st.integers(1, 6),
    edits=st.lists(st.tuples(st.integers(0, 10**6), st.booleans()), max_size=6),
)
def test_native_dag2qc_matches_the_networkx_walk_on_edited_graphs(seed, ngates, nqubits, edits):
    qc = random_circuit(seed, ngates, nqubits)
    g = qc2dag(qc)
    edges = list(g.edges)
    for pick, readd in edits:
        if not edges:
            break
        u, v = edges[pick % len(edges)]
        if g.has_edge(u, v):
            data = g.edges[u, v]
            g.remove_edge(u, v)
            if readd:
                g.add_edge(u, v, **data)
    generic = PlainSubgraph(g)
    generic.graph["qubits"] = g.graph["qubits"]
    for counts in [(None, None), (qc.nqubits, None), (qc.nqubits, qc.ncbits)]:
        native_qc, generic_qc = dag2qc(g, *counts), dag2qc(generic, *counts)
        assert native_qc.gates == generic_qc.gates
        assert [type(x) for e in native_qc.gates for x in e] == [
            type(x) for e in generic_qc.gates for x in e
        ]
        assert (native_qc.nqubits, native_qc.ncbits) == (generic_qc.nqubits, generic_qc.ncbits)
        assert native_qc.qubits is qc.qubits


@pytest.mark.parametrize("seed", range(5))
def test_round_trip_keeps_every_gate_and_every_dependency(seed):
    qc = random_circuit(seed, 80, 5)
    before = copy.deepcopy(qc.gates)
    g = qc2dag(qc)
    snapshot = graph_structure(g)
    back = dag2qc(g, qc.nqubits, qc.ncbits)
    assert qc.gates == before
    assert graph_structure(g) == snapshot
    assert sorted(map(repr, back.gates)) == sorted(map(repr, qc.gates))
    # Each qubit sees its operations in the original order.
    for q in range(qc.nqubits):

        def on(entries):
            return [e for e in entries if q in nodes_qubits(e)]

        assert on(back.gates) == on(qc.gates)


def nodes_qubits(entry):
    name = entry[0]
    if name == "measure":
        return entry[1]
    if name in ("barrier",):
        return entry[1]
    if name == "delay":
        return entry[2]
    if name in ("rx", "ry", "rz", "p", "u", "r"):
        return entry[-1:]
    if name in ("rxx", "ryy", "rzz", "cp"):
        return entry[-2:]
    return entry[1:]


def test_entries_keep_their_shapes(bell):
    qc = QuantumCircuit(3, 1)
    qc.u(0.1, 0.2, 0.3, 0).rzz(0.5, 1, 2).measure([2], [0]).barrier([0, 2]).delay(2e-8, [1]).reset(
        0
    )
    qc.ccx(0, 1, 2)
    back = dag2qc(qc2dag(qc), 3, 1)
    assert back.gates == [
        ("u", 0.1, 0.2, 0.3, 0),
        ("rzz", 0.5, 1, 2),
        ("measure", [2], [0]),
        ("delay", 2e-8, (1,)),
        ("barrier", (0, 2)),
        ("reset", 0),
        ("ccx", 0, 1, 2),
    ]
    g = qc2dag(qc)
    measure = next(n for n in g if n.startswith("measure"))
    entry = dag2qc(g, 3, 1).gates[2]
    assert entry[1] is g.nodes[measure]["qubits"] and entry[2] is g.nodes[measure]["cbits"]


def graph_of(nodes, edges=(), qubits=(0,)):
    g = nx.DiGraph()
    g.add_nodes_from(nodes)
    g.add_edges_from(edges)
    g.graph["qubits"] = list(qubits)
    return g


@pytest.mark.parametrize("graph_type", [nx.DiGraph, PlainSubgraph])
class TestDag2qcRules:
    def make(self, graph_type, *args, **kwargs):
        g = graph_of(*args, **kwargs)
        return g if graph_type is nx.DiGraph else PlainSubgraph(g)

    def test_counts_come_from_the_highest_qubit(self, graph_type):
        g = self.make(
            graph_type, [("x_1", {"qubits": [4]}), ("foo_2", {"qubits": [7]})], qubits=[0, 1]
        )
        qc = dag2qc(g)
        assert (qc.nqubits, qc.ncbits, qc.gates) == (8, 8, [("x", 4)])

    def test_counts_are_converted_like_int(self, graph_type):
        g = self.make(graph_type, [("x_1", {"qubits": [0]})])
        qc = dag2qc(g, 3.9, True)
        assert (qc.nqubits, qc.ncbits) == (3, 1)
        with pytest.raises(
            TypeError, match=r"^Argument 'nqubits' has incorrect type \(expected int, got str\)$"
        ):
            dag2qc(g, "3")
        with pytest.raises(
            TypeError, match=r"^Argument 'ncbits' has incorrect type \(expected int, got list\)$"
        ):
            dag2qc(g, 3, [])

    def test_empty_graph(self, graph_type):
        g = self.make(graph_type, [])
        assert dag2qc(g, 2).gates == []
        with pytest.raises(ValueError):
            dag2qc(g)

    @pytest.mark.parametrize(
        "attrs, error",
        [
            ({}, KeyError),
            ({"qubits": []}, IndexError),
            ({"qubits": 5}, TypeError),
        ],
    )
    def test_bad_node_attributes(self, graph_type, attrs, error):
        with pytest.raises(error):
            dag2qc(self.make(graph_type, [("x_1", attrs)]), 1)

    @pytest.mark.parametrize(
        "name, attrs",
        [
            ("rx_1", {"qubits": [0]}),
            ("measure_1", {"qubits": [0]}),
            ("delay_1", {"qubits": [0]}),
        ],
    )
    def test_missing_kind_attribute_is_a_key_error(self, graph_type, name, attrs):
        with pytest.raises(KeyError):
            dag2qc(self.make(graph_type, [(name, attrs)]), 1)

    def test_cycle_raises_networkx_unfeasible(self, graph_type):
        g = self.make(
            graph_type,
            [("x_1", {"qubits": [0]}), ("y_2", {"qubits": [0]})],
            [("x_1", "y_2"), ("y_2", "x_1")],
        )
        with pytest.raises(nx.NetworkXUnfeasible):
            dag2qc(g, 1)

    def test_missing_graph_qubits_is_a_key_error(self, graph_type):
        g = self.make(graph_type, [("x_1", {"qubits": [0]})])
        del g.graph["qubits"]
        with pytest.raises(KeyError):
            dag2qc(g, 1)

    def test_unknown_and_other_functional_nodes_are_dropped(self, graph_type):
        from corvane.circuit.quantumcircuit_helpers import functional_gates_available

        functional_gates_available["marker"] = 0
        try:
            g = self.make(
                graph_type,
                [
                    ("marker_1", {"qubits": [3]}),
                    ("nope_2", {"qubits": [1]}),
                    ("h", {"qubits": [0]}),
                ],
            )
            qc = dag2qc(g)
            assert (qc.gates, qc.nqubits) == ([("h", 0)], 4)
        finally:
            del functional_gates_available["marker"]


class Param:
    """A parameter object of a user type (a container for the collector)."""

    def __init__(self, value):
        self.value = value

    def __eq__(self, other):
        return isinstance(other, Param) and other.value == self.value

    __hash__ = None


def equal_but_distinct(text):
    return "".join(list(text))


# Node shapes that the fast reader takes as they are, or hands to the general
# walk (non-string keys, tuples, user sequences, long parameter lists, short
# qubit lists, non-int qubits, edges keyed by equal but distinct strings).
UNUSUAL_GRAPHS = {
    "tuple params": ([("rx_1", {"qubits": [0], "params": (0.5,)})], []),
    "five params": ([("u_1", {"qubits": [0], "params": [1.0, 2.0, 3.0, 4.0, 5.0]})], []),
    "iterator params": ([("rz_1", {"qubits": [0], "params": range(3)})], []),
    "user param": ([("p_1", {"qubits": [1], "params": [Param(2)]})], []),
    "extra non-str key": ([("h_1", {"qubits": [0], 7: "x"})], []),
    "qubits as tuple": ([("cx_1", {"qubits": (0, 1)})], []),
    "string qubits": (
        [("h_1", {"qubits": ["a"]}), ("cx_2", {"qubits": ["a", "b"]})],
        [("h_1", "cx_2")],
    ),
    "short qubit list": ([("rzz_1", {"qubits": [0], "params": [1.0]})], []),
    "measure and delay": (
        [
            ("measure_1", {"qubits": [0, 1], "cbits": [1, 0]}),
            ("delay_2", {"qubits": [1], "duration": 3e-8}),
            ("barrier_3", {"qubits": [0, 1]}),
        ],
        [("measure_1", "delay_2"), ("measure_1", "barrier_3"), ("delay_2", "barrier_3")],
    ),
    "equal but distinct edge keys": (
        [("h_1", {"qubits": [0]}), ("x_2", {"qubits": [0]}), ("z_3", {"qubits": [0]})],
        [(equal_but_distinct("h_1"), equal_but_distinct("x_2")), ("x_2", "z_3")],
    ),
}


@pytest.mark.parametrize("nqubits", [None, 4])
@pytest.mark.parametrize("name", UNUSUAL_GRAPHS)
def test_unusual_nodes_give_what_the_networkx_walk_gives(name, nqubits):
    nodes, edges = UNUSUAL_GRAPHS[name]
    g = graph_of(nodes, edges)
    generic = PlainSubgraph(g)

    def outcome(graph):
        try:
            qc = dag2qc(graph, nqubits)
        except Exception as error:  # the same failure, raised at the same point
            return type(error), str(error)
        return qc.gates, [type(x) for e in qc.gates for x in e], qc.nqubits

    assert outcome(g) == outcome(generic)


def test_gate_names_of_every_length_keep_their_categories(monkeypatch):
    from corvane.circuit import quantumcircuit_helpers as helpers

    one = dict(helpers.one_qubit_gates_available)
    # Names up to and beyond the packed short-name length, a NUL inside a
    # name, and enough distinct names to make the name cache grow.
    names = ["g\x00", "sevench", "eightchr", "a" * 30] + [f"n{i}" for i in range(70)]
    one.update(dict.fromkeys(names, 0))
    monkeypatch.setattr(dag_module, "one_qubit_gates_available", one)
    nodes = [(f"{name}_{i}", {"qubits": [i % 3]}) for i, name in enumerate(["g"] + names)]
    qc = dag2qc(graph_of(nodes), 3)
    assert qc.gates == [(name, i % 3) for i, name in enumerate(names, start=1)]


def test_entries_holding_containers_stay_tracked_by_the_collector():
    import gc

    g = graph_of(
        [
            ("measure_1", {"qubits": [0], "cbits": [0]}),
            ("p_2", {"qubits": [0], "params": [Param(1)]}),
            ("h_3", {"qubits": [0]}),
            ("rx_4", {"qubits": [0], "params": [0.5]}),
        ],
        [("measure_1", "p_2"), ("p_2", "h_3"), ("h_3", "rx_4")],
    )
    measure, param, h, rx = dag2qc(g, 1).gates
    # Entries of numbers and strings cannot be in a cycle; the others could.
    assert gc.is_tracked(measure) and gc.is_tracked(param)
    assert not gc.is_tracked(h) and not gc.is_tracked(rx)


def test_non_string_node_keys_fail_like_split():
    g = graph_of([(1, {"qubits": [0]})])
    with pytest.raises(AttributeError):
        dag2qc(g, 1)


@pytest.mark.parametrize(
    "flag, expected", [(0, False), (None, False), ("yes", True), ([], False), (1, True)]
)
def test_show_qubits_is_reduced_to_a_bool(monkeypatch, bell, flag, expected):
    seen = []

    def spy(nqubits, qubits, gates, show_qubits):
        seen.append(show_qubits)
        return convert_gate_info_to_dag_info(nqubits, qubits, gates, show_qubits=show_qubits)

    monkeypatch.setattr(dag_module, "convert_gate_info_to_dag_info", spy)
    g = qc2dag(bell, flag)
    assert seen == [expected] and type(seen[0]) is bool
    assert graph_structure(g) == graph_structure(reference_graph(bell, expected))


@pytest.mark.parametrize(
    "result, message",
    [
        (([],), "need more than 1 value to unpack"),
        (([], [], []), r"too many values to unpack \(expected 2\)"),
    ],
)
def test_builder_result_must_unpack_into_two(monkeypatch, bell, result, message):
    monkeypatch.setattr(dag_module, "convert_gate_info_to_dag_info", lambda *a, **k: result)
    with pytest.raises(ValueError, match=message):
        qc2dag(bell)


def test_rebound_networkx_digraph_is_used(monkeypatch, bell):
    monkeypatch.setattr(dag_module.nx, "DiGraph", PlainSubgraph)
    g = qc2dag(bell)
    assert type(g) is PlainSubgraph
    monkeypatch.undo()
    assert graph_structure(g) == graph_structure(reference_graph(bell))


def test_functions_read_like_python_functions():
    assert qc2dag.__name__ == "qc2dag" and qc2dag.__module__ == "corvane.circuit.dag"
    assert qc2dag.__annotations__ == {
        "qc": "'QuantumCircuit'",
        "show_qubits": "bool",
        "return": "'nx.DiGraph'",
    }
    assert dag2qc.__annotations__ == {
        "dag": "'nx.DiGraph'",
        "nqubits": "int | None",
        "ncbits": "int | None",
        "return": "'QuantumCircuit'",
    }
    assert qc2dag.__doc__.startswith(
        "Converts a quantum circuit into a directed acyclic graph (DAG)."
    )
    assert "with nodes as operations and edges as dependencies." in qc2dag.__doc__
    assert dag2qc.__doc__.startswith(
        "Converts a directed acyclic graph (DAG) back into a QuantumCircuit."
    )
    assert "The number of qubits in the circuit." in dag2qc.__doc__
    assert (
        dag_module.__doc__
        == "Tools for converting between directed acyclic graphs (DAGs) and quantum circuits"
    )


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: qc2dag(), r"^qc2dag\(\) takes at least 1 positional argument \(0 given\)$"),
        (lambda: qc2dag(1, 2, 3), r"^qc2dag\(\) takes at most 2 positional arguments \(3 given\)$"),
        (
            lambda: dag2qc(nx.DiGraph(), dag=1),
            r"^dag2qc\(\) got multiple values for keyword argument 'dag'$",
        ),
        (
            lambda: dag2qc(nx.DiGraph(), bits=1),
            r"^dag2qc\(\) got an unexpected keyword argument 'bits'$",
        ),
    ],
)
def test_argument_errors_use_the_host_wording(call, message):
    with pytest.raises(TypeError, match=message):
        call()


def test_module_binds_its_dependencies_by_name():
    import numpy

    from corvane.circuit import quantumcircuit_helpers as helpers

    assert dag_module.np is numpy and dag_module.nx is nx
    assert dag_module.QuantumCircuit is QuantumCircuit
    for name in [
        "one_qubit_gates_available",
        "functional_gates_available",
        "convert_gate_info_to_dag_info",
    ]:
        assert getattr(dag_module, name) is getattr(helpers, name)
