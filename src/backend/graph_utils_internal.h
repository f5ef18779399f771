#pragma once

// Helpers shared by the graph queries and the planning functions.

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <unordered_map>
#include <vector>

#include "backend/graph_utils.h"

namespace vorna::graph_detail {

// The layer itself; a null layer is a runtime error.
const Layer& checked(const std::shared_ptr<Layer>& layer);
// The layer's neighbours; a null entry is a runtime error.
LayerList inbound(const std::shared_ptr<Layer>& layer);
LayerList outbound(const std::shared_ptr<Layer>& layer);
bool is_skip_dma(const std::shared_ptr<Layer>& layer);
bool is_mappable(const std::shared_ptr<Layer>& layer);
// Position of a layer in a list by identity, or -1.
long index_of(const LayerList& list, const std::shared_ptr<Layer>& layer);
bool contains(const LayerList& list, const std::shared_ptr<Layer>& layer);
// Depth computed with a depth map of its own (the planning scope's, in one).
uint32_t fresh_depth(const std::shared_ptr<Layer>& layer);

// While a pass is planned the graph does not change: inside a PlanningScope,
// the depth queries share one depth map and the running counts of the channel
// planning are kept per list, so that each is computed once per pass instead
// of once per query. Scopes nest; the innermost one of the thread is used.
class PlanningScope {
  public:
    PlanningScope();
    ~PlanningScope();
    PlanningScope(const PlanningScope&) = delete;
    PlanningScope& operator=(const PlanningScope&) = delete;

    DepthMap depths;

    // Number of layers of list[1 .. i] satisfying `pred`, i being the first
    // position from 1 on that holds `layer`, or the end of the list when none
    // does. `kind` names the predicate. The list is scanned at most once.
    uint32_t running_count(const LayerList& list, int kind, const std::shared_ptr<Layer>& layer,
                           const std::function<bool(const std::shared_ptr<Layer>&)>& pred);

    // first_mappable_layer(list), computed once per list.
    std::shared_ptr<Layer> first_mappable(const LayerList& list);

  private:
    struct Count {
        const LayerList* list;
        const std::shared_ptr<Layer>* data;
        size_t size;
        int kind;
        size_t scanned = 1;
        uint32_t count = 0;
        std::unordered_map<const Layer*, uint32_t> at;
    };
    struct First {
        const LayerList* list;
        const std::shared_ptr<Layer>* data;
        size_t size;
        std::shared_ptr<Layer> layer;
    };
    std::deque<Count> counts_;  // stable addresses while a count is extended
    std::vector<First> firsts_;
    PlanningScope* previous_;
};

// The thread's innermost planning scope, or null.
PlanningScope* planning_scope();

}  // namespace vorna::graph_detail
