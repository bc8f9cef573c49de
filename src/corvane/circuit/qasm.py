"""OpenQASM 2.0 and 3 reading and writing for the circuit model.

Reading tells the dialect from the version line (``OPENQASM 2.0;``, ``OPENQASM 3;``
or ``3.0;``); a program without one is read as OpenQASM 2. Both dialects share
one tokenizer, one expression grammar and the gate table; a malformed or
unsupported program raises a ``ValueError`` that begins with ``line N:``.

OpenQASM 2 reading accepts programs over ``qelib1.inc`` and the gate set:
several registers (laid out one after another), whole-register arguments,
parameter expressions (``pi``, ``+ - * / ^``, ``sin cos tan exp ln sqrt``),
``gate`` definitions, which are expanded, and ``if (creg == n) op;``, read as
``("if", bits of creg, n, (entries of op...), ())``. Every gate of
``qelib1.inc`` is known: those of the gate set (``u3``/``u``, ``u2``,
``u1``/``p``, ``cu1``/``cp``, ``u0`` as ``id``, ``cx``, ``id``, ``x y z h s sdg
t tdg sx sxdg rx ry rz cz cy swap ccx cswap rxx rzz``) become its entries; ``ch
crx cry crz cu3 cu csx rccx rc3x c3x c3sqrtx c4x`` are expanded through their
standard definitions. ``opaque`` gates (other than the writer's ``delay``) are
refused: the circuit model has no gate to stand for one. A program's definition of a
name is its own unless the program included the library that gives it (redefining
a library gate after the include, a built-in, or a gate already defined is refused);
a definition of a model gate reads as that gate when its body has its matrix.
Declared qubits and bits and the entries read (definitions' expansions counted
before they are made) stop at the ceilings of ``corvane.circuit.limits``.

OpenQASM 3 reading accepts ``include "stdgates.inc"`` with all its gates,
``qubit``/``bit`` declarations (sized or single) and ``qreg``/``creg``, ``gate``
definitions, ``U``, the three forms of measurement, ``reset``, ``barrier``,
``delay[d unit]`` (``s ms us µs ns``; ``dt`` with ``loads(text, dt=seconds)``),
``if``/``else`` over a bit or a register compared with an integer, block
comments, ``**`` and the constants ``pi π tau τ euler ℇ``. Loops, subroutines,
``extern``, ``input``/``output``, ``stretch``, ``box``, gate modifiers,
``gphase`` and classical types are refused, the message naming the construct.

Writing uses the library's names where the gate set has them (version 2:
"cnot" as ``cx``, "u" as ``u3``, "p" as ``u1``, "cp" as ``cu1``; version 3:
"u" as ``U``) and puts a ``gate`` definition in the program for every gate of
the set the library lacks. In version 2 a "delay" is declared ``opaque
delay(duration) a;``; version 3 writes ``delay[<seconds>s]``. A measurement or
delay on several qubits is written on one line; the reader joins the
statements of one line back into one entry, so every circuit of the gate set
reads back equal to itself (with "cnot" read back as "cx"). Numbers are written
as ``repr`` writes them, so they read back as the same ints and floats. A
conditional is written as an ``if`` block (version 3: over one bit, or every
bit in order) or ``if (c == n) op;`` (version 2: every bit, one statement, no
else). Every entry is checked first: one that could not be read back raises a
``ValueError`` naming the entry, and nothing is written. Tokenizing, parsing,
expansion and writing run in the native core (``corvane.circuit._qasm``).
"""

from corvane.circuit import _qasm, limits
from corvane.circuit.quantumcircuit_helpers import (
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    three_qubit_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)

__all__ = ["dumps", "loads", "read_program"]

# The native reader counts in 64 bits: a larger ceiling is no ceiling.
_UNBOUNDED = 2**64 - 1


# The gate set, as the builders test it (a name added to a category is seen).
_CATEGORIES = (
    one_qubit_gates_available,
    two_qubit_gates_available,
    three_qubit_gates_available,
    one_qubit_parameter_gates_available,
    two_qubit_parameter_gates_available,
)


def dumps(qc, version=2):
    """Return ``qc`` as an OpenQASM program of ``version`` 2 (2.0) or 3."""
    return _qasm.write(qc.nqubits, qc.ncbits, qc.gates, _CATEGORIES, version)


def loads(text, circuit_class=None, dt=None, max_qubits=None, max_gates=None):
    """Return the circuit of an OpenQASM 2 or 3 program, the dialect told by its version
    line (none: OpenQASM 2). ``dt`` is the length in seconds of OpenQASM 3's unit ``dt``.
    A program declaring over ``max_qubits`` qubits (or as many classical bits), or reading
    over ``max_gates`` entries, its gates' expansions counted before they are made, raises
    ``LimitExceeded`` (None: the ceilings of ``corvane.circuit.limits``)."""
    return read_program(text, circuit_class, dt, max_qubits, max_gates)[0]


def read_program(text, circuit_class=None, dt=None, max_qubits=None, max_gates=None):
    """``(circuit, version)`` of an OpenQASM program: as ``loads``, with the dialect it
    was read in (2 or 3), so that a result can be written back in it."""
    if not isinstance(text, str):
        raise TypeError(f"an OpenQASM program is text, got {type(text).__name__}")
    max_qubits = limits.ceiling(max_qubits, limits.MAX_QUBITS, "max_qubits")
    max_gates = limits.ceiling(max_gates, limits.MAX_GATES, "max_gates")
    if circuit_class is None:
        from corvane.circuit.quantumcircuit import QuantumCircuit as circuit_class
    try:
        nqubits, ncbits, gates, version = _qasm.read(
            text, _CATEGORIES, dt, min(max_qubits, _UNBOUNDED), min(max_gates, _UNBOUNDED)
        )
    except UnicodeEncodeError as err:  # a lone surrogate: no program text can hold it
        before = text[: err.start]
        # "\n", "\r\n" and a lone "\r" each end a line, as the reader counts them.
        line = before.count("\n") + before.count("\r") - before.count("\r\n") + 1
        raise ValueError(
            f"line {line}: character {text[err.start]!r} cannot be read as UTF-8"
        ) from None
    qc = circuit_class(nqubits, ncbits)
    qc.gates = gates
    return qc, version
