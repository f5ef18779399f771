#pragma once

// v1 CNP weight images and their sizes.
//
// A v1 CNP keeps its weights in an SRAM of 50-bit rows; each row travels as
// two 32-bit words (row bits 0-31 in the first, bits 32 and up in the low
// bits of the second), so every image is a vector of 32-bit words of even
// length, row r in words 2r and 2r + 1. Images are built for a slice of the
// layer's filters (start and count), one slice per NP. Sizes are counts of
// 32-bit words.
//
// Weight tensors hold signed bytes (int8, int4, int2 or bit); any other
// element type panics "Wrong requested type %s for a tensor of type %s.".
// Dimensions d0..d3 in the tensor's shape order:
//  - standard weights: filters, input channels, kernel height, kernel width;
//  - depthwise weights: 1, channels, kernel rows, kernel columns (square);
//  - pointwise weights: filters, input channels (element (f, c) at raw
//    buffer offset c * d0 + f).

#include <cstdint>
#include <memory>
#include <vector>

#include "corelib/tensor.h"

namespace vorna::v1 {

// N-bit two's-complement code of `value` (N = 2 or 4); a value outside
// [-2^(N-1), 2^(N-1) - 1] panics "%d cannot fit in a %d bits signed integer.".
template <int N>
uint32_t int32_to_intN(int32_t value);

// Kernels of 1- and 2-bit standard weights held by one row: 48, 5, 2 and 1
// for kernel sizes 1, 3, 5 and 7; 0 for any other size.
uint32_t std_cnp_kernels_per_row(uint32_t kernel_size);

// Standard weights with 1 bit (a plus plane) or 2 bits (plus and minus
// planes, `two_planes`) per weight, for filters [start, start + count).
// Kernel size 1 always uses two planes. Throws std::runtime_error "CNP: width
// and height must be equal." for a kernel that is not square,
// "Unsupported kernel size" for a kernel other than 1, 3, 5 or 7, and
// std::invalid_argument when the filter slice passes the tensor's filters.
// The length of the image format_std_cnp_weights gives, with the same shape
// and slice checks, without building it (weight values are not read).
size_t std_cnp_weight_words(const std::shared_ptr<const Dense>& weights, bool two_planes,
                            uint32_t start, uint32_t count);
// The same for format_4bits_std_cnp_weights.
size_t std_cnp_4bit_weight_words(const Dense& weights, uint32_t start, uint32_t count);
std::vector<uint32_t> format_std_cnp_weights(const std::shared_ptr<const Dense>& weights,
                                             bool two_planes, uint32_t start, uint32_t count);

// Standard weights with 4-bit sign-magnitude codes, for filters
// [start, start + count). Throws "Unsupported kernel size" for a kernel
// other than 1, 3, 5 or 7, "CNP: width and height must be equal." when the
// kernel has more rows than columns, and std::invalid_argument when the
// filter slice passes the tensor's filters.
std::vector<uint32_t> format_4bits_std_cnp_weights(const Dense& weights, uint32_t start,
                                                   uint32_t count);

// Words of a standard image of kernel size k, ch input channels, F filters
// and b-bit weights; 0xFFFFFFFF for a weight width other than 1, 2 and 4.
// Kernel sizes other than 1, 3, 5, 7: std::runtime_error "Unsupported kernel
// size".
uint32_t get_std_cnp_sram_size(uint32_t k, uint32_t ch, uint32_t F, uint32_t b);

// Depthwise image of a separable layer (all channels; every NP gets the same
// one). Throws std::invalid_argument when one kernel row of `bits`-bit
// weights is wider than a weight row.
std::vector<uint32_t> format_sep_cnp_dw_weights(const Dense& weights, int bits);

// Pointwise image of a separable layer for filters [start, start + count).
// Throws std::invalid_argument when the filter slice passes the tensor's
// filters or `bits` is not 1 to 48.
std::vector<uint32_t> format_sep_cnp_pw_weights(const Dense& weights, int bits, uint32_t start,
                                                uint32_t count);

// Words of the depthwise image of kernel size k over ch channels with b-bit
// weights, rounded up to a multiple of 16. Same failure as the formatter.
uint32_t get_dw_weights_sram_size(uint32_t k, uint32_t ch, uint32_t b);

// Rows (each two words) that one input channel of a pointwise image of F
// filters with b-bit weights takes.
uint32_t get_nb_words_per_pw_channel(uint32_t F, uint32_t b);

// Depthwise plus pointwise words of a separable layer.
uint32_t get_sep_cnp_sram_size(uint32_t k, uint32_t ch, uint32_t F, uint32_t b);

}  // namespace vorna::v1
