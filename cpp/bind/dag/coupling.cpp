// The qubit coupling graph of a circuit (get_qcgraph_edges, qc2graph,
// split_qubits) and the drawings of graphs and DAGs.
#include "dag/functions.hpp"

#include "common/gate_entries.hpp"
#include "common/interrupt_check.hpp"

#include <algorithm>
#include <string>

namespace corvane::bind::dag_module {

nb::object get_qcgraph_edges(Args args) {
    constexpr Category order[] = {Category::one_qubit,   Category::one_qubit_parameter,
                                  Category::two_qubit,   Category::two_qubit_parameter,
                                  Category::three_qubit, Category::functional};
    GateCategories categories(this_module());
    nb::object pairs = checked(PyList_New(0));
    auto append_slice = [&](PyObject* entry, Py_ssize_t begin, Py_ssize_t end) {
        nb::object pair = checked(PySequence_GetSlice(entry, begin, end));
        check(PyList_Append(pairs.ptr(), pair.ptr()) == 0);
    };
    nb::object iterator = checked(PyObject_GetIter(args[0]));
    InterruptPoll poll;
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object entry = nb::steal(item);
        poll.tick();
        nb::object name = checked(PySequence_GetItem(entry.ptr(), 0));
        Category found = Category::none;
        for (Category c : order) {
            int in = PySequence_Contains(categories.mapping(c).ptr(), name.ptr());
            check(in >= 0);
            if (in) {
                found = c;
                break;
            }
        }
        switch (found) {
            case Category::two_qubit:
                append_slice(entry.ptr(), 1, PY_SSIZE_T_MAX);
                break;
            case Category::two_qubit_parameter: {
                // The qubits are the trailing items, whatever the number of parameters.
                const Py_ssize_t n = PySequence_Size(entry.ptr());
                check(n >= 0);
                const Py_ssize_t width = entry_shape(found, "")->trailing_qubits;
                append_slice(entry.ptr(), std::max<Py_ssize_t>(n - width, 0), n);
                break;
            }
            case Category::three_qubit:
                append_slice(entry.ptr(), 1, 3);
                append_slice(entry.ptr(), 2, 4);
                break;
            case Category::none: {
                nb::object text = checked(PyObject_Str(name.ptr()));
                PyErr_Format(PyExc_ValueError, "wrong gate type %U", text.ptr());
                throw nb::python_error();
            }
            default:
                break;
        }
    }
    check(!PyErr_Occurred());
    return pairs;
}

nb::object qc2graph(Args args) {
    nb::handle qc = args[0];
    nb::object graph = global(this_module(), "nx").attr("Graph")();
    graph.attr("add_nodes_from")(qc.attr("qubits"));
    graph.attr("add_edges_from")(global(this_module(), "get_qcgraph_edges")(qc.attr("gates")));
    return graph;
}

nb::object split_qubits(Args args) {
    nb::object graph = global(this_module(), "qc2graph")(nb::handle(args[0]));
    nb::list groups;
    for (nb::handle component : global(this_module(), "nx").attr("connected_components")(graph))
        groups.append(checked(PySequence_List(component.ptr())));
    return groups;
}

nb::object draw_graph(Args args) {
    nb::handle graph = args[0];
    nb::object plt = nb::module_::import_("matplotlib.pyplot");
    nb::object nx = global(this_module(), "nx");
    nb::object pos = nx.attr("shell_layout")(graph);
    plt.attr("figure")(nb::arg("figsize") = nb::make_tuple(7, 6));
    nx.attr("draw_networkx")(graph, pos, nb::arg("node_color") = "skyblue",
                             nb::arg("node_size") = 1500, nb::arg("node_shape") = "o",
                             nb::arg("with_labels") = true, nb::arg("font_size") = 12,
                             nb::arg("font_weight") = "bold", nb::arg("edge_color") = "gray",
                             nb::arg("width") = 2, nb::arg("alpha") = 0.7);
    plt.attr("axis")("off");
    plt.attr("show")();
    return nb::none();
}

nb::object dag_agraph(Args args) {
    nb::handle graph = args[0];
    nb::object agraph = global(this_module(), "nx").attr("nx_agraph").attr("to_agraph")(graph);
    nb::object nodes = graph.attr("nodes");
    for (nb::handle node : agraph.attr("nodes")()) {
        nb::object gate = gate_name_of(node.ptr());
        nb::object label = gate;
        if (PyUnicode_Check(gate.ptr()) &&
            PyUnicode_CompareWithASCIIString(gate.ptr(), "measure") == 0) {
            nb::object first_cbit = nodes[node]["cbits"][0];
            label = nb::str("{} [c{}]").format(gate, first_cbit);
        }
        node.attr("attr")["label"] = label;
    }
    for (nb::handle edge : graph.attr("edges")(nb::arg("data") = true)) {
        std::string label;
        for (nb::handle q : edge[2]["qubit"]) {
            label += "q";
            label += nb::str(q).c_str();
        }
        agraph.attr("get_edge")(edge[0], edge[1]).attr("attr")["label"] = nb::str(label.c_str());
    }
    agraph.attr("graph_attr")["dpi"] = "300";
    return agraph;
}

nb::object draw_dag(Args args) {
    nb::handle output = args[1];
    nb::object plt = nb::module_::import_("matplotlib.pyplot");
    nb::object agraph = dag_agraph(args);
    agraph.attr("layout")(nb::arg("prog") = "dot");
    agraph.attr("draw")(output);
    nb::object image = plt.attr("imread")(output);
    plt.attr("imshow")(image);
    plt.attr("axis")("off");
    plt.attr("show")();
    return nb::none();
}

}  // namespace corvane::bind::dag_module
