// corvane.circuit.dag: conversion between circuits and gate DAGs, and the
// qubit coupling graph. The docstrings and the module set-up.
#include "dag/functions.hpp"

#include "common/digraph.hpp"
#include "common/first_use_globals.hpp"
#include "common/interrupt_check.hpp"

namespace {

constexpr const char* kModuleDoc =
    "Tools for converting between directed acyclic graphs (DAGs) and quantum circuits";

constexpr const char* kQc2dagDoc =
    "Converts a quantum circuit into a directed acyclic graph (DAG).\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): The quantum circuit to convert.\n"
    "    show_qubits (bool): Whether node names show the qubits of each operation. Defaults to "
    "True.\n"
    "\n"
    "Returns:\n"
    "    nx.DiGraph: A DAG with nodes as operations and edges as dependencies.\n";

constexpr const char* kDag2qcDoc =
    "Converts a directed acyclic graph (DAG) back into a QuantumCircuit.\n"
    "\n"
    "Args:\n"
    "    dag (nx.DiGraph): The DAG to convert.\n"
    "    nqubits (int | None): The number of qubits in the circuit.\n"
    "    ncbits (int | None): The number of classical bits in the circuit. Defaults to the value "
    "of nqubits.\n"
    "\n"
    "Returns:\n"
    "    QuantumCircuit: The circuit rebuilt from the DAG, in topological order.\n";

constexpr const char* kGetQcgraphEdgesDoc =
    "Collects the qubit pairs that the multi-qubit gates of a gate list couple.\n"
    "\n"
    "Args:\n"
    "    gates (list): Gate entries of a circuit.\n"
    "\n"
    "Returns:\n"
    "    list: One pair per two-qubit gate and two per three-qubit gate, cut out of the entries.\n";

constexpr const char* kQc2graphDoc =
    "Builds the qubit coupling graph of a quantum circuit.\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): The circuit.\n"
    "\n"
    "Returns:\n"
    "    nx.Graph: The circuit's qubits as nodes, joined where a multi-qubit gate couples them.\n";

constexpr const char* kSplitQubitsDoc =
    "Splits the qubits of a quantum circuit into groups that no gate joins.\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): The circuit.\n"
    "\n"
    "Returns:\n"
    "    list: One list of qubits per connected part of the coupling graph.\n";

constexpr const char* kDrawGraphDoc =
    "Draws a graph, normally a coupling graph from qc2graph, in a new figure.\n"
    "\n"
    "Args:\n"
    "    G (nx.Graph): The graph to draw.\n"
    "\n"
    "Returns:\n"
    "    None\n";

constexpr const char* kDagAgraphDoc =
    "The pygraphviz AGraph that draw_dag lays out and renders: nodes labelled with their gate "
    "(a measurement with its first classical bit), edges with their qubits, 300 dpi.\n";

constexpr const char* kDrawDagDoc =
    "Draws a directed acyclic graph (DAG) representation of a quantum circuit and saves it as an "
    "image.\n"
    "\n"
    "Args:\n"
    "    dag (nx.DiGraph): The gate DAG to draw.\n"
    "    output (str): The filename for saving the generated DAG image. Defaults to "
    "'dag_figure.png'.\n"
    "\n"
    "Returns:\n"
    "    None\n";

}  // namespace

using namespace corvane::bind;
using namespace corvane::bind::dag_module;

NB_MODULE(dag, m) {
    install_interrupt_check();
    m.doc() = kModuleDoc;
    state().module = m.ptr();
    m.attr("np") = nb::module_::import_("numpy");
    bind_on_first_use(m, {kNetworkxGlobal});
    m.attr("QuantumCircuit") =
        nb::module_::import_("corvane.circuit.quantumcircuit").attr("QuantumCircuit");
    nb::module_ helpers = nb::module_::import_("corvane.circuit.quantumcircuit_helpers");
    for (const char* name :
         {"one_qubit_gates_available", "two_qubit_gates_available", "three_qubit_gates_available",
          "one_qubit_parameter_gates_available", "two_qubit_parameter_gates_available",
          "functional_gates_available", "convert_gate_info_to_dag_info"})
        m.attr(name) = helpers.attr(name);
    state().native_convert =
        nb::object(
            nb::module_::import_("corvane.circuit._convert").attr("convert_gate_info_to_dag_info"))
            .release()
            .ptr();

    m.attr("qc2dag") = make_function(m, {
                                            .name = "qc2dag",
                                            .doc = kQc2dagDoc,
                                            .params = {{"qc"}, {"show_qubits", nb::bool_(true)}},
                                            .annotations = {{"qc", "'QuantumCircuit'"},
                                                            {"show_qubits", "bool"},
                                                            {"return", "'nx.DiGraph'"}},
                                            .body = qc2dag,
                                        });
    m.attr("dag2qc") =
        make_function(m, {
                             .name = "dag2qc",
                             .doc = kDag2qcDoc,
                             .params = {{"dag"}, {"nqubits", nb::none()}, {"ncbits", nb::none()}},
                             .annotations = {{"dag", "'nx.DiGraph'"},
                                             {"nqubits", "int | None"},
                                             {"ncbits", "int | None"},
                                             {"return", "'QuantumCircuit'"}},
                             .body = dag2qc,
                         });
    m.attr("get_qcgraph_edges") = make_function(m, {.name = "get_qcgraph_edges",
                                                    .doc = kGetQcgraphEdgesDoc,
                                                    .params = {{"gates"}},
                                                    .body = get_qcgraph_edges});
    m.attr("qc2graph") = make_function(
        m, {.name = "qc2graph", .doc = kQc2graphDoc, .params = {{"qc"}}, .body = qc2graph});
    m.attr("split_qubits") = make_function(
        m,
        {.name = "split_qubits", .doc = kSplitQubitsDoc, .params = {{"qc"}}, .body = split_qubits});
    m.attr("draw_graph") = make_function(
        m, {.name = "draw_graph", .doc = kDrawGraphDoc, .params = {{"G"}}, .body = draw_graph});
    m.attr("_dag_agraph") = make_function(
        m, {.name = "_dag_agraph", .doc = kDagAgraphDoc, .params = {{"dag"}}, .body = dag_agraph});
    m.attr("draw_dag") =
        make_function(m, {
                             .name = "draw_dag",
                             .doc = kDrawDagDoc,
                             .params = {{"dag"}, {"output", nb::str("dag_figure.png")}},
                             .body = draw_dag,
                         });
}
