"""The ``corvane-circuit`` command line: transpile, describe and draw OpenQASM 2 programs.

Every argument is checked before any file is read or written; a file that
fails is reported as ``FILE:LINE: message`` on standard error and the others
still complete; the exit status is 1 when any file failed, 2 for a refused
command line and 130 after Ctrl-C. Outputs are written to a temporary file
beside their final name and renamed, so no output is ever half-written, and no
input is ever overwritten.
"""

import argparse
import concurrent.futures as cf
import math
import os
import re
import sys
import tempfile
import time
from pathlib import Path

from corvane.circuit import __version__
from corvane.circuit.durations import GATE_DURATION_UNITS, UNIT_EXPONENTS
from corvane.circuit.pipeline import PassManager, _end_pool, _start_worker
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.quantumcircuit_helpers import (
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)
from corvane.circuit.stratum import TranspilerPass

STDIN = "-"
_STDIN_NAME = "<stdin>"

_UNITS = {unit: UNIT_EXPONENTS[unit] for unit in GATE_DURATION_UNITS}
_DURATION = re.compile(
    r"(?P<digits>\d+(?:\.\d*)?|\.\d+)(?:[eE](?P<exponent>[+-]?\d+))?\s*(?P<unit>[a-zµ]+)"
)
# The reader's errors begin with the line they are about: "line 12: unknown gate 'foo'".
_LINE_ERROR = re.compile(r"line (\d+)[:,]\s*(.*)", re.S)


def parse_duration(text):
    """Seconds from a duration with its unit, such as "20ns" or "1.5us".

    The number's decimal text is shifted by the unit's exponent and read once,
    so "20ns" is exactly ``float("20e-9")``: multiplying ``20.0 * 1e-9`` may
    round differently, and the decoupling grid would then differ from that of
    the same number given to the API.
    """
    match = _DURATION.fullmatch(text.strip())
    if not match:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a duration: give a positive number and a unit, such as 20ns"
        )
    unit = match["unit"]
    if unit not in _UNITS:
        raise argparse.ArgumentTypeError(f"{text!r}: unknown unit {unit!r} (use s, ms, us or ns)")
    exponent = int(match["exponent"] or 0) + _UNITS[unit]
    seconds = float(f"{match['digits']}e{exponent}")
    if not (math.isfinite(seconds) and seconds > 0):
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive finite duration")
    return seconds


def _positive_int(text):
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a positive whole number")
    return value


# ---- inputs and outputs --------------------------------------------------------------------


class _Refused(Exception):
    """A command line that makes no sense; nothing has been done yet."""


def _expand_inputs(inputs):
    """The input files in order: files as given, the ``.qasm`` files of each folder sorted, ``-``."""
    files = []
    for item in inputs:
        if item == STDIN:
            if STDIN in files:
                raise _Refused("standard input '-' can be read only once")
            files.append(STDIN)
            continue
        path = Path(item)
        if path.is_dir():
            found = sorted(p for p in path.iterdir() if p.suffix == ".qasm" and p.is_file())
            if not found:
                raise _Refused(f"{item}: no .qasm files in this folder")
            files += found
        elif path.is_file():
            files.append(path)
        else:
            raise _Refused(f"{item}: no such file or folder")
    return files


def _display(file):
    return _STDIN_NAME if file == STDIN else str(file)


def _read(file):
    """The circuit of one input; a reader error becomes ``FILE:LINE: message``."""
    try:
        text = sys.stdin.read() if file == STDIN else Path(file).read_text(encoding="utf-8")
        return QuantumCircuit.from_qasm(text)
    except ValueError as err:
        match = _LINE_ERROR.match(str(err))
        if match:
            raise _FileError(f"{_display(file)}:{match[1]}: {match[2]}") from None
        raise _FileError(f"{_display(file)}: {err}") from None
    except (OSError, UnicodeDecodeError) as err:
        raise _FileError(f"{_display(file)}: {err}") from None


class _FileError(Exception):
    """One file failed; its message is what the user sees."""


def write_atomically(path, write):
    """Call ``write(temporary_path)`` on a file beside ``path``, then rename it to ``path``.

    A reader of ``path`` sees the old file or the whole new one, never a part;
    when ``write`` fails the temporary file is removed and ``path`` is untouched.
    """
    path = Path(path)
    handle, temporary = tempfile.mkstemp(
        dir=path.parent, prefix=f".{path.name}.", suffix=path.suffix
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


def _write_text(path, text):
    def write(temporary):
        with open(temporary, "w", encoding="utf-8") as f:
            f.write(text)

    write_atomically(path, write)


def _check_outputs(outputs, inputs):
    """Refuse an output that is an input, or two inputs that would be written to one output."""
    seen = {}
    resolved_inputs = {Path(f).resolve() for f in inputs if f != STDIN}
    for source, target in outputs:
        key = Path(target).resolve()
        if key in resolved_inputs:
            raise _Refused(f"{target}: writing it would overwrite an input")
        if key in seen:
            raise _Refused(f"{seen[key]} and {source} would both be written to {target}")
        seen[key] = source


# ---- transpile -----------------------------------------------------------------------------


class _Timed(TranspilerPass):
    """Runs a pipeline and notes its time on the result as ``seconds`` (read by the table)."""

    def __init__(self, manager):
        self.manager = manager

    def run(self, qc):
        start = time.perf_counter()
        out = self.manager.run(qc)
        out.seconds = time.perf_counter() - start
        return out


def _two_qubit_count(qc):
    return sum(
        1
        for entry in qc.gates
        if entry[0] in two_qubit_gates_available or entry[0] in two_qubit_parameter_gates_available
    )


def _steps(args):
    from corvane.circuit.optimize import GateCompressor
    from corvane.circuit.schedule import DynamicalDecoupling

    steps = [GateCompressor()] if args.compress else []
    if args.dd:
        options = {
            "sequence": args.dd,
            "align_right": args.align == "right",
            "insert_before_barrier": args.before_barrier,
        }
        steps.append((DynamicalDecoupling(args.t1g, args.t2g), options))
    return steps


def _executor(args):
    """The executor the command line asks for, and whether ending it is ours to do."""
    if args.scheduler:
        try:
            import distributed
        except ImportError:
            raise _Refused(
                "--scheduler needs Dask: pip install 'corvane-circuit[cluster]'"
            ) from None
        try:
            client = distributed.Client(args.scheduler)
        except (OSError, TimeoutError) as err:
            raise _Refused(f"cannot reach the Dask scheduler at {args.scheduler}: {err}") from None
        return client.get_executor(), client.close
    if args.jobs == 1:  # in this process, on a copy of the passes like any batch
        pool = cf.ThreadPoolExecutor(1)
        return pool, pool.shutdown
    if args.jobs:
        pool = cf.ProcessPoolExecutor(args.jobs, initializer=_start_worker)
        return pool, pool.shutdown
    return None, None


def _table(rows):
    header = ("file", "gates", "after", "2q gates", "after", "time")
    lines = [header] + [
        (name, str(a), str(b), str(c), str(d), f"{seconds * 1e3:.1f} ms")
        for name, a, b, c, d, seconds in rows
    ]
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    return "\n".join(
        "  ".join(
            cell.ljust(w) if i == 0 else cell.rjust(w)
            for i, (cell, w) in enumerate(zip(line, widths))
        )
        for line in lines
    )


def transpile(args):
    if not (args.compress or args.dd):
        raise _Refused("nothing to do: give --compress, --dd XY4|CPMG or both")
    if args.jobs and args.scheduler:
        raise _Refused("give --jobs or --scheduler, not both")
    files = _expand_inputs(args.inputs)
    if any(f != STDIN for f in files):
        if args.output is None:
            raise _Refused("give -o OUTDIR for the results")
        if Path(args.output).exists() and not Path(args.output).is_dir():
            raise _Refused(f"{args.output}: not a folder")
    outputs = [(f, Path(args.output) / Path(f).name) for f in files if f != STDIN]
    _check_outputs(outputs, files)
    if outputs:
        try:
            Path(args.output).mkdir(parents=True, exist_ok=True)
        except OSError as err:
            raise _Refused(f"{args.output}: {err.strerror or err}") from None
    manager = PassManager([_Timed(PassManager(_steps(args)))])

    executor, close = _executor(args)
    failures, circuits, names = [], [], []
    try:
        for file in files:
            try:
                circuits.append(_read(file))
                names.append(file)
            except _FileError as err:
                failures.append(str(err))
        results = manager.run(circuits, executor=executor, progress=len(files) > 1, errors="return")
    except BaseException:
        if isinstance(executor, cf.ProcessPoolExecutor):
            _end_pool(executor)
        raise
    finally:
        if close:
            close()

    rows, table_stream = [], sys.stderr if STDIN in files else sys.stdout
    for file, before, after in zip(names, circuits, results):
        if isinstance(after, BaseException):
            failures.append(f"{_display(file)}: {type(after).__name__}: {after}")
            continue
        try:
            text = after.to_qasm()
            if file == STDIN:
                sys.stdout.write(text)
            else:
                _write_text(Path(args.output) / Path(file).name, text)
        except (OSError, ValueError) as err:
            failures.append(f"{_display(file)}: {err}")
            continue
        rows.append(
            (
                _display(file),
                len(before),
                len(after),
                _two_qubit_count(before),
                _two_qubit_count(after),
                after.seconds,
            )
        )
    if rows:
        print(_table(rows), file=table_stream)
    return failures


# ---- info and draw -------------------------------------------------------------------------


def info(args):
    failures = []
    for file in _expand_inputs(args.inputs):
        try:
            qc = _read(file)
        except _FileError as err:
            failures.append(str(err))
            continue
        gates = ", ".join(f"{name} {count}" for name, count in qc.count_ops().items()) or "none"
        print(
            f"{_display(file)}: {qc.nqubits} qubits, {qc.ncbits} classical bits, "
            f"{len(qc)} operations, depth {qc.depth()}\n  {gates}"
        )
    return failures


def draw(args):
    if not (args.dag or args.timeline):
        raise _Refused("nothing to draw: give --dag FILE, --timeline FILE or both")
    if args.dag and Path(args.dag).suffix.lower() != ".png":
        raise _Refused(f"{args.dag}: the DAG picture is written as PNG; name it *.png")
    files = _expand_inputs([args.input])
    if len(files) != 1:
        raise _Refused(f"{args.input}: draw takes one file")
    _check_outputs(
        [
            (option, path)
            for option, path in (("--dag", args.dag), ("--timeline", args.timeline))
            if path
        ],
        files,
    )
    try:
        qc = _read(files[0])
    except _FileError as err:
        return [str(err)]

    import matplotlib

    matplotlib.use("Agg")  # files only, no window
    from matplotlib import pyplot

    from corvane.circuit.dag import draw_dag, qc2dag
    from corvane.circuit.timeline import draw_timeline

    failures = []
    jobs = []
    if args.dag:
        jobs.append((args.dag, lambda path: draw_dag(qc2dag(qc), path)))
    if args.timeline:
        jobs.append(
            (
                args.timeline,
                lambda path: draw_timeline(
                    qc, args.t1g, args.t2g, path, title=Path(_display(files[0])).name
                ),
            )
        )
    for target, job in jobs:
        try:
            write_atomically(target, job)
        except Exception as err:  # graphviz, matplotlib or the file system
            failures.append(f"{target}: {type(err).__name__}: {err}")
        finally:
            pyplot.close("all")
    return failures


# ---- command line --------------------------------------------------------------------------


def _parser():
    parser = argparse.ArgumentParser(
        prog="corvane-circuit", description="Transpile, describe and draw OpenQASM 2 programs."
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    durations = argparse.ArgumentParser(add_help=False)
    durations.add_argument(
        "--t1g",
        type=parse_duration,
        default=parse_duration("20ns"),
        metavar="DURATION",
        help="duration of a one-qubit gate, with its unit: s, ms, us or ns (default 20ns)",
    )
    durations.add_argument(
        "--t2g",
        type=parse_duration,
        default=parse_duration("50ns"),
        metavar="DURATION",
        help="duration of a two-qubit gate (default 50ns)",
    )

    t = commands.add_parser(
        "transpile",
        parents=[durations],
        help="compress and/or decouple programs",
        description="Compress and/or decouple OpenQASM 2 programs; write each result under the "
        "same name in OUTDIR (to standard output for '-') and print a table.",
    )
    t.add_argument(
        "inputs",
        nargs="+",
        metavar="INPUT",
        help="an OpenQASM 2 file, a folder of .qasm files or -",
    )
    t.add_argument(
        "-o", "--output", metavar="OUTDIR", help="folder for the results (made if missing)"
    )
    t.add_argument("--compress", action="store_true", help="run GateCompressor")
    t.add_argument(
        "--dd", choices=["XY4", "CPMG"], help="run DynamicalDecoupling with this sequence"
    )
    t.add_argument(
        "--align",
        choices=["left", "right"],
        default="right",
        help="lay the circuit out as late (right, default) or as early (left) as possible",
    )
    t.add_argument(
        "--before-barrier", action="store_true", help="allow pulses right before a barrier"
    )
    t.add_argument(
        "--jobs",
        type=_positive_int,
        metavar="N",
        help="run on N processes (default: by batch size)",
    )
    t.add_argument(
        "--scheduler", metavar="ADDRESS", help="run on the Dask cluster of this scheduler"
    )
    t.set_defaults(handler=transpile)

    i = commands.add_parser(
        "info",
        help="qubits, gates by name and depth of programs",
        description="Print qubits, gates by name and depth of each program.",
    )
    i.add_argument(
        "inputs",
        nargs="+",
        metavar="INPUT",
        help="an OpenQASM 2 file, a folder of .qasm files or -",
    )
    i.set_defaults(handler=info)

    d = commands.add_parser(
        "draw",
        parents=[durations],
        help="draw a program's gate DAG and timeline",
        description="Write pictures of one program: its gate DAG and its timeline.",
    )
    d.add_argument("input", metavar="INPUT", help="an OpenQASM 2 file or -")
    d.add_argument("--dag", metavar="FILE", help="write the gate DAG here (PNG)")
    d.add_argument(
        "--timeline", metavar="FILE", help="write the timeline here (PNG, SVG, PDF, ...)"
    )
    d.set_defaults(handler=draw)
    return parser


def main(argv=None):
    """Run the command line; returns the exit status."""
    parser = _parser()
    args = parser.parse_args(argv)
    try:
        failures = args.handler(args)
    except _Refused as err:
        parser.exit(2, f"{parser.prog} {args.command}: error: {err}\n")
    except KeyboardInterrupt:
        print("interrupted", file=sys.stderr)
        return 130
    for message in failures:
        print(message, file=sys.stderr)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
