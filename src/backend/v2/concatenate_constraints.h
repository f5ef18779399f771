#pragma once

// Whether a Concatenate layer's neighbours let the concatenation happen in
// the merge layer that follows it (a Concatenate has no NP of its own).

#include "backend/mapping_status.h"

namespace vorna {

class Layer;

namespace v2 {

// A CNP follower, inbound layers on CNPs or skip DMAs, and no inbound layer
// given twice (that failure replaces every other).
MappingStatus check_concatenate_constraints(const Layer& layer);

}  // namespace v2
}  // namespace vorna
