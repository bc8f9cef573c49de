import pickle

import pytest

from corvane.circuit import stratum
from corvane.circuit.stratum import TranspilerPass


class Echo(TranspilerPass):
    def run(self, qc):
        return super().run(qc)


def test_base_is_abstract():
    import abc

    assert type(TranspilerPass) is abc.ABCMeta
    assert TranspilerPass.__abstractmethods__ == frozenset({"run"})
    with pytest.raises(TypeError):
        TranspilerPass()

    class OnlyInit(TranspilerPass):
        def __init__(self):
            super().__init__()

    with pytest.raises(TypeError):
        OnlyInit()


def test_super_run_returns_none():
    assert Echo().run(object()) is None
    assert Echo().run(qc=1) is None


def test_texts_and_annotations():
    assert stratum.__doc__.startswith(
        "This module contains the TranspilerPass class, an abstract base class"
    )
    assert TranspilerPass.__doc__ == (
        "Abstract base class for defining transpiler passes that transform or optimize quantum circuits."
    )
    run = TranspilerPass.run
    assert run.__doc__.startswith("Execute the transpiler pass on a quantum circuit.")
    assert "The quantum circuit to be processed by this transpiler pass." in run.__doc__
    assert run.__annotations__ == {"qc": "QuantumCircuit"}
    assert (run.__name__, run.__qualname__, run.__module__) == (
        "run",
        "TranspilerPass.run",
        "corvane.circuit.stratum",
    )
    assert run.__isabstractmethod__ is True


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda p: TranspilerPass.run(p),
            r"^run\(\) takes exactly 2 positional arguments \(1 given\)$",
        ),
        (
            lambda p: TranspilerPass.run(p, 1, 2),
            r"^run\(\) takes exactly 2 positional arguments \(3 given\)$",
        ),
        (
            lambda p: TranspilerPass.run(p, 1, qc=2),
            r"^run\(\) got multiple values for keyword argument 'qc'$",
        ),
        (
            lambda p: TranspilerPass.run(p, 1, circuit=2),
            r"^run\(\) got an unexpected keyword argument 'circuit'$",
        ),
        (
            lambda p: TranspilerPass.__init__(p, 1),
            r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$",
        ),
        (lambda p: Echo(1), r"^__init__\(\) takes exactly 1 positional argument \(2 given\)$"),
    ],
)
def test_argument_errors_count_the_instance(call, message):
    with pytest.raises(TypeError, match=message):
        call(Echo())


def test_methods_bind_and_pickle_by_reference():
    p = Echo()
    bound = TranspilerPass.run.__get__(p, Echo)
    assert bound.__self__ is p and bound(1) is None
    assert TranspilerPass.run.__get__(None, Echo) is TranspilerPass.run
    assert pickle.loads(pickle.dumps(TranspilerPass.run)) is TranspilerPass.run
    assert isinstance(pickle.loads(pickle.dumps(p)), Echo)
