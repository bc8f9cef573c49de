"""GateCompressor's `dag` after a native run: built on first read, as the generic path leaves it."""

import copy
import gc
import pickle
import sys

import networkx as nx
import pytest
from test_optimize import Generic, circuit, graph_state, merge_rich_circuit

from corvane.circuit.optimize import GateCompressor


def full_state(g):
    """Everything a reader can see of the graph: nodes, edges, adjacency order, graph attributes."""
    return (*graph_state(g), {n: list(g._succ[n]) for n in g})


def tracked_as_built(g):
    """The writer leaves a node's adjacency dicts tracked by the collector as networkx's own
    add_node and add_edge leave them on this interpreter (3.11 tracks such a dict only once it
    holds an edge; 3.14 tracks every new dict)."""
    probe = nx.DiGraph()
    probe.add_edge(0, 1)
    probe.add_node(2)
    tracked = {True: gc.is_tracked(probe._succ[0]), False: gc.is_tracked(probe._succ[2])}
    return all(gc.is_tracked(d[n]) == tracked[bool(d[n])] for d in (g._succ, g._pred) for n in g)


CIRCUITS = {
    "merge-rich": lambda: merge_rich_circuit(7, 300, 5),
    "fusions": lambda: circuit(
        3,
        ("rx", 0.5, 0),
        ("rx", 0.25, 0),
        ("u", 0.1, 0.2, 0.3, 1),
        ("u", 0.3, 0.2, 0.1, 1),
        ("rzz", 0.5, 0, 2),
        ("rzz", 1, 0, 2),
        ("cx", 1, 2),
        ("cx", 1, 2),
        ("h", 0),
    ),
    "empty": lambda: circuit(2),
    "str qubits": lambda: (lambda qc: (setattr(qc, "qubits", ["a", "b"]), qc)[1])(
        circuit(2, ("x", 0), ("x", 0), ("rx", 0.5, 1), ("rx", 0.5, 1), ("h", 1))
    ),
}


def generic_outcome(qc, idx=None):
    c = Generic()
    if idx is not None:
        c._idx = idx
    out = c.run(qc)
    return out.gates, full_state(c.dag), c._idx


@pytest.fixture(params=list(CIRCUITS))
def qc(request):
    return CIRCUITS[request.param]()


def test_first_read_gives_the_graph_the_loop_leaves(qc):
    gates, state, idx = generic_outcome(qc)
    c = GateCompressor()
    out = c.run(qc)
    assert (out.gates, c._idx) == (gates, idx)  # the counter advanced before any read
    assert full_state(c.dag) == state and tracked_as_built(c.dag)
    assert c.dag is c.dag  # built once, then kept
    assert c.dag.graph["qubits"] == qc.qubits and c.dag.graph["qubits"] is not qc.qubits


def test_circuit_changed_after_run_does_not_reach_the_graph(qc):
    _, state, _ = generic_outcome(qc)
    c = GateCompressor()
    c.run(qc)
    qc.qubits.append("late")
    qc.gates[:] = [("x", 0)] * len(qc.gates)
    assert full_state(c.dag) == state


@pytest.mark.parametrize(
    "read",
    [
        lambda c: c.dag,
        lambda c: vars(c)["dag"],
        lambda c: c.__dict__["dag"],
        lambda c: c.__getstate__()["dag"],
        lambda c: pickle.loads(pickle.dumps(c)).dag,
        lambda c: copy.deepcopy(c).dag,
        lambda c: copy.copy(c).dag,
    ],
    ids=["attribute", "vars", "__dict__", "__getstate__", "pickle", "deepcopy", "copy"],
)
def test_every_way_of_reading_gives_the_graph(qc, read):
    _, state, idx = generic_outcome(qc)
    c = GateCompressor()
    c.run(qc)
    assert full_state(read(c)) == state
    assert c._idx == idx and full_state(c.dag) == state


def test_copies_carry_counter_and_settings():
    c = GateCompressor()
    c.run(CIRCUITS["fusions"]())
    c.compressible_gates = ["rx"]
    for twin in (pickle.loads(pickle.dumps(c)), copy.deepcopy(c)):
        assert type(twin) is GateCompressor and vars(twin).keys() == vars(c).keys()
        assert (twin._idx, twin.compressible_gates) == (c._idx, ["rx"]) and twin.dag is not c.dag
    assert copy.copy(c).dag is c.dag


def test_no_dag_before_the_first_run():
    c = GateCompressor()
    assert not hasattr(c, "dag") and "dag" not in vars(c)
    with pytest.raises(AttributeError, match="'GateCompressor' object has no attribute 'dag'"):
        c.dag
    with pytest.raises(AttributeError):
        del c.dag
    assert not hasattr(copy.deepcopy(c), "dag") and not hasattr(
        pickle.loads(pickle.dumps(c)), "dag"
    )


@pytest.mark.parametrize(
    "replace",
    [
        lambda c: setattr(c, "dag", "mine"),
        lambda c: vars(c).__setitem__("dag", "mine"),
        lambda c: c.__dict__.update(dag="mine"),
        lambda c: setattr(
            c, "__dict__", {**{k: v for k, v in vars(c).items() if k != "dag"}, "dag": "mine"}
        ),
    ],
    ids=["setattr", "vars", "update", "new __dict__"],
)
def test_assigned_dag_replaces_the_pending_graph(replace):
    c = GateCompressor()
    c.run(CIRCUITS["fusions"]())
    replace(c)
    assert c.dag == "mine"
    del c.dag
    assert not hasattr(c, "dag")  # the run's graph does not come back


def test_deleting_the_pending_graph():
    c = GateCompressor()
    c.run(CIRCUITS["fusions"]())
    del c.dag
    assert not hasattr(c, "dag") and "dag" not in vars(c)
    with pytest.raises(AttributeError):
        del c.dag


def test_new_dict_without_dag_drops_the_pending_graph():
    c = GateCompressor()
    c.run(CIRCUITS["fusions"]())
    c.__dict__ = {"_idx": 7, "compressible_gates": []}
    assert not hasattr(c, "dag") and c._idx == 7
    with pytest.raises(TypeError, match="cannot delete __dict__"):
        del c.__dict__


def second_run_native(c, qc):
    return c.run(qc)


def second_run_generic(c, qc):
    c.has_adjacent_gates = lambda: GateCompressor.has_adjacent_gates(
        c
    )  # an instance override: the generic path
    try:
        return c.run(qc)
    finally:
        del c.has_adjacent_gates


@pytest.mark.parametrize(
    "second", [second_run_native, second_run_generic], ids=["native", "generic"]
)
def test_a_later_run_replaces_an_unread_graph(second):
    first, later = CIRCUITS["fusions"](), CIRCUITS["merge-rich"]()
    c = GateCompressor()
    c.run(first)
    idx = c._idx
    second(c, later)
    _, state, _ = generic_outcome(later, idx)
    assert full_state(c.dag) == state


@pytest.mark.parametrize("read_first", [False, True])
def test_a_run_that_fails_before_its_graph_keeps_the_last_one(read_first):
    qc = CIRCUITS["fusions"]()
    _, state, _ = generic_outcome(qc)
    c = GateCompressor()
    c.run(qc)
    if read_first:
        c.dag
    with pytest.raises(TypeError):
        c.run(circuit(1, ("rx", "not a number", 0)))
    assert full_state(c.dag) == state


def test_a_run_that_fails_while_merging_leaves_its_own_graph():
    qc = circuit(2, ("rx", 0.1, 1), ("rx", 0.2, 1), ("measure", [0], [0]), ("measure", [0], [0]))
    states = []
    for cls in (GateCompressor, Generic):
        c = cls()
        c.run(CIRCUITS["fusions"]())
        c.compressible_gates.append("measure")  # in no merge category: the merge result is None
        with pytest.raises(TypeError, match="cannot unpack non-iterable NoneType object"):
            c.run(qc)
        states.append((full_state(c.dag), c._idx))
    assert states[0] == states[1]


def test_unread_graph_is_released_with_the_pass_or_the_next_run():
    qc = CIRCUITS["merge-rich"]()
    entry = qc.gates[0]
    base = sys.getrefcount(entry)
    c = GateCompressor()
    c.run(qc)
    c.run(circuit(1))
    assert sys.getrefcount(entry) == base
    c.run(qc)
    del c
    gc.collect()
    assert sys.getrefcount(entry) == base


class OwnGetattr(GateCompressor):
    def __getattr__(self, name):
        return "fallback"


class OwnGetattribute(GateCompressor):
    def __getattribute__(self, name):
        return super().__getattribute__(name)


class DagProperty(GateCompressor):
    @property
    def dag(self):
        return self._graph

    @dag.setter
    def dag(self, value):
        self._graph = value


class RecordingSetattr(GateCompressor):
    def __setattr__(self, name, value):
        vars(self).setdefault("assigned", []).append(name)
        super().__setattr__(name, value)


class OwnGetstate(GateCompressor):
    def __getstate__(self):
        return object.__getstate__(self)


class OwnDict(GateCompressor):
    __dict__ = property(lambda self: object.__getattribute__(self, "_snapshot"))


@pytest.mark.parametrize(
    "cls", [OwnGetattr, OwnGetattribute, DagProperty, RecordingSetattr, OwnGetstate, OwnDict]
)
def test_subclass_hooks_on_attributes_get_the_graph_as_the_loop_builds_it(cls, qc):
    gates, state, idx = generic_outcome(qc)
    c = cls()
    if cls is OwnDict:
        c._snapshot = {}
    out = c.run(qc)
    assert (out.gates, c._idx) == (gates, idx)
    assert full_state(c.dag) == state
    if cls is RecordingSetattr:
        assert "dag" in vars(c)["assigned"]
    if cls is OwnGetstate:
        assert full_state(pickle.loads(pickle.dumps(c)).dag) == state


def test_class_has_no_dag_of_its_own():
    assert not hasattr(GateCompressor, "dag") and "dag" not in vars(GateCompressor)
    c = GateCompressor()
    c.run(CIRCUITS["fusions"]())
    assert "dag" in dir(c) and isinstance(c.dag, nx.DiGraph)
