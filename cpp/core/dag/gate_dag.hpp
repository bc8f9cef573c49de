// The gate DAG of the engines: a directed graph with the ordering rules of an
// insertion-ordered adjacency map (the rules networkx's DiGraph follows).
//
// - Nodes are iterated in insertion order. Ids are handed out in that order
//   and never reused, so id order is node order.
// - Each node's successors (and predecessors) are iterated in the order their
//   edges were added. Adding an edge that exists keeps its place; an edge that
//   was removed and is added again goes to the end of both lists.
// - Removing a node removes its edges.
//
// Edges live in one pool threaded into per-node doubly linked lists, so adding
// and removing costs O(1) with no per-node allocation; removed edge slots are
// reused. Engines keep per-edge data in arrays indexed by EdgeId.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane::dag {

using NodeId = std::uint32_t;
using EdgeId = std::uint32_t;
inline constexpr std::uint32_t kNone = 0xffffffffu;

class GateDag {
  public:
    GateDag() = default;
    void reserve(std::size_t nodes, std::size_t edges);

    NodeId add_node();
    void remove_node(NodeId node);
    bool contains(NodeId node) const { return node < nodes_.size() && nodes_[node].alive; }

    // Adds (source, target), or returns the existing edge, which keeps its place.
    EdgeId add_edge(NodeId source, NodeId target);
    // Adds an edge the caller knows is new (building from an adjacency map).
    EdgeId append_edge(NodeId source, NodeId target);
    void remove_edge(EdgeId edge);
    // The edge source -> target, or kNone.
    EdgeId find_edge(NodeId source, NodeId target) const;

    std::size_t node_count() const { return live_nodes_; }
    std::size_t edge_count() const { return live_edges_; }
    // One past the largest node id handed out (dead ids included).
    std::size_t node_capacity() const { return nodes_.size(); }
    // One past the largest edge id in use or free, for sizing per-edge arrays.
    std::size_t edge_capacity() const { return edges_.size(); }

    std::uint32_t out_degree(NodeId node) const { return nodes_[node].out_degree; }
    std::uint32_t in_degree(NodeId node) const { return nodes_[node].in_degree; }

    EdgeId first_out(NodeId node) const { return nodes_[node].first_out; }
    EdgeId next_out(EdgeId edge) const { return edges_[edge].next_out; }
    EdgeId first_in(NodeId node) const { return nodes_[node].first_in; }
    EdgeId next_in(EdgeId edge) const { return edges_[edge].next_in; }
    NodeId source(EdgeId edge) const { return edges_[edge].source; }
    NodeId target(EdgeId edge) const { return edges_[edge].target; }

  private:
    struct Node {
        EdgeId first_out = kNone, last_out = kNone;
        EdgeId first_in = kNone, last_in = kNone;
        std::uint32_t out_degree = 0, in_degree = 0;
        bool alive = true;
    };
    struct Edge {
        NodeId source, target;
        EdgeId prev_out, next_out;
        EdgeId prev_in, next_in;
    };

    std::vector<Node> nodes_;
    std::vector<Edge> edges_;
    EdgeId free_edges_ = kNone;  // singly linked through next_out
    std::size_t live_nodes_ = 0;
    std::size_t live_edges_ = 0;
};

// Nodes in layers, the first layer first; `starts` has one entry per layer and
// a final entry equal to order.size().
struct Generations {
    std::vector<NodeId> order;
    std::vector<std::size_t> starts;
    // False when a cycle kept some nodes out of every layer; `order` then holds
    // the layers found before the cycle blocked the walk.
    bool acyclic = true;

    std::size_t size() const { return starts.empty() ? 0 : starts.size() - 1; }
    std::span<const NodeId> layer(std::size_t i) const {
        return {order.data() + starts[i], order.data() + starts[i + 1]};
    }
};

// The layers networkx's topological_generations yields for the graph: the
// sources in node order, then, layer by layer, each node's successors in edge
// order as their last incoming edge is consumed.
Generations topological_generations(const GateDag& dag);

// A read-only graph in compressed sparse row form: the successors of node u
// are targets[offsets[u] .. offsets[u + 1]), in edge order. Much smaller than
// a GateDag when a graph is only to be ordered.
struct Adjacency {
    std::vector<std::uint32_t> offsets{0};
    std::vector<NodeId> targets;

    std::size_t node_count() const { return offsets.size() - 1; }
};

// topological_generations (as above) of an Adjacency.
Generations topological_generations(const Adjacency& graph);

// The same for the graph that networkx's DiGraph.reverse() builds: its
// successor lists hold each node's predecessors in node order, because the
// reversed edges are added while walking the edges source by source.
Generations reversed_topological_generations(const GateDag& dag);

// The dependency edges of a gate list. Gate g acts on the dense qubit ids
// qubits[offsets[g] .. offsets[g+1]); an edge (u, g) exists when u is the last
// gate before g on one of g's qubits, and carries those qubits. Edges come in
// the order of their target, and for one target in the order of the target's
// qubits; `qubit_positions[first, last)` of an edge are the positions, in the
// target's qubit list, of the qubits it carries. A qubit named twice by one
// gate depends on the gate's earlier gate only once.
struct DependencyEdge {
    std::uint32_t source, target;
    std::uint32_t first, last;
};
struct Dependencies {
    std::vector<DependencyEdge> edges;
    std::vector<std::uint32_t> qubit_positions;
};
Dependencies dependency_edges(std::span<const std::uint32_t> offsets,
                              std::span<const std::uint32_t> qubits, std::size_t qubit_count);

// What each gate does to classical bits: gate g reads the dense bit ids
// reads[read_offsets[g] .. read_offsets[g+1]) and writes
// writes[write_offsets[g] .. write_offsets[g+1]).
struct ClassicalAccess {
    std::vector<std::uint32_t> read_offsets{0}, reads;
    std::vector<std::uint32_t> write_offsets{0}, writes;
    std::size_t cbit_count = 0;
};

// `qubit_edges` (as dependency_edges gives them) with the classical-bit
// dependencies added: a gate that reads a bit follows its last writer, and a
// gate that writes a bit follows its last writer and every reader since.
// A pair already joined by a qubit edge keeps that one edge; a new pair is an
// edge that carries no qubits, placed after its target's qubit edges, in the
// order the target's bits (reads, then writes) first name its source.
Dependencies with_classical_edges(Dependencies qubit_edges, const ClassicalAccess& access);

}  // namespace corvane::dag
