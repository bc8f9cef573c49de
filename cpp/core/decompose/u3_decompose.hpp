// Euler-angle decomposition of a one-qubit unitary into the parameters of a
// "u" gate and a global phase.
#pragma once

#include <complex>

namespace corvane::decompose {

struct U3Angles {
    double theta;  // in [0, pi]
    double phi;    // in (-pi, pi]
    double lamda;  // in (-pi, pi]
    double phase;  // in (-pi, pi]
};

// For a 2 x 2 unitary m (row-major: m[0] m[1] / m[2] m[3]) returns angles with
//
//   exp(i*phase) * u(theta, phi, lamda) == m
//
// where u is the matrix of gates::u_matrix. The result is accurate to a few
// units of rounding for every unitary, including diagonal and anti-diagonal
// ones. A matrix that is only nearly unitary (rounding noise) is mapped to a
// unitary close to it. Entries that are not finite give NaN angles.
U3Angles u3_decompose(const std::complex<double> m[4]);

}  // namespace corvane::decompose
