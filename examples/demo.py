"""A short tour: build a circuit, turn it into a gate DAG and back."""

from corvane.circuit.dag import dag2qc, qc2dag
from corvane.circuit.quantumcircuit import QuantumCircuit


def main():
    qc = QuantumCircuit(3, 3)
    qc.h(0).cx(0, 1).rx(0.25, 2).cx(1, 2).barrier().measure([0, 1, 2], [0, 1, 2])
    print("circuit:", qc)
    for entry in qc.gates:
        print("   ", entry)

    dag = qc2dag(qc)
    print(f"gate DAG: {dag.number_of_nodes()} nodes, {dag.number_of_edges()} edges")
    for u, v, data in dag.edges(data=True):
        print(f"    {u} -> {v}  qubits {data['qubit']}")

    back = dag2qc(dag, qc.nqubits, qc.ncbits)
    print("rebuilt:", back)
    for entry in back.gates:
        print("   ", entry)


if __name__ == "__main__":
    main()
