"""Fuzz target: OpenQASM 2.0 text into `QuantumCircuit.from_qasm`.

Failure: a crash or sanitizer report; any exception but ValueError; a
ValueError whose message does not name the line ("line N: ..."); a circuit
read back that does not survive `to_qasm` and a second read unchanged.
"""

import re
import sys

import inputs
from corvane.circuit.quantumcircuit import QuantumCircuit

_LINE = re.compile(r"^line \d+: ")


def test_one_input(data):
    text = data.decode("utf-8", errors="surrogateescape")
    try:
        qc = QuantumCircuit.from_qasm(text)
    except ValueError as error:
        if not _LINE.match(str(error)):
            raise AssertionError(f"ValueError without a line number: {error}") from error
        return
    try:
        written = qc.to_qasm()
    except ValueError:
        return  # a value the writer cannot express (non-finite angle), refused as documented
    again = QuantumCircuit.from_qasm(written)
    if again != qc:
        raise AssertionError(f"read, write, read changed the circuit:\n{written}")


if __name__ == "__main__":
    inputs.fuzz_main(test_one_input)
