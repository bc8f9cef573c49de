#include "schedule/decoupling.hpp"
#include "common/interrupt.hpp"

#include <algorithm>
#include <cmath>
#include <span>
#include <stdexcept>

namespace corvane::schedule {

double host_floor_divide(double vx, double wx) {
    // The host's float floor division: floor of the exact quotient of vx by
    // the remainder-corrected dividend, nudged when floor() lands half an ulp
    // short.
    double mod = std::fmod(vx, wx);
    double div = (vx - mod) / wx;
    if (mod != 0.0) {
        if ((wx < 0) != (mod < 0)) div -= 1.0;
    }
    if (div != 0.0) {
        double floordiv = std::floor(div);
        if (div - floordiv > 0.5) floordiv += 1.0;
        return floordiv;
    }
    return std::copysign(0.0, vx / wx);
}

double host_round(double x) {
    double rounded = std::round(x);
    if (std::fabs(x - rounded) == 0.5) rounded = 2.0 * std::round(x / 2.0);
    return rounded;
}

namespace {

struct Train {
    double n_dd;
    double gap;
    double half;
};

// The window quantities of a train, in the host's order of operations.
// Returns false where the host raises: division by zero, int() of NaN or
// infinity, an int product too large for a float, round() of NaN or infinity.
bool train_for(double idle_time, double t1g, int length, Train& out) {
    const double period = t1g * length;
    if (period == 0.0) return false;
    const double repetitions = host_floor_divide(idle_time, period);
    if (!std::isfinite(repetitions)) return false;
    // max(int(...), 1): the floor is already integral, so int() is exact.
    const double n_dd = repetitions >= 1.0 ? repetitions : 1.0;
    // n_dd * sequence_length is an exact int on the host; turning it into a
    // float for the product with t1g fails only when it overflows.
    const double pulses = n_dd * length;
    if (!std::isfinite(pulses)) return false;
    const double units = host_round((idle_time - pulses * t1g) / length / n_dd / kGridSeconds);
    if (!std::isfinite(units)) return false;
    out.n_dd = n_dd;
    out.gap = units * kGridNs * 1e-9;
    out.half = out.gap / 2;
    return true;
}

class Walker {
  public:
    Walker(Problem& problem, const Options& options, Outcome& out)
        : p_(problem),
          o_(options),
          out_(out),
          length_(options.sequence == Sequence::xy4 ? 4 : 2),
          idle_(problem.record_size, 0.0),
          current_(problem.record_size, dag::kNone),
          synced_(problem.record_size, 0),
          stamp_(problem.record_size, dag::kNone),
          count_{static_cast<double>(problem.dag.node_capacity()), options.max_nodes} {}

    // Walks the layers; false when it stopped at a failure.
    bool walk(const dag::Generations& generations) {
        const std::size_t count = generations.size();
        for (std::size_t i = 0; i < count; ++i) {
            poll_.tick();
            const std::size_t g = o_.align_right ? count - 1 - i : i;
            if (!layer(generations.layer(g), static_cast<std::uint32_t>(i))) return false;
        }
        return true;
    }

    // The nodes of the graph and of every window the walk met.
    const NodeCount& count() const { return count_; }

  private:
    double layer_length(std::span<const dag::NodeId> nodes) const {
        LayerClass longest = LayerClass::none;
        for (dag::NodeId n : nodes) {
            LayerClass c = p_.timing[n].layer;
            if (c == LayerClass::two_qubit) return o_.t2g;
            if (c == LayerClass::one_qubit) longest = c;
        }
        return longest == LayerClass::one_qubit ? o_.t1g : 0.0;
    }

    double rest_after(dag::NodeId node, double length) const {
        switch (p_.timing[node].rest) {
            case RestClass::after_t1g:
                return length - o_.t1g;
            case RestClass::after_t2g:
                return length - o_.t2g;
            case RestClass::zero:
                break;
        }
        return 0.0;
    }

    bool layer(std::span<const dag::NodeId> nodes, std::uint32_t index) {
        const double length = layer_length(nodes);
        // Every qubit not acting in this layer waits `length` more. Those
        // additions are replayed lazily, in layer order, when the qubit acts
        // next; adding a zero length changes no value the pass looks at.
        const std::size_t first_pending = lengths_.size();
        if (length != 0.0) lengths_.push_back(length);
        for (dag::NodeId node : nodes) {
            poll_.tick();
            const std::uint32_t begin = p_.qubit_offsets[node], end = p_.qubit_offsets[node + 1];
            for (std::uint32_t k = begin; k < end; ++k) {
                const std::uint32_t q = p_.qubit_ids[k];
                if (q == kNoQubit) {
                    fail(Status::missing_qubit, node, k - begin, 0.0);
                    return false;
                }
                if (stamp_[q] == index) continue;  // named twice by one node
                stamp_[q] = index;
                double idle = idle_[q];
                for (std::size_t j = synced_[q]; j < first_pending; ++j) idle += lengths_[j];
                if (!window(q, node, k - begin, idle)) return false;
                idle_[q] = rest_after(node, length);
                current_[q] = node;
                synced_[q] = lengths_.size();
            }
        }
        return true;
    }

    bool window(std::uint32_t qubit, dag::NodeId node, std::uint32_t position, double idle) {
        const dag::NodeId pre = current_[qubit];
        if (pre == dag::kNone) {
            if (idle > 0 && count_.admit(1.0))
                open_window({node, dag::kNone, position, idle, 0.0, 0.0, 1, dag::kNone});
            return true;
        }
        if (!(idle >= o_.t1g * length_)) return true;
        if (p_.timing[node].barrier && !o_.insert_before_barrier) return true;

        // A node on three or more qubits can follow `pre` on two of them; the
        // first train already cut the edge and keeps `pre` ahead of `node`.
        if (dag::EdgeId e = p_.dag.find_edge(pre, node); e != dag::kNone) p_.dag.remove_edge(e);

        Train train{};
        if (!train_for(idle, o_.t1g, length_, train)) {
            fail(Status::arithmetic, node, position, idle);
            return false;
        }
        const double nodes = train_nodes(train.n_dd, length_, train.gap > 0);
        if (!count_.admit(nodes)) return true;
        if (nodes > kMaxTrainNodes) {
            fail(Status::too_large, node, position, idle);
            return false;
        }
        open_window({node, pre, position, train.gap, train.half, train.n_dd,
                     static_cast<std::uint32_t>(nodes), dag::kNone});
        return true;
    }

    void open_window(const Window& window) {
        out_.windows.push_back(window);
        out_.inserted_count += window.count;
    }

    void fail(Status status, dag::NodeId node, std::uint32_t position, double idle) {
        out_.status = status;
        out_.failed_node = node;
        out_.failed_position = position;
        out_.failed_idle_time = idle;
    }

    Problem& p_;
    const Options& o_;
    Outcome& out_;
    const int length_;
    std::vector<double> lengths_;       // non-zero layer lengths so far, in layer order
    std::vector<double> idle_;          // per record qubit, up to synced_
    std::vector<dag::NodeId> current_;  // per record qubit: its last node
    std::vector<std::size_t> synced_;   // per record qubit: lengths_ already added
    std::vector<std::uint32_t> stamp_;  // per record qubit: last layer that handled it
    InterruptPoll poll_;                // ticks once per layer and once per node
    NodeCount count_;
};

}  // namespace

InsertedKind inserted_kind(const Window& window, Sequence sequence, std::uint32_t index) {
    if (window.pre == dag::kNone) return InsertedKind::leading_delay;
    const std::uint32_t length = sequence == Sequence::xy4 ? 4 : 2;
    std::uint32_t repetition, pulse;
    if (window.gap > 0) {
        // h, then per repetition p d p ... p followed by d (h after the last).
        if (index == 0 || index + 1 == window.count) return InsertedKind::half_delay;
        const std::uint32_t j = index - 1;
        const std::uint32_t offset = j % (2 * length);
        if (offset % 2 == 1) return InsertedKind::gap_delay;
        repetition = j / (2 * length);
        pulse = offset / 2;
    } else {
        repetition = index / length;
        pulse = index % length;
    }
    if (sequence == Sequence::cpmg) return InsertedKind::x;
    // XY4: x y x y on even repetitions, y x y x on odd ones.
    return ((pulse % 2 == 0) == (repetition % 2 == 0)) ? InsertedKind::x : InsertedKind::y;
}

namespace {

// The layers of the changed graph, flattened, without building its chains.
// Each window's nodes form a chain: first .. last, with pre -> first appended
// to pre's successor list (after its remaining original edges, in the order
// the windows were made) and last -> node. A leading delay has no edge in.
// Chain nodes have one predecessor, so each is ready as soon as it is reached.
std::vector<dag::NodeId> changed_order(const dag::GateDag& dag, const std::vector<Window>& windows,
                                       const std::vector<std::uint32_t>& window_of,
                                       std::size_t total) {
    const std::size_t n = dag.node_capacity();
    std::vector<std::uint32_t> indegree(n, 0);
    for (dag::NodeId v = 0; v < n; ++v) indegree[v] = dag.in_degree(v);
    // Appended successors of the original nodes, in CSR form, in window order.
    std::vector<std::uint32_t> offsets(n + 1, 0);
    for (const Window& w : windows) {
        ++indegree[w.node];
        if (w.pre != dag::kNone) ++offsets[w.pre + 1];
    }
    for (std::size_t v = 0; v < n; ++v) offsets[v + 1] += offsets[v];
    std::vector<dag::NodeId> heads(offsets[n]);
    {
        std::vector<std::uint32_t> fill(offsets.begin(), offsets.end() - 1);
        for (const Window& w : windows)
            if (w.pre != dag::kNone) heads[fill[w.pre]++] = w.first;
    }

    std::vector<dag::NodeId> order;
    order.reserve(total);
    for (dag::NodeId v = 0; v < n; ++v)
        if (indegree[v] == 0) order.push_back(v);
    for (const Window& w : windows)
        if (w.pre == dag::kNone) order.push_back(w.first);
    auto reach = [&](dag::NodeId child) {
        if (child >= n || --indegree[child] == 0) order.push_back(child);
    };
    std::size_t begin = 0;
    InterruptPoll poll;
    while (begin < order.size()) {
        const std::size_t end = order.size();
        for (std::size_t i = begin; i < end; ++i) {
            poll.tick();
            const dag::NodeId u = order[i];
            if (u < n) {
                for (dag::EdgeId e = dag.first_out(u); e != dag::kNone; e = dag.next_out(e))
                    reach(dag.target(e));
                for (std::uint32_t k = offsets[u]; k < offsets[u + 1]; ++k) reach(heads[k]);
            } else {
                const Window& w = windows[window_of[u - n]];
                reach(u + 1 == w.first + w.count ? w.node : u + 1);
            }
        }
        begin = end;
    }
    return order;
}

}  // namespace

Outcome decouple(Problem problem, const Options& options) {
    Outcome out;
    // The walk reads the layers of the graph as the circuit built it; the
    // edges it cuts never change them.
    const dag::Generations generations = options.align_right
                                             ? dag::reversed_topological_generations(problem.dag)
                                             : dag::topological_generations(problem.dag);
    Walker walker(problem, options, out);
    if (!walker.walk(generations)) return out;
    if (walker.count().passed) {
        out.status = Status::over_ceiling;
        out.would_hold = walker.count().total;
        return out;
    }

    const std::size_t n = problem.dag.node_capacity();
    if (n + out.inserted_count >= dag::kNone) throw std::length_error("decoupling: too many nodes");
    out.window_of.resize(out.inserted_count);
    auto next = static_cast<dag::NodeId>(n);
    for (std::uint32_t w = 0; w < out.windows.size(); ++w) {
        Window& window = out.windows[w];
        window.first = next;
        std::fill_n(out.window_of.begin() + (next - n), window.count, w);
        next += window.count;
    }
    out.order = changed_order(problem.dag, out.windows, out.window_of, n + out.inserted_count);
    return out;
}

}  // namespace corvane::schedule
