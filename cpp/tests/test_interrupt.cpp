#include "common/interrupt.hpp"
#include "compress/gate_compressor.hpp"
#include "dag/gate_dag.hpp"
#include "qasm/reader.hpp"
#include "simulate/statevector.hpp"
#include "simulate/unitary.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
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

// Two nodes joined by many parallel edges: the layering visits two nodes,
// so only the in-degree count can reach a check.
TEST_F(Interrupt, LayeringStopsWhileCountingInDegrees) {
    corvane::dag::Adjacency graph;
    graph.targets.assign(3 * corvane::InterruptPoll::kInterval, 1);
    const auto edges = static_cast<std::uint32_t>(graph.targets.size());
    graph.offsets = {0, edges, edges};
    stop_at = 1;
    EXPECT_THROW(corvane::dag::topological_generations(graph), corvane::Interrupted);
    EXPECT_EQ(checks_run, 1);
}

// The engine's constructor lays out the graph before run() starts: on a long
// chain it reaches a check on its own.
TEST_F(Interrupt, CompressionStopsWhileLayingOutItsGraph) {
    namespace compress = corvane::compress;
    compress::Circuit chain;
    chain.kinds.push_back({compress::Rule::one_qubit, compress::MatrixKind::none, true, false});
    const std::uint32_t n = 3 * corvane::InterruptPoll::kInterval;
    for (std::uint32_t i = 0; i < n; ++i) {
        chain.node_kind.push_back(0);
        chain.qubits.push_back(0);
        chain.qubit_offsets.push_back(i + 1);
        chain.param_offsets.push_back(0);
        if (i > 0) {
            chain.edges.push_back({i - 1, i, static_cast<std::uint32_t>(chain.edge_qubits.size()),
                                   static_cast<std::uint32_t>(chain.edge_qubits.size() + 1)});
            chain.edge_qubits.push_back(0);
        }
    }
    stop_at = 1;
    EXPECT_THROW(compress::Engine(chain, compress::plain_hooks()), corvane::Interrupted);
    EXPECT_EQ(checks_run, 1);
}

// Thirty lines of gate definitions that expand to 2^16 operations: the read
// stops inside the expansion, not only between statements.
TEST_F(Interrupt, ReadingAProgramStopsWithinAnExpansion) {
    std::string text = "OPENQASM 2.0;\nqreg q[1];\ngate g0 a { U(0,0,0) a; U(0,0,0) a; }\n";
    for (int i = 1; i < 16; ++i)
        text += "gate g" + std::to_string(i) + " a { g" + std::to_string(i - 1) + " a; g" +
                std::to_string(i - 1) + " a; }\n";
    text += "g15 q[0];\n";
    stop_at = 3;
    corvane::qasm::GateSet gates;
    gates.add("u", {1, 3});
    EXPECT_THROW(corvane::qasm::read_program(text, gates), corvane::Interrupted);
    EXPECT_EQ(checks_run, 3);
}

TEST_F(Interrupt, UnitaryStopsWithinAColumn) {
    const auto x = *corvane::simulate::make_operation("x", {}, std::vector<unsigned>{0});
    const std::vector<corvane::simulate::Operation> ops(3 * corvane::InterruptPoll::kInterval, x);
    std::vector<corvane::simulate::cplx> out(4);
    stop_at = 2;
    EXPECT_THROW(corvane::simulate::circuit_unitary(1, ops, out), corvane::Interrupted);
    EXPECT_EQ(checks_run, 2);
}

// 2^20 amplitudes: each gate is 512 ticks of 2048 amplitudes, so the check
// runs every four gates, in the blocked path as in the direct one.
TEST_F(Interrupt, StateVectorStopsWithinAFewGates) {
    const auto h = *corvane::simulate::make_operation("h", {}, std::vector<unsigned>{19});
    const std::vector<corvane::simulate::Operation> ops(40, h);
    std::vector<corvane::simulate::cplx> state(std::size_t{1} << 20);
    stop_at = 3;
    EXPECT_THROW(corvane::simulate::apply_circuit(20, ops, state), corvane::Interrupted);
    EXPECT_EQ(checks_run, 3);
}

}  // namespace
