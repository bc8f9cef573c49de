import pickle

from corvane.circuit.optimize import GateCompressor
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.schedule import DynamicalDecoupling


def test_compressor_keeps_settings_counter_and_graph():
    compressor = GateCompressor()
    compressor.run(QuantumCircuit(1, 0).rx(0.1, 0).rx(0.2, 0))
    compressor.compressible_gates = ["x", "rx"]
    copy = pickle.loads(pickle.dumps(compressor))
    assert type(copy) is GateCompressor
    assert copy.compressible_gates == ["x", "rx"] and copy._idx == 1000001
    assert list(copy.dag.nodes(data=True)) == list(compressor.dag.nodes(data=True))
    assert copy.idx == 1000002  # counting goes on where the original stopped


def test_decoupling_keeps_durations_and_counter():
    dd = DynamicalDecoupling(2e-8, 5e-8)
    dd.counter()
    copy = pickle.loads(pickle.dumps(dd))
    assert (copy.t1g, copy.t2g, copy._count) == (2e-8, 5e-8, 86752)
    assert copy.counter() == 86753
