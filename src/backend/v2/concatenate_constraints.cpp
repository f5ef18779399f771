#include "backend/v2/concatenate_constraints.h"

#include <memory>
#include <set>

#include "corelib/layer.h"

namespace vorna::v2 {

MappingStatus check_concatenate_constraints(const Layer& layer) {
    MappingStatus status;

    bool cnp_follower = false;
    for (const auto& next : layer.outbound_layers()) {
        if (next && next->is_target_component(TargetComponent::CNP)) {
            cnp_follower = true;
            break;
        }
    }
    if (!cnp_follower) status += MappingStatus(layer, "Must be followed by a merge layer.");

    const auto inbound = layer.inbound_layers();
    for (const auto& in : inbound) {
        if (!in || (!in->is_target_component(TargetComponent::CNP) &&
                    !in->is_target_component(TargetComponent::SkipDMA))) {
            status += MappingStatus(layer, "Inbounds must be of types Conv, Add or Concat.");
            break;
        }
    }

    std::set<const Layer*> seen;
    for (const auto& in : inbound) {
        if (!seen.insert(in.get()).second) {
            return MappingStatus(layer, "Concatenate inbounds must come from different layers.");
        }
    }
    return status;
}

}  // namespace vorna::v2
