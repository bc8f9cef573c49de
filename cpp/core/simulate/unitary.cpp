#include "simulate/unitary.hpp"

#include "common/interrupt.hpp"
#include "gates/gate_table.hpp"
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
    const std::vector<Kernel> kernels = kernels_of(nqubits, ops);

    InterruptPoll poll;
    for (std::size_t col = 0; col < dim; ++col) {
        std::span<cplx> column = out.subspan(col * dim, dim);
        std::fill(column.begin(), column.end(), cplx{0.0, 0.0});
        column[col] = 1.0;
        for (const Kernel& kernel : kernels) {
            poll.tick();
            apply_kernel(kernel, column);
        }
    }
}

}  // namespace corvane::simulate
