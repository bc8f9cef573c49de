"""corvane.circuit: the transpiler layer of the corvane quantum-circuit toolkit.

Modules: ``matrix`` (gate matrices), ``dag`` (circuit <-> gate DAG), ``stratum``
(the pass base class), ``optimize`` (gate compression), ``schedule`` (dynamical
decoupling), ``equivalence`` (circuit unitaries and states), ``interop`` (Qiskit
interchange); the circuit model lives in ``quantumcircuit``.

The names below can be imported from the package itself; each loads its module
on first use, so ``import corvane.circuit`` stays quick and pulls in neither
networkx nor matplotlib.
"""

import importlib
from typing import TYPE_CHECKING

__version__ = "0.1.0"

# name -> the module that defines it
_EXPORTS = {
    "QuantumCircuit": "corvane.circuit.quantumcircuit",
    "GateCompressor": "corvane.circuit.optimize",
    "DynamicalDecoupling": "corvane.circuit.schedule",
    "qc2dag": "corvane.circuit.dag",
    "dag2qc": "corvane.circuit.dag",
    "unitary": "corvane.circuit.equivalence",
    "statevector": "corvane.circuit.equivalence",
    "equivalent": "corvane.circuit.equivalence",
}

__all__ = [
    "QuantumCircuit",
    "GateCompressor",
    "DynamicalDecoupling",
    "qc2dag",
    "dag2qc",
    "unitary",
    "statevector",
    "equivalent",
]

if TYPE_CHECKING:
    from corvane.circuit.dag import dag2qc, qc2dag
    from corvane.circuit.equivalence import equivalent, statevector, unitary
    from corvane.circuit.optimize import GateCompressor
    from corvane.circuit.quantumcircuit import QuantumCircuit
    from corvane.circuit.schedule import DynamicalDecoupling


def __getattr__(name):
    module = _EXPORTS.get(name)
    if module is None:
        raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
    value = getattr(importlib.import_module(module), name)
    globals()[name] = value  # later lookups skip this function
    return value


def __dir__():
    return sorted(set(globals()) | set(_EXPORTS))
