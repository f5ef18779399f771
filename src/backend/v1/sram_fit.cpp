#include "backend/v1/sram_fit.h"

#include "backend/v1/cnp_sizes.h"
#include "backend/v1/fnp_sizes.h"
#include "corelib/params.h"

namespace vorna::v1 {

uint32_t input_piece_words(uint32_t height, uint32_t width, uint32_t channels, uint8_t bits) {
    return get_cnp_input_sram_size(get_cnp_channel_container_size(width, bits), channels, height);
}

bool input_fits_single_buffer(const HardwareConstraints& constraints, uint32_t height,
                              uint32_t width, uint32_t channels, uint8_t bits) {
    return input_piece_words(height, width, channels, bits) <=
           constraints.input_sram_size_single_buffer;
}

bool input_fits_dual_buffer(const HardwareConstraints& constraints, uint32_t height, uint32_t width,
                            uint32_t channels, uint8_t bits) {
    return input_piece_words(height, width, channels, bits) <=
           constraints.input_sram_size_dual_buffer;
}

NpSplitParams split_params(const LayerParams& params) {
    NpSplitParams s;
    const uint32_t kernel_width = static_cast<uint32_t>(params.get("kernel_width"));
    const uint32_t kernel_height = static_cast<uint32_t>(params.get("kernel_height"));
    s.border_left = kernel_width >> 1;
    s.border_right = kernel_width >> 1;
    s.border_top = kernel_height >> 1;
    s.border_bottom = kernel_height >> 1;
    s.pool_type = static_cast<uint32_t>(params.get("pool_type"));
    s.pool_width = static_cast<uint32_t>(params.get("pooling_width"));
    s.pool_height = static_cast<uint32_t>(params.get("pooling_height"));
    s.filters = static_cast<uint32_t>(params.get("filters"));
    return s;
}

bool fits_fnp3(const HardwareConstraints& constraints, const Layer& layer) {
    return constraints.fnp3_sram_size >= get_fnp_sram_size(layer);
}

}  // namespace vorna::v1
