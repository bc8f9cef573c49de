// corvane.circuit.schedule: the docstrings of DynamicalDecoupling, the table
// of what its native path depends on, the run that chooses between the paths,
// and the module's set-up.
//
// `run` has two paths to one result. The generic path (generic.cpp) performs
// the pass on the host's objects, call by call, so every override a user
// makes is honoured. When the override guard finds nothing the pass calls
// replaced and the numbers are plain floats, the native path (native.cpp)
// runs the whole walk on a core graph and builds the output gate list
// directly; the two paths give equal gate lists and leave `_count` equal.
#include "schedule/pass.hpp"
#include "common/digraph.hpp"

namespace corvane::bind::schedule {

namespace {

constexpr const char* kModuleDoc =
    "Dynamical decoupling: fills the idle windows of a circuit's qubits with XY4 or CPMG pulse "
    "trains separated by delays.";

constexpr const char* kClassDoc =
    "A toolkit for applying dynamical decoupling (DD) sequences to quantum circuits.\n"
    "\n"
    "Args:\n"
    "    t1g (float): Duration of every one-qubit gate, in seconds.\n"
    "    t2g (float): Duration of every two-qubit gate, in seconds.\n"
    "    max_entries (int | None): Keyword only: the most entries a result may hold\n"
    "        (None: corvane.circuit.limits.MAX_ENTRIES).\n";

constexpr const char* kInitDoc =
    "Store the gate durations and start the serial counter.\n"
    "\n"
    "Args:\n"
    "    t1g (float): Duration of every one-qubit gate, in seconds.\n"
    "    t2g (float): Duration of every two-qubit gate, in seconds.\n"
    "    max_entries (int | None): The most entries a result may hold; a run that would\n"
    "        produce more raises LimitExceeded before building anything. None:\n"
    "        corvane.circuit.limits.MAX_ENTRIES.\n"
    "\n"
    "Returns:\n"
    "    None\n";

constexpr const char* kCounterDoc =
    "Increment and return the internal counter.\n"
    "\n"
    "Returns:\n"
    "    int: The new value of the counter, the serial number of the next inserted node.\n";

constexpr const char* kMaxIdleDoc =
    "Determine the maximum idle time for the current layer of nodes.\n"
    "\n"
    "Args:\n"
    "    nodes (list): The node names of one layer (generation) of the gate DAG.\n"
    "\n"
    "Returns:\n"
    "    float: The length of the layer: t2g if it holds a two-qubit gate, else t1g if it holds\n"
    "    a one-qubit gate, else 0.\n";

constexpr const char* kUpdateIdleDoc =
    "Update idle time for a qubit after executing a given node.\n"
    "\n"
    "Args:\n"
    "    node (str): The node name of the operation.\n"
    "    max_idle_time (float): The length of the layer that holds the node.\n"
    "\n"
    "Returns:\n"
    "    float: The time the node's qubits still wait in that layer after the node has finished.\n";

constexpr const char* kRunDoc =
    "Insert dynamical decoupling sequences into the given quantum circuit.\n"
    "\n"
    "Args:\n"
    "    qc (QuantumCircuit): Input quantum circuit.\n"
    "    sequence (Literal['XY4', 'CPMG']): Type of DD sequence to apply. Defaults to 'XY4'.\n"
    "    align_right (bool): If True, traverse the circuit in reverse topological order to "
    "calculate idle regions. Defaults to True.\n"
    "    insert_before_barrier (bool): If True, allows inserting DD sequences before barriers. "
    "Defaults to False.\n"
    "\n"
    "Returns:\n"
    "    QuantumCircuit: A new quantum circuit with inserted dynamical decoupling sequences.\n";

constexpr const char* kDagModule = "corvane.circuit.dag";

// What the generic path of `run` looks up, and so what the native path
// assumes is as this module bound it.
PassDependencies pass_dependencies() {
    PassDependencies d;
    d.methods = {"counter", "_get_max_idle_time", "_update_idle_time"};
    d.globals = {
        {nullptr, "qc2dag"},
        {nullptr, "dag2qc"},
        {nullptr, "copy"},
        first_use_dependency(nullptr, kNetworkxGlobal),
        {kDagModule, "convert_gate_info_to_dag_info", nullptr, "corvane.circuit._convert"},
        first_use_dependency(kDagModule, kNetworkxGlobal),
        {nullptr, "copy", "deepcopy"},
        first_use_dependency(nullptr, kNetworkxGlobal, "topological_generations",
                             "networkx.algorithms.dag"),
        first_use_dependency(nullptr, kNetworkxGlobal, "DiGraph", kDiGraphModule),
    };
    d.circuit_module = "corvane.circuit.quantumcircuit";
    d.circuit_class = "QuantumCircuit";
    using Of = ExactTypeDependency::Of;
    d.exact_types = {
        {Of::pass, "t1g", &PyFloat_Type},      {Of::pass, "t2g", &PyFloat_Type},
        {Of::pass, "_count", &PyLong_Type},    {Of::circuit, "nqubits", &PyLong_Type},
        {Of::circuit, "ncbits", &PyLong_Type},
    };
    return d;
}

// `sequence_length` for the sequence name, or the pass's own ValueError.
int sequence_length(PyObject* sequence) {
    const Names& n = Names::get();
    if (truth(compare(sequence, n.xy4, Py_EQ))) return 4;
    if (truth(compare(sequence, n.cpmg, Py_EQ))) return 2;
    nb::object text = checked(PyObject_Format(sequence, n.empty));
    PyErr_Format(PyExc_ValueError, "Sequence %U is not support now!", text.ptr());
    throw nb::python_error();
}

nb::object run(Args args) {
    nb::handle self = args[0], qc = args[1];
    const bool align_right = convert_bool(args[3]);
    const bool insert_before_barrier = convert_bool(args[4]);
    const int length = sequence_length(args[2]);
    const double max_nodes = entry_ceiling(self);
    if (state().guard->allows(self, qc))
        return run_native(self, qc, length, align_right, insert_before_barrier, max_nodes);
    return run_generic(self, qc, length, align_right, insert_before_barrier, max_nodes);
}

}  // namespace

}  // namespace corvane::bind::schedule

using namespace corvane::bind;
using namespace corvane::bind::schedule;

NB_MODULE(schedule, m) {
    install_interrupt_check();
    m.doc() = kModuleDoc;
    ModuleState& s = state();
    s.module = nb::borrow(m);
    nb::module_ copy = nb::module_::import_("copy");
    nb::module_ dag_module = nb::module_::import_(kDagModule);
    nb::module_ helpers = nb::module_::import_("corvane.circuit.quantumcircuit_helpers");
    m.attr("copy") = copy;
    bind_on_first_use(m, {kNetworkxGlobal});
    nb::object base = nb::module_::import_("corvane.circuit.stratum").attr("TranspilerPass");
    m.attr("TranspilerPass") = base;
    m.attr("qc2dag") = dag_module.attr("qc2dag");
    m.attr("dag2qc") = dag_module.attr("dag2qc");
    for (const char* name : {kOneQubit, kTwoQubit, kOneQubitParameter, kTwoQubitParameter})
        m.attr(name) = helpers.attr(name);
    m.attr("Literal") = nb::module_::import_("typing").attr("Literal");
    s.dag_module = dag_module;
    s.round = nb::module_::import_("builtins").attr("round");
    s.limits = nb::module_::import_("corvane.circuit.limits");

    auto method = [&](const char* name) { return method_qualname("DynamicalDecoupling", name); };
    nb::object init_fn = make_function(
        m, {
               .name = "__init__",
               .qualname = method("__init__"),
               .doc = kInitDoc,
               .params = {{"self"}, {"t1g"}, {"t2g"}, {"max_entries", nb::none(), true}},
               .body = init,
           });
    nb::object counter_fn = make_function(m, {
                                                 .name = "counter",
                                                 .qualname = method("counter"),
                                                 .doc = kCounterDoc,
                                                 .params = {{"self"}},
                                                 .body = counter,
                                             });
    nb::object max_fn = make_function(m, {
                                             .name = "_get_max_idle_time",
                                             .qualname = method("_get_max_idle_time"),
                                             .doc = kMaxIdleDoc,
                                             .params = {{"self"}, {"nodes"}},
                                             .body = get_max_idle_time,
                                         });
    nb::object update_fn = make_function(m, {
                                                .name = "_update_idle_time",
                                                .qualname = method("_update_idle_time"),
                                                .doc = kUpdateIdleDoc,
                                                .params = {{"self"}, {"node"}, {"max_idle_time"}},
                                                .body = update_idle_time,
                                            });
    nb::object run_fn =
        make_function(m, {
                             .name = "run",
                             .qualname = method("run"),
                             .doc = kRunDoc,
                             .params = {{"self"},
                                        {"qc"},
                                        {"sequence", nb::str("XY4")},
                                        {"align_right", nb::bool_(true)},
                                        {"insert_before_barrier", nb::bool_(false)}},
                             .annotations = {{"sequence", "Literal['XY4', 'CPMG']"},
                                             {"align_right", "bool"},
                                             {"insert_before_barrier", "bool"}},
                             .body = run,
                         });
    nb::object metaclass = nb::borrow(reinterpret_cast<PyObject*>(Py_TYPE(base.ptr())));
    nb::object cls =
        make_class(metaclass, m, "DynamicalDecoupling", nb::make_tuple(base), kClassDoc,
                   {{"__init__", init_fn},
                    {"counter", counter_fn},
                    {"_get_max_idle_time", max_fn},
                    {"_update_idle_time", update_fn},
                    {"run", run_fn}});
    m.attr("DynamicalDecoupling") = cls;
    // The guard keeps its own references to the methods, so its identity
    // tests never compare with freed objects.
    s.guard = std::make_unique<OverrideGuard>(m, cls, pass_dependencies());
}
