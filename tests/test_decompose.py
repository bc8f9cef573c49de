"""Tests of corvane.circuit.decompose.u3_decompose."""

import math

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from corvane.circuit import matrix as M
from corvane.circuit.decompose import u3_decompose

PI = np.pi
TOL = 1e-12

angles = st.floats(min_value=-2 * PI, max_value=2 * PI, allow_nan=False)
polar = st.floats(min_value=0.0, max_value=PI)


def reconstruct(result):
    theta, phi, lamda, phase = result
    return np.exp(1j * phase) * M.u_mat(theta, phi, lamda)


def assert_reconstructs(mat, tol=TOL):
    mat = np.asarray(mat, dtype=complex)
    err = np.max(np.abs(reconstruct(u3_decompose(mat)) - mat))
    assert err <= tol, (mat, u3_decompose(mat), err)


def haar_unitary(rng):
    z = rng.normal(size=(2, 2)) + 1j * rng.normal(size=(2, 2))
    q, r = np.linalg.qr(z)
    return q * (np.diag(r) / np.abs(np.diag(r)))


# ---- the result -------------------------------------------------------------------------


def test_returns_four_python_floats_in_canonical_ranges():
    result = u3_decompose(M.u_mat(2.0, -1.0, 3.0) * np.exp(0.4j))
    assert type(result) is tuple and len(result) == 4
    assert all(type(v) is float for v in result)
    theta, phi, lamda, phase = result
    assert 0 <= theta <= PI
    assert all(-PI < v <= PI for v in (phi, lamda, phase))


@settings(max_examples=300, deadline=None)
@given(theta=polar, phi=angles, lamda=angles, phase=angles)
def test_reconstructs_phased_u_gates(theta, phi, lamda, phase):
    assert_reconstructs(np.exp(1j * phase) * M.u_mat(theta, phi, lamda))


@settings(max_examples=200, deadline=None)
@given(seed=st.integers(min_value=0, max_value=2**32 - 1))
def test_reconstructs_random_unitaries(seed):
    assert_reconstructs(haar_unitary(np.random.default_rng(seed)))


@settings(max_examples=200, deadline=None)
@given(theta=st.floats(min_value=0.01, max_value=PI - 0.01), phi=angles, lamda=angles, phase=angles)
def test_recovers_the_angles_of_generic_gates(theta, phi, lamda, phase):
    t, p, lam, a = u3_decompose(np.exp(1j * phase) * M.u_mat(theta, phi, lamda))
    assert t == pytest.approx(theta, abs=1e-12)
    for got, want in [(p, phi), (lam, lamda), (a, phase)]:
        assert math.remainder(got - want, 2 * PI) == pytest.approx(0.0, abs=1e-12)


@settings(max_examples=200, deadline=None)
@given(
    seed=st.integers(min_value=0, max_value=2**32 - 1),
    noise=st.floats(min_value=0.0, max_value=1e-13),
    kind=st.sampled_from(["generic", "near_diagonal", "near_anti_diagonal"]),
)
def test_slightly_non_unitary_input_stays_close(seed, noise, kind):
    rng = np.random.default_rng(seed)
    u = haar_unitary(rng)
    if kind == "near_diagonal":
        u = np.exp(1j * rng.uniform(-PI, PI)) * M.u_mat(
            rng.uniform(0, 1e-8), *rng.uniform(-PI, PI, 2)
        )
    elif kind == "near_anti_diagonal":
        u = np.exp(1j * rng.uniform(-PI, PI)) * M.u_mat(
            PI - rng.uniform(0, 1e-8), *rng.uniform(-PI, PI, 2)
        )
    noisy = u + noise * (rng.uniform(-1, 1, (2, 2)) + 1j * rng.uniform(-1, 1, (2, 2)))
    assert_reconstructs(noisy)


# ---- hard cases ----------------------------------------------------------------------------

HARD = {
    "identity": M.id_mat,
    "minus_identity": -M.id_mat,
    "x": M.x_mat,
    "y": M.y_mat,
    "z": M.z_mat,
    "h": M.h_mat,
    "s": M.s_mat,
    "t": M.t_mat,
    "tdg": M.tdg_mat,
    "sx": M.sx_mat,
    "sxdg": M.sxdg_mat,
    "p_pi": M.p_mat(PI),
    "p_minus_pi": M.p_mat(-PI),
    "rz_large": M.rz_mat(1e6),
    "diagonal_phases": np.diag(np.exp([3.1j, -3.1j])),
    "diagonal_signed_zeros": np.array([[1j, -0.0 - 0.0j], [0.0 - 0.0j, -1j]]),
    "anti_diagonal_phases": np.array([[0, np.exp(2.9j)], [np.exp(-2.2j), 0]]),
    "anti_diagonal_signed_zeros": np.array([[-0.0 + 0.0j, 1], [-1j, -0.0 - 0.0j]]),
    "rx_tiny": M.rx_mat(1e-12),
    "rx_subnormal": M.rx_mat(1e-310),
    "ry_near_pi": M.ry_mat(PI - 1e-13),
    "ry_2pi": M.ry_mat(2 * PI),
    "ry_minus_pi": M.ry_mat(-PI),
    "u_near_pi": np.exp(2j) * M.u_mat(PI - 1e-9, 3.0, -3.0),
    "u_near_0": np.exp(-1j) * M.u_mat(1e-9, -3.1, 3.1),
    "r_pi": M.r_mat(PI, 0.3),
    "u2_h_like": M.u2_mat(0.0, PI),
}


@pytest.mark.parametrize("name", HARD)
def test_reconstructs_hard_cases(name):
    assert_reconstructs(HARD[name], tol=1e-14)


@pytest.mark.parametrize("seed", range(10))
def test_long_products_of_rotations(seed):
    rng = np.random.default_rng(seed)
    gates = [
        lambda: M.rx_mat(rng.uniform(-PI, PI)),
        lambda: M.ry_mat(rng.uniform(-PI, PI)),
        lambda: M.rz_mat(rng.uniform(-PI, PI)),
        lambda: M.u_mat(*rng.uniform(-PI, PI, 3)),
        lambda: M.h_mat,
        lambda: M.t_mat,
    ]
    mat = M.id_mat
    for k in rng.integers(0, len(gates), 2000):
        mat = gates[k]() @ mat
    assert_reconstructs(mat)


def test_small_entries_keep_relative_accuracy():
    mat = M.rx_mat(1e-20)
    back = reconstruct(u3_decompose(mat))
    assert np.abs(back[0, 1] - mat[0, 1]) <= 1e-14 * np.abs(mat[0, 1])
    assert np.abs(back[1, 0] - mat[1, 0]) <= 1e-14 * np.abs(mat[1, 0])


@pytest.mark.parametrize(
    "mat, expected",
    [
        (M.id_mat, (0.0, 0.0, 0.0, 0.0)),
        (M.p_mat(0.9), (0.0, 0.0, 0.9, 0.0)),
        (M.x_mat, (PI, 0.0, PI, 0.0)),
        (M.h_mat, (PI / 2, 0.0, PI, 0.0)),
    ],
)
def test_canonical_angles_of_simple_gates(mat, expected):
    assert u3_decompose(mat) == pytest.approx(expected, abs=1e-15)


def test_fusing_two_u_gates():
    # The compression pass multiplies the matrices (later gate on the left) and
    # builds one u gate from the first three values.
    first, second = (0.4, 1.2, -0.7), (2.5, -2.0, 0.3)
    product = M.u_mat(*second) @ M.u_mat(*first)
    theta, phi, lamda, _ = u3_decompose(product)
    fused = M.u_mat(theta, phi, lamda)
    overlap = np.trace(dagger(fused) @ product) / 2
    assert abs(abs(overlap) - 1) < 1e-14
    np.testing.assert_allclose(fused * overlap, product, atol=1e-14, rtol=0)


def dagger(a):
    return a.conj().T


# ---- accepted inputs ----------------------------------------------------------------------


class Subclass(np.ndarray):
    pass


def same_result_forms():
    base = M.u_mat(1.1, 0.2, -0.9) * np.exp(0.5j)
    big = np.zeros((4, 6), dtype=complex)
    big[::2, ::3] = base
    readonly = base.copy()
    readonly.flags.writeable = False
    return {
        "nested_list": (base.tolist(), base),
        "fortran_order": (np.asfortranarray(base), base),
        "strided_view": (big[::2, ::3], base),
        "transposed_view": (base.T.copy().T, base),
        "big_endian": (base.astype(">c16"), base),
        "read_only": (readonly, base),
        "ndarray_subclass": (base.view(Subclass), base),
        "complex64": (base.astype(np.complex64), base.astype(np.complex64).astype(complex)),
        "clongdouble": (base.astype(np.clongdouble), base),
        "float_array": (M.ry_mat(0.7).real, M.ry_mat(0.7)),
        "int_array": (np.array([[0, 1], [1, 0]]), M.x_mat),
        "bool_array": (np.array([[True, False], [False, True]]), M.id_mat),
        "tuple_of_tuples": (((0, 1j), (1j, 0)), np.array([[0, 1j], [1j, 0]])),
    }


FORMS = same_result_forms()


@pytest.mark.parametrize("name", FORMS)
def test_accepts_array_likes(name):
    given_value, as_complex = FORMS[name]
    assert u3_decompose(given_value) == u3_decompose(np.array(as_complex, dtype=complex))


def test_keyword_argument_and_metadata():
    assert u3_decompose(matrix=M.h_mat) == u3_decompose(M.h_mat)
    assert u3_decompose.__name__ == "u3_decompose"
    assert u3_decompose.__module__ == "corvane.circuit.decompose"
    assert "Args:" in u3_decompose.__doc__ and "Returns:" in u3_decompose.__doc__


def test_does_not_modify_its_input():
    mat = M.sx_mat.copy()
    u3_decompose(mat)
    np.testing.assert_array_equal(mat, M.sx_mat)


# ---- rejected inputs ----------------------------------------------------------------------


@pytest.mark.parametrize(
    "value, shape",
    [
        (np.eye(3, dtype=complex), "(3, 3)"),
        (np.ones(2, dtype=complex), "(2,)"),
        (np.ones((2, 2, 1)), "(2, 2, 1)"),
        ([[1, 0, 0, 1]], "(1, 4)"),
        ([], "(0,)"),
        (1.0, "()"),
    ],
)
def test_wrong_shape_is_a_value_error(value, shape):
    with pytest.raises(
        ValueError, match=r"expects a 2 x 2 matrix, got shape " + r"\(" + shape[1:-1] + r"\)"
    ):
        u3_decompose(value)


@pytest.mark.parametrize(
    "value",
    [
        "abc",
        None,
        [["a", "b"], ["c", "d"]],
        np.array([[1, 2], [3, object()]], dtype=object),
        {"a": 1},
        [[10**30, 0], [0, 1]],
    ],
)
def test_non_numeric_is_a_type_error(value):
    with pytest.raises(TypeError, match="expects a matrix of numbers"):
        u3_decompose(value)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf, complex(0, np.nan)])
def test_non_finite_entries_are_a_value_error(bad):
    mat = M.h_mat.copy()
    mat[1, 0] = bad
    with pytest.raises(ValueError, match="finite"):
        u3_decompose(mat)


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: u3_decompose(), "u3_decompose() takes exactly 1 positional argument (0 given)"),
        (
            lambda: u3_decompose(M.x_mat, M.x_mat),
            "u3_decompose() takes exactly 1 positional argument (2 given)",
        ),
        (
            lambda: u3_decompose(M.x_mat, mat=1),
            "u3_decompose() got an unexpected keyword argument 'mat'",
        ),
    ],
)
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
