// The override guard: whether a pass's native path may stand in for its
// generic path.
//
// The generic path of a pass looks up, at every step, the methods of the pass
// object, the globals of its module and of the modules it calls, the
// category mappings and the attributes of the pass and circuit. The native
// path reproduces what those lookups give as the package binds them. A pass
// declares what it depends on in one table (PassDependencies); the guard
// snapshots the named objects when the module is imported and, before each
// native run, tells whether all of them are still in place. Making one more
// method overridable is one more row in a pass's table.
#pragma once

#include "common/first_use_globals.hpp"
#include "common/host.hpp"

#include <vector>

namespace corvane::bind {

// A module global, or an attribute of one, that must still be the object it
// was when the pass's module was imported.
struct GlobalDependency {
    const char* module;               // import name; nullptr: the pass's own module
    const char* name;                 // the global
    const char* attribute = nullptr;  // when set: this attribute of the global
    // When set: the object expected is this module's global of the same name
    // (the object the native path stands in for), not the one `module` held.
    const char* origin = nullptr;
    // The global is an exact dict still holding every entry it held at import.
    bool entries_kept = false;
    // When set: the global is bound on first use to this package, so there is
    // nothing to snapshot at import. The expected object is the package itself
    // or, with `attribute`, the attribute as the package's module `defined_in`
    // holds it (a user may rebind the package's own re-export).
    const FirstUseGlobal* first_use = nullptr;
    const char* defined_in = nullptr;
};

// A row for `global`, bound on first use in `module` (nullptr: the pass's own).
inline GlobalDependency first_use_dependency(const char* module, const FirstUseGlobal& global,
                                             const char* attribute = nullptr,
                                             const char* defined_in = nullptr) {
    return {.module = module,
            .name = global.name,
            .attribute = attribute,
            .first_use = &global,
            .defined_in = defined_in};
}

// A mapping several modules read, which must be one object in all of them
// (the graph builder, the rules of the pass and the circuit rebuilder then
// agree on every name, edits included).
struct SharedDependency {
    const char* name;
    std::vector<const char*> modules;  // import names; nullptr: the pass's own module
    bool exact_dict = false;
};

// An attribute of the pass object or of the circuit that must be of an exact
// type (a float subclass could compute differently).
struct ExactTypeDependency {
    enum class Of { pass, circuit } of;
    const char* attribute;
    PyTypeObject* type;
};

struct PassDependencies {
    // Methods and properties the generic path reaches through the pass object:
    // the class's own, neither overridden in a subclass nor shadowed in the
    // instance's __dict__.
    std::vector<const char*> methods;
    // Instance attributes the pass reads and writes: no class attribute of
    // these names (a property would see what the generic path does).
    std::vector<const char*> instance_state;
    // Attribute writes go straight to the instance dict (no __setattr__ but
    // the pass class's own attribute hooks below), and the instance has one.
    bool plain_instance = false;
    // Members of the pass class that hook attribute access (its own
    // __getattr__, __setattr__, __dict__, ...): the instance's type reaches
    // exactly these, defined nowhere ahead of the pass class in its MRO, with
    // object's __getattribute__. Without any, attribute access is object's own.
    std::vector<const char*> attribute_hooks;
    std::vector<GlobalDependency> globals;
    std::vector<SharedDependency> shared;
    // The circuit's class, exactly, with these of its methods neither
    // replaced nor shadowed in the circuit's __dict__.
    const char* circuit_module = nullptr;
    const char* circuit_class = nullptr;
    std::vector<const char*> circuit_methods;
    std::vector<ExactTypeDependency> exact_types;
};

class OverrideGuard {
  public:
    // Call when `pass_class` is complete, from the module's initialisation.
    OverrideGuard(nb::handle module, nb::handle pass_class, PassDependencies dependencies);

    // Everything in the table is as the module bound it.
    bool allows(nb::handle pass, nb::handle circuit) const;
    // Only the module globals (and shared mappings) of the table.
    bool globals_untouched() const;
    // Only the circuit rows: its exact class and methods.
    bool circuit_untouched(nb::handle circuit) const;

  private:
    struct Snapshot {
        nb::object name;      // interned
        nb::object original;  // the object bound at import
    };
    struct GlobalSnapshot {
        GlobalDependency row;
        nb::object module;
        nb::object original;
        nb::object entries;  // a copy of the dict, for entries_kept
    };
    bool pass_untouched(nb::handle pass) const;
    bool attribute_hooks_untouched(PyTypeObject* type) const;
    static bool member_untouched(nb::handle type, nb::handle instance_dict, const Snapshot& member);
    nb::object module_of(const char* name) const;

    nb::object module_;
    PassDependencies rows_;
    std::vector<Snapshot> methods_, circuit_methods_;
    nb::object pass_class_;
    std::vector<Snapshot> attribute_hooks_;            // as the pass class's own dict holds them
    getattrofunc getattro_ = PyObject_GenericGetAttr;  // the pass class's slots when it has hooks
    setattrofunc setattro_ = PyObject_GenericSetAttr;
    nb::object object_getattribute_;
    std::vector<nb::object> instance_state_;
    std::vector<GlobalSnapshot> globals_;
    std::vector<std::vector<nb::object>> shared_modules_;
    nb::object circuit_type_;
};

}  // namespace corvane::bind
