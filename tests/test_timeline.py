import pytest

from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.timeline import schedule_times

T1, T2 = 3e-8, 6e-8


def test_operations_start_when_all_their_qubits_are_free():
    qc = (
        QuantumCircuit(3, 1)
        .h(0)
        .cx(0, 1)
        .delay(1e-8, [2])
        .x(2)
        .barrier()
        .measure([1], [0])
        .ccx(0, 1, 2)
    )
    starts = [(s, d) for s, d, _ in schedule_times(qc, T1, T2)]
    assert starts == [
        (0.0, T1),
        (T1, T2),
        (0.0, 1e-8),
        (1e-8, T1),
        (T1 + T2, 0.0),
        (T1 + T2, 0.0),
        (T1 + T2, 0.0),
    ]


def test_timeline_picture_is_written(tmp_path):
    pytest.importorskip("matplotlib")
    import matplotlib.pyplot as plt

    from corvane.circuit.timeline import draw_timeline

    qc = QuantumCircuit(2, 0).h(0).cx(0, 1).delay(2e-8, [1]).x(1).y(1)
    output = tmp_path / "timeline.png"
    draw_timeline(qc, T1, T2, str(output), title="decoupled")
    image = plt.imread(str(output))
    assert image.ndim == 3 and image.shape[0] > 100 and image.shape[1] > 100
