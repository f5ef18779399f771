#pragma once

// Whether a BufferTempConv or DepthwiseBufferTempConv layer can run on TNP-B
// NPs of a v2 device. Both kinds obey the same rules.

#include "backend/hardware_constraints.h"
#include "backend/mapping_status.h"

namespace vorna {

class Layer;

namespace v2 {

// Every broken rule, joined into one status on the layer.
MappingStatus check_buffer_temp_conv_constraints(const HardwareConstraints& constraints,
                                                 const Layer& layer);
MappingStatus check_depthwise_buffer_temp_conv_constraints(const HardwareConstraints& constraints,
                                                           const Layer& layer);

}  // namespace v2
}  // namespace vorna
