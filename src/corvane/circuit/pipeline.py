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
import pickle
import signal
import sys
import time
import traceback

from corvane.circuit._steps import (
    _PROTOCOL,
    _apply,
    _cpu_count,
    _progress_bar,
    _steps_blob,
    checked_steps,
)
from corvane.circuit.files import (  # the file road's names, reached from here too
    FileSummary,
    find_programs,
    plan_files,
    start_worker_server,
    transpile_files,
    transpile_text,
    write_atomically,
    write_report,
)
from corvane.circuit.quantumcircuit import QuantumCircuit

# Listed in full (not taken from files.__all__) so that type checkers see them.
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
# with forkserver (see files.IN_PROCESS_BYTES); a fork is quicker, the larger is taken.
POOL_START_SECONDS = 0.7

# Gates per chunk of work sent to an executor, so that the fixed cost of a task
# (a round trip through the pool's queues or the Dask scheduler, milliseconds)
# stays a few per cent of its 0.15-0.35 s of work; a circuit larger than this
# is a chunk of its own.
CHUNK_GATES = 50_000

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


@contextlib.contextmanager
def _collector_paused():
    """Pause the cyclic collector while circuits are unpickled, run and pickled.

    A circuit is a list of flat tuples, which the collector leaves untracked,
    but each collection that takes in a circuit still walks its list, entry by
    entry: with the collector running, a batch's results were walked again and
    again as they piled up (measured on 400 circuits of the throughput batch,
    26.5 million result entries: 1.2 s of collections in the parent against
    0.73 s of unpickling). Paused, the allocations are counted still, and one
    collection follows. Neither side makes cycles meanwhile, except the
    generic paths' graphs, which a worker holds one circuit at a time.
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
    cannot travel back costs only its own circuit; each circuit and its result
    are gone before the collector runs again, so it never walks them.
    """
    steps = pickle.loads(steps_blob)
    return [_run_pickled(steps, blob) for blob in circuit_blobs]


def _run_pickled(steps, blob):
    """The pickled outcome of running ``steps`` on one pickled circuit."""
    with _collector_paused():
        try:
            outcome = (_apply(steps, pickle.loads(blob)), None)
        except Exception as err:
            outcome = (err, traceback.format_exc())
        try:
            return pickle.dumps(outcome, _PROTOCOL)
        except Exception as err:
            value, remote = outcome
            what = "error" if remote else "result"
            substitute = RuntimeError(
                f"the circuit's {what} could not be sent back: "
                f"{type(err).__name__}: {err} ({type(value).__name__}: {value})"
            )
            return pickle.dumps((substitute, remote or ""), _PROTOCOL)


def _read_outcome(blob):
    """A worker's outcome: the result circuit, or its error with the worker's traceback as cause."""
    try:
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
    """Send the circuits to ``executor`` chunk by chunk and put every outcome in ``results``.

    The collector stays paused until the last outcome is in, but for a
    young-generation collection after each chunk: each result is walked once,
    not at every collection of the growing batch, and what other threads of
    this process leave in cycles meanwhile is still freed. Not so on a thread
    pool, whose workers run the passes in this process.
    """
    futures = {}
    in_process = isinstance(executor, cf.ThreadPoolExecutor)
    collect = gc.isenabled() and not in_process
    try:
        with contextlib.nullcontext() if in_process else _collector_paused():
            for chunk in _chunks(circuits):
                blobs = [pickle.dumps(circuits[i], _PROTOCOL) for i in chunk]
                futures[executor.submit(_run_chunk, steps_blob, blobs)] = chunk
            for future in cf.as_completed(futures):
                chunk = futures.pop(future)
                try:
                    outcomes = [_read_outcome(blob) for blob in future.result()]
                except Exception as err:  # the whole chunk was lost (a worker died, ...)
                    # A broken pool gives all its futures one exception, whose
                    # traceback every re-raise here would lengthen by a chunk.
                    outcomes = [err.with_traceback(None)] * len(chunk)
                for index, outcome in zip(chunk, outcomes):
                    results[index] = outcome
                bar.update(len(chunk))
                if collect:
                    gc.collect(0)
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
        self._steps = checked_steps(steps)

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
    # The parent's share runs beside the workers' and, with as many workers as
    # cores, takes its CPU from them.
    busy = max(parent, worker / workers, (parent + worker) / max(_cpu_count(), workers))
    return POOL_START_SECONDS + busy < POOL_MARGIN * here
