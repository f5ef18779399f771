#pragma once

// The v2 CompatibilityChecker: the per-layer, run and component rules of IP
// v2 and its sizing predicates, answered against the device's mesh and the
// back end's v2 constraints.

#include <cstdint>
#include <vector>

#include "backend/interfaces.h"

namespace vorna {
namespace v2 {

class CompatibilityCheckerImpl : public CompatibilityChecker {
  public:
    CompatibilityCheckerImpl(const Device& device, const HardwareConstraints& constraints);
    ~CompatibilityCheckerImpl() override;

    MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous,
                                            const HwVersion& version) const override;
    MappingStatus check_layer_sequence(LayerListIterator begin, LayerListIterator end,
                                       const HwVersion& version) const override;
    MappingStatus check_layer_mappings(const Layer& layer,
                                       const std::vector<hw::Component>& components,
                                       bool new_pass) const override;
    bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                         uint32_t channels, uint32_t fifo_depth, uint8_t bits,
                                         uint32_t reserved_words) const override;
    bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                       uint32_t channels, uint32_t fifo_depth, uint8_t bits,
                                       uint32_t reserved_words) const override;
    bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
    NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override;
    bool check_fnp3_sram_size(const HardwareConstraints& constraints,
                              const Layer& layer) const override;
    std::vector<MappingStatus> check_layer_sequence_prefixes(
        LayerListIterator begin, LayerListIterator end, const HwVersion& version) const override;

    // The activation rules of one layer against the device's mesh.
    MappingStatus check_supported_activation(const Layer& layer) const;
};

}  // namespace v2
}  // namespace vorna
