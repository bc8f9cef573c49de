"""The circuit model: a list of gate entries on numbered qubits and classical bits.

Gate entries are tuples whose first item is the gate name:

=========================  =====================================
one-qubit gate             ``(name, q)``
two-qubit gate             ``(name, q0, q1)``
three-qubit gate           ``(name, q0, q1, q2)``
one-qubit parameter gate   ``(name, p..., q)``
two-qubit parameter gate   ``(name, p..., q0, q1)``
measure                    ``("measure", [qubits], [cbits])``
barrier                    ``("barrier", (qubits...))``
delay                      ``("delay", duration, (qubits...))``
reset                      ``("reset", q)``
conditional                ``("if", cbits, value, body, orelse)``
=========================  =====================================

A conditional runs the entries of ``body`` when the classical bits ``cbits``
(a tuple, least significant first) read as the integer ``value``, and those of
``orelse`` (``()`` for none) otherwise; both are tuples of entries, nested
conditionals included. Build one with ``QuantumCircuit.if_test``.

Every builder method checks its arguments before it appends anything, so a
rejected call leaves the circuit as it was.
"""

import contextlib
import copy
import copyreg
import math
import operator
from numbers import Real

from corvane.circuit._packing import pack_gates, unpack_gates
from corvane.circuit.quantumcircuit_helpers import (
    ENTRY_SHAPES,
    functional_gates_available,
    one_qubit_gates_available,
    one_qubit_parameter_gates_available,
    three_qubit_gates_available,
    two_qubit_gates_available,
    two_qubit_parameter_gates_available,
)

__all__ = [
    "QuantumCircuit",
    "one_qubit_gates_available",
    "two_qubit_gates_available",
    "three_qubit_gates_available",
    "one_qubit_parameter_gates_available",
    "two_qubit_parameter_gates_available",
    "functional_gates_available",
]


# The layout of a pickled circuit that __reduce__ writes. _from_pickle reads
# every layout ever written, so a pickle keeps loading in later versions.
PICKLE_FORMAT = 1


def _from_pickle(layout, cls, state):
    """The circuit a pickle made by ``QuantumCircuit.__reduce__`` holds."""
    if layout != 1:
        raise ValueError(
            f"this circuit was pickled in layout {layout}, by a newer version of corvane.circuit"
        )
    qc = cls.__new__(cls)
    qc.__dict__.update(state, gates=unpack_gates(state["gates"]))
    return qc


def _own_state_methods(cls):
    """Whether ``cls`` defines how its instances are pickled, beyond the attributes."""
    default_getstate = getattr(object, "__getstate__", None)  # Python 3.11+
    return getattr(cls, "__getstate__", default_getstate) is not default_getstate or hasattr(
        cls, "__setstate__"
    )


def _state(qc):
    """The state pickling saves: ``__getstate__()`` where defined, else the attributes."""
    return qc.__getstate__() if _own_state_methods(type(qc)) else qc.__dict__


def _count(value, what):
    try:
        count = operator.index(value)
    except TypeError:
        raise TypeError(f"{what} must be an integer, got {type(value).__name__}") from None
    if count < 0:
        raise ValueError(f"{what} must be non-negative, got {count}")
    return count


def _real(value, what):
    """``value`` as given, when it is a real number a float holds finitely: no program
    or schedule holds nan, an infinity or a number beyond the floats (10**400)."""
    if isinstance(value, bool) or not isinstance(value, Real):
        raise TypeError(f"{what} must be a real number, got {type(value).__name__}")
    try:
        finite = math.isfinite(value)
    except OverflowError:  # an int or fraction beyond the largest float
        raise ValueError(
            f"{what} must be a finite number, got one too large for a float "
            f"({type(value).__name__})"
        ) from None
    if not finite:
        raise ValueError(f"{what} must be a finite number, got {value!r}")
    return value


class QuantumCircuit:
    """A quantum circuit of ``nqubits`` qubits and ``ncbits`` classical bits.

    Attributes:
        nqubits (int): number of qubits.
        ncbits (int): number of classical bits.
        qubits (list): the circuit's qubit indices, ``list(range(nqubits))`` by default.
        gates (list): the gate entries, in program order.
    """

    def __init__(self, nqubits, ncbits=0):
        self.nqubits = _count(nqubits, "nqubits")
        self.ncbits = _count(ncbits, "ncbits")
        self.qubits = list(range(self.nqubits))
        self.gates = []

    def deepcopy(self):
        """Return an independent copy: its gates can change without touching this circuit."""
        return copy.deepcopy(self)

    # ---- pickling --------------------------------------------------------------

    def __reduce__(self):
        # A gate list of plain entries travels as compact bytes (see _packing):
        # pickling it entry by entry costs more than the passes do on it.
        # Anything else, and a subclass with its own __getstate__ or
        # __setstate__, pickles as the instance's state, as before.
        packed = None if _own_state_methods(type(self)) else pack_gates(vars(self).get("gates"))
        if packed is None:
            return copyreg.__newobj__, (type(self),), _state(self)
        state = dict(self.__dict__, gates=packed)
        return _from_pickle, (PICKLE_FORMAT, type(self), state)

    def __deepcopy__(self, memo):
        # What copy.deepcopy did before __reduce__ packed the gates: a deep
        # copy of the state, so objects shared in it stay shared in the copy.
        cls = type(self)
        new = cls.__new__(cls)
        memo[id(self)] = new
        state = copy.deepcopy(_state(self), memo)
        if hasattr(new, "__setstate__"):
            new.__setstate__(state)
        else:
            new.__dict__.update(state)
        return new

    # ---- argument checks -------------------------------------------------------

    def _qubit(self, q):
        try:
            index = operator.index(q)
        except TypeError:
            raise TypeError(f"qubit index must be an integer, got {type(q).__name__}") from None
        if isinstance(q, bool) or not 0 <= index < self.nqubits:
            raise ValueError(f"qubit index {q!r} out of range for {self.nqubits} qubits")
        return index

    def _cbit(self, c):
        try:
            index = operator.index(c)
        except TypeError:
            raise TypeError(
                f"classical bit index must be an integer, got {type(c).__name__}"
            ) from None
        if isinstance(c, bool) or not 0 <= index < self.ncbits:
            raise ValueError(f"classical bit index {c!r} out of range for {self.ncbits} bits")
        return index

    def _distinct_qubits(self, qubits):
        checked = [self._qubit(q) for q in qubits]
        if len(set(checked)) != len(checked):
            raise ValueError(f"a gate cannot act twice on one qubit: {tuple(checked)}")
        return checked

    def _qubit_list(self, qubits):
        if isinstance(qubits, (list, tuple, range)):
            return self._distinct_qubits(qubits)
        return [self._qubit(qubits)]

    def _operation_qubits(self, qubits, operation):
        """The qubits given to a measure, barrier or delay: at least one, as the writers need."""
        checked = self._qubit_list(qubits)
        if not checked:
            raise ValueError(f"{operation} needs at least one qubit, got qubits={qubits!r}")
        return checked

    # ---- generic builders ------------------------------------------------------

    def append_gate(self, name, *args):
        """Append the gate ``name`` with its parameters and qubits, as in its gate entry."""
        if name in one_qubit_gates_available:
            (q,) = self._expect(name, args, 1)
            entry = (name, *self._distinct_qubits([q]))
        elif name in two_qubit_gates_available:
            entry = (name, *self._distinct_qubits(self._expect(name, args, 2)))
        elif name in three_qubit_gates_available:
            entry = (name, *self._distinct_qubits(self._expect(name, args, 3)))
        elif name in one_qubit_parameter_gates_available:
            entry = self._parameter_entry(name, args, 1, one_qubit_parameter_gates_available[name])
        elif name in two_qubit_parameter_gates_available:
            entry = self._parameter_entry(name, args, 2, two_qubit_parameter_gates_available[name])
        else:
            raise ValueError(f"unknown gate {name!r}")
        self.gates.append(entry)
        return self

    @staticmethod
    def _expect(name, args, count):
        if len(args) != count:
            raise TypeError(f"{name} takes {count} qubit argument(s), got {len(args)}")
        return args

    def _parameter_entry(self, name, args, nqubits, nparams):
        if not isinstance(nparams, int) or isinstance(nparams, bool):
            nparams = len(args) - nqubits
        if len(args) != nparams + nqubits:
            raise TypeError(
                f"{name} takes {nparams} parameter(s) and {nqubits} qubit(s), got {len(args)} arguments"
            )
        params = tuple(_real(p, f"{name} parameter") for p in args[:nparams])
        return (name, *params, *self._distinct_qubits(args[nparams:]))

    # ---- functional operations -------------------------------------------------

    def measure(self, qubits, cbits):
        """Measure ``qubits`` into ``cbits`` (an index or a non-empty list of indices each)."""
        qubit_list = self._operation_qubits(qubits, "measure")
        cbit_list = [
            self._cbit(c) for c in (cbits if isinstance(cbits, (list, tuple, range)) else [cbits])
        ]
        if len(qubit_list) != len(cbit_list):
            raise ValueError(
                f"measure needs one classical bit per qubit, got {len(qubit_list)} and {len(cbit_list)}"
            )
        self.gates.append(("measure", qubit_list, cbit_list))
        return self

    def barrier(self, qubits=None):
        """Place a barrier on ``qubits`` (all qubits when omitted; nothing in a circuit
        without qubits)."""
        qubit_list = (
            list(range(self.nqubits))
            if qubits is None
            else self._operation_qubits(qubits, "barrier")
        )
        if qubit_list:
            self.gates.append(("barrier", tuple(qubit_list)))
        return self

    def delay(self, duration, qubits=None):
        """Let ``qubits`` (all qubits when omitted; nothing in a circuit without qubits)
        wait for ``duration`` seconds."""
        duration = _real(duration, "delay duration")
        if not duration >= 0:
            raise ValueError(
                f"delay duration must be a finite non-negative number, got {duration!r}"
            )
        qubit_list = (
            list(range(self.nqubits)) if qubits is None else self._operation_qubits(qubits, "delay")
        )
        if qubit_list:
            self.gates.append(("delay", duration, tuple(qubit_list)))
        return self

    def reset(self, q):
        """Reset qubit ``q`` to state 0."""
        self.gates.append(("reset", self._qubit(q)))
        return self

    # ---- classical control -----------------------------------------------------

    def if_test(self, cbits, value):
        """Build a conditional: the builders called inside the block make its body.

        The body runs when the classical bits ``cbits`` (least significant
        first) read as ``value``. The conditional is appended when the block
        ends; a block that raises appends nothing. Inside the block
        ``gates`` holds the body being built. ``branch.else_()`` opens the
        else branch of the conditional just built::

            with qc.if_test((0,), 1) as branch:
                qc.x(1)
            with branch.else_():
                qc.z(1)

        Args:
            cbits (int | list[int] | tuple[int, ...]): The classical bits the
                condition reads, distinct.
            value (int): The value they must hold, 0 <= value < 2**len(cbits).

        Returns:
            IfBranch: The context manager of the body.

        Raises:
            TypeError, ValueError: For bits out of range or repeated, no bits,
                or a value the bits cannot hold.
        """
        bits = cbits if isinstance(cbits, (list, tuple, range)) else [cbits]
        checked = tuple(self._cbit(c) for c in bits)
        if not checked:
            raise ValueError("a condition reads at least one classical bit")
        if len(set(checked)) != len(checked):
            raise ValueError(f"a condition cannot read one classical bit twice: {checked}")
        if isinstance(value, bool):
            value = int(value)
        try:
            value = operator.index(value)
        except TypeError:
            raise TypeError(
                f"condition value must be an integer, got {type(value).__name__}"
            ) from None
        if not 0 <= value < 1 << len(checked):
            raise ValueError(
                f"condition value {value} does not fit in {len(checked)} classical bit(s)"
            )
        return IfBranch(self, checked, value)

    @contextlib.contextmanager
    def _collecting(self):
        """Point ``gates`` at a new list for the block; yield that list."""
        outer = self.gates
        self.gates = inner = []
        try:
            yield inner
        finally:
            self.gates = outer

    # ---- conveniences ----------------------------------------------------------

    def __repr__(self):
        return (
            f"QuantumCircuit(nqubits={self.nqubits}, ncbits={self.ncbits}, gates={len(self.gates)})"
        )

    def __len__(self):
        return len(self.gates)

    def __eq__(self, other):
        if not isinstance(other, QuantumCircuit):
            return NotImplemented
        return (self.nqubits, self.ncbits, list(self.qubits), list(self.gates)) == (
            other.nqubits,
            other.ncbits,
            list(other.qubits),
            list(other.gates),
        )

    __hash__ = None  # type: ignore[assignment]  # circuits are mutable

    def count_ops(self):
        """Return a dict of gate name to count, most frequent first (ties in order of first use).

        A conditional counts once as "if"; the entries of its branches are not counted.
        """
        counts = {}
        for entry in self.gates:
            counts[entry[0]] = counts.get(entry[0], 0) + 1
        return dict(sorted(counts.items(), key=lambda item: -item[1]))

    def depth(self):
        """Return the number of layers of operations, barriers excluded.

        Each operation starts one layer after the latest operation on any of its
        qubits; a barrier aligns its qubits without adding a layer. A
        conditional is one operation on every qubit its branches touch and
        every classical bit it reads or its measurements write, so it comes
        after the measurements it reads.
        """
        level = {}
        depth = 0
        for entry in self.gates:
            qubits = layering_wires(entry)
            start = max((level.get(q, 0) for q in qubits), default=0)
            end = start if entry[0] == "barrier" else start + 1
            for q in qubits:
                level[q] = end
            depth = max(depth, end)
        return depth

    # ---- copies, inverse, composition, drawing ---------------------------------

    def copy(self):
        """Return a copy with its own ``gates`` and ``qubits`` lists.

        Editing the copy's gate list leaves this circuit as it was; the gate
        entries themselves are shared, as they are tuples.
        """
        cls = type(self)
        new = cls.__new__(cls)
        new.__dict__.update(self.__dict__)
        new.gates = list(self.gates)
        new.qubits = list(self.qubits)
        return new

    def __copy__(self):
        return self.copy()

    def inverse(self):
        """Return the inverse circuit: the inverse of every gate, last gate first.

        Barriers and delays stay as they are; iswap becomes z, iswap, z on the
        same qubits, every other gate of the set one gate.

        Raises:
            ValueError: If the circuit holds a measure or a reset, or a gate
                whose inverse is not known.
        """
        from corvane.circuit.entry_transforms import inverse_entries

        new = self.copy()
        new.gates = inverse_entries(self.gates)
        return new

    def compose(self, other, qubits=None):
        """Return a new circuit: this one followed by ``other``.

        Args:
            other (QuantumCircuit): The circuit to append; its classical bit c
                is this circuit's classical bit c.
            qubits (list[int] | None): The qubits of this circuit that
                ``other``'s qubits 0, 1, ... act on; by default the first
                ``other.nqubits`` qubits.

        Raises:
            TypeError: If ``other`` is not a QuantumCircuit.
            ValueError: If ``other`` has more qubits or classical bits than this
                circuit, or ``qubits`` has the wrong length, repeats a qubit or
                names one out of range.
        """
        from corvane.circuit.entry_transforms import remap_entry

        if not isinstance(other, QuantumCircuit):
            raise TypeError(f"compose() takes a QuantumCircuit, got {type(other).__name__}")
        if qubits is None:
            if other.nqubits > self.nqubits:
                raise ValueError(
                    f"cannot compose a {other.nqubits}-qubit circuit onto {self.nqubits} qubits"
                )
            qubit_map = list(range(other.nqubits))
        else:
            qubit_map = self._distinct_qubits(qubits)
            if len(qubit_map) != other.nqubits:
                raise ValueError(
                    f"compose() needs one qubit for each of the {other.nqubits} qubits of the "
                    f"other circuit, got {len(qubit_map)}"
                )
        if other.ncbits > self.ncbits:
            raise ValueError(
                f"cannot compose a circuit of {other.ncbits} classical bits onto {self.ncbits}"
            )
        new = self.copy()
        cbit_map = range(other.ncbits)
        new.gates.extend(remap_entry(entry, qubit_map, cbit_map) for entry in other.gates)
        return new

    def draw(self, output="text", fold=None):
        """Draw the circuit.

        Args:
            output (str): "text" for a text diagram, "mpl" for a matplotlib
                figure (matplotlib is imported only then).
            fold (int | None): For text, the width in characters to wrap the
                diagram at; None uses the terminal's width, 0 never wraps.

        Returns:
            TextDiagram | matplotlib.figure.Figure: The text diagram (a str
            that shows itself unquoted at the prompt), or the figure.
        """
        if output == "text":
            from corvane.circuit.drawing.text import draw_text

            return draw_text(self, fold=fold)
        if output == "mpl":
            from corvane.circuit.drawing.mpl import draw_mpl

            return draw_mpl(self)
        raise ValueError(f"output must be 'text' or 'mpl', got {output!r}")

    def __str__(self):
        return str(self.draw())

    # ---- OpenQASM 2.0 ----------------------------------------------------------

    @classmethod
    def from_qasm(cls, text, dt=None, *, max_qubits=None, max_gates=None):
        """Build a circuit from an OpenQASM 2 or 3 program, the dialect told by its version
        line; ``dt`` is the length in seconds of OpenQASM 3's unit ``dt``; ``max_qubits`` and
        ``max_gates`` raise the reader's ceilings (see ``corvane.circuit.qasm``)."""
        from corvane.circuit.qasm import loads

        return loads(text, cls, dt=dt, max_qubits=max_qubits, max_gates=max_gates)

    def to_qasm(self, version=2):
        """Write the circuit as an OpenQASM 2.0 or 3 program (see ``corvane.circuit.qasm``)."""
        from corvane.circuit.qasm import dumps

        return dumps(self, version=version)


class IfBranch:
    """The body of a conditional being built by ``QuantumCircuit.if_test``."""

    def __init__(self, circuit, cbits, value):
        self._circuit = circuit
        self._cbits = cbits
        self._value = value
        self._entry = None  # the conditional, once appended
        self._body = None

    def __enter__(self):
        if self._body is not None:
            raise RuntimeError("an if_test block can be entered only once")
        self._body = self._circuit._collecting()
        self._body.__enter__()
        return self

    def __exit__(self, exc_type, exc, tb):
        gates = self._circuit.gates
        self._body.__exit__(exc_type, exc, tb)
        if exc_type is None:
            self._entry = ("if", self._cbits, self._value, tuple(gates), ())
            self._circuit.gates.append(self._entry)
        return False

    @contextlib.contextmanager
    def else_(self):
        """Build the else branch of the conditional just appended.

        Raises:
            RuntimeError: If the conditional was not appended, has an else
                branch already, or is no longer the circuit's last entry.
        """
        gates = self._circuit.gates
        if self._entry is None or self._entry[4] or not gates or gates[-1] is not self._entry:
            raise RuntimeError(
                "else_() must follow its if_test block directly, once, "
                "before anything else is appended"
            )
        with self._circuit._collecting() as orelse:
            yield self
        self._entry = (*self._entry[:4], tuple(orelse))
        gates[-1] = self._entry


def classical_bits(entry):
    """The classical bits a measure writes, or a conditional reads or writes
    (its conditions' bits, then its measurements'), in order of first mention."""
    if entry[0] == "measure":
        return list(entry[2])
    seen = dict.fromkeys(entry[1])
    for branch in entry[3:5]:
        for inner in branch:
            if inner[0] in ("if", "measure"):
                seen.update(dict.fromkeys(classical_bits(inner)))
    return list(seen)


def conditional_qubits(entry):
    """The qubits the branches of a conditional act on, in order of first mention."""
    seen = {}
    for branch in entry[3:5]:
        for inner in branch:
            seen.update(dict.fromkeys(operation_qubits(inner)))
    return list(seen)


def operation_qubits(entry):
    """The qubits of a gate entry, in the order the entry names them."""
    if entry[0] == "if":
        return conditional_qubits(entry)
    shape = entry_shape(entry[0])
    if shape is not None and shape.qubits_item is not None:
        return list(entry[shape.qubits_item])
    if shape is not None and shape.parameters:
        return list(entry[-shape.trailing_qubits :])
    return list(entry[1:])


def layering_wires(entry):
    """What an operation occupies when operations are laid out in layers or in time:
    its qubits, and for a measurement or a conditional also its classical bits (as
    ``("cbit", c)``), so a conditional comes after the measurements it reads."""
    wires = operation_qubits(entry)
    if entry[0] in ("if", "measure"):
        wires += [("cbit", c) for c in classical_bits(entry)]
    return wires


def entry_shape(name):
    """The ``ENTRY_SHAPES`` row of gate ``name`` when its entries hold
    parameters or items at fixed places; None when every item after the name
    is a qubit."""
    if name in one_qubit_parameter_gates_available:
        return ENTRY_SHAPES["one_qubit_parameter_gates_available"]
    if name in two_qubit_parameter_gates_available:
        return ENTRY_SHAPES["two_qubit_parameter_gates_available"]
    if name in ("measure", "barrier", "delay"):
        return ENTRY_SHAPES[name]
    return None


def _gate_builder(name, nparams, nqubits):
    parameter_names = {0: (), 1: ("theta",), 2: ("theta", "phi"), 3: ("theta", "phi", "lamda")}
    args = list(parameter_names.get(nparams, ()))
    args += ["q"] if nqubits == 1 else [f"q{i}" for i in range(nqubits)]

    def builder(self, *values):
        return self.append_gate(name, *values)

    builder.__name__ = builder.__qualname__ = name
    builder.__doc__ = f"Append a {name} gate: ``{name}({', '.join(args)})``."
    return builder


for _category, _nqubits in (
    (one_qubit_gates_available, 1),
    (two_qubit_gates_available, 2),
    (three_qubit_gates_available, 3),
    (one_qubit_parameter_gates_available, 1),
    (two_qubit_parameter_gates_available, 2),
):
    for _name, _nparams in _category.items():
        setattr(QuantumCircuit, _name, _gate_builder(_name, _nparams, _nqubits))
del _category, _nqubits, _name, _nparams
