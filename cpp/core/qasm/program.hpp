// The data an OpenQASM program turns into: the circuit model's operations on
// numbered qubits and bits, with parameters that keep the integer/real
// distinction the circuit model keeps (an integer literal stays an integer).
#pragma once

#include "common/text_map.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::qasm {

// A malformed or unsupported program; the message starts with "line N: ".
class ParseError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// A program over one of the reader's ceilings (reader.hpp's Limits), which
// `ceiling` names; the message starts with "line N: ".
class LimitError : public ParseError {
  public:
    enum class Ceiling : std::uint8_t { qubits, gates };
    LimitError(const std::string& message, Ceiling ceiling)
        : ParseError(message), ceiling(ceiling) {}
    Ceiling ceiling;
};

// A parameter value. Integers beyond 64 bits are kept as their decimal digits
// (they can be written back and read again, but take part in no arithmetic).
struct Number {
    enum class Kind : std::uint8_t { integer, real, big_integer };
    Kind kind = Kind::integer;
    bool negative = false;  // sign of a big integer
    std::int64_t integer = 0;
    double real = 0.0;
    std::string_view digits;  // big integer: the literal's digits, inside the program text

    static Number of_integer(std::int64_t v) { return {Kind::integer, false, v, 0.0, {}}; }
    static Number of_real(double v) { return {Kind::real, false, 0, v, {}}; }
    bool is_finite() const;
    // Equality as the host compares an int with an int or a float.
    bool operator==(const Number& other) const;
};

// How the circuit model shapes the entry of a gate of its gate set.
struct GateShape {
    std::uint8_t nqubits = 1;
    std::int16_t nparams = 0;  // negative: any number of parameters
};

// The gate set of the circuit model, by name; the first shape given for a
// name is kept, as the circuit model tests its categories in order.
class GateSet {
  public:
    void add(std::string_view name, GateShape shape) {
        shapes_.try_emplace(std::string(name), shape);
    }
    const GateShape* find(std::string_view name) const;

  private:
    TextMap<std::string, GateShape> shapes_;
};

enum class OperationKind : std::uint8_t {
    gate,
    measure,
    barrier,
    delay,
    reset,
    // A conditional is laid out flat: if_begin, its first branch, else_begin,
    // its second branch, if_end. if_begin's operands are the bits the
    // condition reads (least significant first, `nqubits` of them) and its one
    // parameter the value they must hold; `gate` is 1 when the first branch
    // is the one run when the condition does not hold.
    if_begin,
    else_begin,
    if_end,
};

// One entry of the circuit: `gate` indexes Program::gate_names; parameters and
// qubits are slices of the program's shared arrays; a measurement's operands
// are (qubit, bit) pairs, `nqubits` of them.
struct Operation {
    OperationKind kind;
    std::uint32_t gate = 0;
    std::uint32_t line = 0;
    std::uint32_t first_param = 0, nparams = 0;
    std::uint32_t first_operand = 0, nqubits = 0;
};

struct Program {
    std::uint32_t nqubits = 0, ncbits = 0;
    int version = 2;  // the dialect its version line names (2 without one)
    std::vector<std::string> gate_names;
    std::vector<Operation> operations;
    std::vector<Number> params;
    std::vector<std::uint32_t> operands;
};

}  // namespace corvane::qasm
