// Planning of skip-DMA channels, merges and alternate layers: the records a
// mapped layer's program is recorded from.

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/graph_utils.h"
#include "backend/graph_utils_internal.h"
#include "backend/mapping_status.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"

namespace vorna {

using namespace graph_detail;

namespace {

LayerMapping& mapping_of(const std::shared_ptr<Layer>& layer) {
    const Layer& l = checked(layer);
    auto mapping = std::dynamic_pointer_cast<LayerMapping>(l.mapping());
    if (!mapping) {
        throw std::runtime_error("Layer '" + l.get_name() + "' has no layer mapping.");
    }
    return *mapping;
}

LayerType type_of(const std::shared_ptr<Layer>& layer) {
    return checked(layer).params()->layer_type();
}

bool is_tnp_b(const std::shared_ptr<Layer>& layer) {
    return checked(layer).is_target_component(TargetComponent::TNP_B);
}

uint8_t fifo_param(const std::shared_ptr<Layer>& layer) {
    return static_cast<uint8_t>(checked(layer).params()->get("fifo_size") + 1);
}

[[noreturn]] void fail_on(const std::shared_ptr<Layer>& layer, const char* message) {
    MappingStatus(checked(layer), message).throw_exception();
}

// The first inbound layer, which the planning of merges relies on.
std::shared_ptr<Layer> first_inbound(const std::shared_ptr<Layer>& layer) {
    const LayerList inputs = inbound(layer);
    if (inputs.empty()) {
        throw std::runtime_error("Layer '" + layer->get_name() + "' has no inbound layer.");
    }
    return inputs.front();
}

// The first two inbound layers of a layer that merges two inputs.
std::pair<std::shared_ptr<Layer>, std::shared_ptr<Layer>> two_inbound(
    const std::shared_ptr<Layer>& layer) {
    const LayerList inputs = inbound(layer);
    if (inputs.size() < 2) {
        throw std::runtime_error("Layer '" + layer->get_name() +
                                 "' should have two inbound layers.");
    }
    return {inputs[0], inputs[1]};
}

// The largest depth distance from a layer to its outbound layers, each
// difference taken as an unsigned byte (0 without outbound layers).
uint8_t farthest_reader(const std::shared_ptr<Layer>& layer, DepthMap* depth_map) {
    const uint32_t depth = get_layer_depth(layer, depth_map);
    uint8_t gap = 0;
    for (const auto& out : outbound(layer)) {
        const auto d = static_cast<uint8_t>(get_layer_depth(out, depth_map) - depth);
        gap = std::max(gap, d);
    }
    return gap;
}

// Store channel of a layer: 1 for the first layer of the map call, else 1 + 2k
// with k the storing layers from the second one up to and including it (to
// the end of the list when it is absent). Each storing layer owns a pair: the
// plain store channel and, one above, its dual-output store channel.
uint32_t store_channel(const std::shared_ptr<Layer>& layer, const LayerList& all_layers) {
    if (!all_layers.empty() && all_layers.front() == layer) return 1;
    if (PlanningScope* scope = planning_scope()) {
        return 1 + 2 * scope->running_count(all_layers, 0, layer, [](const auto& l) {
            return layer_need_store_dma(l) || is_dual_output_layer(l);
        });
    }
    uint32_t k = 0;
    for (size_t i = 1; i < all_layers.size(); ++i) {
        const auto& l = all_layers[i];
        if (layer_need_store_dma(l) || is_dual_output_layer(l)) ++k;
        if (l == layer) break;
    }
    return 1 + 2 * k;
}

uint8_t channel_block_byte(uint32_t block, unsigned index) {
    return static_cast<uint8_t>(block >> (8 * index));
}

std::shared_ptr<const Dense> shift_variable(const Layer& layer, const char* name) {
    return Tensor::ensure_dense(layer.variables()->get(name));
}

}  // namespace

uint32_t skipdma_channel_ids(const std::shared_ptr<Layer>& layer, const LayerList& layers,
                             const LayerList& all_layers) {
    const uint32_t n = static_cast<uint32_t>(all_layers.size());
    uint32_t base = n + 1;
    if (PlanningScope* scope = planning_scope();
        scope && (layers.empty() || layers.front() != layer)) {
        base += 4 * scope->running_count(layers, 1, layer, [](const auto& l) {
            return layer_need_load_dma(l) || layer_need_store_dma(l);
        });
    } else if (layers.empty() || layers.front() != layer) {
        uint32_t m = 0;
        for (size_t i = 1; i < layers.size(); ++i) {
            const auto& l = layers[i];
            if (layer_need_load_dma(l) || layer_need_store_dma(l)) ++m;
            if (l == layer) break;
        }
        base += 4 * m;
    }
    uint32_t word = 0;
    for (unsigned i = 0; i < 4; ++i) word |= ((base + i) & 0xFFu) << (8 * i);
    return word;
}

void shift_output_into_sram(const std::shared_ptr<Layer>& layer, DepthMap* depth_map) {
    if (is_skip_dma(layer)) return;
    const LayerList outs = outbound(layer);
    if (outs.empty()) return;
    const auto& next = outs.front();
    if (type_of(next) != LayerType::Concatenate) return;
    const auto inputs = two_inbound(next);
    // The deeper input of a concatenation writes its output after the channels
    // of the first input.
    if (inputs.second == layer &&
        get_layer_depth(inputs.first, depth_map) < get_layer_depth(layer, depth_map)) {
        mapping_of(layer).output_shift =
            std::make_unique<uint32_t>(inputs.first->output_dimensions()[2]);
    }
}

void set_skipdma_store_channel_info(const std::shared_ptr<Layer>& layer, const LayerList& layers,
                                    const LayerList& all_layers, DepthMap* depth_map) {
    LayerMapping& mapping = mapping_of(layer);
    const uint8_t gap = farthest_reader(layer, depth_map);
    mapping.skipdma_store_channel = std::make_unique<SkipDmaStoreChannelInfo>();
    SkipDmaStoreChannelInfo& info = *mapping.skipdma_store_channel;

    if (is_tnp_b(layer)) {
        // A TNP-B stores its own state, held for its FIFO length, on the
        // channel of its position in the map call.
        info.skip_param = fifo_param(layer);
        info.store_flag = 1;
        const long index = index_of(all_layers, layer);
        if (index < 0) fail_on(layer, "Layer not found in the sequence.");
        info.channel = static_cast<uint8_t>(index);
        return;
    }

    info.skip_param = gap;
    info.channel = static_cast<uint8_t>(store_channel(layer, all_layers));
    const LayerList outs = outbound(layer);
    if (outs.size() == 1 && is_skip_dma(outs.front())) {
        mapping.next_channel =
            channel_block_byte(skipdma_channel_ids(layer, layers, all_layers), 2);
        info.store_flag = 1;
    }
}

void set_skipdma_store_channel_dual_output_info(const std::shared_ptr<Layer>& layer,
                                                const LayerList& all_layers, DepthMap* depth_map) {
    LayerMapping& mapping = mapping_of(layer);
    const auto source = first_inbound(layer);
    mapping.skipdma_store_dual_output_channel = std::make_unique<SkipDmaStoreChannelInfo>();
    SkipDmaStoreChannelInfo& info = *mapping.skipdma_store_dual_output_channel;
    info.skip_param = farthest_reader(source, depth_map);
    info.store_flag = 0;
    info.channel = static_cast<uint8_t>(store_channel(layer, all_layers) + 1);
}

void set_skipdma_load_channel_info(const std::shared_ptr<Layer>& layer, const LayerList& layers,
                                   const LayerList& all_layers, DepthMap* depth_map) {
    LayerMapping& mapping = mapping_of(layer);
    mapping.skipdma_load_channel = std::make_unique<SkipDmaLoadChannelInfo>();
    SkipDmaLoadChannelInfo& info = *mapping.skipdma_load_channel;

    if (is_tnp_b(layer)) {
        // A TNP-B loads back the state it stored itself.
        if (!mapping.skipdma_store_channel) {
            throw std::runtime_error("Layer '" + layer->get_name() +
                                     "' loads its state before a store channel is planned.");
        }
        info.dma_channel = static_cast<uint8_t>(mapping.channel - 1);
        info.skip_param = fifo_param(layer);
        info.channel = mapping.skipdma_store_channel->channel;
        return;
    }

    // A merge layer loads what the skip-DMA layer S in front of it holds.
    const auto source = first_inbound(layer);
    info.dma_channel = channel_block_byte(skipdma_channel_ids(layer, layers, all_layers), 0);
    const auto inputs = two_inbound(source);
    const uint32_t da = get_layer_depth(inputs.first, depth_map);
    const uint32_t db = get_layer_depth(inputs.second, depth_map);
    info.skip_param = static_cast<uint8_t>(da > db ? da - db : db - da);

    // The data loaded is the output of S's shallowest input; when that input
    // is itself a skip-DMA layer, it is the dual output of the layer it feeds.
    LayerList sorted = inbound(source);
    sort_by_depth(&sorted);
    const auto& shallowest = sorted.front();
    if (!is_skip_dma(shallowest)) {
        info.channel = static_cast<uint8_t>(store_channel(shallowest, all_layers));
    } else {
        LayerList readers = outbound(shallowest);
        if (readers.empty()) {
            throw std::runtime_error("Layer '" + shallowest->get_name() +
                                     "' has no outbound layer.");
        }
        sort_by_depth(&readers);
        info.channel = static_cast<uint8_t>(store_channel(readers.front(), all_layers) + 1);
    }

    if (da > db && type_of(source) == LayerType::Concatenate) {
        info.concat_offset = inputs.first->output_dimensions()[2];
    }
}

void set_merge_layer_info(const std::shared_ptr<Layer>& layer, const LayerList& layers,
                          const LayerList& all_layers, DepthMap* depth_map) {
    LayerMapping& mapping = mapping_of(layer);
    mapping.merge_info = std::make_unique<MergeLayerMapInfo>();
    MergeLayerMapInfo& info = *mapping.merge_info;

    const auto source = first_inbound(layer);
    info.from_add = type_of(source) == LayerType::Add;
    const uint32_t block = skipdma_channel_ids(layer, layers, all_layers);
    info.load_channel = channel_block_byte(block, 1);
    PlanningScope* scope = planning_scope();
    info.not_first =
        (scope ? scope->first_mappable(layers) : first_mappable_layer(layers)) != layer;

    if (info.from_add) {
        const Layer& add = *source;
        info.main_shift = shift_variable(add, "a_shift");
        info.skip_shift = shift_variable(add, "b_shift");
        info.out_shift = shift_variable(add, "output_shift");
        // main_shift belongs to the deeper input; on equal depths "a_shift"
        // stays there.
        const auto inputs = two_inbound(source);
        if (get_layer_depth(inputs.first, depth_map) < get_layer_depth(inputs.second, depth_map)) {
            std::swap(info.main_shift, info.skip_shift);
        }
    }

    if (is_dual_output_layer(layer)) {
        info.dual_output = true;
        if (is_dual_output_to_store_dma(layer)) {
            info.dual_output_channel = channel_block_byte(block, 3);
        } else {
            // The second output goes straight to the layer of the other branch.
            const LayerList outs = outbound(source);
            auto receiver = get_mappable_layer(outs[0]);
            if (receiver == layer) receiver = get_mappable_layer(outs[1]);
            if (!receiver || !contains(layers, receiver)) {
                fail_on(layer,
                        "Hardware partial reconfiguration with layers on the second branch is "
                        "not supported.");
            }
            info.dual_output_channel = mapping_of(receiver).channel;
        }
    }
}

void set_alt_layers(const std::shared_ptr<Layer>& layer, const LayerList& layers,
                    std::vector<ComponentListPtr>* outbound_components) {
    if (!outbound_components) {
        throw std::invalid_argument("set_alt_layers needs an outbound component list.");
    }
    LayerList outs = outbound(layer);
    sort_by_depth(&outs);
    for (const auto& out : outs) {
        if (!contains(layers, out)) {
            fail_on(layer,
                    "Hardware partial reconfiguration with layers on the second branch is not "
                    "supported.");
        }
    }

    const BranchPair branches = get_skipconnect_branch(layer);
    if (branches.first.empty() || branches.second.empty()) {
        throw std::runtime_error("Layer '" + layer->get_name() + "' has no alternate branches.");
    }
    const auto main = get_mappable_layer(branches.first.front());
    const auto second = get_mappable_layer(branches.second.front());
    if (!main || !second) {
        throw std::runtime_error("Layer '" + layer->get_name() +
                                 "' has a branch without a mappable layer.");
    }
    LayerMapping& main_mapping = mapping_of(main);
    LayerMapping& second_mapping = mapping_of(second);
    main_mapping.alt_info = std::make_unique<AltLayerMapInfo>();
    second_mapping.alt_info = std::make_unique<AltLayerMapInfo>();

    auto count = [](const LayerMapping& m) -> uint32_t {
        return m.nps ? static_cast<uint32_t>(m.nps->size()) : 0;
    };
    const uint32_t total = count(main_mapping) + count(second_mapping);
    main_mapping.alt_info->total_nps = total;
    second_mapping.alt_info->total_nps = total;
    second_mapping.alt_info->is_second = 1;
    second_mapping.alt_info->main_channel = main_mapping.channel;

    mapping_of(layer).next_channel = main_mapping.channel;
    outbound_components->push_back(main_mapping.nps);
    outbound_components->push_back(second_mapping.nps);
}

}  // namespace vorna
