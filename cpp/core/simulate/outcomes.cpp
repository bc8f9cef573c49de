#include "simulate/outcomes.hpp"

#include "common/interrupt.hpp"
#include "simulate/statevector.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <utility>

namespace corvane::simulate {

DynamicProgram::DynamicProgram(unsigned nqubits, unsigned ncbits)
    : nqubits_(nqubits), ncbits_(ncbits) {
    if (nqubits > kMaxOutcomeQubits)
        throw std::invalid_argument("too many qubits to follow a dynamic circuit");
}

void DynamicProgram::check_qubit(unsigned q) const {
    if (q >= nqubits_) throw std::out_of_range("qubit outside the circuit");
}

void DynamicProgram::check_cbit(unsigned c) const {
    if (c >= ncbits_) throw std::out_of_range("classical bit outside the circuit");
}

void DynamicProgram::gate(const Operation& op) {
    for (std::size_t b = 0; b < op.arity; ++b) check_qubit(op.qubits[b]);
    // A gate joins the run before it unless a jump target lies between them.
    if (!run_open_)
        steps_.push_back({Kind::kGates, 0, 0, static_cast<std::uint32_t>(ops_.size()), 0});
    run_open_ = true;
    ops_.push_back(op);
    ++steps_.back().count;
}

void DynamicProgram::measure(unsigned qubit, unsigned cbit) {
    run_open_ = false;
    check_qubit(qubit);
    check_cbit(cbit);
    steps_.push_back({Kind::kMeasure, qubit, cbit});
}

void DynamicProgram::reset(unsigned qubit) {
    run_open_ = false;
    check_qubit(qubit);
    steps_.push_back({Kind::kReset, qubit});
}

void DynamicProgram::begin_if(std::span<const std::pair<unsigned, bool>> condition) {
    run_open_ = false;
    Step jump{Kind::kJumpUnless};
    jump.first = static_cast<std::uint32_t>(condition_.size());
    jump.count = static_cast<std::uint32_t>(condition.size());
    for (const auto& [cbit, bit] : condition) {
        check_cbit(cbit);
        condition_.emplace_back(cbit, bit);
    }
    open_.push_back({static_cast<std::uint32_t>(steps_.size()), std::nullopt});
    steps_.push_back(jump);
}

void DynamicProgram::else_branch() {
    run_open_ = false;
    if (open_.empty() || open_.back().jump) throw std::logic_error("else without an open if");
    open_.back().jump = static_cast<std::uint32_t>(steps_.size());
    steps_.push_back({Kind::kJump});
    steps_[open_.back().jump_unless].target = static_cast<std::uint32_t>(steps_.size());
}

void DynamicProgram::end_if() {
    run_open_ = false;
    if (open_.empty()) throw std::logic_error("end of an if that is not open");
    const Open open = open_.back();
    open_.pop_back();
    const auto end = static_cast<std::uint32_t>(steps_.size());
    if (open.jump)
        steps_[*open.jump].target = end;
    else
        steps_[open.jump_unless].target = end;
}

class OutcomeSimulator {
  public:
    OutcomeSimulator(const DynamicProgram& program, const OutcomeBudget& budget)
        : program_(program), budget_(budget), started_(std::chrono::steady_clock::now()) {
        if (!program.open_.empty()) throw std::logic_error("an if is still open");
        mark_terminal_measurements();
        compiled_.reserve(program.steps_.size());
        for (const auto& step : program.steps_)
            compiled_.emplace_back(
                step.kind == DynamicProgram::Kind::kGates
                    ? CompiledGates(program.nqubits_,
                                    std::span(program.ops_).subspan(step.first, step.count), true)
                    : CompiledGates(program.nqubits_, {}, true));
    }

    Outcomes run() {
        Branch first;
        first.state.assign(std::size_t{1} << program_.nqubits_, cplx{0.0, 0.0});
        first.state[0] = 1.0;
        first.cbits.assign(program_.ncbits_, false);
        pending_.push_back(std::move(first));
        while (!pending_.empty()) {
            Branch branch = std::move(pending_.back());
            pending_.pop_back();
            if (!out_.over_budget.empty()) {
                out_.unexplored += branch.probability;
                continue;
            }
            follow(branch);
        }
        return std::move(out_);
    }

  private:
    using Kind = DynamicProgram::Kind;
    struct Branch {
        std::uint32_t pc = 0;
        double probability = 1.0;
        std::vector<bool> cbits;
        std::vector<std::pair<unsigned, unsigned>> deferred;  // terminal (qubit, cbit)
        std::vector<cplx> state;
    };

    // A measurement is terminal when no later step, in any branch, touches
    // its qubit or its bit: jumps only go forward, so "later" is step order.
    void mark_terminal_measurements() {
        const auto& steps = program_.steps_;
        terminal_.assign(steps.size(), false);
        std::vector<bool> qubit_used(program_.nqubits_, false), cbit_used(program_.ncbits_, false);
        for (std::size_t i = steps.size(); i-- > 0;) {
            const auto& step = steps[i];
            switch (step.kind) {
                case Kind::kGates:
                    for (std::uint32_t k = step.first; k < step.first + step.count; ++k)
                        for (std::size_t b = 0; b < program_.ops_[k].arity; ++b)
                            qubit_used[program_.ops_[k].qubits[b]] = true;
                    break;
                case Kind::kMeasure:
                    terminal_[i] = !qubit_used[step.qubit] && !cbit_used[step.cbit];
                    qubit_used[step.qubit] = cbit_used[step.cbit] = true;
                    break;
                case Kind::kReset:
                    qubit_used[step.qubit] = true;
                    break;
                case Kind::kJumpUnless:
                    for (std::uint32_t k = step.first; k < step.first + step.count; ++k)
                        cbit_used[program_.condition_[k].first] = true;
                    break;
                case Kind::kJump:
                    break;
            }
        }
    }

    bool over_budget() {
        if (budget_.time && std::chrono::steady_clock::now() - started_ > *budget_.time)
            out_.over_budget = "time";
        return !out_.over_budget.empty();
    }

    // Follows `branch` to its end, pushing the other outcome of each
    // uncertain measurement or reset on the pending stack.
    void follow(Branch& branch) {
        const auto& steps = program_.steps_;
        while (branch.pc < steps.size()) {
            if (over_budget()) {
                out_.unexplored += branch.probability;
                return;
            }
            const auto& step = steps[branch.pc];
            switch (step.kind) {
                case Kind::kGates:
                    compiled_[branch.pc].apply(branch.state, poll_);
                    break;
                case Kind::kMeasure:
                    if (terminal_[branch.pc]) {
                        branch.deferred.emplace_back(step.qubit, step.cbit);
                        break;
                    }
                    if (!collapse(branch, step.qubit, step.cbit, false)) return;
                    break;
                case Kind::kReset:
                    if (!collapse(branch, step.qubit, 0, true)) return;
                    break;
                case Kind::kJumpUnless: {
                    bool holds = true;
                    for (std::uint32_t k = step.first; k < step.first + step.count && holds; ++k) {
                        const auto [cbit, bit] = program_.condition_[k];
                        holds = branch.cbits[cbit] == bit;
                    }
                    if (!holds) {
                        branch.pc = step.target;
                        continue;
                    }
                    break;
                }
                case Kind::kJump:
                    branch.pc = step.target;
                    continue;
            }
            ++branch.pc;
        }
        record(branch);
    }

    // Splits `branch` on the value of `qubit`: it goes on with one outcome,
    // the other is pushed. A reset sets the qubit to 0 after; a measurement
    // writes the outcome into `cbit`. Returns false when the branch was
    // ended (the budget ran out).
    bool collapse(Branch& branch, unsigned qubit, unsigned cbit, bool reset) {
        const std::size_t bit = std::size_t{1} << qubit;
        std::span<cplx> state = branch.state;
        double p[2] = {0.0, 0.0};
        for (std::size_t i = 0; i < state.size(); ++i) p[(i & bit) != 0] += std::norm(state[i]);
        poll_.tick(std::max<std::uint32_t>(1, state.size() >> 11));
        const double total = p[0] + p[1];
        const bool possible[2] = {branch.probability * p[0] / total >= kNegligible,
                                  branch.probability * p[1] / total >= kNegligible};
        if (possible[0] && possible[1]) {
            if (++out_.branch_points > budget_.max_branch_points) {
                out_.over_budget = "branches";
                out_.unexplored += branch.probability;
                return false;
            }
            Branch other{branch.pc + 1, branch.probability * p[1] / total, branch.cbits,
                         branch.deferred, branch.state};
            keep_outcome(other, bit, 1, p[1], reset);
            if (!reset) other.cbits[cbit] = true;
            pending_.push_back(std::move(other));
        }
        const int outcome = possible[0] ? 0 : 1;
        if (!possible[0] && !possible[1]) {  // the whole branch is negligible
            out_.negligible += branch.probability;
            return false;
        }
        out_.negligible += branch.probability * p[1 - outcome] / total;
        branch.probability *= p[outcome] / total;
        keep_outcome(branch, bit, outcome, p[outcome], reset);
        if (!reset) branch.cbits[cbit] = outcome == 1;
        return true;
    }

    // Projects onto `outcome` of the qubit at `bit`, normalises, and for a
    // reset moves the kept amplitudes to the qubit's 0.
    static void keep_outcome(Branch& branch, std::size_t bit, int outcome, double p, bool reset) {
        const double scale = 1.0 / std::sqrt(p);
        auto& state = branch.state;
        for (std::size_t i = 0; i < state.size(); ++i) {
            if (((i & bit) != 0) == (outcome == 1))
                state[i] *= scale;
            else
                state[i] = 0.0;
        }
        if (reset && outcome == 1)
            for (std::size_t i = 0; i < state.size(); ++i)
                if (i & bit) state[i ^ bit] = std::exchange(state[i], 0.0);
    }

    // Adds the branch's outcomes: its bits, with the terminal measurements'
    // bits read off the final state.
    void record(const Branch& branch) {
        std::vector<std::uint64_t> key((program_.ncbits_ + 63) / 64, 0);
        for (unsigned c = 0; c < program_.ncbits_; ++c)
            if (branch.cbits[c]) key[c / 64] |= std::uint64_t{1} << (c % 64);
        if (branch.deferred.empty()) {
            add(key, branch.probability);
            return;
        }
        // Terminal measurements have distinct qubits and bits (a second one
        // on either makes the first not terminal): one pattern bit each.
        const std::size_t npatterns = std::size_t{1} << branch.deferred.size();
        std::vector<double> marginal(npatterns, 0.0);
        const auto& state = branch.state;
        for (std::size_t i = 0; i < state.size(); ++i) {
            const double w = std::norm(state[i]);
            if (w == 0.0) continue;
            std::size_t pattern = 0;
            for (std::size_t d = 0; d < branch.deferred.size(); ++d)
                pattern |= ((i >> branch.deferred[d].first) & 1) << d;
            marginal[pattern] += w;
        }
        poll_.tick(std::max<std::uint32_t>(1, state.size() >> 11));
        for (std::size_t pattern = 0; pattern < npatterns; ++pattern) {
            const double p = branch.probability * marginal[pattern];
            if (p < kNegligible || !out_.over_budget.empty()) {
                (p < kNegligible ? out_.negligible : out_.unexplored) += p;
                continue;
            }
            std::vector<std::uint64_t> outcome = key;
            for (std::size_t d = 0; d < branch.deferred.size(); ++d) {
                const unsigned c = branch.deferred[d].second;
                const std::uint64_t mask = std::uint64_t{1} << (c % 64);
                outcome[c / 64] =
                    (pattern >> d & 1) ? outcome[c / 64] | mask : outcome[c / 64] & ~mask;
            }
            add(outcome, p);
        }
    }

    void add(const std::vector<std::uint64_t>& outcome, double p) {
        auto [at, added] = out_.probabilities.try_emplace(outcome, 0.0);
        if (added && out_.probabilities.size() > budget_.max_outcomes) {
            out_.probabilities.erase(at);
            out_.over_budget = "outcomes";
            out_.unexplored += p;
            return;
        }
        at->second += p;
    }

    const DynamicProgram& program_;
    const OutcomeBudget& budget_;
    const std::chrono::steady_clock::time_point started_;
    std::vector<CompiledGates> compiled_;
    std::vector<bool> terminal_;
    std::vector<Branch> pending_;
    InterruptPoll poll_;
    Outcomes out_;
};

Outcomes outcome_distribution(const DynamicProgram& program, const OutcomeBudget& budget) {
    return OutcomeSimulator(program, budget).run();
}

}  // namespace corvane::simulate
