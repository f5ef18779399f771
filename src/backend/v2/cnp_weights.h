#pragma once

// Weight images of the v2 CNP convolution kinds: how the weights of one NP's
// filter range are laid out in the CNP weight memory (100-bit words), the
// sizes of those images and the DMA target that receives them.
//
// Conv2D / Conv2DTranspose weights are (k, k, nc, filters), dimension 0 being
// the kernel column (the fastest axis of a packed kernel row). Depthwise
// weights are (k, k, 1, channels), the element of column x, row y and
// channel c being (x, y, 0, c). Elements are read through the tensor strides,
// so both memory layouts give the same image.

#include <cstdint>
#include <vector>

#include "corelib/dma.h"
#include "corelib/tensor.h"

namespace vorna {
namespace v2 {

// Packing of 8-bit Conv2D weights, per kernel size.
struct Conv2dWeightLayout {
    uint32_t pad_after;          // bytes of a filter row before the zero gap (0: no gap)
    uint32_t pad_bytes;          // zero bytes after each filter row
    uint32_t neurons_per_group;  // filters per group
    uint32_t group_words;        // 32-bit words of one group
    uint32_t kernel_row_stride;  // bytes between kernel rows inside a group
    uint32_t words_per_100b;     // 32-bit words per 100-bit word (3 or 4)
    uint32_t dma_target;         // DMA target of the image
};

// Kernel 1, 3, 4, 5 or 7; any other size throws std::runtime_error
// "cnp_weight_format: Unexpected kernel size.".
const Conv2dWeightLayout& conv2d_weight_layout(uint32_t kernel_size);

// 100-bit words one input channel takes for n filters.
uint32_t conv2d_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t n);
uint32_t conv2d_8bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t n);
uint32_t conv2d_ch_cont_100b_size(uint32_t kernel_size, uint32_t n, uint8_t weights_bits);

uint32_t conv2d_cnp_formatted_4bit_weight_100b_size(uint32_t kernel_size, uint32_t n, uint32_t nc);
// Never rounded for the XL form.
uint32_t conv2d_cnp_formatted_4bit_weight_32b_size(uint32_t kernel_size, uint32_t n, uint32_t nc);
uint32_t conv2d_cnp_formatted_weight_100b_size(uint32_t kernel_size, uint32_t n, uint32_t nc,
                                               uint8_t weights_bits);
// Exactly the length of the image format_conv2d_cnp_weights returns.
uint32_t conv2d_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t n, uint32_t nc,
                                              uint8_t weights_bits);

dma::Target conv2d_dma_target(uint32_t kernel_size, uint8_t weights_bits);

// The image of filters first_neuron .. first_neuron + neurons - 1. Weights
// bits other than 8 give the 4-bit image. The weights must be stored as
// signed bytes; a filter range or kernel outside the tensor panics
// "Coordinates are out-of-range"; a 4-bit weight outside -8..7 panics
// "%d cannot fit in a %d bits signed integer.".
std::vector<uint32_t> format_conv2d_cnp_weights(const Dense& weights, uint32_t first_neuron,
                                                uint32_t neurons, uint8_t weights_bits);
std::vector<uint32_t> format_conv2d_4bit_weights(const Dense& weights, uint32_t first_neuron,
                                                 uint32_t neurons);

// Packing of 8-bit depthwise weights, per kernel size.
struct DwcWeightLayout {
    uint32_t row_bytes_before_gap;  // bytes of a kernel row before the in-row gap
    uint32_t gap_in_row;            // zero bytes inside a row
    uint32_t gap_after_row;         // zero bytes after a row
    uint32_t bytes_per_channel;     // bytes between the starts of two channels
    uint32_t words_per_100b;        // 32-bit words per 100-bit word
    uint32_t last;                  // always 1
};

// Kernel 3, 4, 5 or 7; any other size throws std::runtime_error
// "cnp_weight_format: Unexpected kernel size.".
const DwcWeightLayout& dwc_weight_layout(uint32_t kernel_size);

uint32_t dwc_dma_target(uint32_t kernel_size, uint8_t weights_bits);
uint32_t dwc_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels, uint8_t weights_bits);
uint32_t dwc_4bit_ch_cont_100b_size(uint32_t kernel_size, uint32_t channels);
uint32_t dwc_cnp_formatted_weight_32b_size(uint32_t kernel_size, uint32_t channels,
                                           uint8_t weights_bits);
// Always a multiple of 16.
uint32_t dwc_cnp_formatted_4bit_weight_32b_size(int kernel_size, uint32_t channels);

// The image of channels first_channel .. first_channel + channels - 1.
// Weights bits other than 8 give the 4-bit image. Same failures as the
// Conv2D formatters.
std::vector<uint32_t> format_depthwise_conv_cnp_weights(const Dense& weights,
                                                        uint32_t first_channel, uint32_t channels,
                                                        uint8_t weights_bits);
std::vector<uint32_t> format_depthwise_conv_cnp_4bit_weights(const Dense& weights,
                                                             uint32_t first_channel,
                                                             uint32_t channels);

}  // namespace v2
}  // namespace vorna
