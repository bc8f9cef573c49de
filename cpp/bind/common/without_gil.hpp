// Core work run with the GIL released, so that other Python threads run
// meanwhile (a ThreadPoolExecutor overlaps the native passes and the OpenQASM
// reader). The work must touch no Python object: its input is already core
// data, or borrowed buffers the caller keeps alive and immutable. A callback
// into the host from inside (a compression hook, the interrupt check) takes
// the GIL for its own moment with nb::gil_scoped_acquire.
#pragma once

#include "common/pyfunction.hpp"

#include <utility>

namespace corvane::bind {

template <class Work>
decltype(auto) run_without_gil(Work&& work) {
    nb::gil_scoped_release release;
    return std::forward<Work>(work)();
}

}  // namespace corvane::bind
