"""The native engines and the OpenQASM reader let other threads run while they work."""

import sys
import threading
import time

import pytest
from conftest import random_circuit

from corvane.circuit import qasm
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.pipeline import PassManager
from corvane.circuit.schedule import DynamicalDecoupling

T1G, T2G = 2e-8, 5e-8
BIG = random_circuit(7, ngates=200_000, nqubits=8, functional=False)
BIG_TEXT = qasm.dumps(BIG)


def ticks_during(call):
    """How often another thread ran Python code while ``call`` ran here."""
    ticks, stop = [0], threading.Event()

    def count():
        while not stop.is_set():
            ticks[0] += 1
            time.sleep(1e-4)  # lets the GIL go at once, so the caller never waits for it

    # A long switch interval: the counting thread gets the GIL when this one
    # lets it go, not because this one ran long in Python code.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1.0)
    other = threading.Thread(target=count)
    try:
        other.start()
        before = ticks[0]
        call()
        during = ticks[0] - before
    finally:
        stop.set()
        other.join()
        sys.setswitchinterval(interval)
    return during


def test_a_call_that_holds_the_gil_lets_no_other_thread_run():
    # The control of the test below: one long C call of the interpreter's own.
    assert ticks_during(lambda: sorted(range(1_000_000), reverse=True)) == 0


@pytest.mark.parametrize(
    "call",
    [
        lambda: GateCompressor().run(BIG),
        lambda: DynamicalDecoupling(T1G, T2G).run(BIG),
        lambda: qasm.loads(BIG_TEXT),
    ],
    ids=["compress", "decouple", "read"],
)
def test_another_thread_runs_while_the_core_works(call):
    # With the GIL held throughout, the counting thread could not run a single
    # bytecode between the two reads of its counter.
    assert ticks_during(call) > 0


def test_two_threads_give_the_results_of_one():
    circuits = [random_circuit(seed, ngates=2_000, nqubits=5) for seed in range(8)]
    manager = PassManager([GateCompressor(), DynamicalDecoupling(T1G, T2G)])
    expected = [manager.run(qc) for qc in circuits]
    results = [None] * len(circuits)

    def work(indices):
        for i in indices:
            results[i] = manager.run(circuits[i])

    threads = [threading.Thread(target=work, args=(range(k, len(circuits), 2),)) for k in (0, 1)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == expected
