"""The unitary and the output state of a circuit, and checks that two circuits
do the same thing.

``unitary`` and ``statevector`` are computed natively, gate by gate, from the
same gate matrices as ``corvane.circuit.matrix`` and the gate-compression pass.

How far apart two circuits are (``distance``, and ``equivalent``'s ``atol``)
is measured in one way at every size: the root-mean-square, over all input
states, of the distance between their output states,

    d(a, b) = min over phi of ||exp(i phi) U_a - U_b||_F / sqrt(2**n)

(phi fixed at 0 when the global phase counts). It does not shrink as
circuits grow: a gate on a few qubits that differs by D from its intended
matrix gives about the same d in a 2- or a 20-qubit circuit. It is at most
the operator norm of the difference, and equal to it when every input state
moves by the same amount, as for one rotation angle moved (``rx(t)`` against
``rx(t + e)``: d = |sin(e / 4)| * 2, about e / 2, whatever the circuit).
Up to ``MAX_QUBITS`` qubits it is computed exactly from the two unitaries;
above, up to ``MAX_STATE_QUBITS``, it is estimated from the output states of
a few seeded random input states (see ``distance``).
"""

import math
from numbers import Integral, Real

import numpy as np

from corvane.circuit._simulate import MAX_QUBITS, MAX_STATE_QUBITS, apply_circuit, circuit_unitary
from corvane.circuit.entry_transforms import entry_cbits, gate_parameters
from corvane.circuit.quantumcircuit import operation_qubits

__all__ = [
    "MAX_QUBITS",
    "MAX_STATE_QUBITS",
    "unitary",
    "statevector",
    "distance",
    "equivalent",
    "check_transpiled",
]

# Operations that leave the state unchanged: they only order or time the gates.
_IDENTITY_OPERATIONS = frozenset(("barrier", "delay"))
# The default tolerance of check_transpiled, in the distance d above. The
# compressor drops a rotation within numpy's default allclose of the identity
# (rz(t) for |t| up to about 2e-5), each moving d by at most about 1e-5, so a
# compressed 27-qubit QFT (about 45 such rotations, most far smaller) stays
# near 1e-4; one rx angle moved by 0.01 gives d = 5e-3, and a gate removed
# far more.
CHECK_ATOL = 1e-3
# Random input states of the state check, and their seed.
CHECK_STATES = 4
CHECK_SEED = 2026


class Unsupported(ValueError):
    """A circuit entry that neither the unitary nor the state vector can hold.

    ``reason`` says what it is in a few words ("mid-circuit measurement",
    "reset"), ``index`` is the entry's position in ``qc.gates``."""

    def __init__(self, message, reason, index):
        super().__init__(message)
        self.reason = reason
        self.index = index


def _program(qc, ignore_terminal_measurements):
    """The operations of ``qc`` for the native code, (entry index, name,
    parameters, qubits) in program order, and the terminal measurements as a
    dict from classical bit to the qubit whose result it ends up holding.

    A measurement is terminal when no later entry other than a barrier or a
    delay acts on any of its qubits."""
    gates = qc.gates
    last_use = {}
    for index, entry in enumerate(gates):
        if entry[0] not in _IDENTITY_OPERATIONS:
            for q in operation_qubits(entry):
                last_use[q] = index
    operations, measured = [], {}
    for index, entry in enumerate(gates):
        name = entry[0]
        if name in _IDENTITY_OPERATIONS:
            continue
        qubits = operation_qubits(entry)
        if name == "reset":
            raise Unsupported(
                f"gate {index} is 'reset', which is not unitary and has no matrix", "reset", index
            )
        if name == "if":
            raise Unsupported(
                f"gate {index} is a conditional ('if'): what it does depends on classical bits, "
                "so it has no unitary matrix",
                "conditional",
                index,
            )
        if name == "measure":
            later = [q for q in qubits if last_use[q] != index]
            if later:
                q = later[0]
                raise Unsupported(
                    f"gate {index} is a mid-circuit 'measure': gate {last_use[q]} acts on its "
                    f"qubit {q} afterwards, and a measurement has no unitary matrix",
                    "mid-circuit measurement",
                    index,
                )
            if not ignore_terminal_measurements:
                raise Unsupported(
                    f"gate {index} is 'measure', which has no unitary matrix (pass "
                    "ignore_terminal_measurements=True to leave out measurements at the end)",
                    "measurement",
                    index,
                )
            cbits = entry_cbits(entry)
            if len(cbits) != len(qubits):
                raise ValueError(
                    f"gate {index}: measure of {len(qubits)} qubits into {len(cbits)} bits"
                )
            measured.update(zip(cbits, qubits))
            continue
        operations.append((index, name, gate_parameters(entry), qubits))
    return operations, measured


def unitary(qc, *, ignore_terminal_measurements=False):
    """Return the unitary matrix of a circuit.

    Bit k (value 2**k) of a row or column index is the state of qubit k, as
    in the gate matrices of ``corvane.circuit.matrix``: for two qubits the
    index is ``q0 + 2 * q1``, and a gate A on qubit 0 followed by B on qubit 1
    gives ``np.kron(B, A)``. Barriers and delays count as the identity.

    Args:
        qc (QuantumCircuit): The circuit, of at most ``MAX_QUBITS`` (12) qubits.
        ignore_terminal_measurements (bool): Leave out the measurements after
            which nothing but barriers and delays acts on their qubits: the
            result is the unitary of what comes before them.

    Returns:
        np.ndarray: complex128 array of shape (2**nqubits, 2**nqubits).

    Raises:
        ValueError: If the circuit has more than ``MAX_QUBITS`` qubits, or holds
            a reset, a mid-circuit measurement, a terminal one unless they are
            ignored, or a gate with no matrix (an unknown name, or the wrong
            number of parameters or qubits for its name); the message names
            the first such entry by its index in ``qc.gates``.
    """
    if qc.nqubits > MAX_QUBITS:
        raise ValueError(
            f"unitary() takes circuits of at most {MAX_QUBITS} qubits "
            f"(a {qc.nqubits}-qubit unitary has {4**qc.nqubits} entries)"
        )
    operations, _ = _program(qc, ignore_terminal_measurements)
    return circuit_unitary(qc.nqubits, operations)


def statevector(qc, initial=None, *, ignore_terminal_measurements=False):
    """Return the state a circuit leaves, starting from ``initial``.

    Amplitudes are indexed as the rows of ``unitary``: bit k (value 2**k) of
    an index is the state of qubit k, so ``statevector(qc, v)`` equals
    ``unitary(qc) @ v``. Barriers and delays count as the identity. The work
    runs natively without the GIL and stops on Ctrl-C within milliseconds.

    Memory: the result, 16 * 2**nqubits bytes (16 MiB at 20 qubits, 1 GiB at
    26), plus 256 KiB of working space.

    Args:
        qc (QuantumCircuit): The circuit, of at most ``MAX_STATE_QUBITS`` (26)
            qubits.
        initial (array-like | None): The input state, 2**nqubits complex
            amplitudes (a flat array or a column); it is copied, not changed,
            and need not be normalised (the circuit acts linearly). None is
            the state with every qubit 0.
        ignore_terminal_measurements (bool): As for ``unitary``.

    Returns:
        np.ndarray: a new complex128 array of shape (2**nqubits,).

    Raises:
        ValueError: If the circuit has more than ``MAX_STATE_QUBITS`` qubits,
            ``initial`` has another number of amplitudes, or the circuit holds
            an entry that ``unitary`` refuses.
    """
    n = qc.nqubits
    if n > MAX_STATE_QUBITS:
        raise ValueError(
            f"statevector() takes circuits of at most {MAX_STATE_QUBITS} qubits "
            f"(a {n}-qubit state takes {16 * 2**n / 2**30:.0f} GiB)"
        )
    operations, _ = _program(qc, ignore_terminal_measurements)
    if initial is None:
        state = np.zeros(2**n, dtype=np.complex128)
        state[0] = 1
    else:
        state = np.array(initial, dtype=np.complex128, order="C")
        if state.size != 2**n or state.ndim > 2 or (state.ndim == 2 and state.shape[1] != 1):
            raise ValueError(
                f"initial must hold {2**n} amplitudes for {n} qubits, got shape {state.shape}"
            )
        state = state.reshape(2**n)
    apply_circuit(n, operations, state)
    return state


def _check_tolerance(atol):
    if isinstance(atol, bool) or not isinstance(atol, Real):
        raise TypeError(f"atol must be a real number, got {type(atol).__name__}")
    if not 0 <= atol < float("inf"):
        raise ValueError(f"atol must be a finite non-negative number, got {atol!r}")


def _unitary_distance(a, b, up_to_global_phase):
    ua = unitary(a, ignore_terminal_measurements=True)
    ub = unitary(b, ignore_terminal_measurements=True)
    if up_to_global_phase:
        # The phase of tr(ua^H ub) is the one that brings ua closest to ub.
        # The transposes are C-ordered views of the column-major arrays.
        overlap = np.vdot(ua.T, ub.T)
        if overlap != 0:
            ua *= overlap / abs(overlap)
    # In place: at 12 qubits each unitary takes 256 MiB.
    ua -= ub
    return float(np.linalg.norm(ua.T.reshape(-1))) / math.sqrt(ua.shape[0])


def _state_distance(a, b, up_to_global_phase, states, seed):
    rng = np.random.default_rng(seed)
    size = 2**a.nqubits
    squared, overlaps = [], []
    for _ in range(states):
        # Independent normal real and imaginary parts, normalised: a
        # uniformly (Haar) random state.
        psi = rng.standard_normal(2 * size).view(np.complex128)
        psi /= np.linalg.norm(psi)
        out_a = statevector(a, psi, ignore_terminal_measurements=True)
        out_b = statevector(b, psi, ignore_terminal_measurements=True)
        overlap = complex(np.vdot(out_a, out_b))
        if up_to_global_phase and overlap != 0:
            out_a *= overlap / abs(overlap)
        out_a -= out_b
        squared.append(float(np.vdot(out_a, out_a).real))
        overlaps.append(overlap)
    if up_to_global_phase:
        # Each state was turned by its own best phase; one phase must serve
        # them all: the one of the summed overlaps. Turning a state by the
        # angle x more adds 4 |overlap| sin^2(x / 2) to its squared distance.
        total = sum(overlaps)
        common = math.atan2(total.imag, total.real)
        for k, overlap in enumerate(overlaps):
            x = math.atan2(overlap.imag, overlap.real) - common
            squared[k] += 4 * abs(overlap) * math.sin(x / 2) ** 2
    return math.sqrt(sum(squared) / states)


def distance(a, b, up_to_global_phase=True, *, states=CHECK_STATES, seed=CHECK_SEED):
    """Return how far apart the meanings of two circuits of one width are.

    The distance is d of the module docstring: the root-mean-square over input
    states of the distance between the two output states, after turning one
    by the global phase that matches them best (unless the phase counts).
    Terminal measurements are left out here; ``equivalent`` compares them.

    Up to ``MAX_QUBITS`` (12) qubits d is computed from the two unitaries.
    Above, it is estimated as the root-mean-square distance of the outputs
    for ``states`` uniformly random input states drawn with ``seed``, which
    is what d averages over. For n qubits and a difference whose singular
    values lie within a factor r of each other (r = 1 for a moved angle; at
    most 2**(m/2) for a difference confined to m qubits), each state's squared
    distance has mean d**2 and standard deviation at most r**2 d**2 /
    sqrt(2**n + 1), so by Chebyshev's inequality an estimate below d / 2 has
    probability at most 16 r**4 / (9 * states * (2**n + 1)): below 2e-4 for
    one state at 13 qubits with r = 2, smaller with more states or qubits.

    Args:
        a (QuantumCircuit): The first circuit.
        b (QuantumCircuit): The second, of as many qubits.
        up_to_global_phase (bool): Ignore a global phase between the two.
        states (int): Random input states above ``MAX_QUBITS`` qubits (at least 1).
        seed (int): Seed of those states.

    Returns:
        float: d, between 0 and 2.

    Raises:
        ValueError: For circuits of different widths or of more than
            ``MAX_STATE_QUBITS`` (26) qubits, for fewer than one state, or as
            ``unitary`` for either circuit.
    """
    if isinstance(states, bool) or not isinstance(states, Integral) or states < 1:
        raise ValueError(f"states must be a positive integer, got {states!r}")
    if a.nqubits != b.nqubits:
        raise ValueError(f"circuits of {a.nqubits} and {b.nqubits} qubits have no distance")
    if a.nqubits <= MAX_QUBITS:
        return _unitary_distance(a, b, up_to_global_phase)
    if a.nqubits > MAX_STATE_QUBITS:
        raise ValueError(
            f"distance() takes circuits of at most {MAX_STATE_QUBITS} qubits, got {a.nqubits}"
        )
    return _state_distance(a, b, up_to_global_phase, int(states), seed)


def _terminal_measurements(qc):
    return _program(qc, ignore_terminal_measurements=True)[1]


def equivalent(a, b, up_to_global_phase=True, atol=1e-8, *, states=CHECK_STATES, seed=CHECK_SEED):
    """Return whether two circuits do the same thing.

    They do when they have as many qubits, their distance (``distance``: the
    root-mean-square distance of output states, the same measure at every
    size) is at most ``atol``, and their terminal measurements put the same
    qubit's result into each classical bit. Up to ``MAX_QUBITS`` (12) qubits
    the distance comes from the unitaries; above, up to ``MAX_STATE_QUBITS``
    (26), from ``states`` random input states drawn with ``seed`` (see
    ``distance`` for how likely that is to miss a difference).

    Args:
        a (QuantumCircuit): The first circuit.
        b (QuantumCircuit): The second circuit.
        up_to_global_phase (bool): Ignore a global phase between the two.
        atol (float): The largest distance allowed.
        states (int): Random input states above ``MAX_QUBITS`` qubits.
        seed (int): Seed of those states.

    Returns:
        bool: True if the circuits agree, False otherwise (also when they
        have different numbers of qubits).

    Raises:
        ValueError: For circuits above ``MAX_STATE_QUBITS`` qubits, a reset,
            a mid-circuit measurement or a gate with no matrix in either (the
            message names the entry), or a negative or non-finite ``atol``.
    """
    _check_tolerance(atol)
    if a.nqubits != b.nqubits:
        return False
    if _terminal_measurements(a) != _terminal_measurements(b):
        return False
    return distance(a, b, up_to_global_phase, states=states, seed=seed) <= atol


def check_transpiled(before, after, *, atol=CHECK_ATOL, states=CHECK_STATES, seed=CHECK_SEED):
    """Check that a transpiled circuit kept the meaning of its input.

    Compares as ``equivalent`` does, up to a global phase, and says why where
    it cannot. Delays and decoupling pulses are gates and identities like any
    other, so decoupled results are checked too (as circuits: the check knows
    nothing of time or noise).

    The default ``atol`` (1e-3) lets through what gate compression loses by
    design: every rotation it drops as the identity (within numpy's default
    ``allclose``) moves the distance by at most about 1e-5, so even a deep
    QFT stays far below. A real fault stays above: one rx angle moved by 0.01
    gives 5e-3, one gate removed 0.1 or more.

    Args:
        before (QuantumCircuit): The input.
        after (QuantumCircuit): The result.
        atol (float): The largest distance taken as kept.
        states (int): Random input states above ``MAX_QUBITS`` qubits.
        seed (int): Seed of those states.

    Returns:
        tuple[str, str]: ("kept", "distance 3e-06") / ("differs", why) / ("not
        checked", why), why being for example "too many qubits (27 > 26)",
        "mid-circuit measurement (gate 5 of the input)", "reset (gate 0 of
        the result)", "measures other bits", "distance 0.005 > 0.001".

    Raises:
        TypeError, ValueError: For a bad ``atol`` or ``states``.
    """
    _check_tolerance(atol)
    if before.nqubits != after.nqubits:
        return "differs", f"qubit counts differ ({before.nqubits} and {after.nqubits})"
    if before.nqubits > MAX_STATE_QUBITS:
        return "not checked", f"too many qubits ({before.nqubits} > {MAX_STATE_QUBITS})"
    measured = []
    for qc, role in ((before, "the input"), (after, "the result")):
        try:
            measured.append(_terminal_measurements(qc))
        except Unsupported as refused:
            return "not checked", f"{refused.reason} (gate {refused.index} of {role})"
    if measured[0] != measured[1]:
        return "differs", "measures other bits"
    try:
        d = distance(before, after, states=states, seed=seed)
    except ValueError as error:  # a gate with no matrix
        return "not checked", str(error)
    how = "" if before.nqubits <= MAX_QUBITS else f" on {states} random states"
    if d <= atol:
        return "kept", f"distance {d:.2g}{how}"
    return "differs", f"distance {d:.2g} > {atol:g}{how}"
