import concurrent.futures as cf
import gc
import os
import sys
import textwrap
import traceback

import pytest
from conftest import interrupt_session, random_circuit

from corvane.circuit import pipeline
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.pipeline import BatchError, PassManager
from corvane.circuit.quantumcircuit import QuantumCircuit
from corvane.circuit.schedule import DynamicalDecoupling
from corvane.circuit.stratum import TranspilerPass

T1G, T2G = 2e-8, 5e-8


class NotACircuit(TranspilerPass):
    def run(self, qc):
        return qc.gates


class Interrupt(TranspilerPass):
    """Raises KeyboardInterrupt on a circuit of 3 qubits; counts the circuits it saw."""

    def __init__(self):
        self.seen = 0

    def run(self, qc):
        self.seen += 1
        if qc.nqubits == 3:
            raise KeyboardInterrupt
        return qc


def steps():
    return [
        GateCompressor(),
        (DynamicalDecoupling(T1G, T2G), {"sequence": "XY4", "align_right": False}),
    ]


def one_by_one(qc):
    return DynamicalDecoupling(T1G, T2G).run(
        GateCompressor().run(qc), sequence="XY4", align_right=False
    )


def batch(count=12, ngates=80):
    return [random_circuit(seed, ngates=ngates) for seed in range(count)]


def broken(qc):
    """A copy of ``qc`` with an entry no pass accepts."""
    bad = qc.deepcopy()
    bad.gates.append(("bogus", 0))
    return bad


# ---- steps ---------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "bad_steps, words",
    [
        ([GateCompressor], ["step 0", "class GateCompressor", "instance"]),
        ([GateCompressor(), "compress"], ["step 1", "str"]),
        ([(GateCompressor(), {}, {})], ["step 0", "pair"]),
        ([(42, {})], ["step 0", "first item", "int"]),
        (
            [(DynamicalDecoupling(T1G, T2G), ["sequence"])],
            ["step 0 (DynamicalDecoupling)", "mapping"],
        ),
        (
            [(DynamicalDecoupling(T1G, T2G), {"sequnce": "XY4"})],
            [
                "step 0 (DynamicalDecoupling)",
                "'sequnce'",
                "sequence, align_right, insert_before_barrier",
            ],
        ),
        (
            [GateCompressor(), (GateCompressor(), {"qc": None})],
            ["step 1 (GateCompressor)", "'qc'", "no options"],
        ),
        ([(DynamicalDecoupling(T1G, T2G), {1: "XY4"})], ["step 0", "strings"]),
        (GateCompressor(), ["list of steps"]),
        ("compress", ["list of steps"]),
        (42, ["list of steps"]),
    ],
)
def test_bad_step_is_refused_when_built(bad_steps, words):
    with pytest.raises(TypeError) as info:
        PassManager(bad_steps)
    for word in words:
        assert word in str(info.value)


def test_options_are_copied_when_built():
    options = {"sequence": "CPMG"}
    manager = PassManager([[DynamicalDecoupling(T1G, T2G), options]])
    options["sequence"] = "nonsense"
    assert manager.steps[0][1] == {"sequence": "CPMG"}


def test_pass_returning_no_circuit_names_the_step():
    with pytest.raises(TypeError, match=r"step 1 \(NotACircuit\) returned list"):
        PassManager([GateCompressor(), NotACircuit()]).run(QuantumCircuit(1).h(0))


# ---- one circuit ---------------------------------------------------------------------------


@pytest.mark.parametrize("seed", range(4))
def test_one_circuit_runs_in_order_on_the_callers_passes(seed):
    qc = random_circuit(seed, ngates=120)
    compressor, dd = GateCompressor(), DynamicalDecoupling(T1G, T2G)
    expected_compressor, expected_dd = GateCompressor(), DynamicalDecoupling(T1G, T2G)
    for order in ((0, 1), (1, 0)):
        chain = [(compressor, {}), (dd, {"sequence": "CPMG"})]
        manual = [(expected_compressor, {}), (expected_dd, {"sequence": "CPMG"})]
        out = PassManager([chain[i] for i in order]).run(qc)
        expected = qc
        for i in order:
            expected = manual[i][0].run(expected, **manual[i][1])
        assert out == expected
    assert (compressor._idx, dd._count) == (expected_compressor._idx, expected_dd._count)
    assert list(compressor.dag.edges(data=True)) == list(expected_compressor.dag.edges(data=True))


def test_one_circuit_refuses_batch_options():
    with pytest.raises(TypeError, match="batch"):
        PassManager(steps()).run(QuantumCircuit(1), progress=True)


def test_no_steps_returns_a_copy():
    qc = QuantumCircuit(1).h(0)
    out = PassManager([]).run(qc)
    assert out == qc and out is not qc and out.gates is not qc.gates


# ---- batches -------------------------------------------------------------------------------


def force_own_pool(monkeypatch):
    """The default road takes its own pool for the whole batch, whatever its size."""
    monkeypatch.setattr(pipeline, "IN_PROCESS_GATES", 0)
    monkeypatch.setattr(pipeline, "SAMPLE_GATES", 0)
    monkeypatch.setattr(pipeline, "_pool_wins", lambda *args: True)


@pytest.fixture(params=["in-process", "own-pool", "process-pool", "thread-pool"])
def executor(request, monkeypatch):
    """Every way a batch runs; the own pool is forced by lowering the in-process limit."""
    if request.param == "in-process":
        yield None
    elif request.param == "own-pool":
        force_own_pool(monkeypatch)
        monkeypatch.setattr(pipeline, "CHUNK_GATES", 200)
        yield None
    else:
        monkeypatch.setattr(pipeline, "CHUNK_GATES", 200)  # several chunks, finishing out of order
        kind = cf.ProcessPoolExecutor if request.param == "process-pool" else cf.ThreadPoolExecutor
        with kind(2) as pool:
            yield pool


def test_a_sample_here_and_the_rest_on_the_pool_give_the_serial_results(monkeypatch):
    monkeypatch.setattr(pipeline, "IN_PROCESS_GATES", 0)
    monkeypatch.setattr(pipeline, "SAMPLE_GATES", 300)  # the first few circuits
    monkeypatch.setattr(pipeline, "CHUNK_GATES", 200)
    decided = []

    def pool_wins(seconds, circuits, sample, results, rest, workers):
        decided.append((sample, len(rest)))
        assert all(isinstance(results[i], QuantumCircuit) for i in sample)
        return True

    monkeypatch.setattr(pipeline, "_pool_wins", pool_wins)
    circuits = batch()
    assert PassManager(steps()).run(circuits) == [one_by_one(qc) for qc in circuits]
    [(sample, rest)] = decided
    assert 0 < len(sample) < len(circuits) and sample.stop + rest == len(circuits)


# A batch of 1e6 gates, sampled on 2e4 of them, on 2 workers.
SAMPLE, REST = 20_000, 980_000


@pytest.mark.parametrize(
    "us_per_gate, entries_per_gate, wins",
    [
        (0.3, 0.8, False),  # compression alone: under a second of work, the pool's start eats it
        (1.0, 76.0, False),  # decoupling that multiplies the entries: moving them back costs more
        # compress then decouple: the parent's unpickling takes its CPU from the 2 workers
        (6.6, 12.0, False),
        (10.0, 12.0, True),  # the same results from passes ten times slower
        (50.0, 1.0, True),  # slow passes, small results
    ],
)
def test_the_pool_is_chosen_only_when_it_wins(us_per_gate, entries_per_gate, wins):
    sample_circuit = QuantumCircuit(1)
    sample_circuit.gates = [("x", 0)] * SAMPLE
    result = QuantumCircuit(1)
    result.gates = [("x", 0)] * int(SAMPLE * entries_per_gate)
    rest = QuantumCircuit(1)
    rest.gates = [("x", 0)] * REST
    seconds = us_per_gate * 1e-6 * SAMPLE
    chosen = pipeline._pool_wins(seconds, [sample_circuit], range(1), [result], [rest], 2)
    assert chosen is wins


class _KillsItsWorker(TranspilerPass):
    def run(self, qc):
        os._exit(3)


def test_a_dead_worker_fails_its_circuits_with_a_short_report(monkeypatch):
    monkeypatch.setattr(pipeline, "CHUNK_GATES", 1)  # a chunk per circuit
    with cf.ProcessPoolExecutor(2) as pool, pytest.raises(BatchError) as info:
        PassManager([_KillsItsWorker()]).run(batch(6), executor=pool)
    assert info.value.indices == tuple(range(6))
    for err in info.value.exceptions:
        assert isinstance(err, cf.process.BrokenProcessPool)
        assert len(traceback.format_exception(err)) < 10


def test_batch_equals_one_by_one_and_leaves_the_callers_passes(executor):
    circuits = batch()
    manager = PassManager(steps())
    compressor, dd = manager.steps[0][0], manager.steps[1][0]
    results = manager.run(iter(circuits), executor=executor)
    assert results == [one_by_one(qc) for qc in circuits]
    assert gc.isenabled()  # paused while circuits move, by threads of a pool too, then on again
    assert (compressor._idx, dd._count) == (1000000, 86751)
    assert not hasattr(compressor, "dag") or compressor.dag.number_of_nodes() == 0


@pytest.mark.parametrize("mode", ["raise", "return"])
def test_failed_circuits_are_named_and_the_others_complete(executor, mode):
    circuits = batch(10)
    for index in (2, 7):
        circuits[index] = broken(circuits[index])
    manager = PassManager(steps())
    if mode == "raise":
        with pytest.raises(
            BatchError, match=r"2 of 10 circuits failed: 2 \(ValueError.*7 \(ValueError"
        ) as info:
            manager.run(circuits, executor=executor)
        assert info.value.indices == (2, 7)
        assert all(isinstance(e, ValueError) and "bogus" in str(e) for e in info.value.exceptions)
        results = info.value.results
    else:
        results = manager.run(circuits, executor=executor, errors="return")
    for index, (qc, result) in enumerate(zip(circuits, results)):
        if index in (2, 7):
            assert isinstance(result, ValueError) and "unknown gate" in str(result)
        else:
            assert result == one_by_one(qc)
    assert gc.isenabled()


def test_batch_error_is_an_exception_group_on_this_python():
    circuits = [broken(QuantumCircuit(1)), QuantumCircuit(1).h(0)]
    try:
        PassManager(steps()).run(circuits)
    except* ValueError as group:
        assert isinstance(group, ExceptionGroup) and len(group.exceptions) == 1


def test_error_from_a_worker_carries_its_traceback():
    with cf.ProcessPoolExecutor(1) as pool:
        (result,) = PassManager(steps()).run(
            [broken(QuantumCircuit(1))], executor=pool, errors="return"
        )
    assert isinstance(result, ValueError)
    assert "Traceback" in str(result.__cause__) and "_apply" in str(result.__cause__)


@pytest.mark.parametrize(
    "bad, error, words",
    [
        (dict(circuits=[QuantumCircuit(1), "qc"]), TypeError, "item 1 of the batch is str"),
        (dict(circuits=42), TypeError, "iterable"),
        (dict(circuits=[], errors="ignore"), ValueError, "'raise' or 'return'"),
        (dict(circuits=[], executor=object()), TypeError, "Executor"),
    ],
)
def test_bad_batch_arguments_are_refused(bad, error, words):
    with pytest.raises(error, match=words):
        PassManager(steps()).run(**bad)


def test_pass_that_cannot_be_copied_is_named_before_any_work():
    compressor = GateCompressor()
    compressor.hook = lambda: None  # lambdas do not pickle
    with pytest.raises(TypeError, match=r"step 0 \(GateCompressor\) cannot be copied"):
        PassManager([compressor]).run([QuantumCircuit(1)])


def test_progress_bar_counts_circuits_on_stderr(capsys):
    PassManager(steps()).run(batch(3), progress=True)
    err = capsys.readouterr().err
    assert "3/3" in err and "circuit/s" in err


# ---- interruption --------------------------------------------------------------------------


def test_interrupt_in_this_process_stops_the_batch_at_once():
    interrupt = Interrupt()
    circuits = [QuantumCircuit(1), QuantumCircuit(3), QuantumCircuit(1)]
    with pytest.raises(KeyboardInterrupt):
        PassManager([interrupt]).run(circuits)
    with pytest.raises(KeyboardInterrupt):
        PassManager([interrupt]).run(circuits[1])


def test_interrupt_in_a_worker_stops_the_batch(monkeypatch):
    force_own_pool(monkeypatch)
    monkeypatch.setattr(pipeline, "CHUNK_GATES", 1)
    with pytest.raises(KeyboardInterrupt):
        PassManager([Interrupt()]).run([QuantumCircuit(1).h(0), QuantumCircuit(3).h(0)])


INTERRUPTED_BATCH = textwrap.dedent("""
    import sys, time
    from corvane.circuit import pipeline
    from corvane.circuit.quantumcircuit import QuantumCircuit
    from corvane.circuit.stratum import TranspilerPass

    class Sleep(TranspilerPass):
        def run(self, qc):
            time.sleep(120)
            return qc

    if __name__ == "__main__":
        pipeline.IN_PROCESS_GATES, pipeline.SAMPLE_GATES, pipeline.CHUNK_GATES = 0, 0, 1
        pipeline._pool_wins = lambda *args: True
        print("started", flush=True)
        pipeline.PassManager([Sleep()]).run([QuantumCircuit(1).h(0) for _ in range(8)])
""")


def test_ctrl_c_ends_the_pool_promptly(tmp_path):
    script = tmp_path / "batch.py"
    script.write_text(INTERRUPTED_BATCH)
    # settle: let the pool start its workers on their 120-second chunks
    status, err, survivors = interrupt_session([sys.executable, str(script)], settle=2)
    assert status != 0 and "KeyboardInterrupt" in err
    assert survivors == ""  # no worker is left behind in the session


# ---- Dask ----------------------------------------------------------------------------------


def test_dask_cluster_gives_the_serial_results(dask_cluster, monkeypatch):
    distributed = pytest.importorskip("distributed")
    monkeypatch.setattr(pipeline, "CHUNK_GATES", 200)
    circuits = batch(8)
    circuits[5] = broken(circuits[5])
    manager = PassManager(steps())
    serial = manager.run(circuits, errors="return")
    with distributed.Client(dask_cluster) as client:
        on_cluster = manager.run(circuits, executor=client.get_executor(), errors="return")
    assert on_cluster[:5] + on_cluster[6:] == serial[:5] + serial[6:]
    assert isinstance(on_cluster[5], ValueError) and str(on_cluster[5]) == str(serial[5])
