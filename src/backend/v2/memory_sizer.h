#pragma once

// Memory a v2 layer takes on one component: the NP input memory, the NP
// weight memory and the external memory (FNP2 weights, skip-DMA buffers), in
// bytes. v2 has none of the mote SRAMs.

#include <cstdint>
#include <memory>

#include "backend/hw.h"
#include "backend/interfaces.h"

namespace vorna {

class Layer;

namespace v2 {

// Bytes of a weight size given in 100-bit words, rounded down.
uint32_t weights_100b_to_bytes(uint32_t words);

// Input memory of `layer` on `component`; `first_layer` is the first layer of
// the sequence. CNP and TNP-B kinds give 0 on components of other kinds. A
// kind v2 does not size throws std::invalid_argument "Invalid v2 layer type.".
uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer, const hw::Component& component,
                               const std::shared_ptr<Layer>& first_layer);

// Weight memory of `layer` on `component`, with the component's filter count.
uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer,
                                const hw::Component& component);

// External memory: an FNP2's weights, or the buffer of a skip-DMA store (the
// layer's input with `dual_output`, else its output), held for every
// pass with `multi_pass`, else until its farthest consumer reads it.
uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer,
                                  const hw::Component& component, bool dual_output,
                                  bool multi_pass);

// The v2 MemorySizer: the three sizes above; v2 has no mote SRAMs, so their
// sizes are 0 for every layer.
class MemorySizerImpl : public MemorySizerWithoutTnpR {
  public:
    MemorySizerImpl() = default;
    ~MemorySizerImpl() override;

    uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer,
                                   const hw::Component& component,
                                   const std::shared_ptr<Layer>& first_layer) const override;
    uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer,
                                    const hw::Component& component) const override;
    uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer,
                                      const hw::Component& component, bool dual_output,
                                      bool multipass) const override;
};

}  // namespace v2
}  // namespace vorna
