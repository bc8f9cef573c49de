// dag2qc: a gate DAG read back into a circuit, in networkx's topological
// order. Plain graphs of builtins are read natively in two passes (prepare
// every entry in node order, then assemble them in topological order); any
// other graph takes the generic path, which calls the host for each step.
#include "dag/functions.hpp"

#include "common/digraph.hpp"
#include "common/flat_table.hpp"
#include "common/gate_entries.hpp"
#include "common/interrupt_check.hpp"

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace corvane::bind::dag_module {
namespace {

namespace dag = corvane::dag;

// `None` or an int; other numbers through int(), anything else a TypeError.
nb::object optional_count(PyObject* value, const char* name) {
    if (value == Py_None) return nb::none();
    return convert_int(value, name);
}

// Tracks max(current_qubits) natively while every qubit is a machine-sized
// int; any other qubit switches to the host's max() over the same items.
class QubitMaximum {
  public:
    void add_all(PyObject* qubits) {
        if (PyList_CheckExact(qubits) && !general_.is_valid()) {
            const Py_ssize_t n = PyList_GET_SIZE(qubits);
            Py_ssize_t i = 0;
            for (; i < n; ++i) {
                const auto v = small_int(PyList_GET_ITEM(qubits, i));
                if (!v) break;
                if (count_++ == 0 || *v > max_) max_ = *v;
            }
            if (i == n) return;
            // Not all machine-sized ints: the generic path below takes the
            // whole list; drop what this loop counted.
            count_ -= i;
        }
        nb::object iterator = checked(PyObject_GetIter(qubits));
        while (PyObject* item = PyIter_Next(iterator.ptr())) {
            nb::object q = nb::steal(item);
            if (general_.is_valid()) {
                check(PyList_Append(general_.ptr(), q.ptr()) == 0);
                continue;
            }
            ++count_;
            if (const auto v = small_int(q.ptr())) {
                if (count_ == 1 || *v > max_) max_ = *v;
                continue;
            }
            // Fall back: the ints seen so far are represented by their maximum.
            general_ = checked(PyList_New(0));
            if (count_ > 1) check(PyList_Append(general_.ptr(), nb::int_(max_).ptr()) == 0);
            check(PyList_Append(general_.ptr(), q.ptr()) == 0);
        }
        check(!PyErr_Occurred());
    }

    // max(current_qubits) + 1, as an int.
    nb::object count_from_maximum() const {
        nb::object top;
        if (general_.is_valid()) {
            top = nb::module_::import_("builtins").attr("max")(general_);
        } else if (count_ == 0) {
            nb::module_::import_("builtins")
                .attr("max")(nb::list());  // the host's error for an empty sequence
        } else if (max_ < LLONG_MAX) {
            return nb::int_(max_ + 1);
        } else {
            top = nb::int_(max_);
        }
        nb::object result = checked(PyNumber_Add(top.ptr(), nb::int_(1).ptr()));
        if (PyLong_Check(result.ptr())) return result;
        if (PyNumber_Check(result.ptr())) return checked(PyNumber_Long(result.ptr()));
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int",
                     Py_TYPE(result.ptr())->tp_name);
        throw nb::python_error();
    }

  private:
    long long max_ = 0;
    size_t count_ = 0;
    nb::object general_;
};

// A node's entry prepared ahead, in node order, from a node whose name,
// attribute dict and values are plain builtins. Preparing runs no user code
// and cannot fail, so the walk in topological order that follows (which
// raises any KeyError or IndexError, in that order) only assembles tuples.
// Node order is close to the order the objects were allocated in, so reading
// them here, rather than in topological order, keeps the loads local.
struct PreparedEntry {
    enum class Shape : std::uint8_t { none, inline_items, attributes };
    static constexpr int kInlineItems = 4;
    PyObject* gate = nullptr;  // kept alive by the category cache or the node name
    // Shape::inline_items: the entry's items after the gate (parameters, then
    // qubits). Shape::attributes: items[0] is the node's "qubits" list.
    PyObject* items[kInlineItems] = {};
    PyObject* attributes = nullptr;  // Shape::attributes: entry_for_node reads the rest
    std::uint8_t count = 0;
    Category category = Category::none;
    Shape shape = Shape::none;
};

bool is_key(PyObject* key, PyObject* interned) {
    return key == interned || (PyUnicode_GET_LENGTH(key) == PyUnicode_GET_LENGTH(interned) &&
                               PyUnicode_Compare(key, interned) == 0);
}

// While walking position `i` of `count`, asks for the list (or tuple) that
// `list_at(j)` gives at a later position, then for a list's items: they are
// two dependent loads away.
template <class ListAt>
[[gnu::always_inline]] inline void prefetch_list_ahead(size_t i, size_t count, ListAt&& list_at) {
    if (i + kPrefetchAhead < count)
        if (PyObject* list = list_at(i + kPrefetchAhead)) __builtin_prefetch(list);
    if (i + kPrefetchAhead / 2 < count)
        if (PyObject* list = list_at(i + kPrefetchAhead / 2); list && PyList_CheckExact(list))
            __builtin_prefetch(reinterpret_cast<PyListObject*>(list)->ob_item);
}

// Entries made only of a gate name and ints are immutable values; equal ones
// (the same gate on the same qubits, thousands of times in a long circuit)
// share one tuple instead of each taking a fresh allocation. Keyed by the
// identity of the items, so only the very same objects share.
class SharedEntries {
  public:
    static bool shareable(const PreparedEntry& p) {
        for (int k = 0; k < p.count; ++k)
            if (!PyLong_CheckExact(p.items[k])) return false;
        return true;
    }

    nb::object get(const PreparedEntry& p) {
        Key key{p.gate, {}, p.count};
        std::copy(p.items, p.items + p.count, key.items);
        if (PyObject* tuple = tuples_.find(key)) return nb::borrow(tuple);
        nb::object tuple = gate_entry(p.gate, p.items, p.count);
        tuples_.insert(key, tuple.ptr());  // kept alive by the gate list being built
        return tuple;
    }

  private:
    struct Key {
        PyObject* gate;
        PyObject* items[PreparedEntry::kInlineItems];
        std::uint8_t count;
        bool operator==(const Key& o) const {
            return gate == o.gate && count == o.count && std::equal(items, items + count, o.items);
        }
    };
    struct KeyHash {
        std::uint64_t operator()(const Key& key) const {
            std::uint64_t h = reinterpret_cast<std::uintptr_t>(key.gate) + key.count;
            for (int k = 0; k < key.count; ++k)
                h = (h ^ reinterpret_cast<std::uintptr_t>(key.items[k])) * 0x9E3779B97F4A7C15ull;
            return h;
        }
    };
    // A starting size only (the table doubles when half full): 1024 slots
    // hold the distinct entries of a few hundred qubits without regrowing.
    FlatTable<Key, PyObject*, KeyHash> tuples_{1024};
};

// Prepares every node's entry (and the highest qubit, when tracked), or returns false
// (having run no user code) when some node needs the generic path.
bool prepare_entries(const DiGraphSnapshot& snapshot, GateCategories& categories,
                     std::vector<PreparedEntry>& prepared, bool track_maximum,
                     QubitMaximum& maximum) {
    if (!categories.all_exact_dicts()) return false;
    const Keys& keys = Keys::get();
    const size_t count = snapshot.nodes.size();
    prepared.resize(count);
    // The lists each node's dict leads to are read in a second pass, so that
    // every object is reached once with its load asked for ahead; until then
    // items[0] and items[1] hold the qubits and the parameters.
    auto attributes_of = [&](size_t i) { return snapshot.attributes[i]; };
    InterruptPoll poll;
    for (size_t i = 0; i < count; ++i) {
        poll.tick();
        if (i + kPrefetchAhead < count) {
            __builtin_prefetch(snapshot.nodes[i + kPrefetchAhead]);
            __builtin_prefetch(attributes_of(i + kPrefetchAhead));
        }
        if (i + kPrefetchAhead / 2 < count &&
            PyDict_CheckExact(attributes_of(i + kPrefetchAhead / 2)))
            prefetch_dict_entries(attributes_of(i + kPrefetchAhead / 2));
        PyObject* name = snapshot.nodes[i];
        PyObject* attributes = attributes_of(i);
        if (!PyUnicode_CheckExact(name) || !PyDict_CheckExact(attributes)) return false;
        PyObject *qubits = nullptr, *params = nullptr;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(attributes, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return false;
            if (is_key(key, keys.qubits))
                qubits = value;
            else if (is_key(key, keys.params))
                params = value;
        }
        if (!qubits || !PyList_CheckExact(qubits)) return false;
        auto [gate, category] = categories.gate_of_node(name);
        const bool parameter_gate =
            category == Category::one_qubit_parameter || category == Category::two_qubit_parameter;
        if (parameter_gate && params && !PyList_CheckExact(params) && !PyTuple_CheckExact(params))
            return false;
        PreparedEntry& entry = prepared[i];
        entry.gate = gate.ptr();
        entry.attributes = attributes;
        entry.category = category;
        entry.items[0] = qubits;
        entry.items[1] = parameter_gate ? params : nullptr;
    }
    for (size_t i = 0; i < count; ++i) {
        poll.tick();
        prefetch_list_ahead(i, count, [&](size_t j) { return prepared[j].items[0]; });
        prefetch_list_ahead(i, count, [&](size_t j) { return prepared[j].items[1]; });
        PreparedEntry& entry = prepared[i];
        PyObject* const qubits = entry.items[0];
        PyObject* const params = entry.items[1];
        entry.items[1] = nullptr;
        // Extending current_qubits by an exact list has no effect to see
        // unless its maximum is wanted.
        if (track_maximum) maximum.add_all(qubits);
        const Py_ssize_t nq = PyList_GET_SIZE(qubits);
        if (entry.category == Category::none) continue;
        // Functional gates have items at fixed places: the generic entry builder below.
        const Py_ssize_t width = entry.category == Category::functional
                                     ? 0
                                     : entry_shape(entry.category, "")->trailing_qubits;
        const Py_ssize_t np = params ? PySequence_Fast_GET_SIZE(params) : 0;
        // Functional gates, a missing "params", a list too short for its gate
        // (IndexError when its turn comes) or a long parameter list: the
        // general entry builder, on the same plain objects.
        const bool parameter_gate = entry.category == Category::one_qubit_parameter ||
                                    entry.category == Category::two_qubit_parameter;
        if (width == 0 || (parameter_gate && !params) || width > nq ||
            np + width > PreparedEntry::kInlineItems) {
            entry.shape = PreparedEntry::Shape::attributes;  // items[0] still holds the qubits
            continue;
        }
        entry.shape = PreparedEntry::Shape::inline_items;
        for (Py_ssize_t k = 0; k < np; ++k) entry.items[k] = PySequence_Fast_GET_ITEM(params, k);
        for (Py_ssize_t k = 0; k < width; ++k) entry.items[np + k] = PyList_GET_ITEM(qubits, k);
        entry.count = static_cast<std::uint8_t>(np + width);
    }
    return true;
}

}  // namespace

nb::object dag2qc(Args args) {
    nb::handle graph = args[0];
    nb::object nqubits = optional_count(args[1], "nqubits");
    nb::object ncbits = optional_count(args[2], "ncbits");
    GateCategories categories(this_module());
    const Keys& keys = Keys::get();
    QubitMaximum maximum;
    nb::object entries = checked(PyList_New(0));
    auto append = [&](const nb::object& entry) {
        check(PyList_Append(entries.ptr(), entry.ptr()) == 0);
    };

    auto add_node = [&](PyObject* node, PyObject* attributes) {
        auto [gate, category] = categories.gate_of_node(node);
        nb::object qubits;
        if (PyDict_CheckExact(attributes)) {
            PyObject* found = PyDict_GetItemWithError(attributes, keys.qubits);
            if (!found && !PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, keys.qubits);
            qubits = nb::borrow(found);
        } else {
            qubits = nb::steal(PyObject_GetItem(attributes, keys.qubits));
        }
        if (!qubits.is_valid()) throw nb::python_error();
        maximum.add_all(qubits.ptr());
        nb::object entry = entry_for_node(gate.ptr(), category, attributes, qubits.ptr());
        if (entry.is_valid()) append(entry);
    };

    std::optional<GcPause> pause;
    if (is_plain_digraph(graph)) {
        pause.emplace();
        DiGraphSnapshot snapshot = read_digraph(graph);
        dag::Generations generations = dag::topological_generations(snapshot.successors);
        std::vector<PreparedEntry> prepared;
        if (prepare_entries(snapshot, categories, prepared, nqubits.is_none(), maximum)) {
            SharedEntries shared;
            InterruptPoll poll;
            for (dag::NodeId n : generations.order) {
                poll.tick();
                const PreparedEntry& p = prepared[n];
                nb::object entry;
                switch (p.shape) {
                    case PreparedEntry::Shape::none:
                        continue;
                    case PreparedEntry::Shape::inline_items:
                        entry = SharedEntries::shareable(p) ? shared.get(p)
                                                            : gate_entry(p.gate, p.items, p.count);
                        break;
                    case PreparedEntry::Shape::attributes:
                        entry = entry_for_node(p.gate, p.category, p.attributes, p.items[0]);
                        break;
                }
                if (entry.is_valid()) append(entry);
            }
        } else {
            maximum = QubitMaximum();
            snapshot.hold();  // the generic path may run user code
            InterruptPoll poll;
            for (dag::NodeId n : generations.order) {
                poll.tick();
                add_node(snapshot.nodes[n], snapshot.attributes[n]);
            }
        }
        if (!generations.acyclic) {
            nb::object unfeasible = global(this_module(), "nx").attr("NetworkXUnfeasible");
            PyErr_SetString(unfeasible.ptr(),
                            "Graph contains a cycle or graph changed during iteration");
            throw nb::python_error();
        }
    } else {
        nb::object node_view = graph.attr("nodes");
        nb::object order = global(this_module(), "nx").attr("topological_sort")(graph);
        for (nb::handle node : order) add_node(node.ptr(), node_view[node].ptr());
    }

    if (pause) pause->end_and_collect_young(entries.ptr());

    if (nqubits.is_none()) nqubits = maximum.count_from_maximum();
    if (ncbits.is_none()) ncbits = nqubits;
    nb::object circuit = global(this_module(), "QuantumCircuit")(nqubits, ncbits);
    circuit.attr("gates") = entries;
    circuit.attr("qubits") = graph.attr("graph")["qubits"];
    return circuit;
}

}  // namespace corvane::bind::dag_module
