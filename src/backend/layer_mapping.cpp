#include "backend/layer_mapping.h"

#include <string>
#include <utility>

namespace vorna {

namespace {

bool has_dual_output(const LayerMapping& m) { return m.merge_info && m.merge_info->dual_output; }

void append(ComponentList* out, const ComponentList& list) {
    out->insert(out->end(), list.begin(), list.end());
}

void append_lists(ComponentList* out, const std::vector<ComponentListPtr>& lists) {
    for (const ComponentListPtr& list : lists) {
        if (list) append(out, *list);
    }
}

}  // namespace

int LayerMapping::get_skipdma_store_index() const {
    // One store component is the dual-output store of a dual-output layer and
    // the plain store otherwise; of two, the first is the plain store.
    switch (skipdma_store_components.size()) {
        case 1:
            return has_dual_output(*this) ? -1 : 0;
        case 2:
            return 0;
        default:
            return -1;
    }
}

int LayerMapping::get_skipdma_store_dual_output_index() const {
    if (!has_dual_output(*this) || skipdma_store_components.empty()) return -1;
    return static_cast<int>(skipdma_store_components.size()) - 1;
}

const hw::Component* LayerMapping::skipdma_store() const {
    const int i = get_skipdma_store_index();
    return i < 0 ? nullptr : &skipdma_store_components[static_cast<size_t>(i)];
}

hw::Component* LayerMapping::skipdma_store() {
    return const_cast<hw::Component*>(std::as_const(*this).skipdma_store());
}

const hw::Component* LayerMapping::skipdma_store_dual_output() const {
    const int i = get_skipdma_store_dual_output_index();
    return i < 0 ? nullptr : &skipdma_store_components[static_cast<size_t>(i)];
}

hw::Component* LayerMapping::skipdma_store_dual_output() {
    return const_cast<hw::Component*>(std::as_const(*this).skipdma_store_dual_output());
}

const hw::Component* LayerMapping::skipdma_load() const {
    return skipdma_load_components.empty() ? nullptr : &skipdma_load_components.front();
}

LayerMapping* find_layer_mapping(const Layer& layer) {
    return dynamic_cast<LayerMapping*>(layer.mapping().get());
}

std::string missing_mapping_text(const Layer& layer) {
    return "Layer '" + layer.get_name() + "' has no mapping.";
}

std::string missing_placement_text(const Layer& layer) {
    return "The component of layer '" + layer.get_name() + "' has no placement.";
}

const hw::Component* component_on(const Layer& layer, const hw::Ident& ident) {
    const auto mapping = layer.mapping();
    if (!mapping || !mapping->nps) return nullptr;
    for (const hw::Component& component : *mapping->nps) {
        if (component.ident == ident) return &component;
    }
    return nullptr;
}

const ComponentList& own_components(const LayerMapping& mapping) {
    static const ComponentList kNone;
    return mapping.nps ? *mapping.nps : kNone;
}

ComponentList source_components(const LayerMapping& mapping) {
    ComponentList sources;
    append_lists(&sources, mapping.inbound_components);
    append(&sources, mapping.skipdma_load_components);
    if (skipdma_store_is_source(mapping)) append(&sources, mapping.skipdma_store_components);
    return sources;
}

ComponentList destination_components(const LayerMapping& mapping) {
    ComponentList destinations;
    append_lists(&destinations, mapping.outbound_components);
    if (!skipdma_store_is_source(mapping)) append(&destinations, mapping.skipdma_store_components);
    return destinations;
}

}  // namespace vorna
