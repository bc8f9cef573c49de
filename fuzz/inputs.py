"""Turns a fuzzer's bytes into the inputs of corvane.circuit: odd values, gate
entries, circuits, graphs and pass subclasses.

Every fuzz target draws from an `atheris.FuzzedDataProvider` over its input
through these helpers, so the targets stay small and agree on what "hostile"
means. Only public names of the package are used.
"""

import importlib
import math

import atheris

# The libFuzzer inside atheris is loaded by atheris.Setup(); the fuzzing build
# of the extension modules registers its coverage counters when a module is
# loaded (through fuzz/coverage_shim.c), which finds libFuzzer only if it is
# there already. Load it first, so that the native code's coverage counts.
importlib.import_module("atheris.core_with_libfuzzer")

import networkx as nx  # noqa: E402

from corvane.circuit.quantumcircuit import QuantumCircuit  # noqa: E402
from corvane.circuit.quantumcircuit_helpers import (  # noqa: E402
    functional_gates_available,
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    three_qubit_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)

CATEGORIES = (
    one_qubit_gates_available,
    two_qubit_gates_available,
    three_qubit_gates_available,
    one_qubit_parameter_gates_available,
    two_qubit_parameter_gates_available,
    functional_gates_available,
)
# Qubit counts per category of CATEGORIES (functional gates: any).
_CATEGORY_QUBITS = (1, 2, 3, 1, 2, 1)

# The exceptions the documentation allows for bad input: the argument errors,
# a missing graph attribute, networkx's own errors, arithmetic on odd numbers,
# running out of memory (a huge count), and nesting too deep to convert.
EXPECTED = (
    TypeError,
    ValueError,
    KeyError,
    IndexError,
    AttributeError,
    OverflowError,
    ZeroDivisionError,
    MemoryError,
    RecursionError,
    nx.NetworkXUnfeasible,
    nx.NetworkXError,
)


# A circuit holds a list entry per qubit, so asking for more qubits than this
# is a matter of size, not a fault: such inputs are left out, as they would
# only exhaust the fuzzer's memory (and that of the test run on the corpus).
# At 2**63 and beyond the conversions refuse the count with OverflowError.
MAX_QUBITS = 1 << 20


def accepted_but_huge(count, limit, refused_from):
    """Whether `count` is above `limit` yet below `refused_from`, where the
    package refuses it: a size it would build, too big to build here."""
    try:
        return limit < int(count) < refused_from
    except Exception:  # not a number (hostile objects raise their own errors)
        return False


def huge_qubit_count(count):
    """Whether `count` (a number of qubits, or the highest qubit of a graph)
    makes a circuit that is accepted but too big to build here."""
    return accepted_but_huge(count, MAX_QUBITS, 2**63)


def node_qubits(g):
    """The qubits the nodes of a graph name, where they are a list or tuple."""
    for _, attrs in g.nodes(data=True):
        qubits = attrs.get("qubits")
        if isinstance(qubits, (list, tuple)):
            yield from qubits


class Boom(Exception):
    """Raised by the hostile objects and overrides below; must pass through unchanged."""


class RaisingHash:
    def __hash__(self):
        raise Boom("hash")


class RaisingEq(int):
    def __eq__(self, other):
        raise Boom("eq")

    __hash__ = int.__hash__


class RaisingIndex:
    def __index__(self):
        raise Boom("index")

    def __float__(self):
        raise Boom("float")


class RaisingIter:
    def __iter__(self):
        yield 0
        raise Boom("iter")


_SPECIAL_FLOATS = (
    0.0,
    -0.0,
    math.nan,
    math.inf,
    -math.inf,
    1e308,
    5e-324,
    2 * math.pi,
    1e-9,
    4 * math.pi,
)
_SPECIAL_INTS = (0, 1, 2, 3, -1, 2**31, 2**63 - 1, 2**63, 2**64, -(2**63), 10**30)
_NAMES = tuple(name for category in CATEGORIES for name in category) + (
    "",
    "nope",
    "a_b",
    "x_",
    "_",
    "Cx",
    "é",
)


def pick(fdp, items):
    """One item of a sequence (FuzzedDataProvider.PickValueInList takes lists only)."""
    return items[fdp.ConsumeIntInRange(0, len(items) - 1)]


def small_int(fdp, limit=8):
    return fdp.ConsumeIntInRange(0, limit)


def number(fdp):
    """A number, often one at the edge of what the code should accept."""
    kind = fdp.ConsumeIntInRange(0, 7)
    if kind == 0:
        return pick(fdp, _SPECIAL_FLOATS)
    if kind == 1:
        return pick(fdp, _SPECIAL_INTS)
    if kind == 2:
        return fdp.ConsumeInt(2)
    if kind == 3:
        return fdp.ConsumeBool()
    if kind == 4:
        return complex(fdp.ConsumeRegularFloat(), fdp.ConsumeRegularFloat())
    return fdp.ConsumeFloatInRange(-7.0, 7.0)


def value(fdp, depth=0):
    """Any Python value: numbers, text, containers (nested), hostile objects."""
    kind = fdp.ConsumeIntInRange(0, 11)
    if kind <= 3:
        return number(fdp)
    if kind == 4:
        return None
    if kind == 5:
        return fdp.ConsumeUnicodeNoSurrogates(fdp.ConsumeIntInRange(0, 4))
    if kind == 6:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 3))
    if kind in (7, 8) and depth < 3:
        items = [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        return items if kind == 7 else tuple(items)
    if kind == 9 and depth < 3:
        return {
            pick(fdp, ["qubits", "params", "cbits", "qubit", "duration", "x"]): value(
                fdp, depth + 1
            )
        }
    return pick(fdp, [RaisingHash, RaisingEq, RaisingIndex, RaisingIter, object])()


def qubit(fdp, nqubits):
    """Mostly a valid qubit index, sometimes an odd one."""
    if fdp.ConsumeProbability() < 0.9:
        return fdp.ConsumeIntInRange(0, max(nqubits - 1, 0))
    return value(fdp)


def gate_name(fdp):
    return pick(fdp, _NAMES)


def gate_entry(fdp, nqubits, depth=0):
    """A gate entry shaped for its name most of the time, broken otherwise."""
    name = gate_name(fdp)
    if fdp.ConsumeProbability() < 0.15:
        return (name, *(value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))))
    if fdp.ConsumeProbability() < 0.03:
        return value(fdp)
    for category, count in zip(CATEGORIES, _CATEGORY_QUBITS):
        if name in category:
            break
    else:
        count = 1
    if name == "if":
        cbits = tuple(small_int(fdp, 3) for _ in range(fdp.ConsumeIntInRange(0, 2)))
        branches = [
            tuple(gate_entry(fdp, nqubits, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 2)))
            if depth < 2
            else ()
            for _ in range(2)
        ]
        return (name, cbits, small_int(fdp, 4), *branches)
    if name in ("measure", "barrier", "delay"):
        qubits = [qubit(fdp, nqubits) for _ in range(fdp.ConsumeIntInRange(0, 3))]
        if name == "measure":
            return (name, qubits, [small_int(fdp, 3) for _ in qubits])
        if name == "barrier":
            return (name, tuple(qubits))
        return (name, number(fdp), tuple(qubits))
    nparams = one_qubit_parameter_gates_available.get(
        name, two_qubit_parameter_gates_available.get(name, 0)
    )
    params = [number(fdp) for _ in range(nparams if isinstance(nparams, int) else 1)]
    return (name, *params, *(qubit(fdp, nqubits) for _ in range(count)))


def circuit_from_entries(fdp, max_gates=24):
    """A circuit whose `gates` list was assigned directly: nothing was checked."""
    nqubits = small_int(fdp, 5)
    qc = QuantumCircuit(nqubits, small_int(fdp, 4))
    qc.gates = [gate_entry(fdp, nqubits) for _ in range(fdp.ConsumeIntInRange(0, max_gates))]
    return qc


def valid_circuit(fdp, max_gates=40, functional=True, conditional=False):
    """A circuit built through the checked builders only, from the gate
    categories' names; with ``conditional``, conditionals too (nested at most twice)."""
    nqubits = fdp.ConsumeIntInRange(1, 5)
    qc = QuantumCircuit(nqubits, nqubits)
    _valid_gates(fdp, qc, fdp.ConsumeIntInRange(0, max_gates), functional, conditional)
    return qc


def _valid_gates(fdp, qc, count, functional, conditional, depth=0):
    nqubits = qc.nqubits
    kinds = ["one", "two", "three", "param1", "param2"] + (
        ["measure", "barrier", "delay", "reset"] if functional else []
    )
    if conditional and depth < 2:
        kinds.append("if")
    for _ in range(count):
        kind = pick(fdp, kinds)
        qs = list(range(nqubits))
        take = lambda k: [qs.pop(fdp.ConsumeIntInRange(0, len(qs) - 1)) for _ in range(k)]  # noqa: E731
        if kind in ("two", "param2") and nqubits < 2 or kind == "three" and nqubits < 3:
            kind = "one"
        if kind == "one":
            qc.append_gate(pick(fdp, list(one_qubit_gates_available)), *take(1))
        elif kind == "two":
            qc.append_gate(pick(fdp, list(two_qubit_gates_available)), *take(2))
        elif kind == "three":
            qc.append_gate(pick(fdp, list(three_qubit_gates_available)), *take(3))
        elif kind in ("param1", "param2"):
            category = (
                one_qubit_parameter_gates_available
                if kind == "param1"
                else two_qubit_parameter_gates_available
            )
            name = pick(fdp, list(category))
            angles = [angle(fdp) for _ in range(category[name])]
            qc.append_gate(name, *angles, *take(1 if kind == "param1" else 2))
        elif kind == "measure":
            q = take(1)
            qc.measure(q, q)
        elif kind == "barrier":
            qc.barrier(take(fdp.ConsumeIntInRange(1, nqubits)))
        elif kind == "delay":
            qc.delay(fdp.ConsumeFloatInRange(0.0, 1e-6), take(fdp.ConsumeIntInRange(1, nqubits)))
        elif kind == "if":
            bits = take(fdp.ConsumeIntInRange(1, min(2, nqubits)))
            with qc.if_test(bits, fdp.ConsumeIntInRange(0, (1 << len(bits)) - 1)) as branch:
                _valid_gates(fdp, qc, fdp.ConsumeIntInRange(0, 3), functional, True, depth + 1)
            if fdp.ConsumeBool():
                with branch.else_():
                    _valid_gates(fdp, qc, fdp.ConsumeIntInRange(0, 3), functional, True, depth + 1)
        else:
            qc.reset(*take(1))


def angle(fdp):
    """A finite angle: often one whose matrix is the identity or that fuses into one."""
    if fdp.ConsumeBool():
        return pick(fdp, [0.0, math.pi, -math.pi, 2 * math.pi, 4 * math.pi, math.pi / 2, 1e-12])
    return fdp.ConsumeFloatInRange(-7.0, 7.0)


_NODE_ATTRIBUTES = ("qubits", "params", "cbits", "duration")


def node_key(fdp, index):
    kind = fdp.ConsumeIntInRange(0, 9)
    if kind <= 6:
        return f"{gate_name(fdp)}_{index}"
    if kind == 7:
        return index
    return value(fdp)


def graph(fdp, max_nodes=12):
    """A directed graph shaped like a gate DAG, with missing and mistyped
    attributes, odd node keys, cycles, self-loops and shared attribute objects."""
    g = nx.DiGraph() if fdp.ConsumeProbability() < 0.95 else nx.MultiDiGraph()
    nqubits = small_int(fdp, 4)
    if fdp.ConsumeProbability() < 0.8:
        g.graph["qubits"] = list(range(nqubits)) if fdp.ConsumeBool() else value(fdp)
    shared = [0]
    nodes = []
    for i in range(fdp.ConsumeIntInRange(0, max_nodes)):
        key = node_key(fdp, i)
        try:
            hash(key)
        except Exception:
            continue
        attrs = {}
        for attribute in _NODE_ATTRIBUTES:
            roll = fdp.ConsumeIntInRange(0, 9)
            if roll <= 5:
                attrs[attribute] = [qubit(fdp, nqubits) for _ in range(fdp.ConsumeIntInRange(0, 3))]
            elif roll == 6:
                attrs[attribute] = shared
            elif roll <= 8:
                attrs[attribute] = value(fdp)
        try:
            g.add_node(key, **attrs)
        except (Boom, ValueError):  # networkx refuses None and meets the raising keys itself
            continue
        nodes.append(key)
    for _ in range(fdp.ConsumeIntInRange(0, 2 * len(nodes))):
        u, v = pick(fdp, nodes), pick(fdp, nodes)
        if u is v and fdp.ConsumeProbability() < 0.8:
            continue
        attrs = (
            {"qubit": [qubit(fdp, nqubits)]}
            if fdp.ConsumeProbability() < 0.8
            else {"qubit": value(fdp)}
        )
        try:
            g.add_edge(u, v, **attrs)
        except Boom:
            continue
    return g


def state(obj):
    """What a call must leave as it was, as text: repr shows nested containers
    item by item and other objects by identity."""
    return repr(obj)


def graph_state(g):
    """Everything a reader must leave as it was in a graph, as text."""
    return repr((type(g), g.graph, list(g.nodes(data=True)), list(g.edges(data=True))))


def trivial_override(base, method):
    """A subclass of a pass overriding `method` with a call of the base's:
    the same behaviour, down the generic path."""

    def override(self, *args):
        return getattr(super(cls, self), method)(*args)

    cls = type("Generic" + base.__name__, (base,), {method: override})
    return cls


def call(fn, *args, **kwargs):
    """Calls `fn`; returns its result, or None when it raised an allowed exception."""
    try:
        return fn(*args, **kwargs)
    except EXPECTED + (Boom,):
        return None


_OWN_MODULES = ("corvane", "inputs", "__main__")


def fuzz_main(test_one_input):
    """Entry point of every target: `python fuzz/<target>.py CORPUS_DIR [libFuzzer flags]`."""
    import gc
    import os
    import shlex
    import sys
    import types

    # Coverage of the package's Python code and the targets' own: networkx
    # and numpy would add thousands of functions to instrument for little
    # guidance. The native code reports its own (tools/fuzz.sh builds it so).
    for obj in gc.get_objects():
        if (
            isinstance(obj, types.FunctionType)
            and (obj.__module__ or "").split(".")[0] in _OWN_MODULES
        ):
            atheris.instrument_func(obj)
    # libFuzzer reruns argv[0] through the shell for -merge and -fork: make
    # it the command that runs this target with this interpreter.
    command = " ".join(shlex.quote(part) for part in (sys.executable, os.path.abspath(sys.argv[0])))
    atheris.Setup([command, *sys.argv[1:]], test_one_input)
    atheris.Fuzz()
