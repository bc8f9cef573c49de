#include "qasm/reader.hpp"

#include "common/interrupt.hpp"
#include "common/text_map.hpp"
#include "gates/gate_table.hpp"
#include "qasm/expression.hpp"
#include "qasm/parser.hpp"
#include "qasm/tokens.hpp"
#include "simulate/unitary.hpp"

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <cmath>
#include <limits>
#include <memory>
#include <utility>

namespace corvane::qasm {

const GateShape* GateSet::find(std::string_view name) const {
    auto it = shapes_.find(name);
    return it == shapes_.end() ? nullptr : &it->second;
}

namespace {

struct Register {
    std::uint32_t offset, size;
    bool quantum;
};

// One gate application inside a `gate` body (or a barrier, gate == "barrier").
struct BodyOp {
    std::string_view gate;
    std::uint32_t line;
    // Each parameter's expression: its first node and its root.
    std::vector<std::pair<std::uint32_t, std::uint32_t>> params;
    std::vector<std::uint32_t> qubits;  // indices of the definition's qubit arguments
};

struct Definition {
    std::string_view name;
    std::uint32_t line = 0;
    std::uint32_t nparams = 0, nqubits = 0;
    std::vector<Expr> nodes;
    std::vector<BodyOp> body;
    bool standard = false;
    std::uint32_t id = 0;  // its place among the reader's bindings
};

// Whether the dialect's library (qelib1.inc, stdgates.inc) declares `name`
// under that spelling, so that a program including it cannot define it again.
bool declared_by_library(std::string_view name, bool version3) {
    const gates::GateRow* row = gates::find_gate(name);
    if (!row) return false;
    const gates::Dialect& dialect = version3 ? row->qasm3 : row->qasm2;
    return dialect.in_library &&
           (!row->alias_of.empty() || dialect.spelling.empty() || dialect.spelling == name) &&
           (row->category != gates::Category::functional);
}

// The gates the language itself defines, which no program may define again.
bool built_in(std::string_view name, bool version3) {
    return name == "U" || name == (version3 ? "gphase" : "CX");
}

// The model gate that the dialect's library or the language names `name`
// (u3 for u, CX for cx, phase for p in version 3 ...), or `name` itself.
std::string_view unaliased(std::string_view name, bool version3) {
    const gates::GateRow* row = gates::find_gate(name);
    if (!row || row->alias_of.empty() ||
        !(version3 ? row->qasm3.in_library : row->qasm2.in_library))
        return name;
    return row->alias_of;
}

// Whether a standard definition may be used by a program of the dialect
// (stdgates.inc lacks several qelib1.inc gates).
bool in_library(std::string_view name, bool version3) {
    const gates::GateRow* row = gates::find_gate(name);
    return row && (version3 ? row->qasm3.in_library : row->qasm2.in_library);
}

// The version 3 constructs the reader refuses, by the word that starts them
// (at top level, in a block, or in a gate body).
constexpr std::pair<std::string_view, std::string_view> kRefused3[] = {
    {"for", "'for' loops are"},
    {"while", "'while' loops are"},
    {"break", "'break' is"},
    {"continue", "'continue' is"},
    {"switch", "'switch' statements are"},
    {"def", "subroutine definitions ('def') are"},
    {"return", "'return' is"},
    {"extern", "'extern' declarations are"},
    {"input", "'input' declarations are"},
    {"output", "'output' declarations are"},
    {"stretch", "'stretch' durations are"},
    {"box", "'box' blocks are"},
    {"ctrl", "gate modifiers ('ctrl @') are"},
    {"negctrl", "gate modifiers ('negctrl @') are"},
    {"inv", "gate modifiers ('inv @') are"},
    {"pow", "gate modifiers ('pow @') are"},
    {"gphase", "global phases ('gphase') are"},
    {"opaque", "'opaque' declarations are"},
    {"defcal", "calibrations ('defcal') are"},
    {"cal", "calibrations ('cal') are"},
    {"defcalgrammar", "calibrations ('defcalgrammar') are"},
    {"let", "aliases ('let') are"},
    {"const", "constants ('const') are"},
    {"int", "classical type 'int' is"},
    {"uint", "classical type 'uint' is"},
    {"float", "classical type 'float' is"},
    {"angle", "classical type 'angle' is"},
    {"bool", "classical type 'bool' is"},
    {"complex", "classical type 'complex' is"},
    {"duration", "classical type 'duration' is"},
    {"array", "classical type 'array' is"},
    {"durationof", "'durationof' is"},
    {"end", "'end' is"},
};

// Units of a version 3 duration, by the decimal exponent of their length in seconds.
constexpr std::pair<std::string_view, int> kTimeUnits[] = {
    {"s", 0}, {"ms", -3}, {"us", -6}, {"µs", -6}, {"μs", -6}, {"ns", -9},
};

// Blocks nest through the reader's recursion; a hostile program must not
// exhaust the thread's stack.
constexpr int kMaxBlockDepth = 100;

// The gate table's definitions of the qelib1.inc gates outside the model, in
// table order (a definition may use those before it).
std::string standard_gate_definitions() {
    std::string text;
    for (const gates::GateRow& row : gates::gate_rows()) {
        if (row.category != gates::Category::none || row.qasm2.definition.empty()) continue;
        text += row.qasm2.definition;
        text += '\n';
    }
    return text;
}

// Deepest chain of definitions an application expands through: expansion
// recurses once per level.
constexpr std::uint32_t kMaxExpansionDepth = 100;

// Longest expansion of a definition that the check of a model gate's matrix
// simulates (has_model_matrix); a longer body is read as its body. The
// writer's own definitions are a few gates each.
constexpr std::uint64_t kMaxCheckedEntries = 4096;

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
    return a > std::numeric_limits<std::uint64_t>::max() - b
               ? std::numeric_limits<std::uint64_t>::max()
               : a + b;
}

[[noreturn]] void fail_limit(std::uint32_t line, const std::string& message,
                             LimitError::Ceiling ceiling) {
    throw LimitError("line " + std::to_string(line) + ": " + message, ceiling);
}

// Keyed by names in the program's text, which outlives the reader.
template <class V>
using NameMap = TextMap<std::string_view, V>;
using Definitions = NameMap<std::unique_ptr<Definition>>;

const Definitions& standard_definitions();

class Reader : Parser {
  public:
    Reader(std::string_view text, const GateSet& gates, double dt, Limits limits)
        : Parser(text),
          gates_(gates),
          standard_(&standard_definitions()),
          dt_(dt),
          limits_(limits),
          bindings_(standard_->size()) {}

    // The definitions of a text of `gate` definitions only (the standard
    // library), marked standard.
    static Definitions read_standard(std::string_view text) {
        const GateSet none;
        Reader reader(text, none, nullptr, Limits{});
        while (reader.current_.kind != Tok::end) {
            reader.expect("gate");
            reader.gate_definition(true);
        }
        return std::move(reader.user_definitions_);
    }

    Program read() {
        header();
        while (current_.kind != Tok::end) {
            poll_.tick();
            statement();
        }
        program_.nqubits = nqubits_;
        program_.ncbits = ncbits_;
        return std::move(program_);
    }

  private:
    struct Resolved {
        const GateShape* shape = nullptr;        // a gate of the gate set ...
        std::uint32_t gate = 0;                  // ... and its index in gate_names
        const Definition* definition = nullptr;  // or a definition to expand
        std::string_view name;                   // the name after aliasing
    };

    // What a definition's body means in this program (see bind and count).
    struct Binding {
        std::vector<Resolved> ops;  // per body operation; unresolved until bound
        std::uint64_t entries = 0;  // one application's expansion, saturating
        std::uint32_t depth = 0;  // definitions it expands through, itself included; 0: not counted
        bool counting = false;
        bool model = false;  // its name reads as the model gate of the same matrix
    };

    // -- declarations --
    // A program without a version line is read as OpenQASM 2.
    void header() {
        if (!accept("OPENQASM")) return;
        const Token version = current_;
        const bool two = version.text == "2.0" || version.text == "2";
        const bool three = version.text == "3.0" || version.text == "3";
        if (version.kind == Tok::string || !(two || three))
            fail(version.line, "expected version 2.0 or 3, got " + repr(version.text));
        if (three) {
            use_version3();  // before the next token is lexed
            program_.version = 3;
        }
        advance();
        expect(";");
    }

    std::string library() const { return version3_ ? "stdgates.inc" : "qelib1.inc"; }

    void include() {
        const std::string library = this->library();
        const Token name = expect_kind(Tok::string, "a file name in quotes");
        if (name.text != '"' + library + '"')
            fail(name.line, "only \"" + library + "\" can be included, got " + shown(name.text));
        expect(";");
        // The library's names are the program's from here: none may have a
        // definition of the program's already.
        for (const auto& [defined, definition] : user_definitions_)
            if (declared_by_library(defined, version3_))
                fail(name.line, library + " defines gate " + repr(defined) + ", which line " +
                                    std::to_string(definition->line) + " defined already");
        included_ = true;
    }

    // qreg name[size]; creg name[size];
    void declare_register(bool quantum) {
        const Token name = expect_kind(Tok::id, "a register name");
        expect("[");
        const Token size = expect_kind(Tok::integer, "a register size");
        expect("]");
        expect(";");
        add_register(name, size.text, size.line, quantum);
    }

    // qubit name; qubit[size] name; bit name; bit[size] name;
    void declare_register3(bool quantum) {
        std::string_view size = "1";
        if (accept("[")) {
            size = expect_kind(Tok::integer, "a register size").text;
            expect("]");
        }
        const Token name = expect_kind(Tok::id, "a register name");
        if (current_.is("=")) fail(current_.line, "initialised declarations are not supported");
        expect(";");
        add_register(name, size, name.line, quantum);
    }

    void add_register(const Token& name, std::string_view size_text, std::uint32_t line,
                      bool quantum) {
        std::uint32_t& total = quantum ? nqubits_ : ncbits_;
        std::uint32_t count = 0;
        auto [end, err] =
            std::from_chars(size_text.data(), size_text.data() + size_text.size(), count);
        if (err != std::errc() || count > std::numeric_limits<std::uint32_t>::max() - total)
            fail(line, "register size " + shown(size_text) + " is too large");
        // Classical bits share the qubits' ceiling: each costs the circuit as much.
        if (total + std::uint64_t{count} > limits_.qubits)
            fail_limit(line,
                       std::to_string(total + std::uint64_t{count}) +
                           (quantum ? " qubits" : " classical bits") +
                           " declared, over the ceiling of " + std::to_string(limits_.qubits),
                       LimitError::Ceiling::qubits);
        if (!registers_.try_emplace(name.text, Register{total, count, quantum}).second)
            fail(line, "register " + repr(name.text) + " declared twice");
        total += count;
    }

    std::vector<std::string_view> identifiers() {
        std::vector<std::string_view> names{expect_kind(Tok::id, "a name").text};
        while (accept(",")) names.push_back(expect_kind(Tok::id, "a name").text);
        return names;
    }

    // A definition's parameter or qubit names, to their positions; a name
    // given twice is refused.
    Names positions(const std::vector<std::string_view>& names, const Token& gate,
                    const char* what) {
        Names map;
        for (std::uint32_t i = 0; i < names.size(); ++i)
            if (!map.emplace(names[i], i).second)
                fail(gate.line, std::string(what) + " " + repr(names[i]) +
                                    " appears twice in gate " + repr(gate.text));
        return map;
    }

    struct Signature {
        Token name;
        std::vector<std::string_view> params, qubits;
    };
    Signature signature() {
        Signature s{expect_kind(Tok::id, "a gate name"), {}, {}};
        if (accept("(") && !accept(")")) {
            s.params = identifiers();
            expect(")");
        }
        s.qubits = identifiers();
        return s;
    }

    // A name the language, an included library or an earlier definition
    // gave already cannot be defined again.
    void refuse_redefinition(const Token& name) const {
        if (built_in(name.text, version3_))
            fail(name.line,
                 "gate " + repr(name.text) + " is built into the language: it cannot be defined");
        if (included_ && declared_by_library(name.text, version3_))
            fail(name.line, "gate " + repr(name.text) + " is defined by " + library() +
                                " already: it cannot be defined again");
        if (auto it = user_definitions_.find(name.text); it != user_definitions_.end())
            fail(name.line, "gate " + repr(name.text) + " is defined twice (first on line " +
                                std::to_string(it->second->line) + ")");
    }

    void gate_definition(bool standard) {
        Signature s = signature();
        if (!standard) refuse_redefinition(s.name);
        const Names params = positions(s.params, s.name, "parameter");
        const Names qubits = positions(s.qubits, s.name, "qubit argument");
        auto definition = std::make_unique<Definition>();
        definition->name = s.name.text;
        definition->line = s.name.line;
        definition->nparams = static_cast<std::uint32_t>(s.params.size());
        definition->nqubits = static_cast<std::uint32_t>(s.qubits.size());
        definition->standard = standard;
        definition->id = static_cast<std::uint32_t>(bindings_.size());
        expect("{");
        while (!accept("}")) {
            const Token gate = current_;
            if (gate.kind != Tok::id) expected("a gate application or '}'");
            if (version3_) refuse3(gate);
            advance();
            BodyOp op{gate.text, gate.line, {}, {}};
            if (accept("(") && !accept(")")) {
                do {
                    const auto first = static_cast<std::uint32_t>(definition->nodes.size());
                    op.params.emplace_back(first, expression(definition->nodes, &params));
                } while (accept(","));
                expect(")");
            }
            for (std::string_view a : identifiers()) {
                const auto q = qubits.find(a);
                if (q == qubits.end())
                    fail(gate.line,
                         "unknown qubit argument " + repr(a) + " in gate " + repr(s.name.text));
                op.qubits.push_back(q->second);
            }
            expect(";");
            definition->body.push_back(std::move(op));
        }
        bindings_.emplace_back();
        if (!standard) bind(*definition);
        user_definitions_.emplace(s.name.text, std::move(definition));
    }

    // What a program's definition means, fixed where it stands: the names of
    // its body resolve to what they name before it (so a body naming its own
    // gate means the library's), and a definition of a model gate reads as
    // that gate when its body has the gate's matrix. A body naming a gate
    // not yet defined (which the language forbids, but programs in the wild
    // do) is resolved at its first application instead, and read as its body.
    void bind(const Definition& d) {
        Binding& b = bindings_[d.id];
        b.ops.resize(d.body.size());
        for (size_t i = 0; i < d.body.size(); ++i) {
            if (d.body[i].gate == "barrier") continue;
            b.ops[i] = resolve(d.body[i].gate, false);
            if (!b.ops[i].shape && !b.ops[i].definition) return;  // not yet defined
        }
        const Binding* counted = count(d, d.line, 0);
        const std::string_view model = unaliased(d.name, version3_);
        b.model = counted && gates_.find(model) && counted->entries <= kMaxCheckedEntries &&
                  counted->depth <= kMaxExpansionDepth && has_model_matrix(d, model);
    }

    // The binding of `d` with its body resolved, its entry count and depth
    // known: computed on the first call (a definition's count is the sum of
    // its body's, saturating), `level` definitions deep. Null while a name
    // its expansion meets is not defined (undefined_ holds it), and nothing
    // is counted then: a later definition may give it.
    const Binding* count(const Definition& d, std::uint32_t line, std::uint32_t level) {
        Binding& b = bindings_[d.id];
        if (b.depth) return &b;
        if (b.counting) fail(line, "gate " + repr(d.name) + " expands into itself");
        if (level > kMaxExpansionDepth) nested_too_deeply(d, line);
        b.counting = true;
        b.ops.resize(d.body.size());
        std::uint64_t entries = 0;
        std::uint32_t depth = 1;
        for (size_t i = 0; i < d.body.size(); ++i) {
            Resolved& r = b.ops[i];
            if (d.body[i].gate != "barrier" && !r.shape && !r.definition)
                r = resolve(d.body[i].gate, d.standard);
            if (const Definition* inner = r.definition) {
                const Binding* c = count(*inner, line, level + 1);
                if (!c) {
                    b.counting = false;
                    return nullptr;
                }
                entries = saturating_add(entries, c->entries);
                depth = std::max(depth, c->depth + 1);
            } else if (r.shape || d.body[i].gate == "barrier") {
                entries = saturating_add(entries, 1);
            } else {
                undefined_ = r.name;
                b.counting = false;
                return nullptr;
            }
        }
        b.entries = entries;
        b.depth = depth;
        b.counting = false;
        return &b;
    }

    [[noreturn]] static void nested_too_deeply(const Definition& d, std::uint32_t line) {
        fail(line, "gate " + repr(d.name) +
                       " expands through definitions nested too deeply (over " +
                       std::to_string(kMaxExpansionDepth) + " levels)");
    }

    void opaque_declaration() {
        const std::uint32_t line = current_.line;
        Signature s = signature();
        expect(";");
        if (s.name.text == "delay" && s.params.size() == 1 && s.qubits.size() == 1) {
            delay_declared_ = true;
            return;
        }
        fail(line, "opaque gate " + repr(s.name.text) +
                       " is not supported: it has no definition to expand into the gates of the "
                       "circuit model");
    }

    // Top-level parameters: parsed and evaluated at once.
    void top_level_params(std::vector<Number>& out) {
        out.clear();
        if (!accept("(") || accept(")")) return;
        do {
            scratch_nodes_.clear();
            const std::uint32_t root = expression(scratch_nodes_, nullptr);
            out.push_back(evaluate(scratch_nodes_, 0, root, nullptr, scratch_values_));
        } while (accept(","));
        expect(")");
    }

    // -- arguments --
    struct Argument {
        std::uint32_t first, count;
    };
    Argument argument(bool quantum) {
        const char* what = quantum ? "quantum" : "classical";
        return argument_of(expect_kind(Tok::id, std::string("a ") + what + " register"), quantum);
    }
    Argument argument_of(const Token& name, bool quantum) {
        const char* what = quantum ? "quantum" : "classical";
        auto it = registers_.find(name.text);
        if (it == registers_.end() || it->second.quantum != quantum)
            fail(name.line, std::string("unknown ") + what + " register " + repr(name.text));
        const Register reg = it->second;
        if (!accept("[")) return {reg.offset, reg.size};
        const Token index = expect_kind(Tok::integer, "an index");
        expect("]");
        std::uint32_t i = 0;
        auto [end, err] =
            std::from_chars(index.text.data(), index.text.data() + index.text.size(), i);
        if (err != std::errc() || i >= reg.size)
            fail(index.line, "index " + shown(index.text) + " out of range for " +
                                 shown(name.text) + "[" + std::to_string(reg.size) + "]");
        return {reg.offset + i, 1};
    }
    void arguments(std::vector<Argument>& out) {
        out.clear();
        do out.push_back(argument(true));
        while (accept(","));
        expect(";");
    }
    // How many applications a statement over `args` makes: whole registers of
    // one size broadcast, single qubits repeat.
    static std::uint32_t broadcast_count(const std::vector<Argument>& args, std::uint32_t line) {
        std::uint32_t count = 1;
        bool sized = false;
        for (const Argument& a : args) {
            if (a.count == 0) return 0;
            if (a.count == 1) continue;
            if (sized && a.count != count)
                fail(line, "registers of different sizes in one statement");
            count = a.count;
            sized = true;
        }
        return count;
    }

    // -- statements --
    // The words that start a statement other than a gate's application.
    enum class Keyword {
        none,
        include,
        qreg,
        creg,
        qubit,
        bit,
        gate,
        opaque,
        measure,
        delay,
        else_,
        reset,
        barrier,
        if_
    };

    // By length first: most statements apply a gate of a short name, which
    // then meets one comparison at most.
    static Keyword keyword_of(std::string_view word) {
        switch (word.size()) {
            case 2:
                return word == "if" ? Keyword::if_ : Keyword::none;
            case 3:
                return word == "bit" ? Keyword::bit : Keyword::none;
            case 4:
                if (word == "qreg") return Keyword::qreg;
                if (word == "creg") return Keyword::creg;
                if (word == "gate") return Keyword::gate;
                return word == "else" ? Keyword::else_ : Keyword::none;
            case 5:
                if (word == "qubit") return Keyword::qubit;
                if (word == "reset") return Keyword::reset;
                return word == "delay" ? Keyword::delay : Keyword::none;
            case 6:
                return word == "opaque" ? Keyword::opaque : Keyword::none;
            case 7:
                if (word == "include") return Keyword::include;
                if (word == "measure") return Keyword::measure;
                return word == "barrier" ? Keyword::barrier : Keyword::none;
            default:
                return Keyword::none;
        }
    }

    // The keyword as this program's version reads it: version 2 has no
    // qubit, bit or delay statements, version 3 no opaque one; those words
    // then name a gate (or a refused construct).
    Keyword statement_keyword(Keyword k) const {
        switch (k) {
            case Keyword::qubit:
            case Keyword::bit:
            case Keyword::delay:
                return version3_ ? k : Keyword::none;
            case Keyword::opaque:
                return version3_ ? Keyword::none : k;
            default:
                return k;
        }
    }

    void statement() {
        const Token t = current_;
        if (t.kind != Tok::id) expected("a statement");
        advance();
        const std::string_view word = t.text;
        const Keyword word_keyword = keyword_of(word);
        if (block_depth_ > 0 && is_declaration(word_keyword))
            fail(t.line, "declarations inside an 'if' block are not supported");
        const Keyword keyword = statement_keyword(word_keyword);
        switch (keyword) {
            case Keyword::include:
                include();
                return;
            case Keyword::qreg:
            case Keyword::creg:
                declare_register(keyword == Keyword::qreg);
                return;
            case Keyword::qubit:
            case Keyword::bit:
                declare_register3(keyword == Keyword::qubit);
                return;
            case Keyword::gate:
                gate_definition(false);
                resolved_.clear();  // a later definition may shadow a standard gate
                return;
            case Keyword::opaque:
                opaque_declaration();
                return;
            case Keyword::measure:
                measure(t.line);
                return;
            case Keyword::delay:
                delay3(t.line);
                return;
            case Keyword::else_:
                fail(t.line, "'else' without 'if'");
            case Keyword::reset: {
                arguments(args_);
                if (args_.size() != 1) fail(t.line, "reset takes one qubit argument");
                const std::uint32_t count = broadcast_count(args_, t.line);
                for (std::uint32_t i = 0; i < count; ++i) {
                    begin(OperationKind::reset, t.line, 0);
                    program_.operands.push_back(args_[0].first + (args_[0].count > 1 ? i : 0));
                    program_.operations.back().nqubits = 1;
                }
                return;
            }
            case Keyword::barrier:
                arguments(args_);
                begin(OperationKind::barrier, t.line, 0);
                for (const Argument& a : args_)
                    for (std::uint32_t i = 0; i < a.count; ++i)
                        program_.operands.push_back(a.first + i);
                program_.operations.back().nqubits =
                    static_cast<std::uint32_t>(program_.operands.size()) -
                    program_.operations.back().first_operand;
                return;
            case Keyword::if_:
                if (version3_)
                    conditional3(t.line);
                else
                    conditional2(t.line);
                return;
            case Keyword::none:
                break;
        }
        if (version3_ && is_classical_register(word)) {
            measure_assignment(t);
            return;
        }
        if (version3_) refuse3(t);
        application(t);
    }

    bool is_declaration(Keyword k) const {
        return k == Keyword::include || k == Keyword::qreg || k == Keyword::creg ||
               k == Keyword::gate || k == Keyword::opaque ||
               (version3_ && (k == Keyword::qubit || k == Keyword::bit));
    }

    bool is_classical_register(std::string_view name) const {
        const auto it = registers_.find(name);
        return it != registers_.end() && !it->second.quantum;
    }

    // A refused version 3 construct, named by the word that starts it.
    static void refuse3(const Token& t) {
        static const auto refused = [] {
            NameMap<std::string_view> map;
            for (auto [word, construct] : kRefused3) map.emplace(word, construct);
            return map;
        }();
        if (auto it = refused.find(t.text); it != refused.end())
            fail(t.line, std::string(it->second) + " not supported");
    }

    void measure(std::uint32_t line) {
        const Argument q = argument(true);
        expect("->");
        const Argument c = argument(false);
        expect(";");
        measure_into(q, c, line);
    }

    // c[0] = measure q[0]; c = measure q;
    void measure_assignment(const Token& name) {
        const std::uint32_t line = name.line;
        const Argument c = argument_of(name, false);
        if (!current_.is("=")) fail(current_.line, "classical assignments are not supported");
        advance();
        if (!current_.is("measure")) fail(current_.line, "classical assignments are not supported");
        advance();
        const Argument q = argument(true);
        expect(";");
        measure_into(q, c, line);
    }

    void measure_into(const Argument& q, const Argument& c, std::uint32_t line) {
        if (q.count != c.count) fail(line, "measure needs registers of equal size");
        for (std::uint32_t i = 0; i < q.count; ++i) {
            Operation* joined = joinable(OperationKind::measure, line);
            if (joined && !overlaps(*joined, q.first + i, 2)) {
                ++joined->nqubits;
            } else {
                begin(OperationKind::measure, line, 0);
                program_.operations.back().nqubits = 1;
            }
            program_.operands.push_back(q.first + i);
            program_.operands.push_back(c.first + i);
        }
    }

    // if (creg == n) op;
    void conditional2(std::uint32_t line) {
        expect("(");
        const Argument bits = whole_register(false);
        expect("==");
        const std::uint64_t value = condition_value(bits, expect_kind(Tok::integer, "an integer"));
        expect(")");
        const Token t = current_;
        if (t.kind != Tok::id || t.is("if") || t.is("barrier"))
            fail(t.line, "'if' controls a gate, a measure or a reset, got " + repr(t.text));
        begin_condition(bits, value, false, line);
        ++block_depth_;
        statement();
        --block_depth_;
        begin(OperationKind::else_begin, line, 0);
        begin(OperationKind::if_end, line, 0);
    }

    // if (c[i]) / (!c[i]) / (c[i] == v) / (c == n) / (c != n) / (c) block [else block]
    void conditional3(std::uint32_t line) {
        expect("(");
        const bool negated = accept("!");
        const Argument bits = argument(false);
        bool swapped = false;
        std::uint64_t value = negated ? 0 : 1;
        if (current_.is("==") || current_.is("!=")) {
            if (negated)
                fail(line,
                     "conditions other than a bit or a register compared with "
                     "an integer are not supported");
            swapped = advance().text == "!=";
            const Token v = current_;
            if (v.is("true") || v.is("false")) {
                if (bits.count != 1)
                    fail(v.line, "a register of " + std::to_string(bits.count) +
                                     " bits compares with an integer, not with " + repr(v.text));
                advance();
                value = condition_value(bits, v.is("true") ? 1 : 0, v.line);
            } else {
                value = condition_value(bits, expect_kind(Tok::integer, "an integer or a bool"));
            }
        } else if (bits.count != 1) {
            value = 0;  // a register as a condition: it holds when not all bits are 0
            swapped = !negated;
        }
        if (!current_.is(")"))
            fail(current_.line,
                 "conditions other than a bit or a register compared with an "
                 "integer are not supported");
        advance();
        begin_condition(bits, value, swapped, line);
        block(line);
        begin(OperationKind::else_begin, line, 0);
        if (accept("else")) block(line);
        begin(OperationKind::if_end, line, 0);
    }

    void block(std::uint32_t line) {
        if (block_depth_ >= kMaxBlockDepth) fail(line, "'if' blocks nested too deeply");
        ++block_depth_;
        if (accept("{")) {
            while (!accept("}")) {
                if (current_.kind == Tok::end) expected("'}'");
                poll_.tick();
                statement();
            }
        } else {
            statement();
        }
        --block_depth_;
    }

    Argument whole_register(bool quantum) {
        const Token name = current_;
        const Argument a = argument(quantum);
        const Register& reg = registers_.find(name.text)->second;
        if (a.count != reg.size || a.first != reg.offset)
            fail(name.line, "the condition of 'if' reads a whole classical register");
        return a;
    }

    std::uint64_t condition_value(const Argument& bits, const Token& t) {
        std::uint64_t v = 0;
        auto [end, err] = std::from_chars(t.text.data(), t.text.data() + t.text.size(), v);
        if (err != std::errc()) fail(t.line, "condition value " + shown(t.text) + " is too large");
        return condition_value(bits, v, t.line);
    }
    static std::uint64_t condition_value(const Argument& bits, std::uint64_t v,
                                         std::uint32_t line) {
        constexpr std::uint64_t kLargest = std::numeric_limits<std::int64_t>::max();
        if (v > kLargest || (bits.count < 64 && v >> bits.count != 0))
            fail(line, "condition value " + std::to_string(v) + " does not fit in " +
                           std::to_string(bits.count) + " bit(s)");
        return v;
    }

    void begin_condition(const Argument& bits, std::uint64_t value, bool swapped,
                         std::uint32_t line) {
        Operation& op = begin(OperationKind::if_begin, line, swapped ? 1 : 0);
        op.nparams = 1;
        op.nqubits = bits.count;
        program_.params.push_back(Number::of_integer(static_cast<std::int64_t>(value)));
        for (std::uint32_t i = 0; i < bits.count; ++i) program_.operands.push_back(bits.first + i);
    }

    // delay[50ns] q[0], q[1];
    void delay3(std::uint32_t line) {
        expect("[");
        const Token amount = current_;
        if (amount.kind != Tok::integer && amount.kind != Tok::real) expected("a duration");
        advance();
        const Token unit = expect_kind(Tok::id, "a unit of time");
        expect("]");
        params_.assign(1, Number::of_real(seconds(amount, unit)));
        arguments(args_);
        for (const Argument& a : args_)
            for (std::uint32_t i = 0; i < a.count; ++i) {
                qubits_.assign(1, a.first + i);
                delay(line);
            }
    }

    // The literal's value in seconds, rounded once: 50ns reads as the double
    // of "50e-9", as the host's float() reads it.
    double seconds(const Token& amount, const Token& unit) const {
        if (unit.text == "dt") {
            if (!(dt_ > 0))
                fail(unit.line, "a duration in 'dt' needs the length of dt: pass dt (in seconds)");
            return as_double(
                       Number::of_real(std::strtod(std::string(amount.text).c_str(), nullptr)),
                       unit.line) *
                   dt_;
        }
        for (auto [name, exponent] : kTimeUnits) {
            if (unit.text != name) continue;
            std::string text(amount.text);
            const size_t e = text.find_first_of("eE");
            if (e != std::string::npos) {
                exponent += std::atoi(text.c_str() + e + 1);
                text.resize(e);
            }
            text += "e" + std::to_string(exponent);
            return std::strtod(text.c_str(), nullptr);
        }
        fail(unit.line, "unknown unit of time " + repr(unit.text) + " (s, ms, us, µs, ns, dt)");
    }

    void application(const Token& gate) {
        top_level_params(params_);
        arguments(args_);
        const std::uint32_t count = broadcast_count(args_, gate.line);
        for (std::uint32_t i = 0; i < count; ++i) {
            qubits_.clear();
            for (const Argument& a : args_) qubits_.push_back(a.first + (a.count > 1 ? i : 0));
            if (gate.text == "delay" && delay_declared_)
                delay(gate.line);
            else
                apply(gate.text, params_.data(), static_cast<std::uint32_t>(params_.size()),
                      qubits_.data(), static_cast<std::uint32_t>(qubits_.size()), gate.line);
        }
    }

    void delay(std::uint32_t line) {
        if (params_.size() != 1) fail(line, "delay takes one duration");
        const Number& d = params_[0];
        if (d.kind != Number::Kind::big_integer && !(as_double(d, line) >= 0.0 && d.is_finite()))
            fail(line, "delay duration must be a finite non-negative number, got " + describe(d));
        if (d.kind == Number::Kind::big_integer && d.negative)
            fail(line,
                 "delay duration must be a finite non-negative number, got -" + shown(d.digits));
        Operation* joined = joinable(OperationKind::delay, line);
        if (joined && program_.params[joined->first_param] == d &&
            !overlaps(*joined, qubits_[0], 1)) {
            ++joined->nqubits;
        } else {
            begin(OperationKind::delay, line, 0);
            program_.params.push_back(d);
            program_.operations.back().nparams = 1;
            program_.operations.back().nqubits = 1;
        }
        program_.operands.push_back(qubits_[0]);
    }

    static std::string describe(const Number& n) {
        if (n.kind == Number::Kind::integer) return std::to_string(n.integer);
        if (std::isnan(n.real)) return "nan";
        if (std::isinf(n.real)) return n.real > 0 ? "inf" : "-inf";
        char buffer[32];
        auto end = std::to_chars(buffer, buffer + sizeof buffer, n.real).ptr;
        return std::string(buffer, end);
    }

    // The last operation when it is of `kind` and stands on `line`: measures,
    // and delays of one duration, written on one line are one entry.
    Operation* joinable(OperationKind kind, std::uint32_t line) {
        if (program_.operations.empty()) return nullptr;
        Operation& last = program_.operations.back();
        return last.kind == kind && last.line == line ? &last : nullptr;
    }
    bool overlaps(const Operation& op, std::uint32_t qubit, std::uint32_t stride) const {
        for (std::uint32_t k = 0; k < op.nqubits; ++k)
            if (program_.operands[op.first_operand + k * stride] == qubit) return true;
        return false;
    }

    Operation& begin(OperationKind kind, std::uint32_t line, std::uint32_t gate) {
        poll_.tick();
        // Operations index the shared arrays with 32 bits; a program past
        // that (billions of gates, on a very large machine) is refused
        // rather than read into wrapped indices.
        constexpr size_t kIndexLimit = std::numeric_limits<std::uint32_t>::max();
        if (program_.params.size() >= kIndexLimit || program_.operands.size() >= kIndexLimit)
            fail(line, "the program is too large to read: over 2^32 parameters or operands");
        if (program_.operations.size() >= limits_.gates) over_gate_ceiling(line);
        Operation op{kind, gate,
                     line, static_cast<std::uint32_t>(program_.params.size()),
                     0,    static_cast<std::uint32_t>(program_.operands.size()),
                     0};
        return program_.operations.emplace_back(op);
    }

    // -- gates --
    Resolved resolve(std::string_view name, bool within_standard) {
        auto& cache = within_standard ? resolved_standard_ : resolved_;
        if (auto it = cache.find(name); it != cache.end()) return it->second;
        Resolved r;
        r.name = unaliased(name, version3_);
        // The program's definition of the name comes first (standard bodies
        // see only the gate set and the library, so a program's gate cannot
        // change what they mean), then the gate set, then the library.
        const auto user = within_standard ? user_definitions_.end() : user_definitions_.find(name);
        r.shape = gates_.find(r.name);
        if (user != user_definitions_.end() && !bindings_[user->second->id].model) {
            r.shape = nullptr;
            r.definition = user->second.get();
        } else if (r.shape) {
            r.gate = intern(r.name);
        } else if (auto standard = standard_->find(r.name);
                   standard != standard_->end() &&
                   (within_standard || in_library(r.name, version3_))) {
            r.definition = standard->second.get();
        } else {
            return r;  // unknown: not cached, a later definition may add it
        }
        cache.emplace(name, r);
        return r;
    }

    std::uint32_t intern(std::string_view name) {
        auto& names = program_.gate_names;
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == name) return static_cast<std::uint32_t>(i);
        names.emplace_back(name);
        return static_cast<std::uint32_t>(names.size() - 1);
    }

    // A statement's application of a gate. A definition's expansion is
    // counted before it is made: one over the ceiling is refused at once.
    void apply(std::string_view name, const Number* params, std::uint32_t nparams,
               const std::uint32_t* qubits, std::uint32_t nqubits, std::uint32_t line) {
        const Resolved r = resolve(name, false);
        if (!r.definition) return apply(r, params, nparams, qubits, nqubits, line);
        const Definition& d = *r.definition;
        const Binding* counted = count(d, line, 0);
        if (!counted) fail(line, "unknown gate " + repr(undefined_));
        const Binding& b = *counted;
        if (b.depth > kMaxExpansionDepth) nested_too_deeply(d, line);
        if (b.entries > limits_.gates)
            fail_limit(line,
                       "gate " + repr(d.name) + " expands to " + std::to_string(b.entries) +
                           " gates, over the ceiling of " + std::to_string(limits_.gates),
                       LimitError::Ceiling::gates);
        if (b.entries > limits_.gates - program_.operations.size()) over_gate_ceiling(line);
        expand(d, params, nparams, qubits, nqubits, line);
    }

    void apply(const Resolved& r, const Number* params, std::uint32_t nparams,
               const std::uint32_t* qubits, std::uint32_t nqubits, std::uint32_t line) {
        if (r.definition) return expand(*r.definition, params, nparams, qubits, nqubits, line);
        if (!r.shape) fail(line, "unknown gate " + repr(r.name));
        append_gate(r, params, nparams, qubits, nqubits, line);
    }

    [[noreturn]] void over_gate_ceiling(std::uint32_t line) const {
        fail_limit(
            line, "the program reads over " + std::to_string(limits_.gates) + " gates, the ceiling",
            LimitError::Ceiling::gates);
    }

    // The checks and messages of the circuit model's append_gate, which a
    // rejected entry would have met.
    void append_gate(const Resolved& r, const Number* params, std::uint32_t nparams,
                     const std::uint32_t* qubits, std::uint32_t nqubits, std::uint32_t line) {
        const GateShape& shape = *r.shape;
        // The message texts, made only for a message.
        const auto name = [&] { return std::string(r.name); };
        const auto nargs = [&] { return std::to_string(nparams + nqubits); };
        if (shape.nparams == 0) {
            if (nparams != 0)
                fail(line, name() + " takes no parameters, got " + std::to_string(nparams));
            if (nqubits != shape.nqubits)
                fail(line, name() + " takes " + std::to_string(shape.nqubits) +
                               " qubit argument(s), got " + nargs());
        } else if (nqubits != shape.nqubits ||
                   (shape.nparams > 0 && nparams != std::uint32_t(shape.nparams))) {
            const std::uint32_t want = shape.nparams < 0 ? nparams : std::uint32_t(shape.nparams);
            fail(line, name() + " takes " + std::to_string(want) + " parameter(s) and " +
                           std::to_string(shape.nqubits) + " qubit(s), got " + nargs() +
                           " arguments");
        }
        for (std::uint32_t i = 0; i < nparams; ++i)
            if (!params[i].is_finite())
                fail(line,
                     name() + " parameter must be a finite number, got " + describe(params[i]));
        for (std::uint32_t i = 0; i < nqubits; ++i)
            for (std::uint32_t j = 0; j < i; ++j)
                if (qubits[i] == qubits[j]) {
                    std::string shown = "(";
                    for (std::uint32_t k = 0; k < nqubits; ++k)
                        shown += (k ? ", " : "") + std::to_string(qubits[k]);
                    fail(line, "a gate cannot act twice on one qubit: " + shown + ")");
                }
        Operation& op = begin(OperationKind::gate, line, r.gate);
        op.nparams = nparams;
        op.nqubits = nqubits;
        program_.params.insert(program_.params.end(), params, params + nparams);
        program_.operands.insert(program_.operands.end(), qubits, qubits + nqubits);
    }

    // The body of `d`, counted (count()), on `qubits`.
    void expand(const Definition& d, const Number* params, std::uint32_t nparams,
                const std::uint32_t* qubits, std::uint32_t nqubits, std::uint32_t line) {
        if (nparams != d.nparams || nqubits != d.nqubits)
            fail(line, "gate " + repr(d.name) + " takes " + std::to_string(d.nparams) +
                           " parameter(s) and " + std::to_string(d.nqubits) + " qubit(s)");
        const std::vector<Resolved>& resolved = bindings_[d.id].ops;
        std::vector<Number> values;
        std::vector<std::uint32_t> where;
        for (size_t i = 0; i < d.body.size(); ++i) {
            const BodyOp& op = d.body[i];
            values.clear();
            for (auto [first, root] : op.params)
                values.push_back(evaluate(d.nodes, first, root, params, scratch_values_));
            where.clear();
            for (std::uint32_t q : op.qubits) where.push_back(qubits[q]);
            if (op.gate == "barrier") {
                begin(OperationKind::barrier, line, 0).nqubits =
                    static_cast<std::uint32_t>(where.size());
                program_.operands.insert(program_.operands.end(), where.begin(), where.end());
            } else {
                apply(resolved[i], values.data(), static_cast<std::uint32_t>(values.size()),
                      where.data(), static_cast<std::uint32_t>(where.size()), line);
            }
        }
    }

    // Whether definition `d` of gate-set gate `name` has the gate's matrix:
    // its expansion and the gate compared at two points of generic parameter
    // values (the bodies are analytic in them).
    bool has_model_matrix(const Definition& d, std::string_view name) {
        constexpr double kTolerance = 1e-10;  // matrices of unit-modulus entries' sums
        constexpr double kPoints[2][4] = {{0.7129, -1.3051, 2.2437, 0.4186},
                                          {-2.0617, 0.9353, -0.2871, 1.6502}};
        const gates::GateRow* row = gates::find_gate(name);
        if (!row || !row->matrix || row->nqubits != d.nqubits || row->nparams != d.nparams ||
            d.nparams > std::size(kPoints[0]))
            return false;
        std::vector<unsigned> wires(d.nqubits);
        std::vector<std::uint32_t> where(d.nqubits);
        for (std::uint32_t q = 0; q < d.nqubits; ++q) wires[q] = where[q] = q;
        const size_t dim = size_t{1} << d.nqubits;
        std::vector<simulate::cplx> body(dim * dim), gate(dim * dim);
        for (const auto& point : kPoints) {
            std::vector<Number> params;
            for (std::uint32_t k = 0; k < d.nparams; ++k)
                params.push_back(Number::of_real(point[k]));
            std::vector<simulate::Operation> ops;
            if (!expansion_operations(d, params, where, ops)) return false;
            simulate::circuit_unitary(d.nqubits, ops, body);
            const std::vector<double> values(point, point + d.nparams);
            const auto model = simulate::make_operation(name, values, wires);
            if (!model) return false;
            simulate::circuit_unitary(d.nqubits, std::span(&*model, 1), gate);
            for (size_t i = 0; i < body.size(); ++i)
                if (std::abs(body[i] - gate[i]) > kTolerance) return false;
        }
        return true;
    }

    // The gates definition `d` expands into on `where`, as simulate operations;
    // false when one has no matrix (or the body holds anything else than gates
    // and barriers). The expansion is taken back out of the program.
    bool expansion_operations(const Definition& d, const std::vector<Number>& params,
                              const std::vector<std::uint32_t>& where,
                              std::vector<simulate::Operation>& out) {
        const size_t operations = program_.operations.size(), values = program_.params.size(),
                     operands = program_.operands.size();
        expand(d, params.data(), static_cast<std::uint32_t>(params.size()), where.data(),
               static_cast<std::uint32_t>(where.size()), current_.line);
        bool known = true;
        for (size_t i = operations; i < program_.operations.size() && known; ++i) {
            const Operation& op = program_.operations[i];
            if (op.kind == OperationKind::barrier) continue;
            std::vector<double> angles;
            for (std::uint32_t k = 0; k < op.nparams; ++k) {
                const Number& n = program_.params[op.first_param + k];
                angles.push_back(n.kind == Number::Kind::real ? n.real
                                                              : static_cast<double>(n.integer));
                known = known && n.kind != Number::Kind::big_integer;
            }
            const std::vector<unsigned> qubits(
                program_.operands.begin() + op.first_operand,
                program_.operands.begin() + op.first_operand + op.nqubits);
            const auto gate =
                simulate::make_operation(program_.gate_names[op.gate], angles, qubits);
            known = known && op.kind == OperationKind::gate && gate.has_value();
            if (known) out.push_back(*gate);
        }
        program_.operations.resize(operations);
        program_.params.resize(values);
        program_.operands.resize(operands);
        return known;
    }

    Reader(std::string_view text, const GateSet& gates, const Definitions* standard, Limits limits)
        : Parser(text), gates_(gates), standard_(standard), dt_(0), limits_(limits) {}

    const GateSet& gates_;
    InterruptPoll poll_;

    Program program_;
    std::uint32_t nqubits_ = 0, ncbits_ = 0;
    NameMap<Register> registers_;
    Definitions user_definitions_;
    const Definitions* standard_;
    NameMap<Resolved> resolved_, resolved_standard_;
    bool delay_declared_ = false;
    bool included_ = false;  // the dialect's library
    double dt_;              // seconds per 'dt', 0 when not given
    Limits limits_;
    // What each definition means in this program, by Definition::id: the
    // standard ones first, then the program's.
    std::vector<Binding> bindings_;
    std::string_view undefined_;  // the name count() met undefined
    int block_depth_ = 0;

    // Reused per statement.
    std::vector<Expr> scratch_nodes_;
    std::vector<Number> scratch_values_;
    std::vector<Number> params_;
    std::vector<Argument> args_;
    std::vector<std::uint32_t> qubits_;
};

// Parsed once, on first use, and shared by every read (never written after).
const Definitions& standard_definitions() {
    // The definitions keep views into the text: it lives as long as they do.
    static const std::string text = standard_gate_definitions();
    static const Definitions definitions = Reader::read_standard(text);
    return definitions;
}

}  // namespace

Program read_program(std::string_view text, const GateSet& gates, double dt, Limits limits) {
    return Reader(text, gates, dt, limits).read();
}

}  // namespace corvane::qasm
