"""`draw --dag` never stalls: a DAG too large to draw quickly is refused, and a long render
ends promptly on Ctrl-C or SIGTERM, leaving no file."""

import signal
import subprocess
import sys
import time

import pytest
from conftest import random_circuit

from corvane.circuit import cli
from corvane.circuit.drawing.dag import MAX_DAG_NODES, write_dag_png

pytest.importorskip("pygraphviz")
pytest.importorskip("matplotlib")


def program(tmp_path, ngates):
    path = tmp_path / "in.qasm"
    path.write_text(random_circuit(3, ngates=ngates, nqubits=8, functional=False).to_qasm())
    return path


@pytest.mark.parametrize(
    "ngates, flags, nodes, bound",
    [
        (13_000, [], "13,000", f"{MAX_DAG_NODES}"),
        (MAX_DAG_NODES + 1, [], f"{MAX_DAG_NODES + 1}", f"{MAX_DAG_NODES}"),
        (20, ["--dag-max-nodes", "19"], "20", "19"),
    ],
)
def test_large_dag_is_refused_with_its_size_and_a_hint(
    ngates, flags, nodes, bound, tmp_path, capsys
):
    source = program(tmp_path, ngates)
    out = tmp_path / "out"
    out.mkdir()
    assert cli.main(["draw", str(source), "--dag", str(out / "dag.png"), *flags]) == 1
    err = capsys.readouterr().err
    assert f"the gate DAG has {nodes} nodes, more than the {bound} graphviz draws" in err
    assert "--timeline" in err and "--dag-max-nodes" in err
    assert list(out.iterdir()) == []


def test_dag_within_the_bound_is_drawn(tmp_path):
    source = program(tmp_path, 20)
    assert cli.main(["draw", str(source), "--dag", str(tmp_path / "dag.png")]) == 0
    assert (tmp_path / "dag.png").read_bytes().startswith(b"\x89PNG")


@pytest.mark.parametrize("bound", [0, -1, 1.5, True])
def test_nonsense_bound_is_refused(bound, tmp_path):
    from corvane.circuit.quantumcircuit import QuantumCircuit

    with pytest.raises(ValueError, match="max_nodes"):
        write_dag_png(QuantumCircuit(1).h(0), tmp_path / "dag.png", max_nodes=bound)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
def test_long_render_ends_on_a_signal_and_leaves_no_file(signum, tmp_path):
    # 1,500 nodes take graphviz far longer than the wait for the temporary file.
    source = program(tmp_path, 1500)
    out = tmp_path / "out"
    out.mkdir()
    draw = subprocess.Popen(
        [sys.executable, "-m", "corvane.circuit", "draw", source, "--dag", out / "dag.png"]
        + ["--dag-max-nodes", "2000"],
        stderr=subprocess.PIPE,
        text=True,
    )
    try:
        deadline = time.monotonic() + 60
        while not any(out.iterdir()) and draw.poll() is None and time.monotonic() < deadline:
            time.sleep(0.05)
        assert draw.poll() is None, draw.stderr.read()
        time.sleep(0.5)  # dot is running
        draw.send_signal(signum)
        assert draw.wait(timeout=10) == 130
    finally:
        draw.kill()
        draw.wait()
    assert "interrupted" in draw.stderr.read()
    assert list(out.iterdir()) == []
