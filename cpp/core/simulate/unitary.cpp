#include "simulate/unitary.hpp"

#include "common/interrupt.hpp"
#include "gates/gate_table.hpp"

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
    Operation op;
    if (const gates::GateRow* row = gates::find_gate(name)) {
        // A model gate: its matrix from the gate table, when the counts fit it.
        if (!row->matrix || row->nparams != params.size() || row->nqubits != qubits.size())
            return std::nullopt;
        row->matrix(params.data(), op.matrix.data());
        return on_qubits(op, qubits);
    }
    // The matrix module's reversed-order variants (xc, ...) have no row.
    std::size_t dim = 0;
    if (params.empty() && gates::fixed_matrix(name, dim, op.matrix.data()) &&
        dim == std::size_t{1} << qubits.size())
        return on_qubits(op, qubits);
    return std::nullopt;
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
