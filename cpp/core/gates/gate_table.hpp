// The gate table: one row per gate name the system knows, holding every fact
// the code needs about it. The circuit model's gates come first, in the order
// of the matrix module's gate_matrix_dict, then the functional operations,
// then the names only the OpenQASM reader knows (other spellings of model
// gates, and qelib1.inc gates it expands through their definitions).
//
// Everything reads this table: the matrix module, the compressor's merge and
// identity rules, the OpenQASM reader and writer, the unitary's kernels, and,
// through _convert._gate_rows(), the circuit layer's gate categories,
// inverse(), the drawings and the Qiskit interchange.
//
// A row is written with designated initializers, so a new column is a new
// member with a default: rows that do not need it stay as they are.
#pragma once

#include "gates/gate_matrices.hpp"

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace corvane::gates {

// The six gate categories of the circuit model, in the order the passes test
// them; `none` for a name outside the model (a reader-only spelling).
enum class Category : std::uint8_t {
    one_qubit,
    two_qubit,
    three_qubit,
    one_qubit_parameter,
    two_qubit_parameter,
    functional,
    none,
};

// The name of the circuit model's mapping of each category but `none`.
inline constexpr std::string_view kCategoryNames[6] = {
    "one_qubit_gates_available",           "two_qubit_gates_available",
    "three_qubit_gates_available",         "one_qubit_parameter_gates_available",
    "two_qubit_parameter_gates_available", "functional_gates_available",
};

// The matrix function of a parameter gate (the compression engine's identity
// and merge rules are keyed by it). The two-qubit ones come after rxx.
enum class ParametricMatrix : std::uint8_t { none, rx, ry, rz, p, u, r, rxx, ryy, rzz, cp };

// How the compressor merges two adjacent gates of this name on the same
// qubits (the rule it applies is picked by the gate's category).
enum class Merge : std::uint8_t {
    never,        // not in the default compressible_gates
    cancels,      // its own inverse: the pair goes
    adds_angles,  // one gate with the parameters added, or nothing if that is the identity
    adds_angle_on_same_axis,  // as adds_angles, only for equal second parameters (r)
    fuses_into_u,             // the product of the two matrices, decomposed back into one u
};

// How inverse() undoes an entry of this gate.
enum class Inverse : std::uint8_t {
    unknown,                // "no inverse known"
    self,                   // the entry itself
    adjoint,                // the same entry under `inverse_gate`
    negate_angle,           // the first parameter negated, the others kept
    negate_and_swap,        // u(theta, phi, lamda) -> u(-theta, -lamda, -phi)
    negate_theta_keep_phi,  // r(theta, phi) -> r(-theta, phi)
    conjugate_by_z,         // z on the first qubit, the gate, z again (iswap's adjoint)
    irreversible,           // measure, reset: refused
};

// One OpenQASM dialect's view of a gate.
struct Dialect {
    // How the gate is written; empty: as its name.
    std::string_view spelling = {};
    // The `gate` statement that defines it over gates the dialect's library
    // has (a model gate the library lacks: the writer puts it after the
    // include line) or over the model's gates (a library gate outside the
    // model: the reader expands it).
    std::string_view definition = {};
    // Whether the dialect's standard library (qelib1.inc, stdgates.inc)
    // declares the gate, so a program may use it without a definition.
    bool in_library = true;
};

// Fills the gate's matrix from its parameters (row-major, 2^nqubits square).
using MatrixBuilder = void (*)(const double* params, cplx* out);

struct GateRow {
    std::string_view name;
    Category category = Category::none;
    std::uint8_t nqubits = 0;  // 0 for the functional operations: any number
    std::uint8_t nparams = 0;
    // A reader spelling of another row's gate ("u3" -> "u"); such a row
    // holds no other facts.
    std::string_view alias_of = {};
    MatrixBuilder matrix = nullptr;  // the model gates' matrix, as gate_matrix_dict holds it
    ParametricMatrix parametric = ParametricMatrix::none;
    Merge merge = Merge::never;
    // Place in GateCompressor's default compressible_gates list (1 first),
    // 0 when not listed.
    std::uint8_t compressible_rank = 0;
    Inverse inverse = Inverse::unknown;
    std::string_view inverse_gate = {};  // for Inverse::adjoint
    Dialect qasm2 = {};                  // library qelib1.inc
    Dialect qasm3 = {};                  // library stdgates.inc
    std::string_view label = {};         // the drawings' box text; empty: no box of its own
    // What each qubit shows in a drawing, in entry order, separated by
    // spaces: "control", "target", "swap", or a gate whose box it shows;
    // empty: one box per qubit.
    std::string_view symbols = {};
    std::string_view qiskit_class = {};  // in qiskit.circuit.library
    std::string_view qiskit_name = {};   // the Qiskit instruction's name
};

// Every row, in table order.
std::span<const GateRow> gate_rows();

// The row of `name`, or nullptr. Rows are found by hashing; callers in loops
// resolve a name once (per call, per distinct name), not per entry.
const GateRow* find_gate(std::string_view name);

// The row of a parametric matrix function (its model gate).
const GateRow& row_of(ParametricMatrix kind);

// The gate `row` spells, following alias_of: the row itself for a non-alias.
const GateRow& resolve_alias(const GateRow& row);

// 2^nqubits: the side of the row's matrix.
inline std::size_t matrix_dim(const GateRow& row) { return std::size_t{1} << row.nqubits; }

}  // namespace corvane::gates
