"""Argument errors of the native functions follow the host's order: too many
positionals, then a keyword repeating a positional, then a missing argument,
then an unknown keyword. Every module's functions share one binder, so one
case per module and kind of function checks that each is built on it."""

import re

import networkx as nx
import pytest

from corvane.circuit import matrix as M
from corvane.circuit._convert import convert_gate_info_to_dag_info
from corvane.circuit.dag import dag2qc, qc2dag
from corvane.circuit.optimize import GateCompressor
from corvane.circuit.schedule import DynamicalDecoupling
from corvane.circuit.stratum import TranspilerPass


@pytest.mark.parametrize(
    "call, message",
    [
        (
            lambda: M.u_mat(0.1, 0.2, phi=0.2),
            "u_mat() got multiple values for keyword argument 'phi'",
        ),
        (
            lambda: M.u_mat(0.1, 0.2, theta=1),
            "u_mat() got multiple values for keyword argument 'theta'",
        ),
        (lambda: M.r_mat(0.1, theta=1), "r_mat() got multiple values for keyword argument 'theta'"),
        # the repeat is found whatever its place among the keywords
        (
            lambda: M.u_mat(0.1, 0.2, angle=0, phi=0.2),
            "u_mat() got multiple values for keyword argument 'phi'",
        ),
        (
            lambda: dag2qc(nx.DiGraph(), dag=1, ncbits=1),
            "dag2qc() got multiple values for keyword argument 'dag'",
        ),
        (
            lambda: convert_gate_info_to_dag_info(1, [0], nqubits=1),
            "convert_gate_info_to_dag_info() got multiple values for keyword argument 'nqubits'",
        ),
        (
            lambda: GateCompressor().is_adjacent_gates("a", node1="b"),
            "is_adjacent_gates() got multiple values for keyword argument 'node1'",
        ),
        (
            lambda: GateCompressor().run_compress_once("a", node1="b"),
            "run_compress_once() got multiple values for keyword argument 'node1'",
        ),
        (
            lambda: DynamicalDecoupling(1e-8, t1g=1e-8),
            "__init__() got multiple values for keyword argument 't1g'",
        ),
        (
            lambda: TranspilerPass.run(object(), self=1),
            "run() got multiple values for keyword argument 'self'",
        ),
        # a missing argument still comes before a keyword that names nothing
        (
            lambda: M.u_mat(0.1, 0.2, angle=0),
            "u_mat() takes exactly 3 positional arguments (2 given)",
        ),
        (lambda: qc2dag(show=False), "qc2dag() takes at least 1 positional argument (0 given)"),
        # too many positionals come first of all
        (
            lambda: M.u2_mat(1, 2, 3, phi=2),
            "u2_mat() takes exactly 2 positional arguments (3 given)",
        ),
    ],
)
def test_argument_errors_in_host_order(call, message):
    with pytest.raises(TypeError, match="^" + re.escape(message) + "$"):
        call()
