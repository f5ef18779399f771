#include "backend/layer_mapping.h"

namespace vorna {

namespace {

bool has_dual_output(const LayerMapping& m) { return m.merge_info && m.merge_info->dual_output; }

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
    const int i = get_skipdma_store_index();
    return i < 0 ? nullptr : &skipdma_store_components[static_cast<size_t>(i)];
}

const hw::Component* LayerMapping::skipdma_store_dual_output() const {
    const int i = get_skipdma_store_dual_output_index();
    return i < 0 ? nullptr : &skipdma_store_components[static_cast<size_t>(i)];
}

hw::Component* LayerMapping::skipdma_store_dual_output() {
    const int i = get_skipdma_store_dual_output_index();
    return i < 0 ? nullptr : &skipdma_store_components[static_cast<size_t>(i)];
}

const hw::Component* LayerMapping::skipdma_load() const {
    return skipdma_load_components.empty() ? nullptr : &skipdma_load_components.front();
}

}  // namespace vorna
