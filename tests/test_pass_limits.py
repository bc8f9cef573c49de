"""What the passes refuse before they build anything: a decoupled result over its entry
ceiling, and an entry acting on a qubit outside the circuit; on both paths alike."""

import copy
import pickle
import subprocess
import sys

import pytest
from conftest import GenericCompressor, GenericDecoupling

from corvane.circuit import cli, limits
from corvane.circuit.limits import LimitExceeded
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.pipeline import PassManager
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.schedule import DynamicalDecoupling

PATHS = pytest.mark.parametrize("cls", [DynamicalDecoupling, GenericDecoupling])


def lone_window_circuit():
    qc = QuantumCircuit(3, 3)
    qc.h(0).h(1).cx(1, 2).cx(0, 1)
    return qc


def decoupled_size():
    """Entries of lone_window_circuit decoupled at 3e-8/1.5e-7, align left: 4 + 1 + 9."""
    return len(DynamicalDecoupling(3e-8, 1.5e-7).run(lone_window_circuit(), align_right=False))


@PATHS
@pytest.mark.parametrize("spare", [0, 5])
def test_result_within_the_ceiling_is_unchanged(cls, spare):
    qc = lone_window_circuit()
    ceiling = decoupled_size() + spare
    bounded = cls(3e-8, 1.5e-7, max_entries=ceiling)
    out = bounded.run(qc, align_right=False)
    free = cls(3e-8, 1.5e-7)
    assert out.gates == free.run(qc, align_right=False).gates
    assert bounded._count == free._count


@PATHS
@pytest.mark.parametrize("ceiling", [1, 4, 5, 13])
def test_result_over_the_ceiling_is_refused_before_any_serial_is_drawn(cls, ceiling):
    qc = lone_window_circuit()
    gates = copy.deepcopy(qc.gates)
    dd = cls(3e-8, 1.5e-7, max_entries=ceiling)
    with pytest.raises(LimitExceeded) as err:
        dd.run(qc, align_right=False)
    assert str(err.value) == (
        f"decoupling would produce {decoupled_size()} entries, over the ceiling of {ceiling} "
        "(raise it with max_entries= or --max-entries)"
    )
    assert dd._count == 86751 and qc.gates == gates


@PATHS
def test_the_module_ceiling_applies_without_the_option(cls, monkeypatch):
    monkeypatch.setattr(limits, "MAX_ENTRIES", 5)
    with pytest.raises(LimitExceeded, match="over the ceiling of 5 "):
        cls(3e-8, 1.5e-7).run(lone_window_circuit(), align_right=False)


@pytest.mark.parametrize("t1g, t2g", [(2e-8, 1.0), (2, 10**8), (1e-300, 1e-7)])
def test_runaway_decoupling_is_refused_in_a_child(t1g, t2g):
    # Each would build hundreds of millions of entries, or far more than memory holds.
    program = (
        "from corvane.circuit.quantumcircuit import QuantumCircuit\n"
        "from corvane.circuit.schedule import DynamicalDecoupling\n"
        "qc = QuantumCircuit(3).h(0).cx(0, 1).h(0).cx(1, 2).cx(0, 2).h(1).cx(0, 1)\n"
        f"DynamicalDecoupling({t1g!r}, {t2g!r}).run(qc)\n"
    )
    done = subprocess.run(
        [sys.executable, "-c", program], capture_output=True, text=True, timeout=60
    )
    assert done.returncode == 1
    assert done.stderr.splitlines()[-1].startswith("corvane.circuit.limits.LimitExceeded: ")


def test_option_travels_with_the_pass():
    dd = DynamicalDecoupling(3e-8, 1.5e-7, max_entries=7)
    assert pickle.loads(pickle.dumps(dd)).max_entries == 7
    manager = PassManager([(dd, {"align_right": False})])
    with pytest.raises(LimitExceeded, match="ceiling of 7 "):
        manager.run(lone_window_circuit())


@pytest.mark.parametrize(
    "value, error", [(0, ValueError), (-3, ValueError), (1.5, TypeError), (True, TypeError)]
)
def test_nonsense_ceiling_is_refused_by_the_constructor(value, error):
    with pytest.raises(error, match="max_entries"):
        DynamicalDecoupling(2e-8, 5e-8, max_entries=value)


def test_ceiling_is_keyword_only():
    with pytest.raises(TypeError):
        DynamicalDecoupling(2e-8, 5e-8, 10)


def test_command_line_ceiling_fails_the_file(tmp_path, capsys):
    (tmp_path / "in.qasm").write_text(lone_window_circuit().to_qasm())
    argv = ["transpile", tmp_path / "in.qasm", "-o", tmp_path / "out", "--dd", "XY4"]
    status = cli.main([str(a) for a in argv] + ["--max-entries", "3"])
    assert status == 1
    assert "LimitExceeded: decoupling would produce" in capsys.readouterr().err
    assert list((tmp_path / "out").iterdir()) == []


# ---- qubits outside the circuit


def circuit_with(entry):
    qc = QuantumCircuit(3, 1).h(0).cx(0, 1)
    qc.gates.append(entry)
    return qc


@pytest.mark.parametrize(
    "cls", [DynamicalDecoupling, GenericDecoupling, GateCompressor, GenericCompressor]
)
@pytest.mark.parametrize(
    "entry, qubit",
    [
        (("x", 99), "99"),
        (("cx", 0, -1), "-1"),
        (("rz", 0.5, 3), "3"),
        (("measure", [7], [0]), "7"),
        (("barrier", (0, 2**70)), str(2**70)),
        (("if", (0,), 1, (("x", 5),), ()), "5"),
        # Dropped by the compressor as the identity before the others are read.
        (("rz", 1e-12, 4), "4"),
    ],
)
def test_entry_outside_the_circuit_is_named(cls, entry, qubit):
    qc = circuit_with(entry)
    gates = copy.deepcopy(qc.gates)
    with pytest.raises(ValueError) as err:
        cls(2e-8, 5e-8).run(qc) if "Decoupling" in cls.__name__ else cls().run(qc)
    assert str(err.value) == (
        f"gate entry 2 {entry!r}: qubit {qubit} is outside the circuit's 3 qubits"
    )
    assert qc.gates == gates


@pytest.mark.parametrize("cls", [GateCompressor, GenericCompressor])
def test_entry_outside_the_circuit_is_named_by_its_place_after_dropped_ones(cls):
    qc = circuit_with(("rz", 1e-12, 0))
    qc.gates.append(("x", 9))
    with pytest.raises(ValueError, match=r"^gate entry 3 \('x', 9\): qubit 9 is outside"):
        cls().run(qc)
