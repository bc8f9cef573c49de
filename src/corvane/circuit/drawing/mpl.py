"""A matplotlib picture of a circuit, from the same column layout as the text
diagram. matplotlib is imported when a picture is asked for, never before."""

from corvane.circuit.drawing.layout import layout

_WIRE_GAP = 1.0  # vertical distance between wires
_BOX_HEIGHT = 0.55
_CHAR_WIDTH = 0.11  # width of one label character, in wire gaps (10 pt text)
_GATE_COLOUR = "#cfe2f3"
_MEASURE_COLOUR = "#e6e6e6"


def _column_widths(elements, ncolumns):
    widths = [0.8] * ncolumns
    for element in elements:
        for mark in element.marks.values():
            if mark.kind == "box":
                widths[element.column] = max(
                    widths[element.column], _CHAR_WIDTH * len(mark.text) + 0.35
                )
    return widths


def draw_mpl(qc):
    """Return a matplotlib figure of ``qc``: wires left to right, one column per layer.

    Args:
        qc (QuantumCircuit): The circuit.

    Returns:
        matplotlib.figure.Figure: The figure; save it with ``savefig``. It is
        made without pyplot, so no window opens and no global state changes.
    """
    from matplotlib.figure import Figure
    from matplotlib.patches import Circle, Rectangle

    elements, ncolumns = layout(qc)
    widths = _column_widths(elements, ncolumns)
    centres, x = [], 0.6
    for width in widths:
        centres.append(x + width / 2)
        x += width
    right = x + 0.3
    wires = qc.nqubits + qc.ncbits
    fig = Figure(figsize=(max(2.0, 0.75 * right), max(1.0, 0.6 * wires + 0.4)))
    ax = fig.add_axes((0, 0, 1, 1))
    ax.set_xlim(-0.4, right)
    ax.set_ylim(-(wires - 0.5) * _WIRE_GAP, 0.5 * _WIRE_GAP)
    ax.set_aspect("equal")
    ax.axis("off")

    def y(w):
        return -w * _WIRE_GAP

    for w in range(wires):
        quantum = w < qc.nqubits
        name = f"q{w}" if quantum else f"c{w - qc.nqubits}"
        ax.text(0.2, y(w), name, ha="right", va="center", fontsize=11)
        for offset in (0.0,) if quantum else (-0.03, 0.03):
            ax.plot([0.3, right], [y(w) + offset] * 2, color="black", lw=1, zorder=1)

    for element in elements:
        cx = centres[element.column]
        marked = sorted(element.marks)
        if element.link == "barrier":
            for w in marked:
                ax.plot(
                    [cx, cx], [y(w) - 0.45, y(w) + 0.45], color="grey", lw=1.5, ls="--", zorder=2
                )
        elif element.link is not None:
            offsets = (-0.03, 0.03) if element.link == "classical" else (0.0,)
            for offset in offsets:
                ax.plot(
                    [cx + offset] * 2, [y(marked[0]), y(marked[-1])], color="black", lw=1, zorder=2
                )
        for w, mark in element.marks.items():
            if mark.kind in ("box", "measure"):
                width = widths[element.column] - 0.2
                colour = _MEASURE_COLOUR if mark.kind == "measure" else _GATE_COLOUR
                ax.add_patch(
                    Rectangle(
                        (cx - width / 2, y(w) - _BOX_HEIGHT / 2),
                        width,
                        _BOX_HEIGHT,
                        facecolor=colour,
                        edgecolor="black",
                        zorder=3,
                    )
                )
                ax.text(cx, y(w), mark.text, ha="center", va="center", fontsize=10, zorder=4)
            elif mark.kind == "control":
                ax.add_patch(Circle((cx, y(w)), 0.09, color="black", zorder=3))
            elif mark.kind == "target":
                ax.add_patch(
                    Circle((cx, y(w)), 0.2, facecolor="white", edgecolor="black", zorder=3)
                )
                ax.plot([cx - 0.2, cx + 0.2], [y(w)] * 2, color="black", lw=1, zorder=4)
                ax.plot([cx, cx], [y(w) - 0.2, y(w) + 0.2], color="black", lw=1, zorder=4)
            elif mark.kind == "swap":
                for sign in (1, -1):
                    ax.plot(
                        [cx - 0.12, cx + 0.12],
                        [y(w) - 0.12 * sign, y(w) + 0.12 * sign],
                        color="black",
                        lw=1.5,
                        zorder=3,
                    )
            elif mark.kind == "condition":
                # filled for a bit that must read 1, open for 0, as control dots
                filled = mark.text == "1"
                ax.add_patch(
                    Circle(
                        (cx, y(w)),
                        0.12,
                        facecolor="black" if filled else "white",
                        edgecolor="black",
                        zorder=3,
                    )
                )
            elif mark.kind == "cbit":
                ax.plot([cx], [y(w) + 0.1], marker="v", color="black", markersize=6, zorder=3)
    return fig
