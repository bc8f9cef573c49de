"""Pickles of circuits: the compact layout, its fallbacks, and pickles of earlier versions."""

import copy
import os
import pickle

import pytest
from conftest import random_circuit
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.circuit._packing import pack_gates, unpack_gates
from corvane.circuit.quantumcircuit import QuantumCircuit

DATA = os.path.join(os.path.dirname(__file__), "data")


def roundtrip(qc, protocol=pickle.HIGHEST_PROTOCOL):
    return pickle.loads(pickle.dumps(qc, protocol))


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
@pytest.mark.parametrize("seed", range(4))
def test_circuits_come_back_equal(seed, protocol):
    qc = random_circuit(seed, ngates=200, nqubits=1 + seed)
    back = roundtrip(qc, protocol)
    assert type(back) is QuantumCircuit and back == qc
    assert [type(e) for e in back.gates] == [type(e) for e in qc.gates]
    assert vars(back).keys() == vars(qc).keys()


class Named(QuantumCircuit):
    pass


@pytest.mark.parametrize(
    "gates",
    [
        [("x", 0), ["x", 1]],  # an entry given as a list stays a list
        [("x", True)],  # bools stay bools
        [("x", 2**70)],  # ints beyond 64 bits
        [("rz", 1.5, 0), ("barrier", (0, 2**64))],
        [(1, 0)],  # a name that is not a str
        [()],
        [("delay", 1e-8, ("a",))],
        (("x", 0),),  # a gate list that is not a list
    ],
)
def test_entries_the_layout_does_not_hold_pickle_as_they_are(gates):
    qc = QuantumCircuit(3)
    qc.gates = list(gates) if isinstance(gates, list) else gates
    back = roundtrip(qc)
    assert back.gates == qc.gates and type(back.gates) is type(qc.gates)
    assert [type(x) for e in back.gates for x in e] == [type(x) for e in qc.gates for x in e]


def test_exact_values_survive():
    qc = QuantumCircuit(2, 2)
    qc.gates = [
        ("rz", -0.0, 0),
        ("rx", float("nan"), 1),
        ("ry", float("inf"), 0),
        ("x", -(2**63)),
        ("x", 2**63 - 1),
        ("measure", [0, 1], [1, 0]),
        ("delay", 5e-324, ()),
        ("ünicode_gate", 0),
    ]
    back = roundtrip(qc)
    assert repr(back.gates) == repr(qc.gates)
    assert str(back.gates[0][1]) == "-0.0"
    assert type(back.gates[5][1]) is list


def test_subclasses_and_extra_attributes_are_kept():
    qc = Named(2)
    qc.cx(0, 1)
    qc.label = "bell"
    back = roundtrip(qc)
    assert type(back) is Named and back == qc and back.label == "bell"


class OwnState(QuantumCircuit):
    def __getstate__(self):
        return dict(self.__dict__, saved=True)

    def __setstate__(self, state):
        self.__dict__.update(state, restored=True)


@pytest.mark.parametrize("copier", [roundtrip, copy.deepcopy], ids=["pickle", "deepcopy"])
def test_a_subclass_with_its_own_state_methods_keeps_them(copier):
    qc = OwnState(1)
    qc.h(0)
    back = copier(qc)
    assert type(back) is OwnState and back == qc and back.saved and back.restored


def test_deepcopy_keeps_shared_objects_shared():
    qc = QuantumCircuit(2)
    shared = [0, 1]
    qc.gates = [("measure", shared, [0]), ("measure", shared, [1])]
    new = copy.deepcopy(qc)
    assert new == qc and new.gates[0][1] is new.gates[1][1] is not shared


def test_pickles_of_earlier_versions_load():
    # Written by the version before the compact layout, which pickled the
    # instance's attributes as they are.
    with open(os.path.join(DATA, "circuit_before_layouts.pickle"), "rb") as f:
        old = pickle.load(f)
    assert old == random_circuit(2026, ngates=60, nqubits=4)


def test_pickles_of_layout_1_load():
    with open(os.path.join(DATA, "circuit_layout_1.pickle"), "rb") as f:
        old = pickle.load(f)
    qc = random_circuit(2026, ngates=60, nqubits=4)
    assert old.gates[:60] == qc.gates and old.qubits == qc.qubits
    assert old.gates[60:] == qc.gates[:2] and old.gates[60] is old.gates[0]


def test_shared_objects_stay_shared_as_pickle_keeps_them():
    qc = QuantumCircuit(2)
    pulse, qubits = ("x", 0), [0, 1]
    qc.gates = [pulse, ("measure", qubits, [0]), pulse, ("measure", qubits, [1])]
    back = roundtrip(qc)
    assert back == qc and back.gates[0] is back.gates[2]
    assert back.gates[1][1] is back.gates[3][1]


def test_a_later_layout_is_refused_with_a_clear_error():
    _, (layout, cls, state) = QuantumCircuit(1).__reduce__()
    from corvane.circuit.quantumcircuit import _from_pickle

    with pytest.raises(ValueError, match="newer version"):
        _from_pickle(layout + 1, cls, state)


@pytest.mark.parametrize("data", [b"", b"\x01", b"\x01\x01x\x01\x00\x01\x09", b"\xff" * 12])
def test_corrupt_bytes_raise(data):
    with pytest.raises(ValueError, match="corrupt"):
        unpack_gates(data)


ints = st.integers(-(2**63), 2**63 - 1)
items = st.one_of(
    ints,
    st.floats(allow_nan=False),
    st.tuples(ints, ints),
    st.lists(ints, max_size=3),
    st.booleans(),
    st.integers(2**63, 2**80),
)
entries = st.builds(
    lambda name, rest: (name, *rest), st.sampled_from(["x", "cx", "rz", "delay"]), st.lists(items)
)


@settings(max_examples=200, deadline=None)
@given(st.lists(entries, max_size=20))
def test_packed_gates_equal_the_generic_pickle(gates):
    qc = QuantumCircuit(2)
    qc.gates = gates
    assert roundtrip(qc).gates == pickle.loads(pickle.dumps(gates))
    packed = pack_gates(gates)
    if packed is not None:
        assert unpack_gates(packed) == gates
