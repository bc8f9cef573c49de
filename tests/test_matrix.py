"""Tests of corvane.circuit.matrix: gate matrices, basis states and the gate table."""

import math
import types
from fractions import Fraction

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.circuit import matrix as M

PI = np.pi
ANGLES = st.floats(min_value=-50.0, max_value=50.0, allow_nan=False, allow_infinity=False)


# ---- helpers -----------------------------------------------------------------------


def bits(a):
    """The raw bit pattern of a complex array, so that signed zeros count."""
    a = np.ascontiguousarray(a, dtype=complex)
    return a.view(np.uint64)


def assert_bits_equal(actual, expected):
    assert actual.shape == expected.shape
    np.testing.assert_array_equal(bits(actual), bits(expected))


def assert_ulp_close(actual, expected, maxulp=4):
    """Real and imaginary parts agree within `maxulp` units in the last place."""
    assert actual.shape == expected.shape
    for part in (np.real, np.imag):
        a, b = part(actual), part(expected)
        tol = maxulp * np.spacing(np.maximum(np.abs(a), np.abs(b)))
        assert np.all(np.abs(a - b) <= tol), (actual, expected)


def assert_close(a, b, atol=1e-14):
    np.testing.assert_allclose(a, b, rtol=0, atol=atol)


def dagger(a):
    return a.conj().T


def bit_reversal(nqubits):
    """Permutation matrix exchanging index bit k with bit nqubits-1-k."""
    dim = 2**nqubits
    perm = np.zeros((dim, dim), dtype=complex)
    for k in range(dim):
        rev = int(format(k, f"0{nqubits}b")[::-1], 2)
        perm[rev, k] = 1
    return perm


def basis(k, dim):
    v = np.zeros((dim, 1), dtype=complex)
    v[k, 0] = 1
    return v


# ---- the numpy formulas the functions implement -----------------------------------


def formula_rx(theta):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array([[c, -1j * s], [-1j * s, c]], dtype=complex)


def formula_ry(theta):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array([[c, -s], [s, c]], dtype=complex)


def formula_rz(theta):
    return np.array([[np.exp(-0.5j * theta), 0.0], [0.0, np.exp(0.5j * theta)]], dtype=complex)


def formula_p(theta):
    return np.array([[1.0, 0.0], [0.0, np.exp(1j * theta)]], dtype=complex)


def formula_r(theta, phi):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array(
        [[c, -1j * np.exp(-1j * phi) * s], [-1j * np.exp(1j * phi) * s, c]], dtype=complex
    )


def formula_u(theta, phi, lamda):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array(
        [[c, -np.exp(1j * lamda) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lamda)) * c]],
        dtype=complex,
    )


def formula_rxx(theta):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array(
        [[c, 0, 0, -1j * s], [0, c, -1j * s, 0], [0, -1j * s, c, 0], [-1j * s, 0, 0, c]],
        dtype=complex,
    )


def formula_ryy(theta):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array(
        [[c, 0, 0, 1j * s], [0, c, -1j * s, 0], [0, -1j * s, c, 0], [1j * s, 0, 0, c]],
        dtype=complex,
    )


def formula_rzz(theta):
    a, b = np.exp(-1j * theta / 2), np.exp(1j * theta / 2)
    return np.array([[a, 0, 0, 0], [0, b, 0, 0], [0, 0, b, 0], [0, 0, 0, a]], dtype=complex)


def formula_cp(theta):
    return np.array(
        [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, np.exp(1j * theta)]], dtype=complex
    )


ONE_ANGLE = [
    ("rx_mat", formula_rx),
    ("ry_mat", formula_ry),
    ("rz_mat", formula_rz),
    ("p_mat", formula_p),
    ("rxx_mat", formula_rxx),
    ("ryy_mat", formula_ryy),
    ("rzz_mat", formula_rzz),
    ("cp_mat", formula_cp),
]


# ---- module surface ----------------------------------------------------------------


def test_module_docstring_and_numpy_binding():
    assert (
        M.__doc__ == "The matrices corresponding to single-qubit, two-qubit and three-qubit gates."
    )
    assert M.np is np


FUNCTION_SIGNATURES = {
    "ketn0": {"nqubits": "int", "return": "np.ndarray"},
    "ketn1": {"nqubits": "int", "return": "np.ndarray"},
    "r_mat": {},
    "rx_mat": {"theta": "float", "return": "np.ndarray"},
    "ry_mat": {"theta": "float", "return": "np.ndarray"},
    "rz_mat": {"theta": "float", "return": "np.ndarray"},
    "p_mat": {"theta": "float", "return": "np.ndarray"},
    "u_mat": {"theta": "float", "phi": "float", "lamda": "float", "return": "np.ndarray"},
    "u1_mat": {"lamda": "float"},
    "u2_mat": {"phi": "float", "lamda": "float"},
    "rxx_mat": {"theta": "float", "return": "np.ndarray"},
    "ryy_mat": {"theta": "float", "return": "np.ndarray"},
    "rzz_mat": {"theta": "float", "return": "np.ndarray"},
    "cp_mat": {"theta": "float", "return": "np.ndarray"},
}


@pytest.mark.parametrize("name, annotations", FUNCTION_SIGNATURES.items())
def test_function_metadata(name, annotations):
    fn = getattr(M, name)
    assert fn.__name__ == name
    assert fn.__qualname__ == name
    assert fn.__module__ == "corvane.circuit.matrix"
    assert fn.__doc__ is None
    assert fn.__annotations__ == annotations
    assert list(fn.__annotations__) == list(annotations)


PARAMS = {
    "r_mat": ("theta", "phi"),
    "u_mat": ("theta", "phi", "lamda"),
    "u1_mat": ("lamda",),
    "u2_mat": ("phi", "lamda"),
    "ketn0": ("nqubits",),
    "ketn1": ("nqubits",),
}


@pytest.mark.parametrize("name", FUNCTION_SIGNATURES)
def test_all_parameters_accept_keywords(name):
    params = PARAMS.get(name, ("theta",))
    values = [2] * len(params) if name.startswith("ketn") else [0.3, -0.7, 1.1][: len(params)]
    by_position = getattr(M, name)(*values)
    by_keyword = getattr(M, name)(**dict(reversed(list(zip(params, values)))))
    assert_bits_equal(by_keyword, by_position)


# ---- fixed matrices ------------------------------------------------------------------

R2 = 1 / np.sqrt(2)
FIXED = {
    # Expected rows, written as the nested lists the constants are defined by.
    "id_mat": [[1.0, 0.0], [0.0, 1.0]],
    "x_mat": [[0.0, 1.0], [1.0, 0.0]],
    "y_mat": [[0.0, -1j], [1j, 0.0]],
    "z_mat": [[1.0, 0.0], [0.0, -1.0]],
    "h_mat": np.array([[1, 1], [1, -1]], dtype=complex) / np.sqrt(2),
    "s_mat": [[1.0, 0.0], [0.0, 1j]],
    "sdg_mat": [[1.0, 0.0], [0.0, -1j]],
    "t_mat": [[1.0, 0.0], [0.0, np.exp((1j * np.pi) / 4)]],
    "tdg_mat": [[1.0, 0.0], [0.0, np.exp((-1j * np.pi) / 4)]],
    "sx_mat": np.array([[1 + 1j, 1 - 1j], [1 - 1j, 1 + 1j]], dtype=complex) / 2,
    "sxdg_mat": np.array([[1 - 1j, 1 + 1j], [1 + 1j, 1 - 1j]], dtype=complex) / 2,
    "swap_mat": [
        [1.0, 0.0, 0.0, 0.0],
        [0.0, 0.0, 1.0, 0.0],
        [0.0, 1.0, 0.0, 0.0],
        [0.0, 0.0, 0.0, 1.0],
    ],
    "iswap_mat": [
        [1.0, 0.0, 0.0, 0.0],
        [0.0, 0.0, 1j, 0.0],
        [0.0, 1j, 0.0, 0.0],
        [0.0, 0.0, 0.0, 1.0],
    ],
    "cx_mat": [
        [1.0, 0.0, 0.0, 0.0],
        [0.0, 0.0, 0.0, 1.0],
        [0.0, 0.0, 1.0, 0.0],
        [0.0, 1.0, 0.0, 0.0],
    ],
    "xc_mat": [
        [1.0, 0.0, 0.0, 0.0],
        [0.0, 1.0, 0.0, 0.0],
        [0.0, 0.0, 0.0, 1.0],
        [0.0, 0.0, 1.0, 0.0],
    ],
    "cy_mat": [
        [1.0, 0.0, 0.0, 0.0],
        [0.0, 0.0, 0.0, -1j],
        [0.0, 0.0, 1.0, 0.0],
        [0.0, 1j, 0.0, 0.0],
    ],
    "yc_mat": [
        [1.0, 0.0, 0.0, 0.0],
        [0.0, 1.0, 0.0, 0.0],
        [0.0, 0.0, 0.0, -1j],
        [0.0, 0.0, 1j, 0.0],
    ],
    "cz_mat": [
        [1.0, 0.0, 0.0, 0.0],
        [0.0, 1.0, 0.0, 0.0],
        [0.0, 0.0, 1.0, 0.0],
        [0.0, 0.0, 0.0, -1.0],
    ],
    "ccz_mat": np.diag([1, 1, 1, 1, 1, 1, 1, -1]),
    "ccx_mat": np.eye(8, dtype=int)[[0, 1, 2, 7, 4, 5, 6, 3]],
    "cxc_mat": np.eye(8, dtype=int)[[0, 1, 2, 3, 4, 5, 7, 6]],
    "cswap_mat": np.eye(8, dtype=int)[[0, 1, 2, 5, 4, 3, 6, 7]],
    "swapc_mat": np.eye(8, dtype=int)[[0, 1, 2, 3, 4, 6, 5, 7]],
}
# Entries that numpy's exp produces; the native exp may differ in the last bit.
FROM_EXP = {"t_mat", "tdg_mat"}


@pytest.mark.parametrize("name", FIXED)
def test_fixed_matrix_values(name):
    actual = getattr(M, name)
    expected = np.array(FIXED[name], dtype=complex)
    assert actual.dtype == np.complex128
    assert actual.flags.c_contiguous
    if name in FROM_EXP:
        assert_ulp_close(actual, expected, maxulp=1)
    else:
        assert_bits_equal(actual, expected)


def test_minus_i_entries_have_negative_zero_real_part():
    for name, index in [
        ("y_mat", (0, 1)),
        ("sdg_mat", (1, 1)),
        ("cy_mat", (1, 3)),
        ("yc_mat", (2, 3)),
    ]:
        value = getattr(M, name)[index]
        assert value.imag == -1.0
        assert value.real == 0.0 and math.copysign(1.0, value.real) == -1.0, name


def test_hadamard_entry_value():
    assert M.h_mat[0, 0].real == 0.7071067811865475
    assert M.h_mat[1, 1].real == -0.7071067811865475


@pytest.mark.parametrize(
    "name, image",
    [
        ("cx_mat", [0, 3, 2, 1]),
        ("xc_mat", [0, 1, 3, 2]),
        ("swap_mat", [0, 2, 1, 3]),
        ("ccx_mat", [0, 1, 2, 7, 4, 5, 6, 3]),
        ("cxc_mat", [0, 1, 2, 3, 4, 5, 7, 6]),
        ("cswap_mat", [0, 1, 2, 5, 4, 3, 6, 7]),
        ("swapc_mat", [0, 1, 2, 3, 4, 6, 5, 7]),
    ],
)
def test_permutation_gates_move_basis_states(name, image):
    mat = getattr(M, name)
    dim = mat.shape[0]
    for k in range(dim):
        assert_bits_equal(mat @ basis(k, dim), basis(image[k], dim))


@pytest.mark.parametrize(
    "base, reversed_name, nqubits",
    [
        ("cx_mat", "xc_mat", 2),
        ("cy_mat", "yc_mat", 2),
        ("ccx_mat", "cxc_mat", 3),
        ("cswap_mat", "swapc_mat", 3),
    ],
)
def test_reversed_variants_are_bit_reversal_conjugates(base, reversed_name, nqubits):
    perm = bit_reversal(nqubits)
    assert_close(perm @ getattr(M, base) @ perm, getattr(M, reversed_name), atol=0)


def test_swap_conjugates_cx_into_xc():
    assert_close(M.swap_mat @ M.cx_mat @ M.swap_mat, M.xc_mat, atol=0)


@pytest.mark.parametrize("name", ["cz_mat", "swap_mat", "iswap_mat", "ccz_mat"])
def test_symmetric_gates_are_their_own_reversal(name):
    mat = getattr(M, name)
    perm = bit_reversal(int(np.log2(mat.shape[0])))
    assert_close(perm @ mat @ perm, mat, atol=0)


@pytest.mark.parametrize(
    "lhs, rhs",
    [
        (lambda: M.h_mat @ M.h_mat, lambda: M.id_mat),
        (lambda: M.x_mat @ M.x_mat, lambda: M.id_mat),
        (lambda: M.swap_mat @ M.swap_mat, lambda: np.eye(4)),
        (lambda: M.s_mat @ M.s_mat, lambda: M.z_mat),
        (lambda: M.t_mat @ M.t_mat, lambda: M.s_mat),
        (lambda: M.sx_mat @ M.sx_mat, lambda: M.x_mat),
        (lambda: dagger(M.s_mat), lambda: M.sdg_mat),
        (lambda: dagger(M.t_mat), lambda: M.tdg_mat),
        (lambda: dagger(M.sx_mat), lambda: M.sxdg_mat),
        (lambda: 1j * M.x_mat @ M.z_mat, lambda: M.y_mat),
        (lambda: M.h_mat @ M.x_mat @ M.h_mat, lambda: M.z_mat),
        (
            lambda: np.kron(M.h_mat, M.id_mat) @ M.cz_mat @ np.kron(M.h_mat, M.id_mat),
            lambda: M.cx_mat,
        ),
        (
            lambda: np.kron(M.id_mat, M.h_mat) @ M.cz_mat @ np.kron(M.id_mat, M.h_mat),
            lambda: M.xc_mat,
        ),
        (
            lambda: np.kron(M.s_mat, M.id_mat) @ M.cx_mat @ np.kron(dagger(M.s_mat), M.id_mat),
            lambda: M.cy_mat,
        ),
        (
            lambda: np.kron(M.h_mat, np.eye(4)) @ M.ccz_mat @ np.kron(M.h_mat, np.eye(4)),
            lambda: M.ccx_mat,
        ),
        (lambda: M.u2_mat(0, PI), lambda: M.h_mat),
        (lambda: M.u_mat(0.83, -PI / 2, PI / 2), lambda: M.rx_mat(0.83)),
        (lambda: M.u_mat(-2.1, 0.0, 0.0), lambda: M.ry_mat(-2.1)),
        (lambda: M.r_mat(1.7, 0), lambda: M.rx_mat(1.7)),
        (lambda: M.r_mat(1.7, PI / 2), lambda: M.ry_mat(1.7)),
        (lambda: M.u1_mat(0.61), lambda: M.p_mat(0.61)),
        (lambda: M.rz_mat(0.61), lambda: np.exp(-0.305j) * M.p_mat(0.61)),
        (lambda: M.rx_mat(PI), lambda: -1j * M.x_mat),
        (lambda: M.rxx_mat(PI), lambda: -1j * np.eye(4)[[3, 2, 1, 0]]),
        (lambda: M.cp_mat(PI), lambda: M.cz_mat),
        (
            lambda: M.rxx_mat(0.9),
            lambda: np.cos(0.45) * np.eye(4) - 1j * np.sin(0.45) * np.kron(M.x_mat, M.x_mat),
        ),
        (
            lambda: M.ryy_mat(0.9),
            lambda: np.cos(0.45) * np.eye(4) - 1j * np.sin(0.45) * np.kron(M.y_mat, M.y_mat),
        ),
        (
            lambda: M.rzz_mat(0.9),
            lambda: np.cos(0.45) * np.eye(4) - 1j * np.sin(0.45) * np.kron(M.z_mat, M.z_mat),
        ),
        (lambda: M.rx_mat(0.4) @ M.rx_mat(0.5), lambda: M.rx_mat(0.9)),
        (lambda: M.u_mat(0.3, 0.2, 0.1) @ dagger(M.u_mat(0.3, 0.2, 0.1)), lambda: M.id_mat),
    ],
)
def test_algebraic_identities(lhs, rhs):
    assert_close(lhs(), rhs())


@pytest.mark.parametrize("theta", [0.0, 0.6, -2.3, 7.0])
def test_rzz_is_diagonal_with_sign_pattern(theta):
    mat = M.rzz_mat(theta)
    assert_bits_equal(mat - np.diag(np.diag(mat)), np.zeros((4, 4), dtype=complex))
    exponents = np.angle(np.diag(mat))
    expected = np.angle(np.exp(1j * np.array([-1, 1, 1, -1]) * theta / 2))
    assert_close(exponents, expected)


# ---- the parametric functions against their numpy formulas ---------------------------


@pytest.mark.parametrize("name, formula", ONE_ANGLE)
@settings(max_examples=60, deadline=None)
@given(theta=ANGLES)
def test_one_angle_functions_match_formula(name, formula, theta):
    assert_ulp_close(getattr(M, name)(theta), formula(theta))


@settings(max_examples=100, deadline=None)
@given(theta=ANGLES, phi=ANGLES, lamda=ANGLES)
def test_u_family_matches_formula(theta, phi, lamda):
    assert_ulp_close(M.u_mat(theta, phi, lamda), formula_u(theta, phi, lamda))
    assert_ulp_close(M.u1_mat(lamda), formula_u(0.0, 0.0, lamda))
    assert_ulp_close(M.u2_mat(phi, lamda), formula_u(np.pi / 2, phi, lamda))
    assert_ulp_close(M.r_mat(theta, phi), formula_r(theta, phi))


@pytest.mark.parametrize("name", [n for n, _ in ONE_ANGLE] + ["u_mat", "r_mat", "u1_mat", "u2_mat"])
def test_results_are_fresh_complex_arrays(name):
    nargs = len(PARAMS.get(name, ("theta",)))
    fn = getattr(M, name)
    a, b = fn(*[0.4] * nargs), fn(*[0.4] * nargs)
    assert a is not b and not np.shares_memory(a, b)
    assert a.dtype == np.complex128 and a.ndim == 2 and a.flags.writeable and a.flags.c_contiguous
    assert a.shape == ((4, 4) if name[1:3] in ("xx", "yy", "zz") or name == "cp_mat" else (2, 2))


def test_rotation_entries_scale_minus_i():
    # (-i) * s scales both parts of -i, so a positive s gives real part -0.0.
    value = M.rx_mat(1.0)[0, 1]
    assert value.imag == -np.sin(0.5)
    assert math.copysign(1.0, value.real) == -1.0


def test_u1_is_built_by_the_u_formula():
    mat = M.u1_mat(1.25)
    assert_bits_equal(mat, M.u_mat(0.0, 0.0, 1.25))
    # the off-diagonal entries are products with sin(0): zeros, not p's 0.0
    assert math.copysign(1.0, mat[0, 1].real) == -1.0


def test_u2_uses_half_pi():
    assert_bits_equal(M.u2_mat(0.3, -0.2), M.u_mat(1.5707963267948966, 0.3, -0.2))


def test_r_mat_passes_complex_and_array_arguments_to_numpy():
    assert_bits_equal(M.r_mat(1 + 2j, 0.5), formula_r(1 + 2j, 0.5))
    thetas = np.array([0.1, 0.2])
    assert_bits_equal(M.r_mat(thetas, 0.5), formula_r(thetas, 0.5))
    assert_bits_equal(M.r_mat(np.float64(0.3), True), formula_r(np.float64(0.3), True))


def test_r_mat_integer_arguments_use_true_division():
    assert_ulp_close(M.r_mat(3, -2), formula_r(3, -2))
    big = 10**400
    with pytest.raises(OverflowError, match="integer division result too large"):
        M.r_mat(big, 0)


# ---- argument conversion and errors --------------------------------------------------


@pytest.mark.parametrize(
    "value, expected",
    [(0, M.id_mat), (False, M.id_mat), (np.float32(0.0), M.id_mat), (np.int64(0), M.id_mat)],
)
def test_float_parameters_accept_real_numbers(value, expected):
    assert_close(M.rx_mat(value), expected, atol=0)


@pytest.mark.parametrize("value", [Fraction(1, 3), np.float64(1 / 3), np.array(1 / 3)])
def test_float_conversion_of_number_like_objects(value):
    assert_bits_equal(M.ry_mat(value), M.ry_mat(1 / 3))


class Angle:
    def __float__(self):
        return 0.25


def test_float_conversion_uses_dunder_float():
    assert_bits_equal(M.p_mat(Angle()), M.p_mat(0.25))


@pytest.mark.parametrize(
    "value, exc",
    [
        ("0.5", TypeError),
        (None, TypeError),
        (1j, TypeError),
        ([0.5], TypeError),
        (np.array([1.0, 2.0]), TypeError),
    ],
)
@pytest.mark.parametrize("name", ["rx_mat", "cp_mat", "u1_mat"])
def test_float_parameters_reject_non_reals(name, value, exc):
    with pytest.raises(exc):
        getattr(M, name)(value)


def test_all_float_parameters_are_converted_before_computing():
    with pytest.raises(TypeError):
        M.u_mat(0.1, 0.2, "x")
    with pytest.raises(TypeError):
        M.u2_mat(0.1, None)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: M.u_mat(1, 2), "u_mat() takes exactly 3 positional arguments (2 given)"),
        (lambda: M.rx_mat(), "rx_mat() takes exactly 1 positional argument (0 given)"),
        (lambda: M.rx_mat(1, 2), "rx_mat() takes exactly 1 positional argument (2 given)"),
        (lambda: M.r_mat(1), "r_mat() takes exactly 2 positional arguments (1 given)"),
        (lambda: M.ketn0(), "ketn0() takes exactly 1 positional argument (0 given)"),
        (lambda: M.rx_mat(1, angle=1), "rx_mat() got an unexpected keyword argument 'angle'"),
        (lambda: M.rx_mat(1, theta=2), "rx_mat() got multiple values for keyword argument 'theta'"),
        (lambda: M.u2_mat(1, 2, phi=2), "u2_mat() got multiple values for keyword argument 'phi'"),
        # a missing required parameter is reported before a stray keyword,
        # after a keyword that repeats a positional one
        (lambda: M.rx_mat(angle=1), "rx_mat() takes exactly 1 positional argument (0 given)"),
        (lambda: M.u2_mat(1, phi=2), "u2_mat() got multiple values for keyword argument 'phi'"),
        (lambda: M.ketn0("2"), "Argument 'nqubits' has incorrect type (expected int, got str)"),
        (
            lambda: M.ketn1(None),
            "Argument 'nqubits' has incorrect type (expected int, got NoneType)",
        ),
        (lambda: M.ketn0([2]), "Argument 'nqubits' has incorrect type (expected int, got list)"),
    ],
)
def test_error_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize(
    "value, exc", [(1 + 2j, TypeError), (float("inf"), OverflowError), (float("nan"), ValueError)]
)
def test_nqubits_rejected_by_integer_conversion(value, exc):
    with pytest.raises(exc):
        M.ketn0(value)


# ---- basis states ------------------------------------------------------------------------


def test_ket_constants():
    assert_bits_equal(M.ket0, np.array([[1.0], [0.0]], dtype=complex))
    assert_bits_equal(M.ket1, np.array([[0.0], [1.0]], dtype=complex))


@pytest.mark.parametrize("n", [1, 0, -3, True, 1.9, np.int8(1), -(10**30)])
def test_ketn_of_at_most_one_qubit_is_the_constant_itself(n):
    assert M.ketn0(n) is M.ket0
    assert M.ketn1(n) is M.ket1


@pytest.mark.parametrize("n", [2, 3, 5, 2.9, np.int64(4)])
def test_ketn_columns(n):
    nq = int(n)
    for fn, row in [(M.ketn0, 0), (M.ketn1, 2**nq - 1)]:
        state = fn(n)
        assert state.shape == (2**nq, 1) and state.dtype == np.complex128
        assert_bits_equal(state, basis(row, 2**nq))


def kron_power(ket, n):
    state = ket
    for _ in range(n - 1):
        state = np.kron(state, ket)
    return state


@pytest.mark.parametrize("n", [2, 3, 6])
def test_ketn_uses_the_module_ket_at_call_time(monkeypatch, n):
    rng = np.random.default_rng(n)
    custom = rng.normal(size=(2, 1)) + 1j * rng.normal(size=(2, 1))
    monkeypatch.setattr(M, "ket0", custom)
    np.testing.assert_allclose(M.ketn0(n), kron_power(custom, n), rtol=1e-15, atol=0)
    # a ket that is not a complex column goes through numpy's kron
    real_ket = np.array([[0.6], [0.8]])
    monkeypatch.setattr(M, "ket1", real_ket)
    assert_bits_equal(M.ketn1(n), kron_power(real_ket, n).astype(complex))
    assert M.ketn1(n).dtype == np.float64
    assert M.ketn1(1) is real_ket


def test_ketn_with_a_strided_ket(monkeypatch):
    wide = np.arange(8, dtype=complex).reshape(2, 4) + 1j
    monkeypatch.setattr(M, "ket0", wide[:, 1:2])
    assert_bits_equal(M.ketn0(3), kron_power(wide[:, 1:2], 3))


def test_missing_module_names_raise_name_error(monkeypatch):
    monkeypatch.delattr(M, "ket0")
    with pytest.raises(NameError, match="name 'ket0' is not defined"):
        M.ketn0(2)
    monkeypatch.delattr(M, "u_mat")
    with pytest.raises(NameError, match="name 'u_mat' is not defined"):
        M.u1_mat(0.5)


def test_delegating_functions_call_the_current_u_mat(monkeypatch):
    calls = []

    def fake_u_mat(*args):
        calls.append(args)
        return "sentinel"

    monkeypatch.setattr(M, "u_mat", fake_u_mat)
    assert M.u1_mat(2) == "sentinel"
    assert M.u2_mat(1, np.float32(0.5)) == "sentinel"
    assert calls == [(0.0, 0.0, 2.0), (np.pi / 2, 1.0, 0.5)]
    assert all(type(a) is float for args in calls for a in args)


def test_r_mat_uses_the_module_np_at_call_time(monkeypatch):
    seen = []

    class Spy(types.SimpleNamespace):
        def __getattribute__(self, name):
            seen.append(name)
            return getattr(np, name)

    monkeypatch.setattr(M, "np", Spy())
    seen.clear()  # monkeypatch itself may look at the value
    assert_bits_equal(M.r_mat(0.3, 0.2), formula_r(0.3, 0.2))
    assert seen == ["cos", "sin", "exp", "exp", "array"]


# ---- the gate table ------------------------------------------------------------------------

TABLE_ORDER = [
    "id", "x", "y", "z", "h", "s", "sdg", "t", "tdg", "sx", "sxdg", "swap", "iswap", "cx", "cnot",
    "cy", "cz", "rx", "ry", "rz", "p", "u", "r", "rxx", "ryy", "rzz", "cp", "ccz", "ccx", "cswap",
]  # fmt: skip


def test_table_keys_in_order():
    assert list(M.gate_matrix_dict) == TABLE_ORDER
    assert type(M.gate_matrix_dict) is dict


@pytest.mark.parametrize("key", TABLE_ORDER)
def test_table_values_are_the_module_objects(key):
    attr = "cx_mat" if key == "cnot" else f"{key}_mat"
    assert M.gate_matrix_dict[key] is getattr(M, attr)


def test_cnot_and_cx_share_one_object():
    assert M.gate_matrix_dict["cnot"] is M.gate_matrix_dict["cx"] is M.cx_mat


@pytest.mark.parametrize("key", ["u1", "u2", "u3", "CX", "measure", "xc", "cxc", "swapc", "yc"])
def test_table_has_no_entry(key):
    with pytest.raises(KeyError):
        M.gate_matrix_dict[key]


@pytest.mark.parametrize(
    "key, nparams",
    [
        ("rx", 1),
        ("ry", 1),
        ("rz", 1),
        ("p", 1),
        ("u", 3),
        ("r", 2),
        ("rxx", 1),
        ("ryy", 1),
        ("rzz", 1),
        ("cp", 1),
    ],
)
def test_table_functions_take_their_parameters_positionally(key, nparams):
    fn = M.gate_matrix_dict[key]
    params = [0.3, -1.2, 2.2][:nparams]
    assert_bits_equal(fn(*params), getattr(M, f"{key}_mat")(*params))
    with pytest.raises(TypeError, match=r"takes exactly"):
        fn(*params, 0.0)
