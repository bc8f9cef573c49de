// corvane.circuit.dag: what the parts of the module share. module.cpp holds
// the docstrings and the module set-up; to_dag.cpp builds a circuit's gate DAG
// (qc2dag); to_circuit.cpp reads a DAG back into a circuit (dag2qc);
// coupling.cpp the qubit coupling graph, its parts and the drawings.
#pragma once

#include "common/pyfunction.hpp"

namespace corvane::bind::dag_module {

namespace nb = nanobind;

// What the module bound at import; lives for the life of the process.
struct ModuleState {
    PyObject* module = nullptr;          // for its globals, which users may rebind
    PyObject* native_convert = nullptr;  // _convert's builder, which qc2dag replaces with its own
};
inline ModuleState& state() {
    static ModuleState s;
    return s;
}
inline nb::handle this_module() { return state().module; }

nb::object qc2dag(Args args);
nb::object dag2qc(Args args);
nb::object get_qcgraph_edges(Args args);
nb::object qc2graph(Args args);
nb::object split_qubits(Args args);
nb::object draw_graph(Args args);
nb::object dag_agraph(Args args);
nb::object draw_dag(Args args);

}  // namespace corvane::bind::dag_module
