"""Text diagram of a circuit: one line per qubit and per classical bit, the
operations in columns, joined by vertical connectors on the lines between
wires; diagrams wider than the terminal are wrapped into pages."""

import shutil

from corvane.circuit.drawing.layout import layout

_WIRE = {"quantum": "─", "classical": "═"}
_SYMBOLS = {"control": "■", "target": "X", "swap": "×", "barrier": "░", "cbit": "╩"}
# What a connector shows where it crosses a wire it does not act on: by
# (connector, wire) kind.
_CROSSINGS = {
    ("quantum", "quantum"): "┼",
    ("classical", "quantum"): "╫",
    ("classical", "classical"): "╬",
}
_LINKS = {"quantum": "│", "classical": "║", "barrier": "░"}
# Marks drawn as their text; a condition shows the value its bit must hold.
_TEXT_MARKS = ("box", "measure", "condition")


class TextDiagram(str):
    """The text of a circuit diagram; shows itself unquoted at the prompt."""

    def __repr__(self):
        return str(self)


def _column_cells(elements, kind, width):
    """The wire cells (one per wire) and link cells (one per gap below a wire) of
    one column; kind[w] is "quantum" or "classical"."""
    wires = len(kind)
    centre = (width - 1) // 2

    def cell(text, fill):
        left = (width - len(text)) // 2
        return fill + fill * left + text + fill * (width - len(text) - left) + fill

    def link(char):
        return " " * (centre + 1) + char + " " * (width - centre)

    bare = {k: fill * (width + 2) for k, fill in _WIRE.items()}
    wire_cells = [bare[k] for k in kind]
    link_cells = [" " * (width + 2)] * wires
    for element in elements:
        for w, mark in element.marks.items():
            text = mark.text if mark.kind in _TEXT_MARKS else _SYMBOLS[mark.kind]
            wire_cells[w] = cell(text, _WIRE[kind[w]])
        marked = sorted(element.marks)
        if element.link == "barrier":
            for w in marked:
                if w + 1 in element.marks:
                    link_cells[w] = link(_LINKS["barrier"])
        elif element.link is not None:
            for w in range(marked[0], marked[-1]):
                link_cells[w] = link(_LINKS[element.link])
                if w > marked[0] and w not in element.marks:
                    wire_cells[w] = cell(_CROSSINGS[element.link, kind[w]], _WIRE[kind[w]])
    return wire_cells, link_cells


def _text_width(element):
    texts = [m.text for m in element.marks.values() if m.kind in _TEXT_MARKS]
    return max((len(t) for t in texts), default=1)


def _pages(widths, room):
    """Split column indices into pages whose cells fit in `room` characters (at least one each)."""
    pages, current, used = [], [], 0
    for index, width in enumerate(widths):
        if current and used + width > room:
            pages.append(current)
            current, used = [], 0
        current.append(index)
        used += width
    pages.append(current)
    return pages


def draw_text(qc, fold=None):
    """Return the text diagram of ``qc``.

    Args:
        qc (QuantumCircuit): The circuit.
        fold (int | None): Wrap to lines of at most this many characters (a
            column wider than that still gets a page of its own); None uses
            the terminal's width, 0 never wraps.

    Returns:
        TextDiagram: The diagram, a str.
    """
    if fold is None:
        fold = shutil.get_terminal_size().columns
    if isinstance(fold, bool) or not isinstance(fold, int):
        raise TypeError(f"fold must be an int or None, got {type(fold).__name__}")
    if fold < 0:
        raise ValueError(f"fold must be non-negative, got {fold}")
    wires = qc.nqubits + qc.ncbits
    if wires == 0:
        return TextDiagram("")
    elements, ncolumns = layout(qc)
    by_column = [[] for _ in range(ncolumns)]
    for element in elements:
        by_column[element.column].append(element)
    widths = [max((_text_width(e) for e in column), default=1) for column in by_column]
    kind = ["quantum"] * qc.nqubits + ["classical"] * qc.ncbits
    columns = [_column_cells(column, kind, width) for column, width in zip(by_column, widths)]

    names = [f"q{w}" for w in range(qc.nqubits)] + [f"c{c}" for c in range(qc.ncbits)]
    name_width = max(len(n) for n in names)
    prefix = [n.rjust(name_width) + ": " for n in names]
    blank = " " * (name_width + 2)
    cell_widths = [width + 2 for width in widths]
    # Room for the cells of a page: the names, and the continuation marks on both sides.
    room = fold - len(blank) - 2 if fold else sum(cell_widths)
    lines = []
    pages = _pages(cell_widths, room) if ncolumns else [[]]
    for number, page in enumerate(pages):
        first, last = number == 0, number == len(pages) - 1
        for w in range(wires):
            fill = _WIRE[kind[w]]
            cells = "".join(columns[i][0][w] for i in page) or fill
            lines.append(prefix[w] + ("" if first else "«") + cells + ("" if last else "»"))
            if w + 1 < wires:
                gaps = "".join(columns[i][1][w] for i in page) or " "
                lines.append(blank + ("" if first else " ") + gaps)
        if not last:
            lines.append("")
    return TextDiagram("\n".join(line.rstrip() for line in lines))
