#include "qasm/tokens.hpp"

namespace corvane::qasm {

[[noreturn]] void fail(std::uint32_t line, std::string_view message) {
    throw ParseError("line " + std::to_string(line) + ": " + std::string(message));
}

std::string repr(std::string_view text) {
    const char quote =
        text.find('\'') != std::string_view::npos && text.find('"') == std::string_view::npos
            ? '"'
            : '\'';
    std::string out(1, quote);
    for (unsigned char c : text) {
        if (c == quote || c == '\\') {
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
    return out + quote;
}

}  // namespace corvane::qasm
