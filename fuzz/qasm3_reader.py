"""Fuzz target: OpenQASM 3 text into `QuantumCircuit.from_qasm`.

An input without a version line is read after `OPENQASM 3;`, so the search
stays in the version 3 reader. Failure: a crash or sanitizer report; any
exception but ValueError (the reader's ceilings raise LimitExceeded, one); a
ValueError whose message does not name the line ("line N: ..."); a circuit
read back that does not survive `to_qasm(version=3)` and a second read
unchanged. An input starting with DEEP is a nesting form of version 3 and a
depth instead (see qasm_reader.deep_program).
"""

import inputs
from qasm_reader import DEEP, NESTINGS, deep_program, read_write_read

NESTINGS3 = NESTINGS + (
    ("cos(", "1", ")", "rx({}) q[0];"),
    ("~", "1", "", "rx({}) q[0];"),
    ("!", "1", "", "rx({}) q[0];"),
    ("1**", "1", "", "rx({}) q[0];"),
    ("if (c[0]) {", "x q[0];", "}", "{}"),
    ("if (c == 1) x q[0]; else ", "x q[0];", "", "{}"),
    ("{", "x q[0];", "}", "{}"),
)
HEAD3 = 'OPENQASM 3;\ninclude "stdgates.inc";\nqubit[2] q;\nbit[1] c;\n'


def test_one_input(data):
    if data[:1] == bytes([DEEP]):
        return read_write_read(deep_program(data[1:], NESTINGS3, HEAD3), version=3)
    text = data.decode("utf-8", errors="surrogateescape")
    if not text.lstrip().startswith("OPENQASM"):
        text = "OPENQASM 3;\n" + text
    read_write_read(text, version=3)


if __name__ == "__main__":
    inputs.fuzz_main(test_one_input)
