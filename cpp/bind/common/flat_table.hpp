// A small open-addressing hash table for hot lookups in the binding layer.
//
// Keys are hashed by the caller's function and spread over the slots by
// Fibonacci hashing (the high bits of a multiply mix every input bit); probing
// is linear and the table doubles when half full. Values are non-null
// pointers, so an empty slot is one holding nullptr. Only insertion: the
// tables live for one call.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>
#include <vector>

namespace corvane::bind {

template <class Key, class Value, class Hash>
class FlatTable {
    static_assert(std::is_pointer_v<Value>, "values are pointers, nullptr marking an empty slot");

  public:
    explicit FlatTable(std::size_t capacity) : slots_(std::bit_ceil(capacity < 2 ? 2 : capacity)) {}

    // The value stored for `key`, or nullptr.
    Value find(const Key& key) const { return slots_[slot_of(key)].value; }

    // Stores `value` (not null) for `key`, which must not be in the table.
    void insert(const Key& key, Value value) {
        if (2 * (used_ + 1) > slots_.size()) {
            std::vector<Slot> old = std::exchange(slots_, std::vector<Slot>(slots_.size() * 2));
            for (Slot& s : old)
                if (s.value) slots_[slot_of(s.key)] = std::move(s);
        }
        slots_[slot_of(key)] = Slot{key, value};
        ++used_;
    }

  private:
    struct Slot {
        Key key{};
        Value value = nullptr;
    };
    // The slot holding `key`, or the empty slot where it belongs.
    std::size_t slot_of(const Key& key) const {
        const std::size_t mask = slots_.size() - 1;
        const int shift = 64 - std::countr_zero(slots_.size());
        std::size_t i = (static_cast<std::uint64_t>(Hash{}(key)) * 0x9E3779B97F4A7C15ull) >> shift;
        while (slots_[i].value && !(slots_[i].key == key)) i = (i + 1) & mask;
        return i;
    }
    std::vector<Slot> slots_;
    std::size_t used_ = 0;
};

}  // namespace corvane::bind
