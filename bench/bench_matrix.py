"""Per-call timings of corvane.circuit.matrix and corvane.circuit.decompose.

Each matrix function is timed against the plain numpy formula it implements
(np.array of the nested row lists with dtype=complex); u3_decompose is timed
on its own. Targets: every matrix function at least 5x faster than its
formula, u3_decompose under 2 microseconds per call.

    python bench/bench_matrix.py [--repeat N]

Exits with status 1 when a target is missed.
"""

import argparse
import sys
import timeit

import numpy as np

from corvane.circuit import decompose, matrix

SPEEDUP_TARGET = 5.0
DECOMPOSE_TARGET_US = 2.0


# ---- the numpy formulas --------------------------------------------------------


def py_r(theta, phi):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array(
        [[c, -1j * np.exp(-1j * phi) * s], [-1j * np.exp(1j * phi) * s, c]], dtype=complex
    )


def py_rx(theta):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array([[c, -1j * s], [-1j * s, c]], dtype=complex)


def py_ry(theta):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array([[c, -s], [s, c]], dtype=complex)


def py_rz(theta):
    return np.array([[np.exp(-0.5j * theta), 0.0], [0.0, np.exp(0.5j * theta)]], dtype=complex)


def py_p(theta):
    return np.array([[1.0, 0.0], [0.0, np.exp(1j * theta)]], dtype=complex)


def py_u(theta, phi, lamda):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array(
        [[c, -np.exp(1j * lamda) * s], [np.exp(1j * phi) * s, np.exp(1j * (phi + lamda)) * c]],
        dtype=complex,
    )


def py_u1(lamda):
    return py_u(0.0, 0.0, lamda)


def py_u2(phi, lamda):
    return py_u(np.pi / 2, phi, lamda)


def py_rxx(theta):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array(
        [[c, 0, 0, -1j * s], [0, c, -1j * s, 0], [0, -1j * s, c, 0], [-1j * s, 0, 0, c]],
        dtype=complex,
    )


def py_ryy(theta):
    h = theta / 2
    c, s = np.cos(h), np.sin(h)
    return np.array(
        [[c, 0, 0, 1j * s], [0, c, -1j * s, 0], [0, -1j * s, c, 0], [1j * s, 0, 0, c]],
        dtype=complex,
    )


def py_rzz(theta):
    a, b = np.exp(-1j * theta / 2), np.exp(1j * theta / 2)
    return np.array([[a, 0, 0, 0], [0, b, 0, 0], [0, 0, b, 0], [0, 0, 0, a]], dtype=complex)


def py_cp(theta):
    return np.array(
        [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0], [0, 0, 0, np.exp(1j * theta)]], dtype=complex
    )


py_ket0 = np.array([[1.0], [0.0]], dtype=complex)
py_ket1 = np.array([[0.0], [1.0]], dtype=complex)


def py_ketn0(nqubits):
    state = py_ket0
    for _ in range(nqubits - 1):
        state = np.kron(state, py_ket0)
    return state


def py_ketn1(nqubits):
    state = py_ket1
    for _ in range(nqubits - 1):
        state = np.kron(state, py_ket1)
    return state


CASES = [
    ("r_mat", matrix.r_mat, py_r, (0.7, -0.4)),
    ("rx_mat", matrix.rx_mat, py_rx, (0.7,)),
    ("ry_mat", matrix.ry_mat, py_ry, (0.7,)),
    ("rz_mat", matrix.rz_mat, py_rz, (0.7,)),
    ("p_mat", matrix.p_mat, py_p, (0.7,)),
    ("u_mat", matrix.u_mat, py_u, (0.7, -0.4, 1.9)),
    ("u1_mat", matrix.u1_mat, py_u1, (0.7,)),
    ("u2_mat", matrix.u2_mat, py_u2, (-0.4, 1.9)),
    ("rxx_mat", matrix.rxx_mat, py_rxx, (0.7,)),
    ("ryy_mat", matrix.ryy_mat, py_ryy, (0.7,)),
    ("rzz_mat", matrix.rzz_mat, py_rzz, (0.7,)),
    ("cp_mat", matrix.cp_mat, py_cp, (0.7,)),
    ("ketn0(5)", matrix.ketn0, py_ketn0, (5,)),
    ("ketn1(3)", matrix.ketn1, py_ketn1, (3,)),
]


def per_call_ns(fn, args, repeat):
    """Best of `repeat` runs, in nanoseconds per call."""
    timer = timeit.Timer(lambda: fn(*args))
    number, _ = timer.autorange()
    number = max(number, 20000)
    return min(timer.repeat(repeat=repeat, number=number)) / number * 1e9


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument(
        "--repeat", type=int, default=7, help="timing runs per function (best is kept)"
    )
    args = parser.parse_args()

    ok = True
    print(f"{'function':<12}{'native ns':>12}{'numpy ns':>12}{'speedup':>10}")
    for name, native, formula, call_args in CASES:
        assert np.allclose(native(*call_args), formula(*call_args)), name
        t_native = per_call_ns(native, call_args, args.repeat)
        t_formula = per_call_ns(formula, call_args, args.repeat)
        ratio = t_formula / t_native
        flag = "" if ratio >= SPEEDUP_TARGET else f"  < {SPEEDUP_TARGET:g}x target"
        ok &= ratio >= SPEEDUP_TARGET
        print(f"{name:<12}{t_native:>12.0f}{t_formula:>12.0f}{ratio:>9.1f}x{flag}")

    rng = np.random.default_rng(1)
    inputs = {
        "u3_decompose (complex128 array)": (matrix.u_mat(0.7, -0.4, 1.9) * np.exp(0.3j),),
        "u3_decompose (nested list)": (matrix.u_mat(*rng.uniform(-3, 3, 3)).tolist(),),
    }
    print()
    for label, call_args in inputs.items():
        t = per_call_ns(decompose.u3_decompose, call_args, args.repeat) / 1000
        target = label.endswith("array)")
        flag = (
            ""
            if (not target or t < DECOMPOSE_TARGET_US)
            else f"  > {DECOMPOSE_TARGET_US:g} us target"
        )
        ok &= (not target) or t < DECOMPOSE_TARGET_US
        print(f"{label:<34}{t:>8.3f} us per call{flag}")

    print()
    print("all targets met" if ok else "TARGETS MISSED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
