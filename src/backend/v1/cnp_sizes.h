#pragma once

// Sizes of a v1 CNP: packed input containers, input SRAM words, weight words
// of a convolution slice and whether those weights fit one CNP.

#include <cstdint>

#include "backend/hardware_constraints.h"

namespace vorna {
class Layer;
}

namespace vorna::v1 {

// Bytes taken by `n` values of `bits` bits packed into whole bytes:
// (n * bits + 7) >> 3. Saturates at 0xFFFFFFFF instead of wrapping.
uint32_t get_cnp_channel_container_size(uint32_t n, uint8_t bits);

// 32-bit input SRAM words for `rows` rows of `count` containers of
// `container` bytes: ((container * count * 8 + 31) >> 5) * rows. Saturates at
// 0xFFFFFFFF instead of wrapping, so that an oversized input never looks small.
uint32_t get_cnp_input_sram_size(uint32_t container, uint32_t count, uint32_t rows);

// 32-bit weight words (as sent by DMA) of a Convolutional or
// SeparableConvolutional layer for `filters` filters, rounded up to a multiple
// of 16 when the block needs the XL DMA header. Any other layer kind:
// std::invalid_argument "Unexpected layer type for CNP".
uint32_t get_weights_size(const Layer& layer, uint32_t filters);

// Whether the weights of `filters` filters of the layer fit the weight SRAM of
// one CNP (`weight_sram_size`, in 50-bit rows of two DMA words each). A
// Convolutional layer is also limited to 1023 rows of weights per input
// channel; a layer without input channels never fits.
bool check_weights_size_fit_cnp(const HardwareConstraints& constraints, const Layer& layer,
                                uint32_t filters);

}  // namespace vorna::v1
