#include "backend/mote/tnp_r_program.h"

#include <stdexcept>
#include <string>

namespace vorna::mote {

namespace {

// The bits of one flag or field written in place, range-tested like every
// other register field.
void put(std::vector<uint32_t>& regs, uint32_t word, uint32_t shift, uint32_t width,
         uint32_t value) {
    set_field(&regs[word], RegDetail{shift, width}, value);
}

// A count that a 16-bit parameter must carry, refused rather than wrapped.
uint16_t narrow_u16(uint32_t value) {
    if (value > 0xFFFF) {
        panic("%u cannot fit in a %d bits unsigned integer.", value, 16);
    }
    return static_cast<uint16_t>(value);
}

hw::Ident first_component_ident(const Layer& layer) {
    const auto mapping = layer.mapping();
    if (mapping == nullptr || mapping->nps == nullptr) {
        throw std::runtime_error("Layer '" + layer.get_name() + "' has no mapping.");
    }
    return mapping->nps->at(0).ident;
}

}  // namespace

std::vector<uint32_t> format_tnpr_registers(const TnprRegisterParams& p) {
    std::vector<uint32_t> regs(kTnprRegisterWords, 0);
    const uint32_t count = p.layer_count;

    put(regs, 0, 0, 3, count - 1);
    put(regs, 0, 17, 1, p.has_post_processing ? 1 : 0);
    put(regs, 0, 18, 1, p.output_bits == 16 ? 1 : 0);
    put(regs, 0, 19, 1, p.input_bits == 16 ? 1 : 0);
    put(regs, 0, 20, 1, p.has_post_processing ? 1 : 0);
    put(regs, 0, 22, 1, p.output_bits > 16 ? 1 : 0);

    put(regs, 1, 0, 8, p.input_row_words);
    put(regs, 1, 8, 8, p.timesteps);

    put(regs, 3, 0, 16, p.tsram_input_shift_start);
    put(regs, 3, 16, 16, p.tsram_output_start);

    put(regs, 4, 0, 16, p.post_processing_state_offset);

    // The 3-bit test above bounds count to 1..8.
    for (uint32_t i = 0; i < count; ++i) put(regs, 5, 2 * i, 2, p.subsample[i] - 1);

    set_field(&regs[6], INTERNAL_STATE_SIZE, p.stateful_channels);

    const RegDetail low{0, 9};
    const RegDetail high{9, 9};
    const RegDetail cout_fields[8] = {LAYER_0_COUT_SIZE,
                                      LAYER_1_COUT_SIZE,
                                      LAYER_2_COUT_SIZE,
                                      LAYER_3_COUT_SIZE,
                                      LAYER_4_COUT_SIZE,
                                      high,
                                      low,
                                      high};
    for (uint32_t i = 0; i < count; ++i) {
        set_field(&regs[7 + i / 2], cout_fields[i], p.output_channels[i]);
    }
    for (uint32_t i = 0; i < count; ++i) {
        set_field(&regs[11 + i / 2], i % 2 == 0 ? low : high, p.input_channels[i]);
    }

    if (p.has_post_processing) {
        // The flag of the post-processing layer (the last position), and the
        // flags of the last recurrent layer and the post-processing layer.
        put(regs, 15, 0, 8, 1u << (count - 1));
        put(regs, 15, 8, 8, (3u << (count - 1)) >> 1);
    }
    put(regs, 15, 16, 8, static_cast<uint32_t>(p.relu_layers.to_ulong()));
    return regs;
}

void format_tnpr_layer_memories(const Layer& layer, WordList& fsram, WordList& state_updating,
                                WordList& output, WordList& input_shift, TnprRegisterParams& params,
                                uint32_t position) {
    const bool relu = layer.is_activation(ActivationType::ReLU);
    params.relu_layers.set(position, relu);  // std::out_of_range beyond position 7
    params.subsample[position] = layer_param_u32(layer, "subsample");
    params.output_channels[position] = layer_param_u32(layer, "output_channels");
    params.input_channels[position] = first_input_shape(layer).dims[2];

    format_fsram_weights(fsram, *layer_variable(layer, "in_proj"),
                         *layer_variable(layer, "out_proj"));
    format_tsram_state_updating_var(
        state_updating, *layer_variable(layer, "A_imag"), *layer_variable(layer, "A_real"),
        *layer_variable(layer, "internal_state_outputs_shift"),
        *layer_variable(layer, "new_state_scale"), *layer_variable(layer, "new_state_shift"));

    // Before a post-processing layer, the output is scaled as that layer's
    // input.
    std::shared_ptr<const Dense> scales;
    std::shared_ptr<const Dense> shift;
    const auto next = next_chain_layer(layer);
    if (next != nullptr && is_layer_type(*next, LayerType::MotePostProcessing)) {
        scales = layer_variable(*next, "input_scales");
        shift = layer_variable(*next, "input_shift");
    } else {
        scales = layer_variable(layer, "output_scales");
        shift = layer_variable(layer, "output_shift");
    }
    format_tsram_output_var(output, *scales, *shift, *layer_variable(layer, "bias"),
                            *layer_variable(layer, "bias_shift"));
    format_tsram_input_shift(input_shift, *layer_variable(layer, "input_shift"),
                             layer.input_bits());
}

std::unique_ptr<program::Record> record_program_tnpr_layers(const Device& device,
                                                            const Layer& first) {
    auto record = program::new_record(device.version());
    WordList fsram;
    WordList state_updating;
    WordList output;
    WordList input_shift;
    TnprRegisterParams params;

    const Layer* last_recurrent = nullptr;
    bool post_processing = false;
    const Layer* layer = &first;
    std::shared_ptr<Layer> hold;
    for (uint32_t i = 0; layer != nullptr; ++i) {
        if (!layer->is_target_component(TargetComponent::TNP_R)) break;
        if (is_layer_type(*layer, LayerType::StatefulRecurrent)) {
            format_tnpr_layer_memories(*layer, fsram, state_updating, output, input_shift, params,
                                       i);
            last_recurrent = layer;
        } else {
            params.relu_layers.reset(i);  // std::out_of_range beyond position 7
            params.subsample[i] = 1;
            params.output_channels[i] = 1;
            params.input_channels[i] = 1;
            const uint16_t timesteps = narrow_u16(first_input_shape(*layer).dims[1]);
            const uint16_t threshold = layer_variable(*layer, "threshold")->at<uint16_t>(0);
            format_tsram_post_processing_output_var(output, timesteps, threshold);
            format_tsram_post_processing_input_shift(input_shift);
            post_processing = true;
        }
        params.layer_count = i + 1;
        hold = next_chain_layer(*layer);
        layer = hold.get();
    }

    const hw::Ident np = first_component_ident(first);

    const uint32_t states = layer_param_u32(first, "stateful_channels");
    params.input_bits = first.input_bits();
    params.has_post_processing = post_processing;
    if (post_processing) {
        params.output_bits = 16;
    } else if (last_recurrent != nullptr) {
        params.output_bits = last_recurrent->output_bits();
    }
    params.input_row_words = packed_input_row_words(first);
    params.timesteps = post_processing ? first_input_shape(first).dims[1] : 0;
    // Two list entries per TSRAM word. The start addresses are range-tested by
    // their 16-bit register fields instead of being wrapped.
    params.tsram_output_start = static_cast<uint32_t>(state_updating.size() / 2);
    params.tsram_input_shift_start =
        static_cast<uint32_t>((state_updating.size() + output.size()) / 2);
    params.post_processing_state_offset = post_processing ? (params.layer_count - 1) * states : 0;
    params.stateful_channels = states;

    const std::vector<uint32_t> registers = format_tnpr_registers(params);

    WordList tsram = state_updating;
    tsram.insert(tsram.end(), output.begin(), output.end());
    tsram.insert(tsram.end(), input_shift.begin(), input_shift.end());

    record->add_np_track(np, dma::TnpRRegisters, 0, registers, false, false);
    record->add_np_track(np, dma::Fsram, 0, fsram, false, false);
    record->add_np_track(np, dma::Tsram, 0, tsram, false, false);
    return record;
}

}  // namespace vorna::mote
