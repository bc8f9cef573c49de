#include "common/first_use_globals.hpp"

#include "common/pyfunction.hpp"

#include <string>
#include <utility>
#include <vector>

namespace corvane::bind {

void bind_on_first_use(nb::module_ module, std::initializer_list<FirstUseGlobal> globals) {
    std::vector<std::pair<std::string, std::string>> table;
    for (const FirstUseGlobal& global : globals)
        table.emplace_back(global.name, global.import_name);
    PyObject* module_ptr = module.ptr();  // modules live as long as the process
    module.attr("__getattr__") = make_function(
        module, {
                    .name = "__getattr__",
                    .params = {{"name"}},
                    .body =
                        [module_ptr, table = std::move(table)](Args args) {
                            const char* name = PyUnicode_AsUTF8(args[0]);
                            if (!name) throw nb::python_error();
                            for (const auto& [global, import_name] : table) {
                                if (global != name) continue;
                                nb::object package = nb::module_::import_(import_name.c_str());
                                nb::setattr(module_ptr, name, package);
                                return package;
                            }
                            PyErr_Format(PyExc_AttributeError, "module '%s' has no attribute '%U'",
                                         PyModule_GetName(module_ptr), args[0]);
                            throw nb::python_error();
                        },
                });
}

}  // namespace corvane::bind
