"""Fuzz target: gate lists into `qc2dag`, `GateCompressor().run`,
`DynamicalDecoupling(...).run` (every option) and `to_qasm`.

The first byte picks the mode. Unchecked gate lists (broken entries, odd
names, non-int qubits, NaN/inf/huge parameters, nested sequences) may raise
only the documented exception types, and must leave the circuit as it was.
Circuits built through the checked builders (conditionals among them) must
convert and pass without an exception, and each native pass must give the result of its generic path (a
subclass with a trivial override).

Failure: a crash or sanitizer report, an undocumented exception, a changed
input, or a native result that differs from the generic one.
"""

import math

import atheris
import inputs

from corvane.circuit.dag import qc2dag
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.schedule import DynamicalDecoupling

GenericCompressor = inputs.trivial_override(GateCompressor, "has_adjacent_gates")
GenericDecoupling = inputs.trivial_override(DynamicalDecoupling, "counter")


def decoupling_options(fdp):
    return dict(
        sequence=inputs.pick(fdp, ["XY4", "CPMG"]),
        align_right=fdp.ConsumeBool(),
        insert_before_barrier=fdp.ConsumeBool(),
    )


def durations(fdp):
    if fdp.ConsumeProbability() < 0.8:
        return inputs.pick(fdp, [1e-8, 2e-8, 3e-8]), inputs.pick(fdp, [5e-8, 1e-7, 2.5e-8])
    return inputs.number(fdp), inputs.number(fdp)


def unchecked(fdp):
    qc = inputs.circuit_from_entries(fdp)
    before = inputs.state(qc.gates)
    inputs.call(qc2dag, qc, fdp.ConsumeBool())
    inputs.call(GateCompressor().run, qc)
    options = decoupling_options(fdp) if fdp.ConsumeBool() else {"sequence": inputs.value(fdp)}
    inputs.call(DynamicalDecoupling(*durations(fdp)).run, qc, **options)
    inputs.call(qc.to_qasm)
    if inputs.state(qc.gates) != before:
        raise AssertionError(f"a call changed the gate list: {before} -> {qc.gates!r}")


def same_result(native, generic):
    if native.gates != generic.gates or (native.nqubits, native.ncbits) != (
        generic.nqubits,
        generic.ncbits,
    ):
        raise AssertionError(f"native and generic results differ:\n{native.gates}\n{generic.gates}")


def checked(fdp):
    qc = inputs.valid_circuit(fdp, conditional=True)
    before = inputs.state(qc.gates)
    qc2dag(qc, fdp.ConsumeBool())
    same_result(GateCompressor().run(qc), GenericCompressor().run(qc))
    t1g, t2g = inputs.pick(fdp, [1e-8, 2e-8]), inputs.pick(fdp, [5e-8, 1e-7])
    options = decoupling_options(fdp)
    same_result(
        DynamicalDecoupling(t1g, t2g).run(qc, **options),
        GenericDecoupling(t1g, t2g).run(qc, **options),
    )
    if any(entry[0] == "if" for entry in qc.gates):
        inputs.call(qc.to_qasm)  # OpenQASM 2 may refuse a condition on single bits
    elif all(math.isfinite(p) for entry in qc.gates for p in entry[1:] if isinstance(p, float)):
        qc.to_qasm()
    if inputs.state(qc.gates) != before:
        raise AssertionError(f"a pass changed its input: {before} -> {qc.gates!r}")


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    (checked if fdp.ConsumeBool() else unchecked)(fdp)


if __name__ == "__main__":
    inputs.fuzz_main(test_one_input)
