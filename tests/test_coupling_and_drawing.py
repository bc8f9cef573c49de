import sys

import networkx as nx
import pytest

from corvane.circuit import dag as dag_module
from corvane.circuit.dag import (
    draw_dag,
    draw_graph,
    get_qcgraph_edges,
    qc2dag,
    qc2graph,
    split_qubits,
)
from corvane.circuit.quantumcircuit import QuantumCircuit


@pytest.mark.parametrize(
    "gates, pairs",
    [
        (
            [
                ("h", 0),
                ("rx", 0.1, 1),
                ("measure", [0], [0]),
                ("barrier", (0, 1)),
                ("delay", 1e-8, (0,)),
                ("reset", 1),
            ],
            [],
        ),
        ([("ccx", 0, 1, 2)], [(0, 1), (1, 2)]),
        ([("cx", 0, 1), ("cx", 0, 1)], [(0, 1), (0, 1)]),
        ([("rzz", 0.3, 2, 3)], [(2, 3)]),
        # A parameter gate's qubits are its last two items, whatever its parameter count.
        ([("rzz", 0.3, 0.4, 2, 3)], [(2, 3)]),
        ([["cz", 4, 5]], [[4, 5]]),
    ],
)
def test_coupling_pairs_are_slices_of_the_entries(gates, pairs):
    got = get_qcgraph_edges(gates)
    assert got == pairs
    assert [type(p) for p in got] == [
        type(g)
        for g in gates
        if g[0] not in ("h", "rx", "measure", "barrier", "delay", "reset")
        for _ in range(2 if g[0] == "ccx" else 1)
    ]


def test_unknown_gate_is_named_in_the_error():
    with pytest.raises(ValueError, match=r"^wrong gate type cxx$"):
        get_qcgraph_edges([("h", 0), ("cxx", 0, 1)])


def test_coupling_graph_and_groups():
    qc = QuantumCircuit(6, 0).cx(0, 1).cx(0, 1).ccx(1, 2, 3).h(4)
    qc.qubits = [0, 1, 2, 3, 4]
    graph = qc2graph(qc)
    assert type(graph) is nx.Graph
    assert list(graph.nodes) == [0, 1, 2, 3, 4]
    assert sorted(graph.edges) == [(0, 1), (1, 2), (2, 3)]
    assert split_qubits(qc) == [[0, 1, 2, 3], [4]]
    assert split_qubits(QuantumCircuit(3, 0).h(0)) == [[0], [1], [2]]


def test_rebound_pair_function_is_used(monkeypatch):
    monkeypatch.setattr(dag_module, "get_qcgraph_edges", lambda gates: [(0, 2)])
    assert split_qubits(QuantumCircuit(3, 0)) == [[0, 2], [1]]


pytest.importorskip("matplotlib")
pygraphviz = pytest.importorskip("pygraphviz")


@pytest.fixture
def captured_agraph(monkeypatch):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    monkeypatch.setattr(plt, "show", lambda: None)
    graphs = []
    original = nx.nx_agraph.to_agraph

    def spy(graph):
        graphs.append(original(graph))
        return graphs[-1]

    monkeypatch.setattr(nx.nx_agraph, "to_agraph", spy)
    yield graphs
    plt.close("all")


def test_draw_dag_writes_a_labelled_300_dpi_image(tmp_path, captured_agraph):
    import matplotlib.pyplot as plt

    qc = QuantumCircuit(3, 2).h(0).cx(0, 2).measure([2], [1]).barrier()
    output = tmp_path / "circuit.png"
    assert draw_dag(qc2dag(qc), str(output)) is None
    agraph = captured_agraph[0]
    labels = {str(n): agraph.get_node(n).attr["label"] for n in agraph.nodes()}
    assert labels == {
        "h_0_q0": "h",
        "cx_1_q0_q2": "cx",
        "measure_2_q2": "measure [c1]",
        "barrier_3_q0_q1_q2": "barrier",
    }
    assert agraph.get_edge("h_0_q0", "cx_1_q0_q2").attr["label"] == "q0"
    assert agraph.get_edge("cx_1_q0_q2", "barrier_3_q0_q1_q2").attr["label"] == "q0"
    assert agraph.graph_attr["dpi"] == "300"
    image = plt.imread(str(output))
    # graphviz's plain output gives the laid-out size in inches; bitmaps add a pad of
    # 4 points (1/18 inch) on each side; at 300 dpi an inch is 300 pixels.
    _, _, width_in, height_in = (
        agraph.draw(format="plain", prog="dot").decode().splitlines()[0].split()
    )
    assert abs(image.shape[1] - (float(width_in) + 2 / 18) * 300) <= 3
    assert abs(image.shape[0] - (float(height_in) + 2 / 18) * 300) <= 3


def test_draw_dag_default_file_and_empty_edge_label(tmp_path, monkeypatch, captured_agraph):
    monkeypatch.chdir(tmp_path)
    g = nx.DiGraph()
    g.add_nodes_from([("x_1", {"qubits": [0]}), ("y_2", {"qubits": [0]})])
    g.add_edge("x_1", "y_2", qubit=[])
    draw_dag(g)
    assert (tmp_path / "dag_figure.png").stat().st_size > 0
    assert captured_agraph[0].get_edge("x_1", "y_2").attr["label"] == ""


@pytest.mark.parametrize(
    "node, edge", [(("measure_1", {"qubits": [0]}), None), (("x_1", {"qubits": [0]}), {})]
)
def test_draw_dag_missing_attributes_are_key_errors(tmp_path, captured_agraph, node, edge):
    g = nx.DiGraph()
    g.add_nodes_from([node, ("y_2", {"qubits": [0]})])
    if edge is not None:
        g.add_edge(node[0], "y_2", **edge)
    with pytest.raises(KeyError):
        draw_dag(g, str(tmp_path / "out.png"))


def test_draw_graph_draws_without_error(monkeypatch):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    monkeypatch.setattr(plt, "show", lambda: None)
    draw_graph(qc2graph(QuantumCircuit(3, 0).cx(0, 1)))
    figure = plt.gcf()
    assert tuple(figure.get_size_inches()) == (7.0, 6.0)
    plt.close("all")


def test_module_loads_without_matplotlib_imported():
    import subprocess

    code = (
        "import sys; import corvane.circuit.dag; "
        "assert 'matplotlib' not in sys.modules and 'pygraphviz' not in sys.modules"
    )
    subprocess.run([sys.executable, "-c", code], check=True)
