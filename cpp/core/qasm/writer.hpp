// OpenQASM 2 writer: the circuit model's entries as a program that the reader
// (and any reader of qelib1.inc programs) reads back as the same entries.
#pragma once

#include "qasm/program.hpp"

#include <cstdint>
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

// Appends `value` as the host's repr() writes it: the shortest digits that
// read back as the same double, with ".0" or an exponent so that it reads
// back as a float, never as an integer. `value` must be finite.
void append_real(std::string& out, double value);

// Writes entries one by one into the program's body; `finish` puts the header
// (with a definition of every gate used that qelib1.inc lacks) in front.
class ProgramWriter {
public:
    ProgramWriter(std::uint32_t nqubits, std::uint32_t ncbits);

    // A gate of the gate set, once per name: the id for `gate`.
    std::uint32_t prepare(std::string_view name, const GateShape& shape);
    void gate(std::uint32_t id, std::span<const Number> params, std::span<const std::int64_t> qubits);
    void measure(std::span<const std::int64_t> qubits, std::span<const std::int64_t> cbits);
    void barrier(std::span<const std::int64_t> qubits);
    void delay(const Number& duration, std::span<const std::int64_t> qubits);
    void reset(std::int64_t qubit);

    // The header; the body follows it in the program.
    std::string header() const;
    const std::string& body() const { return body_; }

private:
    void check_qubits(std::span<const std::int64_t> qubits, bool distinct, std::string_view what);
    void check_index(std::int64_t index, std::uint32_t size, std::string_view what) const;
    void append_number(const Number& n, std::string_view what);
    void append_qubit(std::int64_t q);

    std::uint32_t nqubits_, ncbits_;
    std::string body_;
    struct Gate {
        std::string name, written;
        GateShape shape;
        std::string_view definition;  // empty when qelib1.inc has the gate
        bool used;
    };
    std::vector<Gate> gates_;
    std::vector<std::string_view> defined_;  // definitions of the gates used, in order of first use
    bool has_delay_ = false;
    // Stamp per qubit of the last entry that used it: a distinctness check in
    // one pass over an entry's qubits.
    std::vector<std::uint32_t> seen_;
    std::uint32_t stamp_ = 0;
};

}  // namespace corvane::qasm
