#pragma once

// Rules a chain of recurrent layers must meet to run on the TNP-R.
//
// Broken rules are failures in the returned status; nothing is thrown for
// them. A variable tensor of the wrong storage type ends a check with the
// tensor's runtime error.

#include <string>

#include "backend/hardware_constraints.h"
#include "backend/mapping_status.h"
#include "corelib/layer.h"

namespace vorna::mote {

// Most layers a TNP-R chain can hold, a closing post-processing layer
// included.
inline constexpr uint32_t kMaxTnprLayers = 8;

// A failure with the message, naming the layer.
MappingStatus make_layer_status_error(const Layer& layer, const std::string& message);

// Checks the chain that starts at `start` and runs, one first outbound layer
// at a time, to the end of the model: every StatefulRecurrent layer, the
// layer closing the chain, the number of TNP-R layers and the four SRAM
// sizes of the chain against the limits in `constraints`.
MappingStatus check_tnp_r_constraints(const HardwareConstraints& constraints, const Layer& start);

// The layer that closes a chain: a Dequantizer, or a MotePostProcessing
// layer with one input channel, 3 to 128 timesteps, and a feeding recurrent
// layer whose first output scale is 1 and first output shift 0.
MappingStatus check_post_processing_layer(const Layer& layer);

// The first layer of a chain: its input row, packed, must take a power-of-2
// number of 32-bit words, at most 512 bytes once padded, and the channel
// count is limited by the input width. Other layers pass.
MappingStatus check_packed_input_row(const Layer& layer);

// With a ReLU activation, every "max_value" element must be 127 and every
// "max_value_shift" element 31.
MappingStatus check_relu_max_values(const Layer& layer);

}  // namespace vorna::mote
