#include "decompose/u3_decompose.hpp"

#include <cmath>
#include <limits>
#include <numbers>

namespace corvane::decompose {
namespace {

using cplx = std::complex<double>;

constexpr double kPi = std::numbers::pi;
constexpr double kTwoPi = 2.0 * std::numbers::pi;

// Maps an angle into (-pi, pi].
double wrap(double x) {
    double r = std::remainder(x, kTwoPi);  // exact, in [-pi, pi]
    return r <= -kPi ? r + kTwoPi : r;
}

bool finite(cplx z) { return std::isfinite(z.real()) && std::isfinite(z.imag()); }

}  // namespace

// The target form is
//
//   m = e^{i a} [[ c,             -e^{i l} s       ],
//                [ e^{i p} s,      e^{i (p + l)} c ]]     c = cos(t/2), s = sin(t/2)
//
// so the magnitudes give t, and the arguments of m00, -m01, m10, m11 are a,
// a + l, a + p and a + p + l. Those four arguments overdetermine the three
// phases by one relation, arg m00 + arg m11 = arg(-m01) + arg m10, which holds
// for an exact unitary and fails by the rounding noise of the input otherwise.
// The argument of an entry of magnitude r is only known to about eps / r, so
// the mismatch is given entirely to the pair of smaller entries: they are
// reproduced within eps in absolute terms whatever their phase error, while
// the larger pair is reproduced with its own arguments unchanged.
U3Angles u3_decompose(const cplx m[4]) {
    const cplx m00 = m[0], m01 = m[1], m10 = m[2], m11 = m[3];
    if (!(finite(m00) && finite(m01) && finite(m10) && finite(m11))) {
        const double nan = std::numeric_limits<double>::quiet_NaN();
        return {nan, nan, nan, nan};
    }

    const double a00 = std::abs(m00), a11 = std::abs(m11);
    const double a01 = std::abs(m01), a10 = std::abs(m10);
    const double cos_half = 0.5 * (a00 + a11);
    const double sin_half = 0.5 * (a01 + a10);
    // atan2 of the magnitudes keeps full relative accuracy near 0 and near pi.
    const double theta = 2.0 * std::atan2(sin_half, cos_half);

    double arg00 = std::arg(m00);
    double arg11 = std::arg(m11);
    double arg01 = std::arg(-m01);
    double arg10 = std::arg(m10);

    if (a01 == 0.0 && a10 == 0.0) {
        // Diagonal: phi and lamda are only fixed through their sum; take phi = 0.
        arg10 = arg00;
        arg01 = arg11;
    } else if (a00 == 0.0 && a11 == 0.0) {
        // Anti-diagonal: the global phase is free; take it to be 0.
        arg00 = 0.0;
        arg11 = arg01 + arg10;
    } else {
        const double mismatch = wrap(arg00 + arg11 - arg01 - arg10);
        if (cos_half >= sin_half) {
            arg01 += 0.5 * mismatch;
            arg10 += 0.5 * mismatch;
        } else {
            arg00 -= 0.5 * mismatch;
            arg11 -= 0.5 * mismatch;
        }
    }
    // Now arg00 + arg11 == arg01 + arg10 (mod 2 pi), so arg11 is reproduced
    // as a + p + l with the values below.
    return {theta, wrap(arg10 - arg00), wrap(arg01 - arg00), wrap(arg00)};
}

}  // namespace corvane::decompose
