#include "optimize/pending_dag.hpp"

#include "common/host.hpp"

#include <unordered_map>
#include <vector>

namespace corvane::bind::optimize {
namespace {

struct Entry {
    nb::object weakref;  // with the callback that removes the entry
    std::shared_ptr<PendingGraph> graph;
};

// Lives for the life of the process: entries hold Python objects, which must
// not be released after the interpreter has gone.
struct PendingState {
    std::unordered_map<PyObject*, Entry> pending;  // by instance
    nb::object key_dag, object_getstate;
    std::vector<nb::object> members;  // the class's, in the order of kPendingDagHooks
};
PendingState& pending_state() {
    static PendingState* s = new PendingState();  // never freed, as above
    return *s;
}

bool is_dag(PyObject* name) {
    return PyUnicode_Check(name) && PyUnicode_Compare(name, pending_state().key_dag.ptr()) == 0;
}

// Removes the instance's entry; true when it had one. The entry is released
// after the table is consistent again, as releasing it can run any code.
bool drop(PyObject* self) {
    auto& table = pending_state().pending;
    auto it = table.find(self);
    if (it == table.end()) return false;
    auto released = table.extract(it);
    return true;
}

// Builds the instance's pending graph into its dict.
void materialise(PyObject* self) {
    auto& table = pending_state().pending;
    auto it = table.find(self);
    if (it == table.end()) return;
    std::shared_ptr<PendingGraph> graph = it->second.graph;  // kept while building
    nb::object built = graph->build();
    it = table.find(self);
    // Building ran Python code (the graph's constructor); if that replaced or
    // dropped the pending graph, whatever it left is the instance's `dag`.
    if (it == table.end() || it->second.graph != graph) return;
    auto released = table.extract(it);
    check(PyObject_GenericSetAttr(self, pending_state().key_dag.ptr(), built.ptr()) == 0);
}

// The weak reference's callback, bound to the instance's address.
PyObject* forget(PyObject* address, PyObject* /*weakref*/) {
    drop(static_cast<PyObject*>(PyLong_AsVoidPtr(address)));
    Py_RETURN_NONE;
}
PyMethodDef kForgetDef = {"_forget_pending_dag", forget, METH_O, nullptr};

nb::object get_attribute(Args a) {
    if (is_dag(a[1])) materialise(a[0]);
    // Found now, or the usual AttributeError.
    return checked(PyObject_GenericGetAttr(a[0], a[1]));
}

nb::object set_attribute(Args a) {
    if (is_dag(a[1])) drop(a[0]);
    check(PyObject_GenericSetAttr(a[0], a[1], a[2]) == 0);
    return nb::none();
}

nb::object delete_attribute(Args a) {
    const bool had_pending = is_dag(a[1]) && drop(a[0]);
    if (PyObject_GenericSetAttr(a[0], a[1], nullptr) < 0) {
        if (!had_pending || !PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();  // the pending graph was the value deleted
    }
    return nb::none();
}

nb::object get_state(Args a) {
    materialise(a[0]);
    return checked(PyObject_CallOneArg(pending_state().object_getstate.ptr(), a[0]));
}

nb::object get_dict(Args a) {
    materialise(a[0]);
    return checked(PyObject_GenericGetDict(a[0], nullptr));
}

nb::object set_dict(Args a) {
    drop(a[0]);
    check(PyObject_GenericSetDict(a[0], a[1], nullptr) == 0);
    return nb::none();
}

nb::object delete_dict(Args a) {
    check(PyObject_GenericSetDict(a[0], nullptr, nullptr) == 0);  // raises, as for any instance
    return nb::none();
}

}  // namespace

std::array<std::pair<const char*, nb::handle>, 5> pending_dag_members(nb::handle module,
                                                                      const char* owner) {
    PendingState& s = pending_state();
    s.key_dag = nb::borrow(interned("dag"));
    s.object_getstate =
        nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)).attr("__getstate__");
    auto method = [&](const char* name, std::vector<Param> params, Body body) {
        return make_function(module, {.name = name,
                                      .qualname = method_qualname(owner, name),
                                      .params = std::move(params),
                                      .body = std::move(body)});
    };
    nb::object getter = method("__dict__", {{"self"}}, get_dict);
    nb::object setter = method("__dict__", {{"self"}, {"value"}}, set_dict);
    nb::object deleter = method("__dict__", {{"self"}}, delete_dict);
    nb::object members[] = {
        method("__getattr__", {{"self"}, {"name"}}, get_attribute),
        method("__setattr__", {{"self"}, {"name"}, {"value"}}, set_attribute),
        method("__delattr__", {{"self"}, {"name"}}, delete_attribute),
        method("__getstate__", {{"self"}}, get_state),
        checked(PyObject_CallFunctionObjArgs(reinterpret_cast<PyObject*>(&PyProperty_Type),
                                             getter.ptr(), setter.ptr(), deleter.ptr(), nullptr)),
    };
    std::array<std::pair<const char*, nb::handle>, 5> out;
    for (size_t i = 0; i < out.size(); ++i) {
        s.members.push_back(std::move(members[i]));
        out[i] = {kPendingDagHooks[i], s.members.back()};
    }
    return out;
}

bool set_pending_dag(nb::handle self, std::shared_ptr<PendingGraph> graph) {
    auto& table = pending_state().pending;
    auto it = table.find(self.ptr());
    if (it != table.end()) {
        std::shared_ptr<PendingGraph> replaced = std::move(it->second.graph);
        it->second.graph = std::move(graph);
    } else {
        nb::object address = checked(PyLong_FromVoidPtr(self.ptr()));
        nb::object callback = checked(PyCFunction_New(&kForgetDef, address.ptr()));
        PyObject* weakref = PyWeakref_NewRef(self.ptr(), callback.ptr());
        if (!weakref) {
            if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw nb::python_error();
            PyErr_Clear();
            return false;
        }
        table.emplace(self.ptr(), Entry{nb::steal(weakref), std::move(graph)});
    }
    // The graph of an earlier run (or a caller's) goes, as an assignment would drop it.
    if (PyObject_GenericSetAttr(self.ptr(), pending_state().key_dag.ptr(), nullptr) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
    }
    return true;
}

}  // namespace corvane::bind::optimize
