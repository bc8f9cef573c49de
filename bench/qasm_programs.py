"""OpenQASM 2 programs for the reader/writer benchmark: seeded, over qelib1.inc gates only.

`generated(ngates)` mixes the gate kinds of real compiled programs (one-qubit
Clifford+T, rotations with literal and pi-expression angles, u3, cx-heavy
two-qubit layers, a few ccx, a final measurement), so every reader in the
comparison can load it.
"""

import random

ONE = ["h", "x", "y", "z", "s", "sdg", "t", "tdg"]
ROTATIONS = ["rx", "ry", "rz", "u1"]


def generated(ngates, nqubits=20, seed=18):
    rng = random.Random(seed)
    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";', f"qreg q[{nqubits}];", f"creg c[{nqubits}];"]
    append = lines.append
    for _ in range(ngates - nqubits):
        r = rng.random()
        a = rng.randrange(nqubits)
        if r < 0.35:
            append(f"{rng.choice(ONE)} q[{a}];")
        elif r < 0.5:
            append(f"{rng.choice(ROTATIONS)}({rng.uniform(-3, 3)!r}) q[{a}];")
        elif r < 0.55:
            append(f"rz(pi/{rng.randrange(1, 64)}) q[{a}];")
        elif r < 0.6:
            append(
                f"u3({rng.uniform(0, 3)!r},{rng.uniform(-3, 3)!r},{rng.uniform(-3, 3)!r}) q[{a}];"
            )
        elif r < 0.98:
            b = (a + rng.randrange(1, nqubits)) % nqubits
            append(f"cx q[{a}],q[{b}];")
        else:
            b, c = rng.sample([q for q in range(nqubits) if q != a], 2)
            append(f"ccx q[{a}],q[{b}],q[{c}];")
    for q in range(nqubits):
        append(f"measure q[{q}] -> c[{q}];")
    return "\n".join(lines) + "\n"
