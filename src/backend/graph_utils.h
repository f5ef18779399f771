#pragma once

// Queries on the layer graph used by the mapping engine: depths and branches,
// navigation between mappable layers, the skip / merge / dual-output
// classification, and the planning of skip-DMA channels, merges and alternate
// layers.
//
// Vocabulary:
//  - a skip-DMA layer is a layer that targets the skip DMA (an Add or a
//    Concatenate): it has no NPs of its own;
//  - a mappable layer targets neither "no component" nor the skip DMA.
// Layers are compared by identity (the address the shared pointer holds).
// A null entry in a layer's inbound or outbound list is a runtime error.

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "backend/layer_mapping.h"
#include "corelib/layer.h"
#include "export.h"

namespace vorna {

using LayerList = std::vector<std::shared_ptr<Layer>>;
// Depth memo: layer (by identity) to depth. Valid while the graph is unchanged.
using DepthMap = std::unordered_map<std::shared_ptr<Layer>, uint32_t>;
// (main branch, skip branch).
using BranchPair = std::pair<LayerList, LayerList>;

// --- Depth and branches -----------------------------------------------------

// 1 for a layer without inbound layers (not recorded in the map); otherwise
// the deepest input's depth, plus 1 unless the layer is a skip-DMA layer.
VORNA_EXPORT uint32_t get_layer_depth(const std::shared_ptr<Layer>& layer, DepthMap* depth_map);
// Stable ascending sort by depth; a layer without inbound layers counts as 0.
VORNA_EXPORT void sort_by_depth(LayerList* layers);
// The shallowest layer of `a` that is also in `b`, or null.
VORNA_EXPORT std::shared_ptr<Layer> common_layers(const LayerList& a, const LayerList& b);
// The main and skip branches leaving a layer (see the .cpp for the rule).
VORNA_EXPORT BranchPair get_skipconnect_branch(const std::shared_ptr<Layer>& layer);
// Open branches at the end of a run of layers (unsigned, wraps below zero).
VORNA_EXPORT uint64_t get_out_branches_count(const LayerList& layers);
// The leading run of `layers` that must be mapped together.
VORNA_EXPORT LayerList get_layers_to_map_together(const LayerList& layers);
// More than one outbound layer.
VORNA_EXPORT bool is_split_layer(const std::shared_ptr<Layer>& layer);

// --- Navigation -------------------------------------------------------------

// The layer itself, or the mappable layer representing a skip-DMA layer
// (null when it has none).
VORNA_EXPORT std::shared_ptr<Layer> get_mappable_layer(const std::shared_ptr<Layer>& layer);
VORNA_EXPORT std::shared_ptr<Layer> first_mappable_layer(const LayerList& layers);
VORNA_EXPORT std::shared_ptr<Layer> last_mappable_layer(const LayerList& layers);
VORNA_EXPORT std::shared_ptr<Layer> next_mappable_layer(const std::shared_ptr<Layer>& layer);
VORNA_EXPORT std::shared_ptr<Layer> previous_mappable_layer(const std::shared_ptr<Layer>& layer);

// --- Classification ---------------------------------------------------------

VORNA_EXPORT bool is_merge(const std::shared_ptr<Layer>& layer);
VORNA_EXPORT bool is_dual_output_layer(const std::shared_ptr<Layer>& layer);
VORNA_EXPORT bool is_dual_output_to_store_dma(const std::shared_ptr<Layer>& layer);
VORNA_EXPORT bool is_alt_layer(const std::shared_ptr<Layer>& layer, DepthMap* depth_map);
VORNA_EXPORT bool is_skip_layer(const std::shared_ptr<Layer>& layer);
VORNA_EXPORT bool layer_need_load_dma(const std::shared_ptr<Layer>& layer);
VORNA_EXPORT bool layer_need_store_dma(const std::shared_ptr<Layer>& layer);

// --- Planning (writes the records of the layers' LayerMapping) ---------------
// `layers` are the layers of the current pass in pass order; `all_layers` every
// layer handed to the map call. Every layer touched must carry a LayerMapping.

VORNA_EXPORT void shift_output_into_sram(const std::shared_ptr<Layer>& layer, DepthMap* depth_map);
VORNA_EXPORT void set_skipdma_store_channel_info(const std::shared_ptr<Layer>& layer,
                                                 const LayerList& layers,
                                                 const LayerList& all_layers, DepthMap* depth_map);
VORNA_EXPORT void set_skipdma_store_channel_dual_output_info(const std::shared_ptr<Layer>& layer,
                                                             const LayerList& all_layers,
                                                             DepthMap* depth_map);
VORNA_EXPORT void set_skipdma_load_channel_info(const std::shared_ptr<Layer>& layer,
                                                const LayerList& layers,
                                                const LayerList& all_layers, DepthMap* depth_map);
VORNA_EXPORT void set_merge_layer_info(const std::shared_ptr<Layer>& layer, const LayerList& layers,
                                       const LayerList& all_layers, DepthMap* depth_map);
VORNA_EXPORT void set_alt_layers(const std::shared_ptr<Layer>& layer, const LayerList& layers,
                                 std::vector<ComponentListPtr>* outbound_components);
// Four 8-bit channel numbers, least significant first: load channel, merge
// load channel, next channel towards a following skip-DMA layer, dual-output
// channel.
VORNA_EXPORT uint32_t skipdma_channel_ids(const std::shared_ptr<Layer>& layer,
                                          const LayerList& layers, const LayerList& all_layers);

}  // namespace vorna
