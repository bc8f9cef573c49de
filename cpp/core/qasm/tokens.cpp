#include "qasm/tokens.hpp"

namespace corvane::qasm {

[[noreturn]] void fail(std::uint32_t line, std::string_view message) {
    throw ParseError("line " + std::to_string(line) + ": " + std::string(message));
}

namespace {

// Escapes `text` as the host's repr does inside `quote` (none: 0), cut after
// kShownLength characters.
std::string escaped(std::string_view text, char quote) {
    std::string out;
    size_t characters = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool continuation = (c & 0xc0) == 0x80;  // inside a UTF-8 character
        if (!continuation && ++characters > kShownLength) {
            size_t total = characters;
            for (size_t j = i + 1; j < text.size(); ++j) total += (text[j] & 0xc0) != 0x80;
            if (quote) out += quote;
            return out + "... (" + std::to_string(total) + " characters)";
        }
        if (quote && (c == quote || c == '\\')) {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            static constexpr char hex[] = "0123456789abcdef";
            out += "\\x";
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);  // printable ASCII, or a byte of a UTF-8 character
        }
    }
    if (quote) out += quote;
    return out;
}

}  // namespace

std::string repr(std::string_view text) {
    const char quote =
        text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos
            ? '"'
            : '\'';
    return quote + escaped(text, quote);
}

std::string shown(std::string_view text) { return escaped(text, 0); }

}  // namespace corvane::qasm
