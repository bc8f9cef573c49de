"""The file road's per-circuit figures against the circuit model's own definitions."""

import glob
import os
from collections import Counter

import pytest
from conftest import random_circuit

from corvane.circuit import qasm
from corvane.circuit.files import _circuit_figures
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.quantumcircuit_helpers import (
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)
from corvane.circuit.schedule import DynamicalDecoupling
from corvane.circuit.timeline import schedule_times

T1G, T2G = 2e-8, 5e-8
PROGRAMS = sorted(glob.glob(os.path.join(os.path.dirname(__file__), "qasm", "*.qasm")))


def expected_figures(qc, durations):
    counts = Counter(entry[0] for entry in qc.gates)
    two = sum(
        entry[0] in two_qubit_gates_available or entry[0] in two_qubit_parameter_gates_available
        for entry in qc.gates
    )
    times = schedule_times(qc, *(durations or (0.0, 0.0)))
    length = 0.0
    for start, duration, _ in times:
        length = max(length, start + duration)
    return dict(counts), two, qc.depth(), length


def assert_same_figures(qc, durations):
    counts, two, depth, length = _circuit_figures(qc, durations)
    want_counts, want_two, want_depth, want_length = expected_figures(qc, durations)
    assert counts == want_counts
    assert list(counts.values()) == sorted(counts.values(), reverse=True)
    assert (two, depth) == (want_two, want_depth)
    assert length == want_length  # bit for bit: the same sums in the same order


def decoupled(qc):
    return DynamicalDecoupling(T1G, T2G).run(GateCompressor().run(qc))


@pytest.mark.parametrize("seed", range(12))
@pytest.mark.parametrize("durations", [None, (T1G, T2G)])
@pytest.mark.parametrize("conditional", [False, True])
def test_random_circuits(seed, durations, conditional):
    qc = random_circuit(seed, ngates=300, nqubits=1 + seed % 6, conditional=conditional)
    assert_same_figures(qc, durations)
    assert_same_figures(decoupled(qc), durations)


@pytest.mark.parametrize("path", PROGRAMS, ids=os.path.basename)
def test_shipped_programs(path):
    with open(path, encoding="utf-8") as f:
        qc = qasm.loads(f.read())
    assert_same_figures(qc, None)
    assert_same_figures(decoupled(qc), (T1G, T2G))


@pytest.mark.parametrize(
    "gates",
    [
        [],
        [("barrier", (0, 1, 2))],
        [("x", 0), ("barrier", [0, 1]), ("delay", 3, (1,)), ("cx", 1, 0)],
        [("delay", 2**80, (0,))],  # an int duration adds as the host's float does
        [("measure", [0, 1], [0, 1]), ("rz", 0.5, 1), ("rzz", 0.1, 1, 0)],
        [("h", "a"), ("cx", "a", 3), ("x", True), ("y", 1.0)],  # dict-equal qubits share a clock
    ],
)
def test_edge_entries(gates):
    qc = QuantumCircuit(4, 2)
    qc.gates = list(gates)
    assert_same_figures(qc, (T1G, 5))  # an int t2g too


def test_a_delay_that_is_not_a_number_raises_as_the_sum_would():
    qc = QuantumCircuit(1)
    qc.gates = [("delay", "long", (0,))]
    with pytest.raises(TypeError):
        _circuit_figures(qc, (T1G, T2G))
