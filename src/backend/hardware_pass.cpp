#include "backend/hardware_pass.h"

#include "backend/graph_utils_internal.h"

namespace vorna {

HardwarePass::HardwarePass(const LayerList& pass_layers, const LayerList& all_layers,
                           const ComponentsPerLayer& components, const hw::Ident& pass_ident,
                           const std::shared_ptr<HardwarePass>& previous) {
    // The graph does not change while the pass is planned.
    const graph_detail::PlanningScope scope;
    // Every layer has its mapping before the pass holds anything.
    LayerMappingBuilder::build_layer_mapping(pass_layers, all_layers, components, pass_ident);
    layers.insert(layers.end(), pass_layers.begin(), pass_layers.end());
    if (previous) {
        LayerMappingBuilder::link_to_previous_pass(first_mappable_layer(layers),
                                                   last_mappable_layer(previous->layers));
    }
}

HardwarePass::~HardwarePass() = default;

}  // namespace vorna
