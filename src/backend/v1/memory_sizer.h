#pragma once

// The v1 memory sizer: the input, weight and external memory, in bytes, that
// a layer needs on one of its components. v1 has none of the TNP memories.

#include <memory>

#include "backend/interfaces.h"

namespace vorna::v1 {

class MemorySizerImpl : public MemorySizerWithoutTnpR {
  public:
    MemorySizerImpl() = default;
    ~MemorySizerImpl() override = default;

    // InputConvolutional, Add, Dequantizer, Quantizer: 0; FullyConnected: its
    // FNP input words x 4; Convolutional and SeparableConvolutional: the input
    // SRAM words of the component's part x 4. Any other kind:
    // std::invalid_argument "Invalid v1 layer type.". `first_layer` is not
    // read.
    uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer,
                                   const hw::Component& component,
                                   const std::shared_ptr<Layer>& first_layer) const override;
    // InputConvolutional: HRC SRAM words x 4; FullyConnected: FNP SRAM words
    // x 4 on an FNP3, 0 on an FNP2 (its weights are external); Convolutional
    // and SeparableConvolutional: the bytes of the 50-bit weight rows of the
    // component's filters; Add, Dequantizer, Quantizer: 0; any other kind:
    // std::invalid_argument "Invalid v1 layer type.".
    uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer,
                                    const hw::Component& component) const override;
    // FNP SRAM words x 4 on an FNP2, else 0, whatever the layer kind.
    uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer,
                                      const hw::Component& component, bool dual_output,
                                      bool multipass) const override;
};

}  // namespace vorna::v1
