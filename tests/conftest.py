import random

import pytest

from corvane.circuit.optimize import GateCompressor
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.schedule import DynamicalDecoupling

ONE_QUBIT = ["id", "x", "y", "z", "h", "s", "sdg", "t", "tdg", "sx", "sxdg"]
TWO_QUBIT = ["swap", "iswap", "cx", "cnot", "cy", "cz"]
THREE_QUBIT = ["ccz", "ccx", "cswap"]
ONE_QUBIT_PARAMETER = {"rx": 1, "ry": 1, "rz": 1, "p": 1, "u": 3, "r": 2}
TWO_QUBIT_PARAMETER = {"rxx": 1, "ryy": 1, "rzz": 1, "cp": 1}


def random_circuit(seed, ngates=40, nqubits=5, ncbits=None, functional=True, conditional=False):
    """A seeded circuit mixing every gate category; with ``conditional``,
    conditionals too (one or two gates, a measure or a nested conditional
    in each branch)."""
    rng = random.Random(seed)
    qc = QuantumCircuit(nqubits, nqubits if ncbits is None else ncbits)
    kinds = ["one", "two", "param1", "param2"]
    if nqubits >= 3:
        kinds.append("three")
    if functional:
        kinds += ["measure", "barrier", "delay", "reset"]
    if conditional and qc.ncbits:
        kinds += ["if", "if"]
    for _ in range(ngates):
        kind = rng.choice(kinds)
        if kind in ("two", "param2") and nqubits < 2:
            kind = "one"
        if kind == "one":
            qc.append_gate(rng.choice(ONE_QUBIT), rng.randrange(nqubits))
        elif kind == "two":
            qc.append_gate(rng.choice(TWO_QUBIT), *rng.sample(range(nqubits), 2))
        elif kind == "three":
            qc.append_gate(rng.choice(THREE_QUBIT), *rng.sample(range(nqubits), 3))
        elif kind == "param1":
            name = rng.choice(list(ONE_QUBIT_PARAMETER))
            params = [rng.uniform(-3, 3) for _ in range(ONE_QUBIT_PARAMETER[name])]
            qc.append_gate(name, *params, rng.randrange(nqubits))
        elif kind == "param2":
            name = rng.choice(list(TWO_QUBIT_PARAMETER))
            qc.append_gate(name, rng.uniform(-3, 3), *rng.sample(range(nqubits), 2))
        elif kind == "measure":
            q = rng.randrange(nqubits)
            qc.measure([q], [rng.randrange(qc.ncbits)] if qc.ncbits else [])
        elif kind == "barrier":
            qc.barrier(rng.sample(range(nqubits), rng.randint(1, nqubits)))
        elif kind == "delay":
            qc.delay(rng.uniform(0, 1e-7), rng.sample(range(nqubits), rng.randint(1, nqubits)))
        elif kind == "if":
            _random_conditional(rng, qc, depth=2)
        else:
            qc.reset(rng.randrange(nqubits))
    return qc


def _random_conditional(rng, qc, depth):
    width = rng.randint(1, min(2, qc.ncbits))
    with qc.if_test(rng.sample(range(qc.ncbits), width), rng.randrange(1 << width)) as branch:
        _random_branch(rng, qc, depth)
    if rng.random() < 0.5:
        with branch.else_():
            _random_branch(rng, qc, depth)


def _random_branch(rng, qc, depth):
    for _ in range(rng.randint(1, 2)):
        pick = rng.random()
        if pick < 0.15 and depth > 1:
            _random_conditional(rng, qc, depth - 1)
        elif pick < 0.3:
            qc.measure(rng.randrange(qc.nqubits), rng.randrange(qc.ncbits))
        elif pick < 0.5 and qc.nqubits >= 2:
            qc.append_gate(rng.choice(TWO_QUBIT), *rng.sample(range(qc.nqubits), 2))
        else:
            qc.append_gate(rng.choice(ONE_QUBIT), rng.randrange(qc.nqubits))


@pytest.fixture
def bell():
    qc = QuantumCircuit(2, 2)
    qc.h(0).cx(0, 1).measure([0, 1], [0, 1])
    return qc


class GenericCompressor(GateCompressor):
    """Overrides a method trivially, which sends run down the generic path."""

    def has_adjacent_gates(self):
        return super().has_adjacent_gates()


class GenericDecoupling(DynamicalDecoupling):
    """Overrides a method trivially, which sends run down the generic path."""

    def counter(self):
        return super().counter()


@pytest.fixture(scope="module")
def dask_cluster():
    """A small real Dask cluster of two worker processes for the tests of one module.

    No dashboard; the scheduler's health server takes a free port, not the usual 8787.
    Its scheduler runs on threads of this process, so it is gone before the modules
    that count this process's allocations run."""
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(
        n_workers=2,
        threads_per_worker=1,
        processes=True,
        dashboard_address=None,
        scheduler_kwargs={"dashboard_address": ":0"},
    ) as cluster:
        yield cluster


def interrupt_session(argv, settle=0.0, sig=None, group=True):
    """Run ``argv`` in a session of its own; once it prints "started" (and ``settle``
    seconds later), send SIGINT to the whole group, as Ctrl-C in a terminal does (or
    ``sig``, to the group or with ``group=False`` to the first process only).

    Returns the exit status, the standard error, and what is still running in the
    session 15 seconds on ("" when every worker is gone). Helper processes of the start
    method (a forkserver, the resource tracker) leave on their own once the parent is gone.
    """
    import os
    import signal
    import subprocess
    import time

    child = subprocess.Popen(
        argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True
    )
    try:
        assert child.stdout.readline() == "started\n"
        time.sleep(settle)
        (os.killpg if group else os.kill)(child.pid, sig or signal.SIGINT)
        _, err = child.communicate(timeout=60)
    finally:
        if child.poll() is None:
            os.killpg(child.pid, signal.SIGKILL)
    deadline = time.monotonic() + 15
    while True:
        survivors = subprocess.run(
            ["pgrep", "-a", "-s", str(child.pid)], capture_output=True, text=True
        ).stdout
        if survivors == "" or time.monotonic() > deadline:
            return child.returncode, err, survivors
        time.sleep(0.2)
