"""The matrices corresponding to single-qubit, two-qubit and three-qubit gates."""

from collections.abc import Callable
from typing import Any

import numpy as np
from numpy.typing import NDArray

_ComplexMatrix = NDArray[np.complex128]

ket0: _ComplexMatrix
ket1: _ComplexMatrix

id_mat: _ComplexMatrix
x_mat: _ComplexMatrix
y_mat: _ComplexMatrix
z_mat: _ComplexMatrix
h_mat: _ComplexMatrix
s_mat: _ComplexMatrix
sdg_mat: _ComplexMatrix
t_mat: _ComplexMatrix
tdg_mat: _ComplexMatrix
sx_mat: _ComplexMatrix
sxdg_mat: _ComplexMatrix
swap_mat: _ComplexMatrix
iswap_mat: _ComplexMatrix
cx_mat: _ComplexMatrix
xc_mat: _ComplexMatrix
cy_mat: _ComplexMatrix
yc_mat: _ComplexMatrix
cz_mat: _ComplexMatrix
ccz_mat: _ComplexMatrix
ccx_mat: _ComplexMatrix
cxc_mat: _ComplexMatrix
cswap_mat: _ComplexMatrix
swapc_mat: _ComplexMatrix

def ketn0(nqubits: int) -> _ComplexMatrix: ...
def ketn1(nqubits: int) -> _ComplexMatrix: ...
def r_mat(theta: Any, phi: Any) -> _ComplexMatrix: ...
def rx_mat(theta: float) -> _ComplexMatrix: ...
def ry_mat(theta: float) -> _ComplexMatrix: ...
def rz_mat(theta: float) -> _ComplexMatrix: ...
def p_mat(theta: float) -> _ComplexMatrix: ...
def u_mat(theta: float, phi: float, lamda: float) -> _ComplexMatrix: ...
def u1_mat(lamda: float) -> _ComplexMatrix: ...
def u2_mat(phi: float, lamda: float) -> _ComplexMatrix: ...
def rxx_mat(theta: float) -> _ComplexMatrix: ...
def ryy_mat(theta: float) -> _ComplexMatrix: ...
def rzz_mat(theta: float) -> _ComplexMatrix: ...
def cp_mat(theta: float) -> _ComplexMatrix: ...

gate_matrix_dict: dict[str, _ComplexMatrix | Callable[..., _ComplexMatrix]]
