#include "common/interrupt_check.hpp"

#include <Python.h>

namespace corvane::bind {
namespace {

// Runs on the thread doing the work, which holds the GIL or has released it
// around core work (run_without_gil); it takes the GIL for the check then.
bool python_signal_raised() {
    if (PyGILState_Check()) return PyErr_CheckSignals() != 0;
    const PyGILState_STATE state = PyGILState_Ensure();
    const bool raised = PyErr_CheckSignals() != 0;
    PyGILState_Release(state);
    return raised;
}

}  // namespace

void install_interrupt_check() { set_interrupt_check(&python_signal_raised); }

}  // namespace corvane::bind
