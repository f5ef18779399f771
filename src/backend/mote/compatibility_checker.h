#pragma once

// Which layers a mote device accepts. Mote runs chains of recurrent layers on
// its TNP-R only; the operations about buffer modes, NP weights, NP splits and
// FNP3 do not exist on it and throw.

#include "backend/interfaces.h"

namespace vorna::mote {

class CompatibilityCheckerImpl : public CompatibilityChecker {
  public:
    using CompatibilityChecker::CompatibilityChecker;
    ~CompatibilityCheckerImpl() override = default;

    // A layer on the TNP-R is checked with the whole chain it starts;
    // InputData, Quantizer and Dequantizer layers are accepted; any other kind
    // fails with "Unsupported layer type on Mote.".
    MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous,
                                            const HwVersion& version) const override;
    // Always success.
    MappingStatus check_layer_sequence(LayerListIterator begin, LayerListIterator end,
                                       const HwVersion& version) const override;
    // Always success.
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
};

}  // namespace vorna::mote
