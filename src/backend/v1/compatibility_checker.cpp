#include "backend/v1/compatibility_checker.h"

#include "backend/v1/cnp_sizes.h"
#include "backend/v1/rules.h"
#include "backend/v1/sram_fit.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/params.h"

namespace vorna::v1 {

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer& layer, const Layer*,
                                                                  const HwVersion& version) const {
    if (is_tarn_v1(version)) {
        return make_layer_status_error(
            layer, "Tarn_v1 is not supported on this version. Please install vorna 2.0.5 instead.");
    }
    switch (layer.params()->layer_type()) {
        case LayerType::InputData:
        case LayerType::Dequantizer:
        case LayerType::Quantizer:
            return MappingStatus::success();
        case LayerType::InputConvolutional:
            return check_input_conv_constraints(layer);
        case LayerType::FullyConnected:
            return check_fnp_constraints(constraints_, layer, version);
        case LayerType::Convolutional:
            return check_std_cnp_constraints(layer, version);
        case LayerType::SeparableConvolutional:
            return check_sep_cnp_constraints(layer, version);
        default:
            return make_layer_status_error(layer, "Unsupported layer type on Vorna v1.");
    }
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerListIterator begin,
                                                             LayerListIterator end,
                                                             const HwVersion&) const {
    return check_layer_sequence_rules(begin, end);
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(
    const Layer& layer, const std::vector<hw::Component>& components, bool) const {
    return check_layer_mappings_rules(layer, components, device_.version());
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type, uint32_t height,
                                                               uint32_t width, uint32_t channels,
                                                               uint32_t, uint8_t bits,
                                                               uint32_t) const {
    return input_fits_single_buffer(constraints_, height, width, channels, bits);
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type, uint32_t height,
                                                             uint32_t width, uint32_t channels,
                                                             uint32_t, uint8_t bits,
                                                             uint32_t) const {
    return input_fits_dual_buffer(constraints_, height, width, channels, bits);
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer& layer, uint32_t filters) const {
    return check_weights_size_fit_cnp(constraints_, layer, filters);
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type, const LayerParams& params) const {
    return split_params(params);
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints& constraints,
                                                    const Layer& layer) const {
    return fits_fnp3(constraints, layer);
}

std::vector<MappingStatus> CompatibilityCheckerImpl::check_layer_sequence_prefixes(
    LayerListIterator begin, LayerListIterator end, const HwVersion&) const {
    return check_layer_sequence_rules_prefixes(begin, end);
}

MappingStatus CompatibilityCheckerImpl::check_std_cnp_constraints(const Layer& layer,
                                                                  const HwVersion& version) const {
    return v1::check_std_cnp_constraints(constraints_, layer, version);
}

MappingStatus CompatibilityCheckerImpl::check_sep_cnp_constraints(const Layer& layer,
                                                                  const HwVersion& version) const {
    return v1::check_sep_cnp_constraints(constraints_, layer, version);
}

MappingStatus CompatibilityCheckerImpl::check_fnp_common_constraints(
    const Layer& layer, const HwVersion& version) const {
    return v1::check_fnp_common_constraints(constraints_, layer, version);
}

}  // namespace vorna::v1
