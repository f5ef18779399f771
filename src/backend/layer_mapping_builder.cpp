#include "backend/layer_mapping_builder.h"

#include <algorithm>
#include <stdexcept>
#include <string>

namespace vorna {

namespace {

bool targets(const Layer& layer, TargetComponent target) {
    return layer.is_target_component(target);
}

ComponentListPtr endpoint(hw::Type type, const hw::Ident& ident) {
    return std::make_shared<ComponentList>(1, hw::Component(type, ident));
}

void attach(const std::shared_ptr<Layer>& layer, std::shared_ptr<LayerMapping> mapping) {
    auto* impl = dynamic_cast<LayerImpl*>(layer.get());
    if (impl == nullptr) {
        throw std::runtime_error("Layer '" + layer->get_name() + "' cannot hold a mapping.");
    }
    impl->set_mapping(std::move(mapping));
}

const std::shared_ptr<Layer>& checked(const std::shared_ptr<Layer>& layer, const char* what) {
    if (!layer) throw std::invalid_argument(std::string("A null layer was given to ") + what + ".");
    return layer;
}

}  // namespace

void LayerMappingBuilder::map_standalone(const std::shared_ptr<Layer>& layer,
                                         const std::vector<hw::Component>& components,
                                         uint8_t channel, std::optional<hw::Ident> input_ident,
                                         std::optional<hw::Ident> output_ident) {
    checked(layer, "the layer mapping builder");
    auto mapping = std::make_shared<LayerMapping>();
    mapping->channel = channel;
    mapping->next_channel = 255;

    if (targets(*layer, TargetComponent::HRC)) {
        mapping->inbound_components.push_back(endpoint(hw::Type::HRC, hw::Ident{0, 0, 0, 0}));
    } else if (input_ident) {
        mapping->inbound_components.push_back(endpoint(hw::Type::DMA, *input_ident));
    }

    mapping->nps = std::make_shared<std::vector<hw::Component>>();
    for (const hw::Component& component : components) {
        switch (component.type) {
            case hw::Type::SKIP_DMA_STORE:
                mapping->skipdma_store_components.push_back(component);
                break;
            case hw::Type::SKIP_DMA_LOAD:
                mapping->skipdma_load_components.push_back(component);
                break;
            default:
                mapping->nps->push_back(component);
                break;
        }
    }

    mapping->tnp_b_skipdma =
        (!mapping->skipdma_store_components.empty() || !mapping->skipdma_load_components.empty()) &&
        targets(*layer, TargetComponent::TNP_B);

    if (output_ident) {
        mapping->outbound_components.push_back(endpoint(hw::Type::DMA, *output_ident));
        mapping->output_to_dma = true;
    }
    attach(layer, std::move(mapping));
}

void LayerMappingBuilder::map_standalone(const LayerList& layers,
                                         const ComponentsPerLayer& components,
                                         const hw::Ident& pass_ident) {
    if (layers.size() != components.size()) {
        throw std::invalid_argument("A pass needs one component list per layer.");
    }
    for (const auto& layer : layers) checked(layer, "the layer mapping builder");
    const std::shared_ptr<Layer> first = first_mappable_layer(layers);
    const std::shared_ptr<Layer> last = last_mappable_layer(layers);

    uint8_t counter = 0;
    for (size_t i = 0; i < layers.size(); ++i) {
        const std::shared_ptr<Layer>& layer = layers[i];
        uint8_t channel;
        if (targets(*layer, TargetComponent::HRC)) {
            channel = 0;
        } else if (targets(*layer, TargetComponent::SkipDMA)) {
            channel = 255;
        } else {
            // Channel numbers are 8-bit hardware fields and wrap.
            if (!targets(*layer, TargetComponent::None)) ++counter;
            if (targets(*layer, TargetComponent::TNP_B)) ++counter;
            channel = counter;
        }
        std::optional<hw::Ident> input_ident;
        std::optional<hw::Ident> output_ident;
        if (layer == first && !targets(*layer, TargetComponent::HRC)) input_ident = pass_ident;
        if (layer == last) output_ident = pass_ident;
        map_standalone(layer, components[i], channel, input_ident, output_ident);
    }
}

void LayerMappingBuilder::build_layer_mapping(const LayerList& layers, const LayerList& all_layers,
                                              const ComponentsPerLayer& components,
                                              const hw::Ident& pass_ident) {
    map_standalone(layers, components, pass_ident);
    DepthMap depth_map;
    depth_map.max_load_factor(1.0f);
    link_layers_mapping(layers, all_layers, &depth_map);
}

void LayerMappingBuilder::link_layers_mapping(const LayerList& layers, const LayerList& all_layers,
                                              DepthMap* depth_map) {
    for (const auto& layer : layers) {
        checked(layer, "the layer mapping builder");
        if (targets(*layer, TargetComponent::None) || targets(*layer, TargetComponent::SkipDMA)) {
            continue;
        }
        update_layer_mapping(layer, layers, all_layers, depth_map);
    }
}

void LayerMappingBuilder::update_layer_mapping(const std::shared_ptr<Layer>& layer,
                                               const LayerList& layers, const LayerList& all_layers,
                                               DepthMap* depth_map) {
    checked(layer, "the layer mapping builder");
    const LayerList inbound = layer->inbound_layers();
    if (inbound.empty()) return;
    LayerMapping& mapping = layer_mapping_of(*layer);

    // Each existence test is made right before its call: a planning call may
    // create the record the next test looks at.
    shift_output_into_sram(layer, depth_map);
    if (is_merge(layer)) set_merge_layer_info(layer, layers, all_layers, depth_map);
    if (mapping.skipdma_store() != nullptr) {
        set_skipdma_store_channel_info(layer, layers, all_layers, depth_map);
    }
    if (mapping.skipdma_store_dual_output() != nullptr) {
        set_skipdma_store_channel_dual_output_info(layer, all_layers, depth_map);
    }
    if (mapping.skipdma_load() != nullptr) {
        set_skipdma_load_channel_info(layer, layers, all_layers, depth_map);
    }
    if (is_alt_layer(layer, depth_map)) set_alt_layers(layer, layers, &mapping.outbound_components);

    // Link only when the layer's input is produced in this pass.
    if (std::find(layers.begin(), layers.end(), inbound.front()) == layers.end()) return;

    const std::shared_ptr<Layer> prev = previous_mappable_layer(layer);
    if (!prev) {
        throw std::runtime_error("Layer '" + layer->get_name() +
                                 "' has no mappable layer feeding it in its pass.");
    }
    LayerMapping& prev_mapping = layer_mapping_of(*prev);
    mapping.inbound_components.push_back(prev_mapping.nps);
    if (!is_alt_layer(prev, depth_map)) {
        prev_mapping.outbound_components.push_back(mapping.nps);
        prev_mapping.next_channel = mapping.channel;
    }
    if (targets(*layer, TargetComponent::TNP_B)) {
        prev_mapping.outbound_components.push_back(
            std::make_shared<ComponentList>(mapping.skipdma_load_components));
    }
}

void LayerMappingBuilder::link_to_previous_pass(const std::shared_ptr<Layer>& first,
                                                const std::shared_ptr<Layer>& last) {
    if (!first) throw std::runtime_error("A hardware pass has no mappable layer to link to.");
    if (!last) {
        throw std::runtime_error("The previous hardware pass has no mappable layer to link from.");
    }
    LayerMapping& first_mapping = layer_mapping_of(*first);
    LayerMapping& last_mapping = layer_mapping_of(*last);

    last_mapping.outbound_components.clear();
    last_mapping.outbound_components.push_back(first_mapping.nps);
    last_mapping.output_to_dma = false;

    const uint8_t channel = static_cast<uint8_t>(last_mapping.channel + 1);
    last_mapping.next_channel = channel;
    first_mapping.input_channel = channel;

    first_mapping.inbound_components.push_back(last_mapping.nps);
}

}  // namespace vorna
