// A pass's `dag` attribute made on first read.
//
// A native run can finish with its final gate DAG in native form; turning it
// into a networkx graph costs more than the run itself, and most callers never
// read it. The run hands that work over instead (set_pending_dag), and the
// graph is built the first time anything reads `dag`: the attribute itself,
// the instance dict (vars(), __dict__) or the pickled state (pickle, copy).
//
// The class gets five members for it, all through the usual hooks, so the
// class namespace has no `dag` of its own and `hasattr(instance, "dag")`
// stays false until a run or a caller sets one:
//   __getattr__   builds a pending graph when normal lookup finds no `dag`;
//   __setattr__,
//   __delattr__   drop a pending graph when `dag` is assigned or deleted;
//   __getstate__  builds it before object.__getstate__ reads the dict;
//   __dict__      builds it before handing out the instance dict.
// A pending graph lives in a side table keyed by the instance and is dropped
// with it (a weak reference's callback). The pass's override guard checks that
// an instance's type still reaches exactly these members (its `attribute_hooks`
// row), so no subclass changed how `dag` and the instance dict are read or
// written.
#pragma once

#include "common/pyfunction.hpp"

#include <array>
#include <memory>
#include <utility>

namespace corvane::bind::optimize {

// The work that turns a finished native result into the graph a reader sees.
class PendingGraph {
  public:
    virtual ~PendingGraph() = default;
    virtual nb::object build() = 0;
};

// The names of the five members above.
inline constexpr std::array<const char*, 5> kPendingDagHooks = {
    "__getattr__", "__setattr__", "__delattr__", "__getstate__", "__dict__"};

// The five members above, for the namespace of class `owner` of `module`
// (kept for the life of the process), in the order of kPendingDagHooks.
// Called once.
std::array<std::pair<const char*, nb::handle>, 5> pending_dag_members(nb::handle module,
                                                                      const char* owner);

// Makes `graph` what the next read of self.dag gives: the instance's `dag`
// (built or pending) is dropped. False, with nothing changed, when the
// instance cannot be weakly referenced: the caller then sets `dag` itself.
bool set_pending_dag(nb::handle self, std::shared_ptr<PendingGraph> graph);

}  // namespace corvane::bind::optimize
