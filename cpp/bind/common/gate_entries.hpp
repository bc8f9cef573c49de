// Gate entries and gate DAG nodes: the Python-side data of the circuit model,
// read into the core and written back.
#pragma once

#include "common/gate_name_cache.hpp"
#include "common/host.hpp"
#include "dag/gate_dag.hpp"
#include "gates/gate_table.hpp"

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <unordered_map>
#include <vector>

namespace corvane::bind {

// The six gate categories of the circuit model, in the order the passes test them.
using gates::Category;

// Where the items of a gate entry are: one row per category of fixed shape,
// and one per functional gate. The circuit layer's ENTRY_SHAPES
// (quantumcircuit_helpers.py) is made from this table, through
// _convert._entry_shapes().
struct EntryShape {
    std::string_view key;  // the category mapping's name, or the functional gate's name
    int size;              // items, the name included; 0 when parameters make it vary
    int trailing_qubits;   // qubits at the end of the entry, one item each
    bool parameters;       // the items between the name and the trailing qubits
    int qubits_item;       // the item holding a collection of qubits, or -1
    bool
        qubits_as_tuple;  // that collection written back as a tuple (else the node's "qubits" list)
    int cbits_item;       // the item holding the classical bits, or -1
    int duration_item;    // the item holding the duration, or -1
    bool written_back;    // dag2qc turns a node of this shape back into an entry
    const char* expected;  // the shape, as the reader's error message names it
};

inline constexpr EntryShape kEntryShapes[] = {
    {"one_qubit_gates_available", 2, 1, false, -1, false, -1, -1, true, "expected (name, q)"},
    {"two_qubit_gates_available", 3, 2, false, -1, false, -1, -1, true, "expected (name, q0, q1)"},
    {"three_qubit_gates_available", 4, 3, false, -1, false, -1, -1, true,
     "expected (name, q0, q1, q2)"},
    {"one_qubit_parameter_gates_available", 0, 1, true, -1, false, -1, -1, true,
     "expected (name, parameters..., q)"},
    {"two_qubit_parameter_gates_available", 0, 2, true, -1, false, -1, -1, true,
     "expected (name, parameters..., q0, q1)"},
    {"measure", 3, 0, false, 1, false, 2, -1, true, "expected (\"measure\", qubits, cbits)"},
    {"barrier", 2, 0, false, 1, true, -1, -1, true, "expected (name, qubits)"},
    {"delay", 3, 0, false, 2, true, -1, 1, true, "expected (\"delay\", duration, qubits)"},
    {"reset", 2, 1, false, -1, false, -1, -1, true, "expected (\"reset\", q)"},
    // Its qubits and written bits are those its branches name (read_conditional).
    {"if", 5, 0, false, -1, false, 1, -1, true, "expected (\"if\", cbits, value, body, orelse)"},
    // Any other functional operation: read as a barrier, given no entry back.
    {"", 2, 0, false, 1, true, -1, -1, false, "expected (name, qubits)"},
};

// The category mappings as some module binds them, read once per call so a
// name a user added (or a mapping a user rebound) is honoured. Lookups are
// cached per gate name for the length of the call.
class GateCategories {
  public:
    // Reads the six `*_gates_available` attributes of `module`.
    explicit GateCategories(nb::handle module);
    // Moves keep the cache's nodes (and the pointers to them); copies would not.
    GateCategories(GateCategories&&) = default;
    GateCategories(const GateCategories&) = delete;
    GateCategories& operator=(const GateCategories&) = delete;
    // The mappings of the circuit model's own module.
    static GateCategories of_circuit_model();

    // The first category, in the order above, whose keys hold `name`.
    Category category_of(PyObject* name);
    nb::handle mapping(Category c) const { return mappings_[static_cast<int>(c)]; }
    // True when every mapping is an exact dict, so testing a string name
    // against them runs no user code.
    bool all_exact_dicts() const;

    // The gate name of a node (see gate_name_of) with its category. For
    // string node names both come from a cache keyed by the gate's text, so a
    // gate's name object is made once per call, not once per node.
    std::pair<nb::object, Category> gate_of_node(PyObject* node_name);

  private:
    struct Cached {
        nb::object name;
        Category category;
    };
    Cached& lookup(std::string_view text, PyObject* name);

    nb::object mappings_[6];
    GateNameCache<Cached> cache_;
};

// The shape of the entries of a gate of `category` named `gate`; nullptr
// for Category::none.
const EntryShape* entry_shape(Category category, std::string_view gate);

// Interned attribute keys of the gate DAG convention.
struct Keys {
    PyObject* qubits;
    PyObject* params;
    PyObject* cbits;
    PyObject* duration;
    PyObject* qubit;
    PyObject* condition;
    PyObject* body;
    PyObject* orelse;
    static const Keys& get();
};

// A new gate-entry tuple of `items`. One whose items are all atomic (ints,
// floats, strings, untracked tuples) can never be part of a reference cycle:
// it is untracked at once, as the collector would untrack it on its first
// visit, so a large gate list does not set off collections that walk it.
nb::object entry_tuple(std::initializer_list<nb::handle> items);

// (gate, items[0], ..., items[count - 1]), untracked as entry_tuple.
nb::object gate_entry(PyObject* gate, PyObject* const* items, Py_ssize_t count);

// The text of `name` before the first "_" (the gate name of a node name).
// Exact strings are split natively; anything else through `name.split("_")[0]`,
// so other node keys fail as that expression does.
nb::object gate_name_of(PyObject* node_name);

// The nodes and dependency edges of a circuit's gate DAG, as the circuit
// model's builder names and describes them. Reading keeps each entry's gate,
// category and qubits; node names, attribute dicts and "qubits" lists are
// made when first asked for (compression keeps few of its input nodes,
// decoupling reuses the entries themselves). Whatever could run user code or
// fail (iterating a qubit collection, str() of a qubit that is not an int)
// still runs while reading, in entry order.
class CircuitDag {
  public:
    size_t size() const { return nodes_.size(); }
    // The entry as read: the gate list's own tuple, or a tuple snapshot of
    // an entry given as a list.
    PyObject* entry(size_t i) const { return nodes_[i].entry; }
    PyObject* gate(size_t i) const { return PyTuple_GET_ITEM(nodes_[i].entry, 0); }
    // The category the circuit model gave the gate when it was read.
    Category category(size_t i) const { return nodes_[i].category; }
    std::span<PyObject* const> qubits(size_t i) const;
    // Asks for node i's record ahead of a read in an order far from node order.
    [[gnu::always_inline]] void prefetch_node(size_t i) const { __builtin_prefetch(&nodes_[i]); }
    // The parameters of a parameter gate; empty for other gates.
    std::span<PyObject* const> params(size_t i) const;

    // Made on first use and kept: "gate_<position>" (with show_qubits,
    // "_q<qubit>" for each qubit), {"qubits": ..., and "params", "cbits" or
    // "duration" by gate kind}, and the "qubits" list the dict holds.
    PyObject* name(size_t i);
    PyObject* attributes(size_t i);
    PyObject* qubit_list(size_t i);

    // A new "qubit" list for an edge.
    nb::object edge_qubits(const dag::DependencyEdge& edge) const;
    // Whether some entry is a conditional: only then do classical bits give
    // dependency edges.
    bool has_conditional() const { return has_conditional_; }

    dag::Dependencies dependencies;

  private:
    friend CircuitDag read_circuit(PyObject* gates, bool show_qubits, GateCategories& categories);

    struct Node {
        PyObject* entry;  // kept by entries_ or owned_
        PyObject*
            qubits;  // the tuple holding the qubits: the entry, or a snapshot of a qubit collection
        std::uint32_t first_qubit;
        std::uint32_t qubit_count;
        Category category;
    };
    struct Made {
        nb::object name, attributes, qubit_list;
    };

    bool show_qubits_ = false;
    bool has_conditional_ = false;
    nb::object entries_;             // tuple snapshot of the gate list
    std::vector<nb::object> owned_;  // snapshots of list entries and of qubit collections
    std::vector<Node> nodes_;
    std::vector<Made> made_;
};

// Reads a gate list. Raises TypeError/ValueError for an entry that is not a
// gate entry of the circuit model.
CircuitDag read_circuit(PyObject* gates, bool show_qubits, GateCategories& categories);

// Raises ValueError naming the first entry of `circuit` that acts on an int
// qubit outside 0 .. nqubits - 1; does nothing when `nqubits` is not an int.
void check_qubits_within(const CircuitDag& circuit, PyObject* nqubits);

// The same check on a circuit's gate list. A circuit without gates or
// nqubits, or entries that do not read as gate entries, are left for the
// caller to report in its own words.
void check_entry_qubits(nb::handle qc);

// The gate entry that a gate DAG node of `category` turns back into, or an
// empty object for a node that yields none; errors are those of the reads
// the entry needs (missing attribute: KeyError, short qubit list: IndexError).
nb::object entry_for_node(PyObject* gate, Category category, PyObject* attributes,
                          PyObject* qubits);

}  // namespace corvane::bind
