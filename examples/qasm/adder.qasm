// 3-bit ripple-carry adder: b := a + b, the carry in cout.
// Inputs a = 3 (011) and b = 5 (101); measuring b and cout reads 8 (1000).
OPENQASM 2.0;
include "qelib1.inc";
gate maj x, y, z
{
  cx z, y;
  cx z, x;
  ccx x, y, z;
}
gate uma x, y, z
{
  ccx x, y, z;
  cx z, x;
  cx x, y;
}
qreg cin[1];
qreg a[3];
qreg b[3];
qreg cout[1];
creg sum[4];
x a[0];
x a[1];
x b[0];
x b[2];
barrier cin, a, b, cout;
maj cin[0], b[0], a[0];
maj a[0], b[1], a[1];
maj a[1], b[2], a[2];
cx a[2], cout[0];
uma a[1], b[2], a[2];
uma a[0], b[1], a[1];
uma cin[0], b[0], a[0];
measure b[0] -> sum[0];
measure b[1] -> sum[1];
measure b[2] -> sum[2];
measure cout[0] -> sum[3];
