// corvane.circuit._convert: the circuit model's gate-list-to-DAG builder, and
// the gate table and entry shapes that the circuit layer is made from.
#include "common/gate_entries.hpp"
#include "common/interrupt_check.hpp"

#include <cstddef>
#include <iterator>
#include <string_view>

namespace nb = nanobind;
using namespace corvane::bind;

namespace {

constexpr const char* kDoc =
    "Build the nodes and edges of a circuit's gate DAG from its gate list.\n"
    "\n"
    "Node names: the gate name, \"_\" and the entry's position in the gate list\n"
    "(\"h_0\", \"cx_1\"); with show_qubits, \"_q\" and each qubit follow\n"
    "(\"cx_1_q0_q2\"). Names are deterministic and unique, and never collide with\n"
    "the nodes the passes add, whose third field is a bracketed qubit list\n"
    "(\"x_86752_[0]\").\n"
    "\n"
    "Args:\n"
    "    nqubits (int): The circuit's qubit count (not used by the builder).\n"
    "    qubits (list): The circuit's qubit list (not used by the builder).\n"
    "    gates (list): The gate entries, in program order.\n"
    "    show_qubits (bool): Whether node names show the operation's qubits.\n"
    "\n"
    "Returns:\n"
    "    tuple: (nodes, edges): a list of (name, attributes) pairs with \"qubits\"\n"
    "    and, by gate kind, \"params\", \"cbits\" or \"duration\"; and a list of\n"
    "    (u, v, {\"qubit\": [...]}) triples, one per pair of operations that follow\n"
    "    each other on some qubits, carrying those qubits.\n";

nb::str text(std::string_view s) { return nb::str(s.data(), s.size()); }

nb::object gate_rows() {
    // Inverse's enumerators, in order.
    static constexpr const char* kInverse[] = {
        "unknown",         "self",
        "adjoint",         "negate_angle",
        "negate_and_swap", "negate_theta_keep_phi",
        "conjugate_by_z",  "irreversible",
    };
    static_assert(std::size(kInverse) ==
                  static_cast<std::size_t>(corvane::gates::Inverse::irreversible) + 1);
    nb::list rows;
    for (const corvane::gates::GateRow& row : corvane::gates::gate_rows()) {
        if (row.category == Category::none) continue;
        rows.append(nb::make_tuple(
            text(row.name), text(corvane::gates::kCategoryNames[static_cast<int>(row.category)]),
            row.nqubits, row.nparams, kInverse[static_cast<int>(row.inverse)],
            text(row.inverse_gate), text(row.label), text(row.symbols), text(row.qiskit_class),
            text(row.qiskit_name)));
    }
    return nb::tuple(rows);
}

nb::object convert(Args args) {
    const bool show_qubits = convert_bool(args[3]);
    GcPause pause;
    GateCategories categories = GateCategories::of_circuit_model();
    CircuitDag circuit = read_circuit(args[2], show_qubits, categories);

    const auto node_count = static_cast<Py_ssize_t>(circuit.size());
    nb::object nodes = checked(PyList_New(node_count));
    InterruptPoll poll;
    for (Py_ssize_t i = 0; i < node_count; ++i) {
        poll.tick();
        PyObject* pair = PyTuple_Pack(2, circuit.name(i), circuit.attributes(i));
        check(pair != nullptr);
        PyList_SET_ITEM(nodes.ptr(), i, pair);
    }
    const auto& dependency_edges = circuit.dependencies.edges;
    nb::object edges = checked(PyList_New(static_cast<Py_ssize_t>(dependency_edges.size())));
    for (size_t e = 0; e < dependency_edges.size(); ++e) {
        poll.tick();
        const auto& edge = dependency_edges[e];
        nb::object data = checked(PyDict_New());
        check(PyDict_SetItem(data.ptr(), Keys::get().qubit, circuit.edge_qubits(edge).ptr()) == 0);
        PyObject* triple =
            PyTuple_Pack(3, circuit.name(edge.source), circuit.name(edge.target), data.ptr());
        check(triple != nullptr);
        PyList_SET_ITEM(edges.ptr(), static_cast<Py_ssize_t>(e), triple);
    }
    return nb::make_tuple(nodes, edges);
}

}  // namespace

NB_MODULE(_convert, m) {
    install_interrupt_check();
    m.doc() = "Native builder of gate DAG nodes and edges for the circuit model.";
    m.attr("convert_gate_info_to_dag_info") = make_function(
        m, {
               .name = "convert_gate_info_to_dag_info",
               .doc = kDoc,
               .params = {{"nqubits"}, {"qubits"}, {"gates"}, {"show_qubits", nb::bool_(true)}},
               .annotations = {{"show_qubits", "bool"}, {"return", "tuple"}},
               .body = convert,
           });
    // The circuit layer's view of the gate table (quantumcircuit_helpers.GATE_ROWS).
    m.attr("_gate_rows") = make_function(
        m, {
               .name = "_gate_rows",
               .doc = "The rows of the gate table for the circuit model's gates and operations: "
                      "(name, category, nqubits, nparams, inverse, inverse_gate, label, symbols, "
                      "qiskit_class, qiskit_name), in table order.",
               .params = {},
               .body = [](Args) { return gate_rows(); },
           });
    // The entry-shape table the bindings read; the circuit layer's
    // ENTRY_SHAPES is made from it.
    m.attr("_entry_shapes") = make_function(
        m,
        {
            .name = "_entry_shapes",
            .doc = "The gate-entry shapes of the native bindings: key -> (size, trailing_qubits, "
                   "parameters, "
                   "qubits_item, qubits_as_tuple, cbits_item, duration_item, written_back), None "
                   "for absent items.",
            .params = {},
            .body =
                [](Args) {
                    nb::dict shapes;
                    auto place = [](int item) {
                        return item < 0 ? nb::object(nb::none()) : nb::object(nb::int_(item));
                    };
                    for (const EntryShape& shape : kEntryShapes) {
                        shapes[nb::str(shape.key.data(), shape.key.size())] = nb::make_tuple(
                            shape.size ? nb::object(nb::int_(shape.size)) : nb::object(nb::none()),
                            shape.trailing_qubits, shape.parameters, place(shape.qubits_item),
                            shape.qubits_as_tuple, place(shape.cbits_item),
                            place(shape.duration_item), shape.written_back);
                    }
                    return nb::object(shapes);
                },
        });
}
