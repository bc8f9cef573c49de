#include "common/override_guard.hpp"

#include <utility>

namespace corvane::bind {

namespace {

// The current value of a dependency: the module global, or its attribute.
nb::object current(nb::handle module, const GlobalDependency& row) {
    nb::object value = module_global_or_null(module, row.name);
    if (!value.is_valid() || !row.attribute) return value;
    return attribute_or_null(value, row.attribute);
}

// The module `name` when it has been imported; nothing is imported here.
nb::object imported_module(const char* name) {
    PyObject* module = PyImport_GetModule(nb::str(name).ptr());
    if (!module) PyErr_Clear();
    return nb::steal(module);
}

// A global bound on first use: while its package is not imported nobody can
// have changed it, and the name must still be unbound; once it is, the global
// (or the package, for a global not yet read) must give the package's own
// objects.
bool first_use_untouched(nb::handle module, const GlobalDependency& row) {
    nb::object bound = module_global_or_null(module, row.name);
    nb::object package = imported_module(row.first_use->import_name);
    if (!package.is_valid()) return !bound.is_valid();
    nb::object value = bound.is_valid() ? bound : package;
    if (!row.attribute) return value.is(package);
    nb::object defining = imported_module(row.defined_in);
    if (!defining.is_valid()) return false;
    nb::object expected = attribute_or_null(defining, row.attribute);
    return expected.is_valid() && attribute_or_null(value, row.attribute).is(expected);
}

}  // namespace

nb::object OverrideGuard::module_of(const char* name) const {
    return name ? nb::object(nb::module_::import_(name)) : module_;
}

OverrideGuard::OverrideGuard(nb::handle module, nb::handle pass_class,
                             PassDependencies dependencies)
    : module_(nb::borrow(module)),
      rows_(std::move(dependencies)),
      pass_class_(nb::borrow(pass_class)) {
    if (!rows_.attribute_hooks.empty()) {
        auto* type = reinterpret_cast<PyTypeObject*>(pass_class.ptr());
        getattro_ = type->tp_getattro;
        setattro_ = type->tp_setattro;
        object_getattribute_ =
            nb::handle(reinterpret_cast<PyObject*>(&PyBaseObject_Type)).attr("__getattribute__");
        for (const char* name : rows_.attribute_hooks) {
            PyObject* own = PyDict_GetItemString(type->tp_dict, name);
            if (!own) throw nb::attribute_error(name);
            attribute_hooks_.push_back({nb::borrow(interned(name)), nb::borrow(own)});
        }
    }
    for (const char* name : rows_.methods)
        methods_.push_back({nb::borrow(interned(name)), pass_class.attr(name)});
    for (const char* name : rows_.instance_state)
        instance_state_.push_back(nb::borrow(interned(name)));
    for (const GlobalDependency& row : rows_.globals) {
        GlobalSnapshot snapshot{row, module_of(row.module), {}, {}};
        if (row.first_use) {
            globals_.push_back(std::move(snapshot));
            continue;
        }
        snapshot.original =
            row.origin ? module_of(row.origin).attr(row.name) : current(snapshot.module, row);
        if (row.entries_kept) snapshot.entries = checked(PyDict_Copy(snapshot.original.ptr()));
        globals_.push_back(std::move(snapshot));
    }
    for (const SharedDependency& row : rows_.shared) {
        std::vector<nb::object> modules;
        for (const char* name : row.modules) modules.push_back(module_of(name));
        shared_modules_.push_back(std::move(modules));
    }
    if (rows_.circuit_class) {
        circuit_type_ = nb::module_::import_(rows_.circuit_module).attr(rows_.circuit_class);
        for (const char* name : rows_.circuit_methods)
            circuit_methods_.push_back({nb::borrow(interned(name)), circuit_type_.attr(name)});
    }
}

bool OverrideGuard::member_untouched(nb::handle type, nb::handle instance_dict,
                                     const Snapshot& member) {
    PyObject* found = PyObject_GetAttr(type.ptr(), member.name.ptr());
    if (!found) {
        PyErr_Clear();
        return false;
    }
    const bool same = found == member.original.ptr();
    Py_DECREF(found);
    return same &&
           !(instance_dict.is_valid() && PyDict_GetItem(instance_dict.ptr(), member.name.ptr()));
}

bool OverrideGuard::pass_untouched(nb::handle pass) const {
    PyTypeObject* type = Py_TYPE(pass.ptr());
    if (type->tp_getattro != getattro_) return false;
    if (rows_.plain_instance && type->tp_setattro != setattro_) return false;
    if (!attribute_hooks_.empty() && !attribute_hooks_untouched(type)) return false;
    nb::object dict = instance_dict(pass);
    if (rows_.plain_instance && !dict.is_valid()) return false;
    nb::handle type_object(reinterpret_cast<PyObject*>(type));
    for (const Snapshot& method : methods_)
        if (!member_untouched(type_object, dict, method)) return false;
    for (const nb::object& name : instance_state_) {
        PyObject* found = PyObject_GetAttr(type_object.ptr(), name.ptr());
        if (found) {
            Py_DECREF(found);
            return false;
        }
        PyErr_Clear();
    }
    return true;
}

bool OverrideGuard::attribute_hooks_untouched(PyTypeObject* type) const {
    // A C-level subclass may change the slots without any name below; the
    // slots were compared already. __getattr__ only sees the lookups that
    // object's __getattribute__ fails.
    PyObject* found = PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__getattribute__");
    if (!found) {
        PyErr_Clear();
        return false;
    }
    const bool object_lookup = found == object_getattribute_.ptr();
    Py_DECREF(found);
    if (!object_lookup) return false;
    // The class dicts along the MRO, not attribute lookup on the type: the
    // metaclass answers `__dict__` itself.
    PyObject* mro = type->tp_mro;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* klass = PyTuple_GET_ITEM(mro, i);
        PyObject* dict = reinterpret_cast<PyTypeObject*>(klass)->tp_dict;
        if (!dict) return false;
        const bool own = klass == pass_class_.ptr();
        for (const Snapshot& hook : attribute_hooks_) {
            PyObject* defined = PyDict_GetItem(dict, hook.name.ptr());
            if (own ? defined != hook.original.ptr() : defined != nullptr) return false;
        }
        if (own) return true;
    }
    return false;
}

bool OverrideGuard::globals_untouched() const {
    for (const GlobalSnapshot& snapshot : globals_) {
        if (snapshot.row.first_use) {
            if (!first_use_untouched(snapshot.module, snapshot.row)) return false;
            continue;
        }
        nb::object value = current(snapshot.module, snapshot.row);
        if (!value.is_valid() || !value.is(snapshot.original)) return false;
        if (!snapshot.row.entries_kept) continue;
        if (!PyDict_CheckExact(value.ptr())) return false;
        Py_ssize_t pos = 0;
        PyObject *key, *entry;
        while (PyDict_Next(snapshot.entries.ptr(), &pos, &key, &entry))
            if (PyDict_GetItem(value.ptr(), key) != entry) return false;
    }
    for (size_t i = 0; i < rows_.shared.size(); ++i) {
        const SharedDependency& row = rows_.shared[i];
        nb::object first;
        for (const nb::object& module : shared_modules_[i]) {
            nb::object value = module_global_or_null(module, row.name);
            if (!value.is_valid()) return false;
            if (!first.is_valid())
                first = value;
            else if (!value.is(first))
                return false;
        }
        if (row.exact_dict && !PyDict_CheckExact(first.ptr())) return false;
    }
    return true;
}

bool OverrideGuard::circuit_untouched(nb::handle circuit) const {
    if (!circuit_type_.is_valid()) return true;
    if (reinterpret_cast<PyObject*>(Py_TYPE(circuit.ptr())) != circuit_type_.ptr()) return false;
    if (circuit_methods_.empty()) return true;
    nb::object dict = instance_dict(circuit);
    if (!dict.is_valid()) return false;
    for (const Snapshot& method : circuit_methods_)
        if (!member_untouched(circuit_type_, dict, method)) return false;
    return true;
}

bool OverrideGuard::allows(nb::handle pass, nb::handle circuit) const {
    if (!circuit_untouched(circuit) || !pass_untouched(pass) || !globals_untouched()) return false;
    for (const ExactTypeDependency& row : rows_.exact_types) {
        nb::object value = attribute_or_null(
            row.of == ExactTypeDependency::Of::pass ? pass : circuit, row.attribute);
        if (!value.is_valid() || Py_TYPE(value.ptr()) != row.type) return false;
    }
    return true;
}

}  // namespace corvane::bind
