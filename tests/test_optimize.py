import math
import random
from fractions import Fraction

import networkx as nx
import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.circuit import optimize
from corvane.circuit.dag import qc2dag
from corvane.circuit.decompose import u3_decompose
from corvane.circuit.matrix import gate_matrix_dict, u_mat
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.stratum import TranspilerPass

DEFAULT_COMPRESSIBLE = [
    "id",
    "x",
    "y",
    "z",
    "h",
    "cx",
    "cnot",
    "cy",
    "cz",
    "swap",
    "rx",
    "ry",
    "rz",
    "p",
    "u",
    "rxx",
    "ryy",
    "rzz",
    "ccx",
    "ccz",
    "cswap",
]


class Generic(GateCompressor):
    """Overrides one method trivially, which sends run down the generic path."""

    def has_adjacent_gates(self):
        return super().has_adjacent_gates()


@pytest.fixture(params=[GateCompressor, Generic], ids=["native", "generic"])
def compressor(request):
    return request.param


def circuit(nqubits, *entries, ncbits=None):
    qc = QuantumCircuit(nqubits, nqubits if ncbits is None else ncbits)
    qc.gates.extend(entries)
    return qc


def graph_state(g):
    return (
        type(g),
        list(g.nodes(data=True)),
        list(g.edges(data=True)),
        {n: list(g._pred[n]) for n in g},
        dict(g.graph),
    )


def circuit_state(qc):
    return (
        type(qc),
        qc.nqubits,
        qc.ncbits,
        qc.qubits,
        qc.gates,
        [tuple(type(x) for x in entry) for entry in qc.gates],
    )


# ---- module and class surface ---------------------------------------------------------


def test_module_binds_its_names_in_order():
    names = [n for n in vars(optimize) if not n.startswith("__")]
    assert names == [
        "re",
        "np",
        "QuantumCircuit",
        "one_qubit_gates_available",
        "two_qubit_gates_available",
        "one_qubit_parameter_gates_available",
        "two_qubit_parameter_gates_available",
        "three_qubit_gates_available",
        "qc2dag",
        "dag2qc",
        "u3_decompose",
        "u_mat",
        "gate_matrix_dict",
        "TranspilerPass",
        "GateCompressor",
    ]
    assert optimize.qc2dag is qc2dag and optimize.u3_decompose is u3_decompose
    assert optimize.gate_matrix_dict is gate_matrix_dict and optimize.u_mat is u_mat
    assert optimize.__doc__.startswith(
        "This module contains the `GateCompressor` class, which is designed to "
        "optimize quantum circuits by"
    )


def test_class_members_in_order_with_docstrings_and_annotations():
    members = [n for n in vars(GateCompressor) if not n.startswith("_") or n == "__init__"]
    assert members == [
        "__init__",
        "remove_identity_gates",
        "is_adjacent_gates",
        "has_adjacent_gates",
        "compress_adjacent_single_qubit_gates",
        "compress_adjacent_single_parameter_qubit_gates",
        "compress_adjacent_two_qubit_gates",
        "compress_adjacent_two_qubit_parameter_gates",
        "compress_adjacent_three_qubit_gates",
        "run_compress_once",
        "idx",
        "run",
    ]
    assert issubclass(GateCompressor, TranspilerPass) and type(GateCompressor) is type(
        TranspilerPass
    )
    assert GateCompressor.__doc__.startswith(
        "A transpiler pass that merges or compresses adjacent gates in a quantum circuit.\n\nArgs:\n"
    )
    for name in members:
        doc = getattr(GateCompressor, name).__doc__
        assert "Returns:" in doc and "Args:" in doc and not doc.startswith(" ")
    assert GateCompressor.run.__doc__.startswith(
        "Merges or compresses adjacent gates in a quantum circuit."
    )
    assert GateCompressor.run.__annotations__ == {"qc": "QuantumCircuit"}
    assert GateCompressor.remove_identity_gates.__annotations__ == {"qc": "QuantumCircuit"}
    for name in [
        "is_adjacent_gates",
        "run_compress_once",
        "compress_adjacent_single_qubit_gates",
        "compress_adjacent_single_parameter_qubit_gates",
        "compress_adjacent_two_qubit_gates",
        "compress_adjacent_two_qubit_parameter_gates",
    ]:
        assert getattr(GateCompressor, name).__annotations__ == {"node1": "str", "node2": "str"}
    assert GateCompressor.compress_adjacent_three_qubit_gates.__annotations__ == {}
    assert isinstance(vars(GateCompressor)["idx"], property)
    assert type(vars(GateCompressor)["idx"].fget) is type(GateCompressor.run)
    assert GateCompressor.run.__qualname__ == "GateCompressor.run"


def test_new_instance_state_and_idx_property():
    c = GateCompressor()
    assert c.compressible_gates == DEFAULT_COMPRESSIBLE and type(c.compressible_gates) is list
    assert c._idx == 1000000 and not hasattr(c, "dag")
    assert (c.idx, c.idx, c._idx) == (1000001, 1000002, 1000002)
    with pytest.raises(AttributeError):
        c.idx = 5
    assert GateCompressor().compressible_gates is not c.compressible_gates


# ---- argument handling ------------------------------------------------------------------

STR_METHODS = [
    "is_adjacent_gates",
    "run_compress_once",
    "compress_adjacent_single_qubit_gates",
    "compress_adjacent_single_parameter_qubit_gates",
    "compress_adjacent_two_qubit_gates",
    "compress_adjacent_two_qubit_parameter_gates",
]


@pytest.mark.parametrize("method", STR_METHODS)
@pytest.mark.parametrize(
    "args, message",
    [
        ((1, "x_0_q0"), "Argument 'node1' has incorrect type (expected str, got int)"),
        (("x_0_q0", None), "Argument 'node2' has incorrect type (expected str, got NoneType)"),
        ((b"x", "x_0_q0"), "Argument 'node1' has incorrect type (expected str, got bytes)"),
    ],
)
def test_node_arguments_must_be_strings(method, args, message):
    c = GateCompressor()
    c.dag = nx.DiGraph()
    with pytest.raises(TypeError) as info:
        getattr(c, method)(*args)
    assert str(info.value) == message


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda c: c.is_adjacent_gates("a"),
            "is_adjacent_gates() takes exactly 3 positional arguments (2 given)",
        ),
        (lambda c: c.run(), "run() takes exactly 2 positional arguments (1 given)"),
        (
            lambda c: c.has_adjacent_gates(1),
            "has_adjacent_gates() takes exactly 1 positional argument (2 given)",
        ),
        (lambda c: c.run(qc=None, circuit=1), "run() got an unexpected keyword argument 'circuit'"),
        (
            lambda c: c.run_compress_once("a", "b", node1="c"),
            "run_compress_once() got multiple values for keyword argument 'node1'",
        ),
    ],
)
def test_argument_count_and_keyword_errors(call, message):
    with pytest.raises(TypeError) as info:
        call(GateCompressor())
    assert str(info.value) == message


def test_three_qubit_rule_takes_any_node_keys():
    c = GateCompressor()
    c.dag = nx.DiGraph()
    c.dag.add_edge(1, 2, qubit=[0, 1, 2])
    assert c.compress_adjacent_three_qubit_gates(1, 2) == ([1, 2], [], [])


@pytest.mark.parametrize(
    "method, args",
    [
        ("has_adjacent_gates", ()),
        ("is_adjacent_gates", ("a", "b")),
        ("run_compress_once", ("x_0", "x_1")),
    ],
)
def test_methods_need_a_graph(method, args):
    c = GateCompressor()
    with pytest.raises(AttributeError):
        getattr(c, method)(*args)


def test_unknown_node_is_a_key_error():
    c = GateCompressor()
    c.run(circuit(1, ("x", 0)))
    with pytest.raises(KeyError):
        c.is_adjacent_gates("x_0_q0", "x_9_q0")


# ---- merging: the edge cases ------------------------------------------------------------


def run(compressor, qc, **settings):
    c = compressor()
    for key, value in settings.items():
        setattr(c, key, value)
    return c, c.run(qc)


def test_three_x_in_a_row_leave_one(compressor):
    c, out = run(compressor, circuit(1, ("x", 0), ("x", 0), ("x", 0)))
    assert out.gates == [("x", 0)]
    assert list(c.dag.nodes) == ["x_2_q0"]


def test_cx_pair_with_a_gate_between_is_kept(compressor):
    qc = circuit(2, ("cx", 0, 1), ("x", 1), ("cx", 0, 1))
    _, out = run(compressor, qc)
    assert out.gates == qc.gates


def test_cx_pair_directly_after_each_other_cancels(compressor):
    _, out = run(compressor, circuit(2, ("h", 0), ("cx", 0, 1), ("cx", 0, 1), ("h", 1)))
    assert out.gates == [("h", 0), ("h", 1)]


def test_cx_pair_links_neighbours_by_shared_qubit(compressor):
    qc = circuit(2, ("h", 0), ("x", 1), ("cx", 0, 1), ("cx", 0, 1), ("y", 0), ("z", 1))
    c, out = run(compressor, qc)
    assert list(c.dag.edges(data=True)) == [
        ("h_0_q0", "y_4_q0", {"qubit": [0]}),
        ("x_1_q1", "z_5_q1", {"qubit": [1]}),
    ]
    assert out.gates == [("h", 0), ("x", 1), ("y", 0), ("z", 1)]


def test_cancelled_pair_next_to_a_direct_edge_unites_the_qubits(compressor):
    qc = circuit(3, ("ccx", 0, 1, 2), ("x", 0), ("x", 0), ("cx", 0, 1))
    c, out = run(compressor, qc)
    assert list(c.dag.edges(data=True)) == [("ccx_0_q0_q1_q2", "cx_3_q0_q1", {"qubit": [0, 1]})]
    assert out.gates == [("ccx", 0, 1, 2), ("cx", 0, 1)]


def test_one_qubit_pair_between_neighbours_takes_the_middle_edge(compressor):
    c, _ = run(compressor, circuit(1, ("h", 0), ("x", 0), ("x", 0), ("z", 0)))
    assert list(c.dag.edges(data=True)) == [("h_0_q0", "z_3_q0", {"qubit": [0]})]


@pytest.mark.parametrize(
    "entries",
    [
        [("x", 0), ("x", 0), ("h", 0)],
        [("h", 0), ("x", 0), ("x", 0)],
    ],
)
def test_pair_at_an_end_of_its_line_adds_no_edge(compressor, entries):
    c, out = run(compressor, circuit(1, *entries))
    assert out.gates == [("h", 0)] and c.dag.number_of_edges() == 0


def test_rx_fusion_names_the_node_and_keeps_the_links(compressor):
    c, out = run(compressor, circuit(3, ("h", 2), ("rx", 0.3, 2), ("rx", 0.2, 2), ("z", 2)))
    assert list(c.dag.nodes(data=True))[-1] == ("rx_1000001_[2]", {"qubits": [2], "params": [0.5]})
    assert list(c.dag.edges(data=True)) == [
        ("h_0_q2", "rx_1000001_[2]", {"qubit": [2]}),
        ("rx_1000001_[2]", "z_3_q2", {"qubit": [2]}),
    ]
    assert out.gates == [("h", 2), ("rx", 0.5, 2), ("z", 2)]
    assert c._idx == 1000001


def test_fusion_at_the_start_links_only_forward(compressor):
    c, _ = run(compressor, circuit(1, ("rx", 0.3, 0), ("rx", 0.2, 0), ("h", 0)))
    assert list(c.dag.edges(data=True)) == [("rx_1000001_[0]", "h_2_q0", {"qubit": [0]})]


@pytest.mark.parametrize(
    "entries, expected, serials",
    [
        ([("rx", 0.3, 0), ("rx", -0.3, 0)], [], 0),
        ([("rz", math.pi, 0), ("rz", math.pi, 0)], [("rz", 2 * math.pi, 0)], 1),
        ([("p", math.pi, 0), ("p", math.pi, 0)], [], 0),
        ([("ry", 1, 0), ("ry", 2, 0)], [("ry", 3, 0)], 1),
        ([("rx", 1, 0), ("rx", 0.5, 0)], [("rx", 1.5, 0)], 1),
        ([("rzz", 1.0, 0, 1), ("rzz", 2.0, 0, 1)], [("rzz", 3.0, 0, 1)], 1),
        ([("rzz", 2 * math.pi, 0, 1), ("rzz", 2 * math.pi, 0, 1)], [], 0),
        ([("rx", 1.0, 0), ("rx", 2.0, 0), ("rx", 3.0, 0)], [("rx", 6.0, 0)], 2),
    ],
)
def test_parameter_pairs_fuse_or_cancel(compressor, entries, expected, serials):
    c, out = run(compressor, circuit(2, *entries))
    assert out.gates == expected
    assert [tuple(map(type, e)) for e in out.gates] == [tuple(map(type, e)) for e in expected]
    assert c._idx == 1000000 + serials


def test_int_parameters_stay_ints_when_summed(compressor):
    c, out = run(compressor, circuit(1, ("rx", 1, 0), ("rx", 2, 0)))
    assert type(c.dag.nodes["rx_1000001_[0]"]["params"][0]) is int and out.gates == [("rx", 3, 0)]


def test_u_fusion_goes_through_u3_decompose(compressor):
    a, b = (0.1, 0.2, 0.3), (0.4, 0.5, 0.6)
    _, out = run(compressor, circuit(1, ("u", *a, 0), ("u", *b, 0)))
    theta, phi, lamda, _ = u3_decompose(u_mat(*b) @ u_mat(*a))
    assert out.gates == [("u", theta, phi, lamda, 0)]


def test_u_pair_whose_product_is_the_identity_cancels(compressor):
    _, out = run(compressor, circuit(1, ("u", 0.7, 0.2, -0.4, 0), ("u", -0.7, 0.4, -0.2, 0)))
    assert out.gates == []


@pytest.mark.parametrize(
    "entries, merged",
    [
        ([("r", 0.3, 0.5, 0), ("r", 0.4, 0.5, 0)], [("r", 0.7, 0.5, 0)]),
        ([("r", 0.3, 0.5, 0), ("r", -0.3, 0.5, 0)], []),
        ([("r", 0.3, 0.5, 0), ("r", 0.4, 0.6, 0)], None),
        ([("r", 1, 2, 0), ("r", 2, 2.0, 0)], [("r", 3, 2, 0)]),
        ([("r", 0.3, math.nan, 0), ("r", 0.4, math.nan, 0)], None),
    ],
)
def test_r_gates_merge_only_about_one_axis(compressor, entries, merged):
    qc = circuit(1, *entries)
    c, out = run(compressor, qc, compressible_gates=DEFAULT_COMPRESSIBLE + ["r"])
    assert out.gates == (qc.gates if merged is None else merged)
    if merged is None:
        assert not c.is_adjacent_gates("r_0_q0", "r_1_q0")


def test_r_gates_are_not_compressible_by_default(compressor):
    qc = circuit(1, ("r", 0.3, 0.5, 0), ("r", 0.4, 0.5, 0))
    assert run(compressor, qc)[1].gates == qc.gates


@pytest.mark.parametrize(
    "entries",
    [
        [("s", 0), ("s", 0)],
        [("cx", 0, 1), ("cx", 1, 0)],
        [("measure", [0], [0]), ("measure", [0], [0])],
        [("barrier", (0, 1)), ("barrier", (0, 1))],
    ],
)
def test_pairs_that_never_merge(compressor, entries):
    qc = circuit(2, *entries)
    assert run(compressor, qc)[1].gates == qc.gates


def test_empty_compressible_list_merges_nothing(compressor):
    qc = circuit(2, ("x", 0), ("x", 0), ("rx", 0.0, 1), ("cx", 0, 1), ("cx", 0, 1))
    c, out = run(compressor, qc, compressible_gates=[])
    assert out.gates == [("x", 0), ("x", 0), ("cx", 0, 1), ("cx", 0, 1)]
    assert c._idx == 1000000


def test_empty_circuit(compressor):
    qc = QuantumCircuit(3, 2)
    c, out = run(compressor, qc)
    assert (out.gates, out.nqubits, out.ncbits) == ([], 3, 2)
    assert out.qubits is qc.qubits and c.dag.number_of_nodes() == 0


def test_serials_continue_across_runs(compressor):
    c = compressor()
    qc = circuit(1, ("rx", 0.1, 0), ("rx", 0.2, 0))
    c.run(qc)
    assert list(c.dag.nodes) == ["rx_1000001_[0]"]
    c.run(qc)
    assert list(c.dag.nodes) == ["rx_1000002_[0]"] and c._idx == 1000002


def test_cascading_merges_and_result_sharing(compressor):
    qc = circuit(2, ("x", 0), ("h", 0), ("cx", 0, 1), ("cx", 0, 1), ("h", 0), ("x", 0), ("y", 1))
    before = circuit_state(qc)
    c, out = run(compressor, qc)
    assert out.gates == [("y", 1)]
    assert out.qubits is qc.qubits
    assert c.dag.graph["qubits"] == qc.qubits and c.dag.graph["qubits"] is not qc.qubits
    assert circuit_state(qc) == before


# ---- identity removal -----------------------------------------------------------------------


@pytest.mark.parametrize(
    "entry, dropped",
    [
        (("rx", 0, 0), True),
        (("ry", 0.0, 0), True),
        (("rz", 0, 0), True),
        (("p", 0, 0), True),
        (("u", 0, 0, 0, 0), True),
        (("rxx", 0, 0, 1), True),
        (("ryy", 0, 0, 1), True),
        (("rzz", 0, 0, 1), True),
        (("rz", 2 * math.pi, 0), False),
        (("p", 2 * math.pi, 0), True),
        (("rzz", 4 * math.pi, 0, 1), True),
        (("u", 0, 0.7, -0.7, 0), True),
        (("u", 0, 0.7, 0.2, 0), False),
        (("rx", 1e-9, 0), True),
        (("rx", math.nan, 0), False),
        (("rx", math.inf, 0), False),
        (("r", 0, 3.0, 0), True),
        (("cp", 2 * math.pi, 0, 1), True),
        (("id", 0), False),
        (("x", 0), False),
        (("rx", np.float64(0.0), 0), True),
        (("rx", Fraction(0), 0), True),
        (("rx", True, 0), False),
    ],
)
def test_remove_identity_gates(compressor, entry, dropped):
    qc = circuit(2, ("h", 0), entry)
    out = compressor().remove_identity_gates(qc)
    assert out.gates == ([("h", 0)] if dropped else [("h", 0), entry])
    assert all(a is b for a, b in zip(out.gates, [g for g in qc.gates if g in out.gates]))


class SubCircuit(QuantumCircuit):
    """Not the circuit model's own class: copied through its deepcopy method."""


@pytest.mark.parametrize("circuit_class", [QuantumCircuit, SubCircuit])
def test_remove_identity_gates_copies_the_circuit(circuit_class):
    qc = circuit_class(3, 2)
    qc.gates.extend([("id", 0), ("id", 0), ("rx", 0, 1), ("measure", [0], [1])])
    qc.label = ["kept", "apart"]
    out = GateCompressor().remove_identity_gates(qc=qc)
    assert type(out) is circuit_class and out is not qc
    assert out.label == qc.label and out.label is not qc.label
    assert (out.nqubits, out.ncbits, out.gates) == (
        3,
        2,
        [("id", 0), ("id", 0), ("measure", [0], [1])],
    )
    assert out.qubits == qc.qubits and out.qubits is not qc.qubits
    assert out.gates[0] is qc.gates[0] and out.gates[2] is qc.gates[3]
    out.gates.append(("x", 0))
    assert len(qc.gates) == 4


def test_run_drops_rzz_4pi_before_merging(compressor):
    _, out = run(compressor, circuit(2, ("x", 0), ("rzz", 4 * math.pi, 0, 1), ("x", 0)))
    assert out.gates == []


@pytest.mark.parametrize("entry, error", [(("rx", 0), TypeError), (("rx", "a", 0), TypeError)])
def test_remove_identity_gates_errors_pass_through(compressor, entry, error):
    with pytest.raises(error):
        compressor().remove_identity_gates(circuit(1, entry))


# ---- failures ---------------------------------------------------------------------------------


def test_compressible_name_of_no_category_fails_to_unpack():
    qc = circuit(
        2,
        ("rx", 0.1, 1),
        ("rx", 0.2, 1),
        ("measure", [0], [0]),
        ("measure", [0], [0]),
        ("x", 1),
        ("x", 1),
    )
    states = []
    for cls in (GateCompressor, Generic):
        c = cls()
        c.compressible_gates = DEFAULT_COMPRESSIBLE + ["measure"]
        with pytest.raises(TypeError, match=r"^cannot unpack non-iterable NoneType object$"):
            c.run(qc)
        states.append((graph_state(c.dag), c._idx))
    assert states[0] == states[1]
    assert states[0][1] == 1000001 and "rx_1000001_[1]" in states[0][0][1][-1]


def test_u_pair_with_non_finite_product_fails_in_u3_decompose():
    qc = circuit(1, ("x", 0), ("x", 0), ("u", math.nan, 0.0, 0.0, 0), ("u", 0.1, 0.0, 0.0, 0))
    states = []
    for cls in (GateCompressor, Generic):
        c = cls()
        with pytest.raises(ValueError, match="finite"):
            c.run(qc)
        states.append((graph_state(c.dag), c._idx))
    assert states[0] == states[1] and len(states[0][0][1]) == 2


def test_unknown_parameter_gate_is_a_key_error(compressor, monkeypatch):
    from corvane.circuit import quantumcircuit_helpers as helpers

    monkeypatch.setitem(helpers.one_qubit_parameter_gates_available, "myrot", 1)
    with pytest.raises(KeyError):
        compressor().run(circuit(1, ("myrot", 0.5, 0)))


# ---- honouring user changes ---------------------------------------------------------------------


def test_replaced_u3_decompose_is_called(monkeypatch):
    calls = []

    def spy(m):
        calls.append(m)
        return u3_decompose(m)

    monkeypatch.setattr(optimize, "u3_decompose", spy)
    _, out = run(GateCompressor, circuit(1, ("u", 0.1, 0.2, 0.3, 0), ("u", 0.4, 0.5, 0.6, 0)))
    assert len(calls) == 1 and out.gates[0][0] == "u"


def test_replaced_matrix_entry_decides_identity(monkeypatch):
    monkeypatch.setitem(optimize.gate_matrix_dict, "rx", lambda theta: np.eye(2, dtype=complex))
    _, out = run(GateCompressor, circuit(1, ("h", 0), ("rx", 0.5, 0), ("rx", 0.2, 0)))
    assert out.gates == [("h", 0)]


def test_subclass_idx_is_used():
    class Counting(GateCompressor):
        @property
        def idx(self):
            self._idx += 10
            return self._idx

    c = Counting()
    c.run(circuit(1, ("rx", 0.1, 0), ("rx", 0.2, 0)))
    assert list(c.dag.nodes) == ["rx_1000010_[0]"]


def test_instance_attribute_shadowing_a_method_is_used():
    c = GateCompressor()
    c.is_adjacent_gates = lambda u, v: False
    qc = circuit(1, ("x", 0), ("x", 0))
    assert c.run(qc).gates == qc.gates


def test_subclassed_circuit_and_numpy_parameters_give_the_same_result():
    class MyCircuit(QuantumCircuit):
        pass

    entries = [
        ("rx", np.float64(0.25), 0),
        ("rx", 0.5, 0),
        ("x", 1),
        ("x", 1),
        ("ry", Fraction(1, 2), 1),
    ]
    plain = circuit(2, *entries)
    mine = MyCircuit(2, 2)
    mine.gates.extend(entries)
    a, b = GateCompressor(), GateCompressor()
    assert a.run(plain).gates == b.run(mine).gates == [("ry", Fraction(1, 2), 1), ("rx", 0.75, 0)]
    assert graph_state(a.dag) == graph_state(b.dag)


def test_compressible_list_and_categories_are_read_per_run(compressor, monkeypatch):
    c = compressor()
    qc = circuit(1, ("s", 0), ("s", 0))
    assert c.run(qc).gates == qc.gates
    c.compressible_gates.append("s")
    assert c.run(qc).gates == []


# ---- native path against the generic path ------------------------------------------------------

SELF_INVERSE_1 = ["id", "x", "y", "z", "h"]
SELF_INVERSE_2 = ["cx", "cnot", "cy", "cz", "swap"]
SELF_INVERSE_3 = ["ccx", "ccz", "cswap"]
ROTATIONS_1 = ["rx", "ry", "rz", "p"]
ROTATIONS_2 = ["rxx", "ryy", "rzz", "cp"]
ANGLES = [0.5, -0.5, math.pi, 2 * math.pi, 4 * math.pi, 1, -1, 2, 0.25, 3]


def merge_rich_circuit(seed, ngates, nqubits):
    rng = random.Random(seed)
    qc = QuantumCircuit(nqubits, nqubits)
    add = qc.gates.append

    def angle():
        if rng.random() < 0.6:
            return rng.choice(ANGLES)
        return round(rng.uniform(-3, 3), rng.choice([1, 6]))

    while len(qc.gates) < ngates:
        kind = rng.random()
        reps = rng.choice([1, 2, 2, 3])
        if kind < 0.25:
            g, q = rng.choice(SELF_INVERSE_1 + ["s", "t"]), rng.randrange(nqubits)
            for _ in range(reps):
                add((g, q))
        elif kind < 0.4 and nqubits >= 2:
            g, qs = rng.choice(SELF_INVERSE_2 + ["iswap"]), rng.sample(range(nqubits), 2)
            for _ in range(reps):
                add((g, *qs))
        elif kind < 0.47 and nqubits >= 3:
            g, qs = rng.choice(SELF_INVERSE_3), rng.sample(range(nqubits), 3)
            for _ in range(reps):
                add((g, *qs))
        elif kind < 0.65:
            g, q, a = rng.choice(ROTATIONS_1), rng.randrange(nqubits), angle()
            add((g, a, q))
            add((g, rng.choice([-a, a, angle()]), q))
        elif kind < 0.75 and nqubits >= 2:
            g, qs, a = rng.choice(ROTATIONS_2), rng.sample(range(nqubits), 2), angle()
            add((g, a, *qs))
            add((g, rng.choice([-a, a, angle()]), *qs))
        elif kind < 0.82:
            q = rng.randrange(nqubits)
            p = (angle(), angle(), angle())
            add(("u", *p, q))
            add(
                ("u", -p[0], -p[2], -p[1], q)
                if rng.random() < 0.4
                else ("u", angle(), angle(), angle(), q)
            )
        elif kind < 0.9:
            q, phi = rng.randrange(nqubits), angle()
            a = angle()
            add(("r", a, phi, q))
            add(("r", rng.choice([-a, angle()]), rng.choice([phi, phi, angle()]), q))
        else:
            f = rng.choice(["measure", "barrier", "delay", "reset"])
            qs = rng.sample(range(nqubits), rng.randint(1, nqubits))
            if f == "measure":
                add(("measure", qs[:1], [rng.randrange(nqubits)]))
            elif f == "barrier":
                add(("barrier", tuple(qs)))
            elif f == "delay":
                add(("delay", rng.uniform(0, 1e-7), tuple(qs)))
            else:
                add(("reset", qs[0]))
    return qc


class CountingGraphCalls:
    """Counts the graph edits made through networkx's own method."""

    def __init__(self):
        self.calls = 0

    def __enter__(self):
        self.original = nx.DiGraph.remove_nodes_from
        counter = self

        def counted(graph, nodes):
            counter.calls += 1
            return counter.original(graph, nodes)

        nx.DiGraph.remove_nodes_from = counted
        return self

    def __exit__(self, *exc):
        nx.DiGraph.remove_nodes_from = self.original


def compare_paths(qc, compressible=None, idx=None):
    results = []
    for cls in (GateCompressor, Generic):
        c = cls()
        if compressible is not None:
            c.compressible_gates = list(compressible)
        if idx is not None:
            c._idx = idx
        with CountingGraphCalls() as counter:
            out = c.run(qc)
        # The native engine builds the final graph directly; the loop edits it.
        assert counter.calls == 0 or cls is Generic
        assert out.qubits is qc.qubits
        results.append((circuit_state(out), graph_state(c.dag), c._idx, type(c._idx)))
    assert results[0] == results[1]
    return results[0]


@settings(max_examples=150, deadline=None, derandomize=True)
@given(
    seed=st.integers(0, 10**9),
    ngates=st.integers(0, 70),
    nqubits=st.integers(1, 5),
    extra=st.sampled_from([(), ("r",), ("r", "cp", "iswap"), ("s", "t", "measure_never")]),
)
def test_native_engine_matches_the_generic_loop(seed, ngates, nqubits, extra):
    qc = merge_rich_circuit(seed, ngates, nqubits)
    before = circuit_state(qc)
    state = compare_paths(qc, DEFAULT_COMPRESSIBLE + list(extra))
    assert circuit_state(qc) == before
    if ngates >= 30:
        assert len(state[0][4]) < len(qc.gates)


@pytest.mark.parametrize("seed", range(6))
def test_native_engine_matches_on_larger_circuits(seed):
    qc = merge_rich_circuit(seed, 400, 6)
    (state, graph, idx, _) = compare_paths(qc, DEFAULT_COMPRESSIBLE + ["r"], idx=5)
    assert len(state[4]) < len(qc.gates)


def test_two_qubit_cancellation_next_to_a_direct_edge_matches():
    # ccx -> cx(0, 1) pair -> ccx, with the two ccx also joined on qubit 2: the
    # re-linked edge takes list(set(...)) of the qubits, in the host's order.
    qc = circuit(3, ("ccx", 0, 1, 2), ("cx", 0, 1), ("cx", 0, 1), ("ccx", 1, 0, 2))
    state = compare_paths(qc)
    assert state[1][2] == [("ccx_0_q0_q1_q2", "ccx_3_q1_q0_q2", {"qubit": list({0, 1, 2})})]


@pytest.mark.parametrize(
    "entries",
    [
        [("rx", 2**52, 0), ("rx", 2**52, 0), ("rx", 3, 0)],
        [("rz", 2**60, 0), ("rz", 1, 0)],
        [("x", np.int64(0)), ("x", 0), ("x", 1)],
        [("x", 0), ("x", 0), ["x", 1], ["x", 1]],
    ],
)
def test_values_outside_the_engine_give_the_loop_result(entries):
    qc = circuit(2, *entries)
    results = []
    for cls in (GateCompressor, Generic):
        c = cls()
        out = c.run(qc)
        results.append((circuit_state(out), graph_state(c.dag), c._idx))
    assert results[0] == results[1]


@pytest.mark.parametrize("idx", [5.0, True, 2**70])
def test_serial_counter_of_another_type_is_used_as_it_is(idx):
    c = GateCompressor()
    c._idx = idx
    c.run(circuit(1, ("rx", 0.1, 0), ("rx", 0.2, 0)))
    assert list(c.dag.nodes) == [f"rx_{idx + 1}_[0]"] and c._idx == idx + 1


def test_missing_compressible_list_is_the_lookup_error():
    c = GateCompressor()
    del c.compressible_gates
    assert c.run(circuit(2, ("x", 0), ("y", 1))).gates == [("x", 0), ("y", 1)]
    with pytest.raises(AttributeError, match="compressible_gates"):
        c.run(circuit(1, ("x", 0), ("x", 0)))
