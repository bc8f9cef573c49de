// The gates of qelib1.inc that the gate set lacks, defined over the gate set.
// Each has the unitary of the published qelib1.inc definition (the relative-
// phase gates rccx and rc3x exactly so, phases included); where the gate set
// has a gate the published body builds from several, the body uses it
// (cp for cu1, h for u2(0,pi), t for u1(pi/4)), so the expansion is shorter
// and its angles are the definitions' own arithmetic on the parameters.
// tests/test_qasm.py checks every unitary against an independent one.
#include "qasm/reader.hpp"

namespace corvane::qasm {

std::string_view standard_gate_definitions() {
    return R"(
gate u2(phi, lambda) q { u(pi/2, phi, lambda) q; }
gate u0(gamma) q { id q; }
gate ch a, b { ry(pi/4) b; cx a, b; ry(-pi/4) b; }
gate crx(lambda) a, b { s b; cx a, b; ry(-lambda/2) b; cx a, b; ry(lambda/2) b; sdg b; }
gate cry(lambda) a, b { ry(lambda/2) b; cx a, b; ry(-lambda/2) b; cx a, b; }
gate crz(lambda) a, b { rz(lambda/2) b; cx a, b; rz(-lambda/2) b; cx a, b; }
gate cu3(theta, phi, lambda) c, t {
  p((lambda+phi)/2) c; p((lambda-phi)/2) t;
  cx c, t; u(-theta/2, 0, -(phi+lambda)/2) t;
  cx c, t; u(theta/2, phi, 0) t;
}
gate cu(theta, phi, lambda, gamma) c, t { p(gamma) c; cu3(theta, phi, lambda) c, t; }
gate csx a, b { h b; cp(pi/2) a, b; h b; }
gate rccx a, b, c {
  h c; t c; cx b, c; tdg c; cx a, c; t c; cx b, c; tdg c; h c;
}
gate rc3x a, b, c, d {
  h d; t d; cx c, d; tdg d; h d;
  cx a, d; t d; cx b, d; tdg d; cx a, d; t d; cx b, d; tdg d;
  h d; t d; cx c, d; tdg d; h d;
}
gate c3x a, b, c, d {
  h d; p(pi/8) a; p(pi/8) b; p(pi/8) c; p(pi/8) d;
  cx a, b; p(-pi/8) b; cx a, b;
  cx b, c; p(-pi/8) c; cx a, c; p(pi/8) c; cx b, c; p(-pi/8) c; cx a, c;
  cx c, d; p(-pi/8) d; cx b, d; p(pi/8) d; cx c, d; p(-pi/8) d; cx a, d;
  p(pi/8) d; cx c, d; p(-pi/8) d; cx b, d; p(pi/8) d; cx c, d; p(-pi/8) d; cx a, d;
  h d;
}
gate c3sqrtx a, b, c, d {
  h d; cp(pi/8) a, d; h d; cx a, b;
  h d; cp(-pi/8) b, d; h d; cx a, b;
  h d; cp(pi/8) b, d; h d; cx b, c;
  h d; cp(-pi/8) c, d; h d; cx a, c;
  h d; cp(pi/8) c, d; h d; cx b, c;
  h d; cp(-pi/8) c, d; h d; cx a, c;
  h d; cp(pi/8) c, d; h d;
}
gate c4x a, b, c, d, e {
  h e; cp(pi/2) d, e; h e;
  c3x a, b, c, d;
  h e; cp(-pi/2) d, e; h e;
  c3x a, b, c, d;
  c3sqrtx a, b, c, e;
}
)";
}

}  // namespace corvane::qasm
