// Stopping long loops of the core when the host asks.
//
// The core has no idea of signals: the host installs a check (the Python
// binding's handles pending signals with the interpreter), and each long
// loop calls `tick()` on its own InterruptPoll once per unit of work. Every
// kInterval ticks the check runs; when it reports that the work must stop,
// tick() throws Interrupted, which the host turns back into its own error.
// Without an installed check (the C++ tests) nothing is ever stopped.
//
// Loops that tick must leave nothing half-done for the caller to see when
// the exception passes: they work on their own data until they finish.
#pragma once

#include <cstdint>
#include <exception>

namespace corvane {

// Thrown by InterruptPoll::tick; the host has already recorded why.
struct Interrupted : std::exception {
    const char* what() const noexcept override { return "interrupted by the host"; }
};

// Returns true when the work must stop. Called on the thread doing the work.
using InterruptCheck = bool (*)();

namespace detail {
inline InterruptCheck interrupt_check = nullptr;
}

inline void set_interrupt_check(InterruptCheck check) { detail::interrupt_check = check; }

class InterruptPoll {
  public:
    // The dearest unit of work in the loops that tick (a gate entry read or
    // written as Python objects) takes about 1 us (bench/results: qc2dag at
    // 1e6 gates, ~2.5 s for ~2.5 units per gate), so 2048 ticks are at most a
    // few milliseconds; the cheap units (an engine step, ~20 ns) check far
    // more often than needed, at one decrement per tick.
    static constexpr std::uint32_t kInterval = 2048;

    void tick() {
        if (--countdown_ == 0) check();
    }
    // Counts `units` ticks at once, for loops whose steps vary in size.
    void tick(std::uint32_t units) {
        if (units >= countdown_)
            check();
        else
            countdown_ -= units;
    }
    // Runs the check now.
    void check() {
        countdown_ = kInterval;
        if (detail::interrupt_check && detail::interrupt_check()) throw Interrupted();
    }

  private:
    std::uint32_t countdown_ = kInterval;
};

}  // namespace corvane
