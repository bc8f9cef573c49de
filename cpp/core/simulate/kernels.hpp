// Applying one gate to a vector of amplitudes: the kernels shared by the
// unitary (one column at a time) and the state vector.
//
// A gate's matrix is inspected once (kernel_of) and reduced to its cheapest
// form: qubits on which it only acts as a control are peeled off (cx, cz,
// ccx: the gate touches only the amplitudes whose control bits are 1), and
// what remains acts on its target qubits as a diagonal (z, s, t, rz, p, cp,
// rzz), as a permutation with phases (x, y, swap, iswap, cx's target) or as a
// dense matrix. Entries are compared exactly, so a kernel gives the same
// numbers as the dense product, up to the signs of zero results.
#pragma once

#include "simulate/unitary.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane::simulate {

enum class KernelShape : std::uint8_t { kDiagonal, kPermutation, kDense };

struct Kernel {
    KernelShape shape = KernelShape::kDense;
    unsigned ntargets = 0;   // 1 to 3; dim = 2^ntargets
    unsigned ncontrols = 0;  // ntargets + ncontrols = the gate's qubit count
    // Bit j of a target-local index is the state of qubit targets[j].
    std::array<unsigned, 3> targets{};
    std::array<unsigned, 2> controls{};
    // kDense: the dim x dim target matrix, row-major. kDiagonal: the entries
    // that are not 1, at local indices `moved`, phases in `phase`.
    // kPermutation: local index moved[j] goes to row rows[j], times phase[j];
    // the local indices that go to themselves with phase 1 are left out.
    std::array<cplx, 64> matrix{};
    unsigned nmoved = 0;
    std::array<std::uint8_t, 8> moved{};
    std::array<std::uint8_t, 8> rows{};
    std::array<cplx, 8> phase{};
    bool unit_phases = false;  // kPermutation with every phase exactly 1

    // Derived from the qubits by place(): where each target-local index sits
    // relative to a base index, the control bits set in every base, and the
    // masks that insert a zero bit at each gate qubit (lowest first).
    std::array<std::size_t, 8> offsets{};
    std::size_t control_bits = 0;
    unsigned npositions = 0;
    std::array<std::size_t, 3> below{};
};

// The kernel of `op`, placed on its qubits.
Kernel kernel_of(const Operation& op);

// The kernels of `ops`, in order; throws std::out_of_range when a gate names
// a qubit at or above `nqubits`.
std::vector<Kernel> kernels_of(unsigned nqubits, std::span<const Operation> ops);

// `kernel` moved to other qubits: qubit q becomes qubit `qubit_map[q]`.
Kernel remapped(Kernel kernel, std::span<const unsigned> qubit_map);

// Applies the kernel to `v` in place; `v` has 2^n amplitudes with n above
// every qubit of the kernel.
void apply_kernel(const Kernel& kernel, std::span<cplx> v);

}  // namespace corvane::simulate
