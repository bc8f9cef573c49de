#include "simulate/unitary.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

namespace g = corvane::gates;
namespace sim = corvane::simulate;
using g::cplx;

namespace {

constexpr double kTol = 1e-14;

struct Gate {
    std::string name;
    std::vector<double> params;
    std::vector<unsigned> qubits;
};

std::vector<cplx> unitary_of(unsigned nqubits, const std::vector<Gate>& gates) {
    std::vector<sim::Operation> ops;
    for (const Gate& gate : gates) {
        auto op = sim::make_operation(gate.name, gate.params, gate.qubits);
        EXPECT_TRUE(op.has_value()) << gate.name;
        if (op) ops.push_back(*op);
    }
    const std::size_t dim = std::size_t{1} << nqubits;
    std::vector<cplx> out(dim * dim);
    sim::circuit_unitary(nqubits, ops, out);
    return out;
}

// Entry (row, col) of the column-major result.
cplx at(const std::vector<cplx>& u, std::size_t row, std::size_t col) {
    const auto dim = static_cast<std::size_t>(std::lround(std::sqrt(double(u.size()))));
    return u[col * dim + row];
}

template <std::size_t K>
void expect_equal_to_row_major(const std::vector<cplx>& u, const std::array<cplx, K>& m) {
    const std::size_t dim = K == 4 ? 2 : K == 16 ? 4 : 8;
    ASSERT_EQ(u.size(), K);
    for (std::size_t r = 0; r < dim; ++r)
        for (std::size_t c = 0; c < dim; ++c)
            EXPECT_LT(std::abs(at(u, r, c) - m[r * dim + c]), kTol) << r << "," << c;
}

}  // namespace

TEST(Unitary, GateOnItsOwnQubitsInOrderIsItsMatrix) {
    expect_equal_to_row_major(unitary_of(1, {{"sx", {}, {0}}}), g::sx_matrix());
    expect_equal_to_row_major(unitary_of(1, {{"u", {0.3, -1.1, 2.0}, {0}}}),
                              g::u_matrix(0.3, -1.1, 2.0));
    expect_equal_to_row_major(unitary_of(2, {{"cy", {}, {0, 1}}}), g::cy_matrix());
    expect_equal_to_row_major(unitary_of(2, {{"rxx", {0.7}, {0, 1}}}), g::rxx_matrix(0.7));
    expect_equal_to_row_major(unitary_of(3, {{"cswap", {}, {0, 1, 2}}}), g::cswap_matrix());
}

TEST(Unitary, ReversedQubitsGiveTheReversedOrderMatrices) {
    expect_equal_to_row_major(unitary_of(2, {{"cx", {}, {1, 0}}}), g::xc_matrix());
    expect_equal_to_row_major(unitary_of(2, {{"cy", {}, {1, 0}}}), g::yc_matrix());
    expect_equal_to_row_major(unitary_of(3, {{"ccx", {}, {2, 1, 0}}}), g::cxc_matrix());
    expect_equal_to_row_major(unitary_of(3, {{"cswap", {}, {2, 1, 0}}}), g::swapc_matrix());
}

TEST(Unitary, OneQubitGateOnQubitOneIsKroneckerWithIdentityOnTheRight) {
    const auto m = g::ry_matrix(0.9);
    const auto u = unitary_of(2, {{"ry", {0.9}, {1}}});
    for (std::size_t r = 0; r < 4; ++r)
        for (std::size_t c = 0; c < 4; ++c) {
            const cplx expected = (r & 1) == (c & 1) ? m[(r >> 1) * 2 + (c >> 1)] : cplx{};
            EXPECT_LT(std::abs(at(u, r, c) - expected), kTol) << r << "," << c;
        }
}

TEST(Unitary, GatesApplyInProgramOrder) {
    // x then h sends |0> to |->; h then x sends it to |+>.
    const auto xh = unitary_of(1, {{"x", {}, {0}}, {"h", {}, {0}}});
    const auto hx = unitary_of(1, {{"h", {}, {0}}, {"x", {}, {0}}});
    EXPECT_LT(at(xh, 1, 0).real(), 0.0);
    EXPECT_GT(at(hx, 1, 0).real(), 0.0);
    // rz(a) then rz(b) is rz(a + b) on a qubit in the middle of three.
    expect_equal_to_row_major(unitary_of(3, {{"rz", {0.4}, {1}}, {"rz", {-1.5}, {1}}}), [] {
        const auto rz = g::rz_matrix(-1.1);
        std::array<cplx, 64> m{};
        for (std::size_t i = 0; i < 8; ++i) m[i * 8 + i] = rz[(i >> 1 & 1) * 3];
        return m;
    }());
}

TEST(Unitary, EmptyCircuitIsTheIdentity) {
    const auto u = unitary_of(3, {});
    for (std::size_t r = 0; r < 8; ++r)
        for (std::size_t c = 0; c < 8; ++c) EXPECT_EQ(at(u, r, c), cplx(r == c ? 1.0 : 0.0));
}

struct Rejected {
    const char* name;
    std::vector<double> params;
    std::vector<unsigned> qubits;
};

void PrintTo(const Rejected& c, std::ostream* os) { *os << c.name; }

class MakeOperationRejects : public ::testing::TestWithParam<Rejected> {};

TEST_P(MakeOperationRejects, ReturnsNothing) {
    const Rejected& c = GetParam();
    EXPECT_FALSE(sim::make_operation(c.name, c.params, c.qubits).has_value()) << c.name;
}

INSTANTIATE_TEST_SUITE_P(Cases, MakeOperationRejects,
                         ::testing::Values(Rejected{"measure", {}, {0}}, Rejected{"foo", {}, {0}},
                                           Rejected{"rx", {}, {0}}, Rejected{"rx", {1.0, 2.0}, {0}},
                                           Rejected{"u", {1.0}, {0}}, Rejected{"x", {1.0}, {0}},
                                           Rejected{"cx", {}, {0}}, Rejected{"h", {}, {0, 1}},
                                           Rejected{"cx", {}, {1, 1}}, Rejected{"rzz", {0.5}, {2}},
                                           Rejected{"ccx", {}, {0, 1, 0}}, Rejected{"x", {}, {}}));

TEST(Unitary, RefusesTooManyQubitsAndOutsideQubits) {
    std::vector<cplx> out(4);
    EXPECT_THROW(sim::circuit_unitary(sim::kMaxQubits + 1, {}, out), std::invalid_argument);
    const auto op = *sim::make_operation("x", {}, std::vector<unsigned>{1});
    EXPECT_THROW(sim::circuit_unitary(1, std::span(&op, 1), out), std::out_of_range);
}
