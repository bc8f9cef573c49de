// Unitary matrices of the supported gates, as plain row-major arrays of
// complex doubles.
//
// These functions are the one place where the gate formulas live: the Python
// module `matrix` fills its arrays from them and the gate-compression engine
// evaluates gates through them, so both always agree to the last bit.
//
// Index convention: bit k (value 2^k) of a row or column index is the state of
// the gate's (k+1)-th qubit. A two-qubit matrix acting as A on the first qubit
// and B on the second is therefore the Kronecker product B (x) A.
//
// Every entry is evaluated exactly as the formula is written, products left to
// right, with the host's mixed complex/real rules: a complex times a real
// scales both components, so (-i)*s has real part -0.0*s. The constant -i has
// real part -0.0. For a rotation angle theta, h = theta * 0.5.
#pragma once

#include <array>
#include <complex>
#include <cstddef>
#include <string_view>

namespace corvane::gates {

using cplx = std::complex<double>;

template <std::size_t N>
using Matrix = std::array<cplx, N * N>;

using Matrix2 = Matrix<2>;
using Matrix4 = Matrix<4>;
using Matrix8 = Matrix<8>;

// The imaginary unit and its negation, with the signs of zero the host gives
// to the literals 1j and -1j.
inline constexpr cplx kI{0.0, 1.0};
inline constexpr cplx kMinusI{-0.0, -1.0};

// ---- parametric one-qubit gates (2 x 2) --------------------------------------
Matrix2 rx_matrix(double theta);
Matrix2 ry_matrix(double theta);
Matrix2 rz_matrix(double theta);
Matrix2 p_matrix(double theta);
// r(theta, phi): rotation by theta about the axis cos(phi) X + sin(phi) Y.
Matrix2 r_matrix(double theta, double phi);
Matrix2 u_matrix(double theta, double phi, double lamda);
// u1(lamda) = u(0, 0, lamda) and u2(phi, lamda) = u(pi/2, phi, lamda), built by
// the u formulas (not by the formula of p).
Matrix2 u1_matrix(double lamda);
Matrix2 u2_matrix(double phi, double lamda);

// ---- parametric two-qubit gates (4 x 4) --------------------------------------
Matrix4 rxx_matrix(double theta);
Matrix4 ryy_matrix(double theta);
Matrix4 rzz_matrix(double theta);
Matrix4 cp_matrix(double theta);

// ---- fixed gates ---------------------------------------------------------------
Matrix2 id_matrix();
Matrix2 x_matrix();
Matrix2 y_matrix();
Matrix2 z_matrix();
Matrix2 h_matrix();
Matrix2 s_matrix();
Matrix2 sdg_matrix();
Matrix2 t_matrix();
Matrix2 tdg_matrix();
Matrix2 sx_matrix();
Matrix2 sxdg_matrix();

Matrix4 swap_matrix();
Matrix4 iswap_matrix();
Matrix4 cx_matrix();  // control first qubit, target second
Matrix4 xc_matrix();  // cx with the qubit order reversed
Matrix4 cy_matrix();
Matrix4 yc_matrix();
Matrix4 cz_matrix();

Matrix8 ccz_matrix();
Matrix8 ccx_matrix();    // controls first and second qubit, target third
Matrix8 cxc_matrix();    // ccx with the qubit order reversed
Matrix8 cswap_matrix();  // control first qubit, exchanges second and third
Matrix8 swapc_matrix();  // cswap with the qubit order reversed

// Looks up a fixed gate matrix by its module name stem: a parameter-free gate
// of the gate table ("x", "cnot", ...) or a reversed-order variant ("swapc").
// Writes the dimension (2, 4 or 8) and the entries (dim*dim of them,
// out must have room for 64) and returns true, or returns false for an
// unknown name.
bool fixed_matrix(std::string_view name, std::size_t& dim, cplx* out);

}  // namespace corvane::gates
