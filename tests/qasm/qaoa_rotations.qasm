// One QAOA layer on a 4-cycle with controlled-rotation mixers of a
// variational ansatz: rzz/rxx couplings, crx/cry/crz/cu, u2/u3 layers.
OPENQASM 2.0;
include "qelib1.inc";
qreg q[4];
creg c[4];
h q;
rzz(2*0.7) q[0], q[1]; rzz(2*0.7) q[1], q[2]; rzz(2*0.7) q[2], q[3]; rzz(2*0.7) q[3], q[0];
rx(2*0.3) q;
rxx(-0.4) q[0], q[2];
crx(0.25) q[0], q[1]; cry(-1.5) q[1], q[2]; crz(pi/3) q[2], q[3];
cu(0.1, 0.2, 0.3, 0.4) q[3], q[0];
u2(0.5, -0.5) q[1]; u3(1, 2, 3) q[2]; sx q[3]; sxdg q[0]; cy q[0], q[3];
measure q -> c;
