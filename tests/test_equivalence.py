"""corvane.circuit.unitary / equivalent, and the circuit conveniences they check:
inverse, compose, copy."""

import copy
import subprocess
import sys

import numpy as np
import pytest
from conftest import (
    ONE_QUBIT,
    ONE_QUBIT_PARAMETER,
    THREE_QUBIT,
    TWO_QUBIT,
    TWO_QUBIT_PARAMETER,
    random_circuit,
)
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st
from test_hostile import EXPECTED, Boom, entries

from corvane.circuit import DynamicalDecoupling, GateCompressor, QuantumCircuit, equivalent, unitary
from corvane.circuit.matrix import gate_matrix_dict

RNG = np.random.default_rng(2026)
ARITY = {
    **{n: 1 for n in ONE_QUBIT},
    **{n: 2 for n in TWO_QUBIT},
    **{n: 3 for n in THREE_QUBIT},
    **{n: 1 for n in ONE_QUBIT_PARAMETER},
    **{n: 2 for n in TWO_QUBIT_PARAMETER},
}
NPARAMS = {**ONE_QUBIT_PARAMETER, **TWO_QUBIT_PARAMETER}
# (name, parameters) of every gate of the set, with fixed random angles.
GATES = [(name, tuple(RNG.uniform(-4, 4, NPARAMS.get(name, 0)))) for name in ARITY]


def gate_matrix(name, params):
    entry = gate_matrix_dict[name]
    return entry(*params) if params else entry


def embed(matrix, qubits, nqubits):
    """Reference: the full matrix of a gate on `qubits`, by numpy tensor contraction."""
    k = len(qubits)
    # Axis j of a reshaped index is bit nqubits-1-j, so qubit q is axis nqubits-1-q.
    gate = matrix.reshape([2] * (2 * k))  # axes: out bits k-1..0, in bits k-1..0
    full = np.eye(2**nqubits, dtype=complex).reshape([2] * (2 * nqubits))
    out_axes = [nqubits - 1 - q for q in reversed(qubits)]
    result = np.tensordot(gate, full, axes=(list(range(k, 2 * k)), out_axes))
    # tensordot puts the gate's output axes first; move them back into place.
    return np.moveaxis(result, list(range(k)), out_axes).reshape(2**nqubits, 2**nqubits)


def reference_unitary(qc):
    u = np.eye(2**qc.nqubits, dtype=complex)
    for entry in qc.gates:
        if entry[0] in ("barrier", "delay"):
            continue
        n = ARITY[entry[0]]
        u = embed(gate_matrix(entry[0], entry[1:-n]), list(entry[-n:]), qc.nqubits) @ u
    return u


@pytest.mark.parametrize("name, params", GATES)
def test_gate_on_its_qubits_in_order_is_the_matrix_module_matrix(name, params):
    qc = QuantumCircuit(ARITY[name]).append_gate(name, *params, *range(ARITY[name]))
    np.testing.assert_array_equal(unitary(qc), gate_matrix(name, params))


@pytest.mark.parametrize("name, params", GATES)
def test_gate_on_scattered_qubits_matches_the_tensor_reference(name, params):
    qubits = [3, 0, 2][: ARITY[name]]
    qc = QuantumCircuit(4).append_gate(name, *params, *qubits)
    np.testing.assert_allclose(unitary(qc), embed(gate_matrix(name, params), qubits, 4), atol=1e-14)


def test_bit_k_of_the_index_is_qubit_k():
    u = unitary(QuantumCircuit(3).x(1))
    assert u[0b010, 0] == 1 and u[0b000, 0b010] == 1


@pytest.mark.parametrize("seed", range(4))
def test_random_circuit_matches_the_product_of_embedded_gates(seed):
    qc = random_circuit(seed, ngates=60, nqubits=4, functional=False).barrier().delay(1e-8, [1])
    np.testing.assert_allclose(unitary(qc), reference_unitary(qc), atol=1e-12)


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda qc: qc.measure(0, 0), "'measure'"),
        (lambda qc: qc.reset(1), "'reset'"),
        (lambda qc: qc.gates.append(("myx", 0)), "no matrix for gate 'myx'"),
        (lambda qc: qc.gates.append(("rx", 0)), "no matrix for gate 'rx'"),
        (lambda qc: qc.gates.append(("cx", 1, 1)), "no matrix for gate 'cx'"),
    ],
)
def test_operations_without_a_matrix_raise_value_error(build, message):
    qc = QuantumCircuit(2, 1).h(0)
    build(qc)
    with pytest.raises(ValueError, match=message):
        unitary(qc)


def test_too_many_qubits_is_refused_before_any_allocation():
    with pytest.raises(ValueError, match="at most 12 qubits"):
        unitary(QuantumCircuit(40))


# ---- equivalent ----------------------------------------------------------------


def test_global_phase_is_ignored_only_when_asked():
    # rz(t) = exp(-i t/2) p(t)
    a, b = QuantumCircuit(1).rz(0.7, 0), QuantumCircuit(1).p(0.7, 0)
    assert equivalent(a, b)
    assert not equivalent(a, b, up_to_global_phase=False)
    assert equivalent(a, a.copy(), up_to_global_phase=False)


def test_atol_bounds_each_entry_and_different_widths_are_not_equivalent():
    a, b = QuantumCircuit(1).rz(0.0, 0), QuantumCircuit(1).rz(2e-6, 0)
    assert not equivalent(a, b, up_to_global_phase=False)
    assert equivalent(a, b, up_to_global_phase=False, atol=2e-6)
    assert not equivalent(QuantumCircuit(1), QuantumCircuit(2))


@pytest.mark.parametrize(
    "atol, error",
    [
        (-1e-3, ValueError),
        (float("nan"), ValueError),
        (float("inf"), ValueError),
        ("1e-3", TypeError),
    ],
)
def test_bad_tolerance_is_refused(atol, error):
    with pytest.raises(error):
        equivalent(QuantumCircuit(1), QuantumCircuit(1), atol=atol)


@pytest.mark.parametrize("seed", range(3))
def test_passes_keep_the_circuit_meaning(seed):
    qc = random_circuit(seed, ngates=80, nqubits=4, functional=False)
    assert equivalent(GateCompressor().run(qc), qc, atol=1e-7)
    dd = DynamicalDecoupling(2e-8, 5e-8)
    for sequence in ("XY4", "CPMG"):
        assert equivalent(dd.run(qc, sequence=sequence), qc, atol=1e-12)


# ---- inverse / compose / copy ------------------------------------------------


@pytest.mark.parametrize("name, params", GATES)
def test_inverse_of_every_gate_undoes_it_exactly(name, params):
    qubits = [2, 0, 1][: ARITY[name]]
    qc = QuantumCircuit(3).append_gate(name, *params, *qubits)
    np.testing.assert_allclose(unitary(qc.compose(qc.inverse())), np.eye(8), atol=1e-14)


def test_inverse_reverses_order_and_keeps_barriers_and_delays():
    qc = QuantumCircuit(2).h(0).barrier().s(1).delay(1e-8, 0).cx(0, 1)
    assert qc.inverse().gates == [
        ("cx", 0, 1),
        ("delay", 1e-8, (0,)),
        ("sdg", 1),
        ("barrier", (0, 1)),
        ("h", 0),
    ]
    assert qc.gates[2] == ("s", 1)


@pytest.mark.parametrize(
    "build",
    [lambda qc: qc.measure(0, 0), lambda qc: qc.reset(0), lambda qc: qc.gates.append(("myx", 0))],
)
def test_inverse_refuses_what_it_cannot_undo(build):
    qc = QuantumCircuit(1, 1).h(0)
    build(qc)
    with pytest.raises(ValueError):
        qc.inverse()


def test_compose_maps_qubits_and_classical_bits():
    inner = QuantumCircuit(2, 1).rzz(0.5, 0, 1).barrier().delay(1e-8, 1).measure(1, 0).reset(0)
    outer = QuantumCircuit(3, 2).h(2)
    out = outer.compose(inner, qubits=[2, 0])
    assert out.gates == [
        ("h", 2),
        ("rzz", 0.5, 2, 0),
        ("barrier", (2, 0)),
        ("delay", 1e-8, (0,)),
        ("measure", [0], [0]),
        ("reset", 2),
    ]
    assert outer.gates == [("h", 2)] and len(inner) == 5
    assert outer.compose(inner).gates[1] == ("rzz", 0.5, 0, 1)


@pytest.mark.parametrize(
    "other, qubits, error",
    [
        (QuantumCircuit(4), None, ValueError),
        (QuantumCircuit(2), [0], ValueError),
        (QuantumCircuit(2), [0, 0], ValueError),
        (QuantumCircuit(2), [0, 3], ValueError),
        (QuantumCircuit(1, 3), None, ValueError),
        ("not a circuit", None, TypeError),
    ],
)
def test_compose_refuses_bad_sizes_and_mappings(other, qubits, error):
    with pytest.raises(error):
        QuantumCircuit(3, 2).compose(other, qubits)


@pytest.mark.parametrize("make_copy", [QuantumCircuit.copy, copy.copy])
def test_copies_have_their_own_gate_and_qubit_lists(make_copy):
    class Labelled(QuantumCircuit):
        pass

    qc = Labelled(2).h(0)
    qc.label = "bell"
    dup = make_copy(qc)
    dup.cx(0, 1)
    dup.qubits.append(7)
    assert qc.gates == [("h", 0)] and qc.qubits == [0, 1]
    assert type(dup) is Labelled and dup.label == "bell"


def test_package_exports_load_without_matplotlib():
    code = (
        "import sys\n"
        "from corvane.circuit import (QuantumCircuit, GateCompressor, DynamicalDecoupling,\n"
        "    qc2dag, dag2qc, unitary, equivalent)\n"
        "print(QuantumCircuit(1).h(0))\n"
        "assert 'matplotlib' not in sys.modules, 'matplotlib was imported'\n"
    )
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode == 0, result.stderr


@settings(
    max_examples=300, deadline=None, derandomize=True, suppress_health_check=list(HealthCheck)
)
@given(gates=st.lists(entries, max_size=6))
def test_any_gate_list_gives_a_result_or_an_exception_and_stays_as_it_was(gates):
    qc = QuantumCircuit(3, 3)
    qc.gates = gates
    before = repr(gates)
    for call in (lambda: unitary(qc), qc.inverse, lambda: qc.compose(qc), lambda: qc.draw(fold=0)):
        try:
            call()
        except EXPECTED + (Boom,):
            pass
    assert repr(gates) == before
