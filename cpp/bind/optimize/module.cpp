// corvane.circuit.optimize: the docstrings of GateCompressor, the table of
// what its native path depends on, the run that chooses between the paths,
// and the module's set-up.
//
// Every method has a generic body (generic.cpp) that works on whatever graph
// is in self.dag through networkx's own methods, with the host's arithmetic
// and lookups, so each can be called on its own and a subclass may override
// any of them. `run` first asks the override guard whether everything a user
// can change is still as this module made it; if so the whole pass runs on
// the native path (native.cpp) and the graph and circuit it leaves are built
// directly, indistinguishable from what the generic path would leave.
#include "optimize/pass.hpp"

#include "common/digraph.hpp"
#include "common/gate_entries.hpp"
#include "optimize/pending_dag.hpp"

#include <string>
#include <vector>

namespace corvane::bind::optimize {

namespace {

constexpr const char* kModuleDoc =
    "This module contains the `GateCompressor` class, which is designed to optimize quantum "
    "circuits by merging or compressing adjacent gates, reducing the number of gates in the "
    "circuit.";

constexpr const char* kClassDoc =
    "A transpiler pass that merges or compresses adjacent gates in a quantum circuit.\n"
    "\n"
    "Args:\n"
    "    TranspilerPass: The base class that provides the structure for the transpiler pass.\n";

constexpr const char* kInitDoc =
    "Initialize the pass with the default list of compressible gates and the serial counter.\n"
    "\n"
    "Args:\n"
    "    None\n"
    "\n"
    "Returns:\n"
    "    None\n";

constexpr const char* kRemoveIdentityDoc =
    "Remove gates equivalent to the identity operation from a quantum circuit.\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): The quantum circuit to process, containing a list of gates that may "
    "include\n"
    "        single- or two-qubit identity-equivalent operations.\n"
    "\n"
    "Returns:\n"
    "    QuantumCircuit: A new quantum circuit with identity-equivalent gates removed.\n";

constexpr const char* kIsAdjacentDoc =
    "Check if two gates are adjacent and can be merged in a quantum circuit.\n"
    "\n"
    "Args:\n"
    "    node1 (str): The name of the first node in the DAG.\n"
    "    node2 (str): The name of the second node in the DAG.\n"
    "\n"
    "Returns:\n"
    "    bool: True if the two gates have the same name, the name is compressible, they act on "
    "the\n"
    "        same qubits and follow each other with no other operation between them (two r gates\n"
    "        also need the same phi), False otherwise.\n";

constexpr const char* kHasAdjacentDoc =
    "Check if there exist adjacent and mergeable gates in the DAG representation of the quantum "
    "circuit.\n"
    "\n"
    "Args:\n"
    "    None\n"
    "\n"
    "Returns:\n"
    "    bool: True if some edge of the DAG joins two mergeable gates, False otherwise.\n";

#define CORVANE_RULE_RETURNS                                                                   \
    "\n"                                                                                       \
    "Returns:\n"                                                                               \
    "    tuple: (nodes_remove, nodes_added, edges_added), three lists:\n"                      \
    "        nodes_remove (list): The nodes to remove, [node1, node2].\n"                      \
    "        nodes_added (list): The nodes to add, as (name, attributes) pairs.\n"             \
    "        edges_added (list): The edges to add or update, as (source, target, {\"qubit\": " \
    "qubits})\n"                                                                               \
    "            triples.\n"

#define CORVANE_RULE_DOC(first_line, type) \
    first_line                             \
        "\n"                               \
        "\n"                               \
        "Args:\n"                          \
        "    node1" type                   \
        ": The first node on the edge.\n"  \
        "    node2" type ": The second node on the edge.\n" CORVANE_RULE_RETURNS

constexpr const char* kSingleDoc = CORVANE_RULE_DOC(
    "Compress two adjacent single-qubit gates in a dag by removing them and updating connections.",
    " (str)");
constexpr const char* kSingleParamDoc = CORVANE_RULE_DOC(
    "Compress two adjacent single-qubit parameter gates in a dag by removing them and updating "
    "connections.",
    " (str)");
constexpr const char* kTwoDoc = CORVANE_RULE_DOC(
    "Compress two adjacent two-qubit gates in a dag by removing them and updating connections.",
    " (str)");
constexpr const char* kTwoParamDoc = CORVANE_RULE_DOC(
    "Compress two adjacent two-qubit parameter gates in a dag by removing them and updating "
    "connections.",
    " (str)");
constexpr const char* kThreeDoc = CORVANE_RULE_DOC(
    "Compress two adjacent three-qubit gates in a dag by removing them and updating connections.",
    "");

constexpr const char* kRunOnceDoc =
    "Compress two adjacent gates.\n"
    "\n"
    "Args:\n"
    "    node1 (str): The first node on the edge.\n"
    "    node2 (str): The second node on the edge.\n"
    "\n"
    "Returns:\n"
    "    tuple: (nodes_remove, nodes_added, edges_added), three lists:\n"
    "        nodes_remove (list): The nodes to remove, [node1, node2].\n"
    "        nodes_added (list): The nodes to add, as (name, attributes) pairs.\n"
    "        edges_added (list): The edges to add or update, as (source, target, {\"qubit\": "
    "qubits})\n"
    "            triples.\n"
    "    None if the gate belongs to none of the gate categories.\n";

constexpr const char* kIdxDoc =
    "Draw the next serial number for the name of a node that a merge creates.\n"
    "\n"
    "Args:\n"
    "    None\n"
    "\n"
    "Returns:\n"
    "    int: The counter after it has been advanced by one.\n";

constexpr const char* kRunDoc =
    "Merges or compresses adjacent gates in a quantum circuit.\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): The input quantum circuit to be optimized.\n"
    "\n"
    "Returns:\n"
    "    QuantumCircuit: A new quantum circuit with merged or compressed gates.\n";

// The category mappings the module binds, in the order it binds them.
constexpr const char* kCategoryGlobals[5] = {
    "one_qubit_gates_available", "two_qubit_gates_available", "one_qubit_parameter_gates_available",
    "two_qubit_parameter_gates_available", "three_qubit_gates_available"};

constexpr const char* kCircuitModel = "corvane.circuit.quantumcircuit";
constexpr const char* kHelpers = "corvane.circuit.quantumcircuit_helpers";
constexpr const char* kDagModule = "corvane.circuit.dag";

// numpy's allclose and eye, reached through this module's np: the identity
// test of remove_identity_gates computes in the core while they are numpy's own.
std::vector<GlobalDependency> numpy_dependencies() {
    return {{nullptr, "np"}, {nullptr, "np", "allclose"}, {nullptr, "np", "eye"}};
}

// What the generic path of `run` looks up, and so what the native path
// assumes is as this module bound it.
PassDependencies pass_dependencies() {
    PassDependencies d;
    d.methods = {"remove_identity_gates",
                 "is_adjacent_gates",
                 "has_adjacent_gates",
                 "compress_adjacent_single_qubit_gates",
                 "compress_adjacent_single_parameter_qubit_gates",
                 "compress_adjacent_two_qubit_gates",
                 "compress_adjacent_two_qubit_parameter_gates",
                 "compress_adjacent_three_qubit_gates",
                 "run_compress_once",
                 "idx"};
    d.instance_state = {"dag", "_idx", "compressible_gates"};
    d.plain_instance = true;
    d.attribute_hooks.assign(kPendingDagHooks.begin(), kPendingDagHooks.end());
    d.globals = {
        {nullptr, "qc2dag"},
        {nullptr, "dag2qc"},
        {nullptr, "u3_decompose"},
        {nullptr, "u_mat"},
        {nullptr, "gate_matrix_dict", nullptr, nullptr, /*entries_kept=*/true},
    };
    for (GlobalDependency& row : numpy_dependencies()) d.globals.push_back(row);
    d.globals.push_back(
        {kDagModule, "convert_gate_info_to_dag_info", nullptr, "corvane.circuit._convert"});
    d.globals.push_back(first_use_dependency(kDagModule, kNetworkxGlobal));
    d.globals.push_back({kDagModule, "QuantumCircuit", nullptr, kCircuitModel});
    d.globals.push_back(
        first_use_dependency(kDagModule, kNetworkxGlobal, "DiGraph", kDiGraphModule));
    for (const char* name : kCategoryGlobals)
        d.shared.push_back({name, {nullptr, kHelpers, kDagModule}, /*exact_dict=*/true});
    d.shared.push_back({"functional_gates_available", {kHelpers, kDagModule}});
    d.circuit_module = kCircuitModel;
    d.circuit_class = "QuantumCircuit";
    d.circuit_methods = {"deepcopy"};
    return d;
}

nb::object run(Args a) {
    // Checked before either path reads the entries, so that a qubit outside the
    // circuit is named before any later entry's own error, on both paths alike.
    check_entry_qubits(a[1]);
    nb::object result = run_native(a[0], a[1]);
    if (result.is_valid()) return result;
    return run_generic(a[0], a[1]);
}

}  // namespace

}  // namespace corvane::bind::optimize

using namespace corvane::bind;
using namespace corvane::bind::optimize;

NB_MODULE(optimize, m) {
    install_interrupt_check();
    prepare_native_path();
    m.doc() = kModuleDoc;
    ModuleState& s = state();
    s.module = nb::borrow(m);
    m.attr("re") = nb::module_::import_("re");
    nb::module_ numpy = nb::module_::import_("numpy");
    m.attr("np") = numpy;
    nb::module_ qc_module = nb::module_::import_(kCircuitModel);
    m.attr("QuantumCircuit") = qc_module.attr("QuantumCircuit");
    for (const char* name : kCategoryGlobals) m.attr(name) = qc_module.attr(name);
    nb::module_ dag_module = nb::module_::import_(kDagModule);
    m.attr("qc2dag") = dag_module.attr("qc2dag");
    m.attr("dag2qc") = dag_module.attr("dag2qc");
    m.attr("u3_decompose") = nb::module_::import_("corvane.circuit.decompose").attr("u3_decompose");
    nb::module_ matrix = nb::module_::import_("corvane.circuit.matrix");
    m.attr("u_mat") = matrix.attr("u_mat");
    m.attr("gate_matrix_dict") = matrix.attr("gate_matrix_dict");
    nb::object base = nb::module_::import_("corvane.circuit.stratum").attr("TranspilerPass");
    m.attr("TranspilerPass") = base;

    s.quantum_circuit = m.attr("QuantumCircuit");
    s.u3_decompose = m.attr("u3_decompose");
    PyObject* table = m.attr("gate_matrix_dict").ptr();
    Py_ssize_t pos = 0;
    PyObject *name, *function;
    while (PyDict_Next(table, &pos, &name, &function)) {
        const compress::MatrixKind kind = PyUnicode_Check(name)
                                              ? compress::matrix_kind_of(utf8_of(name))
                                              : compress::MatrixKind::none;
        if (kind != compress::MatrixKind::none) s.matrix_functions.emplace(function, kind);
    }
    s.copy_deepcopy = nb::module_::import_("copy").attr("deepcopy");
    s.dag_module = dag_module;
    s.key_qubits = interned("qubits");
    s.key_params = interned("params");
    s.key_qubit = interned("qubit");
    s.key_idx = interned("_idx");
    s.key_compressible = interned("compressible_gates");
    s.empty_str = interned("");
    s.r_str = interned("r");
    s.underscore = interned("_");
    const char* cls = "GateCompressor";
    auto method = [&](const char* name, const char* doc, std::vector<Param> params,
                      std::vector<std::pair<const char*, const char*>> annotations, Body body) {
        return make_function(m, {.name = name,
                                 .qualname = method_qualname(cls, name),
                                 .doc = doc,
                                 .params = std::move(params),
                                 .annotations = std::move(annotations),
                                 .body = std::move(body)});
    };
    const std::vector<std::pair<const char*, const char*>> str_pair = {{"node1", "str"},
                                                                       {"node2", "str"}};
    const std::vector<std::pair<const char*, const char*>> qc_ann = {{"qc", "QuantumCircuit"}};
    nb::object init_fn = method("__init__", kInitDoc, {{"self"}}, {}, init);
    nb::object remove = method("remove_identity_gates", kRemoveIdentityDoc, {{"self"}, {"qc"}},
                               qc_ann, remove_identity_gates);
    nb::object is_adj = method("is_adjacent_gates", kIsAdjacentDoc,
                               {{"self"}, {"node1"}, {"node2"}}, str_pair, is_adjacent_gates);
    nb::object has_adj =
        method("has_adjacent_gates", kHasAdjacentDoc, {{"self"}}, {}, has_adjacent_gates);
    nb::object single = method("compress_adjacent_single_qubit_gates", kSingleDoc,
                               {{"self"}, {"node1"}, {"node2"}}, str_pair, compress_single);
    nb::object single_param =
        method("compress_adjacent_single_parameter_qubit_gates", kSingleParamDoc,
               {{"self"}, {"node1"}, {"node2"}}, str_pair, compress_single_parameter);
    nb::object two = method("compress_adjacent_two_qubit_gates", kTwoDoc,
                            {{"self"}, {"node1"}, {"node2"}}, str_pair, compress_two);
    nb::object two_param =
        method("compress_adjacent_two_qubit_parameter_gates", kTwoParamDoc,
               {{"self"}, {"node1"}, {"node2"}}, str_pair, compress_two_parameter);
    nb::object three = method("compress_adjacent_three_qubit_gates", kThreeDoc,
                              {{"self"}, {"node1"}, {"node2"}}, {}, compress_three);
    nb::object once = method("run_compress_once", kRunOnceDoc, {{"self"}, {"node1"}, {"node2"}},
                             str_pair, run_compress_once);
    nb::object idx_getter = method("idx", kIdxDoc, {{"self"}}, {}, idx);
    nb::object idx_fn = checked(
        PyObject_CallOneArg(reinterpret_cast<PyObject*>(&PyProperty_Type), idx_getter.ptr()));
    nb::object run_fn = method("run", kRunDoc, {{"self"}, {"qc"}}, qc_ann, run);

    // At class creation: type() sets the attribute slots from the namespace.
    const auto dag_members = pending_dag_members(m, cls);
    nb::object metaclass = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
    nb::object klass = make_class(metaclass, m, cls, nb::make_tuple(base), kClassDoc,
                                  {{"__init__", init_fn},
                                   {"remove_identity_gates", remove},
                                   {"is_adjacent_gates", is_adj},
                                   {"has_adjacent_gates", has_adj},
                                   {"compress_adjacent_single_qubit_gates", single},
                                   {"compress_adjacent_single_parameter_qubit_gates", single_param},
                                   {"compress_adjacent_two_qubit_gates", two},
                                   {"compress_adjacent_two_qubit_parameter_gates", two_param},
                                   {"compress_adjacent_three_qubit_gates", three},
                                   {"run_compress_once", once},
                                   {"idx", idx_fn},
                                   {"run", run_fn},
                                   dag_members[0],
                                   dag_members[1],
                                   dag_members[2],
                                   dag_members[3],
                                   dag_members[4]});
    m.attr("GateCompressor") = klass;
    s.pass_class = klass;
    s.guard = std::make_unique<OverrideGuard>(m, klass, pass_dependencies());
    PassDependencies numpy_only;
    numpy_only.globals = numpy_dependencies();
    s.numpy_guard = std::make_unique<OverrideGuard>(m, klass, std::move(numpy_only));
}
