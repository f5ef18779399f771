#pragma once

// Programs of v1 CNP layers: per NP of the layer's mapping, in mapping order,
// its register block (DMA target 7), its weight blocks (target 0) and its
// threshold block (target 4), all appended to the record's tracks.

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "program/record.h"

namespace vorna {
class Device;
class Layer;
}  // namespace vorna

namespace vorna::v1 {

// Failure of the v1 CNP formatting code; what() is
// "Backend hardware(CNP): " + message.
class CnpError : public std::runtime_error {
  public:
    explicit CnpError(const std::string& message);
    ~CnpError() override;
};

// Program of a Convolutional layer. `next_pass_first_layer` (may be null),
// `pass_input`, `pass_output` and `nps` are passed to the register-set
// formatter; an NP listed in `nps` gets an empty register block. With
// `unused_nps` only the register blocks are recorded. A layer of another
// class: std::bad_cast.
std::unique_ptr<program::Record> record_program_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_pass_first_layer,
    bool pass_input, bool pass_output, const std::vector<hw::Ident>& nps, bool unused_nps);

// Program of a SeparableConvolutional layer: as above, with a depthwise block
// (the same for every NP, at offset 0) and a pointwise block (at the offset of
// the depthwise block's length in 16-word units) in place of the weights.
std::unique_ptr<program::Record> record_program_sep_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> next_pass_first_layer,
    bool pass_input, bool pass_output, const std::vector<hw::Ident>& nps, bool unused_nps);

}  // namespace vorna::v1
