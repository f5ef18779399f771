#include "backend/v1/cnp_sizes.h"

#include <stdexcept>

#include "backend/v1/cnp_weights.h"
#include "corelib/dma.h"
#include "corelib/layer.h"

namespace vorna::v1 {

namespace {

uint32_t saturate(uint64_t v) { return v > 0xFFFFFFFFull ? 0xFFFFFFFFu : static_cast<uint32_t>(v); }

uint32_t input_channels(const Layer& layer) {
    const std::vector<Shape> inputs = layer.input_dimensions();
    if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    return inputs.front()[2];
}

}  // namespace

uint32_t get_cnp_channel_container_size(uint32_t n, uint8_t bits) {
    return saturate((static_cast<uint64_t>(n) * bits + 7) >> 3);
}

uint32_t get_cnp_input_sram_size(uint32_t container, uint32_t count, uint32_t rows) {
    const uint64_t per_row = (static_cast<uint64_t>(container) * count * 8 + 31) >> 5;
    // per_row < 2^62 here, so the product with a 32-bit row count cannot pass
    // 2^94; guard it before multiplying.
    if (rows != 0 && per_row > 0xFFFFFFFFull / rows) return 0xFFFFFFFFu;
    return saturate(per_row * rows);
}

uint32_t get_weights_size(const Layer& layer, uint32_t filters) {
    const LayerParams& params = *layer.params();
    const LayerType type = params.layer_type();
    if (type != LayerType::Convolutional && type != LayerType::SeparableConvolutional) {
        throw std::invalid_argument("Unexpected layer type for CNP");
    }
    const uint32_t channels = input_channels(layer);
    const uint32_t kernel = static_cast<uint32_t>(params.get("kernel_width"));
    const uint32_t bits = static_cast<uint32_t>(params.get("weights_bits"));
    const uint32_t n = type == LayerType::Convolutional
                           ? get_std_cnp_sram_size(kernel, channels, filters, bits)
                           : get_sep_cnp_sram_size(kernel, channels, filters, bits);
    if (!dma::config_block_size_needs_xl(n)) return n;
    // Rounding 0xFFFFFFFF (an unsupported weight width) up would wrap to 0.
    return saturate((static_cast<uint64_t>(n) + 15) / 16 * 16);
}

bool check_weights_size_fit_cnp(const HardwareConstraints& constraints, const Layer& layer,
                                uint32_t filters) {
    const uint32_t w = get_weights_size(layer, filters);
    const uint32_t channels = input_channels(layer);
    const LayerType type = layer.params()->layer_type();
    if (type == LayerType::Convolutional) {
        if (channels == 0) return false;
        if ((w / channels) >> 2 > 1023) return false;
    } else if (type != LayerType::SeparableConvolutional) {
        throw std::invalid_argument("Unexpected layer type for CNP");
    }
    return constraints.weight_sram_size >= (w >> 1);
}

}  // namespace vorna::v1
