#include "backend/mote/memory_sizer.h"

#include <stdexcept>

#include "backend/mote/tnp_r_sram.h"
#include "corelib/layer.h"

namespace vorna::mote {

namespace {

const Layer& checked(const std::shared_ptr<Layer>& layer) {
    if (layer == nullptr)
        throw std::invalid_argument("A layer is required to size TNP-R memories.");
    return *layer;
}

}  // namespace

uint32_t MemorySizerImpl::get_input_memory_size(const std::shared_ptr<Layer>&, const hw::Component&,
                                                const std::shared_ptr<Layer>&) const {
    return 0;
}

uint32_t MemorySizerImpl::get_weight_memory_size(const std::shared_ptr<Layer>&,
                                                 const hw::Component&) const {
    return 0;
}

uint32_t MemorySizerImpl::get_external_memory_size(const std::shared_ptr<Layer>&,
                                                   const hw::Component&, bool, bool) const {
    return 0;
}

uint32_t MemorySizerImpl::get_fsram_64b_memory_size(const std::shared_ptr<Layer>& layer) const {
    return get_tnpr_fsram_64b_size(checked(layer));
}

uint32_t MemorySizerImpl::get_tsram_51b_memory_size(const std::shared_ptr<Layer>& layer) const {
    return get_tnpr_tsram_51b_size(checked(layer));
}

uint32_t MemorySizerImpl::get_evsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const {
    return get_tnpr_evsram_32b_size(checked(layer));
}

uint32_t MemorySizerImpl::get_stsram_32b_memory_size(const std::shared_ptr<Layer>& layer) const {
    return get_tnpr_stsram_32b_size(checked(layer));
}

}  // namespace vorna::mote
