"""Circuits for the benchmarks: seeded random shapes and well-known algorithm families.

Every generator takes the wanted gate count and returns a circuit with about
that many gates (the algorithm families round to whole repetitions).
"""

import math
import random

from corvane.circuit.quantumcircuit import QuantumCircuit

ONE = ["h", "x", "y", "z", "s", "t", "sx"]
TWO = ["cx", "cz", "swap"]


def merge_rich(ngates, nqubits=10, seed=1):
    """Inverse pairs, repeated rotations and angles that sum to identities, mixed with other gates."""
    rng = random.Random(seed)
    qc = QuantumCircuit(nqubits, nqubits)
    gates = qc.gates
    while len(gates) < ngates:
        r = rng.random()
        q = rng.randrange(nqubits)
        if r < 0.25:
            name = rng.choice(["x", "h", "z", "y"])
            gates += [(name, q), (name, q)]
        elif r < 0.45:
            name = rng.choice(["rx", "ry", "rz", "p"])
            a = rng.uniform(-3, 3)
            gates += [(name, a, q), (name, rng.choice([-a, rng.uniform(-3, 3)]), q)]
        elif r < 0.55:
            gates += [
                ("u", rng.uniform(0, 3), rng.uniform(-3, 3), rng.uniform(-3, 3), q),
                ("u", rng.uniform(0, 3), rng.uniform(-3, 3), rng.uniform(-3, 3), q),
            ]
        elif r < 0.75:
            a, b = rng.sample(range(nqubits), 2)
            name = rng.choice(["cx", "cz", "swap"])
            gates += [(name, a, b), (name, a, b)]
        elif r < 0.85:
            a, b = rng.sample(range(nqubits), 2)
            gates.append(("rzz", rng.uniform(-3, 3), a, b))
        else:
            gates.append((rng.choice(ONE), q))
    del gates[ngates:]
    return qc


def uneven(ngates, nqubits=10, seed=2):
    """Qubit loads falling off steeply, so that light qubits wait in long idle windows."""
    rng = random.Random(seed)
    weights = [1.0 / (k + 1) ** 1.5 for k in range(nqubits)]
    qc = QuantumCircuit(nqubits, nqubits)
    for _ in range(ngates):
        if rng.random() < 0.3:
            a, b = rng.choices(range(nqubits), weights, k=2)
            if a == b:
                b = (a + 1) % nqubits
            qc.gates.append((rng.choice(TWO), a, b))
        else:
            qc.gates.append((rng.choice(ONE), rng.choices(range(nqubits), weights)[0]))
    return qc


def random_mix(ngates, nqubits, seed):
    rng = random.Random(seed)
    qc = QuantumCircuit(nqubits, nqubits)
    for _ in range(ngates):
        r = rng.random()
        if r < 0.45:
            qc.gates.append((rng.choice(ONE), rng.randrange(nqubits)))
        elif r < 0.75:
            qc.gates.append((rng.choice(TWO), *rng.sample(range(nqubits), 2)))
        else:
            qc.gates.append((rng.choice(["rx", "rz"]), rng.uniform(-3, 3), rng.randrange(nqubits)))
    return qc


def wide(ngates, seed=3):
    """128 qubits, random gates."""
    return random_mix(ngates, 128, seed)


def deep(ngates, seed=4):
    """4 qubits, random gates."""
    return random_mix(ngates, 4, seed)


def qft(ngates):
    """Quantum Fourier transforms (h and controlled phases, then the qubit reversal), repeated."""
    nqubits = max(2, min(64, int(math.sqrt(2 * ngates))))
    qc = QuantumCircuit(nqubits, nqubits)
    while len(qc.gates) < ngates:
        for j in range(nqubits):
            qc.gates.append(("h", j))
            for k in range(j + 1, nqubits):
                qc.gates.append(("cp", math.pi / 2 ** (k - j), k, j))
        for j in range(nqubits // 2):
            qc.gates.append(("swap", j, nqubits - 1 - j))
    del qc.gates[ngates:]
    return qc


def hardware_efficient_ansatz(ngates, nqubits=16, seed=5):
    """Layers of ry and rz rotations on every qubit followed by a line of cx gates."""
    rng = random.Random(seed)
    qc = QuantumCircuit(nqubits, nqubits)
    while len(qc.gates) < ngates:
        for q in range(nqubits):
            qc.gates.append(("ry", rng.uniform(-math.pi, math.pi), q))
            qc.gates.append(("rz", rng.uniform(-math.pi, math.pi), q))
        for q in range(nqubits - 1):
            qc.gates.append(("cx", q, q + 1))
    del qc.gates[ngates:]
    return qc


def ripple_carry_adder(ngates, nbits=8):
    """Ripple-carry adders of two nbits-bit registers (majority and unmajority blocks), repeated."""
    nqubits = 2 * nbits + 2  # carry in, a, b, carry out
    a = [1 + i for i in range(nbits)]
    b = [1 + nbits + i for i in range(nbits)]
    cin, cout = 0, 2 * nbits + 1
    qc = QuantumCircuit(nqubits, nqubits)

    def majority(x, y, z):
        qc.gates.extend([("cx", z, y), ("cx", z, x), ("ccx", x, y, z)])

    def unmajority(x, y, z):
        qc.gates.extend([("ccx", x, y, z), ("cx", z, x), ("cx", x, y)])

    while len(qc.gates) < ngates:
        majority(cin, b[0], a[0])
        for i in range(1, nbits):
            majority(a[i - 1], b[i], a[i])
        qc.gates.append(("cx", a[-1], cout))
        for i in reversed(range(1, nbits)):
            unmajority(a[i - 1], b[i], a[i])
        unmajority(cin, b[0], a[0])
    del qc.gates[ngates:]
    return qc


def teleport_chain(ngates, nqubits=12, seed=6):
    """Mid-circuit measurements with conditional corrections on other qubits
    (one-bit and two-bit conditions, some with an else branch), among random gates."""
    rng = random.Random(seed)
    qc = QuantumCircuit(nqubits, nqubits)
    while len(qc.gates) < ngates:
        a, b, target = rng.sample(range(nqubits), 3)
        qc.h(a).cx(a, b).measure([a, b], [a, b])
        with qc.if_test((a,), 1):
            qc.x(target)
        with qc.if_test((a, b), rng.randrange(4)) as branch:
            qc.z(target)
        if rng.random() < 0.5:
            with branch.else_():
                qc.append_gate(rng.choice(ONE), target)
        qc.append_gate(rng.choice(TWO), *rng.sample(range(nqubits), 2))
    del qc.gates[ngates:]
    return qc


SHAPES = {
    "merge-rich": merge_rich,
    "uneven": uneven,
    "wide": wide,
    "deep": deep,
    "qft": qft,
    "ansatz": hardware_efficient_ansatz,
    "adder": ripple_carry_adder,
}
# Circuits with conditionals, kept apart from SHAPES: the file benchmarks
# write every shape as OpenQASM 2, which has no per-bit conditions.
DYNAMIC_SHAPES = {"teleport": teleport_chain}
