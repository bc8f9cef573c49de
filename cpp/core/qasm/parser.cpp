#include "qasm/parser.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <numbers>
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

std::uint32_t Parser::expression(std::vector<Expr>& nodes,
                                 const std::vector<std::string_view>* params) {
    std::uint32_t node = term(nodes, params);
    while (current_.kind == Tok::op && (current_.text == "+" || current_.text == "-")) {
        const Token op = advance();
        node = binary(nodes, op.text == "+" ? ExprOp::add : ExprOp::sub, node, term(nodes, params),
                      op.line);
    }
    return node;
}

std::uint32_t Parser::term(std::vector<Expr>& nodes, const std::vector<std::string_view>* params) {
    std::uint32_t node = power(nodes, params);
    while (current_.kind == Tok::op && (current_.text == "*" || current_.text == "/")) {
        const Token op = advance();
        node = binary(nodes, op.text == "*" ? ExprOp::mul : ExprOp::div, node, power(nodes, params),
                      op.line);
    }
    return node;
}

std::uint32_t Parser::power(std::vector<Expr>& nodes, const std::vector<std::string_view>* params) {
    const std::uint32_t base = unary(nodes, params);
    // Version 3 writes powers as `**`; its `^` is the exclusive or of integers.
    if (version3_ && current_.is("^"))
        fail(current_.line, "the bitwise operator '^' is not supported (write powers as '**')");
    if (current_.kind == Tok::op && current_.text == (version3_ ? "**" : "^")) {
        const std::uint32_t line = advance().line;
        return binary(nodes, ExprOp::pow, base, power(nodes, params), line);
    }
    return base;
}

std::uint32_t Parser::unary(std::vector<Expr>& nodes, const std::vector<std::string_view>* params) {
    // Every recursion of the parser passes through here.
    if (++nesting_ > kMaxExpressionDepth) fail(current_.line, "expression nested too deeply");
    struct Leave {
        std::uint32_t& nesting;
        ~Leave() { --nesting; }
    } leave{nesting_};
    if (current_.kind == Tok::op && current_.text == "-") {
        const std::uint32_t line = advance().line;
        return binary(nodes, ExprOp::neg, unary(nodes, params), 0, line);
    }
    if (current_.kind == Tok::op && current_.text == "+") {
        advance();
        return unary(nodes, params);
    }
    return primary(nodes, params);
}

std::uint32_t Parser::primary(std::vector<Expr>& nodes,
                              const std::vector<std::string_view>* params) {
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
        for (auto [name, op] : kFunctions) {
            if (t.text != name) continue;
            expect("(");
            const std::uint32_t inner = expression(nodes, params);
            expect(")");
            return binary(nodes, op, inner, 0, t.line);
        }
        const int index = params ? position(*params, t.text) : -1;
        if (index < 0) fail(t.line, "unknown parameter " + repr(t.text));
        nodes.push_back(Expr{ExprOp::param, static_cast<std::uint32_t>(index), 0, t.line, {}});
        return static_cast<std::uint32_t>(nodes.size() - 1);
    }
    if (t.is("(")) {
        advance();
        const std::uint32_t inner = expression(nodes, params);
        expect(")");
        return inner;
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
