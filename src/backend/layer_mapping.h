#pragma once

// How one mapped layer sits on the device: its components, the skip-DMA
// engines around it, where its input comes from and where its output goes, and
// the planning records its program is recorded from.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "corelib/layer.h"
#include "corelib/tensor.h"

namespace vorna {

// Where a layer's output is stored by a skip-DMA store engine.
struct SkipDmaStoreChannelInfo {
    // How many levels the data is held, or for a TNP-B layer its FIFO size + 1.
    uint8_t skip_param = 0;
    // 1 for a TNP-B layer and for a layer whose only outbound is a skip-DMA layer.
    uint8_t store_flag = 0;
    uint8_t channel = 0;
};

// What a skip-DMA load engine loads back for a layer.
struct SkipDmaLoadChannelInfo {
    // The layer's own load channel.
    uint8_t dma_channel = 0;
    // Depth difference of the two merged inputs, or for a TNP-B its FIFO size + 1.
    uint8_t skip_param = 0;
    // The store channel whose data is loaded.
    uint8_t channel = 0;
    // For a concatenation whose first input is the deeper one, that input's
    // channel count; else 0.
    uint32_t concat_offset = 0;
};

// How a merge layer combines its two inputs.
struct MergeLayerMapInfo {
    bool from_add = false;
    uint32_t load_channel = 0;
    // Add merges only: the shift of the deeper input, of the other input, and the
    // output shift of the Add layer.
    std::shared_ptr<const Dense> main_shift;
    std::shared_ptr<const Dense> skip_shift;
    std::shared_ptr<const Dense> out_shift;
    bool dual_output = false;
    uint8_t dual_output_channel = 0;
    bool not_first = true;
};

// The two first layers of parallel branches of equal depth.
struct AltLayerMapInfo {
    uint8_t is_second = 0;
    uint32_t total_nps = 0;
    uint8_t main_channel = 0;
};

using ComponentList = std::vector<hw::Component>;
using ComponentListPtr = std::shared_ptr<ComponentList>;

class LayerMapping : public Layer::Mapping {
  public:
    LayerMapping() = default;
    ~LayerMapping() override = default;

    // Index in the store list of the plain store component, or -1.
    int get_skipdma_store_index() const;
    // Index in the store list of the dual-output store component, or -1.
    int get_skipdma_store_dual_output_index() const;

    const hw::Component* skipdma_store() const;
    hw::Component* skipdma_store();
    const hw::Component* skipdma_store_dual_output() const;
    hw::Component* skipdma_store_dual_output();
    const hw::Component* skipdma_load() const;

    uint8_t channel = 0;
    uint8_t next_channel = 0;
    uint8_t input_channel = 0;
    bool p2p_input = false;
    bool output_to_dma = false;
    std::unique_ptr<MergeLayerMapInfo> merge_info;
    std::unique_ptr<SkipDmaStoreChannelInfo> skipdma_store_channel;
    std::unique_ptr<SkipDmaStoreChannelInfo> skipdma_store_dual_output_channel;
    std::unique_ptr<SkipDmaLoadChannelInfo> skipdma_load_channel;
    std::unique_ptr<AltLayerMapInfo> alt_info;
    std::unique_ptr<uint32_t> output_shift;
    // The layer has a skip-DMA store or load component and targets a TNP-B. Routing reads
    // it through skipdma_store_is_source.
    bool tnp_b_skipdma = false;
    std::vector<ComponentListPtr> inbound_components;
    std::vector<ComponentListPtr> outbound_components;
    std::vector<hw::Component> skipdma_store_components;
    std::vector<hw::Component> skipdma_load_components;
};

// The layer's mapping, or null when it has none.
LayerMapping* find_layer_mapping(const Layer& layer);
// "Layer '<name>' has no mapping."
std::string missing_mapping_text(const Layer& layer);
// "The component of layer '<name>' has no placement."
std::string missing_placement_text(const Layer& layer);

// The layer's mapping. A layer without one throws Error with missing_mapping_text: the
// engine and the v2 and mote back ends report it as a runtime error, the v1 back end as an
// invalid argument.
template <class Error = std::runtime_error>
LayerMapping& layer_mapping_of(const Layer& layer) {
    LayerMapping* mapping = find_layer_mapping(layer);
    if (mapping == nullptr) throw Error(missing_mapping_text(layer));
    return *mapping;
}

// The placement of one of the layer's components; without one, throws Error with
// missing_placement_text.
template <class Error = std::runtime_error>
const hw::Placement& placement_of(const Layer& layer, const hw::Component& component) {
    if (!component.placement) throw Error(missing_placement_text(layer));
    return *component.placement;
}

// The component of the layer on the NP `ident`; null when the layer has no mapping or no
// component there.
const hw::Component* component_on(const Layer& layer, const hw::Ident& ident);

// The layer's own components; empty when it has none.
const ComponentList& own_components(const LayerMapping& mapping);

// Whether the skip-DMA store components route among the layer's sources instead of its
// destinations. A TNP-B layer loads back the state it stored itself, so for it the store
// feeds the layer; for any other layer the store receives the layer's output.
inline bool skipdma_store_is_source(const LayerMapping& mapping) { return mapping.tnp_b_skipdma; }

// Where a layer's input comes from as the routing words see it: the components of every
// inbound component list, then the skip-DMA load components, then the skip-DMA store
// components when the store counts among the sources.
ComponentList source_components(const LayerMapping& mapping);
// Where its output goes: the components of every outbound component list, then the
// skip-DMA store components unless they count among the sources.
ComponentList destination_components(const LayerMapping& mapping);

}  // namespace vorna
