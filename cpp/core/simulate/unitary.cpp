#include "simulate/unitary.hpp"

#include "common/interrupt.hpp"
#include "simulate/kernels.hpp"

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
    const std::vector<Kernel> kernels = kernels_of(nqubits, ops);

    InterruptPoll poll;
    for (std::size_t col = 0; col < dim; ++col) {
        std::span<cplx> column = out.subspan(col * dim, dim);
        std::fill(column.begin(), column.end(), cplx{0.0, 0.0});
        column[col] = 1.0;
        for (const Kernel& kernel : kernels) {
            poll.tick();
            apply(kernel, column);
        }
    }
}

}  // namespace corvane::simulate
