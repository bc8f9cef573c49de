"""Text diagrams of circuits: str(qc) and qc.draw()."""

import math
import os

import pytest
from conftest import random_circuit

from corvane.circuit import QuantumCircuit
from corvane.circuit.drawing.layout import format_duration, format_parameter

BELL = """\
q0: ─H──■──M────
        │  ║
q1: ────X──╫──M─
           ║  ║
c0: ═══════╩══╬═
              ║
c1: ══════════╩═"""


def test_bell_circuit_diagram():
    qc = QuantumCircuit(2, 2).h(0).cx(0, 1).measure([0, 1], [0, 1])
    assert qc.draw(fold=0) == BELL
    assert repr(qc.draw(fold=0)) == BELL  # unquoted at the prompt
    assert repr(qc) == "QuantumCircuit(nqubits=2, ncbits=2, gates=3)"


def test_independent_gates_share_a_column_and_connectors_cross_idle_wires():
    qc = QuantumCircuit(3).h(0).x(2).cx(0, 2).barrier([0, 2]).rzz(0.5, 2, 1)
    lines = qc.draw(fold=0).splitlines()
    assert lines == [
        "q0: ─H──■──░───────────",
        "        │",
        "q1: ────┼─────Rzz(0.5)─",
        "        │        │",
        "q2: ─X──X──░──Rzz(0.5)─",
    ]


@pytest.mark.parametrize(
    "value, text",
    [
        (math.pi / 2, "π/2"),
        (-math.pi / 4, "-π/4"),
        (2 * math.pi, "2π"),
        (3 * math.pi / 8, "3π/8"),
        (math.pi, "π"),
        (0.25, "0.25"),
        (-1.6e-5, "-1.6e-05"),
        (0, "0"),
        (3, "3"),
        (0.123456789, "0.1235"),
        (float("nan"), "nan"),
        (True, "True"),
    ],
)
def test_parameters_are_shortened(value, text):
    assert format_parameter(value) == text


@pytest.mark.parametrize(
    "seconds, text",
    [(2e-8, "20ns"), (1.5e-6, "1.5µs"), (0.25, "250ms"), (3, "3s"), (0, "0s"), (2.5e-13, "0.25ps")],
)
def test_delays_are_shown_in_si_units(seconds, text):
    assert format_duration(seconds) == text


@pytest.mark.parametrize("fold", [40, 57, 80])
def test_folded_pages_fit_and_join_back_to_the_unfolded_diagram(fold):
    qc = random_circuit(7, ngates=60, nqubits=4)
    whole = qc.draw(fold=0).splitlines()
    lines = qc.draw(fold=fold).splitlines()
    rows = len(whole)  # 2 * wires - 1, and an empty line after every page but the last
    pages = [lines[start : start + rows] for start in range(0, len(lines), rows + 1)]
    assert len(pages) > 1 and all(len(line) <= fold for line in lines)
    for row in range(0, rows, 2):  # the wire lines; link lines lose trailing blanks
        prefix = whole[row][:4]
        cells = [page[row][4:].removeprefix("«").removesuffix("»") for page in pages]
        assert all(page[row].startswith(prefix) for page in pages)
        assert prefix + "".join(cells) == whole[row]


def test_str_wraps_at_the_terminal_width(monkeypatch):
    monkeypatch.setattr("shutil.get_terminal_size", lambda *a: os.terminal_size((40, 24)))
    text = str(random_circuit(3, ngates=40, nqubits=3))
    assert "»" in text and max(len(line) for line in text.splitlines()) <= 40


@pytest.mark.parametrize(
    "kwargs, error",
    [({"fold": -1}, ValueError), ({"fold": 2.5}, TypeError), ({"output": "svg"}, ValueError)],
)
def test_bad_drawing_arguments_are_refused(kwargs, error):
    with pytest.raises(error):
        QuantumCircuit(1).h(0).draw(**kwargs)


def test_empty_circuits():
    assert QuantumCircuit(0).draw() == ""
    assert QuantumCircuit(1, 1).draw() == "q0: ─\n\nc0: ═"
    assert QuantumCircuit(0, 1).barrier().delay(1e-9).draw() == "c0: ═"


def test_mpl_figure_draws_every_mark_and_saves(tmp_path):
    matplotlib = pytest.importorskip("matplotlib")
    from matplotlib.patches import Circle, Rectangle

    qc = QuantumCircuit(2, 2).h(0).cx(0, 1).measure([0, 1], [0, 1])
    fig = qc.draw(output="mpl")
    assert isinstance(fig, matplotlib.figure.Figure)
    patches = fig.axes[0].patches
    assert [p.__class__ for p in patches].count(Rectangle) == 3  # H, M, M
    assert [p.__class__ for p in patches].count(Circle) == 2  # control dot, target
    fig.savefig(tmp_path / "bell.png")
    assert (tmp_path / "bell.png").stat().st_size > 0
