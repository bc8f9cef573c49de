// The generic path of DynamicalDecoupling: the pass performed on the host's
// objects, call by call (the module's qc2dag, copy.deepcopy, networkx's
// layering, the object's own counter, _get_max_idle_time and
// _update_idle_time, the graph's remove_edge/add_nodes_from/add_edges_from),
// so every override a user makes is honoured.
#include "schedule/pass.hpp"

#include "common/gate_entries.hpp"

#include <cstdio>
#include <limits>
#include <new>
#include <string>
#include <vector>

namespace corvane::bind::schedule {

namespace {}  // namespace

nb::object counter(Args args) {
    nb::handle self = args[0];
    const Names& n = Names::get();
    nb::object value = getattr(self, n.count);
    nb::object one = py_int(1);
    nb::object next = number(PyNumber_InPlaceAdd(value.ptr(), one.ptr()));
    check(PyObject_SetAttr(self.ptr(), n.count, next.ptr()) == 0);
    return getattr(self, n.count);
}

namespace {

// `list(a.keys()) + list(b.keys())`
nb::object joined_keys(const char* first, const char* second) {
    const Names& n = Names::get();
    nb::object a = checked(PySequence_List(global(state().module, first).attr(n.keys)().ptr()));
    nb::object b = checked(PySequence_List(global(state().module, second).attr(n.keys)().ptr()));
    return number(PyNumber_Add(a.ptr(), b.ptr()));
}

bool sets_meet(PyObject* names, PyObject* gates) {
    nb::object a = checked(PySet_New(names));
    nb::object b = checked(PySet_New(gates));
    return truth(number(PyNumber_And(a.ptr(), b.ptr())));
}

}  // namespace

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

namespace {

bool in_category(const char* category, PyObject* gate) {
    int found = PySequence_Contains(global(state().module, category).ptr(), gate);
    check(found >= 0);
    return found != 0;
}

}  // namespace

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
    check_max_entries(args[3]);
    check(PyObject_SetAttr(self.ptr(), n.t1g, args[1]) == 0);
    check(PyObject_SetAttr(self.ptr(), n.t2g, args[2]) == 0);
    check(PyObject_SetAttr(self.ptr(), n.count, py_int(kFirstSerial).ptr()) == 0);
    // Kept only when given, so a pass made without it reads the module's ceiling.
    if (args[3] != Py_None) check(PyObject_SetAttr(self.ptr(), n.max_entries, args[3]) == 0);
    return nb::none();
}

void check_max_entries(PyObject* value) {
    if (value == Py_None) return;
    if (!PyLong_Check(value) || PyBool_Check(value)) {
        PyErr_Format(PyExc_TypeError, "max_entries must be an int or None, got %s",
                     Py_TYPE(value)->tp_name);
        throw nb::python_error();
    }
    nb::object one = py_int(1);
    if (!truth(compare(value, one.ptr(), Py_GE))) {
        PyErr_Format(PyExc_ValueError, "max_entries must be at least 1, got %R", value);
        throw nb::python_error();
    }
}

double entry_ceiling(nb::handle self) {
    nb::object value = nb::steal(PyObject_GetAttr(self.ptr(), Names::get().max_entries));
    if (!value.is_valid()) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
    }
    if (!value.is_valid() || value.is_none()) value = state().limits.attr("MAX_ENTRIES");
    check_max_entries(value.ptr());
    const double ceiling = PyLong_AsDouble(value.ptr());
    if (ceiling == -1.0 && PyErr_Occurred()) {  // beyond any double: no ceiling
        PyErr_Clear();
        return std::numeric_limits<double>::infinity();
    }
    return ceiling;
}

namespace {

// A count as digits while a double holds it exactly, else to 3 digits.
std::string count_text(double value) {
    if (value < 0x1p53) return std::to_string(static_cast<long long>(value));
    char text[32];
    std::snprintf(text, sizeof text, "%.3g", value);
    return text;
}

}  // namespace

void raise_over_ceiling(const sched::NodeCount& count) {
    const std::string message = "decoupling would produce " + count_text(count.total) +
                                " entries, over the ceiling of " + count_text(count.ceiling) +
                                " (raise it with max_entries= or --max-entries)";
    PyErr_SetString(state().limits.attr("LimitExceeded").ptr(), message.c_str());
    throw nb::python_error();
}

TrainArithmetic train_arithmetic(PyObject* idle_time, PyObject* t1g, PyObject* length) {
    nb::object period = number(PyNumber_Multiply(t1g, length));
    nb::object repetitions =
        number(PyNumber_Long(number(PyNumber_FloorDivide(idle_time, period.ptr())).ptr()));
    nb::object one = py_int(1);
    nb::object n_dd = truth(compare(one.ptr(), repetitions.ptr(), Py_GT)) ? one : repetitions;
    nb::object grid_ns = py_float(sched::kGridNs);
    nb::object pulses = number(PyNumber_Multiply(n_dd.ptr(), length));
    nb::object filled = number(PyNumber_Multiply(pulses.ptr(), t1g));
    nb::object spare = number(PyNumber_Subtract(idle_time, filled.ptr()));
    nb::object per_pulse = number(PyNumber_TrueDivide(spare.ptr(), length));
    nb::object per_gap = number(PyNumber_TrueDivide(per_pulse.ptr(), n_dd.ptr()));
    nb::object grid = number(PyNumber_Multiply(grid_ns.ptr(), py_float(1e-9).ptr()));
    nb::object units = state().round(number(PyNumber_TrueDivide(per_gap.ptr(), grid.ptr())));
    nb::object tgap = number(PyNumber_Multiply(
        number(PyNumber_Multiply(units.ptr(), grid_ns.ptr())).ptr(), py_float(1e-9).ptr()));
    nb::object tgap_half = number(PyNumber_TrueDivide(tgap.ptr(), py_int(2).ptr()));
    return {n_dd, tgap, tgap_half};
}

namespace {

nb::object qubit_data(PyObject* qubit) {
    nb::object data = checked(PyDict_New());
    check(PyDict_SetItem(data.ptr(), Keys::get().qubit, one_item_list(qubit).ptr()) == 0);
    return data;
}

// The pass in two steps: the walk plans every window (calling the object's
// _get_max_idle_time and _update_idle_time layer by layer, cutting the edges
// the trains replace) and counts their nodes; then, when the count is within
// the ceiling, the windows' nodes are made in plan order, drawing their
// serials in the order the pass draws them. A walk that fails still draws
// the serials of the windows planned before the failure.
class GenericRun {
  public:
    GenericRun(nb::handle self, nb::handle qc, int length, bool align_right,
               bool insert_before_barrier, double max_nodes)
        : self_(self),
          qc_(qc),
          length_(length),
          align_right_(align_right),
          insert_before_barrier_(insert_before_barrier),
          length_object_(py_int(length)),
          count_{0.0, max_nodes} {}

    nb::object run() {
        nb::handle m = state().module;
        check_entry_qubits(qc_);
        dag_ = global(m, "qc2dag")(qc_, nb::arg("show_qubits") = false);
        build_record();
        dag_copy_ = global(m, "copy").attr("deepcopy")(dag_);
        const Py_ssize_t nodes = PyObject_Length(dag_.ptr());
        check(nodes >= 0);
        count_.total = static_cast<double>(nodes);
        try {
            walk(global(m, "nx"));
        } catch (nb::python_error&) {
            draw_planned_serials();
            throw;
        } catch (std::bad_alloc&) {
            draw_planned_serials();
            throw;
        }
        if (count_.passed) raise_over_ceiling(count_);
        for (const PlannedWindow& window : planned_) make(window);
        return global(m, "dag2qc")(dag_, qc_.attr("nqubits"), qc_.attr("ncbits"));
    }

  private:
    // A leading delay (pre_node None, lasting idle_time) or a pulse train.
    struct PlannedWindow {
        nb::object qubit, node, pre_node, idle_time;
        TrainArithmetic numbers;
        Py_ssize_t repetitions = 0;
        bool gaps = false;
        Py_ssize_t nodes = 1;
    };

    void walk(nb::handle nx) {
        if (align_right_) {
            nb::object reversed = dag_copy_.attr("reverse")();
            nb::object generations = checked(PyList_New(0));
            for (nb::handle nodes : nx.attr("topological_generations")(reversed))
                check(PyList_Insert(generations.ptr(), 0, nodes.ptr()) == 0);
            for (nb::handle nodes : generations) layer(nodes);
        } else {
            for (nb::handle nodes : nx.attr("topological_generations")(dag_copy_)) layer(nodes);
        }
    }

    void draw_planned_serials() {
        for (const PlannedWindow& window : planned_)
            for (Py_ssize_t i = 0; i < window.nodes; ++i) self_.attr(Names::get().counter)();
    }

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
            check(PyDict_SetItem(record_.ptr(), q.ptr(),
                                 py_int(static_cast<long long>(keys_.size())).ptr()) == 0);
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
            const size_t i =
                PyLong_AsSize_t(checked(PyObject_GetItem(record_.ptr(), qubit.ptr())).ptr());
            nb::object pre_node = current_[i];
            nb::object idle_time = idle_[i];
            window(qubit, node, pre_node, idle_time);
            idle_[i] = self_.attr(n.update_idle_time)(node, max_idle_time);
            current_[i] = nb::borrow(node);
        }
        for (size_t i = 0; i < keys_.size(); ++i) {
            int acting = PyDict_Contains(qubit_node.ptr(), keys_[i].ptr());
            check(acting >= 0);
            if (!acting)
                idle_[i] = number(PyNumber_InPlaceAdd(idle_[i].ptr(), max_idle_time.ptr()));
        }
    }

    void window(nb::handle qubit, nb::handle node, nb::handle pre_node, nb::handle idle_time) {
        const Names& n = Names::get();
        if (pre_node.is_none()) {
            if (truth(compare(idle_time.ptr(), py_int(0).ptr(), Py_GT)) && count_.admit(1.0)) {
                PlannedWindow delay;
                delay.qubit = nb::borrow(qubit);
                delay.node = nb::borrow(node);
                delay.pre_node = nb::none();
                delay.idle_time = nb::borrow(idle_time);
                planned_.push_back(std::move(delay));
            }
            return;
        }
        nb::object period =
            number(PyNumber_Multiply(getattr(self_, n.t1g).ptr(), length_object_.ptr()));
        if (!truth(compare(idle_time.ptr(), period.ptr(), Py_GE))) return;
        if (truth(compare(gate_name_of(node.ptr()).ptr(), n.barrier, Py_EQ)) &&
            !insert_before_barrier_)
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

        nb::object t1g = getattr(self_, n.t1g);
        PlannedWindow planned;
        planned.numbers = train_arithmetic(idle_time.ptr(), t1g.ptr(), length_object_.ptr());
        planned.gaps = truth(compare(planned.numbers.gap.ptr(), py_int(0).ptr(), Py_GT));

        const double repetitions = PyLong_AsDouble(planned.numbers.repetitions.ptr());
        check(!(repetitions == -1.0 && PyErr_Occurred()));
        const double nodes = sched::train_nodes(repetitions, length_, planned.gaps);
        if (!count_.admit(nodes)) return;
        if (nodes > sched::kMaxTrainNodes) throw std::bad_alloc();
        planned.qubit = nb::borrow(qubit);
        planned.node = nb::borrow(node);
        planned.pre_node = nb::borrow(pre_node);
        planned.repetitions = static_cast<Py_ssize_t>(repetitions);
        planned.nodes = static_cast<Py_ssize_t>(nodes);
        planned_.push_back(std::move(planned));
    }

    // Adds a planned window's nodes and edges to the graph.
    void make(const PlannedWindow& window) {
        const Names& n = Names::get();
        nb::handle qubit = window.qubit;
        if (window.pre_node.is_none()) {
            nb::object delay = make_node(n.delay, qubit, window.idle_time.ptr());
            nb::object edge = nb::make_tuple(delay[0], window.node, qubit_data(qubit.ptr()));
            dag_.attr("add_nodes_from")(one_item_list(delay.ptr()));
            dag_.attr("add_edges_from")(one_item_list(edge.ptr()));
            return;
        }
        PyObject* tgap = window.numbers.gap.ptr();
        PyObject* tgap_half = window.numbers.half_gap.ptr();
        const bool gaps = window.gaps;
        const Py_ssize_t count = window.repetitions;
        nb::object dd_nodes = checked(PyList_New(0));
        auto append = [&](PyObject* gate, PyObject* duration) {
            check(PyList_Append(dd_nodes.ptr(), make_node(gate, qubit, duration).ptr()) == 0);
        };
        for (Py_ssize_t idx = 0; idx < count; ++idx) {
            if (gaps) append(n.delay, idx == 0 ? tgap_half : tgap);
            for (int k = 0; k < length_; ++k) {
                if (k > 0 && gaps) append(n.delay, tgap);
                const bool x = length_ == 2 || ((k % 2 == 0) == (idx % 2 == 0));
                append(x ? n.x : n.y, nullptr);
            }
            if (idx == count - 1 && gaps) append(n.delay, tgap_half);
        }

        const Py_ssize_t size = PyList_GET_SIZE(dd_nodes.ptr());
        auto name_at = [&](Py_ssize_t i) {
            return PyTuple_GET_ITEM(PyList_GET_ITEM(dd_nodes.ptr(), i), 0);
        };
        nb::object dd_edges = checked(PyList_New(0));
        auto add_edge = [&](PyObject* u, PyObject* v) {
            PyObject* triple = PyTuple_Pack(3, u, v, qubit_data(qubit.ptr()).ptr());
            check(triple != nullptr);
            nb::object owned = nb::steal(triple);
            check(PyList_Append(dd_edges.ptr(), triple) == 0);
        };
        for (Py_ssize_t i = 0; i + 1 < size; ++i) add_edge(name_at(i), name_at(i + 1));
        add_edge(window.pre_node.ptr(), name_at(0));
        add_edge(name_at(size - 1), window.node.ptr());
        dag_.attr("add_nodes_from")(dd_nodes);
        dag_.attr("add_edges_from")(dd_edges);
    }

    // (f"{gate}_{self.counter()}_[{qubit}]", {"qubits": [qubit]} [+ "duration"])
    nb::object make_node(PyObject* gate, nb::handle qubit, PyObject* duration) {
        const Names& n = Names::get();
        nb::object serial = self_.attr(n.counter)();
        nb::object serial_text = checked(PyObject_Format(serial.ptr(), n.empty));
        nb::object qubit_text = checked(PyObject_Format(qubit.ptr(), n.empty));
        nb::object name =
            checked(PyUnicode_FromFormat("%U_%U_[%U]", gate, serial_text.ptr(), qubit_text.ptr()));
        nb::object attributes = checked(PyDict_New());
        check(PyDict_SetItem(attributes.ptr(), Keys::get().qubits,
                             one_item_list(qubit.ptr()).ptr()) == 0);
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
    sched::NodeCount count_;
    std::vector<PlannedWindow> planned_;
};

}  // namespace

nb::object run_generic(nb::handle self, nb::handle qc, int length, bool align_right,
                       bool insert_before_barrier, double max_nodes) {
    return GenericRun(self, qc, length, align_right, insert_before_barrier, max_nodes).run();
}

}  // namespace corvane::bind::schedule
