"""How soon Ctrl-C takes effect during a long native call, at points along it.

For each call (on a merge-rich circuit, `circuits.py`) the script times the
whole call, then sends the interpreter's SIGINT handler a real-time signal at
fractions of that time and measures the delay until KeyboardInterrupt arrives.
That delay is the native work's reaction (a few milliseconds) plus the time
the interpreter takes to free what the call had built so far; the last column
is the time `del` takes on a finished result, for comparison. The heap built
before the calls is frozen, so the cycle collector's passes over it do not
enter the figures. Medians and spreads (min-max) over `--repeat` signals.

    python bench/bench_interrupt.py [--gates 1000000] [--repeat 3] [--out bench/results/interrupt.md]
"""

import argparse
import gc
import platform
import signal
import statistics
import sys
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from circuits import merge_rich  # noqa: E402

from corvane.circuit.dag import dag2qc, qc2dag  # noqa: E402
from corvane.circuit.equivalence import unitary  # noqa: E402
from corvane.circuit.optimize import GateCompressor  # noqa: E402
from corvane.circuit.quantumcircuit import QuantumCircuit  # noqa: E402
from corvane.circuit.quantumcircuit_helpers import convert_gate_info_to_dag_info  # noqa: E402
from corvane.circuit.schedule import DynamicalDecoupling  # noqa: E402

FRACTIONS = (0.05, 0.25, 0.5, 0.75, 0.95)
# A unitary costs 4**nqubits per gate: 10 qubits and this many gates take
# about a second.
UNITARY_QUBITS, UNITARY_GATES = 10, 500


def calls(ngates):
    """Name -> a function that makes the call afresh (a new pass object each time)."""
    qc = merge_rich(ngates)
    dag = qc2dag(qc)
    text = qc.to_qasm()
    narrow = merge_rich(UNITARY_GATES, nqubits=UNITARY_QUBITS)
    return {
        "qc2dag": lambda: qc2dag(qc),
        "dag2qc": lambda: dag2qc(dag, qc.nqubits, qc.ncbits),
        "convert": lambda: convert_gate_info_to_dag_info(qc.nqubits, qc.qubits, qc.gates),
        "compress": lambda: GateCompressor().run(qc),
        "decouple": lambda: DynamicalDecoupling(2e-8, 5e-8).run(qc),
        "from_qasm": lambda: QuantumCircuit.from_qasm(text),
        "to_qasm": lambda: qc.to_qasm(),
        "unitary": lambda: unitary(narrow),
    }


def whole_call(call):
    """The call's time and the time to delete its result, best of two."""
    runs, frees = [], []
    for _ in range(2):
        start = time.perf_counter()
        result = call()
        runs.append(time.perf_counter() - start)
        start = time.perf_counter()
        del result
        frees.append(time.perf_counter() - start)
    return min(runs), min(frees)


def latency(call, delay):
    """Seconds from the signal to KeyboardInterrupt, or None if the call ended first."""
    finished = False
    signal.setitimer(signal.ITIMER_REAL, delay)
    start = time.perf_counter()
    try:
        call()
        finished = True
        signal.setitimer(signal.ITIMER_REAL, 0)
    except KeyboardInterrupt:
        # A signal just after the call ended counts as the call ending first.
        return None if finished else time.perf_counter() - start - delay
    return None


def describe(samples):
    done = [s for s in samples if s is not None]
    if not done:
        return "ended first"
    text = f"{statistics.median(done) * 1e3:.0f} ms [{min(done) * 1e3:.0f}-{max(done) * 1e3:.0f}]"
    return text if len(done) == len(samples) else f"{text}, {len(samples) - len(done)} ended first"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--gates", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument(
        "--out", type=Path, default=Path(__file__).resolve().parent / "results" / "interrupt.md"
    )
    args = parser.parse_args()

    cases = calls(args.gates)
    gc.collect()
    gc.freeze()
    signal.signal(signal.SIGALRM, signal.default_int_handler)
    header = (
        ["call", "whole call"] + [f"signal at {f:.0%}" for f in FRACTIONS] + ["del of the result"]
    )
    rows = []
    for name, call in cases.items():
        duration, freeing = whole_call(call)
        cells = [
            describe([latency(call, f * duration) for _ in range(args.repeat)]) for f in FRACTIONS
        ]
        rows.append([name, f"{duration:.2f} s", *cells, f"{freeing * 1e3:.0f} ms"])
        print(" | ".join(rows[-1]), flush=True)

    size = f"{args.gates:.0e} gates (unitary: {UNITARY_QUBITS} qubits, {UNITARY_GATES} gates)"
    lines = [
        "# Ctrl-C latency along a call",
        "",
        f"`python bench/bench_interrupt.py --gates {args.gates} --repeat {args.repeat}` on {platform.platform()}, "
        f"Python {platform.python_version()}, {size}, merge-rich circuits. Each cell: median [min-max] of "
        f"{args.repeat} signals, milliseconds from the signal to KeyboardInterrupt.",
        "",
        "| " + " | ".join(header) + " |",
        "|" + "---|" * len(header),
        *("| " + " | ".join(row) + " |" for row in rows),
        "",
    ]
    args.out.parent.mkdir(parents=True, exist_ok=True)
    partial = args.out.with_suffix(".md.tmp")
    partial.write_text("\n".join(lines))
    partial.replace(args.out)
    print(f"wrote {args.out}")


if __name__ == "__main__":
    main()
