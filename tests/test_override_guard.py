"""Every row of a pass's dependency table sends `run` to the generic path:
an override, an instance attribute shadowing a method, or a rebound module
global is called, and the result equals the native path's."""

import networkx
import pytest

from corvane.circuit import dag, optimize, schedule
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.schedule import DynamicalDecoupling

# A pair to merge in every category of the compressor, u included (u_mat and
# u3_decompose), then a few gates left as they are.
PAIRS = [
    ("x", 0),
    ("x", 0),
    ("rx", 0.3, 1),
    ("rx", 0.4, 1),
    ("cx", 0, 2),
    ("cx", 0, 2),
    ("rzz", 0.5, 1, 2),
    ("rzz", 0.1, 1, 2),
    ("ccx", 0, 1, 2),
    ("ccx", 0, 1, 2),
    ("u", 0.1, 0.2, 0.3, 3),
    ("u", 0.3, 0.2, 0.1, 3),
    ("h", 0),
    ("cz", 1, 3),
]


def circuit():
    qc = QuantumCircuit(4, 0)
    qc.gates = list(PAIRS)
    return qc


def counting(function, calls):
    def wrapper(*args, **kwargs):
        calls.append(1)
        return function(*args, **kwargs)

    return wrapper


def snapshot(result, pass_):
    counter = getattr(pass_, "_idx", None) if isinstance(pass_, GateCompressor) else pass_._count
    return result.gates, counter


COMPRESSOR_METHODS = [
    "remove_identity_gates",
    "is_adjacent_gates",
    "has_adjacent_gates",
    "compress_adjacent_single_qubit_gates",
    "compress_adjacent_single_parameter_qubit_gates",
    "compress_adjacent_two_qubit_gates",
    "compress_adjacent_two_qubit_parameter_gates",
    "compress_adjacent_three_qubit_gates",
    "run_compress_once",
]
DECOUPLING_METHODS = ["counter", "_get_max_idle_time", "_update_idle_time"]


def make_pass(cls):
    return cls() if issubclass(cls, GateCompressor) else cls(2e-8, 5e-8)


@pytest.mark.parametrize(
    "base, name",
    [(GateCompressor, m) for m in COMPRESSOR_METHODS]
    + [(DynamicalDecoupling, m) for m in DECOUPLING_METHODS],
)
@pytest.mark.parametrize("how", ["subclass", "instance"])
def test_an_overridden_method_is_called(base, name, how):
    expected_pass = make_pass(base)
    expected = snapshot(expected_pass.run(circuit()), expected_pass)
    calls = []
    if how == "subclass":
        cls = type("Override", (base,), {name: counting(getattr(base, name), calls)})
        pass_ = make_pass(cls)
    else:
        pass_ = make_pass(base)
        setattr(pass_, name, counting(getattr(pass_, name), calls))
    assert snapshot(pass_.run(circuit()), pass_) == expected
    assert calls


def test_an_overridden_serial_property_is_read():
    calls = []
    cls = type(
        "Override", (GateCompressor,), {"idx": property(counting(GateCompressor.idx.fget, calls))}
    )
    expected_pass = GateCompressor()
    expected = snapshot(expected_pass.run(circuit()), expected_pass)
    pass_ = cls()
    assert snapshot(pass_.run(circuit()), pass_) == expected
    assert calls


@pytest.mark.parametrize(
    "module, base, name",
    [
        (optimize, GateCompressor, "qc2dag"),
        (optimize, GateCompressor, "dag2qc"),
        (optimize, GateCompressor, "u3_decompose"),
        (optimize, GateCompressor, "u_mat"),
        (schedule, DynamicalDecoupling, "qc2dag"),
        (schedule, DynamicalDecoupling, "dag2qc"),
    ],
)
def test_a_rebound_global_is_called(monkeypatch, module, base, name):
    expected_pass = make_pass(base)
    expected = snapshot(expected_pass.run(circuit()), expected_pass)
    calls = []
    monkeypatch.setattr(module, name, counting(getattr(module, name), calls))
    pass_ = make_pass(base)
    assert snapshot(pass_.run(circuit()), pass_) == expected
    assert calls


@pytest.mark.parametrize("base", [GateCompressor, DynamicalDecoupling])
@pytest.mark.parametrize("read_first", [True, False], ids=["nx-read", "nx-unread"])
def test_a_digraph_rebound_in_networkx_is_used(monkeypatch, base, read_first):
    # The modules' `nx` is bound when first read; before and after, a DiGraph
    # rebound in networkx itself is what the generic path must build.
    expected_pass = make_pass(base)
    expected = snapshot(expected_pass.run(circuit()), expected_pass)
    calls = []

    class CountingDiGraph(networkx.DiGraph):
        def __init__(self, *args, **kwargs):
            calls.append(1)
            super().__init__(*args, **kwargs)

    for module in (dag, schedule):
        if read_first:
            assert module.nx is networkx
        else:
            monkeypatch.delitem(vars(module), "nx", raising=False)
    monkeypatch.setattr(networkx, "DiGraph", CountingDiGraph)
    pass_ = make_pass(base)
    assert snapshot(pass_.run(circuit()), pass_) == expected
    assert calls


def test_a_module_global_rebound_before_first_use_is_called(monkeypatch):
    calls = []

    class CountingNetworkx:
        def __getattr__(self, name):
            calls.append(name)
            return getattr(networkx, name)

    expected_pass = make_pass(DynamicalDecoupling)
    expected = snapshot(expected_pass.run(circuit()), expected_pass)
    monkeypatch.delitem(vars(dag), "nx", raising=False)
    monkeypatch.setattr(schedule, "nx", CountingNetworkx(), raising=False)
    pass_ = make_pass(DynamicalDecoupling)
    assert snapshot(pass_.run(circuit()), pass_) == expected
    assert "topological_generations" in calls
