#include "common/interrupt.hpp"
#include "simulate/outcomes.hpp"
#include "simulate/statevector.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace sim = corvane::simulate;

namespace {

sim::Operation op(const char* name, std::vector<unsigned> qubits, std::vector<double> params = {}) {
    return *sim::make_operation(name, params, qubits);
}

// Outcomes of at most 64 bits, keyed by their integer value.
std::map<std::uint64_t, double> by_value(const sim::Outcomes& out) {
    std::map<std::uint64_t, double> values;
    for (const auto& [key, p] : out.probabilities) values[key.empty() ? 0 : key[0]] += p;
    return values;
}

struct OutcomeCase {
    std::string name;
    unsigned nqubits, ncbits;
    std::function<void(sim::DynamicProgram&)> build;
    std::map<std::uint64_t, double> expected;
    std::uint64_t branch_points;
};

class DynamicPrograms : public testing::TestWithParam<OutcomeCase> {};

TEST_P(DynamicPrograms, GiveTheExactDistribution) {
    const OutcomeCase& c = GetParam();
    sim::DynamicProgram program(c.nqubits, c.ncbits);
    c.build(program);
    const sim::Outcomes out = sim::outcome_distribution(program, {});
    const auto got = by_value(out);
    ASSERT_EQ(got.size(), c.expected.size());
    for (const auto& [value, p] : c.expected) {
        ASSERT_TRUE(got.count(value)) << value;
        EXPECT_NEAR(got.at(value), p, 1e-12) << value;
    }
    EXPECT_EQ(out.branch_points, c.branch_points);
    EXPECT_EQ(out.unexplored, 0.0);
    EXPECT_TRUE(out.over_budget.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DynamicPrograms,
    testing::Values(
        // Measured only at the end: one branch, bits read off the final state.
        OutcomeCase{"bell_measured_at_the_end",
                    2,
                    2,
                    [](sim::DynamicProgram& p) {
                        p.gate(op("h", {0}));
                        p.gate(op("cx", {0, 1}));
                        p.measure(0, 0);
                        p.measure(1, 1);
                    },
                    {{0b00, 0.5}, {0b11, 0.5}},
                    0},
        // Feed-forward: the correction makes the second measurement certain.
        OutcomeCase{"measure_then_conditional_x",
                    1,
                    2,
                    [](sim::DynamicProgram& p) {
                        p.gate(op("h", {0}));
                        p.measure(0, 0);
                        const std::pair<unsigned, bool> c0_is_one[] = {{0, true}};
                        p.begin_if(c0_is_one);
                        p.gate(op("x", {0}));
                        p.end_if();
                        p.measure(0, 1);
                    },
                    {{0b00, 0.5}, {0b01, 0.5}},
                    1},
        OutcomeCase{"else_branch_runs_when_the_condition_fails",
                    2,
                    2,
                    [](sim::DynamicProgram& p) {
                        p.gate(op("h", {0}));
                        p.measure(0, 0);
                        const std::pair<unsigned, bool> c0_is_one[] = {{0, true}};
                        p.begin_if(c0_is_one);
                        p.gate(op("x", {1}));
                        p.else_branch();
                        p.gate(op("ry", {1}, {2 * std::acos(std::sqrt(0.75))}));
                        p.end_if();
                        p.measure(1, 1);
                    },
                    {{0b11, 0.5}, {0b00, 0.375}, {0b10, 0.125}},
                    1},
        OutcomeCase{"reset_sets_the_qubit_to_zero_in_every_branch",
                    2,
                    2,
                    [](sim::DynamicProgram& p) {
                        p.gate(op("h", {0}));
                        p.gate(op("cx", {0, 1}));
                        p.reset(0);
                        p.measure(0, 0);
                        p.measure(1, 1);
                    },
                    {{0b00, 0.5}, {0b10, 0.5}},
                    1},
        OutcomeCase{"certain_outcomes_do_not_branch",
                    2,
                    2,
                    [](sim::DynamicProgram& p) {
                        p.gate(op("x", {0}));
                        p.measure(0, 0);
                        p.reset(0);
                        p.reset(1);
                        p.measure(0, 1);
                    },
                    {{0b01, 1.0}},
                    0},
        // The gate after a conditional runs whatever the condition gave.
        OutcomeCase{"gates_after_a_conditional_run_in_every_branch",
                    2,
                    2,
                    [](sim::DynamicProgram& p) {
                        p.gate(op("x", {0}));
                        p.measure(0, 0);
                        const std::pair<unsigned, bool> c0_is_zero[] = {{0, false}};
                        p.begin_if(c0_is_zero);
                        p.gate(op("x", {1}));
                        p.end_if();
                        p.gate(op("x", {1}));
                        p.measure(1, 1);
                    },
                    {{0b11, 1.0}},
                    0},
        // A second measurement of a qubit makes the first one mid-circuit.
        OutcomeCase{"remeasured_qubit_collapses_at_the_first_measurement",
                    1,
                    2,
                    [](sim::DynamicProgram& p) {
                        p.gate(op("h", {0}));
                        p.measure(0, 0);
                        p.gate(op("h", {0}));
                        p.measure(0, 1);
                    },
                    {{0b00, 0.25}, {0b01, 0.25}, {0b10, 0.25}, {0b11, 0.25}},
                    1}),
    [](const testing::TestParamInfo<OutcomeCase>& info) { return info.param.name; });

TEST(OutcomeBudget, LeavesTheRestUnexploredAndSaysWhy) {
    sim::DynamicProgram program(3, 3);
    for (unsigned q = 0; q < 3; ++q) {
        program.gate(op("h", {q}));
        program.measure(q, q);
        program.gate(op("x", {q}));  // keeps each measurement mid-circuit
    }
    sim::OutcomeBudget budget;
    budget.max_branch_points = 2;
    const sim::Outcomes out = sim::outcome_distribution(program, budget);
    EXPECT_EQ(out.over_budget, "branches");
    double found = 0;
    for (const auto& [key, p] : out.probabilities) found += p;
    EXPECT_NEAR(found + out.unexplored, 1.0, 1e-12);
    EXPECT_GT(out.unexplored, 0.0);
}

TEST(OutcomeBudget, CircuitsTooWideAreRefused) {
    EXPECT_THROW(sim::DynamicProgram(sim::kMaxOutcomeQubits + 1, 0), std::invalid_argument);
    sim::DynamicProgram program(2, 1);
    EXPECT_THROW(program.measure(2, 0), std::out_of_range);
    EXPECT_THROW(program.measure(0, 1), std::out_of_range);
    EXPECT_THROW(program.end_if(), std::logic_error);
}

// Fusing one-qubit runs changes only rounding, and a decoupling train
// (x y x y = -identity) leaves no kernel, only its factor.
TEST(CompiledGates, FusedRunsGiveTheSameStateUpToRounding) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> angle(-3.0, 3.0);
    for (unsigned nqubits : {3u, 16u}) {
        std::vector<sim::Operation> ops;
        for (int k = 0; k < 60; ++k) {
            const unsigned q = static_cast<unsigned>(rng() % nqubits);
            const auto other = static_cast<unsigned>((q + 1 + rng() % (nqubits - 1)) % nqubits);
            ops.push_back(k % 3 ? op("rx", {q}, {angle(rng)}) : op("cx", {q, other}));
            if (k % 7 == 0)
                for (const char* pulse : {"x", "y", "x", "y"}) ops.push_back(op(pulse, {q}));
        }
        std::vector<sim::cplx> plain(std::size_t{1} << nqubits), fused(plain.size());
        plain[0] = fused[0] = 1.0;
        corvane::InterruptPoll poll;
        sim::CompiledGates(nqubits, ops, false).apply(plain, poll);
        const sim::CompiledGates compiled(nqubits, ops, true);
        compiled.apply(fused, poll);
        for (std::size_t i = 0; i < plain.size(); ++i)
            ASSERT_LT(std::abs(fused[i] * compiled.scalar() - plain[i]), 1e-12) << i;
    }
    const std::vector<sim::Operation> train = {op("x", {0}), op("y", {0}), op("x", {0}),
                                               op("y", {0})};
    const sim::CompiledGates compiled(1, train, true);
    EXPECT_EQ(compiled.scalar(), sim::cplx(-1.0, 0.0));
    std::vector<sim::cplx> state = {0.6, 0.8};
    corvane::InterruptPoll poll;
    compiled.apply(state, poll);
    EXPECT_EQ(state, (std::vector<sim::cplx>{0.6, 0.8}));
}

}  // namespace
