#pragma once

// The v1 compatibility checker: which layers, runs of layers and component
// lists a v1 device accepts, and the sizing predicates the mapping engine
// uses while it splits layers over NPs.

#include <vector>

#include "backend/interfaces.h"

namespace vorna::v1 {

class CompatibilityCheckerImpl : public CompatibilityChecker {
  public:
    using CompatibilityChecker::CompatibilityChecker;
    ~CompatibilityCheckerImpl() override = default;

    // Revision 0xBC.0x00.0x00.0x01 rejects every layer ("Tarn_v1 is not
    // supported on this version. Please install vorna 2.0.5 instead.").
    // Otherwise by LayerType: InputData, Dequantizer and Quantizer succeed;
    // InputConvolutional, FullyConnected, Convolutional and
    // SeparableConvolutional get their rules; anything else fails with
    // "Unsupported layer type on Vorna v1.". `previous` is not read.
    MappingStatus check_layer_compatibility(const Layer& layer, const Layer* previous,
                                            const HwVersion& version) const override;
    // A max-pooling CNP layer cannot end the run and must feed a CNP layer of
    // the run. The version is not read.
    MappingStatus check_layer_sequence(LayerListIterator begin, LayerListIterator end,
                                       const HwVersion& version) const override;
    // Pooling and stride rules of spatial splits, and the 32-value NP input
    // width; `new_pass` is not read.
    MappingStatus check_layer_mappings(const Layer& layer,
                                       const std::vector<hw::Component>& components,
                                       bool new_pass) const override;
    // Whether a piece of input fits the input SRAM (every NP kind sized as a
    // CNP; `type`, `fifo_depth` and `reserved_words` are not read).
    bool is_sram_input_fit_single_buffer(hw::Type type, uint32_t height, uint32_t width,
                                         uint32_t channels, uint32_t fifo_depth, uint8_t bits,
                                         uint32_t reserved_words) const override;
    bool is_sram_input_fit_dual_buffer(hw::Type type, uint32_t height, uint32_t width,
                                       uint32_t channels, uint32_t fifo_depth, uint8_t bits,
                                       uint32_t reserved_words) const override;
    bool is_weights_size_fit_np(const Layer& layer, uint32_t filters) const override;
    // The same split parameters for every NP kind.
    NpSplitParams np_split_params(hw::Type type, const LayerParams& params) const override;
    // Compares with the given constraints, not the held ones.
    bool check_fnp3_sram_size(const HardwareConstraints& constraints,
                              const Layer& layer) const override;
    std::vector<MappingStatus> check_layer_sequence_prefixes(
        LayerListIterator begin, LayerListIterator end, const HwVersion& version) const override;

    // The per-kind checks with the held constraints.
    MappingStatus check_std_cnp_constraints(const Layer& layer, const HwVersion& version) const;
    MappingStatus check_sep_cnp_constraints(const Layer& layer, const HwVersion& version) const;
    MappingStatus check_fnp_common_constraints(const Layer& layer, const HwVersion& version) const;
};

}  // namespace vorna::v1
