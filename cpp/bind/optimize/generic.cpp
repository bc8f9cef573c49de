// The generic path of GateCompressor: each method does its work on the host's
// objects through the graph's own networkx methods and the module's globals,
// looked up when used, so any of them may be overridden or rebound.
#include "optimize/pass.hpp"

#include "common/gate_entries.hpp"
#include "gates/gate_table.hpp"

#include <algorithm>
#include <tuple>
#include <utility>
#include <vector>

namespace corvane::bind::optimize {

namespace {

// `a, b, c = value` with the host's message for a value that cannot be iterated.
std::vector<nb::object> unpack_result(nb::handle value, Py_ssize_t count) {
    if (Py_TYPE(value.ptr())->tp_iter == nullptr && !PySequence_Check(value.ptr())) {
        PyErr_Format(PyExc_TypeError, "cannot unpack non-iterable %.200s object",
                     Py_TYPE(value.ptr())->tp_name);
        throw nb::python_error();
    }
    return unpack(value.ptr(), count);
}

// (self, node1, node2) of a method on a pair of nodes named by strings.
std::tuple<nb::handle, nb::handle, nb::handle> rule_arguments(Args a) {
    return {a[0], require_str(a[1], "node1"), require_str(a[2], "node2")};
}

// `fn(*args)`
nb::object call_star(nb::handle fn, nb::handle args) {
    nb::object tuple = checked(PySequence_Tuple(args.ptr()));
    return checked(PyObject_Call(fn.ptr(), tuple.ptr(), nullptr));
}

nb::object node_data(nb::handle self, nb::handle node, nb::handle key) {
    nb::object nodes = self.attr("dag").attr("nodes");
    return item(item(nodes, node), key);
}

nb::object edge_qubit(nb::handle self, nb::handle u, nb::handle v) {
    nb::object data = self.attr("dag").attr("get_edge_data")(u, v);
    return item(data, state().key_qubit);
}

bool np_allclose_identity(nb::handle mat) {
    nb::object np = module_global("np");
    nb::object n = item(mat.attr("shape"), 0);
    return truth(np.attr("allclose")(mat, np.attr("eye")(n)));
}

}  // namespace

nb::object init(Args a) {
    nb::handle self = a[0];
    nb::object super_obj = checked(PyObject_CallFunctionObjArgs(
        reinterpret_cast<PyObject*>(&PySuper_Type), state().pass_class.ptr(), self.ptr(), nullptr));
    super_obj.attr("__init__")();
    // The gate table's compressible gates, in the order of their ranks.
    std::vector<const gates::GateRow*> listed;
    for (const gates::GateRow& row : gates::gate_rows())
        if (row.compressible_rank) listed.push_back(&row);
    std::sort(listed.begin(), listed.end(), [](const gates::GateRow* a, const gates::GateRow* b) {
        return a->compressible_rank < b->compressible_rank;
    });
    nb::object names = checked(PyList_New(0));
    for (const gates::GateRow* row : listed)
        append(names, nb::str(row->name.data(), row->name.size()));
    self.attr("compressible_gates") = names;
    self.attr("_idx") = nb::int_(kFirstSerial);
    return nb::none();
}

namespace {

// The three globals are looked up once and kept while only native code runs;
// any call into Python (a matrix function, numpy) may rebind them, so after
// one the next entry looks them up again, as the generic path does at every entry.
struct EntryGlobals {
    nb::object one_param, two_param, table;
    void refresh() {
        if (one_param.is_valid()) return;
        one_param = module_global("one_qubit_parameter_gates_available");
        two_param = module_global("two_qubit_parameter_gates_available");
        table = module_global("gate_matrix_dict");
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
        auto found = state().matrix_functions.find(fn.ptr());
        const Py_ssize_t size = PyTuple_GET_SIZE(gate_info.ptr());
        if (found != state().matrix_functions.end() &&
            size - 1 - cut == static_cast<Py_ssize_t>(compress::parameter_count(found->second))) {
            double v[3] = {0, 0, 0};
            bool plain = true;
            for (Py_ssize_t i = 1; i < size - cut && plain; ++i) {
                compress::Number number{};
                plain = plain_number(PyTuple_GET_ITEM(gate_info.ptr(), i), number);
                v[i - 1] = number.value;
            }
            if (plain) return !compress::matrix_is_identity(found->second, v);
        }
    }
    globals.forget();
    nb::object slice = checked(PySlice_New(nb::int_(1).ptr(), nb::int_(-cut).ptr(), nullptr));
    nb::object params = item(gate_info, slice);
    nb::object mat = call_star(fn, params);
    return !np_allclose_identity(mat);
}

// deepcopy(qc) whose gate list is not copied: nobody sees the copy's list,
// which is replaced at once, and copying a long list of tuples is the cost.
nb::object copy_without_gates(nb::handle qc, nb::handle gates) {
    nb::object memo = checked(PyDict_New());
    nb::object key = checked(PyLong_FromVoidPtr(gates.ptr()));
    nb::object placeholder = checked(PyList_New(0));
    check(PyDict_SetItem(memo.ptr(), key.ptr(), placeholder.ptr()) == 0);
    return state().copy_deepcopy(qc, memo);
}

}  // namespace

nb::object kept_entries(nb::handle gates, bool fast) {
    nb::object kept = checked(PyList_New(0));
    EntryGlobals globals;
    nb::object iterator = checked(PyObject_GetIter(gates.ptr()));
    InterruptPoll poll;
    while (PyObject* raw = PyIter_Next(iterator.ptr())) {
        poll.tick();
        nb::object gate_info = nb::steal(raw);
        if (keep_entry(gate_info, fast, globals)) append(kept, gate_info);
    }
    check(!PyErr_Occurred());
    return kept;
}

nb::object kept_plain_entries(PyObject* gates) {
    std::vector<nb::object> kept;
    kept.reserve(static_cast<size_t>(PyList_GET_SIZE(gates)));
    EntryGlobals globals;
    PyObject* last_name = nullptr;
    Py_ssize_t last_cut = 0;
    bool all_untracked = true;
    // A matrix function called for an entry (keep_entry's slow path) may
    // change the list: its size is read at every step.
    InterruptPoll poll;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(gates); ++i) {
        poll.tick();
        if (i + static_cast<Py_ssize_t>(kPrefetchAhead) < PyList_GET_SIZE(gates))
            __builtin_prefetch(PyList_GET_ITEM(gates, i + static_cast<Py_ssize_t>(kPrefetchAhead)));
        nb::object entry = nb::borrow(PyList_GET_ITEM(gates, i));
        if (!PyTuple_CheckExact(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) == 0) return {};
        PyObject* name = PyTuple_GET_ITEM(entry.ptr(), 0);
        if (!PyUnicode_CheckExact(name)) return {};
        if (!globals.one_param.is_valid())
            last_name = nullptr;  // Python ran: the categories are read again
        globals.refresh();
        if (name != last_name) {
            last_cut = contains(globals.one_param, name)   ? 1
                       : contains(globals.two_param, name) ? 2
                                                           : 0;
            last_name = name;
        }
        if (last_cut) {
            compress::Number n;
            for (Py_ssize_t k = 1; k < PyTuple_GET_SIZE(entry.ptr()) - last_cut; ++k)
                if (!plain_number(PyTuple_GET_ITEM(entry.ptr(), k), n)) return {};
            if (!keep_entry(entry, true, globals)) continue;
        }
        all_untracked = all_untracked && !PyObject_GC_IsTracked(entry.ptr());
        kept.push_back(std::move(entry));
    }
    nb::object tuple = checked(PyTuple_New(static_cast<Py_ssize_t>(kept.size())));
    for (size_t i = 0; i < kept.size(); ++i)
        PyTuple_SET_ITEM(tuple.ptr(), static_cast<Py_ssize_t>(i), kept[i].release().ptr());
    // A tuple of entries the collector has untracked cannot be in a cycle
    // either; the collector would untrack it on its first visit, after
    // walking every entry. The run's graph keeps it until `dag` is read.
    if (all_untracked) PyObject_GC_UnTrack(tuple.ptr());
    return tuple;
}

nb::object remove_identity_gates(Args a) {
    nb::handle qc = a[1];
    const bool fast = state().numpy_guard->globals_untouched();
    if (state().guard->circuit_untouched(qc)) {
        nb::object gates = qc.attr("gates");
        nb::object new_qc = copy_without_gates(qc, gates);
        new_qc.attr("gates") = kept_entries(gates, fast);
        return new_qc;
    }
    nb::object new_qc = qc.attr("deepcopy")();
    nb::object kept = kept_entries(qc.attr("gates"), fast);
    new_qc.attr("gates") = kept;
    return new_qc;
}

nb::object is_adjacent_gates(Args a) {
    auto [self, node1, node2] = rule_arguments(a);
    nb::object gate1 = gate_name_of(node1.ptr());
    nb::object gate2 = gate_name_of(node2.ptr());
    nb::object qubits1 = node_data(self, node1, state().key_qubits);
    nb::object qubits2 = node_data(self, node2, state().key_qubits);
    if (!equal(gate1, gate2)) return nb::bool_(false);
    if (!contains(self.attr("compressible_gates"), gate1)) return nb::bool_(false);
    if (!equal(qubits1, qubits2)) return nb::bool_(false);
    nb::object out_edges = list_of(self.attr("dag").attr("out_edges")(node1));
    nb::object in_edges = list_of(self.attr("dag").attr("in_edges")(node2));
    if (!equal(out_edges, in_edges)) return nb::bool_(false);
    if (equal(gate1, state().r_str)) {
        // An "r" pair is one rotation only about the same axis.
        nb::object phi1 = item(node_data(self, node1, state().key_params), 1);
        nb::object phi2 = item(node_data(self, node2, state().key_params), 1);
        if (!equal(phi1, phi2)) return nb::bool_(false);
    }
    return nb::bool_(true);
}

nb::object has_adjacent_gates(Args a) {
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

namespace {

struct MergeLists {
    nb::object remove, added, edges;
    MergeLists(nb::handle node1, nb::handle node2)
        : remove(checked(PyList_New(0))),
          added(checked(PyList_New(0))),
          edges(checked(PyList_New(0))) {
        append(remove, node1);
        append(remove, node2);
    }
    nb::object result() const { return nb::make_tuple(remove, added, edges); }
    void edge(nb::handle u, nb::handle v, nb::handle qubits) {
        append(edges, nb::make_tuple(u, v, qubit_dict(qubits)));
    }
};

// The single predecessor of node1 and the single successor of node2, or None.
std::pair<nb::object, nb::object> single_neighbours(nb::handle self, nb::handle node1,
                                                    nb::handle node2) {
    nb::object preds = list_of(self.attr("dag").attr("predecessors")(node1));
    nb::object pre = PyList_GET_SIZE(preds.ptr()) ? item(preds, 0) : nb::object(nb::none());
    nb::object succs = list_of(self.attr("dag").attr("successors")(node2));
    nb::object suc = PyList_GET_SIZE(succs.ptr()) ? item(succs, 0) : nb::object(nb::none());
    return {pre, suc};
}

void relink_single(nb::handle self, nb::handle node1, nb::handle node2, nb::handle pre,
                   nb::handle suc, MergeLists& lists) {
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
    append(parts, checked(PyObject_Format(gate.ptr(), state().empty_str)));
    append(parts, state().underscore);
    append(parts, checked(PyObject_Format(serial.ptr(), state().empty_str)));
    append(parts, state().underscore);
    append(parts, checked(PyObject_Format(qubits.ptr(), state().empty_str)));
    return checked(PyUnicode_Join(state().empty_str, parts.ptr()));
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
nb::object merged_parameters(nb::handle self, nb::handle gate, nb::handle node1, nb::handle node2,
                             bool one) {
    nb::object params1 = node_data(self, node1, state().key_params);
    nb::object params2 = node_data(self, node2, state().key_params);
    if (one && equal(gate, nb::str("u"))) {
        nb::object u_mat = module_global("u_mat");
        nb::object u1 = call_star(u_mat, params1);
        nb::object u2 = call_star(u_mat, params2);
        nb::object product = checked(PyNumber_MatrixMultiply(u2.ptr(), u1.ptr()));
        auto angles = unpack(module_global("u3_decompose")(product).ptr(), 4);
        nb::object out = checked(PyList_New(0));
        for (int k = 0; k < 3; ++k) append(out, angles[k]);
        return out;
    }
    if (one && equal(gate, state().r_str)) {
        // The pair has one phi (is_adjacent_gates checks it): only theta adds.
        nb::object out = checked(PyList_New(0));
        append(out, checked(PyNumber_Add(item(params1, 0).ptr(), item(params2, 0).ptr())));
        append(out, item(params1, 1));
        return out;
    }
    return summed(params1, params2);
}

}  // namespace

nb::object compress_single(Args a) {
    auto [self, node1, node2] = rule_arguments(a);
    MergeLists lists(node1, node2);
    auto [pre, suc] = single_neighbours(self, node1, node2);
    relink_single(self, node1, node2, pre, suc, lists);
    return lists.result();
}

namespace {

// The node a fusion adds: named with a fresh serial drawn through `idx`, with
// the first node's qubit list and the merged parameters.
nb::object add_fused_node(nb::handle self, nb::handle gate, nb::handle node1, nb::handle params,
                          MergeLists& lists) {
    nb::object qubits = node_data(self, node1, state().key_qubits);
    nb::object name = fused_name(gate, self.attr("idx"), qubits);
    nb::object attributes = checked(PyDict_New());
    check(PyDict_SetItem(attributes.ptr(), state().key_qubits, qubits.ptr()) == 0);
    check(PyDict_SetItem(attributes.ptr(), state().key_params, params.ptr()) == 0);
    append(lists.added, nb::make_tuple(name, attributes));
    return name;
}

}  // namespace

nb::object compress_single_parameter(Args a) {
    auto [self, node1, node2] = rule_arguments(a);
    MergeLists lists(node1, node2);
    auto [pre, suc] = single_neighbours(self, node1, node2);
    nb::object gate = gate_name_of(node1.ptr());
    nb::object params = merged_parameters(self, gate, node1, node2, true);
    nb::object mat = call_star(item(module_global("gate_matrix_dict"), gate), params);
    if (np_allclose_identity(mat)) {
        relink_single(self, node1, node2, pre, suc, lists);
        return lists.result();
    }
    nb::object name = add_fused_node(self, gate, node1, params, lists);
    if (!pre.is_none()) lists.edge(pre, name, edge_qubit(self, pre, node1));
    if (!suc.is_none()) lists.edge(name, suc, edge_qubit(self, node2, suc));
    return lists.result();
}

namespace {

nb::object many_cancel(nb::handle self, nb::handle node1, nb::handle node2) {
    MergeLists lists(node1, node2);
    nb::object pre_dic = neighbour_map(self, node1, true);
    nb::object suc_dic = neighbour_map(self, node2, false);
    relink_many(self, pre_dic, suc_dic, lists);
    return lists.result();
}

}  // namespace

nb::object compress_two(Args a) {
    return many_cancel(a[0], require_str(a[1], "node1"), require_str(a[2], "node2"));
}

nb::object compress_three(Args a) { return many_cancel(a[0], a[1], a[2]); }

nb::object compress_two_parameter(Args a) {
    auto [self, node1, node2] = rule_arguments(a);
    MergeLists lists(node1, node2);
    nb::object pre_dic = neighbour_map(self, node1, true);
    nb::object suc_dic = neighbour_map(self, node2, false);
    nb::object gate = gate_name_of(node1.ptr());
    nb::object params = merged_parameters(self, gate, node1, node2, false);
    nb::object mat = call_star(item(module_global("gate_matrix_dict"), gate), params);
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
            if (map.is(pre_dic))
                lists.edge(other, name, q);
            else
                lists.edge(name, other, q);
        }
    }
    return lists.result();
}

nb::object run_compress_once(Args a) {
    auto [self, node1, node2] = rule_arguments(a);
    nb::object gate = gate_name_of(node1.ptr());
    for (const auto& [category, rule] : kRuleOfCategory)
        if (contains(module_global(category), gate)) return self.attr(rule)(node1, node2);
    return nb::none();
}

nb::object idx(Args a) {
    nb::handle self = a[0];
    nb::object next = checked(PyNumber_Add(self.attr("_idx").ptr(), nb::int_(1).ptr()));
    self.attr("_idx") = next;
    return self.attr("_idx");
}

nb::object run_generic(nb::handle self, nb::handle qc) {
    nb::object qubits = qc.attr("qubits");
    nb::object qc1 = self.attr("remove_identity_gates")(qc);
    self.attr("dag") = module_global("qc2dag")(qc1);
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
    nb::object new_qc =
        module_global("dag2qc")(self.attr("dag"), qc1.attr("nqubits"), qc1.attr("ncbits"));
    new_qc.attr("qubits") = qubits;
    return new_qc;
}

}  // namespace corvane::bind::optimize
