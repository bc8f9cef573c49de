"""check_transpiled: the per-program check of a transpiled result against its input."""

from pathlib import Path

import pytest
from conftest import random_circuit

from corvane.circuit import DynamicalDecoupling, GateCompressor, QuantumCircuit
from corvane.circuit.equivalence import check_transpiled

ROOT = Path(__file__).resolve().parent.parent
PROGRAMS = sorted((ROOT / "examples" / "qasm").glob("*.qasm")) + sorted(
    (Path(__file__).parent / "qasm").glob("*.qasm")
)
DECOUPLING = DynamicalDecoupling(t1g=2e-8, t2g=5e-8)


def load(path):
    return QuantumCircuit.from_qasm(path.read_text())


def passes(qc):
    compressed = GateCompressor().run(qc)
    return {
        "compressed": compressed,
        "decoupled XY4": DECOUPLING.run(compressed, sequence="XY4"),
        "decoupled CPMG": DECOUPLING.run(qc, sequence="CPMG"),
    }


@pytest.mark.parametrize("path", PROGRAMS, ids=lambda p: f"{p.parent.name}/{p.name}")
def test_shipped_programs_are_kept_and_a_planted_fault_is_found(path):
    qc = load(path)
    for name, result in passes(qc).items():
        status, reason = check_transpiled(qc, result)
        assert status == "kept", (name, reason)
    compressed = passes(qc)["compressed"]
    faulty = compressed.copy()
    if reason.startswith("outcome distributions"):
        # A dynamic program is compared by its outcomes: turn a measured qubit.
        k, measure = next((k, e) for k, e in enumerate(faulty.gates) if e[0] == "measure")
        faulty.gates.insert(k, ("ry", 0.7, measure[1][0]))
    else:
        gates = [k for k, e in enumerate(faulty.gates) if e[0] not in ("measure", "barrier")]
        del faulty.gates[gates[len(gates) // 2]]
    assert check_transpiled(qc, faulty)[0] == "differs"


def test_an_angle_moved_by_a_hundredth_is_a_difference_and_tiny_dropped_rotations_are_not():
    qc = load(ROOT / "tests" / "qasm" / "qaoa_rotations.qasm")
    moved = qc.copy()
    k = next(k for k, entry in enumerate(moved.gates) if entry[0] == "rx")
    moved.gates[k] = ("rx", moved.gates[k][1] + 0.01, moved.gates[k][2])
    status, reason = check_transpiled(qc, moved)
    assert status == "differs" and reason.startswith("distance 0.005")
    # A QFT's smallest controlled phases are dropped as the identity.
    qft = QuantumCircuit(4).h(0)
    for k in range(40):
        qft.cp(1e-5 / (k + 1), k % 3, 3)
    compressed = GateCompressor().run(qft)
    assert len(compressed) == 1 and check_transpiled(qft, compressed)[0] == "kept"


def test_above_the_unitary_limit_random_states_are_used():
    qc = random_circuit(3, ngates=200, nqubits=13, functional=False).measure([0, 5], [0, 1])
    status, reason = check_transpiled(qc, GateCompressor().run(qc))
    assert status == "kept" and reason.endswith("on 4 random states")
    faulty = qc.copy()
    del faulty.gates[100]
    assert check_transpiled(qc, faulty, states=1)[0] == "differs"


@pytest.mark.parametrize(
    "before, after, expected",
    [
        (
            QuantumCircuit(27).h(0),
            QuantumCircuit(27).h(0),
            ("not checked", "too many qubits (27 > 26)"),
        ),
        (
            QuantumCircuit(25, 1).measure(0, 0).x(0),
            QuantumCircuit(25, 1).measure(0, 0).x(0),
            (
                "not checked",
                "mid-circuit measurement (gate 0 of the input): too many qubits to follow its "
                "branches (25 > 24)",
            ),
        ),
        (
            QuantumCircuit(3).h(0),
            QuantumCircuit(3).h(0),
            ("not checked", "over the budget (3 qubits > 2)"),
        ),
        (
            QuantumCircuit(2, 2).h(0).measure([0, 1], [0, 1]),
            QuantumCircuit(2, 2).h(0).measure([0, 1], [1, 0]),
            ("differs", "measures other bits"),
        ),
        (QuantumCircuit(2), QuantumCircuit(3), ("differs", "qubit counts differ (2 and 3)")),
    ],
)
def test_what_cannot_be_compared_says_why(before, after, expected):
    assert (
        check_transpiled(before, after, max_qubits=2 if before.nqubits == 3 else None) == expected
    )


def test_a_gate_without_a_matrix_is_not_checked():
    after = QuantumCircuit(1)
    after.gates.append(("myx", 0))
    status, reason = check_transpiled(QuantumCircuit(1), after)
    assert status == "not checked" and "no matrix for gate 'myx'" in reason
