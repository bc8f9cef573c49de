"""The ``corvane-circuit`` command line: transpile, describe and draw OpenQASM 2 and 3 programs.

Every argument is checked before any file is read or written; a file that
fails is reported as ``FILE:LINE: message`` on standard error and the others
still complete; the exit status is 1 when any file failed (or, with
``--check``, any result differs from its program), 2 for a refused command
line, 130 after Ctrl-C and 143 after SIGTERM. Outputs are written to a temporary
file beside their final name and renamed, so no output is ever half-written, and no
input is ever overwritten.
"""

import argparse
import math
import os
import re
import sys
from pathlib import Path

from corvane.circuit import __version__
from corvane.circuit.cluster import DEFAULT_TIMEOUT
from corvane.circuit.drawing.dag import MAX_DAG_NODES, terminate_as_interrupt, write_dag_png
from corvane.circuit.durations import GATE_DURATION_UNITS, UNIT_EXPONENTS
from corvane.circuit.equivalence import CHECK_ATOL, CHECK_TVD
from corvane.circuit.files import (
    REPORT_FORMATS,
    check_writable,
    find_programs,
    plan_files,
    read_program_file,
    start_worker_server,
    transpile_files,
    transpile_text,
    write_atomically,
    write_report,
)
from corvane.circuit.limits import MAX_ENTRIES, MAX_GATES, MAX_QUBITS
from corvane.circuit.pipeline import PassManager
from corvane.circuit.quantumcircuit import QuantumCircuit

STDIN = "-"
_STDIN_NAME = "<stdin>"
# --to's choices: the OpenQASM version every result is written in (None: its program's).
_VERSIONS = {None: None, "qasm2": 2, "qasm3": 3}

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


# --check-limit's keys: check_transpiled's budget options, and how each is read.
_CHECK_LIMITS = {"qubits": "max_qubits", "branches": "max_branch_points", "seconds": "seconds"}
# Each file's check stops at a minute by default: a check that would take longer is
# reported "not checked: over the budget" instead of stalling a batch.
_CHECK_SECONDS = 60.0


def _check_limit(text):
    """``qubits=N,branches=N,seconds=S`` as check_transpiled's keyword options."""
    options = {}
    for item in text.split(","):
        key, _, value = item.partition("=")
        key = key.strip()
        if key not in _CHECK_LIMITS:
            raise argparse.ArgumentTypeError(
                f"{item!r}: give {', '.join(f'{k}=...' for k in _CHECK_LIMITS)}"
            )
        try:
            number = float(value) if key == "seconds" else int(value)
        except ValueError:
            number = -1
        if not 0 < number < math.inf:
            raise argparse.ArgumentTypeError(f"{item!r}: {key} must be a positive number")
        options[_CHECK_LIMITS[key]] = number
    return options


def _reading(args):
    """The reader's ceilings that the command line was given."""
    return {"max_qubits": args.max_qubits, "max_gates": args.max_gates}


# ---- inputs and outputs --------------------------------------------------------------------


class _Refused(Exception):
    """A command line that makes no sense; nothing has been done yet."""


# The reader's errors begin with the line they are about: "line 12: unknown gate 'foo'".
_LINE_ERROR = re.compile(r"line (\d+)[:,]\s*(.*)", re.S)


def _expand_inputs(inputs):
    """The input files in order: files as given, the programs of each folder sorted, ``-``."""
    files = []
    for item in inputs:
        if item == STDIN:
            if STDIN in files:
                raise _Refused("standard input '-' can be read only once")
            files.append(STDIN)
            continue
        try:
            files += [path for path, _ in find_programs([item])]
        except ValueError as err:
            raise _Refused(str(err)) from None
    return files


def _display(file):
    return _STDIN_NAME if file == STDIN else str(file)


def _read(file, args):
    """The circuit of one input, within the reader's ceilings of ``args``; a reader error
    becomes ``FILE:LINE: message``."""
    try:
        text = sys.stdin.read() if file == STDIN else read_program_file(file)
        return QuantumCircuit.from_qasm(text, **_reading(args))
    except ValueError as err:
        match = _LINE_ERROR.match(str(err))
        if match:
            raise _FileError(f"{_display(file)}:{match[1]}: {match[2]}") from None
        raise _FileError(f"{_display(file)}: {err}") from None
    except (OSError, UnicodeDecodeError) as err:
        raise _FileError(f"{_display(file)}: {err}") from None


class _FileError(Exception):
    """One file failed; its message is what the user sees."""


def _check_outputs(outputs, inputs):
    """Refuse an output that is an input, or two outputs of one name."""
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
        decoupling = DynamicalDecoupling(args.t1g, args.t2g, max_entries=args.max_entries)
        steps.append((decoupling, options))
    return PassManager(steps)


def _dask_client(address, timeout):
    from corvane.circuit.cluster import connect_scheduler

    try:
        return connect_scheduler(address, timeout)
    except ImportError:
        raise _Refused("--scheduler needs Dask: pip install 'corvane-circuit[cluster]'") from None
    except (ValueError, ConnectionError) as err:
        raise _Refused(str(err)) from None


def _verdict(summary):
    """The check column's cell: the verdict, and why unless it is plainly kept."""
    if summary.check in ("", "kept"):
        return summary.check
    return f"{summary.check}: {summary.check_detail}"


def _table(summaries, check=False):
    """The table of a batch: one row per file, in the order given."""
    header = ("file", "gates", "after", "2q gates", "after", "depth", "after", "length", "time")
    header += ("check",) if check else ()
    lines = [header]
    for s in summaries:
        if s.status != "ok":
            lines.append((s.input, s.status) + ("",) * (len(header) - 2))
            continue
        length = "-" if s.scheduled_length is None else f"{s.scheduled_length * 1e6:.3f} us"
        lines.append(
            (
                s.input,
                str(sum(s.gates_before.values())),
                str(sum(s.gates_after.values())),
                str(s.two_qubit_before),
                str(s.two_qubit_after),
                str(s.depth_before),
                str(s.depth_after),
                length,
                f"{s.seconds * 1e3:.1f} ms",
            )
            + ((_verdict(s),) if check else ())
        )
    widths = [max(len(line[i]) for line in lines) for i in range(len(header))]
    left = {0, len(header) - 1} if check else {0}
    return "\n".join(
        "  ".join(
            cell.ljust(w) if i in left else cell.rjust(w)
            for i, (cell, w) in enumerate(zip(line, widths))
        ).rstrip()
        for line in lines
    )


def transpile(args):
    if not (args.compress or args.dd):
        raise _Refused("nothing to do: give --compress, --dd XY4|CPMG or both")
    if args.jobs and args.scheduler:
        raise _Refused("give --jobs or --scheduler, not both")
    if args.no_shared_files and not args.scheduler:
        raise _Refused("--no-shared-files is for Dask workers: give --scheduler too")
    if args.report and Path(args.report).suffix.lower() not in REPORT_FORMATS:
        # so it can never be a program it would overwrite
        raise _Refused(f"{args.report}: name the report *.jsonl or *.csv")
    read_stdin = STDIN in args.inputs
    if args.inputs.count(STDIN) > 1:
        raise _Refused("standard input '-' can be read only once")
    files = [item for item in args.inputs if item != STDIN]
    if files:
        if args.output is None:
            raise _Refused("give -o OUTDIR for the results")
        if Path(args.output).exists() and not Path(args.output).is_dir():
            raise _Refused(f"{args.output}: not a folder")
    try:
        pairs = plan_files(files, args.output or ".", args.recursive) if files else []
    except ValueError as err:
        raise _Refused(str(err)) from None
    if args.report:
        _check_report(args.report, args.output if files else None)
    if pairs and not args.scheduler:
        start_worker_server(pairs, args.jobs)  # its imports overlap this process's own
    steps = _steps(args)
    check = {"seconds": _CHECK_SECONDS, **args.check_limit} if args.check else False
    # A scheduler that cannot take the batch is refused before any program is read.
    client = (
        _dask_client(args.scheduler, args.scheduler_timeout) if pairs and args.scheduler else None
    )

    summaries = []
    if read_stdin:
        summary, text = transpile_text(
            sys.stdin.read(),
            steps,
            name=_STDIN_NAME,
            check=check,
            to=_VERSIONS[args.to],
            **_reading(args),
        )
        if text is not None:
            sys.stdout.write(text)
        summaries.append(summary)
    if pairs:
        try:
            batch = transpile_files(
                files,
                args.output,
                steps,
                jobs=args.jobs,
                executor=client.get_executor() if client else None,
                shared_files=not args.no_shared_files,
                recursive=args.recursive,
                skip_existing=args.skip_existing,
                check=check,
                to=_VERSIONS[args.to],
                progress=len(pairs) > 1,
                **_reading(args),
            )
        except OSError as err:
            raise _Refused(f"{args.output}: {err.strerror or err}") from None
        try:
            by_input = {summary.input: summary for summary in batch}
        finally:
            if client:
                client.close()
        summaries += [by_input[source] for source, _ in pairs]

    table_stream = sys.stderr if read_stdin else sys.stdout
    print(_table(summaries, args.check), file=table_stream)
    failures = [s.error for s in summaries if s.status == "failed"]
    failures += [
        f"{s.input}: the result differs from the program: {s.check_detail}"
        for s in summaries
        if s.check == "differs"
    ]
    if args.report:
        try:
            write_report(args.report, summaries)
        except OSError as err:  # a full disk: the results are written, only the report is lost
            failures.append(f"{args.report}: the report was not written: {err.strerror or err}")
    return failures


def _check_report(report, outdir):
    """Refuse a report that cannot be written, before any work: a folder, or in a folder
    that is missing (but for the output folder, which the batch makes) or not writable."""
    path = Path(report)
    if path.is_dir():
        raise _Refused(f"{report}: a folder; name a file for the report")
    folder = path.parent
    if not folder.exists():
        if outdir is not None and os.path.realpath(folder) == os.path.realpath(outdir):
            return  # made by the batch, then checked with it
        raise _Refused(f"{report}: no folder {folder} for the report")
    if not folder.is_dir():
        raise _Refused(f"{report}: {folder} is not a folder")
    try:
        check_writable(folder)
    except OSError as err:
        raise _Refused(f"{report}: cannot write in {folder}: {err.strerror or err}") from None


# ---- info and draw -------------------------------------------------------------------------


def info(args):
    failures = []
    for file in _expand_inputs(args.inputs):
        try:
            qc = _read(file, args)
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
        qc = _read(files[0], args)
    except _FileError as err:
        return [str(err)]

    import matplotlib

    matplotlib.use("Agg")  # files only, no window
    from matplotlib import pyplot

    from corvane.circuit.timeline import draw_timeline

    failures = []
    jobs = []
    if args.dag:
        jobs.append((args.dag, lambda path: write_dag_png(qc, path, max_nodes=args.dag_max_nodes)))
    if args.timeline:
        jobs.append(
            (
                args.timeline,
                lambda path: draw_timeline(
                    qc, args.t1g, args.t2g, path, title=Path(_display(files[0])).name
                ),
            )
        )
    with terminate_as_interrupt():
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
        prog="corvane-circuit",
        description="Transpile, describe and draw OpenQASM 2 and 3 programs.",
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
    # The reader's ceilings, for every command that reads programs.
    reading = argparse.ArgumentParser(add_help=False)
    reading.add_argument(
        "--max-qubits",
        type=_positive_int,
        metavar="N",
        help="the most qubits (and classical bits) a program may declare; a program declaring "
        f"more fails at once (default {MAX_QUBITS:,})",
    )
    reading.add_argument(
        "--max-gates",
        type=_positive_int,
        metavar="N",
        help="the most gate entries a program may expand to when read, counted before they "
        f"are made; a program over it fails at once (default {MAX_GATES:,})",
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
        parents=[durations, reading],
        help="compress and/or decouple programs",
        description="Compress and/or decouple OpenQASM 2 and 3 programs; write each result under the "
        "same name in OUTDIR (to standard output for '-') and print a table.",
    )
    t.add_argument(
        "inputs",
        nargs="+",
        metavar="INPUT",
        help="an OpenQASM 2 or 3 file, a folder of .qasm and .qasm3 files or -",
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
        "--max-entries",
        type=_positive_int,
        metavar="N",
        help="the most gate entries decoupling may give one result; a file whose result "
        f"would hold more fails, before it is built (default {MAX_ENTRIES:,})",
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
    t.add_argument(
        "--scheduler-timeout",
        type=float,  # checked by connect_scheduler
        default=DEFAULT_TIMEOUT,
        metavar="SECONDS",
        help="wait this long for the scheduler's answer and for its first worker; one that "
        f"does not answer, or has no worker by then, is refused (default {DEFAULT_TIMEOUT:g})",
    )
    t.add_argument(
        "--no-shared-files",
        action="store_true",
        help="the Dask workers do not see these files: send each program to them and write "
        "each result here as it comes back",
    )
    t.add_argument(
        "-r",
        "--recursive",
        action="store_true",
        help="take the programs of subfolders too, mirroring the subfolders under OUTDIR",
    )
    t.add_argument(
        "--skip-existing",
        action="store_true",
        help="skip inputs whose result exists in OUTDIR (results are whole or absent), "
        "to resume a long batch",
    )
    t.add_argument(
        "--to",
        choices=["qasm2", "qasm3"],
        help="write every result as OpenQASM 2 or 3 (default: each in the dialect of its "
        "program, told by its version line)",
    )
    t.add_argument(
        "--check",
        action="store_true",
        help="compare each result with its program (same unitary, or same output states on "
        "random inputs, up to global phase; for dynamic programs the same exact outcome "
        "distribution) and give the verdict in the table; exit 1 if any differs. The "
        f"tolerance, an RMS distance of {CHECK_ATOL:g} ({CHECK_TVD:g} in total variation), "
        "lets through the tiny rotations compression drops as the identity (about 1e-5 each) "
        "and still reports one angle moved by 0.01 or one gate removed",
    )
    t.add_argument(
        "--check-limit",
        type=_check_limit,
        default={},
        metavar="qubits=N,branches=N,seconds=S",
        help="the budget of each file's check: wider programs, more measurement branches or "
        f"longer checks are reported 'not checked: over the budget' (default: seconds="
        f"{_CHECK_SECONDS:g})",
    )
    t.add_argument(
        "--report",
        metavar="FILE",
        help="write one row per file (gates, two-qubit gates, depth, scheduled length, time, "
        "status and error) as JSON Lines (*.jsonl) or CSV (*.csv)",
    )
    t.set_defaults(handler=transpile)

    i = commands.add_parser(
        "info",
        parents=[reading],
        help="qubits, gates by name and depth of programs",
        description="Print qubits, gates by name and depth of each program.",
    )
    i.add_argument(
        "inputs",
        nargs="+",
        metavar="INPUT",
        help="an OpenQASM 2 or 3 file, a folder of .qasm and .qasm3 files or -",
    )
    i.set_defaults(handler=info)

    d = commands.add_parser(
        "draw",
        parents=[durations, reading],
        help="draw a program's gate DAG and timeline",
        description="Write pictures of one program: its gate DAG and its timeline.",
    )
    d.add_argument("input", metavar="INPUT", help="an OpenQASM 2 or 3 file or -")
    d.add_argument("--dag", metavar="FILE", help="write the gate DAG here (PNG)")
    d.add_argument(
        "--dag-max-nodes",
        type=_positive_int,
        default=MAX_DAG_NODES,
        metavar="N",
        help="refuse a gate DAG of more nodes than this, which graphviz would take long to "
        f"draw (default {MAX_DAG_NODES})",
    )
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
