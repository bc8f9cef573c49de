#include "common/gate_entries.hpp"

#include "common/interrupt.hpp"
#include "common/qubit_ids.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <iterator>
#include <string_view>

namespace corvane::bind {

namespace {

[[noreturn]] void raise_entry_error(PyObject* type, Py_ssize_t index, PyObject* entry,
                                    const char* what) {
    PyErr_Format(type, "gate entry %zd %R: %s", index, entry, what);
    throw nb::python_error();
}

nb::object slice_list(PyObject* const* items, Py_ssize_t begin, Py_ssize_t end) {
    nb::object list = checked(PyList_New(end - begin));
    for (Py_ssize_t i = begin; i < end; ++i)
        PyList_SET_ITEM(list.ptr(), i - begin, Py_NewRef(items[i]));
    return list;
}

void append_text(std::string& out, PyObject* object) {
    if (auto v = small_int(object)) {
        out += std::to_string(*v);
        return;
    }
    nb::object text = checked(PyObject_Str(object));
    out += utf8_of(text.ptr());
}

// Whether append_text writes `object` without calling str().
bool is_plain_int(PyObject* object) { return small_int(object).has_value(); }

void untrack_if_atomic(PyObject* tuple) {
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) {
        PyObject* item = PyTuple_GET_ITEM(tuple, i);
        if (PyType_IS_GC(Py_TYPE(item)) &&
            !(PyTuple_CheckExact(item) && !PyObject_GC_IsTracked(item)))
            return;
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
nb::object parameter_entry_of_node(PyObject* gate, PyObject* params, PyObject* qubits,
                                   Py_ssize_t width) {
    nb::object items = checked(PySequence_List(params));
    for (Py_ssize_t k = 0; k < width; ++k)
        check(PyList_Append(items.ptr(), qubit_at(qubits, k).ptr()) == 0);
    return gate_entry(gate, PySequence_Fast_ITEMS(items.ptr()), PyList_GET_SIZE(items.ptr()));
}

bool is_conditional(const EntryShape* shape) { return shape->key == "if"; }

// What a conditional touches: the qubits its branches act on, the bits its
// conditions read and the bits its measurements write, each in order of
// first mention. "cbits" is reads and writes together, in that order.
struct ConditionalReach {
    nb::object qubits = checked(PyList_New(0)), cbits = checked(PyList_New(0));
    nb::object reads = checked(PyList_New(0)), writes = checked(PyList_New(0));

    void add_qubit(PyObject* q) { add(qubits, seen_qubits_, q); }
    void add_read(PyObject* c) {
        add(reads, seen_reads_, c);
        add(cbits, seen_cbits_, c);
    }
    void add_write(PyObject* c) {
        add(writes, seen_writes_, c);
        add(cbits, seen_cbits_, c);
    }

  private:
    static void add(nb::object& list, nb::object& seen, PyObject* item) {
        int found = PySet_Contains(seen.ptr(), item);
        check(found >= 0);
        if (found) return;
        check(PySet_Add(seen.ptr(), item) == 0);
        check(PyList_Append(list.ptr(), item) == 0);
    }
    nb::object seen_qubits_ = checked(PySet_New(nullptr)),
               seen_cbits_ = checked(PySet_New(nullptr));
    nb::object seen_reads_ = checked(PySet_New(nullptr)),
               seen_writes_ = checked(PySet_New(nullptr));
};

// Reads the condition and both branches of the conditional `item`
// (an "if" entry's items) into `reach`, nested conditionals included.
// Errors name the top-level entry `index`.
void read_conditional(PyObject* const* item, GateCategories& categories, ConditionalReach& reach,
                      Py_ssize_t index, PyObject* entry) {
    if (Py_EnterRecursiveCall(" while reading a conditional")) throw nb::python_error();
    struct Leave {
        ~Leave() { Py_LeaveRecursiveCall(); }
    } leave;
    nb::object condition = checked(PySequence_Tuple(item[1]));
    for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(condition.ptr()); ++k)
        reach.add_read(PyTuple_GET_ITEM(condition.ptr(), k));
    for (PyObject* branch : {item[3], item[4]}) {
        nb::object inner = checked(PySequence_Tuple(branch));
        for (Py_ssize_t b = 0; b < PyTuple_GET_SIZE(inner.ptr()); ++b) {
            PyObject* op = PyTuple_GET_ITEM(inner.ptr(), b);
            if (!PyTuple_Check(op) && !PyList_Check(op))
                raise_entry_error(PyExc_TypeError, index, entry,
                                  "a conditional's branches hold gate entries (tuples)");
            nb::object fast = checked(PySequence_Tuple(op));
            const Py_ssize_t n = PyTuple_GET_SIZE(fast.ptr());
            PyObject* const* items = &PyTuple_GET_ITEM(fast.ptr(), 0);
            if (n == 0 || !PyUnicode_Check(items[0]))
                raise_entry_error(PyExc_TypeError, index, entry,
                                  "an entry of a conditional's branch starts with the gate name");
            const Category category = categories.category_of(items[0]);
            const EntryShape* shape = entry_shape(category, utf8_of(items[0]));
            if (!shape)
                raise_entry_error(PyExc_ValueError, index, entry,
                                  "a conditional's branch holds an unknown gate");
            if (shape->parameters ? n < 1 + shape->trailing_qubits : n != shape->size)
                raise_entry_error(PyExc_ValueError, index, entry, shape->expected);
            if (is_conditional(shape)) {
                read_conditional(items, categories, reach, index, entry);
                continue;
            }
            for (Py_ssize_t k = n - shape->trailing_qubits; k < n; ++k) reach.add_qubit(items[k]);
            if (shape->qubits_item >= 0) {
                nb::object qubits = checked(PySequence_Tuple(items[shape->qubits_item]));
                for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(qubits.ptr()); ++k)
                    reach.add_qubit(PyTuple_GET_ITEM(qubits.ptr(), k));
            }
            if (shape->cbits_item >= 0) {
                nb::object cbits = checked(PySequence_Tuple(items[shape->cbits_item]));
                for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(cbits.ptr()); ++k)
                    reach.add_write(PyTuple_GET_ITEM(cbits.ptr(), k));
            }
        }
    }
}

}  // namespace

GateCategories::GateCategories(nb::handle module) {
    for (int i = 0; i < 6; ++i) mappings_[i] = module.attr(gates::kCategoryNames[i].data());
}

bool GateCategories::all_exact_dicts() const {
    return std::all_of(std::begin(mappings_), std::end(mappings_),
                       [](const nb::object& m) { return PyDict_CheckExact(m.ptr()); });
}

GateCategories GateCategories::of_circuit_model() {
    return GateCategories(nb::module_::import_("corvane.circuit.quantumcircuit_helpers"));
}

GateCategories::Cached& GateCategories::lookup(std::string_view text, PyObject* name) {
    if (Cached* cached = cache_.find(text)) return *cached;
    nb::object gate =
        name ? nb::borrow(name) : checked(PyUnicode_FromStringAndSize(text.data(), text.size()));
    Category found = Category::none;
    for (int i = 0; i < 6; ++i) {
        if (contains(mappings_[i], gate)) {
            found = static_cast<Category>(i);
            break;
        }
    }
    return cache_.insert(text, Cached{std::move(gate), found});
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
    static const Keys keys{interned("qubits"),   interned("params"), interned("cbits"),
                           interned("duration"), interned("qubit"),  interned("condition"),
                           interned("body"),     interned("orelse")};
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
    if (node.category != Category::one_qubit_parameter &&
        node.category != Category::two_qubit_parameter)
        return {};
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
        name =
            checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
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
        if (category(i) == Category::one_qubit_parameter ||
            category(i) == Category::two_qubit_parameter) {
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
    // The bits each measurement and conditional reads and writes, by node;
    // they order the graph only when the circuit holds a conditional.
    struct BitAccess {
        std::uint32_t node;
        nb::object reads, writes;
    };
    std::vector<BitAccess> bit_access;

    for (Py_ssize_t i = 0; i < count; ++i) {
        poll.tick();
        PyObject* entry = PyTuple_GET_ITEM(entries, i);
        if (!PyTuple_Check(entry) && !PyList_Check(entry))
            raise_entry_error(PyExc_TypeError, i, entry, "a gate entry is a tuple");
        nb::object fast = checked(PySequence_Tuple(entry));
        if (fast.ptr() != entry) result.owned_.push_back(fast);
        const Py_ssize_t n = PyTuple_GET_SIZE(fast.ptr());
        PyObject* const* item = &PyTuple_GET_ITEM(fast.ptr(), 0);
        if (n == 0)
            raise_entry_error(PyExc_ValueError, i, entry, "a gate entry starts with the gate name");
        PyObject* name = item[0];
        if (!PyUnicode_Check(name))
            raise_entry_error(PyExc_TypeError, i, entry, "the gate name must be a string");
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
        const EntryShape* shape = entry_shape(category, gate);
        if (!shape) raise_entry_error(PyExc_ValueError, i, entry, "unknown gate");
        need(shape->parameters ? n >= 1 + shape->trailing_qubits : n == shape->size,
             shape->expected);
        if (shape->trailing_qubits) qubits_at_end(shape->trailing_qubits);
        if (shape->qubits_item >= 0) collection_qubits(item[shape->qubits_item]);
        if (is_conditional(shape)) {
            result.has_conditional_ = true;
            ConditionalReach reach;
            read_conditional(item, categories, reach, i, entry);
            collection_qubits(reach.qubits.ptr());
            made.attributes = checked(PyDict_New());
            PyObject* dict = made.attributes.ptr();
            check(PyDict_SetItem(dict, keys.qubits, made.qubit_list.ptr()) == 0);
            check(PyDict_SetItem(dict, keys.cbits, reach.cbits.ptr()) == 0);
            check(PyDict_SetItem(dict, keys.condition,
                                 nb::make_tuple(nb::handle(item[1]), nb::handle(item[2])).ptr()) ==
                  0);
            check(PyDict_SetItem(dict, keys.body, item[3]) == 0);
            check(PyDict_SetItem(dict, keys.orelse, item[4]) == 0);
            bit_access.push_back({static_cast<std::uint32_t>(i), reach.reads, reach.writes});
        } else if (category == Category::functional) {
            if (shape->trailing_qubits)
                made.qubit_list = slice_list(item, n - shape->trailing_qubits, n);
            made.attributes = checked(PyDict_New());
            check(PyDict_SetItem(made.attributes.ptr(), keys.qubits, made.qubit_list.ptr()) == 0);
            if (shape->cbits_item >= 0) {
                nb::object cbits = list_of(item[shape->cbits_item]);
                check(PyDict_SetItem(made.attributes.ptr(), keys.cbits, cbits.ptr()) == 0);
                bit_access.push_back({static_cast<std::uint32_t>(i), nb::object(), cbits});
            }
            if (shape->duration_item >= 0)
                check(PyDict_SetItem(made.attributes.ptr(), keys.duration,
                                     item[shape->duration_item]) == 0);
        }
        result.nodes_.push_back(node);

        // A qubit's text is plain for an int; anything else runs str() now,
        // where a failure belongs.
        std::span<PyObject* const> qs = result.qubits(static_cast<size_t>(i));
        if (show_qubits && !std::all_of(qs.begin(), qs.end(), is_plain_int))
            result.name(static_cast<size_t>(i));
        for (PyObject* q : qs) qubit_ids.push_back(ids.id_of(q));
        offsets.push_back(static_cast<std::uint32_t>(qubit_ids.size()));
    }
    result.dependencies = dag::dependency_edges(offsets, qubit_ids, ids.count());
    if (result.has_conditional_) {
        dag::ClassicalAccess access;
        QubitIds cbit_ids;
        size_t next = 0;
        auto add_ids = [&](const nb::object& bits, std::vector<std::uint32_t>& out) {
            if (!bits.is_valid()) return;
            for (Py_ssize_t k = 0; k < PyList_GET_SIZE(bits.ptr()); ++k)
                out.push_back(cbit_ids.id_of(PyList_GET_ITEM(bits.ptr(), k)));
        };
        for (Py_ssize_t g = 0; g < count; ++g) {
            if (next < bit_access.size() &&
                bit_access[next].node == static_cast<std::uint32_t>(g)) {
                add_ids(bit_access[next].reads, access.reads);
                add_ids(bit_access[next].writes, access.writes);
                ++next;
            }
            access.read_offsets.push_back(static_cast<std::uint32_t>(access.reads.size()));
            access.write_offsets.push_back(static_cast<std::uint32_t>(access.writes.size()));
        }
        access.cbit_count = cbit_ids.count();
        result.dependencies = dag::with_classical_edges(std::move(result.dependencies), access);
    }
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

const EntryShape* entry_shape(Category category, std::string_view gate) {
    if (category == Category::none) return nullptr;
    if (category != Category::functional) return &kEntryShapes[static_cast<int>(category)];
    constexpr size_t kFirstFunctional = static_cast<size_t>(Category::functional);
    constexpr size_t kOtherFunctional = std::size(kEntryShapes) - 1;
    for (size_t k = kFirstFunctional; k < kOtherFunctional; ++k)
        if (gate == kEntryShapes[k].key) return &kEntryShapes[k];
    return &kEntryShapes[kOtherFunctional];
}

void check_qubits_within(const CircuitDag& circuit, PyObject* nqubits) {
    const std::optional<long long> limit = small_int(nqubits);
    if (!limit) return;
    for (size_t i = 0; i < circuit.size(); ++i) {
        for (PyObject* q : circuit.qubits(i)) {
            if (!PyLong_Check(q)) continue;
            std::optional<long long> v = small_int(q);
            if (!v) {
                int overflow = 0;
                v = PyLong_AsLongLongAndOverflow(q, &overflow);
                if (overflow) v = -1;
            }
            if (*v >= 0 && *v < *limit) continue;
            PyErr_Format(PyExc_ValueError,
                         "gate entry %zd %R: qubit %R is outside the circuit's %lld qubit%s",
                         static_cast<Py_ssize_t>(i), circuit.entry(i), q, *limit,
                         *limit == 1 ? "" : "s");
            throw nb::python_error();
        }
    }
}

void check_entry_qubits(nb::handle qc) {
    GateCategories categories = GateCategories::of_circuit_model();
    nb::object gates, nqubits;
    CircuitDag circuit;
    try {
        gates = qc.attr("gates");
        nqubits = qc.attr("nqubits");
        if (!small_int(nqubits.ptr())) return;
        circuit = read_circuit(gates.ptr(), false, categories);
    } catch (nb::python_error&) {
        return;  // not a circuit's gate list: the caller's own reading says why
    }
    check_qubits_within(circuit, nqubits.ptr());
}

nb::object entry_for_node(PyObject* gate, Category category, PyObject* attributes,
                          PyObject* qubits) {
    if (category == Category::functional && !PyUnicode_Check(gate)) return {};
    const EntryShape* shape =
        entry_shape(category, category == Category::functional ? utf8_of(gate) : "");
    if (!shape || !shape->written_back) return {};
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
    if (shape->parameters)
        return parameter_entry_of_node(gate, attribute(keys.params).ptr(), qubits,
                                       shape->trailing_qubits);
    if (is_conditional(shape)) {
        nb::object condition = attribute(keys.condition);
        nb::object body = attribute(keys.body);
        nb::object orelse = attribute(keys.orelse);
        std::vector<nb::object> parts = unpack(condition.ptr(), 2);
        return entry_tuple({nb::handle(gate), parts[0], parts[1], body, orelse});
    }
    // The items in entry order: trailing qubits, or the items at their places.
    // The attributes are read before the qubits are copied, so a node that
    // lacks both reports the missing attribute.
    nb::object items[4];
    items[0] = nb::borrow(gate);
    if (shape->duration_item >= 0) items[shape->duration_item] = attribute(keys.duration);
    if (shape->cbits_item >= 0) items[shape->cbits_item] = attribute(keys.cbits);
    for (int k = 0; k < shape->trailing_qubits; ++k) items[1 + k] = qubit_at(qubits, k);
    if (shape->qubits_item >= 0)
        items[shape->qubits_item] =
            shape->qubits_as_tuple ? qubit_tuple(qubits) : nb::borrow(qubits);
    switch (shape->size) {
        case 2:
            return entry_tuple({items[0], items[1]});
        case 3:
            return entry_tuple({items[0], items[1], items[2]});
        default:
            return entry_tuple({items[0], items[1], items[2], items[3]});
    }
}

}  // namespace corvane::bind
