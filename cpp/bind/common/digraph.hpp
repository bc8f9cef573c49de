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

#include <cstddef>
#include <initializer_list>
#include <vector>

namespace corvane::bind {

// The networkx module that defines DiGraph.
inline constexpr const char* kDiGraphModule = "networkx.classes.digraph";
// The DiGraph class of the networkx that is loaded (imported on first call).
nb::handle networkx_digraph_type();
// True when `graph`'s type is exactly networkx's DiGraph.
bool is_plain_digraph(nb::handle graph);

class DiGraphWriter {
  public:
    // Nodes are named by ids below `node_capacity` given by the caller.
    DiGraphWriter(nb::handle graph, std::size_t node_capacity);
    // A new node with `attributes` as its attribute dict (the dict is taken
    // over, as add_nodes_from would copy it into a fresh one). `name` must be
    // an exact str not yet in the graph.
    void add_node(std::size_t id, PyObject* name, PyObject* attributes);
    // A new edge between two added nodes, with `data` as its attribute dict.
    void add_edge(std::size_t source, std::size_t target, PyObject* data);
    // Clears networkx's cache of derived data, as its mutating methods do.
    void finish();

  private:
    nb::object graph_, node_, succ_, pred_;
    // Each added node's name and its successor and predecessor dicts, so that
    // adding an edge needs no lookup in the graph's large dicts. Borrowed:
    // the graph holds them, and no user code runs while the writer is in use.
    struct Node {
        PyObject *name = nullptr, *successors = nullptr, *predecessors = nullptr;
        bool tracked_successors = false,
             tracked_predecessors = false;  // by the writer, not by CPython
    };
    std::vector<Node> nodes_;
};

// The nodes (in node order) of a DiGraph with their attribute dicts, and its
// successor lists as a core Adjacency whose node ids are positions in that order.
//
// The objects are borrowed from the graph's dicts: that is sound while no
// user code runs, and saves touching every object twice more (a reference
// taken and dropped) on a walk that is bound by memory loads. Whoever is
// about to run code that could (a user type's __eq__, __getitem__, ...)
// calls hold() first.
struct DiGraphSnapshot {
    std::vector<PyObject*> nodes;
    std::vector<PyObject*> attributes;
    dag::Adjacency successors;

    // Takes a reference to every node and attribute dict (and to the objects
    // of `more`), once; from then on whatever is added must be kept.
    void hold(std::initializer_list<const std::vector<PyObject*>*> more = {});
    bool holding() const { return holding_; }
    void keep(PyObject* object) { held_.push_back(nb::borrow(object)); }

  private:
    std::vector<nb::object> held_;
    bool holding_ = false;
};
DiGraphSnapshot read_digraph(nb::handle graph);

// Hints the cache to load the entries of a dict, which live in its keys
// object, reached through the dict (which should be loaded by now).
[[gnu::always_inline]] inline void prefetch_dict_entries(PyObject* dict) {
    const char* keys =
        reinterpret_cast<const char*>(reinterpret_cast<PyDictObject*>(dict)->ma_keys);
    __builtin_prefetch(keys);
    __builtin_prefetch(keys + 64);
}

}  // namespace corvane::bind
