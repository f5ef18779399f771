#pragma once

// Whether an InputConv2D layer can run on the HRC of a v2 device: fixed HRC
// limits on its kernel, pooling, input size, activation, filters, weights and
// padding.

#include "backend/mapping_status.h"

namespace vorna {

class Layer;

namespace v2 {

// Every broken rule, joined into one status on the layer. Reading weights
// that are not stored as signed bytes throws (the core library's typed
// access).
MappingStatus check_input_conv2d_constraints(const Layer& layer);

}  // namespace v2
}  // namespace vorna
