"""The whole journey: build a circuit, compress it, decouple it, draw it."""

import matplotlib

from corvane.circuit.dag import dag2qc, draw_dag, qc2dag
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.schedule import DynamicalDecoupling
from corvane.circuit.timeline import draw_timeline

matplotlib.use("Agg")  # write pictures to files, open no window

T1G, T2G = 2e-8, 5e-8  # seconds per one- and two-qubit gate


def show(title, qc):
    print(f"{title}: {len(qc)} gates {qc.count_ops()}")
    for entry in qc.gates:
        print("   ", entry)


def main():
    qc = QuantumCircuit(3, 3)
    qc.h(0).x(2).x(2).cx(1, 2).rz(0.1, 1).rz(-0.1, 1)
    for _ in range(2):
        qc.cx(0, 1).cz(0, 1)  # qubit 2 waits here
    qc.cx(1, 2).rx(0.25, 2).rx(0.5, 2).measure([0, 1, 2], [0, 1, 2])
    show("circuit", qc)

    dag = qc2dag(qc)
    print(f"gate DAG: {dag.number_of_nodes()} nodes, {dag.number_of_edges()} edges")
    assert sorted(dag2qc(dag, qc.nqubits, qc.ncbits).gates, key=repr) == sorted(qc.gates, key=repr)

    compressed = GateCompressor().run(qc)
    show("compressed", compressed)

    decoupled = DynamicalDecoupling(T1G, T2G).run(compressed, sequence="XY4")
    show("decoupled (XY4)", decoupled)

    draw_dag(qc2dag(compressed), "demo_dag.png")
    draw_timeline(decoupled, T1G, T2G, "demo_timeline.png", title="decoupled circuit")
    print("wrote demo_dag.png and demo_timeline.png")


if __name__ == "__main__":
    main()
