#include "common/gate_entries.hpp"

#include "common/interrupt.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <string_view>

namespace corvane::bind {

namespace {

constexpr const char* kCategoryNames[6] = {
    "one_qubit_gates_available",           "two_qubit_gates_available",
    "three_qubit_gates_available",         "one_qubit_parameter_gates_available",
    "two_qubit_parameter_gates_available", "functional_gates_available",
};

PyObject* intern(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    check(s != nullptr);
    return s;  // kept for the life of the process
}

// Maps qubit objects to dense ids with the host's equality: small
// non-negative ints index a table; any other object equal to such an int
// (True, 1.0) shares its id; everything else goes through a dict.
class QubitIds {
public:
    std::uint32_t id_of(PyObject* qubit) {
        long long value = small_int_value(qubit);
        if (value >= 0) {
            if (static_cast<size_t>(value) >= table_.size()) table_.resize(value + 1, dag::kNone);
            std::uint32_t& slot = table_[value];
            if (slot == dag::kNone) slot = count_++;
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
    std::uint32_t count() const { return count_; }

private:
    static constexpr long long kTableLimit = 1 << 22;

    // The value of a small non-negative int equal to `qubit`, or -1.
    static long long small_int_value(PyObject* qubit) {
        if (PyLong_CheckExact(qubit)) {
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(qubit, &overflow);
            return (!overflow && v >= 0 && v < kTableLimit) ? v : -1;
        }
        Py_hash_t hash = PyObject_Hash(qubit);
        if (hash == -1) throw nb::python_error();  // unhashable: the dict would refuse it too
        if (hash < 0 || hash >= kTableLimit) return -1;
        nb::object as_int = checked(PyLong_FromLongLong(hash));
        int equal = PyObject_RichCompareBool(qubit, as_int.ptr(), Py_EQ);
        check(equal >= 0);
        return equal ? hash : -1;
    }

    std::vector<std::uint32_t> table_;
    nb::object others_;
    std::uint32_t count_ = 0;
};

[[noreturn]] void raise_entry_error(PyObject* type, Py_ssize_t index, PyObject* entry, const char* what) {
    PyErr_Format(type, "gate entry %zd %R: %s", index, entry, what);
    throw nb::python_error();
}

nb::object list_of(PyObject* iterable) { return checked(PySequence_List(iterable)); }

nb::object new_list(std::initializer_list<PyObject*> items) {
    nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (PyObject* item : items) PyList_SET_ITEM(list.ptr(), i++, Py_NewRef(item));
    return list;
}

nb::object slice_list(PyObject* const* items, Py_ssize_t begin, Py_ssize_t end) {
    nb::object list = checked(PyList_New(end - begin));
    for (Py_ssize_t i = begin; i < end; ++i) PyList_SET_ITEM(list.ptr(), i - begin, Py_NewRef(items[i]));
    return list;
}

void append_text(std::string& out, PyObject* object) {
    if (PyLong_CheckExact(object)) {
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(object, &overflow);
        if (!overflow) {
            out += std::to_string(v);
            return;
        }
        PyErr_Clear();
    }
    nb::object text = checked(PyObject_Str(object));
    out += utf8_of(text.ptr());
}

// Whether append_text writes `object` without calling str().
bool is_plain_int(PyObject* object) {
    if (!PyLong_CheckExact(object)) return false;
    int overflow = 0;
    PyLong_AsLongLongAndOverflow(object, &overflow);
    return !overflow;
}

void untrack_if_atomic(PyObject* tuple) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        if (PyType_IS_GC(Py_TYPE(item)) && !(PyTuple_CheckExact(item) && !PyObject_GC_IsTracked(item))) return;
    }
    PyObject_GC_UnTrack(tuple);
}

// tuple(items) with its atomic items, untracked like an entry.
nb::object qubit_tuple(PyObject* qubits) {
    nb::object t = checked(PySequence_Tuple(qubits));
    untrack_if_atomic(t.ptr());
    return t;
}

// qubits[index], as the subscript would give it.
nb::object qubit_at(PyObject* qubits, Py_ssize_t index) {
    if (PyList_CheckExact(qubits) && index < PyList_GET_SIZE(qubits))
        return nb::borrow(PyList_GET_ITEM(qubits, index));
    nb::object key = checked(PyLong_FromSsize_t(index));
    return checked(PyObject_GetItem(qubits, key.ptr()));
}

// (gate, *params, qubits[0], ...) with the node's values read in that order.
nb::object parameter_entry_of_node(PyObject* gate, PyObject* params, PyObject* qubits, Py_ssize_t width) {
    nb::object items = checked(PySequence_List(params));
    for (Py_ssize_t k = 0; k < width; ++k) check(PyList_Append(items.ptr(), qubit_at(qubits, k).ptr()) == 0);
    return gate_entry(gate, PySequence_Fast_ITEMS(items.ptr()), PyList_GET_SIZE(items.ptr()));
}

}  // namespace

std::string_view utf8_of(PyObject* str) {
    // Pure-ASCII strings (every gate and node name in practice) hold their
    // text inline; read it without the conversion call.
    if (PyUnicode_IS_COMPACT_ASCII(str))
        return {static_cast<const char*>(PyUnicode_DATA(str)), static_cast<size_t>(PyUnicode_GET_LENGTH(str))};
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(str, &size);
    check(data != nullptr);
    return {data, static_cast<size_t>(size)};
}

GateCategories::GateCategories(nb::handle module) {
    for (int i = 0; i < 6; ++i) mappings_[i] = module.attr(kCategoryNames[i]);
}

bool GateCategories::all_exact_dicts() const {
    return std::all_of(std::begin(mappings_), std::end(mappings_),
                       [](const nb::object& m) { return PyDict_CheckExact(m.ptr()); });
}

GateCategories GateCategories::of_circuit_model() {
    return GateCategories(nb::module_::import_("corvane.circuit.quantumcircuit_helpers"));
}

namespace {

std::uint64_t pack_short_name(std::string_view text) {
    std::uint64_t key = static_cast<std::uint64_t>(text.size()) << 56;
    for (size_t i = 0; i < text.size(); ++i) key |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[i])) << (8 * i);
    return key;
}

}  // namespace

GateCategories::Cached& GateCategories::lookup(std::string_view text, PyObject* name) {
    if (text.empty() || text.size() > 7) return lookup_uncached(text, name);
    const std::uint64_t key = pack_short_name(text);
    if (Cached* cached = short_names_.find(key)) return *cached;
    Cached& cached = lookup_uncached(text, name);
    short_names_.insert(key, &cached);
    return cached;
}

GateCategories::Cached& GateCategories::lookup_uncached(std::string_view text, PyObject* name) {
    if (auto it = cache_.find(text); it != cache_.end()) return it->second;
    nb::object gate = name ? nb::borrow(name) : checked(PyUnicode_FromStringAndSize(text.data(), text.size()));
    Category found = Category::none;
    for (int i = 0; i < 6; ++i) {
        int in = PySequence_Contains(mappings_[i].ptr(), gate.ptr());
        check(in >= 0);
        if (in) {
            found = static_cast<Category>(i);
            break;
        }
    }
    return cache_.emplace(std::string(text), Cached{std::move(gate), found}).first->second;
}

Category GateCategories::category_of(PyObject* name) {
    if (PyUnicode_CheckExact(name)) return lookup(utf8_of(name), name).category;
    for (int i = 0; i < 6; ++i) {
        int in = PySequence_Contains(mappings_[i].ptr(), name);
        check(in >= 0);
        if (in) return static_cast<Category>(i);
    }
    return Category::none;
}

std::pair<nb::object, Category> GateCategories::gate_of_node(PyObject* node_name) {
    if (PyUnicode_CheckExact(node_name)) {
        std::string_view text = utf8_of(node_name);
        std::string_view gate = text.substr(0, text.find('_'));
        Cached& cached = lookup(gate, gate.size() == text.size() ? node_name : nullptr);
        return {cached.name, cached.category};
    }
    nb::object gate = gate_name_of(node_name);
    Category category = category_of(gate.ptr());
    return {std::move(gate), category};
}

const Keys& Keys::get() {
    static const Keys keys{intern("qubits"), intern("params"), intern("cbits"), intern("duration"),
                           intern("qubit")};
    return keys;
}

nb::object gate_name_of(PyObject* node_name) {
    if (PyUnicode_CheckExact(node_name)) {
        Py_ssize_t length = PyUnicode_GET_LENGTH(node_name);
        Py_ssize_t cut = PyUnicode_FindChar(node_name, '_', 0, length, 1);
        if (cut == -2) throw nb::python_error();
        if (cut == -1) return nb::borrow(node_name);
        return checked(PyUnicode_Substring(node_name, 0, cut));
    }
    nb::object parts = nb::handle(node_name).attr("split")("_");
    return parts[0];
}

std::span<PyObject* const> CircuitDag::qubits(size_t i) const {
    const Node& node = nodes_[i];
    return {&PyTuple_GET_ITEM(node.qubits, node.first_qubit), node.qubit_count};
}

std::span<PyObject* const> CircuitDag::params(size_t i) const {
    const Node& node = nodes_[i];
    if (node.category != Category::one_qubit_parameter && node.category != Category::two_qubit_parameter) return {};
    return {&PyTuple_GET_ITEM(node.entry, 1), node.first_qubit - 1};
}

PyObject* CircuitDag::name(size_t i) {
    nb::object& name = made_[i].name;
    if (!name.is_valid()) {
        std::string text(utf8_of(gate(i)));
        text += '_';
        text += std::to_string(i);
        if (show_qubits_) {
            // "_q" before the first qubit even when there is none (an empty barrier).
            text += "_q";
            std::span<PyObject* const> qs = qubits(i);
            for (size_t k = 0; k < qs.size(); ++k) {
                if (k) text += "_q";
                append_text(text, qs[k]);
            }
        }
        name = checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    }
    return name.ptr();
}

PyObject* CircuitDag::qubit_list(size_t i) {
    nb::object& list = made_[i].qubit_list;
    if (!list.is_valid()) {
        std::span<PyObject* const> qs = qubits(i);
        list = slice_list(qs.data(), 0, static_cast<Py_ssize_t>(qs.size()));
    }
    return list.ptr();
}

PyObject* CircuitDag::attributes(size_t i) {
    // Functional gates get theirs while reading (their qubits and cbits come
    // from iterating collections).
    nb::object& attributes = made_[i].attributes;
    if (!attributes.is_valid()) {
        const Keys& keys = Keys::get();
        nb::object dict = checked(PyDict_New());
        check(PyDict_SetItem(dict.ptr(), keys.qubits, qubit_list(i)) == 0);
        if (category(i) == Category::one_qubit_parameter || category(i) == Category::two_qubit_parameter) {
            std::span<PyObject* const> ps = params(i);
            nb::object list = slice_list(ps.data(), 0, static_cast<Py_ssize_t>(ps.size()));
            check(PyDict_SetItem(dict.ptr(), keys.params, list.ptr()) == 0);
        }
        attributes = std::move(dict);
    }
    return attributes.ptr();
}

nb::object CircuitDag::edge_qubits(const dag::DependencyEdge& edge) const {
    std::span<PyObject* const> qs = qubits(edge.target);
    nb::object list = checked(PyList_New(edge.last - edge.first));
    for (std::uint32_t i = edge.first; i < edge.last; ++i)
        PyList_SET_ITEM(list.ptr(), i - edge.first, Py_NewRef(qs[dependencies.qubit_positions[i]]));
    return list;
}

CircuitDag read_circuit(PyObject* gates, bool show_qubits, GateCategories& categories) {
    const Keys& keys = Keys::get();
    CircuitDag result;
    result.show_qubits_ = show_qubits;
    // Owned snapshots (tuples), not PySequence_Fast: that hands back a list
    // itself, and the user code this loop runs (a qubit's __hash__/__eq__/
    // __str__, iterating a qubit collection) may shrink or grow that list,
    // which would leave the cached size and item pointers dangling.
    result.entries_ = checked(PySequence_Tuple(gates));
    PyObject* entries = result.entries_.ptr();
    const Py_ssize_t count = PyTuple_GET_SIZE(entries);
    result.nodes_.reserve(count);
    result.made_.resize(count);
    std::vector<std::uint32_t> offsets{0}, qubit_ids;
    offsets.reserve(count + 1);
    qubit_ids.reserve(count * 2);
    QubitIds ids;
    InterruptPoll poll;

    for (Py_ssize_t i = 0; i < count; ++i) {
        poll.tick();
        PyObject* entry = PyTuple_GET_ITEM(entries, i);
        if (!PyTuple_Check(entry) && !PyList_Check(entry))
            raise_entry_error(PyExc_TypeError, i, entry, "a gate entry is a tuple");
        nb::object fast = checked(PySequence_Tuple(entry));
        if (fast.ptr() != entry) result.owned_.push_back(fast);
        const Py_ssize_t n = PyTuple_GET_SIZE(fast.ptr());
        PyObject* const* item = &PyTuple_GET_ITEM(fast.ptr(), 0);
        if (n == 0) raise_entry_error(PyExc_ValueError, i, entry, "a gate entry starts with the gate name");
        PyObject* name = item[0];
        if (!PyUnicode_Check(name)) raise_entry_error(PyExc_TypeError, i, entry, "the gate name must be a string");
        std::string_view gate = utf8_of(name);
        if (gate.find('_') != std::string_view::npos)
            raise_entry_error(PyExc_ValueError, i, entry, "gate names cannot contain '_'");

        auto need = [&](bool ok, const char* shape) {
            if (!ok) raise_entry_error(PyExc_ValueError, i, entry, shape);
        };
        const Category category = categories.category_of(name);
        CircuitDag::Node node{fast.ptr(), fast.ptr(), 1, 0, category};
        auto qubits_at_end = [&](Py_ssize_t width) {
            node.first_qubit = static_cast<std::uint32_t>(n - width);
            node.qubit_count = static_cast<std::uint32_t>(width);
        };
        CircuitDag::Made& made = result.made_[i];
        // A functional gate's qubits (and cbits) may be any collection: it is
        // iterated once, here, into the node's lists.
        auto collection_qubits = [&](PyObject* collection) {
            made.qubit_list = list_of(collection);
            nb::object snapshot = checked(PyList_AsTuple(made.qubit_list.ptr()));
            node.qubits = snapshot.ptr();
            node.first_qubit = 0;
            node.qubit_count = static_cast<std::uint32_t>(PyTuple_GET_SIZE(snapshot.ptr()));
            result.owned_.push_back(std::move(snapshot));
        };
        nb::object extra_key, extra_value;
        switch (category) {
            case Category::one_qubit:
                need(n == 2, "expected (name, q)");
                qubits_at_end(1);
                break;
            case Category::two_qubit:
                need(n == 3, "expected (name, q0, q1)");
                qubits_at_end(2);
                break;
            case Category::three_qubit:
                need(n == 4, "expected (name, q0, q1, q2)");
                qubits_at_end(3);
                break;
            case Category::one_qubit_parameter:
                need(n >= 2, "expected (name, parameters..., q)");
                qubits_at_end(1);
                break;
            case Category::two_qubit_parameter:
                need(n >= 3, "expected (name, parameters..., q0, q1)");
                qubits_at_end(2);
                break;
            case Category::functional:
                if (gate == "measure") {
                    need(n == 3, "expected (\"measure\", qubits, cbits)");
                    collection_qubits(item[1]);
                    extra_key = nb::borrow(keys.cbits);
                    extra_value = list_of(item[2]);
                } else if (gate == "delay") {
                    need(n == 3, "expected (\"delay\", duration, qubits)");
                    extra_key = nb::borrow(keys.duration);
                    extra_value = nb::borrow(item[1]);
                    collection_qubits(item[2]);
                } else if (gate == "reset") {
                    need(n == 2, "expected (\"reset\", q)");
                    qubits_at_end(1);
                    made.qubit_list = new_list({item[1]});
                } else {  // "barrier" and any other functional operation on a set of qubits
                    need(n == 2, "expected (name, qubits)");
                    collection_qubits(item[1]);
                }
                made.attributes = checked(PyDict_New());
                check(PyDict_SetItem(made.attributes.ptr(), keys.qubits, made.qubit_list.ptr()) == 0);
                if (extra_key.is_valid())
                    check(PyDict_SetItem(made.attributes.ptr(), extra_key.ptr(), extra_value.ptr()) == 0);
                break;
            case Category::none:
                raise_entry_error(PyExc_ValueError, i, entry, "unknown gate");
        }
        result.nodes_.push_back(node);

        // A qubit's text is plain for an int; anything else runs str() now,
        // where a failure belongs.
        std::span<PyObject* const> qs = result.qubits(static_cast<size_t>(i));
        if (show_qubits && !std::all_of(qs.begin(), qs.end(), is_plain_int)) result.name(static_cast<size_t>(i));
        for (PyObject* q : qs) qubit_ids.push_back(ids.id_of(q));
        offsets.push_back(static_cast<std::uint32_t>(qubit_ids.size()));
    }
    result.dependencies = dag::dependency_edges(offsets, qubit_ids, ids.count());
    return result;
}

nb::object entry_tuple(std::initializer_list<nb::handle> items) {
    nb::object t = checked(PyTuple_New(static_cast<Py_ssize_t>(items.size())));
    Py_ssize_t i = 0;
    for (nb::handle item : items) PyTuple_SET_ITEM(t.ptr(), i++, Py_NewRef(item.ptr()));
    untrack_if_atomic(t.ptr());
    return t;
}

nb::object gate_entry(PyObject* gate, PyObject* const* items, Py_ssize_t count) {
    nb::object t = checked(PyTuple_New(1 + count));
    PyTuple_SET_ITEM(t.ptr(), 0, Py_NewRef(gate));
    for (Py_ssize_t k = 0; k < count; ++k) PyTuple_SET_ITEM(t.ptr(), 1 + k, Py_NewRef(items[k]));
    untrack_if_atomic(t.ptr());
    return t;
}

nb::object entry_for_node(PyObject* gate, Category category, PyObject* attributes, PyObject* qubits) {
    const Keys& keys = Keys::get();
    auto attribute = [&](PyObject* key) {
        if (PyDict_CheckExact(attributes)) {
            PyObject* value = PyDict_GetItemWithError(attributes, key);
            if (!value && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
            check(value != nullptr);
            return nb::borrow(value);
        }
        return checked(PyObject_GetItem(attributes, key));
    };
    auto qubit = [&](Py_ssize_t index) { return qubit_at(qubits, index); };
    switch (category) {
        case Category::one_qubit: return entry_tuple({gate, qubit(0)});
        case Category::two_qubit: return entry_tuple({gate, qubit(0), qubit(1)});
        case Category::three_qubit: return entry_tuple({gate, qubit(0), qubit(1), qubit(2)});
        case Category::one_qubit_parameter:
            return parameter_entry_of_node(gate, attribute(keys.params).ptr(), qubits, 1);
        case Category::two_qubit_parameter:
            return parameter_entry_of_node(gate, attribute(keys.params).ptr(), qubits, 2);
        case Category::functional: {
            if (!PyUnicode_Check(gate)) return {};
            std::string_view name = utf8_of(gate);
            if (name == "measure") return entry_tuple({gate, qubits, attribute(keys.cbits)});
            if (name == "barrier") return entry_tuple({gate, qubit_tuple(qubits)});
            if (name == "delay") {
                nb::object duration = attribute(keys.duration);
                return entry_tuple({gate, duration, qubit_tuple(qubits)});
            }
            if (name == "reset") return entry_tuple({gate, qubit(0)});
            return {};
        }
        case Category::none: return {};
    }
    return {};
}

}  // namespace corvane::bind
