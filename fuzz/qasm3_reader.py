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
from qasm_reader import read_write_read

# qubit[n] q; bit[n] c; qreg q[n]; creg c[n];
_DECLARATION = re.compile(r"\b(qubit|bit|qreg|creg)\s*(?:\w+\s*)?\[\s*(\d+)")


def test_one_input(data):
    text = data.decode("utf-8", errors="surrogateescape")
    if not text.lstrip().startswith("OPENQASM"):
        text = "OPENQASM 3;\n" + text
    read_write_read(text, _DECLARATION, version=3)


if __name__ == "__main__":
    inputs.fuzz_main(test_one_input)
