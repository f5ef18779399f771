#pragma once

// Program recorders of the v2 CNP convolution kinds. For every CNP a layer is
// mapped on, in mapping order, the record holds the blocks that load the
// NP's register file (DMA target 7), its weights (1 or 0), input shifts (2),
// per-neuron variables (5), look-up table (12, LUT activation only) and merge
// shifts (10, Add merges only); the layer's skip-DMA blocks (11) follow all
// NPs. With `registers_only` only the register blocks are recorded.

#include <memory>
#include <vector>

#include "backend/hw.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "program/record.h"

namespace vorna {
namespace v2 {

// Parameters as the v2 layer recorder hands them on: `layer_ptr` (may be
// null) supplies the partial-reconfiguration words of NPs it shares,
// `skip_idents` lists NPs that get no blocks, `last_flag` goes to the
// registers. A layer of another kind fails with "Invalid layer type for CNP
// recording." before anything is recorded; a missing mapping or required
// variable is a std::runtime_error naming the layer.
std::unique_ptr<program::Record> record_program_conv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
    bool pr_flag, const std::vector<hw::Ident>& skip_idents, bool registers_only, bool last_flag);
std::unique_ptr<program::Record> record_program_transposed_conv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
    bool pr_flag, const std::vector<hw::Ident>& skip_idents, bool registers_only, bool last_flag);

// The depthwise kinds: an NP's neurons are its input channels, so its input
// shifts and merge shifts are cut to its channel range.
std::unique_ptr<program::Record> record_program_dwconv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
    bool pr_flag, const std::vector<hw::Ident>& skip_idents, bool registers_only, bool last_flag);
std::unique_ptr<program::Record> record_program_transposed_dwconv2d_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> layer_ptr, bool ib_spikes,
    bool pr_flag, const std::vector<hw::Ident>& skip_idents, bool registers_only, bool last_flag);

}  // namespace v2
}  // namespace vorna
