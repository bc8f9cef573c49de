#include "common/pyfunction.hpp"

#include "common/interrupt.hpp"

#include <cstddef>
#include <exception>
#include <memory>
#include <new>
#include <stdexcept>

#if PY_VERSION_HEX < 0x030C0000
#include <structmember.h>
#define CORVANE_T_PYSSIZET T_PYSSIZET
#define CORVANE_READONLY READONLY
#else
#define CORVANE_T_PYSSIZET Py_T_PYSSIZET
#define CORVANE_READONLY Py_READONLY
#endif

namespace corvane::bind {
namespace {

struct Impl {
    std::string name;
    std::vector<nb::object> param_names;  // interned strings
    std::vector<nb::object> defaults;     // empty handles for required parameters
    size_t nrequired = 0;
    size_t npositional = 0;  // parameters that can be given by position (before `*`)
    Body body;
};

struct FunctionObject {
    PyObject_HEAD PyObject* dict;
    vectorcallfunc vectorcall;
    Impl* impl;
};

// "f() takes exactly 2 positional arguments (1 given)"
void raise_argtuple_invalid(const Impl& impl, Py_ssize_t given) {
    const auto nmax = static_cast<Py_ssize_t>(impl.npositional);
    const auto nmin = static_cast<Py_ssize_t>(impl.nrequired);
    const char* more_or_less;
    Py_ssize_t expected;
    if (nmin == nmax) {
        more_or_less = "exactly";
        expected = nmin;
    } else if (given < nmin) {
        more_or_less = "at least";
        expected = nmin;
    } else {
        more_or_less = "at most";
        expected = nmax;
    }
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)",
                 impl.name.c_str(), more_or_less, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t find_param(const Impl& impl, PyObject* keyword) {
    const auto n = static_cast<Py_ssize_t>(impl.param_names.size());
    for (Py_ssize_t i = 0; i < n; ++i)
        if (impl.param_names[i].ptr() == keyword) return i;
    for (Py_ssize_t i = 0; i < n; ++i) {
        int eq = PyUnicode_Compare(impl.param_names[i].ptr(), keyword);
        if (eq == 0) return i;
        if (eq == -1 && PyErr_Occurred()) PyErr_Clear();
    }
    return -1;
}

// Binds positional and keyword arguments to the parameters, reporting the
// first fault in the host's order: too many positionals; then a keyword that
// repeats a parameter already given by position; then the first missing
// required parameter; then a keyword that names no parameter.
bool bind_arguments(const Impl& impl, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** values) {
    const auto nparams = static_cast<Py_ssize_t>(impl.param_names.size());
    if (nargs > static_cast<Py_ssize_t>(impl.npositional)) {
        raise_argtuple_invalid(impl, nargs);
        return false;
    }
    for (Py_ssize_t i = 0; i < nparams; ++i) values[i] = i < nargs ? args[i] : nullptr;
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    PyObject* unknown = nullptr;
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        const Py_ssize_t i = find_param(impl, keyword);
        if (i >= nargs) {
            values[i] = args[nargs + k];
        } else if (i >= 0) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'",
                         impl.name.c_str(), keyword);
            return false;
        } else if (!unknown) {
            unknown = keyword;
        }
    }
    for (Py_ssize_t i = nargs; i < static_cast<Py_ssize_t>(impl.nrequired); ++i) {
        if (!values[i]) {
            raise_argtuple_invalid(impl, i);
            return false;
        }
    }
    if (unknown) {
        PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'",
                     impl.name.c_str(), unknown);
        return false;
    }
    for (Py_ssize_t i = 0; i < nparams; ++i)
        if (!values[i]) values[i] = impl.defaults[i].ptr();
    return true;
}

// C++ exceptions never cross into the interpreter: each becomes a Python error.
void translate_current_exception() {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (nb::builtin_exception& e) {
        PyObject* type = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error:
                type = PyExc_TypeError;
                break;
            case nb::exception_type::value_error:
                type = PyExc_ValueError;
                break;
            case nb::exception_type::key_error:
                type = PyExc_KeyError;
                break;
            case nb::exception_type::index_error:
                type = PyExc_IndexError;
                break;
            case nb::exception_type::attribute_error:
                type = PyExc_AttributeError;
                break;
            case nb::exception_type::buffer_error:
                type = PyExc_BufferError;
                break;
            case nb::exception_type::stop_iteration:
                type = PyExc_StopIteration;
                break;
            default:
                break;
        }
        PyErr_SetString(type, e.what());
    } catch (corvane::Interrupted&) {
        // The signal handler's exception (KeyboardInterrupt) is already set.
    } catch (std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_RuntimeError, "unknown C++ exception");
    }
}

PyObject* function_vectorcall(PyObject* self, PyObject* const* args, size_t nargsf,
                              PyObject* kwnames) {
    const Impl& impl = *reinterpret_cast<FunctionObject*>(self)->impl;
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    constexpr size_t kInline = 8;
    PyObject* inline_values[kInline];
    std::vector<PyObject*> heap_values;
    PyObject** values = inline_values;
    if (impl.param_names.size() > kInline) {
        heap_values.resize(impl.param_names.size());
        values = heap_values.data();
    }
    if (!bind_arguments(impl, args, nargs, kwnames, values)) return nullptr;
    try {
        nb::object result = impl.body(Args(values, impl.param_names.size()));
        if (!result.is_valid()) return Py_NewRef(Py_None);
        return result.release().ptr();
    } catch (...) {
        translate_current_exception();
        return nullptr;
    }
}

PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
    if (obj == nullptr || obj == Py_None) return Py_NewRef(self);
    return PyMethod_New(self, obj);
}

PyObject* function_repr(PyObject* self) {
    PyObject* qualname = PyObject_GetAttrString(self, "__qualname__");
    if (!qualname) return nullptr;
    PyObject* text = PyUnicode_FromFormat("<function %S at %p>", qualname, self);
    Py_DECREF(qualname);
    return text;
}

// Pickled by reference: the qualified name, looked up in __module__.
PyObject* function_reduce(PyObject* self, PyObject*) {
    return PyObject_GetAttrString(self, "__qualname__");
}

int function_traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(reinterpret_cast<FunctionObject*>(self)->dict);
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int function_clear(PyObject* self) {
    Py_CLEAR(reinterpret_cast<FunctionObject*>(self)->dict);
    return 0;
}

void function_dealloc(PyObject* self) {
    auto* fn = reinterpret_cast<FunctionObject*>(self);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    function_clear(self);
    delete fn->impl;
    fn->impl = nullptr;
    type->tp_free(self);
    Py_DECREF(type);
}

PyMemberDef function_members[] = {
    {"__dictoffset__", CORVANE_T_PYSSIZET, offsetof(FunctionObject, dict), CORVANE_READONLY,
     nullptr},
    {"__vectorcalloffset__", CORVANE_T_PYSSIZET, offsetof(FunctionObject, vectorcall),
     CORVANE_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot function_slots[] = {
    {Py_tp_call, reinterpret_cast<void*>(PyVectorcall_Call)},
    {Py_tp_descr_get, reinterpret_cast<void*>(function_descr_get)},
    {Py_tp_repr, reinterpret_cast<void*>(function_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(function_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(function_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(function_dealloc)},
    {Py_tp_members, function_members},
    {Py_tp_getset, function_getset},
    {Py_tp_methods, function_methods},
    {0, nullptr},
};

PyType_Spec function_spec = {
    "corvane.circuit.function",
    sizeof(FunctionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
        Py_TPFLAGS_METHOD_DESCRIPTOR,
    function_slots,
};

PyTypeObject* function_type() {
    // One type per extension module (this glue is linked into each of them);
    // created on first use, kept for the life of the process.
    static PyTypeObject* type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&function_spec));
    if (!type) throw nb::python_error();
    return type;
}

void set_item(PyObject* dict, const char* key, PyObject* value) {
    check(PyDict_SetItemString(dict, key, value) == 0);
}

}  // namespace

nb::object make_function(nb::handle module, FunctionDef def) {
    PyTypeObject* type = function_type();
    auto impl = std::make_unique<Impl>();
    impl->name = def.name;
    bool seen_default = false;
    for (auto& param : def.params) {
        PyObject* name = PyUnicode_InternFromString(param.name);
        check(name != nullptr);
        impl->param_names.push_back(nb::steal(name));
        if (param.keyword_only) {
            if (!param.default_value.is_valid())
                throw std::logic_error("keyword-only parameter without a default");
        } else {
            if (impl->npositional + 1 != impl->param_names.size())
                throw std::logic_error("positional parameter after a keyword-only one");
            ++impl->npositional;
        }
        if (param.default_value.is_valid()) {
            seen_default = true;
        } else {
            if (seen_default) throw std::logic_error("required parameter after a default");
            ++impl->nrequired;
        }
        impl->defaults.push_back(std::move(param.default_value));
    }
    impl->body = std::move(def.body);

    nb::object fn = checked(type->tp_alloc(type, 0));
    auto* raw = reinterpret_cast<FunctionObject*>(fn.ptr());
    raw->vectorcall = function_vectorcall;
    raw->impl = impl.release();
    raw->dict = PyDict_New();
    check(raw->dict != nullptr);

    nb::object module_name = module.attr("__name__");
    nb::str name(def.name);
    nb::str qualname(def.qualname.empty() ? def.name : def.qualname.c_str());
    nb::dict annotations;
    for (auto& [key, text] : def.annotations) annotations[key] = nb::str(text);
    set_item(raw->dict, "__name__", name.ptr());
    set_item(raw->dict, "__qualname__", qualname.ptr());
    set_item(raw->dict, "__module__", module_name.ptr());
    set_item(raw->dict, "__doc__", def.doc ? nb::str(def.doc).ptr() : Py_None);
    set_item(raw->dict, "__annotations__", annotations.ptr());
    if (def.abstract) set_item(raw->dict, "__isabstractmethod__", Py_True);
    // inspect.signature reads this for callables of a native type, so help()
    // and editors show the parameters with their defaults.
    std::string signature = "(";
    for (size_t i = 0; i < raw->impl->param_names.size(); ++i) {
        if (i) signature += ", ";
        if (i == raw->impl->npositional) signature += "*, ";
        signature += def.params[i].name;
        if (raw->impl->defaults[i].is_valid()) {
            nb::object text = checked(PyObject_Repr(raw->impl->defaults[i].ptr()));
            signature += "=";
            signature += nb::str(text).c_str();
        }
    }
    signature += ")";
    set_item(raw->dict, "__text_signature__", nb::str(signature.c_str()).ptr());
    return fn;
}

nb::object make_class(nb::handle metaclass, nb::handle module, const char* name, nb::handle bases,
                      const char* doc,
                      std::initializer_list<std::pair<const char*, nb::handle>> members) {
    nb::dict ns;
    ns["__module__"] = module.attr("__name__");
    ns["__qualname__"] = nb::str(name);
    if (doc) ns["__doc__"] = nb::str(doc);
    for (auto& [key, value] : members) ns[key] = value;
    return metaclass(nb::str(name), bases, ns);
}

void raise_argument_type(const char* argname, const char* expected, PyObject* got) {
    PyErr_Format(PyExc_TypeError,
                 "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argname,
                 expected, Py_TYPE(got)->tp_name);
    throw nb::python_error();
}

PyObject* require_str(PyObject* value, const char* argname) {
    if (!PyUnicode_CheckExact(value)) raise_argument_type(argname, "str", value);
    return value;
}

nb::object convert_int(PyObject* value, const char* argname) {
    if (PyLong_Check(value)) return nb::borrow(value);
    if (!PyNumber_Check(value)) raise_argument_type(argname, "int", value);
    return checked(PyNumber_Long(value));
}

double convert_double(PyObject* value) {
    double result = PyFloat_AsDouble(value);
    if (result == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return result;
}

bool convert_bool(PyObject* value) {
    int truth = PyObject_IsTrue(value);
    check(truth >= 0);
    return truth != 0;
}

}  // namespace corvane::bind

namespace corvane::bind {

std::vector<nb::object> unpack(PyObject* value, Py_ssize_t count) {
    std::vector<nb::object> items;
    items.reserve(count);
    auto too_few = [&](Py_ssize_t got) {
        PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got,
                     got == 1 ? "" : "s");
        throw nb::python_error();
    };
    auto too_many = [&] {
        PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", count);
        throw nb::python_error();
    };
    if (PyTuple_CheckExact(value) || PyList_CheckExact(value)) {
        const Py_ssize_t size = PySequence_Fast_GET_SIZE(value);
        if (size > count) too_many();
        if (size < count) too_few(size);
        for (Py_ssize_t i = 0; i < count; ++i)
            items.push_back(nb::borrow(PySequence_Fast_GET_ITEM(value, i)));
        return items;
    }
    nb::object iterator = checked(PyObject_GetIter(value));
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PyIter_Next(iterator.ptr());
        if (!item) {
            check(!PyErr_Occurred());
            too_few(i);
        }
        items.push_back(nb::steal(item));
    }
    PyObject* extra = PyIter_Next(iterator.ptr());
    if (extra) {
        Py_DECREF(extra);
        too_many();
    }
    check(!PyErr_Occurred());
    return items;
}

nb::object global(nb::handle module, const char* name) {
    PyObject* dict = PyModule_GetDict(module.ptr());
    if (PyObject* value = PyDict_GetItemString(dict, name)) return nb::borrow(value);
    // A global bound on first use (first_use_globals.hpp) is bound now.
    if (PyObject* hook = PyDict_GetItemString(dict, "__getattr__")) {
        if (PyObject* bound = PyObject_CallFunction(hook, "s", name)) return nb::steal(bound);
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw nb::python_error();
        PyErr_Clear();
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw nb::python_error();
}

void GcPause::end_and_collect_young(PyObject* built) {
    if (!was_enabled_) return;
    was_enabled_ = false;
    PyGC_Enable();
    const bool tracked = PyObject_GC_IsTracked(built);
    if (tracked) PyObject_GC_UnTrack(built);
    try {
        nb::module_::import_("gc").attr("collect")(0);
    } catch (...) {
        if (tracked) PyObject_GC_Track(built);
        throw;
    }
    if (tracked) PyObject_GC_Track(built);
}

}  // namespace corvane::bind
