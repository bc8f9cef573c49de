#include "compress/gate_compressor.hpp"
#include "common/interrupt.hpp"

#include "decompose/u3_decompose.hpp"
#include "gates/gate_table.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <utility>

namespace corvane::compress {

namespace {

using gates::cplx;

// a + b with the host's rules: int + int is an exact int, anything with a
// float is the float sum of the two values. False when an int sum leaves the
// range in which ints and doubles agree.
bool add(Number a, Number b, Number& out) {
    if (a.is_int && b.is_int) {
        const std::int64_t sum = a.integer + b.integer;  // both below 2**53: no overflow
        if (sum >= kExactIntLimit || sum <= -kExactIntLimit) return false;
        out = Number::of_int(sum);
        return true;
    }
    out = Number::of_float(a.value + b.value);
    return true;
}

}  // namespace

std::size_t parameter_count(MatrixKind kind) {
    return kind == MatrixKind::none ? 0 : gates::row_of(kind).nparams;
}

MatrixKind matrix_kind_of(std::string_view name) {
    const gates::GateRow* row = gates::find_gate(name);
    return row ? row->parametric : MatrixKind::none;
}

bool matrix_is_identity(MatrixKind kind, const double* v) {
    if (kind == MatrixKind::none) return false;
    const gates::GateRow& row = gates::row_of(kind);
    std::array<cplx, 16> m;
    row.matrix(v, m.data());
    return allclose_identity(m.data(), gates::matrix_dim(row));
}

std::optional<GateKind> describe_gate(std::string_view name, Rule rule, int memberships,
                                      bool compressible) {
    GateKind kind;
    kind.rule = rule;
    kind.compressible = compressible;
    const gates::GateRow* row = gates::find_gate(name);
    kind.is_r = row && row->merge == gates::Merge::adds_angle_on_same_axis;
    if (!compressible) return kind;
    if (memberships > 1) return std::nullopt;
    if (rule == Rule::one_qubit_parameter || rule == Rule::two_qubit_parameter) {
        kind.matrix = row ? row->parametric : MatrixKind::none;
        if (kind.matrix == MatrixKind::none) return std::nullopt;
        const bool two_qubit_matrix = gates::row_of(kind.matrix).nqubits == 2;
        if ((rule == Rule::one_qubit_parameter) == two_qubit_matrix) return std::nullopt;
    }
    if (kind.is_r && rule != Rule::one_qubit_parameter) return std::nullopt;
    return kind;
}

Hooks plain_hooks() {
    Hooks hooks;
    hooks.deduplicate = [](std::vector<std::int64_t>& items) {
        std::vector<std::int64_t> kept;
        for (std::int64_t q : items)
            if (std::find(kept.begin(), kept.end(), q) == kept.end()) kept.push_back(q);
        items.swap(kept);
    };
    hooks.multiply = [](const gates::Matrix2& a, const gates::Matrix2& b) {
        return gates::Matrix2{a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3],
                              a[2] * b[0] + a[3] * b[2], a[2] * b[1] + a[3] * b[3]};
    };
    return hooks;
}

bool allclose_identity(const cplx* m, std::size_t dim) {
    // |m - I| <= atol + rtol * |I| entry by entry, the bound computed as numpy
    // computes it; a NaN difference compares false.
    const double on_diagonal = 1e-08 + 1e-05 * 1.0;
    const double off_diagonal = 1e-08 + 1e-05 * 0.0;
    for (std::size_t r = 0; r < dim; ++r) {
        for (std::size_t c = 0; c < dim; ++c) {
            const cplx v = m[r * dim + c];
            const double expected = r == c ? 1.0 : 0.0;
            const double distance = std::hypot(v.real() - expected, v.imag() - 0.0);
            if (!(distance <= (r == c ? on_diagonal : off_diagonal))) return false;
        }
    }
    return true;
}

// ---- the set of mergeable edges ---------------------------------------------------

void Engine::SourceSet::reserve(std::size_t ids) {
    const std::size_t have = levels_.empty() ? 0 : levels_[0].size() * 64;
    if (ids <= have) return;
    std::vector<std::uint64_t> bottom =
        levels_.empty() ? std::vector<std::uint64_t>{} : std::move(levels_[0]);
    const std::size_t words = std::max((ids + 63) / 64, bottom.size() * 2);
    bottom.resize(words, 0);
    levels_.clear();
    levels_.push_back(std::move(bottom));
    while (levels_.back().size() > 1) {
        const auto& below = levels_.back();
        std::vector<std::uint64_t> above((below.size() + 63) / 64, 0);
        for (std::size_t w = 0; w < below.size(); ++w)
            if (below[w]) above[w >> 6] |= std::uint64_t{1} << (w & 63);
        levels_.push_back(std::move(above));
    }
}

void Engine::SourceSet::insert(std::uint32_t id) {
    std::size_t i = id;
    for (auto& level : levels_) {
        level[i >> 6] |= std::uint64_t{1} << (i & 63);
        i >>= 6;
    }
}

void Engine::SourceSet::erase(std::uint32_t id) {
    std::size_t i = id;
    for (auto& level : levels_) {
        level[i >> 6] &= ~(std::uint64_t{1} << (i & 63));
        if (level[i >> 6]) break;
        i >>= 6;
    }
}

std::uint32_t Engine::SourceSet::first() const {
    if (levels_.empty() || levels_.back()[0] == 0) return kNone;
    std::size_t i = 0;
    for (std::size_t l = levels_.size(); l-- > 0;) i = i * 64 + std::countr_zero(levels_[l][i]);
    return static_cast<std::uint32_t>(i);
}

// ---- engine -------------------------------------------------------------------------

Engine::Engine(Circuit circuit, Hooks hooks)
    : hooks_(std::move(hooks)),
      kinds_(std::move(circuit.kinds)),
      original_count_(circuit.node_count()),
      node_kind_(std::move(circuit.node_kind)),
      node_qubit_pool_(std::move(circuit.qubits)),
      list_pool_(std::move(circuit.edge_qubits)),
      param_pool_(std::move(circuit.params)) {
    const std::size_t n = original_count_;
    graph_.reserve(n + n / 2 + 1, circuit.edges.size() + n / 2 + 1);
    qubits_.reserve(n + n / 2 + 1);
    params_.reserve(n + n / 2 + 1);
    qubits_origin_.reserve(n + n / 2 + 1);
    // Both loops fill fresh memory, page by page: over 0.1 s at 2e6 gates.
    InterruptPoll poll;
    for (std::size_t i = 0; i < n; ++i) {
        poll.tick();
        graph_.add_node();
        qubits_.push_back(
            {circuit.qubit_offsets[i], circuit.qubit_offsets[i + 1] - circuit.qubit_offsets[i]});
        params_.push_back(
            {circuit.param_offsets[i], circuit.param_offsets[i + 1] - circuit.param_offsets[i]});
        qubits_origin_.push_back(static_cast<NodeId>(i));
    }
    mergeable_out_.assign(n, kNone);
    mergeable_in_.assign(n, kNone);
    const std::size_t m = circuit.edges.size();
    seq_.resize(m);
    lists_.resize(m);
    in_set_.assign(m, 0);
    for (std::size_t i = 0; i < m; ++i) {
        poll.tick();
        const auto& edge = circuit.edges[i];
        const EdgeId e = graph_.append_edge(edge.source, edge.target);
        seq_[e] = next_seq_++;
        lists_[e] = {edge.first, edge.last - edge.first, static_cast<std::uint32_t>(i)};
    }
    set_.reserve(n + 1);
}

std::span<const std::int64_t> Engine::node_qubits(NodeId n) const {
    return {node_qubit_pool_.data() + qubits_[n].offset, qubits_[n].size};
}

std::span<const Number> Engine::node_params(NodeId n) const {
    return {param_pool_.data() + params_[n].offset, params_[n].size};
}

std::span<const std::int64_t> Engine::edge_qubits(EdgeId e) const {
    return {list_pool_.data() + lists_[e].offset, lists_[e].size};
}

bool Engine::static_pair(NodeId u, NodeId v) const {
    if (node_kind_[u] != node_kind_[v]) return false;
    const GateKind& kind = kinds_[node_kind_[u]];
    if (!kind.compressible) return false;
    if (qubits_[u].offset != qubits_[v].offset || qubits_[u].size != qubits_[v].size) {
        auto a = node_qubits(u), b = node_qubits(v);
        if (!std::equal(a.begin(), a.end(), b.begin(), b.end())) return false;
    }
    if (kind.is_r) {
        // Two "r" gates are one rotation only about the same axis. Equality of
        // the host's numbers: exact, and NaN equals nothing.
        auto p = node_params(u), q = node_params(v);
        if (!(p[1].value == q[1].value)) return false;
    }
    return true;
}

void Engine::consider(EdgeId e) {
    if (in_set_[e]) return;
    const NodeId u = graph_.source(e), v = graph_.target(e);
    if (graph_.out_degree(u) != 1 || graph_.in_degree(v) != 1) return;
    if (!static_pair(u, v)) return;
    in_set_[e] = 1;
    mergeable_out_[u] = e;
    mergeable_in_[v] = e;
    set_.insert(u);
}

void Engine::forget(EdgeId e) {
    if (!in_set_[e]) return;
    in_set_[e] = 0;
    const NodeId u = graph_.source(e);
    mergeable_out_[u] = kNone;
    mergeable_in_[graph_.target(e)] = kNone;
    set_.erase(u);
}

void Engine::refresh(NodeId n) {
    if (mergeable_out_[n] != kNone) forget(mergeable_out_[n]);
    if (graph_.out_degree(n) == 1) consider(graph_.first_out(n));
    if (mergeable_in_[n] != kNone) forget(mergeable_in_[n]);
    if (graph_.in_degree(n) == 1) consider(graph_.first_in(n));
}

void Engine::forget_incident(NodeId n) {
    for (EdgeId e = graph_.first_in(n); e != kNone; e = graph_.next_in(e)) forget(e);
    for (EdgeId e = graph_.first_out(n); e != kNone; e = graph_.next_out(e)) forget(e);
}

Engine::ListRef Engine::new_list(std::span<const std::int64_t> items) {
    ListRef ref{static_cast<std::uint32_t>(list_pool_.size()),
                static_cast<std::uint32_t>(items.size()), kNone};
    list_pool_.insert(list_pool_.end(), items.begin(), items.end());
    return ref;
}

NodeId Engine::add_fused(NodeId first, std::span<const Number> params) {
    const NodeId id = graph_.add_node();
    node_kind_.push_back(node_kind_[first]);
    qubits_.push_back(qubits_[first]);
    qubits_origin_.push_back(qubits_origin_[first]);
    params_.push_back({static_cast<std::uint32_t>(param_pool_.size()),
                       static_cast<std::uint32_t>(params.size())});
    param_pool_.insert(param_pool_.end(), params.begin(), params.end());
    serial_.push_back(serials_++);
    mergeable_out_.push_back(kNone);
    mergeable_in_.push_back(kNone);
    set_.reserve(static_cast<std::size_t>(id) + 1);
    return id;
}

void Engine::collect_neighbours(NodeId n1, NodeId n2) {
    preds_.clear();
    succs_.clear();
    for (EdgeId e = graph_.first_in(n1); e != kNone; e = graph_.next_in(e))
        preds_.emplace_back(graph_.source(e), lists_[e]);
    for (EdgeId e = graph_.first_out(n2); e != kNone; e = graph_.next_out(e))
        succs_.emplace_back(graph_.target(e), lists_[e]);
}

void Engine::relink_one(NodeId n1, NodeId n2) {
    if (preds_.empty() || succs_.empty()) return;
    const NodeId p = preds_[0].first, s = succs_[0].first;
    const ListRef middle = lists_[graph_.find_edge(n1, n2)];
    const EdgeId existing = graph_.find_edge(p, s);
    if (existing == kNone) {
        new_edges_.push_back({p, s, middle});
        return;
    }
    // The direct edge now also carries the qubit that ran through the pair.
    auto own = edge_qubits(existing);
    auto through = std::span<const std::int64_t>(list_pool_.data() + middle.offset, middle.size);
    scratch_.assign(own.begin(), own.end());
    scratch_.insert(scratch_.end(), through.begin(), through.end());
    std::sort(scratch_.begin(), scratch_.end());
    scratch_.erase(std::unique(scratch_.begin(), scratch_.end()), scratch_.end());
    new_edges_.push_back({p, s, new_list(scratch_)});
}

void Engine::relink_many(NodeId, NodeId) {
    if (preds_.empty() || succs_.empty()) return;
    for (const auto& [p, before] : preds_) {
        for (const auto& [s, after] : succs_) {
            scratch_.clear();
            // list_pool_ may grow below: index it, do not hold spans across new_list.
            for (std::uint32_t i = 0; i < before.size; ++i) {
                const std::int64_t q = list_pool_[before.offset + i];
                const auto first = list_pool_.begin() + after.offset;
                if (std::find(first, first + after.size, q) != first + after.size)
                    scratch_.push_back(q);
            }
            if (scratch_.empty()) continue;
            if (const EdgeId existing = graph_.find_edge(p, s); existing != kNone) {
                auto own = edge_qubits(existing);
                scratch_.insert(scratch_.end(), own.begin(), own.end());
                hooks_.deduplicate(scratch_);
            }
            new_edges_.push_back({p, s, new_list(scratch_)});
        }
    }
}

void Engine::link_fused_one(NodeId, NodeId, NodeId fused) {
    if (!preds_.empty()) new_edges_.push_back({preds_[0].first, fused, preds_[0].second});
    if (!succs_.empty()) new_edges_.push_back({fused, succs_[0].first, succs_[0].second});
}

void Engine::link_fused_many(NodeId, NodeId, NodeId fused) {
    for (const auto& [p, list] : preds_) new_edges_.push_back({p, fused, list});
    for (const auto& [s, list] : succs_) new_edges_.push_back({fused, s, list});
}

bool Engine::merged_params(const GateKind& kind, NodeId n1, NodeId n2, Outcome& outcome) {
    auto a = node_params(n1), b = node_params(n2);
    merged_.clear();
    if (kind.rule == Rule::one_qubit_parameter && kind.matrix == MatrixKind::u) {
        // The later gate acts after the earlier one: u2 @ u1, then back to angles.
        const auto earlier = gates::u_matrix(a[0].value, a[1].value, a[2].value);
        const auto later = gates::u_matrix(b[0].value, b[1].value, b[2].value);
        const gates::Matrix2 product = hooks_.multiply(later, earlier);
        for (const cplx& v : product) {
            if (!std::isfinite(v.real()) || !std::isfinite(v.imag())) {
                failed_product_ = product;
                outcome = Outcome::u3_not_finite;
                return false;
            }
        }
        const auto angles = decompose::u3_decompose(product.data());
        merged_.push_back(Number::of_float(angles.theta));
        merged_.push_back(Number::of_float(angles.phi));
        merged_.push_back(Number::of_float(angles.lamda));
        return true;
    }
    if (kind.rule == Rule::one_qubit_parameter && kind.is_r) {
        // Same axis (checked when the pair was found): the angles add, phi stays.
        Number theta;
        if (!add(a[0], b[0], theta)) {
            outcome = Outcome::unsupported;
            return false;
        }
        merged_.push_back(theta);
        merged_.push_back(a[1]);
        return true;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        Number sum;
        if (!add(a[i], b[i], sum)) {
            outcome = Outcome::unsupported;
            return false;
        }
        merged_.push_back(sum);
    }
    return true;
}

bool Engine::merged_is_identity(MatrixKind kind) const {
    double values[3] = {0, 0, 0};
    for (std::size_t i = 0; i < parameter_count(kind); ++i) values[i] = merged_[i].value;
    return matrix_is_identity(kind, values);
}

void Engine::apply(NodeId n1, NodeId n2, NodeId fused) {
    forget_incident(n1);
    forget_incident(n2);
    graph_.remove_node(n1);
    graph_.remove_node(n2);
    for (const NewEdge& ne : new_edges_) {
        const EdgeId existing = graph_.find_edge(ne.source, ne.target);
        if (existing != kNone) {
            lists_[existing] = ne.list;  // updated in place: the edge keeps its place
            continue;
        }
        const EdgeId e = graph_.append_edge(ne.source, ne.target);
        if (e >= seq_.size()) {
            const std::size_t size =
                std::max<std::size_t>(graph_.edge_capacity(), seq_.size() * 3 / 2 + 8);
            seq_.resize(size);
            lists_.resize(size);
            in_set_.resize(size, 0);
        }
        seq_[e] = next_seq_++;
        lists_[e] = ne.list;
        in_set_[e] = 0;
    }
    // Only these nodes changed degree; every other edge keeps its verdict.
    for (const auto& [p, list] : preds_) refresh(p);
    for (const auto& [s, list] : succs_) refresh(s);
    if (fused != kNone) refresh(fused);
    ++merges_;
}

Outcome Engine::run() {
    InterruptPoll poll;
    for (NodeId u = 0; u < original_count_; ++u) {
        poll.tick();
        for (EdgeId e = graph_.first_out(u); e != kNone; e = graph_.next_out(e)) consider(e);
    }

    for (;;) {
        poll.tick();
        const NodeId n1 = set_.first();
        if (n1 == kNone) return Outcome::done;
        const NodeId n2 = graph_.target(mergeable_out_[n1]);
        const GateKind& kind = kinds_[node_kind_[n1]];
        new_edges_.clear();
        collect_neighbours(n1, n2);
        switch (kind.rule) {
            case Rule::none:
                failed_first_ = n1;
                failed_second_ = n2;
                return Outcome::no_rule;
            case Rule::one_qubit:
                relink_one(n1, n2);
                apply(n1, n2, kNone);
                break;
            case Rule::two_qubit:
            case Rule::three_qubit:
                relink_many(n1, n2);
                apply(n1, n2, kNone);
                break;
            case Rule::one_qubit_parameter:
            case Rule::two_qubit_parameter: {
                Outcome outcome = Outcome::done;
                if (!merged_params(kind, n1, n2, outcome)) {
                    failed_first_ = n1;
                    failed_second_ = n2;
                    return outcome;
                }
                const bool one = kind.rule == Rule::one_qubit_parameter;
                if (merged_is_identity(kind.matrix)) {
                    if (one)
                        relink_one(n1, n2);
                    else
                        relink_many(n1, n2);
                    apply(n1, n2, kNone);
                } else {
                    const NodeId fused = add_fused(n1, merged_);
                    if (one)
                        link_fused_one(n1, n2, fused);
                    else
                        link_fused_many(n1, n2, fused);
                    apply(n1, n2, fused);
                }
                break;
            }
        }
    }
}

std::vector<EdgeId> Engine::edges_in_insertion_order() const {
    // Sequence numbers are dense over all edges ever added: bucket by them.
    std::vector<EdgeId> by_seq(next_seq_, kNone);
    InterruptPoll poll;
    for (NodeId u = 0; u < graph_.node_capacity(); ++u) {
        poll.tick();
        if (!graph_.contains(u)) continue;
        for (EdgeId e = graph_.first_out(u); e != kNone; e = graph_.next_out(e))
            by_seq[seq_[e]] = e;
    }
    std::vector<EdgeId> order;
    order.reserve(graph_.edge_count());
    for (EdgeId e : by_seq)
        if (e != kNone) order.push_back(e);
    return order;
}

}  // namespace corvane::compress
