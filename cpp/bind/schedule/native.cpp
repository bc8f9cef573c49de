// The native path of DynamicalDecoupling: reads the circuit into the core's
// engine (schedule/decoupling.hpp), which lays it out, measures the idle
// windows and places the pulse trains, and builds the output gate list
// directly, reusing the circuit's own entries where dag2qc would rebuild
// equal ones.
#include "schedule/pass.hpp"

#include "common/gate_entries.hpp"
#include "common/without_gil.hpp"
#include "common/gate_name_cache.hpp"
#include "common/qubit_ids.hpp"

#include <new>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::bind::schedule {

namespace dag = corvane::dag;

namespace {

// What the pass needs to know of one gate name, computed once per name.
struct GateInfo {
    nb::object name;  // the gate name as dag2qc splits it from a node name
    sched::NodeTiming timing;
    bool output_known = false;
    Category output = Category::none;  // the dag module's category, read when first needed
};

// The idle record's positions: each qubit of the circuit's qubit list, in
// first-seen order, as the record dict of the generic path numbers them.
class Record {
  public:
    explicit Record(nb::handle qubits) {
        for (nb::handle q : qubits) ids_.id_of(q.ptr());
    }
    std::uint32_t find(PyObject* qubit) const { return ids_.find(qubit); }
    std::uint32_t size() const { return ids_.count(); }
    // Raises the KeyError the record raises for a qubit it does not hold.
    [[noreturn]] static void raise_missing(PyObject* qubit) {
        nb::object empty = checked(PyDict_New());
        nb::object value = checked(PyObject_GetItem(empty.ptr(), qubit));
        PyErr_SetString(PyExc_SystemError, "idle record lookup unexpectedly succeeded");
        throw nb::python_error();
    }

  private:
    static_assert(QubitIds::kMissing == sched::kNoQubit);
    QubitIds ids_;
};

// Re-does a failing window's arithmetic on host numbers, so the host raises
// its own error with its own message.
[[noreturn]] void raise_window_arithmetic(double idle_time, PyObject* t1g, int length) {
    train_arithmetic(py_float(idle_time).ptr(), t1g, py_int(length).ptr());
    PyErr_SetString(PyExc_SystemError,
                    "decoupling arithmetic failed natively but not on host floats");
    throw nb::python_error();
}

// The circuit's own entry, when it is an immutable tuple equal item by item
// (by identity) to the entry dag2qc builds for its node.
bool reusable(PyObject* entry, Category category, PyObject* attributes, PyObject* qubits) {
    if (!PyTuple_CheckExact(entry)) return false;
    const Py_ssize_t size = PyTuple_GET_SIZE(entry);
    if (size == 0 || !PyUnicode_CheckExact(PyTuple_GET_ITEM(entry, 0))) return false;
    PyObject* gate = PyTuple_GET_ITEM(entry, 0);
    const EntryShape* shape =
        entry_shape(category, category == Category::functional ? utf8_of(gate) : "");
    // Measure entries hold the node's own lists; other shapes may give no entry.
    if (!shape || !shape->written_back || shape->cbits_item >= 0) return false;
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
    const Py_ssize_t width = shape->trailing_qubits;
    if (shape->parameters) {
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
    if (size != shape->size || (width && !qubits_tail(width))) return false;
    if (shape->qubits_item >= 0 && !same_tuple(item(shape->qubits_item))) return false;
    if (shape->duration_item >= 0) {
        PyObject* duration = PyDict_GetItemWithError(attributes, Keys::get().duration);
        if (!duration) PyErr_Clear();
        return duration == item(shape->duration_item);
    }
    return true;
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
    NativeRun(nb::handle self, nb::handle qc, int length, bool align_right,
              bool insert_before_barrier, double max_nodes)
        : self_(self), qc_(qc), length_(length), dag_categories_(state().dag_module) {
        options_.max_nodes = max_nodes;
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
        check_qubits_within(circuit_, nqubits.ptr());
        Record record(qubits);
        read_timing_categories();

        sched::Problem problem = build_problem(record);
        sched::Outcome outcome =
            run_without_gil([&] { return sched::decouple(std::move(problem), options_); });

        // Serials drawn stay drawn, also when the walk failed; a result over
        // the ceiling is refused before any is drawn.
        if (outcome.inserted() > 0 && outcome.status != sched::Status::over_ceiling) {
            nb::object drawn = checked(PyLong_FromSize_t(outcome.inserted()));
            nb::object next = number(PyNumber_Add(count.ptr(), drawn.ptr()));
            check(PyObject_SetAttr(self_.ptr(), n.count, next.ptr()) == 0);
        }
        switch (outcome.status) {
            case sched::Status::ok:
                break;
            case sched::Status::missing_qubit:
                record.raise_missing(circuit_.qubits(outcome.failed_node)[outcome.failed_position]);
            case sched::Status::arithmetic:
                raise_window_arithmetic(outcome.failed_idle_time, t1g_.ptr(), length_);
            case sched::Status::too_large:
                throw std::bad_alloc();
            case sched::Status::over_ceiling:
                raise_over_ceiling({outcome.would_hold, options_.max_nodes});
        }

        nb::object entries = build_entries(outcome);
        // The gate list holds what it needs of the circuit's read data.
        circuit_ = CircuitDag{};
        pause.end_and_collect_young(entries.ptr());
        nb::object result = global(state().dag_module, "QuantumCircuit")(nqubits, ncbits);
        result.attr("gates") = entries;
        result.attr("qubits") = qubits;
        return result;
    }

  private:
    void read_timing_categories() {
        nb::handle m = state().module;
        static constexpr const char* kNames[4] = {kOneQubit, kTwoQubit, kOneQubitParameter,
                                                  kTwoQubitParameter};
        for (int i = 0; i < 4; ++i) mappings_[i] = global(m, kNames[i]);
        // The layer length tests names against the sets of keys, as the
        // generic path builds them.
        const Names& n = Names::get();
        auto key_set = [&](int a, int b) {
            nb::object joined = number(
                PyNumber_Add(checked(PySequence_List(mappings_[a].attr(n.keys)().ptr())).ptr(),
                             checked(PySequence_List(mappings_[b].attr(n.keys)().ptr())).ptr()));
            return checked(PySet_New(joined.ptr()));
        };
        one_qubit_keys_ = key_set(0, 2);
        two_qubit_keys_ = key_set(1, 3);
    }

    GateInfo& info_for(PyObject* gate) {
        const std::string_view text = utf8_of(gate);
        if (GateInfo* known = infos_.find(text)) return *known;
        GateInfo info;
        info.name =
            checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        PyObject* name = info.name.ptr();
        if (contains(two_qubit_keys_, name))
            info.timing.layer = sched::LayerClass::two_qubit;
        else if (contains(one_qubit_keys_, name))
            info.timing.layer = sched::LayerClass::one_qubit;
        if (contains(mappings_[0], name) || contains(mappings_[2], name))
            info.timing.rest = sched::RestClass::after_t1g;
        else if (contains(mappings_[1], name))
            info.timing.rest = sched::RestClass::after_t2g;
        info.timing.barrier = text == "barrier";
        return infos_.insert(text, std::move(info));
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
        // Fresh memory, touched edge by edge: over 0.1 s at 2e6 gates, so it polls.
        for (size_t i = 0; i < count; ++i) {
            poll.tick();
            problem.dag.add_node();
        }
        for (const auto& edge : circuit_.dependencies.edges) {
            poll.tick();
            problem.dag.add_edge(edge.source, edge.target);
        }
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
        const sched::InsertedKind kind =
            sched::inserted_kind(window, options_.sequence, id - window.first);
        WindowEntries& cache = window_entries_[w];
        const int slot = static_cast<int>(kind);
        if (cache.made[slot]) return cache.entry[slot];
        if (!cache.qubit.is_valid())
            cache.qubit = nb::borrow(circuit_.qubits(window.node)[window.position]);
        PyObject* q = cache.qubit.ptr();
        const Names& n = Names::get();
        PyObject* gate = kind == sched::InsertedKind::x   ? n.x
                         : kind == sched::InsertedKind::y ? n.y
                                                          : n.delay;
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
            if (duration.is_valid())
                check(PyDict_SetItem(attributes.ptr(), Keys::get().duration, duration.ptr()) == 0);
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
        const EntryShape* shape =
            entry_shape(category, category == Category::functional ? utf8_of(gate) : "");
        return shape && shape->written_back;
    }

    // The length of the output gate list, known before any entry is made so
    // the list is filled in place.
    size_t entry_count(const sched::Outcome& outcome) {
        size_t count = 0;
        for (GateInfo* info : node_info_)
            count += yields_entry(info->name.ptr(), output_category(*info));
        const Names& n = Names::get();
        bool yields[3];
        PyObject* gates[3] = {n.x, n.y, n.delay};
        for (int i = 0; i < 3; ++i) yields[i] = yields_entry(gates[i], inserted_category(gates[i]));
        if (yields[0] && yields[1] && yields[2]) return count + outcome.inserted();
        for (const sched::Window& w : outcome.windows) {
            for (std::uint32_t k = 0; k < w.count; ++k) {
                const sched::InsertedKind kind = sched::inserted_kind(w, options_.sequence, k);
                count += yields[kind == sched::InsertedKind::x   ? 0
                                : kind == sched::InsertedKind::y ? 1
                                                                 : 2];
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
            if (i + kPrefetchAhead / 2 < order.size())
                prefetch_second(order[i + kPrefetchAhead / 2]);
            const dag::NodeId node = order[i];
            nb::object entry = node < originals_count
                                   ? original_entry(node)
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
    GateNameCache<GateInfo> infos_;
    std::vector<GateInfo*> node_info_;
    std::vector<WindowEntries> window_entries_;
    Category inserted_categories_[3] = {Category::none, Category::none, Category::none};
    bool inserted_known_[3] = {false, false, false};
};

}  // namespace

nb::object run_native(nb::handle self, nb::handle qc, int length, bool align_right,
                      bool insert_before_barrier, double max_nodes) {
    return NativeRun(self, qc, length, align_right, insert_before_barrier, max_nodes).run();
}

}  // namespace corvane::bind::schedule
