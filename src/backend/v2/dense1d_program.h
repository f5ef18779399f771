#pragma once

// The program of a Dense1D layer mapped on an FNP2 or FNP3 of a v2 device:
// the NP's register track, its input-shift track and its FNP RAM (an NP
// track on an FNP3, the record's FNP2 filters track on an FNP2).

#include <memory>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/hw.h"
#include "program/record.h"

namespace vorna {

class Device;
class Layer;

namespace v2 {

// Records `layer` on the first component of its mapping.
// - `sequence_first_layer`: when it is `layer` itself (same object), the
//   input is flattened and packed as a first layer's.
// - `next_pass_first_layer`: when set and one of its components sits on the
//   same NP, the partial-reconfiguration words are written for it.
// - `pass_input` sets the input-buffer spikes bit; `pass_output` goes to the
//   routing and partial-reconfiguration words.
// - `nps`: when it holds the component's ident, the record has no tracks.
// - `unused_nps`: register file of an unused NP, input-shift track, no RAM.
std::unique_ptr<program::Record> record_program_dense1d_layer(
    const Device& device, const HardwareConstraints& constraints, const Layer& layer,
    const Layer& sequence_first_layer, std::shared_ptr<Layer> next_pass_first_layer,
    bool pass_input, bool pass_output, const std::vector<hw::Ident>& nps, bool unused_nps);

}  // namespace v2
}  // namespace vorna
