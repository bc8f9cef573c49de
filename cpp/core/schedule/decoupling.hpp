// The dynamical-decoupling engine: lays a gate DAG out in layers, measures how
// long every qubit waits between two of its operations, and splices XY4 or
// CPMG pulse trains (and leading delays) into the graph.
//
// All arithmetic reproduces the host interpreter's float semantics bit for
// bit (floor division, one-argument round, the order of every operation), so
// the inserted durations equal those the same pass computes on host floats.
// Errors the host would raise are not raised here: the engine stops and says
// where and why, and the caller re-raises them in the host's own words.
#pragma once

#include "dag/gate_dag.hpp"

#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

namespace corvane::schedule {

// ---- host float semantics -----------------------------------------------------

// `vx // wx` on host floats; wx must not be zero (the host raises there).
double host_floor_divide(double vx, double wx);
// One-argument round() of a host float, before its conversion to an int:
// half to even. The conversion fails for NaN and infinities.
double host_round(double x);
// The grid step of the gaps between pulses, 0.1 ns, as the host computes it.
inline constexpr double kGridNs = 0.1;
inline constexpr double kGridSeconds = kGridNs * 1e-9;  // 1.0000000000000002e-10

// ---- problem ------------------------------------------------------------------

enum class Sequence : std::uint8_t { xy4, cpmg };

// How long the layer that holds a node lasts, from the node's gate alone.
enum class LayerClass : std::uint8_t { none, one_qubit, two_qubit };
// What the node leaves of its layer on its qubits: 0, or the layer length
// minus t1g or t2g.
enum class RestClass : std::uint8_t { zero, after_t1g, after_t2g };

struct NodeTiming {
    LayerClass layer = LayerClass::none;
    RestClass rest = RestClass::zero;
    bool barrier = false;  // gate name "barrier": no train in front of it unless asked
};

struct Options {
    double t1g = 0.0;
    double t2g = 0.0;
    Sequence sequence = Sequence::xy4;
    bool align_right = true;
    bool insert_before_barrier = false;
    // The most nodes the changed graph may hold, its own nodes included.
    double max_nodes = std::numeric_limits<double>::infinity();
};

// Qubit ids index the idle record (the circuit's qubit list); kNoQubit marks a
// qubit the record does not hold.
inline constexpr std::uint32_t kNoQubit = dag::kNone;

struct Problem {
    // The circuit's gate DAG; ids 0..n-1 are its nodes in node order. The
    // engine layers it as it is, then inserts into it.
    dag::GateDag dag;
    std::vector<NodeTiming> timing;            // per node
    std::vector<std::uint32_t> qubit_offsets;  // node i: qubit_ids[offsets[i] .. offsets[i+1])
    std::vector<std::uint32_t> qubit_ids;      // record ids in the node's own order
    std::uint32_t record_size = 0;
};

// The most nodes one train may hold. A window far longer than its pulses
// (t1g tiny against the idle time) would otherwise ask for more nodes than
// memory holds; such a train is refused as out of memory before any of its
// serials is drawn.
inline constexpr double kMaxTrainNodes = double(1u << 30);

// The number of nodes of a train of n_dd repetitions.
inline double train_nodes(double n_dd, int sequence_length, bool gaps) {
    return gaps ? 2.0 * sequence_length * n_dd + 1.0 : sequence_length * n_dd;
}

// The nodes of the changed graph, counted window by window against
// Options::max_nodes. Once the count passes the ceiling, windows are counted
// and no longer made, so the refusal can say how many nodes there would be.
struct NodeCount {
    double total;    // the graph's own nodes and those of every window counted
    double ceiling;  // Options::max_nodes
    bool passed = false;
    // Counts a window's nodes; false once the count has passed the ceiling.
    bool admit(double nodes) {
        total += nodes;
        passed = passed || total > ceiling;
        return !passed;
    }
};

// ---- outcome ------------------------------------------------------------------

enum class InsertedKind : std::uint8_t { x, y, gap_delay, half_delay, leading_delay };

// One leading delay or one pulse train, in the order they were made. Its
// nodes are consecutive: ids first .. first + count - 1, in time order.
struct Window {
    dag::NodeId node;        // the operation the window ends at
    dag::NodeId pre;         // the qubit's previous operation (kNone: leading delay)
    std::uint32_t position;  // position, in that node's qubit list, of the qubit
    double gap;              // tgap, or the length of a leading delay
    double half;             // tgap / 2
    double n_dd;             // repetitions of a train
    std::uint32_t count;     // nodes of the window
    dag::NodeId first;       // id of its first node (set once the walk is done)
};

// The kind of the node at `index` (from 0) of a window's nodes.
InsertedKind inserted_kind(const Window& window, Sequence sequence, std::uint32_t index);

enum class Status : std::uint8_t {
    ok,
    missing_qubit,  // a node acts on a qubit the record does not hold
    arithmetic,     // the host's arithmetic fails on a window's numbers
    too_large,      // a train would exceed kMaxTrainNodes
    over_ceiling,   // the changed graph would hold more than Options::max_nodes nodes
};

struct Outcome {
    Status status = Status::ok;
    // Where the walk stopped (status != ok): the node and qubit position; for
    // arithmetic, the window's idle time (the numbers that fail are derived
    // from it, t1g and the sequence length alone).
    dag::NodeId failed_node = dag::kNone;
    std::uint32_t failed_position = 0;
    double failed_idle_time = 0.0;
    // over_ceiling: the nodes the changed graph would hold. Every window is
    // counted, but none is made once the count passes the ceiling.
    double would_hold = 0.0;

    // Windows in the order they were made, also those made before a failure
    // (their serials are spent). Inserted node ids follow the original nodes
    // in that order; serial = first serial + (id - original count).
    std::vector<Window> windows;
    std::size_t inserted_count = 0;

    // status == ok: per inserted node, its window; and the topological order
    // of the changed graph, as networkx's topological_sort yields it
    // (generations flattened).
    std::vector<std::uint32_t> window_of;
    std::vector<dag::NodeId> order;

    std::size_t inserted() const { return inserted_count; }
};

Outcome decouple(Problem problem, const Options& options);

}  // namespace corvane::schedule
