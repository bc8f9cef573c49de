#include "metrics/layering.hpp"

#include <cstddef>

namespace corvane::metrics {

void Layering::reserve(std::span<const std::uint32_t> qubits) {
    for (const std::uint32_t q : qubits) {
        if (q >= layer_.size()) {
            layer_.resize(static_cast<std::size_t>(q) + 1, 0);
            free_at_.resize(static_cast<std::size_t>(q) + 1, 0.0);
        }
    }
}

void Layering::add(std::span<const std::uint32_t> qubits, double duration, bool barrier) {
    reserve(qubits);
    // max(..., default=0): the first value, replaced by each later one greater
    // than it (so a NaN first stays, as the host's max keeps it).
    std::int64_t start_layer = 0;
    double start = 0.0;
    for (std::size_t i = 0; i < qubits.size(); ++i) {
        const std::int64_t l = layer_[qubits[i]];
        const double t = free_at_[qubits[i]];
        if (i == 0 || l > start_layer) start_layer = l;
        if (i == 0 || t > start) start = t;
    }
    const std::int64_t end_layer = barrier ? start_layer : start_layer + 1;
    const double end = start + duration;
    for (const std::uint32_t q : qubits) {
        layer_[q] = end_layer;
        free_at_[q] = end;
    }
    if (end_layer > depth_) depth_ = end_layer;
    if (end > length_) length_ = end;
}

}  // namespace corvane::metrics
