"""corvane.circuit.unitary / equivalent, and the circuit conveniences they check:
inverse, compose, copy."""

import copy
import subprocess
import sys
import threading

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

from corvane.circuit import (
    DynamicalDecoupling,
    GateCompressor,
    QuantumCircuit,
    equivalent,
    statevector,
    unitary,
)
from corvane.circuit.equivalence import _program, _state_distance, distance
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


def test_atol_bounds_the_distance_and_different_widths_are_not_equivalent():
    # rz(2e-6) moves every input state by |exp(1e-6 i) - 1| = 1e-6.
    a, b = QuantumCircuit(1).rz(0.0, 0), QuantumCircuit(1).rz(2e-6, 0)
    assert not equivalent(a, b, up_to_global_phase=False, atol=0.9e-6)
    assert equivalent(a, b, up_to_global_phase=False, atol=1.1e-6)
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


# ---- terminal measurements and refusals ---------------------------------------


def test_terminal_measurements_are_compared_as_bits_and_left_out_of_the_unitary():
    body = QuantumCircuit(3, 3).h(0).cx(0, 1).rz(0.4, 2)
    measured = body.copy().measure([0, 1], [0, 1]).barrier().delay(1e-8, [0])
    np.testing.assert_array_equal(
        unitary(measured, ignore_terminal_measurements=True), unitary(body)
    )
    assert equivalent(measured, GateCompressor().run(measured))
    same_bits_other_order = body.copy().measure(1, 1).measure(0, 0)
    assert equivalent(measured, same_bits_other_order)
    swapped_bits = body.copy().measure([0, 1], [1, 0])
    assert not equivalent(measured, swapped_bits)
    assert not equivalent(measured, body)  # one measures, the other does not


@pytest.mark.parametrize(
    "build, message",
    [
        (lambda qc: qc.measure(0, 0).x(0), "gate 1 is a mid-circuit 'measure': gate 2 acts on"),
        (lambda qc: qc.measure([1, 0], [0, 1]).barrier().cz(1, 0), "gate 1 is a mid-circuit"),
        (lambda qc: qc.reset(1).measure(1, 0), "gate 1 is 'reset'"),
        (
            lambda qc: qc.gates.append(("if", (0,), 1, (("x", 1),), ())),
            r"gate 1 is a conditional \('if'\)",
        ),
        (lambda qc: qc.measure(1, 0).gates.append(("myx", 0)), "gate 2: no matrix for gate 'myx'"),
    ],
)
def test_what_has_no_unitary_is_refused_naming_the_first_such_entry(build, message):
    qc = QuantumCircuit(2, 2).h(0)
    build(qc)
    for call in (
        lambda: unitary(qc, ignore_terminal_measurements=True),
        lambda: statevector(qc, ignore_terminal_measurements=True),
    ):
        with pytest.raises(ValueError, match=message):
            call()


def test_terminal_measurement_needs_the_keyword():
    with pytest.raises(ValueError, match="gate 1 is 'measure'.*ignore_terminal_measurements"):
        unitary(QuantumCircuit(1, 1).h(0).measure(0, 0))


# ---- statevector ----------------------------------------------------------------


@pytest.mark.parametrize("nqubits, seed", [(1, 0), (4, 1), (9, 2), (15, 3), (17, 4)])
def test_statevector_matches_the_peer_statevector(nqubits, seed):
    quantum_info = pytest.importorskip("qiskit.quantum_info")
    from corvane.circuit.interop import to_qiskit

    qc = random_circuit(seed, ngates=150, nqubits=nqubits, functional=False)
    expected = quantum_info.Statevector(to_qiskit(qc)).data
    np.testing.assert_allclose(statevector(qc), expected, atol=1e-12)


def test_statevector_of_an_initial_state_is_the_unitary_applied_to_it():
    qc = random_circuit(8, ngates=80, nqubits=5, functional=False).measure(2, 0)
    initial = RNG.standard_normal(64).view(complex)
    kept = initial.copy()
    out = statevector(qc, initial.reshape(32, 1), ignore_terminal_measurements=True)
    assert out.shape == (32,) and out.dtype == np.complex128
    np.testing.assert_allclose(
        out, unitary(qc, ignore_terminal_measurements=True) @ initial, atol=1e-13
    )
    np.testing.assert_array_equal(initial, kept)
    np.testing.assert_array_equal(statevector(QuantumCircuit(2).x(1)), [0, 0, 1, 0])


@pytest.mark.parametrize(
    "qc, initial, message",
    [
        (QuantumCircuit(27), None, "at most 26 qubits"),
        (QuantumCircuit(2), np.ones(8), "4 amplitudes"),
        (QuantumCircuit(2), np.ones((2, 2)), "4 amplitudes"),
    ],
)
def test_statevector_refuses_what_it_cannot_hold(qc, initial, message):
    with pytest.raises(ValueError, match=message):
        statevector(qc, initial)


def test_statevector_lets_other_threads_run():
    qc = random_circuit(5, ngates=300, nqubits=20, functional=False)
    inside = threading.Event()
    finished = threading.Event()

    def work():
        inside.set()
        statevector(qc)
        finished.set()

    worker = threading.Thread(target=work)
    worker.start()
    inside.wait()
    steps = 0
    while not finished.is_set():
        steps += 1
    worker.join()
    # Holding the GIL for the whole call would leave this thread a few
    # switch intervals (5 ms each) of the call's hundreds of milliseconds.
    assert steps > 100_000


# ---- the distance: one measure at every size -------------------------------------


def qaoa(nqubits, mixer_angles):
    """A two-layer QAOA program on a ring: rzz couplings, rx mixers."""
    qc = QuantumCircuit(nqubits)
    for q in range(nqubits):
        qc.h(q)
    for gamma, beta in zip((0.7, -0.4), mixer_angles):
        for q in range(nqubits):
            qc.rzz(2 * gamma, q, (q + 1) % nqubits)
        for q in range(nqubits):
            qc.rx(2 * beta, q)
    return qc


@pytest.mark.parametrize("nqubits", [4, 10, 14])
def test_one_angle_moved_by_a_hundredth_is_the_same_distance_at_every_size(nqubits):
    good = qaoa(nqubits, (0.3, 0.9))
    faulty = good.copy()
    index = next(k for k, entry in enumerate(faulty.gates) if entry[0] == "rx")
    faulty.gates[index] = ("rx", faulty.gates[index][1] + 0.01, faulty.gates[index][2])
    # rx(e) against the identity: 2 sin(e / 4) on every input state.
    assert distance(good, faulty) == pytest.approx(2 * np.sin(0.01 / 4), rel=0.02)
    assert not equivalent(good, faulty, atol=1e-3)
    assert equivalent(good, faulty, atol=6e-3)
    if nqubits == 10:
        # Entry by entry the unitaries differ by less: entries shrink with the width.
        assert np.abs(unitary(good) - unitary(faulty)).max() < distance(good, faulty) / 2


@pytest.mark.parametrize("seed", range(3))
def test_random_states_estimate_the_distance_the_unitaries_give(seed):
    a = random_circuit(seed, ngates=60, nqubits=8, functional=False)
    b = a.copy()
    b.gates[seed * 7] = ("rz", 0.05, 3) if seed else ("t", 1)
    exact = distance(a, b)
    ops = [_program(qc, ignore_terminal_measurements=True)[0] for qc in (a, b)]
    for phase in (True, False):
        for fuse in (False, True):
            estimate = _state_distance(8, *ops, phase, states=8, seed=seed, fuse=fuse)
            assert estimate == pytest.approx(distance(a, b, phase), rel=0.15)
    assert exact > 0


def test_above_twelve_qubits_random_states_compare_and_find_a_removed_gate():
    qc = random_circuit(9, ngates=300, nqubits=14, functional=False)
    compressed = GateCompressor().run(qc)
    assert equivalent(compressed, qc, atol=1e-9)
    assert equivalent(qc.copy().rz(0.3, 0), qc.copy().p(0.3, 0))  # a global phase
    assert not equivalent(qc.copy().rz(0.3, 0), qc.copy().p(0.3, 0), up_to_global_phase=False)
    missing = qc.copy()
    del missing.gates[150]
    assert not equivalent(missing, qc, atol=1e-3, states=1, seed=5)
    with pytest.raises(ValueError, match="at most 26"):
        equivalent(QuantumCircuit(27), QuantumCircuit(27))
