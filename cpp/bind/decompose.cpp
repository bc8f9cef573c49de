// corvane.circuit.decompose: Euler-angle decomposition of one-qubit unitaries
// into the parameters of a "u" gate.
#include "common/numpy_arrays.hpp"
#include "common/pyfunction.hpp"
#include "decompose/u3_decompose.hpp"

#include <cmath>
#include <complex>
#include <cstring>
#include <utility>

namespace nb = nanobind;
using namespace corvane::bind;
using cplx = std::complex<double>;

namespace {

constexpr const char* kModuleDoc =
    "Decomposition of single-qubit unitary matrices into the angles of a u gate.";

constexpr const char* kU3Doc =
    "Decompose a single-qubit unitary into the angles of a u gate and a global phase.\n"
    "\n"
    "The result satisfies exp(1j * phase) * u_mat(theta, phi, lamda) == matrix up to\n"
    "rounding. A matrix that is only nearly unitary is mapped to a unitary close to it.\n"
    "\n"
    "Args:\n"
    "    matrix (np.ndarray): The 2 x 2 unitary matrix; any array-like of numbers\n"
    "        (a numpy array of a numeric dtype, nested lists) is accepted.\n"
    "\n"
    "Returns:\n"
    "    tuple[float, float, float, float]: (theta, phi, lamda, phase), with theta in\n"
    "    [0, pi] and phi, lamda and phase in (-pi, pi].\n"
    "\n"
    "Raises:\n"
    "    TypeError: If the matrix entries are not numbers.\n"
    "    ValueError: If the matrix is not 2 x 2 or has an entry that is not finite.\n";

// Reads the four entries of a 2 x 2 native-order complex128 array, whatever
// its strides.
void read_entries(PyArrayObject* a, cplx out[4]) {
    const char* base = PyArray_BYTES(a);
    const npy_intp s0 = PyArray_STRIDE(a, 0), s1 = PyArray_STRIDE(a, 1);
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j)
            std::memcpy(&out[2 * i + j], base + i * s0 + j * s1, sizeof(cplx));
}

bool is_2x2(PyArrayObject* a) {
    return PyArray_NDIM(a) == 2 && PyArray_DIM(a, 0) == 2 && PyArray_DIM(a, 1) == 2;
}

// Any array-like: converted by numpy, then checked for a numeric dtype and
// the 2 x 2 shape, then cast to complex128.
void load_entries(PyObject* obj, cplx out[4]) {
    nb::object array = checked(PyArray_FROM_O(obj));
    auto* a = reinterpret_cast<PyArrayObject*>(array.ptr());
    const char kind = PyArray_DESCR(a)->kind;
    if (std::strchr("biufc", kind) == nullptr || kind == '\0') {
        nb::object dtype = nb::borrow(reinterpret_cast<PyObject*>(PyArray_DESCR(a)));
        PyErr_Format(PyExc_TypeError,
                     "u3_decompose() expects a matrix of numbers, got an array of dtype %R",
                     dtype.ptr());
        throw nb::python_error();
    }
    if (!is_2x2(a)) {
        nb::object shape = array.attr("shape");
        PyErr_Format(PyExc_ValueError, "u3_decompose() expects a 2 x 2 matrix, got shape %R",
                     shape.ptr());
        throw nb::python_error();
    }
    nb::object cast = checked(PyArray_FromAny(array.ptr(), PyArray_DescrFromType(NPY_CDOUBLE), 2, 2,
                                              NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST, nullptr));
    read_entries(reinterpret_cast<PyArrayObject*>(cast.ptr()), out);
}

nb::object u3_decompose(PyObject* obj) {
    cplx entries[4];
    auto* a = reinterpret_cast<PyArrayObject*>(obj);
    if (PyArray_Check(obj) && PyArray_TYPE(a) == NPY_CDOUBLE && PyArray_ISNOTSWAPPED(a) &&
        is_2x2(a)) {
        read_entries(a, entries);
    } else {
        load_entries(obj, entries);
    }
    for (const cplx& v : entries) {
        if (!std::isfinite(v.real()) || !std::isfinite(v.imag())) {
            PyErr_SetString(PyExc_ValueError, "u3_decompose() expects finite matrix entries");
            throw nb::python_error();
        }
    }
    const auto r = corvane::decompose::u3_decompose(entries);
    nb::object result = checked(PyTuple_New(4));
    const double values[4] = {r.theta, r.phi, r.lamda, r.phase};
    for (Py_ssize_t k = 0; k < 4; ++k)
        PyTuple_SET_ITEM(result.ptr(), k, checked(PyFloat_FromDouble(values[k])).release().ptr());
    return result;
}

}  // namespace

NB_MODULE(decompose, m) {
    import_numpy();
    m.doc() = kModuleDoc;
    FunctionDef def{};
    def.name = "u3_decompose";
    def.doc = kU3Doc;
    def.params = {{"matrix"}};
    def.annotations = {{"matrix", "np.ndarray"}, {"return", "tuple[float, float, float, float]"}};
    def.body = [](Args args) { return u3_decompose(args[0]); };
    m.attr("u3_decompose") = make_function(m, std::move(def));
}
