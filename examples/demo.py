"""A short tour: build a circuit, turn it into a gate DAG and back, draw the DAG."""

import matplotlib

from corvane.circuit.dag import dag2qc, draw_dag, qc2dag
from corvane.circuit.quantumcircuit import QuantumCircuit

matplotlib.use("Agg")  # write the picture to a file, open no window


def show(title, qc):
    print(f"{title}: {qc}")
    for entry in qc.gates:
        print("   ", entry)


def main():
    qc = QuantumCircuit(3, 3)
    qc.h(0).cx(0, 1).rx(0.25, 2).cx(1, 2).barrier().measure([0, 1, 2], [0, 1, 2])
    show("circuit", qc)

    dag = qc2dag(qc)
    print(f"gate DAG: {dag.number_of_nodes()} nodes, {dag.number_of_edges()} edges")
    for u, v, data in dag.edges(data=True):
        print(f"    {u} -> {v}  qubits {data['qubit']}")

    show("rebuilt", dag2qc(dag, qc.nqubits, qc.ncbits))

    draw_dag(dag, "demo_dag.png")
    print("wrote demo_dag.png")


if __name__ == "__main__":
    main()
