#include "gates/gate_table.hpp"

#include "common/text_map.hpp"

#include <algorithm>
#include <array>
#include <stdexcept>

namespace corvane::gates {
namespace {

template <auto Build>
void fixed(const double*, cplx* out) {
    const auto m = Build();
    std::copy(m.begin(), m.end(), out);
}

template <auto Build>
void one_angle(const double* p, cplx* out) {
    const auto m = Build(p[0]);
    std::copy(m.begin(), m.end(), out);
}

template <auto Build>
void two_angles(const double* p, cplx* out) {
    const auto m = Build(p[0], p[1]);
    std::copy(m.begin(), m.end(), out);
}

template <auto Build>
void three_angles(const double* p, cplx* out) {
    const auto m = Build(p[0], p[1], p[2]);
    std::copy(m.begin(), m.end(), out);
}

using C = Category;
using M = Merge;
using I = Inverse;
using P = ParametricMatrix;

// The facts every model gate has; the helpers below add their kind's rules.
constexpr GateRow model_gate(std::string_view name, Category category, std::uint8_t nqubits,
                             MatrixBuilder matrix, std::string_view label,
                             std::string_view qiskit_class) {
    return {.name = name,
            .category = category,
            .nqubits = nqubits,
            .matrix = matrix,
            .label = label,
            .qiskit_class = qiskit_class,
            .qiskit_name = name};
}

// A fixed gate that cancels with itself.
constexpr GateRow self_inverse(std::string_view name, Category category, std::uint8_t nqubits,
                               MatrixBuilder matrix, std::uint8_t rank, std::string_view label,
                               std::string_view symbols, std::string_view qiskit_class,
                               Dialect qasm2 = {}, Dialect qasm3 = {}) {
    GateRow row = model_gate(name, category, nqubits, matrix, label, qiskit_class);
    row.merge = M::cancels;
    row.compressible_rank = rank;
    row.inverse = I::self;
    row.qasm2 = qasm2;
    row.qasm3 = qasm3;
    row.symbols = symbols;
    return row;
}

// A fixed one-qubit gate whose inverse is another one.
constexpr GateRow adjoint_1q(std::string_view name, MatrixBuilder matrix,
                             std::string_view inverse_gate, std::string_view label,
                             std::string_view qiskit_class, Dialect qasm2 = {},
                             Dialect qasm3 = {}) {
    GateRow row = model_gate(name, C::one_qubit, 1, matrix, label, qiskit_class);
    row.inverse = I::adjoint;
    row.inverse_gate = inverse_gate;
    row.qasm2 = qasm2;
    row.qasm3 = qasm3;
    return row;
}

// A one-angle rotation: the angles of a pair add, its inverse negates the angle.
constexpr GateRow rotation(std::string_view name, Category category, std::uint8_t nqubits,
                           MatrixBuilder matrix, ParametricMatrix parametric, std::uint8_t rank,
                           std::string_view label, std::string_view qiskit_class,
                           Dialect qasm2 = {}, Dialect qasm3 = {}) {
    GateRow row = model_gate(name, category, nqubits, matrix, label, qiskit_class);
    row.nparams = 1;
    row.parametric = parametric;
    row.merge = M::adds_angles;
    row.compressible_rank = rank;
    row.inverse = I::negate_angle;
    row.qasm2 = qasm2;
    row.qasm3 = qasm3;
    return row;
}

// `row` drawn with symbols on its qubits (see GateRow::symbols).
constexpr GateRow drawn_as(GateRow row, std::string_view symbols) {
    row.symbols = symbols;
    return row;
}

// Written after `include "qelib1.inc";` by the writer, for gates qelib1.inc lacks.
constexpr std::string_view kRxxDefinition =
    "gate rxx(theta) a, b { h a; h b; cx a, b; rz(theta) b; cx a, b; h a; h b; }";
constexpr std::string_view kRyyDefinition =
    "gate ryy(theta) a, b { rx(pi/2) a; rx(pi/2) b; cx a, b; rz(theta) b; cx a, b; rx(-pi/2) a; "
    "rx(-pi/2) b; }";
constexpr std::string_view kRzzDefinition =
    "gate rzz(theta) a, b { cx a, b; rz(theta) b; cx a, b; }";
constexpr std::string_view kSxdgDefinition = "gate sxdg a { h a; sdg a; h a; }";
constexpr std::string_view kIswapDefinition =
    "gate iswap a, b { s a; s b; h a; cx a, b; cx b, a; h b; }";
constexpr std::string_view kCczDefinition = "gate ccz a, b, c { h c; ccx a, b, c; h c; }";

// A model gate that a library lacks: the writer defines it.
constexpr Dialect defined(std::string_view definition) {
    return {.definition = definition, .in_library = false};
}

// The qelib1.inc gates outside the model, which the reader expands. Each has
// the unitary of the published qelib1.inc definition (the relative-phase
// gates rccx and rc3x exactly so, phases included); where the model has a gate
// the published body builds from several, the body uses it (cp for cu1, h
// for u2(0,pi), t for u1(pi/4)), so the expansion is shorter and its angles
// are the definitions' own arithmetic on the parameters. tests/test_qasm.py
// checks every unitary against an independent one. A definition may use the
// ones before it.
constexpr GateRow expanded(std::string_view name, std::string_view definition, bool in_stdgates) {
    return {
        .name = name, .qasm2 = {.definition = definition}, .qasm3 = {.in_library = in_stdgates}};
}

// A spelling the reader accepts for a model gate, in the dialects whose library has it.
constexpr GateRow alias(std::string_view name, std::string_view target, bool in_qelib1,
                        bool in_stdgates) {
    return {.name = name,
            .alias_of = target,
            .qasm2 = {.in_library = in_qelib1},
            .qasm3 = {.in_library = in_stdgates}};
}

constexpr GateRow kRows[] = {
    // ---- the model's gates, in gate_matrix_dict's order
    self_inverse("id", C::one_qubit, 1, fixed<id_matrix>, 1, "I", "", "IGate"),
    self_inverse("x", C::one_qubit, 1, fixed<x_matrix>, 2, "X", "", "XGate"),
    self_inverse("y", C::one_qubit, 1, fixed<y_matrix>, 3, "Y", "", "YGate"),
    self_inverse("z", C::one_qubit, 1, fixed<z_matrix>, 4, "Z", "", "ZGate"),
    self_inverse("h", C::one_qubit, 1, fixed<h_matrix>, 5, "H", "", "HGate"),
    adjoint_1q("s", fixed<s_matrix>, "sdg", "S", "SGate"),
    adjoint_1q("sdg", fixed<sdg_matrix>, "s", "Sdg", "SdgGate"),
    adjoint_1q("t", fixed<t_matrix>, "tdg", "T", "TGate"),
    adjoint_1q("tdg", fixed<tdg_matrix>, "t", "Tdg", "TdgGate"),
    adjoint_1q("sx", fixed<sx_matrix>, "sxdg", "SX", "SXGate",
               defined("gate sx a { h a; s a; h a; }")),
    adjoint_1q("sxdg", fixed<sxdg_matrix>, "sx", "SXdg", "SXdgGate", defined(kSxdgDefinition),
               defined(kSxdgDefinition)),
    self_inverse("swap", C::two_qubit, 2, fixed<swap_matrix>, 10, "Swap", "swap swap", "SwapGate",
                 defined("gate swap a, b { cx a, b; cx b, a; cx a, b; }")),
    {.name = "iswap",
     .category = C::two_qubit,
     .nqubits = 2,
     .matrix = fixed<iswap_matrix>,
     .inverse = I::conjugate_by_z,
     .qasm2 = defined(kIswapDefinition),
     .qasm3 = defined(kIswapDefinition),
     .label = "iSwap",
     .qiskit_class = "iSwapGate",
     .qiskit_name = "iswap"},
    self_inverse("cx", C::two_qubit, 2, fixed<cx_matrix>, 6, "Cx", "control target", "CXGate"),
    // The same gate as cx under the name of older programs; written as cx.
    {.name = "cnot",
     .category = C::two_qubit,
     .nqubits = 2,
     .matrix = fixed<cx_matrix>,
     .merge = M::cancels,
     .compressible_rank = 7,
     .inverse = I::self,
     .qasm2 = {.spelling = "cx"},
     .qasm3 = {.spelling = "cx"},
     .label = "Cnot",
     .symbols = "control target",
     .qiskit_class = "CXGate",
     .qiskit_name = "cx"},
    self_inverse("cy", C::two_qubit, 2, fixed<cy_matrix>, 8, "Cy", "control y", "CYGate"),
    self_inverse("cz", C::two_qubit, 2, fixed<cz_matrix>, 9, "Cz", "control control", "CZGate"),
    rotation("rx", C::one_qubit_parameter, 1, one_angle<rx_matrix>, P::rx, 11, "Rx", "RXGate"),
    rotation("ry", C::one_qubit_parameter, 1, one_angle<ry_matrix>, P::ry, 12, "Ry", "RYGate"),
    rotation("rz", C::one_qubit_parameter, 1, one_angle<rz_matrix>, P::rz, 13, "Rz", "RZGate"),
    rotation("p", C::one_qubit_parameter, 1, one_angle<p_matrix>, P::p, 14, "P", "PhaseGate",
             {.spelling = "u1"}),
    {.name = "u",
     .category = C::one_qubit_parameter,
     .nqubits = 1,
     .nparams = 3,
     .matrix = three_angles<u_matrix>,
     .parametric = P::u,
     .merge = M::fuses_into_u,
     .compressible_rank = 15,
     .inverse = I::negate_and_swap,
     .qasm2 = {.spelling = "u3"},
     .qasm3 = {.spelling = "U"},
     .label = "U",
     .qiskit_class = "UGate",
     .qiskit_name = "u"},
    {.name = "r",
     .category = C::one_qubit_parameter,
     .nqubits = 1,
     .nparams = 2,
     .matrix = two_angles<r_matrix>,
     .parametric = P::r,
     .merge = M::adds_angle_on_same_axis,
     .inverse = I::negate_theta_keep_phi,
     .qasm2 = defined("gate r(theta, phi) a { u3(theta, phi - pi/2, pi/2 - phi) a; }"),
     // Parameter names in alphabetical order: the peer toolkit's OpenQASM 3
     // reader binds a definition's parameters in that order.
     .qasm3 = defined(
         "gate r(angle_theta, axis_phi) a { U(angle_theta, axis_phi - pi/2, pi/2 - axis_phi) a; }"),
     .label = "R",
     .qiskit_class = "RGate",
     .qiskit_name = "r"},
    rotation("rxx", C::two_qubit_parameter, 2, one_angle<rxx_matrix>, P::rxx, 16, "Rxx", "RXXGate",
             defined(kRxxDefinition), defined(kRxxDefinition)),
    rotation("ryy", C::two_qubit_parameter, 2, one_angle<ryy_matrix>, P::ryy, 17, "Ryy", "RYYGate",
             defined(kRyyDefinition), defined(kRyyDefinition)),
    rotation("rzz", C::two_qubit_parameter, 2, one_angle<rzz_matrix>, P::rzz, 18, "Rzz", "RZZGate",
             defined(kRzzDefinition), defined(kRzzDefinition)),
    // Merges as a rotation would, but is not compressed unless listed.
    drawn_as(rotation("cp", C::two_qubit_parameter, 2, one_angle<cp_matrix>, P::cp, 0, "Cp",
                      "CPhaseGate", {.spelling = "cu1"}),
             "control p"),
    self_inverse("ccz", C::three_qubit, 3, fixed<ccz_matrix>, 20, "Ccz", "control control control",
                 "CCZGate", defined(kCczDefinition), defined(kCczDefinition)),
    self_inverse("ccx", C::three_qubit, 3, fixed<ccx_matrix>, 19, "Ccx", "control control target",
                 "CCXGate"),
    self_inverse("cswap", C::three_qubit, 3, fixed<cswap_matrix>, 21, "Cswap", "control swap swap",
                 "CSwapGate", defined("gate cswap a, b, c { cx c, b; ccx a, b, c; cx c, b; }")),

    // ---- functional operations: entry shapes of their own, written by hand
    // everywhere they are read (barrier and delay are undone by themselves)
    {.name = "measure", .category = C::functional, .inverse = I::irreversible},
    {.name = "barrier", .category = C::functional, .inverse = I::self},
    {.name = "delay", .category = C::functional, .nparams = 1, .inverse = I::self},
    {.name = "reset", .category = C::functional, .inverse = I::irreversible},
    // ("if", cbits, value, body, orelse): its branches run on classical bits
    // known only at run time, so no inverse exists.
    {.name = "if", .category = C::functional, .inverse = I::irreversible},

    // ---- spellings the reader maps onto model gates (qelib1.inc's and
    // stdgates.inc's names and the language's built-in U and CX). stdgates.inc
    // defines u3 as U with a global phase; it is read as U, as the peer
    // toolkit reads it, so both readings have one unitary.
    alias("u3", "u", true, true),
    alias("u1", "p", true, true),
    alias("cu1", "cp", true, false),
    alias("U", "u", true, true),
    alias("CX", "cx", true, true),
    alias("phase", "p", false, true),
    alias("cphase", "cp", false, true),

    // ---- qelib1.inc gates outside the model, expanded by the reader. In
    // stdgates.inc, u2 carries a global phase that these definitions drop.
    expanded("u2", "gate u2(phi, lambda) q { u(pi/2, phi, lambda) q; }", true),
    expanded("u0", "gate u0(gamma) q { id q; }", false),
    expanded("ch", "gate ch a, b { ry(pi/4) b; cx a, b; ry(-pi/4) b; }", true),
    expanded("crx",
             "gate crx(lambda) a, b { s b; cx a, b; ry(-lambda/2) b; cx a, b; ry(lambda/2) b; "
             "sdg b; }",
             true),
    expanded("cry", "gate cry(lambda) a, b { ry(lambda/2) b; cx a, b; ry(-lambda/2) b; cx a, b; }",
             true),
    expanded("crz", "gate crz(lambda) a, b { rz(lambda/2) b; cx a, b; rz(-lambda/2) b; cx a, b; }",
             true),
    expanded("cu3", R"(gate cu3(theta, phi, lambda) c, t {
  p((lambda+phi)/2) c; p((lambda-phi)/2) t;
  cx c, t; u(-theta/2, 0, -(phi+lambda)/2) t;
  cx c, t; u(theta/2, phi, 0) t;
})",
             false),
    expanded(
        "cu",
        "gate cu(theta, phi, lambda, gamma) c, t { p(gamma) c; cu3(theta, phi, lambda) c, t; }",
        true),
    expanded("csx", "gate csx a, b { h b; cp(pi/2) a, b; h b; }", false),
    expanded("rccx", R"(gate rccx a, b, c {
  h c; t c; cx b, c; tdg c; cx a, c; t c; cx b, c; tdg c; h c;
})",
             false),
    expanded("rc3x", R"(gate rc3x a, b, c, d {
  h d; t d; cx c, d; tdg d; h d;
  cx a, d; t d; cx b, d; tdg d; cx a, d; t d; cx b, d; tdg d;
  h d; t d; cx c, d; tdg d; h d;
})",
             false),
    expanded("c3x", R"(gate c3x a, b, c, d {
  h d; p(pi/8) a; p(pi/8) b; p(pi/8) c; p(pi/8) d;
  cx a, b; p(-pi/8) b; cx a, b;
  cx b, c; p(-pi/8) c; cx a, c; p(pi/8) c; cx b, c; p(-pi/8) c; cx a, c;
  cx c, d; p(-pi/8) d; cx b, d; p(pi/8) d; cx c, d; p(-pi/8) d; cx a, d;
  p(pi/8) d; cx c, d; p(-pi/8) d; cx b, d; p(pi/8) d; cx c, d; p(-pi/8) d; cx a, d;
  h d;
})",
             false),
    expanded("c3sqrtx", R"(gate c3sqrtx a, b, c, d {
  h d; cp(pi/8) a, d; h d; cx a, b;
  h d; cp(-pi/8) b, d; h d; cx a, b;
  h d; cp(pi/8) b, d; h d; cx b, c;
  h d; cp(-pi/8) c, d; h d; cx a, c;
  h d; cp(pi/8) c, d; h d; cx b, c;
  h d; cp(-pi/8) c, d; h d; cx a, c;
  h d; cp(pi/8) c, d; h d;
})",
             false),
    expanded("c4x", R"(gate c4x a, b, c, d, e {
  h e; cp(pi/2) d, e; h e;
  c3x a, b, c, d;
  h e; cp(-pi/2) d, e; h e;
  c3x a, b, c, d;
  c3sqrtx a, b, c, e;
})",
             false),
};

}  // namespace

std::span<const GateRow> gate_rows() { return kRows; }

const GateRow* find_gate(std::string_view name) {
    static const auto index = [] {
        TextMap<std::string_view, const GateRow*> map;
        for (const GateRow& row : kRows) map.emplace(row.name, &row);
        return map;
    }();
    const auto it = index.find(name);
    return it == index.end() ? nullptr : it->second;
}

const GateRow& row_of(ParametricMatrix kind) {
    static const auto rows = [] {
        std::array<const GateRow*, static_cast<std::size_t>(P::cp) + 1> by_kind{};
        for (const GateRow& row : kRows)
            if (row.parametric != P::none) by_kind[static_cast<std::size_t>(row.parametric)] = &row;
        return by_kind;
    }();
    const GateRow* row = rows[static_cast<std::size_t>(kind)];
    if (!row) throw std::invalid_argument("no gate has this parametric matrix");
    return *row;
}

const GateRow& resolve_alias(const GateRow& row) {
    if (row.alias_of.empty()) return row;
    return *find_gate(row.alias_of);
}

}  // namespace corvane::gates
