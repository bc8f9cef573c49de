// corvane.circuit.schedule: the dynamical-decoupling pass.
//
// `run` has two roads to one result. The general one performs the pass on the
// host's objects, call by call: the module's qc2dag, copy.deepcopy, networkx's
// layering, the object's own counter/_get_max_idle_time/_update_idle_time and
// the graph's remove_edge/add_nodes_from/add_edges_from, so every override a
// user makes is honoured. When nothing the pass calls has been replaced and
// the numbers are plain floats, the native engine (cpp/core/schedule) runs the
// whole walk on a core graph and the output gate list is built directly; the
// two roads give equal gate lists and leave `_count` equal.
#include "common/gate_entries.hpp"
#include "common/interrupt_check.hpp"
#include "schedule/decoupling.hpp"

#include <string>
#include <string_view>
#include <unordered_map>

namespace nb = nanobind;
using namespace corvane::bind;
namespace dag = corvane::dag;
namespace sched = corvane::schedule;

namespace {

constexpr const char* kModuleDoc =
    "Dynamical decoupling: fills the idle windows of a circuit's qubits with XY4 or CPMG pulse "
    "trains separated by delays.";

constexpr const char* kClassDoc =
    "A toolkit for applying dynamical decoupling (DD) sequences to quantum circuits.\n"
    "\n"
    "Args:\n"
    "    t1g (float): Duration of every one-qubit gate, in seconds.\n"
    "    t2g (float): Duration of every two-qubit gate, in seconds.\n";

constexpr const char* kInitDoc =
    "Store the gate durations and start the serial counter.\n"
    "\n"
    "Args:\n"
    "    t1g (float): Duration of every one-qubit gate, in seconds.\n"
    "    t2g (float): Duration of every two-qubit gate, in seconds.\n"
    "\n"
    "Returns:\n"
    "    None\n";

constexpr const char* kCounterDoc =
    "Increment and return the internal counter.\n"
    "\n"
    "Returns:\n"
    "    int: The new value of the counter, the serial number of the next inserted node.\n";

constexpr const char* kMaxIdleDoc =
    "Determine the maximum idle time for the current layer of nodes.\n"
    "\n"
    "Args:\n"
    "    nodes (list): The node names of one layer (generation) of the gate DAG.\n"
    "\n"
    "Returns:\n"
    "    float: The length of the layer: t2g if it holds a two-qubit gate, else t1g if it holds\n"
    "    a one-qubit gate, else 0.\n";

constexpr const char* kUpdateIdleDoc =
    "Update idle time for a qubit after executing a given node.\n"
    "\n"
    "Args:\n"
    "    node (str): The node name of the operation.\n"
    "    max_idle_time (float): The length of the layer that holds the node.\n"
    "\n"
    "Returns:\n"
    "    float: The time the node's qubits still wait in that layer after the node has finished.\n";

constexpr const char* kRunDoc =
    "Insert dynamical decoupling sequences into the given quantum circuit.\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): Input quantum circuit.\n"
    "    sequence (Literal['XY4', 'CPMG']): Type of DD sequence to apply. Defaults to 'XY4'.\n"
    "    align_right (bool): If True, traverse the circuit in reverse topological order to "
    "calculate idle regions. Defaults to True.\n"
    "    insert_before_barrier (bool): If True, allows inserting DD sequences before barriers. "
    "Defaults to False.\n"
    "\n"
    "Returns:\n"
    "    QuantumCircuit: A new quantum circuit with inserted dynamical decoupling sequences.\n";

constexpr const char* kOneQubit = "one_qubit_gates_available";
constexpr const char* kTwoQubit = "two_qubit_gates_available";
constexpr const char* kOneQubitParameter = "one_qubit_parameter_gates_available";
constexpr const char* kTwoQubitParameter = "two_qubit_parameter_gates_available";

// This module and the objects the native road stands in for, kept for the
// life of the process.
struct Originals {
    PyObject* module = nullptr;
    PyObject* copy = nullptr;
    PyObject* deepcopy = nullptr;
    PyObject* nx = nullptr;
    PyObject* topological_generations = nullptr;
    PyObject* digraph = nullptr;
    PyObject* dag_module = nullptr;
    PyObject* qc2dag = nullptr;
    PyObject* dag2qc = nullptr;
    PyObject* native_convert = nullptr;
    PyObject* circuit_type = nullptr;
    PyObject* counter = nullptr;
    PyObject* get_max_idle_time = nullptr;
    PyObject* update_idle_time = nullptr;
    PyObject* round = nullptr;
};
Originals originals;

nb::handle this_module() { return originals.module; }

PyObject* keep(nb::object object) { return object.release().ptr(); }

PyObject* interned(const char* text) {
    PyObject* s = PyUnicode_InternFromString(text);
    check(s != nullptr);
    return s;  // kept for the life of the process
}

struct Names {
    PyObject* count = interned("_count");
    PyObject* t1g = interned("t1g");
    PyObject* t2g = interned("t2g");
    PyObject* counter = interned("counter");
    PyObject* get_max_idle_time = interned("_get_max_idle_time");
    PyObject* update_idle_time = interned("_update_idle_time");
    PyObject* keys = interned("keys");
    PyObject* barrier = interned("barrier");
    PyObject* x = interned("x");
    PyObject* y = interned("y");
    PyObject* delay = interned("delay");
    PyObject* xy4 = interned("XY4");
    PyObject* cpmg = interned("CPMG");
    PyObject* empty = interned("");
    PyObject* deepcopy = interned("deepcopy");
    PyObject* topological_generations = interned("topological_generations");
    PyObject* digraph = interned("DiGraph");
    PyObject* nqubits = interned("nqubits");
    PyObject* ncbits = interned("ncbits");
    static const Names& get() {
        static const Names names;
        return names;
    }
};

bool truth_of(nb::object value) { return convert_bool(value.ptr()); }

nb::object compare(PyObject* a, PyObject* b, int op) { return checked(PyObject_RichCompare(a, b, op)); }

nb::object getattr(nb::handle object, PyObject* name) {
    return checked(PyObject_GetAttr(object.ptr(), name));
}

nb::object number(PyObject* result) { return checked(result); }

nb::object py_float(double value) { return checked(PyFloat_FromDouble(value)); }

nb::object py_int(long long value) { return checked(PyLong_FromLongLong(value)); }

// `sequence_length` for the sequence name, or the pass's own ValueError.
int sequence_length(PyObject* sequence) {
    const Names& n = Names::get();
    if (truth_of(compare(sequence, n.xy4, Py_EQ))) return 4;
    if (truth_of(compare(sequence, n.cpmg, Py_EQ))) return 2;
    nb::object text = checked(PyObject_Format(sequence, n.empty));
    PyErr_Format(PyExc_ValueError, "Sequence %U is not support now!", text.ptr());
    throw nb::python_error();
}

// ---- counter, _get_max_idle_time, _update_idle_time ---------------------------

nb::object counter(Args args) {
    nb::handle self = args[0];
    const Names& n = Names::get();
    nb::object value = getattr(self, n.count);
    nb::object one = py_int(1);
    nb::object next = number(PyNumber_InPlaceAdd(value.ptr(), one.ptr()));
    check(PyObject_SetAttr(self.ptr(), n.count, next.ptr()) == 0);
    return getattr(self, n.count);
}

// `list(a.keys()) + list(b.keys())`
nb::object joined_keys(const char* first, const char* second) {
    const Names& n = Names::get();
    nb::object a = checked(PySequence_List(global(this_module(), first).attr(n.keys)().ptr()));
    nb::object b = checked(PySequence_List(global(this_module(), second).attr(n.keys)().ptr()));
    return number(PyNumber_Add(a.ptr(), b.ptr()));
}

bool sets_meet(PyObject* names, PyObject* gates) {
    nb::object a = checked(PySet_New(names));
    nb::object b = checked(PySet_New(gates));
    return truth_of(number(PyNumber_And(a.ptr(), b.ptr())));
}

nb::object get_max_idle_time(Args args) {
    nb::handle self = args[0];
    nb::object gates = checked(PyList_New(0));
    nb::object iterator = checked(PyObject_GetIter(args[1]));
    while (PyObject* item = PyIter_Next(iterator.ptr())) {
        nb::object node = nb::steal(item);
        check(PyList_Append(gates.ptr(), gate_name_of(node.ptr()).ptr()) == 0);
    }
    check(!PyErr_Occurred());
    nb::object one_qubit_gates = joined_keys(kOneQubit, kOneQubitParameter);
    nb::object two_qubit_gates = joined_keys(kTwoQubit, kTwoQubitParameter);
    if (sets_meet(two_qubit_gates.ptr(), gates.ptr())) return getattr(self, Names::get().t2g);
    if (sets_meet(one_qubit_gates.ptr(), gates.ptr())) return getattr(self, Names::get().t1g);
    return py_int(0);
}

bool in_category(const char* category, PyObject* gate) {
    int found = PySequence_Contains(global(this_module(), category).ptr(), gate);
    check(found >= 0);
    return found != 0;
}

nb::object update_idle_time(Args args) {
    nb::handle self = args[0];
    PyObject* max_idle_time = args[2];
    nb::object gate = gate_name_of(args[1]);
    if (in_category(kOneQubit, gate.ptr()) || in_category(kOneQubitParameter, gate.ptr()))
        return number(PyNumber_Subtract(max_idle_time, getattr(self, Names::get().t1g).ptr()));
    if (in_category(kTwoQubit, gate.ptr()))
        return number(PyNumber_Subtract(max_idle_time, getattr(self, Names::get().t2g).ptr()));
    return py_int(0);
}

nb::object init(Args args) {
    nb::handle self = args[0];
    const Names& n = Names::get();
    check(PyObject_SetAttr(self.ptr(), n.t1g, args[1]) == 0);
    check(PyObject_SetAttr(self.ptr(), n.t2g, args[2]) == 0);
    check(PyObject_SetAttr(self.ptr(), n.count, py_int(86751).ptr()) == 0);
    return nb::none();
}

// ---- the general road -----------------------------------------------------------

nb::object one_item_list(PyObject* item) {
    nb::object list = checked(PyList_New(1));
    PyList_SET_ITEM(list.ptr(), 0, Py_NewRef(item));
    return list;
}

nb::object qubit_data(PyObject* qubit) {
    nb::object data = checked(PyDict_New());
    check(PyDict_SetItem(data.ptr(), Keys::get().qubit, one_item_list(qubit).ptr()) == 0);
    return data;
}

class GeneralRun {
public:
    GeneralRun(nb::handle self, nb::handle qc, int length, bool align_right, bool insert_before_barrier)
        : self_(self), qc_(qc), length_(length), align_right_(align_right),
          insert_before_barrier_(insert_before_barrier), length_object_(py_int(length)) {}

    nb::object run() {
        nb::handle m = this_module();
        dag_ = global(m, "qc2dag")(qc_, nb::arg("show_qubits") = false);
        build_record();
        dag_copy_ = global(m, "copy").attr("deepcopy")(dag_);
        nb::object nx = global(m, "nx");
        if (align_right_) {
            nb::object reversed = dag_copy_.attr("reverse")();
            nb::object generations = checked(PyList_New(0));
            for (nb::handle nodes : nx.attr("topological_generations")(reversed))
                check(PyList_Insert(generations.ptr(), 0, nodes.ptr()) == 0);
            for (nb::handle nodes : generations) layer(nodes);
        } else {
            for (nb::handle nodes : nx.attr("topological_generations")(dag_copy_)) layer(nodes);
        }
        return global(m, "dag2qc")(dag_, qc_.attr("nqubits"), qc_.attr("ncbits"));
    }

private:
    // qubit_idle_time: qubit -> position in the three parallel vectors.
    void build_record() {
        record_ = nb::dict();
        for (nb::handle q : qc_.attr("qubits")) {
            PyObject* found = PyDict_GetItemWithError(record_.ptr(), q.ptr());
            if (found) {
                const auto i = PyLong_AsSize_t(found);
                current_[i] = nb::none();
                idle_[i] = py_int(0);
                continue;
            }
            check(!PyErr_Occurred());
            check(PyDict_SetItem(record_.ptr(), q.ptr(), py_int(static_cast<long long>(keys_.size())).ptr()) == 0);
            keys_.push_back(nb::borrow(q));
            current_.push_back(nb::none());
            idle_.push_back(py_int(0));
        }
    }

    void layer(nb::handle nodes) {
        const Names& n = Names::get();
        nb::object max_idle_time = self_.attr(n.get_max_idle_time)(nodes);
        nb::object node_view = dag_copy_.attr("nodes");
        nb::dict node_qubits;
        for (nb::handle node : nodes) node_qubits[node] = node_view[node]["qubits"];
        nb::dict qubit_node;
        for (auto [node, qubits] : node_qubits)
            for (nb::handle q : qubits) qubit_node[q] = node;
        for (auto [qubit, node] : qubit_node) {
            const size_t i = PyLong_AsSize_t(checked(PyObject_GetItem(record_.ptr(), qubit.ptr())).ptr());
            nb::object pre_node = current_[i];
            nb::object idle_time = idle_[i];
            window(qubit, node, pre_node, idle_time);
            idle_[i] = self_.attr(n.update_idle_time)(node, max_idle_time);
            current_[i] = nb::borrow(node);
        }
        for (size_t i = 0; i < keys_.size(); ++i) {
            int acting = PyDict_Contains(qubit_node.ptr(), keys_[i].ptr());
            check(acting >= 0);
            if (!acting) idle_[i] = number(PyNumber_InPlaceAdd(idle_[i].ptr(), max_idle_time.ptr()));
        }
    }

    void window(nb::handle qubit, nb::handle node, nb::handle pre_node, nb::handle idle_time) {
        const Names& n = Names::get();
        if (pre_node.is_none()) {
            if (truth_of(compare(idle_time.ptr(), py_int(0).ptr(), Py_GT))) {
                nb::object delay = make_node(n.delay, qubit, idle_time.ptr());
                nb::object edge = nb::make_tuple(delay[0], node, qubit_data(qubit.ptr()));
                dag_.attr("add_nodes_from")(one_item_list(delay.ptr()));
                dag_.attr("add_edges_from")(one_item_list(edge.ptr()));
            }
            return;
        }
        nb::object period = number(PyNumber_Multiply(getattr(self_, n.t1g).ptr(), length_object_.ptr()));
        if (!truth_of(compare(idle_time.ptr(), period.ptr(), Py_GE))) return;
        if (truth_of(compare(gate_name_of(node.ptr()).ptr(), n.barrier, Py_EQ)) && !insert_before_barrier_)
            return;
        train(qubit, node, pre_node, idle_time);
    }

    void train(nb::handle qubit, nb::handle node, nb::handle pre_node, nb::handle idle_time) {
        const Names& n = Names::get();
        // A node on three or more qubits can follow pre_node on two of them:
        // the edge goes with the first train, the second leaves it be.
        nb::object cut = nb::make_tuple(pre_node, node);
        int seen = PySet_Contains(removed_.ptr(), cut.ptr());
        check(seen >= 0);
        if (!seen) {
            dag_.attr("remove_edge")(pre_node, node);
            check(PySet_Add(removed_.ptr(), cut.ptr()) == 0);
        }

        PyObject* L = length_object_.ptr();
        nb::object period = number(PyNumber_Multiply(getattr(self_, n.t1g).ptr(), L));
        nb::object repetitions = number(PyNumber_Long(number(PyNumber_FloorDivide(idle_time.ptr(), period.ptr())).ptr()));
        nb::object one = py_int(1);
        nb::object n_dd = truth_of(compare(one.ptr(), repetitions.ptr(), Py_GT)) ? one : repetitions;
        nb::object grid_ns = py_float(sched::kGridNs);
        nb::object pulses = number(PyNumber_Multiply(n_dd.ptr(), L));
        nb::object filled = number(PyNumber_Multiply(pulses.ptr(), getattr(self_, n.t1g).ptr()));
        nb::object spare = number(PyNumber_Subtract(idle_time.ptr(), filled.ptr()));
        nb::object per_pulse = number(PyNumber_TrueDivide(spare.ptr(), L));
        nb::object per_gap = number(PyNumber_TrueDivide(per_pulse.ptr(), n_dd.ptr()));
        nb::object grid = number(PyNumber_Multiply(grid_ns.ptr(), py_float(1e-9).ptr()));
        nb::object units = nb::handle(originals.round)(number(PyNumber_TrueDivide(per_gap.ptr(), grid.ptr())));
        nb::object tgap = number(PyNumber_Multiply(number(PyNumber_Multiply(units.ptr(), grid_ns.ptr())).ptr(),
                                                   py_float(1e-9).ptr()));
        nb::object tgap_half = number(PyNumber_TrueDivide(tgap.ptr(), py_int(2).ptr()));
        const bool gaps = truth_of(compare(tgap.ptr(), py_int(0).ptr(), Py_GT));

        const double repetitions_double = PyLong_AsDouble(n_dd.ptr());
        check(!(repetitions_double == -1.0 && PyErr_Occurred()));
        if (sched::train_nodes(repetitions_double, length_, gaps) > sched::kMaxTrainNodes) throw std::bad_alloc();
        const auto count = static_cast<Py_ssize_t>(repetitions_double);
        nb::object dd_nodes = checked(PyList_New(0));
        auto append = [&](PyObject* gate, PyObject* duration) {
            check(PyList_Append(dd_nodes.ptr(), make_node(gate, qubit, duration).ptr()) == 0);
        };
        for (Py_ssize_t idx = 0; idx < count; ++idx) {
            if (gaps) append(n.delay, idx == 0 ? tgap_half.ptr() : tgap.ptr());
            for (int k = 0; k < length_; ++k) {
                if (k > 0 && gaps) append(n.delay, tgap.ptr());
                const bool x = length_ == 2 || ((k % 2 == 0) == (idx % 2 == 0));
                append(x ? n.x : n.y, nullptr);
            }
            if (idx == count - 1 && gaps) append(n.delay, tgap_half.ptr());
        }

        const Py_ssize_t size = PyList_GET_SIZE(dd_nodes.ptr());
        auto name_at = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(PyList_GET_ITEM(dd_nodes.ptr(), i), 0); };
        nb::object dd_edges = checked(PyList_New(0));
        auto add_edge = [&](PyObject* u, PyObject* v) {
            PyObject* triple = PyTuple_Pack(3, u, v, qubit_data(qubit.ptr()).ptr());
            check(triple != nullptr);
            nb::object owned = nb::steal(triple);
            check(PyList_Append(dd_edges.ptr(), triple) == 0);
        };
        for (Py_ssize_t i = 0; i + 1 < size; ++i) add_edge(name_at(i), name_at(i + 1));
        add_edge(pre_node.ptr(), name_at(0));
        add_edge(name_at(size - 1), node.ptr());
        dag_.attr("add_nodes_from")(dd_nodes);
        dag_.attr("add_edges_from")(dd_edges);
    }

    // (f"{gate}_{self.counter()}_[{qubit}]", {"qubits": [qubit]} [+ "duration"])
    nb::object make_node(PyObject* gate, nb::handle qubit, PyObject* duration) {
        const Names& n = Names::get();
        nb::object serial = self_.attr(n.counter)();
        nb::object serial_text = checked(PyObject_Format(serial.ptr(), n.empty));
        nb::object qubit_text = checked(PyObject_Format(qubit.ptr(), n.empty));
        nb::object name = checked(PyUnicode_FromFormat("%U_%U_[%U]", gate, serial_text.ptr(), qubit_text.ptr()));
        nb::object attributes = checked(PyDict_New());
        check(PyDict_SetItem(attributes.ptr(), Keys::get().qubits, one_item_list(qubit.ptr()).ptr()) == 0);
        if (duration) check(PyDict_SetItem(attributes.ptr(), Keys::get().duration, duration) == 0);
        return nb::make_tuple(name, attributes);
    }

    nb::handle self_, qc_;
    const int length_;
    const bool align_right_, insert_before_barrier_;
    nb::object length_object_;
    nb::object dag_, dag_copy_;
    nb::dict record_;
    std::vector<nb::object> keys_, current_, idle_;
    nb::object removed_ = checked(PySet_New(nullptr));
};

// ---- the native road -------------------------------------------------------------

bool is(nb::handle a, PyObject* b) { return a.ptr() == b; }

bool shadowed_or_replaced(nb::handle self, PyObject* name, PyObject* original) {
    nb::object on_type = nb::steal(PyObject_GetAttr(reinterpret_cast<PyObject*>(Py_TYPE(self.ptr())), name));
    if (!on_type.is_valid()) {
        PyErr_Clear();
        return true;
    }
    if (on_type.ptr() != original) return true;
    PyObject* dict = PyObject_GenericGetDict(self.ptr(), nullptr);
    if (!dict) {
        PyErr_Clear();
        return false;
    }
    nb::object owned = nb::steal(dict);
    int found = PyDict_Contains(dict, name);
    if (found < 0) PyErr_Clear();
    return found != 0;
}

nb::object attribute_or_null(nb::handle object, PyObject* name) {
    PyObject* value = PyObject_GetAttr(object.ptr(), name);
    if (!value) PyErr_Clear();
    return nb::steal(value);
}

// True when the native engine computes exactly what the general road would.
bool native_applies(nb::handle self, nb::handle qc) {
    const Names& n = Names::get();
    if (reinterpret_cast<PyObject*>(Py_TYPE(qc.ptr())) != originals.circuit_type) return false;
    if (Py_TYPE(self.ptr())->tp_getattro != PyObject_GenericGetAttr) return false;
    if (shadowed_or_replaced(self, n.counter, originals.counter) ||
        shadowed_or_replaced(self, n.get_max_idle_time, originals.get_max_idle_time) ||
        shadowed_or_replaced(self, n.update_idle_time, originals.update_idle_time))
        return false;

    PyObject* globals = PyModule_GetDict(originals.module);
    auto global_is = [&](PyObject* dict, const char* name, PyObject* original) {
        PyObject* value = PyDict_GetItemString(dict, name);
        return value == original;
    };
    if (!global_is(globals, "qc2dag", originals.qc2dag) || !global_is(globals, "dag2qc", originals.dag2qc) ||
        !global_is(globals, "copy", originals.copy) || !global_is(globals, "nx", originals.nx))
        return false;
    PyObject* dag_globals = PyModule_GetDict(originals.dag_module);
    if (!global_is(dag_globals, "convert_gate_info_to_dag_info", originals.native_convert) ||
        !global_is(dag_globals, "nx", originals.nx))
        return false;
    if (!is(attribute_or_null(originals.copy, n.deepcopy), originals.deepcopy) ||
        !is(attribute_or_null(originals.nx, n.topological_generations), originals.topological_generations) ||
        !is(attribute_or_null(originals.nx, n.digraph), originals.digraph))
        return false;

    nb::object t1g = attribute_or_null(self, n.t1g);
    nb::object t2g = attribute_or_null(self, n.t2g);
    nb::object count = attribute_or_null(self, n.count);
    nb::object nqubits = attribute_or_null(qc, n.nqubits);
    nb::object ncbits = attribute_or_null(qc, n.ncbits);
    return t1g.is_valid() && PyFloat_CheckExact(t1g.ptr()) && t2g.is_valid() && PyFloat_CheckExact(t2g.ptr()) &&
           count.is_valid() && PyLong_CheckExact(count.ptr()) && nqubits.is_valid() &&
           PyLong_CheckExact(nqubits.ptr()) && ncbits.is_valid() && PyLong_CheckExact(ncbits.ptr());
}

// What the pass needs to know of one gate name, computed once per name.
struct GateInfo {
    nb::object name;  // the gate name as dag2qc splits it from a node name
    sched::NodeTiming timing;
    bool output_known = false;
    Category output = Category::none;  // the dag module's category, read when first needed
};

// Maps qubit objects to positions of the idle record with dict semantics; exact
// small ints skip the dict.
class Record {
public:
    explicit Record(nb::handle qubits) {
        constexpr long long kTableLimit = 1 << 22;
        for (nb::handle q : qubits) {
            PyObject* found = PyDict_GetItemWithError(index_.ptr(), q.ptr());
            if (found) continue;
            check(!PyErr_Occurred());
            check(PyDict_SetItem(index_.ptr(), q.ptr(), py_int(size_).ptr()) == 0);
            long long v = small_int(q.ptr(), kTableLimit);
            if (v >= 0) {
                if (static_cast<size_t>(v) >= table_.size()) table_.resize(v + 1, sched::kNoQubit);
                table_[v] = size_;
            } else {
                needs_dict_ = true;
            }
            ++size_;
        }
    }

    std::uint32_t find(PyObject* qubit) {
        long long v = small_int(qubit, static_cast<long long>(table_.size()));
        if (v >= 0 && table_[v] != sched::kNoQubit) return table_[v];
        if (PyLong_CheckExact(qubit) && !needs_dict_) return sched::kNoQubit;
        PyObject* found = PyDict_GetItemWithError(index_.ptr(), qubit);
        if (!found) {
            check(!PyErr_Occurred());
            return sched::kNoQubit;
        }
        return static_cast<std::uint32_t>(PyLong_AsUnsignedLong(found));
    }

    // Raises the KeyError the record raises for `qubit`.
    [[noreturn]] void raise_missing(PyObject* qubit) {
        nb::object value = checked(PyObject_GetItem(index_.ptr(), qubit));
        PyErr_SetString(PyExc_SystemError, "idle record lookup unexpectedly succeeded");
        throw nb::python_error();
    }

    std::uint32_t size() const { return size_; }

private:
    static long long small_int(PyObject* q, long long limit) {
        if (!PyLong_CheckExact(q)) return -1;
        int overflow = 0;
        long long v = PyLong_AsLongLongAndOverflow(q, &overflow);
        if (overflow || v < 0 || v >= limit) {
            PyErr_Clear();
            return -1;
        }
        return v;
    }

    nb::dict index_;
    std::vector<std::uint32_t> table_;
    std::uint32_t size_ = 0;
    bool needs_dict_ = false;
};

// Re-does a failing window's arithmetic on host numbers, so the host raises
// its own error with its own message.
[[noreturn]] void raise_window_arithmetic(double idle_time, PyObject* t1g, int length) {
    nb::object idle = py_float(idle_time);
    nb::object L = py_int(length);
    nb::object period = number(PyNumber_Multiply(t1g, L.ptr()));
    nb::object repetitions = number(PyNumber_Long(number(PyNumber_FloorDivide(idle.ptr(), period.ptr())).ptr()));
    nb::object one = py_int(1);
    nb::object n_dd = truth_of(compare(one.ptr(), repetitions.ptr(), Py_GT)) ? one : repetitions;
    nb::object filled = number(PyNumber_Multiply(number(PyNumber_Multiply(n_dd.ptr(), L.ptr())).ptr(), t1g));
    nb::object spare = number(PyNumber_Subtract(idle.ptr(), filled.ptr()));
    nb::object per_gap = number(PyNumber_TrueDivide(number(PyNumber_TrueDivide(spare.ptr(), L.ptr())).ptr(), n_dd.ptr()));
    nb::object scaled = number(PyNumber_TrueDivide(per_gap.ptr(), py_float(sched::kGridSeconds).ptr()));
    nb::handle(originals.round)(scaled);
    PyErr_SetString(PyExc_SystemError, "decoupling arithmetic failed natively but not on host floats");
    throw nb::python_error();
}

// The circuit's own entry, when it is an immutable tuple equal item by item
// (by identity) to the entry dag2qc builds for its node.
bool reusable(PyObject* entry, Category category, PyObject* attributes, PyObject* qubits) {
    if (!PyTuple_CheckExact(entry)) return false;
    const Py_ssize_t size = PyTuple_GET_SIZE(entry);
    if (size == 0 || !PyUnicode_CheckExact(PyTuple_GET_ITEM(entry, 0))) return false;
    const Py_ssize_t nq = PyList_GET_SIZE(qubits);
    auto item = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(entry, i); };
    auto qubits_tail = [&](Py_ssize_t count) {
        if (nq < count || size < count + 1) return false;
        for (Py_ssize_t k = 0; k < count; ++k)
            if (item(size - count + k) != PyList_GET_ITEM(qubits, k)) return false;
        return true;
    };
    auto same_tuple = [&](PyObject* t) {
        if (!PyTuple_CheckExact(t) || PyTuple_GET_SIZE(t) != nq) return false;
        for (Py_ssize_t k = 0; k < nq; ++k)
            if (PyTuple_GET_ITEM(t, k) != PyList_GET_ITEM(qubits, k)) return false;
        return true;
    };
    switch (category) {
        case Category::one_qubit: return size == 2 && qubits_tail(1);
        case Category::two_qubit: return size == 3 && qubits_tail(2);
        case Category::three_qubit: return size == 4 && qubits_tail(3);
        case Category::one_qubit_parameter:
        case Category::two_qubit_parameter: {
            const Py_ssize_t width = category == Category::one_qubit_parameter ? 1 : 2;
            PyObject* params = PyDict_GetItemWithError(attributes, Keys::get().params);
            if (!params || !PyList_CheckExact(params)) {
                PyErr_Clear();
                return false;
            }
            const Py_ssize_t np = PyList_GET_SIZE(params);
            if (size != 1 + np + width || !qubits_tail(width)) return false;
            for (Py_ssize_t k = 0; k < np; ++k)
                if (item(1 + k) != PyList_GET_ITEM(params, k)) return false;
            return true;
        }
        case Category::functional: {
            Py_ssize_t length = 0;
            const char* text = PyUnicode_AsUTF8AndSize(item(0), &length);
            if (!text) {
                PyErr_Clear();
                return false;
            }
            std::string_view name(text, static_cast<size_t>(length));
            if (name == "barrier") return size == 2 && same_tuple(item(1));
            if (name == "reset") return size == 2 && qubits_tail(1);
            if (name == "delay") {
                PyObject* duration = PyDict_GetItemWithError(attributes, Keys::get().duration);
                if (!duration) PyErr_Clear();
                return size == 3 && duration == item(1) && same_tuple(item(2));
            }
            return false;  // measure holds the node's own lists; others give no entry
        }
        case Category::none: return false;
    }
    return false;
}

// The entries of the inserted nodes of one window; tuples are immutable, so
// the nodes of one train share them.
struct WindowEntries {
    nb::object qubit;  // borrowed from the node's qubit list
    nb::object gap, half;
    nb::object entry[5];
    bool made[5] = {false, false, false, false, false};
};

class NativeRun {
public:
    NativeRun(nb::handle self, nb::handle qc, int length, bool align_right, bool insert_before_barrier)
        : self_(self), qc_(qc), length_(length), dag_categories_(nb::handle(originals.dag_module)) {
        options_.sequence = length == 4 ? sched::Sequence::xy4 : sched::Sequence::cpmg;
        options_.align_right = align_right;
        options_.insert_before_barrier = insert_before_barrier;
    }

    nb::object run() {
        const Names& n = Names::get();
        // The run makes millions of acyclic tuples, lists and dicts.
        GcPause pause;
        t1g_ = getattr(self_, n.t1g);
        nb::object t2g = getattr(self_, n.t2g);
        options_.t1g = PyFloat_AS_DOUBLE(t1g_.ptr());
        options_.t2g = PyFloat_AS_DOUBLE(t2g.ptr());
        nb::object count = getattr(self_, n.count);
        nb::object nqubits = qc_.attr("nqubits");
        nb::object ncbits = qc_.attr("ncbits");
        nb::object qubits = qc_.attr("qubits");
        gates_ = checked(PySequence_Tuple(qc_.attr("gates").ptr()));

        GateCategories model = GateCategories::of_circuit_model();
        circuit_ = read_circuit(gates_.ptr(), false, model);
        Record record(qubits);
        read_timing_categories();

        sched::Problem problem = build_problem(record);
        sched::Outcome outcome = sched::decouple(std::move(problem), options_);

        // Serials drawn stay drawn, also when the walk failed.
        if (outcome.inserted() > 0) {
            nb::object drawn = checked(PyLong_FromSize_t(outcome.inserted()));
            nb::object next = number(PyNumber_Add(count.ptr(), drawn.ptr()));
            check(PyObject_SetAttr(self_.ptr(), n.count, next.ptr()) == 0);
        }
        switch (outcome.status) {
            case sched::Status::ok: break;
            case sched::Status::missing_qubit:
                record.raise_missing(circuit_.qubits(outcome.failed_node)[outcome.failed_position]);
            case sched::Status::arithmetic: raise_window_arithmetic(outcome.failed_idle_time, t1g_.ptr(), length_);
            case sched::Status::too_large: throw std::bad_alloc();
        }

        nb::object entries = build_entries(outcome);
        // The gate list holds what it needs of the circuit's read data.
        circuit_ = CircuitDag{};
        pause.end_and_collect_young(entries.ptr());
        nb::object result = global(nb::handle(originals.dag_module), "QuantumCircuit")(nqubits, ncbits);
        result.attr("gates") = entries;
        result.attr("qubits") = qubits;
        return result;
    }

private:
    void read_timing_categories() {
        nb::handle m = this_module();
        static constexpr const char* kNames[4] = {kOneQubit, kTwoQubit, kOneQubitParameter, kTwoQubitParameter};
        for (int i = 0; i < 4; ++i) mappings_[i] = global(m, kNames[i]);
        // The layer length tests names against the sets of keys, as the
        // general road builds them.
        const Names& n = Names::get();
        auto key_set = [&](int a, int b) {
            nb::object joined = number(PyNumber_Add(checked(PySequence_List(mappings_[a].attr(n.keys)().ptr())).ptr(),
                                                    checked(PySequence_List(mappings_[b].attr(n.keys)().ptr())).ptr()));
            return checked(PySet_New(joined.ptr()));
        };
        one_qubit_keys_ = key_set(0, 2);
        two_qubit_keys_ = key_set(1, 3);
    }

    bool contains(PyObject* container, PyObject* name) {
        int found = PySequence_Contains(container, name);
        check(found >= 0);
        return found != 0;
    }

    GateInfo& info_for(PyObject* gate) {
        const std::string_view text = utf8_of(gate);
        if (last_info_ && last_text_ == text) return *last_info_;
        auto it = infos_.find(std::string(text));
        if (it == infos_.end()) {
            GateInfo info;
            info.name = checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
            PyObject* name = info.name.ptr();
            if (contains(two_qubit_keys_.ptr(), name)) info.timing.layer = sched::LayerClass::two_qubit;
            else if (contains(one_qubit_keys_.ptr(), name)) info.timing.layer = sched::LayerClass::one_qubit;
            if (contains(mappings_[0].ptr(), name) || contains(mappings_[2].ptr(), name))
                info.timing.rest = sched::RestClass::after_t1g;
            else if (contains(mappings_[1].ptr(), name))
                info.timing.rest = sched::RestClass::after_t2g;
            info.timing.barrier = text == "barrier";
            it = infos_.emplace(std::string(text), std::move(info)).first;
        }
        last_info_ = &it->second;
        last_text_ = it->first;
        return it->second;
    }

    sched::Problem build_problem(Record& record) {
        sched::Problem problem;
        const size_t count = circuit_.size();
        node_info_.reserve(count);
        problem.timing.reserve(count);
        problem.qubit_offsets.reserve(count + 1);
        problem.qubit_offsets.push_back(0);
        problem.qubit_ids.reserve(count * 2);
        InterruptPoll poll;
        for (size_t i = 0; i < count; ++i) {
            poll.tick();
            GateInfo& info = info_for(circuit_.gate(i));
            node_info_.push_back(&info);
            problem.timing.push_back(info.timing);
            for (PyObject* q : circuit_.qubits(i)) problem.qubit_ids.push_back(record.find(q));
            problem.qubit_offsets.push_back(static_cast<std::uint32_t>(problem.qubit_ids.size()));
        }
        problem.record_size = record.size();
        problem.dag.reserve(count, circuit_.dependencies.edges.size());
        for (size_t i = 0; i < count; ++i) problem.dag.add_node();
        for (const auto& edge : circuit_.dependencies.edges) problem.dag.add_edge(edge.source, edge.target);
        return problem;
    }

    Category output_category(GateInfo& info) {
        if (!info.output_known) {
            info.output = dag_categories_.category_of(info.name.ptr());
            info.output_known = true;
        }
        return info.output;
    }

    nb::object original_entry(dag::NodeId node) {
        GateInfo& info = *node_info_[node];
        const Category category = output_category(info);
        PyObject* entry = PyTuple_GET_ITEM(gates_.ptr(), node);
        // Read as a gate of this category, an exact tuple with an exact
        // gate string is the entry dag2qc would build for its node (the
        // reader keeps an exact tuple itself, not a snapshot of it).
        if (category == circuit_.category(node) && category <= Category::two_qubit_parameter &&
            PyTuple_CheckExact(entry) && PyUnicode_CheckExact(circuit_.gate(node)))
            return nb::borrow(entry);
        PyObject* attributes = circuit_.attributes(node);
        PyObject* qubits = circuit_.qubit_list(node);
        if (reusable(entry, category, attributes, qubits)) return nb::borrow(entry);
        return entry_for_node(info.name.ptr(), category, attributes, qubits);
    }

    nb::object inserted_entry(const sched::Outcome& outcome, size_t index) {
        const std::uint32_t w = outcome.window_of[index];
        const sched::Window& window = outcome.windows[w];
        const auto id = static_cast<dag::NodeId>(circuit_.size() + index);
        const sched::InsertedKind kind = sched::inserted_kind(window, options_.sequence, id - window.first);
        WindowEntries& cache = window_entries_[w];
        const int slot = static_cast<int>(kind);
        if (cache.made[slot]) return cache.entry[slot];
        if (!cache.qubit.is_valid())
            cache.qubit = nb::borrow(circuit_.qubits(window.node)[window.position]);
        PyObject* q = cache.qubit.ptr();
        const Names& n = Names::get();
        PyObject* gate = kind == sched::InsertedKind::x ? n.x : kind == sched::InsertedKind::y ? n.y : n.delay;
        nb::object duration;
        if (kind == sched::InsertedKind::half_delay) {
            if (!cache.half.is_valid()) cache.half = py_float(window.half);
            duration = cache.half;
        } else if (kind != sched::InsertedKind::x && kind != sched::InsertedKind::y) {
            if (!cache.gap.is_valid()) cache.gap = py_float(window.gap);
            duration = cache.gap;
        }
        const Category category = inserted_category(gate);
        nb::object entry;
        // The entries dag2qc builds for the nodes this pass adds in the
        // model's categories, made without the node's dict and list.
        if (category == Category::one_qubit && !duration.is_valid()) {
            entry = entry_tuple({gate, q});
        } else if (category == Category::functional && duration.is_valid()) {
            entry = entry_tuple({gate, duration, entry_tuple({q})});
        } else {
            nb::object qubit_list = one_item_list(q);
            nb::object attributes = checked(PyDict_New());
            check(PyDict_SetItem(attributes.ptr(), Keys::get().qubits, qubit_list.ptr()) == 0);
            if (duration.is_valid()) check(PyDict_SetItem(attributes.ptr(), Keys::get().duration, duration.ptr()) == 0);
            entry = entry_for_node(gate, category, attributes.ptr(), qubit_list.ptr());
        }
        cache.entry[slot] = entry;
        cache.made[slot] = true;
        return entry;
    }

    Category inserted_category(PyObject* gate) {
        const Names& n = Names::get();
        const int i = gate == n.x ? 0 : gate == n.y ? 1 : 2;
        if (!inserted_known_[i]) {
            inserted_categories_[i] = dag_categories_.category_of(gate);
            inserted_known_[i] = true;
        }
        return inserted_categories_[i];
    }

    // Whether dag2qc turns a node of this gate and category into an entry.
    static bool yields_entry(PyObject* gate, Category category) {
        if (category == Category::none) return false;
        if (category != Category::functional) return true;
        Py_ssize_t size = 0;
        const char* text = PyUnicode_AsUTF8AndSize(gate, &size);
        check(text != nullptr);
        std::string_view name(text, static_cast<size_t>(size));
        return name == "measure" || name == "barrier" || name == "delay" || name == "reset";
    }

    // The length of the output gate list, known before any entry is made so
    // the list is filled in place.
    size_t entry_count(const sched::Outcome& outcome) {
        size_t count = 0;
        for (GateInfo* info : node_info_) count += yields_entry(info->name.ptr(), output_category(*info));
        const Names& n = Names::get();
        bool yields[3];
        PyObject* gates[3] = {n.x, n.y, n.delay};
        for (int i = 0; i < 3; ++i) yields[i] = yields_entry(gates[i], inserted_category(gates[i]));
        if (yields[0] && yields[1] && yields[2]) return count + outcome.inserted();
        for (const sched::Window& w : outcome.windows) {
            for (std::uint32_t k = 0; k < w.count; ++k) {
                const sched::InsertedKind kind = sched::inserted_kind(w, options_.sequence, k);
                count += yields[kind == sched::InsertedKind::x ? 0 : kind == sched::InsertedKind::y ? 1 : 2];
            }
        }
        return count;
    }

    nb::object build_entries(const sched::Outcome& outcome) {
        window_entries_.resize(outcome.windows.size());
        const size_t originals_count = circuit_.size();
        const size_t count = entry_count(outcome);
        // Slots not yet filled stay NULL, which a list being freed skips, so
        // an error part way leaves nothing behind.
        nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(count)));
        Py_ssize_t filled = 0;
        // The output order is far from the order of the nodes' data in
        // memory: ask for it ahead, in two steps, as each step's address
        // comes from what the step before loads.
        auto prefetch_first = [&](dag::NodeId node) __attribute__((always_inline)) {
            if (node < originals_count) {
                circuit_.prefetch_node(node);
                __builtin_prefetch(&node_info_[node]);
            } else {
                __builtin_prefetch(&outcome.window_of[node - originals_count]);
            }
        };
        auto prefetch_second = [&](dag::NodeId node) __attribute__((always_inline)) {
            if (node < originals_count) {
                __builtin_prefetch(circuit_.entry(node), 1);
            } else {
                const std::uint32_t w = outcome.window_of[node - originals_count];
                __builtin_prefetch(&outcome.windows[w]);
                __builtin_prefetch(&window_entries_[w], 1);
            }
        };
        const std::vector<dag::NodeId>& order = outcome.order;
        InterruptPoll poll;
        for (size_t i = 0; i < order.size(); ++i) {
            poll.tick();
            if (i + kPrefetchAhead < order.size()) prefetch_first(order[i + kPrefetchAhead]);
            if (i + kPrefetchAhead / 2 < order.size()) prefetch_second(order[i + kPrefetchAhead / 2]);
            const dag::NodeId node = order[i];
            nb::object entry = node < originals_count ? original_entry(node)
                                                      : inserted_entry(outcome, node - originals_count);
            if (!entry.is_valid()) continue;
            if (static_cast<size_t>(filled) == count) {
                PyErr_SetString(PyExc_SystemError, "decoupling: more gate entries than counted");
                throw nb::python_error();
            }
            PyList_SET_ITEM(list.ptr(), filled++, entry.release().ptr());
        }
        if (static_cast<size_t>(filled) != count) {
            PyErr_SetString(PyExc_SystemError, "decoupling: fewer gate entries than counted");
            throw nb::python_error();
        }
        return list;
    }

    nb::handle self_, qc_;
    const int length_;
    // Read when the run starts: the dag module's categories decide the
    // output entries, as dag2qc would.
    GateCategories dag_categories_;
    sched::Options options_;
    nb::object t1g_;
    nb::object gates_;
    CircuitDag circuit_;
    nb::object mappings_[4];
    nb::object one_qubit_keys_, two_qubit_keys_;
    std::unordered_map<std::string, GateInfo> infos_;
    GateInfo* last_info_ = nullptr;
    std::string_view last_text_;
    std::vector<GateInfo*> node_info_;
    std::vector<WindowEntries> window_entries_;
    Category inserted_categories_[3] = {Category::none, Category::none, Category::none};
    bool inserted_known_[3] = {false, false, false};
};

nb::object run(Args args) {
    nb::handle self = args[0], qc = args[1];
    const bool align_right = convert_bool(args[3]);
    const bool insert_before_barrier = convert_bool(args[4]);
    const int length = sequence_length(args[2]);
    if (native_applies(self, qc)) return NativeRun(self, qc, length, align_right, insert_before_barrier).run();
    return GeneralRun(self, qc, length, align_right, insert_before_barrier).run();
}

}  // namespace

NB_MODULE(schedule, m) {
    install_interrupt_check();
    m.doc() = kModuleDoc;
    originals.module = m.ptr();
    nb::module_ copy = nb::module_::import_("copy");
    nb::module_ nx = nb::module_::import_("networkx");
    nb::module_ dag_module = nb::module_::import_("corvane.circuit.dag");
    nb::module_ helpers = nb::module_::import_("corvane.circuit.quantumcircuit_helpers");
    m.attr("copy") = copy;
    m.attr("nx") = nx;
    nb::object base = nb::module_::import_("corvane.circuit.stratum").attr("TranspilerPass");
    m.attr("TranspilerPass") = base;
    m.attr("qc2dag") = dag_module.attr("qc2dag");
    m.attr("dag2qc") = dag_module.attr("dag2qc");
    for (const char* name : {kOneQubit, kTwoQubit, kOneQubitParameter, kTwoQubitParameter})
        m.attr(name) = helpers.attr(name);
    m.attr("Literal") = nb::module_::import_("typing").attr("Literal");

    originals.copy = keep(copy);
    originals.deepcopy = keep(copy.attr("deepcopy"));
    originals.nx = keep(nx);
    originals.topological_generations = keep(nx.attr("topological_generations"));
    originals.digraph = keep(nx.attr("DiGraph"));
    originals.dag_module = keep(dag_module);
    originals.qc2dag = keep(dag_module.attr("qc2dag"));
    originals.dag2qc = keep(dag_module.attr("dag2qc"));
    originals.native_convert = keep(nb::module_::import_("corvane.circuit._convert").attr("convert_gate_info_to_dag_info"));
    originals.circuit_type = keep(nb::module_::import_("corvane.circuit.quantumcircuit").attr("QuantumCircuit"));
    originals.round = keep(nb::module_::import_("builtins").attr("round"));

    auto method = [&](const char* name) { return method_qualname("DynamicalDecoupling", name); };
    nb::object init_fn = make_function(m, {
        .name = "__init__",
        .qualname = method("__init__"),
        .doc = kInitDoc,
        .params = {{"self"}, {"t1g"}, {"t2g"}},
        .body = init,
    });
    nb::object counter_fn = make_function(m, {
        .name = "counter",
        .qualname = method("counter"),
        .doc = kCounterDoc,
        .params = {{"self"}},
        .body = counter,
    });
    nb::object max_fn = make_function(m, {
        .name = "_get_max_idle_time",
        .qualname = method("_get_max_idle_time"),
        .doc = kMaxIdleDoc,
        .params = {{"self"}, {"nodes"}},
        .body = get_max_idle_time,
    });
    nb::object update_fn = make_function(m, {
        .name = "_update_idle_time",
        .qualname = method("_update_idle_time"),
        .doc = kUpdateIdleDoc,
        .params = {{"self"}, {"node"}, {"max_idle_time"}},
        .body = update_idle_time,
    });
    nb::object run_fn = make_function(m, {
        .name = "run",
        .qualname = method("run"),
        .doc = kRunDoc,
        .params = {{"self"}, {"qc"}, {"sequence", nb::str("XY4")}, {"align_right", nb::bool_(true)},
                   {"insert_before_barrier", nb::bool_(false)}},
        .annotations = {{"sequence", "Literal['XY4', 'CPMG']"}, {"align_right", "bool"},
                        {"insert_before_barrier", "bool"}},
        .body = run,
    });
    originals.counter = counter_fn.ptr();
    originals.get_max_idle_time = max_fn.ptr();
    originals.update_idle_time = update_fn.ptr();
    nb::object metaclass = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
    nb::object cls = make_class(metaclass, m, "DynamicalDecoupling", nb::make_tuple(base), kClassDoc,
                                {{"__init__", init_fn},
                                 {"counter", counter_fn},
                                 {"_get_max_idle_time", max_fn},
                                 {"_update_idle_time", update_fn},
                                 {"run", run_fn}});
    m.attr("DynamicalDecoupling") = cls;
    // The class namespace keeps the method objects alive; keep our own
    // references too, so the identity tests never compare with freed objects.
    keep(counter_fn);
    keep(max_fn);
    keep(update_fn);
}
