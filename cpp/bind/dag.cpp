// corvane.circuit.dag: conversion between circuits and gate DAGs.
#include "common/digraph.hpp"
#include "common/flat_table.hpp"
#include "common/gate_entries.hpp"
#include "common/interrupt_check.hpp"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>
#include <string>

namespace nb = nanobind;
using namespace corvane::bind;
namespace dag = corvane::dag;

namespace {

constexpr const char* kModuleDoc =
    "Tools for converting between directed acyclic graphs (DAGs) and quantum circuits";

constexpr const char* kQc2dagDoc =
    "Converts a quantum circuit into a directed acyclic graph (DAG).\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): The quantum circuit to convert.\n"
    "    show_qubits (bool): Whether node names show the qubits of each operation. Defaults to True.\n"
    "\n"
    "Returns:\n"
    "    nx.DiGraph: A DAG with nodes as operations and edges as dependencies.\n";

constexpr const char* kDag2qcDoc =
    "Converts a directed acyclic graph (DAG) back into a QuantumCircuit.\n"
    "\n"
    "Args:\n"
    "    dag (nx.DiGraph): The DAG to convert.\n"
    "    nqubits (int | None): The number of qubits in the circuit.\n"
    "    ncbits (int | None): The number of classical bits in the circuit. Defaults to the value of nqubits.\n"
    "\n"
    "Returns:\n"
    "    QuantumCircuit: The circuit rebuilt from the DAG, in topological order.\n";

PyObject* module_ptr = nullptr;  // this module, for its globals; lives as long as the process
PyObject* native_convert = nullptr;

nb::handle this_module() { return module_ptr; }

nb::object qc2dag(Args args) {
    PyObject* qc = args[0];
    const bool show_qubits = convert_bool(args[1]);
    nb::object nqubits = nb::handle(qc).attr("nqubits");
    nb::object qubits = nb::handle(qc).attr("qubits");
    nb::object gates = nb::handle(qc).attr("gates");
    nb::object convert = global(this_module(), "convert_gate_info_to_dag_info");
    nb::object graph;

    if (convert.ptr() == native_convert) {
        // The circuit model's own builder: read the gate list once and write
        // the graph's dicts directly instead of building the two lists.
        GcPause pause;
        GateCategories categories = GateCategories::of_circuit_model();
        CircuitDag circuit = read_circuit(gates.ptr(), show_qubits, categories);
        graph = global(this_module(), "nx").attr("DiGraph")();
        if (is_plain_digraph(graph)) {
            DiGraphWriter writer(graph, circuit.size());
            InterruptPoll poll;
            for (size_t i = 0; i < circuit.size(); ++i) {
                poll.tick();
                writer.add_node(i, circuit.name(i), circuit.attributes(i));
            }
            for (const auto& edge : circuit.dependencies.edges) {
                poll.tick();
                nb::object data = checked(PyDict_New());
                check(PyDict_SetItem(data.ptr(), Keys::get().qubit, circuit.edge_qubits(edge).ptr()) == 0);
                writer.add_edge(edge.source, edge.target, data.ptr());
            }
            writer.finish();
        } else {
            nb::list nodes, edges;
            for (size_t i = 0; i < circuit.size(); ++i)
                nodes.append(nb::make_tuple(nb::handle(circuit.name(i)), nb::handle(circuit.attributes(i))));
            for (const auto& edge : circuit.dependencies.edges) {
                nb::dict data;
                data[Keys::get().qubit] = circuit.edge_qubits(edge);
                edges.append(nb::make_tuple(nb::handle(circuit.name(edge.source)), nb::handle(circuit.name(edge.target)), data));
            }
            graph.attr("add_nodes_from")(nodes);
            graph.attr("add_edges_from")(edges);
        }
    } else {
        nb::object result = convert(nqubits, qubits, gates, nb::arg("show_qubits") = nb::bool_(show_qubits));
        std::vector<nb::object> lists = unpack(result.ptr(), 2);
        graph = global(this_module(), "nx").attr("DiGraph")();
        graph.attr("add_nodes_from")(lists[0]);
        graph.attr("add_edges_from")(lists[1]);
    }
    graph.attr("graph")["qubits"] = nb::handle(qc).attr("qubits");
    return graph;
}

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
            nb::module_::import_("builtins").attr("max")(nb::list());  // the host's error for an empty sequence
        } else if (max_ < LLONG_MAX) {
            return nb::int_(max_ + 1);
        } else {
            top = nb::int_(max_);
        }
        nb::object result = checked(PyNumber_Add(top.ptr(), nb::int_(1).ptr()));
        if (PyLong_Check(result.ptr())) return result;
        if (PyNumber_Check(result.ptr())) return checked(PyNumber_Long(result.ptr()));
        PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", "int", Py_TYPE(result.ptr())->tp_name);
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
                     std::vector<PreparedEntry>& prepared, bool track_maximum, QubitMaximum& maximum) {
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
        if (i + kPrefetchAhead / 2 < count && PyDict_CheckExact(attributes_of(i + kPrefetchAhead / 2)))
            prefetch_dict_entries(attributes_of(i + kPrefetchAhead / 2));
        PyObject* name = snapshot.nodes[i];
        PyObject* attributes = attributes_of(i);
        if (!PyUnicode_CheckExact(name) || !PyDict_CheckExact(attributes)) return false;
        PyObject *qubits = nullptr, *params = nullptr;
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(attributes, &pos, &key, &value)) {
            if (!PyUnicode_CheckExact(key)) return false;
            if (is_key(key, keys.qubits)) qubits = value;
            else if (is_key(key, keys.params)) params = value;
        }
        if (!qubits || !PyList_CheckExact(qubits)) return false;
        auto [gate, category] = categories.gate_of_node(name);
        const bool parameter_gate =
            category == Category::one_qubit_parameter || category == Category::two_qubit_parameter;
        if (parameter_gate && params && !PyList_CheckExact(params) && !PyTuple_CheckExact(params)) return false;
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
        const Py_ssize_t width =
            entry.category == Category::functional ? 0 : entry_shape(entry.category, "")->trailing_qubits;
        const Py_ssize_t np = params ? PySequence_Fast_GET_SIZE(params) : 0;
        // Functional gates, a missing "params", a list too short for its gate
        // (IndexError when its turn comes) or a long parameter list: the
        // general entry builder, on the same plain objects.
        const bool parameter_gate =
            entry.category == Category::one_qubit_parameter || entry.category == Category::two_qubit_parameter;
        if (width == 0 || (parameter_gate && !params) || width > nq || np + width > PreparedEntry::kInlineItems) {
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

nb::object dag2qc(Args args) {
    nb::handle graph = args[0];
    nb::object nqubits = optional_count(args[1], "nqubits");
    nb::object ncbits = optional_count(args[2], "ncbits");
    GateCategories categories(this_module());
    const Keys& keys = Keys::get();
    QubitMaximum maximum;
    nb::object entries = checked(PyList_New(0));
    auto append = [&](const nb::object& entry) { check(PyList_Append(entries.ptr(), entry.ptr()) == 0); };

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
                    case PreparedEntry::Shape::none: continue;
                    case PreparedEntry::Shape::inline_items:
                        entry = SharedEntries::shareable(p) ? shared.get(p) : gate_entry(p.gate, p.items, p.count);
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
            PyErr_SetString(unfeasible.ptr(), "Graph contains a cycle or graph changed during iteration");
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

// ---- coupling graph and drawings ------------------------------------------------

constexpr const char* kGetQcgraphEdgesDoc =
    "Collects the qubit pairs that the multi-qubit gates of a gate list couple.\n"
    "\n"
    "Args:\n"
    "    gates (list): Gate entries of a circuit.\n"
    "\n"
    "Returns:\n"
    "    list: One pair per two-qubit gate and two per three-qubit gate, cut out of the entries.\n";

constexpr const char* kQc2graphDoc =
    "Builds the qubit coupling graph of a quantum circuit.\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): The circuit.\n"
    "\n"
    "Returns:\n"
    "    nx.Graph: The circuit's qubits as nodes, joined where a multi-qubit gate couples them.\n";

constexpr const char* kSplitQubitsDoc =
    "Splits the qubits of a quantum circuit into groups that no gate joins.\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): The circuit.\n"
    "\n"
    "Returns:\n"
    "    list: One list of qubits per connected part of the coupling graph.\n";

constexpr const char* kDrawGraphDoc =
    "Draws a graph, normally a coupling graph from qc2graph, in a new figure.\n"
    "\n"
    "Args:\n"
    "    G (nx.Graph): The graph to draw.\n"
    "\n"
    "Returns:\n"
    "    None\n";

constexpr const char* kDrawDagDoc =
    "Draws a directed acyclic graph (DAG) representation of a quantum circuit and saves it as an image.\n"
    "\n"
    "Args:\n"
    "    dag (nx.DiGraph): The gate DAG to draw.\n"
    "    output (str): The filename for saving the generated DAG image. Defaults to 'dag_figure.png'.\n"
    "\n"
    "Returns:\n"
    "    None\n";

nb::object get_qcgraph_edges(Args args) {
    constexpr Category order[] = {Category::one_qubit, Category::one_qubit_parameter, Category::two_qubit,
                                  Category::two_qubit_parameter, Category::three_qubit, Category::functional};
    GateCategories categories(this_module());
    nb::object pairs = checked(PyList_New(0));
    auto append_slice = [&](PyObject* entry, Py_ssize_t begin, Py_ssize_t end) {
        nb::object pair = checked(PySequence_GetSlice(entry, begin, end));
        check(PyList_Append(pairs.ptr(), pair.ptr()) == 0);
    };
    nb::object iterator = checked(PyObject_GetIter(args[0]));
    InterruptPoll poll;
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object entry = nb::steal(item);
        poll.tick();
        nb::object name = checked(PySequence_GetItem(entry.ptr(), 0));
        Category found = Category::none;
        for (Category c : order) {
            int in = PySequence_Contains(categories.mapping(c).ptr(), name.ptr());
            check(in >= 0);
            if (in) {
                found = c;
                break;
            }
        }
        switch (found) {
            case Category::two_qubit: append_slice(entry.ptr(), 1, PY_SSIZE_T_MAX); break;
            case Category::two_qubit_parameter: {
                // The qubits are the trailing items, whatever the number of parameters.
                const Py_ssize_t n = PySequence_Size(entry.ptr());
                check(n >= 0);
                const Py_ssize_t width = entry_shape(found, "")->trailing_qubits;
                append_slice(entry.ptr(), std::max<Py_ssize_t>(n - width, 0), n);
                break;
            }
            case Category::three_qubit:
                append_slice(entry.ptr(), 1, 3);
                append_slice(entry.ptr(), 2, 4);
                break;
            case Category::none: {
                nb::object text = checked(PyObject_Str(name.ptr()));
                PyErr_Format(PyExc_ValueError, "wrong gate type %U", text.ptr());
                throw nb::python_error();
            }
            default: break;
        }
    }
    check(!PyErr_Occurred());
    return pairs;
}

nb::object qc2graph(Args args) {
    nb::handle qc = args[0];
    nb::object graph = global(this_module(), "nx").attr("Graph")();
    graph.attr("add_nodes_from")(qc.attr("qubits"));
    graph.attr("add_edges_from")(global(this_module(), "get_qcgraph_edges")(qc.attr("gates")));
    return graph;
}

nb::object split_qubits(Args args) {
    nb::object graph = global(this_module(), "qc2graph")(nb::handle(args[0]));
    nb::list groups;
    for (nb::handle component : global(this_module(), "nx").attr("connected_components")(graph))
        groups.append(checked(PySequence_List(component.ptr())));
    return groups;
}

nb::object draw_graph(Args args) {
    nb::handle graph = args[0];
    nb::object plt = nb::module_::import_("matplotlib.pyplot");
    nb::object nx = global(this_module(), "nx");
    nb::object pos = nx.attr("shell_layout")(graph);
    plt.attr("figure")(nb::arg("figsize") = nb::make_tuple(7, 6));
    nx.attr("draw_networkx")(graph, pos, nb::arg("node_color") = "skyblue", nb::arg("node_size") = 1500,
                             nb::arg("node_shape") = "o", nb::arg("with_labels") = true,
                             nb::arg("font_size") = 12, nb::arg("font_weight") = "bold",
                             nb::arg("edge_color") = "gray", nb::arg("width") = 2, nb::arg("alpha") = 0.7);
    plt.attr("axis")("off");
    plt.attr("show")();
    return nb::none();
}

nb::object draw_dag(Args args) {
    nb::handle graph = args[0];
    nb::handle output = args[1];
    nb::object plt = nb::module_::import_("matplotlib.pyplot");
    nb::object agraph = global(this_module(), "nx").attr("nx_agraph").attr("to_agraph")(graph);
    nb::object nodes = graph.attr("nodes");
    for (nb::handle node : agraph.attr("nodes")()) {
        nb::object gate = gate_name_of(node.ptr());
        nb::object label = gate;
        if (PyUnicode_Check(gate.ptr()) && PyUnicode_CompareWithASCIIString(gate.ptr(), "measure") == 0) {
            nb::object first_cbit = nodes[node]["cbits"][0];
            label = nb::str("{} [c{}]").format(gate, first_cbit);
        }
        node.attr("attr")["label"] = label;
    }
    for (nb::handle edge : graph.attr("edges")(nb::arg("data") = true)) {
        std::string label;
        for (nb::handle q : edge[2]["qubit"]) {
            label += "q";
            label += nb::str(q).c_str();
        }
        agraph.attr("get_edge")(edge[0], edge[1]).attr("attr")["label"] = nb::str(label.c_str());
    }
    agraph.attr("graph_attr")["dpi"] = "300";
    agraph.attr("layout")(nb::arg("prog") = "dot");
    agraph.attr("draw")(output);
    nb::object image = plt.attr("imread")(output);
    plt.attr("imshow")(image);
    plt.attr("axis")("off");
    plt.attr("show")();
    return nb::none();
}

}  // namespace

NB_MODULE(dag, m) {
    install_interrupt_check();
    m.doc() = kModuleDoc;
    module_ptr = m.ptr();
    m.attr("np") = nb::module_::import_("numpy");
    m.attr("nx") = nb::module_::import_("networkx");
    networkx_digraph_type();
    m.attr("QuantumCircuit") = nb::module_::import_("corvane.circuit.quantumcircuit").attr("QuantumCircuit");
    nb::module_ helpers = nb::module_::import_("corvane.circuit.quantumcircuit_helpers");
    for (const char* name : {"one_qubit_gates_available", "two_qubit_gates_available",
                             "three_qubit_gates_available", "one_qubit_parameter_gates_available",
                             "two_qubit_parameter_gates_available", "functional_gates_available",
                             "convert_gate_info_to_dag_info"})
        m.attr(name) = helpers.attr(name);
    native_convert = nb::object(nb::module_::import_("corvane.circuit._convert")
                         .attr("convert_gate_info_to_dag_info")).release().ptr();

    m.attr("qc2dag") = make_function(m, {
        .name = "qc2dag",
        .doc = kQc2dagDoc,
        .params = {{"qc"}, {"show_qubits", nb::bool_(true)}},
        .annotations = {{"qc", "'QuantumCircuit'"}, {"show_qubits", "bool"}, {"return", "'nx.DiGraph'"}},
        .body = qc2dag,
    });
    m.attr("dag2qc") = make_function(m, {
        .name = "dag2qc",
        .doc = kDag2qcDoc,
        .params = {{"dag"}, {"nqubits", nb::none()}, {"ncbits", nb::none()}},
        .annotations = {{"dag", "'nx.DiGraph'"}, {"nqubits", "int | None"}, {"ncbits", "int | None"},
                        {"return", "'QuantumCircuit'"}},
        .body = dag2qc,
    });
    m.attr("get_qcgraph_edges") = make_function(m, {
        .name = "get_qcgraph_edges", .doc = kGetQcgraphEdgesDoc, .params = {{"gates"}}, .body = get_qcgraph_edges});
    m.attr("qc2graph") = make_function(m, {.name = "qc2graph", .doc = kQc2graphDoc, .params = {{"qc"}}, .body = qc2graph});
    m.attr("split_qubits") = make_function(m, {
        .name = "split_qubits", .doc = kSplitQubitsDoc, .params = {{"qc"}}, .body = split_qubits});
    m.attr("draw_graph") = make_function(m, {.name = "draw_graph", .doc = kDrawGraphDoc, .params = {{"G"}}, .body = draw_graph});
    m.attr("draw_dag") = make_function(m, {
        .name = "draw_dag",
        .doc = kDrawDagDoc,
        .params = {{"dag"}, {"output", nb::str("dag_figure.png")}},
        .body = draw_dag,
    });
}
