// OpenQASM 2 reader: tokenizer, parser and gate expansion into the gate set
// of the circuit model.
//
// Accepted: the OPENQASM 2.0 header, `include "qelib1.inc"`, several quantum
// and classical registers (laid out one after another), whole-register
// arguments, parameter expressions (`pi`, `+ - * / ^`, `sin cos tan exp ln
// sqrt`), `gate` definitions, measure, reset, barrier, and `delay(d)` once
// declared `opaque delay(duration) a;` (as the writer declares it). Every gate
// of qelib1.inc is known: the ones of the gate set become its entries, the
// others are expanded through their definitions in the gate table
// (gates/gate_table.cpp).
// Refused with a ParseError: other `opaque` gates (no definition to expand),
// `if` (the circuit model has no classical control), anything malformed.
#pragma once

#include "qasm/program.hpp"

#include <cstdint>
#include <limits>
#include <string_view>

namespace corvane::qasm {

// Ceilings on what one program may cost: the qubits (and, apart, the
// classical bits) it declares, and the entries it reads, its gates'
// expansions included. Over one, reading stops with a LimitError.
struct Limits {
    std::uint64_t qubits = std::numeric_limits<std::uint64_t>::max();
    std::uint64_t gates = std::numeric_limits<std::uint64_t>::max();
};

// Reads `text` (kept by the caller for the length of the call; big integer
// parameters point into it). Throws ParseError (LimitError over `limits`), or corvane::Interrupted
// when the host's interrupt check asks (polled per statement and per operation, so a short program
// expanding to millions of operations stops too). `dt` is the length in seconds of the unit 'dt' of
// OpenQASM 3 durations, 0 when unknown (a duration in dt is then refused).
Program read_program(std::string_view text, const GateSet& gates, double dt = 0,
                     Limits limits = {});

}  // namespace corvane::qasm
