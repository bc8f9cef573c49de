#include "common/digraph.hpp"

#include <bit>
#include <cstdint>

namespace corvane::bind {

namespace {

// Node key -> position, by identity: the keys of `_succ[u]` are normally the
// very objects that key `_node`. An equal but distinct key (a user may build
// edges from equal strings) is found through a dict built on first need.
class NodeIndex {
public:
    explicit NodeIndex(const std::vector<nb::object>& nodes) : nodes_(nodes) {
        size_t capacity = std::bit_ceil(nodes.size() * 2 + 2);
        slots_.assign(capacity, Slot{nullptr, 0});
        mask_ = capacity - 1;
        for (std::uint32_t i = 0; i < nodes.size(); ++i) {
            size_t h = hash(nodes[i].ptr());
            while (slots_[h].key) h = (h + 1) & mask_;
            slots_[h] = Slot{nodes[i].ptr(), i};
        }
    }

    std::uint32_t find(PyObject* key) {
        for (size_t h = hash(key); slots_[h].key; h = (h + 1) & mask_)
            if (slots_[h].key == key) return slots_[h].index;
        if (!by_equality_.is_valid()) {
            by_equality_ = nb::dict();
            for (std::uint32_t i = 0; i < nodes_.size(); ++i)
                check(PyDict_SetItem(by_equality_.ptr(), nodes_[i].ptr(), nb::int_(i).ptr()) == 0);
        }
        PyObject* found = PyDict_GetItemWithError(by_equality_.ptr(), key);
        if (!found) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
            throw nb::python_error();
        }
        return static_cast<std::uint32_t>(PyLong_AsUnsignedLong(found));
    }

private:
    struct Slot {
        PyObject* key;
        std::uint32_t index;
    };
    size_t hash(PyObject* key) const {
        return (reinterpret_cast<std::uintptr_t>(key) >> 4) * 0x9E3779B97F4A7C15ull & mask_;
    }
    const std::vector<nb::object>& nodes_;
    std::vector<Slot> slots_;
    size_t mask_ = 0;
    nb::object by_equality_;
};

PyObject* digraph_type_ptr = nullptr;  // kept for the life of the process

}  // namespace

nb::handle networkx_digraph_type() {
    // networkx.classes.digraph holds the class itself, even while a caller has
    // rebound networkx.DiGraph.
    if (!digraph_type_ptr)
        digraph_type_ptr =
            nb::object(nb::module_::import_("networkx.classes.digraph").attr("DiGraph")).release().ptr();
    return digraph_type_ptr;
}

bool is_plain_digraph(nb::handle graph) {
    return reinterpret_cast<PyObject*>(Py_TYPE(graph.ptr())) == networkx_digraph_type().ptr();
}

DiGraphWriter::DiGraphWriter(nb::handle graph)
    : graph_(nb::borrow(graph)),
      node_(graph.attr("_node")),
      succ_(graph.attr("_succ")),
      pred_(graph.attr("_pred")) {}

void DiGraphWriter::add_node(PyObject* name, PyObject* attributes) {
    nb::object succ = checked(PyDict_New());
    nb::object pred = checked(PyDict_New());
    check(PyDict_SetItem(succ_.ptr(), name, succ.ptr()) == 0);
    check(PyDict_SetItem(pred_.ptr(), name, pred.ptr()) == 0);
    check(PyDict_SetItem(node_.ptr(), name, attributes) == 0);
}

void DiGraphWriter::add_edge(PyObject* source, PyObject* target, PyObject* data) {
    PyObject* successors = PyDict_GetItemWithError(succ_.ptr(), source);
    PyObject* predecessors = PyDict_GetItemWithError(pred_.ptr(), target);
    if (!successors || !predecessors) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, successors ? target : source);
        throw nb::python_error();
    }
    check(PyDict_SetItem(successors, target, data) == 0);
    check(PyDict_SetItem(predecessors, source, data) == 0);
}

void DiGraphWriter::finish() {
    if (PyObject_HasAttrString(graph_.ptr(), "__networkx_cache__")) {
        nb::object cache = graph_.attr("__networkx_cache__");
        if (PyDict_Check(cache.ptr())) PyDict_Clear(cache.ptr());
    }
}

DiGraphSnapshot read_digraph(nb::handle graph) {
    DiGraphSnapshot snapshot;
    nb::object node = graph.attr("_node");
    nb::object succ = graph.attr("_succ");
    // Node order is the order of `_succ`, which networkx's degree views walk.
    const Py_ssize_t count = PyDict_Size(succ.ptr());
    snapshot.nodes.reserve(count);
    snapshot.attributes.reserve(count);
    std::vector<nb::object> successor_dicts;
    successor_dicts.reserve(count);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(succ.ptr(), &pos, &key, &value)) {
        snapshot.nodes.push_back(nb::borrow(key));
        successor_dicts.push_back(nb::borrow(value));
    }
    // `_node` normally lists the same keys in the same order: walk it alongside
    // and look a key up only where the two differ.
    Py_ssize_t node_pos = 0;
    for (auto& n : snapshot.nodes) {
        PyObject *node_key = nullptr, *attributes = nullptr;
        if (!PyDict_Next(node.ptr(), &node_pos, &node_key, &attributes) || node_key != n.ptr()) {
            attributes = PyDict_GetItemWithError(node.ptr(), n.ptr());
            if (!attributes) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, n.ptr());
                throw nb::python_error();
            }
        }
        snapshot.attributes.push_back(nb::borrow(attributes));
    }
    NodeIndex index(snapshot.nodes);
    snapshot.dag.reserve(count, count * 2);
    for (Py_ssize_t i = 0; i < count; ++i) snapshot.dag.add_node();
    for (Py_ssize_t u = 0; u < count; ++u) {
        Py_ssize_t p = 0;
        while (PyDict_Next(successor_dicts[u].ptr(), &p, &key, &value)) {
            // find() may run the key's __hash__/__eq__, which may drop it from the dict.
            nb::object successor = nb::borrow(key);
            snapshot.dag.append_edge(static_cast<dag::NodeId>(u), index.find(successor.ptr()));
        }
    }
    return snapshot;
}

}  // namespace corvane::bind
