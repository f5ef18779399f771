#pragma once

// Builds the LayerMapping of every layer of a hardware pass: which components
// each layer runs on, its channel number in the pass, where its input comes
// from and where its output goes, and the skip-DMA, merge and alternate-layer
// planning records. It also chains the first layer of a pass to the last
// layer of the pass before it.

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "backend/graph_utils.h"
#include "backend/hw.h"
#include "backend/layer_mapping.h"
#include "corelib/layer.h"

namespace vorna {

// One component list per layer, parallel to a list of layers.
using ComponentsPerLayer = std::vector<std::vector<hw::Component>>;

class LayerMappingBuilder {
  public:
    // Builds the mapping of one layer and attaches it, replacing any earlier
    // one. `input_ident` adds a DMA inbound endpoint (an HRC layer gets the
    // HRC endpoint instead); `output_ident` adds a DMA outbound endpoint and
    // sets output_to_dma. The layer must be a LayerImpl.
    static void map_standalone(const std::shared_ptr<Layer>& layer,
                               const std::vector<hw::Component>& components, uint8_t channel,
                               std::optional<hw::Ident> input_ident,
                               std::optional<hw::Ident> output_ident);

    // The same for every layer of a pass, choosing each layer's channel: 0 on
    // the HRC, 255 for a skip-DMA layer, else a running count that moves by 1
    // per layer that targets something (by 2 for a TNP_B layer). The pass's
    // first mappable layer receives from `pass_ident`, its last mappable layer
    // sends to it.
    static void map_standalone(const LayerList& layers, const ComponentsPerLayer& components,
                               const hw::Ident& pass_ident);

    // map_standalone over the pass, then link_layers_mapping with a fresh
    // depth map. `all_layers` is the whole layer list of the map call.
    static void build_layer_mapping(const LayerList& layers, const LayerList& all_layers,
                                    const ComponentsPerLayer& components,
                                    const hw::Ident& pass_ident);

    // update_layer_mapping for every layer of the pass that targets something
    // other than "nothing" or the skip DMA.
    static void link_layers_mapping(const LayerList& layers, const LayerList& all_layers,
                                    DepthMap* depth_map);

    // Fills the planning records of one layer, then links it to the mappable
    // layer that feeds it when that feeder's input is in this pass.
    static void update_layer_mapping(const std::shared_ptr<Layer>& layer, const LayerList& layers,
                                     const LayerList& all_layers, DepthMap* depth_map);

    // Chains the first mappable layer of a new pass to the last mappable layer
    // of the previous pass: the previous pass's output goes to the new first
    // layer's NPs on channel last.channel + 1.
    static void link_to_previous_pass(const std::shared_ptr<Layer>& first,
                                      const std::shared_ptr<Layer>& last);
};

}  // namespace vorna
