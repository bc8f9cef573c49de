"""Timings of corvane.circuit.statevector against Qiskit Aer's state-vector simulator on one thread.

Seeded random circuits of every gate of the model (tests/conftest.py's
random_circuit, no measurements) at each width, `--gates` gates each. Aer runs
as AerSimulator(method="statevector", max_parallel_threads=1) with its
default gate fusion, on the circuit converted by to_qiskit with
save_statevector() appended, translated once beforehand into the gates Aer
knows (transpile at optimization_level=0: higher levels elide swaps into a
final qubit permutation, which changes the state returned); its time is that of
run(...).result(). The two states are checked to agree first. Prints the
median and the spread (min to max) of `--repeat` timings each, and the ratio
of the medians (above 1: statevector is faster).

    python bench/bench_statevector.py [--repeat N] [--gates G] [--widths 16 20 24]
"""

import argparse
import statistics
import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from bench_unitary import describe, timings  # noqa: E402
from conftest import random_circuit  # noqa: E402

from corvane.circuit import statevector  # noqa: E402
from corvane.circuit.interop import to_qiskit  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--gates", type=int, default=1000)
    parser.add_argument("--widths", type=int, nargs="+", default=[16, 20, 24])
    args = parser.parse_args()
    from qiskit import transpile
    from qiskit_aer import AerSimulator

    aer = AerSimulator(method="statevector", max_parallel_threads=1)
    print(f"{args.gates} gates per circuit, {args.repeat} timings each; median [min-max]")
    print(f"{'qubits':>6}  {'corvane statevector':>30}  {'Aer, 1 thread':>30}  ratio")
    for width in args.widths:
        qc = random_circuit(width, ngates=args.gates, nqubits=width, functional=False)
        theirs = to_qiskit(qc)
        theirs.save_statevector()
        theirs = transpile(theirs, aer, optimization_level=0)

        def peer(circuit):
            return aer.run(circuit).result().get_statevector()

        assert np.allclose(statevector(qc), np.asarray(peer(theirs)), atol=1e-9)
        ours = timings(statevector, qc, args.repeat)
        peers = timings(peer, theirs, args.repeat)
        ratio = statistics.median(peers) / statistics.median(ours)
        print(f"{width:>6}  {describe(ours):>30}  {describe(peers):>30}  {ratio:5.2f}x", flush=True)


if __name__ == "__main__":
    main()
