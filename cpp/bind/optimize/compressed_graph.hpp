// The outcome of a native compression run, kept in native form until its gate
// DAG is read.
#pragma once

#include "common/gate_entries.hpp"
#include "dag/gate_dag.hpp"
#include "optimize/pass.hpp"
#include "optimize/pending_dag.hpp"

#include <memory>
#include <vector>

namespace corvane::bind::optimize {

namespace dag = corvane::dag;

// The circuit as the native path read it, and the engine's input made of it.
struct NativeInput {
    CircuitDag circuit;
    compress::Circuit engine;
    std::vector<nb::object> kind_names;  // gate name of each engine kind
};

// The final graph of a run: build() turns it into the networkx graph the
// generic path would have left in `dag`, node for node and edge for edge.
class CompressedGraph final : public PendingGraph {
  public:
    NativeInput in;
    std::unique_ptr<compress::Engine> engine;
    nb::object qubits_copy;      // the graph's "qubits"
    long long first_serial = 0;  // `_idx` before the run

    nb::object build() override;
    // The merged parameters of fused node `n` as a list, made on first use:
    // the node's entry in the output circuit and its "params" in the graph
    // hold the same number objects.
    PyObject* fused_params(dag::NodeId n);

  private:
    std::vector<nb::object> fused_params_;  // by node id - original count
};

}  // namespace corvane::bind::optimize
