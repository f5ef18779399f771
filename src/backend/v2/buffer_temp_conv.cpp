#include "backend/v2/buffer_temp_conv.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "backend/layer_mapping.h"
#include "backend/np_split.h"
#include "backend/v2/cnp_registers.h"
#include "backend/v2/cnp_variables.h"
#include "backend/v2/dw_buffer_temp_conv.h"
#include "backend/v2/np_registers.h"
#include "backend/v2/reconfig_registers.h"
#include "backend/v2/shift_lut_formats.h"
#include "backend/v2/skipdma.h"
#include "corelib/device.h"
#include "corelib/dma.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/variables.h"
#include "program/register.h"

namespace vorna::v2 {

namespace {

// TNP-B words of the register file, in the order they are written.
constexpr RegDetail TNPB1_ENABLE{28, 1};
constexpr RegDetail TNPB3_DEPTHWISE{2, 1};
constexpr RegDetail TNPB3_CH_SPLIT{10, 1};
constexpr RegDetail TNPB4_FIFO_SIZE{0, 16};
constexpr RegDetail TNPB11_CH_CONT{12, 18};
constexpr RegDetail TNPB21_CHANNELS{0, 11};
constexpr RegDetail TNPB22_FIRST_NEURON{0, 12};
constexpr RegDetail TNPB22_NEURONS{16, 10};
constexpr RegDetail TNPB28_CHANNELS_4{16, 16};
constexpr RegDetail TNPB28_ROW_WORDS{0, 14};
constexpr RegDetail TNPB29_NEURON_GROUPS{16, 8};
constexpr RegDetail TNPB30_BIT0{0, 1};
constexpr RegDetail TNPB30_BIT1{1, 1};
constexpr RegDetail TNPB30_FIFO_SIZE{8, 4};
constexpr RegDetail TNPB30_FIFO_SLOTS{16, 4};
constexpr RegDetail TNPB56_INPUT_BLOCKS{16, 9};
constexpr RegDetail TNPB56_BIT31{31, 1};

// Bytes of one 100-bit weight word in an image.
constexpr uint32_t kBytesPer100b = 12;

LayerType layer_type_of(TnpBKind kind) {
    return kind == TnpBKind::BufferTempConv ? LayerType::BufferTempConv
                                            : LayerType::DepthwiseBufferTempConv;
}

// The placement of a TNP-B component.
const hw::Placement& tnp_b_placement_of(const Layer& layer, const hw::Component& component) {
    if (!component.placement) {
        throw std::runtime_error("TNP-B component of layer '" + layer.get_name() +
                                 "' has no placement.");
    }
    return *component.placement;
}

bool contains(const std::vector<hw::Ident>& idents, const hw::Ident& ident) {
    return std::find(idents.begin(), idents.end(), ident) != idents.end();
}

std::shared_ptr<const Dense> optional_variable(const Layer& layer, const char* name) {
    if (!layer.variables()->has(name)) return nullptr;
    return Tensor::ensure_dense(layer.variables()->get(name));
}

// A variable the recording cannot do without.
std::shared_ptr<const Dense> required_variable(const Layer& layer, const char* name) {
    if (!layer.variables()->has(name)) {
        throw std::runtime_error("Layer '" + layer.get_name() + "' has no variable '" + name +
                                 "'.");
    }
    return Tensor::ensure_dense(layer.variables()->get(name));
}

uint32_t round_up_16(uint32_t words) { return (words + 15) / 16 * 16; }

// The words specific to the TNP-B kinds, for a neuron run of N neurons from
// S over K input channels (K4 rounded up to 4), a W2 x H2 input region of B
// bits, a FIFO of F slots and Cin input channels of the layer.
void write_tnp_b_words(TnpBKind kind, std::vector<uint32_t>* regs, uint32_t F, uint32_t S,
                       uint32_t N, uint32_t K, uint32_t W2, uint32_t H2, uint32_t B, uint32_t Cin) {
    const bool depthwise = kind == TnpBKind::DepthwiseBufferTempConv;
    uint32_t* w = regs->data();
    const uint32_t K4 = (K + 3) / 4 * 4;
    const bool channel_split = N < Cin;

    set_field(&w[1], TNPB1_ENABLE, 1);
    if (depthwise) {
        set_field(&w[3], TNPB3_DEPTHWISE, 1);
        set_field(&w[3], TNPB3_CH_SPLIT, channel_split ? 1u : 0u);
    }
    set_field(&w[4], TNPB4_FIFO_SIZE, F);
    set_field(&w[11], TNPB11_CH_CONT, depthwise ? 1u : buffer_temp_conv_ch_cont_100b_size(N));
    set_field(&w[21], TNPB21_CHANNELS, K);
    if (depthwise) {
        set_field(&w[22], TNPB22_FIRST_NEURON, channel_split ? S : 0u);
        set_field(&w[22], TNPB22_NEURONS, channel_split ? N : 0u);
    }
    set_field(&w[28], TNPB28_CHANNELS_4, K4);
    set_field(&w[28], TNPB28_ROW_WORDS, (K4 * W2) / 4);
    set_field(&w[29], TNPB29_NEURON_GROUPS, depthwise ? 1u : (N + 7) / 8);
    set_field(&w[30], TNPB30_BIT0, 0);
    set_field(&w[30], TNPB30_BIT1, 1);
    set_field(&w[30], TNPB30_FIFO_SIZE, F);
    set_field(&w[30], TNPB30_FIFO_SLOTS, F + 1);
    set_field(&w[56], TNPB56_INPUT_BLOCKS, ((W2 * H2 * K4 * B + 31) / 32 + 63) / 64);
    set_field(&w[56], TNPB56_BIT31, 0);
}

}  // namespace

uint32_t buffer_temp_conv_ch_cont_100b_size(uint32_t neurons) {
    // Neurons rounded up to a multiple of 8, then of 24; 12 neurons per word.
    const uint32_t eights = (neurons + 7) & ~7u;
    const uint32_t q = (eights + 23) / 24 * 24;
    return (q + 11) / 12;
}

uint32_t buffer_temp_conv_tnp_formatted_weight_100b_size(uint32_t fifo_size, uint32_t neurons,
                                                         uint32_t channels) {
    return buffer_temp_conv_ch_cont_100b_size(neurons) * ((fifo_size + 1) * channels);
}

uint32_t tnp_b_buffer_temp_conv_formatted_weight_32b_size(uint32_t neurons, uint32_t rows) {
    const uint32_t words = 3 * rows * buffer_temp_conv_ch_cont_100b_size(neurons);
    return dma::config_block_size_needs_xl(words) ? round_up_16(words) : words;
}

std::vector<uint32_t> format_tnp_b_buffer_temp_conv_weights(const Dense& weights,
                                                            uint32_t fifo_size,
                                                            uint32_t first_neuron,
                                                            uint32_t neurons) {
    const uint32_t rows = weights.dimensions().dims[2];
    std::vector<uint32_t> image(tnp_b_buffer_temp_conv_formatted_weight_32b_size(neurons, rows),
                                0u);
    const int8_t* data = weights.data<int8_t>();
    if (fifo_size == 0) {
        throw std::invalid_argument("The fifo_size of a BufferTempConv layer must be at least 1.");
    }
    const uint32_t channels = rows / fifo_size;
    const uint32_t row_bytes = kBytesPer100b * buffer_temp_conv_ch_cont_100b_size(neurons);
    for (uint32_t s = 0; s < fifo_size; ++s) {
        for (uint32_t k = 0; k < channels; ++k) {
            const uint32_t row_start = row_bytes * (k * fifo_size + s);
            for (uint32_t j = first_neuron; j < first_neuron + neurons; ++j) {
                const uint32_t byte = row_start + (j - first_neuron);
                const auto value =
                    static_cast<uint8_t>(data[weights.offset_of({0, 0, s * channels + k, j})]);
                image[byte / 4] |= static_cast<uint32_t>(value) << (8 * (byte % 4));
            }
        }
    }
    return image;
}

TnpBRegisterMap format_tnp_b_registers(TnpBKind kind, const Layer& layer,
                                       const std::shared_ptr<Layer>& pr_layer, bool ib_spikes,
                                       bool pass_output, const std::vector<hw::Ident>& nps,
                                       bool unused, bool last_flag) {
    const LayerMapping* mapping = &layer_mapping_of(layer);
    const std::vector<hw::Component> sources = source_components(*mapping);
    const std::vector<hw::Component>& span = own_components(*mapping);
    const std::vector<hw::Component> destinations = destination_components(*mapping);

    const LayerParams& params = *layer.params();
    const auto activation = static_cast<ActivationType>(params.get("activation"));
    const auto fifo_size = static_cast<uint32_t>(params.get("fifo_size"));
    const std::vector<Shape> inputs = layer.input_dimensions();
    const Shape& input_shape = inputs.at(0);
    const uint8_t input_bits = layer.input_bits();
    const uint8_t output_bits = layer.output_bits();

    static const PaddingParams kNoPadding{};
    static const std::unique_ptr<MergeLayerMapInfo> kNoMerge;
    static const std::vector<hw::Component> kNoComponents;

    TnpBRegisterMap result;
    for (const hw::Component& component : span) {
        if (contains(nps, component.ident)) continue;
        const hw::Placement& placement = tnp_b_placement_of(layer, component);
        const uint32_t S = placement.start_neuron;
        const uint32_t N = placement.filters;

        std::vector<uint32_t> regs = default_np_regs(component, mapping->channel, unused, false);
        const NpSplit split(input_shape, placement.spatial_partition, placement.aux_partition, 1, 1,
                            kNoPadding, 0, 1, kNoPadding);
        format_cnp_tnp_common_config_registers(
            &regs, split, 1, 0, activation, S, N, 8, span, placement.single_buffer, false,
            input_bits, output_bits, kNoMerge, nullptr, kNoComponents, last_flag, false);
        write_tnp_b_words(kind, &regs, fifo_size, S, N, placement.spatial_partition.shape.dims[2],
                          placement.aux_partition.shape.dims[0],
                          placement.aux_partition.shape.dims[1], input_bits, input_shape.dims[2]);
        format_mesh_registers_set_output_to_NPs(
            &regs, sources, span, destinations, mapping->alt_info, mapping->next_channel,
            mapping->p2p_input, mapping->output_to_dma, pass_output);
        if (pr_layer) {
            if (const hw::Component* next = component_on(*pr_layer, component.ident)) {
                update_partial_reconfig_regs(&regs, *pr_layer, *next, pass_output);
            }
        }
        if (ib_spikes) set_ib_spikes(&regs);
        result[component.ident] = std::move(regs);
    }
    return result;
}

std::unique_ptr<program::Record> record_program_tnp_b_layer(TnpBKind kind, const Device& device,
                                                            const Layer& layer,
                                                            const std::shared_ptr<Layer>& pr_layer,
                                                            bool ib_spikes, bool pass_output,
                                                            const std::vector<hw::Ident>& nps,
                                                            bool unused, bool last_flag) {
    if (layer.params()->layer_type() != layer_type_of(kind)) {
        throw std::runtime_error("Invalid layer type for TNP-B recording.");
    }
    const bool depthwise = kind == TnpBKind::DepthwiseBufferTempConv;
    const LayerMapping* mapping = &layer_mapping_of(layer);
    const TnpBRegisterMap registers = format_tnp_b_registers(kind, layer, pr_layer, ib_spikes,
                                                             pass_output, nps, unused, last_flag);

    auto record = program::new_record(device.version());
    std::vector<uint32_t> input_shift_words;
    if (!unused) {
        record_skipdma(record.get(), layer);
        if (!depthwise) {
            input_shift_words = format_input_shift(*required_variable(layer, "input_shift"), 0, 0);
        }
    }

    const auto max_value = optional_variable(layer, "max_value");
    const auto max_value_shift = optional_variable(layer, "max_value_shift");
    const auto activation_shift = optional_variable(layer, "activation_shift");
    const auto activation_scales = optional_variable(layer, "activation_scales");
    const auto output_shift = optional_variable(layer, "output_shift");
    const auto bias_shift = optional_variable(layer, "bias_shift");
    const auto bias = optional_variable(layer, "bias");
    const auto output_scales = optional_variable(layer, "output_scales");

    for (const hw::Component& component : own_components(*mapping)) {
        const auto found = registers.find(component.ident);
        if (found == registers.end()) continue;
        record->add_np_track(component.ident, dma::NpRegisters, 0, found->second, true, true);
        if (unused) continue;

        const hw::Placement& placement = tnp_b_placement_of(layer, component);
        const uint32_t first = placement.start_neuron;
        const uint32_t count = placement.filters;
        const auto weights = required_variable(layer, "weights");
        if (depthwise) {
            record->add_np_track(
                component.ident, dma::CnpWeightsAlt, 0,
                format_tnp_b_depthwise_buffer_temp_conv_weights(*weights, first, count), true,
                true);
            record->add_np_track(
                component.ident, dma::InputShift, 0,
                format_input_shift(*required_variable(layer, "input_shift"), first, count), true,
                true);
        } else {
            const auto fifo_size = static_cast<uint32_t>(layer.params()->get("fifo_size"));
            record->add_np_track(
                component.ident, dma::CnpWeightsAlt, 0,
                format_tnp_b_buffer_temp_conv_weights(*weights, fifo_size, first, count), true,
                true);
            record->add_np_track(component.ident, dma::InputShift, 0, input_shift_words, true,
                                 true);
        }
        record->add_np_track(
            component.ident, dma::NeuronVariables, 0,
            format_cnp_tnp_variables(max_value.get(), max_value_shift.get(), activation_shift.get(),
                                     activation_scales.get(), output_shift.get(), bias_shift.get(),
                                     bias.get(), output_scales.get(), first, count),
            true, true);
    }
    return record;
}

TnpBRegisterMap format_buffer_temp_conv_registers(const Layer& layer,
                                                  std::shared_ptr<Layer> pr_layer, bool ib_spikes,
                                                  bool pass_output,
                                                  const std::vector<hw::Ident>& nps, bool unused,
                                                  bool last_flag) {
    return format_tnp_b_registers(TnpBKind::BufferTempConv, layer, pr_layer, ib_spikes, pass_output,
                                  nps, unused, last_flag);
}

std::unique_ptr<program::Record> record_program_buffer_temp_conv_layer(
    const Device& device, const Layer& layer, std::shared_ptr<Layer> pr_layer, bool ib_spikes,
    bool pass_output, const std::vector<hw::Ident>& nps, bool unused, bool last_flag) {
    return record_program_tnp_b_layer(TnpBKind::BufferTempConv, device, layer, pr_layer, ib_spikes,
                                      pass_output, nps, unused, last_flag);
}

}  // namespace vorna::v2
