// Module globals bound to a package the first time they are read.
//
// The graph modules keep networkx as their global `nx`, for their generic
// paths and for users. Importing networkx costs about 0.2 s, which a process
// that only reads, transpiles and writes programs pays for nothing: the
// native paths build no graph unless one is asked for. Such a global is
// bound when it is first read, as a module attribute (through the module's
// __getattr__) or as a global of a generic path (global()); until then the
// override guard takes it as untouched unless a user bound the name.
#pragma once

#include <nanobind/nanobind.h>

#include <initializer_list>

namespace corvane::bind {

namespace nb = nanobind;

struct FirstUseGlobal {
    const char* name;         // the module global
    const char* import_name;  // the package bound to it
};

// networkx as `nx`, in every module that keeps it.
inline constexpr FirstUseGlobal kNetworkxGlobal{"nx", "networkx"};

// Gives `module` a __getattr__ that imports and binds each of `globals` when
// it is first read; every other missing name raises the usual AttributeError.
void bind_on_first_use(nb::module_ module, std::initializer_list<FirstUseGlobal> globals);

}  // namespace corvane::bind
