// corvane.circuit.schedule: what the three parts of the DynamicalDecoupling
// binding share. module.cpp holds the docstrings, the table of what the
// native path depends on and the module set-up; generic.cpp the generic path
// (the pass performed on the host's objects, call by call, so every override
// is honoured); native.cpp the native path, which runs the whole walk in the
// core's engine (schedule/decoupling.hpp) and builds the gate list directly.
// The two paths give equal gate lists and leave `_count` equal.
#pragma once

#include "common/host.hpp"
#include "common/interrupt_check.hpp"
#include "common/override_guard.hpp"
#include "schedule/decoupling.hpp"

#include <memory>

namespace corvane::bind::schedule {

namespace sched = corvane::schedule;

// The value `_count` starts from: `counter` advances it before each use, so
// the first node the pass inserts is named "<gate>_86752_[<qubit>]".
inline constexpr long long kFirstSerial = 86751;

inline constexpr const char* kOneQubit = "one_qubit_gates_available";
inline constexpr const char* kTwoQubit = "two_qubit_gates_available";
inline constexpr const char* kOneQubitParameter = "one_qubit_parameter_gates_available";
inline constexpr const char* kTwoQubitParameter = "two_qubit_parameter_gates_available";

// What the module bound at import; lives for the life of the process.
struct ModuleState {
    nb::object module;
    nb::object dag_module;
    nb::object round;   // builtins.round
    nb::object limits;  // corvane.circuit.limits: MAX_ENTRIES and LimitExceeded
    std::unique_ptr<OverrideGuard> guard;
};
inline ModuleState& state() {
    static ModuleState* s =
        new ModuleState();  // never freed: the module lives as long as the process
    return *s;
}

// Interned names the pass uses, made once.
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
    PyObject* max_entries = interned("max_entries");
    static const Names& get() {
        static const Names names;
        return names;
    }
};

// The result of a host operation (a rich comparison, arithmetic): a new
// reference, raising the pending error when it is null.
inline nb::object compare(PyObject* a, PyObject* b, int op) {
    return checked(PyObject_RichCompare(a, b, op));
}
inline nb::object number(PyObject* result) { return checked(result); }
inline nb::object getattr(nb::handle object, PyObject* name) {
    return checked(PyObject_GetAttr(object.ptr(), name));
}

inline nb::object py_float(double value) { return checked(PyFloat_FromDouble(value)); }
inline nb::object py_int(long long value) { return checked(PyLong_FromLongLong(value)); }

// [item]
inline nb::object one_item_list(PyObject* item) {
    nb::object list = checked(PyList_New(1));
    PyList_SET_ITEM(list.ptr(), 0, Py_NewRef(item));
    return list;
}

// The numbers of one window's pulse train, on host numbers, computed as the
// pass computes them: how many repetitions of the sequence, and the gaps.
struct TrainArithmetic {
    nb::object repetitions;  // n_dd: at least 1
    nb::object gap;          // tgap: the delay between two pulses
    nb::object half_gap;     // tgap / 2: the delays at either end
};
// Raises the host's error where the host raises one (a zero period, a
// non-finite value in round()).
TrainArithmetic train_arithmetic(PyObject* idle_time, PyObject* t1g, PyObject* length);

// A max_entries value: None, or an int of at least 1.
void check_max_entries(PyObject* value);
// The most entries a result may hold: the pass's max_entries, or
// limits.MAX_ENTRIES when it has none (or None).
double entry_ceiling(nb::handle self);
// Raises LimitExceeded for a result that would pass the ceiling.
[[noreturn]] void raise_over_ceiling(const sched::NodeCount& count);

// The bodies of the methods (generic.cpp).
nb::object init(Args args);
nb::object counter(Args args);
nb::object get_max_idle_time(Args args);
nb::object update_idle_time(Args args);
nb::object run_generic(nb::handle self, nb::handle qc, int length, bool align_right,
                       bool insert_before_barrier, double max_nodes);

// The whole pass in the core's engine (native.cpp); the caller has asked the
// guard.
nb::object run_native(nb::handle self, nb::handle qc, int length, bool align_right,
                      bool insert_before_barrier, double max_nodes);

}  // namespace corvane::bind::schedule
