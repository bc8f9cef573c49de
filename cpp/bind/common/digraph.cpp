#include "common/digraph.hpp"

#include "common/interrupt.hpp"

#include <bit>
#include <cstddef>
#include <cstdint>
#include <stdexcept>

namespace corvane::bind {

namespace {

// Node key -> position, by identity: the keys of `_succ[u]` are normally the
// very objects that key `_node`. An equal but distinct key (a user may build
// edges from equal strings) is found through a dict built on first need.
class NodeIndex {
  public:
    static constexpr std::uint32_t kMissing = UINT32_MAX;

    // Open addressing over positions into `nodes`: 4 bytes a slot keeps the
    // table small enough to stay in cache while the edges are walked.
    explicit NodeIndex(const std::vector<PyObject*>& nodes) : nodes_(nodes) {
        size_t capacity = std::bit_ceil(nodes.size() * 2 + 2);
        slots_.assign(capacity, kMissing);
        shift_ = 64 - std::countr_zero(capacity);
        // Each insertion is a cache miss into a table of tens of megabytes at
        // millions of nodes: a few hundred milliseconds in all, so it polls.
        InterruptPoll poll;
        for (std::uint32_t i = 0; i < nodes.size(); ++i) {
            poll.tick();
            size_t h = slot_of(nodes[i]);
            while (slots_[h] != kMissing) h = (h + 1) & (capacity - 1);
            slots_[h] = i;
        }
    }

    [[gnu::always_inline]] void prefetch(PyObject* key) const {
        __builtin_prefetch(&slots_[slot_of(key)]);
    }

    // The position of the very object `key`, or kMissing. Runs no user code.
    std::uint32_t find_identical(PyObject* key) const {
        const size_t mask = slots_.size() - 1;
        for (size_t h = slot_of(key); slots_[h] != kMissing; h = (h + 1) & mask)
            if (nodes_[slots_[h]] == key) return slots_[h];
        return kMissing;
    }

    // The position of the node equal to `key`; runs the keys' __hash__/__eq__.
    std::uint32_t find_equal(PyObject* key) {
        if (!by_equality_.is_valid()) {
            by_equality_ = nb::dict();
            for (std::uint32_t i = 0; i < nodes_.size(); ++i)
                check(PyDict_SetItem(by_equality_.ptr(), nodes_[i], nb::int_(i).ptr()) == 0);
        }
        PyObject* found = PyDict_GetItemWithError(by_equality_.ptr(), key);
        if (!found) {
            if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, key);
            throw nb::python_error();
        }
        return static_cast<std::uint32_t>(PyLong_AsUnsignedLong(found));
    }

  private:
    // Fibonacci hashing: the high bits of the product mix every pointer bit.
    size_t slot_of(PyObject* key) const {
        return (reinterpret_cast<std::uintptr_t>(key) * 0x9E3779B97F4A7C15ull) >> shift_;
    }
    const std::vector<PyObject*>& nodes_;
    std::vector<std::uint32_t> slots_;
    int shift_ = 0;
    nb::object by_equality_;
};

PyObject* digraph_type_ptr = nullptr;  // kept for the life of the process

}  // namespace

nb::handle networkx_digraph_type() {
    // The defining module holds the class itself, even while a caller has
    // rebound networkx.DiGraph.
    if (!digraph_type_ptr)
        digraph_type_ptr =
            nb::object(nb::module_::import_(kDiGraphModule).attr("DiGraph")).release().ptr();
    return digraph_type_ptr;
}

bool is_plain_digraph(nb::handle graph) {
    return reinterpret_cast<PyObject*>(Py_TYPE(graph.ptr())) == networkx_digraph_type().ptr();
}

DiGraphWriter::DiGraphWriter(nb::handle graph, std::size_t node_capacity)
    : graph_(nb::borrow(graph)),
      node_(graph.attr("_node")),
      succ_(graph.attr("_succ")),
      pred_(graph.attr("_pred")),
      nodes_(node_capacity) {}

void DiGraphWriter::add_node(std::size_t id, PyObject* name, PyObject* attributes) {
    if (!PyUnicode_CheckExact(name))
        throw std::logic_error("DiGraphWriter: node names must be exact str");
    nb::object succ = checked(PyDict_New());
    nb::object pred = checked(PyDict_New());
    // CPython 3.11 tracks an empty dict only once a container goes into it,
    // here when its first edge is added, long after it was made. A collection
    // walks the young objects in the order they were tracked, and that order
    // jumping across memory made the collection the new graph makes due take
    // twice as long. Tracked now; finish() untracks those left empty, so each
    // dict ends as networkx would leave it.
    const bool track_successors = !PyObject_GC_IsTracked(succ.ptr());
    const bool track_predecessors = !PyObject_GC_IsTracked(pred.ptr());
    if (track_successors) PyObject_GC_Track(succ.ptr());
    if (track_predecessors) PyObject_GC_Track(pred.ptr());
    const Py_ssize_t before = PyDict_GET_SIZE(succ_.ptr());
    check(PyDict_SetItem(succ_.ptr(), name, succ.ptr()) == 0);
    if (PyDict_GET_SIZE(succ_.ptr()) == before)
        throw std::logic_error("DiGraphWriter: node added twice");
    check(PyDict_SetItem(pred_.ptr(), name, pred.ptr()) == 0);
    check(PyDict_SetItem(node_.ptr(), name, attributes) == 0);
    nodes_.at(id) = {name, succ.ptr(), pred.ptr(), track_successors, track_predecessors};
}

void DiGraphWriter::add_edge(std::size_t source, std::size_t target, PyObject* data) {
    const Node& from = nodes_.at(source);
    const Node& to = nodes_.at(target);
    if (!from.name || !to.name) throw std::logic_error("DiGraphWriter: edge to a node not added");
    check(PyDict_SetItem(from.successors, to.name, data) == 0);
    check(PyDict_SetItem(to.predecessors, from.name, data) == 0);
}

void DiGraphWriter::finish() {
    for (const Node& node : nodes_) {
        if (!node.name) continue;
        if (node.tracked_successors && PyDict_GET_SIZE(node.successors) == 0)
            PyObject_GC_UnTrack(node.successors);
        if (node.tracked_predecessors && PyDict_GET_SIZE(node.predecessors) == 0)
            PyObject_GC_UnTrack(node.predecessors);
    }
    if (PyObject_HasAttrString(graph_.ptr(), "__networkx_cache__")) {
        nb::object cache = graph_.attr("__networkx_cache__");
        if (PyDict_Check(cache.ptr())) PyDict_Clear(cache.ptr());
    }
}

void DiGraphSnapshot::hold(std::initializer_list<const std::vector<PyObject*>*> more) {
    if (holding_) return;
    holding_ = true;
    held_.reserve(nodes.size() + attributes.size() + more.size());
    for (PyObject* object : nodes) held_.push_back(nb::borrow(object));
    for (PyObject* object : attributes) held_.push_back(nb::borrow(object));
    for (const std::vector<PyObject*>* objects : more)
        for (PyObject* object : *objects) held_.push_back(nb::borrow(object));
}

DiGraphSnapshot read_digraph(nb::handle graph) {
    DiGraphSnapshot snapshot;
    nb::object node = graph.attr("_node");
    nb::object succ = graph.attr("_succ");
    // Node order is the order of `_succ`, which networkx's degree views walk.
    const Py_ssize_t count = PyDict_Size(succ.ptr());
    snapshot.nodes.reserve(count);
    snapshot.attributes.reserve(count);
    std::vector<PyObject*> successor_dicts;
    successor_dicts.reserve(count);
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    InterruptPoll poll;
    while (PyDict_Next(succ.ptr(), &pos, &key, &value)) {
        poll.tick();
        snapshot.nodes.push_back(key);
        successor_dicts.push_back(value);
    }
    // `_node` normally lists the same keys in the same order: walk it alongside
    // and look a key up only where the two differ.
    snapshot.attributes.assign(snapshot.nodes.size(), Py_None);
    Py_ssize_t node_pos = 0;
    for (size_t i = 0; i < snapshot.nodes.size(); ++i) {
        poll.tick();
        PyObject* n = snapshot.nodes[i];
        PyObject *node_key = nullptr, *attributes = nullptr;
        if (!PyDict_Next(node.ptr(), &node_pos, &node_key, &attributes) || node_key != n) {
            snapshot.hold({&successor_dicts});  // the lookup may run a key's __eq__
            attributes = PyDict_GetItemWithError(node.ptr(), n);
            if (!attributes) {
                if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, n);
                throw nb::python_error();
            }
        }
        if (snapshot.holding()) snapshot.keep(attributes);
        snapshot.attributes[i] = attributes;
    }
    // First every successor key, dict by dict (the dicts are separate objects
    // reached through pointers: ask for them, then their entries, ahead)...
    std::vector<PyObject*> successor_keys;
    successor_keys.reserve(count * 2);
    snapshot.successors.offsets.reserve(count + 1);
    for (size_t u = 0; u < successor_dicts.size(); ++u) {
        poll.tick();
        if (u + kPrefetchAhead < successor_dicts.size())
            __builtin_prefetch(successor_dicts[u + kPrefetchAhead]);
        if (u + kPrefetchAhead / 2 < successor_dicts.size())
            prefetch_dict_entries(successor_dicts[u + kPrefetchAhead / 2]);
        // Reading an entry of a string-keyed dict loads the key object; the
        // keys here are mostly the names of the next few dozen nodes.
        if (u + 2 * kPrefetchAhead < successor_dicts.size())
            __builtin_prefetch(snapshot.nodes[u + 2 * kPrefetchAhead]);
        Py_ssize_t p = 0;
        while (PyDict_Next(successor_dicts[u], &p, &key, &value)) successor_keys.push_back(key);
        snapshot.successors.offsets.push_back(static_cast<std::uint32_t>(successor_keys.size()));
    }
    // ...then their positions, with the hash slot of each asked for ahead.
    NodeIndex index(snapshot.nodes);
    std::vector<dag::NodeId>& targets = snapshot.successors.targets;
    targets.resize(successor_keys.size());
    for (size_t i = 0; i < successor_keys.size(); ++i) {
        poll.tick();
        if (i + kPrefetchAhead < successor_keys.size())
            index.prefetch(successor_keys[i + kPrefetchAhead]);
        targets[i] = index.find_identical(successor_keys[i]);
        if (targets[i] == NodeIndex::kMissing) {
            // An equal but distinct key: finding it runs user code, which may
            // change the graph's dicts.
            snapshot.hold({&successor_dicts, &successor_keys});
            targets[i] = index.find_equal(successor_keys[i]);
        }
    }
    return snapshot;
}

}  // namespace corvane::bind
