#pragma once

// The FNP RAM image of a v1 FullyConnected layer: one block of 32-bit words
// per neuron, holding its threshold, its activation step and its weights as
// bit planes.
//
// Block of neuron n (S words from word n x S, G = ceil(inputs / 32), B = 1 for
// 1-bit weights, else weights_bits - 1 magnitude planes per sign):
//   word 0: bits 0-19 threshold (20-bit two's complement)
//   word 1: bits 0-19 activation step in sixteenths (unsigned)
//   words 2, 3: 0
//   4 + g x B + k: plane k of the 32 inputs of group g, non-negative weights
//   4 + G x B + g x B + k: the same for the magnitudes of negative weights
//   (only when weights_bits > 1)
// Input j lands at bit j mod 32 of the words of group j div 32.

#include <cstdint>
#include <vector>

namespace vorna {
class Dense;
}

namespace vorna::v1 {

// Builds the image of `fnp_sram_size(weights shape, weights_bits)` words.
// `weights`: (neurons, inputs), 8-bit signed storage, read through its
// strides. `thresholds` and `steps` (sixteenths): int32, one per neuron, read
// flat; they are not read when `activation` is false (threshold words then
// hold 0x80000 and step words 0).
// Failures: a threshold outside 20-bit signed range panics "%d cannot fit in
// a %d bits signed integer."; a step outside 0..0xFFFFF throws FnpError "act_step
// should be between 0 and 65535. Receives act_step <step / 16>."; a negative
// 1-bit weight (which has no plane to go to) throws FnpError; fewer
// thresholds or steps than neurons is a runtime error.
std::vector<uint32_t> format_fnp_ram(const Dense& weights, const Dense& thresholds,
                                     const Dense& steps, int weights_bits, bool activation);

}  // namespace vorna::v1
