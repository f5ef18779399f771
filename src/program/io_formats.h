// Input and output formats of a program: how the program's input is fed (bit width,
// signedness, layout, scales, zero points) and how its output is read (shifts, scales).
// The input side comes from the first layer of the sequence's layer list (which may be a
// Quantizer that is not mapped), the output side from its last layer.
#pragma once

#include <cstdint>
#include <vector>

#include "corelib/layer.h"

namespace vorna::io {

// A Quantizer's output bits; otherwise the layer's input bits.
uint8_t input_bits(const Layer& layer);
// A Quantizer's output sign. Otherwise unsigned below 5 input bits or when the layer targets
// the HRC, else signed.
bool input_sign(const Layer& layer);
// True only for a Quantizer whose "channels_first" parameter is non-zero.
bool input_channels_first(const Layer& layer);
// A Quantizer's "scales" (float32); otherwise none.
std::vector<float> format_input_scales(const Layer& layer);
// A Quantizer's "zero_points" (unsigned bytes); otherwise none.
std::vector<uint8_t> format_input_zero_points(const Layer& layer);
// A Dequantizer gives as many zeros as the first dimension of its "scales". Otherwise none
// when the activation is enabled or the output kind is not 1 (thresholded potentials); else
// the "threshold" values (int32).
std::vector<int32_t> format_output_shift(const Layer& layer);
// A Dequantizer gives its "scales". Otherwise none under the conditions of
// format_output_shift; else 1 / s for each "act_step" value s, and s itself where s is zero.
std::vector<float> format_output_scales(const Layer& layer);

}  // namespace vorna::io
