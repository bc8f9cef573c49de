// A value per gate name, kept for the length of one call.
#pragma once

#include "common/flat_table.hpp"
#include "common/text_map.hpp"

#include <cstdint>
#include <string>
#include <string_view>

namespace corvane::bind {

// Keyed by the name's text, so equal strings share a value whatever object
// holds them. Values stay where they are once made (callers keep pointers).
template <class Value>
class GateNameCache {
  public:
    GateNameCache() = default;
    // Moves keep the map's nodes, and with them the pointers to values.
    GateNameCache(GateNameCache&&) = default;
    GateNameCache(const GateNameCache&) = delete;
    GateNameCache& operator=(const GateNameCache&) = delete;

    // The value for `text`, or nullptr.
    Value* find(std::string_view text) {
        if (is_short(text)) return short_names_.find(pack(text));
        auto it = map_.find(text);
        return it == map_.end() ? nullptr : &it->second;
    }

    // Stores `value` for `text`, which must not be cached yet.
    Value& insert(std::string_view text, Value value) {
        Value& stored = map_.emplace(std::string(text), std::move(value)).first->second;
        if (is_short(text)) short_names_.insert(pack(text), &stored);
        return stored;
    }

  private:
    // Names of up to 7 bytes (every gate of the circuit model) are packed with
    // their length into one word: a probe is one multiply and one compare.
    static constexpr size_t kPackedBytes = 7;
    static bool is_short(std::string_view text) {
        return !text.empty() && text.size() <= kPackedBytes;
    }
    static std::uint64_t pack(std::string_view text) {
        std::uint64_t key = static_cast<std::uint64_t>(text.size()) << 56;
        for (size_t i = 0; i < text.size(); ++i)
            key |= static_cast<std::uint64_t>(static_cast<unsigned char>(text[i])) << (8 * i);
        return key;
    }
    struct PackedHash {
        std::uint64_t operator()(std::uint64_t packed) const { return packed; }
    };

    TextMap<std::string, Value> map_;
    // 64 slots: the circuit model's gate set fits without growing.
    FlatTable<std::uint64_t, Value*, PackedHash> short_names_{64};
};

}  // namespace corvane::bind
