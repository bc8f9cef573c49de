// Grover search for |101> on 3 qubits, two iterations; the oracle and the
// diffusion use the controlled gates of qelib1.inc.
OPENQASM 2.0;
include "qelib1.inc";
qreg q[3];
creg c[3];
h q;
// iteration 1: oracle marks 101
x q[1];
h q[2]; ccx q[0], q[1], q[2]; h q[2];
x q[1];
// diffusion
h q; x q;
h q[2]; ccx q[0], q[1], q[2]; h q[2];
x q; h q;
// iteration 2
x q[1];
cu1(pi) q[0], q[2]; ch q[1], q[2]; cz q[1], q[2]; ch q[1], q[2];
x q[1];
h q; x q;
h q[2]; ccx q[0], q[1], q[2]; h q[2];
x q; h q;
measure q -> c;
