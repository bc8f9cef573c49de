"""Fuzz target: edits of the gate categories and of `compressible_gates`, and
pass subclasses whose overrides return odd objects or raise at the n-th call.

Category edits (adding, moving or deleting names) are undone after each
input. With edits only, the native run must give the outcome of the generic
path (a subclass with a trivial override): the same gates, or the same
exception type. With a hostile override, any documented exception or the
override's own may come out, and afterwards the pass object must still work:
a run without the override gives what a fresh object gives.

Failure: a crash or sanitizer report, an undocumented exception, a changed
input, a native outcome differing from the generic one, or a pass object left
unusable.
"""

import atheris
import inputs

from corvane.circuit.optimize import GateCompressor
from corvane.circuit.schedule import DynamicalDecoupling

_COMPRESSOR_METHODS = (
    "remove_identity_gates",
    "is_adjacent_gates",
    "has_adjacent_gates",
    "compress_adjacent_single_qubit_gates",
    "compress_adjacent_single_parameter_qubit_gates",
    "compress_adjacent_two_qubit_gates",
    "compress_adjacent_two_qubit_parameter_gates",
    "compress_adjacent_three_qubit_gates",
    "run_compress_once",
)
_DECOUPLING_METHODS = ("counter", "_get_max_idle_time", "_update_idle_time")


def edit_categories(fdp):
    """Applies random edits to the shared category dicts; returns how to undo them."""
    saved = [dict(category) for category in inputs.CATEGORIES]
    for _ in range(fdp.ConsumeIntInRange(0, 3)):
        category = inputs.pick(fdp, inputs.CATEGORIES)
        name = inputs.gate_name(fdp)
        if fdp.ConsumeBool():
            category[name] = inputs.pick(fdp, [0, 1, 2, 3, None, "1"])
        else:
            category.pop(name, None)

    def undo():
        for category, old in zip(inputs.CATEGORIES, saved):
            category.clear()
            category.update(old)

    return undo


def edit_compressible(fdp, compressor):
    for _ in range(fdp.ConsumeIntInRange(0, 2)):
        roll = fdp.ConsumeIntInRange(0, 3)
        if roll < 2 and not isinstance(compressor.compressible_gates, list):
            continue  # replaced by a non-list below: nothing to edit in place
        if roll == 0 and compressor.compressible_gates:
            compressor.compressible_gates.pop(
                fdp.ConsumeIntInRange(0, len(compressor.compressible_gates) - 1)
            )
        elif roll == 1:
            compressor.compressible_gates.append(inputs.gate_name(fdp))
        elif roll == 2:
            compressor.compressible_gates = inputs.pick(fdp, [[], ("h", "x"), {"x": 1}, "hx", None])


def outcome(fn, *args, **kwargs):
    try:
        qc = fn(*args, **kwargs)
    except inputs.EXPECTED + (inputs.Boom,) as error:
        return type(error).__name__
    return qc.gates, qc.nqubits, qc.ncbits


def hostile_override(base, method, fail_at, odd):
    calls = [0]

    def override(self, *args):
        calls[0] += 1
        if calls[0] == fail_at:
            if odd is inputs.Boom:
                raise inputs.Boom(method)
            return odd
        return getattr(super(cls, self), method)(*args)

    cls = type("Hostile" + base.__name__, (base,), {method: override})
    cls.disarm = staticmethod(
        lambda: calls.__setitem__(0, fail_at)
    )  # later calls reach the base method
    return cls


def odd_object(fdp):
    # No large number: an idle time of a second is legal and fills the window
    # with tens of millions of pulses, correctly but for minutes.
    return inputs.pick(
        fdp,
        [inputs.Boom, None, 0, 1e-7, -1.0, "x", (), [], ([], [], []), ([1], 2, 3), {}, object()],
    )


def make(base):
    return base() if issubclass(base, GateCompressor) else base(2e-8, 5e-8)


def run(p, qc, options):
    return p.run(qc, **options) if isinstance(p, DynamicalDecoupling) else p.run(qc)


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    qc = (
        inputs.valid_circuit(fdp, max_gates=24)
        if fdp.ConsumeProbability() < 0.8
        else inputs.circuit_from_entries(fdp)
    )
    before = inputs.state(qc.gates)
    base = inputs.pick(fdp, [GateCompressor, DynamicalDecoupling])
    methods = _COMPRESSOR_METHODS if base is GateCompressor else _DECOUPLING_METHODS
    method = inputs.pick(fdp, methods)
    options = dict(
        sequence=inputs.pick(fdp, ["XY4", "CPMG"]),
        align_right=fdp.ConsumeBool(),
        insert_before_barrier=fdp.ConsumeBool(),
    )
    undo = edit_categories(fdp)
    try:
        if fdp.ConsumeBool():
            native, generic = make(base), make(inputs.trivial_override(base, method))
            if base is GateCompressor:
                edit_compressible(fdp, native)
                generic.compressible_gates = native.compressible_gates
            a, b = outcome(run, native, qc, options), outcome(run, generic, qc, options)
            if a != b:
                raise AssertionError(
                    f"native and generic outcomes differ for {qc.gates!r}:\n{a}\n{b}"
                )
        else:
            p = make(hostile_override(base, method, fdp.ConsumeIntInRange(1, 6), odd_object(fdp)))
            inputs.call(run, p, qc, options)
            p.disarm()
            again, fresh = outcome(run, p, qc, options), outcome(run, make(base), qc, options)
            if again != fresh:
                raise AssertionError(
                    f"a pass object that met a hostile {method} is left changed:\n{again}\n{fresh}"
                )
    finally:
        undo()
    if inputs.state(qc.gates) != before:
        raise AssertionError(f"a pass changed its input: {before} -> {qc.gates!r}")


if __name__ == "__main__":
    inputs.fuzz_main(test_one_input)
