// Bernstein-Vazirani for the secret 10110 with a phase-kickback ancilla,
// followed by a GHZ preparation on the data register.
OPENQASM 2.0;
include "qelib1.inc";
qreg data[5];
qreg anc[1];
creg c[5];
x anc[0];
h anc[0];
h data;
cx data[1], anc[0];
cx data[2], anc[0];
cx data[4], anc[0];
h data;
barrier data, anc;
h data[0];
cx data[0], data[1]; cx data[1], data[2];
cx data[2], data[3]; cx data[3], data[4];
measure data -> c;
