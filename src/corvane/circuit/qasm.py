"""OpenQASM 2.0 reading and writing for the circuit model.

Writing uses the names of ``qelib1.inc`` where the gate set has them ("cnot" is
written as ``cx``, "u" as ``u3``, "p" as ``u1``, "cp" as ``cu1``) and puts a
``gate`` definition in the program for every other gate it uses, so a strict
reader can expand it. A "delay" is declared ``opaque delay(duration) a;``:
readers that know no such gate refuse it by name. A measurement or delay on
several qubits is written as one statement per qubit on one line; the reader
joins the statements of one line back into one entry, so every circuit of the
gate set reads back equal to itself (with "cnot" read back as "cx").

Reading accepts programs over ``qelib1.inc`` and the gate set: several
registers (laid out one after another), whole-register arguments, parameter
expressions (``pi``, ``+ - * / ^``, ``sin cos tan exp ln sqrt``) and ``gate``
definitions, which are expanded. A malformed or unsupported program raises a
``ValueError`` that names the line and what was expected.
"""

import math
import re

from corvane.circuit.quantumcircuit_helpers import (
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    three_qubit_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)

__all__ = ["dumps", "loads"]

# Gate names written differently from the gate set, and names read into it.
# At most this many qubits, and as many classical bits, per program: the
# circuit keeps one list item per qubit, and a register size beyond any
# device or simulator is far likelier a typo than a circuit (2**24 qubits
# already take 130 MB of qubit list alone).
_MAX_BITS = 1 << 24

_WRITTEN_AS = {"cnot": "cx", "u": "u3", "p": "u1", "cp": "cu1"}
_READ_AS = {"u3": "u", "u1": "p", "cu1": "cp", "U": "u", "CX": "cx"}

# Definitions for the gates of the set that qelib1.inc lacks, in its terms.
_DEFINITIONS = {
    "sx": "gate sx a { h a; s a; h a; }",
    "sxdg": "gate sxdg a { h a; sdg a; h a; }",
    "r": "gate r(theta, phi) a { u3(theta, phi - pi/2, pi/2 - phi) a; }",
    "swap": "gate swap a, b { cx a, b; cx b, a; cx a, b; }",
    "iswap": "gate iswap a, b { s a; s b; h a; cx a, b; cx b, a; h b; }",
    "rxx": "gate rxx(theta) a, b { h a; h b; cx a, b; rz(theta) b; cx a, b; h a; h b; }",
    "ryy": ("gate ryy(theta) a, b { rx(pi/2) a; rx(pi/2) b; cx a, b; rz(theta) b; cx a, b; "
            "rx(-pi/2) a; rx(-pi/2) b; }"),
    "rzz": "gate rzz(theta) a, b { cx a, b; rz(theta) b; cx a, b; }",
    "ccz": "gate ccz a, b, c { h c; ccx a, b, c; h c; }",
    "cswap": "gate cswap a, b, c { cx c, b; ccx a, b, c; cx c, b; }",
}
_QELIB1 = {"u3", "u2", "u1", "cx", "id", "u0", "x", "y", "z", "h", "s", "sdg", "t", "tdg", "rx", "ry", "rz",
           "cz", "cy", "ch", "ccx", "crz", "cu1", "cu3"}


# ---- writing ------------------------------------------------------------------

def _number(value, what):
    if isinstance(value, bool):
        value = int(value)
    if isinstance(value, int):
        return str(value)
    value = float(value)
    if not math.isfinite(value):
        raise ValueError(f"cannot write the {what} {value!r} in OpenQASM 2.0")
    return repr(value)


def dumps(qc):
    """Return ``qc`` as an OpenQASM 2.0 program."""
    from corvane.circuit.quantumcircuit import operation_qubits

    body, defined = [], []

    def define(name):
        if name in _DEFINITIONS and name not in defined:
            defined.append(name)

    for entry in qc.gates:
        name = entry[0]
        qubits = operation_qubits(entry)
        args = ", ".join(f"q[{q}]" for q in qubits)
        if name == "measure":
            body.append(" ".join(f"measure q[{q}] -> c[{c}];" for q, c in zip(entry[1], entry[2])))
        elif name == "barrier":
            body.append(f"barrier {args};")
        elif name == "delay":
            duration = _number(entry[1], "delay duration")
            define("delay")
            body.append(" ".join(f"delay({duration}) q[{q}];" for q in qubits))
        elif name == "reset":
            body.append(f"reset q[{entry[1]}];")
        else:
            params = entry[1:len(entry) - len(qubits)]
            define(name)
            written = _WRITTEN_AS.get(name, name)
            text = f"({', '.join(_number(p, 'parameter') for p in params)})" if params else ""
            body.append(f"{written}{text} {args};")

    lines = ["OPENQASM 2.0;", 'include "qelib1.inc";']
    lines += [_DEFINITIONS[name] for name in defined if name in _DEFINITIONS]
    if any(entry[0] == "delay" for entry in qc.gates):
        lines.append("opaque delay(duration) a;")
    lines.append(f"qreg q[{qc.nqubits}];")
    if qc.ncbits:
        lines.append(f"creg c[{qc.ncbits}];")
    return "\n".join(lines + body) + "\n"


# ---- reading ------------------------------------------------------------------

_TOKEN = re.compile(r"""
    (?P<space>[ \t\r]+) | (?P<newline>\n) | (?P<comment>//[^\n]*)
  | (?P<real>(\d+\.\d*|\.\d+)([eE][-+]?\d+)?|\d+[eE][-+]?\d+) | (?P<int>\d+)
  | (?P<id>[A-Za-z_][A-Za-z0-9_]*) | (?P<string>"[^"\n]*")
  | (?P<op>->|==|[;,()\[\]{}+\-*/^])
""", re.VERBOSE)

_FUNCTIONS = {"sin": math.sin, "cos": math.cos, "tan": math.tan, "exp": math.exp, "ln": math.log,
              "sqrt": math.sqrt}


class _Tokens:
    def __init__(self, text):
        self.items = []
        line, pos = 1, 0
        while pos < len(text):
            m = _TOKEN.match(text, pos)
            if not m:
                raise ValueError(f"line {line}: unexpected character {text[pos]!r}")
            kind = m.lastgroup
            if kind == "newline":
                line += 1
            elif kind not in ("space", "comment"):
                self.items.append((kind, m.group(), line))
            pos = m.end()
        self.items.append(("end", "end of program", line))
        self.index = 0

    def peek(self):
        return self.items[self.index]

    def take(self):
        item = self.items[self.index]
        self.index = min(self.index + 1, len(self.items) - 1)
        return item

    def expect(self, value, what=None):
        kind, text, line = self.take()
        if text != value:
            raise ValueError(f"line {line}: expected {what or repr(value)}, got {text!r}")
        return line

    def expect_kind(self, kind, what):
        k, text, line = self.take()
        if k != kind:
            raise ValueError(f"line {line}: expected {what}, got {text!r}")
        return text, line

    def accept(self, value):
        if self.peek()[1] == value:
            self.take()
            return True
        return False


def _parse_expression(tokens):
    """An expression as a tree of tuples, evaluated later with the gate's parameters."""
    def expression():
        node = term()
        while tokens.peek()[1] in "+-" and tokens.peek()[0] == "op":
            node = (tokens.take()[1], node, term())
        return node

    def term():
        node = power()
        while tokens.peek()[1] in ("*", "/"):
            node = (tokens.take()[1], node, power())
        return node

    def power():
        node = unary()
        if tokens.accept("^"):
            node = ("^", node, power())
        return node

    def unary():
        if tokens.accept("-"):
            return ("neg", unary())
        if tokens.accept("+"):
            return unary()
        return primary()

    def primary():
        kind, text, line = tokens.take()
        if kind == "int":
            return ("num", int(text))
        if kind == "real":
            return ("num", float(text))
        if kind == "id":
            if text == "pi":
                return ("num", math.pi)
            if text in _FUNCTIONS:
                tokens.expect("(")
                inner = expression()
                tokens.expect(")")
                return ("call", text, inner)
            return ("name", text, line)
        if text == "(":
            inner = expression()
            tokens.expect(")")
            return inner
        raise ValueError(f"line {line}: expected a number, a parameter or '(', got {text!r}")

    return expression()


def _evaluate(node, env):
    tag = node[0]
    if tag == "num":
        return node[1]
    if tag == "name":
        if node[1] not in env:
            raise ValueError(f"line {node[2]}: unknown parameter {node[1]!r}")
        return env[node[1]]
    if tag == "neg":
        return -_evaluate(node[1], env)
    if tag == "call":
        return _FUNCTIONS[node[1]](_evaluate(node[2], env))
    a, b = _evaluate(node[1], env), _evaluate(node[2], env)
    if tag == "+":
        return a + b
    if tag == "-":
        return a - b
    if tag == "*":
        return a * b
    if tag == "/":
        return a / b
    return a ** b


def _parameter(node, env, line):
    """The value of a parameter expression; arithmetic that has no real value
    (1/0, ln(-1), (-1)**0.5, an overflow) is an error of the program's line."""
    try:
        value = _evaluate(node, env)
    except ArithmeticError as error:
        raise ValueError(f"line {line}: cannot evaluate a parameter: {error}") from None
    except ValueError as error:
        if str(error).startswith("line "):
            raise
        raise ValueError(f"line {line}: cannot evaluate a parameter: {error}") from None
    if isinstance(value, complex):
        raise ValueError(f"line {line}: a parameter evaluates to the complex number {value!r}")
    return value


class _Reader:
    def __init__(self, text, circuit_class):
        self.tokens = _Tokens(text)
        self.circuit_class = circuit_class
        self.qregs, self.cregs = {}, {}
        self.nqubits = self.ncbits = 0
        self.definitions = {}
        self.opaque = set()
        self.operations = []  # (line, entry)
        self.scratch = None

    # -- declarations --
    def header(self):
        t = self.tokens
        t.expect("OPENQASM", "'OPENQASM 2.0;' at the start")
        kind, version, line = t.take()
        if version not in ("2.0", "2"):
            raise ValueError(f"line {line}: expected version 2.0, got {version!r}")
        t.expect(";")

    def register(self, table, offset):
        name, _ = self.tokens.expect_kind("id", "a register name")
        self.tokens.expect("[")
        size, line = self.tokens.expect_kind("int", "a register size")
        self.tokens.expect("]")
        self.tokens.expect(";")
        if name in self.qregs or name in self.cregs:
            raise ValueError(f"line {line}: register {name!r} declared twice")
        if offset + int(size) > _MAX_BITS:
            raise ValueError(f"line {line}: register {name!r} takes the program beyond {_MAX_BITS} bits of its kind")
        table[name] = (offset, int(size))
        return int(size)

    def identifiers(self, closing):
        names = [self.tokens.expect_kind("id", "a name")[0]]
        while self.tokens.accept(","):
            names.append(self.tokens.expect_kind("id", "a name")[0])
        if closing:
            self.tokens.expect(closing)
        return names

    def gate_signature(self):
        name, line = self.tokens.expect_kind("id", "a gate name")
        params = []
        if self.tokens.accept("("):
            if not self.tokens.accept(")"):
                params = self.identifiers(")")
        qubits = self.identifiers(None)
        return name, params, qubits, line

    def gate_definition(self):
        name, params, qubits, line = self.gate_signature()
        self.tokens.expect("{")
        body = []
        while not self.tokens.accept("}"):
            kind, text, bline = self.tokens.take()
            if kind != "id":
                raise ValueError(f"line {bline}: expected a gate application or '}}', got {text!r}")
            args_params = []
            if self.tokens.accept("("):
                if not self.tokens.accept(")"):
                    args_params.append(_parse_expression(self.tokens))
                    while self.tokens.accept(","):
                        args_params.append(_parse_expression(self.tokens))
                    self.tokens.expect(")")
            args = self.identifiers(";")
            for a in args:
                if a not in qubits:
                    raise ValueError(f"line {bline}: unknown qubit argument {a!r} in gate {name!r}")
            body.append((text, args_params, args, bline))
        self.definitions[name] = (params, qubits, body)

    # -- operations --
    def argument(self, registers, what):
        name, line = self.tokens.expect_kind("id", f"a {what} register")
        if name not in registers:
            raise ValueError(f"line {line}: unknown {what} register {name!r}")
        offset, size = registers[name]
        if self.tokens.accept("["):
            index, iline = self.tokens.expect_kind("int", "an index")
            self.tokens.expect("]")
            if int(index) >= size:
                raise ValueError(f"line {iline}: index {index} out of range for {name}[{size}]")
            return [offset + int(index)]
        return list(range(offset, offset + size))

    def arguments(self, registers, what, closing=";"):
        args = [self.argument(registers, what)]
        while self.tokens.accept(","):
            args.append(self.argument(registers, what))
        self.tokens.expect(closing)
        return args

    @staticmethod
    def broadcast(args, line):
        if any(not a for a in args):
            raise ValueError(f"line {line}: an empty register names no bit to act on")
        sizes = {len(a) for a in args if len(a) > 1}
        if len(sizes) > 1:
            raise ValueError(f"line {line}: registers of different sizes in one statement")
        count = sizes.pop() if sizes else 1
        return [[a[i] if len(a) > 1 else a[0] for a in args] for i in range(count)]

    def apply(self, name, params, qubits, line, depth=0):
        name = _READ_AS.get(name, name)
        if name == "u2":
            name, params = "u", [math.pi / 2, *params]
        elif name == "u0":
            name, params = "id", []
        if name in self.definitions and not self._is_primitive(name):
            self.expand(name, params, qubits, line, depth)
            return
        if not self._is_primitive(name):
            raise ValueError(f"line {line}: unknown gate {name!r}")
        # The circuit model's builder checks the entry; one scratch circuit
        # serves while the register layout stays the same.
        if self.scratch is None or self.scratch.nqubits != self.nqubits:
            self.scratch = self.circuit_class(self.nqubits, self.ncbits)
        try:
            self.scratch.append_gate(name, *params, *qubits)
        except (TypeError, ValueError) as err:
            raise ValueError(f"line {line}: {err}") from None
        self.operations.append((line, self.scratch.gates.pop()))

    @staticmethod
    def _is_primitive(name):
        return any(name in c for c in (one_qubit_gates_available, two_qubit_gates_available,
                                        three_qubit_gates_available, one_qubit_parameter_gates_available,
                                        two_qubit_parameter_gates_available))

    def expand(self, name, params, qubits, line, depth):
        formal_params, formal_qubits, body = self.definitions[name]
        if depth > 100:
            raise ValueError(f"line {line}: gate {name!r} expands too deeply")
        if len(params) != len(formal_params) or len(qubits) != len(formal_qubits):
            raise ValueError(f"line {line}: gate {name!r} takes {len(formal_params)} parameter(s) and "
                             f"{len(formal_qubits)} qubit(s)")
        env = dict(zip(formal_params, params))
        where = dict(zip(formal_qubits, qubits))
        for inner, inner_params, inner_args, _ in body:
            values = [_parameter(p, env, line) for p in inner_params]
            if inner == "barrier":
                self.operations.append((line, ("barrier", tuple(where[a] for a in inner_args))))
            else:
                self.apply(inner, values, [where[a] for a in inner_args], line, depth + 1)

    def statement(self):
        t = self.tokens
        kind, text, line = t.take()
        if kind != "id":
            raise ValueError(f"line {line}: expected a statement, got {text!r}")
        if text == "include":
            name, iline = t.expect_kind("string", "a file name in quotes")
            if name != '"qelib1.inc"':
                raise ValueError(f"line {iline}: only \"qelib1.inc\" can be included, got {name}")
            t.expect(";")
        elif text == "qreg":
            self.nqubits += self.register(self.qregs, self.nqubits)
        elif text == "creg":
            self.ncbits += self.register(self.cregs, self.ncbits)
        elif text == "gate":
            self.gate_definition()
        elif text == "opaque":
            name, _, _, _ = self.gate_signature()
            t.expect(";")
            self.opaque.add(name)
        elif text == "measure":
            qubits = self.argument(self.qregs, "quantum")
            t.expect("->")
            cbits = self.argument(self.cregs, "classical")
            t.expect(";")
            if len(qubits) != len(cbits):
                raise ValueError(f"line {line}: measure needs registers of equal size")
            for q, c in zip(qubits, cbits):
                self.operations.append((line, ("measure", [q], [c])))
        elif text == "reset":
            for (q,) in self.broadcast(self.arguments(self.qregs, "quantum"), line):
                self.operations.append((line, ("reset", q)))
        elif text == "barrier":
            qubits = [q for a in self.arguments(self.qregs, "quantum") for q in a]
            self.operations.append((line, ("barrier", tuple(qubits))))
        elif text == "if":
            raise ValueError(f"line {line}: classically controlled operations are not supported")
        else:
            params = []
            if t.accept("("):
                if not t.accept(")"):
                    params.append(_parameter(_parse_expression(t), {}, line))
                    while t.accept(","):
                        params.append(_parameter(_parse_expression(t), {}, line))
                    t.expect(")")
            args = self.arguments(self.qregs, "quantum")
            for qubits in self.broadcast(args, line):
                if text == "delay" and "delay" in self.opaque:
                    if len(params) != 1:
                        raise ValueError(f"line {line}: delay takes one duration")
                    self.operations.append((line, ("delay", params[0], tuple(qubits))))
                else:
                    self.apply(text, params, qubits, line)

    def read(self):
        self.header()
        while self.tokens.peek()[0] != "end":
            self.statement()
        qc = self.circuit_class(self.nqubits, self.ncbits)
        qc.gates = _join_lines(self.operations)
        return qc


def _join_lines(operations):
    """Join measurements, and delays of one duration, that stand on one line."""
    gates, last_line = [], None
    for line, entry in operations:
        previous = gates[-1] if gates and line == last_line else None
        if previous and entry[0] == previous[0] == "measure" and not set(entry[1]) & set(previous[1]):
            gates[-1] = ("measure", previous[1] + entry[1], previous[2] + entry[2])
        elif (previous and entry[0] == previous[0] == "delay" and entry[1] == previous[1]
              and not set(entry[2]) & set(previous[2])):
            gates[-1] = ("delay", previous[1], previous[2] + entry[2])
        else:
            gates.append(entry)
        last_line = line
    return gates


def loads(text, circuit_class=None):
    """Return the circuit of an OpenQASM 2.0 program."""
    if not isinstance(text, str):
        raise TypeError(f"an OpenQASM program is text, got {type(text).__name__}")
    if circuit_class is None:
        from corvane.circuit.quantumcircuit import QuantumCircuit as circuit_class
    return _Reader(text, circuit_class).read()
