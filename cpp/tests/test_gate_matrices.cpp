#include "gates/gate_matrices.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <complex>
#include <cstddef>
#include <functional>
#include <numbers>
#include <string>
#include <vector>

namespace g = corvane::gates;
using g::cplx;

namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kTol = 1e-14;

// Dynamically sized square matrix, enough for the identities below.
struct Dense {
    std::size_t n = 0;
    std::vector<cplx> a;
    cplx operator()(std::size_t r, std::size_t c) const { return a[r * n + c]; }
};

template <std::size_t K>
Dense dense(const std::array<cplx, K>& m) {
    const std::size_t n = K == 4 ? 2 : K == 16 ? 4 : 8;
    return {n, std::vector<cplx>(m.begin(), m.end())};
}

Dense identity(std::size_t n) {
    Dense d{n, std::vector<cplx>(n * n, 0.0)};
    for (std::size_t k = 0; k < n; ++k) d.a[k * n + k] = 1.0;
    return d;
}

Dense mul(const Dense& x, const Dense& y) {
    Dense r{x.n, std::vector<cplx>(x.n * x.n, 0.0)};
    for (std::size_t i = 0; i < x.n; ++i)
        for (std::size_t k = 0; k < x.n; ++k)
            for (std::size_t j = 0; j < x.n; ++j) r.a[i * x.n + j] += x(i, k) * y(k, j);
    return r;
}

Dense dagger(const Dense& x) {
    Dense r{x.n, std::vector<cplx>(x.n * x.n)};
    for (std::size_t i = 0; i < x.n; ++i)
        for (std::size_t j = 0; j < x.n; ++j) r.a[j * x.n + i] = std::conj(x(i, j));
    return r;
}

Dense scaled(cplx f, Dense x) {
    for (auto& v : x.a) v *= f;
    return x;
}

double max_diff(const Dense& x, const Dense& y) {
    double d = 0.0;
    for (std::size_t k = 0; k < x.a.size(); ++k) d = std::max(d, std::abs(x.a[k] - y.a[k]));
    return d;
}

// Conjugation by the permutation that reverses the order of the qubits.
Dense bit_reversed(const Dense& x) {
    const int nbits = x.n == 2 ? 1 : x.n == 4 ? 2 : 3;
    auto rev = [nbits](std::size_t v) {
        std::size_t r = 0;
        for (int b = 0; b < nbits; ++b)
            if (v >> b & 1) r |= std::size_t{1} << (nbits - 1 - b);
        return r;
    };
    Dense r{x.n, std::vector<cplx>(x.n * x.n)};
    for (std::size_t i = 0; i < x.n; ++i)
        for (std::size_t j = 0; j < x.n; ++j) r.a[rev(i) * x.n + rev(j)] = x(i, j);
    return r;
}

bool bits_equal(cplx x, cplx y) {
    return std::signbit(x.real()) == std::signbit(y.real()) &&
           std::signbit(x.imag()) == std::signbit(y.imag()) && x == y;
}

#define EXPECT_MAT_NEAR(x, y) EXPECT_LE(max_diff((x), (y)), kTol)

// ---- every matrix is unitary ------------------------------------------------

struct Named {
    std::string name;
    std::function<Dense()> make;
};

std::vector<Named> all_matrices() {
    std::vector<Named> v = {
        {"id", [] { return dense(g::id_matrix()); }},
        {"x", [] { return dense(g::x_matrix()); }},
        {"y", [] { return dense(g::y_matrix()); }},
        {"z", [] { return dense(g::z_matrix()); }},
        {"h", [] { return dense(g::h_matrix()); }},
        {"s", [] { return dense(g::s_matrix()); }},
        {"sdg", [] { return dense(g::sdg_matrix()); }},
        {"t", [] { return dense(g::t_matrix()); }},
        {"tdg", [] { return dense(g::tdg_matrix()); }},
        {"sx", [] { return dense(g::sx_matrix()); }},
        {"sxdg", [] { return dense(g::sxdg_matrix()); }},
        {"swap", [] { return dense(g::swap_matrix()); }},
        {"iswap", [] { return dense(g::iswap_matrix()); }},
        {"cx", [] { return dense(g::cx_matrix()); }},
        {"xc", [] { return dense(g::xc_matrix()); }},
        {"cy", [] { return dense(g::cy_matrix()); }},
        {"yc", [] { return dense(g::yc_matrix()); }},
        {"cz", [] { return dense(g::cz_matrix()); }},
        {"ccz", [] { return dense(g::ccz_matrix()); }},
        {"ccx", [] { return dense(g::ccx_matrix()); }},
        {"cxc", [] { return dense(g::cxc_matrix()); }},
        {"cswap", [] { return dense(g::cswap_matrix()); }},
        {"swapc", [] { return dense(g::swapc_matrix()); }},
    };
    for (double t : {-2.7, 0.0, 0.3, kPi, 5.1}) {
        const std::string a = std::to_string(t);
        v.push_back({"rx" + a, [t] { return dense(g::rx_matrix(t)); }});
        v.push_back({"ry" + a, [t] { return dense(g::ry_matrix(t)); }});
        v.push_back({"rz" + a, [t] { return dense(g::rz_matrix(t)); }});
        v.push_back({"p" + a, [t] { return dense(g::p_matrix(t)); }});
        v.push_back({"r" + a, [t] { return dense(g::r_matrix(t, 0.7 - t)); }});
        v.push_back({"u" + a, [t] { return dense(g::u_matrix(t, 1.1 * t, -0.4)); }});
        v.push_back({"u1" + a, [t] { return dense(g::u1_matrix(t)); }});
        v.push_back({"u2" + a, [t] { return dense(g::u2_matrix(t, 2.0)); }});
        v.push_back({"rxx" + a, [t] { return dense(g::rxx_matrix(t)); }});
        v.push_back({"ryy" + a, [t] { return dense(g::ryy_matrix(t)); }});
        v.push_back({"rzz" + a, [t] { return dense(g::rzz_matrix(t)); }});
        v.push_back({"cp" + a, [t] { return dense(g::cp_matrix(t)); }});
    }
    return v;
}

class Unitary : public ::testing::TestWithParam<Named> {};

TEST_P(Unitary, TimesItsDaggerIsIdentity) {
    const Dense m = GetParam().make();
    EXPECT_MAT_NEAR(mul(m, dagger(m)), identity(m.n));
}

INSTANTIATE_TEST_SUITE_P(AllGates, Unitary, ::testing::ValuesIn(all_matrices()),
                         [](const auto& info) {
                             std::string s = info.param.name;
                             for (auto& ch : s)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return s + "_" + std::to_string(info.index);
                         });

// ---- permutation gates move basis states as the index convention says --------

struct Permutation {
    const char* name;
    Dense m;
    std::vector<std::size_t> image;  // image[k]: the basis state that k goes to
};

class BasisAction : public ::testing::TestWithParam<Permutation> {};

TEST_P(BasisAction, MapsEachBasisState) {
    const auto& p = GetParam();
    for (std::size_t k = 0; k < p.m.n; ++k)
        for (std::size_t r = 0; r < p.m.n; ++r)
            EXPECT_TRUE(bits_equal(p.m(r, k), r == p.image[k] ? cplx(1.0, 0.0) : cplx(0.0, 0.0)))
                << p.name << " column " << k << " row " << r;
}

INSTANTIATE_TEST_SUITE_P(
    FixedGates, BasisAction,
    ::testing::Values(Permutation{"x", dense(g::x_matrix()), {1, 0}},
                      Permutation{"swap", dense(g::swap_matrix()), {0, 2, 1, 3}},
                      // first qubit (bit 0) controls: state 1 <-> 3
                      Permutation{"cx", dense(g::cx_matrix()), {0, 3, 2, 1}},
                      Permutation{"xc", dense(g::xc_matrix()), {0, 1, 3, 2}},
                      Permutation{"ccx", dense(g::ccx_matrix()), {0, 1, 2, 7, 4, 5, 6, 3}},
                      Permutation{"cxc", dense(g::cxc_matrix()), {0, 1, 2, 3, 4, 5, 7, 6}},
                      Permutation{"cswap", dense(g::cswap_matrix()), {0, 1, 2, 5, 4, 3, 6, 7}},
                      Permutation{"swapc", dense(g::swapc_matrix()), {0, 1, 2, 3, 4, 6, 5, 7}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- reversed-order variants -------------------------------------------------

struct Reversal {
    const char* name;
    Dense base, reversed;
};

class ReversedOrder : public ::testing::TestWithParam<Reversal> {};

TEST_P(ReversedOrder, IsBitReversalConjugate) {
    const auto& r = GetParam();
    const Dense conj = bit_reversed(r.base);
    for (std::size_t k = 0; k < conj.a.size(); ++k)
        EXPECT_TRUE(bits_equal(conj.a[k], r.reversed.a[k])) << r.name << " entry " << k;
}

INSTANTIATE_TEST_SUITE_P(
    Variants, ReversedOrder,
    ::testing::Values(Reversal{"xc", dense(g::cx_matrix()), dense(g::xc_matrix())},
                      Reversal{"yc", dense(g::cy_matrix()), dense(g::yc_matrix())},
                      Reversal{"cxc", dense(g::ccx_matrix()), dense(g::cxc_matrix())},
                      Reversal{"swapc", dense(g::cswap_matrix()), dense(g::swapc_matrix())},
                      // symmetric gates are their own reversal
                      Reversal{"cz", dense(g::cz_matrix()), dense(g::cz_matrix())},
                      Reversal{"swap", dense(g::swap_matrix()), dense(g::swap_matrix())},
                      Reversal{"ccz", dense(g::ccz_matrix()), dense(g::ccz_matrix())},
                      Reversal{"cp", dense(g::cp_matrix(0.9)), dense(g::cp_matrix(0.9))},
                      Reversal{"rzz", dense(g::rzz_matrix(0.9)), dense(g::rzz_matrix(0.9))}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- algebraic identities ------------------------------------------------------

struct Identity {
    const char* name;
    std::function<Dense()> lhs, rhs;
};

class Algebra : public ::testing::TestWithParam<Identity> {};

TEST_P(Algebra, Holds) { EXPECT_MAT_NEAR(GetParam().lhs(), GetParam().rhs()); }

Dense sq(const Dense& m) { return mul(m, m); }

INSTANTIATE_TEST_SUITE_P(
    Gates, Algebra,
    ::testing::Values(
        Identity{"h_squared", [] { return sq(dense(g::h_matrix())); }, [] { return identity(2); }},
        Identity{"s_squared", [] { return sq(dense(g::s_matrix())); },
                 [] { return dense(g::z_matrix()); }},
        Identity{"t_squared", [] { return sq(dense(g::t_matrix())); },
                 [] { return dense(g::s_matrix()); }},
        Identity{"sx_squared", [] { return sq(dense(g::sx_matrix())); },
                 [] { return dense(g::x_matrix()); }},
        Identity{"sdg_dagger", [] { return dagger(dense(g::s_matrix())); },
                 [] { return dense(g::sdg_matrix()); }},
        Identity{"tdg_dagger", [] { return dagger(dense(g::t_matrix())); },
                 [] { return dense(g::tdg_matrix()); }},
        Identity{"sxdg_dagger", [] { return dagger(dense(g::sx_matrix())); },
                 [] { return dense(g::sxdg_matrix()); }},
        Identity{"y_is_i_x_z",
                 [] {
                     return scaled({0, 1}, mul(dense(g::x_matrix()), dense(g::z_matrix())));
                 },
                 [] { return dense(g::y_matrix()); }},
        Identity{"u2_h", [] { return dense(g::u2_matrix(0.0, kPi)); },
                 [] { return dense(g::h_matrix()); }},
        Identity{"u_rx", [] { return dense(g::u_matrix(0.8, -kPi / 2, kPi / 2)); },
                 [] { return dense(g::rx_matrix(0.8)); }},
        Identity{"u_ry", [] { return dense(g::u_matrix(-1.3, 0.0, 0.0)); },
                 [] { return dense(g::ry_matrix(-1.3)); }},
        Identity{"r_rx", [] { return dense(g::r_matrix(2.2, 0.0)); },
                 [] { return dense(g::rx_matrix(2.2)); }},
        Identity{"r_ry", [] { return dense(g::r_matrix(2.2, kPi / 2)); },
                 [] { return dense(g::ry_matrix(2.2)); }},
        Identity{"u1_p", [] { return dense(g::u1_matrix(0.77)); },
                 [] { return dense(g::p_matrix(0.77)); }},
        Identity{"rz_p", [] { return dense(g::rz_matrix(0.77)); },
                 [] { return scaled(std::exp(cplx(0, -0.385)), dense(g::p_matrix(0.77))); }},
        Identity{"rx_pi", [] { return dense(g::rx_matrix(kPi)); },
                 [] {
                     return scaled({0, -1}, dense(g::x_matrix()));
                 }},
        Identity{"rxx_pi", [] { return dense(g::rxx_matrix(kPi)); },
                 [] {
                     // -i times the permutation 0<->3, 1<->2
                     Dense d{4, std::vector<cplx>(16, 0.0)};
                     d.a[0 * 4 + 3] = d.a[1 * 4 + 2] = d.a[2 * 4 + 1] = d.a[3 * 4 + 0] =
                         cplx(0, -1);
                     return d;
                 }},
        Identity{"cp_pi_cz", [] { return dense(g::cp_matrix(kPi)); },
                 [] { return dense(g::cz_matrix()); }},
        Identity{"ccz_from_ccx",
                 [] {
                     // H on the third qubit turns ccx into ccz.
                     Dense h3{8, std::vector<cplx>(64, 0.0)};
                     const auto h = g::h_matrix();
                     for (std::size_t i = 0; i < 8; ++i)
                         for (std::size_t j = 0; j < 8; ++j)
                             if ((i & 3) == (j & 3)) h3.a[i * 8 + j] = h[(i >> 2) * 2 + (j >> 2)];
                     return mul(mul(h3, dense(g::ccx_matrix())), h3);
                 },
                 [] { return dense(g::ccz_matrix()); }}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- exact values where the formula fixes them ---------------------------------

TEST(ExactEntries, MinusIHasNegativeZeroRealPart) {
    for (cplx v : {g::y_matrix()[1], g::sdg_matrix()[3], g::cy_matrix()[7], g::yc_matrix()[11]}) {
        EXPECT_EQ(v.imag(), -1.0);
        EXPECT_EQ(v.real(), 0.0);
        EXPECT_TRUE(std::signbit(v.real()));
    }
    for (cplx v : {g::y_matrix()[2], g::s_matrix()[3], g::iswap_matrix()[6]}) {
        EXPECT_TRUE(bits_equal(v, cplx(0.0, 1.0)));
    }
}

TEST(ExactEntries, HadamardIsOneOverTheRoundedRootOfTwo) {
    const auto h = g::h_matrix();
    const double v = 1.0 / std::sqrt(2.0);
    EXPECT_EQ(v, 0.7071067811865475);
    EXPECT_TRUE(bits_equal(h[0], cplx(v, 0.0)));
    EXPECT_TRUE(bits_equal(h[1], cplx(v, 0.0)));
    EXPECT_TRUE(bits_equal(h[2], cplx(v, 0.0)));
    EXPECT_TRUE(bits_equal(h[3], cplx(-v, 0.0)));
}

TEST(ExactEntries, SqrtXHalves) {
    const auto sx = g::sx_matrix(), sxdg = g::sxdg_matrix();
    EXPECT_TRUE(bits_equal(sx[0], cplx(0.5, 0.5)));
    EXPECT_TRUE(bits_equal(sx[1], cplx(0.5, -0.5)));
    EXPECT_TRUE(bits_equal(sxdg[0], cplx(0.5, -0.5)));
    EXPECT_TRUE(bits_equal(sxdg[1], cplx(0.5, 0.5)));
}

TEST(ExactEntries, RotationEntriesFollowTheFormula) {
    for (double theta : {-3.0, -0.5, 0.25, 1.0, 2.5, 7.0}) {
        const double h = theta * 0.5, c = std::cos(h), s = std::sin(h);
        const auto rx = g::rx_matrix(theta);
        EXPECT_TRUE(bits_equal(rx[0], cplx(c, 0.0)));
        // (-i) * s scales both components of -i: real part is -0.0 * s.
        EXPECT_TRUE(bits_equal(rx[1], cplx(-0.0 * s, -s)));
        const auto ry = g::ry_matrix(theta);
        EXPECT_TRUE(bits_equal(ry[1], cplx(-s, 0.0)));
        EXPECT_TRUE(bits_equal(ry[2], cplx(s, 0.0)));
        const auto rz = g::rz_matrix(theta);
        EXPECT_TRUE(bits_equal(rz[0], std::exp(cplx(-0.0 * theta, -0.5 * theta))));
        EXPECT_TRUE(bits_equal(rz[1], cplx(0.0, 0.0)));
        // rzz divides the exponent by 2 instead of scaling by 0.5: same value.
        const auto rzz = g::rzz_matrix(theta);
        EXPECT_EQ(rzz[0], rz[0]);
        EXPECT_EQ(rzz[5], rz[3]);
        const auto u = g::u_matrix(theta, 0.3, -1.9);
        EXPECT_TRUE(bits_equal(u[1], -std::exp(cplx(0.0, -1.9)) * s));
        EXPECT_TRUE(bits_equal(u[3], std::exp(cplx(0.0, 0.3 + -1.9)) * c));
    }
}

TEST(ExactEntries, RzzSignPattern) {
    const double theta = 0.6;
    const auto m = g::rzz_matrix(theta);
    const double expected[4] = {-0.3, 0.3, 0.3, -0.3};
    for (int k = 0; k < 4; ++k) {
        EXPECT_NEAR(std::arg(m[k * 5]), expected[k], 1e-15);
        for (int j = 0; j < 4; ++j) {
            if (j != k) {
                EXPECT_TRUE(bits_equal(m[k * 4 + j], cplx(0.0, 0.0)));
            }
        }
    }
}

TEST(ExactEntries, U1IsBuiltByTheUFormula) {
    // The off-diagonal entries are products with sin(0): signed zeros.
    const auto u1 = g::u1_matrix(1.25);
    const auto u = g::u_matrix(0.0, 0.0, 1.25);
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(bits_equal(u1[k], u[k]));
    EXPECT_TRUE(std::signbit(u1[1].real()));  // -(cos 1.25) * 0.0
    const auto u2 = g::u2_matrix(0.5, -0.5);
    const auto u2ref = g::u_matrix(1.5707963267948966, 0.5, -0.5);
    for (int k = 0; k < 4; ++k) EXPECT_TRUE(bits_equal(u2[k], u2ref[k]));
}

TEST(ExactEntries, ZeroAngleGivesIdentity) {
    for (auto m : {g::rx_matrix(0.0), g::ry_matrix(0.0), g::rz_matrix(0.0), g::p_matrix(0.0),
                   g::u_matrix(0.0, 0.0, 0.0)})
        for (int k = 0; k < 4; ++k) EXPECT_EQ(m[k], (k == 0 || k == 3) ? cplx(1.0) : cplx(0.0));
}

// ---- lookup by name -------------------------------------------------------------

struct Lookup {
    const char* name;
    std::size_t dim;
    Dense expected;
};

class FixedByName : public ::testing::TestWithParam<Lookup> {};

TEST_P(FixedByName, FindsTheMatrix) {
    const auto& p = GetParam();
    std::size_t dim = 0;
    cplx out[64];
    ASSERT_TRUE(g::fixed_matrix(p.name, dim, out));
    ASSERT_EQ(dim, p.dim);
    for (std::size_t k = 0; k < dim * dim; ++k) EXPECT_TRUE(bits_equal(out[k], p.expected.a[k]));
}

INSTANTIATE_TEST_SUITE_P(Names, FixedByName,
                         ::testing::Values(Lookup{"id", 2, dense(g::id_matrix())},
                                           Lookup{"tdg", 2, dense(g::tdg_matrix())},
                                           Lookup{"cnot", 4, dense(g::cx_matrix())},
                                           Lookup{"yc", 4, dense(g::yc_matrix())},
                                           Lookup{"swapc", 8, dense(g::swapc_matrix())}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(FixedByNameMissing, UnknownNamesAreRejected) {
    std::size_t dim = 0;
    cplx out[64];
    for (const char* name : {"", "u", "rx", "CX", "u3", "measure", "x "})
        EXPECT_FALSE(g::fixed_matrix(name, dim, out)) << name;
}

}  // namespace
