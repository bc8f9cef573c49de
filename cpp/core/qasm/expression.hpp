// Parameter expressions of OpenQASM 2: trees of nodes, evaluated with the
// host's arithmetic on ints and floats.
#pragma once

#include "qasm/program.hpp"

#include <cstdint>
#include <string_view>
#include <utility>
#include <vector>

namespace corvane::qasm {

enum class ExprOp : std::uint8_t {
    number,
    param,
    neg,
    add,
    sub,
    mul,
    div,
    pow,
    sin,
    cos,
    tan,
    exp,
    ln,
    sqrt
};

struct Expr {
    ExprOp op;
    std::uint32_t a = 0, b = 0;  // operands (node indices), or the parameter's index
    std::uint32_t line = 0;
    Number value;
    std::uint32_t depth = 1;  // of the tree below this node
};

// Deepest expression tree and nesting of parentheses read, far past any real
// program's (the host's own parser refuses 200 nested parentheses), so that
// a hostile one is refused by name. Parsing and evaluation recurse through
// neither: they keep their stacks on the heap.
constexpr std::uint32_t kMaxExpressionDepth = 1000;

constexpr std::pair<std::string_view, ExprOp> kFunctions[] = {
    {"sin", ExprOp::sin}, {"cos", ExprOp::cos}, {"tan", ExprOp::tan},
    {"exp", ExprOp::exp}, {"ln", ExprOp::ln},   {"sqrt", ExprOp::sqrt},
};

// A number as a double; a big integer fails on `line`.
double as_double(const Number& n, std::uint32_t line);

// Arithmetic as the host does it on ints and floats: int op int stays an int
// (but `/` always gives a float), anything with a float gives a float.
// Failures the host would raise (division by zero, domain and range errors)
// and integer overflow are reported on the expression's line.
Number apply(ExprOp op, const Number& x, const Number& y, std::uint32_t line);

// The value of the expression whose nodes are [first, root] of `nodes` (as
// the parser lays out one expression), parameters taken from `env`;
// `values` is scratch space, kept by the caller to reuse.
Number evaluate(const std::vector<Expr>& nodes, std::uint32_t first, std::uint32_t root,
                const Number* env, std::vector<Number>& values);

}  // namespace corvane::qasm
