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
#include "simulate/statevector.hpp"
#include "simulate/unitary.hpp"

#include <string_view>
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

// operations: a sequence of (entry index, name, parameters, qubits), in
// program order; the index is only used to name the entry in errors.
std::vector<sim::Operation> operations_of(unsigned nqubits, PyObject* operations) {
    nb::object fast = checked(PySequence_Fast(operations, "operations must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.ptr());
    std::vector<sim::Operation> ops;
    ops.reserve(count);
    for (Py_ssize_t k = 0; k < count; ++k) {
        std::vector<nb::object> item = unpack(PySequence_Fast_GET_ITEM(fast.ptr(), k), 4);
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
        ops.push_back(*op);
    }
    return ops;
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
nb::object apply_circuit(unsigned nqubits, PyObject* operations, PyObject* state) {
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
    run_without_gil([&] { sim::apply_circuit(nqubits, ops, amplitudes); });
    return nb::none();
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
                      "an index is qubit k.",
               .params = {{"nqubits"}, {"operations"}, {"state"}},
               .body =
                   [](Args args) {
                       return apply_circuit(qubit_count(args[0], sim::kMaxStateQubits), args[1],
                                            args[2]);
                   },
           });
}
