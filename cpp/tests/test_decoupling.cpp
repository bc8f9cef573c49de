#include "schedule/decoupling.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <utility>
#include <vector>

namespace corvane::schedule {
namespace {

using dag::NodeId;

// ---- host float semantics -----------------------------------------------------------

TEST(HostFloats, FloorDivisionCorrectsTheQuotient) {
    EXPECT_EQ(host_floor_divide(1e-06, 4e-08), 24.0);  // the plain quotient is 25.000000000000004
    EXPECT_EQ(host_floor_divide(1e-06, 2e-08), 49.0);  // and 50.00000000000001 here
    EXPECT_EQ(host_floor_divide(1.5999999999999998e-07, 8e-08), 1.0);
    EXPECT_EQ(host_floor_divide(1e-07, 4e-08), 2.0);
}

struct FloorCase {
    double vx, wx, expected;
    bool negative_zero;
};
class FloorDivision : public ::testing::TestWithParam<FloorCase> {};

TEST_P(FloorDivision, MatchesTheHostOnSignsAndZeros) {
    const FloorCase& c = GetParam();
    const double got = host_floor_divide(c.vx, c.wx);
    EXPECT_EQ(got, c.expected);
    EXPECT_EQ(std::signbit(got), c.negative_zero || c.expected < 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FloorDivision,
    ::testing::Values(FloorCase{7.0, 2.0, 3.0, false}, FloorCase{-7.0, 2.0, -4.0, false},
                      FloorCase{7.0, -2.0, -4.0, false}, FloorCase{-7.0, -2.0, 3.0, false},
                      FloorCase{0.0, 5.0, 0.0, false}, FloorCase{-0.0, 5.0, 0.0, true},
                      FloorCase{0.0, -5.0, 0.0, true}, FloorCase{1.0, 3.0, 0.0, false},
                      FloorCase{-1.0, 3.0, -1.0, false}, FloorCase{1e-7, -INFINITY, -1.0, false}));

TEST(HostFloats, FloorDivisionOfInfinityIsNaN) {
    EXPECT_TRUE(std::isnan(host_floor_divide(INFINITY, 3e-8)));
}

class RoundHalfEven : public ::testing::TestWithParam<std::pair<double, double>> {};
TEST_P(RoundHalfEven, TiesGoToEven) { EXPECT_EQ(host_round(GetParam().first), GetParam().second); }
INSTANTIATE_TEST_SUITE_P(Cases, RoundHalfEven,
                         ::testing::Values(std::pair{0.5, 0.0}, std::pair{1.5, 2.0},
                                           std::pair{2.5, 2.0}, std::pair{-2.5, -2.0},
                                           std::pair{3.4999999999999996, 3.0},
                                           std::pair{49.99999999999998, 50.0},
                                           std::pair{199.99999999999991, 200.0},
                                           std::pair{74.99999999999999, 75.0}));

TEST(HostFloats, GridStep) { EXPECT_EQ(kGridSeconds, 1.0000000000000002e-10); }

// ---- the engine on small circuits -----------------------------------------------------

constexpr NodeTiming kOne{LayerClass::one_qubit, RestClass::after_t1g, false};
constexpr NodeTiming kTwo{LayerClass::two_qubit, RestClass::after_t2g, false};
constexpr NodeTiming kTwoParameter{LayerClass::two_qubit, RestClass::zero, false};
constexpr NodeTiming kBarrier{LayerClass::none, RestClass::zero, true};
constexpr NodeTiming kWide{LayerClass::none, RestClass::zero, false};

struct Gate {
    NodeTiming timing;
    std::vector<std::uint32_t> qubits;
};

// The gate DAG the circuit model builds for a gate list on `nqubits` qubits.
Problem circuit(std::uint32_t nqubits, std::initializer_list<Gate> gates) {
    Problem p;
    p.qubit_offsets.push_back(0);
    for (const Gate& g : gates) {
        p.timing.push_back(g.timing);
        p.qubit_ids.insert(p.qubit_ids.end(), g.qubits.begin(), g.qubits.end());
        p.qubit_offsets.push_back(static_cast<std::uint32_t>(p.qubit_ids.size()));
        p.dag.add_node();
    }
    std::vector<std::uint32_t> dense(p.qubit_ids);
    for (auto& q : dense) q = std::min(q, nqubits);  // unknown qubits still order their gates
    auto deps = dag::dependency_edges(p.qubit_offsets, dense, nqubits + 1);
    for (const auto& e : deps.edges) p.dag.add_edge(e.source, e.target);
    p.record_size = nqubits;
    return p;
}

Options options(double t1g, double t2g, Sequence s = Sequence::xy4, bool align_right = true,
                bool before_barrier = false) {
    return Options{t1g, t2g, s, align_right, before_barrier};
}

using K = InsertedKind;

std::vector<K> kinds_of_window(const Outcome& out, std::uint32_t window,
                               Sequence s = Sequence::xy4) {
    std::vector<K> kinds;
    const Window& w = out.windows[window];
    for (std::uint32_t i = 0; i < w.count; ++i) kinds.push_back(inserted_kind(w, s, i));
    return kinds;
}

size_t position_in_order(const Outcome& out, NodeId node) {
    return static_cast<size_t>(std::find(out.order.begin(), out.order.end(), node) -
                               out.order.begin());
}

TEST(Decouple, IdleTimeIsSummedLayerByLayer) {
    // cx(0,1), eight h(1), cx(0,1): qubit 0 waits 0.0 + 8 x 2e-8 = 1.5999999999999998e-07.
    Problem p = circuit(2, {{kTwo, {0, 1}},
                            {kOne, {1}},
                            {kOne, {1}},
                            {kOne, {1}},
                            {kOne, {1}},
                            {kOne, {1}},
                            {kOne, {1}},
                            {kOne, {1}},
                            {kOne, {1}},
                            {kTwo, {0, 1}}});
    for (bool align_right : {true, false}) {
        Outcome out = decouple(p, options(2e-8, 4e-8, Sequence::xy4, align_right));
        ASSERT_EQ(out.status, Status::ok);
        ASSERT_EQ(out.windows.size(), 1u);
        EXPECT_EQ(out.windows[0].node, 9u);
        EXPECT_EQ(out.windows[0].position, 0u);
        EXPECT_EQ(out.windows[0].gap, 2e-08);
        EXPECT_EQ(out.windows[0].half, 1e-08);
        EXPECT_EQ(kinds_of_window(out, 0),
                  (std::vector<K>{K::half_delay, K::x, K::gap_delay, K::y, K::gap_delay, K::x,
                                  K::gap_delay, K::y, K::half_delay}));
        // The train sits between the two cx in the output order, in chain order.
        size_t previous = position_in_order(out, 0);
        for (NodeId n = 10; n < 19; ++n) {
            size_t at = position_in_order(out, n);
            EXPECT_GT(at, previous);
            previous = at;
        }
        EXPECT_LT(previous, position_in_order(out, 9));
        EXPECT_EQ(out.order.size(), 19u);
    }
}

// h(0), h(1), cx(1,2), cx(0,1): with align_right false qubit 0 waits one layer
// of t2g, and qubit 2 one layer of t1g before its first gate.
Problem lone_window() {
    return circuit(3, {{kOne, {0}}, {kOne, {1}}, {kTwo, {1, 2}}, {kTwo, {0, 1}}});
}

TEST(Decouple, Xy4SingleRepetitionOnTheGrid) {
    Outcome out = decouple(lone_window(), options(3e-8, 1.5e-7, Sequence::xy4, false));
    ASSERT_EQ(out.status, Status::ok);
    ASSERT_EQ(out.windows.size(), 2u);
    EXPECT_EQ(kinds_of_window(out, 0), std::vector<K>{K::leading_delay});
    EXPECT_EQ(out.windows[0].first, 4u);
    EXPECT_EQ(out.windows[1].first, 5u);
    EXPECT_EQ(out.windows[0].gap, 3e-8);
    EXPECT_EQ(out.windows[0].node, 2u);
    EXPECT_EQ(out.windows[1].gap, 7.500000000000001e-09);
    EXPECT_EQ(out.windows[1].half, 3.7500000000000005e-09);
    EXPECT_EQ(out.inserted(), 10u);
}

TEST(Decouple, CpmgTwoRepetitions) {
    Outcome out = decouple(lone_window(), options(2e-8, 1e-7, Sequence::cpmg, false));
    ASSERT_EQ(out.status, Status::ok);
    EXPECT_EQ(out.windows[1].gap, 5e-09);
    EXPECT_EQ(kinds_of_window(out, 1, Sequence::cpmg),
              (std::vector<K>{K::half_delay, K::x, K::gap_delay, K::x, K::gap_delay, K::x,
                              K::gap_delay, K::x, K::half_delay}));
}

TEST(Decouple, ExactRepetitionGivesBackToBackPulses) {
    Outcome out = decouple(lone_window(), options(2e-8, 8e-8, Sequence::xy4, false));
    ASSERT_EQ(out.status, Status::ok);
    EXPECT_EQ(out.windows[1].gap, 0.0);
    EXPECT_EQ(kinds_of_window(out, 1), (std::vector<K>{K::x, K::y, K::x, K::y}));
}

TEST(Decouple, ShortWindowGetsNothing) {
    Outcome out = decouple(lone_window(), options(2e-8, 7.9e-8, Sequence::xy4, false));
    ASSERT_EQ(out.status, Status::ok);
    EXPECT_EQ(out.windows.size(), 1u);  // only the leading delay of qubit 2
}

TEST(Decouple, LongerWindowsRepeatWithAlternatingXy4Order) {
    // Window of 3 x 1.2e-7 + a bit: n_dd 3, repetitions x y x y | y x y x | x y x y.
    Outcome out = decouple(lone_window(), options(3e-8, 3.7e-7, Sequence::xy4, false));
    ASSERT_EQ(out.status, Status::ok);
    std::vector<K> pulses;
    for (K k : kinds_of_window(out, 1))
        if (k == K::x || k == K::y) pulses.push_back(k);
    EXPECT_EQ(pulses, (std::vector<K>{K::x, K::y, K::x, K::y, K::y, K::x, K::y, K::x, K::x, K::y,
                                      K::x, K::y}));
    EXPECT_EQ(kinds_of_window(out, 1).size(), 25u);
}

TEST(Decouple, BarrierRule) {
    Problem p = circuit(3, {{kOne, {0}}, {kOne, {1}}, {kTwo, {1, 2}}, {kBarrier, {0, 1, 2}}});
    Outcome without = decouple(p, options(3e-8, 1.5e-7, Sequence::xy4, false, false));
    Outcome with = decouple(p, options(3e-8, 1.5e-7, Sequence::xy4, false, true));
    ASSERT_EQ(without.status, Status::ok);
    EXPECT_EQ(without.windows.size(), 1u);  // the leading delay of qubit 2
    EXPECT_EQ(with.windows.size(), 2u);
    EXPECT_EQ(with.windows[1].node, 3u);
}

TEST(Decouple, LeadingWindowBeforeABarrierGetsItsDelay) {
    Problem p = circuit(2, {{kOne, {0}}, {kOne, {0}}, {kBarrier, {0, 1}}});
    Outcome out = decouple(p, options(3e-8, 4e-8));
    ASSERT_EQ(out.status, Status::ok);
    ASSERT_EQ(out.windows.size(), 1u);
    EXPECT_EQ(out.windows[0].gap, 3e-8 + 3e-8);
    EXPECT_EQ(out.windows[0].position, 1u);
    // No edge into the delay: it starts the circuit.
    EXPECT_EQ(out.order.front(), 0u);
    EXPECT_LT(position_in_order(out, 3), position_in_order(out, 2));
}

TEST(Decouple, TwoQubitParameterGateLeavesNoRest) {
    // rzz(0,1) beside h(2): the layer lasts t2g; qubit 2 keeps t2g - t1g.
    Problem p = circuit(3, {{kTwoParameter, {0, 1}}, {kOne, {2}}, {kTwo, {0, 2}}, {kTwo, {0, 1}}});
    Outcome out = decouple(p, options(1e-8, 5e-8, Sequence::cpmg, false));
    ASSERT_EQ(out.status, Status::ok);
    ASSERT_EQ(out.windows.size(), 2u);
    // Qubit 2 at cx(0,2): 5e-8 - 1e-8 of rest; qubit 1 at the last cx: one layer of t2g.
    EXPECT_EQ(out.windows[0].node, 2u);
    EXPECT_EQ(out.windows[1].node, 3u);
    EXPECT_EQ(out.windows[1].position, 1u);
}

TEST(Decouple, WideNodeAfterOneNodeOnTwoQubitsKeepsBothTrains) {
    Problem p = circuit(3, {{kTwo, {0, 1}},
                            {kOne, {2}},
                            {kOne, {2}},
                            {kOne, {2}},
                            {kOne, {2}},
                            {kOne, {2}},
                            {kOne, {2}},
                            {kWide, {0, 1, 2}}});
    Outcome out = decouple(p, options(3e-8, 4e-8, Sequence::xy4, false));
    ASSERT_EQ(out.status, Status::ok);
    ASSERT_EQ(out.windows.size(), 2u);
    EXPECT_EQ(out.inserted(), 18u);
    const size_t cx = position_in_order(out, 0), wide = position_in_order(out, 7);
    for (NodeId n = 8; n < 8 + 18; ++n) {
        EXPECT_GT(position_in_order(out, n), cx);
        EXPECT_LT(position_in_order(out, n), wide);
    }
}

TEST(Decouple, QubitOutsideTheRecordStopsTheWalk) {
    // h(0), cx(0,1), cx(1,2) with qubit 2 unknown: the leading delay of qubit 1
    // (layer 1) is made before the walk reaches qubit 2 in layer 2.
    Problem p = circuit(2, {{kOne, {0}}, {kTwo, {0, 1}}, {kTwo, {1, kNoQubit}}});
    Outcome out = decouple(p, options(3e-8, 4e-8, Sequence::xy4, false));
    EXPECT_EQ(out.status, Status::missing_qubit);
    EXPECT_EQ(out.failed_node, 2u);
    EXPECT_EQ(out.failed_position, 1u);
    EXPECT_EQ(out.inserted(), 1u);
    EXPECT_TRUE(out.order.empty());
}

TEST(Decouple, ZeroGateTimeFailsInArithmetic) {
    Outcome out = decouple(lone_window(), options(0.0, 4e-8, Sequence::xy4, false));
    EXPECT_EQ(out.status, Status::arithmetic);
}

TEST(Decouple, HugeTrainIsRefused) {
    Outcome out = decouple(lone_window(), options(1e-300, 1e-7, Sequence::xy4, false));
    EXPECT_EQ(out.status, Status::too_large);
    EXPECT_EQ(out.failed_node, 3u);
}

// lone_window() at t1g 3e-8, t2g 1.5e-7 holds 4 nodes and gains a leading
// delay (1 node) and then a train of 9: 14 nodes in all.
struct CeilingCase {
    double max_nodes;
    Status status;
    std::size_t made;  // inserted nodes of the windows made before the ceiling
};
class Ceiling : public ::testing::TestWithParam<CeilingCase> {};

TEST_P(Ceiling, WindowsPastTheCeilingAreCountedNotMade) {
    const CeilingCase& c = GetParam();
    Options o = options(3e-8, 1.5e-7, Sequence::xy4, false);
    o.max_nodes = c.max_nodes;
    Outcome out = decouple(lone_window(), o);
    EXPECT_EQ(out.status, c.status);
    EXPECT_EQ(out.inserted(), c.made);
    if (c.status == Status::over_ceiling) {
        EXPECT_EQ(out.would_hold, 14.0);
        EXPECT_TRUE(out.order.empty());
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, Ceiling,
                         ::testing::Values(CeilingCase{14, Status::ok, 10},
                                           CeilingCase{13, Status::over_ceiling, 1},
                                           CeilingCase{5, Status::over_ceiling, 1},
                                           CeilingCase{4, Status::over_ceiling, 0},
                                           CeilingCase{0, Status::over_ceiling, 0}));

TEST(Decouple, HugeTrainPastTheCeilingIsCountedBeforeItIsRefused) {
    Options o = options(1e-300, 1e-7, Sequence::xy4, false);
    o.max_nodes = 1e6;
    Outcome out = decouple(lone_window(), o);
    EXPECT_EQ(out.status, Status::over_ceiling);
    EXPECT_GT(out.would_hold, 1e290);
}

TEST(Decouple, LazyIdleCatchUpAddsInLayerOrder) {
    // Qubit 1 idles across layers of alternating lengths while qubits 2 and 3
    // work; its window must hold the left-to-right sum of those lengths.
    // Layers: [h1, cx23] t2g | h2 t1g | cx23 t2g | h2 t1g | cx23 t2g | cx12.
    const double t1g = 1e-8, t2g = 3.3e-8;
    Problem p = circuit(4, {{kOne, {1}},
                            {kTwo, {2, 3}},
                            {kOne, {2}},
                            {kTwo, {2, 3}},
                            {kOne, {2}},
                            {kTwo, {2, 3}},
                            {kTwo, {1, 2}}});
    Outcome out = decouple(p, options(t1g, t2g, Sequence::cpmg, false));
    ASSERT_EQ(out.status, Status::ok);
    double idle = t2g - t1g;
    for (double length : {t1g, t2g, t1g, t2g}) idle += length;
    ASSERT_EQ(out.windows.size(), 1u);
    const Window& w = out.windows[0];
    EXPECT_EQ(w.node, 6u);
    EXPECT_EQ(w.position, 0u);
    const double n_dd = std::max(host_floor_divide(idle, t1g * 2), 1.0);
    const double gap =
        host_round((idle - n_dd * 2 * t1g) / 2 / n_dd / kGridSeconds) * kGridNs * 1e-9;
    EXPECT_EQ(w.gap, gap);
    EXPECT_EQ(static_cast<double>(out.inserted()), train_nodes(n_dd, 2, gap > 0));
}

// The changed graph built edge by edge as the pass builds it, layered by the
// core's own topological_generations: the order the engine derives without
// materialising its chains must equal it.
std::vector<NodeId> reference_order(Problem p, const Outcome& out) {
    dag::GateDag& g = p.dag;
    for (const Window& w : out.windows) {
        if (w.pre != dag::kNone)
            if (dag::EdgeId e = g.find_edge(w.pre, w.node); e != dag::kNone) g.remove_edge(e);
        NodeId first = g.add_node();
        EXPECT_EQ(first, w.first);
        for (std::uint32_t k = 1; k < w.count; ++k) g.add_node();
        for (NodeId n = first; n + 1 < first + w.count; ++n) g.add_edge(n, n + 1);
        if (w.pre != dag::kNone) g.add_edge(w.pre, first);
        g.add_edge(first + w.count - 1, w.node);
    }
    return dag::topological_generations(g).order;
}

TEST(Decouple, OrderEqualsTheLayersOfTheMaterialisedGraph) {
    std::uint64_t state = 12345;
    auto next = [&](std::uint32_t bound) {
        state = state * 6364136223846793005ull + 1442695040888963407ull;
        return static_cast<std::uint32_t>((state >> 33) % bound);
    };
    for (int round = 0; round < 200; ++round) {
        const std::uint32_t nqubits = 2 + next(5);
        Problem p;
        p.qubit_offsets.push_back(0);
        const std::uint32_t ngates = next(60);
        for (std::uint32_t i = 0; i < ngates; ++i) {
            const std::uint32_t kind = next(10);
            std::uint32_t width = kind < 5 ? 1 : kind < 9 ? 2 : 3;
            width = std::min(width, nqubits);
            std::vector<std::uint32_t> qs;
            while (qs.size() < width) {
                // Uneven loads: qubit 0 is drawn half of the time.
                std::uint32_t q = next(2) ? 0 : next(nqubits);
                if (std::find(qs.begin(), qs.end(), q) == qs.end()) qs.push_back(q);
            }
            p.timing.push_back(width == 1   ? kOne
                               : width == 2 ? kTwo
                                            : (next(2) ? kBarrier : kWide));
            p.qubit_ids.insert(p.qubit_ids.end(), qs.begin(), qs.end());
            p.qubit_offsets.push_back(static_cast<std::uint32_t>(p.qubit_ids.size()));
            p.dag.add_node();
        }
        auto deps = dag::dependency_edges(p.qubit_offsets, p.qubit_ids, nqubits);
        for (const auto& e : deps.edges) p.dag.add_edge(e.source, e.target);
        p.record_size = nqubits;
        const Options o =
            options(1e-8 * (1 + next(4)), 1e-8 * (1 + next(9)),
                    next(2) ? Sequence::xy4 : Sequence::cpmg, next(2) == 1, next(2) == 1);
        Outcome out = decouple(p, o);
        ASSERT_EQ(out.status, Status::ok);
        EXPECT_EQ(out.order, reference_order(p, out)) << "round " << round;
    }
}

}  // namespace
}  // namespace corvane::schedule
