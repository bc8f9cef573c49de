// The token cursor of the OpenQASM reader and the grammar of parameter
// expressions, which the reader (reader.cpp) builds on: statements and gate
// definitions there, numbers and arithmetic here. Both versions share it;
// version 3 adds the constants tau and euler, the Greek spellings and `**`.
#pragma once

#include "qasm/expression.hpp"
#include "qasm/tokens.hpp"
#include "common/text_map.hpp"

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace corvane::qasm {

// The parameters of a gate definition by name, to their positions.
using Names = TextMap<std::string_view, std::uint32_t>;

class Parser {
  protected:
    explicit Parser(std::string_view text) : lexer_(text) { advance(); }

    // Reads the rest of the program as OpenQASM 3; the token at hand is
    // already lexed, so this is called before advancing past it.
    void use_version3() {
        lexer_.use_version3();
        version3_ = true;
    }

    // Inlined: called per token, and the call would cost more than the test.
    [[gnu::always_inline]] Token advance() {
        Token taken = current_;
        previous_line_ = taken.line;
        current_ = lexer_.next();
        return taken;
    }
    [[gnu::always_inline]] bool accept(std::string_view value) {
        if (!current_.is(value)) return false;
        advance();
        return true;
    }
    [[noreturn]] void expected(std::string_view what) const {
        // A missing ';' belongs to the line of the statement it should end.
        if (what == "';'" && current_.line > previous_line_)
            fail(previous_line_, "missing ';' (line " + std::to_string(current_.line) +
                                     ": expected ';', got " + repr(current_.text) + ")");
        fail(current_.line, "expected " + std::string(what) + ", got " + repr(current_.text));
    }
    [[gnu::always_inline]] void expect(std::string_view value) {
        // Built by appends: GCC 12 warns (-Wrestrict, falsely) on "literal" + std::string&&.
        if (!current_.is(value)) expected(std::string("'").append(value).append("'"));
        advance();
    }
    Token expect_kind(Tok kind, std::string_view what) {
        if (current_.kind != kind) expected(what);
        return advance();
    }

    // Parses an expression into `nodes` and returns its root; parameter
    // names resolve against `params` (none at top level). Fails with the
    // line on malformed or too deeply nested expressions.
    std::uint32_t expression(std::vector<Expr>& nodes, const Names* params);

    Token current_;
    std::uint32_t previous_line_ = 1;
    bool version3_ = false;

  private:
    std::uint32_t primary(std::vector<Expr>& nodes, const Names* params);
    ExprOp binary_operator(const Token& t) const;
    static int precedence(ExprOp op);
    static std::optional<ExprOp> function(std::string_view name);
    static std::uint32_t leaf(std::vector<Expr>& nodes, Number value, std::uint32_t line);
    static std::uint32_t binary(std::vector<Expr>& nodes, ExprOp op, std::uint32_t a,
                                std::uint32_t b, std::uint32_t line);
    static Number literal(const Token& t);

    Lexer lexer_;
    // The stacks of expression(): operands (node indices) and the operations
    // and open parentheses waiting for them; kept to reuse their storage.
    struct Pending {
        ExprOp op;
        std::uint32_t line;
        bool open;  // an open parenthesis (a function's too, above the function)
    };
    std::vector<std::uint32_t> operands_;
    std::vector<Pending> pending_;
};

}  // namespace corvane::qasm
