// Qubit objects mapped to dense ids with the host's dict semantics.
#pragma once

#include "common/host.hpp"

#include <cstdint>
#include <vector>

namespace corvane::bind {

// Ids are given in first-seen order and qubits that are equal for a dict
// share one: small non-negative ints index a table; any other object equal to
// such an int (True, 1.0) shares its id; everything else goes through a dict.
class QubitIds {
  public:
    static constexpr std::uint32_t kMissing = 0xFFFFFFFFu;

    // The id of `qubit`, given a new one the first time it is seen.
    std::uint32_t id_of(PyObject* qubit);
    // The id of `qubit`, or kMissing when it has never been given one.
    std::uint32_t find(PyObject* qubit) const;
    std::uint32_t count() const { return count_; }

  private:
    // Ints below this index the table directly: 4M entries of 4 bytes (16 MB
    // at most) cover every qubit numbering a real device or simulator uses,
    // while a stray huge qubit number cannot make the table huge.
    static constexpr long long kTableLimit = 1 << 22;

    // The value of a small non-negative int equal to `qubit`, or -1.
    static long long table_index(PyObject* qubit);

    std::vector<std::uint32_t> table_;
    nb::object others_;  // dict: qubit -> id, for qubits outside the table
    std::uint32_t count_ = 0;
};

inline long long QubitIds::table_index(PyObject* qubit) {
    if (PyLong_CheckExact(qubit)) {
        const auto v = small_int(qubit);
        return (v && *v >= 0 && *v < kTableLimit) ? *v : -1;
    }
    const Py_hash_t hash = PyObject_Hash(qubit);
    if (hash == -1) throw nb::python_error();  // unhashable: the dict would refuse it too
    if (hash < 0 || hash >= kTableLimit) return -1;
    nb::object as_int = checked(PyLong_FromLongLong(hash));
    const int same = PyObject_RichCompareBool(qubit, as_int.ptr(), Py_EQ);
    check(same >= 0);
    return same ? hash : -1;
}

inline std::uint32_t QubitIds::id_of(PyObject* qubit) {
    const long long index = table_index(qubit);
    if (index >= 0) {
        if (static_cast<size_t>(index) >= table_.size()) table_.resize(index + 1, kMissing);
        std::uint32_t& slot = table_[index];
        if (slot == kMissing) slot = count_++;
        return slot;
    }
    if (!others_.is_valid()) others_ = nb::dict();
    PyObject* found = PyDict_GetItemWithError(others_.ptr(), qubit);
    if (found) return static_cast<std::uint32_t>(PyLong_AsUnsignedLong(found));
    check(!PyErr_Occurred());
    nb::object id = checked(PyLong_FromUnsignedLong(count_));
    check(PyDict_SetItem(others_.ptr(), qubit, id.ptr()) == 0);
    return count_++;
}

inline std::uint32_t QubitIds::find(PyObject* qubit) const {
    const long long index = table_index(qubit);
    if (index >= 0) return static_cast<size_t>(index) < table_.size() ? table_[index] : kMissing;
    if (!others_.is_valid()) return kMissing;
    PyObject* found = PyDict_GetItemWithError(others_.ptr(), qubit);
    if (!found) {
        check(!PyErr_Occurred());
        return kMissing;
    }
    return static_cast<std::uint32_t>(PyLong_AsUnsignedLong(found));
}

}  // namespace corvane::bind
