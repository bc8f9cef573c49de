#include "qasm/writer.hpp"

#include "gates/gate_table.hpp"

#include <charconv>
#include <cmath>
#include <algorithm>
#include <bit>
#include <cstring>

namespace corvane::qasm {

namespace {

// Bytes of body text per entry: the generated benchmark programs (a quarter
// of the gates with a 17-digit angle) average 19-22, so 32 rarely regrows.
constexpr size_t kBytesPerEntry = 32;

}  // namespace

void TextBuffer::grow(size_t needed) {
    const size_t capacity = std::max(needed, 2 * capacity_ + 256);
    auto data = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_) std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
}

void TextBuffer::append_real(double value) {
    // Decoupled circuits repeat a few delay durations: the last text serves again.
    if (std::bit_cast<std::uint64_t>(value) == last_real_bits_ && last_real_size_ > 0) {
        std::memcpy(room(kRealRoom), last_real_text_, kRealRoom);
        size_ += last_real_size_;
        return;
    }
    char* const start = room(kRealRoom);
    char* out = start;
    // Shortest round-trip digits d.ddd and exponent from to_chars, laid out by
    // the host's repr rule: positional for 1e-4 <= |x| < 1e16, else exponent.
    char buffer[32];
    char* end =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::scientific).ptr;
    char* e = end - 4;  // the exponent has 2 or 3 digits after its sign
    if (*e != 'e') --e;
    int exponent = 0;
    std::from_chars(e + 1 + (e[1] == '+'), end, exponent);
    const char* first = buffer;
    if (*first == '-') {
        *out++ = '-';
        ++first;
    }
    char digits[20];
    size_t ndigits = 0;
    for (const char* p = first; p < e; ++p)
        if (*p != '.') digits[ndigits++] = *p;
    const int point = exponent + 1;  // digits before the decimal point
    if (point <= -4 || point > 16) {
        *out++ = digits[0];
        if (ndigits > 1) {
            *out++ = '.';
            out = std::copy(digits + 1, digits + ndigits, out);
        }
        *out++ = 'e';
        *out++ = exponent < 0 ? '-' : '+';
        const int magnitude = std::abs(exponent);
        if (magnitude < 10) *out++ = '0';
        out = std::to_chars(out, start + kRealRoom, magnitude).ptr;
    } else if (point <= 0) {
        *out++ = '0';
        *out++ = '.';
        out = std::fill_n(out, -point, '0');
        out = std::copy(digits, digits + ndigits, out);
    } else if (static_cast<size_t>(point) >= ndigits) {
        out = std::copy(digits, digits + ndigits, out);
        out = std::fill_n(out, static_cast<size_t>(point) - ndigits, '0');
        *out++ = '.';
        *out++ = '0';
    } else {
        out = std::copy(digits, digits + point, out);
        *out++ = '.';
        out = std::copy(digits + point, digits + ndigits, out);
    }
    last_real_size_ = static_cast<size_t>(out - start);
    last_real_bits_ = std::bit_cast<std::uint64_t>(value);
    std::memcpy(last_real_text_, start, kRealRoom);
    size_ += last_real_size_;
}

ProgramWriter::ProgramWriter(std::uint32_t nqubits, std::uint32_t ncbits, size_t expected_entries,
                             int version)
    : operand_count_(std::min(nqubits, kTabledQubits)),
      nqubits_(nqubits),
      ncbits_(ncbits),
      version_(version) {
    // Zeroed (a length of 0: not yet written); the pages of slots no entry
    // touches are never written.
    operands_ = std::make_unique<OperandSlot[]>(size_t{operand_count_} + 1);
    body_.reserve(expected_entries * kBytesPerEntry);
}

void ProgramWriter::fill_operand(char* slot, std::int64_t q) {
    std::memcpy(slot, ", q[", 4);
    char* end = std::to_chars(slot + 4, slot + kOperandSize, q).ptr;
    *end++ = ']';
    slot[kOperandSize] = static_cast<char>(end - slot);
}

void ProgramWriter::check_index(std::int64_t index, std::uint32_t size,
                                std::string_view what) const {
    if (index < 0 || index >= static_cast<std::int64_t>(size))
        throw WriteError(std::string(what) + " index " + std::to_string(index) +
                         " out of range for " + std::to_string(size) +
                         (what == "qubit" ? " qubits" : " bits"));
}

void ProgramWriter::check_qubits(std::span<const std::int64_t> qubits, bool distinct,
                                 std::string_view what) {
    if (qubits.empty()) throw WriteError(std::string(what) + " on no qubits cannot be written");
    for (std::int64_t q : qubits) check_index(q, nqubits_, "qubit");
    if (!distinct) return;
    auto twice = [](std::int64_t q) {
        return WriteError("qubit " + std::to_string(q) + " appears twice");
    };
    if (qubits.size() <= kPairwiseQubits) {
        for (size_t i = 1; i < qubits.size(); ++i)
            for (size_t j = 0; j < i; ++j)
                if (qubits[i] == qubits[j]) throw twice(qubits[i]);
        return;
    }
    sorted_.assign(qubits.begin(), qubits.end());
    std::sort(sorted_.begin(), sorted_.end());
    if (auto it = std::adjacent_find(sorted_.begin(), sorted_.end()); it != sorted_.end())
        throw twice(*it);
}

void ProgramWriter::check_number(const Number& n, std::string_view what) {
    if (n.kind == Number::Kind::real && !std::isfinite(n.real)) {
        const char* shown = std::isnan(n.real) ? "nan" : n.real > 0 ? "inf" : "-inf";
        throw WriteError("cannot write the " + std::string(what) + " " + shown);
    }
}

std::uint32_t ProgramWriter::prepare(std::string_view name, const GateShape& shape) {
    Gate g{std::string(name), std::string(name), {}, shape, {}, false};
    // A model gate is written under its library's name, and defined after the
    // include line when the library lacks it.
    if (const gates::GateRow* row = gates::find_gate(name);
        row && row->category != gates::Category::none) {
        const gates::Dialect& dialect = version_ == 3 ? row->qasm3 : row->qasm2;
        if (!dialect.spelling.empty()) g.written = dialect.spelling;
        if (!dialect.in_library) g.definition = dialect.definition;
    }
    if (g.written.size() <= TextBuffer::kPadded)
        std::copy(g.written.begin(), g.written.end(), g.padded);
    gates_.push_back(std::move(g));
    return static_cast<std::uint32_t>(gates_.size() - 1);
}

void ProgramWriter::gate(std::uint32_t id, std::span<const Number> params,
                         std::span<const std::int64_t> qubits) {
    Gate& g = gates_[id];
    if (qubits.size() != g.shape.nqubits)
        throw WriteError(g.name + " acts on " + std::to_string(g.shape.nqubits) +
                         " qubit(s), got " + std::to_string(qubits.size()));
    if (g.shape.nparams >= 0 && params.size() != static_cast<size_t>(g.shape.nparams))
        throw WriteError(g.name + " takes " + std::to_string(g.shape.nparams) +
                         " parameter(s), got " + std::to_string(params.size()));
    check_qubits(qubits, true, g.name);
    for (const Number& p : params) check_number(p, "parameter");
    if (g.written.size() <= TextBuffer::kPadded)
        body_.append_padded(g.padded, g.written.size());
    else
        body_.append(g.written);
    if (!params.empty()) {
        body_.push('(');
        for (size_t i = 0; i < params.size(); ++i) {
            if (i) body_.append(", ");
            append_number(params[i]);
        }
        body_.push(')');
    }
    for (size_t i = 0; i < qubits.size(); ++i)
        append_qubit(qubits[i], i ? Operand::next : Operand::first);
    body_.append(";\n");
    if (!g.definition.empty() && !g.used) defined_.push_back(g.definition);
    g.used = true;
}

void ProgramWriter::measure(std::span<const std::int64_t> qubits,
                            std::span<const std::int64_t> cbits) {
    if (qubits.size() != cbits.size())
        throw WriteError("measure needs one classical bit per qubit, got " +
                         std::to_string(qubits.size()) + " and " + std::to_string(cbits.size()));
    check_qubits(qubits, true, "measure");
    for (std::int64_t c : cbits) check_index(c, ncbits_, "classical bit");
    for (size_t i = 0; i < qubits.size(); ++i) {
        if (version_ == 3) {
            if (i) body_.push(' ');
            append_cbit(cbits[i]);
            body_.append(" = measure ");
            append_qubit(qubits[i]);
            body_.push(';');
            continue;
        }
        body_.append(i ? " measure " : "measure ");
        append_qubit(qubits[i]);
        body_.append(" -> ");
        append_cbit(cbits[i]);
        body_.push(';');
    }
    body_.push('\n');
}

void ProgramWriter::barrier(std::span<const std::int64_t> qubits) {
    check_qubits(qubits, false, "barrier");
    body_.append("barrier");
    for (size_t i = 0; i < qubits.size(); ++i)
        append_qubit(qubits[i], i ? Operand::next : Operand::first);
    body_.append(";\n");
}

void ProgramWriter::delay(const Number& duration, std::span<const std::int64_t> qubits) {
    check_qubits(qubits, true, "delay");
    if (duration.negative || (duration.kind == Number::Kind::integer && duration.integer < 0) ||
        (duration.kind == Number::Kind::real && !(duration.real >= 0.0)))
        throw WriteError("a delay duration must be non-negative");
    check_number(duration, "delay duration");
    if (version_ == 3) {
        // Seconds as the host's repr writes them: read back as the same double.
        body_.append("delay[");
        append_number(duration);
        body_.append("s]");
        for (size_t i = 0; i < qubits.size(); ++i)
            append_qubit(qubits[i], i ? Operand::next : Operand::first);
        body_.append(";\n");
        return;
    }
    for (size_t i = 0; i < qubits.size(); ++i) {
        body_.append(i ? " delay(" : "delay(");
        append_number(duration);
        body_.append(") ");
        append_qubit(qubits[i]);
        body_.push(';');
    }
    body_.push('\n');
    has_delay_ = true;
}

void ProgramWriter::reset(std::int64_t qubit) {
    check_index(qubit, nqubits_, "qubit");
    body_.append("reset ");
    append_qubit(qubit);
    body_.append(";\n");
}

void ProgramWriter::begin_if(std::span<const std::int64_t> cbits, std::int64_t value) {
    if (cbits.empty()) throw WriteError("a condition reads at least one classical bit");
    for (std::int64_t c : cbits) check_index(c, ncbits_, "classical bit");
    if (value < 0 || (cbits.size() < 63 && value >> cbits.size() != 0))
        throw WriteError("condition value " + std::to_string(value) + " does not fit in " +
                         std::to_string(cbits.size()) + " bit(s)");
    // A whole register, in order: the first bit's register, of the condition's size.
    const size_t r = register_of(cbits[0]);
    bool whole = cbits[0] == std::int64_t(register_starts_.empty() ? 0 : register_starts_[r]) &&
                 cbits.size() == register_size(r);
    for (size_t k = 1; whole && k < cbits.size(); ++k)
        whole = cbits[k] == cbits[0] + std::int64_t(k);
    body_.append("if (");
    if (!whole) {
        if (version_ != 3 || cbits.size() != 1)
            throw NeedsRegisters(version_ == 3
                                     ? "a condition on several bits is written only when they "
                                       "are consecutive and no other condition's bits cut them"
                                     : "OpenQASM 2 conditions read a whole classical register; "
                                       "write version 3 for a condition on bits that overlap "
                                       "another condition's");
        // A single bit compares with a bool (the peer refuses an int there).
        append_cbit(cbits[0]);
        body_.append(value ? " == true) {\n" : " == false) {\n");
        return;
    }
    body_.push('c');
    if (!register_starts_.empty()) body_.append_integer(static_cast<std::int64_t>(r));
    body_.append(" == ");
    body_.append_integer(value);
    body_.append(version_ == 3 ? ") {\n" : ") ");
}

void ProgramWriter::begin_else() {
    if (version_ == 3) body_.append("} else {\n");
}

void ProgramWriter::end_if() {
    if (version_ == 3) body_.append("}\n");
}

std::string ProgramWriter::header() const {
    std::string out = version_ == 3 ? "OPENQASM 3.0;\ninclude \"stdgates.inc\";\n"
                                    : "OPENQASM 2.0;\ninclude \"qelib1.inc\";\n";
    for (std::string_view text : defined_) {
        out += text;
        out += '\n';
    }
    if (version_ == 3) {
        out += "qubit[" + std::to_string(nqubits_) + "] q;\n";
    } else {
        if (has_delay_) out += "opaque delay(duration) a;\n";
        out += "qreg q[" + std::to_string(nqubits_) + "];\n";
    }
    if (!ncbits_) return out;
    const size_t registers = std::max<size_t>(register_starts_.size(), 1);
    for (size_t r = 0; r < registers; ++r) {
        // Built by appends: GCC 12 warns (-Wrestrict, falsely) on "literal" + std::string&&.
        std::string name = "c";
        if (!register_starts_.empty()) name += std::to_string(r);
        const std::string size = std::to_string(register_size(r));
        if (version_ == 3)
            out.append("bit[").append(size).append("] ").append(name).append(";\n");
        else
            out.append("creg ").append(name).append("[").append(size).append("];\n");
    }
    return out;
}

size_t ProgramWriter::register_of(std::int64_t c) const {
    if (register_starts_.empty()) return 0;
    const auto after = std::upper_bound(register_starts_.begin(), register_starts_.end(),
                                        static_cast<std::uint32_t>(c));
    return static_cast<size_t>(after - register_starts_.begin()) - 1;
}

std::uint32_t ProgramWriter::register_size(size_t r) const {
    if (register_starts_.empty()) return ncbits_;
    const std::uint32_t end = r + 1 < register_starts_.size() ? register_starts_[r + 1] : ncbits_;
    return end - register_starts_[r];
}

void ProgramWriter::append_cbit(std::int64_t c) {
    body_.push('c');
    if (!register_starts_.empty()) {
        const size_t r = register_of(c);
        body_.append_integer(static_cast<std::int64_t>(r));
        c -= register_starts_[r];
    }
    body_.push('[');
    body_.append_integer(c);
    body_.push(']');
}

std::optional<std::vector<std::uint32_t>> register_starts(
    std::uint32_t ncbits, std::span<const std::vector<std::int64_t>> conditions, int version) {
    // Every register a condition needs, as [first, end) of bit indices.
    std::vector<std::pair<std::int64_t, std::int64_t>> needed;
    for (const auto& bits : conditions) {
        if (bits.empty() || (version == 3 && bits.size() == 1)) continue;  // c[i] needs none
        for (size_t k = 1; k < bits.size(); ++k)
            if (bits[k] != bits[0] + std::int64_t(k)) return std::nullopt;
        if (bits[0] < 0 || bits.back() >= std::int64_t(ncbits)) return std::nullopt;
        needed.emplace_back(bits[0], bits.back() + 1);
    }
    std::vector<std::uint32_t> starts{0};
    for (const auto& [first, end] : needed) {
        starts.push_back(static_cast<std::uint32_t>(first));
        if (end < std::int64_t(ncbits)) starts.push_back(static_cast<std::uint32_t>(end));
    }
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    // No register may start inside one a condition needs whole.
    for (const auto& [first, end] : needed)
        for (std::uint32_t s : starts)
            if (s > first && s < end) return std::nullopt;
    return starts;
}

}  // namespace corvane::qasm
