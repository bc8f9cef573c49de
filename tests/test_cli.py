import io
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from corvane.circuit import cli
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.schedule import DynamicalDecoupling

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples" / "qasm"
BAD_PROGRAM = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\nh q[0];\nfoo q[1];\n'


@pytest.fixture
def examples(tmp_path):
    folder = tmp_path / "in"
    shutil.copytree(EXAMPLES, folder)
    return folder


def run(*argv):
    return cli.main([str(a) for a in argv])


def refused(capsys, *argv):
    with pytest.raises(SystemExit) as info:
        run(*argv)
    assert info.value.code == 2
    return capsys.readouterr().err


def expected(path, t1g=20e-9, t2g=50e-9, **options):
    qc = QuantumCircuit.from_qasm(path.read_text())
    return DynamicalDecoupling(t1g, t2g).run(GateCompressor().run(qc), **options).to_qasm()


# ---- durations ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "text, decimal",
    [
        ("20ns", "20e-9"),
        ("3ns", "3e-9"),
        ("25us", "25e-6"),
        ("1.1ns", "1.1e-9"),
        ("0.1ms", "0.1e-3"),
        (".5us", "0.5e-6"),
        ("7e2ns", "7e-7"),
        ("1.5E+3ns", "1.5e-6"),
        ("2s", "2"),
        ("20 ns", "20e-9"),
    ],
)
def test_duration_is_the_double_of_its_decimal_text(text, decimal):
    assert cli.parse_duration(text) == float(decimal)


def test_duration_does_not_multiply():
    # 3 * 1e-9 rounds to 3.0000000000000004e-09; the decoupling grid would move
    assert 3 * 1e-9 != 3e-9 and cli.parse_duration("3ns") == 3e-9


@pytest.mark.parametrize(
    "text",
    ["0ns", "-5ns", "20", "20fs", "ns", "abc", "nan ns", "infns", "1e400s", "1e-400s", "2e-9.5ns"],
)
def test_nonsense_duration_is_refused_before_any_work(text, examples, tmp_path, capsys):
    err = refused(
        capsys, "transpile", examples, "-o", tmp_path / "out", "--dd", "XY4", f"--t1g={text}"
    )
    assert "--t1g" in err and text in err
    assert not (tmp_path / "out").exists()


# ---- transpile ----------------------------------------------------------------------------


@pytest.mark.parametrize(
    "flags, options",
    [
        ([], {}),
        (["--dd", "CPMG", "--align", "left"], {"sequence": "CPMG", "align_right": False}),
        (
            ["--before-barrier", "--t1g", "25ns", "--t2g", "0.07us"],
            {"insert_before_barrier": True, "t1g": 25e-9, "t2g": 7e-8},
        ),
    ],
)
def test_transpile_writes_what_the_api_gives(flags, options, examples, tmp_path, capsys):
    flags = flags if "--dd" in flags else flags + ["--dd", "XY4"]
    assert run("transpile", examples, "-o", tmp_path / "out", "--compress", *flags) == 0
    out = capsys.readouterr().out
    for program in sorted(examples.glob("*.qasm")):
        assert (tmp_path / "out" / program.name).read_text() == expected(program, **options)
        assert program.name in out
    assert out.splitlines()[0].split() == [
        "file",
        "gates",
        "after",
        "2q",
        "gates",
        "after",
        "depth",
        "after",
        "length",
        "time",
    ]
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == sorted(
        p.name for p in examples.iterdir()
    )


@pytest.mark.parametrize("flags", [["--jobs", "2"], ["--jobs", "1"]])
def test_jobs_give_the_same_files(flags, examples, tmp_path):
    assert run("transpile", examples, "-o", tmp_path / "a", "--compress", "--dd", "XY4") == 0
    assert (
        run("transpile", examples, "-o", tmp_path / "b", "--compress", "--dd", "XY4", *flags) == 0
    )
    for program in examples.glob("*.qasm"):
        assert (tmp_path / "a" / program.name).read_bytes() == (
            tmp_path / "b" / program.name
        ).read_bytes()


def test_scheduler_runs_the_batch_on_the_cluster(dask_cluster, examples, tmp_path):
    assert (
        run(
            "transpile",
            examples,
            "-o",
            tmp_path / "out",
            "--compress",
            "--dd",
            "XY4",
            "--scheduler",
            dask_cluster.scheduler_address,
        )
        == 0
    )
    for program in examples.glob("*.qasm"):
        assert (tmp_path / "out" / program.name).read_text() == expected(program)


def test_failing_file_is_reported_with_its_line_and_the_others_complete(examples, tmp_path, capsys):
    (examples / "bad.qasm").write_text(BAD_PROGRAM)
    assert run("transpile", examples, "-o", tmp_path / "out", "--compress") == 1
    captured = capsys.readouterr()
    assert f"{examples / 'bad.qasm'}:5: unknown gate 'foo'" in captured.err.splitlines()
    assert not (tmp_path / "out" / "bad.qasm").exists()
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == [
        "adder.qasm",
        "ansatz.qasm",
        "ghz.qasm",
        "qft.qasm",
    ]


def test_standard_input_goes_to_standard_output(examples, monkeypatch, capsys):
    monkeypatch.setattr(sys, "stdin", io.StringIO((examples / "ghz.qasm").read_text()))
    assert run("transpile", "-", "--compress", "--dd", "XY4") == 0
    captured = capsys.readouterr()
    assert captured.out == expected(examples / "ghz.qasm")
    assert "<stdin>" in captured.err  # the table stays out of the program


@pytest.mark.parametrize(
    "args, words",
    [
        (["{in}", "-o", "{in}", "--compress"], "overwrite an input"),
        (["{in}/ghz.qasm", "{in}/sub/ghz.qasm", "-o", "{out}", "--compress"], "both be written"),
        (["{in}", "--compress"], "-o OUTDIR"),
        (["{in}", "-o", "{out}"], "nothing to do"),
        (["{in}/missing.qasm", "-o", "{out}", "--compress"], "no such file"),
        (["{in}/sub/empty", "-o", "{out}", "--compress"], "no .qasm/.qasm3 files"),
        (["-", "-", "--compress"], "only once"),
        (["{in}", "-o", "{out}", "--check", "--check-limit", "nope=1"], "give qubits=..."),
        (["{in}", "-o", "{out}", "--check", "--check-limit", "seconds=0"], "must be a positive"),
        (["{in}", "-o", "{in}/ghz.qasm", "--compress"], "not a folder"),
        (["{in}", "-o", "{in}/ghz.qasm/out", "--compress"], "Not a directory"),
        (
            ["{in}", "-o", "{out}", "--compress", "--jobs", "2", "--scheduler", "tcp://x:1"],
            "not both",
        ),
    ],
)
def test_nonsense_command_is_refused_and_nothing_changes(args, words, examples, tmp_path, capsys):
    (examples / "sub" / "empty").mkdir(parents=True)
    shutil.copy(examples / "ghz.qasm", examples / "sub" / "ghz.qasm")
    before = {p: p.read_bytes() for p in examples.rglob("*.qasm")}
    err = refused(
        capsys, "transpile", *[a.format(**{"in": examples, "out": tmp_path / "out"}) for a in args]
    )
    assert words in err
    assert {p: p.read_bytes() for p in examples.rglob("*.qasm")} == before
    assert not (tmp_path / "out").exists()


@pytest.mark.parametrize("bad", ["0", "-2", "two"])
def test_jobs_must_be_a_positive_number(bad, examples, capsys):
    assert "--jobs" in refused(capsys, "transpile", examples, "--compress", "--jobs", bad)


# ---- atomic writes --------------------------------------------------------------------------


def test_failed_write_leaves_the_old_file_and_no_temporary(tmp_path):
    target = tmp_path / "result.qasm"
    target.write_text("old")

    def half_then_fail(path):
        pathlib.Path(path).write_text("half")
        raise OSError("disk full")

    with pytest.raises(OSError, match="disk full"):
        cli.write_atomically(target, half_then_fail)
    assert target.read_text() == "old" and os.listdir(tmp_path) == ["result.qasm"]


def test_written_file_replaces_the_old_one_with_the_usual_mode(tmp_path):
    target = tmp_path / "result.qasm"
    target.write_text("old")
    cli.write_atomically(target, lambda path: pathlib.Path(path).write_text("new"))
    umask = os.umask(0)
    os.umask(umask)
    assert target.read_text() == "new" and os.listdir(tmp_path) == ["result.qasm"]
    assert target.stat().st_mode & 0o777 == 0o666 & ~umask


# ---- info, draw, help ----------------------------------------------------------------------


def test_info_prints_qubits_gates_and_depth(examples, capsys):
    (examples / "bad.qasm").write_text(BAD_PROGRAM)
    assert run("info", examples / "ghz.qasm", examples / "bad.qasm") == 1
    captured = capsys.readouterr()
    assert captured.out.splitlines() == [
        f"{examples / 'ghz.qasm'}: 6 qubits, 6 classical bits, 7 operations, depth 7",
        "  cx 5, h 1, measure 1",
    ]
    assert captured.err.splitlines() == [f"{examples / 'bad.qasm'}:5: unknown gate 'foo'"]


def test_draw_writes_both_pictures(examples, tmp_path):
    pytest.importorskip("matplotlib")
    pytest.importorskip("pygraphviz")
    assert (
        run(
            "draw",
            examples / "ghz.qasm",
            "--dag",
            tmp_path / "dag.png",
            "--timeline",
            tmp_path / "timeline.svg",
            "--t1g",
            "30ns",
        )
        == 0
    )
    assert (tmp_path / "dag.png").read_bytes().startswith(b"\x89PNG")
    assert b"<svg" in (tmp_path / "timeline.svg").read_bytes()
    assert sorted(os.listdir(tmp_path)) == ["dag.png", "in", "timeline.svg"]


@pytest.mark.parametrize(
    "args, words",
    [
        (["{in}/ghz.qasm"], "nothing to draw"),
        (["{in}/ghz.qasm", "--dag", "{out}/dag.svg"], "PNG"),
        (["{in}/ghz.qasm", "--timeline", "{in}/ghz.qasm"], "overwrite an input"),
        (
            ["{in}/ghz.qasm", "--dag", "{out}/a.png", "--timeline", "{out}/a.png"],
            "--dag and --timeline would both",
        ),
        (["{in}", "--dag", "{out}/a.png"], "one file"),
    ],
)
def test_draw_refuses_nonsense(args, words, examples, tmp_path, capsys):
    err = refused(capsys, "draw", *[a.format(**{"in": examples, "out": tmp_path}) for a in args])
    assert words in err


@pytest.mark.parametrize(
    "argv",
    [["--help"], ["transpile", "--help"], ["info", "--help"], ["draw", "--help"], ["--version"]],
)
def test_help_and_version(argv, capsys):
    with pytest.raises(SystemExit) as info:
        run(*argv)
    assert info.value.code == 0
    assert "corvane-circuit" in capsys.readouterr().out


def test_module_runs_as_a_program():
    done = subprocess.run(
        [sys.executable, "-m", "corvane.circuit", "--version"], capture_output=True, text=True
    )
    assert done.returncode == 0 and done.stdout.startswith("corvane-circuit ")


@pytest.mark.parametrize("command", ["transpile", "info"])
@pytest.mark.parametrize(
    "flags, fails",
    [
        ([], False),
        (["--max-qubits", "4"], True),
        (["--max-qubits", "5"], False),
        (["--max-gates", "2"], True),
        (["--max-gates", "3"], False),
    ],
)
def test_reader_ceilings_fail_the_file_that_passes_them(command, flags, fails, tmp_path, capsys):
    program = tmp_path / "five.qasm"
    program.write_text(
        'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[5];\nh q[0];\ncx q[0], q[1];\nx q[4];\n'
    )
    argv = [command, str(program), *flags]
    if command == "transpile":
        argv += ["-o", str(tmp_path / "out"), "--compress"]
    status = cli.main(argv)
    err = capsys.readouterr().err
    assert status == (1 if fails else 0), err
    if fails:
        option = flags[0].lstrip("-").replace("-", "_")
        assert f"raise it with {option}=" in err and flags[0] in err
