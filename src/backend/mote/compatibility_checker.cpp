#include "backend/mote/compatibility_checker.h"

#include <stdexcept>

#include "backend/mote/tnp_r_constraints.h"
#include "backend/mote/tnp_r_sram.h"
#include "corelib/layer.h"

namespace vorna::mote {

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer& layer, const Layer*,
                                                                  const HwVersion&) const {
    if (layer.is_target_component(TargetComponent::TNP_R)) {
        return check_tnp_r_constraints(constraints_, layer);
    }
    switch (layer.params()->layer_type()) {
        case LayerType::InputData:
        case LayerType::Dequantizer:
        case LayerType::Quantizer:
            return MappingStatus::success();
        default:
            return make_layer_status_error(layer, "Unsupported layer type on Mote.");
    }
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerListIterator, LayerListIterator,
                                                             const HwVersion&) const {
    return MappingStatus::success();
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(const Layer&,
                                                             const std::vector<hw::Component>&,
                                                             bool) const {
    return MappingStatus::success();
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type, uint32_t, uint32_t,
                                                               uint32_t, uint32_t, uint8_t,
                                                               uint32_t) const {
    throw std::runtime_error("No single buffer mode on Mote.");
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type, uint32_t, uint32_t, uint32_t,
                                                             uint32_t, uint8_t, uint32_t) const {
    throw std::runtime_error("No dual buffer mode on Mote.");
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer&, uint32_t) const {
    throw std::runtime_error("No NP on Mote.");
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type, const LayerParams&) const {
    throw std::runtime_error("Cannot split TNP-R.");
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints&,
                                                    const Layer&) const {
    throw std::runtime_error("No FNP3 on Mote.");
}

}  // namespace vorna::mote
