#include "simulate/statevector.hpp"

#include "common/interrupt.hpp"
#include "simulate/kernels.hpp"

#include <algorithm>
#include <array>
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

using Segment = CompiledGates::Segment;

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

inline cplx times(cplx a, cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// The 2x2 product a * b, row-major.
std::array<cplx, 4> product(const std::array<cplx, 4>& a, const std::array<cplx, 4>& b) {
    return {times(a[0], b[0]) + times(a[1], b[2]), times(a[0], b[1]) + times(a[1], b[3]),
            times(a[2], b[0]) + times(a[3], b[2]), times(a[2], b[1]) + times(a[3], b[3])};
}

// The kernels of `ops` with the one-qubit gates on each qubit multiplied
// together until a gate on several qubits, or the end, needs that qubit.
// One-qubit gates on different qubits commute, so only that order matters.
std::vector<Kernel> fused_kernels(unsigned nqubits, std::span<const Operation> ops, cplx& scalar) {
    struct Pending {
        bool any = false;
        std::array<cplx, 4> matrix{};
    };
    std::vector<Pending> pending(nqubits);
    std::vector<Kernel> kernels;
    auto flush = [&](unsigned q) {
        Pending& p = pending[q];
        if (!p.any) return;
        p.any = false;
        const auto& m = p.matrix;
        if (m[1] == cplx{0.0, 0.0} && m[2] == cplx{0.0, 0.0} && m[0] == m[3]) {
            scalar = times(scalar, m[0]);
            return;
        }
        Operation op;
        op.arity = 1;
        std::copy(m.begin(), m.end(), op.matrix.begin());
        op.qubits[0] = q;
        kernels.push_back(kernel_of(op));
    };
    for (const Operation& op : ops) {
        for (std::size_t b = 0; b < op.arity; ++b)
            if (op.qubits[b] >= nqubits) throw std::out_of_range("gate qubit outside the circuit");
        if (op.arity == 1) {
            Pending& p = pending[op.qubits[0]];
            std::array<cplx, 4> m;
            std::copy_n(op.matrix.begin(), 4, m.begin());
            p.matrix = p.any ? product(m, p.matrix) : m;
            p.any = true;
            continue;
        }
        for (std::size_t b = 0; b < op.arity; ++b) flush(op.qubits[b]);
        kernels.push_back(kernel_of(op));
    }
    for (unsigned q = 0; q < nqubits; ++q) flush(q);
    return kernels;
}

}  // namespace

CompiledGates::CompiledGates(unsigned nqubits, std::span<const Operation> ops,
                             bool fuse_single_qubit_runs)
    : nqubits_(nqubits) {
    kernels_ =
        fuse_single_qubit_runs ? fused_kernels(nqubits, ops, scalar_) : kernels_of(nqubits, ops);
    if (nqubits > kBlockQubits) {
        segments_ = segments_of(nqubits, kernels_);
        kernels_.clear();
    }
}

void CompiledGates::apply(std::span<cplx> state, InterruptPoll& poll) const {
    if (nqubits_ <= kBlockQubits) {
        const std::uint32_t units = std::max<std::uint32_t>(1, state.size() >> kAmplitudesPerTick);
        for (const Kernel& k : kernels_) {
            poll.tick(units);
            apply_kernel(k, state);
        }
        return;
    }
    std::vector<cplx> block(std::size_t{1} << kBlockQubits);
    for (const Segment& segment : segments_) apply_segment(nqubits_, segment, state, block, poll);
}

void apply_circuit(unsigned nqubits, std::span<const Operation> ops, std::span<cplx> state) {
    if (nqubits > kMaxStateQubits) throw std::invalid_argument("too many qubits for a state");
    if (state.size() != std::size_t{1} << nqubits)
        throw std::invalid_argument("state vector of the wrong size");
    InterruptPoll poll;
    CompiledGates(nqubits, ops, false).apply(state, poll);
}

}  // namespace corvane::simulate
