"""Timings of corvane.circuit.unitary against qiskit.quantum_info.Operator.

Random circuits of every gate kind (fixed seeds) at several widths; each is
timed `--repeat` times, one call per timing. Prints the median and the spread
(min to max) of each, and the ratio of the medians.

    python bench/bench_unitary.py [--repeat N] [--gates G] [--widths 6 8 10 12]
"""

import argparse
import statistics
import sys
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
from conftest import random_circuit  # noqa: E402

from corvane.circuit import unitary  # noqa: E402
from corvane.circuit.interop import to_qiskit  # noqa: E402


def timings(function, argument, repeat):
    samples = []
    for _ in range(repeat):
        start = time.perf_counter()
        function(argument)
        samples.append(time.perf_counter() - start)
    return samples


def describe(samples):
    return f"{statistics.median(samples) * 1e3:9.2f} ms [{min(samples) * 1e3:.2f}-{max(samples) * 1e3:.2f}]"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=7)
    parser.add_argument("--gates", type=int, default=200)
    parser.add_argument("--widths", type=int, nargs="+", default=[6, 8, 10, 12])
    args = parser.parse_args()
    from qiskit.quantum_info import Operator

    print(f"{args.gates} gates per circuit, {args.repeat} timings each; median [min-max]")
    print(f"{'qubits':>6}  {'corvane unitary':>30}  {'qiskit Operator':>30}  ratio")
    for width in args.widths:
        qc = random_circuit(width, ngates=args.gates, nqubits=width, functional=False)
        theirs = to_qiskit(qc)
        assert np.allclose(unitary(qc), Operator(theirs).data)
        ours = timings(unitary, qc, args.repeat)
        peer = timings(Operator, theirs, args.repeat)
        ratio = statistics.median(peer) / statistics.median(ours)
        print(f"{width:>6}  {describe(ours):>30}  {describe(peer):>30}  {ratio:5.2f}x")


if __name__ == "__main__":
    main()
