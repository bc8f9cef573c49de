"""outcome_distribution and the checks of dynamic circuits, against an independent
oracle: the deferred-measurement circuit, simulated densely with numpy."""

import math
import random

import numpy as np
import pytest

from corvane.circuit import DynamicalDecoupling, GateCompressor, QuantumCircuit
from corvane.circuit.equivalence import check_transpiled, equivalent, outcome_distribution

H = np.array([[1, 1], [1, -1]]) / math.sqrt(2)
X = np.array([[0, 1], [1, 0]])
CX = np.array([[1, 0, 0, 0], [0, 0, 0, 1], [0, 0, 1, 0], [0, 1, 0, 0]])  # control: first qubit


def ry(t):
    return np.array([[math.cos(t / 2), -math.sin(t / 2)], [math.sin(t / 2), math.cos(t / 2)]])


def matrix_of(entry):
    name = entry[0]
    if name == "ry":
        return ry(entry[1]), entry[2:]
    return {"h": H, "x": X, "cx": CX}[name], entry[1:]


class Oracle:
    """A dynamic circuit by the deferred-measurement principle: a measurement is a
    CNOT onto a fresh ancilla, a reset a swap with one, a conditional's gates are
    controlled on the ancillas holding its bits; the outcomes are the ancillas'
    marginal at the end."""

    def __init__(self, nqubits, ncbits, ancillas):
        self.n = nqubits + ancillas
        self.state = np.zeros((2,) * self.n, dtype=complex)
        self.state[(0,) * self.n] = 1
        self.next_ancilla = nqubits
        self.holder = [None] * ncbits  # the ancilla holding each classical bit

    def apply(self, matrix, qubits, controls=()):
        fixed = dict(controls)
        view = tuple(
            slice(fixed[q], fixed[q] + 1) if q in fixed else slice(None) for q in range(self.n)
        )
        block = self.state[view]
        k = len(qubits)
        # Matrix index bit j is qubits[j]: the first axis after the move is the highest bit.
        moved = np.moveaxis(block, list(reversed(qubits)), list(range(k)))
        shape = moved.shape
        result = (matrix @ moved.reshape(2**k, -1)).reshape(shape)
        self.state[view] = np.moveaxis(result, list(range(k)), list(reversed(qubits)))

    def fresh(self):
        self.next_ancilla += 1
        return self.next_ancilla - 1

    def run(self, entries, controls=()):
        for entry in entries:
            name = entry[0]
            if name == "measure":
                for q, c in zip(entry[1], entry[2]):
                    a = self.fresh()
                    self.apply(CX, [q, a], controls)
                    self.holder[c] = a
            elif name == "reset":
                a = self.fresh()
                swap = np.eye(4)[[0, 2, 1, 3]]
                self.apply(swap, [entry[1], a], controls)
            elif name == "if":
                _, cbits, value, body, orelse = entry
                pattern = [(self.holder[c], value >> k & 1) for k, c in enumerate(cbits)]
                # Bits never written hold 0: a pattern that needs a 1 there never holds.
                if all(h is not None or b == 0 for h, b in pattern):
                    self.run(body, controls + tuple((h, b) for h, b in pattern if h is not None))
                if len(cbits) == 1 and self.holder[cbits[0]] is not None:
                    self.run(orelse, controls + ((self.holder[cbits[0]], 1 - (value & 1)),))
            else:
                matrix, qubits = matrix_of(entry)
                self.apply(matrix, list(qubits), controls)

    def outcomes(self):
        probabilities = {}
        weights = np.abs(self.state) ** 2
        for index in zip(*np.nonzero(weights > 1e-15)):
            value = sum(index[a] << c for c, a in enumerate(self.holder) if a is not None)
            probabilities[value] = probabilities.get(value, 0.0) + weights[index]
        return probabilities


def random_dynamic(seed, nqubits=3, nops=9):
    """Gates, measurements, resets and one-bit conditionals (body and else branch)."""
    rng = random.Random(seed)
    qc = QuantumCircuit(nqubits, nqubits)
    measured = []
    for _ in range(nops):
        kind = rng.choice(["h", "ry", "cx", "measure", "measure", "reset", "if"])
        q = rng.randrange(nqubits)
        if kind == "h":
            qc.h(q)
        elif kind == "ry":
            qc.ry(rng.uniform(-3, 3), q)
        elif kind == "cx":
            qc.cx(q, (q + 1) % nqubits)
        elif kind == "measure":
            c = rng.randrange(nqubits)
            qc.measure(q, c)
            measured.append(c)
        elif kind == "reset":
            qc.reset(q)
        elif measured:
            c = rng.choice(measured)
            body = (("x", q),) if rng.random() < 0.5 else (("ry", rng.uniform(-3, 3), q),)
            orelse = (("h", (q + 1) % nqubits),) if rng.random() < 0.5 else ()
            qc.gates.append(("if", (c,), rng.randrange(2), body, orelse))
    return qc.measure(list(range(nqubits)), list(range(nqubits)))


def ancillas_needed(entries):
    count = 0
    for entry in entries:
        if entry[0] == "measure":
            count += len(entry[1])
        elif entry[0] == "reset":
            count += 1
        elif entry[0] == "if":
            count += ancillas_needed(entry[3]) + ancillas_needed(entry[4])
    return count


@pytest.mark.parametrize("seed", range(40))
def test_outcome_distribution_equals_the_deferred_measurement_circuit(seed):
    qc = random_dynamic(seed)
    oracle = Oracle(qc.nqubits, qc.ncbits, ancillas_needed(qc.gates))
    oracle.run(qc.gates)
    expected = oracle.outcomes()
    found = outcome_distribution(qc)
    assert found.unexplored == 0 and found.over_budget == ""
    for outcome in expected.keys() | found.keys():
        assert found.get(outcome, 0.0) == pytest.approx(expected.get(outcome, 0.0), abs=1e-12)


def test_outcomes_of_any_width_and_values_outside_the_register():
    qc = QuantumCircuit(1, 70).x(0).measure(0, 69)
    # A value with a bit the register lacks never holds: the else branch runs.
    qc.gates.append(("if", (69,), 2, (("x", 0),), (("h", 0),)))
    assert dict(outcome_distribution(qc)) == {1 << 69: pytest.approx(1.0)}


def test_budget_leaves_the_rest_unexplored_and_the_check_says_so():
    qc = QuantumCircuit(4, 4)
    for q in range(4):
        qc.h(q).measure(q, q).x(q)
    found = outcome_distribution(qc, max_branch_points=3)
    assert found.over_budget == "branches"
    assert sum(found.values()) + found.unexplored == pytest.approx(1.0)
    status, reason = check_transpiled(qc, qc, max_branch_points=3)
    assert status == "not checked" and reason.startswith("over the budget (3 measurement branches")


def test_outcomes_past_their_budget_are_counted_as_unexplored():
    qc = QuantumCircuit(6, 6)
    for q in range(6):
        qc.h(q)
    qc.measure(list(range(6)), list(range(6)))
    found = outcome_distribution(qc, max_outcomes=10)
    assert found.over_budget == "outcomes" and len(found) == 10
    assert found.unexplored == pytest.approx(54 / 64)


def repeat_until_success():
    """A teleported state, corrected by feed-forward, with a reset first."""
    qc = QuantumCircuit(3, 3).reset(0).reset(1).reset(2)
    qc.ry(0.7, 0).h(1).cx(1, 2).cx(0, 1).h(0).measure([0, 1], [0, 1])
    qc.gates.append(("if", (1,), 1, (("x", 2),), ()))
    qc.gates.append(("if", (0,), 1, (("z", 2),), ()))
    return qc.measure(2, 2)


@pytest.mark.parametrize(
    "make",
    [
        repeat_until_success,
        lambda: random_dynamic(7, nqubits=4, nops=14),
        lambda: random_dynamic(11, nqubits=4, nops=14),
    ],
)
def test_dynamic_programs_through_both_passes_are_kept_and_a_planted_fault_is_found(make):
    qc = make()
    compressed = GateCompressor().run(qc)
    decoupled = DynamicalDecoupling(2e-8, 5e-8).run(compressed, sequence="XY4")
    for result in (compressed, decoupled):
        status, reason = check_transpiled(qc, result)
        assert status == "kept" and reason.startswith("outcome distributions agree"), reason
    assert equivalent(qc, decoupled)
    faulty = qc.copy()
    k = max(i for i, entry in enumerate(faulty.gates) if entry[0] == "if")
    _, cbits, value, body, orelse = faulty.gates[k]
    faulty.gates[k] = ("if", cbits, 1 - value, body, orelse)
    if outcome_distribution(faulty) != pytest.approx(outcome_distribution(qc)):
        assert check_transpiled(qc, faulty)[0] == "differs"
        assert not equivalent(qc, faulty)


def test_teleportation_delivers_the_state():
    found = outcome_distribution(repeat_until_success())
    p_one = sum(p for outcome, p in found.items() if outcome >> 2 & 1)
    assert p_one == pytest.approx(math.sin(0.35) ** 2, abs=1e-12)


def test_leading_resets_leave_static_programs_checkable_by_their_unitary():
    qc = QuantumCircuit(3).reset(0).reset(1).h(0).cx(0, 1).rz(0.3, 2)
    status, reason = check_transpiled(qc, GateCompressor().run(qc))
    assert status == "kept" and reason.startswith("distance")


def test_decoupling_trains_and_delays_cost_the_check_nothing():
    # 16 qubits: the state route; every idle window holds an XY4 train.
    qc = QuantumCircuit(16)
    for layer in range(30):
        qc.cx(layer % 16, (layer + 1) % 16).rx(0.1 * layer, (layer + 5) % 16)
    decoupled = DynamicalDecoupling(2e-8, 5e-8).run(qc, sequence="XY4")
    assert len(decoupled) > 5 * len(qc)
    status, reason = check_transpiled(qc, decoupled, seconds=5)
    assert status == "kept", reason


def test_a_check_over_its_time_budget_is_not_started():
    qc = QuantumCircuit(20)
    for k in range(2000):
        qc.cx(k % 20, (k + 3) % 20)
    status, reason = check_transpiled(qc, qc, seconds=0.01)
    assert status == "not checked" and reason.startswith("over the budget (about")
