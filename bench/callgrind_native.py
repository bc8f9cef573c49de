"""Instruction counts of the native paths under callgrind, for before/after comparisons of code
that every path reads (the gate table) on a shared machine, where timings are noise.

    python bench/callgrind_native.py [gates] [shape]    # every workload, one line each
    python bench/callgrind_native.py 20000 teleport     # a circuit with conditionals
    python bench/callgrind_native.py 10000 merge-rich from_qasm,dd   # some workloads only

Each workload runs in its own process under `valgrind --tool=callgrind`, once with the work and
once with only its set-up; the difference is the work's instruction count. Set-up (building the
circuit, importing the modules) is the same in both runs, so it cancels out. The cycle collector
is off during the work. For the counts before a change, put the old build first on PYTHONPATH.
"""

import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))

# Workload name -> (set-up, work): Python statements run with `qc` built from the shape.
WORKLOADS = {
    "qc2dag": ("from corvane.circuit.dag import qc2dag", "qc2dag(qc)"),
    "dag2qc": (
        "from corvane.circuit.dag import dag2qc, qc2dag; g = qc2dag(qc)",
        "dag2qc(g, qc.nqubits, qc.ncbits)",
    ),
    "compress": ("from corvane.circuit.optimize import GateCompressor", "GateCompressor().run(qc)"),
    "dd": (
        "from corvane.circuit.schedule import DynamicalDecoupling",
        "DynamicalDecoupling(2e-8, 5e-8).run(qc)",
    ),
    "to_qasm": ("", "qc.to_qasm()"),
    "from_qasm": ("text = qc.to_qasm()", "type(qc).from_qasm(text)"),
    "unitary": (
        "from corvane.circuit import unitary; from circuits import merge_rich; "
        "small = merge_rich(2000, nqubits=8, seed=7)",
        "unitary(small)",
    ),
    "inverse": ("", "qc.inverse()"),
    "matrix_dict": (
        "from corvane.circuit.matrix import gate_matrix_dict",
        "[gate_matrix_dict['rzz'](0.1 * k) for k in range(2000)]",
    ),
}


def count(gates, shape, setup, work):
    program = (
        f"import sys; sys.path.insert(0, {HERE!r})\n"
        f"from circuits import DYNAMIC_SHAPES, SHAPES\n"
        f"qc = {{**SHAPES, **DYNAMIC_SHAPES}}[{shape!r}]({gates})\n{setup}\n"
        # The graph modules import networkx when a graph is first built: in the
        # set-up, so that the work's count is the work's.
        "import corvane.circuit.dag; corvane.circuit.dag.nx\n"
        # The collector runs when allocations since the last collection pass a
        # threshold: where that falls moves with every import, so it is off
        # while the work runs.
        "import gc; gc.collect(); gc.disable()\n"
        f"{work}\n"
    )
    with tempfile.TemporaryDirectory() as tmp:
        out = os.path.join(tmp, "callgrind.out")
        subprocess.run(
            ["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c"]
            + [program],
            check=True,
            capture_output=True,
            # String hashes decide dict and set layouts: one seed for every run.
            env={**os.environ, "PYTHONHASHSEED": "0"},
        )
        with open(out) as f:
            for line in f:
                if line.startswith("summary:") or line.startswith("totals:"):
                    return int(line.split()[1])
    raise RuntimeError("callgrind wrote no totals")


def main():
    gates = int(sys.argv[1]) if len(sys.argv) > 1 else 10_000
    shape = sys.argv[2] if len(sys.argv) > 2 else "merge-rich"
    names = sys.argv[3].split(",") if len(sys.argv) > 3 else list(WORKLOADS)
    for name in names:
        setup, work = WORKLOADS[name]
        total = count(gates, shape, setup, work)
        base = count(gates, shape, setup, "pass")
        print(f"{name:12s} {shape} {gates}: {total - base:>14,d} instructions", flush=True)


if __name__ == "__main__":
    main()
