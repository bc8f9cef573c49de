"""Fuzz target: OpenQASM 2.0 text into `QuantumCircuit.from_qasm`.

Failure: a crash or sanitizer report; any exception but ValueError; a
ValueError whose message does not name the line ("line N: ..."); a circuit
read back that does not survive `to_qasm` and a second read unchanged.

Out of scope: programs whose registers of one kind hold over
`inputs.MAX_QUBITS` bits in all (a size, not a fault; see there).
"""

import re

import inputs

from corvane.circuit.quantumcircuit import QuantumCircuit

_LINE = re.compile(r"^line \d+: ")
_COMMENT = re.compile(r"//[^\n]*")
_DECLARATION = re.compile(r"\b([qc])reg\s+\w+\s*\[\s*(\d+)")


def too_big_to_build(text, declaration=_DECLARATION):
    """Whether the declared registers of one kind hold too many bits to build (comments
    ignored). `declaration` finds (keyword, size) pairs; a keyword starting with q declares
    qubits."""
    totals = {"q": 0, "c": 0}
    for keyword, size in declaration.findall(_COMMENT.sub(" ", text)):
        totals["q" if keyword.startswith("q") else "c"] += int(size)
    return any(inputs.huge_qubit_count(total) for total in totals.values())


def test_one_input(data):
    read_write_read(data.decode("utf-8", errors="surrogateescape"))


def read_write_read(text, declaration=_DECLARATION, version=2):
    """Reads `text`, writes the circuit in OpenQASM `version` and reads that back:
    the failures this target and qasm3_reader look for."""
    if too_big_to_build(text, declaration):
        return
    try:
        qc = QuantumCircuit.from_qasm(text)
    except ValueError as error:
        if not _LINE.match(str(error)):
            raise AssertionError(f"ValueError without a line number: {error}") from error
        return
    try:
        written = qc.to_qasm(version=version)
    except ValueError:
        return  # a value the writer cannot express (non-finite angle), refused as documented
    again = QuantumCircuit.from_qasm(written)
    if again != qc:
        raise AssertionError(f"read, write, read changed the circuit:\n{written}")


if __name__ == "__main__":
    inputs.fuzz_main(test_one_input)
