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

Dynamic circuits (measurements in the middle, resets, conditionals) have no
unitary: ``outcome_distribution`` gives the exact probability of each of
their classical outcomes, following every measurement branch on the state
vector, and ``equivalent`` and ``check_transpiled`` compare those.
"""

import math
from numbers import Integral, Real

import numpy as np

from corvane.circuit import _simulate
from corvane.circuit._simulate import (
    MAX_OUTCOME_QUBITS,
    MAX_QUBITS,
    MAX_STATE_QUBITS,
    apply_circuit,
    circuit_unitary,
)
from corvane.circuit.entry_transforms import entry_cbits, gate_parameters
from corvane.circuit.quantumcircuit import operation_qubits

__all__ = [
    "MAX_OUTCOME_QUBITS",
    "MAX_QUBITS",
    "MAX_STATE_QUBITS",
    "OutcomeDistribution",
    "outcome_distribution",
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
# The default tolerance of check_transpiled on dynamic circuits, in total
# variation distance between outcome distributions. What compression drops
# (rotations within about 2e-5 of the identity) moves a probability by about
# the square of that per rotation, 1e-9 or less; one gate removed or moved
# before a measurement moves it by far more than 1e-6.
CHECK_TVD = 1e-6
# check_transpiled's state route: the fewest random states whose chance of
# estimating a distance below half its value is at most CHECK_MISS (the bound
# in ``distance`` with r = 2), and the unitary instead where that costs less.
CHECK_MISS = 1e-3
# Measurement and reset branches outcome_distribution follows by default:
# 2**16 leaves of a 20-qubit state take about a minute here.
MAX_BRANCH_POINTS = 1 << 16
# Distinct outcomes outcome_distribution keeps by default, about 100 bytes each
# natively and as many again as a dict: a random 22-qubit state measured at the
# end has that many.
MAX_OUTCOMES = 1 << 22
# Amplitude updates per second of the native kernels, measured on this
# project's 2-core machine under load (0.67e9 for a 20-qubit state, 0.89e9
# for a 10-qubit unitary), halved: what a check's time budget is judged by
# before it starts.
_UPDATES_PER_SECOND = 4e8


class Unsupported(ValueError):
    """A circuit entry that neither the unitary nor the state vector can hold.

    ``reason`` says what it is in a few words ("mid-circuit measurement",
    "reset"), ``index`` is the entry's position in ``qc.gates``."""

    def __init__(self, message, reason, index):
        super().__init__(message)
        self.reason = reason
        self.index = index


def _program(qc, ignore_terminal_measurements, skip=frozenset()):
    """The operations of ``qc`` for the native code, (entry index, name,
    parameters, qubits) in program order, and the terminal measurements as a
    dict from classical bit to the qubit whose result it ends up holding.

    A measurement is terminal when no later entry other than a barrier or a
    delay acts on any of its qubits. Entries whose index is in ``skip`` are
    left out."""
    gates = qc.gates
    last_use = {}
    for index, entry in enumerate(gates):
        if entry[0] not in _IDENTITY_OPERATIONS and index not in skip:
            for q in operation_qubits(entry):
                last_use[q] = index
    operations, measured = [], {}
    for index, entry in enumerate(gates):
        name = entry[0]
        if name in _IDENTITY_OPERATIONS or index in skip:
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


class OutcomeDistribution(dict):
    """The exact probabilities of a circuit's classical outcomes: a dict from each
    outcome (an int whose bit k is classical bit k) to its probability, holding
    every outcome of probability 1e-13 or more that was reached.

    Attributes:
        unexplored (float): probability of the branches the budget left
            unexplored (0 when everything was followed).
        over_budget (str): "" or what ran out: "branches", "outcomes" or "time".
        negligible (float): probability of the branches dropped as below 1e-13.
        branch_points (int): measurements and resets with two possible
            outcomes met, over all branches.
    """

    def __init__(self, probabilities, negligible, unexplored, over_budget, branch_points):
        super().__init__(probabilities)
        self.negligible = negligible
        self.unexplored = unexplored
        self.over_budget = over_budget
        self.branch_points = branch_points

    def __reduce__(self):
        return (
            type(self),
            (dict(self), self.negligible, self.unexplored, self.over_budget, self.branch_points),
        )

    def total_variation(self, other):
        """Half the summed absolute differences of two distributions' probabilities."""
        return (
            sum(abs(self.get(k, 0.0) - other.get(k, 0.0)) for k in self.keys() | other.keys()) / 2
        )


def _condition_bits(cbits, value):
    """The (cbits, expected bits) a conditional compares, or None when its value has
    bits the register cannot hold, so that the condition never holds."""
    if value < 0 or value >> len(cbits):
        return None
    return tuple(cbits), tuple(bool(value >> k & 1) for k in range(len(cbits)))


def _dynamic_steps(qc, skip=frozenset()):
    """The flat program of the outcome simulator: ("gate", (entry index, name,
    parameters, qubits)), ("measure", qubit, cbit), ("reset", qubit), and a
    conditional as ("if", cbits, expected bits), its body, ("else",), its other
    branch, ("end",). Nested conditionals are walked with a stack of their
    entry lists, not by recursion, so no depth of nesting overflows."""
    steps = []
    # (entries left, the index of the top-level entry they belong to or None at
    # the top level, the steps that close them)
    pending = [(iter(enumerate(qc.gates)), None, ())]
    while pending:
        entries, owner, closing = pending[-1]
        item = next(entries, None)
        if item is None:
            pending.pop()
            steps.extend(closing)
            continue
        position, entry = item
        if owner is None and position in skip:
            continue
        index = position if owner is None else owner
        name = entry[0]
        if name in _IDENTITY_OPERATIONS:
            continue
        if name == "measure":
            qubits, cbits = operation_qubits(entry), entry_cbits(entry)
            if len(cbits) != len(qubits):
                raise ValueError(
                    f"gate {index}: measure of {len(qubits)} qubits into {len(cbits)} bits"
                )
            steps.extend(("measure", q, c) for q, c in zip(qubits, cbits))
        elif name == "reset":
            steps.append(("reset", operation_qubits(entry)[0]))
        elif name == "if":
            _, cbits, value, body, orelse = entry
            condition = _condition_bits(cbits, value)
            if condition is None:  # only the other branch can run
                pending.append((enumerate(orelse), index, ()))
                continue
            steps.append(("if", *condition))
            # The body is walked first, then "else", the other branch and "end".
            pending.append((enumerate(orelse), index, (("end",),)))
            pending.append((enumerate(body), index, (("else",),)))
        else:
            steps.append(("gate", (index, name, gate_parameters(entry), operation_qubits(entry))))
    return steps


def outcome_distribution(
    qc, *, max_branch_points=MAX_BRANCH_POINTS, max_outcomes=MAX_OUTCOMES, seconds=None
):
    """Return the exact probability of every classical outcome of a circuit run from
    the state with every qubit and every classical bit 0.

    Each measurement whose outcome is not certain splits the run into two
    branches, each with its probability and its collapsed state, and each is
    followed to the end (a reset splits likewise, both branches setting the
    qubit to 0); conditionals take the branch their bits select. Branches below
    probability 1e-13 are dropped. Measurements after which nothing touches their
    qubit or bit do not split: their bits are read off the final state, so a
    circuit that measures only at the end is one branch. Barriers and delays are
    the identity. The work runs natively without the GIL and stops on Ctrl-C.

    Memory: 16 * 2**nqubits bytes per open measurement on the current branch
    (a pending branch holds its own state).

    Args:
        qc (QuantumCircuit): The circuit, of at most ``MAX_OUTCOME_QUBITS`` (24) qubits.
        max_branch_points (int): Measurements and resets with two possible
            outcomes to follow, over all branches, before the rest is left
            unexplored.
        max_outcomes (int): Distinct outcomes to keep; the probability of
            further ones is counted as unexplored.
        seconds (float | None): Wall time after which the rest is left unexplored.

    Returns:
        OutcomeDistribution: outcome -> probability, with ``unexplored`` and
        ``over_budget`` saying what the budget left out.

    Raises:
        ValueError: For more than ``MAX_OUTCOME_QUBITS`` qubits, or an entry with
            no matrix or out-of-range bits (the message names it).
    """
    for name, count in (("max_branch_points", max_branch_points), ("max_outcomes", max_outcomes)):
        if isinstance(count, bool) or not isinstance(count, Integral):
            raise TypeError(f"{name} must be an int")
        if count < 0:
            raise ValueError(f"{name} must be at least 0, got {count}")
    if qc.nqubits > MAX_OUTCOME_QUBITS:
        raise ValueError(
            f"outcome_distribution() takes circuits of at most {MAX_OUTCOME_QUBITS} qubits, "
            f"got {qc.nqubits}"
        )
    return _outcomes(qc, frozenset(), max_branch_points, seconds, max_outcomes)


def _outcomes(qc, skip, max_branch_points, seconds, max_outcomes=MAX_OUTCOMES):
    steps = _dynamic_steps(qc, skip)
    try:
        result = _simulate.outcome_distribution(
            qc.nqubits,
            qc.ncbits,
            steps,
            min(max_branch_points, 2**64 - 1),
            min(max_outcomes, 2**64 - 1),
            seconds,
        )
    except IndexError as error:  # a qubit or bit outside the circuit
        raise ValueError(f"a qubit or classical bit outside the circuit ({error})") from None
    return OutcomeDistribution(*result)


def _check_tolerance(atol):
    if isinstance(atol, bool) or not isinstance(atol, Real):
        raise TypeError(f"atol must be a real number, got {type(atol).__name__}")
    if not 0 <= atol < float("inf"):
        raise ValueError(f"atol must be a finite non-negative number, got {atol!r}")


def _unitary_distance(nqubits, ops_a, ops_b, up_to_global_phase):
    ua = circuit_unitary(nqubits, ops_a)
    ub = circuit_unitary(nqubits, ops_b)
    if up_to_global_phase:
        # The phase of tr(ua^H ub) is the one that brings ua closest to ub.
        # The transposes are C-ordered views of the column-major arrays.
        overlap = np.vdot(ua.T, ub.T)
        if overlap != 0:
            ua *= overlap / abs(overlap)
    # In place: at 12 qubits each unitary takes 256 MiB.
    ua -= ub
    return float(np.linalg.norm(ua.T.reshape(-1))) / math.sqrt(ua.shape[0])


def _evolved(nqubits, operations, psi, fuse):
    """``operations`` applied to a copy of ``psi``; with ``fuse``, one-qubit runs
    are applied as one gate (rounding differs, decoupling trains cost nothing)."""
    state = psi.copy()
    scalar = apply_circuit(nqubits, operations, state, fuse)
    if scalar is not None and scalar != 1:
        state *= scalar
    return state


def _state_distance(nqubits, ops_a, ops_b, up_to_global_phase, states, seed, fuse=False):
    rng = np.random.default_rng(seed)
    size = 2**nqubits
    squared, overlaps = [], []
    for _ in range(states):
        # Independent normal real and imaginary parts, normalised: a
        # uniformly (Haar) random state.
        psi = rng.standard_normal(2 * size).view(np.complex128)
        psi /= np.linalg.norm(psi)
        out_a = _evolved(nqubits, ops_a, psi, fuse)
        out_b = _evolved(nqubits, ops_b, psi, fuse)
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
    if a.nqubits > MAX_STATE_QUBITS:
        raise ValueError(
            f"distance() takes circuits of at most {MAX_STATE_QUBITS} qubits, got {a.nqubits}"
        )
    ops_a, ops_b = (_program(qc, ignore_terminal_measurements=True)[0] for qc in (a, b))
    if a.nqubits <= MAX_QUBITS:
        return _unitary_distance(a.nqubits, ops_a, ops_b, up_to_global_phase)
    return _state_distance(a.nqubits, ops_a, ops_b, up_to_global_phase, int(states), seed)


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

    Dynamic circuits (a reset, a measurement in the middle, a conditional) have
    no unitary: they are equivalent when their outcome distributions
    (``outcome_distribution``, run from the all-zero state) are within ``atol``
    in total variation distance.

    Raises:
        ValueError: For circuits above ``MAX_STATE_QUBITS`` qubits (dynamic
            ones: ``MAX_OUTCOME_QUBITS``), a gate with no matrix in either (the
            message names the entry), outcome distributions the default budget
            of ``outcome_distribution`` cannot finish, or a negative or
            non-finite ``atol``.
    """
    _check_tolerance(atol)
    if a.nqubits != b.nqubits:
        return False
    try:
        measured = [_terminal_measurements(qc) for qc in (a, b)]
    except Unsupported:
        outcomes = [outcome_distribution(qc) for qc in (a, b)]
        for found in outcomes:
            if found.over_budget:
                raise ValueError(
                    f"the outcome distribution could not be finished ({found.over_budget} "
                    f"ran out with probability {found.unexplored:.2g} unexplored)"
                ) from None
        return outcomes[0].total_variation(outcomes[1]) <= atol
    if measured[0] != measured[1]:
        return False
    return distance(a, b, up_to_global_phase, states=states, seed=seed) <= atol


def _leading_resets(qc):
    """The indices of the resets that come before anything else acts on their
    qubit, and those qubits: on the all-zero starting state they do nothing."""
    touched, indices, qubits = set(), set(), set()
    for index, entry in enumerate(qc.gates):
        name = entry[0]
        if name in _IDENTITY_OPERATIONS:
            continue
        operated = operation_qubits(entry)
        if name == "reset" and operated[0] not in touched:
            indices.add(index)
            qubits.add(operated[0])
            continue
        touched.update(operated)
    return frozenset(indices), qubits


def _states_for(nqubits):
    """The fewest random states whose chance of an estimate below half the
    distance is at most CHECK_MISS: the bound of ``distance`` with r = 2."""
    return max(1, math.ceil(16 * 2**4 / (9 * CHECK_MISS * (2**nqubits + 1))))


def _kernels_estimate(nqubits, operations):
    """About how many gates the fused state route applies: one-qubit runs
    between gates on several qubits become one."""
    several = sum(1 for op in operations if len(op[3]) > 1)
    return min(len(operations), 2 * several + nqubits)


def _static_check(before, after, programs, atol, states, seed, seconds):
    n = before.nqubits
    if programs[0][1] != programs[1][1]:
        return "differs", "measures other bits"
    ops = [program[0] for program in programs]
    chosen = _states_for(n) if states is None else states
    # The unitary costs 2**n evolutions of each circuit, the state route one
    # fused evolution per state: take the unitary only where it is the cheaper
    # (or, with ``states`` given, up to MAX_QUBITS as ``distance`` does).
    if states is None:
        by_unitary = n <= MAX_QUBITS and 2**n <= chosen
    else:
        by_unitary = n <= MAX_QUBITS
    if by_unitary:
        updates = sum(len(o) for o in ops) * 4**n
    else:
        updates = chosen * sum(_kernels_estimate(n, o) for o in ops) * 2**n
    if seconds is not None and updates / _UPDATES_PER_SECOND > seconds:
        return "not checked", (
            f"over the budget (about {updates / _UPDATES_PER_SECOND:.2g} s of simulation "
            f"> {seconds:g} s)"
        )
    try:
        if by_unitary:
            d = _unitary_distance(n, ops[0], ops[1], True)
        else:
            d = _state_distance(n, ops[0], ops[1], True, chosen, seed, fuse=True)
    except ValueError as error:  # a gate with no matrix
        return "not checked", str(error)
    how = "" if by_unitary else f" on {chosen} random states"
    if d <= atol:
        return "kept", f"distance {d:.2g}{how}"
    return "differs", f"distance {d:.2g} > {atol:g}{how}"


def _dynamic_check(before, after, skips, why, tvd, max_branch_points, seconds):
    n = before.nqubits
    if n > MAX_OUTCOME_QUBITS:
        return (
            "not checked",
            f"{why}: too many qubits to follow its branches ({n} > {MAX_OUTCOME_QUBITS})",
        )
    outcomes = []
    for qc, skip in zip((before, after), skips):
        try:
            found = _outcomes(qc, skip, max_branch_points, seconds)
        except ValueError as error:  # a gate with no matrix
            return "not checked", str(error)
        if found.over_budget:
            if found.over_budget == "branches":
                limit = f"{max_branch_points} measurement branches"
            elif found.over_budget == "outcomes":
                limit = f"{MAX_OUTCOMES} distinct outcomes"
            else:
                limit = f"{seconds:g} s"
            return "not checked", (
                f"over the budget ({limit}; probability {found.unexplored:.2g} unexplored)"
            )
        outcomes.append(found)
    distance_found = outcomes[0].total_variation(outcomes[1])
    if distance_found <= tvd:
        return "kept", f"outcome distributions agree (total variation {distance_found:.2g})"
    return "differs", (
        f"outcome distributions differ (total variation {distance_found:.2g} > {tvd:g})"
    )


def check_transpiled(
    before,
    after,
    *,
    atol=CHECK_ATOL,
    states=None,
    seed=CHECK_SEED,
    tvd=CHECK_TVD,
    max_qubits=None,
    max_branch_points=MAX_BRANCH_POINTS,
    seconds=None,
):
    """Check that a transpiled circuit kept the meaning of its input.

    Compares as ``equivalent`` does, up to a global phase, and says why where
    it cannot. Delays are the identity and cost nothing; the one-qubit gates
    between two others on a qubit are applied as one, so a decoupling train
    costs nothing either (it is checked as circuits: the check knows nothing of
    time or noise). Resets that come before anything else acts on their qubit
    do nothing on the starting state and are left out.

    Static circuits are compared by the distance of ``distance``: from the two
    unitaries where that is the cheaper exact route (up to 7 qubits), else on
    the fewest random states that keep the chance of missing half the distance
    below 1e-3 (``states`` sets their number instead, with ``distance``'s
    choice of route). Dynamic circuits (measurements in the middle, other
    resets, conditionals), and circuits whose leading resets differ, are
    compared by their exact outcome distributions from the all-zero state
    (``outcome_distribution``), in total variation distance.

    The default ``atol`` (1e-3) lets through what gate compression loses by
    design: every rotation it drops as the identity (within numpy's default
    ``allclose``) moves the distance by at most about 1e-5, so even a deep
    QFT stays far below. A real fault stays above: one rx angle moved by 0.01
    gives 5e-3, one gate removed 0.1 or more. ``tvd`` (1e-6) is the same for
    outcome probabilities.

    Args:
        before (QuantumCircuit): The input.
        after (QuantumCircuit): The result.
        atol (float): The largest distance taken as kept.
        states (int | None): Random input states of the state route; None
            chooses as above.
        seed (int): Seed of those states.
        tvd (float): The largest total variation distance taken as kept.
        max_qubits (int | None): Circuits wider than this are not checked.
        max_branch_points (int): Measurement branches to follow per circuit.
        seconds (float | None): Time for the check: a static check that would
            take longer by the kernels' measured speed is not started, a
            dynamic one stops then.

    Returns:
        tuple[str, str]: ("kept", "distance 3e-06") / ("differs", why) / ("not
        checked", why), why being for example "too many qubits (27 > 26)",
        "over the budget (...)", "measures other bits", "distance 0.005 > 0.001",
        "outcome distributions differ (total variation 0.5 > 1e-06)".

    Raises:
        TypeError, ValueError: For a bad ``atol``, ``tvd`` or ``states``.
    """
    _check_tolerance(atol)
    _check_tolerance(tvd)
    if states is not None and (
        isinstance(states, bool) or not isinstance(states, Integral) or states < 1
    ):
        raise ValueError(f"states must be a positive integer or None, got {states!r}")
    n = before.nqubits
    if n != after.nqubits:
        return "differs", f"qubit counts differ ({n} and {after.nqubits})"
    if n > MAX_STATE_QUBITS:
        return "not checked", f"too many qubits ({n} > {MAX_STATE_QUBITS})"
    if max_qubits is not None and n > max_qubits:
        return "not checked", f"over the budget ({n} qubits > {max_qubits})"
    resets = [_leading_resets(qc) for qc in (before, after)]
    skips = [indices for indices, _ in resets]
    programs, why = [], None
    for qc, skip, role in zip((before, after), skips, ("the input", "the result")):
        try:
            programs.append(_program(qc, True, skip))
        except Unsupported as refused:
            why = f"{refused.reason} (gate {refused.index} of {role})"
            break
    if why is None and resets[0][1] != resets[1][1]:
        why = "leading resets differ"
    if why is None:
        return _static_check(before, after, programs, atol, states, seed, seconds)
    return _dynamic_check(before, after, skips, why, tvd, max_branch_points, seconds)
