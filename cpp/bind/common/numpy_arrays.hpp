// Fast creation of numpy complex128 arrays through numpy's C interface.
//
// Include this from exactly one source of an extension module (it keeps the
// numpy function table private to that source) and call import_numpy() in the
// module's initialisation before anything else here.
#pragma once

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <nanobind/nanobind.h>
#include <numpy/arrayobject.h>

#include <array>
#include <complex>
#include <cstddef>
#include <cstring>

#include "common/pyfunction.hpp"

namespace corvane::bind {

inline void import_numpy() {
    if (_import_array() < 0) throw nb::python_error();
}

// A new, uninitialised C-contiguous complex128 array of shape (rows, cols).
inline nb::object new_complex_array(npy_intp rows, npy_intp cols) {
    npy_intp dims[2] = {rows, cols};
    return checked(PyArray_SimpleNew(2, dims, NPY_CDOUBLE));
}

inline std::complex<double>* complex_data(nb::handle array) {
    return static_cast<std::complex<double>*>(
        PyArray_DATA(reinterpret_cast<PyArrayObject*>(array.ptr())));
}

// A new square array holding a row-major matrix of K = n*n entries.
template <std::size_t K>
nb::object to_array(const std::array<std::complex<double>, K>& m) {
    constexpr npy_intp n = K == 4 ? 2 : K == 16 ? 4 : 8;
    static_assert(n * n == static_cast<npy_intp>(K));
    nb::object out = new_complex_array(n, n);
    std::memcpy(complex_data(out), m.data(), sizeof(m));
    return out;
}

}  // namespace corvane::bind
