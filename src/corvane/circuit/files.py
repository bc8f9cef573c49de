"""The file road: OpenQASM programs in, transpiled programs out, the work of each
file done where it runs.

``transpile_files(inputs, outdir, steps)`` hands each worker process (or Dask
task) a file's path; the worker reads the program, runs the steps, writes the
result atomically and sends back a small ``FileSummary``, so this process holds
no circuit and its memory does not grow with the folder or the results. The
command line's ``transpile`` is a thin layer over it. These names are also
reached from ``corvane.circuit.pipeline``.
"""

import concurrent.futures as cf
import contextlib
import os
import pickle
import re
import shutil
import signal
import stat
import tempfile
import threading
import time
from dataclasses import dataclass, field, replace
from pathlib import Path

from corvane.circuit._steps import (
    _apply,
    _cpu_count,
    _progress_bar,
    _steps_blob,
    checked_steps,
)

__all__ = [
    "FileSummary",
    "transpile_files",
    "transpile_text",
    "start_worker_server",
    "find_programs",
    "plan_files",
    "read_program_file",
    "check_writable",
    "write_report",
    "write_atomically",
]

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
    check: tuple | None  # check_transpiled's keyword options as (name, value) pairs; None: no check
    to: int | None
    reading: tuple = ()  # the reader's ceilings as (name, value) pairs  # OpenQASM version of every result; None: each in its program's


class _ProgramError(Exception):
    """A file failed; the message is the user's, with the file's name in front."""


# The reader's errors begin with the line they are about: "line 12: unknown gate 'foo'".
_LINE_ERROR = re.compile(r"line (\d+)[:,]\s*(.*)", re.S)


def _read_program(text, name, reading=()):
    """``(circuit, OpenQASM version)`` of a program, read within the ceilings ``reading``
    (``max_qubits``, ``max_gates``); a reader error becomes ``NAME:LINE: message``."""
    from corvane.circuit.qasm import read_program

    try:
        return read_program(text, **dict(reading))
    except ValueError as err:  # LimitExceeded too
        match = _LINE_ERROR.match(str(err))
        if match:
            raise _ProgramError(f"{name}:{match[1]}: {match[2]}") from None
        raise _ProgramError(f"{name}: {err}") from None
    except MemoryError as err:
        raise _ProgramError(f"{name}: {_reason(err)}") from None


def _reason(err):
    """What the user reads of an unexpected exception: its type and message."""
    if isinstance(err, MemoryError) and not str(err):
        return "MemoryError: out of memory"
    return f"{type(err).__name__}: {err}"


def _io_reason(err):
    """What the user reads of a failed read or write: the system's message."""
    return _reason(err) if isinstance(err, MemoryError) else str(err)


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


def _transpile_program(text, name, steps, settings):
    """Read a program, run the steps, write the result (in OpenQASM version ``settings.to``,
    or in the program's own): (summary fields, result text)."""
    from corvane.circuit.qasm import dumps

    check, to = settings.check, settings.to
    qc, version = _read_program(text, name, settings.reading)
    try:
        before = _circuit_figures(qc, None)
        result = _apply(steps, qc)
        verdict = _check_result(qc, result, check) if check is not None else {}
        del qc
        durations = _decoupling_durations(steps)
        after = _circuit_figures(result, durations)
        out_text = dumps(result, version=to or version)
    except Exception as err:  # MemoryError and LimitExceeded too: this file fails, not the batch
        raise _ProgramError(f"{name}: {_reason(err)}") from None
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


def _check_result(qc, result, options):
    """The summary fields of comparing a result with its input."""
    from corvane.circuit.equivalence import check_transpiled

    check, detail = check_transpiled(qc, result, **dict(options))
    return dict(check=check, check_detail=detail)


# check_transpiled's options that a batch may set: its budget.
CHECK_OPTIONS = frozenset(("max_qubits", "max_branch_points", "seconds"))


def _check_setting(check):
    """A batch's ``check`` argument as ``_BatchSettings`` keeps it."""
    if isinstance(check, bool):
        return () if check else None
    if not isinstance(check, dict):
        raise TypeError(f"check must be a bool or a dict of options, got {type(check).__name__}")
    unknown = set(check) - CHECK_OPTIONS
    if unknown:
        raise ValueError(
            f"check options are {', '.join(sorted(CHECK_OPTIONS))}; got {', '.join(map(repr, sorted(unknown)))}"
        )
    return tuple(sorted(check.items()))


def _batch_settings(steps, check, to, max_qubits, max_gates):
    reading = tuple(
        (name, value)
        for name, value in (("max_qubits", max_qubits), ("max_gates", max_gates))
        if value is not None
    )
    return _BatchSettings(
        _steps_blob(_as_steps(steps)), _check_setting(check), _output_version(to), reading
    )


def transpile_text(
    text, steps, name="<text>", check=False, to=None, *, max_qubits=None, max_gates=None
):
    """Run ``steps`` on one program's text, here: ``(FileSummary, result text or None)``.

    The summary's ``output`` is "" and its ``input`` is ``name``; a program that
    fails gives a failed summary and None. The other arguments as for ``transpile_files``.
    """
    return _summary_and_text(
        text, name, "", _batch_settings(steps, check, to, max_qubits, max_gates)
    )


def _summary_and_text(text, name, output, settings):
    start = time.perf_counter()
    try:
        fields, out_text = _transpile_program(
            text, name, pickle.loads(settings.steps_blob), settings
        )
    except _ProgramError as err:
        return FileSummary(name, output, "failed", str(err), seconds=_since(start)), None
    return FileSummary(name, output, "ok", seconds=_since(start), **fields), out_text


def _since(start):
    return time.perf_counter() - start


def write_atomically(path, write):
    """Call ``write(temporary_path)`` on a file beside ``path``, then rename it to ``path``.

    A reader of ``path`` sees the old file or the whole new one, never a part;
    when ``write`` fails, or SIGTERM or Ctrl-C stops the process, the temporary
    file is removed and ``path`` is untouched. The temporary file has the name of
    ``path`` (writers such as matplotlib and graphviz pick the format by the
    suffix) inside a hidden folder ``.NAME.PID.RANDOM.partial`` beside ``path``:
    hidden, so that no folder walk takes it for a program, and holding this
    process's id, so that a later batch into that folder removes what a killed
    process left (``_remove_leftovers``).
    """
    path = Path(path)
    with _sigterm_unwinds():
        folder = tempfile.mkdtemp(
            prefix=f".{_name_room(path.name)}.{os.getpid()}.", suffix=_PARTIAL, dir=path.parent
        )
        try:
            temporary = os.path.join(folder, path.name)
            open(temporary, "x").close()  # with the mode of any new file
            write(temporary)
            os.replace(temporary, path)
        finally:
            shutil.rmtree(folder, ignore_errors=True)


# A temporary folder's name: "." + the result's name + "." + the writer's pid + "." +
# mkdtemp's 8 random characters + ".partial".
_PARTIAL = ".partial"
_LEFTOVER = re.compile(r"\..*\.(\d+)\.[a-z0-9_]{8}\.partial", re.S)
# Bytes of the result's name kept in its temporary folder's name: 255 (the usual
# limit of a file name) less the pid, mkdtemp's 8 random characters, ".partial" and dots.
_NAME_BYTES = 200


def _name_room(name):
    return os.fsdecode(os.fsencode(name)[:_NAME_BYTES])


@contextlib.contextmanager
def sigterm_calls(handler):
    """While inside, SIGTERM calls ``handler(signum, frame)``, which raises, so that
    ``finally`` blocks remove temporary files and stop children before the process ends.

    Only in the main thread, and only where SIGTERM still has its default action
    (ending the process at once): a handler of the program's own is left alone.
    """
    if (
        threading.current_thread() is not threading.main_thread()
        or signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL
    ):
        yield
        return
    signal.signal(signal.SIGTERM, handler)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, signal.SIG_DFL)


def _sigterm_unwinds():
    """SIGTERM raises ``SystemExit(128 + SIGTERM)`` inside: the status a shell gives a
    process ended by SIGTERM (143)."""
    return sigterm_calls(_exit_on_sigterm)


def _exit_on_sigterm(signum, frame):
    raise SystemExit(128 + signum)


def _remove_leftovers(folder, pid=None, ended=False):
    """Remove the temporary folders (``write_atomically``) in ``folder`` of processes
    that no longer run, or only those of ``pid`` (``ended``: the caller saw it end):
    killed while writing, they had no chance to. A folder of a process still running
    here is left alone, as is every name that is not of our pattern and every folder
    that holds more than one file."""
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return
    for entry in entries:
        match = _LEFTOVER.fullmatch(entry.name)
        if match is None or not entry.is_dir(follow_symlinks=False):
            continue
        owner = int(match[1])
        if (
            (pid is None or owner == pid)
            and (ended or not _running(owner))
            and _at_most_one(entry.path)
        ):
            shutil.rmtree(entry.path, ignore_errors=True)


def _at_most_one(folder):
    try:
        return len(os.listdir(folder)) <= 1
    except OSError:
        return False


def _running(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:  # another user's process
        return True
    # A process that ended but was not reaped yet (a worker whose fork server was
    # stopped with it) still answers kill(); Linux shows it as a zombie.
    try:
        with open(f"/proc/{pid}/stat", "rb") as stat_file:
            return stat_file.read().rsplit(b")", 1)[1].split()[0] != b"Z"
    except (OSError, IndexError):
        return True


def check_writable(folder):
    """Raise ``OSError`` unless a file can be written in ``folder``: a temporary folder is
    made there and removed, as ``write_atomically`` will."""
    os.rmdir(tempfile.mkdtemp(prefix=f".probe.{os.getpid()}.", suffix=_PARTIAL, dir=folder))


def _write_text(path, text):
    def write(temporary):
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(text)

    write_atomically(path, write)


def _written(summary, target, text):
    """``summary`` once ``text`` is written to ``target``, or failed with the reason."""
    try:
        _write_text(target, text)
    except (OSError, MemoryError) as err:
        return replace(summary, status="failed", error=f"{target}: {_io_reason(err)}")
    return summary


# What a path that is not a regular file is, for the user.
_KINDS = (
    (stat.S_ISDIR, "a folder"),
    (stat.S_ISFIFO, "a FIFO"),
    (stat.S_ISCHR, "a device"),
    (stat.S_ISBLK, "a device"),
)


def read_program_file(path):
    """The text of a program file.

    Raises ``OSError`` (or ``UnicodeDecodeError``) when it cannot be read, also for
    anything but a regular file: a folder, a FIFO (opened without waiting for a
    writer), a device, a link to nothing.
    """
    try:
        handle = os.open(path, os.O_RDONLY | os.O_NONBLOCK)
    except FileNotFoundError:
        if os.path.islink(path):
            raise OSError(f"a link to {os.readlink(path)}, which does not exist") from None
        raise
    try:
        mode = os.fstat(handle).st_mode
        for test, kind in _KINDS:
            if test(mode):
                raise OSError(f"not a program file but {kind}")
    except BaseException:
        os.close(handle)
        raise
    with open(handle, encoding="utf-8") as f:
        return f.read()


def _read_text(path):
    try:
        return read_program_file(path)
    except (OSError, UnicodeDecodeError, MemoryError) as err:
        raise _ProgramError(f"{path}: {_io_reason(err)}") from None


def _transpile_path(source, target, settings):
    """A worker's job for one file: read it, run the passes, write the result."""
    start = time.perf_counter()
    try:
        text = _read_text(source)
    except _ProgramError as err:
        return FileSummary(source, target, "failed", str(err), seconds=_since(start))
    summary, out_text = _summary_and_text(text, source, target, settings)
    del text
    if out_text is not None:
        summary = _written(summary, target, out_text)
    return replace(summary, seconds=_since(start))


def _transpile_shipped(text, source, settings):
    """A worker's job for one file it cannot see: the program text in, the result text back."""
    return _summary_and_text(text, source, "", settings)


# ---- which files, written where


def find_programs(inputs, recursive=False):
    """The program files of ``inputs`` in order, each with the name its result takes.

    Args:
        inputs (iterable): program files, taken as given (named by their file name),
            and folders, whose program files (names ending in ``PROGRAM_SUFFIXES``)
            are taken sorted by path (named by their path inside the folder). Hidden
            files and folders (names beginning with ".") inside a folder are passed by.
        recursive (bool): take the program files of subfolders too.

    Returns:
        list: ``(path, relative name)`` pairs of ``Path`` objects. A program name that
        is not a regular file (a FIFO, a folder, a link to nothing) is listed too:
        reading it fails with the reason (``read_program_file``). With ``recursive``,
        so is a subfolder that cannot be listed; links to folders are not followed.

    Raises:
        ValueError: for a missing input or a folder with no program, or that cannot be
            listed.
    """
    return [(path, name) for path, name, _ in _find(inputs, recursive)]


def _find(inputs, recursive):
    """``(path, relative name, why it cannot be read or None)`` of each program of ``inputs``."""
    found = []
    for item in inputs:
        path = Path(item)
        if path.is_dir():
            programs = sorted(_walk(path, recursive), key=lambda program: program[0])
            if not programs:
                raise ValueError(f"{item}: no {'/'.join(PROGRAM_SUFFIXES)} files in this folder")
            found += [(program, program.relative_to(path), why) for program, why in programs]
        elif os.path.lexists(path):
            found.append((path, Path(path.name), None))
        else:
            raise ValueError(f"{item}: no such file or folder")
    return found


def _walk(top, recursive):
    """``(path, why it cannot be read or None)`` of the programs under ``top``; with
    ``recursive``, of its subfolders too (not of links to folders, so no loop)."""
    folders = [top]
    while folders:
        folder = folders.pop()
        try:
            entries = list(os.scandir(folder))
        except OSError as err:
            why = f"{folder}: cannot list this folder: {err.strerror or err}"
            if folder == top:
                raise ValueError(why) from None
            yield folder, why
            continue
        for entry in entries:
            if entry.name.startswith("."):
                continue
            path = folder / entry.name
            if path.suffix in PROGRAM_SUFFIXES:
                yield path, None
            elif recursive and entry.is_dir(follow_symlinks=False):
                folders.append(path)


def plan_files(inputs, outdir, recursive=False):
    """The ``(input, output)`` path pairs of a batch of files, in input order.

    Each result goes to ``outdir`` under the name ``find_programs`` gives it, so
    ``recursive`` mirrors the subfolders of a folder given. Inputs that cannot be
    read are listed too, as is an output that a link would send outside ``outdir``:
    ``transpile_files`` fails those with the reason.

    Raises:
        ValueError: as ``find_programs``, and for an output that would overwrite an
            input or two inputs that would be written to one output.
    """
    return [(source, target) for source, target, _ in _plan(inputs, outdir, recursive)]


def _plan(inputs, outdir, recursive):
    """``(input, output, why it fails before it is read or None)`` of each file of a batch."""
    root = _resolved(outdir)
    planned = [(path, Path(outdir) / name, why) for path, name, why in _find(inputs, recursive)]
    resolved_inputs = {_resolved(source) for source, _, _ in planned}
    seen = {}
    plan = []
    for source, target, why in planned:
        key = _resolved(target)
        if key in resolved_inputs:
            raise ValueError(f"{target}: writing it would overwrite an input")
        if key in seen:
            raise ValueError(f"{seen[key]} and {source} would both be written to {target}")
        seen[key] = source
        if why is None and not key.is_relative_to(root):
            why = f"{target}: not written: a link in the output folder leads outside it, to {key}"
        plan.append((str(source), str(target), why))
    return plan


def _resolved(path):
    """``path`` with every link followed; a loop of links stays as it is (no error)."""
    return Path(os.path.realpath(path))


def _output_version(to):
    if to not in (None, 2, 3):
        raise ValueError(f"to must be 2, 3 or None, got {to!r}")
    return to


def _as_steps(steps):
    """The checked ``(pass, options)`` pairs of a ``PassManager`` or of a list of steps."""
    from corvane.circuit.pipeline import PassManager  # which imports this module

    return steps.steps if isinstance(steps, PassManager) else checked_steps(steps)


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
    max_qubits=None,
    max_gates=None,
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
    order: sort by ``input`` or use ``plan_files`` for that). Closing the iterator,
    Ctrl-C or SIGTERM (then ``SystemExit(143)``) stops the workers and removes
    their temporary files; the temporary folders that a killed process left in
    the output folders are removed when a batch starts and ends.

    A file that fails (a program error, a pass error, ``MemoryError`` or
    ``LimitExceeded``, a write error, a worker that died while running it, killed
    or out of memory, an input that cannot be read, an output that a link would
    send outside ``outdir``) gives a summary with status "failed" and the reason;
    the others go on, a fresh worker replacing a dead one.

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
        check (bool | dict): compare each result with its input where it runs
            (``corvane.circuit.equivalence.check_transpiled``, its default tolerance)
            and give the verdict in the summary's ``check`` and ``check_detail``; a
            dict gives the check's budget (``max_qubits``, ``max_branch_points``,
            ``seconds``), past which a file is "not checked: over the budget".
        to (int | None): write every result as OpenQASM 2 or 3; None writes each in
            the dialect of its program (its version line; none means 2).
        progress (bool): a progress bar on standard error, moving as files finish.
        max_qubits, max_gates (int | None): the reader's ceilings for each program
            (``corvane.circuit.qasm.read_program``; None: the defaults of
            ``corvane.circuit.limits``): a program over one fails with ``LimitExceeded``.

    Returns:
        iterator of FileSummary: one per input file, as files finish.

    Raises:
        ValueError, TypeError: for bad arguments (see ``plan_files``), before any work.
        OSError: when ``outdir`` cannot be made or written in.
    """
    if jobs is not None and (isinstance(jobs, bool) or not isinstance(jobs, int) or jobs < 1):
        raise ValueError(f"jobs must be a positive integer or None, got {jobs!r}")
    if executor is not None and not isinstance(executor, cf.Executor):
        raise TypeError(
            f"executor must be a concurrent.futures.Executor, got {type(executor).__name__}"
        )
    if executor is not None and jobs is not None:
        raise ValueError("give jobs or executor, not both")
    settings = _batch_settings(steps, check, to, max_qubits, max_gates)
    plan = _plan(inputs, outdir, recursive)
    Path(outdir).mkdir(parents=True, exist_ok=True)
    folders = {Path(target).parent for _, target, why in plan if why is None}
    for folder in folders:
        folder.mkdir(parents=True, exist_ok=True)
    check_writable(outdir)
    for folder in folders:
        _remove_leftovers(folder)
    return _stream_files(
        plan, folders, settings, jobs, executor, shared_files, skip_existing, progress
    )


def _stream_files(plan, folders, settings, jobs, executor, shared_files, skip_existing, progress):
    with _sigterm_unwinds(), _progress_bar(len(plan), "file", progress) as bar:
        try:
            yield from _run_plan(plan, bar, settings, jobs, executor, shared_files, skip_existing)
        finally:
            # What a worker or a Dask task killed while writing left behind.
            for folder in folders:
                _remove_leftovers(folder)


def _run_plan(plan, bar, settings, jobs, executor, shared_files, skip_existing):
    work = []
    for source, target, why in plan:
        if why is not None:
            bar.update(1)
            yield FileSummary(source, target, "failed", why)
        elif skip_existing and os.path.isfile(target):
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
    return summary if out_text is None else _written(summary, target, out_text)


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
        # Once the process has ended, what it left of its job's temporary folder goes,
        # though its pid may still answer as a zombie of the stopped fork server.
        if self.job is not None and not self.process.is_alive():
            _remove_leftovers(Path(self.job[1]).parent, self.process.pid, ended=True)
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
    "corvane.circuit.files",
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
