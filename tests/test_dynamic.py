"""Classical control: the conditional entry, its builder, and conditionals
through the gate DAG and both passes."""

import copy
import itertools
import pickle

import networkx as nx
import pytest
from conftest import GenericCompressor, GenericDecoupling, random_circuit
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.circuit.dag import dag2qc, qc2dag
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.quantumcircuit import QuantumCircuit, functional_gates_available
from corvane.circuit.schedule import DynamicalDecoupling


def teleportation():
    """Teleport qubit 0 to qubit 2: the corrections act on qubit 2, not on the
    measured qubits, so only the classical bits order them after the measurements."""
    qc = QuantumCircuit(3, 2)
    qc.h(1).cx(1, 2).cx(0, 1).measure(1, 1).h(0).measure(0, 0)
    with qc.if_test((1,), 1):
        qc.x(2)
    with qc.if_test((0,), 1):
        qc.z(2)
    return qc


# ---- the entry and its builder --------------------------------------------------------------


def test_if_is_a_functional_operation():
    assert "if" in functional_gates_available


def test_if_test_builds_body_else_and_nested_conditionals():
    qc = QuantumCircuit(3, 2).h(0).measure(0, 0)
    with qc.if_test(0, True) as branch:
        qc.x(2)
        with qc.if_test([0, 1], 2):
            qc.measure(1, 1)
    with branch.else_():
        qc.z(2)
    assert qc.gates[-1] == (
        "if",
        (0,),
        1,
        (("x", 2), ("if", (0, 1), 2, (("measure", [1], [1]),), ())),
        (("z", 2),),
    )
    assert pickle.loads(pickle.dumps(qc)) == qc
    assert copy.deepcopy(qc) == qc and qc.deepcopy() == qc
    assert qc.count_ops() == {"h": 1, "measure": 1, "if": 1}
    assert qc.depth() == 3  # after the measurement it reads, though on another qubit


def test_a_block_that_raises_appends_nothing():
    qc = QuantumCircuit(2, 1).x(0)
    with pytest.raises(KeyError):
        with qc.if_test(0, 1):
            qc.x(1)
            raise KeyError
    assert qc.gates == [("x", 0)]
    with qc.if_test(0, 1) as branch:
        qc.x(1)
    with pytest.raises(KeyError):
        with branch.else_():
            qc.z(1)
            raise KeyError
    assert qc.gates == [("x", 0), ("if", (0,), 1, (("x", 1),), ())]


@pytest.mark.parametrize(
    "cbits, value, error",
    [
        ((), 0, ValueError),
        ((0, 0), 1, ValueError),
        ((2,), 1, ValueError),
        ((0,), 2, ValueError),
        ((0, 1), -1, ValueError),
        ((0,), 0.5, TypeError),
        (("a",), 1, TypeError),
    ],
)
def test_if_test_rejects_bad_conditions(cbits, value, error):
    qc = QuantumCircuit(2, 2)
    with pytest.raises(error):
        qc.if_test(cbits, value)
    assert qc.gates == []


def test_builders_inside_a_body_check_their_arguments():
    qc = QuantumCircuit(2, 1)
    with pytest.raises(ValueError), qc.if_test(0, 1):
        qc.x(5)
    assert qc.gates == []


def test_else_must_follow_its_block_directly():
    qc = QuantumCircuit(2, 1)
    with qc.if_test(0, 1) as branch:
        qc.x(1)
    qc.h(0)
    with pytest.raises(RuntimeError), branch.else_():
        pass
    assert qc.gates == [("if", (0,), 1, (("x", 1),), ()), ("h", 0)]


def test_inverse_refuses_a_conditional_by_name():
    with pytest.raises(ValueError, match="conditional \\('if'\\)"):
        teleportation().inverse()


def test_compose_remaps_qubits_and_bits_inside_branches():
    inner = QuantumCircuit(2, 1)
    with inner.if_test(0, 1) as branch:
        inner.cx(0, 1).measure(1, 0)
    with branch.else_():
        inner.x(0)
    out = QuantumCircuit(3, 2).compose(inner, [2, 0])
    assert out.gates == [("if", (0,), 1, (("cx", 2, 0), ("measure", [0], [0])), (("x", 2),))]


# ---- gate DAG ---------------------------------------------------------------------------------


def test_teleportation_corrections_follow_their_measurements_in_every_order():
    qc = teleportation()
    dag = qc2dag(qc)
    measures = [n for n in dag if n.startswith("measure")]
    conditionals = [n for n in dag if n.startswith("if")]
    reads = {conditionals[0]: measures[0], conditionals[1]: measures[1]}
    assert dag.nodes[conditionals[0]] == {
        "qubits": [2],
        "cbits": [1],
        "condition": ((1,), 1),
        "body": (("x", 2),),
        "orelse": (),
    }
    assert dag.edges[measures[0], conditionals[0]] == {"qubit": []}
    orders = list(nx.all_topological_sorts(dag))
    assert len(orders) > 1
    for order in orders:
        assert all(order.index(m) < order.index(c) for c, m in reads.items())
    back = dag2qc(dag, qc.nqubits, qc.ncbits).gates
    assert sorted(back, key=repr) == sorted(qc.gates, key=repr)
    assert back.index(("measure", [1], [1])) < back.index(("if", (1,), 1, (("x", 2),), ()))
    assert back.index(("measure", [0], [0])) < back.index(("if", (0,), 1, (("z", 2),), ()))


def test_classical_bits_give_write_after_read_and_write_after_write_edges():
    qc = QuantumCircuit(3, 1).measure(0, 0)
    with qc.if_test(0, 1):
        qc.x(1)
    qc.measure(2, 0)  # overwrites the bit the conditional read
    qc.measure(1, 0)  # qubit edge from the conditional too: one edge for both
    assert list(qc2dag(qc, show_qubits=False).edges(data=True)) == [
        ("measure_0", "if_1", {"qubit": []}),
        ("measure_0", "measure_2", {"qubit": []}),
        ("if_1", "measure_2", {"qubit": []}),
        ("if_1", "measure_3", {"qubit": [1]}),
        ("measure_2", "measure_3", {"qubit": []}),
    ]


def test_without_a_conditional_classical_bits_give_no_edges():
    qc = QuantumCircuit(2, 1).measure(0, 0).measure(1, 0)
    assert list(qc2dag(qc).edges) == []


@pytest.mark.parametrize("seed", range(8))
def test_dag_round_trip_keeps_every_classical_dependency(seed):
    qc = random_circuit(seed, ngates=30, nqubits=4, ncbits=3, conditional=True)
    dag = qc2dag(qc)
    back = dag2qc(dag, qc.nqubits, qc.ncbits)
    assert sorted(back.gates, key=repr) == sorted(qc.gates, key=repr)
    assert back.depth() == qc.depth()


# ---- passes -----------------------------------------------------------------------------------


def test_compressor_merges_nothing_across_a_conditional():
    qc = QuantumCircuit(2, 1).x(1).measure(0, 0)
    with qc.if_test(0, 1):
        qc.x(1)
    qc.x(1)
    for cls in (GateCompressor, GenericCompressor):
        assert cls().run(qc).gates == qc.gates


def test_decoupling_treats_a_conditional_as_an_operation_without_duration():
    qc = teleportation()
    for cls in (DynamicalDecoupling, GenericDecoupling):
        out = cls(1e-8, 1e-7).run(qc)
        assert [e for e in out.gates if e[0] == "if"] == [e for e in qc.gates if e[0] == "if"]


@settings(max_examples=60, deadline=None, derandomize=True)
@given(seed=st.integers(0, 10**9), ngates=st.integers(0, 40), nqubits=st.integers(1, 4))
def test_native_and_generic_paths_agree_on_dynamic_circuits(seed, ngates, nqubits):
    qc = random_circuit(seed, ngates=ngates, nqubits=nqubits, ncbits=3, conditional=True)
    gates = copy.deepcopy(qc.gates)
    native, generic = GateCompressor(), GenericCompressor()
    assert native.run(qc) == generic.run(qc)
    assert list(native.dag.edges(data=True)) == list(generic.dag.edges(data=True))
    for sequence, align_right in itertools.product(["XY4", "CPMG"], [True, False]):
        first = DynamicalDecoupling(2e-8, 1e-7).run(qc, sequence, align_right)
        second = GenericDecoupling(2e-8, 1e-7).run(qc, sequence, align_right)
        assert first == second
    assert qc.gates == gates


# ---- drawings and interchange -----------------------------------------------------------------


def test_text_drawing_shows_the_branches_and_the_condition_values():
    qc = QuantumCircuit(2, 2).measure([0, 1], [0, 1])
    with qc.if_test((0, 1), 2) as branch:
        qc.x(1)
    with branch.else_():
        qc.z(0)
    lines = str(qc.draw(fold=0)).splitlines()
    assert "If · Else Z" in lines[0] and "If X Else ·" in lines[2]
    assert lines[4].rstrip("═").endswith("0") and lines[6].rstrip("═").endswith("1")


def test_mpl_drawing_and_timeline_draw_a_conditional(tmp_path):
    pytest.importorskip("matplotlib")
    from corvane.circuit.timeline import draw_timeline

    qc = teleportation()
    qc.draw("mpl")
    figure = draw_timeline(qc, 2e-8, 1e-7, output=str(tmp_path / "t.png"))
    assert {"c1==1", "c0==1"} <= {t.get_text() for t in figure.axes[0].texts}


def test_qiskit_round_trip_keeps_conditionals():
    pytest.importorskip("qiskit")
    from corvane.circuit.interop import from_qiskit, to_qiskit

    qc = teleportation()
    with qc.if_test((0, 1), 2) as branch:
        qc.cx(0, 2)
        with qc.if_test(1, 0):
            qc.measure(2, 1)
    with branch.else_():
        qc.h(1)
    peer = to_qiskit(qc)
    assert [i.operation.name for i in peer.data].count("if_else") == 3
    assert from_qiskit(peer) == qc


def test_from_qiskit_reads_a_register_condition():
    qiskit = pytest.importorskip("qiskit")

    from corvane.circuit.interop import from_qiskit

    creg = qiskit.ClassicalRegister(2)
    peer = qiskit.QuantumCircuit(qiskit.QuantumRegister(2), creg)
    with peer.if_test((creg, 3)):
        peer.x(0)
    assert from_qiskit(peer).gates == [("if", (0, 1), 3, (("x", 0),), ())]
