// corvane.circuit._packing: a circuit's gate list as compact bytes and back,
// the payload of a pickled QuantumCircuit. Pickle's own encoding of the list
// costs about twice the time per entry (bench/bench_transfer.py), and batches
// on process pools move tens of millions of entries.
//
// Layout 1, every number a LEB128 varint (ints zigzag-encoded):
//   names: count, then each name's UTF-8 length and bytes;
//   entries: count, then for each entry either 2 * k + 1, the k-th distinct
//   entry again (the same object, as pickle's memo shares it: decoupling
//   repeats its pulse entries), or 2 * name index, the item count and the
//   items. An item is a tag byte and its value: kInt (zigzag int), kFloat
//   (8 bytes, the double's bits little-endian), kTuple or kList (count, then
//   zigzag ints), kShared (the k-th tuple or list item again, the same object).
// Only exact tuples whose name is an exact str and whose items are exact ints
// of 64 bits, exact floats, and exact tuples or lists of such ints are packed;
// for any other gate list pack_gates returns None and the caller pickles the
// list as it is.
#include "common/host.hpp"

#include <bit>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace nb = nanobind;
using namespace corvane::bind;

namespace {

enum Tag : std::uint8_t { kInt = 1, kFloat = 2, kTuple = 3, kList = 4, kShared = 5 };

// Objects met before, by identity, numbered in the order they were first met:
// an open-addressing table of pointers, as a node-based map would allocate
// once per entry of a gate list that shares nothing.
class Seen {
  public:
    // The number of `object`, and whether this is the first time it is met.
    std::pair<std::uint64_t, bool> number(PyObject* object) {
        if (2 * (count_ + 1) > slots_.size()) grow();
        std::size_t i = slot_of(object);
        while (slots_[i].object) {
            if (slots_[i].object == object) return {slots_[i].number, false};
            i = (i + 1) & (slots_.size() - 1);
        }
        slots_[i] = {object, count_};
        return {count_++, true};
    }

  private:
    struct Slot {
        PyObject* object = nullptr;
        std::uint64_t number = 0;
    };
    std::size_t slot_of(PyObject* object) const {
        // Objects are 16-byte aligned: the low bits carry nothing; Fibonacci
        // hashing spreads the rest over the table.
        const auto bits = reinterpret_cast<std::uintptr_t>(object) >> 4;
        return static_cast<std::size_t>(bits * 0x9E3779B97F4A7C15ull) >> shift_;
    }
    void grow() {
        std::vector<Slot> old = std::move(slots_);
        slots_.assign(old.empty() ? 64 : 2 * old.size(), Slot{});
        shift_ = 64 - std::countr_zero(slots_.size());
        for (const Slot& slot : old) {
            if (!slot.object) continue;
            std::size_t i = slot_of(slot.object);
            while (slots_[i].object) i = (i + 1) & (slots_.size() - 1);
            slots_[i] = slot;
        }
    }

    std::vector<Slot> slots_;
    std::uint64_t count_ = 0;
    int shift_ = 64;
};

class Writer {
  public:
    void varint(std::uint64_t v) {
        while (v >= 0x80) {
            out_.push_back(static_cast<char>((v & 0x7F) | 0x80));
            v >>= 7;
        }
        out_.push_back(static_cast<char>(v));
    }
    void zigzag(std::int64_t v) {
        varint((static_cast<std::uint64_t>(v) << 1) ^ static_cast<std::uint64_t>(v >> 63));
    }
    void byte(std::uint8_t b) { out_.push_back(static_cast<char>(b)); }
    void bits(double d) {
        const auto u = std::bit_cast<std::uint64_t>(d);
        for (int i = 0; i < 8; ++i) byte(static_cast<std::uint8_t>(u >> (8 * i)));
    }
    void text(std::string_view s) {
        varint(s.size());
        out_.append(s);
    }
    const std::string& bytes() const { return out_; }

  private:
    std::string out_;
};

class Reader {
  public:
    explicit Reader(std::string_view in) : in_(in) {}
    std::uint64_t varint() {
        std::uint64_t v = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            const std::uint8_t b = byte();
            v |= static_cast<std::uint64_t>(b & 0x7F) << shift;
            if (!(b & 0x80)) return v;
        }
        corrupt();
    }
    std::int64_t zigzag() {
        const std::uint64_t u = varint();
        return static_cast<std::int64_t>((u >> 1) ^ (~(u & 1) + 1));
    }
    std::uint8_t byte() {
        if (at_ >= in_.size()) corrupt();
        return static_cast<std::uint8_t>(in_[at_++]);
    }
    double bits() {
        std::uint64_t u = 0;
        for (int i = 0; i < 8; ++i) u |= static_cast<std::uint64_t>(byte()) << (8 * i);
        return std::bit_cast<double>(u);
    }
    std::string_view text() {
        const std::uint64_t n = varint();
        if (n > in_.size() - at_) corrupt();
        std::string_view s = in_.substr(at_, n);
        at_ += n;
        return s;
    }
    // A count of items still to read, each at least one byte long.
    std::size_t count() {
        const std::uint64_t n = varint();
        if (n > in_.size() - at_) corrupt();
        return static_cast<std::size_t>(n);
    }
    bool done() const { return at_ == in_.size(); }
    [[noreturn]] static void corrupt() { throw nb::value_error("corrupt packed gate list"); }

  private:
    std::string_view in_;
    std::size_t at_ = 0;
};

// The value of an exact int within 64 bits, or nothing.
bool write_int(Writer& w, PyObject* value) {
    const auto v = small_int(value);
    if (!v) return false;
    w.zigzag(*v);
    return true;
}

bool write_item(Writer& w, PyObject* item, Seen& containers) {
    if (PyLong_CheckExact(item)) {
        w.byte(kInt);
        return write_int(w, item);
    }
    if (PyFloat_CheckExact(item)) {
        w.byte(kFloat);
        w.bits(PyFloat_AS_DOUBLE(item));
        return true;
    }
    const bool tuple = PyTuple_CheckExact(item);
    if (!tuple && !PyList_CheckExact(item)) return false;
    const auto [number, first] = containers.number(item);
    if (!first) {
        w.byte(kShared);
        w.varint(number);
        return true;
    }
    w.byte(tuple ? kTuple : kList);
    const Py_ssize_t n = tuple ? PyTuple_GET_SIZE(item) : PyList_GET_SIZE(item);
    w.varint(static_cast<std::uint64_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i)
        if (!write_int(w, tuple ? PyTuple_GET_ITEM(item, i) : PyList_GET_ITEM(item, i)))
            return false;
    return true;
}

nb::object pack_list(Args args) {
    PyObject* gates = args[0];
    if (!PyList_CheckExact(gates)) return nb::none();
    nb::object index_of = nb::dict();  // name -> index
    std::vector<PyObject*> names;      // kept alive by index_of
    Writer body;
    Seen entries, containers;
    const Py_ssize_t size = PyList_GET_SIZE(gates);
    body.varint(static_cast<std::uint64_t>(size));
    for (Py_ssize_t position = 0; position < size; ++position) {
        PyObject* entry = PyList_GET_ITEM(gates, position);
        const auto [number, first] = entries.number(entry);
        if (!first) {
            body.varint(2 * number + 1);
            continue;
        }
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) == 0) return nb::none();
        PyObject* name = PyTuple_GET_ITEM(entry, 0);
        if (!PyUnicode_CheckExact(name)) return nb::none();
        PyObject* known = PyDict_GetItemWithError(index_of.ptr(), name);
        check(known || !PyErr_Occurred());
        if (known) {
            body.varint(2 * PyLong_AsSize_t(known));
        } else {
            nb::object index = checked(PyLong_FromSize_t(names.size()));
            check(PyDict_SetItem(index_of.ptr(), name, index.ptr()) == 0);
            body.varint(2 * names.size());
            names.push_back(name);
        }
        const Py_ssize_t items = PyTuple_GET_SIZE(entry) - 1;
        body.varint(static_cast<std::uint64_t>(items));
        for (Py_ssize_t i = 1; i <= items; ++i)
            if (!write_item(body, PyTuple_GET_ITEM(entry, i), containers)) return nb::none();
    }
    Writer head;
    head.varint(names.size());
    for (PyObject* name : names) head.text(utf8_of(name));
    std::string out = head.bytes();
    out += body.bytes();
    return checked(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
}

nb::object read_ints(Reader& r, bool tuple) {
    const std::size_t n = r.count();
    nb::object seq = checked(tuple ? PyTuple_New(static_cast<Py_ssize_t>(n))
                                   : PyList_New(static_cast<Py_ssize_t>(n)));
    for (std::size_t i = 0; i < n; ++i) {
        PyObject* v = PyLong_FromLongLong(r.zigzag());
        check(v != nullptr);
        if (tuple)
            PyTuple_SET_ITEM(seq.ptr(), static_cast<Py_ssize_t>(i), v);
        else
            PyList_SET_ITEM(seq.ptr(), static_cast<Py_ssize_t>(i), v);
    }
    // A tuple of ints is never part of a cycle: untracked as the collector
    // would untrack it on its first visit.
    if (tuple) PyObject_GC_UnTrack(seq.ptr());
    return seq;
}

// Objects read before, in the order they were first read (kept alive by the list).
using Read = std::vector<PyObject*>;

nb::object read_item(Reader& r, bool& atomic, Read& containers) {
    const std::uint8_t tag = r.byte();
    if (tag == kTuple || tag == kList) {
        nb::object seq = read_ints(r, tag == kTuple);
        atomic = atomic && tag == kTuple;
        containers.push_back(seq.ptr());
        return seq;
    }
    switch (tag) {
        case kInt:
            return checked(PyLong_FromLongLong(r.zigzag()));
        case kFloat:
            return checked(PyFloat_FromDouble(r.bits()));
        case kShared: {
            const std::uint64_t k = r.varint();
            if (k >= containers.size()) Reader::corrupt();
            atomic = atomic && PyTuple_CheckExact(containers[k]);
            return nb::borrow(containers[k]);
        }
        default:
            Reader::corrupt();
    }
}

nb::object unpack_bytes(Args args) {
    char* data = nullptr;
    Py_ssize_t length = 0;
    check(PyBytes_AsStringAndSize(args[0], &data, &length) == 0);
    Reader r({data, static_cast<std::size_t>(length)});
    std::vector<nb::object> names(r.count());
    for (nb::object& name : names) {
        const std::string_view s = r.text();
        PyObject* text = PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
        check(text != nullptr);
        PyUnicode_InternInPlace(&text);  // gate names compare by identity first
        name = nb::steal(text);
    }
    const std::size_t size = r.count();
    // Only flat tuples and the list holding them are made here: no cycles.
    GcPause pause;
    nb::object gates = checked(PyList_New(static_cast<Py_ssize_t>(size)));
    Read entries, containers;
    for (std::size_t position = 0; position < size; ++position) {
        const std::uint64_t head = r.varint();
        if (head & 1) {
            if (head / 2 >= entries.size()) Reader::corrupt();
            PyList_SET_ITEM(gates.ptr(), static_cast<Py_ssize_t>(position),
                            nb::borrow(entries[head / 2]).release().ptr());
            continue;
        }
        const std::uint64_t index = head / 2;
        if (index >= names.size()) Reader::corrupt();
        const std::size_t items = r.count();
        nb::object entry = checked(PyTuple_New(static_cast<Py_ssize_t>(items + 1)));
        PyTuple_SET_ITEM(entry.ptr(), 0, names[index].inc_ref().ptr());
        bool atomic = true;
        for (std::size_t i = 1; i <= items; ++i)
            PyTuple_SET_ITEM(entry.ptr(), static_cast<Py_ssize_t>(i),
                             read_item(r, atomic, containers).release().ptr());
        if (atomic) PyObject_GC_UnTrack(entry.ptr());
        entries.push_back(entry.ptr());
        PyList_SET_ITEM(gates.ptr(), static_cast<Py_ssize_t>(position), entry.release().ptr());
    }
    if (!r.done()) Reader::corrupt();
    pause.end_and_collect_young(gates.ptr());
    return gates;
}

}  // namespace

NB_MODULE(_packing, m) {
    m.doc() = "A circuit's gate list as compact bytes and back (the payload of its pickle).";
    m.attr("pack_gates") = make_function(
        m, {
               .name = "pack_gates",
               .doc = "The gate list as bytes, or None when an entry holds something else than "
                      "a gate name, ints, floats and tuples or lists of ints.",
               .params = {{"gates"}},
               .body = pack_list,
           });
    m.attr("unpack_gates") =
        make_function(m, {
                             .name = "unpack_gates",
                             .doc = "The gate list that pack_gates made these bytes from.",
                             .params = {{"packed"}},
                             .body = unpack_bytes,
                         });
}
