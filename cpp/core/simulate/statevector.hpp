// The output state of a circuit on a given input state, gate by gate, with
// the kernels of simulate/kernels.hpp.
//
// Index convention, as for the unitary: bit k (value 2^k) of an amplitude's
// index is the state of circuit qubit k.
#pragma once

#include "common/interrupt.hpp"
#include "simulate/kernels.hpp"
#include "simulate/unitary.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace corvane::simulate {

// Largest circuit whose state this computes: 2^26 amplitudes of 16 bytes take
// 1 GiB, and each qubit more doubles memory and time.
inline constexpr unsigned kMaxStateQubits = 26;

// A run of gates made ready to be applied to many states: its kernels, and
// above kBlockQubits qubits the cache-sized segments they are grouped in.
class CompiledGates {
  public:
    // With `fuse_single_qubit_runs`, the one-qubit gates met on a qubit
    // between two gates on several qubits become one kernel, and a product
    // that is a multiple of the identity (a decoupling train, a gate and its
    // inverse) none: its factor is kept in scalar(). That changes rounding,
    // so the plain state vector and unitary do not fuse. Throws
    // std::out_of_range for a gate qubit at or above `nqubits`.
    CompiledGates(unsigned nqubits, std::span<const Operation> ops, bool fuse_single_qubit_runs);

    // Applies the gates to `state` (2^nqubits amplitudes) in place, without
    // the factor of fused identities; ticks `poll` about every 2^11
    // amplitude updates.
    void apply(std::span<cplx> state, InterruptPoll& poll) const;
    // The product of the factors of the fused identities: modulus 1.
    cplx scalar() const { return scalar_; }

    // A set of at most kBlockQubits qubits and the kernels, on block-local
    // qubits, of consecutive gates within it.
    struct Segment {
        std::uint64_t qubits = 0;  // bit q: circuit qubit q is in the set
        std::vector<Kernel> kernels;
    };

  private:
    unsigned nqubits_;
    std::vector<Kernel> kernels_;
    std::vector<Segment> segments_;
    cplx scalar_{1.0, 0.0};
};

// Applies `ops` (first to last) to `state`, 2^nqubits amplitudes, in place.
// Throws std::invalid_argument for a state of the wrong size or too many
// qubits, std::out_of_range for a gate qubit outside the circuit, and
// corvane::Interrupted when the host's interrupt check asks (polled about
// every 4 million amplitude updates). After an interruption `state` holds a
// partly evolved state: callers own it and discard it.
void apply_circuit(unsigned nqubits, std::span<const Operation> ops, std::span<cplx> state);

}  // namespace corvane::simulate
