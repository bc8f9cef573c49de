// Quantum phase estimation of u1(2*pi*0.375) with three counting qubits,
// controlled powers written with cu1, cp and cu3, then the inverse QFT.
OPENQASM 2.0;
include "qelib1.inc";
qreg count[3];
qreg psi[1];
creg c[3];
x psi[0];
h count;
cu1(2*pi*0.375) count[0], psi[0];
cp(2*2*pi*0.375) count[1], psi[0];
cu3(0, 0, 4*2*pi*0.375) count[2], psi[0];
// inverse QFT
swap count[0], count[2];
h count[0];
cu1(-pi/2) count[0], count[1];
h count[1];
cu1(-pi/4) count[0], count[2];
cu1(-pi/2) count[1], count[2];
h count[2];
measure count -> c;
