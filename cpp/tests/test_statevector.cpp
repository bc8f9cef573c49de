#include "simulate/kernels.hpp"
#include "simulate/statevector.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace sim = corvane::simulate;
using sim::cplx;

namespace {

sim::Operation operation(const std::string& name, std::vector<double> params,
                         std::vector<unsigned> qubits) {
    auto op = sim::make_operation(name, params, qubits);
    EXPECT_TRUE(op.has_value()) << name;
    return *op;
}

// The reference: the gate's full matrix applied to every amplitude, no shortcuts.
void apply_dense_reference(const sim::Operation& op, std::vector<cplx>& v) {
    const std::size_t dim = std::size_t{1} << op.arity;
    std::vector<cplx> out(v.size());
    for (std::size_t i = 0; i < v.size(); ++i) {
        std::size_t row = 0, rest = i;
        for (std::size_t b = 0; b < op.arity; ++b) {
            row |= (i >> op.qubits[b] & 1) << b;
            rest &= ~(std::size_t{1} << op.qubits[b]);
        }
        cplx sum = 0.0;
        for (std::size_t col = 0; col < dim; ++col) {
            std::size_t j = rest;
            for (std::size_t b = 0; b < op.arity; ++b) j |= (col >> b & 1) << op.qubits[b];
            sum += op.matrix[row * dim + col] * v[j];
        }
        out[i] = sum;
    }
    v = out;
}

std::vector<cplx> random_state(unsigned nqubits, unsigned seed) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<double> normal;
    std::vector<cplx> v(std::size_t{1} << nqubits);
    for (cplx& a : v) a = {normal(rng), normal(rng)};
    return v;
}

struct Gate {
    const char* name;
    std::size_t nparams;
    std::size_t nqubits;
};

// Every gate of the model's set.
const Gate kGates[] = {
    {"id", 0, 1},    {"x", 0, 1},  {"y", 0, 1},   {"z", 0, 1},   {"h", 0, 1},     {"s", 0, 1},
    {"sdg", 0, 1},   {"t", 0, 1},  {"tdg", 0, 1}, {"sx", 0, 1},  {"sxdg", 0, 1},  {"swap", 0, 2},
    {"iswap", 0, 2}, {"cx", 0, 2}, {"cy", 0, 2},  {"cz", 0, 2},  {"rx", 1, 1},    {"ry", 1, 1},
    {"rz", 1, 1},    {"p", 1, 1},  {"u", 3, 1},   {"r", 2, 1},   {"rxx", 1, 2},   {"ryy", 1, 2},
    {"rzz", 1, 2},   {"cp", 1, 2}, {"ccz", 0, 3}, {"ccx", 0, 3}, {"cswap", 0, 3},
};

std::vector<sim::Operation> random_circuit(unsigned nqubits, std::size_t ngates, unsigned seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<double> angle(-3.0, 3.0);
    std::vector<sim::Operation> ops;
    while (ops.size() < ngates) {
        const Gate& g = kGates[rng() % std::size(kGates)];
        if (g.nqubits > nqubits) continue;
        std::vector<unsigned> qubits;
        while (qubits.size() < g.nqubits) {
            const unsigned q = rng() % nqubits;
            if (std::find(qubits.begin(), qubits.end(), q) == qubits.end()) qubits.push_back(q);
        }
        std::vector<double> params(g.nparams);
        for (double& p : params) p = angle(rng);
        ops.push_back(operation(g.name, params, qubits));
    }
    return ops;
}

double max_difference(const std::vector<cplx>& a, const std::vector<cplx>& b) {
    double worst = 0.0;
    for (std::size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(a[i] - b[i]));
    return worst;
}

}  // namespace

// Each gate alone, on qubits in every order and placed low, high and apart,
// against the dense product: the shortcut kernels must give the same state.
TEST(Kernels, EveryGateOnScatteredQubitsMatchesTheDenseProduct) {
    const std::vector<std::vector<unsigned>> placements = {
        {0, 1, 2}, {2, 1, 0}, {4, 0, 3}, {1, 4, 2}, {3, 2, 4}};
    for (const Gate& g : kGates)
        for (const auto& placement : placements) {
            std::vector<unsigned> qubits(placement.begin(), placement.begin() + g.nqubits);
            const sim::Operation op =
                operation(g.name, std::vector<double>(g.nparams, 0.7), qubits);
            std::vector<cplx> expected = random_state(5, 7), state = expected;
            apply_dense_reference(op, expected);
            sim::apply_kernel(sim::kernel_of(op), state);
            EXPECT_LT(max_difference(state, expected), 1e-14) << g.name << " on " << qubits[0];
        }
}

struct ShapeCase {
    const char* name;
    unsigned arity;
    std::vector<double> params;
    sim::KernelShape shape;
    unsigned ncontrols;
    unsigned nmoved;  // entries the kernel touches per base (0 for dense)
};

class KernelShapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(KernelShapes, PeelsControlsAndPicksTheCheapestForm) {
    const ShapeCase& c = GetParam();
    std::vector<unsigned> qubits(c.arity);
    for (unsigned q = 0; q < c.arity; ++q) qubits[q] = q;
    const sim::Kernel k = sim::kernel_of(operation(c.name, c.params, qubits));
    EXPECT_EQ(k.shape, c.shape);
    EXPECT_EQ(k.ncontrols, c.ncontrols);
    if (c.shape != sim::KernelShape::kDense) {
        EXPECT_EQ(k.nmoved, c.nmoved);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Gates, KernelShapes,
    ::testing::Values(ShapeCase{"id", 1, {}, sim::KernelShape::kDiagonal, 0, 0},
                      ShapeCase{"z", 1, {}, sim::KernelShape::kDiagonal, 0, 1},
                      ShapeCase{"rz", 1, {0.3}, sim::KernelShape::kDiagonal, 0, 2},
                      ShapeCase{"x", 1, {}, sim::KernelShape::kPermutation, 0, 2},
                      ShapeCase{"h", 1, {}, sim::KernelShape::kDense, 0, 0},
                      ShapeCase{"cx", 2, {}, sim::KernelShape::kPermutation, 1, 2},
                      ShapeCase{"cz", 2, {}, sim::KernelShape::kDiagonal, 1, 1},
                      ShapeCase{"cp", 2, {0.4}, sim::KernelShape::kDiagonal, 1, 1},
                      ShapeCase{"swap", 2, {}, sim::KernelShape::kPermutation, 0, 2},
                      ShapeCase{"iswap", 2, {}, sim::KernelShape::kPermutation, 0, 2},
                      ShapeCase{"rzz", 2, {0.4}, sim::KernelShape::kDiagonal, 0, 4},
                      ShapeCase{"ccx", 3, {}, sim::KernelShape::kPermutation, 2, 2},
                      ShapeCase{"ccz", 3, {}, sim::KernelShape::kDiagonal, 2, 1},
                      ShapeCase{"cswap", 3, {}, sim::KernelShape::kPermutation, 1, 2}));

// Widths below, at and above the block size, so that both the direct path and
// the blocked one (gather, gates in cache, scatter) are checked.
TEST(Statevector, RandomCircuitsMatchTheDenseProductGateByGate) {
    for (const unsigned nqubits : {1u, 3u, 9u, 14u, 15u, 17u}) {
        const auto ops = random_circuit(nqubits, nqubits >= 15 ? 120 : 300, nqubits);
        std::vector<cplx> expected = random_state(nqubits, nqubits + 100), state = expected;
        for (const auto& op : ops) apply_dense_reference(op, expected);
        sim::apply_circuit(nqubits, ops, state);
        EXPECT_LT(max_difference(state, expected), 1e-12) << nqubits << " qubits";
    }
}

TEST(Statevector, RefusesTooManyQubitsWrongSizesAndOutsideQubits) {
    std::vector<cplx> state(4);
    EXPECT_THROW(sim::apply_circuit(sim::kMaxStateQubits + 1, {}, state), std::invalid_argument);
    EXPECT_THROW(sim::apply_circuit(3, {}, state), std::invalid_argument);
    const auto op = operation("x", {}, {2});
    EXPECT_THROW(sim::apply_circuit(2, std::span(&op, 1), state), std::out_of_range);
}
