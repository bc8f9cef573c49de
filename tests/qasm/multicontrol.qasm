// Multi-controlled arithmetic of the kind reversible-logic benchmarks use:
// relative-phase Toffolis, 3- and 4-controlled X, Fredkin, controlled roots.
OPENQASM 2.0;
include "qelib1.inc";
gate maj a, b, c { cx c, b; cx c, a; ccx a, b, c; }
qreg q[6];
creg m[6];
x q[0]; x q[1]; h q[2];
rccx q[0], q[1], q[3];
rc3x q[0], q[1], q[2], q[4];
c3x q[0], q[1], q[3], q[5];
c4x q[0], q[1], q[2], q[3], q[4];
c3sqrtx q[2], q[3], q[4], q[5];
cswap q[0], q[4], q[5];
csx q[1], q[2];
maj q[3], q[4], q[5];
measure q -> m;
