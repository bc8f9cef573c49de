#include "decompose/u3_decompose.hpp"
#include "gates/gate_matrices.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <vector>

namespace g = corvane::gates;
using corvane::decompose::u3_decompose;
using g::cplx;

namespace {

constexpr double kPi = std::numbers::pi;

g::Matrix2 mul(const g::Matrix2& a, const g::Matrix2& b) {
    return {a[0] * b[0] + a[1] * b[2], a[0] * b[1] + a[1] * b[3], a[2] * b[0] + a[3] * b[2],
            a[2] * b[1] + a[3] * b[3]};
}

g::Matrix2 phased(double phase, g::Matrix2 m) {
    const cplx f = std::exp(cplx(0.0, phase));
    for (auto& v : m) v *= f;
    return m;
}

// Largest entrywise distance between m and its reconstruction.
double reconstruction_error(const g::Matrix2& m) {
    const auto r = u3_decompose(m.data());
    const auto back = phased(r.phase, g::u_matrix(r.theta, r.phi, r.lamda));
    double err = 0.0;
    for (int k = 0; k < 4; ++k) err = std::max(err, std::abs(back[k] - m[k]));
    return err;
}

struct Case {
    std::string name;
    g::Matrix2 m;
};

class Reconstructs : public ::testing::TestWithParam<Case> {};

TEST_P(Reconstructs, ToRoundingAccuracy) { EXPECT_LE(reconstruction_error(GetParam().m), 1e-14); }

TEST_P(Reconstructs, AnglesInRange) {
    const auto r = u3_decompose(GetParam().m.data());
    EXPECT_GE(r.theta, 0.0);
    EXPECT_LE(r.theta, kPi);
    for (double a : {r.phi, r.lamda, r.phase}) {
        EXPECT_GT(a, -kPi);
        EXPECT_LE(a, kPi);
    }
}

std::vector<Case> cases() {
    std::vector<Case> v = {
        {"id", g::id_matrix()},
        {"x", g::x_matrix()},
        {"y", g::y_matrix()},
        {"z", g::z_matrix()},
        {"h", g::h_matrix()},
        {"s", g::s_matrix()},
        {"sdg", g::sdg_matrix()},
        {"t", g::t_matrix()},
        {"tdg", g::tdg_matrix()},
        {"sx", g::sx_matrix()},
        {"sxdg", g::sxdg_matrix()},
        {"minus_id", phased(kPi, g::id_matrix())},
        {"rz_tiny", g::rz_matrix(1e-300)},
        {"rx_tiny", g::rx_matrix(1e-12)},
        {"rx_near_pi", g::rx_matrix(kPi - 1e-12)},
        {"ry_near_pi", g::ry_matrix(kPi + 1e-13)},
        {"ry_2pi", g::ry_matrix(2 * kPi)},
        {"u_near_pi_phased", phased(2.5, g::u_matrix(kPi - 3e-9, -2.0, 3.0))},
        {"u_near_0_phased", phased(-1.0, g::u_matrix(4e-9, 3.1, -3.1))},
        {"p_minus_pi", g::p_matrix(-kPi)},
        {"anti_diagonal_phases",
         {cplx(0.0), cplx(0.3, -0.4) / 0.5, cplx(-0.6, -0.8), cplx(-0.0, 0.0)}},
        {"diagonal_phases",
         {std::exp(cplx(0, 3.0)), cplx(-0.0, -0.0), cplx(0.0, -0.0), std::exp(cplx(0, -3.0))}},
    };
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> angle(-4.0, 4.0), polar(0.0, kPi);
    for (int k = 0; k < 40; ++k)
        v.push_back({"random" + std::to_string(k),
                     phased(angle(rng), g::u_matrix(polar(rng), angle(rng), angle(rng)))});
    return v;
}

INSTANTIATE_TEST_SUITE_P(Unitaries, Reconstructs, ::testing::ValuesIn(cases()),
                         [](const auto& info) { return info.param.name; });

// ---- round trip from known angles -----------------------------------------------

TEST(RoundTrip, RecoversThetaAndCanonicalAnglesOfGenericGates) {
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> polar(0.01, kPi - 0.01), angle(-3.1, 3.1);
    for (int k = 0; k < 200; ++k) {
        const double t = polar(rng), p = angle(rng), l = angle(rng), a = angle(rng);
        const auto r = u3_decompose(phased(a, g::u_matrix(t, p, l)).data());
        EXPECT_NEAR(r.theta, t, 1e-13);
        EXPECT_NEAR(std::remainder(r.phi - p, 2 * kPi), 0.0, 1e-13);
        EXPECT_NEAR(std::remainder(r.lamda - l, 2 * kPi), 0.0, 1e-13);
        EXPECT_NEAR(std::remainder(r.phase - a, 2 * kPi), 0.0, 1e-13);
    }
}

TEST(RoundTrip, DiagonalGivesZeroPhi) {
    const auto r = u3_decompose(g::p_matrix(0.9).data());
    EXPECT_EQ(r.theta, 0.0);
    EXPECT_EQ(r.phi, 0.0);
    EXPECT_NEAR(r.lamda, 0.9, 1e-15);
    EXPECT_EQ(r.phase, 0.0);
}

TEST(RoundTrip, AntiDiagonalGivesZeroPhase) {
    const auto r = u3_decompose(g::x_matrix().data());
    EXPECT_EQ(r.theta, kPi);
    EXPECT_EQ(r.phase, 0.0);
    EXPECT_EQ(r.phi, 0.0);
    EXPECT_EQ(r.lamda, kPi);
}

// ---- hard inputs ----------------------------------------------------------------

TEST(HardInputs, LongProductsOfRotations) {
    std::mt19937_64 rng(99);
    std::uniform_real_distribution<double> angle(-kPi, kPi);
    for (int trial = 0; trial < 20; ++trial) {
        g::Matrix2 m = g::id_matrix();
        for (int k = 0; k < 500; ++k) {
            switch (k % 4) {
                case 0:
                    m = mul(g::rx_matrix(angle(rng)), m);
                    break;
                case 1:
                    m = mul(g::rz_matrix(angle(rng)), m);
                    break;
                case 2:
                    m = mul(g::u_matrix(angle(rng), angle(rng), angle(rng)), m);
                    break;
                default:
                    m = mul(g::h_matrix(), m);
                    break;
            }
        }
        EXPECT_LE(reconstruction_error(m), 1e-12) << "trial " << trial;
    }
}

TEST(HardInputs, SlightlyNonUnitaryMatricesStayClose) {
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> angle(-kPi, kPi), noise(-1e-13, 1e-13);
    for (int k = 0; k < 300; ++k) {
        // near-diagonal, near-anti-diagonal and generic
        const double theta = k % 3 == 0   ? 1e-9 * (k + 1)
                             : k % 3 == 1 ? kPi - 1e-9 * k
                                          : angle(rng) + kPi;
        auto m = phased(angle(rng), g::u_matrix(theta, angle(rng), angle(rng)));
        for (auto& v : m) v += cplx(noise(rng), noise(rng));
        EXPECT_LE(reconstruction_error(m), 1e-12) << k;
    }
}

TEST(HardInputs, SmallEntriesKeepTheirRelativeAccuracy) {
    // rx(1e-20): the off-diagonal entries are -5e-21 i; the reconstruction
    // reproduces them, not just something within 1e-16 of them.
    const auto m = g::rx_matrix(1e-20);
    const auto r = u3_decompose(m.data());
    const auto back = phased(r.phase, g::u_matrix(r.theta, r.phi, r.lamda));
    EXPECT_NEAR(std::abs(back[1] - m[1]) / std::abs(m[1]), 0.0, 1e-14);
    EXPECT_NEAR(std::abs(back[2] - m[2]) / std::abs(m[2]), 0.0, 1e-14);
}

TEST(HardInputs, NonFiniteEntriesGiveNaN) {
    const double inf = std::numeric_limits<double>::infinity();
    for (cplx bad : {cplx(NAN, 0.0), cplx(0.0, inf), cplx(-inf, 1.0)}) {
        g::Matrix2 m = g::h_matrix();
        m[2] = bad;
        const auto r = u3_decompose(m.data());
        EXPECT_TRUE(std::isnan(r.theta) && std::isnan(r.phi) && std::isnan(r.lamda) &&
                    std::isnan(r.phase));
    }
}

}  // namespace
