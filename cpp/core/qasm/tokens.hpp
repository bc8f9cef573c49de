// OpenQASM tokens: the lexer and the error helpers of the reader. Version 3
// adds block comments, UTF-8 names (π, θ, µs) and its operators to the
// tokens of version 2.
#pragma once

#include "qasm/program.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::qasm {

// Throws the ParseError "line N: message".
[[noreturn]] void fail(std::uint32_t line, std::string_view message);

// The host's repr of a text for a message: single quotes unless the text
// holds one, control characters (NUL too) escaped. A text past kShownLength
// characters is cut there, "..." and its length in characters following.
std::string repr(std::string_view text);
// The same without the quotes: a number or a file name as the program has it.
std::string shown(std::string_view text);
constexpr size_t kShownLength = 40;

enum class Tok : std::uint8_t { end, real, integer, id, string, op };

struct Token {
    Tok kind = Tok::end;
    std::string_view text;
    std::uint32_t line = 1;
    bool is(std::string_view t) const { return kind != Tok::string && text == t; }
};

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }
constexpr bool is_id_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
constexpr bool is_id_char(char c) { return is_id_start(c) || is_digit(c); }

// A set of bytes as a table: one load per byte, where tests of ranges are
// several branches and a search of a string is a library call.
struct ByteSet {
    bool has[256];
};

constexpr ByteSet byte_set(std::string_view chars) {
    ByteSet set{};
    for (char c : chars) set.has[static_cast<unsigned char>(c)] = true;
    return set;
}

// The one-character operators of both versions: most tokens of a program.
inline constexpr ByteSet kPunctuation = byte_set(";,()[]{}+-*/^");

// Which bytes start or continue an identifier, one pair per version: version
// 3 also takes the bytes of non-ASCII UTF-8 characters (π, τ, ℇ).
struct IdentifierBytes {
    ByteSet start;
    ByteSet part;
};

constexpr IdentifierBytes identifier_bytes(bool version3) {
    IdentifierBytes bytes{};
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const bool utf8 = version3 && b >= 0x80;
        bytes.start.has[b] = is_id_start(c) || utf8;
        bytes.part.has[b] = is_id_char(c) || utf8;
    }
    return bytes;
}

inline constexpr IdentifierBytes kIdentifierBytes2 = identifier_bytes(false);
inline constexpr IdentifierBytes kIdentifierBytes3 = identifier_bytes(true);

class Lexer {
  public:
    explicit Lexer(std::string_view text) : text_(text) {
        // A UTF-8 byte-order mark, which some editors put first, is no token.
        if (text_.starts_with("\xEF\xBB\xBF")) pos_ = 3;
    }

    // Lexes what follows by the rules of OpenQASM 3.
    void use_version3() {
        version3_ = true;
        identifier_ = &kIdentifierBytes3;
    }

    Token next() {
        skip_blank();
        Token t;
        t.line = line_;
        if (pos_ >= text_.size()) {
            t.text = "end of program";
            return t;
        }
        const size_t start = pos_;
        const char c = text_[pos_];
        if (identifier_->start.has[static_cast<unsigned char>(c)]) {
            const bool* part = identifier_->part.has;
            while (pos_ < text_.size() && part[static_cast<unsigned char>(text_[pos_])]) ++pos_;
            t.kind = Tok::id;
        } else if (is_digit(c) ||
                   (c == '.' && pos_ + 1 < text_.size() && is_digit(text_[pos_ + 1]))) {
            t.kind = number();
        } else if (c == '"') {
            const size_t close = text_.find_first_of("\"\r\n", pos_ + 1);
            if (close == std::string_view::npos || text_[close] != '"') unexpected();
            pos_ = close + 1;
            t.kind = Tok::string;
        } else if ((c == '-' && peek(1) == '>') || (c == '=' && peek(1) == '=')) {
            pos_ += 2;
            t.kind = Tok::op;
        } else if (version3_ && version3_operator()) {
            t.kind = Tok::op;
        } else if (kPunctuation.has[static_cast<unsigned char>(c)]) {
            ++pos_;
            t.kind = Tok::op;
        } else {
            unexpected();
        }
        t.text = text_.substr(start, pos_ - start);
        return t;
    }

  private:
    // The operators only version 3 has, lexed so that the reader can name the
    // construct it refuses rather than stop at a character.
    // Called before the tokens both versions share, so the common punctuation
    // (`;`, `,`, `[`, `(`) leaves after one test.
    bool version3_operator() {
        const char c = text_[pos_];
        if (std::string_view("=!@:<>%&|~*+-/").find(c) == std::string_view::npos) return false;
        static constexpr std::string_view two[] = {"!=", "<=", ">=", "&&", "||", "**",
                                                   "<<", ">>", "+=", "-=", "*=", "/="};
        const char second = peek(1);
        if (second == '=' || second == c)
            for (std::string_view op : two)
                if (op[0] == c && op[1] == second) {
                    pos_ += 2;
                    return true;
                }
        if (std::string_view("=!@:<>%&|~").find(c) == std::string_view::npos) return false;
        ++pos_;
        return true;
    }

    // "\n", "\r\n" and a lone "\r" each end a line.
    static std::uint32_t line_ends(std::string_view text) {
        std::uint32_t ends = 0;
        for (size_t i = 0; i < text.size(); ++i)
            ends += text[i] == '\n' ||
                    (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n'));
        return ends;
    }

    char peek(size_t ahead) const {
        return pos_ + ahead < text_.size() ? text_[pos_ + ahead] : '\0';
    }

    void skip_blank() {
        while (pos_ < text_.size()) {
            const char c = text_[pos_];
            if (c == ' ' || c == '\t') {
                ++pos_;
            } else if (c == '\n' || c == '\r') {
                pos_ += c == '\r' && peek(1) == '\n' ? 2 : 1;
                ++line_;
            } else if (c == '/' && peek(1) == '/') {
                const size_t eol = text_.find_first_of("\r\n", pos_);
                pos_ = eol == std::string_view::npos ? text_.size() : eol;
            } else if (version3_ && c == '/' && peek(1) == '*') {
                const size_t close = text_.find("*/", pos_ + 2);
                if (close == std::string_view::npos) fail(line_, "unterminated comment '/*'");
                line_ += line_ends(text_.substr(pos_, close - pos_));
                pos_ = close + 2;
            } else {
                return;
            }
        }
    }

    // digits [. digits] [e [+-] digits] | . digits [e ...]: real when it has a
    // point or a complete exponent, integer otherwise ("1e" is 1 then e).
    Tok number() {
        auto digits = [&] {
            while (pos_ < text_.size() && is_digit(text_[pos_])) ++pos_;
        };
        bool real = false;
        digits();
        if (peek(0) == '.') {
            ++pos_;
            digits();
            real = true;
        }
        if (peek(0) == 'e' || peek(0) == 'E') {
            size_t exponent = pos_ + 1;
            if (exponent < text_.size() && (text_[exponent] == '+' || text_[exponent] == '-'))
                ++exponent;
            if (exponent < text_.size() && is_digit(text_[exponent])) {
                pos_ = exponent;
                digits();
                real = true;
            }
        }
        return real ? Tok::real : Tok::integer;
    }

    [[noreturn]] void unexpected() const {
        // One whole UTF-8 character, as the host would show it.
        size_t length = 1;
        const auto lead = static_cast<unsigned char>(text_[pos_]);
        if (lead >= 0xf0)
            length = 4;
        else if (lead >= 0xe0)
            length = 3;
        else if (lead >= 0xc0)
            length = 2;
        fail(line_, "unexpected character " + repr(text_.substr(pos_, length)));
    }

    std::string_view text_;
    size_t pos_ = 0;
    std::uint32_t line_ = 1;
    bool version3_ = false;
    const IdentifierBytes* identifier_ = &kIdentifierBytes2;
};

}  // namespace corvane::qasm
