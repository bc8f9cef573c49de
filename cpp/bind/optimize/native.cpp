// The native path of GateCompressor: reads the circuit into the core's
// engine (compress/gate_compressor.hpp), runs every merge there, and builds
// the graph left in self.dag and the output circuit directly, equal to what
// the generic path would leave.
#include "optimize/pass.hpp"

#include "common/digraph.hpp"
#include "common/gate_entries.hpp"
#include "common/gate_name_cache.hpp"
#include "common/numpy_arrays.hpp"
#include "dag/gate_dag.hpp"

#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::bind::optimize {

namespace dag = corvane::dag;
namespace gates = corvane::gates;
using cplx = std::complex<double>;

namespace {

// The native path names merged nodes with C++ integers: a starting serial
// within 2**62 leaves room for one more serial per gate of any circuit
// without overflowing a long long; larger ones take the generic path.
constexpr long long kSerialLimit = 1LL << 62;

// Every parameter of a parameter gate is a plain number, every entry an exact
// tuple named by an exact string.
bool entries_plain(PyObject* gates, nb::handle one_param, nb::handle two_param) {
    const Py_ssize_t count = PyList_GET_SIZE(gates);
    PyObject* last_name = nullptr;
    Py_ssize_t last_cut = 0;
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* entry = PyList_GET_ITEM(gates, i);
        if (!PyTuple_CheckExact(entry) || PyTuple_GET_SIZE(entry) == 0) return false;
        PyObject* name = PyTuple_GET_ITEM(entry, 0);
        if (!PyUnicode_CheckExact(name)) return false;
        Py_ssize_t cut;
        if (name == last_name) {
            cut = last_cut;
        } else {
            cut = contains(one_param, name) ? 1 : contains(two_param, name) ? 2 : 0;
            last_name = name;
            last_cut = cut;
        }
        if (!cut) continue;
        compress::Number n;
        for (Py_ssize_t k = 1; k < PyTuple_GET_SIZE(entry) - cut; ++k)
            if (!plain_number(PyTuple_GET_ITEM(entry, k), n)) return false;
    }
    return true;
}

// The engine's input and what the circuit's read data keeps of it.
struct NativeInput {
    CircuitDag circuit;
    compress::Circuit engine;
    std::vector<nb::object> kind_names;
};

compress::Hooks host_hooks() {
    compress::Hooks hooks;
    hooks.deduplicate = [](std::vector<std::int64_t>& items) {
        nb::object list = checked(PyList_New(0));
        for (std::int64_t q : items) append(list, checked(PyLong_FromLongLong(q)));
        nb::object unique = list_of(checked(PySet_New(list.ptr())));
        items.clear();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(unique.ptr()); ++i)
            items.push_back(PyLong_AsLongLong(PyList_GET_ITEM(unique.ptr(), i)));
    };
    hooks.multiply = [](const gates::Matrix2& later, const gates::Matrix2& earlier) {
        nb::object a = to_array(later), b = to_array(earlier);
        nb::object product = checked(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
        auto* arr = reinterpret_cast<PyArrayObject*>(product.ptr());
        gates::Matrix2 out;
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j)
                std::memcpy(&out[2 * i + j], PyArray_BYTES(arr) + i * PyArray_STRIDE(arr, 0) + j * PyArray_STRIDE(arr, 1),
                            sizeof(cplx));
        return out;
    };
    return hooks;
}

// Reads the kept entries into the engine's input; false when a value falls
// outside what the engine reproduces.
bool build_input(NativeInput& in, nb::handle kept, nb::handle compressible) {
    GateCategories categories = GateCategories::of_circuit_model();
    in.circuit = read_circuit(kept.ptr(), true, categories);
    const Py_ssize_t n = PyList_GET_SIZE(kept.ptr());
    compress::Circuit& c = in.engine;
    c.node_kind.reserve(n);
    c.qubit_offsets.reserve(n + 1);
    c.qubits.reserve(n * 2);
    c.param_offsets.reserve(n + 1);

    nb::object rule_categories[5];
    for (int k = 0; k < 5; ++k) rule_categories[k] = module_global(kRuleOfCategory[k].first);
    GateNameCache<std::uint32_t> kind_of_name;
    PyObject* last_name = nullptr;
    std::uint32_t last_kind = 0;
    for (Py_ssize_t i = 0; i < n; ++i) {
        PyObject* name = in.circuit.gate(i);
        std::uint32_t kind_index;
        if (name == last_name) {
            kind_index = last_kind;
        } else {
            const std::string_view text = utf8_of(name);
            if (const std::uint32_t* known = kind_of_name.find(text)) {
                kind_index = *known;
            } else {
                compress::Rule rule = compress::Rule::none;
                int memberships = 0;
                for (int k = 0; k < 5; ++k)
                    if (contains(rule_categories[k], name) && memberships++ == 0) rule = static_cast<compress::Rule>(k);
                auto kind = compress::describe_gate(text, rule, memberships, contains(compressible, name));
                if (!kind) return false;
                kind_index = static_cast<std::uint32_t>(c.kinds.size());
                c.kinds.push_back(*kind);
                in.kind_names.push_back(nb::borrow(name));
                kind_of_name.insert(text, kind_index);
            }
            last_name = name;
            last_kind = kind_index;
        }
        c.node_kind.push_back(kind_index);
        const compress::GateKind& kind = c.kinds[kind_index];

        for (PyObject* qubit : in.circuit.qubits(i)) {
            const auto q = small_int(qubit);
            if (!q) return false;
            c.qubits.push_back(*q);
        }
        c.qubit_offsets.push_back(static_cast<std::uint32_t>(c.qubits.size()));
        if (kind.rule == compress::Rule::one_qubit_parameter || kind.rule == compress::Rule::two_qubit_parameter) {
            // The circuit model read no parameters for a gate it does not
            // count as a parameter gate.
            const Category read_as = in.circuit.category(i);
            if (read_as != Category::one_qubit_parameter && read_as != Category::two_qubit_parameter) return false;
            std::span<PyObject* const> params = in.circuit.params(i);
            if (kind.compressible && params.size() != compress::parameter_count(kind.matrix)) return false;
            for (PyObject* param : params) {
                compress::Number value;
                if (!plain_number(param, value)) return false;
                c.params.push_back(value);
            }
        }
        c.param_offsets.push_back(static_cast<std::uint32_t>(c.params.size()));
    }
    const auto& deps = in.circuit.dependencies;
    c.edges.reserve(deps.edges.size());
    c.edge_qubits.reserve(deps.qubit_positions.size());
    for (const auto& edge : deps.edges) {
        const auto first = static_cast<std::uint32_t>(c.edge_qubits.size());
        const std::uint32_t base = c.qubit_offsets[edge.target];
        for (std::uint32_t k = edge.first; k < edge.last; ++k)
            c.edge_qubits.push_back(c.qubits[base + deps.qubit_positions[k]]);
        c.edges.push_back({edge.source, edge.target, first, static_cast<std::uint32_t>(c.edge_qubits.size())});
    }
    return true;
}

nb::object int_list(std::span<const std::int64_t> values) {
    nb::object list = checked(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (size_t i = 0; i < values.size(); ++i)
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), checked(PyLong_FromLongLong(values[i])).release().ptr());
    return list;
}

nb::object number(const compress::Number& n) {
    return n.is_int ? checked(PyLong_FromLongLong(n.integer)) : checked(PyFloat_FromDouble(n.value));
}

// The graph the generic path would leave, and the objects of the fused nodes.
struct Materialised {
    nb::object graph;
    std::vector<nb::object> fused_names, fused_attributes;  // by node id - original count
};

Materialised materialise(NativeInput& in, const compress::Engine& engine, nb::handle qubits_copy,
                         long long first_serial) {
    Materialised out;
    const dag::GateDag& g = engine.graph();
    const std::size_t originals = engine.original_count();
    out.graph = module_global_or_null(state().dag_module, "nx").attr("DiGraph")();
    DiGraphWriter writer(out.graph, g.node_capacity());
    const Keys& keys = Keys::get();
    const std::size_t fused = g.node_capacity() - originals;
    out.fused_names.resize(fused);
    out.fused_attributes.resize(fused);
    std::string text;
    for (dag::NodeId n = 0; n < g.node_capacity(); ++n) {
        if (!g.contains(n)) continue;
        if (engine.is_original(n)) {
            writer.add_node(n, in.circuit.name(n), in.circuit.attributes(n));
            continue;
        }
        // gate_<serial>_<qubits>, the qubit list in the host's text form.
        text.assign(utf8_of(in.kind_names[engine.kind(n)].ptr()));
        text += '_';
        text += std::to_string(first_serial + 1 + static_cast<long long>(engine.serial_index(n)));
        text += "_[";
        auto qs = engine.node_qubits(n);
        for (size_t k = 0; k < qs.size(); ++k) {
            if (k) text += ", ";
            text += std::to_string(qs[k]);
        }
        text += ']';
        nb::object name = checked(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
        nb::object attributes = checked(PyDict_New());
        check(PyDict_SetItem(attributes.ptr(), keys.qubits, in.circuit.qubit_list(engine.qubits_origin(n))) == 0);
        auto ps = engine.node_params(n);
        nb::object params = checked(PyList_New(static_cast<Py_ssize_t>(ps.size())));
        for (size_t k = 0; k < ps.size(); ++k)
            PyList_SET_ITEM(params.ptr(), static_cast<Py_ssize_t>(k), number(ps[k]).release().ptr());
        check(PyDict_SetItem(attributes.ptr(), keys.params, params.ptr()) == 0);
        writer.add_node(n, name.ptr(), attributes.ptr());
        out.fused_names[n - originals] = std::move(name);
        out.fused_attributes[n - originals] = std::move(attributes);
    }
    // In the order the edges were added, so every _succ and every _pred dict
    // lists them as add_edges_from would have.
    for (dag::EdgeId e : engine.edges_in_insertion_order()) {
        const std::uint32_t origin = engine.edge_list_origin(e);
        nb::object list = origin != dag::kNone ? in.circuit.edge_qubits(in.circuit.dependencies.edges[origin])
                                               : int_list(engine.edge_qubits(e));
        writer.add_edge(g.source(e), g.target(e), qubit_dict(list).ptr());
    }
    writer.finish();
    out.graph.attr("graph")["qubits"] = qubits_copy;
    return out;
}

nb::object emit_circuit(NativeInput& in, const compress::Engine& engine, const Materialised& m,
                        nb::handle nqubits, nb::handle ncbits, nb::handle qubits) {
    GateCategories categories(state().dag_module);
    const Keys& keys = Keys::get();
    const dag::Generations order = dag::topological_generations(engine.graph());
    nb::object entries = checked(PyList_New(0));
    const std::size_t originals = engine.original_count();
    for (dag::NodeId n : order.order) {
        if (!engine.is_original(n)) {
            PyObject* attributes = m.fused_attributes[n - originals].ptr();
            auto [gate, category] = categories.gate_of_node(m.fused_names[n - originals].ptr());
            nb::object entry = entry_for_node(gate.ptr(), category, attributes, PyDict_GetItem(attributes, keys.qubits));
            if (entry.is_valid()) append(entries, entry);
            continue;
        }
        // An exact gate string is its node name's gate part; anything else is
        // split off the node name, as for any node.
        PyObject* read_gate = in.circuit.gate(n);
        auto [gate, category] = categories.gate_of_node(PyUnicode_CheckExact(read_gate) ? read_gate : in.circuit.name(n));
        if (category <= Category::two_qubit_parameter && PyUnicode_CheckExact(read_gate)) {
            // The very tuple the node was read from holds the items its entry would.
            append(entries, in.circuit.entry(n));
            continue;
        }
        PyObject* attributes = in.circuit.attributes(n);
        nb::object entry = entry_for_node(gate.ptr(), category, attributes, in.circuit.qubit_list(n));
        if (entry.is_valid()) append(entries, entry);
    }
    nb::object circuit = state().quantum_circuit(convert_int(nqubits.ptr(), "nqubits"), convert_int(ncbits.ptr(), "ncbits"));
    circuit.attr("gates") = entries;
    circuit.attr("qubits") = qubits;
    return circuit;
}

}  // namespace

void prepare_native_path() { import_numpy(); }

nb::object run_native(nb::handle self, nb::handle qc) {
    if (!state().guard->allows(self, qc)) return {};
    nb::object dict = instance_dict(self);
    PyObject* idx = PyDict_GetItem(dict.ptr(), state().key_idx);
    PyObject* compressible = PyDict_GetItem(dict.ptr(), state().key_compressible);
    if (!idx || !compressible || !PyList_CheckExact(compressible)) return {};
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(compressible); ++i)
        if (!PyUnicode_CheckExact(PyList_GET_ITEM(compressible, i))) return {};
    auto first_serial = small_int(idx);
    if (!first_serial || *first_serial > kSerialLimit || *first_serial < -kSerialLimit) return {};
    nb::object idx_ref = nb::borrow(idx), compressible_ref = nb::borrow(compressible);

    nb::object qubits = qc.attr("qubits");
    nb::object gates = qc.attr("gates");
    nb::object nqubits = qc.attr("nqubits"), ncbits = qc.attr("ncbits");
    if (!PyList_CheckExact(gates.ptr()) || !PyLong_CheckExact(nqubits.ptr()) || !PyLong_CheckExact(ncbits.ptr()))
        return {};
    if (!entries_plain(gates.ptr(), module_global("one_qubit_parameter_gates_available"),
                       module_global("two_qubit_parameter_gates_available")))
        return {};

    GcPause pause;
    NativeInput in;
    nb::object kept = kept_entries(gates, true);
    if (!build_input(in, kept, compressible_ref)) return {};
    compress::Engine engine(std::move(in.engine), host_hooks());
    const compress::Outcome outcome = engine.run();
    if (outcome == compress::Outcome::unsupported) return {};

    // What deepcopy gives for the copy's qubit list, which the graph keeps.
    nb::object qubits_copy;
    bool int_list_qubits = PyList_CheckExact(qubits.ptr());
    for (Py_ssize_t i = 0; int_list_qubits && i < PyList_GET_SIZE(qubits.ptr()); ++i)
        int_list_qubits = PyLong_CheckExact(PyList_GET_ITEM(qubits.ptr(), i));
    qubits_copy = int_list_qubits ? checked(PyList_GetSlice(qubits.ptr(), 0, PyList_GET_SIZE(qubits.ptr())))
                                  : state().copy_deepcopy(qubits);

    Materialised m = materialise(in, engine, qubits_copy, *first_serial);
    self.attr("dag") = m.graph;
    self.attr("_idx") = nb::int_(*first_serial + static_cast<long long>(engine.serials_drawn()));
    if (outcome == compress::Outcome::no_rule) {
        PyErr_SetString(PyExc_TypeError, "cannot unpack non-iterable NoneType object");
        throw nb::python_error();
    }
    if (outcome == compress::Outcome::u3_not_finite) {
        // The decomposition's own error for the product it was given.
        state().u3_decompose(to_array(engine.failed_product()));
        PyErr_SetString(PyExc_ValueError, "u3_decompose() expects finite matrix entries");
        throw nb::python_error();
    }
    return emit_circuit(in, engine, m, nqubits, ncbits, qubits);
}

}  // namespace corvane::bind::optimize
