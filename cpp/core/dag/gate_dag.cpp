#include "dag/gate_dag.hpp"
#include "common/interrupt.hpp"

#include <cassert>
#include <stdexcept>

namespace corvane::dag {

void GateDag::reserve(std::size_t nodes, std::size_t edges) {
    nodes_.reserve(nodes);
    edges_.reserve(edges);
}

NodeId GateDag::add_node() {
    if (nodes_.size() >= kNone) throw std::length_error("gate DAG: too many nodes");
    nodes_.emplace_back();
    ++live_nodes_;
    return static_cast<NodeId>(nodes_.size() - 1);
}

void GateDag::remove_node(NodeId node) {
    assert(contains(node));
    while (nodes_[node].first_out != kNone) remove_edge(nodes_[node].first_out);
    while (nodes_[node].first_in != kNone) remove_edge(nodes_[node].first_in);
    nodes_[node].alive = false;
    --live_nodes_;
}

EdgeId GateDag::find_edge(NodeId source, NodeId target) const {
    // Walk the shorter of the two lists: gate nodes have a handful of edges,
    // only wide barriers have many.
    if (nodes_[source].out_degree <= nodes_[target].in_degree) {
        for (EdgeId e = nodes_[source].first_out; e != kNone; e = edges_[e].next_out)
            if (edges_[e].target == target) return e;
    } else {
        for (EdgeId e = nodes_[target].first_in; e != kNone; e = edges_[e].next_in)
            if (edges_[e].source == source) return e;
    }
    return kNone;
}

EdgeId GateDag::add_edge(NodeId source, NodeId target) {
    assert(contains(source) && contains(target));
    if (EdgeId existing = find_edge(source, target); existing != kNone) return existing;
    return append_edge(source, target);
}

EdgeId GateDag::append_edge(NodeId source, NodeId target) {
    assert(contains(source) && contains(target) && find_edge(source, target) == kNone);
    EdgeId e;
    if (free_edges_ != kNone) {
        e = free_edges_;
        free_edges_ = edges_[e].next_out;
    } else {
        if (edges_.size() >= kNone) throw std::length_error("gate DAG: too many edges");
        e = static_cast<EdgeId>(edges_.size());
        edges_.emplace_back();
    }
    Node& s = nodes_[source];
    Node& t = nodes_[target];
    edges_[e] = Edge{source, target, s.last_out, kNone, t.last_in, kNone};
    if (s.last_out != kNone)
        edges_[s.last_out].next_out = e;
    else
        s.first_out = e;
    s.last_out = e;
    if (t.last_in != kNone)
        edges_[t.last_in].next_in = e;
    else
        t.first_in = e;
    t.last_in = e;
    ++s.out_degree;
    ++t.in_degree;
    ++live_edges_;
    return e;
}

void GateDag::remove_edge(EdgeId e) {
    Edge& edge = edges_[e];
    Node& s = nodes_[edge.source];
    Node& t = nodes_[edge.target];
    if (edge.prev_out != kNone)
        edges_[edge.prev_out].next_out = edge.next_out;
    else
        s.first_out = edge.next_out;
    if (edge.next_out != kNone)
        edges_[edge.next_out].prev_out = edge.prev_out;
    else
        s.last_out = edge.prev_out;
    if (edge.prev_in != kNone)
        edges_[edge.prev_in].next_in = edge.next_in;
    else
        t.first_in = edge.next_in;
    if (edge.next_in != kNone)
        edges_[edge.next_in].prev_in = edge.prev_in;
    else
        t.last_in = edge.prev_in;
    --s.out_degree;
    --t.in_degree;
    --live_edges_;
    edge = Edge{kNone, kNone, kNone, free_edges_, kNone, kNone};
    free_edges_ = e;
}

namespace {

// Kahn's layering over successor lists given as a callback, in the exact
// order of networkx's topological_generations.
// Node ids run over [0, capacity); `live_count` of them pass `is_live`.
template <class IsLive, class ForEachSuccessor>
Generations layer(std::size_t capacity, std::size_t live_count, IsLive&& is_live,
                  std::vector<std::uint32_t>& indegree, ForEachSuccessor&& for_each_successor) {
    Generations result;
    result.order.reserve(live_count);
    for (NodeId n = 0; n < capacity; ++n)
        if (is_live(n) && indegree[n] == 0) result.order.push_back(n);
    std::size_t begin = 0;
    InterruptPoll poll;
    while (begin < result.order.size()) {
        const std::size_t end = result.order.size();
        result.starts.push_back(begin);
        for (std::size_t i = begin; i < end; ++i) {
            poll.tick();
            for_each_successor(result.order[i], [&](NodeId child) {
                if (--indegree[child] == 0) result.order.push_back(child);
            });
        }
        begin = end;
    }
    if (!result.starts.empty()) result.starts.push_back(result.order.size());
    result.acyclic = result.order.size() == live_count;
    return result;
}

template <class ForEachSuccessor>
Generations layer(const GateDag& dag, std::vector<std::uint32_t>& indegree,
                  ForEachSuccessor&& for_each_successor) {
    return layer(
        dag.node_capacity(), dag.node_count(), [&](NodeId n) { return dag.contains(n); }, indegree,
        for_each_successor);
}

}  // namespace

Generations topological_generations(const GateDag& dag) {
    std::vector<std::uint32_t> indegree(dag.node_capacity(), 0);
    for (NodeId n = 0; n < dag.node_capacity(); ++n)
        if (dag.contains(n)) indegree[n] = dag.in_degree(n);
    return layer(dag, indegree, [&](NodeId node, auto&& visit) {
        for (EdgeId e = dag.first_out(node); e != kNone; e = dag.next_out(e)) visit(dag.target(e));
    });
}

Generations topological_generations(const Adjacency& graph) {
    const std::size_t n = graph.node_count();
    std::vector<std::uint32_t> indegree(n, 0);
    // Random increments over millions of nodes: long enough to poll.
    InterruptPoll poll;
    for (NodeId target : graph.targets) {
        poll.tick();
        ++indegree[target];
    }
    return layer(
        n, n, [](NodeId) { return true; }, indegree,
        [&](NodeId node, auto&& visit) {
            for (std::uint32_t i = graph.offsets[node]; i < graph.offsets[node + 1]; ++i)
                visit(graph.targets[i]);
        });
}

Generations reversed_topological_generations(const GateDag& dag) {
    // Successor lists of the reversed graph in CSR form: walking sources in
    // node order and appending each source to its targets' lists leaves every
    // list sorted by node order.
    const std::size_t n = dag.node_capacity();
    std::vector<std::uint32_t> offsets(n + 1, 0);
    for (NodeId v = 0; v < n; ++v)
        if (dag.contains(v)) offsets[v + 1] = dag.in_degree(v);
    for (std::size_t v = 0; v < n; ++v) offsets[v + 1] += offsets[v];
    std::vector<NodeId> reversed_successors(offsets[n]);
    std::vector<std::uint32_t> fill(offsets.begin(), offsets.end() - 1);
    std::vector<std::uint32_t> indegree(n, 0);
    for (NodeId u = 0; u < n; ++u) {
        if (!dag.contains(u)) continue;
        indegree[u] = dag.out_degree(u);
        for (EdgeId e = dag.first_out(u); e != kNone; e = dag.next_out(e))
            reversed_successors[fill[dag.target(e)]++] = u;
    }
    return layer(dag, indegree, [&](NodeId node, auto&& visit) {
        for (std::uint32_t i = offsets[node]; i < offsets[node + 1]; ++i)
            visit(reversed_successors[i]);
    });
}

Dependencies dependency_edges(std::span<const std::uint32_t> offsets,
                              std::span<const std::uint32_t> qubits, std::size_t qubit_count) {
    Dependencies result;
    const std::size_t gate_count = offsets.empty() ? 0 : offsets.size() - 1;
    std::vector<std::uint32_t> last_gate(qubit_count, kNone);
    // Per source gate: the gate whose edges are being built when it was last
    // seen, and the index of its edge in result.edges.
    std::vector<std::uint32_t> seen_by(gate_count, kNone);
    std::vector<std::uint32_t> edge_of(gate_count, 0);
    std::vector<std::uint32_t> source_at;  // per qubit position of the current gate
    result.edges.reserve(gate_count);
    result.qubit_positions.reserve(qubits.size());

    InterruptPoll poll;
    for (std::uint32_t g = 0; g < gate_count; ++g) {
        poll.tick();
        const std::uint32_t begin = offsets[g], end = offsets[g + 1];
        const std::size_t first_edge = result.edges.size();
        source_at.assign(end - begin, kNone);
        for (std::uint32_t p = begin; p < end; ++p) {
            const std::uint32_t q = qubits[p];
            const std::uint32_t prev = last_gate[q];
            last_gate[q] = g;
            if (prev == kNone || prev == g) continue;
            source_at[p - begin] = prev;
            if (seen_by[prev] != g) {
                seen_by[prev] = g;
                edge_of[prev] = static_cast<std::uint32_t>(result.edges.size());
                result.edges.push_back({prev, g, 0, 0});
            }
            ++result.edges[edge_of[prev]].last;  // count for now
        }
        // Turn counts into slices of qubit_positions, then fill them in order.
        auto cursor = static_cast<std::uint32_t>(result.qubit_positions.size());
        for (std::size_t e = first_edge; e < result.edges.size(); ++e) {
            const std::uint32_t count = result.edges[e].last;
            result.edges[e].first = result.edges[e].last = cursor;
            cursor += count;
        }
        result.qubit_positions.resize(cursor);
        for (std::uint32_t p = 0; p < end - begin; ++p) {
            if (source_at[p] == kNone) continue;
            DependencyEdge& edge = result.edges[edge_of[source_at[p]]];
            result.qubit_positions[edge.last++] = p;
        }
    }
    return result;
}

Dependencies with_classical_edges(Dependencies qubit_edges, const ClassicalAccess& access) {
    const std::size_t gate_count = access.read_offsets.size() - 1;
    Dependencies result;
    result.qubit_positions = std::move(qubit_edges.qubit_positions);
    result.edges.reserve(qubit_edges.edges.size());
    std::vector<std::uint32_t> last_writer(access.cbit_count, kNone);
    std::vector<std::vector<std::uint32_t>> readers_since(access.cbit_count);
    std::vector<std::uint32_t> joined_to(gate_count, kNone);  // per source: last target joined
    std::size_t next_qubit_edge = 0;

    InterruptPoll poll;
    for (std::uint32_t g = 0; g < gate_count; ++g) {
        poll.tick();
        for (; next_qubit_edge < qubit_edges.edges.size() &&
               qubit_edges.edges[next_qubit_edge].target == g;
             ++next_qubit_edge) {
            joined_to[qubit_edges.edges[next_qubit_edge].source] = g;
            result.edges.push_back(qubit_edges.edges[next_qubit_edge]);
        }
        auto join = [&](std::uint32_t source) {
            if (source == kNone || source == g || joined_to[source] == g) return;
            joined_to[source] = g;
            result.edges.push_back({source, g, 0, 0});
        };
        for (std::uint32_t k = access.read_offsets[g]; k < access.read_offsets[g + 1]; ++k) {
            const std::uint32_t bit = access.reads[k];
            join(last_writer[bit]);
            readers_since[bit].push_back(g);
        }
        for (std::uint32_t k = access.write_offsets[g]; k < access.write_offsets[g + 1]; ++k) {
            const std::uint32_t bit = access.writes[k];
            join(last_writer[bit]);
            for (std::uint32_t reader : readers_since[bit]) join(reader);
            readers_since[bit].clear();
            last_writer[bit] = g;
        }
    }
    return result;
}

}  // namespace corvane::dag
