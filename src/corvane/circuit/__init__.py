"""corvane.circuit: the transpiler layer of the corvane quantum-circuit toolkit.

Modules: ``matrix`` (gate matrices), ``dag`` (circuit <-> gate DAG), ``stratum``
(the pass base class), ``optimize`` (gate compression), ``schedule`` (dynamical
decoupling); the circuit model lives in ``quantumcircuit``.
"""

__version__ = "0.1.0"
