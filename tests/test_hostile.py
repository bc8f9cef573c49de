"""Hostile input: every call either gives its documented result or raises a
Python exception; none crashes the interpreter or changes what it only reads."""

import copy
import math

import networkx as nx
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from corvane.circuit.dag import dag2qc, get_qcgraph_edges, qc2dag, split_qubits
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.quantumcircuit_helpers import convert_gate_info_to_dag_info

EXPECTED = (
    TypeError,
    ValueError,
    KeyError,
    IndexError,
    AttributeError,
    OverflowError,
    ZeroDivisionError,
    nx.NetworkXUnfeasible,
    nx.NetworkXError,
    RecursionError,
)


def huge(*counts):
    """Whether a count of qubits or bits is accepted yet costs its size, not a fault:
    hypothesis draws the package's constants (MAX_GATES among them once the limits
    are imported), and a circuit of 50 million qubits through these calls took 20 GB."""
    return any(isinstance(n, int) and 1 << 16 < n < 1 << 63 for n in counts)


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
    st.none(),
    st.booleans(),
    st.integers(-(2**70), 2**70),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(max_size=6),
    st.binary(max_size=4),
    st.complex_numbers(allow_nan=True),
    st.sampled_from([RaisingIter, RaisingHash, RaisingStr, object]).map(lambda make: make()),
)
values = st.recursive(
    scalars,
    lambda inner: st.one_of(
        st.lists(inner, max_size=4),
        st.tuples(inner, inner),
        st.dictionaries(st.text(max_size=3), inner, max_size=3),
    ),
    max_leaves=8,
)
gate_names = st.sampled_from(
    ["h", "cx", "ccx", "rx", "u", "rzz", "measure", "barrier", "delay", "reset", "nope", "a_b", ""]
)
entries = st.one_of(
    st.tuples(gate_names),
    st.tuples(gate_names, values),
    st.tuples(gate_names, values, values),
    st.tuples(gate_names, values, values, values),
    values,
)


def frozen(obj):
    """A deep snapshot for checking that nothing was changed; raising objects compare by identity."""
    try:
        return copy.deepcopy(obj)
    except Exception:
        return obj


@settings(
    max_examples=300, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(gates=st.lists(entries, max_size=6), show=values)
def test_builder_and_qc2dag_survive_any_gate_list(gates, show):
    before = repr(gates)
    qc = QuantumCircuit(3, 3)
    qc.gates = gates
    for call in (
        lambda: convert_gate_info_to_dag_info(3, qc.qubits, gates, show_qubits=show),
        lambda: qc2dag(qc, show),
        lambda: get_qcgraph_edges(gates),
        lambda: split_qubits(qc),
    ):
        try:
            call()
        except EXPECTED + (Boom,):
            pass
    assert repr(gates) == before


node_keys = st.one_of(
    st.sampled_from(
        [
            "h_1",
            "cx_2",
            "rx_3",
            "measure_4",
            "delay_5",
            "barrier_6",
            "reset_7",
            "x",
            "nope_8",
            "_9",
            "",
        ]
    ),
    st.integers(-3, 3),
    st.tuples(st.integers(0, 2)),
)
attributes = st.dictionaries(
    st.sampled_from(["qubits", "params", "cbits", "duration"]), values, max_size=4
)


@settings(
    max_examples=300, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(
    nodes=st.lists(st.tuples(node_keys, attributes), max_size=6),
    edges=st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5)), max_size=8),
    nqubits=values,
    ncbits=values,
    graph_qubits=values,
    subclass=st.booleans(),
)
def test_dag2qc_survives_any_graph(nodes, edges, nqubits, ncbits, graph_qubits, subclass):
    if huge(nqubits, ncbits):
        return
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


@pytest.mark.parametrize(
    "make",
    [
        lambda: RaisingIter(),
        lambda: [("h", 0), ("cx", RaisingHash(), 1)],
        lambda: [("h", RaisingEq(1)), ("x", 1)],
        lambda: [("measure", RaisingIter(), [0])],
        lambda: [("h", 0)] * 3 + [("barrier", RaisingIter())],
    ],
)
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


@pytest.mark.parametrize("qubit", [2**80, -(2**80), 10**6, RaisingStr()])
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


# ---- matrix, decompose -------------------------------------------------------------------------------

import numpy as np  # noqa: E402
from conftest import GenericCompressor, GenericDecoupling, random_circuit  # noqa: E402

from corvane.circuit import dag as dag_module  # noqa: E402
from corvane.circuit import matrix, optimize, schedule  # noqa: E402
from corvane.circuit.decompose import u3_decompose  # noqa: E402
from corvane.circuit.optimize import GateCompressor  # noqa: E402
from corvane.circuit.schedule import DynamicalDecoupling  # noqa: E402

HOST_ERRORS = EXPECTED + (MemoryError, Boom)
PARAMETRIC = [
    "r_mat",
    "rx_mat",
    "ry_mat",
    "rz_mat",
    "p_mat",
    "u_mat",
    "u1_mat",
    "u2_mat",
    "rxx_mat",
    "ryy_mat",
    "rzz_mat",
    "cp_mat",
]
CONSTANTS = {
    name: getattr(matrix, name).copy()
    for name in dir(matrix)
    if isinstance(getattr(matrix, name), np.ndarray)
}
odd_floats = st.sampled_from(
    [math.nan, math.inf, -math.inf, 0.0, -0.0, 1e308, -1e-320, 2**53 + 1.0]
)


def attempt(call, *args, **kwargs):
    """The call's result, or None when it raised one of the errors a caller may see."""
    try:
        return call(*args, **kwargs)
    except HOST_ERRORS:
        return None


def not_a_huge_count(value):
    """ketn0/ketn1 of 13..63 qubits would really allocate gigabytes; leave those out."""
    try:
        return not 13 <= float(value) < 64
    except Exception:
        return True


@settings(
    max_examples=150, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(
    name=st.sampled_from(PARAMETRIC + ["ketn0", "ketn1"]),
    args=st.lists(st.one_of(values, odd_floats), max_size=4),
    keyword=st.sampled_from([None, "theta", "phi", "lamda", "nqubits", "bogus"]),
)
def test_matrix_functions_survive_any_arguments(name, args, keyword):
    if name.startswith("ketn"):
        args = [a for a in args if not_a_huge_count(a)]
    before = repr(args)
    kwargs = {keyword: args.pop()} if keyword and args else {}
    result = attempt(getattr(matrix, name), *args, **kwargs)
    if result is not None:
        assert isinstance(result, np.ndarray) and result.dtype == np.complex128 and result.ndim == 2
    assert repr(args + list(kwargs.values())) == before or kwargs
    for key, value in CONSTANTS.items():
        assert np.array_equal(getattr(matrix, key), value), key


@settings(max_examples=80, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
@given(
    name=st.sampled_from(sorted(matrix.gate_matrix_dict)),
    args=st.lists(st.one_of(values, odd_floats), max_size=4),
)
def test_gate_table_entries_survive_any_arguments(name, args):
    entry = matrix.gate_matrix_dict[name]
    if callable(entry):
        attempt(entry, *args)
    else:
        attempt(entry.__getitem__, tuple(args[:2]))
    for key, value in CONSTANTS.items():
        assert np.array_equal(getattr(matrix, key), value), key


entries_complex = st.complex_numbers(allow_nan=True, allow_infinity=True)


@settings(
    max_examples=100, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(
    data=st.one_of(
        values,
        st.lists(entries_complex, min_size=4, max_size=4).map(lambda v: np.array(v).reshape(2, 2)),
        st.lists(entries_complex, max_size=9).map(np.array),
        st.sampled_from(
            [
                np.zeros((2, 2)),
                np.eye(3),
                np.eye(2, dtype=np.float32),
                np.array("ab"),
                np.zeros((2, 2, 2)),
                np.eye(2).T,
                np.eye(4)[::2, ::2],
            ]
        ),
    )
)
def test_u3_decompose_survives_any_matrix(data):
    before = data.copy() if isinstance(data, np.ndarray) else repr(data)
    result = attempt(u3_decompose, data)
    if result is not None:
        assert isinstance(result, tuple) and len(result) == 4
    if isinstance(data, np.ndarray):
        assert np.array_equal(data, before, equal_nan=data.dtype.kind in "fc")
    else:
        assert repr(data) == before


@pytest.mark.parametrize(
    "call, error",
    [
        (lambda: matrix.ketn0(80), MemoryError),
        (lambda: matrix.ketn1(80), MemoryError),
        (lambda: matrix.ketn0(10**30), (MemoryError, OverflowError)),
        (lambda: matrix.ketn0(math.inf), OverflowError),
        (lambda: matrix.ketn0(math.nan), ValueError),
        (lambda: matrix.ketn0("3"), TypeError),
        (lambda: matrix.ketn0(1j), TypeError),
        (lambda: matrix.rx_mat("a"), TypeError),
        (lambda: matrix.u_mat(0.1, 0.2, None), TypeError),
        (lambda: matrix.rx_mat(np.array([1.0, 2.0])), TypeError),
        (lambda: matrix.rx_mat(), TypeError),
        (lambda: matrix.rx_mat(1, theta=2), TypeError),
        (lambda: matrix.gate_matrix_dict["CX"], KeyError),
        (lambda: dag2qc(GRAPH_OF_BELL, math.inf), OverflowError),
        (lambda: dag2qc(GRAPH_OF_BELL, math.nan), ValueError),
        (lambda: dag2qc(GRAPH_OF_BELL, 2, math.inf), OverflowError),
        (lambda: dag2qc(GRAPH_OF_BELL, 2, "2"), TypeError),
        (lambda: dag2qc(GRAPH_OF_BELL, 2**80), (OverflowError, MemoryError, ValueError)),
        (lambda: DynamicalDecoupling(0, 1e-7).run(random_circuit(3, 20, 3)), ZeroDivisionError),
        (lambda: DynamicalDecoupling(2e-8, 1e-7).run(random_circuit(3, 20, 3), "XY5"), ValueError),
        (lambda: GateCompressor().has_adjacent_gates(), AttributeError),
    ],
)
def test_native_failures_reach_python_as_the_named_exception(call, error):
    with pytest.raises(error):
        call()


def _bell():
    qc = QuantumCircuit(2, 2)
    qc.h(0).cx(0, 1).measure([0, 1], [0, 1])
    return qc


GRAPH_OF_BELL = qc2dag(_bell())


# ---- optimize ----------------------------------------------------------------------------------------


def graph_state(g):
    """A deep, comparable picture of a graph: nodes, edges, attributes, graph dict."""
    return repr((list(g.nodes(data=True)), list(g.edges(data=True)), dict(g.graph)))


def circuit_state(qc):
    return repr((qc.nqubits, qc.ncbits, qc.qubits, qc.gates))


dag_node_keys = st.one_of(
    node_keys,
    st.sampled_from(
        [
            "rx_10",
            "u_11",
            "rzz_12",
            "ccx_13",
            "cx_14",
            "h_15",
            "x_16",
            "cz_17",
            "swap_18",
            "ry_19",
            "h",
            "x_",
            "é_20",
        ]
    ),
)
dag_attributes = st.dictionaries(
    st.sampled_from(["qubits", "params", "cbits", "duration"]),
    st.one_of(
        values,
        st.lists(st.integers(-2, 3), max_size=3),
        st.lists(st.one_of(odd_floats, st.floats()), max_size=3),
    ),
    max_size=4,
)
COMPRESSOR_METHODS = [
    "is_adjacent_gates",
    "compress_adjacent_single_qubit_gates",
    "compress_adjacent_single_parameter_qubit_gates",
    "compress_adjacent_two_qubit_gates",
    "compress_adjacent_two_qubit_parameter_gates",
    "compress_adjacent_three_qubit_gates",
    "run_compress_once",
    "has_adjacent_gates",
]


@settings(
    max_examples=120, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(
    nodes=st.lists(st.tuples(dag_node_keys, dag_attributes), max_size=6),
    edges=st.lists(st.tuples(st.integers(0, 5), st.integers(0, 5), values), max_size=8),
    method=st.sampled_from(COMPRESSOR_METHODS),
    pick=st.tuples(st.integers(-1, 6), st.integers(-1, 6)),
    compressible=st.one_of(
        st.none(), st.lists(st.sampled_from(["h", "x", "rx", "cx", "nope", "ccx"]), max_size=4)
    ),
    plain=st.booleans(),
)
def test_compressor_methods_survive_any_graph(nodes, edges, method, pick, compressible, plain):
    g = (nx.DiGraph if plain else type("UserGraph", (nx.DiGraph,), {}))()
    g.add_nodes_from(nodes)
    keys = list(g)
    for u, v, q in edges:
        if keys:
            g.add_edge(
                keys[u % len(keys)], keys[v % len(keys)], qubit=q
            )  # self-loops and cycles included
    g.graph["qubits"] = [0, 1, 2]
    before = graph_state(g)
    c = GateCompressor()
    if compressible is not None:
        c.compressible_gates = compressible
    c.dag = g
    idx = c._idx
    args = (
        []
        if method == "has_adjacent_gates"
        else [keys[i] if 0 <= i < len(keys) else "zz_99" for i in pick]
    )
    result = attempt(getattr(c, method), *args)
    if result is not None and method in ("is_adjacent_gates", "has_adjacent_gates"):
        assert isinstance(result, bool)
    elif result is not None:
        assert len(result) == 3
    assert c.dag is g and graph_state(g) == before
    assert isinstance(c._idx, int) and c._idx >= idx


compressor_entries = st.one_of(
    entries,
    st.tuples(
        st.sampled_from(["h", "x", "cx", "rx", "u", "rzz", "ccx", "p"]),
        st.one_of(odd_floats, st.integers(-3, 3)),
        st.integers(-3, 3),
        st.integers(-1, 3),
    ),
)


@settings(
    max_examples=100, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(
    gates=st.lists(compressor_entries, max_size=8),
    cls=st.sampled_from([GateCompressor, GenericCompressor]),
    method=st.sampled_from(["run", "remove_identity_gates"]),
    qubits=st.sampled_from([[0, 1, 2], [2, 0, 1], []]),
)
def test_compressor_run_survives_any_gate_list_and_leaves_it_alone(gates, cls, method, qubits):
    qc = QuantumCircuit(3, 3)
    qc.gates = gates
    qc.qubits = qubits
    before = circuit_state(qc)
    result = attempt(getattr(cls(), method), qc)
    assert circuit_state(qc) == before and qc.gates is gates
    if result is not None:
        assert isinstance(result, QuantumCircuit) and result is not qc


@pytest.mark.parametrize("value", [None, "x", 1.5, [1], object()])
@pytest.mark.parametrize(
    "method, nargs",
    [
        ("is_adjacent_gates", 2),
        ("run_compress_once", 2),
        ("run", 1),
        ("remove_identity_gates", 1),
        ("compress_adjacent_two_qubit_gates", 2),
    ],
)
def test_compressor_wrong_argument_types(method, nargs, value):
    c = GateCompressor()
    c.run(_bell())
    before = graph_state(c.dag)
    with pytest.raises(EXPECTED):
        getattr(c, method)(*[value] * nargs)
    with pytest.raises(TypeError):
        getattr(c, method)(*[value] * (nargs + 1))
    assert graph_state(c.dag) == before


# ---- schedule ----------------------------------------------------------------------------------------

durations = st.sampled_from(
    [
        math.nan,
        math.inf,
        -math.inf,
        0,
        0.0,
        -1e-8,
        2e-8,
        5e-8,
        1e-7,
        "2e-8",
        None,
        [1e-8],
        1j,
        True,
        3,
    ]
)


@settings(
    max_examples=100, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(
    t1g=durations,
    t2g=durations,
    seed=st.integers(0, 50),
    gates=st.one_of(st.none(), st.lists(entries, max_size=6)),
    sequence=st.sampled_from(["XY4", "CPMG", "xy4", "", None, 4, b"XY4"]),
    align=values,
    before_barrier=values,
    cls=st.sampled_from([DynamicalDecoupling, GenericDecoupling]),
    qubits=st.sampled_from([None, [0, 1], [2, 1, 0]]),
)
def test_decoupling_survives_any_durations_and_circuits(
    t1g, t2g, seed, gates, sequence, align, before_barrier, cls, qubits
):
    qc = random_circuit(seed, 12, 3)
    if gates is not None:
        qc.gates = gates
    if qubits is not None:
        qc.qubits = qubits
    before = circuit_state(qc)
    dd = cls(t1g, t2g)
    result = attempt(dd.run, qc, sequence, align, before_barrier)
    assert circuit_state(qc) == before
    assert dd.t1g is t1g and dd.t2g is t2g and dd._count >= 86751
    if result is not None:
        assert isinstance(result, QuantumCircuit) and result is not qc


@settings(max_examples=80, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
@given(
    t1g=durations,
    t2g=durations,
    nodes=st.one_of(values, st.lists(dag_node_keys, max_size=4)),
    node=dag_node_keys,
    max_idle=st.one_of(values, odd_floats),
)
def test_decoupling_helpers_survive_any_arguments(t1g, t2g, nodes, node, max_idle):
    dd = DynamicalDecoupling(t1g, t2g)
    before = repr(nodes)
    attempt(dd._get_max_idle_time, nodes)
    attempt(dd._update_idle_time, node, max_idle)
    assert dd.counter() == 86752 and dd._count == 86752
    assert repr(nodes) == before


# ---- circuit layer -----------------------------------------------------------------------------------


@settings(max_examples=80, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck))
@given(
    nq=st.one_of(values, st.integers(-2, 4)),
    nc=st.one_of(values, st.integers(-2, 4)),
    name=st.one_of(gate_names, st.text(max_size=4)),
    args=st.lists(st.one_of(values, st.integers(-2, 4)), max_size=4),
)
def test_circuit_builder_survives_any_arguments(nq, nc, name, args):
    if huge(nq, nc):
        return
    qc = attempt(QuantumCircuit, nq, nc)
    if qc is None:
        return
    before = repr(args)
    for call in (
        lambda: qc.append_gate(name, *args),
        lambda: qc.measure(*args[:2]),
        lambda: qc.barrier(*args[:1]),
        lambda: qc.delay(*args[:2]),
        lambda: qc.reset(*args[:1]),
        lambda: qc.depth(),
        lambda: qc.count_ops(),
        lambda: qc.to_qasm(),
        lambda: qc.deepcopy(),
        lambda: qc2dag(qc),
        lambda: repr(qc),
    ):
        attempt(call)
    assert repr(args) == before


def test_empty_and_single_gate_circuits():
    for cls in (GateCompressor, GenericCompressor):
        assert cls().run(QuantumCircuit(0, 0)).gates == []
        one = QuantumCircuit(1, 0)
        one.h(0)
        assert cls().run(one).gates == [("h", 0)]
    for cls in (DynamicalDecoupling, GenericDecoupling):
        assert cls(2e-8, 1e-7).run(QuantumCircuit(0, 0)).gates == []
        one = QuantumCircuit(1, 0)
        one.h(0)
        assert cls(2e-8, 1e-7).run(one).gates == [("h", 0)]


# ---- overrides and replaced module functions that raise midway ---------------------------------------


def merge_circuit():
    """Single-qubit cancellations, parameter fusions (one through u3_decompose) and a two-qubit cancellation."""
    qc = QuantumCircuit(3, 0)
    for q in range(3):
        qc.h(q).h(q).x(q).x(q).rx(0.3, q).rx(0.2, q).h(q).h(q)
    qc.u(0.1, 0.2, 0.3, 1).u(0.3, 0.2, 0.1, 1)
    qc.cx(0, 1).cx(0, 1)
    return qc


def recording(base, method, fail_at=None, error=None):
    """A subclass of `base` whose `method` records (graph, _idx) before each call and raises on call `fail_at`."""

    def override(self, *args):
        self.records.append((graph_state(self.dag), self._idx))
        if len(self.records) == fail_at:
            raise error
        return getattr(super(cls, self), method)(*args)

    def init(self, *args):
        base.__init__(self, *args)
        self.records = []

    cls = type(f"Recording_{method}", (base,), {method: override, "__init__": init})
    return cls


@pytest.mark.parametrize(
    "method, fail_at",
    [
        ("compress_adjacent_single_qubit_gates", 3),
        ("compress_adjacent_single_qubit_gates", 1),
        ("run_compress_once", 5),
        ("is_adjacent_gates", 4),
        ("compress_adjacent_two_qubit_gates", 1),
    ],
)
def test_raising_compressor_override_passes_through_and_leaves_the_graph(method, fail_at):
    full = recording(GateCompressor, method)()
    full.run(merge_circuit())
    assert len(full.records) >= fail_at
    error = Boom(method)
    c = recording(GateCompressor, method, fail_at, error)()
    qc = merge_circuit()
    before = circuit_state(qc)
    with pytest.raises(Boom) as caught:
        c.run(qc)
    assert caught.value is error
    # The graph and the serials are those of the moment of the failing call, as the full run saw them.
    assert c.records == full.records[:fail_at]
    assert (graph_state(c.dag), c._idx) == full.records[fail_at - 1]
    assert circuit_state(qc) == before


@pytest.mark.parametrize(
    "method, fail_at",
    [("counter", 5), ("counter", 1), ("_get_max_idle_time", 3), ("_update_idle_time", 4)],
)
@pytest.mark.parametrize("sequence, align_right", [("XY4", True), ("CPMG", False)])
def test_raising_decoupling_override_passes_through_and_keeps_drawn_serials(
    method, fail_at, sequence, align_right
):
    calls = []

    def make(fail):
        class Counting(DynamicalDecoupling):
            pass

        def override(self, *args):
            calls.append(self._count)
            if fail and len(calls) == fail_at:
                raise error
            return getattr(DynamicalDecoupling, method)(self, *args)

        setattr(Counting, method, override)
        return Counting(2e-8, 1e-7)

    error = Boom(method)
    full = make(False)
    full.run(random_circuit(11, 30, 4), sequence, align_right)
    counts = list(calls)
    assert len(counts) >= fail_at
    calls.clear()
    dd = make(True)
    qc = random_circuit(11, 30, 4)
    before = circuit_state(qc)
    with pytest.raises(Boom) as caught:
        dd.run(qc, sequence, align_right)
    assert caught.value is error
    assert calls == counts[:fail_at]
    assert dd._count == counts[fail_at - 1]  # serials drawn before the failure stay drawn
    assert circuit_state(qc) == before


def raiser(error):
    def replacement(*args, **kwargs):
        raise error

    return replacement


@pytest.mark.parametrize("cls", [GateCompressor, GenericCompressor])
def test_replaced_u3_decompose_error_passes_through(cls, monkeypatch):
    error = Boom("u3")
    record = recording(GenericCompressor, "run_compress_once")()
    monkeypatch.setattr(optimize, "u3_decompose", raiser(error))
    with pytest.raises(Boom):
        record.run(merge_circuit())
    c = cls()
    qc = merge_circuit()
    before = circuit_state(qc)
    with pytest.raises(Boom) as caught:
        c.run(qc)
    assert caught.value is error
    assert (graph_state(c.dag), c._idx) == record.records[-1]
    assert circuit_state(qc) == before


@pytest.mark.parametrize("cls", [GateCompressor, GenericCompressor])
def test_replaced_matrix_entry_error_passes_through_before_the_graph_is_replaced(cls, monkeypatch):
    error = Boom("rx")
    c = cls()
    c.run(_bell())
    previous, state, idx = c.dag, graph_state(c.dag), c._idx
    monkeypatch.setitem(optimize.gate_matrix_dict, "rx", raiser(error))
    qc = merge_circuit()
    before = circuit_state(qc)
    with pytest.raises(Boom) as caught:
        c.run(qc)
    assert caught.value is error
    assert c.dag is previous and graph_state(c.dag) == state and c._idx == idx
    assert circuit_state(qc) == before
    with pytest.raises(Boom):
        c.remove_identity_gates(qc)


@pytest.mark.parametrize("cls", [DynamicalDecoupling, GenericDecoupling])
@pytest.mark.parametrize(
    "module, name",
    [(schedule, "qc2dag"), (schedule, "dag2qc"), (dag_module, "convert_gate_info_to_dag_info")],
)
def test_replaced_functions_of_the_decoupling_pass_pass_errors_through(
    cls, module, name, monkeypatch
):
    full = cls(2e-8, 1e-7)
    full.run(random_circuit(5, 30, 4))
    error = Boom(name)
    monkeypatch.setattr(module, name, raiser(error))
    dd = cls(2e-8, 1e-7)
    qc = random_circuit(5, 30, 4)
    before = circuit_state(qc)
    with pytest.raises(Boom) as caught:
        dd.run(qc)
    assert caught.value is error
    # Only dag2qc comes after the insertions: then every serial of the full run is drawn.
    assert dd._count == (full._count if name == "dag2qc" else 86751)
    assert circuit_state(qc) == before


@pytest.mark.parametrize("cls", [GateCompressor, GenericCompressor])
@pytest.mark.parametrize(
    "module, name",
    [(optimize, "qc2dag"), (optimize, "dag2qc"), (dag_module, "convert_gate_info_to_dag_info")],
)
def test_replaced_functions_of_the_compressor_pass_errors_through(cls, module, name, monkeypatch):
    full = cls()
    full.run(merge_circuit())
    error = Boom(name)
    monkeypatch.setattr(module, name, raiser(error))
    c = cls()
    qc = merge_circuit()
    before = circuit_state(qc)
    with pytest.raises(Boom) as caught:
        c.run(qc)
    assert caught.value is error
    if name == "dag2qc":
        assert graph_state(c.dag) == graph_state(full.dag) and c._idx == full._idx
    else:
        assert not hasattr(c, "dag") and c._idx == 1000000
    assert circuit_state(qc) == before


class RaisingBool:
    def __bool__(self):
        raise Boom("bool")


returned = st.one_of(
    values,
    odd_floats,
    st.sampled_from([RaisingBool, lambda: -(2**70), lambda: "zz_1"]).map(lambda make: make()),
    st.tuples(
        st.lists(values, max_size=2), st.lists(values, max_size=2), st.lists(values, max_size=2)
    ),
)


@settings(
    max_examples=100, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(
    method=st.sampled_from(COMPRESSOR_METHODS + ["remove_identity_gates", "idx"]),
    value=returned,
    after=st.integers(0, 3),
)
def test_compressor_overrides_returning_anything(method, value, after):
    """An override that returns an unexpected object once, after a few calls that defer to the base."""
    calls = []

    def override(self, *args):
        calls.append(args)
        if (
            len(calls) == after + 1
        ):  # once: a loop whose override always says "more" would never end
            return value
        base = getattr(GateCompressor, method)
        return base.fget(self) if isinstance(base, property) else base(self, *args)

    cls = type(
        "Odd", (GateCompressor,), {method: property(override) if method == "idx" else override}
    )
    qc = merge_circuit()
    before = circuit_state(qc)
    result = attempt(cls().run, qc)
    assert circuit_state(qc) == before
    assert result is None or isinstance(result, QuantumCircuit)


@settings(
    max_examples=100, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(
    method=st.sampled_from(["counter", "_get_max_idle_time", "_update_idle_time"]),
    value=returned,
    after=st.integers(0, 6),
    sequence=st.sampled_from(["XY4", "CPMG"]),
    align=st.booleans(),
)
def test_decoupling_overrides_returning_anything(method, value, after, sequence, align):
    calls = []

    def override(self, *args):
        calls.append(args)
        if (
            len(calls) == after + 1
        ):  # once: a loop whose override always says "more" would never end
            return value
        return getattr(DynamicalDecoupling, method)(self, *args)

    cls = type("Odd", (DynamicalDecoupling,), {method: override})
    qc = random_circuit(3, 14, 3)
    before = circuit_state(qc)
    result = attempt(cls(2e-8, 1e-7).run, qc, sequence, align)
    assert circuit_state(qc) == before
    assert result is None or isinstance(result, QuantumCircuit)


class Weird(float):
    def __float__(self):
        raise Boom("float")


class WeirdIndex(int):
    def __index__(self):
        raise Boom("index")

    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = int.__hash__


@pytest.mark.filterwarnings("ignore::numpy.exceptions.ComplexWarning")
@pytest.mark.parametrize(
    "param",
    [
        Weird(0.5),
        np.float64(0.5),
        np.array([0.5]),
        np.nan,
        "0.5",
        2**80,
        None,
        1j,
        np.complex128(1j),
    ],
)
@pytest.mark.parametrize("qubit", [0, WeirdIndex(1), np.int64(1), True, 2**80, -1, 7])
@pytest.mark.parametrize(
    "cls", [GateCompressor, GenericCompressor, DynamicalDecoupling, GenericDecoupling]
)
def test_passes_with_unusual_parameter_and_qubit_objects(cls, param, qubit):
    qc = QuantumCircuit(3, 0)
    qc.gates = [
        ("rx", param, qubit),
        ("rx", 0.25, qubit),
        ("h", qubit),
        ("h", qubit),
        ("cx", qubit, 2),
        ("u", param, param, 0.1, qubit),
        ("u", 0.1, 0.2, 0.3, qubit),
        ("rzz", param, qubit, 2),
        ("rzz", param, qubit, 2),
    ]
    before = circuit_state(qc)
    p = cls() if cls in (GateCompressor, GenericCompressor) else cls(2e-8, 1e-7)
    result = attempt(p.run, qc)
    assert circuit_state(qc) == before
    assert result is None or isinstance(result, QuantumCircuit)


# ---- user code that changes the gate list while a call reads it --------------------------------------


class Meddling:
    """A qubit whose hashing changes the circuit's gate list (or its own entry) under the reader."""

    def __init__(self, mode, holder):
        self.mode, self.holder, self.done = mode, holder, False

    def __hash__(self):
        if not self.done:
            self.done = True
            gates, entry = self.holder
            if self.mode == "clear":
                gates.clear()
            elif self.mode == "replace":
                gates[1] = ("h", 0)  # drops the only reference to the entry being read
            elif self.mode == "grow":
                entry.extend([0] * 10000)
            elif self.mode == "shrink":
                del entry[:]
        return 1234567

    def __eq__(self, other):
        return self is other

    def __str__(self):
        return "m"


@pytest.mark.parametrize("mode", ["clear", "replace", "grow", "shrink"])
@pytest.mark.parametrize(
    "call",
    [
        lambda qc: qc2dag(qc),
        lambda qc: qc2dag(qc, False),
        lambda qc: convert_gate_info_to_dag_info(qc.nqubits, qc.qubits, qc.gates),
        lambda qc: get_qcgraph_edges(qc.gates),
        lambda qc: GateCompressor().run(qc),
        lambda qc: GenericCompressor().run(qc),
        lambda qc: DynamicalDecoupling(2e-8, 1e-7).run(qc),
        lambda qc: GenericDecoupling(2e-8, 1e-7).run(qc),
    ],
    ids=[
        "qc2dag",
        "qc2dag_plain_names",
        "convert",
        "coupling",
        "compress",
        "compress_generic",
        "decouple",
        "decouple_general",
    ],
)
def test_gate_list_changed_by_user_code_during_a_call(call, mode):
    qc = QuantumCircuit(3, 0)
    entry = ["cx", None, 1]
    qc.gates = [("h", 0), entry] + [("x", i % 3) for i in range(500)]
    entry[1] = Meddling(mode, (qc.gates, entry))
    qc.qubits = [0, 1, 2, entry[1]]
    attempt(call, qc)  # any result or error; no crash and no read of freed memory


class MeddlingKey(str):
    """A node key whose hashing removes nodes from the graph being read."""

    graph = None

    def __hash__(self):
        g, MeddlingKey.graph = MeddlingKey.graph, None
        if g is not None:
            g.remove_nodes_from([n for n in list(g) if n is not self])
        return str.__hash__(self)

    def __eq__(self, other):
        return str.__eq__(self, other)


def test_graph_changed_by_a_node_key_during_dag2qc():
    g = nx.DiGraph()
    keys = [f"h_{i}" for i in range(50)]
    g.add_nodes_from(keys, qubits=[0])
    g.add_edges_from(zip(keys, keys[1:]), qubit=[0])
    evil = MeddlingKey("x_99")
    g.add_node(evil, qubits=[0])
    g.add_edge(
        keys[-1], MeddlingKey("x_99"), qubit=[0]
    )  # an equal, distinct key: found by equality
    g.graph["qubits"] = [0]
    MeddlingKey.graph = g
    attempt(dag2qc, g, 1, 0)
