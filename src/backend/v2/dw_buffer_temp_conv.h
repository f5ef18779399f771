#pragma once

// DepthwiseBufferTempConv layers on the TNP-Bs of a v2 device. Each neuron
// (channel) has one tap per FIFO slot and no input-channel rows: its taps
// fill one 100-bit weight word (12 bytes). Registers and program are those
// of BufferTempConv (backend/v2/buffer_temp_conv.h) with the depthwise
// differences.

#include <cstdint>
#include <memory>
#include <vector>

#include "backend/v2/buffer_temp_conv.h"

namespace vorna {
namespace v2 {

// Most taps (FIFO slots) one neuron's weight word holds.
inline constexpr uint32_t DW_BUFFER_TEMP_CONV_MAX_TAPS = 12;

// Weight memory one TNP-B needs, in 100-bit words: (fifo_size + 1) * n.
uint32_t depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size,
                                                                   uint32_t neurons);

// 3 * (fifo_size + 1) * n, rounded up to a multiple of 16 when it needs the
// XL DMA header.
uint32_t depthwise_buffer_temp_conv_formatted_weight_32b_size(uint32_t fifo_size, uint32_t neurons);

// The image of neurons first_neuron .. first_neuron + neurons - 1: byte
// 12 * (j - first_neuron) + t is element (0, 0, t, j), T = the tensor's third
// dimension taps per neuron. Elements must be stored as signed bytes. More
// than 12 taps throws std::runtime_error (they would land in the next
// neuron's word).
std::vector<uint32_t> format_tnp_b_depthwise_buffer_temp_conv_weights(const Dense& weights,
                                                                      uint32_t first_neuron,
                                                                      uint32_t neurons);

// As their BufferTempConv counterparts, for DepthwiseBufferTempConv layers.
TnpBRegisterMap format_depthwise_buffer_temp_conv_registers(const Layer& layer,
                                                            std::shared_ptr<Layer> pr_layer,
                                                            bool ib_spikes, bool pass_output,
                                                            const std::vector<hw::Ident>& nps,
                                                            bool unused, bool last_flag);
std::unique_ptr<program::Record> record_program_depthwise_buffer_temp_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> pr_layer, bool ib_spikes,
    bool pass_output, const std::vector<hw::Ident>& nps, bool unused, bool last_flag);

}  // namespace v2
}  // namespace vorna
