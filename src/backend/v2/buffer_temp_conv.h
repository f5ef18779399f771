#pragma once

// BufferTempConv layers on the TNP-Bs of a v2 device: the weight image of a
// TNP-B's neuron run, the register file of every TNP-B and the layer's
// program. The register and program routines are shared with
// DepthwiseBufferTempConv (backend/v2/dw_buffer_temp_conv.h), selected by
// TnpBKind.
//
// A weight-memory word is 100 bits, carried as three 32-bit words (12 bytes,
// least significant byte first). A weight row holds one byte per neuron of
// the run for one (FIFO slot, input channel) pair, padded to a multiple of 24
// neurons (two 100-bit words per 24 neurons).

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "backend/hw.h"
#include "corelib/tensor.h"
#include "program/record.h"

namespace vorna {

class Device;
class Layer;

namespace v2 {

// 100-bit words of one weight row of n neurons: 2 * ceil(n / 24).
uint32_t buffer_temp_conv_ch_cont_100b_size(uint32_t neurons);

// Weight memory one TNP-B needs, in 100-bit words: room for fifo_size + 1
// rows per input channel.
uint32_t buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size, uint32_t neurons,
                                                         uint32_t channels);

// Length in 32-bit words of an image of `rows` rows of n neurons, rounded up
// to a multiple of 16 when it needs the XL DMA header.
uint32_t tnp_b_buffer_temp_conv_formatted_weight_32b_size(uint32_t neurons, uint32_t rows);

// The image of neurons first_neuron .. first_neuron + neurons - 1. The
// tensor's third dimension holds fifo_size runs of K = rows / fifo_size
// entries (entry s * K + k for FIFO slot s and input channel k); the image
// puts the fifo_size rows of each input channel next to each other (row
// k * fifo_size + s). Elements (0, 0, entry, neuron) are read through the
// tensor's strides and must be stored as signed bytes. A fifo_size of 0
// throws std::invalid_argument; a neuron outside the tensor panics
// "Coordinates are out-of-range".
std::vector<uint32_t> format_tnp_b_buffer_temp_conv_weights(const Dense& weights,
                                                            uint32_t fifo_size,
                                                            uint32_t first_neuron,
                                                            uint32_t neurons);

// The two layer kinds that run on TNP-Bs.
enum class TnpBKind {
    BufferTempConv,
    DepthwiseBufferTempConv,
};

// Register files of the TNP-Bs of one layer, by NP.
using TnpBRegisterMap = std::map<hw::Ident, std::vector<uint32_t>>;

// The register file of every component of the layer's mapping whose ident is
// not in `nps`. `pr_layer` (may be null) is the first layer of the next
// pass: a component that also runs it gets its partial-reconfiguration
// words. `ib_spikes` sets the input-buffer spikes bit; `pass_output` marks
// the last layer of a pass that is not the last (routing and
// reconfiguration); `unused` makes register files of NPs the pass leaves
// unused; `last_flag` goes to word 1 bit 29. A field too wide for its
// register panics with the overflow text.
TnpBRegisterMap format_tnp_b_registers(TnpBKind kind, const Layer& layer,
                                       const std::shared_ptr<Layer>& pr_layer, bool ib_spikes,
                                       bool pass_output, const std::vector<hw::Ident>& nps,
                                       bool unused, bool last_flag);

// The program of the layer: its skip-DMA blocks, then per TNP-B, in mapping
// order, its registers (target 7), weights (1), input shifts (2) and
// per-neuron variables (5). With `unused` only the register blocks.
// Arguments as format_tnp_b_registers. A layer of another kind throws
// std::runtime_error "Invalid layer type for TNP-B recording.".
std::unique_ptr<program::Record> record_program_tnp_b_layer(TnpBKind kind, const Device& device,
                                                            const Layer& layer,
                                                            const std::shared_ptr<Layer>& pr_layer,
                                                            bool ib_spikes, bool pass_output,
                                                            const std::vector<hw::Ident>& nps,
                                                            bool unused, bool last_flag);

// format_tnp_b_registers and record_program_tnp_b_layer for BufferTempConv.
TnpBRegisterMap format_buffer_temp_conv_registers(const Layer& layer,
                                                  std::shared_ptr<Layer> pr_layer, bool ib_spikes,
                                                  bool pass_output,
                                                  const std::vector<hw::Ident>& nps, bool unused,
                                                  bool last_flag);
std::unique_ptr<program::Record> record_program_buffer_temp_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> pr_layer, bool ib_spikes,
    bool pass_output, const std::vector<hw::Ident>& nps, bool unused, bool last_flag);

}  // namespace v2
}  // namespace vorna
