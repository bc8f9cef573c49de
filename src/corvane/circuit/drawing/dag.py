"""The gate DAG of a circuit as a PNG picture, drawn by graphviz's ``dot`` program.

``corvane.circuit.dag.draw_dag`` runs graphviz inside this process, where nothing
interrupts it, and then reads the picture back to show it. Here ``dot`` runs as
a child process that Ctrl-C and SIGTERM end at once, and a DAG too large to
draw in seconds is refused before graphviz sees it.
"""

import shutil
import subprocess

__all__ = ["MAX_DAG_NODES", "terminate_as_interrupt", "write_dag_png"]

# The most DAG nodes drawn unless raised (max_nodes= or --dag-max-nodes). dot's time
# goes to the 300 dpi bitmap, which grows with the graph. On the shared 2-core
# development machine, under load, 100 nodes took 2.1 s (a one-qubit chain) to 6.3 s
# (30 qubits) and under 200 MB; 200 nodes took 31 s and 580 MB, and a 1,115-node DAG
# 47 s, scaled down by graphviz as too large for a bitmap.
MAX_DAG_NODES = 100


def write_dag_png(qc, path, *, max_nodes=MAX_DAG_NODES):
    """Write the gate DAG of ``qc`` to ``path`` as a PNG, as ``draw_dag`` draws it.

    Args:
        qc (QuantumCircuit): The circuit.
        path (str | Path): The PNG file to write.
        max_nodes (int): Refuse a DAG of more nodes than this.

    Raises:
        ValueError: The DAG has more than ``max_nodes`` nodes; nothing is drawn.
        OSError: graphviz's ``dot`` program is not installed.
        RuntimeError: ``dot`` failed.
        KeyboardInterrupt: Ctrl-C, or SIGTERM where nothing else handles it;
            ``dot`` has ended and left whatever it wrote of ``path``.
    """
    from corvane.circuit.dag import _dag_agraph, qc2dag

    if isinstance(max_nodes, bool) or not isinstance(max_nodes, int) or max_nodes < 1:
        raise ValueError(f"max_nodes must be a positive int, got {max_nodes!r}")
    dag = qc2dag(qc)
    nodes = dag.number_of_nodes()
    if nodes > max_nodes:
        raise ValueError(
            f"the gate DAG has {nodes:,} nodes, more than the {max_nodes:,} graphviz draws in "
            "seconds: draw a part of the circuit, or its timeline (--timeline), or raise the "
            "bound (--dag-max-nodes)"
        )
    program = shutil.which("dot")
    if program is None:
        raise OSError("graphviz's dot program, which draws the DAG, is not on the PATH")
    text = _dag_agraph(dag).to_string()
    with terminate_as_interrupt():
        dot = subprocess.Popen(
            [program, "-Tpng", "-o", str(path)],
            stdin=subprocess.PIPE,
            stdout=subprocess.DEVNULL,
            stderr=subprocess.PIPE,
            text=True,
        )
        try:
            _, errors = dot.communicate(text)
        finally:
            if dot.poll() is None:  # interrupted: end it before its file is removed
                dot.kill()
                dot.wait()
    if dot.returncode != 0:
        detail = errors.strip().splitlines()[:1] or [f"exit status {dot.returncode}"]
        raise RuntimeError(f"graphviz's dot failed: {detail[0]}")


def terminate_as_interrupt():
    """SIGTERM raises KeyboardInterrupt in the block, where nothing else handles it, so a
    stopped drawing is cleaned up as Ctrl-C's is: its child ended, its file removed."""
    from corvane.circuit.files import _raise_interrupt, sigterm_calls

    return sigterm_calls(_raise_interrupt)
