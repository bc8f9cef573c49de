"""The file road fed hostile or unlucky input: a file that runs out of memory, a command
stopped or killed while it writes, inputs that cannot be read, links out of the output
folder, a report that cannot be written."""

import errno
import json
import os
import signal
import sys
import textwrap

import pytest
from conftest import interrupt_session

from corvane.circuit import cli, files
from corvane.circuit.limits import LimitExceeded
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.quantumcircuit import QuantumCircuit


def program(nqubits):
    return QuantumCircuit(nqubits).h(0).h(0).cx(0, 1).to_qasm()


@pytest.fixture
def folder(tmp_path):
    root = tmp_path / "in"
    root.mkdir()
    for index, nqubits in enumerate([2, 3, 2]):
        (root / f"f{index}.qasm").write_text(program(nqubits))
    return root


def transpile(*argv):
    return cli.main(["transpile", *map(str, argv), "--compress"])


def table_rows(out):
    return {line.split()[0]: line.split()[1] for line in out.splitlines()[1:]}


def report_errors(path):
    rows = [json.loads(line) for line in path.read_text().splitlines()]
    return {os.path.basename(row["input"]): (row["status"], row["error"]) for row in rows}


def hidden(folder):
    return sorted(p.name for p in folder.rglob(".*"))


# ---- a file out of memory fails alone ------------------------------------------------------


class FailOnThree(GateCompressor):
    """Raises ``error`` on a 3-qubit program, as an allocation or a ceiling would."""

    def __init__(self, error):
        super().__init__()
        self.error = error

    def run(self, qc):
        if qc.nqubits == 3:
            raise self.error
        return super().run(qc)


@pytest.mark.parametrize("jobs", [1, 2])
@pytest.mark.parametrize(
    "error, reason",
    [
        (MemoryError(), "MemoryError: out of memory"),
        (LimitExceeded("more than 50000000 entries; raise --max-entries"), "--max-entries"),
    ],
)
def test_a_file_out_of_memory_or_over_a_limit_fails_alone(
    folder, tmp_path, monkeypatch, capsys, jobs, error, reason
):
    monkeypatch.setattr(cli, "_steps", lambda args: [FailOnThree(error)])
    report = tmp_path / "r.jsonl"
    status = transpile(folder, "-o", tmp_path / "out", "--jobs", jobs, "--report", report)
    out, err = capsys.readouterr()
    assert status == 1 and "Traceback" not in err
    assert table_rows(out)[str(folder / "f1.qasm")] == "failed"
    failed, message = report_errors(report)["f1.qasm"]
    assert failed == "failed" and message.startswith(str(folder / "f1.qasm")) and reason in message
    assert sorted(os.listdir(tmp_path / "out")) == ["f0.qasm", "f2.qasm"]


def test_the_reader_out_of_memory_fails_that_file(folder, tmp_path, monkeypatch):
    from corvane.circuit import qasm

    real = qasm.read_program

    def read_program(text):
        if "qreg q[3]" in text:
            raise MemoryError
        return real(text)

    monkeypatch.setattr(qasm, "read_program", read_program)
    summaries = {
        os.path.basename(s.input): s
        for s in files.transpile_files([folder], tmp_path / "out", [GateCompressor()], jobs=1)
    }
    assert [summaries[f"f{i}.qasm"].status for i in range(3)] == ["ok", "failed", "ok"]
    assert summaries["f1.qasm"].error == f"{folder / 'f1.qasm'}: MemoryError: out of memory"


# ---- stopped or killed while writing ---------------------------------------------------------

# The command line, its results written slowly: half the text, "started", then a long
# pause in which the test stops or kills it. The pass is defined here so that worker
# processes import this script too, and write slowly as well.
SLOW_WRITER = textwrap.dedent("""
    import os, sys, time
    from pathlib import Path
    from corvane.circuit import cli, files
    from corvane.circuit.optimize import GateCompressor

    class Compress(GateCompressor):
        pass

    def slow_write(path, text):
        def write(temporary):
            Path(temporary).write_text(text[: len(text) // 2])
            os.write(1, b"started\\n")  # one write: two workers may start at once
            time.sleep(120)

        files.write_atomically(path, write)

    files._write_text = slow_write
    if __name__ == "__main__":
        cli._steps = lambda args: [Compress()]
        sys.exit(cli.main(sys.argv[1:]))
""")


@pytest.mark.parametrize(
    "jobs, sig, group, status",
    [
        (1, signal.SIGTERM, False, 143),  # kill PID
        (1, signal.SIGTERM, True, 143),  # timeout
        (1, signal.SIGINT, True, 130),  # Ctrl-C
        (2, signal.SIGTERM, False, 143),
        (2, signal.SIGTERM, True, 143),
        (2, signal.SIGINT, True, 130),
    ],
)
def test_a_stopped_command_leaves_no_temporary_file(folder, tmp_path, jobs, sig, group, status):
    (tmp_path / "slow.py").write_text(SLOW_WRITER)
    out = tmp_path / "out"
    argv = [sys.executable, str(tmp_path / "slow.py"), "transpile", str(folder), "-o", str(out)]
    code, err, survivors = interrupt_session(
        argv + ["--compress", "--jobs", str(jobs)], sig=sig, group=group
    )
    assert code == status, err
    assert survivors == "", "a worker outlived the command"
    assert list(out.iterdir()) == []


def test_what_a_killed_command_left_is_no_input_and_the_next_run_removes_it(folder, tmp_path):
    (tmp_path / "slow.py").write_text(SLOW_WRITER)
    out = tmp_path / "out"
    argv = [sys.executable, str(tmp_path / "slow.py"), "transpile", str(folder), "-o", str(out)]
    code, _, _ = interrupt_session(argv + ["--compress", "--jobs", "1"], sig=signal.SIGKILL)
    assert code == -signal.SIGKILL
    (leftover,) = out.iterdir()
    assert leftover.name.startswith(".f0.qasm.") and leftover.name.endswith(".partial")
    # Not ours to remove: a process still writing (this one), and other hidden names.
    alive = out / f".f1.qasm.{os.getpid()}.abc_1234.partial"
    alive.mkdir()
    (out / ".f2.qasm.partial").write_text("someone else's")
    full = out / f".f2.qasm.{leftover.name.split('.')[3]}.abc_1234.partial"
    full.mkdir()  # of a process gone, but not a temporary of ours: two files in it
    (full / "a").write_text("")
    (full / "b").write_text("")
    # A run over that folder takes nothing hidden as a program...
    with pytest.raises(SystemExit, match="2"):
        transpile(out, "-o", tmp_path / "again")
    # ... and the next run into it removes the dead process's leftover, resuming or not.
    assert transpile(folder, "-o", out, "--skip-existing") == 0
    assert hidden(out) == sorted([alive.name, full.name, ".f2.qasm.partial"])
    assert sorted(p.name for p in out.glob("*.qasm")) == ["f0.qasm", "f1.qasm", "f2.qasm"]


class KillMidWrite(GateCompressor):
    """On a 3-qubit program, starts the result's atomic write and kills its own process
    halfway (only the first time when ``once``, as a worker lost once to the kernel)."""

    def __init__(self, out, once):
        super().__init__()
        self.out, self.once = out, once

    def run(self, qc):
        result = super().run(qc)
        marker = os.path.join(self.out, "..", "killed")
        if qc.nqubits == 3 and not (self.once and os.path.exists(marker)):
            open(marker, "w").close()

            def die(temporary):
                with open(temporary, "w") as f:
                    f.write("OPENQASM 2.0;\n")
                os.kill(os.getpid(), signal.SIGKILL)

            files.write_atomically(os.path.join(self.out, "f1.qasm"), die)
        return result


@pytest.mark.parametrize("retried", [False, True])
def test_a_dask_worker_killed_mid_write_leaves_nothing(folder, tmp_path, retried):
    distributed = pytest.importorskip("distributed")
    import dask

    out = tmp_path / "out"
    with (
        dask.config.set({"distributed.scheduler.allowed-failures": int(retried)}),
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=1, processes=True, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        summaries = {
            os.path.basename(s.input): s
            for s in files.transpile_files(
                [folder], out, [KillMidWrite(str(out), retried)], executor=client.get_executor()
            )
        }
    assert (tmp_path / "killed").exists()
    assert summaries.pop("f1.qasm").status == ("ok" if retried else "failed")
    # A task queued on the worker that died may count as lost with it.
    assert all(s.status == "ok" or "was lost" in s.error for s in summaries.values())
    assert hidden(out) == []


# ---- inputs that cannot be read --------------------------------------------------------------


def test_an_input_that_cannot_be_read_is_named_with_its_reason(folder, tmp_path, capsys):
    os.mkfifo(folder / "fifo.qasm")  # reading it would wait for a writer forever
    (folder / "folder.qasm").mkdir()
    (folder / "dangling.qasm").symlink_to(tmp_path / "gone.qasm")
    (folder / "loop.qasm").symlink_to(folder / "loop.qasm")
    (folder / "sub").mkdir()
    (folder / "sub" / "up").symlink_to(folder)  # not followed: no loop
    (folder / "sub" / "g.qasm").write_text(program(2))
    (folder / ".hidden.qasm").write_text("not a program")
    (folder / ".cache").mkdir()
    (folder / ".cache" / "h.qasm").write_text("not a program")
    report = tmp_path / "r.jsonl"
    status = transpile(folder, "-o", tmp_path / "out", "-r", "--report", report)
    out, err = capsys.readouterr()
    assert status == 1 and "Traceback" not in err
    errors = report_errors(report)
    assert set(errors) == {"f0.qasm", "f1.qasm", "f2.qasm", "g.qasm"} | {
        "fifo.qasm",
        "folder.qasm",
        "dangling.qasm",
        "loop.qasm",
    }
    reasons = {
        "fifo.qasm": "not a program file but a FIFO",
        "folder.qasm": "not a program file but a folder",
        "dangling.qasm": f"a link to {tmp_path / 'gone.qasm'}, which does not exist",
        "loop.qasm": "Too many levels of symbolic links",
    }
    for name, reason in reasons.items():
        assert errors[name][0] == "failed" and reason in errors[name][1], errors[name]
        assert errors[name][1] in err.splitlines()
    assert table_rows(out)[str(folder / "fifo.qasm")] == "failed"
    assert sorted(p.name for p in (tmp_path / "out").rglob("*")) == [
        "f0.qasm",
        "f1.qasm",
        "f2.qasm",
        "g.qasm",
        "sub",
    ]


def test_a_subfolder_that_cannot_be_listed_is_named(folder, tmp_path, monkeypatch, capsys):
    (folder / "locked").mkdir()
    real = os.scandir

    def scandir(path="."):  # as for a folder without read permission, even as root
        if str(path).endswith("locked"):
            raise PermissionError(errno.EACCES, "Permission denied", str(path))
        return real(path)

    monkeypatch.setattr(files.os, "scandir", scandir)
    assert transpile(folder, "-o", tmp_path / "out", "-r") == 1
    locked = str(folder / "locked")
    assert table_rows(capsys.readouterr().out)[locked] == "failed"
    with pytest.raises(SystemExit) as info:  # the folder given itself: nothing to do
        transpile(folder / "locked", "-o", tmp_path / "out")
    assert info.value.code == 2
    assert f"{locked}: cannot list this folder: Permission denied" in capsys.readouterr().err


def test_info_names_a_fifo_without_waiting_for_it(folder, capsys):
    os.mkfifo(folder / "fifo.qasm")
    assert cli.main(["info", str(folder)]) == 1
    assert f"{folder / 'fifo.qasm'}: not a program file but a FIFO" in capsys.readouterr().err


# ---- outputs stay in the output folder --------------------------------------------------------


@pytest.mark.parametrize("link", ["folder", "file"])
def test_a_link_in_the_output_folder_cannot_send_a_result_outside(tmp_path, capsys, link):
    source = tmp_path / "in"
    (source / "sub").mkdir(parents=True)
    (source / "f0.qasm").write_text(program(2))
    (source / "sub" / "g.qasm").write_text(program(2))
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "g.qasm").write_text("kept")
    out = tmp_path / "out"
    out.mkdir()
    if link == "folder":
        (out / "sub").symlink_to(outside)
    else:
        (out / "sub").mkdir()
        (out / "sub" / "g.qasm").symlink_to(outside / "g.qasm")
    assert transpile(source, "-o", out, "-r") == 1
    captured = capsys.readouterr()
    assert table_rows(captured.out)[str(source / "sub" / "g.qasm")] == "failed"
    assert "a link in the output folder leads outside it" in captured.err
    assert os.listdir(outside) == ["g.qasm"] and (outside / "g.qasm").read_text() == "kept"
    assert (out / "f0.qasm").exists()


# ---- the report ------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "report, words",
    [
        ("nope/dir/r.jsonl", "no folder"),
        ("r.jsonl", "a folder; name a file"),  # made a folder below
        ("f0.qasm/r.jsonl", "is not a folder"),
    ],
)
def test_a_report_that_cannot_be_written_is_refused_before_any_work(
    folder, tmp_path, monkeypatch, capsys, report, words
):
    (tmp_path / "r.jsonl").mkdir()
    (tmp_path / "f0.qasm").write_text("a file")
    monkeypatch.chdir(tmp_path)
    with pytest.raises(SystemExit) as info:
        transpile(folder, "-o", tmp_path / "out", "--report", report)
    err = capsys.readouterr().err
    assert info.value.code == 2 and words in err and len(err.splitlines()) == 1
    assert not (tmp_path / "out").exists()


def test_a_report_in_the_output_folder_to_be_made_is_written(folder, tmp_path):
    assert transpile(folder, "-o", tmp_path / "out", "--report", tmp_path / "out" / "r.csv") == 0
    assert (tmp_path / "out" / "r.csv").read_text().startswith("input,output,status")


def test_a_full_disk_for_the_report_is_one_line_and_the_results_stay(
    folder, tmp_path, monkeypatch, capsys
):
    def full(path, summaries):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    monkeypatch.setattr(cli, "write_report", full)
    assert transpile(folder, "-o", tmp_path / "out", "--report", tmp_path / "r.jsonl") == 1
    err = capsys.readouterr().err
    assert "Traceback" not in err and err.splitlines()[-1] == (
        f"{tmp_path / 'r.jsonl'}: the report was not written: No space left on device"
    )
    assert sorted(os.listdir(tmp_path / "out")) == ["f0.qasm", "f1.qasm", "f2.qasm"]


def test_an_output_folder_without_write_permission_is_refused(folder, tmp_path, capsys):
    out = tmp_path / "out"
    out.mkdir()
    out.chmod(0o500)
    try:
        if os.access(out, os.W_OK):
            pytest.skip("this user writes in any folder")
        with pytest.raises(SystemExit) as info:
            transpile(folder, "-o", out)
        assert info.value.code == 2 and "Permission denied" in capsys.readouterr().err
    finally:
        out.chmod(0o700)
