#pragma once

// Per-neuron variables of the v2 CNP and TNP-B layer kinds: two words per
// neuron, sent to the NP as its variables block.

#include <cstdint>
#include <vector>

#include "corelib/tensor.h"
#include "program/register.h"

namespace vorna {
namespace v2 {

// Fields of the first variables word of a neuron.
inline constexpr RegDetail VARS_W1_BIAS{8, 8};
inline constexpr RegDetail VARS_W1_BIAS_SHIFT{16, 5};
inline constexpr RegDetail VARS_W1_OUT_SHIFT{21, 6};
inline constexpr RegDetail VARS_W1_MAX_SHIFT{27, 5};

// The variables block of neurons first_neuron .. first_neuron + neuron_count - 1:
// word 2k holds output scale (bits 0-7), bias (8-15), bias shift (16-20),
// output shift (21-26, signed) and max value shift or the low five bits of
// the activation shift (27-31); word 2k + 1 holds the max value (bits 0-7)
// or bit 5 of the activation shift (bit 0) and the activation scale (1-8).
// Any tensor may be null (absent). Scales, bias shift, max value and its
// shift are unsigned bytes; bias, output shift and activation shift signed
// bytes: another element type panics "Wrong requested type %s for a tensor
// of type %s.". A tensor shorter than the neuron range panics "Coordinates
// are out-of-range". Nothing is written before every tensor is checked.
std::vector<uint32_t> format_cnp_tnp_variables(const Dense* max_value, const Dense* max_value_shift,
                                               const Dense* activation_shift,
                                               const Dense* activation_scales,
                                               const Dense* output_shift, const Dense* bias_shift,
                                               const Dense* bias, const Dense* output_scales,
                                               uint32_t first_neuron, uint32_t neuron_count);

}  // namespace v2
}  // namespace vorna
