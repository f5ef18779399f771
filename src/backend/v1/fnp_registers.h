#pragma once

// Register files of the v1 FNP that runs a FullyConnected layer, the on-chip
// learning register words, and FnpError, the exception of FNP formatting.

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"

namespace vorna {
class Device;
class Layer;
class LearningParams;
}  // namespace vorna

namespace vorna::v1 {

// Failure while formatting an FNP program or its learning records. The message
// is "Backend hardware(FullyConnected): " followed by the text.
class FnpError : public std::runtime_error {
  public:
    explicit FnpError(const std::string& text);
};

// The register file of the FNP that runs `layer` (its first mapped
// component), keyed by that component's ident: FNP mode, input geometry,
// neuron count, FNP3 weight-block words, learning words (`learning`), mesh
// routing, the configuration-DMA word on an FNP2, partial reconfiguration when
// `next_pass_first_layer` has a component on the same NP, and the input-buffer
// spikes bit with `pass_input`. `pass_output` becomes bit 2 of routing word 44.
// Throws std::invalid_argument "4-bit FNP inputs require single buffer mode."
// for a 4-bit input in dual-buffer mode, std::out_of_range for a mapping with
// no component; field overflows are fatal through panic.
std::map<hw::Ident, std::vector<uint32_t>> format_fnp_regs(
    const Device& device, const Layer& layer, bool learning,
    const std::shared_ptr<Layer>& next_pass_first_layer, bool pass_input, bool pass_output);

// Learning words 36 to 38. Without parameters only the learning-enable bit is
// cleared; with them it is set and the competition, minimum plasticity and
// plasticity decay fields are written from "num_weights",
// "initial_plasticity", "learning_competition", "min_plasticity" and
// "plasticity_decay".
void format_learning_common_regs(std::vector<uint32_t>* regs, const LearningParams* params);

// Word 39 bits 0-15 = a, then word 41 bits 0-11 = b.
void format_learning_cnp_regs(std::vector<uint32_t>* regs, uint32_t a, uint32_t b);

}  // namespace vorna::v1
