#include "optimize/compressed_graph.hpp"

#include "common/digraph.hpp"
#include "dag/gate_dag.hpp"

#include <span>
#include <string>

namespace corvane::bind::optimize {
namespace {

nb::object int_list(std::span<const std::int64_t> values) {
    nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i),
                        checked(PyLong_FromLongLong(values[i])).release().ptr());
    return list;
}

nb::object number(const compress::Number& n) {
    return n.is_int ? checked(PyLong_FromLongLong(n.integer))
                    : checked(PyFloat_FromDouble(n.value));
}

}  // namespace

PyObject* CompressedGraph::fused_params(dag::NodeId n) {
    const std::size_t originals = engine->original_count();
    if (fused_params_.empty()) fused_params_.resize(engine->graph().node_capacity() - originals);
    nb::object& made = fused_params_[n - originals];
    if (!made.is_valid()) {
        auto ps = engine->node_params(n);
        made = checked(PyList_New(static_cast<Py_ssize_t>(ps.size())));
        for (size_t k = 0; k < ps.size(); ++k)
            PyList_SET_ITEM(made.ptr(), static_cast<Py_ssize_t>(k), number(ps[k]).release().ptr());
    }
    return made.ptr();
}

nb::object CompressedGraph::build() {
    // The writer keeps borrowed pointers and sets the collector's tracking of
    // the dicts it makes; no collection may run in between.
    GcPause pause;
    const dag::GateDag& g = engine->graph();
    nb::object graph = networkx_digraph_type()();
    DiGraphWriter writer(graph, g.node_capacity());
    const Keys& keys = Keys::get();
    std::string text;
    InterruptPoll poll;
    for (dag::NodeId n = 0; n < g.node_capacity(); ++n) {
        poll.tick();
        if (!g.contains(n)) continue;
        if (engine->is_original(n)) {
            writer.add_node(n, in.circuit.name(n), in.circuit.attributes(n));
            continue;
        }
        // gate_<serial>_<qubits>, the qubit list in the host's text form.
        text.assign(utf8_of(in.kind_names[engine->kind(n)].ptr()));
        text += '_';
        text += std::to_string(first_serial + 1 + static_cast<long long>(engine->serial_index(n)));
        text += "_[";
        auto qs = engine->node_qubits(n);
        for (size_t k = 0; k < qs.size(); ++k) {
            if (k) text += ", ";
            text += std::to_string(qs[k]);
        }
        text += ']';
        nb::object name =
            checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        nb::object attributes = checked(PyDict_New());
        check(PyDict_SetItem(attributes.ptr(), keys.qubits,
                             in.circuit.qubit_list(engine->qubits_origin(n))) == 0);
        check(PyDict_SetItem(attributes.ptr(), keys.params, fused_params(n)) == 0);
        writer.add_node(n, name.ptr(), attributes.ptr());
    }
    // In the order the edges were added, so every _succ and every _pred dict
    // lists them as add_edges_from would have.
    for (dag::EdgeId e : engine->edges_in_insertion_order()) {
        poll.tick();
        const std::uint32_t origin = engine->edge_list_origin(e);
        nb::object list = origin != dag::kNone
                              ? in.circuit.edge_qubits(in.circuit.dependencies.edges[origin])
                              : int_list(engine->edge_qubits(e));
        nb::object data = checked(PyDict_New());
        check(PyDict_SetItem(data.ptr(), keys.qubit, list.ptr()) == 0);
        writer.add_edge(g.source(e), g.target(e), data.ptr());
    }
    writer.finish();
    graph.attr("graph")["qubits"] = qubits_copy;
    return graph;
}

}  // namespace corvane::bind::optimize
