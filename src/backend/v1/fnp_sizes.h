#pragma once

// Sizes, in 32-bit words, of what a FullyConnected layer occupies on a v1 FNP:
// its FNP RAM (per neuron 4 header words, then its weights as bit planes of 32
// inputs per word) and its FNP input memory (one word per 32 input values).
//
// Sizes that do not fit 32 bits saturate at UINT32_MAX, so that they fail
// every memory limit instead of wrapping to a small value.

#include <cstdint>

#include "corelib/types.h"

namespace vorna {
class Layer;
}

namespace vorna::v1 {

// FNP RAM words of the neurons of a weights shape (neurons, inputs):
// neurons x (ceil(inputs / 32) x planes + 4), with 1 plane for 1-bit weights,
// else weights_bits - 1 magnitude planes for each sign. std::invalid_argument
// for a width below 1.
uint32_t fnp_sram_size(const Shape& shape, int weights_bits);

// FNP input words of a layer: ceil(x * y * c / 32) over its first input shape,
// whatever the input bit width.
uint32_t get_fnp_input_size(const Layer& layer);

// FNP SRAM words of a FullyConnected layer: fnp_sram_size of its "weights"
// variable and "weights_bits" parameter, raised to a multiple of 16 when a
// DMA block of that many words needs the XL header.
uint32_t get_fnp_sram_size(const Layer& layer);

}  // namespace vorna::v1
