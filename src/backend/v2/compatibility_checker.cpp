#include "backend/v2/compatibility_checker.h"

#include <stdexcept>

#include "backend/v2/fnp_formats.h"
#include "backend/v2/rules.h"
#include "corelib/device.h"

namespace vorna {
namespace v2 {

CompatibilityCheckerImpl::CompatibilityCheckerImpl(const Device& device,
                                                   const HardwareConstraints& constraints)
    : CompatibilityChecker(device, constraints) {}

CompatibilityCheckerImpl::~CompatibilityCheckerImpl() = default;

MappingStatus CompatibilityCheckerImpl::check_layer_compatibility(const Layer& layer,
                                                                  const Layer* previous,
                                                                  const HwVersion&) const {
    return v2::check_layer_compatibility(constraints_, device_.mesh(), layer, previous);
}

MappingStatus CompatibilityCheckerImpl::check_layer_sequence(LayerListIterator begin,
                                                             LayerListIterator end,
                                                             const HwVersion&) const {
    return v2::check_layer_sequence(begin, end);
}

MappingStatus CompatibilityCheckerImpl::check_layer_mappings(
    const Layer& layer, const std::vector<hw::Component>& components, bool new_pass) const {
    return v2::check_layer_mappings(layer, components, new_pass);
}

bool CompatibilityCheckerImpl::is_sram_input_fit_single_buffer(hw::Type type, uint32_t height,
                                                               uint32_t width, uint32_t channels,
                                                               uint32_t fifo_depth, uint8_t bits,
                                                               uint32_t reserved_words) const {
    return is_sram_input_fit(type, height, width, channels, fifo_depth, bits, reserved_words,
                             constraints_.input_sram_size_single_buffer);
}

bool CompatibilityCheckerImpl::is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height,
                                                             uint32_t width, uint32_t channels,
                                                             uint32_t fifo_depth, uint8_t bits,
                                                             uint32_t reserved_words) const {
    return is_sram_input_fit(type, height, width, channels, fifo_depth, bits, reserved_words,
                             constraints_.input_sram_size_dual_buffer);
}

bool CompatibilityCheckerImpl::is_weights_size_fit_np(const Layer& layer, uint32_t filters) const {
    return v2::is_weights_size_fit_np(constraints_, layer, filters);
}

NpSplitParams CompatibilityCheckerImpl::np_split_params(hw::Type type,
                                                        const LayerParams& params) const {
    return v2::np_split_params(type, params);
}

bool CompatibilityCheckerImpl::check_fnp3_sram_size(const HardwareConstraints& constraints,
                                                    const Layer& layer) const {
    return get_fnp_sram_size(layer) <= constraints.fnp3_sram_size;
}

std::vector<MappingStatus> CompatibilityCheckerImpl::check_layer_sequence_prefixes(
    LayerListIterator begin, LayerListIterator end, const HwVersion&) const {
    return v2::check_layer_sequence_prefixes(begin, end);
}

MappingStatus CompatibilityCheckerImpl::check_supported_activation(const Layer& layer) const {
    return v2::check_supported_activation(layer, device_.mesh());
}

}  // namespace v2
}  // namespace vorna
