// The core's OpenQASM 2 and 3 reader and writer, one case per row.
#include "qasm/reader.hpp"
#include "qasm/writer.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <optional>
#include <string>
#include <vector>

using namespace corvane::qasm;

namespace {

GateSet circuit_model_gates() {
    GateSet gates;
    for (const char* name : {"id", "x", "y", "z", "h", "s", "sdg", "t", "tdg", "sx", "sxdg"})
        gates.add(name, {1, 0});
    for (const char* name : {"swap", "iswap", "cx", "cnot", "cy", "cz"}) gates.add(name, {2, 0});
    for (const char* name : {"ccz", "ccx", "cswap"}) gates.add(name, {3, 0});
    for (auto [name, n] : {std::pair{"rx", 1}, {"ry", 1}, {"rz", 1}, {"p", 1}, {"u", 3}, {"r", 2}})
        gates.add(name, {1, static_cast<std::int16_t>(n)});
    for (const char* name : {"rxx", "ryy", "rzz", "cp"}) gates.add(name, {2, 1});
    return gates;
}

std::string show(const Number& n) {
    switch (n.kind) {
        case Number::Kind::integer:
            return std::to_string(n.integer);
        case Number::Kind::big_integer:
            return std::string(n.negative ? "-" : "").append(n.digits);
        case Number::Kind::real:
            break;
    }
    TextBuffer out;
    out.append_real(n.real);
    return std::string(out.view());
}

// The entries of a program, one per line: "name(p, ...) q q", "measure q>c q>c", ...
std::string summary(const Program& p) {
    std::string out;
    for (const Operation& op : p.operations) {
        static const char* functional[] = {"",      "measure", "barrier", "delay",
                                           "reset", "if",      "else",    "end"};
        out += op.kind == OperationKind::gate ? p.gate_names[op.gate]
                                              : functional[static_cast<int>(op.kind)];
        for (std::uint32_t k = 0; k < op.nparams; ++k)
            out += (k ? ", " : "(") + show(p.params[op.first_param + k]) +
                   (k + 1 == op.nparams ? ")" : "");
        for (std::uint32_t k = 0; k < op.nqubits; ++k) {
            // append(): GCC 12 warns falsely (-Wrestrict) on " " + std::string.
            if (op.kind == OperationKind::measure)
                out.append(" ")
                    .append(std::to_string(p.operands[op.first_operand + 2 * k]))
                    .append(">")
                    .append(std::to_string(p.operands[op.first_operand + 2 * k + 1]));
            else
                out.append(" ").append(std::to_string(p.operands[op.first_operand + k]));
        }
        out += "\n";
    }
    return out;
}

const std::string kHead = "OPENQASM 2.0;\ninclude \"qelib1.inc\";\n";
const std::string kHead3 = "OPENQASM 3;\ninclude \"stdgates.inc\";\n";
const std::string kBare = "OPENQASM 2.0;\n";  // no library included

struct ReadCase {
    const char* what;
    std::string body;
    std::string entries;
    std::string head = kHead;
};

class ReadsPrograms : public testing::TestWithParam<ReadCase> {};

TEST_P(ReadsPrograms, IntoTheEntriesOfTheGateSet) {
    const ReadCase& c = GetParam();
    EXPECT_EQ(summary(read_program(c.head + c.body, circuit_model_gates())), c.entries) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReadsPrograms,
    testing::Values(
        ReadCase{"aliases",
                 "qreg q[2];\nu3(1,2,3) q[0]; u1(0.5) q[1]; cu1(2) q[0],q[1]; U(0,0,1) q[0]; CX "
                 "q[1],q[0];",
                 "u(1, 2, 3) 0\np(0.5) 1\ncp(2) 0 1\nu(0, 0, 1) 0\ncx 1 0\n"},
        ReadCase{"u2 and u0", "qreg q[1];\nu2(0, pi) q[0]; u0(5) q[0];",
                 "u(1.5707963267948966, 0, 3.141592653589793) 0\nid 0\n"},
        ReadCase{"int arithmetic stays int, / gives float",
                 "qreg q[1];\nrx(1+2*3) q[0]; rx(2^3) q[0]; rx(1/2) q[0]; rx(-(4)) q[0];",
                 "rx(7) 0\nrx(8) 0\nrx(0.5) 0\nrx(-4) 0\n"},
        ReadCase{
            "big integers are kept",
            "qreg q[1];\nrx(123456789012345678901234567890) q[0]; rx(-99999999999999999999) q[0];",
            "rx(123456789012345678901234567890) 0\nrx(-99999999999999999999) 0\n"},
        ReadCase{"registers laid out in order, broadcast",
                 "qreg a[2];\nqreg b[2];\ncx a, b; h b[1];", "cx 0 2\ncx 1 3\nh 3\n"},
        ReadCase{
            "measures on one line join",
            "qreg q[2];\ncreg c[2];\nmeasure q -> c;\nmeasure q[0] -> c[1]; measure q[0] -> c[0];",
            "measure 0>0 1>1\nmeasure 0>1\nmeasure 0>0\n"},
        ReadCase{
            "delays of one duration on one line join",
            "opaque delay(d) a;\nqreg q[3];\ndelay(1e-8) q[0]; delay(1e-8) q[1]; delay(2e-8) q[2];",
            "delay(1e-08) 0 1\ndelay(2e-08) 2\n"},
        ReadCase{"user gate with parameters",
                 "gate g(a, b) x, y { rz(a*b) x; barrier x, y; cx y, x; }\nqreg q[2];\ng(2, 0.25) "
                 "q[1], q[0];",
                 "rz(0.5) 1\nbarrier 1 0\ncx 0 1\n"},
        ReadCase{"standard expansion", "qreg q[2];\ncrz(1) q[0], q[1];",
                 "rz(0.5) 1\ncx 0 1\nrz(-0.5) 1\ncx 0 1\n"},
        // Without the include, a program's definition of a library name is its own.
        ReadCase{"user gate shadows a standard one",
                 "gate ch a, b { cz a, b; }\nqreg q[2];\nch q[0], q[1];", "cz 0 1\n", kBare},
        ReadCase{"a definition of a gate of the set of another matrix is its body",
                 "gate h a { U(pi, 0, pi) a; }\nqreg q[1];\nh q[0];",
                 "u(3.141592653589793, 0, 3.141592653589793) 0\n", kBare},
        ReadCase{"... its body's own names meaning the library's gates",
                 "gate h a { h a; x a; }\nqreg q[1];\nh q[0];", "h 0\nx 0\n", kBare},
        ReadCase{"... and one of the gate's matrix names the gate",
                 "gate h a { U(pi/2, 0, pi) a; }\nqreg q[1];\nh q[0];", "h 0\n", kBare},
        ReadCase{"an alias defined is its body",
                 "gate cphase(t) a, b { h a; }\nqubit[2] q;\ncphase(1) q[0], q[1];", "h 0\n",
                 "OPENQASM 3;\n"},
        ReadCase{"a body may name a gate defined after it, through another",
                 "gate a q { b q; }\ngate c q { a q; }\ngate b q { x q; }\nqreg r[1];\nc r[0];",
                 "x 0\n", kBare},
        ReadCase{"CR and CRLF line ends, a byte-order mark",
                 "qreg q[1];\r\n// c\rx q[0];\rbarrier q;", "x 0\nbarrier 0\n",
                 "\xEF\xBB\xBF" + kHead},
        ReadCase{"a set gate outside the library is named by a definition of its matrix",
                 "gate rzz(t) a, b { cx a, b; rz(t) b; cx a, b; }\nqreg q[2];\nrzz(0.25) q[0], "
                 "q[1];",
                 "rzz(0.25) 0 1\n"},
        ReadCase{"... and a definition of another matrix is its body",
                 "gate rzz(t) a, b { cx a, b; rz(2*t) b; cx a, b; }\nqubit[2] q;\nrzz(0.25) "
                 "q[0], q[1];",
                 "cx 0 1\nrz(0.5) 1\ncx 0 1\n", kHead3},
        ReadCase{"... as is one a global phase away",
                 "gate sxdg a { s a; h a; s a; }\nqreg q[1];\nsxdg q[0];", "s 0\nh 0\ns 0\n"},
        ReadCase{"reset broadcasts", "qreg q[2];\nreset q;", "reset 0\nreset 1\n"},
        ReadCase{"comments and blank lines", "// a\nqreg q[1]; // b\n\n  x q[0];", "x 0\n"},
        ReadCase{"version 2 if: the whole register, the expansion in one body",
                 "qreg q[2];\ncreg a[1];\ncreg c[2];\nif (c == 2) crz(1) q[0], q[1];",
                 "if(2) 1 2\nrz(0.5) 1\ncx 0 1\nrz(-0.5) 1\ncx 0 1\nelse\nend\n"},
        ReadCase{"no version line: version 2", "qreg q[1];\nu1(1) q[0];", "p(1) 0\n", ""},
        ReadCase{"version 3 declarations, measures, aliases",
                 "qubit[2] q;\nbit b;\nqreg r[1];\nb = measure r[0];\nphase(1) q[0]; cphase(2) "
                 "q[0], q[1]; u3(1, 2, 3) r[0];",
                 "measure 2>0\np(1) 0\ncp(2) 0 1\nu(1, 2, 3) 2\n", kHead3},
        ReadCase{"version 3 if / else, nested, swapped for !=",
                 "qubit q;\nbit[2] c;\nif (c != 1) { x q; if (!c[1]) h q; } else reset q;",
                 "if(1) 0 1\nx 0\nif(0) 1\nh 0\nelse\nend\nelse\nreset 0\nend\n", kHead3},
        ReadCase{
            "version 3 delays in seconds, constants, block comments",
            "qubit[2] q;\n/* one\ntwo */ delay[50ns] q; rz(τ - tau + π - pi + ℇ - euler) q[0];",
            "delay(5e-08) 0 1\nrz(0.0) 0\n", kHead3},
        ReadCase{
            "nesting within the limit",
            "qreg q[1];\nrx(" + std::string(900, '(') + "2" + std::string(900, ')') + ") q[0];",
            "rx(2) 0\n"}));

struct ErrorCase {
    std::string text;
    std::string message;
};

class RefusesPrograms : public testing::TestWithParam<ErrorCase> {};

TEST_P(RefusesPrograms, NamingTheLine) {
    const ErrorCase& c = GetParam();
    try {
        read_program(c.text, circuit_model_gates());
        FAIL() << "read: " << c.text;
    } catch (const ParseError& e) {
        EXPECT_EQ(std::string(e.what()).substr(0, c.message.size()), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, RefusesPrograms,
    testing::Values(
        ErrorCase{kHead + "qreg q[2];\nh q[0]\ncx q[0], q[1];",
                  "line 4: missing ';' (line 5: expected ';', got 'cx')"},
        ErrorCase{kHead + "qreg q[1];\nh q[0]", "line 4: expected ';', got 'end of program'"},
        ErrorCase{kHead + "opaque g(a) b;", "line 3: opaque gate 'g' is not supported"},
        ErrorCase{kHead + "qreg q[1];\ncreg c[1];\nif (c==2) x q[0];",
                  "line 5: condition value 2 does not fit in 1 bit(s)"},
        ErrorCase{kHead3 + "qubit q;\nctrl @ x q, q;",
                  "line 4: gate modifiers ('ctrl @') are not supported"},
        ErrorCase{kHead3 + "qubit q;\ngate g a { inv @ x a; }",
                  "line 4: gate modifiers ('inv @') are not supported"},
        ErrorCase{kHead3 + "qubit q;\ndelay[1dt] q;", "line 4: a duration in 'dt' needs"},
        ErrorCase{kHead3 + "qubit q;\nu0(1) q;", "line 4: unknown gate 'u0'"},
        ErrorCase{kHead + "gate g a { nope a; }\ngate f a { g a; g a; }\nqreg q[1];\nf q[0];",
                  "line 6: unknown gate 'nope'"},
        ErrorCase{kHead + "qreg q[1];\nrx(1/0) q[0];", "line 4: division by zero"},
        ErrorCase{kHead + "qreg q[1];\nrx(sqrt(-1)) q[0];", "line 4: math domain error"},
        ErrorCase{kHead + "qreg q[1];\nrx(1e400) q[0];",
                  "line 4: rx parameter must be a finite number, got inf"},
        ErrorCase{kHead + "qreg q[1];\nrx(9223372036854775807+1) q[0];",
                  "line 4: integer overflow"},
        ErrorCase{kHead + "qreg q[1];\nrx(theta) q[0];", "line 4: unknown parameter 'theta'"},
        ErrorCase{kHead + "qreg q[2];\ncrz q[0], q[1];",
                  "line 4: gate 'crz' takes 1 parameter(s) and 2 qubit(s)"},
        ErrorCase{kHead + "qreg q[1];\nh(1) q[0];", "line 4: h takes no parameters"},
        ErrorCase{kHead + "qreg q[2];\ncx q[0];", "line 4: cx takes 2 qubit argument(s), got 1"},
        ErrorCase{kHead + "qreg q[2];\nccx q[0], q[1], q[0];",
                  "line 4: a gate cannot act twice on one qubit: (0, 1, 0)"},
        ErrorCase{kHead + "gate g a { g a; }\nqreg q[1];\ng q[0];",
                  "line 5: gate 'g' expands into itself"},
        ErrorCase{kHead + "gate h a { x a; }", "line 3: gate 'h' is defined by qelib1.inc already"},
        ErrorCase{kHead3 + "gate x a { h a; }",
                  "line 3: gate 'x' is defined by stdgates.inc already"},
        ErrorCase{kBare + "gate h a { x a; }\ninclude \"qelib1.inc\";",
                  "line 3: qelib1.inc defines gate 'h', which line 2 defined already"},
        ErrorCase{kBare + "gate CX a, b { }", "line 2: gate 'CX' is built into the language"},
        ErrorCase{kBare + "gate U(a, b, c) x { }", "line 2: gate 'U' is built into the language"},
        ErrorCase{"OPENQASM 3;\ngate gphase(a) x { }",
                  "line 2: gate 'gphase' is built into the language"},
        ErrorCase{kHead + "gate g a { x a; }\ngate g a { y a; }",
                  "line 4: gate 'g' is defined twice (first on line 3)"},
        ErrorCase{kHead + "gate g(t, t) a { rx(t) a; }",
                  "line 3: parameter 't' appears twice in gate 'g'"},
        ErrorCase{kHead + "gate g a, a { x a; }",
                  "line 3: qubit argument 'a' appears twice in gate 'g'"},
        ErrorCase{kHead + "gate g a { h a; }\ngate f a { g a; f a; }\nqreg q[1];\nf q[0];",
                  "line 6: gate 'f' expands into itself"},
        ErrorCase{kHead3 + "qubit q;\nbit[2] c;\nif (c == true) x q;",
                  "line 5: a register of 2 bits compares with an integer, not with 'true'"},
        ErrorCase{kHead + "qreg q[1];\r\rx q[9];", "line 5: index 9 out of range"},
        ErrorCase{
            kHead + "qreg q[1];\nx " + std::string(100, 'b') + ";",
            "line 4: unknown quantum register '" + std::string(40, 'b') + "'... (100 characters)"},
        ErrorCase{kHead + std::string("include \"a\0b\";", 14),
                  "line 3: only \"qelib1.inc\" can be included, got "
                  "\"a\\x00b\""},
        ErrorCase{kHead + "gate g a { h b; }", "line 3: unknown qubit argument 'b' in gate 'g'"},
        ErrorCase{kHead + "qreg q[2];\nqreg q[1];", "line 4: register 'q' declared twice"},
        ErrorCase{kHead + "qreg a[2];\nqreg b[3];\ncx a, b;",
                  "line 5: registers of different sizes"},
        ErrorCase{kHead + "opaque delay(d) a;\nqreg q[1];\ndelay(-1) q[0];",
                  "line 5: delay duration must be a finite non-negative number, got -1"},
        ErrorCase{kHead + "qreg q[1];\nx q[0]; \"open", "line 4: unexpected character '\"'"},
        ErrorCase{kHead + "qreg q[1];\nreset q[0], q[0];",
                  "line 4: reset takes one qubit argument"},
        ErrorCase{kHead + "qreg q[1];\nrx(" + std::string(5000, '(') + "1" +
                      std::string(5000, ')') + ") q[0];",
                  "line 4: expression nested too deeply"},
        ErrorCase{kHead + "qreg q[1];\nrx(" + std::string(5000, '-') + "1) q[0];",
                  "line 4: expression nested too deeply"},
        ErrorCase{[] {
                      std::string sum = "1";
                      for (int i = 0; i < 5000; ++i) sum += "+1";
                      return kHead + "qreg q[1];\nrx(" + sum + ") q[0];";
                  }(),
                  "line 4: expression nested too deeply"}));

struct LimitCase {
    std::string text;
    Limits limits;
    LimitError::Ceiling ceiling;
    std::string message;
};

class StopsAtCeilings : public testing::TestWithParam<LimitCase> {};

// A chain of definitions, each applying the one before twice: gate N expands to 2^N gates.
std::string doubling_chain(int n) {
    std::string text = kHead + "qreg q[1];\ngate g0 a { x a; }\n";
    for (int i = 1; i <= n; ++i)
        text += "gate g" + std::to_string(i) + " a { g" + std::to_string(i - 1) + " a; g" +
                std::to_string(i - 1) + " a; }\n";
    return text + "g" + std::to_string(n) + " q[0];";
}

TEST_P(StopsAtCeilings, BeforeTheWork) {
    const LimitCase& c = GetParam();
    try {
        read_program(c.text, circuit_model_gates(), 0, c.limits);
        FAIL() << "read: " << c.text;
    } catch (const LimitError& e) {
        EXPECT_EQ(e.ceiling, c.ceiling);
        EXPECT_EQ(std::string(e.what()), c.message);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, StopsAtCeilings,
    testing::Values(
        LimitCase{"qreg q[268435456];",
                  {1 << 20, 100},
                  LimitError::Ceiling::qubits,
                  "line 1: 268435456 qubits declared, over the ceiling of 1048576"},
        LimitCase{"qreg a[3];\nqreg b[3];",
                  {5, 100},
                  LimitError::Ceiling::qubits,
                  "line 2: 6 qubits declared, over the ceiling of 5"},
        LimitCase{"OPENQASM 3;\nbit[6] c;",
                  {5, 100},
                  LimitError::Ceiling::qubits,
                  "line 2: 6 classical bits declared, over the ceiling of 5"},
        LimitCase{
            doubling_chain(40),
            {5, 50000000},
            LimitError::Ceiling::gates,
            "line 45: gate 'g40' expands to 1099511627776 gates, over the ceiling of 50000000"},
        LimitCase{doubling_chain(70),
                  {5, 50000000},
                  LimitError::Ceiling::gates,
                  "line 75: gate 'g70' expands to 18446744073709551615 gates, over the ceiling of "
                  "50000000"},
        LimitCase{doubling_chain(3) + "\ng3 q[0];",
                  {5, 10},
                  LimitError::Ceiling::gates,
                  "line 9: the program reads over 10 gates, the ceiling"},
        LimitCase{"qreg q[4];\nh q;\nx q;\nbarrier q;",
                  {5, 8},
                  LimitError::Ceiling::gates,
                  "line 4: the program reads over 8 gates, the ceiling"}));

struct RealCase {
    double value;
    const char* repr;
};

class WritesReals : public testing::TestWithParam<RealCase> {};

TEST_P(WritesReals, AsTheHostsRepr) {
    TextBuffer out;
    out.append_real(GetParam().value);
    EXPECT_EQ(out.view(), GetParam().repr);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WritesReals,
    testing::Values(RealCase{0.1, "0.1"}, RealCase{2.0, "2.0"}, RealCase{-0.0, "-0.0"},
                    RealCase{1e-8, "1e-08"}, RealCase{1e-4, "0.0001"}, RealCase{1e-5, "1e-05"},
                    RealCase{1e15, "1000000000000000.0"}, RealCase{1e16, "1e+16"},
                    RealCase{1.2345678901234568e+17, "1.2345678901234568e+17"},
                    RealCase{3.141592653589793, "3.141592653589793"}, RealCase{5e-324, "5e-324"},
                    RealCase{1.7976931348623157e308, "1.7976931348623157e+308"},
                    RealCase{123.456, "123.456"}, RealCase{-2.5e-7, "-2.5e-07"}));

TEST(WriteProgram, ReadsBackAsTheSameEntries) {
    const GateSet gates = circuit_model_gates();
    ProgramWriter w(3, 2);
    const std::int64_t q01[] = {0, 1}, q2[] = {2}, c10[] = {1, 0}, q012[] = {0, 1, 2};
    const Number angles[] = {Number::of_real(0.1), Number::of_integer(-3), Number::of_real(1e-300)};
    w.gate(w.prepare("u", *gates.find("u")), angles, q2);
    w.gate(w.prepare("cnot", *gates.find("cnot")), {}, q01);
    w.gate(w.prepare("swap", *gates.find("swap")), {}, q01);
    w.measure(q01, c10);
    w.barrier(q012);
    w.delay(Number::of_real(2.5e-8), q01);
    w.reset(2);
    const Program p = read_program(w.header() + std::string(w.body()), gates);
    EXPECT_EQ(summary(p),
              "u(0.1, -3, 1e-300) 2\ncx 0 1\nswap 0 1\nmeasure 0>1 1>0\nbarrier 0 1 "
              "2\ndelay(2.5e-08) 0 1\nreset 2\n");
    EXPECT_NE(w.header().find("gate swap a, b {"), std::string::npos);
}

TEST(WriteProgram, Version3ReadsBackAsTheSameEntries) {
    const GateSet gates = circuit_model_gates();
    ProgramWriter w(3, 2, 0, 3);
    const std::int64_t q01[] = {0, 1}, q2[] = {2}, c10[] = {1, 0}, c1[] = {1};
    const Number angles[] = {Number::of_real(0.1), Number::of_integer(-3), Number::of_real(1e-300)};
    w.gate(w.prepare("u", *gates.find("u")), angles, q2);
    w.measure(q01, c10);
    w.begin_if(c1, 0);
    w.delay(Number::of_real(2.5e-8), q01);
    w.begin_else();
    w.reset(2);
    w.end_if();
    const std::string text = w.header() + std::string(w.body());
    EXPECT_NE(text.find("U(0.1, -3, 1e-300) q[2];"), std::string::npos);
    EXPECT_NE(text.find("c[1] = measure q[0]; c[0] = measure q[1];"), std::string::npos);
    EXPECT_NE(text.find("if (c[1] == false) {\ndelay[2.5e-08s] q[0], q[1];\n} else {"),
              std::string::npos);
}

// Operands of the first qubits come from a table of texts, the others are
// formatted as they come; names longer than a padded copy are appended whole.
TEST(WriteProgram, WritesOperandsPastTheTableAndLongNames) {
    const GateSet gates = circuit_model_gates();
    ProgramWriter w(70000, 0, 0, 3);
    const std::int64_t edge[] = {65535, 65536}, far[] = {69999, 0}, mixed[] = {0, 65536, 9};
    const std::uint32_t cx = w.prepare("cx", *gates.find("cx"));
    w.gate(cx, {}, edge);
    w.gate(cx, {}, far);
    w.gate(cx, {}, edge);
    w.barrier(mixed);
    w.reset(65537);
    const std::int64_t q9[] = {9};
    w.gate(w.prepare("a_gate_named_past_sixteen", GateShape{1, 0}), {}, q9);
    EXPECT_EQ(w.body(),
              "cx q[65535], q[65536];\ncx q[69999], q[0];\ncx q[65535], q[65536];\n"
              "barrier q[0], q[65536], q[9];\nreset q[65537];\na_gate_named_past_sixteen q[9];\n");
}

TEST(WriteProgram, Version3RefusesAConditionOnSomeBitsOutOfOrder) {
    ProgramWriter w(1, 2, 0, 3);
    const std::int64_t c10[] = {1, 0};
    EXPECT_THROW(w.begin_if(c10, 1), WriteError);
}

struct RegisterCase {
    std::vector<std::vector<std::int64_t>> conditions;
    int version;
    std::optional<std::vector<std::uint32_t>> starts;
};

class SplitsRegisters : public testing::TestWithParam<RegisterCase> {};

TEST_P(SplitsRegisters, SoThatEachConditionReadsOneWholeRegister) {
    const RegisterCase& c = GetParam();
    EXPECT_EQ(register_starts(6, c.conditions, c.version), c.starts);
}

using Starts = std::vector<std::uint32_t>;
INSTANTIATE_TEST_SUITE_P(
    Conditions, SplitsRegisters,
    testing::Values(RegisterCase{{{2, 3}}, 3, Starts{0, 2, 4}},
                    RegisterCase{{{0, 1}, {2, 3, 4, 5}}, 2, Starts{0, 2}},
                    RegisterCase{{{4}}, 3, Starts{0}},        // c[4] == true needs no register
                    RegisterCase{{{4}}, 2, Starts{0, 4, 5}},  // OpenQASM 2 does
                    RegisterCase{{{0, 1}, {0, 1}}, 2, Starts{0, 2}},
                    RegisterCase{{{1, 0}}, 3, std::nullopt},          // not ascending
                    RegisterCase{{{0, 2}}, 3, std::nullopt},          // not consecutive
                    RegisterCase{{{0, 1}, {1, 2}}, 3, std::nullopt},  // cut by another
                    RegisterCase{{{5, 6}}, 3, std::nullopt}));        // out of range

struct WriteErrorCase {
    const char* what;
    std::function<void(ProgramWriter&, const GateSet&)> write;
    const char* message;
};

class RefusesEntries : public testing::TestWithParam<WriteErrorCase> {};

TEST_P(RefusesEntries, ThatCouldNotBeReadBack) {
    const GateSet gates = circuit_model_gates();
    ProgramWriter w(2, 1);
    try {
        GetParam().write(w, gates);
        FAIL() << GetParam().what;
    } catch (const WriteError& e) {
        EXPECT_EQ(std::string(e.what()), GetParam().message);
    }
    EXPECT_EQ(w.body(), "");  // nothing half-written
}

const std::int64_t kQ0[] = {0}, kQ00[] = {0, 0}, kQ9[] = {9}, kQ01[] = {0, 1}, kC5[] = {5};

INSTANTIATE_TEST_SUITE_P(
    Table, RefusesEntries,
    testing::Values(WriteErrorCase{"qubit out of range",
                                   [](ProgramWriter& w, const GateSet& g) {
                                       w.gate(w.prepare("h", *g.find("h")), {}, kQ9);
                                   },
                                   "qubit index 9 out of range for 2 qubits"},
                    WriteErrorCase{"repeated qubit",
                                   [](ProgramWriter& w, const GateSet& g) {
                                       w.gate(w.prepare("cx", *g.find("cx")), {}, kQ00);
                                   },
                                   "qubit 0 appears twice"},
                    WriteErrorCase{"wrong arity",
                                   [](ProgramWriter& w, const GateSet& g) {
                                       w.gate(w.prepare("cx", *g.find("cx")), {}, kQ0);
                                   },
                                   "cx acts on 2 qubit(s), got 1"},
                    WriteErrorCase{"wrong parameter count",
                                   [](ProgramWriter& w, const GateSet& g) {
                                       w.gate(w.prepare("rx", *g.find("rx")), {}, kQ0);
                                   },
                                   "rx takes 1 parameter(s), got 0"},
                    WriteErrorCase{"infinite parameter",
                                   [](ProgramWriter& w, const GateSet& g) {
                                       const Number inf[] = {Number::of_real(INFINITY)};
                                       w.gate(w.prepare("rx", *g.find("rx")), inf, kQ0);
                                   },
                                   "cannot write the parameter inf"},
                    WriteErrorCase{"bit out of range",
                                   [](ProgramWriter& w, const GateSet&) { w.measure(kQ0, kC5); },
                                   "classical bit index 5 out of range for 1 bits"},
                    WriteErrorCase{"measure without bits",
                                   [](ProgramWriter& w, const GateSet&) { w.measure(kQ01, kC5); },
                                   "measure needs one classical bit per qubit, got 2 and 1"},
                    WriteErrorCase{"empty barrier",
                                   [](ProgramWriter& w, const GateSet&) { w.barrier({}); },
                                   "barrier on no qubits cannot be written"},
                    WriteErrorCase{"negative delay",
                                   [](ProgramWriter& w, const GateSet&) {
                                       w.delay(Number::of_real(-1.0), kQ0);
                                   },
                                   "a delay duration must be non-negative"}));

}  // namespace
