#pragma once

// Memory sizes on mote: a TNP-R component has no input, weight or external
// memory; its four SRAM sizes are those of the chain that starts at the
// layer.

#include "backend/interfaces.h"

namespace vorna::mote {

class MemorySizerImpl : public MemorySizer {
  public:
    MemorySizerImpl() = default;
    ~MemorySizerImpl() override = default;

    uint32_t get_input_memory_size(const std::shared_ptr<Layer>& layer,
                                   const hw::Component& component,
                                   const std::shared_ptr<Layer>& first_layer) const override;
    uint32_t get_weight_memory_size(const std::shared_ptr<Layer>& layer,
                                    const hw::Component& component) const override;
    uint32_t get_external_memory_size(const std::shared_ptr<Layer>& layer,
                                      const hw::Component& component, bool dual_output,
                                      bool multipass) const override;
    uint32_t get_fsram_64b_memory_size(const std::shared_ptr<Layer>& layer) const override;
    uint32_t get_tsram_51b_memory_size(const std::shared_ptr<Layer>& layer) const override;
    uint32_t get_evsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const override;
    uint32_t get_stsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const override;
};

}  // namespace vorna::mote
