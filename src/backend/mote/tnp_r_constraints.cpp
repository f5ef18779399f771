#include "backend/mote/tnp_r_constraints.h"

#include <cstdint>
#include <memory>
#include <string>

#include "backend/mote/tnp_r_sram.h"

namespace vorna::mote {

namespace {

constexpr uint32_t kMaxStateChannels = 256;
constexpr uint32_t kMaxOutputChannels = 256;
constexpr uint32_t kMaxSubsample = 4;
constexpr uint64_t kMaxInputRowWords = 128;
constexpr uint32_t kMinTimesteps = 3;
constexpr uint32_t kMaxTimesteps = 128;

using std::to_string;

bool is_power_of_two(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// The first layer of a chain is fed by a layer that maps to no hardware
// component. A layer without inbound layers has nothing feeding it on the
// hardware either, and counts as first.
bool is_first_of_chain(const Layer& layer) {
    const auto inbound = layer.inbound_layers();
    return inbound.empty() || inbound.front()->is_target_component(TargetComponent::None);
}

MappingStatus check_all_elements(const Layer& layer, const std::string& var, uint8_t expected) {
    if (!layer.variables()->has(var)) return MappingStatus::success();
    const auto values = layer_variable(layer, var);
    for (size_t i = 0; i < values->size(); ++i) {
        const uint8_t v = values->at<uint8_t>(i);
        if (v != expected) {
            return make_layer_status_error(layer, "When activation is ReLU, all " + var +
                                                      " elements must be " + to_string(expected) +
                                                      " (got " + to_string(v) + " at index " +
                                                      to_string(i) + ").");
        }
    }
    return MappingStatus::success();
}

// Rules of one StatefulRecurrent layer; `expected` is the state channel
// count of the chain's first layer.
MappingStatus check_stateful_recurrent(const Layer& layer, uint32_t expected) {
    MappingStatus s;
    s += check_bitwidth(layer, 6, "new_state_shift", true);
    s += check_bitwidth(layer, 8, "new_state_scale", true);
    s += check_bitwidth(layer, 5, "internal_state_outputs_shift", true);
    s += check_packed_input_row(layer);
    s += check_relu_max_values(layer);

    const uint32_t in_bits = layer.input_bits();
    if (is_first_of_chain(layer)) {
        if (in_bits != 8 && in_bits != 16) {
            s += make_layer_status_error(
                layer,
                "For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( " +
                    to_string(in_bits) + ").");
        }
    } else if (in_bits != 8) {
        s += make_layer_status_error(
            layer, "For intermediate StatefulRecurrent layer, input must be 8-bit. got( " +
                       to_string(in_bits) + ").");
    }

    const uint32_t states = layer_param_u32(layer, "stateful_channels");
    if (states > kMaxStateChannels) {
        s += make_layer_status_error(layer, "State channels exceeds max limit of " +
                                                to_string(kMaxStateChannels) + " for TNP-R.");
    }
    if (!is_power_of_two(states)) {
        s += make_layer_status_error(
            layer, "State channels must be a power of 2. (got " + to_string(states) + ").");
    }
    if (states != expected) {
        s += make_layer_status_error(
            layer, "State channels must be the same for all stateful layers. Expected " +
                       to_string(expected) + "(got " + to_string(states) + ").");
    }

    if (layer_param_u32(layer, "output_channels") > kMaxOutputChannels) {
        s += make_layer_status_error(layer, "Output channels exceeds max limit of " +
                                                to_string(kMaxOutputChannels) + " for TNP-R.");
    }

    const int subsample = layer.params()->get("subsample");
    if (static_cast<uint32_t>(subsample) > kMaxSubsample) {
        s += make_layer_status_error(layer, "Subsample ratio exceeds max limit of " +
                                                to_string(kMaxSubsample) + " for TNP-R. (got " +
                                                to_string(subsample) + ").");
    }

    const auto next = next_chain_layer(layer);
    if (next == nullptr || !is_layer_type(*next, LayerType::StatefulRecurrent)) {
        const uint32_t out_bits = layer.output_bits();
        if (out_bits != 8 && out_bits != 28 && out_bits != 32) {
            s += make_layer_status_error(
                layer,
                "For the last StatefulRecurrent layer, outputs must be 8-bit, 28-bit or 32-bit. "
                "(got " +
                    to_string(out_bits) + ").");
        }
    }
    return s;
}

MappingStatus check_sram_sizes(const HardwareConstraints& c, const Layer& start) {
    MappingStatus s;
    const auto rule = [&](uint32_t size, uint32_t limit, const char* memory, const char* width) {
        if (size > limit) {
            s += make_layer_status_error(
                start, std::string(memory) + " size exceeds max limit of " + to_string(limit) +
                           " " + width + " words for TNP-R (got " + to_string(size) + ").");
        }
    };
    rule(get_tnpr_evsram_32b_size(start), c.evsram_32b_limit, "EVSRAM", "32-bit");
    rule(get_tnpr_stsram_32b_size(start), c.stsram_32b_limit, "STSRAM", "32-bit");
    rule(get_tnpr_fsram_64b_size(start), c.fsram_64b_limit, "FSRAM", "64-bit");
    rule(get_tnpr_tsram_51b_size(start), c.tsram_51b_limit, "TSRAM", "51-bit");
    return s;
}

}  // namespace

MappingStatus make_layer_status_error(const Layer& layer, const std::string& message) {
    return MappingStatus(layer, message);
}

MappingStatus check_packed_input_row(const Layer& layer) {
    if (!is_first_of_chain(layer)) return MappingStatus::success();
    const uint64_t ch = first_input_shape(layer).dims[2];
    const uint64_t bits = layer.input_bits();
    // In 64 bits so that no channel count wraps the row size.
    const uint64_t n = ch * bits + 31;
    const uint64_t w = n / 32;
    MappingStatus s;
    if (!is_power_of_two(w)) {
        s += make_layer_status_error(
            layer,
            "The packed input row (channels x input bits) must occupy a power-of-2 number of "
            "32-bit words (got " +
                to_string(w) + " words for " + to_string(ch) + " channels at " + to_string(bits) +
                "-bit).");
    }
    if (n > 63) {
        const uint64_t padded =
            packed_input_row_words(static_cast<uint32_t>(ch), static_cast<uint32_t>(bits));
        if (padded > kMaxInputRowWords) {
            s += make_layer_status_error(
                layer,
                "The maximum input row size (input_channels * input_bits, padded to a power-of-2 "
                "number of 32-bit words) is " +
                    to_string(kMaxInputRowWords * 4) + " bytes (got " + to_string(4 * padded) +
                    ").");
        }
    }
    const uint64_t limit = bits == 8 ? 256 : 128;
    if (ch > limit) {
        s += make_layer_status_error(layer, "The maximum input channels for " + to_string(bits) +
                                                "-bit input is " + to_string(limit) + " (got " +
                                                to_string(ch) + ").");
    }
    return s;
}

MappingStatus check_relu_max_values(const Layer& layer) {
    if (!layer.is_activation(ActivationType::ReLU)) return MappingStatus::success();
    MappingStatus s;
    s += check_all_elements(layer, "max_value", 127);
    s += check_all_elements(layer, "max_value_shift", 31);
    return s;
}

MappingStatus check_post_processing_layer(const Layer& layer) {
    if (is_layer_type(layer, LayerType::Dequantizer)) return MappingStatus::success();
    MappingStatus s;
    if (!is_layer_type(layer, LayerType::MotePostProcessing)) {
        s += make_layer_status_error(layer,
                                     "Only a Dequantizer or a MotePostProcessing is allowed a the "
                                     "end of a serie of StatefulRecurrent layers.");
    }
    const Shape input = first_input_shape(layer);
    if (input.dims[2] != 1) {
        s += make_layer_status_error(
            layer, "MotePostProcessing layer input must have a single channel (got " +
                       to_string(input.dims[2]) + ").");
    }
    const uint32_t timesteps = input.dims[1];
    if (timesteps < kMinTimesteps) {
        s += make_layer_status_error(layer, "Timesteps dimension must be at least " +
                                                to_string(kMinTimesteps) + " (got " +
                                                to_string(timesteps) + ").");
    } else if (timesteps > kMaxTimesteps) {
        s += make_layer_status_error(layer, "Timesteps dimension must be at most " +
                                                to_string(kMaxTimesteps) + " (got " +
                                                to_string(timesteps) + ").");
    }

    // The recurrent layer that feeds this one: the first inbound layer when it
    // is on the TNP-R, else the second.
    const auto inbound = layer.inbound_layers();
    std::shared_ptr<Layer> feeding;
    if (!inbound.empty() && inbound[0]->is_target_component(TargetComponent::TNP_R)) {
        feeding = inbound[0];
    } else if (inbound.size() > 1) {
        feeding = inbound[1];
    }
    if (feeding == nullptr) {
        s += make_layer_status_error(
            layer, "MotePostProcessing layer must be fed by a StatefulRecurrent layer.");
        return s;
    }
    const uint8_t scale = layer_variable(*feeding, "output_scales")->at<uint8_t>(0);
    if (scale != 1) {
        s += make_layer_status_error(
            *feeding,
            "Output scales must be 1 for the last StatefulRecurrent layer before a "
            "MotePostProcessing layer (got " +
                to_string(scale) + ").");
    }
    const int8_t shift = layer_variable(*feeding, "output_shift")->at<int8_t>(0);
    if (shift != 0) {
        s += make_layer_status_error(
            *feeding,
            "Output shift must be 0 for the last StatefulRecurrent layer before a "
            "MotePostProcessing layer (got " +
                to_string(shift) + ").");
    }
    return s;
}

MappingStatus check_tnp_r_constraints(const HardwareConstraints& constraints, const Layer& start) {
    // The chain's sizes and its state channel count are those of a recurrent
    // first layer; a chain starting elsewhere is only walked.
    const bool recurrent_start = is_layer_type(start, LayerType::StatefulRecurrent);
    const uint32_t expected = recurrent_start ? layer_param_u32(start, "stateful_channels") : 0;

    MappingStatus result;
    uint32_t count = 0;
    const Layer* layer = &start;
    std::shared_ptr<Layer> hold;
    while (layer != nullptr) {
        if (result.error) break;
        if (layer->is_target_component(TargetComponent::TNP_R)) ++count;
        const bool recurrent = is_layer_type(*layer, LayerType::StatefulRecurrent);
        result += recurrent ? check_stateful_recurrent(*layer, expected)
                            : check_post_processing_layer(*layer);
        if (!recurrent && !layer->outbound_layers().empty()) {
            result += make_layer_status_error(
                *layer, "Dequantizer/MotePostProcessing must be the last layer.");
        }
        hold = next_chain_layer(*layer);
        layer = hold.get();
    }

    if (count > kMaxTnprLayers) {
        result += MappingStatus::failure("A model cannot have more that " +
                                         to_string(kMaxTnprLayers) + " StatefulRecurrent layers.");
    }
    if (recurrent_start) result += check_sram_sizes(constraints, start);
    return result;
}

}  // namespace vorna::mote
