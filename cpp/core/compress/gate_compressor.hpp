// The gate-compression engine: repeatedly merges the first mergeable pair of
// a gate DAG, in the order of an insertion-ordered adjacency map (nodes in
// insertion order, each node's out-edges in insertion order), until no pair
// is left.
//
// A pair (u, v) is mergeable when the edge u -> v joins two gates of the same
// name, that name is compressible, both act on the same qubits in the same
// order, u has no other successor and v no other predecessor; two "r" gates
// also need equal phi. Because u then has exactly one out-edge, every source
// node contributes at most one mergeable edge, so the first mergeable edge in
// edge order is the one with the smallest source id: the engine keeps the
// mergeable edges in a set ordered by source id and, after each merge,
// re-examines only the edges of the nodes whose degrees changed.
//
// Everything the host would compute in its own arithmetic is reproduced
// exactly: parameter sums keep ints exact (int + int stays an int), matrices
// come from gates::, the identity test is numpy's allclose with its default
// tolerances, and the two operations whose last bits belong to the host (the
// order of list(set(...)) and the matrix product of two "u" gates) go through
// hooks the caller supplies.
#pragma once

#include "dag/gate_dag.hpp"
#include "gates/gate_matrices.hpp"
#include "gates/gate_table.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <span>
#include <utility>
#include <vector>

namespace corvane::compress {

using dag::EdgeId;
using dag::kNone;
using dag::NodeId;

// The merge rule of a gate, in the order the pass tests the categories; `none`
// for a name in none of the five categories (the pass cannot merge it).
enum class Rule : std::uint8_t {
    one_qubit,
    one_qubit_parameter,
    two_qubit,
    two_qubit_parameter,
    three_qubit,
    none,
};

// The matrix function of a parameter gate, as the gate table names it.
using MatrixKind = gates::ParametricMatrix;

// The number of parameters the matrix function of `kind` takes.
std::size_t parameter_count(MatrixKind kind);

// The matrix function the circuit model names `name` ("rx" -> rx), or none.
MatrixKind matrix_kind_of(std::string_view name);

// Whether the matrix of `kind` at `values` (parameter_count(kind) of them) is
// the identity as numpy.allclose(m, eye(n)) tells it: the one test both the
// identity-gate filter and the merge of a parameter pair use.
bool matrix_is_identity(MatrixKind kind, const double* values);

// A parameter as the host holds it: an int, kept exact, or a float.
struct Number {
    double value;              // the float, or the int as a double
    std::int64_t integer = 0;  // the int, when is_int
    bool is_int = false;

    static Number of_float(double v) { return {v, 0, false}; }
    static Number of_int(std::int64_t v) { return {static_cast<double>(v), v, true}; }
};

// Ints beyond this magnitude do not convert to doubles exactly.
inline constexpr std::int64_t kExactIntLimit = std::int64_t{1} << 53;

struct GateKind {
    Rule rule = Rule::none;
    MatrixKind matrix = MatrixKind::none;  // for the parameter rules
    bool compressible = false;
    bool is_r = false;  // the name is "r": a pair also needs equal phi
};

// What the engine knows of a gate named `name` that the category mappings put
// under `rule` (the first of them holding it; `memberships` counts them all)
// and that is or is not listed as compressible. Empty when the engine does
// not reproduce what the generic path does with such a gate (a compressible
// gate in two categories, a parameter gate without its matrix function).
std::optional<GateKind> describe_gate(std::string_view name, Rule rule, int memberships,
                                      bool compressible);

// The gate DAG the engine starts from. Nodes are numbered in node order;
// edges are listed in the order they were added.
struct Circuit {
    std::vector<GateKind> kinds;
    std::vector<std::uint32_t> node_kind;
    std::vector<std::uint32_t> qubit_offsets{0};  // node i: qubits[qubit_offsets[i] .. [i+1])
    std::vector<std::int64_t> qubits;
    std::vector<std::uint32_t> param_offsets{0};
    std::vector<Number> params;
    struct Edge {
        NodeId source, target;
        std::uint32_t first, last;  // edge_qubits[first .. last)
    };
    std::vector<Edge> edges;
    std::vector<std::int64_t> edge_qubits;

    std::size_t node_count() const { return node_kind.size(); }
};

struct Hooks {
    // Replaces `items` by list(set(items)) in the host's iteration order.
    std::function<void(std::vector<std::int64_t>& items)> deduplicate;
    // later @ earlier, as the host's matrix product computes it.
    std::function<gates::Matrix2(const gates::Matrix2& later, const gates::Matrix2& earlier)>
        multiply;
};

// Hooks for use without a host: first occurrences in order, and the textbook
// product.
Hooks plain_hooks();

// numpy.allclose(m, eye(dim)) with rtol 1e-05 and atol 1e-08: NaN is never close.
bool allclose_identity(const gates::cplx* m, std::size_t dim);

enum class Outcome : std::uint8_t {
    done,
    // The first mergeable pair has a gate of no category; the graph is as it
    // was before that pair.
    no_rule,
    // Two "u" gates whose product has an entry that is not finite; the graph
    // is as it was before that pair and failed_product() holds the product.
    u3_not_finite,
    // A value left what the engine reproduces exactly (an int sum beyond
    // 2**53); nothing of the result may be used.
    unsupported,
};

class Engine {
  public:
    // Takes the circuit over: pass an rvalue to avoid copying its arrays.
    Engine(Circuit circuit, Hooks hooks);
    Outcome run();

    const dag::GateDag& graph() const { return graph_; }
    std::size_t original_count() const { return original_count_; }
    bool is_original(NodeId n) const { return n < original_count_; }
    std::uint32_t kind(NodeId n) const { return node_kind_[n]; }

    // A node's qubits; the original node whose qubit list it carries (a fused
    // node takes over the list of the first gate of its pair).
    std::span<const std::int64_t> node_qubits(NodeId n) const;
    NodeId qubits_origin(NodeId n) const { return qubits_origin_[n]; }
    std::span<const Number> node_params(NodeId n) const;
    // For a node a merge created: how many serials were drawn before its own.
    std::uint64_t serial_index(NodeId n) const { return serial_[n - original_count_]; }
    std::uint64_t serials_drawn() const { return serials_; }
    std::uint64_t merges() const { return merges_; }

    // Live edges in the order they were added (an updated edge keeps its place).
    std::vector<EdgeId> edges_in_insertion_order() const;
    std::span<const std::int64_t> edge_qubits(EdgeId e) const;
    // The input edge whose qubit list an edge carries unchanged, or kNone.
    std::uint32_t edge_list_origin(EdgeId e) const { return lists_[e].origin; }

    NodeId failed_first() const { return failed_first_; }
    NodeId failed_second() const { return failed_second_; }
    const gates::Matrix2& failed_product() const { return failed_product_; }

  private:
    struct ListRef {
        std::uint32_t offset = 0, size = 0;
        std::uint32_t origin = kNone;
    };
    struct Span {
        std::uint32_t offset = 0, size = 0;
    };
    struct NewEdge {
        NodeId source, target;
        ListRef list;
    };

    // The set of mergeable edges, by source id: a hierarchy of bit words.
    class SourceSet {
      public:
        void reserve(std::size_t ids);
        void insert(std::uint32_t id);
        void erase(std::uint32_t id);
        std::uint32_t first() const;

      private:
        std::vector<std::vector<std::uint64_t>> levels_;
    };

    bool static_pair(NodeId u, NodeId v) const;
    void consider(EdgeId e);
    void forget(EdgeId e);
    void refresh(NodeId n);
    void forget_incident(NodeId n);

    ListRef new_list(std::span<const std::int64_t> items);
    NodeId add_fused(NodeId first, std::span<const Number> params);
    void apply(NodeId n1, NodeId n2, NodeId fused);

    void relink_one(NodeId n1, NodeId n2);
    void relink_many(NodeId n1, NodeId n2);
    void link_fused_one(NodeId n1, NodeId n2, NodeId fused);
    void link_fused_many(NodeId n1, NodeId n2, NodeId fused);
    void collect_neighbours(NodeId n1, NodeId n2);
    // The merged parameters of a parameter pair; false when the engine cannot
    // reproduce them (outcome set).
    bool merged_params(const GateKind& kind, NodeId n1, NodeId n2, Outcome& outcome);
    bool merged_is_identity(MatrixKind kind) const;

    Hooks hooks_;
    std::vector<GateKind> kinds_;
    std::size_t original_count_;
    dag::GateDag graph_;

    // Per node id.
    std::vector<std::uint32_t> node_kind_;
    std::vector<Span> qubits_;
    std::vector<NodeId> qubits_origin_;
    std::vector<Span> params_;
    std::vector<std::uint64_t> serial_;  // per fused node
    std::vector<EdgeId> mergeable_out_, mergeable_in_;
    // Per edge id.
    std::vector<std::uint64_t> seq_;
    std::vector<ListRef> lists_;
    std::vector<std::uint8_t> in_set_;

    std::vector<std::int64_t> node_qubit_pool_;
    std::vector<std::int64_t> list_pool_;
    std::vector<Number> param_pool_;
    SourceSet set_;
    std::uint64_t next_seq_ = 0;
    std::uint64_t serials_ = 0;
    std::uint64_t merges_ = 0;

    // Scratch of one merge.
    std::vector<std::pair<NodeId, ListRef>> preds_, succs_;
    std::vector<NewEdge> new_edges_;
    std::vector<Number> merged_;
    std::vector<std::int64_t> scratch_;

    NodeId failed_first_ = kNone, failed_second_ = kNone;
    gates::Matrix2 failed_product_{};
};

}  // namespace corvane::compress
