#include "common/interrupt.hpp"
#include "dag/gate_dag.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

int checks_run = 0;
int stop_at = 0;  // the check that reports an interrupt; 0: none does

bool counting_check() { return ++checks_run == stop_at; }

class Interrupt : public ::testing::Test {
protected:
    void SetUp() override {
        checks_run = 0;
        stop_at = 0;
        corvane::set_interrupt_check(&counting_check);
    }
    void TearDown() override { corvane::set_interrupt_check(nullptr); }
};

// A chain of `n` gates on one qubit: n - 1 edges.
std::vector<std::uint32_t> chain_offsets(std::uint32_t n) {
    std::vector<std::uint32_t> offsets(n + 1);
    for (std::uint32_t i = 0; i <= n; ++i) offsets[i] = i;
    return offsets;
}

TEST_F(Interrupt, CheckRunsOncePerIntervalOfTicks) {
    corvane::InterruptPoll poll;
    for (std::uint32_t i = 0; i < 3 * corvane::InterruptPoll::kInterval - 1; ++i) poll.tick();
    EXPECT_EQ(checks_run, 2);
}

TEST_F(Interrupt, ReportedInterruptStopsALongLoopWithTheException) {
    const std::uint32_t n = 10 * corvane::InterruptPoll::kInterval;
    const std::vector<std::uint32_t> offsets = chain_offsets(n), qubits(n, 0);
    stop_at = 3;
    EXPECT_THROW(corvane::dag::dependency_edges(offsets, qubits, 1), corvane::Interrupted);
    EXPECT_EQ(checks_run, 3);
}

TEST_F(Interrupt, WithoutACheckNothingStops) {
    corvane::set_interrupt_check(nullptr);
    const std::uint32_t n = 3 * corvane::InterruptPoll::kInterval;
    const std::vector<std::uint32_t> offsets = chain_offsets(n), qubits(n, 0);
    EXPECT_EQ(corvane::dag::dependency_edges(offsets, qubits, 1).edges.size(), n - 1);
}

}  // namespace
