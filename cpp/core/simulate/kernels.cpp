#include "simulate/kernels.hpp"

#include <algorithm>
#include <stdexcept>
#include <type_traits>
#include <utility>

namespace corvane::simulate {
namespace {

// The plain complex product: std::complex's operator* adds NaN recovery
// branches that cost more than the product itself in the inner loop.
inline cplx times(cplx a, cplx b) {
    return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()};
}

// A square matrix on `qubits.size()` qubits, row-major, bit j of an index
// being qubits[j]; shrinks as controls are peeled off.
struct LocalMatrix {
    std::size_t nqubits;
    std::array<unsigned, 3> qubits;
    std::array<cplx, 64> m;

    std::size_t dim() const { return std::size_t{1} << nqubits; }
    cplx at(std::size_t r, std::size_t c) const { return m[r * dim() + c]; }
};

// True when qubit bit b only controls the rest: the matrix keeps bit b and
// is the identity where it is 0.
bool is_control(const LocalMatrix& lm, std::size_t b) {
    const std::size_t d = lm.dim();
    for (std::size_t r = 0; r < d; ++r)
        for (std::size_t c = 0; c < d; ++c) {
            const bool rb = r >> b & 1, cb = c >> b & 1;
            const cplx expected = rb == cb && !rb && r == c ? cplx{1.0, 0.0} : cplx{0.0, 0.0};
            if ((rb != cb || !rb) && lm.at(r, c) != expected) return false;
        }
    return true;
}

// The block of `lm` where bit b is 1, on the other qubits.
LocalMatrix controlled_block(const LocalMatrix& lm, std::size_t b) {
    LocalMatrix out{lm.nqubits - 1, {}, {}};
    for (std::size_t j = 0, k = 0; j < lm.nqubits; ++j)
        if (j != b) out.qubits[k++] = lm.qubits[j];
    auto widen = [b](std::size_t i) {
        const std::size_t low = i & ((std::size_t{1} << b) - 1);
        return ((i ^ low) << 1) | (std::size_t{1} << b) | low;
    };
    const std::size_t d = out.dim();
    for (std::size_t r = 0; r < d; ++r)
        for (std::size_t c = 0; c < d; ++c) out.m[r * d + c] = lm.at(widen(r), widen(c));
    return out;
}

void classify(Kernel& k, const LocalMatrix& lm) {
    const std::size_t d = lm.dim();
    bool diagonal = true, permutation = true;
    for (std::size_t c = 0; c < d; ++c) {
        std::size_t nonzero = 0;
        for (std::size_t r = 0; r < d; ++r)
            if (lm.at(r, c) != cplx{0.0, 0.0}) {
                ++nonzero;
                if (r != c) diagonal = false;
            }
        if (nonzero != 1) permutation = diagonal = false;
    }
    k.unit_phases = true;
    if (diagonal || permutation) {
        k.shape = diagonal ? KernelShape::kDiagonal : KernelShape::kPermutation;
        for (std::size_t c = 0; c < d; ++c) {
            std::size_t r = 0;
            while (lm.at(r, c) == cplx{0.0, 0.0}) ++r;
            const cplx value = lm.at(r, c);
            if (r == c && value == cplx{1.0, 0.0}) continue;
            k.moved[k.nmoved] = static_cast<std::uint8_t>(c);
            k.rows[k.nmoved] = static_cast<std::uint8_t>(r);
            k.phase[k.nmoved] = value;
            if (value != cplx{1.0, 0.0}) k.unit_phases = false;
            ++k.nmoved;
        }
    } else {
        k.shape = KernelShape::kDense;
        std::copy(lm.m.begin(), lm.m.begin() + d * d, k.matrix.begin());
    }
}

void place(Kernel& k) {
    k.offsets.fill(0);
    for (std::size_t j = 0; j < (std::size_t{1} << k.ntargets); ++j)
        for (unsigned b = 0; b < k.ntargets; ++b)
            if (j >> b & 1) k.offsets[j] |= std::size_t{1} << k.targets[b];
    std::array<unsigned, 3> positions{};
    k.npositions = 0;
    k.control_bits = 0;
    for (unsigned b = 0; b < k.ntargets; ++b) positions[k.npositions++] = k.targets[b];
    for (unsigned b = 0; b < k.ncontrols; ++b) {
        positions[k.npositions++] = k.controls[b];
        k.control_bits |= std::size_t{1} << k.controls[b];
    }
    for (unsigned a = 1; a < k.npositions; ++a)
        for (unsigned b = a; b > 0 && positions[b - 1] > positions[b]; --b)
            std::swap(positions[b - 1], positions[b]);
    for (unsigned b = 0; b < k.npositions; ++b) k.below[b] = (std::size_t{1} << positions[b]) - 1;
}

// Calls body(base) for every base index: zero at the gate's targets, one at
// its controls. Bases come in contiguous runs below the lowest gate qubit,
// so the inner loop walks memory in order.
template <class Body>
void for_each_base(const Kernel& k, std::size_t size, Body body) {
    const std::size_t bases = size >> k.npositions;
    const std::size_t run = k.below[0] + 1;
    for (std::size_t hi = 0; hi < bases; hi += run) {
        std::size_t base = hi << 1;  // the zero at the lowest position: hi has no bits below it
        for (unsigned b = 1; b < k.npositions; ++b)
            base = ((base & ~k.below[b]) << 1) | (base & k.below[b]);
        base |= k.control_bits;
        for (std::size_t j = 0; j < run; ++j) body(base + j);
    }
}

template <std::size_t NM>
void apply_diagonal(const Kernel& k, cplx* v, std::size_t size) {
    std::array<std::size_t, NM> off;
    std::array<cplx, NM> phase;
    for (std::size_t m = 0; m < NM; ++m) off[m] = k.offsets[k.moved[m]], phase[m] = k.phase[m];
    for_each_base(k, size, [&](std::size_t base) {
        for (std::size_t m = 0; m < NM; ++m) v[base + off[m]] = times(phase[m], v[base + off[m]]);
    });
}

template <std::size_t NM, bool Unit>
void apply_permutation(const Kernel& k, cplx* v, std::size_t size) {
    std::array<std::size_t, NM> from, to;
    std::array<cplx, NM> phase;
    for (std::size_t m = 0; m < NM; ++m) {
        from[m] = k.offsets[k.moved[m]];
        to[m] = k.offsets[k.rows[m]];
        phase[m] = k.phase[m];
    }
    for_each_base(k, size, [&](std::size_t base) {
        std::array<cplx, NM> in;
        for (std::size_t m = 0; m < NM; ++m) in[m] = v[base + from[m]];
        for (std::size_t m = 0; m < NM; ++m)
            v[base + to[m]] = Unit ? in[m] : times(phase[m], in[m]);
    });
}

template <std::size_t D>
void apply_dense(const Kernel& k, cplx* v, std::size_t size) {
    std::array<cplx, D * D> m;
    std::copy(k.matrix.begin(), k.matrix.begin() + D * D, m.begin());
    std::array<std::size_t, D> off;
    std::copy(k.offsets.begin(), k.offsets.begin() + D, off.begin());
    for_each_base(k, size, [&](std::size_t base) {
        std::array<cplx, D> in;
        for (std::size_t c = 0; c < D; ++c) in[c] = v[base + off[c]];
        for (std::size_t r = 0; r < D; ++r) {
            cplx sum = times(m[r * D], in[0]);
            for (std::size_t c = 1; c < D; ++c) sum += times(m[r * D + c], in[c]);
            v[base + off[r]] = sum;
        }
    });
}

// Calls f(std::integral_constant<std::size_t, n>) for n = 1 to 8, so that the
// loops over a kernel's moved entries are unrolled.
template <class F>
void with_count(std::size_t n, F f) {
    switch (n) {
        case 1:
            return f(std::integral_constant<std::size_t, 1>{});
        case 2:
            return f(std::integral_constant<std::size_t, 2>{});
        case 3:
            return f(std::integral_constant<std::size_t, 3>{});
        case 4:
            return f(std::integral_constant<std::size_t, 4>{});
        case 5:
            return f(std::integral_constant<std::size_t, 5>{});
        case 6:
            return f(std::integral_constant<std::size_t, 6>{});
        case 7:
            return f(std::integral_constant<std::size_t, 7>{});
        case 8:
            return f(std::integral_constant<std::size_t, 8>{});
        default:
            return;  // nothing moves: the identity
    }
}

}  // namespace

Kernel kernel_of(const Operation& op) {
    LocalMatrix lm{op.arity, {}, op.matrix};
    std::copy(op.qubits.begin(), op.qubits.begin() + op.arity, lm.qubits.begin());
    Kernel k;
    // Peel controls while a target is left; cz and cp keep their last qubit
    // as a diagonal target.
    for (bool peeled = true; peeled && lm.nqubits > 1;) {
        peeled = false;
        for (std::size_t b = 0; b < lm.nqubits && !peeled; ++b)
            if (is_control(lm, b)) {
                k.controls[k.ncontrols++] = lm.qubits[b];
                lm = controlled_block(lm, b);
                peeled = true;
            }
    }
    k.ntargets = static_cast<unsigned>(lm.nqubits);
    std::copy(lm.qubits.begin(), lm.qubits.begin() + lm.nqubits, k.targets.begin());
    classify(k, lm);
    place(k);
    return k;
}

std::vector<Kernel> kernels_of(unsigned nqubits, std::span<const Operation> ops) {
    std::vector<Kernel> kernels;
    kernels.reserve(ops.size());
    for (const Operation& op : ops) {
        for (std::size_t b = 0; b < op.arity; ++b)
            if (op.qubits[b] >= nqubits) throw std::out_of_range("gate qubit outside the circuit");
        kernels.push_back(kernel_of(op));
    }
    return kernels;
}

Kernel remapped(Kernel k, std::span<const unsigned> qubit_map) {
    for (unsigned b = 0; b < k.ntargets; ++b) k.targets[b] = qubit_map[k.targets[b]];
    for (unsigned b = 0; b < k.ncontrols; ++b) k.controls[b] = qubit_map[k.controls[b]];
    place(k);
    return k;
}

void apply_kernel(const Kernel& k, std::span<cplx> v) {
    cplx* data = v.data();
    const std::size_t size = v.size();
    switch (k.shape) {
        case KernelShape::kDiagonal:
            return with_count(k.nmoved,
                              [&](auto n) { apply_diagonal<decltype(n)::value>(k, data, size); });
        case KernelShape::kPermutation:
            return with_count(k.nmoved, [&](auto n) {
                if (k.unit_phases)
                    apply_permutation<decltype(n)::value, true>(k, data, size);
                else
                    apply_permutation<decltype(n)::value, false>(k, data, size);
            });
        case KernelShape::kDense:
            if (k.ntargets == 1) return apply_dense<2>(k, data, size);
            if (k.ntargets == 2) return apply_dense<4>(k, data, size);
            return apply_dense<8>(k, data, size);
    }
}

}  // namespace corvane::simulate
