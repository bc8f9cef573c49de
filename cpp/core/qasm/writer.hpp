// OpenQASM 2 and 3 writer: the circuit model's entries as a program that the
// reader (and any reader of qelib1.inc or stdgates.inc programs) reads back as
// the same entries.
#pragma once

#include "qasm/program.hpp"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <memory>
#include <optional>
#include <stdexcept>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::qasm {

// An entry the writer cannot write so that it reads back the same; the
// message says why (the caller names the entry).
class WriteError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A condition on some of the classical bits, which only a program declaring
// them as several registers can write (see register_starts).
class NeedsRegisters : public WriteError {
  public:
    using WriteError::WriteError;
};

// The first bit of each register of a program whose classical bits are split
// so that each condition of `conditions` reads one whole register, in order:
// every condition on several bits (on any number of bits for OpenQASM 2) must
// be consecutive ascending bits that no other condition's register cuts. None
// when the conditions overlap so that no split fits.
std::optional<std::vector<std::uint32_t>> register_starts(
    std::uint32_t ncbits, std::span<const std::vector<std::int64_t>> conditions, int version);

// A growing text buffer whose appends inline to a bounds check and a copy
// (the writer's output is tens of bytes per entry, millions of entries).
class TextBuffer {
  public:
    void append(std::string_view text) {
        std::memcpy(room(text.size()), text.data(), text.size());
        size_ += text.size();
    }
    // Appends the first `n` (at most kPadded) bytes of `text`, from which
    // kPadded bytes can be read: one fixed-size copy, where a copy of
    // variable length is a library call (most pieces of a line are short).
    static constexpr size_t kPadded = 16;
    void append_padded(const char* text, size_t n) {
        std::memcpy(room(kPadded), text, kPadded);
        size_ += n;
    }
    void push(char c) {
        *room(1) = c;
        ++size_;
    }
    void append_integer(std::int64_t value) {
        char* first = room(20);
        size_ = static_cast<size_t>(std::to_chars(first, first + 20, value).ptr - data_.get());
    }
    // `value` as the host's repr() writes it: the shortest digits that read
    // back as the same double, with ".0" or an exponent so that it reads back
    // as a float, never as an integer. `value` must be finite.
    void append_real(double value);
    // The longest text append_real writes ("-2.2250738585072014e-308"), and
    // the room it asks for, a fixed copy's length.
    static constexpr size_t kRealRoom = 32;
    void reserve(size_t capacity) {
        if (capacity > capacity_) grow(capacity);
    }
    std::string_view view() const { return {data_.get(), size_}; }

  private:
    char* room(size_t n) {
        if (size_ + n > capacity_) grow(size_ + n);
        return data_.get() + size_;
    }
    void grow(size_t needed);

    std::unique_ptr<char[]> data_;
    size_t size_ = 0, capacity_ = 0;
    std::uint64_t last_real_bits_ = 0;
    size_t last_real_size_ = 0;
    char last_real_text_[kRealRoom];
};

// Writes entries one by one into the program's body; `finish` puts the header
// (with a definition of every gate used that qelib1.inc lacks) in front.
class ProgramWriter {
  public:
    // `expected_entries` sizes the body's first allocation; `version` is 2 or 3.
    ProgramWriter(std::uint32_t nqubits, std::uint32_t ncbits, size_t expected_entries = 0,
                  int version = 2);

    // A gate of the gate set, once per name: the id for `gate`.
    std::uint32_t prepare(std::string_view name, const GateShape& shape);
    void gate(std::uint32_t id, std::span<const Number> params,
              std::span<const std::int64_t> qubits);
    void measure(std::span<const std::int64_t> qubits, std::span<const std::int64_t> cbits);
    void barrier(std::span<const std::int64_t> qubits);
    void delay(const Number& duration, std::span<const std::int64_t> qubits);
    void reset(std::int64_t qubit);
    // A conditional: begin_if, the body's entries, then (version 3 only, when
    // there is one) begin_else and the other branch's entries, end_if. Version 3 writes a condition
    // on one bit or on every bit in order; version 2 only the latter, with a
    // body of one statement (written right after the condition).
    void begin_if(std::span<const std::int64_t> cbits, std::int64_t value);
    // Declares the classical bits as registers c0, c1, ... from these first
    // bits (from register_starts) instead of one register c; before any entry.
    void use_registers(std::vector<std::uint32_t> starts) { register_starts_ = std::move(starts); }
    void begin_else();
    void end_if();
    int version() const { return version_; }

    // The header; the body follows it in the program.
    std::string header() const;
    std::string_view body() const { return body_.view(); }

  private:
    void check_qubits(std::span<const std::int64_t> qubits, bool distinct, std::string_view what);
    void check_index(std::int64_t index, std::uint32_t size, std::string_view what) const;
    static void check_number(const Number& n, std::string_view what);
    [[gnu::always_inline]] void append_number(const Number& n) {
        switch (n.kind) {
            case Number::Kind::integer:
                body_.append_integer(n.integer);
                return;
            case Number::Kind::real:
                body_.append_real(n.real);
                return;
            case Number::Kind::big_integer:
                if (n.negative) body_.push('-');
                body_.append(n.digits);
                return;
        }
    }
    // Qubit `q` as an operand: " q[3]" for the first of a statement, ", q[3]"
    // for the others, "q[3]" alone.
    enum class Operand : std::uint8_t { alone = 2, first = 1, next = 0 };
    [[gnu::always_inline]] void append_qubit(std::int64_t q, Operand place = Operand::alone) {
        const auto skip = static_cast<size_t>(place);
        if (q < static_cast<std::int64_t>(operand_count_)) {
            char* slot = operands_[static_cast<size_t>(q)].text;
            if (slot[kOperandSize] == 0) fill_operand(slot, q);
            body_.append_padded(slot + skip, static_cast<size_t>(slot[kOperandSize]) - skip);
            return;
        }
        body_.append(std::string_view(", q[").substr(skip));
        body_.append_integer(q);
        body_.push(']');
    }
    static void fill_operand(char* slot, std::int64_t q);

    // Appends classical bit `c` as its register names it: c[5], or c1[2].
    void append_cbit(std::int64_t c);
    // The register holding bit `c`, an index into register_starts_.
    size_t register_of(std::int64_t c) const;
    std::uint32_t register_size(size_t r) const;

    // The operand texts of the first kTabledQubits qubits, ", q[3]" in a slot
    // of its own with its length in the last byte (0 until first written),
    // and one slot more, so that a padded copy from inside the last reads
    // inside the table.
    static constexpr std::uint32_t kTabledQubits = 1u << 16;
    static constexpr size_t kOperandSize = TextBuffer::kPadded - 1;  // ", q[4294967295]"
    struct OperandSlot {
        char text[TextBuffer::kPadded];
    };
    std::unique_ptr<OperandSlot[]> operands_;
    std::uint32_t operand_count_;

    std::uint32_t nqubits_, ncbits_;
    int version_;
    std::vector<std::uint32_t> register_starts_;  // empty: one register c
    TextBuffer body_;
    struct Gate {
        std::string name, written;
        char padded[TextBuffer::kPadded];  // `written` and zeros, when it fits
        GateShape shape;
        std::string_view definition;  // empty when qelib1.inc has the gate
        bool used;
    };
    std::vector<Gate> gates_;
    std::vector<std::string_view> defined_;  // definitions of the gates used, in order of first use
    bool has_delay_ = false;
    // Entries on up to this many qubits (every gate) are checked for a repeated
    // qubit pair by pair; longer ones (measurements, delays) through a sorted copy.
    static constexpr size_t kPairwiseQubits = 8;
    std::vector<std::int64_t> sorted_;
};

}  // namespace corvane::qasm
