#include "common/interrupt_check.hpp"

#include <Python.h>

namespace corvane::bind {
namespace {

// Runs on the thread doing the work, which holds the GIL (no call releases it).
bool python_signal_raised() { return PyErr_CheckSignals() != 0; }

}  // namespace

void install_interrupt_check() { set_interrupt_check(&python_signal_raised); }

}  // namespace corvane::bind
