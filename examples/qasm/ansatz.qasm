// Two layers of a hardware-efficient variational ansatz on 4 qubits, as a parameter sweep
// writes them: a zero angle left in, rotations of neighbouring layers meeting on a qubit.
OPENQASM 2.0;
include "qelib1.inc";
qreg q[4];
creg c[4];
// layer 1
ry(0.42) q[0];
ry(-1.07) q[1];
ry(0.0) q[2];
ry(2.31) q[3];
rz(0.8) q[0];
rz(-0.35) q[1];
rz(1.2) q[2];
rz(0.05) q[3];
cx q[0], q[1];
cx q[1], q[2];
cx q[2], q[3];
rz(0.3) q[3];
// layer 2
rz(-0.3) q[3];
ry(0.17) q[0];
ry(0.93) q[1];
ry(-0.61) q[2];
ry(1.5) q[3];
rz(-0.8) q[0];
rz(0.35) q[1];
rz(0.25) q[2];
rz(-2.1) q[3];
cx q[0], q[1];
cx q[1], q[2];
cx q[2], q[3];
measure q -> c;
