"""Tests of the dynamical-decoupling pass.

Every behavioural test runs on both paths of ``run``: the pass class itself
(the native path) and a subclass whose ``counter`` only defers to the base,
which sends it down the generic path (every call on the host's objects).
"""

import copy
import math
import random
import typing
from collections import Counter

import networkx as nx
import pytest
from conftest import GenericDecoupling
from hypothesis import given, settings
from hypothesis import strategies as st

import corvane.circuit.dag as dag_module
import corvane.circuit.quantumcircuit_helpers as helpers
import corvane.circuit.schedule as schedule
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.schedule import DynamicalDecoupling
from corvane.circuit.stratum import TranspilerPass

PASSES = [DynamicalDecoupling, GenericDecoupling]
PATHS = pytest.mark.parametrize("cls", PASSES, ids=["native", "generic"])


def typed(value):
    """A comparable form that also tells ints, floats, lists and tuples apart."""
    if isinstance(value, (list, tuple)):
        return (type(value).__name__, [typed(v) for v in value])
    return (type(value).__name__, value)


def assert_same_result(a, b, qc):
    assert a.gates == b.gates
    assert [typed(g) for g in a.gates] == [typed(g) for g in b.gates]
    assert (a.nqubits, a.ncbits) == (b.nqubits, b.ncbits) == (qc.nqubits, qc.ncbits)
    assert a.qubits is qc.qubits and b.qubits is qc.qubits


def ops_on(gates, q):
    """The entries that act on qubit q, in circuit order."""
    out = []
    for g in gates:
        name = g[0]
        if name == "measure":
            qubits = g[1]
        elif name in ("barrier",):
            qubits = g[1]
        elif name == "delay":
            qubits = g[2]
        else:
            qubits = (
                g[-2:]
                if name in helpers.two_qubit_parameter_gates_available
                else (g[-1:] if name in helpers.one_qubit_parameter_gates_available else g[1:])
            )
        if q in qubits:
            out.append(g)
    return out


def between(gates, q, first, last):
    """The operations on q strictly between the entries `first` and `last`."""
    ops = ops_on(gates, q)
    i = ops.index(first)
    j = ops.index(last, i + 1)
    return ops[i + 1 : j]


# ---- module and class -----------------------------------------------------------------


def test_module_binds_exactly_its_imports():
    public = sorted(n for n in vars(schedule) if not n.startswith("__"))
    assert public == sorted(
        [
            "copy",
            "nx",
            "TranspilerPass",
            "qc2dag",
            "dag2qc",
            "one_qubit_gates_available",
            "two_qubit_gates_available",
            "one_qubit_parameter_gates_available",
            "two_qubit_parameter_gates_available",
            "Literal",
            "DynamicalDecoupling",
        ]
    )
    assert schedule.copy is copy and schedule.nx is nx and schedule.Literal is typing.Literal
    assert schedule.TranspilerPass is TranspilerPass
    assert schedule.qc2dag is dag_module.qc2dag and schedule.dag2qc is dag_module.dag2qc
    assert schedule.one_qubit_gates_available is helpers.one_qubit_gates_available
    assert (
        schedule.two_qubit_parameter_gates_available is helpers.two_qubit_parameter_gates_available
    )


def test_class_shape():
    assert type(DynamicalDecoupling) is type(TranspilerPass)
    assert DynamicalDecoupling.__bases__ == (TranspilerPass,)
    # __slotnames__ is cached on the class by copyreg once an instance has been pickled.
    members = [
        n
        for n in vars(DynamicalDecoupling)
        if n
        not in (
            "__module__",
            "__qualname__",
            "__doc__",
            "_abc_impl",
            "__abstractmethods__",
            "__dict__",
            "__weakref__",
            "__slotnames__",
        )
    ]
    assert members == ["__init__", "counter", "_get_max_idle_time", "_update_idle_time", "run"]
    assert DynamicalDecoupling.__doc__.startswith(
        "A toolkit for applying dynamical decoupling (DD) sequences to quantum circuits."
    )
    firsts = {
        "counter": "Increment and return the internal counter.",
        "_get_max_idle_time": "Determine the maximum idle time for the current layer of nodes.",
        "_update_idle_time": "Update idle time for a qubit after executing a given node.",
        "run": "Insert dynamical decoupling sequences into the given quantum circuit.",
    }
    for name, first in firsts.items():
        doc = getattr(DynamicalDecoupling, name).__doc__
        assert doc.startswith(first) and "Returns:" in doc
    run_doc = DynamicalDecoupling.run.__doc__
    for text in (
        "Input quantum circuit.",
        "Type of DD sequence to apply. Defaults to 'XY4'.",
        "If True, allows inserting DD sequences before barriers. Defaults to False.",
        "A new quantum circuit with inserted dynamical decoupling sequences.",
    ):
        assert text in run_doc
    assert DynamicalDecoupling.run.__annotations__ == {
        "sequence": "Literal['XY4', 'CPMG']",
        "align_right": "bool",
        "insert_before_barrier": "bool",
    }
    assert DynamicalDecoupling.run.__qualname__ == "DynamicalDecoupling.run"


def test_constructor_stores_values_as_given_and_skips_the_base_initializer(monkeypatch):
    called = []
    monkeypatch.setattr(TranspilerPass, "__init__", lambda self: called.append(self))
    t1g, t2g = object(), "not a number"
    dd = DynamicalDecoupling(t1g, t2g=t2g)
    assert dd.t1g is t1g and dd.t2g is t2g and dd._count == 86751
    assert called == []
    assert list(vars(dd)) == ["t1g", "t2g", "_count"]


@pytest.mark.parametrize(
    "args, kwargs", [((), {}), ((1e-8,), {}), ((1e-8, 2e-8, 3), {}), ((1e-8,), {"t3g": 1})]
)
def test_constructor_argument_errors(args, kwargs):
    with pytest.raises(TypeError):
        DynamicalDecoupling(*args, **kwargs)


def test_counter_counts_from_86752():
    dd = DynamicalDecoupling(2e-8, 4e-8)
    assert [dd.counter(), dd.counter()] == [86752, 86753]
    assert dd._count == 86753
    other = DynamicalDecoupling(2e-8, 4e-8)
    assert other.counter() == 86752


def test_counter_adds_in_place_with_the_hosts_operator():
    class Tally:
        def __init__(self):
            self.added = []

        def __iadd__(self, other):
            self.added.append(other)
            return self

    dd = DynamicalDecoupling(2e-8, 4e-8)
    dd._count = Tally()
    assert dd.counter() is dd._count
    assert dd._count.added == [1]


@pytest.mark.parametrize(
    "nodes, expected",
    [
        ([], 0),
        (["barrier_0", "barrier_1", "measure_2"], 0),
        (["delay_3"], 0),
        (["h_0"], "t1g"),
        (["rx_0", "measure_1"], "t1g"),
        (["h_0", "cx_1"], "t2g"),
        (["rzz_4"], "t2g"),
        (["ccx_2"], 0),
        (["x_86752_[3]", "y_86753_[4]"], "t1g"),
    ],
)
def test_layer_length(nodes, expected):
    # t1g larger than t2g: the two-qubit test still wins.
    dd = DynamicalDecoupling(9e-8, 4e-8)
    result = dd._get_max_idle_time(nodes)
    if expected == 0:
        assert result == 0 and type(result) is int
    else:
        assert result is getattr(dd, expected)


@pytest.mark.parametrize(
    "node, expected",
    [
        ("h_0", 4e-8 - 3e-8),
        ("u_5", 4e-8 - 3e-8),
        ("cx_1", 0.0),
        ("rzz_2", 0),  # two-qubit parameter gates fall to the last case
        ("barrier_3", 0),
        ("measure_4", 0),
        ("ccz_9", 0),
    ],
)
def test_rest_of_layer_after_a_node(node, expected):
    dd = DynamicalDecoupling(3e-8, 4e-8)
    result = dd._update_idle_time(node, 4e-8)
    assert result == expected and type(result) is type(expected)


def test_layer_length_reads_categories_at_call_time(monkeypatch):
    dd = DynamicalDecoupling(3e-8, 4e-8)
    monkeypatch.setattr(schedule, "one_qubit_gates_available", {"foo": 0})
    assert dd._get_max_idle_time(["foo_1"]) is dd.t1g
    assert dd._get_max_idle_time(["h_1"]) == 0


# ---- the window rules with exact numbers --------------------------------------------


def lone_window_circuit():
    """Qubit 0 waits exactly one layer of length t2g between h(0) and cx(0, 1)
    (with align_right false): h(0) and h(1) share layer 0, cx(1, 2) fills layer 1."""
    qc = QuantumCircuit(3, 3)
    qc.h(0)
    qc.h(1)
    qc.cx(1, 2)
    qc.cx(0, 1)
    return qc


@PATHS
def test_xy4_single_repetition_on_the_grid(cls):
    qc = lone_window_circuit()
    out = cls(3e-8, 1.5e-7).run(qc, "XY4", align_right=False)
    h, d = 3.7500000000000005e-09, 7.500000000000001e-09
    assert between(out.gates, 0, ("h", 0), ("cx", 0, 1)) == [
        ("delay", h, (0,)),
        ("x", 0),
        ("delay", d, (0,)),
        ("y", 0),
        ("delay", d, (0,)),
        ("x", 0),
        ("delay", d, (0,)),
        ("y", 0),
        ("delay", h, (0,)),
    ]
    # Qubit 2 waited one layer of t1g before its first gate.
    assert ops_on(out.gates, 2)[0] == ("delay", 3e-8, (2,))


@PATHS
def test_cpmg_two_repetitions(cls):
    out = cls(2e-8, 1e-7).run(lone_window_circuit(), "CPMG", align_right=False)
    h, d = 2.5e-09, 5e-09
    assert between(out.gates, 0, ("h", 0), ("cx", 0, 1)) == [
        ("delay", h, (0,)),
        ("x", 0),
        ("delay", d, (0,)),
        ("x", 0),
        ("delay", d, (0,)),
        ("x", 0),
        ("delay", d, (0,)),
        ("x", 0),
        ("delay", h, (0,)),
    ]


@PATHS
def test_window_of_exactly_one_repetition_gets_back_to_back_pulses(cls):
    out = cls(2e-8, 8e-8).run(lone_window_circuit(), "XY4", align_right=False)
    assert between(out.gates, 0, ("h", 0), ("cx", 0, 1)) == [("x", 0), ("y", 0), ("x", 0), ("y", 0)]


@PATHS
@pytest.mark.parametrize("sequence, t2g", [("XY4", 7.9e-8), ("CPMG", 3.99e-8)])
def test_window_just_short_of_a_repetition_stays_empty(cls, sequence, t2g):
    out = cls(2e-8, t2g).run(lone_window_circuit(), sequence, align_right=False)
    assert between(out.gates, 0, ("h", 0), ("cx", 0, 1)) == []


@PATHS
@pytest.mark.parametrize("align_right", [True, False])
def test_idle_time_is_summed_layer_by_layer(cls, align_right):
    assert 0.0 + 2e-8 + 2e-8 + 2e-8 + 2e-8 + 2e-8 + 2e-8 + 2e-8 + 2e-8 == 1.5999999999999998e-07
    qc = QuantumCircuit(2)
    qc.cx(0, 1)
    for _ in range(8):
        qc.h(1)
    qc.cx(0, 1)
    dd = cls(2e-8, 4e-8)
    out = dd.run(qc, align_right=align_right)
    h, d = 1e-08, 2e-08
    assert between(out.gates, 0, ("cx", 0, 1), ("cx", 0, 1)) == [
        ("delay", h, (0,)),
        ("x", 0),
        ("delay", d, (0,)),
        ("y", 0),
        ("delay", d, (0,)),
        ("x", 0),
        ("delay", d, (0,)),
        ("y", 0),
        ("delay", h, (0,)),
    ]
    assert between(out.gates, 1, ("cx", 0, 1), ("cx", 0, 1)) == [("h", 1)] * 8
    assert dd._count == 86751 + 9


@PATHS
@pytest.mark.parametrize("insert_before_barrier", [False, True])
def test_barrier_rule(cls, insert_before_barrier):
    qc = QuantumCircuit(3)
    qc.h(0)
    qc.h(1)
    qc.cx(1, 2)
    qc.barrier([0, 1, 2])
    out = cls(3e-8, 1.5e-7).run(qc, align_right=False, insert_before_barrier=insert_before_barrier)
    window = between(out.gates, 0, ("h", 0), ("barrier", (0, 1, 2)))
    assert len(window) == (9 if insert_before_barrier else 0)
    # The leading window of qubit 2 gets its delay whatever the flag.
    assert ops_on(out.gates, 2)[0] == ("delay", 3e-8, (2,))


@PATHS
def test_leading_window_before_a_barrier_gets_its_delay(cls):
    qc = QuantumCircuit(2)
    qc.h(0)
    qc.h(0)
    qc.barrier()
    out = cls(3e-8, 4e-8).run(qc)
    assert ops_on(out.gates, 1) == [("delay", 3e-8 + 3e-8, (1,)), ("barrier", (0, 1))]


@PATHS
@pytest.mark.parametrize("align_right", [True, False])
def test_leading_delay_is_the_accumulated_time(cls, align_right):
    qc = QuantumCircuit(3)
    qc.cx(0, 1)
    qc.cx(0, 1)
    qc.cx(1, 2)
    dd = cls(3e-8, 4.1e-8)
    out = dd.run(qc, align_right=align_right)
    assert ops_on(out.gates, 2) == [("delay", 0 + 4.1e-8 + 4.1e-8, (2,)), ("cx", 1, 2)]
    assert out.gates.index(("delay", 8.2e-8, (2,))) < out.gates.index(("cx", 1, 2))


@PATHS
def test_existing_delay_does_not_lengthen_its_layer(cls):
    qc = QuantumCircuit(2)
    qc.h(0)
    qc.delay(5e-6, [0])
    qc.h(0)
    qc.h(1)
    out = cls(3e-8, 4e-8).run(qc, align_right=False)
    # Three layers: h | delay | h; the delay's layer lasts 0, so qubit 0 has
    # no window worth a train, and qubit 1 (acting in layer 0) waits in vain.
    assert Counter(out.gates) == Counter(qc.gates)


@PATHS
def test_align_right_moves_waiting_before_late_gates(cls):
    qc = QuantumCircuit(2)
    qc.h(0)
    qc.h(0)
    qc.h(0)
    qc.h(1)
    late = cls(3e-8, 4e-8).run(qc, align_right=True)
    early = cls(3e-8, 4e-8).run(qc, align_right=False)
    assert ops_on(late.gates, 1) == [("delay", 3e-8 + 3e-8, (1,)), ("h", 1)]
    assert ops_on(early.gates, 1) == [("h", 1)]


@PATHS
def test_serials_start_at_86752_and_continue_across_runs(cls, monkeypatch):
    seen = []
    original = dag_module.dag2qc

    def recording_dag2qc(dag, *args):
        seen.append([n for n in dag.nodes if n.count("_") == 2])
        return original(dag, *args)

    monkeypatch.setattr(schedule, "dag2qc", recording_dag2qc)
    dd = cls(3e-8, 1.5e-7)
    dd.run(lone_window_circuit(), align_right=False)
    dd.run(lone_window_circuit(), align_right=False)
    assert seen[0][:3] == ["delay_86752_[2]", "delay_86753_[0]", "x_86754_[0]"]
    assert seen[0][-1] == "delay_86761_[0]"
    assert seen[1][0] == "delay_86762_[2]"
    assert dd._count == 86771


@PATHS
def test_serial_counter_continues_on_the_native_path(cls):
    dd = cls(3e-8, 1.5e-7)
    dd.run(lone_window_circuit(), align_right=False)
    assert dd._count == 86761
    dd.run(lone_window_circuit(), align_right=False)
    assert dd._count == 86771


# ---- counts, empty circuits, wide nodes -----------------------------------------------


@PATHS
def test_result_keeps_the_circuits_counts_and_qubits(cls):
    qc = QuantumCircuit(6, 3)
    qc.h(0)
    qc.cx(0, 1)
    qc.measure([1], [2])
    out = cls(3e-8, 4e-8).run(qc)
    assert (out.nqubits, out.ncbits) == (6, 3)
    assert out.qubits is qc.qubits


@PATHS
@pytest.mark.parametrize("nqubits, ncbits", [(0, 0), (3, 2), (1, 0)])
def test_empty_circuit_comes_back_empty(cls, nqubits, ncbits):
    qc = QuantumCircuit(nqubits, ncbits)
    dd = cls(3e-8, 4e-8)
    out = dd.run(qc)
    assert out.gates == [] and (out.nqubits, out.ncbits) == (nqubits, ncbits)
    assert out.qubits is qc.qubits and out is not qc
    assert dd._count == 86751


@PATHS
@pytest.mark.parametrize("wide", ["ccx", "barrier"])
def test_wide_node_after_one_node_on_two_qubits_keeps_both_trains(cls, wide):
    qc = QuantumCircuit(3)
    qc.cx(0, 1)
    for _ in range(6):
        qc.h(2)
    if wide == "ccx":
        qc.ccx(0, 1, 2)
        last = ("ccx", 0, 1, 2)
    else:
        qc.barrier([0, 1, 2])
        last = ("barrier", (0, 1, 2))
    dd = cls(3e-8, 4e-8)
    out = dd.run(qc, align_right=False, insert_before_barrier=True)
    for q in (0, 1):
        window = between(out.gates, q, ("cx", 0, 1), last)
        assert [g[0] for g in window if g[0] != "delay"] == ["x", "y", "x", "y"]
        assert len(window) == 9
    assert dd._count == 86751 + 18


@PATHS
def test_train_after_a_two_qubit_gate_is_ordered_between_the_two_operations(cls):
    qc = QuantumCircuit(2)
    qc.cx(0, 1)
    for _ in range(6):
        qc.h(1)
    qc.h(0)
    qc.h(1)
    out = cls(3e-8, 4e-8).run(qc, align_right=True)
    window = between(out.gates, 0, ("cx", 0, 1), ("h", 0))
    assert len(window) == 9
    first_pulse = out.gates.index(("x", 0))
    assert out.gates.index(("cx", 0, 1)) < first_pulse < out.gates.index(("h", 0))


@PATHS
def test_non_gate_entries_come_back_unchanged(cls):
    qc = QuantumCircuit(3, 3)
    qc.u(0.1, 0.2, 0.3, 0)
    qc.rzz(0.5, 0, 1)
    qc.measure([0, 1], [1, 2])
    qc.reset(2)
    qc.delay(1e-7, [1, 2])
    qc.cswap(0, 1, 2)
    out = cls(3e-8, 4e-8).run(qc)
    originals = [
        g for g in out.gates if not (g[0] in ("x", "y") or (g[0] == "delay" and len(g[2]) == 1))
    ]
    assert Counter(map(repr, originals)) == Counter(map(repr, qc.gates))
    measure = next(g for g in out.gates if g[0] == "measure")
    assert measure[1] is not qc.gates[2][1]  # the output holds lists of its own


# ---- failures --------------------------------------------------------------------------


@PATHS
@pytest.mark.parametrize(
    "sequence, text",
    [("xy4", "xy4"), ("cpmg", "cpmg"), ("XY8", "XY8"), (5, "5"), (None, "None"), (4.0, "4.0")],
)
def test_unknown_sequence_is_rejected_before_anything_else(cls, sequence, text, monkeypatch):
    calls = []
    monkeypatch.setattr(schedule, "qc2dag", lambda *a, **k: calls.append(a))
    dd = cls(3e-8, 4e-8)
    with pytest.raises(ValueError) as err:
        dd.run(lone_window_circuit(), sequence)
    assert str(err.value) == f"Sequence {text} is not support now!"
    assert calls == [] and dd._count == 86751


@PATHS
def test_qubit_outside_the_record_raises_key_error_and_keeps_drawn_serials(cls):
    qc = lone_window_circuit()
    qc.qubits = [0, 1]  # qubit 2 acts but has no record
    before = copy.deepcopy(qc.gates)
    dd = cls(3e-8, 1.5e-7)
    with pytest.raises(KeyError) as err:
        dd.run(qc, align_right=False)
    assert err.value.args == (2,)
    assert qc.gates == before


def test_failures_leave_equal_counters_on_both_paths():
    # Qubit 1 gets a leading delay in layer 1; qubit 2, unknown, acts in layer 2.
    qc = QuantumCircuit(3)
    qc.h(0)
    qc.cx(0, 1)
    qc.cx(1, 2)
    qc.qubits = [0, 1]
    counts = []
    for cls in PASSES:
        dd = cls(3e-8, 4e-8)
        with pytest.raises(KeyError):
            dd.run(qc, align_right=False)
        counts.append(dd._count)
    assert counts[0] == counts[1] > 86751


def host_error(operation):
    try:
        operation()
    except Exception as exc:  # noqa: BLE001 - the host's own error is the expectation
        return type(exc), str(exc)
    return None


@pytest.mark.parametrize(
    "t1g, t2g",
    [
        (0.0, 4e-8),
        (-0.0, 4e-8),
        (math.inf, 4e-8),
        (3e-8, math.inf),
        (math.nan, 4e-8),
        (-math.inf, 4e-8),
        (-3e-8, 4e-8),
        (5e-324, 4e-8),
        (1e-310, 1e-7),
        (3e-8, -4e-8),
    ],
)
def test_arithmetic_failures_match_on_both_paths(t1g, t2g):
    outcomes = []
    for cls in PASSES:
        qc = lone_window_circuit()
        dd = cls(t1g, t2g)
        try:
            out = dd.run(qc, align_right=False)
            outcomes.append(("ok", [typed(g) for g in out.gates], dd._count))
        except (ArithmeticError, ValueError, MemoryError) as exc:
            outcomes.append((type(exc), str(exc), dd._count))
    assert outcomes[0] == outcomes[1]


def test_zero_gate_time_raises_the_hosts_division_error():
    qc = lone_window_circuit()
    expected = host_error(lambda: 0.0 // 0.0)
    for cls in PASSES:
        with pytest.raises(ZeroDivisionError) as err:
            cls(0.0, 4e-8).run(qc)
        assert (type(err.value), str(err.value)) == expected


@PATHS
def test_run_argument_errors(cls):
    dd = cls(3e-8, 4e-8)
    with pytest.raises(TypeError):
        dd.run()
    with pytest.raises(TypeError):
        dd.run(QuantumCircuit(1), "XY4", True, False, 5)
    with pytest.raises(TypeError):
        dd.run(QuantumCircuit(1), sequense="XY4")


@PATHS
@pytest.mark.parametrize(
    "flag, expected", [(None, False), (0, False), ("", False), ("yes", True), (1, True)]
)
def test_flags_are_reduced_by_truth_value(cls, flag, expected):
    qc = lone_window_circuit()
    a = cls(3e-8, 1.5e-7).run(qc, align_right=flag)
    b = cls(3e-8, 1.5e-7).run(qc, align_right=expected)
    assert a.gates == b.gates


@PATHS
def test_input_circuit_is_not_changed(cls):
    qc = lone_window_circuit()
    qc.measure([0], [0])
    gates = copy.deepcopy(qc.gates)
    qubits = list(qc.qubits)
    cls(3e-8, 1.5e-7).run(qc, "CPMG", align_right=False)
    assert qc.gates == gates and qc.qubits == qubits and (qc.nqubits, qc.ncbits) == (3, 3)


# ---- the two paths agree ------------------------------------------------------------------

ONE = ["h", "x", "sx", "t"]
ONE_P = [("rx", 1), ("u", 3)]
TWO = ["cx", "swap", "cz"]
TWO_P = [("rzz", 1), ("cp", 1)]


@st.composite
def circuits(draw):
    nqubits = draw(st.integers(1, 5))
    # Uneven loads: low qubits are drawn far more often than high ones.
    weights = [2 ** (nqubits - q) for q in range(nqubits)]
    pool = [q for q in range(nqubits) for _ in range(weights[q])]
    qc = QuantumCircuit(nqubits, nqubits)
    angle = st.floats(-3.0, 3.0, allow_nan=False)
    for _ in range(draw(st.integers(0, 40))):
        kind = draw(
            st.sampled_from(
                ["1", "1", "1", "1p", "2", "2", "2p", "3", "barrier", "measure", "delay", "reset"]
            )
        )

        def distinct(k):
            chosen = []
            while len(chosen) < k:
                q = draw(st.sampled_from(pool))
                if q not in chosen:
                    chosen.append(q)
            return chosen

        if kind == "1":
            qc.append_gate(draw(st.sampled_from(ONE)), *distinct(1))
        elif kind == "1p":
            name, n = draw(st.sampled_from(ONE_P))
            qc.append_gate(name, *[draw(angle) for _ in range(n)], *distinct(1))
        elif kind in ("2", "2p", "3") and nqubits < {"2": 2, "2p": 2, "3": 3}[kind]:
            continue
        elif kind == "2":
            qc.append_gate(draw(st.sampled_from(TWO)), *distinct(2))
        elif kind == "2p":
            name, n = draw(st.sampled_from(TWO_P))
            qc.append_gate(name, *[draw(angle) for _ in range(n)], *distinct(2))
        elif kind == "3":
            qc.append_gate(draw(st.sampled_from(["ccx", "cswap"])), *distinct(3))
        elif kind == "barrier":
            qc.barrier(sorted(distinct(draw(st.integers(1, nqubits)))))
        elif kind == "measure":
            q = distinct(1)
            qc.measure(q, q)
        elif kind == "delay":
            qc.delay(
                draw(st.sampled_from([0.0, 1e-8, 5e-7])), distinct(draw(st.integers(1, nqubits)))
            )
        else:
            qc.reset(distinct(1)[0])
    return qc


durations = st.one_of(
    st.sampled_from([1e-8, 2e-8, 3e-8, 3.5e-8, 4e-8, 1e-7, 2.5e-7]), st.floats(1e-9, 3e-7)
)


def run_both(qc, t1g, t2g, *options):
    results = []
    for cls in PASSES:
        dd = cls(t1g, t2g)
        dd._count = 86751
        first = dd.run(qc, *options)
        second = dd.run(qc, *options)  # the counter carries on
        results.append((first, second, dd._count))
    return results


@settings(max_examples=400, deadline=None, derandomize=True)
@given(
    circuits(), durations, durations, st.sampled_from(["XY4", "CPMG"]), st.booleans(), st.booleans()
)
def test_native_and_generic_paths_agree(qc, t1g, t2g, sequence, align_right, insert_before_barrier):
    gates = copy.deepcopy(qc.gates)
    (n1, n2, nc), (g1, g2, gc) = run_both(
        qc, t1g, t2g, sequence, align_right, insert_before_barrier
    )
    assert_same_result(n1, g1, qc)
    assert_same_result(n2, g2, qc)
    assert nc == gc
    assert qc.gates == gates


def random_circuit(rng, nqubits, ngates, hot=0.6):
    qc = QuantumCircuit(nqubits, nqubits)
    for _ in range(ngates):
        r = rng.random()
        q0 = 0 if rng.random() < hot else rng.randrange(nqubits)
        others = [q for q in range(nqubits) if q != q0]
        if r < 0.45:
            qc.append_gate(rng.choice(ONE), q0)
        elif r < 0.55:
            qc.rx(rng.uniform(-3, 3), q0)
        elif r < 0.85:
            qc.append_gate(rng.choice(TWO), q0, rng.choice(others))
        elif r < 0.9:
            qc.rzz(rng.uniform(-3, 3), q0, rng.choice(others))
        elif r < 0.93:
            a, b = rng.sample(others, 2)
            qc.ccx(q0, a, b)
        elif r < 0.96:
            qc.barrier(sorted(rng.sample(range(nqubits), rng.randint(1, nqubits))))
        else:
            qc.measure([q0], [q0])
    return qc


@pytest.mark.parametrize("sequence", ["XY4", "CPMG"])
@pytest.mark.parametrize("align_right", [True, False])
@pytest.mark.parametrize("insert_before_barrier", [True, False])
def test_paths_agree_on_a_larger_seeded_circuit(sequence, align_right, insert_before_barrier):
    qc = random_circuit(random.Random(20240611), 7, 600)
    (n1, n2, nc), (g1, g2, gc) = run_both(
        qc, 2e-8, 4.5e-8, sequence, align_right, insert_before_barrier
    )
    assert_same_result(n1, g1, qc)
    assert_same_result(n2, g2, qc)
    assert nc == gc
    assert len(n1.gates) > len(qc.gates)


def test_paths_agree_with_user_defined_gate_categories(monkeypatch):
    # A gate the model builds as one-qubit but the pass times as two-qubit.
    monkeypatch.setitem(helpers.one_qubit_gates_available, "myx", 0)
    monkeypatch.setattr(
        schedule, "two_qubit_gates_available", {**helpers.two_qubit_gates_available, "myx": 0}
    )
    qc = QuantumCircuit(3)
    qc.append_gate("myx", 0)
    qc.h(1)
    qc.h(1)
    qc.cx(1, 2)
    qc.append_gate("myx", 0)
    qc.cx(0, 2)
    (n1, _, nc), (g1, _, gc) = run_both(qc, 2e-8, 1e-7, "XY4", False, False)
    assert_same_result(n1, g1, qc)
    assert nc == gc


@pytest.mark.parametrize("dropped", ["x", "delay"])
def test_paths_agree_when_dag2qc_drops_inserted_gates(monkeypatch, dropped):
    if dropped == "x":
        monkeypatch.setattr(
            dag_module,
            "one_qubit_gates_available",
            {k: v for k, v in helpers.one_qubit_gates_available.items() if k != "x"},
        )
    else:
        monkeypatch.setattr(
            dag_module,
            "functional_gates_available",
            {k: v for k, v in helpers.functional_gates_available.items() if k != "delay"},
        )
    qc = random_circuit(random.Random(99), 5, 200)
    qc.append_gate("x", 0)
    (n1, n2, nc), (g1, g2, gc) = run_both(qc, 2e-8, 4.5e-8, "XY4", True, False)
    assert_same_result(n1, g1, qc)
    assert nc == gc
    assert all(g[0] != dropped for g in n1.gates)
