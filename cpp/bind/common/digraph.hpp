// Direct access to the dicts behind a networkx DiGraph.
//
// A DiGraph keeps node attributes in `_node`, successors in `_succ` (also
// `_adj`) and predecessors in `_pred`; an edge's attribute dict is one object
// shared by `_succ[u][v]` and `_pred[v][u]`. Filling these dicts in place, in
// the order add_nodes_from/add_edges_from would, gives a graph that cannot be
// told apart from one built through those methods, without their per-item
// Python overhead. Used only on graphs whose type is exactly networkx's DiGraph.
#pragma once

#include "common/pyfunction.hpp"
#include "dag/gate_dag.hpp"

#include <vector>

namespace corvane::bind {

// The DiGraph class of the networkx that is loaded.
nb::handle networkx_digraph_type();
// True when `graph`'s type is exactly networkx's DiGraph.
bool is_plain_digraph(nb::handle graph);

class DiGraphWriter {
public:
    explicit DiGraphWriter(nb::handle graph);
    // A new node with `attributes` as its attribute dict (the dict is taken
    // over, as add_nodes_from would copy it into a fresh one).
    void add_node(PyObject* name, PyObject* attributes);
    // A new edge between two existing nodes, with `data` as its attribute dict.
    void add_edge(PyObject* source, PyObject* target, PyObject* data);
    // Clears networkx's cache of derived data, as its mutating methods do.
    void finish();

private:
    nb::object graph_, node_, succ_, pred_;
};

// The nodes (in node order) of a DiGraph and its edges as a core GateDag whose
// node ids are positions in that order.
struct DiGraphSnapshot {
    std::vector<nb::object> nodes;
    std::vector<nb::object> attributes;
    dag::GateDag dag;
};
DiGraphSnapshot read_digraph(nb::handle graph);

}  // namespace corvane::bind
