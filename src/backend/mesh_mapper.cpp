#include "backend/mesh_mapper.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/graph_utils.h"
#include "backend/interfaces.h"
#include "backend/layer_split.h"
#include "backend/map_constraints.h"
#include "backend/split_search.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/types.h"

namespace vorna {

namespace {

bool is_skip_dma_type(hw::Type type) {
    return type == hw::Type::SKIP_DMA_STORE || type == hw::Type::SKIP_DMA_LOAD;
}

hw::Component skip_dma_component(hw::Type type) {
    hw::Component component;
    component.type = type;
    component.ident = hw::Ident{};
    component.mem_info = MemoryInfo{};
    return component;
}

// A dense or recurrent layer's single component, covering the whole input.
hw::Component whole_layer_component(const Layer& layer, hw::Type type, uint32_t filters) {
    const auto dims = layer.input_dimensions();
    if (dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    const NpSpace space{0, 0, dims.front()};
    return make_np_component(type, 0, filters, space, space, true);
}

}  // namespace

MeshMapper::MeshMapper(const CompatibilityChecker& checker, const MapConstraints& constraints)
    : checker_(checker), constraints_(constraints) {}

void MeshMapper::reset() {
    const std::shared_ptr<Device> device = constraints_.device();
    if (!device) throw std::runtime_error("The map constraints hold no device.");
    const Mesh& mesh = device->mesh();
    const std::vector<np::Info> nps = mesh.nps;

    pools_.clear();
    // Usage word of each NP, only used to order the pools: bit 0 the NP shares
    // a node with an FNP3-capable NP, bit 1 it can be FNP3, bit 2 it can be FNP2.
    std::map<hw::Ident, uint32_t> usage;
    for (const np::Info& info : nps) {
        for (const hw::Type type : info.types) {
            pool(type).push_back(NpSlot{info.ident, 0, 0});
            if (type == hw::Type::FNP3) {
                for (const np::Info& other : nps) {
                    if (other.ident.col == info.ident.col && other.ident.row == info.ident.row) {
                        usage[other.ident] |= 1u;
                    }
                }
                usage[info.ident] |= 2u;
            }
            if (type == hw::Type::FNP2) usage[info.ident] |= 4u;
        }
    }

    // Skip DMAs: one store and one load slot per channel of every engine; the
    // channel count of the first engine applies to all.
    if (!mesh.skip_dmas.empty()) {
        const uint8_t channels = mesh.skip_dmas.front().ident.channel;
        for (const np::Info& engine : mesh.skip_dmas) {
            for (uint32_t c = 0; c < channels; ++c) {
                hw::Ident ident = engine.ident;
                ident.channel = static_cast<uint8_t>(c);
                pool(hw::Type::SKIP_DMA_STORE).push_back(NpSlot{ident, 0, 0});
                pool(hw::Type::SKIP_DMA_LOAD).push_back(NpSlot{ident, 0, 0});
            }
        }
    }

    auto word = [&usage](const hw::Ident& ident) {
        const auto it = usage.find(ident);
        return it == usage.end() ? 0u : it->second;
    };
    for (auto& [type, slots] : pools_) {
        if (is_skip_dma_type(type)) continue;
        std::stable_sort(slots.begin(), slots.end(), [&word](const NpSlot& a, const NpSlot& b) {
            const uint32_t wa = word(a.ident);
            const uint32_t wb = word(b.ident);
            if (wa != wb) return wa < wb;
            return a.ident < b.ident;
        });
    }
}

void MeshMapper::reserve_nps(const std::vector<hw::Ident>& idents) {
    for (auto& [type, slots] : pools_) {
        for (NpSlot& slot : slots) {
            slot.reserved =
                std::find(idents.begin(), idents.end(), slot.ident) != idents.end() ? 1 : 0;
        }
    }
}

void MeshMapper::allocate_np(const hw::Ident& ident, hw::Type type) {
    allocate_counted(ident, type);
}

size_t MeshMapper::allocate_counted(const hw::Ident& ident, hw::Type type) {
    size_t newly = 0;
    for (auto& [pool_type, slots] : pools_) {
        if (type != hw::Type::None && pool_type != type) continue;
        for (NpSlot& slot : slots) {
            if (!(slot.ident == ident)) continue;
            if (slot.allocated == 0) ++newly;
            slot.allocated = 1;
        }
    }
    return newly;
}

void MeshMapper::deallocate_nps() {
    for (auto& [type, slots] : pools_) {
        for (NpSlot& slot : slots) slot.allocated = 0;
    }
}

uint32_t MeshMapper::max_nps(hw::Type type) {
    uint32_t count = 0;
    for (const NpSlot& slot : pool(type)) {
        if (slot.reserved == 0) ++count;
    }
    return count;
}

std::vector<hw::Ident> MeshMapper::available_nps(hw::Type type) {
    std::vector<hw::Ident> result;
    for (const NpSlot& slot : pool(type)) {
        if (slot.reserved == 0 && slot.allocated == 0) result.push_back(slot.ident);
    }
    return result;
}

hw::Type MeshMapper::get_compatible_fnp_type(const Layer& layer) {
    const bool fnp2_free = !available_nps(hw::Type::FNP2).empty();
    const uint32_t fnp3_count = max_nps(hw::Type::FNP3);
    const bool fnp3_free = !available_nps(hw::Type::FNP3).empty();
    const bool fits = checker_.is_fnp3_compatible(layer);
    if (fnp3_free && fits) return hw::Type::FNP3;
    if (fnp2_free) return hw::Type::FNP2;
    if (fnp3_count > 0 && fits) return hw::Type::FNP3;
    return hw::Type::FNP2;
}

std::pair<std::vector<hw::Component>, MappingStatus> MeshMapper::np_request(
    const std::shared_ptr<Layer>& layer, const std::vector<hw::Ident>& reserved, bool hwpr,
    bool* new_group, bool allow_new_pass) {
    if (!layer) throw std::invalid_argument("An NP request needs a layer.");
    if (new_group == nullptr) throw std::invalid_argument("An NP request needs a new-group flag.");
    MappingStatus status = MappingStatus::success();
    *new_group = false;

    constraints_.next_layer_handler(layer->get_name());
    reserve_nps(reserved);

    const LayerParams* params = layer->params();
    if (params == nullptr) {
        throw std::runtime_error("Layer '" + layer->get_name() + "' has no parameters.");
    }
    static const char* const kNoKinds = "Mapping a layer with HW backend should use HW components.";
    std::vector<hw::Type> kinds;
    std::vector<hw::Component> components;
    const uint32_t max_height = constraints_.cnp_max_height();
    const uint32_t max_width = constraints_.cnp_max_width();
    const uint32_t max_filters = constraints_.cnp_max_filters();
    switch (params->layer_type()) {
        case LayerType::FullyConnected:
        case LayerType::Dense1D: {
            const hw::Type type = get_compatible_fnp_type(*layer);
            kinds = {type};
            components.push_back(
                whole_layer_component(*layer, type, static_cast<uint32_t>(params->get("units"))));
            break;
        }
        case LayerType::StatefulRecurrent:
            kinds = {hw::Type::TNP_R};
            components.push_back(whole_layer_component(*layer, hw::Type::TNP_R, 0));
            break;
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional:
        case LayerType::Conv2D:
        case LayerType::BufferTempConv:
            kinds = required_extra_types(layer);
            if (kinds.empty()) throw std::runtime_error(kNoKinds);
            std::tie(components, status) = split_conv_layer(*layer, checker_, max_height, max_width,
                                                            max_filters, kinds.front(), hwpr);
            request_skipdma(components, kinds, layer);
            break;
        case LayerType::DepthwiseConv2D:
        case LayerType::DepthwiseBufferTempConv:
            kinds = required_extra_types(layer);
            if (kinds.empty()) throw std::runtime_error(kNoKinds);
            std::tie(components, status) = split_depthwise_conv_layer(
                *layer, checker_, max_height, max_width, max_filters, kinds.front(), hwpr);
            request_skipdma(components, kinds, layer);
            break;
        case LayerType::Conv2DTranspose:
        case LayerType::DepthwiseConv2DTranspose: {
            // Transposed layers are split with at most half the default CNP tile.
            const uint32_t h = std::min(max_height, constraints_.cnp_max_height_default() / 2);
            const uint32_t w = std::min(max_width, constraints_.cnp_max_width_default() / 2);
            kinds = required_extra_types(layer);
            if (params->layer_type() == LayerType::Conv2DTranspose) {
                std::tie(components, status) =
                    split_transposed_conv2d_layer(*layer, checker_, h, w, max_filters, hwpr);
            } else {
                std::tie(components, status) =
                    split_transposed_dwconv2d_layer(*layer, checker_, h, w, max_filters, hwpr);
            }
            request_skipdma(components, kinds, layer);
            break;
        }
        default:
            break;
    }
    if (kinds.empty()) throw std::runtime_error(kNoKinds);
    if (status.error) return {components, status};

    std::map<hw::Type, uint32_t> need;
    for (const hw::Type type : kinds) {
        need[type] = static_cast<uint32_t>(
            std::count_if(components.begin(), components.end(),
                          [type](const hw::Component& c) { return c.type == type; }));
    }

    // Enough NPs of each kind: unreserved on the whole mesh when a new pass may
    // be opened, free in the current pass otherwise.
    for (const hw::Type type : kinds) {
        const uint32_t limit =
            allow_new_pass ? max_nps(type) : static_cast<uint32_t>(available_nps(type).size());
        if (limit < need[type]) {
            return {components,
                    MappingStatus::component_error(*layer, hw::to_string(type), need[type], limit)};
        }
    }

    // Room in the current pass; otherwise release it and open a new one.
    for (const hw::Type type : kinds) {
        if (available_nps(type).size() < need[type]) {
            deallocate_nps();
            *new_group = true;
            break;
        }
    }

    // Allocation, repeated while a following TNP-B layer does not fit. The
    // repetition stops when an attempt takes no new slot (it would repeat
    // forever).
    for (;;) {
        status = MappingStatus::success();
        size_t newly_taken = 0;
        bool short_of_components = false;
        for (const hw::Type type : kinds) {
            const std::vector<hw::Ident> selected =
                constraints_.select_nps(available_nps(type), need[type], type);
            if (selected.size() != need[type]) {
                status = MappingStatus::component_error(*layer, hw::to_string(type), need[type],
                                                        static_cast<uint32_t>(selected.size()));
                short_of_components = true;
                break;
            }
            size_t next = 0;
            for (hw::Component& component : components) {
                if (component.type != type) continue;
                component.ident = selected[next++];
                newly_taken += allocate_counted(component.ident,
                                                is_skip_dma_type(type) ? type : hw::Type::None);
            }
        }
        if (short_of_components) break;

        const bool had_new_group = *new_group;
        status = sanitize_tnp_b(*layer, new_group, allow_new_pass);
        if (!status.error || had_new_group) break;
        if (*new_group) continue;  // again, in the released pass
        if (newly_taken == 0) break;
    }

    // A TNP-B layer split by filters must keep its filter parts on multiples of
    // 4 unless each part reads all input channels.
    if (components.empty()) {
        throw std::runtime_error("Layer '" + layer->get_name() + "' got no hardware components.");
    }
    if (!components.front().placement) {
        throw std::runtime_error("The first component of layer '" + layer->get_name() +
                                 "' has no placement.");
    }
    const uint32_t first_channels = components.front().placement->spatial_partition.shape[2];
    const auto dims = layer->input_dimensions();
    if (dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    const uint32_t input_channels = dims.front()[2];
    const auto odd = std::find_if(components.begin(), components.end(), [](const hw::Component& c) {
        return c.type == hw::Type::TNP_B && c.placement && c.placement->filters % 4 != 0;
    });
    if (odd != components.end() && layer->is_target_component(TargetComponent::TNP_B) &&
        components.size() > 3 && first_channels != input_channels) {
        status = layer_error_status(*layer,
                                    "The number of channels must be a multiple of 4 to be split by "
                                    "filter.");
    }

    return {components, status};
}

MappingStatus MeshMapper::sanitize_tnp_b(const Layer& layer, bool* new_group, bool allow_new_pass) {
    if (new_group == nullptr) throw std::invalid_argument("sanitize_tnp_b needs a new-group flag.");
    if (layer.is_target_component(TargetComponent::TNP_B)) return MappingStatus::success();
    const auto outbound = layer.outbound_layers();
    if (outbound.size() != 1) return MappingStatus::success();
    const std::shared_ptr<Layer>& next = outbound.front();
    if (!next) {
        throw std::runtime_error("Layer '" + layer.get_name() + "' has a null outbound layer.");
    }
    if (!next->is_target_component(TargetComponent::TNP_B)) return MappingStatus::success();

    // Split the next layer as it will be split; only its component count is used.
    const uint32_t max_height = constraints_.cnp_max_height();
    const uint32_t max_width = constraints_.cnp_max_width();
    const uint32_t max_filters = constraints_.cnp_max_filters();
    const LayerParams* next_params = next->params();
    const bool plain =
        next_params != nullptr && next_params->layer_type() == LayerType::BufferTempConv;
    const size_t needed = plain ? split_conv_layer(*next, checker_, max_height, max_width,
                                                   max_filters, hw::Type::TNP_B, false)
                                      .first.size()
                                : split_depthwise_conv_layer(*next, checker_, max_height, max_width,
                                                             max_filters, hw::Type::TNP_B, false)
                                      .first.size();

    // Reserved TNP-Bs that are not taken come back for the next layer, whose
    // own reservation replaces the current one.
    size_t freed_later = 0;
    for (const NpSlot& slot : pool(hw::Type::TNP_B)) {
        if (slot.reserved != 0 && slot.allocated == 0) ++freed_later;
    }
    if (!available_nps(hw::Type::SKIP_DMA_STORE).empty() &&
        !available_nps(hw::Type::SKIP_DMA_LOAD).empty() &&
        available_nps(hw::Type::TNP_B).size() + freed_later >= needed) {
        return MappingStatus::success();
    }
    if (!*new_group && allow_new_pass) {
        deallocate_nps();
        *new_group = true;
    }
    return layer_error_status(layer, "The next BufferTempConv " + next->get_name() +
                                         " can't be mapped in the current pass.");
}

std::vector<hw::Type> required_extra_types(const std::shared_ptr<Layer>& layer) {
    std::vector<hw::Type> types;
    if (layer->is_target_component(TargetComponent::CNP)) {
        types.push_back(hw::Type::CNP1);
    } else if (layer->is_target_component(TargetComponent::TNP_B)) {
        types.push_back(hw::Type::TNP_B);
    }
    if (layer_need_store_dma(layer)) types.push_back(hw::Type::SKIP_DMA_STORE);
    if (layer_need_load_dma(layer)) types.push_back(hw::Type::SKIP_DMA_LOAD);
    return types;
}

std::vector<hw::Component> request_skipdma_store(const std::shared_ptr<Layer>& layer) {
    uint32_t count = 0;
    if (layer->is_target_component(TargetComponent::TNP_B)) ++count;
    if (is_skip_layer(layer)) ++count;
    if (is_dual_output_to_store_dma(layer)) ++count;
    return std::vector<hw::Component>(count, skip_dma_component(hw::Type::SKIP_DMA_STORE));
}

std::vector<hw::Component> request_skipdma_load() {
    return {skip_dma_component(hw::Type::SKIP_DMA_LOAD)};
}

void request_skipdma(std::vector<hw::Component>& components, const std::vector<hw::Type>& types,
                     const std::shared_ptr<Layer>& layer) {
    for (size_t i = 1; i < types.size(); ++i) {
        const std::vector<hw::Component> added = types[i] == hw::Type::SKIP_DMA_STORE
                                                     ? request_skipdma_store(layer)
                                                     : request_skipdma_load();
        components.insert(components.end(), added.begin(), added.end());
    }
}

}  // namespace vorna
