// corvane.circuit._simulate: the unitary and the output state of a circuit,
// computed by the core (simulate/unitary.hpp, simulate/statevector.hpp). The
// public functions `unitary`, `statevector` and `equivalent` in
// corvane.circuit.equivalence read the gate entries and call this module with
// plain (entry index, name, parameters, qubits) quadruples. The core's work
// runs without the GIL.
#include "common/host.hpp"
#include "common/interrupt_check.hpp"
#include "common/numpy_arrays.hpp"
#include "common/pyfunction.hpp"
#include "common/without_gil.hpp"
#include "simulate/outcomes.hpp"
#include "simulate/statevector.hpp"
#include "simulate/unitary.hpp"

#include <chrono>
#include <string_view>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace corvane::bind;
namespace sim = corvane::simulate;
using sim::cplx;

namespace {

std::vector<double> doubles(PyObject* seq) {
    nb::object fast = checked(PySequence_Fast(seq, "gate parameters must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    std::vector<double> out(n);
    for (Py_ssize_t k = 0; k < n; ++k)
        out[k] = convert_double(PySequence_Fast_GET_ITEM(fast.ptr(), k));
    return out;
}

std::vector<unsigned> indices(PyObject* seq, unsigned nqubits, Py_ssize_t entry) {
    nb::object fast = checked(PySequence_Fast(seq, "gate qubits must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    std::vector<unsigned> out(n);
    for (Py_ssize_t k = 0; k < n; ++k) {
        const long q = PyLong_AsLong(PySequence_Fast_GET_ITEM(fast.ptr(), k));
        if (q == -1 && PyErr_Occurred()) throw nb::python_error();
        if (q < 0 || static_cast<unsigned long>(q) >= nqubits) {
            PyErr_Format(PyExc_ValueError, "gate %zd: qubit index %ld out of range for %u qubits",
                         entry, q, nqubits);
            throw nb::python_error();
        }
        out[k] = static_cast<unsigned>(q);
    }
    return out;
}

// The operation of (entry index, name, parameters, qubits); the index is
// only used to name the entry in errors.
sim::Operation operation_of(unsigned nqubits, PyObject* quadruple) {
    std::vector<nb::object> item = unpack(quadruple, 4);
    const Py_ssize_t entry = PyLong_AsSsize_t(item[0].ptr());
    if (entry == -1 && PyErr_Occurred()) throw nb::python_error();
    const std::string_view name = utf8_of(require_str(item[1].ptr(), "name"));
    const std::vector<double> params = doubles(item[2].ptr());
    const std::vector<unsigned> qubits = indices(item[3].ptr(), nqubits, entry);
    auto op = sim::make_operation(name, params, qubits);
    if (!op) {
        PyErr_Format(PyExc_ValueError,
                     "gate %zd: no matrix for gate %R with %zd parameter(s) on %zd distinct "
                     "qubit(s)",
                     entry, item[1].ptr(), static_cast<Py_ssize_t>(params.size()),
                     static_cast<Py_ssize_t>(qubits.size()));
        throw nb::python_error();
    }
    return *op;
}

// operations: a sequence of (entry index, name, parameters, qubits), in
// program order.
std::vector<sim::Operation> operations_of(unsigned nqubits, PyObject* operations) {
    nb::object fast = checked(PySequence_Fast(operations, "operations must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.ptr());
    std::vector<sim::Operation> ops;
    ops.reserve(count);
    for (Py_ssize_t k = 0; k < count; ++k)
        ops.push_back(operation_of(nqubits, PySequence_Fast_GET_ITEM(fast.ptr(), k)));
    return ops;
}

unsigned small_index(PyObject* value) {
    const long v = PyLong_AsLong(value);
    if (v == -1 && PyErr_Occurred()) throw nb::python_error();
    if (v < 0 || v > 0xffffffffL) {
        PyErr_Format(PyExc_ValueError, "index %ld out of range", v);
        throw nb::python_error();
    }
    return static_cast<unsigned>(v);
}

// steps: the flat program of corvane.circuit.equivalence's outcome reader:
// ("gate", (entry index, name, parameters, qubits)), ("measure", qubit, cbit),
// ("reset", qubit), ("if", cbits, expected bits), ("else",), ("end",).
sim::DynamicProgram dynamic_program(unsigned nqubits, unsigned ncbits, PyObject* steps) {
    sim::DynamicProgram program(nqubits, ncbits);
    nb::object fast = checked(PySequence_Fast(steps, "steps must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.ptr());
    for (Py_ssize_t k = 0; k < count; ++k) {
        nb::object step = checked(PySequence_Tuple(PySequence_Fast_GET_ITEM(fast.ptr(), k)));
        const Py_ssize_t size = PyTuple_GET_SIZE(step.ptr());
        if (size == 0) throw nb::value_error("empty step");
        const std::string_view kind = utf8_of(require_str(PyTuple_GET_ITEM(step.ptr(), 0), "kind"));
        auto item = [&](Py_ssize_t i) {
            if (i >= size) throw nb::value_error("step too short");
            return PyTuple_GET_ITEM(step.ptr(), i);
        };
        if (kind == "gate") {
            program.gate(operation_of(nqubits, item(1)));
        } else if (kind == "measure") {
            program.measure(small_index(item(1)), small_index(item(2)));
        } else if (kind == "reset") {
            program.reset(small_index(item(1)));
        } else if (kind == "if") {
            nb::object cbits = checked(PySequence_Tuple(item(1)));
            nb::object bits = checked(PySequence_Tuple(item(2)));
            const Py_ssize_t n = PyTuple_GET_SIZE(cbits.ptr());
            if (PyTuple_GET_SIZE(bits.ptr()) != n) throw nb::value_error("one bit per cbit");
            std::vector<std::pair<unsigned, bool>> condition;
            for (Py_ssize_t b = 0; b < n; ++b)
                condition.emplace_back(small_index(PyTuple_GET_ITEM(cbits.ptr(), b)),
                                       convert_bool(PyTuple_GET_ITEM(bits.ptr(), b)));
            program.begin_if(condition);
        } else if (kind == "else") {
            program.else_branch();
        } else if (kind == "end") {
            program.end_if();
        } else {
            throw nb::value_error("unknown step kind");
        }
    }
    return program;
}

// The outcome's integer: classical bit k is bit k.
nb::object outcome_value(const std::vector<std::uint64_t>& words) {
    nb::object value = checked(PyLong_FromLong(0));
    nb::object width = checked(PyLong_FromLong(64));
    for (std::size_t w = words.size(); w-- > 0;) {
        value = checked(PyNumber_Lshift(value.ptr(), width.ptr()));
        nb::object word = checked(PyLong_FromUnsignedLongLong(words[w]));
        value = checked(PyNumber_Or(value.ptr(), word.ptr()));
    }
    return value;
}

unsigned long long count_of(PyObject* value, const char* name) {
    const unsigned long long count = PyLong_AsUnsignedLongLong(convert_int(value, name).ptr());
    if (count == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw nb::python_error();
    return count;
}

nb::object outcome_distribution(unsigned nqubits, PyObject* ncbits_arg, PyObject* steps,
                                PyObject* max_branch_points, PyObject* max_outcomes,
                                PyObject* seconds) {
    const long ncbits = PyLong_AsLong(convert_int(ncbits_arg, "ncbits").ptr());
    if (ncbits == -1 && PyErr_Occurred()) throw nb::python_error();
    if (ncbits < 0 || ncbits > 0xffffffL) throw nb::value_error("ncbits out of range");
    sim::OutcomeBudget budget;
    budget.max_branch_points = count_of(max_branch_points, "max_branch_points");
    budget.max_outcomes = count_of(max_outcomes, "max_outcomes");
    if (seconds != Py_None) {
        const double limit = convert_double(seconds);
        if (!(limit >= 0) || limit > 1e9) throw nb::value_error("seconds must be from 0 to 1e9");
        budget.time = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(limit));
    }
    const sim::DynamicProgram program =
        dynamic_program(nqubits, static_cast<unsigned>(ncbits), steps);
    sim::Outcomes out;
    run_without_gil([&] { out = sim::outcome_distribution(program, budget); });
    nb::object probabilities = checked(PyDict_New());
    for (const auto& [key, p] : out.probabilities) {
        nb::object probability = checked(PyFloat_FromDouble(p));
        check(PyDict_SetItem(probabilities.ptr(), outcome_value(key).ptr(), probability.ptr()) ==
              0);
    }
    return checked(Py_BuildValue("(OddsK)", probabilities.ptr(), out.negligible, out.unexplored,
                                 out.over_budget.c_str(),
                                 static_cast<unsigned long long>(out.branch_points)));
}

unsigned qubit_count(PyObject* value, unsigned limit) {
    const long n = PyLong_AsLong(convert_int(value, "nqubits").ptr());
    if (n == -1 && PyErr_Occurred()) throw nb::python_error();
    if (n < 0 || n > static_cast<long>(limit)) {
        PyErr_Format(PyExc_ValueError, "nqubits must be between 0 and %u, got %ld", limit, n);
        throw nb::python_error();
    }
    return static_cast<unsigned>(n);
}

nb::object circuit_unitary(unsigned nqubits, PyObject* operations) {
    const std::vector<sim::Operation> ops = operations_of(nqubits, operations);
    const npy_intp dim = npy_intp{1} << nqubits;
    npy_intp dims[2] = {dim, dim};
    // Column-major, as the core writes it: numpy reads it like any other array.
    nb::object out = checked(PyArray_New(&PyArray_Type, 2, dims, NPY_CDOUBLE, nullptr, nullptr, 0,
                                         NPY_ARRAY_F_CONTIGUOUS, nullptr));
    const std::span<cplx> entries(complex_data(out), static_cast<std::size_t>(dim * dim));
    run_without_gil([&] { sim::circuit_unitary(nqubits, ops, entries); });
    return out;
}

// Evolves `state`, a writable C-contiguous complex128 array of 2**nqubits
// amplitudes that the caller made for this call, in place.
nb::object apply_circuit(unsigned nqubits, PyObject* operations, PyObject* state, bool fuse) {
    const std::vector<sim::Operation> ops = operations_of(nqubits, operations);
    auto* array = reinterpret_cast<PyArrayObject*>(state);
    if (!PyArray_Check(state) || PyArray_TYPE(array) != NPY_CDOUBLE || PyArray_NDIM(array) != 1 ||
        !PyArray_IS_C_CONTIGUOUS(array) || !PyArray_ISWRITEABLE(array) ||
        PyArray_DIM(array, 0) != npy_intp{1} << nqubits) {
        PyErr_Format(PyExc_ValueError,
                     "state must be a writable contiguous complex128 array of %zd amplitudes",
                     static_cast<Py_ssize_t>(npy_intp{1} << nqubits));
        throw nb::python_error();
    }
    const std::span<cplx> amplitudes(complex_data(state),
                                     static_cast<std::size_t>(PyArray_DIM(array, 0)));
    if (!fuse) {
        run_without_gil([&] { sim::apply_circuit(nqubits, ops, amplitudes); });
        return nb::none();
    }
    cplx scalar;
    run_without_gil([&] {
        const sim::CompiledGates compiled(nqubits, ops, true);
        corvane::InterruptPoll poll;
        compiled.apply(amplitudes, poll);
        scalar = compiled.scalar();
    });
    return checked(PyComplex_FromDoubles(scalar.real(), scalar.imag()));
}

}  // namespace

NB_MODULE(_simulate, m) {
    import_numpy();
    install_interrupt_check();
    m.doc() = "The unitary and the output state of a circuit, from the core's gate matrices.";
    m.attr("MAX_QUBITS") = sim::kMaxQubits;
    m.attr("MAX_STATE_QUBITS") = sim::kMaxStateQubits;
    m.attr("circuit_unitary") = make_function(
        m, {
               .name = "circuit_unitary",
               .doc = "The 2**nqubits x 2**nqubits unitary of (entry index, name, parameters,\n"
                      "qubits) operations applied in order; bit k of a row or column index is\n"
                      "qubit k.",
               .params = {{"nqubits"}, {"operations"}},
               .body =
                   [](Args args) {
                       return circuit_unitary(qubit_count(args[0], sim::kMaxQubits), args[1]);
                   },
           });
    m.attr("apply_circuit") = make_function(
        m, {
               .name = "apply_circuit",
               .doc = "Applies (entry index, name, parameters, qubits) operations in order to\n"
                      "state, a complex128 array of 2**nqubits amplitudes, in place; bit k of\n"
                      "an index is qubit k. With fuse_single_qubit_runs, the one-qubit gates\n"
                      "between two others on a qubit are applied as one (rounding differs) and\n"
                      "the factor of those that make a multiple of the identity is returned\n"
                      "rather than applied; else None.",
               .params = {{"nqubits"},
                          {"operations"},
                          {"state"},
                          {"fuse_single_qubit_runs", nb::bool_(false)}},
               .body =
                   [](Args args) {
                       return apply_circuit(qubit_count(args[0], sim::kMaxStateQubits), args[1],
                                            args[2], convert_bool(args[3]));
                   },
           });
    m.attr("MAX_OUTCOME_QUBITS") = sim::kMaxOutcomeQubits;
    m.attr("NEGLIGIBLE") = sim::kNegligible;
    m.attr("outcome_distribution") = make_function(
        m, {
               .name = "outcome_distribution",
               .doc = "(probabilities, negligible, unexplored, over_budget, branch_points) of a\n"
                      "flat dynamic program started in |0...0>: probabilities maps each outcome\n"
                      "(classical bit k = bit k) to its exact probability.",
               .params = {{"nqubits"},
                          {"ncbits"},
                          {"steps"},
                          {"max_branch_points"},
                          {"max_outcomes"},
                          {"seconds", nb::none()}},
               .body =
                   [](Args args) {
                       return outcome_distribution(qubit_count(args[0], sim::kMaxOutcomeQubits),
                                                   args[1], args[2], args[3], args[4], args[5]);
                   },
           });
}
