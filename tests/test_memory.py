"""Running out of memory is a MemoryError that leaves everything as it was.

Each case runs in a subprocess that caps its address space (RLIMIT_AS) a
little above what it uses once the input is built, at several margins so the
allocation that fails falls at different places of the call. Under every cap
the call either succeeds or raises MemoryError; afterwards, with the cap
lifted, the input is unchanged and the same objects give the result a fresh
process would. The sanitizers reserve terabytes of shadow address space, so
these tests do not run under them.
"""

import json
import os
import subprocess
import sys
import textwrap

import pytest

CHILD = textwrap.dedent(
    """
    import json, random, resource, sys
    import networkx as nx
    from corvane.circuit.dag import dag2qc, qc2dag
    from corvane.circuit.optimize import GateCompressor
    from corvane.circuit.quantumcircuit import QuantumCircuit
    from corvane.circuit.quantumcircuit_helpers import convert_gate_info_to_dag_info
    from corvane.circuit.schedule import DynamicalDecoupling

    def circuit(n, nqubits=12):
        rng = random.Random(9)
        qc = QuantumCircuit(nqubits, nqubits)
        for _ in range(n):
            roll = rng.random()
            if roll < 0.4:
                qc.gates.append((rng.choice("hxst"), rng.randrange(nqubits)))
            elif roll < 0.7:
                qc.gates.append(("cx", *rng.sample(range(nqubits), 2)))
            else:
                qc.gates.append(("rz", rng.uniform(-3, 3), rng.randrange(nqubits)))
        return qc

    case, n = sys.argv[1], int(sys.argv[2])
    qc = circuit(n)
    dag = qc2dag(qc)
    gates = list(qc.gates)
    graph_before = nx.to_dict_of_dicts(dag)
    text = qc.to_qasm()
    CALLS = {
        "qc2dag": lambda p: qc2dag(qc),
        "dag2qc": lambda p: dag2qc(dag, qc.nqubits, qc.ncbits),
        "convert": lambda p: convert_gate_info_to_dag_info(qc.nqubits, qc.qubits, qc.gates),
        "compress": lambda p: p.run(qc),
        "decouple": lambda p: p.run(qc),
        "from_qasm": lambda p: QuantumCircuit.from_qasm(text),
        "to_qasm": lambda p: qc.to_qasm(),
    }
    make = {"compress": GateCompressor, "decouple": lambda: DynamicalDecoupling(2e-8, 5e-8)}.get(case, lambda: None)

    def result(value):
        if isinstance(value, QuantumCircuit):
            return repr(value.gates)
        if isinstance(value, nx.DiGraph):
            return repr((list(value.nodes(data=True)), list(value.edges(data=True))))
        return repr(value)

    expected = result(CALLS[case](make()))
    def address_space():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[0]) * resource.getpagesize()
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    outcomes = []
    for margin_mb in (1, 2, 4, 8, 16, 32, 64, 128):
        p = make()
        resource.setrlimit(resource.RLIMIT_AS, (address_space() + margin_mb * 2**20, hard))
        try:
            CALLS[case](p)
            outcomes.append("ok")
        except MemoryError:
            outcomes.append("MemoryError")
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        assert qc.gates == gates and all(a is b for a, b in zip(qc.gates, gates)), "input changed"
        assert nx.to_dict_of_dicts(dag) == graph_before, "graph changed"
        if p is not None:
            assert getattr(p, "dag", None) is None or p._idx > 1000000 or n == 0
            assert result(CALLS[case](p)) == expected, "the pass object gives another result"
    print(json.dumps(outcomes))
    """
)


@pytest.mark.skipif(
    "libasan" in os.environ.get("LD_PRELOAD", ""),
    reason="the sanitizers need unlimited address space",
)
@pytest.mark.parametrize(
    "case", ["qc2dag", "dag2qc", "convert", "compress", "decouple", "from_qasm", "to_qasm"]
)
def test_out_of_memory_is_a_clean_memory_error(case):
    done = subprocess.run(
        [sys.executable, "-c", CHILD, case, "60000"], capture_output=True, text=True, timeout=600
    )
    assert done.returncode == 0, done.stderr[-3000:]
    outcomes = json.loads(done.stdout.strip().splitlines()[-1])
    assert "MemoryError" in outcomes, outcomes
