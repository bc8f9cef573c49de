"""Qiskit doing the closest equivalent of each of our passes (benchmark comparison only).

Qiskit is an optional extra (`pip install .[bench]`); nothing in the package imports it.

- gate list -> Qiskit QuantumCircuit: `to_qiskit` (timed separately, never inside a pass row)
- qc2dag  ~ `circuit_to_dag`, dag2qc ~ `dag_to_circuit`
- compression ~ PassManager(InverseCancellation(self-inverse gates and s/sdg, t/tdg pairs),
  Optimize1qGatesDecomposition(basis=COMPRESS_BASIS))
- dynamical decoupling ~ PassManager(ALAPScheduleAnalysis, PadDynamicalDecoupling([X, Y, X, Y]))
  with one-qubit gates lasting t1g and two-qubit gates t2g
"""

try:
    import qiskit
    from qiskit import QuantumCircuit as QiskitCircuit
    from qiskit.circuit.library import (
        CCXGate,
        CCZGate,
        CSwapGate,
        CXGate,
        CYGate,
        CZGate,
        HGate,
        SdgGate,
        SGate,
        SwapGate,
        TdgGate,
        TGate,
        XGate,
        YGate,
        ZGate,
    )
    from qiskit.converters import circuit_to_dag, dag_to_circuit  # noqa: F401 (suite.py)
    from qiskit.transpiler import InstructionDurations, PassManager
    from qiskit.transpiler.passes import (
        ALAPScheduleAnalysis,
        InverseCancellation,
        Optimize1qGatesDecomposition,
        PadDynamicalDecoupling,
    )

    AVAILABLE = True
    VERSION = qiskit.__version__
except ImportError:  # the comparison rows are then left out
    AVAILABLE = False
    VERSION = None

# Fixed one-qubit gates stay in the basis so that a lone h or t is left alone, as our pass does;
# runs of rotations are re-synthesised (and merged) only when that makes them shorter.
COMPRESS_BASIS = ["rx", "ry", "rz", "p", "u", "h", "x", "y", "z", "s", "sdg", "t", "tdg", "sx"]

# Durations on a 0.1 ns grid (the step our pass puts its gaps on).
DT = 1e-10

ONE_QUBIT = ["h", "x", "y", "z", "s", "sdg", "t", "tdg", "sx", "id", "rx", "ry", "rz", "p", "u"]
TWO_QUBIT = ["cx", "cy", "cz", "swap", "rzz", "rxx", "ryy", "cp"]


def to_qiskit(qc):
    """Our gate list as a Qiskit circuit (same qubit indices, same order)."""
    q = QiskitCircuit(qc.nqubits, qc.ncbits)
    one = {
        n: getattr(q, n) for n in ["h", "x", "y", "z", "s", "sdg", "t", "tdg", "sx", "id", "reset"]
    }
    two = {n: getattr(q, n) for n in ["cx", "cy", "cz", "swap"]}
    rot1 = {n: getattr(q, n) for n in ["rx", "ry", "rz", "p"]}
    rot2 = {n: getattr(q, n) for n in ["rzz", "rxx", "ryy", "cp"]}
    three = {"ccx": q.ccx, "ccz": q.ccz, "cswap": q.cswap}
    for e in qc.gates:
        name = e[0]
        if name in one:
            one[name](e[1])
        elif name in two:
            two[name](e[1], e[2])
        elif name in rot1:
            rot1[name](e[1], e[2])
        elif name in rot2:
            rot2[name](e[1], e[2], e[3])
        elif name in three:
            three[name](e[1], e[2], e[3])
        elif name == "u":
            q.u(e[1], e[2], e[3], e[4])
        elif name == "r":
            q.r(e[1], e[2], e[3])
        elif name == "measure":
            q.measure(list(e[1]), list(e[2]))
        elif name == "barrier":
            q.barrier(*e[1])
        elif name == "delay":
            for qb in e[2]:
                q.delay(e[1], qb, unit="s")
        else:
            raise ValueError(f"no Qiskit equivalent for {name!r}")
    return q


def compress_manager():
    self_inverse = [
        XGate(),
        YGate(),
        ZGate(),
        HGate(),
        CXGate(),
        CYGate(),
        CZGate(),
        SwapGate(),
        CCXGate(),
        CCZGate(),
        CSwapGate(),
        (SGate(), SdgGate()),
        (TGate(), TdgGate()),
    ]
    return PassManager(
        [InverseCancellation(self_inverse), Optimize1qGatesDecomposition(basis=COMPRESS_BASIS)]
    )


def dd_manager(t1g, t2g):
    d1, d2 = round(t1g / DT), round(t2g / DT)
    table = [(n, None, d1) for n in ONE_QUBIT] + [(n, None, d2) for n in TWO_QUBIT]
    # Three-qubit gates get the two-qubit duration; measure and reset are instantaneous.
    table += [(n, None, d2) for n in ["ccx", "ccz", "cswap"]] + [
        ("measure", None, 0),
        ("reset", None, 0),
    ]
    durations = InstructionDurations(table, dt=DT)
    return PassManager(
        [
            ALAPScheduleAnalysis(durations),
            PadDynamicalDecoupling(durations, [XGate(), YGate(), XGate(), YGate()]),
        ]
    )


def count(circuit_or_dag):
    return int(sum(circuit_or_dag.count_ops().values()))
