// qc2dag: the gate DAG of a circuit, written straight into networkx's dicts
// when the circuit model's own builder is in place.
#include "dag/functions.hpp"

#include "common/digraph.hpp"
#include "common/gate_entries.hpp"
#include "common/interrupt_check.hpp"

#include <cstddef>
#include <vector>

namespace corvane::bind::dag_module {

nb::object qc2dag(Args args) {
    PyObject* qc = args[0];
    const bool show_qubits = convert_bool(args[1]);
    nb::object nqubits = nb::handle(qc).attr("nqubits");
    nb::object qubits = nb::handle(qc).attr("qubits");
    nb::object gates = nb::handle(qc).attr("gates");
    nb::object convert = global(this_module(), "convert_gate_info_to_dag_info");
    nb::object graph;

    if (convert.ptr() == state().native_convert) {
        // The circuit model's own builder: read the gate list once and write
        // the graph's dicts directly instead of building the two lists.
        GcPause pause;
        GateCategories categories = GateCategories::of_circuit_model();
        CircuitDag circuit = read_circuit(gates.ptr(), show_qubits, categories);
        graph = global(this_module(), "nx").attr("DiGraph")();
        if (is_plain_digraph(graph)) {
            DiGraphWriter writer(graph, circuit.size());
            InterruptPoll poll;
            for (size_t i = 0; i < circuit.size(); ++i) {
                poll.tick();
                writer.add_node(i, circuit.name(i), circuit.attributes(i));
            }
            for (const auto& edge : circuit.dependencies.edges) {
                poll.tick();
                nb::object data = checked(PyDict_New());
                check(PyDict_SetItem(data.ptr(), Keys::get().qubit,
                                     circuit.edge_qubits(edge).ptr()) == 0);
                writer.add_edge(edge.source, edge.target, data.ptr());
            }
            writer.finish();
        } else {
            nb::list nodes, edges;
            for (size_t i = 0; i < circuit.size(); ++i)
                nodes.append(
                    nb::make_tuple(nb::handle(circuit.name(i)), nb::handle(circuit.attributes(i))));
            for (const auto& edge : circuit.dependencies.edges) {
                nb::dict data;
                data[Keys::get().qubit] = circuit.edge_qubits(edge);
                edges.append(nb::make_tuple(nb::handle(circuit.name(edge.source)),
                                            nb::handle(circuit.name(edge.target)), data));
            }
            graph.attr("add_nodes_from")(nodes);
            graph.attr("add_edges_from")(edges);
        }
    } else {
        nb::object result =
            convert(nqubits, qubits, gates, nb::arg("show_qubits") = nb::bool_(show_qubits));
        std::vector<nb::object> lists = unpack(result.ptr(), 2);
        graph = global(this_module(), "nx").attr("DiGraph")();
        graph.attr("add_nodes_from")(lists[0]);
        graph.attr("add_edges_from")(lists[1]);
    }
    graph.attr("graph")["qubits"] = nb::handle(qc).attr("qubits");
    return graph;
}

}  // namespace corvane::bind::dag_module
