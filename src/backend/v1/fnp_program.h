#pragma once

// The program of a FullyConnected layer mapped on a v1 FNP.

#include <memory>
#include <vector>

#include "backend/hw.h"
#include "program/record.h"

namespace vorna {
class Device;
class Layer;
}  // namespace vorna

namespace vorna::v1 {

// The record of `layer`, addressed to its first mapped component: the NP
// register file (DMA target 7), then the FNP RAM image, as an NP block with
// target 6 on an FNP3 or as the record's FNP2 filters track on an FNP2.
// A layer whose NP is in `nps` gives a record with no track; `unused_nps`
// records the register file only. `next_pass_first_layer`, `pass_input` and
// `pass_output` go to format_fnp_regs.
std::unique_ptr<program::Record> record_program_dense_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_pass_first_layer,
    bool pass_input, bool pass_output, const std::vector<hw::Ident>& nps, bool unused_nps);

}  // namespace vorna::v1
