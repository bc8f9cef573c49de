#include "simulate/statevector.hpp"

#include "common/interrupt.hpp"
#include "simulate/kernels.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace corvane::simulate {
namespace {

// A block is the 2^kBlockQubits amplitudes that share the values of all the
// qubits outside a chosen set: 256 KiB, half the 512 KiB L2 cache of the
// cores we tuned on, so a run of gates on that set is applied to one block
// after another while it stays in cache, instead of streaming the whole
// state through memory once per gate.
constexpr unsigned kBlockQubits = 14;
// The lowest qubits belong to every set, so a block is copied in runs of
// 2^kRunQubits amplitudes (256 bytes: whole cache lines).
constexpr unsigned kRunQubits = 4;
// Interrupt ticks count 2^kAmplitudesPerTick amplitude updates each (about a
// microsecond), so the 2048 ticks between checks are a few milliseconds.
constexpr unsigned kAmplitudesPerTick = 11;

// Consecutive gates that together act on at most kBlockQubits qubits.
struct Segment {
    std::uint64_t qubits = 0;     // bit q: circuit qubit q is in the set
    std::vector<Kernel> kernels;  // on block-local qubits: the rank in the set
};

std::vector<Segment> segments_of(unsigned nqubits, const std::vector<Kernel>& kernels) {
    const std::uint64_t run_qubits = (std::uint64_t{1} << kRunQubits) - 1;
    std::vector<Segment> segments;
    std::vector<const Kernel*> pending;
    std::uint64_t set = run_qubits;
    auto close = [&] {
        // Fill the set up to kBlockQubits with the lowest free qubits: longer
        // contiguous runs and blocks of one size.
        for (unsigned q = 0; q < nqubits && std::popcount(set) < int(kBlockQubits); ++q)
            set |= std::uint64_t{1} << q;
        std::vector<unsigned> rank(nqubits, 0);
        for (unsigned q = 0, r = 0; q < nqubits; ++q)
            if (set >> q & 1) rank[q] = r++;
        Segment segment{set, {}};
        for (const Kernel* k : pending) segment.kernels.push_back(remapped(*k, rank));
        segments.push_back(std::move(segment));
        pending.clear();
        set = run_qubits;
    };
    for (const Kernel& k : kernels) {
        std::uint64_t touched = 0;
        for (unsigned b = 0; b < k.ntargets; ++b) touched |= std::uint64_t{1} << k.targets[b];
        for (unsigned b = 0; b < k.ncontrols; ++b) touched |= std::uint64_t{1} << k.controls[b];
        if (std::popcount(set | touched) > int(kBlockQubits)) close();
        set |= touched;
        pending.push_back(&k);
    }
    if (!pending.empty()) close();
    return segments;
}

// Spreads the low bits of `bits` over the set bits of `set`, lowest first.
std::size_t deposit(std::uint64_t set, std::size_t bits) {
    std::size_t out = 0;
    for (unsigned q = 0; set; ++q, set >>= 1)
        if (set & 1) {
            out |= (bits & 1) << q;
            bits >>= 1;
        }
    return out;
}

void apply_segment(unsigned nqubits, const Segment& segment, std::span<cplx> state,
                   std::vector<cplx>& block, InterruptPoll& poll) {
    const std::size_t block_size = std::size_t{1} << kBlockQubits;
    const std::uint32_t units = block_size >> kAmplitudesPerTick;
    const std::uint64_t all = (std::uint64_t{1} << nqubits) - 1;
    const std::uint64_t outside = all & ~segment.qubits;
    const std::size_t run = std::size_t{1} << kRunQubits;
    // Where each run of a block starts, relative to the block's first amplitude.
    std::vector<std::size_t> run_starts(block_size / run);
    for (std::size_t r = 0; r < run_starts.size(); ++r)
        run_starts[r] = deposit(segment.qubits, r << kRunQubits);
    const bool contiguous = segment.qubits == (std::uint64_t{1} << kBlockQubits) - 1;
    const std::size_t nblocks = std::size_t{1} << (nqubits - kBlockQubits);
    for (std::size_t b = 0; b < nblocks; ++b) {
        const std::size_t first = deposit(outside, b);
        if (contiguous) {
            std::span<cplx> in_place = state.subspan(first, block_size);
            for (const Kernel& k : segment.kernels) {
                poll.tick(units);
                apply_kernel(k, in_place);
            }
            continue;
        }
        for (std::size_t r = 0; r < run_starts.size(); ++r)
            std::copy_n(&state[first + run_starts[r]], run, &block[r * run]);
        for (const Kernel& k : segment.kernels) {
            poll.tick(units);
            apply_kernel(k, block);
        }
        for (std::size_t r = 0; r < run_starts.size(); ++r)
            std::copy_n(&block[r * run], run, &state[first + run_starts[r]]);
    }
}

}  // namespace

void apply_circuit(unsigned nqubits, std::span<const Operation> ops, std::span<cplx> state) {
    if (nqubits > kMaxStateQubits) throw std::invalid_argument("too many qubits for a state");
    if (state.size() != std::size_t{1} << nqubits)
        throw std::invalid_argument("state vector of the wrong size");
    const std::vector<Kernel> kernels = kernels_of(nqubits, ops);
    InterruptPoll poll;
    if (nqubits <= kBlockQubits) {
        const std::uint32_t units = std::max<std::uint32_t>(1, state.size() >> kAmplitudesPerTick);
        for (const Kernel& k : kernels) {
            poll.tick(units);
            apply_kernel(k, state);
        }
        return;
    }
    std::vector<cplx> block(std::size_t{1} << kBlockQubits);
    for (const Segment& segment : segments_of(nqubits, kernels))
        apply_segment(nqubits, segment, state, block, poll);
}

}  // namespace corvane::simulate
