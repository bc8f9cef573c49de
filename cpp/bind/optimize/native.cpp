// The native path of GateCompressor: reads the circuit into the core's
// engine (compress/gate_compressor.hpp), runs every merge there, and builds
// the output circuit directly, equal to what the generic path would leave.
// The graph left in self.dag stays in native form (compressed_graph.hpp)
// until it is first read.
#include "optimize/pass.hpp"

#include "common/digraph.hpp"
#include "common/gate_entries.hpp"
#include "common/without_gil.hpp"
#include "common/gate_name_cache.hpp"
#include "common/numpy_arrays.hpp"
#include "dag/gate_dag.hpp"
#include "optimize/compressed_graph.hpp"

#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::bind::optimize {

namespace gates = corvane::gates;
using cplx = std::complex<double>;

namespace {

// The native path names merged nodes with C++ integers: a starting serial
// within 2**62 leaves room for one more serial per gate of any circuit
// without overflowing a long long; larger ones take the generic path.
constexpr long long kSerialLimit = 1LL << 62;

compress::Hooks host_hooks() {
    compress::Hooks hooks;
    // The engine runs without the GIL; each hook takes it for its call.
    hooks.deduplicate = [](std::vector<std::int64_t>& items) {
        nb::gil_scoped_acquire gil;
        nb::object list = checked(PyList_New(0));
        for (std::int64_t q : items) append(list, checked(PyLong_FromLongLong(q)));
        nb::object unique = list_of(checked(PySet_New(list.ptr())));
        items.clear();
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(unique.ptr()); ++i)
            items.push_back(PyLong_AsLongLong(PyList_GET_ITEM(unique.ptr(), i)));
    };
    hooks.multiply = [](const gates::Matrix2& later, const gates::Matrix2& earlier) {
        nb::gil_scoped_acquire gil;
        nb::object a = to_array(later), b = to_array(earlier);
        nb::object product = checked(PyNumber_MatrixMultiply(a.ptr(), b.ptr()));
        auto* arr = reinterpret_cast<PyArrayObject*>(product.ptr());
        gates::Matrix2 out;
        for (int i = 0; i < 2; ++i)
            for (int j = 0; j < 2; ++j)
                std::memcpy(
                    &out[2 * i + j],
                    PyArray_BYTES(arr) + i * PyArray_STRIDE(arr, 0) + j * PyArray_STRIDE(arr, 1),
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
    const auto n = static_cast<Py_ssize_t>(in.circuit.size());
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
    InterruptPoll poll;
    for (Py_ssize_t i = 0; i < n; ++i) {
        poll.tick();
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
                    if (contains(rule_categories[k], name) && memberships++ == 0)
                        rule = static_cast<compress::Rule>(k);
                auto kind =
                    compress::describe_gate(text, rule, memberships, contains(compressible, name));
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
        if (kind.rule == compress::Rule::one_qubit_parameter ||
            kind.rule == compress::Rule::two_qubit_parameter) {
            // The circuit model read no parameters for a gate it does not
            // count as a parameter gate.
            const Category read_as = in.circuit.category(i);
            if (read_as != Category::one_qubit_parameter &&
                read_as != Category::two_qubit_parameter)
                return false;
            std::span<PyObject* const> params = in.circuit.params(i);
            if (kind.compressible && params.size() != compress::parameter_count(kind.matrix))
                return false;
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
        c.edges.push_back(
            {edge.source, edge.target, first, static_cast<std::uint32_t>(c.edge_qubits.size())});
    }
    return true;
}

nb::object emit_circuit(CompressedGraph& result, nb::handle nqubits, nb::handle ncbits,
                        nb::handle qubits) {
    NativeInput& in = result.in;
    const compress::Engine& engine = *result.engine;
    GateCategories categories(state().dag_module);
    const dag::Generations order = dag::topological_generations(engine.graph());
    nb::object entries = checked(PyList_New(0));
    std::vector<PyObject*> items;
    const std::vector<dag::NodeId>& nodes = order.order;
    InterruptPoll poll;
    for (size_t i = 0; i < nodes.size(); ++i) {
        poll.tick();
        // The output order is far from the order of the entries in memory:
        // ask for them ahead, in two steps (the node record, then its entry).
        if (i + kPrefetchAhead < nodes.size() && engine.is_original(nodes[i + kPrefetchAhead]))
            in.circuit.prefetch_node(nodes[i + kPrefetchAhead]);
        if (i + kPrefetchAhead / 2 < nodes.size() &&
            engine.is_original(nodes[i + kPrefetchAhead / 2]))
            __builtin_prefetch(in.circuit.entry(nodes[i + kPrefetchAhead / 2]), 1);
        const dag::NodeId n = nodes[i];
        if (!engine.is_original(n)) {
            // A fused node is a parameter gate (the engine merges no other
            // kind into a new node): (gate, *params, *qubits).
            auto [gate, category] = categories.gate_of_node(in.kind_names[engine.kind(n)].ptr());
            PyObject* params = result.fused_params(n);
            std::span<PyObject* const> node_qubits = in.circuit.qubits(engine.qubits_origin(n));
            const size_t width = category == Category::two_qubit_parameter ? 2 : 1;
            items.assign(PySequence_Fast_ITEMS(params),
                         PySequence_Fast_ITEMS(params) + PyList_GET_SIZE(params));
            items.insert(items.end(), node_qubits.begin(), node_qubits.begin() + width);
            append(entries,
                   gate_entry(gate.ptr(), items.data(), static_cast<Py_ssize_t>(items.size())));
            continue;
        }
        // An exact gate string is its node name's gate part; anything else is
        // split off the node name, as for any node.
        PyObject* read_gate = in.circuit.gate(n);
        auto [gate, category] = categories.gate_of_node(
            PyUnicode_CheckExact(read_gate) ? read_gate : in.circuit.name(n));
        if (category <= Category::two_qubit_parameter && PyUnicode_CheckExact(read_gate)) {
            // The very tuple the node was read from holds the items its entry would.
            append(entries, in.circuit.entry(n));
            continue;
        }
        PyObject* attributes = in.circuit.attributes(n);
        nb::object entry =
            entry_for_node(gate.ptr(), category, attributes, in.circuit.qubit_list(n));
        if (entry.is_valid()) append(entries, entry);
    }
    nb::object circuit = state().quantum_circuit(convert_int(nqubits.ptr(), "nqubits"),
                                                 convert_int(ncbits.ptr(), "ncbits"));
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
    if (!PyList_CheckExact(gates.ptr()) || !PyLong_CheckExact(nqubits.ptr()) ||
        !PyLong_CheckExact(ncbits.ptr()))
        return {};

    GcPause pause;
    nb::object kept = kept_plain_entries(gates.ptr());
    if (!kept.is_valid()) return {};
    auto result = std::make_shared<CompressedGraph>();
    if (!build_input(result->in, kept, compressible_ref)) return {};
    result->engine = std::make_unique<compress::Engine>(std::move(result->in.engine), host_hooks());
    const compress::Engine& engine = *result->engine;
    const compress::Outcome outcome = run_without_gil([&] { return result->engine->run(); });
    if (outcome == compress::Outcome::unsupported) return {};

    // What deepcopy gives for the copy's qubit list, which the graph keeps.
    bool int_list_qubits = PyList_CheckExact(qubits.ptr());
    for (Py_ssize_t i = 0; int_list_qubits && i < PyList_GET_SIZE(qubits.ptr()); ++i)
        int_list_qubits = PyLong_CheckExact(PyList_GET_ITEM(qubits.ptr(), i));
    result->qubits_copy =
        int_list_qubits ? checked(PyList_GetSlice(qubits.ptr(), 0, PyList_GET_SIZE(qubits.ptr())))
                        : state().copy_deepcopy(qubits);
    result->first_serial = *first_serial;

    // The networkx graph is built when `dag` is first read.
    if (!set_pending_dag(self, result)) self.attr("dag") = result->build();
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
    return emit_circuit(*result, nqubits, ncbits, qubits);
}

}  // namespace corvane::bind::optimize
