// Native functions that behave like functions written in Python.
//
// nanobind's own function objects have no __dict__ and do not bind as methods
// in classes made by type()/ABCMeta, so every public function and method of the
// extension modules is an instance of a small callable type defined here: it
// carries __name__, __qualname__, __module__, __doc__ and __annotations__, binds
// as a method through the descriptor protocol, can be marked abstract, pickles
// by qualified name, and reports argument errors in the usual host wording.
#pragma once

#include <nanobind/nanobind.h>

#include <cstddef>
#include <functional>
#include <initializer_list>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace corvane::bind {

namespace nb = nanobind;

// One parameter; an empty default means the parameter is required. Required
// parameters must come before those with defaults, and keyword-only ones
// (given by name alone, after a bare `*`) after all the others.
struct Param {
    const char* name;
    nb::object default_value = {};
    bool keyword_only = false;
};

// The bound arguments, one borrowed reference per parameter, in order.
using Args = std::span<PyObject* const>;
using Body = std::function<nb::object(Args)>;

struct FunctionDef {
    const char* name;
    std::string qualname = {};  // empty: the same as name
    const char* doc = nullptr;
    std::vector<Param> params;
    // Annotations as text, in order; "return" names the result annotation.
    std::vector<std::pair<const char*, const char*>> annotations = {};
    bool abstract = false;
    Body body;
};

// Creates the function object; its __module__ is the module's __name__.
nb::object make_function(nb::handle module, FunctionDef def);

// Creates a class by calling `metaclass(name, bases, namespace)`, the namespace
// holding __module__, __qualname__, __doc__ (when given) and then the members
// in the given order, as a class statement would.
nb::object make_class(nb::handle metaclass, nb::handle module, const char* name, nb::handle bases,
                      const char* doc,
                      std::initializer_list<std::pair<const char*, nb::handle>> members);

// Methods of a class named `owner`: the qualified name is "owner.name".
inline std::string method_qualname(const char* owner, const char* name) {
    return std::string(owner) + "." + name;
}

// ---- argument conversion with the host's rules -------------------------------

// Raises the "Argument ... has incorrect type" TypeError.
[[noreturn]] void raise_argument_type(const char* argname, const char* expected, PyObject* got);

// "str" parameter: the exact string type, nothing else (None included).
PyObject* require_str(PyObject* value, const char* argname);

// "int" parameter: an int as it is, any other number through int(); a
// non-number raises the incorrect-type TypeError.
nb::object convert_int(PyObject* value, const char* argname);

// "float" parameter: the host's conversion to a double.
double convert_double(PyObject* value);

// "bool" parameter: the truth value.
bool convert_bool(PyObject* value);

// Raises the pending Python error as a C++ exception when `ok` is false.
inline void check(bool ok) {
    if (!ok) throw nb::python_error();
}
// Steals a new reference, raising the pending error when it is null.
inline nb::object checked(PyObject* result) {
    if (!result) throw nb::python_error();
    return nb::steal(result);
}

}  // namespace corvane::bind

namespace corvane::bind {

// `a, b, ... = value` for exactly `count` items, with the host's messages.
std::vector<nb::object> unpack(PyObject* value, Py_ssize_t count);

// A module-level name looked up at call time, so a user's rebinding is seen;
// raises NameError when the name was deleted.
nb::object global(nb::handle module, const char* name);

}  // namespace corvane::bind

namespace corvane::bind {

// Python objects are reached through pointers, often in an order far from
// the one they were allocated in; asking for them this many items ahead of
// their use lets the loads overlap. A function whose only effect is a
// prefetch counts as having none to GCC, which drops calls to it unless it
// was inlined first: such helpers are marked always_inline.
constexpr size_t kPrefetchAhead = 32;

// Pauses the cyclic garbage collector while a native step allocates many
// containers that cannot form cycles (graph dicts, qubit lists, gate tuples);
// otherwise every few hundred allocations trigger a collection that walks
// the growing heap. The previous state is restored on exit.
class GcPause {
  public:
    GcPause() : was_enabled_(PyGC_Disable() == 1) {}
    ~GcPause() {
        if (was_enabled_) PyGC_Enable();
    }
    // Ends the pause now and runs the young-generation collection the paused
    // allocations have made due, leaving out `built` (a large container the
    // caller has just filled and holds): walking it could find no garbage,
    // only cost time. Call it while holding no borrowed pointers: the
    // collection may run finalizers.
    void end_and_collect_young(PyObject* built);
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

  private:
    bool was_enabled_;
};

}  // namespace corvane::bind
