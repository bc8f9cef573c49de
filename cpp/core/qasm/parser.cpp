#include "qasm/parser.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <numbers>
#include <optional>
#include <string>

namespace corvane::qasm {

namespace {

struct Constant {
    std::string_view name;
    double value;
    bool in_version2;
};

constexpr Constant kConstants[] = {
    {"pi", std::numbers::pi, true},       {"π", std::numbers::pi, false},
    {"tau", 2 * std::numbers::pi, false}, {"τ", 2 * std::numbers::pi, false},
    {"euler", std::numbers::e, false},    {"ℇ", std::numbers::e, false},
};

}  // namespace

// Precedence parsing over explicit stacks (operands_, pending_), so that no
// nesting of a hostile program can exhaust the thread's stack: `+ -` bind
// loosest, then `* /`, then the right-associative power; a sign or a function
// applies to the operand that follows it alone (`-2^2` is `(-2)^2`).
std::uint32_t Parser::expression(std::vector<Expr>& nodes, const Names* params) {
    operands_.clear();
    pending_.clear();
    std::uint32_t open = 0;  // parentheses open in `pending_`
    // Applies the binary operation on top of `pending_` to the last two operands.
    auto reduce = [&] {
        const Pending p = pending_.back();
        pending_.pop_back();
        const std::uint32_t right = operands_.back();
        operands_.pop_back();
        operands_.back() = binary(nodes, p.op, operands_.back(), right, p.line);
    };
    // Applies the signs and the function waiting for the operand just read.
    auto complete_operand = [&] {
        while (!pending_.empty() && !pending_.back().open && precedence(pending_.back().op) == 0) {
            operands_.back() =
                binary(nodes, pending_.back().op, operands_.back(), 0, pending_.back().line);
            pending_.pop_back();
        }
    };
    for (;;) {
        // An operand, after any signs.
        while (current_.kind == Tok::op && (current_.text == "-" || current_.text == "+")) {
            const Token sign = advance();
            if (sign.text == "-") pending_.push_back({ExprOp::neg, sign.line, false});
        }
        const Token t = current_;
        if (t.is("(") || (t.kind == Tok::id && function(t.text))) {
            advance();
            if (t.kind == Tok::id) {
                pending_.push_back({*function(t.text), t.line, false});
                expect("(");
            }
            if (open >= kMaxExpressionDepth) fail(t.line, "expression nested too deeply");
            pending_.push_back({ExprOp::number, t.line, true});
            ++open;
            continue;
        }
        operands_.push_back(primary(nodes, params));
        complete_operand();
        // Operators, and the parentheses they close.
        for (;;) {
            if (version3_ && current_.is("^"))
                fail(current_.line,
                     "the bitwise operator '^' is not supported (write powers as '**')");
            if (open > 0 && current_.is(")")) {
                advance();
                while (!pending_.back().open) reduce();
                pending_.pop_back();
                --open;
                complete_operand();
                continue;
            }
            const ExprOp op = binary_operator(current_);
            if (op == ExprOp::number) {
                if (open > 0) expected("')'");
                while (!pending_.empty()) reduce();
                return operands_.back();
            }
            const std::uint32_t line = advance().line;
            // Left-associative but for the power.
            while (!pending_.empty() && !pending_.back().open &&
                   (precedence(pending_.back().op) > precedence(op) ||
                    (precedence(pending_.back().op) == precedence(op) && op != ExprOp::pow)))
                reduce();
            pending_.push_back({op, line, false});
            break;
        }
    }
}

// The binary operation `t` is, or ExprOp::number when it is none (as most
// often, the ')' or ',' after a parameter: one test of the first byte).
ExprOp Parser::binary_operator(const Token& t) const {
    if (t.kind != Tok::op) return ExprOp::number;
    switch (t.text[0]) {
        case '+':
            return t.text.size() == 1 ? ExprOp::add : ExprOp::number;
        case '-':
            return t.text.size() == 1 ? ExprOp::sub : ExprOp::number;
        case '/':
            return t.text.size() == 1 ? ExprOp::div : ExprOp::number;
        case '^':
            return version3_ ? ExprOp::number : ExprOp::pow;  // version 3 refuses it before
        case '*':
            if (t.text.size() == 1) return ExprOp::mul;
            return version3_ && t.text == "**" ? ExprOp::pow : ExprOp::number;
        default:
            return ExprOp::number;
    }
}

// How tightly a binary operation binds; 0 for the others (signs, functions).
int Parser::precedence(ExprOp op) {
    switch (op) {
        case ExprOp::add:
        case ExprOp::sub:
            return 1;
        case ExprOp::mul:
        case ExprOp::div:
            return 2;
        case ExprOp::pow:
            return 3;
        default:
            return 0;
    }
}

std::optional<ExprOp> Parser::function(std::string_view name) {
    for (auto [function, op] : kFunctions)
        if (name == function) return op;
    return std::nullopt;
}

// A number, a constant or a parameter.
std::uint32_t Parser::primary(std::vector<Expr>& nodes, const Names* params) {
    const Token t = current_;
    if (t.kind == Tok::integer || t.kind == Tok::real) {
        advance();
        return leaf(nodes, literal(t), t.line);
    }
    if (t.kind == Tok::id) {
        advance();
        for (const Constant& c : kConstants)
            if (t.text == c.name && (version3_ || c.in_version2))
                return leaf(nodes, Number::of_real(c.value), t.line);
        const auto index = params ? params->find(t.text) : Names::const_iterator{};
        if (!params || index == params->end()) fail(t.line, "unknown parameter " + repr(t.text));
        nodes.push_back(Expr{ExprOp::param, index->second, 0, t.line, {}});
        return static_cast<std::uint32_t>(nodes.size() - 1);
    }
    expected("a number, a parameter or '('");
}

std::uint32_t Parser::leaf(std::vector<Expr>& nodes, Number value, std::uint32_t line) {
    nodes.push_back(Expr{ExprOp::number, 0, 0, line, value});
    return static_cast<std::uint32_t>(nodes.size() - 1);
}

// A node over `a` (and `b`, for the binary operations).
std::uint32_t Parser::binary(std::vector<Expr>& nodes, ExprOp op, std::uint32_t a, std::uint32_t b,
                             std::uint32_t line) {
    const bool two = op == ExprOp::add || op == ExprOp::sub || op == ExprOp::mul ||
                     op == ExprOp::div || op == ExprOp::pow;
    const std::uint32_t depth = 1 + std::max(nodes[a].depth, two ? nodes[b].depth : 0);
    if (depth > kMaxExpressionDepth) fail(line, "expression nested too deeply");
    nodes.push_back(Expr{op, a, b, line, {}, depth});
    return static_cast<std::uint32_t>(nodes.size() - 1);
}

Number Parser::literal(const Token& t) {
    const char* first = t.text.data();
    const char* last = first + t.text.size();
    if (t.kind == Tok::integer) {
        std::int64_t v = 0;
        if (std::from_chars(first, last, v).ec == std::errc()) return Number::of_integer(v);
        return Number{Number::Kind::big_integer, false, 0, 0.0, t.text};
    }
    // Out of range: inf or 0 as the host's float() gives (from_chars leaves v alone).
    double v = 0.0;
    if (std::from_chars(first, last, v).ec == std::errc::result_out_of_range)
        v = std::strtod(std::string(t.text).c_str(), nullptr);
    return Number::of_real(v);
}

}  // namespace corvane::qasm
