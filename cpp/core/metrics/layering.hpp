// Depth and scheduled length of a circuit, one operation at a time.
//
// An operation starts when the last of its qubits is free: in layers, one
// after the latest layer on its qubits; in time, at the latest end on its
// qubits. A barrier aligns its qubits and takes no layer and no time. The
// comparisons and sums are those of the host's max() and float addition, in
// the same order, so the figures equal the host's bit for bit.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace corvane::metrics {

class Layering {
  public:
    // Lays out the next operation on `qubits` (dense ids), lasting `duration` seconds.
    void add(std::span<const std::uint32_t> qubits, double duration, bool barrier);

    // Layers of operations so far, barriers excluded.
    std::int64_t depth() const { return depth_; }
    // Seconds from time 0 to the latest end of an operation so far.
    double length() const { return length_; }

  private:
    void reserve(std::span<const std::uint32_t> qubits);

    std::vector<std::int64_t> layer_;  // per qubit: the layer its last operation ended
    std::vector<double> free_at_;      // per qubit: when its last operation ended
    std::int64_t depth_ = 0;
    double length_ = 0.0;
};

}  // namespace corvane::metrics
