// corvane.circuit._metrics: the per-circuit figures of the file road (gate
// counts, two-qubit gates, depth, scheduled length) in one native walk of the
// gate list. What a gate name means (where its qubits are, how long it lasts)
// comes from the caller's `describe`, asked once per distinct name, so the
// gate categories the caller reads stay the one source of those rules.
#include "common/host.hpp"
#include "common/qubit_ids.hpp"
#include "metrics/layering.hpp"

#include <cstdint>
#include <vector>

namespace nb = nanobind;
using namespace corvane::bind;

namespace {

constexpr const char* kDoc =
    "Gate counts, two-qubit gates, depth and scheduled length of a gate list.\n"
    "\n"
    "Args:\n"
    "    gates (list): The gate entries, in program order.\n"
    "    describe (callable): name -> (where, duration, two_qubit, barrier, delay): the\n"
    "        index or slice of an entry that holds its qubits, or a callable that gives\n"
    "        them from the entry; its duration in seconds,\n"
    "        or for a delay the index of the item that holds it; and what the gate is.\n"
    "\n"
    "Returns:\n"
    "    tuple: (counts, two_qubit, depth, length): counts maps each gate name to its\n"
    "    entries, in first-seen order.\n";

// `duration` as host float addition reads it: an int or a float, or anything
// with __float__.
double seconds_of(PyObject* duration) {
    const double value = PyFloat_AsDouble(duration);
    if (value == -1.0) check(!PyErr_Occurred());
    return value;
}

// What `describe` said of one gate name.
struct Gate {
    nb::object where;        // int or slice, applied to the entry, or a callable of it
    bool call = false;       // where is a callable: where(entry) gives the qubits
    Py_ssize_t qubits_item;  // where, as an item holding a qubit collection; -1 for a slice
    bool slice = false;      // where is a slice: start, stop and step, unpacked once
    Py_ssize_t start = 0, stop = 0, step = 1;
    double duration = 0.0;
    Py_ssize_t duration_item = -1;  // a delay's item of its duration
    bool two_qubit = false;
    bool barrier = false;
    std::int64_t count = 0;
};

Gate describe_gate(nb::handle describe, PyObject* name) {
    nb::object description = checked(PyObject_CallOneArg(describe.ptr(), name));
    nb::object items = checked(PySequence_Tuple(description.ptr()));
    if (PyTuple_GET_SIZE(items.ptr()) != 5)
        throw nb::value_error("describe must return (where, duration, two_qubit, barrier, delay)");
    auto at = [&](Py_ssize_t i) { return PyTuple_GET_ITEM(items.ptr(), i); };
    Gate gate;
    gate.where = nb::borrow(at(0));
    const auto index = small_int(at(0));
    gate.qubits_item = index ? static_cast<Py_ssize_t>(*index) : -1;
    if (PySlice_Check(at(0))) {
        check(PySlice_Unpack(at(0), &gate.start, &gate.stop, &gate.step) == 0);
        gate.slice = true;
    } else if (!index && PyCallable_Check(at(0))) {
        gate.call = true;
    }
    gate.two_qubit = convert_bool(at(2));
    gate.barrier = convert_bool(at(3));
    if (convert_bool(at(4))) {
        gate.duration_item = PyNumber_AsSsize_t(at(1), PyExc_IndexError);
        check(!(gate.duration_item == -1 && PyErr_Occurred()));
    } else {
        gate.duration = seconds_of(at(1));
    }
    return gate;
}

// Appends the ids of the qubits of `entry` to `ids`.
void read_qubits(PyObject* entry, const Gate& gate, QubitIds& qubit_ids,
                 std::vector<std::uint32_t>& ids) {
    if (gate.slice && PyTuple_CheckExact(entry)) {  // entry[start:stop:step], read in place
        Py_ssize_t start = gate.start, stop = gate.stop;
        const Py_ssize_t n =
            PySlice_AdjustIndices(PyTuple_GET_SIZE(entry), &start, &stop, gate.step);
        for (Py_ssize_t k = 0, i = start; k < n; ++k, i += gate.step)
            ids.push_back(qubit_ids.id_of(PyTuple_GET_ITEM(entry, i)));
        return;
    }
    nb::object qubits = gate.call ? checked(PyObject_CallOneArg(gate.where.ptr(), entry))
                        : gate.qubits_item >= 0 && PyTuple_CheckExact(entry) &&
                                gate.qubits_item < PyTuple_GET_SIZE(entry)
                            ? nb::borrow(PyTuple_GET_ITEM(entry, gate.qubits_item))
                            : item(entry, gate.where);
    nb::object sequence = checked(PySequence_Fast(qubits.ptr(), "qubits must be iterable"));
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(sequence.ptr());
    PyObject** items = PySequence_Fast_ITEMS(sequence.ptr());
    for (Py_ssize_t i = 0; i < n; ++i) ids.push_back(qubit_ids.id_of(items[i]));
}

nb::object figures(Args args) {
    nb::object gates = checked(PySequence_Fast(args[0], "gates must be a sequence"));
    nb::handle describe = args[1];
    nb::object index_of = nb::dict();  // gate name -> index into `seen`, first-seen order
    std::vector<Gate> seen;
    std::vector<PyObject*> names;  // kept alive by index_of
    QubitIds qubit_ids;
    corvane::metrics::Layering layering;
    std::int64_t two_qubit = 0;
    std::vector<std::uint32_t> ids;

    const Py_ssize_t size = PySequence_Fast_GET_SIZE(gates.ptr());
    for (Py_ssize_t position = 0; position < size; ++position) {
        PyObject* entry = PySequence_Fast_GET_ITEM(gates.ptr(), position);
        nb::object name = PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) > 0
                              ? nb::borrow(PyTuple_GET_ITEM(entry, 0))
                              : item(entry, Py_ssize_t{0});
        PyObject* known = PyDict_GetItemWithError(index_of.ptr(), name.ptr());
        check(known || !PyErr_Occurred());
        std::size_t index;
        if (known) {
            index = PyLong_AsSize_t(known);
        } else {
            seen.push_back(describe_gate(describe, name.ptr()));
            names.push_back(name.ptr());
            index = seen.size() - 1;
            nb::object key = checked(PyLong_FromSize_t(index));
            check(PyDict_SetItem(index_of.ptr(), name.ptr(), key.ptr()) == 0);
        }
        Gate& gate = seen[index];
        ++gate.count;
        two_qubit += gate.two_qubit;
        ids.clear();
        read_qubits(entry, gate, qubit_ids, ids);
        double duration = gate.duration;
        if (gate.duration_item >= 0) duration = seconds_of(item(entry, gate.duration_item).ptr());
        layering.add(ids, duration, gate.barrier);
    }

    nb::object counts = nb::dict();
    for (std::size_t i = 0; i < seen.size(); ++i) {
        nb::object count = checked(PyLong_FromLongLong(seen[i].count));
        check(PyDict_SetItem(counts.ptr(), names[i], count.ptr()) == 0);
    }
    return nb::make_tuple(counts, two_qubit, layering.depth(), layering.length());
}

}  // namespace

NB_MODULE(_metrics, m) {
    m.doc() = "Native per-circuit figures: gate counts, depth and scheduled length.";
    m.attr("circuit_figures") = make_function(m, {
                                                     .name = "circuit_figures",
                                                     .doc = kDoc,
                                                     .params = {{"gates"}, {"describe"}},
                                                     .annotations = {{"return", "tuple"}},
                                                     .body = figures,
                                                 });
}
