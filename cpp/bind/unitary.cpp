// corvane.circuit._unitary: the unitary of a circuit, computed by the core
// (simulate/unitary.hpp). The public functions `unitary` and `equivalent` in
// corvane.circuit.equivalence read the gate entries and call this module with
// plain (name, parameters, qubits) triples.
#include "common/host.hpp"
#include "common/interrupt_check.hpp"
#include "common/numpy_arrays.hpp"
#include "common/pyfunction.hpp"
#include "simulate/unitary.hpp"

#include <string_view>
#include <vector>

namespace nb = nanobind;
using namespace corvane::bind;
namespace sim = corvane::simulate;

namespace {

std::vector<double> doubles(PyObject* seq) {
    nb::object fast = checked(PySequence_Fast(seq, "gate parameters must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    std::vector<double> out(n);
    for (Py_ssize_t k = 0; k < n; ++k)
        out[k] = convert_double(PySequence_Fast_GET_ITEM(fast.ptr(), k));
    return out;
}

std::vector<unsigned> indices(PyObject* seq, unsigned nqubits) {
    nb::object fast = checked(PySequence_Fast(seq, "gate qubits must be a sequence"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(fast.ptr());
    std::vector<unsigned> out(n);
    for (Py_ssize_t k = 0; k < n; ++k) {
        const long q = PyLong_AsLong(PySequence_Fast_GET_ITEM(fast.ptr(), k));
        if (q == -1 && PyErr_Occurred()) throw nb::python_error();
        if (q < 0 || static_cast<unsigned long>(q) >= nqubits) {
            PyErr_Format(PyExc_ValueError, "qubit index %ld out of range for %u qubits", q,
                         nqubits);
            throw nb::python_error();
        }
        out[k] = static_cast<unsigned>(q);
    }
    return out;
}

// operations: a sequence of (name, parameters, qubits) triples, in program order.
nb::object circuit_unitary(unsigned nqubits, PyObject* operations) {
    nb::object fast = checked(PySequence_Fast(operations, "operations must be a sequence"));
    const Py_ssize_t count = PySequence_Fast_GET_SIZE(fast.ptr());
    std::vector<sim::Operation> ops;
    ops.reserve(count);
    for (Py_ssize_t k = 0; k < count; ++k) {
        std::vector<nb::object> triple = unpack(PySequence_Fast_GET_ITEM(fast.ptr(), k), 3);
        const std::string_view name = utf8_of(require_str(triple[0].ptr(), "name"));
        const std::vector<double> params = doubles(triple[1].ptr());
        const std::vector<unsigned> qubits = indices(triple[2].ptr(), nqubits);
        auto op = sim::make_operation(name, params, qubits);
        if (!op) {
            PyErr_Format(PyExc_ValueError,
                         "no matrix for gate %R with %zd parameter(s) on %zd distinct qubit(s)",
                         triple[0].ptr(), static_cast<Py_ssize_t>(params.size()),
                         static_cast<Py_ssize_t>(qubits.size()));
            throw nb::python_error();
        }
        ops.push_back(*op);
    }

    const npy_intp dim = npy_intp{1} << nqubits;
    npy_intp dims[2] = {dim, dim};
    // Column-major, as the core writes it: numpy reads it like any other array.
    nb::object out = checked(PyArray_New(&PyArray_Type, 2, dims, NPY_CDOUBLE, nullptr, nullptr, 0,
                                         NPY_ARRAY_F_CONTIGUOUS, nullptr));
    sim::circuit_unitary(nqubits, ops,
                         std::span(complex_data(out), static_cast<std::size_t>(dim * dim)));
    return out;
}

}  // namespace

NB_MODULE(_unitary, m) {
    import_numpy();
    install_interrupt_check();
    m.doc() = "The unitary matrix of a circuit, from the core's gate matrices.";
    m.attr("MAX_QUBITS") = sim::kMaxQubits;
    m.attr("circuit_unitary") = make_function(
        m, {
               .name = "circuit_unitary",
               .doc = "The 2**nqubits x 2**nqubits unitary of (name, parameters, qubits) triples\n"
                      "applied in order; bit k of a row or column index is qubit k.",
               .params = {{"nqubits"}, {"operations"}},
               .body =
                   [](Args args) {
                       const long n = PyLong_AsLong(convert_int(args[0], "nqubits").ptr());
                       if (n == -1 && PyErr_Occurred()) throw nb::python_error();
                       if (n < 0 || n > static_cast<long>(sim::kMaxQubits)) {
                           PyErr_Format(PyExc_ValueError,
                                        "nqubits must be between 0 and %u, got %ld",
                                        sim::kMaxQubits, n);
                           throw nb::python_error();
                       }
                       return circuit_unitary(static_cast<unsigned>(n), args[1]);
                   },
           });
}
