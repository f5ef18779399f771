#include "backend/v2/dw_buffer_temp_conv.h"

#include <stdexcept>
#include <string>

#include "corelib/dma.h"

namespace vorna::v2 {

uint32_t depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size,
                                                                   uint32_t neurons) {
    return (fifo_size + 1) * neurons;
}

uint32_t depthwise_buffer_temp_conv_formatted_weight_32b_size(uint32_t fifo_size,
                                                              uint32_t neurons) {
    const uint32_t words = 3 * (fifo_size + 1) * neurons;
    return dma::config_block_size_needs_xl(words) ? (words + 15) / 16 * 16 : words;
}

std::vector<uint32_t> format_tnp_b_depthwise_buffer_temp_conv_weights(const Dense& weights,
                                                                      uint32_t first_neuron,
                                                                      uint32_t neurons) {
    const uint32_t taps = weights.dimensions().dims[2];
    std::vector<uint32_t> image(depthwise_buffer_temp_conv_formatted_weight_32b_size(taps, neurons),
                                0u);
    const int8_t* data = weights.data<int8_t>();
    if (taps > DW_BUFFER_TEMP_CONV_MAX_TAPS) {
        throw std::runtime_error("A DepthwiseBufferTempConv neuron holds at most " +
                                 std::to_string(DW_BUFFER_TEMP_CONV_MAX_TAPS) + " taps (got " +
                                 std::to_string(taps) + ").");
    }
    for (uint32_t j = first_neuron; j < first_neuron + neurons; ++j) {
        for (uint32_t t = 0; t < taps; ++t) {
            const uint32_t byte = 12 * (j - first_neuron) + t;
            const auto value = static_cast<uint8_t>(data[weights.offset_of({0, 0, t, j})]);
            image[byte / 4] |= static_cast<uint32_t>(value) << (8 * (byte % 4));
        }
    }
    return image;
}

TnpBRegisterMap format_depthwise_buffer_temp_conv_registers(const Layer& layer,
                                                            std::shared_ptr<Layer> pr_layer,
                                                            bool ib_spikes, bool pass_output,
                                                            const std::vector<hw::Ident>& nps,
                                                            bool unused, bool last_flag) {
    return format_tnp_b_registers(TnpBKind::DepthwiseBufferTempConv, layer, pr_layer, ib_spikes,
                                  pass_output, nps, unused, last_flag);
}

std::unique_ptr<program::Record> record_program_depthwise_buffer_temp_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> pr_layer, bool ib_spikes,
    bool pass_output, const std::vector<hw::Ident>& nps, bool unused, bool last_flag) {
    return record_program_tnp_b_layer(TnpBKind::DepthwiseBufferTempConv, device, layer, pr_layer,
                                      ib_spikes, pass_output, nps, unused, last_flag);
}

}  // namespace vorna::v2
