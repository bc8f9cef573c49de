"""OpenQASM 2.0 reading and writing for the circuit model.

Writing uses the names of ``qelib1.inc`` where the gate set has them ("cnot" is
written as ``cx``, "u" as ``u3``, "p" as ``u1``, "cp" as ``cu1``) and puts a
``gate`` definition in the program for every gate of the set that the original
``qelib1.inc`` lacks, so a strict reader can expand it. A "delay" is declared
``opaque delay(duration) a;``: readers that know no such gate refuse it by
name. A measurement or delay on several qubits is written as one statement per
qubit on one line; the reader joins the statements of one line back into one
entry, so every circuit of the gate set reads back equal to itself (with "cnot"
read back as "cx"). Numbers are written as ``repr`` writes them, so they read
back as the same ints and floats. Every entry is checked first (known gate,
arity, integral qubit and bit indices in range, distinct qubits, finite real
parameters, non-negative durations): one that could not be read back raises
a ``ValueError`` naming the entry, and nothing is written.

Reading accepts programs over ``qelib1.inc`` and the gate set: several
registers (laid out one after another), whole-register arguments, parameter
expressions (``pi``, ``+ - * / ^``, ``sin cos tan exp ln sqrt``) and ``gate``
definitions, which are expanded. Every gate of ``qelib1.inc`` is known: those
of the gate set (``u3``/``u``, ``u2``, ``u1``/``p``, ``cu1``/``cp``, ``u0``
as ``id``, ``cx``, ``id``, ``x y z h s sdg t tdg sx sxdg rx ry rz cz cy swap
ccx cswap rxx rzz``) become its entries; ``ch crx cry crz cu3 cu csx rccx rc3x
c3x c3sqrtx c4x`` are expanded through their standard definitions. ``opaque``
gates (other than the writer's ``delay``) and ``if`` are refused: the circuit
model has no gate to stand for an opaque one and no classical control. A
malformed or unsupported program raises a ``ValueError`` that begins with
``line N:``, the line of the problem. Tokenizing, parsing, expansion and writing
run in the native core (``corvane.circuit._qasm``).
"""

from corvane.circuit import _qasm
from corvane.circuit.quantumcircuit_helpers import (
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    three_qubit_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)

__all__ = ["dumps", "loads"]


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


def loads(text, circuit_class=None, dt=None):
    """Return the circuit of an OpenQASM 2 or 3 program, the dialect told by its version
    line (none: OpenQASM 2). ``dt`` is the length in seconds of OpenQASM 3's unit ``dt``."""
    if not isinstance(text, str):
        raise TypeError(f"an OpenQASM program is text, got {type(text).__name__}")
    if circuit_class is None:
        from corvane.circuit.quantumcircuit import QuantumCircuit as circuit_class
    try:
        nqubits, ncbits, gates = _qasm.read(text, _CATEGORIES, dt)
    except UnicodeEncodeError as err:  # a lone surrogate: no program text can hold it
        line = text.count("\n", 0, err.start) + 1
        raise ValueError(
            f"line {line}: character {text[err.start]!r} cannot be read as UTF-8"
        ) from None
    qc = circuit_class(nqubits, ncbits)
    qc.gates = gates
    return qc
