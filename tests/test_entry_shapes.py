"""The circuit layer and the native bindings read gate entries from one table
each; the two tables must say the same, and the circuit layer's readers must
follow theirs."""

import pytest

from corvane.circuit._convert import _entry_shapes
from corvane.circuit.dag import dag2qc, qc2dag
from corvane.circuit.entry_transforms import gate_parameters, remap_entry
from corvane.circuit.quantumcircuit import QuantumCircuit, operation_qubits
from corvane.circuit.quantumcircuit_helpers import ENTRY_SHAPES


def test_python_and_native_tables_agree():
    assert {key: tuple(shape) for key, shape in ENTRY_SHAPES.items()} == _entry_shapes()


ENTRIES = [
    ("h", 3),
    ("cx", 0, 2),
    ("ccx", 0, 1, 2),
    ("rx", 0.5, 1),
    ("u", 0.1, 0.2, 0.3, 4),
    ("rzz", 0.7, 2, 0),
    ("measure", [1, 0], [0, 1]),
    ("barrier", (0, 2, 3)),
    ("delay", 1e-7, (2,)),
    ("reset", 1),
]


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda e: e[0])
def test_operation_qubits_and_the_graph_round_trip_agree(entry):
    qc = QuantumCircuit(5, 2)
    qc.gates = [entry]
    dag = qc2dag(qc)
    [(_, data)] = dag.nodes(data=True)
    # The qubits the circuit layer reads are those the native reader puts on the node.
    assert operation_qubits(entry) == data["qubits"]
    assert dag2qc(dag, 5, 2).gates == [entry]


@pytest.mark.parametrize("entry", ENTRIES, ids=lambda e: e[0])
def test_remapping_moves_only_the_bits_the_table_places(entry):
    # The identity map gives the entry back, container types included.
    assert remap_entry(entry, {q: q for q in range(5)}, {0: 0, 1: 1}) == entry
    moved = remap_entry(entry, {q: q + 5 for q in range(5)}, {0: 1, 1: 0})
    assert operation_qubits(moved) == [q + 5 for q in operation_qubits(entry)]
    assert gate_parameters(moved) == gate_parameters(entry)
    assert len(moved) == len(entry)
