#include "compress/gate_compressor.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

namespace compress = corvane::compress;
using compress::Number;

namespace {

constexpr double kPi = std::numbers::pi;

// A small circuit builder: gates in program order, edges as a gate-list
// builder makes them (one per pair of consecutive operations on some qubit,
// in the order of the later gate and its qubits).
class Builder {
  public:
    std::uint32_t kind(compress::Rule rule,
                       compress::MatrixKind matrix = compress::MatrixKind::none,
                       bool compressible = true, bool is_r = false) {
        c_.kinds.push_back({rule, matrix, compressible, is_r});
        return static_cast<std::uint32_t>(c_.kinds.size() - 1);
    }

    Builder& gate(std::uint32_t kind, std::vector<std::int64_t> qubits,
                  std::vector<Number> params = {}) {
        const auto node = static_cast<compress::NodeId>(c_.node_count());
        c_.node_kind.push_back(kind);
        std::vector<std::pair<compress::NodeId, std::vector<std::int64_t>>> sources;
        for (std::int64_t q : qubits) {
            if (q >= static_cast<std::int64_t>(last_.size())) last_.resize(q + 1, compress::kNone);
            const compress::NodeId prev = last_[q];
            last_[q] = node;
            if (prev == compress::kNone) continue;
            auto it = std::find_if(sources.begin(), sources.end(),
                                   [&](auto& s) { return s.first == prev; });
            if (it == sources.end())
                sources.push_back({prev, {q}});
            else
                it->second.push_back(q);
        }
        for (auto& [source, qs] : sources) {
            const auto first = static_cast<std::uint32_t>(c_.edge_qubits.size());
            c_.edge_qubits.insert(c_.edge_qubits.end(), qs.begin(), qs.end());
            c_.edges.push_back(
                {source, node, first, static_cast<std::uint32_t>(c_.edge_qubits.size())});
        }
        c_.qubits.insert(c_.qubits.end(), qubits.begin(), qubits.end());
        c_.qubit_offsets.push_back(static_cast<std::uint32_t>(c_.qubits.size()));
        c_.params.insert(c_.params.end(), params.begin(), params.end());
        c_.param_offsets.push_back(static_cast<std::uint32_t>(c_.params.size()));
        return *this;
    }

    const compress::Circuit& circuit() const { return c_; }

  private:
    compress::Circuit c_;
    std::vector<compress::NodeId> last_;
};

std::vector<compress::NodeId> live_nodes(const compress::Engine& e) {
    std::vector<compress::NodeId> out;
    for (compress::NodeId n = 0; n < e.graph().node_capacity(); ++n)
        if (e.graph().contains(n)) out.push_back(n);
    return out;
}

struct EdgeView {
    compress::NodeId source, target;
    std::vector<std::int64_t> qubits;
    bool operator==(const EdgeView&) const = default;
};

std::vector<EdgeView> edges(const compress::Engine& e) {
    std::vector<EdgeView> out;
    for (compress::EdgeId id : e.edges_in_insertion_order()) {
        auto q = e.edge_qubits(id);
        out.push_back({e.graph().source(id), e.graph().target(id), {q.begin(), q.end()}});
    }
    return out;
}

Number f(double v) { return Number::of_float(v); }
Number i(std::int64_t v) { return Number::of_int(v); }

TEST(AllcloseIdentity, FollowsTheDefaultTolerances) {
    using gates_t = corvane::gates::cplx;
    gates_t m[4] = {{1.0, 0.0}, {0.0, 0.0}, {0.0, 0.0}, {1.0, 0.0}};
    EXPECT_TRUE(compress::allclose_identity(m, 2));
    m[0] = {1.0 + 1.0e-5, 0.0};
    EXPECT_TRUE(compress::allclose_identity(m, 2));
    m[0] = {1.0 + 1.1e-5, 0.0};
    EXPECT_FALSE(compress::allclose_identity(m, 2));
    m[0] = {1.0, 0.0};
    m[1] = {0.0, 2e-8};  // off the diagonal only atol counts
    EXPECT_FALSE(compress::allclose_identity(m, 2));
    m[1] = {0.0, 0.0};
    m[3] = {-1.0, 0.0};  // a global phase is not the identity
    EXPECT_FALSE(compress::allclose_identity(m, 2));
    m[3] = {std::nan(""), 0.0};
    EXPECT_FALSE(compress::allclose_identity(m, 2));
}

TEST(Engine, ThreeInARowLeaveTheLastOne) {
    Builder b;
    const auto x = b.kind(compress::Rule::one_qubit);
    b.gate(x, {0}).gate(x, {0}).gate(x, {0});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    EXPECT_EQ(e.run(), compress::Outcome::done);
    EXPECT_EQ(live_nodes(e), (std::vector<compress::NodeId>{2}));
    EXPECT_EQ(e.merges(), 1u);
}

TEST(Engine, PairWithAGateBetweenIsKept) {
    Builder b;
    const auto cx = b.kind(compress::Rule::two_qubit), x = b.kind(compress::Rule::one_qubit);
    b.gate(cx, {0, 1}).gate(x, {1}).gate(cx, {0, 1});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    EXPECT_EQ(e.run(), compress::Outcome::done);
    EXPECT_EQ(live_nodes(e).size(), 3u);
}

TEST(Engine, ReversedQubitOrderIsNotAPair) {
    Builder b;
    const auto cx = b.kind(compress::Rule::two_qubit);
    b.gate(cx, {0, 1}).gate(cx, {1, 0});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    e.run();
    EXPECT_EQ(e.merges(), 0u);
}

TEST(Engine, CancellationNextToADirectEdgeUnitesItsQubits) {
    Builder b;
    const auto ccx = b.kind(compress::Rule::three_qubit), x = b.kind(compress::Rule::one_qubit),
               cx = b.kind(compress::Rule::two_qubit);
    b.gate(ccx, {0, 1, 2}).gate(x, {0}).gate(x, {0}).gate(cx, {0, 1});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    e.run();
    EXPECT_EQ(edges(e), (std::vector<EdgeView>{{0, 3, {0, 1}}}));
}

TEST(Engine, TwoQubitCancellationLinksByCommonQubit) {
    Builder b;
    // The neighbours are not compressible, or they would cancel in turn.
    const auto h = b.kind(compress::Rule::one_qubit, compress::MatrixKind::none, false),
               cx = b.kind(compress::Rule::two_qubit);
    b.gate(h, {0}).gate(h, {1}).gate(cx, {0, 1}).gate(cx, {0, 1}).gate(h, {1}).gate(h, {0});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    e.run();
    EXPECT_EQ(edges(e), (std::vector<EdgeView>{{0, 5, {0}}, {1, 4, {1}}}));
}

TEST(Engine, FusionDrawsSerialsAndInheritsLinks) {
    Builder b;
    const auto h = b.kind(compress::Rule::one_qubit, compress::MatrixKind::none, false);
    const auto rx = b.kind(compress::Rule::one_qubit_parameter, compress::MatrixKind::rx);
    b.gate(h, {2})
        .gate(rx, {2}, {f(0.3)})
        .gate(rx, {2}, {f(0.2)})
        .gate(rx, {2}, {i(1)})
        .gate(h, {2});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    EXPECT_EQ(e.run(), compress::Outcome::done);
    EXPECT_EQ(e.serials_drawn(), 2u);
    const auto nodes = live_nodes(e);
    ASSERT_EQ(nodes.size(), 3u);
    const compress::NodeId fused = nodes[2];
    EXPECT_EQ(e.serial_index(fused), 1u);
    EXPECT_EQ(e.qubits_origin(fused), 1u);
    ASSERT_EQ(e.node_params(fused).size(), 1u);
    EXPECT_EQ(e.node_params(fused)[0].value, (0.3 + 0.2) + 1.0);
    EXPECT_FALSE(e.node_params(fused)[0].is_int);
    EXPECT_EQ(edges(e), (std::vector<EdgeView>{{0, fused, {2}}, {fused, 4, {2}}}));
}

TEST(Engine, IntSumsStayExactAndAnglesCancelToIdentity) {
    Builder b;
    const auto ry = b.kind(compress::Rule::one_qubit_parameter, compress::MatrixKind::ry);
    const auto p = b.kind(compress::Rule::one_qubit_parameter, compress::MatrixKind::p);
    const auto rz = b.kind(compress::Rule::one_qubit_parameter, compress::MatrixKind::rz);
    b.gate(ry, {0}, {i(2)}).gate(ry, {0}, {i(3)});
    b.gate(p, {1}, {f(kPi)}).gate(p, {1}, {f(kPi)});
    b.gate(rz, {2}, {f(kPi)}).gate(rz, {2}, {f(kPi)});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    e.run();
    const auto nodes = live_nodes(e);
    ASSERT_EQ(nodes.size(), 2u);  // p(pi) twice is the identity; rz(2 pi) is minus the identity
    EXPECT_TRUE(e.node_params(nodes[0])[0].is_int);
    EXPECT_EQ(e.node_params(nodes[0])[0].integer, 5);
    EXPECT_EQ(e.node_params(nodes[1])[0].value, 2 * kPi);
}

TEST(Engine, IntSumBeyondExactRangeIsUnsupported) {
    Builder b;
    const auto rx = b.kind(compress::Rule::one_qubit_parameter, compress::MatrixKind::rx);
    b.gate(rx, {0}, {i(compress::kExactIntLimit - 1)})
        .gate(rx, {0}, {i(compress::kExactIntLimit - 1)});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    EXPECT_EQ(e.run(), compress::Outcome::unsupported);
}

TEST(Engine, RGatesNeedTheSamePhi) {
    Builder b;
    const auto r = b.kind(compress::Rule::one_qubit_parameter, compress::MatrixKind::r, true, true);
    b.gate(r, {0}, {f(0.3), f(0.5)}).gate(r, {0}, {f(0.4), f(0.6)});
    b.gate(r, {1}, {f(0.3), i(2)}).gate(r, {1}, {f(0.4), f(2.0)});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    e.run();
    const auto nodes = live_nodes(e);
    ASSERT_EQ(nodes.size(), 3u);
    const auto merged = e.node_params(nodes[2]);
    EXPECT_DOUBLE_EQ(merged[0].value, 0.7);
    EXPECT_TRUE(merged[1].is_int);  // phi is the first gate's, not a sum
    EXPECT_EQ(merged[1].integer, 2);
}

TEST(Engine, UFusionUsesTheHooksAndStopsOnNonFiniteProducts) {
    Builder b;
    const auto u = b.kind(compress::Rule::one_qubit_parameter, compress::MatrixKind::u);
    b.gate(u, {0}, {f(0.1), f(0.2), f(0.3)}).gate(u, {0}, {f(0.4), f(0.5), f(0.6)});
    int products = 0;
    compress::Hooks hooks = compress::plain_hooks();
    auto plain = hooks.multiply;
    hooks.multiply = [&](const auto& a, const auto& c) {
        ++products;
        return plain(a, c);
    };
    compress::Engine e(b.circuit(), hooks);
    EXPECT_EQ(e.run(), compress::Outcome::done);
    EXPECT_EQ(products, 1);
    EXPECT_EQ(e.node_params(live_nodes(e)[0]).size(), 3u);

    Builder bad;
    const auto u2 = bad.kind(compress::Rule::one_qubit_parameter, compress::MatrixKind::u);
    const auto x = bad.kind(compress::Rule::one_qubit);
    bad.gate(x, {0})
        .gate(x, {0})
        .gate(u2, {0}, {f(std::nan("")), f(0), f(0)})
        .gate(u2, {0}, {f(0), f(0), f(0)});
    compress::Engine failing(bad.circuit(), compress::plain_hooks());
    EXPECT_EQ(failing.run(), compress::Outcome::u3_not_finite);
    EXPECT_EQ(failing.merges(), 1u);  // the graph is the one before the failing pair
    EXPECT_EQ(failing.failed_first(), 2u);
}

TEST(Engine, NameOfNoCategoryStopsAtItsFirstPair) {
    Builder b;
    const auto x = b.kind(compress::Rule::one_qubit), measure = b.kind(compress::Rule::none);
    b.gate(measure, {1}).gate(x, {0}).gate(x, {0}).gate(measure, {1});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    EXPECT_EQ(e.run(), compress::Outcome::no_rule);
    EXPECT_EQ(e.failed_first(), 0u);
    EXPECT_EQ(e.merges(), 0u);  // the measure pair comes first in edge order
}

TEST(Engine, FirstPairIsTheOneWithTheSmallestSourceAfterEveryMerge) {
    // Pairs go by source node: the h pair (source 1) before the x pair on
    // qubit 1 (source 4); cancelling it makes the outer x pair (source 0)
    // adjacent, and that one, with the smaller source, goes next.
    Builder b;
    const auto h = b.kind(compress::Rule::one_qubit), x = b.kind(compress::Rule::one_qubit);
    b.gate(x, {0}).gate(h, {0}).gate(h, {0}).gate(x, {0}).gate(x, {1}).gate(x, {1});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    e.run();
    EXPECT_EQ(e.merges(), 3u);
    EXPECT_TRUE(live_nodes(e).empty());
}

TEST(Engine, LongChainsMergeInLinearlyManySteps) {
    Builder b;
    const auto rz = b.kind(compress::Rule::one_qubit_parameter, compress::MatrixKind::rz);
    const auto x = b.kind(compress::Rule::one_qubit);
    for (int k = 0; k < 20000; ++k) b.gate(rz, {k % 7}, {f(0.001 * (k + 1))});
    for (int k = 0; k < 20000; ++k) b.gate(x, {k % 7});
    compress::Engine e(b.circuit(), compress::plain_hooks());
    e.run();
    EXPECT_EQ(live_nodes(e).size(),
              7u + 6u);  // one rz per qubit, x pairs cancel leaving 20000 % 2 per qubit
}

TEST(GateDescription, MatrixKindsFollowTheGateNames) {
    EXPECT_EQ(compress::matrix_kind_of("rx"), compress::MatrixKind::rx);
    EXPECT_EQ(compress::matrix_kind_of("cp"), compress::MatrixKind::cp);
    EXPECT_EQ(compress::matrix_kind_of("rxy"), compress::MatrixKind::none);
    EXPECT_EQ(compress::matrix_kind_of(""), compress::MatrixKind::none);
}

TEST(GateDescription, OnlyGatesTheEngineReproducesAreDescribed) {
    using compress::Rule;
    struct Case {
        const char* name;
        Rule rule;
        int memberships;
        bool compressible;
        bool described;
    };
    const Case cases[] = {
        {"rx", Rule::one_qubit_parameter, 1, true, true},
        {"rxx", Rule::one_qubit_parameter, 1, true,
         false},  // a two-qubit matrix under a one-qubit rule
        {"rz", Rule::two_qubit_parameter, 1, true, false},
        {"myrot", Rule::one_qubit_parameter, 1, true, false},  // no matrix function
        {"myrot", Rule::one_qubit_parameter, 1, false, true},  // never merged: nothing to reproduce
        {"x", Rule::one_qubit, 2, true, false},  // two categories disagree on its rule
        {"r", Rule::two_qubit, 1, true, false},  // "r" merges only as a one-qubit rotation
        {"r", Rule::one_qubit_parameter, 1, true, true},
    };
    for (const Case& c : cases) {
        auto kind = compress::describe_gate(c.name, c.rule, c.memberships, c.compressible);
        EXPECT_EQ(kind.has_value(), c.described) << c.name;
        if (kind) {
            EXPECT_EQ(kind->is_r, std::string(c.name) == "r");
        }
    }
}

TEST(GateDescription, IdentityTestMatchesTheMatrices) {
    const double zero[3] = {0, 0, 0}, full_turn[3] = {4 * kPi, 0, 0}, half_turn[3] = {kPi, 0, 0};
    for (auto kind :
         {compress::MatrixKind::rx, compress::MatrixKind::rzz, compress::MatrixKind::u}) {
        EXPECT_TRUE(compress::matrix_is_identity(kind, zero));
        EXPECT_TRUE(compress::matrix_is_identity(kind, full_turn));
        EXPECT_FALSE(compress::matrix_is_identity(kind, half_turn));
    }
    const double nan[3] = {std::nan(""), 0, 0};
    EXPECT_FALSE(compress::matrix_is_identity(compress::MatrixKind::rx, nan));
    EXPECT_FALSE(compress::matrix_is_identity(compress::MatrixKind::none, zero));
}

}  // namespace
