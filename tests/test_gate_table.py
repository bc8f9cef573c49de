"""The circuit layer's view of the compiled gate table: the categories, the
matrix table and the Qiskit names are made from the same rows."""

import numpy as np
import pytest

from corvane.circuit.matrix import gate_matrix_dict
from corvane.circuit.quantumcircuit_helpers import ENTRY_SHAPES, GATE_ROWS

CATEGORIES = {row.category for row in GATE_ROWS}
MODEL_GATES = [row for row in GATE_ROWS if row.category != "functional_gates_available"]


def test_matrix_table_lists_the_model_gates_in_table_order():
    assert list(gate_matrix_dict) == [row.name for row in MODEL_GATES]


def test_every_functional_operation_has_an_entry_shape():
    functional = [row.name for row in GATE_ROWS if row.category == "functional_gates_available"]
    assert functional and all(name in ENTRY_SHAPES for name in functional)
    # Each other category is one shape for all its gates.
    assert CATEGORIES - {"functional_gates_available"} <= set(ENTRY_SHAPES)


@pytest.mark.parametrize("row", MODEL_GATES, ids=lambda row: row.name)
def test_qiskit_gate_of_each_row_has_its_name_and_matrix(row):
    pytest.importorskip("qiskit")
    from qiskit.circuit import library
    from qiskit.quantum_info import Operator

    params = [0.3, -1.1, 0.8][: row.nparams]
    gate = getattr(library, row.qiskit_class)(*params)
    assert gate.name == row.qiskit_name and gate.num_qubits == row.nqubits
    ours = gate_matrix_dict[row.name]
    ours = ours(*params) if row.nparams else ours
    assert np.allclose(Operator(gate).data, ours)
