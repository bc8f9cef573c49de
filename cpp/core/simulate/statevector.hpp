// The output state of a circuit on a given input state, gate by gate, with
// the kernels of simulate/kernels.hpp.
//
// Index convention, as for the unitary: bit k (value 2^k) of an amplitude's
// index is the state of circuit qubit k.
#pragma once

#include "simulate/unitary.hpp"

#include <cstddef>
#include <span>

namespace corvane::simulate {

// Largest circuit whose state this computes: 2^26 amplitudes of 16 bytes take
// 1 GiB, and each qubit more doubles memory and time.
inline constexpr unsigned kMaxStateQubits = 26;

// Applies `ops` (first to last) to `state`, 2^nqubits amplitudes, in place.
// Throws std::invalid_argument for a state of the wrong size or too many
// qubits, std::out_of_range for a gate qubit outside the circuit, and
// corvane::Interrupted when the host's interrupt check asks (polled about
// every 4 million amplitude updates). After an interruption `state` holds a
// partly evolved state: callers own it and discard it.
void apply_circuit(unsigned nqubits, std::span<const Operation> ops, std::span<cplx> state);

}  // namespace corvane::simulate
