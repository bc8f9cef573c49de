"""Fuzz target: OpenQASM 3 text into `QuantumCircuit.from_qasm`.

An input without a version line is read after `OPENQASM 3;`, so the search
stays in the version 3 reader. Failure: a crash or sanitizer report; any
exception but ValueError; a ValueError whose message does not name the line
("line N: ..."); a circuit read back that does not survive
`to_qasm(version=3)` and a second read unchanged.

Out of scope: programs whose registers of one kind hold over
`inputs.MAX_QUBITS` bits in all (a size, not a fault; see there).
"""

import re

import inputs
from qasm_reader import too_big_to_build

from corvane.circuit.quantumcircuit import QuantumCircuit

_LINE = re.compile(r"^line \d+: ")
# qubit[n] q; bit[n] c; qreg q[n]; creg c[n];
_DECLARATION = re.compile(r"\b(qubit|bit|qreg|creg)\s*(?:\w+\s*)?\[\s*(\d+)")


def test_one_input(data):
    text = data.decode("utf-8", errors="surrogateescape")
    if not text.lstrip().startswith("OPENQASM"):
        text = "OPENQASM 3;\n" + text
    if too_big_to_build(text, _DECLARATION):
        return
    try:
        qc = QuantumCircuit.from_qasm(text)
    except ValueError as error:
        if not _LINE.match(str(error)):
            raise AssertionError(f"ValueError without a line number: {error}") from error
        return
    try:
        written = qc.to_qasm(version=3)
    except ValueError:
        return  # a value the writer cannot express (non-finite angle), refused as documented
    again = QuantumCircuit.from_qasm(written)
    if again != qc:
        raise AssertionError(f"read, write, read changed the circuit:\n{written}")


if __name__ == "__main__":
    inputs.fuzz_main(test_one_input)
