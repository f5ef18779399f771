#pragma once

// The program of an InputConv2D layer on the HRC of a v2 device: the HRC
// register block, the weight SRAM of each input channel, the look-up table
// of a LUT activation, the activation parameters, then the three register
// writes that start the HRC.

#include <memory>

#include "export.h"
#include "program/record.h"

namespace vorna {

class Device;
class Layer;

namespace v2 {

// Records `layer` (an InputConv2D layer with computed convolution
// parameters) on the HRC. A LUT activation needs the variables "lut_values",
// "activation_shift" and "activation_scales"; a missing one throws
// std::runtime_error naming the layer and the variable.
VORNA_EXPORT std::unique_ptr<program::Record> record_program_input_conv2d_layer(
    const Device& device, const Layer& layer);

}  // namespace v2
}  // namespace vorna
