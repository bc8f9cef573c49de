"""The file road: transpile_files, its workers, its report, and the command line over it."""

import csv
import json
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
from conftest import interrupt_session, random_circuit

from corvane.circuit import cli
from corvane.circuit.files import FileSummary, transpile_files, write_report
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.schedule import DynamicalDecoupling
from corvane.circuit.stratum import TranspilerPass
from corvane.circuit.timeline import schedule_times

T1G, T2G = 2e-8, 5e-8


def steps():
    return [GateCompressor(), (DynamicalDecoupling(T1G, T2G), {"sequence": "XY4"})]


def expected(path):
    qc = QuantumCircuit.from_qasm(path.read_text())
    return DynamicalDecoupling(T1G, T2G).run(GateCompressor().run(qc), sequence="XY4")


def test_a_worker_job_imports_no_networkx(tmp_path):
    # networkx is a quarter of a worker's start; reading, both passes, the
    # figures and writing never build a graph.
    source = tmp_path / "in.qasm"
    source.write_text(random_circuit(1, ngates=80, functional=False).to_qasm())
    code = textwrap.dedent(
        f"""
        import sys
        from corvane.circuit import files
        from test_files import steps
        out = {str(tmp_path / "out")!r}
        summaries = list(files.transpile_files([{str(source)!r}], out, steps(), jobs=1))
        assert summaries[0].status == "ok", summaries
        assert "networkx" not in sys.modules
        """
    )
    subprocess.run([sys.executable, "-c", code], check=True, cwd=os.path.dirname(__file__))


@pytest.fixture
def folder(tmp_path):
    """Seeded programs in a folder and a subfolder, and one that fails to read."""
    root = tmp_path / "in"
    (root / "sub").mkdir(parents=True)
    for seed in range(6):
        qc = random_circuit(seed, ngates=60, functional=False)
        (root / ("sub" if seed % 3 == 0 else "") / f"p{seed}.qasm").write_text(qc.to_qasm())
    (root / "bad.qasm").write_text('OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[1];\nfoo q[0];\n')
    return root


def leftovers(folder):
    return list(folder.rglob(".*"))


@pytest.mark.parametrize("jobs", [1, 2])
def test_each_file_is_written_as_the_api_gives_and_summarised(folder, tmp_path, jobs):
    out = tmp_path / "out"
    summaries = list(transpile_files([folder], out, steps(), jobs=jobs, recursive=True))
    by_name = {os.path.relpath(s.input, folder): s for s in summaries}
    assert sorted(by_name) == ["bad.qasm", "p1.qasm", "p2.qasm", "p4.qasm", "p5.qasm"] + [
        "sub/p0.qasm",
        "sub/p3.qasm",
    ]
    bad = by_name.pop("bad.qasm")
    assert (bad.status, bad.error) == ("failed", f"{folder / 'bad.qasm'}:4: unknown gate 'foo'")
    for name, summary in by_name.items():
        source, qc = folder / name, expected(folder / name)
        before = QuantumCircuit.from_qasm(source.read_text())
        assert (out / name).read_text() == qc.to_qasm() and summary.output == str(out / name)
        assert (summary.status, summary.qubits) == ("ok", qc.nqubits)
        assert (summary.gates_before, summary.gates_after) == (before.count_ops(), qc.count_ops())
        assert (summary.depth_before, summary.depth_after) == (before.depth(), qc.depth())
        ends = [start + duration for start, duration, _ in schedule_times(qc, T1G, T2G)]
        assert summary.scheduled_length == max(ends)
    assert not (out / "bad.qasm").exists() and leftovers(out) == []


def test_compression_alone_has_no_scheduled_length(folder, tmp_path):
    (summary,) = transpile_files([folder / "p1.qasm"], tmp_path / "out", [GateCompressor()])
    assert summary.status == "ok" and summary.scheduled_length is None
    assert summary.two_qubit_before >= summary.two_qubit_after


def test_skip_existing_leaves_complete_outputs_alone(folder, tmp_path):
    out = tmp_path / "out"
    out.mkdir()
    (out / "p1.qasm").write_text("kept")
    summaries = list(transpile_files([folder], out, steps(), jobs=1, skip_existing=True))
    statuses = {os.path.basename(s.input): s.status for s in summaries}
    assert statuses == {
        "bad.qasm": "failed",
        "p1.qasm": "skipped",
        "p2.qasm": "ok",
        "p4.qasm": "ok",
        "p5.qasm": "ok",
    }
    assert (out / "p1.qasm").read_text() == "kept"


@pytest.mark.parametrize(
    "kwargs, error",
    [
        (dict(jobs=0), ValueError),
        (dict(jobs=True), ValueError),
        (dict(executor=object()), TypeError),
        (dict(steps=[GateCompressor]), TypeError),
    ],
)
def test_bad_arguments_are_refused_before_any_work(folder, tmp_path, kwargs, error):
    arguments = dict(steps=steps()) | kwargs
    with pytest.raises(error):
        transpile_files([folder], tmp_path / "out", arguments.pop("steps"), **arguments)
    assert not (tmp_path / "out").exists()


# ---- workers that die, Ctrl-C -----------------------------------------------------------


KILLER = textwrap.dedent("""
    import os, signal, sys
    from corvane.circuit.optimize import GateCompressor
    from corvane.circuit.pipeline import transpile_files

    class DieOnThree(GateCompressor):
        # Kills its own worker on a 3-qubit program, as the kernel's OOM killer would.
        def run(self, qc):
            if qc.nqubits == 3:
                os.kill(os.getpid(), signal.SIGKILL)
            return super().run(qc)

    if __name__ == "__main__":
        for s in sorted(transpile_files([sys.argv[1]], sys.argv[2], [DieOnThree()], jobs=2),
                        key=lambda s: s.input):
            print(os.path.basename(s.input), s.status, s.error)
""")


def test_a_dead_worker_fails_its_file_only_and_a_fresh_one_goes_on(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    for index, nqubits in enumerate([2, 3, 2, 2, 3, 2]):
        (folder / f"f{index}.qasm").write_text(QuantumCircuit(nqubits).h(0).h(0).to_qasm())
    (tmp_path / "killer.py").write_text(KILLER)
    done = subprocess.run(
        [sys.executable, str(tmp_path / "killer.py"), str(folder), str(tmp_path / "out")],
        capture_output=True,
        text=True,
        timeout=120,
    )
    lines = done.stdout.splitlines()
    assert [line.split()[:2] for line in lines] == [
        [f"f{i}.qasm", "failed" if i in (1, 4) else "ok"] for i in range(6)
    ]
    assert "died (killed by SIGKILL, perhaps for lack of memory)" in lines[1]
    assert sorted(os.listdir(tmp_path / "out")) == ["f0.qasm", "f2.qasm", "f3.qasm", "f5.qasm"]


SLOW = textwrap.dedent("""
    import os, sys, time
    from corvane.circuit.pipeline import transpile_files, write_atomically
    from corvane.circuit.optimize import GateCompressor

    class Slow(GateCompressor):
        def run(self, qc):
            # Interrupted mid-file: no result of a started file may appear.
            out = super().run(qc)
            os.write(1, b"started\\n")  # one write: two workers may start at once
            time.sleep(120)
            return out

    if __name__ == "__main__":
        for s in transpile_files([sys.argv[1]], sys.argv[2], [Slow()], jobs=int(sys.argv[3])):
            pass
""")


@pytest.mark.parametrize("jobs", [1, 2])
def test_ctrl_c_stops_the_workers_and_leaves_nothing_half_written(tmp_path, folder, jobs):
    (tmp_path / "slow.py").write_text(SLOW)
    argv = [sys.executable, str(tmp_path / "slow.py"), str(folder), str(tmp_path / "out")]
    status, err, survivors = interrupt_session(argv + [str(jobs)])
    assert status != 0 and "KeyboardInterrupt" in err
    assert survivors == "", "a worker outlived the batch"
    assert list((tmp_path / "out").iterdir()) == []


# ---- the report and the command line ----------------------------------------------------


def test_report_rows_read_back_as_the_summaries(tmp_path):
    summaries = [
        FileSummary(
            "a.qasm", "o/a.qasm", "ok", "", 2, {"h": 2}, {"h": 1, "x": 4}, 0, 0, 2, 5, 1e-7, 0.5
        ),
        FileSummary("b.qasm", "o/b.qasm", "failed", "b.qasm:3: unknown gate 'foo'"),
    ]
    write_report(tmp_path / "r.jsonl", summaries)
    rows = [json.loads(line) for line in (tmp_path / "r.jsonl").read_text().splitlines()]
    assert [FileSummary(**row) for row in rows] == summaries
    write_report(tmp_path / "r.csv", summaries)
    with open(tmp_path / "r.csv", newline="") as f:
        rows = list(csv.DictReader(f))
    assert json.loads(rows[0]["gates_after"]) == {"h": 1, "x": 4}
    assert rows[1]["error"] == "b.qasm:3: unknown gate 'foo'" and rows[1]["depth_after"] == ""
    with pytest.raises(ValueError, match="jsonl or .csv"):
        write_report(tmp_path / "r.txt", summaries)


@pytest.mark.parametrize("report", ["report.jsonl", "report.csv"])
def test_command_line_report_table_recursion_and_resume(folder, tmp_path, capsys, report):
    argv = ["transpile", folder, "-o", tmp_path / "out", "--compress", "--dd", "XY4", "-r"]
    argv = [str(a) for a in argv + ["--report", tmp_path / report]]
    assert cli.main(argv) == 1
    captured = capsys.readouterr()
    assert f"{folder / 'bad.qasm'}:4: unknown gate 'foo'" in captured.err.splitlines()
    table = captured.out.splitlines()
    assert [line.split()[0] for line in table[1:]] == [
        str(folder / name)
        for name in [
            "bad.qasm",
            "p1.qasm",
            "p2.qasm",
            "p4.qasm",
            "p5.qasm",
            "sub/p0.qasm",
            "sub/p3.qasm",
        ]
    ]
    assert table[1].split()[1] == "failed" and table[2].endswith(" ms")
    assert (tmp_path / "out" / "sub" / "p3.qasm").read_text() == expected(
        folder / "sub" / "p3.qasm"
    ).to_qasm()
    (tmp_path / "out" / "p2.qasm").unlink()
    assert cli.main(argv + ["--skip-existing"]) == 1
    text = (tmp_path / report).read_text()
    if report.endswith(".jsonl"):
        statuses = [json.loads(line)["status"] for line in text.splitlines()]
    else:
        statuses = [row["status"] for row in csv.DictReader(text.splitlines())]
    assert statuses == ["failed", "skipped", "ok", "skipped", "skipped", "skipped", "skipped"]
    assert "skipped" in capsys.readouterr().out


@pytest.mark.parametrize(
    "extra, words",
    [
        (["--report", "{out}/r.txt"], "*.jsonl or *.csv"),
        (["--report", "{in}/p1.qasm"], "*.jsonl or *.csv"),
        (["--no-shared-files"], "--scheduler"),
    ],
)
def test_command_line_refuses_a_bad_report_or_option(folder, tmp_path, capsys, extra, words):
    argv = ["transpile", str(folder), "-o", str(tmp_path / "out"), "--compress"]
    argv += [a.format(**{"in": folder, "out": tmp_path}) for a in extra]
    with pytest.raises(SystemExit) as info:
        cli.main(argv)
    assert info.value.code == 2 and words in capsys.readouterr().err
    assert not (tmp_path / "out").exists()


# ---- Dask -------------------------------------------------------------------------------


@pytest.mark.parametrize("shared", [True, False])
def test_dask_workers_give_the_same_bytes(dask_cluster, folder, tmp_path, shared):
    distributed = pytest.importorskip("distributed")
    shutil.rmtree(folder / "sub")
    local = list(transpile_files([folder], tmp_path / "local", steps(), jobs=1))
    with distributed.Client(dask_cluster) as client:
        remote = list(
            transpile_files(
                [folder],
                tmp_path / "dask",
                steps(),
                executor=client.get_executor(),
                shared_files=shared,
            )
        )
    key = lambda s: s.input  # noqa: E731
    strip = lambda s: (s.input, s.status, s.error, s.gates_after, s.depth_after)  # noqa: E731
    assert [strip(s) for s in sorted(remote, key=key)] == [strip(s) for s in sorted(local, key=key)]
    for path in (tmp_path / "local").iterdir():
        assert (tmp_path / "dask" / path.name).read_bytes() == path.read_bytes()
    assert leftovers(tmp_path / "dask") == []


class PlantFault(TranspilerPass):
    """A pass that breaks its result on purpose: moves the first rx angle, or drops a cx."""

    def __init__(self, fault):
        self.fault = fault

    def run(self, qc):
        out = qc.copy()
        if self.fault == "angle":
            index = next(i for i, entry in enumerate(out.gates) if entry[0] == "rx")
            name, theta, qubit = out.gates[index]
            out.gates[index] = (name, theta + 0.01, qubit)
        elif self.fault == "gate":
            out.gates.remove(next(entry for entry in out.gates if entry[0] == "cx"))
        return out


def measured_program(nqubits, mid_circuit=False):
    qc = QuantumCircuit(nqubits, nqubits).h(0)
    for q in range(1, nqubits):
        qc.cx(q - 1, q).rx(0.3 + q, q)
    if mid_circuit:
        qc.measure([0], [0]).x(0)
    return qc.measure(list(range(nqubits)), list(range(nqubits)))


@pytest.mark.parametrize("fault", [None, "angle", "gate"])
def test_check_finds_a_planted_fault_by_unitary_and_by_states(tmp_path, monkeypatch, capsys, fault):
    monkeypatch.setattr(cli, "_steps", lambda args: [GateCompressor(), PlantFault(fault)])
    folder = tmp_path / "in"
    folder.mkdir()
    # 4 qubits go by the unitary, 14 by random states, the third by its outcomes.
    programs = {"small.qasm": measured_program(4), "wide.qasm": measured_program(14)}
    programs["mid.qasm"] = measured_program(3, mid_circuit=True)
    for name, qc in programs.items():
        (folder / name).write_text(qc.to_qasm())
    argv = ["transpile", str(folder), "-o", str(tmp_path / "out"), "--compress", "--check"]
    status = cli.main(argv + ["--jobs", "1"])
    out, err = capsys.readouterr()
    rows = {line.split()[0]: line for line in out.splitlines()[1:]}
    assert out.splitlines()[0].split()[-1] == "check"
    for name in ("small.qasm", "wide.qasm", "mid.qasm"):
        verdict = rows[str(folder / name)]
        if fault is None:
            assert verdict.endswith("kept")
        else:
            assert "differs: " + ("outcome" if name == "mid.qasm" else "distance") in verdict
            assert f"{folder / name}: the result differs from the program" in err
    assert status == (0 if fault is None else 1)


DYNAMIC3 = """OPENQASM 3.0;
include "stdgates.inc";
qubit[2] q;
bit[2] c;
h q[0];
c[0] = measure q[0];
if (c[0]) { x q[1]; } else { delay[40ns] q[1]; }
c[1] = measure q[1];
"""


@pytest.mark.parametrize(
    "to, versions, failed",
    [
        (None, {"static.qasm": "2.0", "dynamic.qasm3": "3.0"}, []),
        ("qasm3", {"static.qasm": "3.0", "dynamic.qasm3": "3.0"}, []),
        # OpenQASM 2 has no else branch: that file fails, the other is written.
        ("qasm2", {"static.qasm": "2.0"}, ["dynamic.qasm3"]),
    ],
)
def test_results_keep_their_dialect_unless_told(tmp_path, capsys, to, versions, failed):
    folder = tmp_path / "in"
    folder.mkdir()
    (folder / "static.qasm").write_text(measured_program(3).to_qasm())
    (folder / "dynamic.qasm3").write_text(DYNAMIC3)
    argv = ["transpile", str(folder), "-o", str(tmp_path / "out"), "--compress", "--dd", "XY4"]
    status = cli.main(argv + ["--jobs", "1"] + (["--to", to] if to else []))
    err = capsys.readouterr().err
    assert status == (1 if failed else 0)
    for name, version in versions.items():
        text = (tmp_path / "out" / name).read_text()
        assert text.startswith(f"OPENQASM {version};")
        assert QuantumCircuit.from_qasm(text) == expected(folder / name)
    for name in failed:
        assert not (tmp_path / "out" / name).exists()
        assert f"{folder / name}: ValueError" in err and "else" in err


@pytest.mark.parametrize(
    "limit, verdict",
    [
        (None, "kept"),
        ("branches=1", "not checked: over the budget (1 measurement branches"),
        ("qubits=1", "not checked: over the budget (2 qubits > 1)"),
        ("seconds=1e-9", "not checked: over the budget (1e-09 s"),
    ],
)
def test_check_of_a_dynamic_program_within_its_budget(tmp_path, limit, verdict):
    program = tmp_path / "dynamic.qasm3"
    program.write_text(DYNAMIC3.replace("h q[0];", "h q[0]; h q[1]; c[1] = measure q[1];"))
    argv = ["transpile", str(program), "-o", str(tmp_path / "out"), "--dd", "XY4", "--check"]
    argv += ["--report", str(tmp_path / "r.jsonl")] + (["--check-limit", limit] if limit else [])
    cli.main(argv)
    row = json.loads((tmp_path / "r.jsonl").read_text())
    assert f"{row['check']}: {row['check_detail']}".startswith(verdict)
