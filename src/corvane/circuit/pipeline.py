"""Pass pipelines: several passes in order, on one circuit or on a batch of circuits.

``PassManager(steps)`` takes a list of steps, each a ``TranspilerPass`` instance
or a pair ``(pass, {run options})``::

    manager = PassManager([GateCompressor(),
                           (DynamicalDecoupling(2e-8, 5e-8), {"sequence": "CPMG"})])
    out = manager.run(qc)                      # one circuit, in this process
    outs = manager.run(circuits)               # a batch, on all cores when it is large
    outs = manager.run(circuits, executor=client.get_executor())   # on a Dask cluster

One circuit runs on the caller's pass objects, exactly as calling the passes one
by one: their counters advance and ``GateCompressor.dag`` is the graph of this
run.

A batch never changes the caller's pass objects. It runs on copies of the
passes taken when ``run`` is called: one copy for the circuits run in this
process, and a fresh copy for every chunk of circuits sent to an executor, so
each worker works on its own. The counters of the caller's passes and ``GateCompressor.dag``
therefore keep their values after a batch, serial or parallel, and every copy
starts numbering new graph nodes from the caller's counters. Those serials name
nodes of the passes' internal graphs only; the circuits a batch returns are
those of running the passes one by one, whatever the executor.

A circuit that fails never loses the others: every circuit of the batch is
run, and then either one ``BatchError`` is raised that names the index of each
failed circuit and carries their exceptions (``errors="raise"``, the default),
or the exception object takes the failed circuit's place in the returned list
(``errors="return"``). ``KeyboardInterrupt`` stops a batch at once: the pending
work is cancelled and a process pool that ``run`` started is shut down and its
workers ended.
"""

import concurrent.futures as cf
import contextlib
import gc
import glob
import inspect
import os
import pickle
import re
import signal
import sys
import tempfile
import time
import traceback
from collections.abc import Mapping
from dataclasses import dataclass, field, replace
from pathlib import Path

from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.stratum import TranspilerPass

__all__ = [
    "PassManager",
    "BatchError",
    "FileSummary",
    "transpile_files",
    "transpile_text",
    "start_worker_server",
    "find_programs",
    "plan_files",
    "write_report",
    "write_atomically",
]

# A batch of fewer gates than this runs in this process when no executor is
# given: compress then decouple takes 3-7 us of CPU per gate (bench/results/
# throughput.md: 36 s for 5.5 million gates on a loaded machine), so 100,000
# gates are well under a second of work, where starting a pool and pickling the
# circuits both ways would eat most of what a second core gains.
IN_PROCESS_GATES = 100_000

# Above IN_PROCESS_GATES, a batch given no executor runs its first circuits
# here, about this many gates (some 20-100 ms of passes), to measure its CPU
# time per gate and its result entries per gate; the rest goes to a pool only
# when the pool's estimated time, with what moving the circuits costs, is
# under POOL_MARGIN of running the rest here.
SAMPLE_GATES = 20_000
POOL_MARGIN = 0.8  # a pool must win clearly: a near tie is within the noise of the estimate

# What moving a circuit to a worker and its result back costs, in CPU
# nanoseconds: the parent pickles each input gate and unpickles each result
# entry, a worker the reverse. From bench/bench_transfer.py on the shared
# development machine (best of 5, 40 circuits of the throughput batch): input
# gates 90 ns to pickle, 45-75 ns to unpickle; result entries 17-80 ns to
# unpickle and 27-160 ns to pickle (the low figures for decoupling, whose
# pulses are shared objects, the high ones for compressed u3 entries). The
# high figures are taken, so the pool is chosen when it wins at the worst.
PARENT_NS_PER_GATE = 90
PARENT_NS_PER_RESULT_ENTRY = 80
WORKER_NS_PER_GATE = 80
WORKER_NS_PER_RESULT_ENTRY = 160

# Starting a pool of two workers that import the package: 0.6-0.7 s measured
# with forkserver (see IN_PROCESS_BYTES); a fork is quicker, the larger is taken.
POOL_START_SECONDS = 0.7

# Gates per chunk of work sent to an executor, so that the fixed cost of a task
# (a round trip through the pool's queues or the Dask scheduler, milliseconds)
# stays a few per cent of its 0.15-0.35 s of work; a circuit larger than this
# is a chunk of its own.
CHUNK_GATES = 50_000

_PROTOCOL = pickle.HIGHEST_PROTOCOL

# ExceptionGroup is built in from Python 3.11; on 3.10 a plain exception with
# the same ``message`` and ``exceptions`` attributes stands in for it.
if sys.version_info >= (3, 11):
    _ExceptionGroup = ExceptionGroup
else:  # pragma: no cover - Python 3.10

    class _ExceptionGroup(Exception):
        def __init__(self, message, exceptions):
            super().__init__(message, tuple(exceptions))

        message = property(lambda self: self.args[0])
        exceptions = property(lambda self: self.args[1])


class BatchError(_ExceptionGroup):
    """Some circuits of a batch failed.

    An ``ExceptionGroup`` on Python 3.11 and newer (so ``except*`` picks out the
    errors by type), a plain ``Exception`` with the same attributes on 3.10.

    Attributes:
        exceptions (tuple): the error of each failed circuit.
        indices (tuple): the batch index of each failed circuit, in the order of ``exceptions``.
        results (list): every circuit's result in input order, the exception in place
            of each failed circuit (what ``errors="return"`` returns).
    """

    def __new__(cls, message, exceptions, indices=(), results=()):
        self = super().__new__(cls, message, exceptions)
        self.indices = tuple(indices)
        self.results = list(results)
        return self

    def __init__(self, message, exceptions, indices=(), results=()):
        super().__init__(message, exceptions)


class _RemoteTraceback(Exception):
    """The traceback of an error raised in a worker, shown as the cause of that error."""

    def __str__(self):
        return self.args[0]


# ---- steps -----------------------------------------------------------------------------


def _pass_name(position, pass_):
    return f"step {position} ({type(pass_).__name__})"


def _check_step(position, step):
    """Return the step as a ``(pass, options)`` pair, or raise ``TypeError`` saying what is wrong."""
    if isinstance(step, TranspilerPass):
        return step, {}
    if isinstance(step, type) and issubclass(step, TranspilerPass):
        raise TypeError(
            f"step {position} is the class {step.__name__}; pass an instance, "
            f"such as {step.__name__}(...)"
        )
    if not (isinstance(step, (tuple, list)) and len(step) == 2):
        raise TypeError(
            f"step {position} must be a TranspilerPass instance or a pair "
            f"(pass, {{run options}}), got {type(step).__name__}"
        )
    pass_, options = step
    if not isinstance(pass_, TranspilerPass):
        raise TypeError(
            f"step {position}: the first item of a pair must be a TranspilerPass "
            f"instance, got {type(pass_).__name__}"
        )
    if not isinstance(options, Mapping):
        raise TypeError(
            f"{_pass_name(position, pass_)}: run options must be a mapping of "
            f"keyword to value, got {type(options).__name__}"
        )
    options = dict(options)
    if not all(isinstance(key, str) for key in options):
        raise TypeError(f"{_pass_name(position, pass_)}: run option names must be strings")
    _check_options(position, pass_, options)
    return pass_, options


def _check_options(position, pass_, options):
    """Refuse options that the pass's ``run`` does not take, before any circuit runs."""
    try:
        signature = inspect.signature(pass_.run)
    except (TypeError, ValueError):  # no signature to check against: run reports it
        return
    parameters = list(signature.parameters.values())
    if any(p.kind is p.VAR_KEYWORD for p in parameters):
        return
    accepted = [
        p.name for p in parameters[1:] if p.kind in (p.POSITIONAL_OR_KEYWORD, p.KEYWORD_ONLY)
    ]
    unknown = [name for name in options if name not in accepted]
    if unknown:
        raise TypeError(
            f"{_pass_name(position, pass_)}: unknown run option(s) "
            f"{', '.join(map(repr, unknown))}; its run takes "
            f"{', '.join(accepted) if accepted else 'no options'}"
        )
    try:
        signature.bind(None, **options)
    except TypeError as err:
        raise TypeError(f"{_pass_name(position, pass_)}: {err}") from None


def _apply(steps, qc):
    """Run the steps in order on ``qc`` and return the last result."""
    if not steps:
        return qc.deepcopy()
    for position, (pass_, options) in enumerate(steps):
        qc = pass_.run(qc, **options)
        if not isinstance(qc, QuantumCircuit):
            raise TypeError(
                f"{_pass_name(position, pass_)} returned {type(qc).__name__}, not a QuantumCircuit"
            )
    return qc


# ---- batches ---------------------------------------------------------------------------


@contextlib.contextmanager
def _collector_paused():
    """Pause the cyclic collector while circuits are unpickled.

    A circuit is a list of flat tuples, so unpickling one makes no cycles; with
    the collector running, its thousands of tuples would start a collection
    every 700 allocations, and each would walk the graphs the passes had just
    left behind (measured: twice the CPU time of the serial run on 1e3-1e4-gate
    circuits). Paused, the allocations are counted still, and one collection
    follows.
    """
    enabled = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if enabled:
            gc.enable()


class _NoBar:
    """What a batch without progress=True moves instead of a bar."""

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        return False

    def update(self, count):
        pass


def _progress_bar(total, unit, shown):
    """A progress bar on standard error, or a stand-in: importing tqdm takes
    some 20 ms, as long as compressing fifty small circuits."""
    if not shown:
        return _NoBar()
    from tqdm.auto import tqdm

    return tqdm(total=total, unit=unit)


def _run_chunk(steps_blob, circuit_blobs):
    """Worker side: run a fresh copy of the steps on each pickled circuit.

    Each outcome is pickled here, one by one, so that a result or an error that
    cannot travel back costs only its own circuit.
    """
    steps = pickle.loads(steps_blob)
    outcomes = []
    for blob in circuit_blobs:
        try:
            with _collector_paused():
                qc = pickle.loads(blob)
            outcome = (_apply(steps, qc), None)
        except Exception as err:
            outcome = (err, traceback.format_exc())
        try:
            outcomes.append(pickle.dumps(outcome, _PROTOCOL))
        except Exception as err:
            value, remote = outcome
            what = "error" if remote else "result"
            substitute = RuntimeError(
                f"the circuit's {what} could not be sent back: "
                f"{type(err).__name__}: {err} ({type(value).__name__}: {value})"
            )
            outcomes.append(pickle.dumps((substitute, remote or ""), _PROTOCOL))
    return outcomes


def _read_outcome(blob):
    """A worker's outcome: the result circuit, or its error with the worker's traceback as cause."""
    try:
        with _collector_paused():
            value, remote = pickle.loads(blob)
    except Exception as err:
        return RuntimeError(f"the worker's outcome could not be read: {type(err).__name__}: {err}")
    if remote:
        value.__cause__ = _RemoteTraceback(remote)
    return value


def _chunks(circuits):
    """Consecutive index ranges of about ``CHUNK_GATES`` gates each."""
    ranges, start, gates = [], 0, 0
    for index, qc in enumerate(circuits):
        gates += len(qc.gates)
        if gates >= CHUNK_GATES:
            ranges.append(range(start, index + 1))
            start, gates = index + 1, 0
    if start < len(circuits):
        ranges.append(range(start, len(circuits)))
    return ranges


def _cpu_count():
    if hasattr(os, "process_cpu_count"):  # Python 3.13+
        return os.process_cpu_count() or 1
    if hasattr(os, "sched_getaffinity"):
        return len(os.sched_getaffinity(0))
    return os.cpu_count() or 1


def _start_worker():
    """Set up a worker of the pool that ``run`` starts.

    Ctrl-C is left to the parent, which cancels the batch and ends the workers.
    A forked worker inherits the parent's objects (the whole batch among them);
    freezing them keeps its collections from walking them again and again,
    and from copying their pages by touching their headers.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    gc.freeze()


def _end_pool(pool):
    """Cancel what has not started and end the workers now, without waiting for running chunks."""
    if hasattr(pool, "terminate_workers"):  # Python 3.14+
        pool.terminate_workers()
        return
    # Before 3.14 the pool offers no public way to stop a running task; its
    # shutdown forgets the worker processes, so they are taken first.
    processes = list((getattr(pool, "_processes", None) or {}).values())
    pool.shutdown(wait=False, cancel_futures=True)
    for process in processes:
        process.terminate()


def _gather(executor, steps_blob, circuits, results, bar):
    """Send the circuits to ``executor`` chunk by chunk and put every outcome in ``results``."""
    futures = {}
    try:
        for chunk in _chunks(circuits):
            blobs = [pickle.dumps(circuits[i], _PROTOCOL) for i in chunk]
            futures[executor.submit(_run_chunk, steps_blob, blobs)] = chunk
        for future in cf.as_completed(futures):
            chunk = futures.pop(future)
            try:
                outcomes = [_read_outcome(blob) for blob in future.result()]
            except Exception as err:  # the whole chunk was lost (a worker died, ...)
                outcomes = [err] * len(chunk)
            for index, outcome in zip(chunk, outcomes):
                results[index] = outcome
            bar.update(len(chunk))
    except BaseException:
        for future in futures:
            future.cancel()
        raise


class PassManager:
    """Runs transpiler passes in order on a circuit or a batch of circuits.

    Args:
        steps (iterable): each step a ``TranspilerPass`` instance or a pair
            ``(pass, {keyword options for its run})``. Steps are checked here:
            a step that is neither, or a run option the pass's ``run`` does not
            take, raises ``TypeError`` naming the step.
    """

    def __init__(self, steps):
        if isinstance(steps, TranspilerPass) or isinstance(steps, (str, bytes)):
            raise TypeError(f"steps must be a list of steps, got {type(steps).__name__}")
        try:
            steps = list(steps)
        except TypeError:
            raise TypeError(f"steps must be a list of steps, got {type(steps).__name__}") from None
        self._steps = tuple(_check_step(position, step) for position, step in enumerate(steps))

    @property
    def steps(self):
        """The steps as ``(pass, options)`` pairs (the passes are the caller's objects)."""
        return [(pass_, dict(options)) for pass_, options in self._steps]

    def __repr__(self):
        names = ", ".join(type(pass_).__name__ for pass_, _ in self._steps)
        return f"PassManager([{names}])"

    def run(self, circuits, executor=None, progress=False, errors="raise"):
        """Run the steps on one circuit, or on each circuit of a batch.

        Args:
            circuits (QuantumCircuit | iterable): one circuit, run here on the caller's
                passes; or any iterable of circuits.
            executor (concurrent.futures.Executor | None): where a batch runs: any executor,
                such as a ``ProcessPoolExecutor`` or a Dask ``Client(...).get_executor()``.
                With None, a batch of fewer than ``IN_PROCESS_GATES`` gates runs in this
                process; a larger one runs its first ``SAMPLE_GATES`` gates here, and
                the rest on a process pool of one worker per core only when, from the
                sample's time and result size, the pool is estimated to win clearly
                (moving large results back costs the parent about what making them
                costs the passes, so a batch whose passes multiply its entries, such
                as decoupling of idle-rich circuits, mostly stays here; the file road,
                ``transpile_files``, sends nothing back).
            progress (bool): show a progress bar (circuits done, rate, time left) on
                standard error.
            errors (str): "raise" to raise one ``BatchError`` after the batch when any
                circuit failed, "return" to put each failed circuit's exception in its place.

        Returns:
            QuantumCircuit | list: the new circuit, or the batch's results in input order.
        """
        if isinstance(circuits, QuantumCircuit):
            if executor is not None or progress or errors != "raise":
                raise TypeError(
                    "executor, progress and errors apply to a batch; pass a list of circuits"
                )
            return _apply(self._steps, circuits)
        if errors not in ("raise", "return"):
            raise ValueError(f"errors must be 'raise' or 'return', got {errors!r}")
        if executor is not None and not isinstance(executor, cf.Executor):
            raise TypeError(
                f"executor must be a concurrent.futures.Executor, got {type(executor).__name__}"
            )
        try:
            circuits = list(circuits)
        except TypeError:
            raise TypeError(
                f"run takes a QuantumCircuit or an iterable of them, got {type(circuits).__name__}"
            ) from None
        for index, qc in enumerate(circuits):
            if not isinstance(qc, QuantumCircuit):
                raise TypeError(
                    f"item {index} of the batch is {type(qc).__name__}, not a QuantumCircuit"
                )

        results = self._run_batch(circuits, executor, progress)
        failed = [index for index, value in enumerate(results) if isinstance(value, BaseException)]
        if failed and errors == "raise":
            shown = ", ".join(
                f"{i} ({type(results[i]).__name__}: {results[i]})" for i in failed[:3]
            )
            more = f" and {len(failed) - 3} more" if len(failed) > 3 else ""
            raise BatchError(
                f"{len(failed)} of {len(results)} circuits failed: {shown}{more}",
                [results[i] for i in failed],
                failed,
                results,
            )
        return results

    def _run_batch(self, circuits, executor, progress):
        steps_blob = _steps_blob(self._steps)
        results = [None] * len(circuits)
        with _progress_bar(len(circuits), "circuit", progress) as bar:
            if executor is not None:
                _gather(executor, steps_blob, circuits, results, bar)
                return results
            steps = pickle.loads(steps_blob)
            total_gates = sum(len(qc.gates) for qc in circuits)
            workers = min(_cpu_count(), len(_chunks(circuits)))
            if total_gates < IN_PROCESS_GATES or workers < 2:
                _run_here(steps, circuits, range(len(circuits)), results, bar)
                return results
            sample = _sample(circuits)
            start = time.process_time()
            _run_here(steps, circuits, sample, results, bar)
            seconds = time.process_time() - start
            rest = circuits[sample.stop :]
            if not _pool_wins(seconds, circuits, sample, results, rest, workers):
                _run_here(steps, circuits, range(sample.stop, len(circuits)), results, bar)
                return results
            rest_results = [None] * len(rest)
            pool = cf.ProcessPoolExecutor(max_workers=workers, initializer=_start_worker)
            try:
                _gather(pool, steps_blob, rest, rest_results, bar)
            except BaseException:
                _end_pool(pool)
                raise
            finally:
                pool.shutdown(wait=True)
            results[sample.stop :] = rest_results
        return results


def _run_here(steps, circuits, indices, results, bar):
    """Run the circuits of ``indices`` in this process, on one copy of the steps."""
    for index in indices:
        try:
            results[index] = _apply(steps, circuits[index])
        except Exception as err:
            results[index] = err
        bar.update(1)


def _sample(circuits):
    """The first circuits of the batch, up to the one that brings them to ``SAMPLE_GATES`` gates."""
    gates = 0
    for index, qc in enumerate(circuits):
        if gates >= SAMPLE_GATES:
            return range(index)
        gates += len(qc.gates)
    return range(len(circuits))


def _pool_wins(seconds, circuits, sample, results, rest, workers):
    """Whether the rest of the batch is done sooner on ``workers`` processes than here.

    ``seconds`` is the CPU time the sample took here: per gate, the work of
    the rest; its results, per gate, how many entries come back.
    """
    sample_gates = sum(len(circuits[i].gates) for i in sample)
    rest_gates = sum(len(qc.gates) for qc in rest)
    if not rest_gates or not sample_gates:
        return False
    out = sum(len(r.gates) for r in results[: sample.stop] if isinstance(r, QuantumCircuit))
    work = seconds / sample_gates
    entries = out / sample_gates
    here = rest_gates * work
    parent = rest_gates * (PARENT_NS_PER_GATE + entries * PARENT_NS_PER_RESULT_ENTRY) * 1e-9
    worker = rest_gates * (
        work + (WORKER_NS_PER_GATE + entries * WORKER_NS_PER_RESULT_ENTRY) * 1e-9
    )
    return POOL_START_SECONDS + max(parent, worker / workers) < POOL_MARGIN * here


# ---- the file road ---------------------------------------------------------------------

# Files of these suffixes are the programs a folder holds.
PROGRAM_SUFFIXES = (".qasm", ".qasm3")

# With jobs=None, a batch of files smaller than this in all runs in this process.
# Starting two workers (forkserver, importing the package) took 0.6-0.7 s on the
# shared development machine, and a file takes its worker about 2 s per MB of
# OpenQASM 2 input when decoupling multiplies the entries (bench/bench_files.py
# dry run, 1.2 MB in 2.4 worker-seconds), so below half a megabyte (about 1 s
# of work) a second process cannot win back its start. To be remeasured quietly.
IN_PROCESS_BYTES = 500_000

# Files an executor holds at once per slot: enough that a slot never waits for
# the parent, few enough that shipped program texts stay a handful in memory.
IN_FLIGHT_PER_SLOT = 2

_STATUSES = ("ok", "failed", "skipped")


@dataclass(frozen=True)
class FileSummary:
    """What became of one input file of ``transpile_files``.

    Attributes:
        input (str): the input file.
        output (str): where its result is (or would have been) written.
        status (str): "ok", "failed" or "skipped" (its output existed already).
        error (str): for a failed file, what the user should read, beginning with
            the file's name (and ``:LINE`` for an error in the program); else "".
        qubits (int | None): the program's qubit count (None when it was not read).
        gates_before, gates_after (dict): gate name to count, most frequent first.
        two_qubit_before, two_qubit_after (int | None): two-qubit gates.
        depth_before, depth_after (int | None): layers of operations, barriers excluded.
        scheduled_length (float | None): seconds from the first operation's start to
            the last one's end in the result, laid out with the durations of the last
            decoupling step (None without one).
        seconds (float): the worker's time for the file: reading, the passes, writing.
        check (str): with ``check=True``, "kept", "differs" or "not checked" (see
            ``corvane.circuit.equivalence.check_transpiled``); else "".
        check_detail (str): why: the distance found, or what made the check impossible.
    """

    input: str
    output: str
    status: str
    error: str = ""
    qubits: int | None = None
    gates_before: dict = field(default_factory=dict)
    gates_after: dict = field(default_factory=dict)
    two_qubit_before: int | None = None
    two_qubit_after: int | None = None
    depth_before: int | None = None
    depth_after: int | None = None
    scheduled_length: float | None = None
    seconds: float = 0.0
    check: str = ""
    check_detail: str = ""


@dataclass(frozen=True)
class _BatchSettings:
    """What every file of a batch needs besides its own paths: the steps and whether to check."""

    steps_blob: bytes
    check: bool
    to: int | None  # OpenQASM version of every result; None: each in its program's


class _ProgramError(Exception):
    """A file failed; the message is the user's, with the file's name in front."""


# The reader's errors begin with the line they are about: "line 12: unknown gate 'foo'".
_LINE_ERROR = re.compile(r"line (\d+)[:,]\s*(.*)", re.S)


def _read_program(text, name):
    """``(circuit, OpenQASM version)`` of a program; a reader error becomes
    ``NAME:LINE: message``."""
    from corvane.circuit.qasm import read_program

    try:
        return read_program(text)
    except ValueError as err:
        match = _LINE_ERROR.match(str(err))
        if match:
            raise _ProgramError(f"{name}:{match[1]}: {match[2]}") from None
        raise _ProgramError(f"{name}: {err}") from None


def _decoupling_durations(steps):
    """(t1g, t2g) of the last decoupling step, or None when no step decouples."""
    from corvane.circuit.schedule import DynamicalDecoupling

    durations = None
    for pass_, _ in steps:
        if isinstance(pass_, DynamicalDecoupling):
            durations = (pass_.t1g, pass_.t2g)
    return durations


class _EntryTimes:
    """Per gate name: how to find an entry's qubits, and how long it lasts.

    Called with a gate name, gives ``(where, duration, two_qubit, barrier, delay)``:
    ``entry[where]`` is the entry's qubits (for a measurement or a conditional,
    ``where`` is ``layering_wires``, called with the entry, as ``depth`` lays
    them out); ``duration`` is in seconds, or for a delay the index of the item
    that holds it.
    """

    def __init__(self, durations):
        from corvane.circuit.quantumcircuit_helpers import (
            one_qubit_gates_available,
            one_qubit_parameter_gates_available,
            two_qubit_gates_available,
            two_qubit_parameter_gates_available,
        )

        self._one = (one_qubit_gates_available, one_qubit_parameter_gates_available)
        self._two = (two_qubit_gates_available, two_qubit_parameter_gates_available)
        self._durations = durations or (0.0, 0.0)

    def __call__(self, name):
        from corvane.circuit.quantumcircuit import entry_shape, layering_wires

        # entry[qubits] is the entry's qubits, as operation_qubits reads them.
        shape = entry_shape(name)
        if name in ("if", "measure"):
            qubits = layering_wires
        elif shape is not None and shape.qubits_item is not None:
            qubits = shape.qubits_item
        elif shape is not None and shape.parameters:
            qubits = slice(-shape.trailing_qubits, None)
        else:
            qubits = slice(1, None)
        two_qubit = any(name in category for category in self._two)
        if any(name in category for category in self._one):
            duration = self._durations[0]
        elif two_qubit:
            duration = self._durations[1]
        elif name == "delay":
            duration = shape.duration_item  # an item index, read per entry
        else:
            duration = 0.0
        return qubits, duration, two_qubit, name == "barrier", name == "delay"


def _circuit_figures(qc, durations):
    """Gates by name, two-qubit gates, depth and scheduled length of ``qc``, in one walk.

    Depth and layout follow ``QuantumCircuit.depth`` and ``timeline.schedule_times``:
    an operation starts when its last qubit is free; a barrier aligns its qubits
    and takes no layer and no time. The walk is native; what each gate name
    means comes from ``_EntryTimes``, asked once per name.
    """
    from corvane.circuit._metrics import circuit_figures

    counts, two_qubit, depth, length = circuit_figures(qc.gates, _EntryTimes(durations))
    counts = dict(sorted(counts.items(), key=lambda item: -item[1]))
    return counts, two_qubit, depth, length


def _transpile_program(text, name, steps, check, to):
    """Read a program, run the steps, write the result (in OpenQASM version ``to``, or in
    the program's own): (summary fields, result text)."""
    from corvane.circuit.qasm import dumps

    qc, version = _read_program(text, name)
    before = _circuit_figures(qc, None)
    try:
        result = _apply(steps, qc)
        verdict = _check_result(qc, result) if check else {}
        del qc
        durations = _decoupling_durations(steps)
        after = _circuit_figures(result, durations)
        out_text = dumps(result, version=to or version)
    except Exception as err:
        raise _ProgramError(f"{name}: {type(err).__name__}: {err}") from None
    fields = dict(
        qubits=result.nqubits,
        gates_before=before[0],
        gates_after=after[0],
        two_qubit_before=before[1],
        two_qubit_after=after[1],
        depth_before=before[2],
        depth_after=after[2],
        scheduled_length=after[3] if durations else None,
        **verdict,
    )
    return fields, out_text


def _check_result(qc, result):
    """The summary fields of comparing a result with its input."""
    from corvane.circuit.equivalence import check_transpiled

    check, detail = check_transpiled(qc, result)
    return dict(check=check, check_detail=detail)


def transpile_text(text, steps, name="<text>", check=False, to=None):
    """Run ``steps`` on one program's text, here: ``(FileSummary, result text or None)``.

    The summary's ``output`` is "" and its ``input`` is ``name``; a program that
    fails gives a failed summary and None. ``check`` and ``to`` as for ``transpile_files``.
    """
    return _summary_and_text(
        text, name, "", _BatchSettings(_steps_blob(_as_steps(steps)), check, _output_version(to))
    )


def _summary_and_text(text, name, output, settings):
    start = time.perf_counter()
    try:
        fields, out_text = _transpile_program(
            text, name, pickle.loads(settings.steps_blob), settings.check, settings.to
        )
    except _ProgramError as err:
        return FileSummary(name, output, "failed", str(err), seconds=_since(start)), None
    return FileSummary(name, output, "ok", seconds=_since(start), **fields), out_text


def _since(start):
    return time.perf_counter() - start


def write_atomically(path, write):
    """Call ``write(temporary_path)`` on a file beside ``path``, then rename it to ``path``.

    A reader of ``path`` sees the old file or the whole new one, never a part;
    when ``write`` fails the temporary file is removed and ``path`` is untouched.
    The temporary name holds this process's id, so that the parent of a worker
    that died while writing finds and removes it (``_remove_temporaries``).
    """
    path = Path(path)
    # The suffix is the result's, for writers that pick the format by file name.
    handle, temporary = tempfile.mkstemp(
        dir=path.parent, prefix=_temporary_prefix(path), suffix=path.suffix
    )
    os.close(handle)
    try:
        # mkstemp makes the file private; the result gets the mode of any new file.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        write(temporary)
        os.replace(temporary, path)
    except BaseException:
        os.unlink(temporary)
        raise


def _temporary_prefix(path, pid=None):
    return f".{Path(path).name}.{os.getpid() if pid is None else pid}."


def _remove_temporaries(output, pid):
    """Remove what a dead worker ``pid`` left of its temporary file for ``output``."""
    output = Path(output)
    for leftover in output.parent.glob(glob.escape(_temporary_prefix(output, pid)) + "*"):
        with contextlib.suppress(OSError):
            leftover.unlink()


def _write_text(path, text):
    def write(temporary):
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(text)

    write_atomically(path, write)


def _read_text(path):
    try:
        return Path(path).read_text(encoding="utf-8")
    except (OSError, UnicodeDecodeError) as err:
        raise _ProgramError(f"{path}: {err}") from None


def _transpile_path(source, target, settings):
    """A worker's whole job for one file: read it, run the passes, write the result."""
    start = time.perf_counter()
    try:
        text = _read_text(source)
    except _ProgramError as err:
        return FileSummary(source, target, "failed", str(err), seconds=_since(start))
    summary, out_text = _summary_and_text(text, source, target, settings)
    del text
    if out_text is None:
        return summary
    try:
        _write_text(target, out_text)
    except OSError as err:
        return replace(summary, status="failed", error=f"{target}: {err}", seconds=_since(start))
    return replace(summary, seconds=_since(start))


def _transpile_shipped(text, source, settings):
    """A worker's job for one file it cannot see: the program text in, the result text back."""
    return _summary_and_text(text, source, "", settings)


# ---- which files, written where


def find_programs(inputs, recursive=False):
    """The program files of ``inputs`` in order, each with the name its result takes.

    Args:
        inputs (iterable): program files, taken as given (named by their file name),
            and folders, whose program files (``PROGRAM_SUFFIXES``) are taken sorted
            by path (named by their path inside the folder).
        recursive (bool): take the program files of subfolders too.

    Returns:
        list: ``(path, relative name)`` pairs of ``Path`` objects.

    Raises:
        ValueError: for a missing input or a folder with no program.
    """
    found = []
    for item in inputs:
        path = Path(item)
        if path.is_dir():
            walk = path.rglob("*") if recursive else path.iterdir()
            programs = sorted(p for p in walk if p.suffix in PROGRAM_SUFFIXES and p.is_file())
            if not programs:
                raise ValueError(f"{item}: no {'/'.join(PROGRAM_SUFFIXES)} files in this folder")
            found += [(p, p.relative_to(path)) for p in programs]
        elif path.is_file():
            found.append((path, Path(path.name)))
        else:
            raise ValueError(f"{item}: no such file or folder")
    return found


def plan_files(inputs, outdir, recursive=False):
    """The ``(input, output)`` path pairs of a batch of files, in input order.

    Each result goes to ``outdir`` under the name ``find_programs`` gives it, so
    ``recursive`` mirrors the subfolders of a folder given.

    Raises:
        ValueError: as ``find_programs``, and for an output that would overwrite an
            input or two inputs that would be written to one output.
    """
    pairs = [(path, Path(outdir) / name) for path, name in find_programs(inputs, recursive)]
    resolved_inputs = {source.resolve() for source, _ in pairs}
    seen = {}
    for source, target in pairs:
        key = target.resolve()
        if key in resolved_inputs:
            raise ValueError(f"{target}: writing it would overwrite an input")
        if key in seen:
            raise ValueError(f"{seen[key]} and {source} would both be written to {target}")
        seen[key] = source
    return [(str(source), str(target)) for source, target in pairs]


def _steps_blob(steps):
    """The steps pickled, which is also how a batch takes its copy of the passes."""
    try:
        return pickle.dumps(steps, _PROTOCOL)
    except Exception:
        for position, (pass_, _) in enumerate(steps):
            try:
                pickle.dumps(pass_, _PROTOCOL)
            except Exception as err:
                raise TypeError(
                    f"{_pass_name(position, pass_)} cannot be copied for a batch: "
                    f"{type(err).__name__}: {err}"
                ) from err
        raise


def _output_version(to):
    if to not in (None, 2, 3):
        raise ValueError(f"to must be 2, 3 or None, got {to!r}")
    return to


def _as_steps(steps):
    if isinstance(steps, PassManager):
        return steps._steps
    return PassManager(steps)._steps


def transpile_files(
    inputs,
    outdir,
    steps,
    *,
    jobs=None,
    executor=None,
    shared_files=True,
    recursive=False,
    skip_existing=False,
    check=False,
    to=None,
    progress=False,
):
    """Transpile program files to files, the work of each file done where it runs.

    Each worker gets a file's path, reads the program, runs the steps on a fresh
    copy of the passes, writes the result to a temporary file beside its output
    and renames it, and sends back only a ``FileSummary``. This process holds no
    circuit and no program text (but for ``shared_files=False``), so its memory
    does not grow with the programs or their results. Outputs are whole or absent.

    Everything is checked before the first file is read: this function raises at
    once for bad arguments and returns an iterator, which runs the batch as it is
    consumed and yields each file's summary as that file finishes (so not in input
    order: sort by ``input`` or use ``plan_files`` for that). Closing the iterator
    or Ctrl-C stops the workers and removes their temporary files.

    A file that fails (a program error, a pass error, a write error, a worker that
    died while running it, killed or out of memory) gives a summary with status
    "failed" and the reason; the others go on, a fresh worker replacing a dead one.

    Args:
        inputs (iterable): program files and folders of them (see ``plan_files``).
        outdir (str | Path): the folder of the results, made when missing.
        steps (PassManager | list): the steps to run, as ``PassManager`` takes them.
        jobs (int | None): worker processes started here; 1 runs every file in this
            process, None one per core when the files come to ``IN_PROCESS_BYTES``
            or more (else in this process).
        executor (concurrent.futures.Executor | None): run the files there instead,
            such as a Dask ``Client(...).get_executor()``: one task per file, a task
            that fails (a lost worker) failing its file only.
        shared_files (bool): with an executor, whether its workers see this file
            system; if not, each program's text is sent to them and each result's
            text comes back and is written here as it arrives (only a few are held
            at once).
        recursive (bool): take the programs of subfolders too, mirroring them under
            ``outdir``.
        skip_existing (bool): skip inputs whose output exists already (an output is
            whole or absent, so an existing one is complete); their status is "skipped".
        check (bool): compare each result with its input where it runs
            (``corvane.circuit.equivalence.check_transpiled``, its default tolerance)
            and give the verdict in the summary's ``check`` and ``check_detail``.
        to (int | None): write every result as OpenQASM 2 or 3; None writes each in
            the dialect of its program (its version line; none means 2).
        progress (bool): a progress bar on standard error, moving as files finish.

    Returns:
        iterator of FileSummary: one per input file, as files finish.

    Raises:
        ValueError, TypeError: for bad arguments (see ``plan_files``), before any work.
        OSError: when ``outdir`` cannot be made.
    """
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be a positive integer or None, got {jobs!r}")
    if executor is not None and not isinstance(executor, cf.Executor):
        raise TypeError(
            f"executor must be a concurrent.futures.Executor, got {type(executor).__name__}"
        )
    if executor is not None and jobs is not None:
        raise ValueError("give jobs or executor, not both")
    settings = _BatchSettings(_steps_blob(_as_steps(steps)), check, _output_version(to))
    pairs = plan_files(inputs, outdir, recursive)
    for target in {Path(target).parent for _, target in pairs}:
        target.mkdir(parents=True, exist_ok=True)
    return _stream_files(pairs, settings, jobs, executor, shared_files, skip_existing, progress)


def _stream_files(pairs, settings, jobs, executor, shared_files, skip_existing, progress):
    with _progress_bar(len(pairs), "file", progress) as bar:
        work = []
        for source, target in pairs:
            if skip_existing and os.path.exists(target):
                bar.update(1)
                yield FileSummary(source, target, "skipped")
            else:
                work.append((source, target))
        if executor is not None:
            road = _on_executor(executor, work, settings, shared_files)
        else:
            jobs = _worker_count(work, jobs)
            if jobs <= 1:
                road = (_transpile_path(s, t, settings) for s, t in work)
            else:
                road = _on_own_workers(jobs, work, settings)
        with contextlib.closing(road):
            for summary in road:
                bar.update(1)
                yield summary


def _worker_count(work, jobs):
    """How many processes the ``(source, target)`` pairs of ``work`` run on: 1 is this one."""
    if jobs is None:
        size = sum(_file_size(source) for source, _ in work)
        jobs = 1 if size < IN_PROCESS_BYTES else _cpu_count()
    return min(jobs, len(work))


def start_worker_server(pairs, jobs=None):
    """Start now, in the background, what ``transpile_files(..., jobs=jobs)`` on ``pairs``
    (from ``plan_files``) will fork its worker processes from, when it will use them.

    The server imports the reader and the passes once, for every worker, while
    this process goes on with its own set-up; workers started later begin at
    once. Nothing is started for a batch that runs in this process, nor where
    processes are spawned rather than forked from a server.
    """
    if _worker_count(pairs, jobs) > 1 and _process_context().get_start_method() == "forkserver":
        from multiprocessing import forkserver

        forkserver.ensure_running()


def _file_size(path):
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _on_executor(executor, work, settings, shared_files):
    """Run one task per file on ``executor``, a bounded number in flight at once."""
    slots = _executor_slots(executor) * IN_FLIGHT_PER_SLOT
    pending = iter(work)
    running = {}
    try:
        while True:
            while len(running) < slots:
                pair = next(pending, None)
                if pair is None:
                    break
                source, target = pair
                if shared_files:
                    future = executor.submit(_transpile_path, source, target, settings)
                else:
                    try:
                        text = _read_text(source)
                    except _ProgramError as err:
                        yield FileSummary(source, target, "failed", str(err))
                        continue
                    future = executor.submit(_transpile_shipped, text, source, settings)
                    del text
                running[future] = pair
            if not running:
                return
            done, _ = cf.wait(running, return_when=cf.FIRST_COMPLETED)
            for future in done:
                source, target = running.pop(future)
                yield _collect(future, source, target, shared_files)
    finally:
        for future in running:
            future.cancel()


def _collect(future, source, target, shared_files):
    """The summary of one finished task; a shipped result is written here, then dropped."""
    try:
        outcome = future.result()
    except Exception as err:  # the task was lost: its worker died, ...
        return FileSummary(source, target, "failed", f"{source}: {_lost(err)}")
    if shared_files:
        return outcome
    summary, out_text = outcome
    summary = replace(summary, output=target)
    if out_text is None:
        return summary
    try:
        _write_text(target, out_text)
    except OSError as err:
        return replace(summary, status="failed", error=f"{target}: {err}")
    return summary


def _lost(err):
    return f"the worker running it was lost ({type(err).__name__}: {err})"


def _executor_slots(executor):
    """How many tasks ``executor`` runs at once, as far as it says."""
    client = getattr(executor, "_client", None)  # Dask's ClientExecutor
    if client is not None and hasattr(client, "nthreads"):
        with contextlib.suppress(Exception):
            return max(1, sum(client.nthreads().values()))
    return getattr(executor, "_max_workers", None) or _cpu_count()


# ---- our own worker processes


def _worker_main(connection, settings):
    """A worker process: files in, summaries out, until the parent closes the pipe.

    Ctrl-C is the parent's to handle; SIGTERM, the parent's stop, raises here so
    that a temporary file being written is removed on the way out.
    """
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    signal.signal(signal.SIGTERM, _raise_interrupt)
    try:
        while True:
            try:
                source, target = connection.recv()
            except EOFError:
                return
            connection.send(_transpile_path(source, target, settings))
    except KeyboardInterrupt:
        return


def _raise_interrupt(signum, frame):
    raise KeyboardInterrupt


class _Worker:
    def __init__(self, context, settings):
        self.connection, child = context.Pipe()
        self.process = context.Process(target=_worker_main, args=(child, settings), daemon=True)
        self.process.start()
        child.close()
        self.job = None

    def send(self, job):
        self.job = job
        self.connection.send(job)

    def stop(self):
        """End the process now; remove the temporary file of the job it held."""
        if self.process.is_alive():
            self.process.terminate()
            self.process.join(5)
        if self.process.is_alive():  # stuck where the signal cannot reach it
            self.process.kill()
            self.process.join()
        self.close()

    def close(self):
        if self.job is not None:
            _remove_temporaries(self.job[1], self.process.pid)
        self.connection.close()


def _process_context():
    """Workers start from a clean server process, not as forks of a parent that may be large.

    Only their pipe is passed to them, so a worker sees the end of input when the
    parent goes away, whatever killed it.
    """
    import multiprocessing

    methods = multiprocessing.get_all_start_methods()
    context = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
    if "forkserver" in methods:
        context.set_forkserver_preload(list(_WORKER_MODULES))
    return context


# What a worker of the file road imports: the reader and writer, and the passes
# (numpy with them; networkx only if a graph is built, which a worker's job never does).
_WORKER_MODULES = (
    "corvane.circuit.pipeline",
    "corvane.circuit.optimize",
    "corvane.circuit.schedule",
)


def _on_own_workers(jobs, work, settings):
    """Run the files on ``jobs`` worker processes of our own, one file at a time each.

    Each worker holds one file, so a worker that dies fails that file alone, and
    a fresh worker takes its place. The largest files go first, so that the batch
    does not end on one worker finishing a large file while the other waits.
    """
    from multiprocessing.connection import wait

    context = _process_context()
    pending = sorted(work, key=lambda pair: _file_size(pair[0]))  # popped from the end
    workers = []
    try:
        workers = [_Worker(context, settings) for _ in range(jobs)]
        while True:
            for worker in workers:
                if worker.job is None and pending:
                    worker.send(pending.pop())
            busy = [worker for worker in workers if worker.job is not None]
            if not busy:
                return
            ready = set(wait([w.connection for w in busy] + [w.process.sentinel for w in busy]))
            for index, worker in enumerate(workers):
                if worker.job is None:
                    continue
                if worker.connection in ready or worker.connection.poll():
                    try:
                        summary = worker.connection.recv()
                    except (EOFError, OSError):
                        summary = None
                    if summary is not None:
                        worker.job = None
                        yield summary
                        continue
                if worker.process.sentinel in ready or not worker.process.is_alive():
                    worker.process.join()
                    source, target = worker.job
                    worker.close()
                    workers[index] = _Worker(context, settings)
                    yield FileSummary(source, target, "failed", f"{source}: {_death(worker)}")
    finally:
        for worker in workers:
            worker.stop()


def _death(worker):
    code = worker.process.exitcode
    if code is not None and code < 0:
        try:
            how = f"killed by {signal.Signals(-code).name}"
        except ValueError:
            how = f"killed by signal {-code}"
        if code == -signal.SIGKILL:
            how += ", perhaps for lack of memory"
    else:
        how = f"exit status {code}"
    return f"the worker process running it died ({how})"


# ---- the record of a batch

REPORT_FORMATS = (".jsonl", ".csv")


def write_report(path, summaries):
    """Write one row per ``FileSummary`` to ``path``, JSON Lines or CSV by its suffix.

    The columns are the summary's fields in order; in CSV the gate counts are a
    JSON object in their cell and a missing figure is an empty cell. The file is
    written atomically.
    """
    import csv
    import json
    from dataclasses import asdict, fields

    suffix = Path(path).suffix.lower()
    if suffix not in REPORT_FORMATS:
        raise ValueError(f"{path}: a report is {' or '.join(REPORT_FORMATS)}")
    rows = [asdict(summary) for summary in summaries]

    def write(temporary):
        with open(temporary, "w", encoding="utf-8", newline="") as f:
            if suffix == ".jsonl":
                for row in rows:
                    f.write(json.dumps(row) + "\n")
                return
            writer = csv.DictWriter(f, [column.name for column in fields(FileSummary)])
            writer.writeheader()
            for row in rows:
                for key in ("gates_before", "gates_after"):
                    row[key] = json.dumps(row[key])
                writer.writerow(row)

    write_atomically(path, write)
