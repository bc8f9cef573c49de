// The unitary matrix of a whole circuit, built from the gate matrices of
// gates/gate_matrices.hpp.
//
// Index convention, as for the gate matrices: bit k (value 2^k) of a row or
// column index is the state of circuit qubit k.
#pragma once

#include "gates/gate_matrices.hpp"

#include <array>
#include <cstddef>
#include <optional>
#include <span>
#include <string_view>

namespace corvane::simulate {

using gates::cplx;

// One gate of the circuit: its matrix (dim x dim, row-major, bit k of an index
// is the gate's (k+1)-th qubit) and the circuit qubits it acts on, in order.
struct Operation {
    std::size_t arity = 0;  // 1, 2 or 3: dim = 2^arity
    std::array<cplx, 64> matrix{};
    std::array<unsigned, 3> qubits{};
};

// The operation for gate `name` with parameters `params` on `qubits`, or
// nullopt when the name has no matrix here or the parameter or qubit count
// does not fit it.
std::optional<Operation> make_operation(std::string_view name, std::span<const double> params,
                                        std::span<const unsigned> qubits);

// Largest circuit whose unitary this builds: 2^12 x 2^12 entries of 16 bytes
// take 256 MiB, and one more qubit quadruples both memory and time.
inline constexpr unsigned kMaxQubits = 12;

// Writes the 2^nqubits x 2^nqubits unitary of `ops` (applied first to last)
// into `out`, column-major: entry (row, col) at out[col * dim + row]. Each
// column is the image of one basis state, built independently, so the work
// on one column stays in cache. Throws corvane::Interrupted when the host's
// interrupt check asks (polled per gate applied to a column: at most 2^12
// amplitudes each).
void circuit_unitary(unsigned nqubits, std::span<const Operation> ops, std::span<cplx> out);

}  // namespace corvane::simulate
