// corvane.circuit.optimize: the gate-compression pass GateCompressor.
//
// Every method has a generic body that works on whatever graph is in
// self.dag through networkx's own methods, with the host's arithmetic and
// lookups, so each can be called on its own and a subclass may override any
// of them. `run` and `remove_identity_gates` first check whether anything a
// user can change is still as this module made it (the methods, the module
// globals, the circuit class, the parameter types); if so the whole pass runs
// in the native engine (compress/gate_compressor.hpp) and the graph and
// circuit it leaves are built directly, indistinguishable from what the
// generic loop would leave. Otherwise the generic bodies run.
#include "common/digraph.hpp"
#include "common/gate_entries.hpp"
#include "common/interrupt_check.hpp"
#include "common/numpy_arrays.hpp"
#include "common/pyfunction.hpp"
#include "compress/gate_compressor.hpp"
#include "decompose/u3_decompose.hpp"
#include "gates/gate_matrices.hpp"

#include <array>
#include <cmath>
#include <optional>
#include <string>
#include <unordered_map>

namespace nb = nanobind;
using namespace corvane::bind;
namespace dag = corvane::dag;
namespace gates = corvane::gates;
namespace cz = corvane::compress;
using cplx = std::complex<double>;

namespace {

constexpr const char* kModuleDoc =
    "This module contains the `GateCompressor` class, which is designed to optimize quantum "
    "circuits by merging or compressing adjacent gates, reducing the number of gates in the "
    "circuit.";

constexpr const char* kClassDoc =
    "A transpiler pass that merges or compresses adjacent gates in a quantum circuit.\n"
    "\n"
    "Args:\n"
    "    TranspilerPass: The base class that provides the structure for the transpiler pass.\n";

constexpr const char* kInitDoc =
    "Initialize the pass with the default list of compressible gates and the serial counter.\n"
    "\n"
    "Args:\n"
    "    None\n"
    "\n"
    "Returns:\n"
    "    None\n";

constexpr const char* kRemoveIdentityDoc =
    "Remove gates equivalent to the identity operation from a quantum circuit.\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): The quantum circuit to process, containing a list of gates that may include\n"
    "        single- or two-qubit identity-equivalent operations.\n"
    "\n"
    "Returns:\n"
    "    QuantumCircuit: A new quantum circuit with identity-equivalent gates removed.\n";

constexpr const char* kIsAdjacentDoc =
    "Check if two gates are adjacent and can be merged in a quantum circuit.\n"
    "\n"
    "Args:\n"
    "    node1 (str): The name of the first node in the DAG.\n"
    "    node2 (str): The name of the second node in the DAG.\n"
    "\n"
    "Returns:\n"
    "    bool: True if the two gates have the same name, the name is compressible, they act on the\n"
    "        same qubits and follow each other with no other operation between them (two r gates\n"
    "        also need the same phi), False otherwise.\n";

constexpr const char* kHasAdjacentDoc =
    "Check if there exist adjacent and mergeable gates in the DAG representation of the quantum circuit.\n"
    "\n"
    "Args:\n"
    "    None\n"
    "\n"
    "Returns:\n"
    "    bool: True if some edge of the DAG joins two mergeable gates, False otherwise.\n";

#define CORVANE_RULE_RETURNS                                                                     \
    "\n"                                                                                         \
    "Returns:\n"                                                                                 \
    "    tuple: (nodes_remove, nodes_added, edges_added), three lists:\n"                        \
    "        nodes_remove (list): The nodes to remove, [node1, node2].\n"                        \
    "        nodes_added (list): The nodes to add, as (name, attributes) pairs.\n"               \
    "        edges_added (list): The edges to add or update, as (source, target, {\"qubit\": qubits})\n" \
    "            triples.\n"

#define CORVANE_RULE_DOC(first_line, type)                        \
    first_line "\n"                                               \
    "\n"                                                          \
    "Args:\n"                                                     \
    "    node1" type ": The first node on the edge.\n"            \
    "    node2" type ": The second node on the edge.\n" CORVANE_RULE_RETURNS

constexpr const char* kSingleDoc = CORVANE_RULE_DOC(
    "Compress two adjacent single-qubit gates in a dag by removing them and updating connections.", " (str)");
constexpr const char* kSingleParamDoc = CORVANE_RULE_DOC(
    "Compress two adjacent single-qubit parameter gates in a dag by removing them and updating connections.",
    " (str)");
constexpr const char* kTwoDoc = CORVANE_RULE_DOC(
    "Compress two adjacent two-qubit gates in a dag by removing them and updating connections.", " (str)");
constexpr const char* kTwoParamDoc = CORVANE_RULE_DOC(
    "Compress two adjacent two-qubit parameter gates in a dag by removing them and updating connections.",
    " (str)");
constexpr const char* kThreeDoc = CORVANE_RULE_DOC(
    "Compress two adjacent three-qubit gates in a dag by removing them and updating connections.", "");

constexpr const char* kRunOnceDoc =
    "Compress two adjacent gates.\n"
    "\n"
    "Args:\n"
    "    node1 (str): The first node on the edge.\n"
    "    node2 (str): The second node on the edge.\n"
    "\n"
    "Returns:\n"
    "    tuple: (nodes_remove, nodes_added, edges_added), three lists:\n"
    "        nodes_remove (list): The nodes to remove, [node1, node2].\n"
    "        nodes_added (list): The nodes to add, as (name, attributes) pairs.\n"
    "        edges_added (list): The edges to add or update, as (source, target, {\"qubit\": qubits})\n"
    "            triples.\n"
    "    None if the gate belongs to none of the gate categories.\n";

constexpr const char* kIdxDoc =
    "Draw the next serial number for the name of a node that a merge creates.\n"
    "\n"
    "Args:\n"
    "    None\n"
    "\n"
    "Returns:\n"
    "    int: The counter after it has been advanced by one.\n";

constexpr const char* kRunDoc =
    "Merges or compresses adjacent gates in a quantum circuit.\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): The input quantum circuit to be optimized.\n"
    "\n"
    "Returns:\n"
    "    QuantumCircuit: A new quantum circuit with merged or compressed gates.\n";

constexpr const char* kCompressible[] = {"id", "x",  "y",  "z",  "h",   "cx",  "cnot",
                                         "cy", "cz", "swap", "rx", "ry", "rz",  "p",
                                         "u",  "rxx", "ryy", "rzz", "ccx", "ccz", "cswap"};

constexpr const char* kCategoryGlobals[5] = {
    "one_qubit_gates_available", "two_qubit_gates_available", "one_qubit_parameter_gates_available",
    "two_qubit_parameter_gates_available", "three_qubit_gates_available"};

// The dispatch of run_compress_once: category global and rule, in test order.
constexpr std::pair<const char*, const char*> kDispatch[5] = {
    {"one_qubit_gates_available", "compress_adjacent_single_qubit_gates"},
    {"one_qubit_parameter_gates_available", "compress_adjacent_single_parameter_qubit_gates"},
    {"two_qubit_gates_available", "compress_adjacent_two_qubit_gates"},
    {"two_qubit_parameter_gates_available", "compress_adjacent_two_qubit_parameter_gates"},
    {"three_qubit_gates_available", "compress_adjacent_three_qubit_gates"},
};

constexpr const char* kOverridable[] = {
    "remove_identity_gates", "is_adjacent_gates", "has_adjacent_gates",
    "compress_adjacent_single_qubit_gates", "compress_adjacent_single_parameter_qubit_gates",
    "compress_adjacent_two_qubit_gates", "compress_adjacent_two_qubit_parameter_gates",
    "compress_adjacent_three_qubit_gates", "run_compress_once", "idx"};

// Instance attributes the pass reads and writes; a class attribute of one of
// these names (a property, say) would see what the generic loop does.
constexpr const char* kInstanceState[] = {"dag", "_idx", "compressible_gates"};

struct MatrixName {
    const char* name;
    cz::MatrixKind kind;
};
constexpr MatrixName kMatrixNames[] = {
    {"rx", cz::MatrixKind::rx},   {"ry", cz::MatrixKind::ry},   {"rz", cz::MatrixKind::rz},
    {"p", cz::MatrixKind::p},     {"u", cz::MatrixKind::u},     {"r", cz::MatrixKind::r},
    {"rxx", cz::MatrixKind::rxx}, {"ryy", cz::MatrixKind::ryy}, {"rzz", cz::MatrixKind::rzz},
    {"cp", cz::MatrixKind::cp},
};

// What the module bound at import, to tell later whether a user replaced it.
// Lives for the life of the process.
struct Originals {
    PyObject* module = nullptr;
    PyObject* cls = nullptr;  // GateCompressor
    nb::object quantum_circuit, qc_deepcopy;
    nb::object qc2dag, dag2qc, u3_decompose, u_mat, gate_matrix_dict;
    nb::object table_copy;  // the entries of gate_matrix_dict as bound at import
    nb::object numpy, allclose, eye;
    nb::object copy_deepcopy;
    nb::object dag_module, helpers_module, native_convert, networkx;
    std::vector<std::pair<nb::object, nb::object>> members;  // name, object
    std::unordered_map<PyObject*, cz::MatrixKind> matrix_functions;
    nb::object key_qubits, key_params, key_qubit, key_dag, key_idx, key_compressible, key_gates;
    nb::object empty_str, r_str, underscore;
};
Originals* O = nullptr;

nb::object intern(const char* text) { return checked(PyUnicode_InternFromString(text)); }

nb::object glob(const char* name) { return global(O->module, name); }

bool truth(nb::handle value) { return convert_bool(value.ptr()); }

bool equal(nb::handle a, nb::handle b) {
    nb::object result = checked(PyObject_RichCompare(a.ptr(), b.ptr(), Py_EQ));
    return truth(result);
}

bool contains(nb::handle container, nb::handle item) {
    int in = PySequence_Contains(container.ptr(), item.ptr());
    check(in >= 0);
    return in == 1;
}

nb::object item(nb::handle container, nb::handle key) {
    return checked(PyObject_GetItem(container.ptr(), key.ptr()));
}

nb::object item(nb::handle container, Py_ssize_t index) {
    nb::object key = checked(PyLong_FromSsize_t(index));
    return item(container, key);
}

nb::object list_of(nb::handle iterable) { return checked(PySequence_List(iterable.ptr())); }

nb::object call_star(nb::handle fn, nb::handle args) {
    nb::object tuple = checked(PySequence_Tuple(args.ptr()));
    return checked(PyObject_Call(fn.ptr(), tuple.ptr(), nullptr));
}

nb::object qubit_dict(nb::handle qubits) {
    nb::object d = checked(PyDict_New());
    check(PyDict_SetItem(d.ptr(), O->key_qubit.ptr(), qubits.ptr()) == 0);
    return d;
}

void append(nb::handle list, nb::handle value) { check(PyList_Append(list.ptr(), value.ptr()) == 0); }

// `a, b, c = value` with the host's message for a value that cannot be iterated.
std::vector<nb::object> unpack_result(nb::handle value, Py_ssize_t count) {
    if (Py_TYPE(value.ptr())->tp_iter == nullptr && !PySequence_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object", Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    return unpack(value.ptr(), count);
}

// ---- the generic bodies --------------------------------------------------------------

nb::object node_data(nb::handle self, nb::handle node, nb::handle key) {
    nb::object nodes = self.attr("dag").attr("nodes");
    return item(item(nodes, node), key);
}

nb::object edge_qubit(nb::handle self, nb::handle u, nb::handle v) {
    nb::object data = self.attr("dag").attr("get_edge_data")(u, v);
    return item(data, O->key_qubit);
}

bool np_allclose_identity(nb::handle mat) {
    nb::object np = glob("np");
    nb::object n = item(mat.attr("shape"), 0);
    return truth(np.attr("allclose")(mat, np.attr("eye")(n)));
}

nb::object gi_init(Args a) {
    nb::handle self = a[0];
    nb::object super_obj = checked(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PySuper_Type),
                                                                O->cls, self.ptr(), nullptr));
    super_obj.attr("__init__")();
    nb::object names = checked(PyList_New(0));
    for (const char* name : kCompressible) append(names, nb::str(name));
    self.attr("compressible_gates") = names;
    self.attr("_idx") = nb::int_(1000000);
    return nb::none();
}

// The three globals are looked up once and kept while only native code runs;
// any call into Python (a matrix function, numpy) may rebind them, so after
// one the next entry looks them up again, as the loop does at every entry.
struct EntryGlobals {
    nb::object one_param, two_param, table;
    void refresh() {
        if (one_param.is_valid()) return;
        one_param = glob("one_qubit_parameter_gates_available");
        two_param = glob("two_qubit_parameter_gates_available");
        table = glob("gate_matrix_dict");
    }
    void forget() { one_param = two_param = table = nb::object(); }
};

// Whether one gate entry stays: parameter gates go when their matrix is the
// identity. `fast` allows the native matrix for plain numbers when numpy's
// own allclose and eye are in place.
bool keep_entry(nb::handle gate_info, bool fast, EntryGlobals& globals) {
    globals.refresh();
    nb::object gate = PyTuple_CheckExact(gate_info.ptr()) && PyTuple_GET_SIZE(gate_info.ptr()) > 0
                          ? nb::borrow(PyTuple_GET_ITEM(gate_info.ptr(), 0))
                          : item(gate_info, 0);
    Py_ssize_t cut;
    if (contains(globals.one_param, gate)) {
        cut = 1;
    } else if (contains(globals.two_param, gate)) {
        cut = 2;
    } else {
        return true;
    }
    nb::object fn = item(globals.table, gate);
    if (fast && PyTuple_CheckExact(gate_info.ptr())) {
        auto found = O->matrix_functions.find(fn.ptr());
        const Py_ssize_t size = PyTuple_GET_SIZE(gate_info.ptr());
        if (found != O->matrix_functions.end() &&
            size - 1 - cut == static_cast<Py_ssize_t>(cz::parameter_count(found->second))) {
            double v[3] = {0, 0, 0};
            bool plain = true;
            for (Py_ssize_t i = 1; i < size - cut && plain; ++i) {
                PyObject* p = PyTuple_GET_ITEM(gate_info.ptr(), i);
                if (PyFloat_CheckExact(p)) {
                    v[i - 1] = PyFloat_AS_DOUBLE(p);
                } else if (PyLong_CheckExact(p)) {
                    int overflow = 0;
                    long long x = PyLong_AsLongLongAndOverflow(p, &overflow);
                    plain = !overflow && x < cz::kExactIntLimit && x > -cz::kExactIntLimit;
                    v[i - 1] = static_cast<double>(x);
                } else {
                    plain = false;
                }
            }
            if (plain) {
                auto id2 = [](const gates::Matrix2& m) { return cz::allclose_identity(m.data(), 2); };
                auto id4 = [](const gates::Matrix4& m) { return cz::allclose_identity(m.data(), 4); };
                switch (found->second) {
                    case cz::MatrixKind::rx: return !id2(gates::rx_matrix(v[0]));
                    case cz::MatrixKind::ry: return !id2(gates::ry_matrix(v[0]));
                    case cz::MatrixKind::rz: return !id2(gates::rz_matrix(v[0]));
                    case cz::MatrixKind::p: return !id2(gates::p_matrix(v[0]));
                    case cz::MatrixKind::u: return !id2(gates::u_matrix(v[0], v[1], v[2]));
                    case cz::MatrixKind::r: return !id2(gates::r_matrix(v[0], v[1]));
                    case cz::MatrixKind::rxx: return !id4(gates::rxx_matrix(v[0]));
                    case cz::MatrixKind::ryy: return !id4(gates::ryy_matrix(v[0]));
                    case cz::MatrixKind::rzz: return !id4(gates::rzz_matrix(v[0]));
                    case cz::MatrixKind::cp: return !id4(gates::cp_matrix(v[0]));
                    case cz::MatrixKind::none: break;
                }
            }
        }
    }
    globals.forget();
    nb::object slice = checked(PySlice_New(nb::int_(1).ptr(), nb::int_(-cut).ptr(), nullptr));
    nb::object params = item(gate_info, slice);
    nb::object mat = call_star(fn, params);
    return !np_allclose_identity(mat);
}

// numpy's allclose and eye, reached through this module's np, are numpy's own.
bool numpy_untouched() {
    nb::object np = glob("np");
    if (!np.is(O->numpy)) return false;
    PyObject* d = PyModule_GetDict(np.ptr());
    return PyDict_GetItemString(d, "allclose") == O->allclose.ptr() &&
           PyDict_GetItemString(d, "eye") == O->eye.ptr();
}

nb::object instance_dict(nb::handle obj) {
    PyObject* d = PyObject_GenericGetDict(obj.ptr(), nullptr);
    if (!d) {
        PyErr_Clear();
        return {};
    }
    return nb::steal(d);
}

// The circuit is exactly the circuit model's class with its own deepcopy.
bool plain_circuit(nb::handle qc) {
    if (reinterpret_cast<PyObject*>(Py_TYPE(qc.ptr())) != O->quantum_circuit.ptr()) return false;
    PyObject* method = PyObject_GetAttrString(O->quantum_circuit.ptr(), "deepcopy");
    if (!method) {
        PyErr_Clear();
        return false;
    }
    const bool same = method == O->qc_deepcopy.ptr();
    Py_DECREF(method);
    if (!same) return false;
    nb::object d = instance_dict(qc);
    return d.is_valid() && PyDict_GetItemString(d.ptr(), "deepcopy") == nullptr;
}

// deepcopy(qc) whose gate list is not copied: nobody sees the copy's list,
// which is replaced at once, and copying a long list of tuples is the cost.
nb::object copy_without_gates(nb::handle qc, nb::handle gates) {
    nb::object memo = checked(PyDict_New());
    nb::object key = checked(PyLong_FromVoidPtr(gates.ptr()));
    nb::object placeholder = checked(PyList_New(0));
    check(PyDict_SetItem(memo.ptr(), key.ptr(), placeholder.ptr()) == 0);
    return O->copy_deepcopy(qc, memo);
}

nb::object filter_entries(nb::handle gates, bool fast) {
    nb::object kept = checked(PyList_New(0));
    EntryGlobals globals;
    nb::object iterator = checked(PyObject_GetIter(gates.ptr()));
    InterruptPoll poll;
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object gate_info = nb::steal(raw);
        poll.tick();
        if (keep_entry(gate_info, fast, globals)) append(kept, gate_info);
    }
    check(!PyErr_Occurred());
    return kept;
}

nb::object gi_remove_identity_gates(Args a) {
    nb::handle qc = a[1];
    if (plain_circuit(qc)) {
        nb::object gates = qc.attr("gates");
        nb::object new_qc = copy_without_gates(qc, gates);
        new_qc.attr("gates") = filter_entries(gates, numpy_untouched());
        return new_qc;
    }
    nb::object new_qc = qc.attr("deepcopy")();
    nb::object kept = filter_entries(qc.attr("gates"), numpy_untouched());
    new_qc.attr("gates") = kept;
    return new_qc;
}

nb::object gi_is_adjacent_gates(Args a) {
    nb::handle self = a[0];
    nb::handle node1 = require_str(a[1], "node1");
    nb::handle node2 = require_str(a[2], "node2");
    nb::object gate1 = gate_name_of(node1.ptr());
    nb::object gate2 = gate_name_of(node2.ptr());
    nb::object qubits1 = node_data(self, node1, O->key_qubits);
    nb::object qubits2 = node_data(self, node2, O->key_qubits);
    if (!equal(gate1, gate2)) return nb::bool_(false);
    if (!contains(self.attr("compressible_gates"), gate1)) return nb::bool_(false);
    if (!equal(qubits1, qubits2)) return nb::bool_(false);
    nb::object out_edges = list_of(self.attr("dag").attr("out_edges")(node1));
    nb::object in_edges = list_of(self.attr("dag").attr("in_edges")(node2));
    if (!equal(out_edges, in_edges)) return nb::bool_(false);
    if (equal(gate1, O->r_str)) {
        // An "r" pair is one rotation only about the same axis.
        nb::object phi1 = item(node_data(self, node1, O->key_params), 1);
        nb::object phi2 = item(node_data(self, node2, O->key_params), 1);
        if (!equal(phi1, phi2)) return nb::bool_(false);
    }
    return nb::bool_(true);
}

nb::object gi_has_adjacent_gates(Args a) {
    nb::handle self = a[0];
    nb::object iterator = checked(PyObject_GetIter(self.attr("dag").attr("edges")().ptr()));
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        nb::object edge = nb::steal(raw);
        auto ends = unpack(edge.ptr(), 2);
        if (truth(self.attr("is_adjacent_gates")(ends[0], ends[1]))) return nb::bool_(true);
    }
    check(!PyErr_Occurred());
    return nb::bool_(false);
}

struct MergeLists {
    nb::object remove, added, edges;
    MergeLists(nb::handle node1, nb::handle node2)
        : remove(checked(PyList_New(0))), added(checked(PyList_New(0))), edges(checked(PyList_New(0))) {
        append(remove, node1);
        append(remove, node2);
    }
    nb::object result() const { return nb::make_tuple(remove, added, edges); }
    void edge(nb::handle u, nb::handle v, nb::handle qubits) {
        append(edges, nb::make_tuple(u, v, qubit_dict(qubits)));
    }
};

// The single predecessor of node1 and the single successor of node2, or None.
std::pair<nb::object, nb::object> single_neighbours(nb::handle self, nb::handle node1, nb::handle node2) {
    nb::object preds = list_of(self.attr("dag").attr("predecessors")(node1));
    nb::object pre = PyList_GET_SIZE(preds.ptr()) ? item(preds, 0) : nb::object(nb::none());
    nb::object succs = list_of(self.attr("dag").attr("successors")(node2));
    nb::object suc = PyList_GET_SIZE(succs.ptr()) ? item(succs, 0) : nb::object(nb::none());
    return {pre, suc};
}

void relink_single(nb::handle self, nb::handle node1, nb::handle node2, nb::handle pre, nb::handle suc,
                   MergeLists& lists) {
    if (pre.is_none() || suc.is_none()) return;
    if (truth(self.attr("dag").attr("has_edge")(pre, suc))) {
        // The direct edge keeps its own qubits and takes over the one that ran
        // through the removed pair.
        nb::object merged = checked(PySet_New(edge_qubit(self, pre, suc).ptr()));
        nb::object through = edge_qubit(self, node1, node2);
        nb::object it = checked(PyObject_GetIter(through.ptr()));
        while (PyObject* raw = PyIter_Next(it.ptr())) {
            nb::object q = nb::steal(raw);
            check(PySet_Add(merged.ptr(), q.ptr()) == 0);
        }
        check(!PyErr_Occurred());
        nb::object sorted = list_of(merged);
        check(PyList_Sort(sorted.ptr()) == 0);
        lists.edge(pre, suc, sorted);
    } else {
        lists.edge(pre, suc, edge_qubit(self, node1, node2));
    }
}

// node -> "qubit" list of its edge with the pair, or None without neighbours.
nb::object neighbour_map(nb::handle self, nb::handle node, bool before) {
    nb::object nodes = list_of(self.attr("dag").attr(before ? "predecessors" : "successors")(node));
    if (PyList_GET_SIZE(nodes.ptr()) == 0) return nb::none();
    nb::object map = checked(PyDict_New());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(nodes.ptr()); ++i) {
        nb::handle other = PyList_GET_ITEM(nodes.ptr(), i);
        nb::object q = before ? edge_qubit(self, other, node) : edge_qubit(self, node, other);
        check(PyDict_SetItem(map.ptr(), other.ptr(), q.ptr()) == 0);
    }
    return map;
}

void relink_many(nb::handle self, nb::handle pre_dic, nb::handle suc_dic, MergeLists& lists) {
    if (pre_dic.is_none() || suc_dic.is_none()) return;
    Py_ssize_t i = 0;
    PyObject *pre, *qubits1;
    while (PyDict_Next(pre_dic.ptr(), &i, &pre, &qubits1)) {
        Py_ssize_t j = 0;
        PyObject *suc, *qubits2;
        while (PyDict_Next(suc_dic.ptr(), &j, &suc, &qubits2)) {
            nb::object common = checked(PyList_New(0));
            nb::object it = checked(PyObject_GetIter(qubits1));
            while (PyObject* raw = PyIter_Next(it.ptr())) {
                nb::object q = nb::steal(raw);
                if (contains(qubits2, q)) append(common, q);
            }
            check(!PyErr_Occurred());
            if (PyList_GET_SIZE(common.ptr()) == 0) continue;
            if (truth(self.attr("dag").attr("has_edge")(nb::handle(pre), nb::handle(suc)))) {
                common.attr("extend")(edge_qubit(self, pre, suc));
                nb::object unique = checked(PySet_New(common.ptr()));
                common = list_of(unique);
            }
            lists.edge(pre, suc, common);
        }
    }
}

// gate + "_" + serial + "_" + qubits, each formatted as an f-string does.
nb::object fused_name(nb::handle gate, nb::handle serial, nb::handle qubits) {
    nb::object parts = checked(PyList_New(0));
    append(parts, checked(PyObject_Format(gate.ptr(), O->empty_str.ptr())));
    append(parts, O->underscore);
    append(parts, checked(PyObject_Format(serial.ptr(), O->empty_str.ptr())));
    append(parts, O->underscore);
    append(parts, checked(PyObject_Format(qubits.ptr(), O->empty_str.ptr())));
    return checked(PyUnicode_Join(O->empty_str.ptr(), parts.ptr()));
}

nb::object summed(nb::handle params1, nb::handle params2) {
    const Py_ssize_t n = PyObject_Length(params1.ptr());
    check(n >= 0);
    nb::object out = checked(PyList_New(0));
    for (Py_ssize_t i = 0; i < n; ++i)
        append(out, checked(PyNumber_Add(item(params1, i).ptr(), item(params2, i).ptr())));
    return out;
}

// The merged parameters of a parameter pair.
nb::object merged_parameters(nb::handle self, nb::handle gate, nb::handle node1, nb::handle node2, bool one) {
    nb::object params1 = node_data(self, node1, O->key_params);
    nb::object params2 = node_data(self, node2, O->key_params);
    if (one && equal(gate, nb::str("u"))) {
        nb::object u_mat = glob("u_mat");
        nb::object u1 = call_star(u_mat, params1);
        nb::object u2 = call_star(u_mat, params2);
        nb::object product = checked(PyNumber_MatrixMultiply(u2.ptr(), u1.ptr()));
        auto angles = unpack(glob("u3_decompose")(product).ptr(), 4);
        nb::object out = checked(PyList_New(0));
        for (int k = 0; k < 3; ++k) append(out, angles[k]);
        return out;
    }
    if (one && equal(gate, O->r_str)) {
        // The pair has one phi (is_adjacent_gates checks it): only theta adds.
        nb::object out = checked(PyList_New(0));
        append(out, checked(PyNumber_Add(item(params1, 0).ptr(), item(params2, 0).ptr())));
        append(out, item(params1, 1));
        return out;
    }
    return summed(params1, params2);
}

nb::object gi_single(Args a) {
    nb::handle self = a[0];
    nb::handle node1 = require_str(a[1], "node1");
    nb::handle node2 = require_str(a[2], "node2");
    MergeLists lists(node1, node2);
    auto [pre, suc] = single_neighbours(self, node1, node2);
    relink_single(self, node1, node2, pre, suc, lists);
    return lists.result();
}

// The node a fusion adds: named with a fresh serial drawn through `idx`, with
// the first node's qubit list and the merged parameters.
nb::object add_fused_node(nb::handle self, nb::handle gate, nb::handle node1, nb::handle params,
                          MergeLists& lists) {
    nb::object qubits = node_data(self, node1, O->key_qubits);
    nb::object name = fused_name(gate, self.attr("idx"), qubits);
    nb::object attributes = checked(PyDict_New());
    check(PyDict_SetItem(attributes.ptr(), O->key_qubits.ptr(), qubits.ptr()) == 0);
    check(PyDict_SetItem(attributes.ptr(), O->key_params.ptr(), params.ptr()) == 0);
    append(lists.added, nb::make_tuple(name, attributes));
    return name;
}

nb::object gi_single_param(Args a) {
    nb::handle self = a[0];
    nb::handle node1 = require_str(a[1], "node1");
    nb::handle node2 = require_str(a[2], "node2");
    MergeLists lists(node1, node2);
    auto [pre, suc] = single_neighbours(self, node1, node2);
    nb::object gate = gate_name_of(node1.ptr());
    nb::object params = merged_parameters(self, gate, node1, node2, true);
    nb::object mat = call_star(item(glob("gate_matrix_dict"), gate), params);
    if (np_allclose_identity(mat)) {
        relink_single(self, node1, node2, pre, suc, lists);
        return lists.result();
    }
    nb::object name = add_fused_node(self, gate, node1, params, lists);
    if (!pre.is_none()) lists.edge(pre, name, edge_qubit(self, pre, node1));
    if (!suc.is_none()) lists.edge(name, suc, edge_qubit(self, node2, suc));
    return lists.result();
}

nb::object many_cancel(nb::handle self, nb::handle node1, nb::handle node2) {
    MergeLists lists(node1, node2);
    nb::object pre_dic = neighbour_map(self, node1, true);
    nb::object suc_dic = neighbour_map(self, node2, false);
    relink_many(self, pre_dic, suc_dic, lists);
    return lists.result();
}

nb::object gi_two(Args a) {
    return many_cancel(a[0], require_str(a[1], "node1"), require_str(a[2], "node2"));
}

nb::object gi_three(Args a) { return many_cancel(a[0], a[1], a[2]); }

nb::object gi_two_param(Args a) {
    nb::handle self = a[0];
    nb::handle node1 = require_str(a[1], "node1");
    nb::handle node2 = require_str(a[2], "node2");
    MergeLists lists(node1, node2);
    nb::object pre_dic = neighbour_map(self, node1, true);
    nb::object suc_dic = neighbour_map(self, node2, false);
    nb::object gate = gate_name_of(node1.ptr());
    nb::object params = merged_parameters(self, gate, node1, node2, false);
    nb::object mat = call_star(item(glob("gate_matrix_dict"), gate), params);
    if (np_allclose_identity(mat)) {
        relink_many(self, pre_dic, suc_dic, lists);
        return lists.result();
    }
    nb::object name = add_fused_node(self, gate, node1, params, lists);
    for (nb::handle map : {nb::handle(pre_dic), nb::handle(suc_dic)}) {
        if (map.is_none()) continue;
        Py_ssize_t i = 0;
        PyObject *other, *q;
        while (PyDict_Next(map.ptr(), &i, &other, &q)) {
            if (map.is(pre_dic)) lists.edge(other, name, q);
            else lists.edge(name, other, q);
        }
    }
    return lists.result();
}

nb::object gi_run_compress_once(Args a) {
    nb::handle self = a[0];
    nb::handle node1 = require_str(a[1], "node1");
    nb::handle node2 = require_str(a[2], "node2");
    nb::object gate = gate_name_of(node1.ptr());
    for (const auto& [category, rule] : kDispatch)
        if (contains(glob(category), gate)) return self.attr(rule)(node1, node2);
    return nb::none();
}

nb::object gi_idx(Args a) {
    nb::handle self = a[0];
    nb::object next = checked(PyNumber_Add(self.attr("_idx").ptr(), nb::int_(1).ptr()));
    self.attr("_idx") = next;
    return self.attr("_idx");
}

nb::object generic_run(nb::handle self, nb::handle qc) {
    nb::object qubits = qc.attr("qubits");
    nb::object qc1 = self.attr("remove_identity_gates")(qc);
    self.attr("dag") = glob("qc2dag")(qc1);
    bool compress = truth(self.attr("has_adjacent_gates")());
    while (compress) {
        nb::object iterator = checked(PyObject_GetIter(self.attr("dag").attr("edges")().ptr()));
        while (PyObject* raw = PyIter_Next(iterator.ptr())) {
            nb::object edge = nb::steal(raw);
            auto ends = unpack(edge.ptr(), 2);
            if (!truth(self.attr("is_adjacent_gates")(ends[0], ends[1]))) continue;
            auto lists = unpack_result(self.attr("run_compress_once")(ends[0], ends[1]), 3);
            self.attr("dag").attr("remove_nodes_from")(lists[0]);
            self.attr("dag").attr("add_nodes_from")(lists[1]);
            self.attr("dag").attr("add_edges_from")(lists[2]);
            break;  // the graph changed: the walk starts again
        }
        check(!PyErr_Occurred());
        compress = truth(self.attr("has_adjacent_gates")());
    }
    nb::object new_qc = glob("dag2qc")(self.attr("dag"), qc1.attr("nqubits"), qc1.attr("ncbits"));
    new_qc.attr("qubits") = qubits;
    return new_qc;
}

// ---- the native engine -----------------------------------------------------------

bool plain_number(PyObject* p, cz::Number& out) {
    if (PyFloat_CheckExact(p)) {
        out = cz::Number::of_float(PyFloat_AS_DOUBLE(p));
        return true;
    }
    if (PyLong_CheckExact(p)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
        if (overflow || v >= cz::kExactIntLimit || v <= -cz::kExactIntLimit) return false;
        out = cz::Number::of_int(v);
        return true;
    }
    return false;
}

std::optional<std::int64_t> small_int(PyObject* p) {
    if (!PyLong_CheckExact(p)) return std::nullopt;
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(p, &overflow);
    if (overflow) return std::nullopt;
    return v;
}

nb::object module_attr(nb::handle module, const char* name) {
    PyObject* v = PyDict_GetItemString(PyModule_GetDict(module.ptr()), name);
    return v ? nb::borrow(v) : nb::object();
}

// Everything the generic loop would look up is what this module and its
// neighbours bound at import, and the pass object is not specialised.
bool engine_allowed(nb::handle self) {
    PyTypeObject* type = Py_TYPE(self.ptr());
    if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr) return false;
    nb::object dict = instance_dict(self);
    if (!dict.is_valid()) return false;
    for (const auto& [name, object] : O->members) {
        PyObject* found = PyObject_GetAttr(reinterpret_cast<PyObject*>(type), name.ptr());
        if (!found) {
            PyErr_Clear();
            return false;
        }
        const bool same = found == object.ptr();
        Py_DECREF(found);
        if (!same || PyDict_GetItem(dict.ptr(), name.ptr())) return false;
    }
    for (const char* name : kInstanceState) {
        PyObject* found = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), name);
        if (found) {
            Py_DECREF(found);
            return false;
        }
        PyErr_Clear();
    }
    auto is = [](const char* name, const nb::object& original) {
        nb::object v = module_attr(O->module, name);
        return v.is_valid() && v.is(original);
    };
    if (!is("qc2dag", O->qc2dag) || !is("dag2qc", O->dag2qc) || !is("u3_decompose", O->u3_decompose) ||
        !is("u_mat", O->u_mat) || !is("gate_matrix_dict", O->gate_matrix_dict))
        return false;
    if (!numpy_untouched()) return false;
    PyObject* table = O->gate_matrix_dict.ptr();
    if (!PyDict_CheckExact(table)) return false;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(O->table_copy.ptr(), &pos, &key, &value))
        if (PyDict_GetItem(table, key) != value) return false;
    // One set of category mappings everywhere: the builder of the graph, the
    // rules here and the rebuilding of the circuit all agree on every name.
    for (const char* name : kCategoryGlobals) {
        nb::object mine = module_attr(O->module, name);
        nb::object helpers = module_attr(O->helpers_module, name);
        nb::object in_dag = module_attr(O->dag_module, name);
        if (!mine.is_valid() || !mine.is(helpers) || !mine.is(in_dag) || !PyDict_CheckExact(mine.ptr())) return false;
    }
    {
        nb::object helpers = module_attr(O->helpers_module, "functional_gates_available");
        nb::object in_dag = module_attr(O->dag_module, "functional_gates_available");
        if (!helpers.is_valid() || !helpers.is(in_dag)) return false;
    }
    nb::object convert = module_attr(O->dag_module, "convert_gate_info_to_dag_info");
    nb::object nx = module_attr(O->dag_module, "nx");
    nb::object qc_class = module_attr(O->dag_module, "QuantumCircuit");
    if (!convert.is_valid() || !convert.is(O->native_convert) || !nx.is_valid() || !nx.is(O->networkx) ||
        !qc_class.is_valid() || !qc_class.is(O->quantum_circuit))
        return false;
    nb::object digraph = module_attr(nx, "DiGraph");
    return digraph.is_valid() && digraph.is(networkx_digraph_type());
}

// Every parameter of a parameter gate is a plain number, every entry an exact
// tuple named by an exact string.
bool entries_plain(PyObject* gates, nb::handle one_param, nb::handle two_param) {
    const Py_ssize_t count = PyList_GET_SIZE(gates);
    PyObject* last_name = nullptr;
    Py_ssize_t last_cut = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* entry = PyList_GET_ITEM(gates, i);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) == 0) return false;
        PyObject* name = PyTuple_GET_ITEM(entry, 0);
        if (!PyUnicode_CheckExact(name)) return false;
        Py_ssize_t cut;
        if (name == last_name) {
            cut = last_cut;
        } else {
            cut = contains(one_param, name) ? 1 : contains(two_param, name) ? 2 : 0;
            last_name = name;
            last_cut = cut;
        }
        if (!cut) continue;
        cz::Number n;
        for (Py_ssize_t k = 1; k < PyTuple_GET_SIZE(entry) - cut; ++k)
            if (!plain_number(PyTuple_GET_ITEM(entry, k), n)) return false;
    }
    return true;
}

// The native run: the result, or an empty object when the circuit holds
// something the engine does not reproduce (the caller runs the generic loop).
struct NativeInput {
    CircuitDag circuit;
    cz::Circuit engine;
    std::vector<nb::object> kind_names;
};

cz::Hooks host_hooks() {
    cz::Hooks hooks;
    hooks.deduplicate = [](std::vector<std::int64_t>& items) {
        nb::object list = checked(PyList_New(0));
        for (std::int64_t q : items) append(list, checked(PyLong_FromLongLong(q)));
        nb::object unique = list_of(checked(PySet_New(list.ptr())));
        items.clear();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(unique.ptr()); ++i)
            items.push_back(PyLong_AsLongLong(PyList_GET_ITEM(unique.ptr(), i)));
    };
    hooks.multiply = [](const gates::Matrix2& later, const gates::Matrix2& earlier) {
        nb::object a = to_array(later), b = to_array(earlier);
        nb::object product = checked(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
        auto* arr = reinterpret_cast<PyArrayObject*>(product.ptr());
        gates::Matrix2 out;
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j)
                std::memcpy(&out[2 * i + j], PyArray_BYTES(arr) + i * PyArray_STRIDE(arr, 0) + j * PyArray_STRIDE(arr, 1),
                            sizeof(cplx));
        return out;
    };
    return hooks;
}

// Reads the kept entries into the engine's input; false when a value falls
// outside what the engine reproduces.
bool build_input(NativeInput& in, nb::handle kept, nb::handle compressible) {
    GateCategories categories = GateCategories::of_circuit_model();
    in.circuit = read_circuit(kept.ptr(), true, categories);
    const Py_ssize_t n = PyList_GET_SIZE(kept.ptr());
    cz::Circuit& c = in.engine;
    c.node_kind.reserve(n);
    c.qubit_offsets.reserve(n + 1);
    c.qubits.reserve(n * 2);
    c.param_offsets.reserve(n + 1);

    nb::object dispatch[5];
    for (int k = 0; k < 5; ++k) dispatch[k] = glob(kDispatch[k].first);
    std::unordered_map<std::string, std::uint32_t> by_text;
    PyObject* last_name = nullptr;
    std::uint32_t last_kind = 0;
    InterruptPoll poll;
    for (Py_ssize_t i = 0; i < n; ++i) {
        poll.tick();
        PyObject* name = in.circuit.gate(i);
        std::uint32_t kind_index;
        if (name == last_name) {
            kind_index = last_kind;
        } else {
            std::string text(utf8_of(name));
            auto found = by_text.find(text);
            if (found != by_text.end()) {
                kind_index = found->second;
            } else {
                cz::GateKind kind;
                int memberships = 0;
                for (int k = 0; k < 5; ++k) {
                    if (contains(dispatch[k], name)) {
                        if (memberships++ == 0) kind.rule = static_cast<cz::Rule>(k);
                    }
                }
                kind.compressible = contains(compressible, name);
                kind.is_r = text == "r";
                if (kind.compressible) {
                    if (memberships > 1) return false;
                    if (kind.rule == cz::Rule::one_qubit_parameter || kind.rule == cz::Rule::two_qubit_parameter) {
                        const bool one = kind.rule == cz::Rule::one_qubit_parameter;
                        for (const auto& m : kMatrixNames) {
                            if (text == m.name) kind.matrix = m.kind;
                        }
                        const bool two_kind = kind.matrix >= cz::MatrixKind::rxx;
                        if (kind.matrix == cz::MatrixKind::none || one == two_kind) return false;
                    }
                    if (kind.is_r && kind.rule != cz::Rule::one_qubit_parameter) return false;
                }
                kind_index = static_cast<std::uint32_t>(c.kinds.size());
                c.kinds.push_back(kind);
                in.kind_names.push_back(nb::borrow(name));
                by_text.emplace(std::move(text), kind_index);
            }
            last_name = name;
            last_kind = kind_index;
        }
        c.node_kind.push_back(kind_index);
        const cz::GateKind& kind = c.kinds[kind_index];

        for (PyObject* qubit : in.circuit.qubits(i)) {
            auto q = small_int(qubit);
            if (!q) return false;
            c.qubits.push_back(*q);
        }
        c.qubit_offsets.push_back(static_cast<std::uint32_t>(c.qubits.size()));
        if (kind.rule == cz::Rule::one_qubit_parameter || kind.rule == cz::Rule::two_qubit_parameter) {
            // The circuit model read no parameters for a gate it does not
            // count as a parameter gate.
            const Category read_as = in.circuit.category(i);
            if (read_as != Category::one_qubit_parameter && read_as != Category::two_qubit_parameter) return false;
            std::span<PyObject* const> params = in.circuit.params(i);
            if (kind.compressible && params.size() != cz::parameter_count(kind.matrix)) return false;
            for (PyObject* param : params) {
                cz::Number value;
                if (!plain_number(param, value)) return false;
                c.params.push_back(value);
            }
        }
        c.param_offsets.push_back(static_cast<std::uint32_t>(c.params.size()));
    }
    const auto& deps = in.circuit.dependencies;
    c.edges.reserve(deps.edges.size());
    c.edge_qubits.reserve(deps.qubit_positions.size());
    for (const auto& edge : deps.edges) {
        const auto first = static_cast<std::uint32_t>(c.edge_qubits.size());
        const std::uint32_t base = c.qubit_offsets[edge.target];
        for (std::uint32_t k = edge.first; k < edge.last; ++k)
            c.edge_qubits.push_back(c.qubits[base + deps.qubit_positions[k]]);
        c.edges.push_back({edge.source, edge.target, first, static_cast<std::uint32_t>(c.edge_qubits.size())});
    }
    return true;
}

nb::object int_list(std::span<const std::int64_t> values) {
    nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), checked(PyLong_FromLongLong(values[i])).release().ptr());
    return list;
}

nb::object number(const cz::Number& n) {
    return n.is_int ? checked(PyLong_FromLongLong(n.integer)) : checked(PyFloat_FromDouble(n.value));
}

// The graph the generic loop would leave, and the objects of the fused nodes.
struct Materialised {
    nb::object graph;
    std::vector<nb::object> fused_names, fused_attributes;  // by node id - original count
};

Materialised materialise(NativeInput& in, const cz::Engine& engine, nb::handle qubits_copy,
                         long long first_serial) {
    Materialised out;
    const dag::GateDag& g = engine.graph();
    const std::size_t originals = engine.original_count();
    out.graph = module_attr(O->dag_module, "nx").attr("DiGraph")();
    DiGraphWriter writer(out.graph, g.node_capacity());
    const Keys& keys = Keys::get();
    const std::size_t fused = g.node_capacity() - originals;
    out.fused_names.resize(fused);
    out.fused_attributes.resize(fused);
    std::string text;
    InterruptPoll poll;
    for (dag::NodeId n = 0; n < g.node_capacity(); ++n) {
        poll.tick();
        if (!g.contains(n)) continue;
        if (engine.is_original(n)) {
            writer.add_node(n, in.circuit.name(n), in.circuit.attributes(n));
            continue;
        }
        // gate_<serial>_<qubits>, the qubit list in the host's text form.
        text.assign(utf8_of(in.kind_names[engine.kind(n)].ptr()));
        text += '_';
        text += std::to_string(first_serial + 1 + static_cast<long long>(engine.serial_index(n)));
        text += "_[";
        auto qs = engine.node_qubits(n);
        for (size_t k = 0; k < qs.size(); ++k) {
            if (k) text += ", ";
            text += std::to_string(qs[k]);
        }
        text += ']';
        nb::object name = checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        nb::object attributes = checked(PyDict_New());
        check(PyDict_SetItem(attributes.ptr(), keys.qubits, in.circuit.qubit_list(engine.qubits_origin(n))) == 0);
        auto ps = engine.node_params(n);
        nb::object params = checked(PyList_New(static_cast<Py_ssize_t>(ps.size())));
        for (size_t k = 0; k < ps.size(); ++k)
            PyList_SET_ITEM(params.ptr(), static_cast<Py_ssize_t>(k), number(ps[k]).release().ptr());
        check(PyDict_SetItem(attributes.ptr(), keys.params, params.ptr()) == 0);
        writer.add_node(n, name.ptr(), attributes.ptr());
        out.fused_names[n - originals] = std::move(name);
        out.fused_attributes[n - originals] = std::move(attributes);
    }
    // In the order the edges were added, so every _succ and every _pred dict
    // lists them as add_edges_from would have.
    for (dag::EdgeId e : engine.edges_in_insertion_order()) {
        poll.tick();
        const std::uint32_t origin = engine.edge_list_origin(e);
        nb::object list = origin != dag::kNone ? in.circuit.edge_qubits(in.circuit.dependencies.edges[origin])
                                               : int_list(engine.edge_qubits(e));
        writer.add_edge(g.source(e), g.target(e), qubit_dict(list).ptr());
    }
    writer.finish();
    out.graph.attr("graph")["qubits"] = qubits_copy;
    return out;
}

nb::object emit_circuit(NativeInput& in, const cz::Engine& engine, const Materialised& m,
                        nb::handle nqubits, nb::handle ncbits, nb::handle qubits) {
    GateCategories categories(O->dag_module);
    const Keys& keys = Keys::get();
    const dag::Generations order = dag::topological_generations(engine.graph());
    nb::object entries = checked(PyList_New(0));
    const std::size_t originals = engine.original_count();
    InterruptPoll poll;
    for (dag::NodeId n : order.order) {
        poll.tick();
        if (!engine.is_original(n)) {
            PyObject* attributes = m.fused_attributes[n - originals].ptr();
            auto [gate, category] = categories.gate_of_node(m.fused_names[n - originals].ptr());
            nb::object entry = entry_for_node(gate.ptr(), category, attributes, PyDict_GetItem(attributes, keys.qubits));
            if (entry.is_valid()) append(entries, entry);
            continue;
        }
        // An exact gate string is its node name's gate part; anything else is
        // split off the node name, as for any node.
        PyObject* read_gate = in.circuit.gate(n);
        auto [gate, category] = categories.gate_of_node(PyUnicode_CheckExact(read_gate) ? read_gate : in.circuit.name(n));
        if (category <= Category::two_qubit_parameter && PyUnicode_CheckExact(read_gate)) {
            // The very tuple the node was read from holds the items its entry would.
            append(entries, in.circuit.entry(n));
            continue;
        }
        PyObject* attributes = in.circuit.attributes(n);
        nb::object entry = entry_for_node(gate.ptr(), category, attributes, in.circuit.qubit_list(n));
        if (entry.is_valid()) append(entries, entry);
    }
    nb::object circuit = O->quantum_circuit(convert_int(nqubits.ptr(), "nqubits"), convert_int(ncbits.ptr(), "ncbits"));
    circuit.attr("gates") = entries;
    circuit.attr("qubits") = qubits;
    return circuit;
}

nb::object native_run(nb::handle self, nb::handle qc) {
    if (!engine_allowed(self) || !plain_circuit(qc)) return {};
    nb::object dict = instance_dict(self);
    PyObject* idx = PyDict_GetItem(dict.ptr(), O->key_idx.ptr());
    PyObject* compressible = PyDict_GetItem(dict.ptr(), O->key_compressible.ptr());
    if (!idx || !compressible || !PyList_CheckExact(compressible)) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(compressible); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(compressible, i))) return {};
    auto first_serial = small_int(idx);
    if (!first_serial || *first_serial > (1LL << 62) || *first_serial < -(1LL << 62)) return {};
    nb::object idx_ref = nb::borrow(idx), compressible_ref = nb::borrow(compressible);

    nb::object qubits = qc.attr("qubits");
    nb::object gates = qc.attr("gates");
    nb::object nqubits = qc.attr("nqubits"), ncbits = qc.attr("ncbits");
    if (!PyList_CheckExact(gates.ptr()) || !PyLong_CheckExact(nqubits.ptr()) || !PyLong_CheckExact(ncbits.ptr()))
        return {};
    if (!entries_plain(gates.ptr(), glob("one_qubit_parameter_gates_available"),
                       glob("two_qubit_parameter_gates_available")))
        return {};

    GcPause pause;
    NativeInput in;
    nb::object kept = filter_entries(gates, true);
    if (!build_input(in, kept, compressible_ref)) return {};
    cz::Engine engine(std::move(in.engine), host_hooks());
    const cz::Outcome outcome = engine.run();
    if (outcome == cz::Outcome::unsupported) return {};

    // What deepcopy gives for the copy's qubit list, which the graph keeps.
    nb::object qubits_copy;
    bool int_list_qubits = PyList_CheckExact(qubits.ptr());
    for (Py_ssize_t i = 0; int_list_qubits && i < PyList_GET_SIZE(qubits.ptr()); ++i)
        int_list_qubits = PyLong_CheckExact(PyList_GET_ITEM(qubits.ptr(), i));
    qubits_copy = int_list_qubits ? checked(PyList_GetSlice(qubits.ptr(), 0, PyList_GET_SIZE(qubits.ptr())))
                                  : O->copy_deepcopy(qubits);

    Materialised m = materialise(in, engine, qubits_copy, *first_serial);
    self.attr("dag") = m.graph;
    self.attr("_idx") = nb::int_(*first_serial + static_cast<long long>(engine.serials_drawn()));
    if (outcome == cz::Outcome::no_rule) {
        PyErr_SetString(PyExc_TypeError, "cannot unpack non-iterable NoneType object");
        throw nb::python_error();
    }
    if (outcome == cz::Outcome::u3_not_finite) {
        // The decomposition's own error for the product it was given.
        O->u3_decompose(to_array(engine.failed_product()));
        PyErr_SetString(PyExc_ValueError, "u3_decompose() expects finite matrix entries");
        throw nb::python_error();
    }
    return emit_circuit(in, engine, m, nqubits, ncbits, qubits);
}

nb::object gi_run(Args a) {
    nb::object result = native_run(a[0], a[1]);
    if (result.is_valid()) return result;
    return generic_run(a[0], a[1]);
}

}  // namespace

NB_MODULE(optimize, m) {
    install_interrupt_check();
    import_numpy();
    m.doc() = kModuleDoc;
    O = new Originals();
    O->module = m.ptr();
    m.attr("re") = nb::module_::import_("re");
    nb::module_ numpy = nb::module_::import_("numpy");
    m.attr("np") = numpy;
    nb::module_ qc_module = nb::module_::import_("corvane.circuit.quantumcircuit");
    m.attr("QuantumCircuit") = qc_module.attr("QuantumCircuit");
    for (const char* name : {"one_qubit_gates_available", "two_qubit_gates_available",
                             "one_qubit_parameter_gates_available", "two_qubit_parameter_gates_available",
                             "three_qubit_gates_available"})
        m.attr(name) = qc_module.attr(name);
    nb::module_ dag_module = nb::module_::import_("corvane.circuit.dag");
    m.attr("qc2dag") = dag_module.attr("qc2dag");
    m.attr("dag2qc") = dag_module.attr("dag2qc");
    m.attr("u3_decompose") = nb::module_::import_("corvane.circuit.decompose").attr("u3_decompose");
    nb::module_ matrix = nb::module_::import_("corvane.circuit.matrix");
    m.attr("u_mat") = matrix.attr("u_mat");
    m.attr("gate_matrix_dict") = matrix.attr("gate_matrix_dict");
    nb::object base = nb::module_::import_("corvane.circuit.stratum").attr("TranspilerPass");
    m.attr("TranspilerPass") = base;

    O->quantum_circuit = m.attr("QuantumCircuit");
    O->qc_deepcopy = O->quantum_circuit.attr("deepcopy");
    O->qc2dag = m.attr("qc2dag");
    O->dag2qc = m.attr("dag2qc");
    O->u3_decompose = m.attr("u3_decompose");
    O->u_mat = m.attr("u_mat");
    O->gate_matrix_dict = m.attr("gate_matrix_dict");
    O->table_copy = checked(PyDict_Copy(O->gate_matrix_dict.ptr()));
    for (const auto& entry : kMatrixNames) {
        PyObject* fn = PyDict_GetItemString(O->gate_matrix_dict.ptr(), entry.name);
        if (fn) O->matrix_functions.emplace(fn, entry.kind);
    }
    O->numpy = numpy;
    O->allclose = numpy.attr("allclose");
    O->eye = numpy.attr("eye");
    O->copy_deepcopy = nb::module_::import_("copy").attr("deepcopy");
    O->dag_module = dag_module;
    O->helpers_module = nb::module_::import_("corvane.circuit.quantumcircuit_helpers");
    O->native_convert = nb::module_::import_("corvane.circuit._convert").attr("convert_gate_info_to_dag_info");
    O->networkx = nb::module_::import_("networkx");
    networkx_digraph_type();
    O->key_qubits = intern("qubits");
    O->key_params = intern("params");
    O->key_qubit = intern("qubit");
    O->key_dag = intern("dag");
    O->key_idx = intern("_idx");
    O->key_compressible = intern("compressible_gates");
    O->key_gates = intern("gates");
    O->empty_str = intern("");
    O->r_str = intern("r");
    O->underscore = intern("_");

    const char* cls = "GateCompressor";
    auto method = [&](const char* name, const char* doc, std::vector<Param> params,
                      std::vector<std::pair<const char*, const char*>> annotations, Body body) {
        return make_function(m, {.name = name,
                                 .qualname = method_qualname(cls, name),
                                 .doc = doc,
                                 .params = std::move(params),
                                 .annotations = std::move(annotations),
                                 .body = std::move(body)});
    };
    const std::vector<std::pair<const char*, const char*>> str_pair = {{"node1", "str"}, {"node2", "str"}};
    const std::vector<std::pair<const char*, const char*>> qc_ann = {{"qc", "QuantumCircuit"}};
    nb::object init = method("__init__", kInitDoc, {{"self"}}, {}, gi_init);
    nb::object remove = method("remove_identity_gates", kRemoveIdentityDoc, {{"self"}, {"qc"}}, qc_ann,
                               gi_remove_identity_gates);
    nb::object is_adj = method("is_adjacent_gates", kIsAdjacentDoc, {{"self"}, {"node1"}, {"node2"}}, str_pair,
                               gi_is_adjacent_gates);
    nb::object has_adj = method("has_adjacent_gates", kHasAdjacentDoc, {{"self"}}, {}, gi_has_adjacent_gates);
    nb::object single = method("compress_adjacent_single_qubit_gates", kSingleDoc,
                               {{"self"}, {"node1"}, {"node2"}}, str_pair, gi_single);
    nb::object single_param = method("compress_adjacent_single_parameter_qubit_gates", kSingleParamDoc,
                                     {{"self"}, {"node1"}, {"node2"}}, str_pair, gi_single_param);
    nb::object two = method("compress_adjacent_two_qubit_gates", kTwoDoc, {{"self"}, {"node1"}, {"node2"}},
                            str_pair, gi_two);
    nb::object two_param = method("compress_adjacent_two_qubit_parameter_gates", kTwoParamDoc,
                                  {{"self"}, {"node1"}, {"node2"}}, str_pair, gi_two_param);
    nb::object three = method("compress_adjacent_three_qubit_gates", kThreeDoc, {{"self"}, {"node1"}, {"node2"}},
                              {}, gi_three);
    nb::object once = method("run_compress_once", kRunOnceDoc, {{"self"}, {"node1"}, {"node2"}}, str_pair,
                             gi_run_compress_once);
    nb::object idx_getter = method("idx", kIdxDoc, {{"self"}}, {}, gi_idx);
    nb::object idx = checked(PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), idx_getter.ptr()));
    nb::object run = method("run", kRunDoc, {{"self"}, {"qc"}}, qc_ann, gi_run);

    nb::object metaclass = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
    nb::object klass = make_class(metaclass, m, cls, nb::make_tuple(base), kClassDoc,
                                  {{"__init__", init},
                                   {"remove_identity_gates", remove},
                                   {"is_adjacent_gates", is_adj},
                                   {"has_adjacent_gates", has_adj},
                                   {"compress_adjacent_single_qubit_gates", single},
                                   {"compress_adjacent_single_parameter_qubit_gates", single_param},
                                   {"compress_adjacent_two_qubit_gates", two},
                                   {"compress_adjacent_two_qubit_parameter_gates", two_param},
                                   {"compress_adjacent_three_qubit_gates", three},
                                   {"run_compress_once", once},
                                   {"idx", idx},
                                   {"run", run}});
    m.attr("GateCompressor") = klass;
    O->cls = klass.inc_ref().ptr();
    for (const char* name : kOverridable)
        O->members.emplace_back(nb::str(name), klass.attr(name));
}
