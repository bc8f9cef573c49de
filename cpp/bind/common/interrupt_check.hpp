// Ctrl-C during a long native call: the core's loops and the binding's own
// tick a corvane::InterruptPoll, whose check, installed here, lets the
// interpreter handle pending signals. A handler that raises (the default
// SIGINT one raises KeyboardInterrupt) leaves its exception set; the check
// then stops the work with corvane::Interrupted, and the function wrapper
// (translate_current_exception) returns with that exception.
//
// A handler that returns normally lets the work go on. The readers hold
// their own references to what they read, except the graph reader of
// dag2qc: a handler must not change a graph while dag2qc reads it.
#pragma once

#include "common/interrupt.hpp"

namespace corvane::bind {

using corvane::InterruptPoll;

// Installs the check into this extension module's copy of the core; every
// module whose calls run long loops calls it once at import.
void install_interrupt_check();

}  // namespace corvane::bind
