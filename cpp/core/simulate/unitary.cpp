#include "simulate/unitary.hpp"

#include "common/interrupt.hpp"

#include <algorithm>
#include <utility>
#include <stdexcept>
#include <vector>

namespace corvane::simulate {
namespace {

Operation on_qubits(Operation op, std::span<const unsigned> qubits) {
    op.arity = qubits.size();
    std::copy(qubits.begin(), qubits.end(), op.qubits.begin());
    return op;
}

template <std::size_t K>
Operation operation_of(const std::array<cplx, K>& m, std::span<const unsigned> qubits) {
    Operation op;
    std::copy(m.begin(), m.end(), op.matrix.begin());
    return on_qubits(op, qubits);
}

// The gates with parameters, by name: parameter count, qubit count and the
// builder applied to the parameters in their entry order.
std::optional<Operation> parametric_operation(std::string_view name, std::span<const double> p,
                                              std::span<const unsigned> q) {
    auto one = [&](std::size_t nparams, auto build) -> std::optional<Operation> {
        if (p.size() != nparams || q.size() != 1) return std::nullopt;
        return operation_of(build(), q);
    };
    auto two = [&](auto build) -> std::optional<Operation> {
        if (p.size() != 1 || q.size() != 2) return std::nullopt;
        return operation_of(build(), q);
    };
    if (name == "rx") return one(1, [&] { return gates::rx_matrix(p[0]); });
    if (name == "ry") return one(1, [&] { return gates::ry_matrix(p[0]); });
    if (name == "rz") return one(1, [&] { return gates::rz_matrix(p[0]); });
    if (name == "p") return one(1, [&] { return gates::p_matrix(p[0]); });
    if (name == "u") return one(3, [&] { return gates::u_matrix(p[0], p[1], p[2]); });
    if (name == "r") return one(2, [&] { return gates::r_matrix(p[0], p[1]); });
    if (name == "rxx") return two([&] { return gates::rxx_matrix(p[0]); });
    if (name == "ryy") return two([&] { return gates::ryy_matrix(p[0]); });
    if (name == "rzz") return two([&] { return gates::rzz_matrix(p[0]); });
    if (name == "cp") return two([&] { return gates::cp_matrix(p[0]); });
    return std::nullopt;
}

// The plain complex product: std::complex's operator* adds NaN recovery
// branches that cost more than the product itself in the inner loop.
inline cplx times(cplx a, cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// Applies `op`, a gate on K qubits, to the state vector `v` in place. K is a
// template parameter so that the 2^K x 2^K product is unrolled.
template <std::size_t K>
void apply(const Operation& op, std::span<cplx> v) {
    constexpr std::size_t dim = std::size_t{1} << K;
    // offsets[j]: where the gate-local basis state j sits relative to a base
    // index whose bits at the gate's qubits are all zero.
    std::array<std::size_t, dim> offsets{};
    for (std::size_t j = 0; j < dim; ++j)
        for (std::size_t b = 0; b < K; ++b)
            if (j >> b & 1) offsets[j] |= std::size_t{1} << op.qubits[b];
    // Masks of the bits below each gate qubit, lowest qubit first: a base is
    // a counter with a zero bit inserted at each gate qubit.
    std::array<unsigned, K> sorted;
    std::copy(op.qubits.begin(), op.qubits.begin() + K, sorted.begin());
    for (std::size_t a = 1; a < K; ++a)
        for (std::size_t b = a; b > 0 && sorted[b - 1] > sorted[b]; --b)
            std::swap(sorted[b - 1], sorted[b]);
    std::array<std::size_t, K> below;
    for (std::size_t b = 0; b < K; ++b) below[b] = (std::size_t{1} << sorted[b]) - 1;
    std::array<cplx, dim * dim> m;
    std::copy(op.matrix.begin(), op.matrix.begin() + dim * dim, m.begin());

    const std::size_t bases = v.size() >> K;
    for (std::size_t i = 0; i < bases; ++i) {
        std::size_t base = i;
        for (std::size_t b = 0; b < K; ++b) base = ((base & ~below[b]) << 1) | (base & below[b]);
        std::array<cplx, dim> in;
        for (std::size_t c = 0; c < dim; ++c) in[c] = v[base + offsets[c]];
        for (std::size_t r = 0; r < dim; ++r) {
            cplx sum = times(m[r * dim], in[0]);
            for (std::size_t c = 1; c < dim; ++c) sum += times(m[r * dim + c], in[c]);
            v[base + offsets[r]] = sum;
        }
    }
}

void apply(const Operation& op, std::span<cplx> v) {
    switch (op.arity) {
        case 1:
            return apply<1>(op, v);
        case 2:
            return apply<2>(op, v);
        default:
            return apply<3>(op, v);
    }
}

}  // namespace

std::optional<Operation> make_operation(std::string_view name, std::span<const double> params,
                                        std::span<const unsigned> qubits) {
    if (qubits.empty() || qubits.size() > 3) return std::nullopt;
    for (std::size_t a = 0; a < qubits.size(); ++a)
        for (std::size_t b = a + 1; b < qubits.size(); ++b)
            if (qubits[a] == qubits[b]) return std::nullopt;
    if (!params.empty()) return parametric_operation(name, params, qubits);
    std::size_t dim = 0;
    Operation op;
    if (gates::fixed_matrix(name, dim, op.matrix.data()))
        return dim == std::size_t{1} << qubits.size() ? std::optional(on_qubits(op, qubits))
                                                      : std::nullopt;
    return parametric_operation(name, params, qubits);
}

void circuit_unitary(unsigned nqubits, std::span<const Operation> ops, std::span<cplx> out) {
    if (nqubits > kMaxQubits) throw std::invalid_argument("too many qubits for a unitary");
    const std::size_t dim = std::size_t{1} << nqubits;
    if (out.size() != dim * dim) throw std::invalid_argument("unitary buffer of the wrong size");
    for (const Operation& op : ops)
        for (std::size_t b = 0; b < op.arity; ++b)
            if (op.qubits[b] >= nqubits) throw std::out_of_range("gate qubit outside the circuit");

    InterruptPoll poll;
    for (std::size_t col = 0; col < dim; ++col) {
        std::span<cplx> column = out.subspan(col * dim, dim);
        std::fill(column.begin(), column.end(), cplx{0.0, 0.0});
        column[col] = 1.0;
        for (const Operation& op : ops) {
            poll.tick();
            apply(op, column);
        }
    }
}

}  // namespace corvane::simulate
