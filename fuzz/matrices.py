"""Fuzz target: numbers into every function of `matrix`, arrays into
`u3_decompose`.

Failure: a crash or sanitizer report; an exception other than TypeError,
ValueError, OverflowError or MemoryError (or one raised by the argument
itself); a finite angle giving a matrix that is not a complex128 unitary of
the right shape; a unitary whose decomposition does not rebuild it up to a
global phase; an input array changed.

Out of scope: kets of more than MAX_KET_QUBITS qubits (a size, not a fault).
"""

import atheris
import inputs
import numpy as np

from corvane.circuit import matrix
from corvane.circuit.decompose import u3_decompose

ALLOWED = (TypeError, ValueError, OverflowError, MemoryError, inputs.Boom)
_ANGLE_FUNCTIONS = {
    name: fn for name, fn in vars(matrix).items() if name.endswith("_mat") and callable(fn)
}
_NPARAMS = {"r_mat": 2, "u_mat": 3, "u2_mat": 2}
MAX_KET_QUBITS = 20


def check_unitary(name, m, size):
    if not isinstance(m, np.ndarray) or m.dtype != np.complex128 or m.shape != (size, size):
        raise AssertionError(
            f"{name} gave {type(m)} {getattr(m, 'dtype', None)} {getattr(m, 'shape', None)}"
        )
    if np.all(np.isfinite(m)) and not np.allclose(m @ m.conj().T, np.eye(size), atol=1e-9):
        raise AssertionError(f"{name} is not unitary:\n{m}")


def angle_functions(fdp):
    name = inputs.pick(fdp, sorted(_ANGLE_FUNCTIONS))
    args = [
        inputs.number(fdp) if fdp.ConsumeProbability() < 0.9 else inputs.value(fdp)
        for _ in range(_NPARAMS.get(name, 1))
    ]
    try:
        m = _ANGLE_FUNCTIONS[name](*args)
    except ALLOWED:
        return
    if all(isinstance(a, (int, float)) and abs(a) < 1e6 for a in args):
        check_unitary(name, m, 4 if name in ("rxx_mat", "ryy_mat", "rzz_mat", "cp_mat") else 2)


def kets(fdp):
    n = inputs.small_int(fdp, 12) if fdp.ConsumeProbability() < 0.7 else inputs.value(fdp)
    # 2**n amplitudes (2**MAX_KET_QUBITS take 16 MiB); from 64 qubits on the count is refused.
    if inputs.accepted_but_huge(n, MAX_KET_QUBITS, 64):
        return
    for fn in (matrix.ketn0, matrix.ketn1):
        try:
            v = fn(n)
        except ALLOWED:
            continue
        if v.dtype != np.complex128 or v.size != 2 ** max(int(n), 1) or np.count_nonzero(v) != 1:
            raise AssertionError(f"{fn.__name__}({n!r}) gave {v!r}")


def decompositions(fdp):
    kind = fdp.ConsumeIntInRange(0, 3)
    if kind == 0:
        theta, phi, lamda, phase = (fdp.ConsumeFloatInRange(-7.0, 7.0) for _ in range(4))
        arr = np.exp(1j * phase) * matrix.u_mat(theta, phi, lamda)
    else:
        shape = inputs.pick(fdp, [(2, 2), (2, 2), (4,), (2, 3), (1, 2, 2), (0,), ()])
        dtype = inputs.pick(
            fdp, [np.complex128, np.float64, np.int64, np.complex64, object, np.bool_]
        )
        count = int(np.prod(shape))
        arr = np.array([inputs.number(fdp) for _ in range(count)], dtype=object).reshape(shape)
        try:
            with np.errstate(all="ignore"):  # a huge number cast to complex64 is inf, as wanted
                arr = arr.astype(dtype)
        except (TypeError, ValueError, OverflowError):
            pass
        if kind == 2 and arr.ndim == 2 and arr.shape[1] > 1:
            arr = arr[:, ::-1]  # not contiguous
    before = inputs.state(arr.tolist())
    try:
        angles = u3_decompose(arr)
    except ALLOWED:
        angles = None
    if inputs.state(arr.tolist()) != before:
        raise AssertionError("u3_decompose changed its input")
    if kind == 0:
        theta, phi, lamda, phase = angles
        rebuilt = np.exp(1j * phase) * matrix.u_mat(theta, phi, lamda)
        if not np.allclose(rebuilt, arr, atol=1e-7):
            raise AssertionError(f"u3_decompose({arr!r}) = {angles} does not rebuild it")


def test_one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    inputs.pick(fdp, [angle_functions, kets, decompositions])(fdp)


if __name__ == "__main__":
    inputs.fuzz_main(test_one_input)
