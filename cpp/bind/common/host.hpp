// The small operations on host objects every binding needs, each written once
// with the host's own semantics (a failing operation raises the pending
// Python error as a C++ exception).
#pragma once

#include "common/pyfunction.hpp"

#include <optional>
#include <string_view>

namespace corvane::bind {

// An interned string kept for the life of the process (attribute and dict
// keys compare by identity first).
inline PyObject* interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    check(s != nullptr);
    return s;
}

// The UTF-8 text of an exact or derived str (borrowed from the object).
inline std::string_view utf8_of(PyObject* str) {
    // Pure-ASCII strings (every gate and node name in practice) hold their
    // text inline; read it without the conversion call.
    if (PyUnicode_IS_COMPACT_ASCII(str))
        return {static_cast<const char*>(PyUnicode_DATA(str)),
                static_cast<size_t>(PyUnicode_GET_LENGTH(str))};
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    check(data != nullptr);
    return {data, static_cast<size_t>(size)};
}

// `bool(value)`
inline bool truth(nb::handle value) { return convert_bool(value.ptr()); }

// `a == b`, as a truth value.
inline bool equal(nb::handle a, nb::handle b) {
    nb::object result = checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    return truth(result);
}

// `item in container`
inline bool contains(nb::handle container, nb::handle item) {
    const int in = PySequence_Contains(container.ptr(), item.ptr());
    check(in >= 0);
    return in == 1;
}

// `container[key]`
inline nb::object item(nb::handle container, nb::handle key) {
    return checked(PyObject_GetItem(container.ptr(), key.ptr()));
}

// `container[index]`
inline nb::object item(nb::handle container, Py_ssize_t index) {
    nb::object key = checked(PyLong_FromSsize_t(index));
    return item(container, key);
}

// `list(iterable)`
inline nb::object list_of(nb::handle iterable) { return checked(PySequence_List(iterable.ptr())); }

// `list.append(value)` on an exact list.
inline void append(nb::handle list, nb::handle value) {
    check(PyList_Append(list.ptr(), value.ptr()) == 0);
}

// The value of an exact int that fits a machine word, or nothing (no error
// is left pending): the test every native path uses before reading a
// qubit, a serial or a parameter as a C++ integer.
inline std::optional<long long> small_int(PyObject* value) {
    if (!PyLong_CheckExact(value)) return std::nullopt;
    // An int of one digit (below 2**30 in magnitude: every qubit and serial)
    // read inline, without the call that reads any size.
    auto* number = reinterpret_cast<PyLongObject*>(value);
#if PY_VERSION_HEX >= 0x030C0000
    if (PyUnstable_Long_IsCompact(number)) return PyUnstable_Long_CompactValue(number);
#else
    if (const Py_ssize_t size = Py_SIZE(value); size >= -1 && size <= 1)
        return size * static_cast<long long>(number->ob_digit[0]);
#endif
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
    if (overflow) return std::nullopt;
    return v;
}

// `module.__dict__.get(name)`: the global as it stands, no lookup hooks, no error.
inline nb::object module_global_or_null(nb::handle module, const char* name) {
    PyObject* value = PyDict_GetItemString(PyModule_GetDict(module.ptr()), name);
    return value ? nb::borrow(value) : nb::object();
}

// `getattr(object, name)`, or an empty object when that raises.
inline nb::object attribute_or_null(nb::handle object, const char* name) {
    PyObject* value = PyObject_GetAttrString(object.ptr(), name);
    if (!value) PyErr_Clear();
    return nb::steal(value);
}

// The instance's own __dict__, or an empty object when it has none.
inline nb::object instance_dict(nb::handle object) {
    PyObject* dict = PyObject_GenericGetDict(object.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return {};
    }
    return nb::steal(dict);
}

}  // namespace corvane::bind
