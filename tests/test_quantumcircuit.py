import math
from fractions import Fraction

import pytest

from corvane.circuit import quantumcircuit
from corvane.circuit import quantumcircuit_helpers as helpers
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.quantumcircuit_helpers import convert_gate_info_to_dag_info


def test_categories_are_shared_objects():
    for name in [
        "one_qubit_gates_available",
        "two_qubit_gates_available",
        "three_qubit_gates_available",
        "one_qubit_parameter_gates_available",
        "two_qubit_parameter_gates_available",
        "functional_gates_available",
    ]:
        assert getattr(quantumcircuit, name) is getattr(helpers, name)


def test_builders_append_entries_of_the_model_shapes():
    qc = QuantumCircuit(3, 2)
    qc.h(0).cx(0, 1).ccx(0, 1, 2).rx(0.5, 2).u(0.1, 0.2, 0.3, 1).r(0.4, 0.5, 0).rzz(0.7, 0, 2)
    qc.measure([0, 1], [1, 0]).barrier([0, 2]).delay(1e-8, [1]).reset(2).barrier()
    assert qc.gates == [
        ("h", 0),
        ("cx", 0, 1),
        ("ccx", 0, 1, 2),
        ("rx", 0.5, 2),
        ("u", 0.1, 0.2, 0.3, 1),
        ("r", 0.4, 0.5, 0),
        ("rzz", 0.7, 0, 2),
        ("measure", [0, 1], [1, 0]),
        ("barrier", (0, 2)),
        ("delay", 1e-8, (1,)),
        ("reset", 2),
        ("barrier", (0, 1, 2)),
    ]
    assert qc.qubits == [0, 1, 2]


@pytest.mark.parametrize(
    "build, error",
    [
        (lambda qc: qc.h(2), ValueError),
        (lambda qc: qc.h(-1), ValueError),
        (lambda qc: qc.h(True), ValueError),
        (lambda qc: qc.h(0.5), TypeError),
        (lambda qc: qc.cx(0, 0), ValueError),
        (lambda qc: qc.cx(0), TypeError),
        (lambda qc: qc.rx("a", 0), TypeError),
        (lambda qc: qc.u(0.1, 0.2, 0), TypeError),
        (lambda qc: qc.measure([0, 1], [0]), ValueError),
        (lambda qc: qc.measure([0], [5]), ValueError),
        (lambda qc: qc.delay(-1.0, [0]), ValueError),
        (lambda qc: qc.delay(float("nan"), [0]), ValueError),
        (lambda qc: qc.append_gate("nope", 0), ValueError),
    ],
)
def test_bad_arguments_are_rejected_before_anything_is_appended(build, error):
    qc = QuantumCircuit(2, 1)
    with pytest.raises(error):
        build(qc)
    assert qc.gates == []


def test_deepcopy_is_independent():
    qc = QuantumCircuit(2, 2).measure([0], [0])
    other = qc.deepcopy()
    other.gates[0][1].append(1)
    other.gates.append(("x", 0))
    assert qc.gates == [("measure", [0], [0])]


def test_builder_names_are_unique_deterministic_and_apart_from_pass_names():
    qc = QuantumCircuit(3, 0).h(0).cx(0, 2).x(0)
    nodes, _ = convert_gate_info_to_dag_info(3, qc.qubits, qc.gates, show_qubits=True)
    assert [n for n, _ in nodes] == ["h_0_q0", "cx_1_q0_q2", "x_2_q0"]
    nodes, _ = convert_gate_info_to_dag_info(3, qc.qubits, qc.gates, show_qubits=False)
    assert [n for n, _ in nodes] == ["h_0", "cx_1", "x_2"]
    # Pass-made names always have a bracketed third field.
    assert all(n.count("_") < 2 or not n.split("_", 2)[2].startswith("[") for n, _ in nodes)


@pytest.mark.parametrize(
    "entry, name, attrs",
    [
        (("barrier", ()), "barrier_0_q", {"qubits": []}),
        (("cx", "a", "b"), "cx_0_qa_qb", {"qubits": ["a", "b"]}),
        (("h", 2**70), f"h_0_q{2**70}", {"qubits": [2**70]}),
        (("h", True), "h_0_qTrue", {"qubits": [True]}),
        (("rx", 0.5, -3), "rx_0_q-3", {"qubits": [-3], "params": [0.5]}),
        (["u", 0.1, 0.2, 0.3, 1], "u_0_q1", {"qubits": [1], "params": [0.1, 0.2, 0.3]}),
        (("measure", [1, 0], (0, 1)), "measure_0_q1_q0", {"qubits": [1, 0], "cbits": [0, 1]}),
    ],
)
def test_node_names_and_attributes_of_every_entry_shape(entry, name, attrs):
    nodes, _ = convert_gate_info_to_dag_info(3, [0, 1, 2], [("x", 0), entry], show_qubits=True)
    assert nodes[1] == (name.replace("_0_", "_1_"), attrs)


def test_a_qubit_whose_text_fails_fails_the_build_only_when_names_show_qubits():
    class Unprintable(int):
        def __str__(self):
            raise LookupError("no text")

    gates = [("h", 0), ("cx", 0, Unprintable(1)), ("x", 5)]
    with pytest.raises(LookupError):
        convert_gate_info_to_dag_info(2, [0, 1], gates, show_qubits=True)
    nodes, _ = convert_gate_info_to_dag_info(2, [0, 1], gates, show_qubits=False)
    assert [n for n, _ in nodes] == ["h_0", "cx_1", "x_2"]


@pytest.mark.parametrize(
    "gates, error",
    [
        ([("h",)], ValueError),
        ([("nope", 0)], ValueError),
        ([("my_gate", 0)], ValueError),
        ([(3, 0)], TypeError),
        (["h"], TypeError),
        ([("cx", 0)], ValueError),
        ([()], ValueError),
    ],
)
def test_builder_rejects_entries_that_are_not_gate_entries(gates, error):
    with pytest.raises(error):
        convert_gate_info_to_dag_info(1, [0], gates, show_qubits=False)


def test_builder_copies_lists_so_the_graph_never_aliases_the_circuit():
    entry = ("measure", [0], [0])
    nodes, _ = convert_gate_info_to_dag_info(1, [0], [entry], show_qubits=False)
    attrs = nodes[0][1]
    assert attrs == {"qubits": [0], "cbits": [0]}
    assert attrs["qubits"] is not entry[1] and attrs["cbits"] is not entry[2]


def test_builder_treats_equal_qubits_as_one():
    _, edges = convert_gate_info_to_dag_info(
        2, [0, 1], [("x", 1), ("x", True), ("cx", 1.0, 0)], show_qubits=False
    )
    assert edges == [("x_0", "x_1", {"qubit": [True]}), ("x_1", "cx_2", {"qubit": [1.0]})]


def test_conveniences():
    import pickle

    qc = QuantumCircuit(3, 1).h(0).cx(0, 1).h(2).barrier().x(0).measure([0], [0])
    assert len(qc) == 6
    assert repr(qc) == "QuantumCircuit(nqubits=3, ncbits=1, gates=6)"
    assert qc.count_ops() == {"h": 2, "cx": 1, "barrier": 1, "x": 1, "measure": 1}
    assert qc.depth() == 4
    assert QuantumCircuit(2, 0).depth() == 0
    copy_ = pickle.loads(pickle.dumps(qc))
    assert copy_ == qc and copy_ is not qc
    copy_.x(1)
    assert copy_ != qc
    with pytest.raises(TypeError):
        hash(qc)


@pytest.mark.parametrize(
    "build, words",
    [
        (lambda qc: qc.delay(1e-9, []), "delay needs at least one qubit, got qubits=[]"),
        (lambda qc: qc.barrier(()), "barrier needs at least one qubit, got qubits=()"),
        (lambda qc: qc.measure([], []), "measure needs at least one qubit, got qubits=[]"),
        (
            lambda qc: qc.rx(10**400, 0),
            "rx parameter must be a finite number, got one too large for a float (int)",
        ),
        (lambda qc: qc.u(0.1, Fraction(10**400), 0.2, 1), "u parameter must be a finite"),
        (lambda qc: qc.rzz(math.nan, 0, 1), "rzz parameter must be a finite number, got nan"),
        (lambda qc: qc.cp(-math.inf, 0, 1), "cp parameter must be a finite number, got -inf"),
        (
            lambda qc: qc.delay(10**400, [0]),
            "delay duration must be a finite number, got one too large",
        ),
        (lambda qc: qc.delay(math.inf, [0]), "delay duration must be a finite number, got inf"),
        (lambda qc: qc.delay(-1e-9, [0]), "delay duration must be a finite non-negative"),
    ],
)
def test_builders_refuse_what_the_writers_refuse(build, words):
    qc = QuantumCircuit(2, 2).h(0)
    with pytest.raises(ValueError) as err:
        build(qc)
    assert words in str(err.value)
    assert qc.gates == [("h", 0)]


def test_every_qubit_of_no_qubits_appends_nothing_the_writers_refuse():
    qc = QuantumCircuit(0, 1).barrier().delay(1e-9)
    assert qc.gates == []
    assert "barrier" not in qc.to_qasm() and "delay" not in qc.to_qasm(version=3)
