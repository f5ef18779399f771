#pragma once

// v1 partial-reconfiguration registers: the words that let one NP be
// reprogrammed between hardware passes.

#include <cstdint>
#include <vector>

#include "backend/hw.h"

namespace vorna {
class Layer;
}

namespace vorna::v1 {

// Writes words 32 to 35 of the register file of `component` (an NP of
// `layer`) and raises the input-buffer sizes of words 4 and 14 (bits 0-17) to
// what the layer needs there; the sizes never shrink. An FNP2 or FNP3
// component is sized as an FNP, anything else as a CNP (which needs the
// component's placement: std::invalid_argument without one). The layer must
// carry a LayerMapping (std::invalid_argument otherwise): word 32 bits 24-31
// take its input channel. Same register-file checks and overflow failures as
// np_registers.h.
void update_partial_reconfig_regs(std::vector<uint32_t>* regs, const Layer& layer,
                                  const hw::Component& component);

}  // namespace vorna::v1
