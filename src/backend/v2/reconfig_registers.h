#pragma once

// Partial-reconfiguration words of the v2 NP register file. When an NP that
// runs the last layer of one pass also runs the first layer of the next, its
// register file carries a description of that next layer: its input geometry
// and packing, its kind, its place in the mesh and where its input comes from.

#include <cstdint>
#include <vector>

#include "backend/hw.h"
#include "program/register.h"

namespace vorna {

class Layer;

namespace v2 {

// Word 32.
constexpr RegDetail PR1_FNP_MODE{1, 1};
constexpr RegDetail PR1_IB_CH_GRP_EN{10, 1};
constexpr RegDetail PR1_SP_MAXPOOLING{11, 1};
// Word 33.
constexpr RegDetail PR1_I_ORIG_CUT{0, 12};
constexpr RegDetail PR1_J_ORIG_CUT{16, 12};
// Word 34.
constexpr RegDetail PR1_I_SIZE_CUT{0, 11};
constexpr RegDetail PR1_J_SIZE_CUT{16, 11};
// Word 35.
constexpr RegDetail PR1_CH_SIZE{0, 18};
constexpr RegDetail PR1_SEPARABLE{15, 1};
// Word 40.
constexpr RegDetail PR1_PKSRAM_SIZE{0, 16};
// Word 42.
constexpr RegDetail PR1_CH_ORIG_CUT{0, 12};
constexpr RegDetail PR1_CH_SIZE_CUT{16, 10};

// Writes words 32 to 35, 40 to 42 and bit 15 of word 44 (`pass_output`) of
// `regs` for `layer`, the first layer of the next pass, running on
// `component`. The layer must carry its LayerMapping. An FNP layer whose
// input has no packing fails with "Unsupported padding."; a value too wide
// for its field panics with the overflow text.
void update_partial_reconfig_regs(std::vector<uint32_t>* regs, const Layer& layer,
                                  const hw::Component& component, bool pass_output);

}  // namespace v2
}  // namespace vorna
