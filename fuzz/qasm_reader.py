"""Fuzz target: OpenQASM 2.0 text into `QuantumCircuit.from_qasm`.

Failure: a crash or sanitizer report; any exception but ValueError (the
reader's ceilings raise LimitExceeded, one); a ValueError whose message does
not name the line ("line N: ..."); a circuit read back that does not survive
`to_qasm` and a second read unchanged.

An input starting with DEEP is a nesting form and a depth instead (see
`deep_program`): the forms a program can repeat past any stack.
"""

import re

import atheris
import inputs

from corvane.circuit.quantumcircuit import QuantumCircuit

_LINE = re.compile(r"^line \d+: ")

# The first byte of an input that asks for a deeply nested program.
DEEP = 0xFF

# Each nesting form: the text repeated before the seed, the seed, the text
# repeated after it, and the statement that holds them ({} stands for them).
NESTINGS = (
    ("(", "1", ")", "rx({}) q[0];"),
    ("-", "1", "", "rx({}) q[0];"),
    ("1^", "1", "", "rx({}) q[0];"),
    # definitions, each applying the one before (once, or twice: 2^depth gates)
    ("gate g{i} a {{ g{j} a; }}\n", "", "", "gate g0 a {{ x a; }}\n{}g{n} q[0];"),
    ("gate g{i} a {{ g{j} a; g{j} a; }}\n", "", "", "gate g0 a {{ x a; }}\n{}g{n} q[0];"),
)
NESTINGS2 = NESTINGS + (
    ("sin(", "1", ")", "rx({}) q[0];"),
    ("+", "1", "", "rx({}) q[0];"),
    ("1+", "1", "", "rx({}) q[0];"),
    ("2*", "1", "", "rx({}) q[0];"),
    ("-(", "1", ")", "rx({}) q[0];"),
    ("if (c == 1) ", "x q[0];", "", "{}"),
)
HEAD2 = 'OPENQASM 2.0;\ninclude "qelib1.inc";\nqreg q[2];\ncreg c[1];\n'


def deep_program(data, nestings, head):
    """The program of a nesting form of `nestings` repeated to a depth, both drawn
    from `data`, its text between the repetitions drawn too."""
    fdp = atheris.FuzzedDataProvider(data)
    before, seed, after, statement = inputs.pick(fdp, nestings)
    depth = fdp.ConsumeIntInRange(0, 300_000)
    seed += fdp.ConsumeUnicodeNoSurrogates(8)
    if "{i}" in before:  # a chain of definitions, numbered
        chain = "".join(before.format(i=i, j=i - 1) for i in range(1, depth + 1))
        return head + statement.format(chain, n=depth)
    return head + statement.format(before * depth + seed + after * depth)


def test_one_input(data):
    if data[:1] == bytes([DEEP]):
        return read_write_read(deep_program(data[1:], NESTINGS2, HEAD2))
    read_write_read(data.decode("utf-8", errors="surrogateescape"))


def read_write_read(text, version=2):
    """Reads `text`, writes the circuit in OpenQASM `version` and reads that back:
    the failures this target and qasm3_reader look for."""
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
