"""Pictures of a circuit laid out in time, one row per qubit.

The layout follows the time model of the decoupling pass: one-qubit gates last
``t1g``, two-qubit gates ``t2g``, a "delay" its duration; three-qubit gates and
the other functional operations take no time. Each operation starts as soon as
all of its qubits are free, so a decoupled circuit, whose idle windows hold
delays, shows its pulses at the times the pass gave them.
"""

from corvane.circuit.entry_transforms import condition_text, entry_duration
from corvane.circuit.quantumcircuit import layering_wires, operation_qubits
from corvane.circuit.quantumcircuit_helpers import (
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)

__all__ = ["schedule_times", "draw_timeline"]

_COLOURS = {"x": "#d62728", "y": "#2ca02c", "delay": "#d9d9d9"}
_GATE_COLOUR = "#1f77b4"
_TWO_QUBIT_COLOUR = "#ff7f0e"


def _duration(entry, t1g, t2g):
    name = entry[0]
    if name in one_qubit_gates_available or name in one_qubit_parameter_gates_available:
        return t1g
    if name in two_qubit_gates_available or name in two_qubit_parameter_gates_available:
        return t2g
    if name == "delay":
        return entry_duration(entry)
    return 0.0


def schedule_times(qc, t1g, t2g):
    """Return ``(start, duration, qubits)`` for every gate entry of ``qc``, in order.

    An operation starts when everything it occupies is free: its qubits, and for
    a measurement or a conditional its classical bits (``layering_wires``), so a
    conditional starts no earlier than the measurement it reads.
    """
    free_at = {}
    times = []
    for entry in qc.gates:
        wires = layering_wires(entry)
        start = max((free_at.get(w, 0.0) for w in wires), default=0.0)
        duration = _duration(entry, t1g, t2g)
        for w in wires:
            free_at[w] = start + duration
        times.append((start, duration, operation_qubits(entry)))
    return times


def draw_timeline(qc, t1g, t2g, output="timeline.png", title=None):
    """Draw the circuit's timeline and save it as a PNG file.

    Args:
        qc (QuantumCircuit): The circuit, typically the result of a decoupling pass.
        t1g (float): Duration of a one-qubit gate, in seconds.
        t2g (float): Duration of a two-qubit gate, in seconds.
        output (str): The file to write. Defaults to 'timeline.png'.
        title (str | None): A title for the picture.

    Returns:
        matplotlib.figure.Figure: The figure that was saved.
    """
    from matplotlib.figure import Figure
    from matplotlib.patches import Patch

    times = schedule_times(qc, t1g, t2g)
    rows = sorted({q for _, _, qubits in times for q in qubits} | set(qc.qubits))
    row_of = {q: i for i, q in enumerate(rows)}
    end = max((s + d for s, d, _ in times), default=0.0) or 1e-9
    fig = Figure(
        figsize=(max(8.0, min(24.0, 2.0 + len(times) * 0.15)), 1.0 + 0.6 * max(len(rows), 1)),
        dpi=150,
    )
    ax = fig.add_subplot()
    ns = 1e9
    for entry, (start, duration, qubits) in zip(qc.gates, times):
        name = entry[0]
        ys = [row_of[q] for q in qubits]
        if name == "barrier":
            ax.vlines(
                start * ns,
                min(ys) - 0.4,
                max(ys) + 0.4,
                colors="black",
                linestyles="dashed",
                linewidth=1,
            )
            continue
        if name == "if":
            # no duration of its own: a mark on its qubits, labelled with its condition
            ax.plot([start * ns] * len(ys), ys, marker="s", color="purple", linestyle="none")
            ax.text(start * ns, min(ys) - 0.35, condition_text(entry), ha="center", fontsize=6)
            continue
        if duration == 0:
            ax.plot(
                [start * ns] * len(ys),
                ys,
                marker="D",
                color="black",
                linestyle="none",
                markersize=5,
            )
            continue
        colour = _COLOURS.get(name, _TWO_QUBIT_COLOUR if len(ys) == 2 else _GATE_COLOUR)
        for y in ys:
            ax.barh(
                y,
                duration * ns,
                left=start * ns,
                height=0.6,
                color=colour,
                edgecolor="black",
                linewidth=0.4,
            )
            if name != "delay" and duration * ns >= end * ns / 60:
                ax.text((start + duration / 2) * ns, y, name, ha="center", va="center", fontsize=7)
        if len(ys) > 1:
            ax.vlines((start + duration / 2) * ns, min(ys), max(ys), colors=colour, linewidth=1.5)
    ax.set_yticks(range(len(rows)), [f"q{q}" for q in rows])
    ax.set_ylim(len(rows) - 0.5, -0.5)
    ax.set_xlim(0, end * ns * 1.01)
    ax.set_xlabel("time (ns)")
    ax.grid(axis="x", linestyle=":", linewidth=0.5)
    ax.legend(
        handles=[
            Patch(color=_GATE_COLOUR, label="one-qubit gate"),
            Patch(color=_TWO_QUBIT_COLOUR, label="two-qubit gate"),
            Patch(color=_COLOURS["x"], label="x pulse"),
            Patch(color=_COLOURS["y"], label="y pulse"),
            Patch(color=_COLOURS["delay"], label="delay"),
        ],
        loc="upper center",
        bbox_to_anchor=(0.5, -0.25),
        ncol=5,
        fontsize=8,
        frameon=False,
    )
    if title:
        ax.set_title(title)
    fig.tight_layout()
    fig.savefig(output)
    return fig
