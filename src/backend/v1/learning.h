#pragma once

// On-chip learning of the last FullyConnected layer of a v1 model: the three
// learning records of the layer, and the read-back of its learned variables
// from the device's learning memory.
//
// The learning layer's FNP RAM is the 1-bit image of fnp_ram.h (neuron n owns
// S = ceil(inputs / 32) + 4 words from word n x S) with these fields added:
//   word 1 bits 20-29: class of the neuron, counted from 1 (only when
//                      "num_classes" > 1)
//   word 2 bits 0-19:  "num_weights", of which bits 16-19 are then replaced by
//                      bits 16-19 of the neuron's "threshold_learning"
//   word 3 bits 16-31: bits 0-15 of "threshold_learning"
//   word 3 bits 0-15:  "thswap"

#include <cstdint>
#include <memory>
#include <vector>

#include "program/record.h"

namespace vorna {
class Device;
class HardwareDevice;
class Layer;
class VariablesImpl;
}  // namespace vorna

namespace vorna::v1 {

// The learning records of `layer`, all addressed to its first mapped
// component: the register file with learning enabled, the register file with
// learning disabled (both DMA target 7, with `pass_input` and no next layer),
// the FNP RAM image with the learning fields (target 6 on an FNP3, the FNP2
// filters track on an FNP2), and get_fnp_sram_size(layer).
// Throws FnpError "Negative value for threshold_learning not supported." for a
// negative learning threshold, and FnpError for a layer whose weights are not
// 1-bit, for a "num_classes" below 1 and for more classes than units;
// thresholds above 20-bit signed range and fields too wide panic.
program::LearnRecordsPtr record_program_learning_dense_layer(const Device& device,
                                                             const Layer& layer, bool pass_input);

// Replaces "weights", "threshold_learning" and "thswap" of the learning layer
// with what the device's learning memory holds. On an FNP3 the memory starts
// with two words that precede the image. Throws std::runtime_error without a
// hardware device, std::invalid_argument without variables.
void fnp_update_learn_vars(HardwareDevice* device, VariablesImpl* variables, bool fnp3);

// The decoding half of fnp_update_learn_vars, from the learning memory as the
// device returned it. Every check (element types, variable sizes, a memory
// shorter than the image) runs before any variable is replaced; a short
// memory is a std::runtime_error.
void fnp_update_learn_vars_from_memory(std::vector<uint32_t> memory, VariablesImpl* variables,
                                       bool fnp3);

}  // namespace vorna::v1
