// corvane.circuit.optimize: what the three parts of the GateCompressor binding
// share. module.cpp holds the docstrings, the dependency table and the module
// set-up; generic.cpp the generic path (every method written against the
// host's objects, as a subclass may override any of them); native.cpp the
// native path, which runs the whole pass in the core's engine
// (compress/gate_compressor.hpp) when the override guard allows it.
#pragma once

#include "common/host.hpp"
#include "common/interrupt_check.hpp"
#include "common/override_guard.hpp"
#include "compress/gate_compressor.hpp"

#include <memory>
#include <unordered_map>
#include <utility>

namespace corvane::bind::optimize {

namespace compress = corvane::compress;

// The value `_idx` starts from: `idx` advances it before each use, so the
// first node a merge adds is named "<gate>_1000001_<qubits>".
inline constexpr long long kFirstSerial = 1000000;

// The category mapping each merge rule of run_compress_once applies to, in
// the order it tests them; the native path's Rule enumerates the same order.
inline constexpr std::pair<const char*, const char*> kRuleOfCategory[5] = {
    {"one_qubit_gates_available", "compress_adjacent_single_qubit_gates"},
    {"one_qubit_parameter_gates_available", "compress_adjacent_single_parameter_qubit_gates"},
    {"two_qubit_gates_available", "compress_adjacent_two_qubit_gates"},
    {"two_qubit_parameter_gates_available", "compress_adjacent_two_qubit_parameter_gates"},
    {"three_qubit_gates_available", "compress_adjacent_three_qubit_gates"},
};

// What the module bound at import; lives for the life of the process.
struct ModuleState {
    nb::object module;
    nb::object pass_class;  // GateCompressor
    nb::object quantum_circuit, copy_deepcopy, u3_decompose, dag_module;
    // gate_matrix_dict's functions as bound at import, by the matrix they compute.
    std::unordered_map<PyObject*, compress::MatrixKind> matrix_functions;
    PyObject* key_qubits;
    PyObject* key_params;
    PyObject* key_qubit;
    PyObject* key_idx;
    PyObject* key_compressible;
    PyObject* empty_str;
    PyObject* r_str;
    PyObject* underscore;
    std::unique_ptr<OverrideGuard> guard;        // the whole pass
    std::unique_ptr<OverrideGuard> numpy_guard;  // np.allclose and np.eye only
};
inline ModuleState& state() {
    static ModuleState* s =
        new ModuleState();  // never freed: the module lives as long as the process
    return *s;
}

// A global of the pass's module, looked up now (a user may rebind it).
inline nb::object module_global(const char* name) { return global(state().module, name); }

// A parameter the core computes with exactly as the host would: an exact
// float, or an exact int small enough to convert to a double exactly.
inline bool plain_number(PyObject* value, compress::Number& out) {
    if (PyFloat_CheckExact(value)) {
        out = compress::Number::of_float(PyFloat_AS_DOUBLE(value));
        return true;
    }
    const auto v = small_int(value);
    if (!v || *v >= compress::kExactIntLimit || *v <= -compress::kExactIntLimit) return false;
    out = compress::Number::of_int(*v);
    return true;
}

// {"qubit": qubits}: the data of a graph edge.
inline nb::object qubit_dict(nb::handle qubits) {
    nb::object d = checked(PyDict_New());
    check(PyDict_SetItem(d.ptr(), state().key_qubit, qubits.ptr()) == 0);
    return d;
}

// The gate entries of `gates` that remove_identity_gates keeps; `fast` lets
// plain numbers go through the core's matrices (numpy's own allclose and eye
// are in place).
nb::object kept_entries(nb::handle gates, bool fast);

// The entries kept_entries(gates, true) keeps, as a tuple, in one walk over
// the exact list `gates`; an empty object when an entry falls outside what
// the native path reads (not an exact tuple named by an exact string, or a
// parameter that is not a plain number), before anything of it is used.
nb::object kept_plain_entries(PyObject* gates);

// The bodies of the methods (generic.cpp).
nb::object init(Args a);
nb::object remove_identity_gates(Args a);
nb::object is_adjacent_gates(Args a);
nb::object has_adjacent_gates(Args a);
nb::object compress_single(Args a);
nb::object compress_single_parameter(Args a);
nb::object compress_two(Args a);
nb::object compress_two_parameter(Args a);
nb::object compress_three(Args a);
nb::object run_compress_once(Args a);
nb::object idx(Args a);
nb::object run_generic(nb::handle self, nb::handle qc);

// Loads numpy's C interface, which the native path uses to hand matrices to
// the host; call first in the module's initialisation (native.cpp).
void prepare_native_path();

// The whole pass in the core's engine, or an empty object when the guard or
// the circuit's values send it to the generic path (native.cpp).
nb::object run_native(nb::handle self, nb::handle qc);

}  // namespace corvane::bind::optimize
