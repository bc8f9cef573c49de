"""Placement of a circuit's operations in columns, shared by the text and the
matplotlib drawings.

Wires are numbered qubits first (wire q is qubit q), then classical bits (wire
nqubits + c is bit c). An operation goes into the first column after every
earlier operation on the wires it occupies; a gate on qubits 0 and 2 also
occupies wire 1, which its connector crosses, and a measurement occupies every
wire from its qubit down to its classical bit.
"""

import math
from dataclasses import dataclass
from fractions import Fraction
from numbers import Real

from corvane.circuit.durations import DISPLAY_UNITS
from corvane.circuit.entry_transforms import entry_cbits, entry_duration, gate_parameters
from corvane.circuit.quantumcircuit import classical_bits, operation_qubits
from corvane.circuit.quantumcircuit_helpers import GATE_ROWS

# Display names of the gate table's gates; others show their name capitalised.
_LABELS = {row.name: row.label for row in GATE_ROWS if row.label}
# Gates drawn with symbols: name -> what each of its qubits shows, in entry
# order: a symbol ("control", "target", "swap") or the gate whose box it shows.
_SYMBOLIC = {row.name: tuple(row.symbols.split()) for row in GATE_ROWS if row.symbols}
_SYMBOLS = frozenset(("control", "target", "swap"))
# Largest denominator of a multiple of pi written as a fraction (pi/16, 3pi/8, ...).
_PI_DENOMINATOR = 16


@dataclass
class Mark:
    """What an operation draws on one wire: kind "box" (with text), "control",
    "target", "swap", "measure", "cbit" (where a measurement lands), "condition"
    (a bit a conditional reads, with the value it must hold) or "barrier"."""

    kind: str
    text: str = ""


@dataclass
class Element:
    """One drawn operation: its marks by wire, how they are joined ("quantum",
    "classical", "barrier" or None) and the column it was placed in."""

    marks: dict
    link: str | None = None
    column: int = 0


def format_parameter(value):
    """A short text for a gate parameter: a multiple of pi as such, otherwise 4 digits."""
    if isinstance(value, bool) or not isinstance(value, Real):
        return str(value)
    if not math.isfinite(value):
        return str(float(value))
    if value != 0:
        ratio = value / math.pi
        fraction = Fraction(ratio).limit_denominator(_PI_DENOMINATOR)
        if fraction and abs(ratio - fraction) < 1e-9:
            numerator = {1: "", -1: "-"}.get(fraction.numerator, str(fraction.numerator))
            return f"{numerator}π" + (
                f"/{fraction.denominator}" if fraction.denominator > 1 else ""
            )
    return f"{value:.4g}"


def format_duration(seconds):
    """A delay in the largest SI unit in which it is at least 1, 4 digits."""
    if isinstance(seconds, Real) and math.isfinite(seconds) and seconds != 0:
        for scale, unit in DISPLAY_UNITS:
            if abs(seconds) >= scale:
                break
        return f"{seconds / scale:.4g}{unit}"
    return f"{seconds}s"


def gate_label(name, params=()):
    label = _LABELS.get(name, name.capitalize())
    if params:
        label += "(" + ",".join(format_parameter(p) for p in params) + ")"
    return label


def _branch_label(branch, q):
    """What a conditional's branch does to qubit q: its gates' labels, "·" for nothing."""
    labels = [
        "If"
        if inner[0] == "if"
        else "M"
        if inner[0] == "measure"
        else gate_label(inner[0], gate_parameters(inner))
        for inner in branch
        if q in operation_qubits(inner)
    ]
    return " ".join(labels) or "·"


def _conditional_element(entry, nqubits):
    """A conditional: on each qubit "If" and what its branches do there ("Else"
    before the other branch); on each bit it reads the value that bit must
    hold; on each bit its measurements write the landing mark."""
    cbits, value, body, orelse = entry[1:]
    marks = {}
    for q in operation_qubits(entry):
        text = "If " + _branch_label(body, q)
        marks[q] = Mark("box", text + (" Else " + _branch_label(orelse, q) if orelse else ""))
    for c in classical_bits(entry):
        marks[nqubits + c] = Mark("cbit")
    for k, c in enumerate(cbits):
        marks[nqubits + c] = Mark("condition", str(value >> k & 1))
    return Element(marks, "classical")


def _elements_of(entry, nqubits):
    """The elements that draw one gate entry."""
    name = entry[0]
    if name == "if":
        return [_conditional_element(entry, nqubits)]
    qubits = operation_qubits(entry)
    if name == "measure":
        return [
            Element({q: Mark("measure", "M"), nqubits + c: Mark("cbit")}, "classical")
            for q, c in zip(qubits, entry_cbits(entry))
        ]
    if name == "barrier":
        return [Element({q: Mark("barrier") for q in qubits}, "barrier")]
    if name == "delay":
        text = f"Delay({format_duration(entry_duration(entry))})"
        return [Element({q: Mark("box", text) for q in qubits})]
    if name == "reset":
        return [Element({qubits[0]: Mark("box", "|0>")})]
    params = gate_parameters(entry)
    shown = _SYMBOLIC.get(name)
    if shown is not None and len(shown) == len(qubits):
        marks = {
            q: Mark(kind) if kind in _SYMBOLS else Mark("box", gate_label(kind, params))
            for q, kind in zip(qubits, shown)
        }
        return [Element(marks, "quantum")]
    label = gate_label(name, params)
    return [
        Element({q: Mark("box", label) for q in qubits}, "quantum" if len(qubits) > 1 else None)
    ]


def layout(qc):
    """The circuit's elements, each with its column; and the number of columns."""
    wires = qc.nqubits + qc.ncbits
    next_free = [0] * wires
    elements = []
    for entry in qc.gates:
        for element in _elements_of(entry, qc.nqubits):
            if not element.marks:  # a barrier or delay on no qubits
                continue
            marked = sorted(element.marks)
            joined = element.link in ("quantum", "classical")
            occupied = range(marked[0], marked[-1] + 1) if joined else marked
            element.column = max(next_free[w] for w in occupied)
            for w in occupied:
                next_free[w] = element.column + 1
            elements.append(element)
    return elements, max(next_free, default=0)
