#include "gates/gate_matrices.hpp"

#include "gates/gate_table.hpp"

#include <cmath>
#include <numbers>

namespace corvane::gates {
namespace {

// Complex product and quotient with the host's algorithms, written out so that
// the result does not depend on the compiler's runtime helpers.
inline cplx prod(cplx a, cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

inline cplx quot(cplx a, cplx b) {
    // Smith's method, as the host does it for |b.real| >= |b.imag|; only used
    // with divisors whose imaginary part is zero.
    const double ratio = b.imag() / b.real();
    const double denom = b.real() + b.imag() * ratio;
    return {(a.real() + a.imag() * ratio) / denom, (a.imag() - a.real() * ratio) / denom};
}

inline cplx re(double x) { return {x, 0.0}; }

const cplx kZero{0.0, 0.0};
const cplx kOne{1.0, 0.0};
const cplx kMinusOne{-1.0, 0.0};

// A permutation matrix whose row r holds its 1 in column cols[r].
Matrix8 permutation8(const int (&cols)[8]) {
    Matrix8 m;
    m.fill(kZero);
    for (int r = 0; r < 8; ++r) m[r * 8 + cols[r]] = kOne;
    return m;
}

}  // namespace

// ---- parametric one-qubit gates ------------------------------------------------

Matrix2 rx_matrix(double theta) {
    const double h = theta * 0.5;
    const double c = std::cos(h), s = std::sin(h);
    return {re(c), kMinusI * s, kMinusI * s, re(c)};
}

Matrix2 ry_matrix(double theta) {
    const double h = theta * 0.5;
    const double c = std::cos(h), s = std::sin(h);
    return {re(c), re(-s), re(s), re(c)};
}

Matrix2 rz_matrix(double theta) {
    return {std::exp(cplx(-0.0, -0.5) * theta), re(0.0), re(0.0), std::exp(cplx(0.0, 0.5) * theta)};
}

Matrix2 p_matrix(double theta) { return {re(1.0), re(0.0), re(0.0), std::exp(kI * theta)}; }

Matrix2 r_matrix(double theta, double phi) {
    const double h = theta * 0.5;
    const double c = std::cos(h), s = std::sin(h);
    return {re(c), prod(kMinusI, std::exp(kMinusI * phi)) * s,
            prod(kMinusI, std::exp(kI * phi)) * s, re(c)};
}

Matrix2 u_matrix(double theta, double phi, double lamda) {
    const double h = theta * 0.5;
    const double c = std::cos(h), s = std::sin(h);
    return {re(c), (-std::exp(kI * lamda)) * s, std::exp(kI * phi) * s,
            std::exp(kI * (phi + lamda)) * c};
}

Matrix2 u1_matrix(double lamda) { return u_matrix(0.0, 0.0, lamda); }

Matrix2 u2_matrix(double phi, double lamda) { return u_matrix(std::numbers::pi / 2, phi, lamda); }

// ---- parametric two-qubit gates ------------------------------------------------

Matrix4 rxx_matrix(double theta) {
    const double h = theta * 0.5;
    const double c = std::cos(h), s = std::sin(h);
    const cplx m = kMinusI * s;
    return {re(c), kZero, kZero, m,     kZero, re(c), m,     kZero,
            kZero, m,     re(c), kZero, m,     kZero, kZero, re(c)};
}

Matrix4 ryy_matrix(double theta) {
    const double h = theta * 0.5;
    const double c = std::cos(h), s = std::sin(h);
    const cplx m = kMinusI * s, p = kI * s;
    return {re(c), kZero, kZero, p,     kZero, re(c), m,     kZero,
            kZero, m,     re(c), kZero, p,     kZero, kZero, re(c)};
}

Matrix4 rzz_matrix(double theta) {
    const cplx two{2.0, 0.0};
    const cplx neg = std::exp(quot(kMinusI * theta, two));
    const cplx pos = std::exp(quot(kI * theta, two));
    return {neg,   kZero, kZero, kZero, kZero, pos,   kZero, kZero,
            kZero, kZero, pos,   kZero, kZero, kZero, kZero, neg};
}

Matrix4 cp_matrix(double theta) {
    return {kOne,  kZero, kZero, kZero, kZero, kOne,  kZero, kZero,
            kZero, kZero, kOne,  kZero, kZero, kZero, kZero, std::exp(kI * theta)};
}

// ---- fixed one-qubit gates -----------------------------------------------------

Matrix2 id_matrix() { return {kOne, kZero, kZero, kOne}; }
Matrix2 x_matrix() { return {kZero, kOne, kOne, kZero}; }
Matrix2 y_matrix() { return {kZero, kMinusI, kI, kZero}; }
Matrix2 z_matrix() { return {kOne, kZero, kZero, kMinusOne}; }

Matrix2 h_matrix() {
    // [[1, 1], [1, -1]] divided by the complex sqrt(2) + 0i.
    const cplx root2{std::sqrt(2.0), 0.0};
    return {quot(kOne, root2), quot(kOne, root2), quot(kOne, root2), quot(kMinusOne, root2)};
}

Matrix2 s_matrix() { return {kOne, kZero, kZero, kI}; }
Matrix2 sdg_matrix() { return {kOne, kZero, kZero, kMinusI}; }

Matrix2 t_matrix() { return {kOne, kZero, kZero, std::exp(kI * std::numbers::pi / 4.0)}; }

Matrix2 tdg_matrix() { return {kOne, kZero, kZero, std::exp(kMinusI * std::numbers::pi / 4.0)}; }

Matrix2 sx_matrix() {
    const cplx two{2.0, 0.0}, a{1.0, 1.0}, b{1.0, -1.0};
    return {quot(a, two), quot(b, two), quot(b, two), quot(a, two)};
}

Matrix2 sxdg_matrix() {
    const cplx two{2.0, 0.0}, a{1.0, -1.0}, b{1.0, 1.0};
    return {quot(a, two), quot(b, two), quot(b, two), quot(a, two)};
}

// ---- fixed two-qubit gates -----------------------------------------------------

Matrix4 swap_matrix() {
    return {kOne,  kZero, kZero, kZero, kZero, kZero, kOne,  kZero,
            kZero, kOne,  kZero, kZero, kZero, kZero, kZero, kOne};
}

Matrix4 iswap_matrix() {
    return {kOne,  kZero, kZero, kZero, kZero, kZero, kI,    kZero,
            kZero, kI,    kZero, kZero, kZero, kZero, kZero, kOne};
}

Matrix4 cx_matrix() {
    return {kOne,  kZero, kZero, kZero, kZero, kZero, kZero, kOne,
            kZero, kZero, kOne,  kZero, kZero, kOne,  kZero, kZero};
}

Matrix4 xc_matrix() {
    return {kOne,  kZero, kZero, kZero, kZero, kOne,  kZero, kZero,
            kZero, kZero, kZero, kOne,  kZero, kZero, kOne,  kZero};
}

Matrix4 cy_matrix() {
    return {kOne,  kZero, kZero, kZero, kZero, kZero, kZero, kMinusI,
            kZero, kZero, kOne,  kZero, kZero, kI,    kZero, kZero};
}

Matrix4 yc_matrix() {
    return {kOne,  kZero, kZero, kZero,   kZero, kOne,  kZero, kZero,
            kZero, kZero, kZero, kMinusI, kZero, kZero, kI,    kZero};
}

Matrix4 cz_matrix() {
    return {kOne,  kZero, kZero, kZero, kZero, kOne,  kZero, kZero,
            kZero, kZero, kOne,  kZero, kZero, kZero, kZero, kMinusOne};
}

// ---- fixed three-qubit gates ---------------------------------------------------

Matrix8 ccz_matrix() {
    Matrix8 m;
    m.fill(kZero);
    for (int r = 0; r < 7; ++r) m[r * 8 + r] = kOne;
    m[63] = kMinusOne;
    return m;
}

Matrix8 ccx_matrix() { return permutation8({0, 1, 2, 7, 4, 5, 6, 3}); }
Matrix8 cxc_matrix() { return permutation8({0, 1, 2, 3, 4, 5, 7, 6}); }
Matrix8 cswap_matrix() { return permutation8({0, 1, 2, 5, 4, 3, 6, 7}); }
Matrix8 swapc_matrix() { return permutation8({0, 1, 2, 3, 4, 6, 5, 7}); }

// ---- lookup by name ------------------------------------------------------------

namespace {
template <std::size_t K>
void emit(const std::array<cplx, K>& m, cplx* out) {
    for (std::size_t k = 0; k < K; ++k) out[k] = m[k];
}
}  // namespace

bool fixed_matrix(std::string_view name, std::size_t& dim, cplx* out) {
    if (const GateRow* row = find_gate(name)) {
        if (!row->matrix || row->nparams != 0) return false;
        dim = matrix_dim(*row);
        row->matrix(nullptr, out);
        return true;
    }
    // The module's reversed-order variants, which no gate is named after.
    struct Reversed {
        std::string_view name;
        std::size_t dim;
        MatrixBuilder build;
    };
    static constexpr Reversed kReversed[] = {
        {"xc", 4, [](const double*, cplx* o) { emit(xc_matrix(), o); }},
        {"yc", 4, [](const double*, cplx* o) { emit(yc_matrix(), o); }},
        {"cxc", 8, [](const double*, cplx* o) { emit(cxc_matrix(), o); }},
        {"swapc", 8, [](const double*, cplx* o) { emit(swapc_matrix(), o); }},
    };
    for (const Reversed& r : kReversed) {
        if (r.name != name) continue;
        dim = r.dim;
        r.build(nullptr, out);
        return true;
    }
    return false;
}

}  // namespace corvane::gates
