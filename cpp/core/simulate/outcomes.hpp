// The exact probability of every classical outcome of a dynamic circuit:
// gates, measurements in the middle of the circuit, resets and conditionals
// on measured bits, followed branch by branch on the state vector.
//
// A measurement whose outcome is not certain splits the run in two, each
// branch carrying its probability and its own collapsed state; a reset
// splits likewise and sets its qubit to 0 in both. Branches are followed
// depth first, so at most one pending state per open measurement is held.
// A measurement after which nothing touches its qubit or its bit is not
// followed at all: its bit is read off the final state, amplitude by
// amplitude, which is what makes circuits that measure only at the end one
// branch. Index convention as everywhere: bit k of an amplitude's index is
// qubit k; bit k of an outcome is classical bit k.
#pragma once

#include "simulate/unitary.hpp"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace corvane::simulate {

class OutcomeSimulator;

// A dynamic circuit as straight-line steps with forward jumps: a
// conditional's body and else branch become the steps between its jumps.
class DynamicProgram {
  public:
    DynamicProgram(unsigned nqubits, unsigned ncbits);

    void gate(const Operation& op);
    void measure(unsigned qubit, unsigned cbit);
    void reset(unsigned qubit);
    // Opens a conditional: what follows, up to else_branch() or end_if(),
    // runs when every (classical bit, value) pair of `condition` holds.
    void begin_if(std::span<const std::pair<unsigned, bool>> condition);
    void else_branch();
    void end_if();

    unsigned nqubits() const { return nqubits_; }
    unsigned ncbits() const { return ncbits_; }

  private:
    friend class OutcomeSimulator;
    enum class Kind : std::uint8_t { kGates, kMeasure, kReset, kJumpUnless, kJump };
    struct Step {
        Kind kind;
        std::uint32_t qubit = 0, cbit = 0;   // kMeasure, kReset
        std::uint32_t first = 0, count = 0;  // kGates: ops_; kJumpUnless: condition_
        std::uint32_t target = 0;            // jumps: the step to go on at
    };
    struct Open {
        std::uint32_t jump_unless;          // the step that skips the body
        std::optional<std::uint32_t> jump;  // the body's jump over the else branch
    };
    void check_qubit(unsigned q) const;
    void check_cbit(unsigned c) const;

    unsigned nqubits_, ncbits_;
    std::vector<Step> steps_;
    std::vector<Operation> ops_;
    std::vector<std::pair<std::uint32_t, bool>> condition_;  // (cbit, expected bit)
    std::vector<Open> open_;
    bool run_open_ = false;  // the last step is a run of gates that a gate may join
};

struct OutcomeBudget {
    // Measurements or resets with two possible outcomes, summed over all
    // branches, beyond which the rest is left unexplored.
    std::uint64_t max_branch_points = 1 << 16;
    // Distinct outcomes kept (about 100 bytes each): a wide register measured
    // at the end of a random circuit has as many as its state has amplitudes,
    // in every branch.
    std::uint64_t max_outcomes = 1 << 22;
    // Wall time; none when unset.
    std::optional<std::chrono::steady_clock::duration> time;
};

struct Outcomes {
    // Outcome (classical bit k = bit k of the words, 64 bits a word) ->
    // probability, every outcome of non-zero probability found.
    std::map<std::vector<std::uint64_t>, double> probabilities;
    // Probability of the branches below kNegligible that were dropped.
    double negligible = 0;
    // Probability of the branches the budget left unexplored, and why
    // ("branches", "outcomes" or "time"); empty when all was explored.
    double unexplored = 0;
    std::string over_budget;
    std::uint64_t branch_points = 0;
};

// A branch whose probability falls below this is dropped (and counted in
// Outcomes::negligible): far below what a check compares (1e-6) and above
// the rounding of a normalised state, so an outcome that is impossible in
// exact arithmetic is not followed as a branch of probability 1e-33.
inline constexpr double kNegligible = 1e-13;

// Largest circuit followed: each pending branch holds a state of 16 * 2^n
// bytes (256 MiB at 24 qubits).
inline constexpr unsigned kMaxOutcomeQubits = 24;

// The outcome distribution of `program` started in |0...0> with every
// classical bit 0. Throws std::invalid_argument above kMaxOutcomeQubits,
// corvane::Interrupted when the host asks; the budget ends the search with
// what was found and says so in the result.
Outcomes outcome_distribution(const DynamicProgram& program, const OutcomeBudget& budget);

}  // namespace corvane::simulate
