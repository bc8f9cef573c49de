// Hash maps keyed by text that are searched with a std::string_view: the hash
// is transparent, so a lookup makes no std::string.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>
#include <unordered_map>

namespace corvane {

struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
        return std::hash<std::string_view>{}(text);
    }
};

// Key: std::string to own the text, std::string_view where it lives elsewhere.
template <class Key, class Value>
using TextMap = std::unordered_map<Key, Value, TextHash, std::equal_to<>>;

}  // namespace corvane
