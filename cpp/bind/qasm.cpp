// corvane.circuit._qasm: OpenQASM 2 text to gate entries and back, through
// the core's reader and writer. The circuit layer (qasm.py) passes the gate
// categories of the circuit model, read at each call so that a user's edits
// are seen.
#include "common/gate_entries.hpp"
#include "common/without_gil.hpp"
#include "common/host.hpp"
#include "common/interrupt_check.hpp"
#include "common/text_map.hpp"
#include "qasm/reader.hpp"
#include "qasm/writer.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <deque>
#include <memory>
#include <optional>
#include <limits>
#include <string>
#include <vector>

namespace nb = nanobind;
using namespace corvane::bind;
using corvane::qasm::GateSet;
using corvane::qasm::GateShape;
using corvane::qasm::Number;
using corvane::qasm::OperationKind;

namespace {

// The gate set from the five gate categories of the circuit model, in the
// order the builders test them (Category's order: one-, two-, three-qubit,
// one- and two-qubit parameter gates), each shaped by its entry-shape row. A
// parameter count that is not an int means any count, as the builders read
// it. Reads the dicts in place: no Python object is made, so no collection is
// set off.
GateSet gate_set_of(nb::handle categories) {
    constexpr int kGateCategories = static_cast<int>(Category::functional);
    const std::vector<nb::object> dicts = unpack(categories.ptr(), kGateCategories);
    GateSet gates;
    for (int c = 0; c < kGateCategories; ++c) {
        if (!PyDict_Check(dicts[c].ptr())) throw nb::type_error("a gate category is a dict");
        const EntryShape& shape = *entry_shape(static_cast<Category>(c), "");
        const bool parameters = shape.parameters;
        Py_ssize_t pos = 0;
        PyObject *name, *count;
        while (PyDict_Next(dicts[c].ptr(), &pos, &name, &count)) {
            if (!PyUnicode_Check(name)) continue;  // never a gate name of a program
            std::int16_t nparams = 0;
            if (parameters) {
                const long value =
                    PyLong_Check(count) && !PyBool_Check(count) ? PyLong_AsLong(count) : -1;
                if (value == -1) PyErr_Clear();
                nparams = value >= 0 && value < 1000 ? static_cast<std::int16_t>(value) : -1;
            }
            gates.add(utf8_of(name),
                      GateShape{static_cast<std::uint8_t>(shape.trailing_qubits), nparams});
        }
    }
    return gates;
}

// ---- reading -----------------------------------------------------------------------

// Python objects for a program's values, each made once.
class ValueCache {
  public:
    // A new reference to the int `i`.
    PyObject* index(std::uint32_t i) {
        if (i >= kCachedIndices) return checked(PyLong_FromUnsignedLong(i)).release().ptr();
        if (i >= indices_.size()) indices_.resize(i + 1);
        if (!indices_[i].is_valid()) indices_[i] = checked(PyLong_FromUnsignedLong(i));
        return Py_NewRef(indices_[i].ptr());
    }
    // The value of `n`, read on `line`.
    nb::object number(const Number& n, std::uint32_t line) {
        switch (n.kind) {
            case Number::Kind::integer:
                return checked(PyLong_FromLongLong(n.integer));
            case Number::Kind::real:
                return checked(PyFloat_FromDouble(n.real));
            case Number::Kind::big_integer:
                break;
        }
        const std::string digits = std::string(n.negative ? "-" : "").append(n.digits);
        PyObject* value = PyLong_FromString(digits.c_str(), nullptr, 10);
        if (value) return nb::steal(value);
        // Past the host's limit on the digits of an int (sys.set_int_max_str_digits).
        if (!PyErr_ExceptionMatches(PyExc_ValueError)) throw nb::python_error();
        PyErr_Clear();
        throw nb::value_error(("line " + std::to_string(line) + ": integer of " +
                               std::to_string(n.digits.size()) +
                               " digits is over the interpreter's limit on the digits of an int "
                               "(sys.set_int_max_str_digits)")
                                  .c_str());
    }

  private:
    // Indices below this share one int object each; a program on more
    // qubits (rare) makes the others afresh rather than hold a huge table.
    static constexpr std::uint32_t kCachedIndices = 1 << 20;
    std::vector<nb::object> indices_;
};

nb::object new_tuple(Py_ssize_t size) { return checked(PyTuple_New(size)); }
nb::object new_list(Py_ssize_t size) { return checked(PyList_New(size)); }

// The branches of the conditional being built: entries go to `body` until
// else_begin, then to `orelse`.
struct OpenConditional {
    nb::object cbits, value, first, second;
    bool swapped, in_second = false;
};

nb::object list_to_tuple(const nb::object& list) { return checked(PyList_AsTuple(list.ptr())); }

// The options that raise each of the reader's ceilings, for its message.
const char* raised_by(corvane::qasm::LimitError::Ceiling ceiling) {
    return ceiling == corvane::qasm::LimitError::Ceiling::qubits
               ? " (raise it with max_qubits= or --max-qubits)"
               : " (raise it with max_gates= or --max-gates)";
}

// corvane.circuit.limits.LimitExceeded, with the message of `error`.
[[noreturn]] void raise_limit_exceeded(const corvane::qasm::LimitError& error) {
    static const nb::object limit_exceeded =
        nb::module_::import_("corvane.circuit.limits").attr("LimitExceeded");
    const std::string message = std::string(error.what()) + raised_by(error.ceiling);
    PyErr_SetString(limit_exceeded.ptr(), message.c_str());
    throw nb::python_error();
}

nb::object read_text(nb::handle text, nb::handle gate_set, nb::handle dt, nb::handle max_qubits,
                     nb::handle max_gates) {
    if (!PyUnicode_Check(text.ptr())) throw nb::type_error("an OpenQASM program is text");
    const GateSet gates = gate_set_of(gate_set);
    const double dt_seconds = dt.is_none() ? 0.0 : nb::cast<double>(dt);
    if (!dt.is_none() && !(dt_seconds > 0 && std::isfinite(dt_seconds)))
        throw nb::value_error("dt must be a positive number of seconds");
    const corvane::qasm::Limits limits{nb::cast<std::uint64_t>(max_qubits),
                                       nb::cast<std::uint64_t>(max_gates)};
    corvane::qasm::Program program;
    try {
        const std::string_view source =
            utf8_of(text.ptr());  // the str's own buffer, kept by the caller
        program = run_without_gil(
            [&] { return corvane::qasm::read_program(source, gates, dt_seconds, limits); });
    } catch (const corvane::qasm::LimitError& e) {
        raise_limit_exceeded(e);
    } catch (const corvane::qasm::ParseError& e) {
        throw nb::value_error(e.what());
    }

    GcPause pause;
    std::vector<nb::object> names;
    for (const std::string& name : program.gate_names)
        names.push_back(checked(PyUnicode_InternFromString(name.c_str())));
    static const nb::handle measure = interned("measure"), barrier = interned("barrier"),
                            delay = interned("delay"), reset = interned("reset");
    ValueCache values;
    auto qubit_tuple = [&](const std::uint32_t* q, std::uint32_t count) {
        nb::object t = new_tuple(count);
        for (std::uint32_t k = 0; k < count; ++k) PyTuple_SET_ITEM(t.ptr(), k, values.index(q[k]));
        return t;
    };

    const auto count = static_cast<Py_ssize_t>(program.operations.size());
    nb::object entries = new_list(count);
    Py_ssize_t filled = 0;  // top-level entries: conditionals hold the others
    std::vector<OpenConditional> open;
    InterruptPoll poll;
    for (Py_ssize_t i = 0; i < count; ++i) {
        poll.tick();
        const corvane::qasm::Operation& op = program.operations[static_cast<size_t>(i)];
        const std::uint32_t* operands = program.operands.data() + op.first_operand;
        const Number* params = program.params.data() + op.first_param;
        nb::object entry;
        switch (op.kind) {
            case OperationKind::gate: {
                entry = new_tuple(1 + op.nparams + op.nqubits);
                PyObject* t = entry.ptr();
                PyTuple_SET_ITEM(t, 0, Py_NewRef(names[op.gate].ptr()));
                for (std::uint32_t k = 0; k < op.nparams; ++k)
                    PyTuple_SET_ITEM(t, 1 + k, values.number(params[k], op.line).release().ptr());
                for (std::uint32_t k = 0; k < op.nqubits; ++k)
                    PyTuple_SET_ITEM(t, 1 + op.nparams + k, values.index(operands[k]));
                PyObject_GC_UnTrack(t);  // holds only a string and numbers: never part of a cycle
                break;
            }
            case OperationKind::measure: {
                nb::object qubits = new_list(op.nqubits), cbits = new_list(op.nqubits);
                for (std::uint32_t k = 0; k < op.nqubits; ++k) {
                    PyList_SET_ITEM(qubits.ptr(), k, values.index(operands[2 * k]));
                    PyList_SET_ITEM(cbits.ptr(), k, values.index(operands[2 * k + 1]));
                }
                entry = nb::make_tuple(measure, qubits, cbits);
                break;
            }
            case OperationKind::barrier:
                entry = nb::make_tuple(barrier, qubit_tuple(operands, op.nqubits));
                break;
            case OperationKind::delay:
                entry = nb::make_tuple(delay, values.number(params[0], op.line),
                                       qubit_tuple(operands, op.nqubits));
                break;
            case OperationKind::reset:
                entry = nb::make_tuple(reset, nb::steal(values.index(operands[0])));
                break;
            case OperationKind::if_begin:
                open.push_back({qubit_tuple(operands, op.nqubits),
                                values.number(params[0], op.line), new_list(0), new_list(0),
                                op.gate == 1});
                continue;
            case OperationKind::else_begin:
                open.back().in_second = true;
                continue;
            case OperationKind::if_end: {
                static const nb::handle if_name = interned("if");
                OpenConditional done = std::move(open.back());
                open.pop_back();
                nb::object body = list_to_tuple(done.swapped ? done.second : done.first);
                nb::object orelse = list_to_tuple(done.swapped ? done.first : done.second);
                entry = nb::make_tuple(if_name, done.cbits, done.value, body, orelse);
                break;
            }
        }
        if (!open.empty()) {
            const OpenConditional& into = open.back();
            check(PyList_Append((into.in_second ? into.second : into.first).ptr(), entry.ptr()) ==
                  0);
        } else {
            PyList_SET_ITEM(entries.ptr(), filled++, entry.release().ptr());
        }
    }
    if (filled < count) check(PyList_SetSlice(entries.ptr(), filled, count, nullptr) == 0);
    return nb::make_tuple(program.nqubits, program.ncbits, entries, program.version);
}

// ---- writing -----------------------------------------------------------------------

// The OpenQASM statement that writes the circuit model's functional
// operation `name`, whose items sit where its entry-shape row says; nothing
// for any other name (functional operations without a statement included).
std::optional<OperationKind> statement_of(std::string_view name) {
    if (name == "measure") return OperationKind::measure;
    if (name == "barrier") return OperationKind::barrier;
    if (name == "delay") return OperationKind::delay;
    if (name == "reset") return OperationKind::reset;
    if (name == "if") return OperationKind::if_begin;
    return std::nullopt;
}

// A reason the entry cannot be written; the caller names the entry.
struct Refused {
    std::string reason;
};

std::int64_t index_of(PyObject* value, const char* what) {
    if (PyLong_CheckExact(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow)
            return overflow > 0 ? std::numeric_limits<std::int64_t>::max() : -1;  // out of range
        return v;
    }
    if (PyBool_Check(value) || !PyIndex_Check(value))
        throw Refused{std::string(what) + " index " + nb::repr(value).c_str() +
                      " is not an integer"};
    nb::object index = checked(PyNumber_Index(value));
    return index_of(index.ptr(), what);
}

// A parameter or duration as written: ints as they are, floats by their
// shortest repr, any other real number through float().
Number number_of(PyObject* value, std::deque<std::string>& big_digits_store) {
    if (PyFloat_Check(value)) return Number::of_real(PyFloat_AS_DOUBLE(value));
    if (PyLong_Check(value) && !PyBool_Check(value)) {
        int overflow = 0;
        const long long v = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (!overflow) return Number::of_integer(v);
        nb::object text = checked(PyObject_Str(value));
        std::string& big_digits = big_digits_store.emplace_back(utf8_of(text.ptr()));
        const bool negative = big_digits[0] == '-';
        if (negative) big_digits.erase(0, 1);
        return Number{Number::Kind::big_integer, negative, 0, 0.0, big_digits};
    }
    static nb::object real_type = nb::module_::import_("numbers").attr("Real");
    if (!PyBool_Check(value) && PyObject_IsInstance(value, real_type.ptr()) == 1)
        return Number::of_real(PyFloat_AsDouble(checked(PyNumber_Float(value)).ptr()));
    check(!PyErr_Occurred());
    throw Refused{std::string(nb::repr(value).c_str()) + " is not a real number"};
}

class EntryWriter {
  public:
    EntryWriter(std::uint32_t nqubits, std::uint32_t ncbits, size_t entries, GateSet gates,
                int version)
        : writer_(nqubits, ncbits, entries, version), gates_(std::move(gates)) {}

    void use_registers(std::vector<std::uint32_t> starts) {
        writer_.use_registers(std::move(starts));
    }

    void write(PyObject* entry, int depth = 0) {
        // An entry given as a list (the passes take those too) is read
        // through a tuple snapshot, and reads back as that tuple.
        nb::object snapshot;
        if (!PyTuple_Check(entry)) {
            if (!PyList_Check(entry)) throw Refused{"a gate entry is a tuple"};
            snapshot = checked(PyList_AsTuple(entry));
            entry = snapshot.ptr();
        }
        PyObject* const* items = &PyTuple_GET_ITEM(entry, 0);
        const Py_ssize_t size = PyTuple_GET_SIZE(entry);
        if (size == 0 || !PyUnicode_Check(items[0]))
            throw Refused{"a gate entry starts with the gate name"};
        const Known& known = lookup(items[0]);
        if (known.kind == OperationKind::gate) {
            // Any entry of a gate: parameters between the name and the gate's trailing qubits.
            const Py_ssize_t nqubits = known.gate.nqubits;
            if (size - 1 < nqubits)
                throw Refused{known.name + " acts on " + std::to_string(nqubits) + " qubit(s)"};
            params_.clear();
            if (!bigs_.empty()) bigs_.clear();
            for (Py_ssize_t k = 1; k < size - nqubits; ++k)
                params_.push_back(PyFloat_CheckExact(items[k])  // most parameters, inline
                                      ? Number::of_real(PyFloat_AS_DOUBLE(items[k]))
                                      : number_of(items[k], bigs_));
            indices(items + size - nqubits, nqubits, "qubit", qubits_);
            writer_.gate(known.gate_id, params_, qubits_);
            return;
        }
        if (known.kind == OperationKind::if_begin) return conditional(items, size, depth);
        // A functional operation: a fixed number of items, in the places its row names.
        const EntryShape& shape = *known.shape;
        if (size != shape.size)
            throw Refused{"a " + known.name + " entry has " + std::to_string(shape.size) +
                          " items"};
        Number duration;
        if (shape.duration_item >= 0) {
            bigs_.clear();
            duration = number_of(items[shape.duration_item], bigs_);
        }
        if (shape.qubits_item >= 0)
            sequence(items[shape.qubits_item], "qubit", qubits_);
        else
            indices(items + size - shape.trailing_qubits, shape.trailing_qubits, "qubit", qubits_);
        if (shape.cbits_item >= 0) sequence(items[shape.cbits_item], "classical bit", cbits_);
        switch (known.kind) {
            case OperationKind::measure:
                writer_.measure(qubits_, cbits_);
                return;
            case OperationKind::barrier:
                writer_.barrier(qubits_);
                return;
            case OperationKind::delay:
                writer_.delay(duration, qubits_);
                return;
            case OperationKind::reset:
                writer_.reset(qubits_[0]);
                return;
            case OperationKind::gate:
            case OperationKind::if_begin:
            case OperationKind::else_begin:
            case OperationKind::if_end:
                return;  // written above
        }
    }

    // ("if", cbits, value, body, orelse)
    void conditional(PyObject* const* items, Py_ssize_t size, int depth) {
        // Conditionals nest through this recursion; the reader takes as many.
        constexpr int kMaxDepth = 100;
        if (size != 5) throw Refused{"an if entry has 5 items"};
        if (depth >= kMaxDepth) throw Refused{"conditionals nested too deeply"};
        std::vector<std::int64_t> cbits;
        sequence(items[1], "classical bit", cbits);
        const std::int64_t value = index_of(items[2], "condition value");
        const nb::object body = branch(items[3]), orelse = branch(items[4]);
        if (writer_.version() == 2) {
            if (PyTuple_GET_SIZE(orelse.ptr()) != 0)
                throw Refused{"OpenQASM 2 has no else branch; write version 3"};
            if (PyTuple_GET_SIZE(body.ptr()) != 1)
                throw Refused{"OpenQASM 2 conditions control one statement; write version 3"};
        }
        writer_.begin_if(cbits, value);
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(body.ptr()); ++k) {
            if (writer_.version() == 2) refuse_in_condition2(PyTuple_GET_ITEM(body.ptr(), k));
            write(PyTuple_GET_ITEM(body.ptr(), k), depth + 1);
        }
        if (PyTuple_GET_SIZE(orelse.ptr()) != 0) writer_.begin_else();
        for (Py_ssize_t k = 0; k < PyTuple_GET_SIZE(orelse.ptr()); ++k)
            write(PyTuple_GET_ITEM(orelse.ptr(), k), depth + 1);
        writer_.end_if();
    }

    // A snapshot of a branch: a tuple or list of entries.
    static nb::object branch(PyObject* value) {
        if (!PyList_Check(value) && !PyTuple_Check(value))
            throw Refused{"the branches of an if entry are tuples of entries"};
        return checked(PySequence_Tuple(value));
    }

    // What OpenQASM 2 writes as several statements cannot stand after one
    // condition: a nested if, a barrier, a measure or delay on several qubits.
    static void refuse_in_condition2(PyObject* entry) {
        const bool sequence = PyTuple_Check(entry) || PyList_Check(entry);
        const Py_ssize_t size = sequence ? PySequence_Size(entry) : 0;
        if (size < 1) return;  // write() refuses it
        nb::object name = checked(PySequence_GetItem(entry, 0));
        if (!PyUnicode_Check(name.ptr())) return;
        const std::string_view text = utf8_of(name.ptr());
        bool several = false;
        if ((text == "measure" || text == "delay") && size == 3) {
            nb::object qubits = checked(PySequence_GetItem(entry, text == "measure" ? 1 : 2));
            several = PySequence_Check(qubits.ptr()) && PySequence_Size(qubits.ptr()) > 1;
            PyErr_Clear();
        }
        if (text == "if" || text == "barrier" || several)
            throw Refused{
                "OpenQASM 2 conditions control one gate, measure or reset; write "
                "version 3"};
    }

    nb::object finish() const {
        const std::string header = writer_.header();
        const std::string_view body = writer_.body();
        // Every byte written is ASCII (gate names are checked identifiers).
        nb::object text =
            checked(PyUnicode_New(static_cast<Py_ssize_t>(header.size() + body.size()), 127));
        auto* data = static_cast<char*>(PyUnicode_DATA(text.ptr()));
        // std::copy: an empty body has no storage, which memcpy may not be given.
        std::copy(body.begin(), body.end(), std::copy(header.begin(), header.end(), data));
        return text;
    }

  private:
    struct Known {
        OperationKind kind;
        const EntryShape* shape;  // a functional operation's row of the entry-shape table
        GateShape gate;           // a gate's shape in the gate set
        std::uint32_t gate_id;
        std::string name;
    };

    // By the name object first: the builders, the reader and the passes share
    // one per gate, held here so that no other object takes its address.
    // Then by text, for names made one per entry: a direct-mapped cache keyed
    // by the text's length and ends serves almost every entry with one
    // comparison.
    const Known& lookup(PyObject* name) {
        Seen& seen = seen_[(reinterpret_cast<std::uintptr_t>(name) >> 4) % kRecentNames];
        if (seen.name.ptr() == name) return *seen.known;
        const Known& known = lookup_text(name);
        seen = {nb::borrow(name), &known};
        return known;
    }

    const Known& lookup_text(PyObject* name) {
        const std::string_view text = utf8_of(name);
        const size_t slot = text.empty()
                                ? 0
                                : (text.size() * 31 + static_cast<unsigned char>(text[0]) * 7 +
                                   static_cast<unsigned char>(text.back())) %
                                      kRecentNames;
        if (recent_[slot] && recent_[slot]->name == text) return *recent_[slot];
        auto it = by_text_.find(text);
        if (it == by_text_.end()) {
            // Functional operations first, as the builders test them.
            const std::optional<OperationKind> statement = statement_of(text);
            const GateShape* gate = statement ? nullptr : gates_.find(text);
            if (!statement && !gate)
                throw Refused{"unknown gate " + std::string(nb::repr(name).c_str())};
            bool identifier = !text.empty() && !std::isdigit(static_cast<unsigned char>(text[0]));
            for (char c : text)
                identifier = identifier &&
                             (std::isalnum(static_cast<unsigned char>(c)) || c == '_') && c > 0;
            if (!identifier)
                throw Refused{"gate name " + std::string(nb::repr(name).c_str()) +
                              " is not an OpenQASM name"};
            Known known{OperationKind::gate, nullptr, {}, 0, std::string(text)};
            if (statement == OperationKind::if_begin) {
                known.kind = *statement;
            } else if (statement) {
                known.kind = *statement;
                known.shape = entry_shape(Category::functional, text);
            } else {
                known.gate = *gate;
                known.gate_id = writer_.prepare(text, *gate);
            }
            it = by_text_.emplace(std::string(text), std::make_unique<Known>(std::move(known)))
                     .first;
        }
        recent_[slot] = it->second.get();
        return *it->second;
    }

    static void indices(PyObject* const* items, Py_ssize_t count, const char* what,
                        std::vector<std::int64_t>& out) {
        out.clear();
        for (Py_ssize_t k = 0; k < count; ++k) {
            const std::optional<long long> small = small_int(items[k]);  // inline, most indices
            out.push_back(small ? *small : index_of(items[k], what));
        }
    }

    void sequence(PyObject* value, const char* what, std::vector<std::int64_t>& out) {
        if (!PyList_Check(value) && !PyTuple_Check(value))
            throw Refused{std::string(what) + "s must be a list or tuple"};
        nb::object items =
            checked(PySequence_Tuple(value));  // a snapshot: index() may run user code
        indices(&PyTuple_GET_ITEM(items.ptr(), 0), PyTuple_GET_SIZE(items.ptr()), what, out);
    }

    corvane::qasm::ProgramWriter writer_;
    GateSet gates_;
    corvane::TextMap<std::string, std::unique_ptr<Known>> by_text_;
    static constexpr size_t kRecentNames = 64;
    const Known* recent_[kRecentNames] = {};
    struct Seen {
        nb::object name;
        const Known* known;
    };
    Seen seen_[kRecentNames] = {};
    std::vector<Number> params_;
    std::deque<std::string> bigs_;  // digits of the big integers of the entry at hand
    std::vector<std::int64_t> qubits_, cbits_;
};

// The entries a pass made lie scattered in memory: the entry kPrefetchAhead
// places on is asked for, and the items of the one half as far (whose tuple
// has arrived by then), so the loads overlap the writing.
[[gnu::always_inline]] inline void prefetch_entry(PyObject* list, Py_ssize_t i) {
    const Py_ssize_t size = PyList_GET_SIZE(list);
    const auto ahead = static_cast<Py_ssize_t>(kPrefetchAhead);
    if (i + ahead < size) __builtin_prefetch(PyList_GET_ITEM(list, i + ahead));
    if (i + ahead / 2 < size) {
        PyObject* entry = PyList_GET_ITEM(list, i + ahead / 2);
        if (PyTuple_CheckExact(entry) && PyTuple_GET_SIZE(entry) > 1) {
            __builtin_prefetch(PyTuple_GET_ITEM(entry, 0));
            __builtin_prefetch(PyTuple_GET_ITEM(entry, 1));
            __builtin_prefetch(PyTuple_GET_ITEM(entry, PyTuple_GET_SIZE(entry) - 1));
        }
    }
}

std::uint32_t register_size(nb::handle value, const char* what) {
    const long long size = nb::cast<long long>(value);
    if (size < 0 || size > std::numeric_limits<std::uint32_t>::max())
        throw nb::value_error(
            (std::string("cannot write a circuit of ") + std::to_string(size) + " " + what)
                .c_str());
    return static_cast<std::uint32_t>(size);
}

// The classical bits of every condition among `entries` (nested ones too), to
// choose registers by; what the writer would refuse is skipped here.
void collect_conditions(PyObject* entries, std::vector<std::vector<std::int64_t>>& out,
                        int depth = 0) {
    nb::object list = nb::steal(PySequence_Fast(entries, "entries"));
    if (!list.is_valid() || depth > 100) return PyErr_Clear();
    for (Py_ssize_t i = 0; i < PySequence_Fast_GET_SIZE(list.ptr()); ++i) {
        PyObject* entry = PySequence_Fast_GET_ITEM(list.ptr(), i);
        if (!PyTuple_Check(entry) || PyTuple_GET_SIZE(entry) != 5) continue;
        PyObject* name = PyTuple_GET_ITEM(entry, 0);
        if (!PyUnicode_Check(name) || PyUnicode_CompareWithASCIIString(name, "if") != 0) continue;
        nb::object bits = nb::steal(PySequence_Fast(PyTuple_GET_ITEM(entry, 1), "bits"));
        if (!bits.is_valid()) {
            PyErr_Clear();
            continue;
        }
        std::vector<std::int64_t> cbits;
        for (Py_ssize_t k = 0; k < PySequence_Fast_GET_SIZE(bits.ptr()); ++k)
            cbits.push_back(PyLong_AsLongLong(PySequence_Fast_GET_ITEM(bits.ptr(), k)));
        if (PyErr_Occurred()) {
            PyErr_Clear();
            continue;
        }
        out.push_back(std::move(cbits));
        collect_conditions(PyTuple_GET_ITEM(entry, 3), out, depth + 1);
        collect_conditions(PyTuple_GET_ITEM(entry, 4), out, depth + 1);
    }
}

// An entry as a message shows it: its repr, cut after kShownRepr characters;
// an entry nested too deeply for repr is named by its first item.
std::string shown_entry(PyObject* entry) {
    constexpr Py_ssize_t kShownRepr = 200;  // a few lines of a message
    const nb::object text = nb::steal(PyObject_Repr(entry));
    if (!text.is_valid()) {
        PyErr_Clear();
        return "(nested too deeply to show)";
    }
    const Py_ssize_t length = PyUnicode_GetLength(text.ptr());
    if (length <= kShownRepr) return std::string(utf8_of(text.ptr()));
    const nb::object cut = checked(PyUnicode_Substring(text.ptr(), 0, kShownRepr));
    return std::string(utf8_of(cut.ptr())) + "... (" + std::to_string(length) + " characters)";
}

nb::object write_entries(nb::handle nqubits, nb::handle ncbits, nb::handle gates,
                         nb::handle gate_set, nb::handle version_object) {
    const int version = nb::cast<int>(version_object);
    if (version != 2 && version != 3)
        throw nb::value_error(
            ("OpenQASM version is 2 or 3, got " + std::to_string(version)).c_str());
    // The list is read in place, its length checked at each step: user code
    // run by an odd number type may change it, and then meets no dangling read.
    const nb::object entries =
        PyList_Check(gates.ptr()) ? nb::borrow(gates) : checked(PySequence_List(gates.ptr()));
    const std::uint32_t cbit_count = register_size(ncbits, "classical bits");
    // One register c, unless a condition reads only some of the bits: then the
    // program is written again with the bits split into registers that fit
    // every condition (register_starts), when there is such a split.
    std::optional<std::vector<std::uint32_t>> registers;
    for (;;) {
        EntryWriter writer(register_size(nqubits, "qubits"), cbit_count,
                           static_cast<size_t>(PyList_GET_SIZE(entries.ptr())),
                           gate_set_of(gate_set), version);
        if (registers) writer.use_registers(*registers);
        InterruptPoll poll;
        bool split = false;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(entries.ptr()) && !split; ++i) {
            poll.tick();
            prefetch_entry(entries.ptr(), i);
            const nb::object held = nb::borrow(PyList_GET_ITEM(entries.ptr(), i));
            PyObject* entry = held.ptr();
            std::string reason;
            try {
                writer.write(entry);
                continue;
            } catch (const Refused& refused) {
                reason = refused.reason;
            } catch (const corvane::qasm::NeedsRegisters& e) {
                if (!registers) {
                    std::vector<std::vector<std::int64_t>> conditions;
                    collect_conditions(entries.ptr(), conditions);
                    registers = corvane::qasm::register_starts(cbit_count, conditions, version);
                    split = registers.has_value();
                    if (split) continue;
                }
                reason = e.what();
            } catch (const corvane::qasm::WriteError& e) {
                reason = e.what();
            }
            throw nb::value_error(("cannot write gate entry " + std::to_string(i) + " " +
                                   shown_entry(entry) + " in OpenQASM " +
                                   (version == 3 ? "3" : "2.0") + ": " + reason)
                                      .c_str());
        }
        if (!split) return writer.finish();
    }
}

}  // namespace

NB_MODULE(_qasm, m) {
    install_interrupt_check();
    m.doc() =
        "Native OpenQASM 2 reader and writer of the circuit model (private; see "
        "corvane.circuit.qasm).";
    m.attr("read") = make_function(
        m, {
               .name = "read",
               .doc = "Return (nqubits, ncbits, gate entries, version) of an "
                      "OpenQASM 2 or 3 program (dt: seconds per 'dt', or None; at most "
                      "max_qubits qubits and as many bits, max_gates entries); ValueError "
                      "names the line, LimitExceeded the ceiling.",
               .params = {{"text"}, {"categories"}, {"dt"}, {"max_qubits"}, {"max_gates"}},
               .body =
                   [](Args args) { return read_text(args[0], args[1], args[2], args[3], args[4]); },
           });
    m.attr("write") = make_function(
        m, {
               .name = "write",
               .doc = "Return the OpenQASM 2 or 3 program of a circuit's entries; ValueError "
                      "names an entry it cannot write.",
               .params =
                   {{"nqubits"}, {"ncbits"}, {"gates"}, {"categories"}, {"version", nb::int_(2)}},
               .body =
                   [](Args args) {
                       return write_entries(args[0], args[1], args[2], args[3], args[4]);
                   },
           });
}
