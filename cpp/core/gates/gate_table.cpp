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

// A fixed one-qubit gate of both libraries that cancels with itself.
constexpr GateRow self_inverse_1q(std::string_view name, MatrixBuilder matrix, std::uint8_t rank,
                                  std::string_view label, std::string_view qiskit_class) {
    return {.name = name,
            .category = C::one_qubit,
            .nqubits = 1,
            .matrix = matrix,
            .merge = M::cancels,
            .compressible_rank = rank,
            .inverse = I::self,
            .label = label,
            .qiskit_class = qiskit_class,
            .qiskit_name = name};
}

// A fixed one-qubit gate of both libraries whose inverse is another of them.
constexpr GateRow adjoint_1q(std::string_view name, MatrixBuilder matrix,
                             std::string_view inverse_gate, std::string_view label,
                             std::string_view qiskit_class) {
    return {.name = name,
            .category = C::one_qubit,
            .nqubits = 1,
            .matrix = matrix,
            .inverse = I::adjoint,
            .inverse_gate = inverse_gate,
            .label = label,
            .qiskit_class = qiskit_class,
            .qiskit_name = name};
}

// A one-angle rotation: the angles of a pair add, its inverse negates the angle.
constexpr GateRow rotation(std::string_view name, Category category, std::uint8_t nqubits,
                           MatrixBuilder matrix, ParametricMatrix parametric, std::uint8_t rank,
                           std::string_view label, std::string_view qiskit_class) {
    return {.name = name,
            .category = category,
            .nqubits = nqubits,
            .nparams = 1,
            .matrix = matrix,
            .parametric = parametric,
            .merge = M::adds_angles,
            .compressible_rank = rank,
            .inverse = I::negate_angle,
            .label = label,
            .qiskit_class = qiskit_class,
            .qiskit_name = name};
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

// A spelling the reader accepts for a model gate.
constexpr GateRow alias(std::string_view name, std::string_view target, bool in_stdgates) {
    return {.name = name, .alias_of = target, .qasm3 = {.in_library = in_stdgates}};
}

constexpr GateRow kRows[] = {
    // ---- the model's gates, in gate_matrix_dict's order
    self_inverse_1q("id", fixed<id_matrix>, 1, "I", "IGate"),
    self_inverse_1q("x", fixed<x_matrix>, 2, "X", "XGate"),
    self_inverse_1q("y", fixed<y_matrix>, 3, "Y", "YGate"),
    self_inverse_1q("z", fixed<z_matrix>, 4, "Z", "ZGate"),
    self_inverse_1q("h", fixed<h_matrix>, 5, "H", "HGate"),
    adjoint_1q("s", fixed<s_matrix>, "sdg", "S", "SGate"),
    adjoint_1q("sdg", fixed<sdg_matrix>, "s", "Sdg", "SdgGate"),
    adjoint_1q("t", fixed<t_matrix>, "tdg", "T", "TGate"),
    adjoint_1q("tdg", fixed<tdg_matrix>, "t", "Tdg", "TdgGate"),
    {.name = "sx",
     .category = C::one_qubit,
     .nqubits = 1,
     .matrix = fixed<sx_matrix>,
     .inverse = I::adjoint,
     .inverse_gate = "sxdg",
     .qasm2 = defined("gate sx a { h a; s a; h a; }"),
     .label = "SX",
     .qiskit_class = "SXGate",
     .qiskit_name = "sx"},
    {.name = "sxdg",
     .category = C::one_qubit,
     .nqubits = 1,
     .matrix = fixed<sxdg_matrix>,
     .inverse = I::adjoint,
     .inverse_gate = "sx",
     .qasm2 = defined(kSxdgDefinition),
     .qasm3 = defined(kSxdgDefinition),
     .label = "SXdg",
     .qiskit_class = "SXdgGate",
     .qiskit_name = "sxdg"},
    {.name = "swap",
     .category = C::two_qubit,
     .nqubits = 2,
     .matrix = fixed<swap_matrix>,
     .merge = M::cancels,
     .compressible_rank = 10,
     .inverse = I::self,
     .qasm2 = defined("gate swap a, b { cx a, b; cx b, a; cx a, b; }"),
     .label = "Swap",
     .symbols = "swap swap",
     .qiskit_class = "SwapGate",
     .qiskit_name = "swap"},
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
    {.name = "cx",
     .category = C::two_qubit,
     .nqubits = 2,
     .matrix = fixed<cx_matrix>,
     .merge = M::cancels,
     .compressible_rank = 6,
     .inverse = I::self,
     .label = "Cx",
     .symbols = "control target",
     .qiskit_class = "CXGate",
     .qiskit_name = "cx"},
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
    {.name = "cy",
     .category = C::two_qubit,
     .nqubits = 2,
     .matrix = fixed<cy_matrix>,
     .merge = M::cancels,
     .compressible_rank = 8,
     .inverse = I::self,
     .label = "Cy",
     .symbols = "control y",
     .qiskit_class = "CYGate",
     .qiskit_name = "cy"},
    {.name = "cz",
     .category = C::two_qubit,
     .nqubits = 2,
     .matrix = fixed<cz_matrix>,
     .merge = M::cancels,
     .compressible_rank = 9,
     .inverse = I::self,
     .label = "Cz",
     .symbols = "control control",
     .qiskit_class = "CZGate",
     .qiskit_name = "cz"},
    rotation("rx", C::one_qubit_parameter, 1, one_angle<rx_matrix>, P::rx, 11, "Rx", "RXGate"),
    rotation("ry", C::one_qubit_parameter, 1, one_angle<ry_matrix>, P::ry, 12, "Ry", "RYGate"),
    rotation("rz", C::one_qubit_parameter, 1, one_angle<rz_matrix>, P::rz, 13, "Rz", "RZGate"),
    {.name = "p",
     .category = C::one_qubit_parameter,
     .nqubits = 1,
     .nparams = 1,
     .matrix = one_angle<p_matrix>,
     .parametric = P::p,
     .merge = M::adds_angles,
     .compressible_rank = 14,
     .inverse = I::negate_angle,
     .qasm2 = {.spelling = "u1"},
     .label = "P",
     .qiskit_class = "PhaseGate",
     .qiskit_name = "p"},
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
     .qasm3 = defined("gate r(theta, phi) a { U(theta, phi - pi/2, pi/2 - phi) a; }"),
     .label = "R",
     .qiskit_class = "RGate",
     .qiskit_name = "r"},
    {.name = "rxx",
     .category = C::two_qubit_parameter,
     .nqubits = 2,
     .nparams = 1,
     .matrix = one_angle<rxx_matrix>,
     .parametric = P::rxx,
     .merge = M::adds_angles,
     .compressible_rank = 16,
     .inverse = I::negate_angle,
     .qasm2 = defined(kRxxDefinition),
     .qasm3 = defined(kRxxDefinition),
     .label = "Rxx",
     .qiskit_class = "RXXGate",
     .qiskit_name = "rxx"},
    {.name = "ryy",
     .category = C::two_qubit_parameter,
     .nqubits = 2,
     .nparams = 1,
     .matrix = one_angle<ryy_matrix>,
     .parametric = P::ryy,
     .merge = M::adds_angles,
     .compressible_rank = 17,
     .inverse = I::negate_angle,
     .qasm2 = defined(kRyyDefinition),
     .qasm3 = defined(kRyyDefinition),
     .label = "Ryy",
     .qiskit_class = "RYYGate",
     .qiskit_name = "ryy"},
    {.name = "rzz",
     .category = C::two_qubit_parameter,
     .nqubits = 2,
     .nparams = 1,
     .matrix = one_angle<rzz_matrix>,
     .parametric = P::rzz,
     .merge = M::adds_angles,
     .compressible_rank = 18,
     .inverse = I::negate_angle,
     .qasm2 = defined(kRzzDefinition),
     .qasm3 = defined(kRzzDefinition),
     .label = "Rzz",
     .qiskit_class = "RZZGate",
     .qiskit_name = "rzz"},
    // Merges as a rotation would, but is not compressed unless listed.
    {.name = "cp",
     .category = C::two_qubit_parameter,
     .nqubits = 2,
     .nparams = 1,
     .matrix = one_angle<cp_matrix>,
     .parametric = P::cp,
     .merge = M::adds_angles,
     .inverse = I::negate_angle,
     .qasm2 = {.spelling = "cu1"},
     .label = "Cp",
     .symbols = "control p",
     .qiskit_class = "CPhaseGate",
     .qiskit_name = "cp"},
    {.name = "ccz",
     .category = C::three_qubit,
     .nqubits = 3,
     .matrix = fixed<ccz_matrix>,
     .merge = M::cancels,
     .compressible_rank = 20,
     .inverse = I::self,
     .qasm2 = defined(kCczDefinition),
     .qasm3 = defined(kCczDefinition),
     .label = "Ccz",
     .symbols = "control control control",
     .qiskit_class = "CCZGate",
     .qiskit_name = "ccz"},
    {.name = "ccx",
     .category = C::three_qubit,
     .nqubits = 3,
     .matrix = fixed<ccx_matrix>,
     .merge = M::cancels,
     .compressible_rank = 19,
     .inverse = I::self,
     .label = "Ccx",
     .symbols = "control control target",
     .qiskit_class = "CCXGate",
     .qiskit_name = "ccx"},
    {.name = "cswap",
     .category = C::three_qubit,
     .nqubits = 3,
     .matrix = fixed<cswap_matrix>,
     .merge = M::cancels,
     .compressible_rank = 21,
     .inverse = I::self,
     .qasm2 = defined("gate cswap a, b, c { cx c, b; ccx a, b, c; cx c, b; }"),
     .label = "Cswap",
     .symbols = "control swap swap",
     .qiskit_class = "CSwapGate",
     .qiskit_name = "cswap"},

    // ---- functional operations: entry shapes of their own, written by hand
    // everywhere they are read (barrier and delay are undone by themselves)
    {.name = "measure", .category = C::functional, .inverse = I::irreversible},
    {.name = "barrier", .category = C::functional, .inverse = I::self},
    {.name = "delay", .category = C::functional, .nparams = 1, .inverse = I::self},
    {.name = "reset", .category = C::functional, .inverse = I::irreversible},

    // ---- spellings the reader maps onto model gates (qelib1.inc's names and
    // the language's built-in U and CX)
    alias("u3", "u", true),
    alias("u1", "p", true),
    alias("cu1", "cp", false),
    alias("U", "u", true),
    alias("CX", "cx", true),

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
