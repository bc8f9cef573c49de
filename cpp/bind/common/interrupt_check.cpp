#include "common/interrupt_check.hpp"

#include <Python.h>

namespace corvane::bind {
namespace {

// The thread state saved by run_without_gil while this thread works without
// the GIL; null while it holds the GIL.
thread_local PyThreadState* released_state = nullptr;

// Runs on the thread doing the work.
bool python_signal_raised() {
    if (released_state == nullptr) return PyErr_CheckSignals() != 0;
    PyEval_RestoreThread(released_state);
    const bool raised = PyErr_CheckSignals() != 0;
    released_state = PyEval_SaveThread();
    return raised;
}

}  // namespace

void install_interrupt_check() { set_interrupt_check(&python_signal_raised); }

void run_without_gil(const std::function<void()>& work) {
    released_state = PyEval_SaveThread();
    auto take_back = [] {
        PyEval_RestoreThread(released_state);
        released_state = nullptr;
    };
    try {
        work();
    } catch (...) {
        take_back();
        throw;
    }
    take_back();
}

}  // namespace corvane::bind
