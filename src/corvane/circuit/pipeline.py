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
passes taken when ``run`` is called: one copy for a batch run in this process,
and a fresh copy for every chunk of circuits sent to an executor, so each worker
works on its own. The counters of the caller's passes and ``GateCompressor.dag``
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
import inspect
import os
import pickle
import signal
import sys
import traceback
from collections.abc import Mapping

from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.stratum import TranspilerPass

__all__ = ["PassManager", "BatchError"]

# A batch of fewer gates than this runs in this process when no executor is
# given: compress then decouple takes 3-7 us of CPU per gate (bench/results/
# throughput.md: 36 s for 5.5 million gates on a loaded machine), so 100,000
# gates are well under a second of work, where starting a pool and pickling the
# circuits both ways would eat most of what a second core gains.
IN_PROCESS_GATES = 100_000

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
                process and a larger one on a process pool of one worker per core.
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

    def _steps_blob(self):
        """The steps pickled, which is also how a batch takes its copy of the passes."""
        try:
            return pickle.dumps(self._steps, _PROTOCOL)
        except Exception:
            for position, (pass_, _) in enumerate(self._steps):
                try:
                    pickle.dumps(pass_, _PROTOCOL)
                except Exception as err:
                    raise TypeError(
                        f"{_pass_name(position, pass_)} cannot be copied for a batch: "
                        f"{type(err).__name__}: {err}"
                    ) from err
            raise

    def _run_batch(self, circuits, executor, progress):
        from tqdm.auto import tqdm

        steps_blob = self._steps_blob()
        results = [None] * len(circuits)
        with tqdm(total=len(circuits), unit="circuit", disable=not progress) as bar:
            if executor is not None:
                _gather(executor, steps_blob, circuits, results, bar)
                return results
            total_gates = sum(len(qc.gates) for qc in circuits)
            workers = min(_cpu_count(), len(_chunks(circuits)))
            if total_gates < IN_PROCESS_GATES or workers < 2:
                steps = pickle.loads(steps_blob)
                for index, qc in enumerate(circuits):
                    try:
                        results[index] = _apply(steps, qc)
                    except Exception as err:
                        results[index] = err
                    bar.update(1)
                return results
            pool = cf.ProcessPoolExecutor(max_workers=workers, initializer=_start_worker)
            try:
                _gather(pool, steps_blob, circuits, results, bar)
            except BaseException:
                _end_pool(pool)
                raise
            finally:
                pool.shutdown(wait=True)
        return results
