#pragma once

// Helpers shared by the graph queries and the planning functions.

#include <cstdint>
#include <memory>

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
// Depth computed with a depth map of its own.
uint32_t fresh_depth(const std::shared_ptr<Layer>& layer);

}  // namespace vorna::graph_detail
