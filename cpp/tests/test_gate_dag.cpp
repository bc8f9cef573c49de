#include "dag/gate_dag.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

namespace corvane::dag {
namespace {

std::vector<NodeId> successors(const GateDag& g, NodeId n) {
    std::vector<NodeId> out;
    for (EdgeId e = g.first_out(n); e != kNone; e = g.next_out(e)) out.push_back(g.target(e));
    return out;
}

std::vector<NodeId> predecessors(const GateDag& g, NodeId n) {
    std::vector<NodeId> out;
    for (EdgeId e = g.first_in(n); e != kNone; e = g.next_in(e)) out.push_back(g.source(e));
    return out;
}

std::vector<std::vector<NodeId>> layers(const Generations& gens) {
    std::vector<std::vector<NodeId>> out;
    for (size_t i = 0; i < gens.size(); ++i)
        out.emplace_back(gens.layer(i).begin(), gens.layer(i).end());
    return out;
}

GateDag graph(size_t nodes, const std::vector<std::pair<NodeId, NodeId>>& edges) {
    GateDag g;
    for (size_t i = 0; i < nodes; ++i) g.add_node();
    for (auto [u, v] : edges) g.add_edge(u, v);
    return g;
}

// The same graph in CSR form, each node's successors in edge order.
Adjacency adjacency(size_t nodes, const std::vector<std::pair<NodeId, NodeId>>& edges) {
    Adjacency a;
    for (NodeId u = 0; u < nodes; ++u) {
        for (auto [s, t] : edges)
            if (s == u) a.targets.push_back(t);
        a.offsets.push_back(static_cast<std::uint32_t>(a.targets.size()));
    }
    return a;
}

TEST(GateDag, UpdatedEdgeKeepsItsPlaceReaddedEdgeGoesLast) {
    GateDag g = graph(4, {{0, 1}, {0, 2}, {0, 3}});
    EdgeId first = g.find_edge(0, 1);
    EXPECT_EQ(g.add_edge(0, 1), first);
    EXPECT_EQ(successors(g, 0), (std::vector<NodeId>{1, 2, 3}));
    g.remove_edge(first);
    g.add_edge(0, 1);
    EXPECT_EQ(successors(g, 0), (std::vector<NodeId>{2, 3, 1}));
    EXPECT_EQ(g.edge_count(), 3u);
}

TEST(GateDag, RemovingANodeRemovesItsEdgesAndKeepsTheOrderOfTheRest) {
    GateDag g = graph(4, {{0, 1}, {1, 2}, {0, 2}, {2, 3}, {1, 3}});
    g.remove_node(1);
    EXPECT_FALSE(g.contains(1));
    EXPECT_EQ(g.node_count(), 3u);
    EXPECT_EQ(g.edge_count(), 2u);
    EXPECT_EQ(successors(g, 0), (std::vector<NodeId>{2}));
    EXPECT_EQ(predecessors(g, 3), (std::vector<NodeId>{2}));
    // Freed edge slots are reused without disturbing list order.
    g.add_edge(0, 3);
    EXPECT_EQ(successors(g, 0), (std::vector<NodeId>{2, 3}));
    EXPECT_EQ(predecessors(g, 3), (std::vector<NodeId>{2, 0}));
}

struct GenerationCase {
    const char* name;
    size_t nodes;
    std::vector<std::pair<NodeId, NodeId>> edges;
    std::vector<std::vector<NodeId>> forward;
    std::vector<std::vector<NodeId>> reversed;
};

class Layering : public ::testing::TestWithParam<GenerationCase> {};

TEST_P(Layering, MatchesTheOrderOfTopologicalGenerations) {
    const auto& c = GetParam();
    GateDag g = graph(c.nodes, c.edges);
    EXPECT_EQ(layers(topological_generations(g)), c.forward);
    EXPECT_EQ(layers(topological_generations(adjacency(c.nodes, c.edges))), c.forward);
    EXPECT_EQ(layers(reversed_topological_generations(g)), c.reversed);
}

// Expected layers were produced with networkx: topological_generations(G)
// and topological_generations(G.reverse()).
INSTANTIATE_TEST_SUITE_P(
    Graphs, Layering,
    ::testing::Values(
        GenerationCase{"empty", 0, {}, {}, {}},
        GenerationCase{"isolated", 3, {}, {{0, 1, 2}}, {{0, 1, 2}}},
        // Children join a layer in the order their last incoming edge is consumed.
        GenerationCase{
            "diamond", 4, {{0, 2}, {0, 1}, {1, 3}, {2, 3}}, {{0}, {2, 1}, {3}}, {{3}, {1, 2}, {0}}},
        // Reversed successor lists follow node order, not edge insertion order.
        GenerationCase{
            "preds_out_of_order", 4, {{2, 3}, {0, 3}, {1, 3}}, {{0, 1, 2}, {3}}, {{3}, {0, 1, 2}}},
        GenerationCase{"chain_and_side",
                       5,
                       {{0, 1}, {1, 2}, {3, 2}, {2, 4}},
                       {{0, 3}, {1}, {2}, {4}},
                       {{4}, {2}, {1, 3}, {0}}}),
    [](const auto& info) { return info.param.name; });

TEST(GateDag, CycleStopsTheLayeringAndIsReported) {
    GateDag g = graph(4, {{0, 1}, {1, 2}, {2, 1}, {0, 3}});
    Generations gens = topological_generations(g);
    EXPECT_FALSE(gens.acyclic);
    EXPECT_EQ(layers(gens), (std::vector<std::vector<NodeId>>{{0}, {3}}));
    GateDag loop = graph(1, {{0, 0}});
    EXPECT_FALSE(topological_generations(loop).acyclic);
    Generations csr = topological_generations(adjacency(4, {{0, 1}, {1, 2}, {2, 1}, {0, 3}}));
    EXPECT_FALSE(csr.acyclic);
    EXPECT_EQ(layers(csr), (std::vector<std::vector<NodeId>>{{0}, {3}}));
    EXPECT_FALSE(topological_generations(adjacency(1, {{0, 0}})).acyclic);
}

TEST(GateDag, RemovedNodesAreSkippedByTheLayering) {
    GateDag g = graph(3, {{0, 1}, {1, 2}});
    g.remove_node(1);
    EXPECT_EQ(layers(topological_generations(g)), (std::vector<std::vector<NodeId>>{{0, 2}}));
}

struct DependencyCase {
    const char* name;
    std::vector<std::vector<std::uint32_t>> gates;
    // (source, target, positions in the target's qubit list)
    std::vector<std::tuple<std::uint32_t, std::uint32_t, std::vector<std::uint32_t>>> edges;
};

class Dependency : public ::testing::TestWithParam<DependencyCase> {};

TEST_P(Dependency, LinksEachGateToTheLastGateOnEachOfItsQubits) {
    const auto& c = GetParam();
    std::vector<std::uint32_t> offsets{0}, qubits;
    std::uint32_t qubit_count = 0;
    for (const auto& gate : c.gates) {
        for (auto q : gate) {
            qubits.push_back(q);
            qubit_count = std::max(qubit_count, q + 1);
        }
        offsets.push_back(static_cast<std::uint32_t>(qubits.size()));
    }
    Dependencies deps = dependency_edges(offsets, qubits, qubit_count);
    ASSERT_EQ(deps.edges.size(), c.edges.size());
    for (size_t i = 0; i < c.edges.size(); ++i) {
        const auto& [source, target, positions] = c.edges[i];
        EXPECT_EQ(deps.edges[i].source, source) << i;
        EXPECT_EQ(deps.edges[i].target, target) << i;
        std::vector<std::uint32_t> got(deps.qubit_positions.begin() + deps.edges[i].first,
                                       deps.qubit_positions.begin() + deps.edges[i].last);
        EXPECT_EQ(got, positions) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Circuits, Dependency,
    ::testing::Values(DependencyCase{"no_gates", {}, {}},
                      DependencyCase{"chain", {{0}, {0}, {0}}, {{0, 1, {0}}, {1, 2, {0}}}},
                      // One edge per predecessor, carrying every qubit it hands over.
                      DependencyCase{"shared_pair", {{0, 1}, {1, 0}}, {{0, 1, {0, 1}}}},
                      // Edges of one target follow the target's qubit order.
                      DependencyCase{"fan_in", {{2}, {0}, {1, 2, 0}}, {{0, 2, {1}}, {1, 2, {2}}}},
                      DependencyCase{"interleaved",
                                     {{0, 1}, {1}, {0, 1, 2}},
                                     {{0, 1, {0}}, {0, 2, {0}}, {1, 2, {1}}}},
                      // A qubit named twice depends on the earlier gate once, never on itself.
                      DependencyCase{"repeated_qubit", {{0}, {0, 0}}, {{0, 1, {0}}}}),
    [](const auto& info) { return info.param.name; });

struct ClassicalCase {
    const char* name;
    std::vector<std::vector<std::uint32_t>> qubits, reads, writes;  // per gate
    std::vector<std::pair<std::uint32_t, std::uint32_t>> edges;     // (source, target) in order
};

class Classical : public ::testing::TestWithParam<ClassicalCase> {};

TEST_P(Classical, OrdersReadsAfterWritesAndWritesAfterBoth) {
    const auto& c = GetParam();
    std::vector<std::uint32_t> offsets{0}, qubits;
    ClassicalAccess access;
    std::uint32_t qubit_count = 0;
    for (size_t g = 0; g < c.qubits.size(); ++g) {
        for (auto q : c.qubits[g]) {
            qubits.push_back(q);
            qubit_count = std::max(qubit_count, q + 1);
        }
        offsets.push_back(static_cast<std::uint32_t>(qubits.size()));
        for (auto b : c.reads[g]) access.reads.push_back(b);
        for (auto b : c.writes[g]) access.writes.push_back(b);
        access.read_offsets.push_back(static_cast<std::uint32_t>(access.reads.size()));
        access.write_offsets.push_back(static_cast<std::uint32_t>(access.writes.size()));
        for (auto b : c.reads[g])
            access.cbit_count = std::max<std::size_t>(access.cbit_count, b + 1);
        for (auto b : c.writes[g])
            access.cbit_count = std::max<std::size_t>(access.cbit_count, b + 1);
    }
    Dependencies deps =
        with_classical_edges(dependency_edges(offsets, qubits, qubit_count), access);
    std::vector<std::pair<std::uint32_t, std::uint32_t>> got;
    for (const auto& e : deps.edges) got.emplace_back(e.source, e.target);
    EXPECT_EQ(got, c.edges);
}

INSTANTIATE_TEST_SUITE_P(
    Circuits, Classical,
    ::testing::Values(
        // measure q0 -> c0, then a conditional on c0 acting on q1.
        ClassicalCase{"read_after_write", {{0}, {1}}, {{}, {0}}, {{0}, {}}, {{0, 1}}},
        // Two reads of one bit stay unordered; the next write follows both.
        ClassicalCase{"write_after_reads",
                      {{0}, {1}, {2}, {3}},
                      {{}, {0}, {0}, {}},
                      {{0}, {}, {}, {0}},
                      {{0, 1}, {0, 2}, {0, 3}, {1, 3}, {2, 3}}},
        // A pair already joined by a qubit keeps its one edge.
        ClassicalCase{"shared_qubit", {{0}, {0}}, {{}, {0}}, {{0}, {}}, {{0, 1}}},
        // Qubit edges of a target come before its classical ones.
        ClassicalCase{
            "qubit_edges_first", {{0}, {1}, {1}}, {{}, {}, {0}}, {{0}, {}, {}}, {{1, 2}, {0, 2}}}),
    [](const auto& info) { return info.param.name; });

}  // namespace
}  // namespace corvane::dag
