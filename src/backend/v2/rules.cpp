#include "backend/v2/rules.h"

#include <algorithm>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <unordered_set>

#include "backend/graph_utils.h"
#include "backend/graph_utils_internal.h"
#include "backend/layer_mapping.h"
#include "backend/v2/buffer_temp_conv.h"
#include "backend/v2/cnp_registers.h"
#include "backend/v2/cnp_weights.h"
#include "backend/v2/concatenate_constraints.h"
#include "backend/v2/dense1d_constraints.h"
#include "backend/v2/dw_buffer_temp_conv.h"
#include "backend/v2/input_conv2d_constraints.h"
#include "backend/v2/tnp_b_constraints.h"
#include "corelib/layer.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"

namespace vorna {
namespace v2 {

namespace {

using LayerIt = std::vector<std::shared_ptr<Layer>>::const_iterator;

constexpr uint32_t GAP_MAX_INPUT_X = 64;
constexpr uint32_t GAP_MIN_OUTPUT_ROWS = 1;
constexpr uint32_t GAP_MAX_INPUT_AREA = 144;
constexpr uint32_t ADD_MAX_INPUT_SHIFT_DIFF = 15;
constexpr int ADD_OUTPUT_SHIFT_MIN = -4;
constexpr int ADD_OUTPUT_SHIFT_MAX = 3;
constexpr size_t MAX_OUTBOUNDS = 2;

LayerType layer_type(const Layer& layer) { return layer.params()->layer_type(); }

bool targets(const Layer& layer, TargetComponent t) { return layer.is_target_component(t); }

// x, y and channels of the layer's first input.
Shape first_input(const Layer& layer) {
    const std::vector<Shape> dims = layer.input_dimensions();
    if (dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    return dims[0];
}

std::shared_ptr<const Dense> variable(const Layer& layer, const std::string& name) {
    return Tensor::ensure_dense(layer.variables()->get(name));
}

uint64_t round_up(uint64_t value, uint64_t multiple) {
    return (value + multiple - 1) / multiple * multiple;
}

// 32-bit words of a (height x width x channels) CNP input: each row of
// `bits`-bit values padded to whole 32-bit words.
uint64_t cnp_input_words(uint64_t height, uint64_t width, uint64_t channels, uint64_t bits) {
    const uint64_t row_bytes = round_up((bits * width + 7) / 8, 4);
    return ((row_bytes * channels * 8 + 31) / 32) * height;
}

// Membership in a run of layers, by a hash set built at the first question.
class RunMembers {
  public:
    RunMembers(LayerIt begin, LayerIt end) : begin_(begin), end_(end) {}
    bool contains(const Layer* layer) {
        if (members_.empty()) {
            members_.reserve(static_cast<size_t>(end_ - begin_));
            for (LayerIt it = begin_; it != end_; ++it) members_.insert(it->get());
        }
        return members_.count(layer) != 0;
    }

  private:
    LayerIt begin_, end_;
    std::unordered_set<const Layer*> members_;
};

// The first inbound layer that is not null and satisfies `pred`, or null.
template <class Pred>
std::shared_ptr<Layer> first_inbound(const Layer& layer, Pred pred) {
    for (const auto& in : layer.inbound_layers())
        if (in && pred(*in)) return in;
    return nullptr;
}

void add_error(MappingStatus* status, const Layer& layer, const std::string& message) {
    *status += make_layer_status_error(layer, message);
}

// The Conv2D / Conv2DTranspose filter rule: one filter's weights over all
// input channels must fit the NP's weight memory.
bool filter_fits(const HardwareConstraints& constraints, const Layer& layer) {
    const LayerParams& p = *layer.params();
    const uint64_t per_channel =
        conv2d_ch_cont_100b_size(static_cast<uint32_t>(p.get("kernel_size")), 1,
                                 static_cast<uint8_t>(p.get("weights_bits")));
    return per_channel * first_input(layer)[2] <= constraints.weight_sram_size;
}

}  // namespace

MappingStatus make_layer_status_error(const Layer& layer, const std::string& message) {
    return MappingStatus(layer, message);
}

const char* activation_type_name(int activation) {
    switch (activation) {
        case static_cast<int>(ActivationType::NoActivation):
            return "NoActivation";
        case static_cast<int>(ActivationType::ReLU):
            return "ReLU";
        case static_cast<int>(ActivationType::LUT):
            return "LUT";
        default:
            return "Unknown";
    }
}

// --- Per-layer checks ---------------------------------------------------------

MappingStatus check_supported_activation(const Layer& layer, const Mesh& mesh) {
    MappingStatus status;
    if (!targets(layer, TargetComponent::CNP) && !targets(layer, TargetComponent::HRC) &&
        layer.activation_enabled() && !layer.is_activation(ActivationType::ReLU)) {
        const char* name = activation_type_name(layer.params()->get("activation"));
        add_error(&status, layer, std::string("Does not support activation type '") + name + "'.");
    }
    if (layer.is_activation(ActivationType::LUT) && !mesh.has_lut_on_all_nps())
        add_error(&status, layer, "Lookup tables are missing on some NPs.");
    return status;
}

MappingStatus check_layer_compatibility(const HardwareConstraints& constraints, const Mesh& mesh,
                                        const Layer& layer, const Layer* previous) {
    MappingStatus status;
    status += check_bitwidth(layer, 3, "input_shift", false);
    status += check_bitwidth(layer, 5, "max_value_shift", false);
    status += check_bitwidth(layer, 5, "bias_shift", false);
    status += check_bitwidth(layer, 6, "output_shift", false);
    status += check_bitwidth(layer, 8, "output_scales", false);
    status += check_supported_activation(layer, mesh);

    switch (layer_type(layer)) {
        case LayerType::InputData:
        case LayerType::Dequantizer:
        case LayerType::Quantizer:
            break;
        case LayerType::Add:
            status += check_add_constraints(layer);
            break;
        case LayerType::Conv2D:
            status += check_conv2d_constraints(constraints, layer);
            break;
        case LayerType::DepthwiseConv2D:
            status += check_dwconv2d_constraints(constraints, layer);
            break;
        case LayerType::Conv2DTranspose:
            status += check_conv2dtranspose_constraints(constraints, layer);
            break;
        case LayerType::DepthwiseConv2DTranspose:
            status += check_dwconv2dtranspose_constraints(constraints, layer);
            break;
        case LayerType::Concatenate:
            status += check_concatenate_constraints(layer);
            break;
        case LayerType::InputConv2D:
            status += check_input_conv2d_constraints(layer);
            break;
        case LayerType::BufferTempConv:
            status += check_buffer_temp_conv_constraints(constraints, layer);
            break;
        case LayerType::DepthwiseBufferTempConv:
            status += check_depthwise_buffer_temp_conv_constraints(constraints, layer);
            break;
        case LayerType::Dense1D:
            status += check_fnp_constraints(constraints, layer, previous);
            break;
        default:
            return make_layer_status_error(layer, "Unsupported layer type on Vorna v2.");
    }
    return status;
}

MappingStatus check_cnp_limits(const HardwareConstraints& constraints, const Layer& layer) {
    MappingStatus status;
    const LayerParams& p = *layer.params();
    const uint8_t in_bits = layer.input_bits();
    const uint8_t out_bits = layer.output_bits();
    if (out_bits > 8 && layer.activation_enabled())
        add_error(&status, layer, "With activation output bitwidth should be <= 8.");
    if (static_cast<int>(in_bits) < p.get("weights_bits"))
        add_error(&status, layer, "Input bits should be >= weights bits.");

    const Shape in = first_input(layer);
    if (in[0] > constraints.max_input_width)
        add_error(&status, layer,
                  "The maximum input width is " + std::to_string(constraints.max_input_width) +
                      " (got " + std::to_string(in[0]) + ").");
    if (in[1] > constraints.max_input_height)
        add_error(&status, layer,
                  "The maximum input height is " + std::to_string(constraints.max_input_height) +
                      " (got " + std::to_string(in[1]) + ").");
    if (in[2] > constraints.max_input_channels)
        add_error(&status, layer,
                  "The maximum input channel value is " +
                      std::to_string(constraints.max_input_channels) + " (got " +
                      std::to_string(in[2]) + ").");

    const int64_t filters = p.has("filters") ? p.get("filters") : static_cast<int64_t>(in[2]);
    if (filters > static_cast<int64_t>(constraints.max_filters))
        add_error(&status, layer,
                  "The maximum number of filters is " + std::to_string(constraints.max_filters) +
                      " (got " + std::to_string(filters) + ").");

    const uint32_t shift_words = cnp_tnp_input_shift_24b_size(*variable(layer, "input_shift"));
    if (shift_words > constraints.input_shift_sram_size)
        add_error(&status, layer,
                  "Input shift exceeds memory. Maximum size is " +
                      std::to_string(3u * constraints.input_shift_sram_size) + " bytes. (got " +
                      std::to_string(3u * shift_words) + " bytes).");
    return status;
}

MappingStatus check_cnp_padding(const Layer& layer) {
    MappingStatus status;
    const LayerParams& p = *layer.params();
    const int padding = p.get("padding");
    if (padding != static_cast<int>(Padding::Same) &&
        padding != static_cast<int>(Padding::SameUpper))
        add_error(&status, layer, "Only padding 'Same' and 'SameUpper' are supported.");
    if (padding == static_cast<int>(Padding::SameUpper)) {
        if (p.get("kernel_stride") != 2)
            add_error(&status, layer, "With SameUpper padding only stride 2 is supported.");
        if (layer.activation_enabled() && layer.output_bits() != 8)
            add_error(&status, layer,
                      "With SameUpper padding only 8-bit activations are supported.");
        if (p.get("weights_bits") != 8)
            add_error(&status, layer, "With SameUpper padding only 8-bit weights are supported.");
    }
    return status;
}

MappingStatus check_cnp_activation(const Layer& layer, bool allow_4bit_output) {
    MappingStatus status;
    const uint8_t out_bits = layer.output_bits();
    if (layer.activation_enabled()) {
        if (out_bits == 8) return status;
        if (out_bits == 4) {
            if (!allow_4bit_output)
                add_error(&status, layer, "With activation output bitwidth should be 8.");
            if (layer.params()->get("activation") != static_cast<int>(ActivationType::ReLU))
                add_error(&status, layer, "4-bit activation is not supported with LUT.");
            return status;
        }
        add_error(&status, layer,
                  allow_4bit_output ? "With activation output bitwidth should be 4 or 8."
                                    : "With activation output bitwidth should be 8.");
        return status;
    }
    if (out_bits != 8 && out_bits != 28)
        add_error(&status, layer, "Without activation output bitwidth should be 8 or 28.");
    return status;
}

MappingStatus check_cnp_pooling(const HardwareConstraints& constraints, const Layer& layer) {
    const auto& conv = dynamic_cast<const HasConvParams&>(layer);
    const auto& pool = dynamic_cast<const HasPoolParams&>(layer);
    MappingStatus status;
    const LayerParams& p = *layer.params();
    const int pool_type = p.get("pool_type");
    if (pool_type == static_cast<int>(PoolType::NoPooling)) return status;
    if (p.get("kernel_stride") > 1)
        add_error(&status, layer, "The CNP cannot support both pooling and stride.");

    const Shape in = first_input(layer);
    const int pool_size = p.get("pool_size");
    if (pool_type == static_cast<int>(PoolType::Max)) {
        if (pool_size != 1 && pool_size != 2)
            add_error(&status, layer, "Pooling size must be 1 or 2.");
        const PoolingCalculatedParams& pc = pool.pool_calculated_params();
        if (pc.stride_x != pc.stride_y)
            add_error(&status, layer, "Pooling stride x and y must be equal.");
        if (static_cast<int64_t>(in[0]) < pool_size || static_cast<int64_t>(in[1]) < pool_size)
            add_error(&status, layer, "Pooling size cannot be greater than input dimensions.");
        if (layer.is_activation(ActivationType::LUT))
            add_error(&status, layer, "Max pooling is not supported with activation LUT.");
    } else if (pool_type == static_cast<int>(PoolType::Average)) {
        if (layer.output_bits() > 8)
            add_error(&status, layer, "With average pooling output bitwidth should be <= 8.");
        if (pool_size != -1) add_error(&status, layer, "Global Average pooling must be global.");
        if (in[0] > GAP_MAX_INPUT_X)
            add_error(&status, layer,
                      "When using Global Average Pooling, input height cannot exceed " +
                          std::to_string(GAP_MAX_INPUT_X) + ".");
        const uint32_t rows = conv.conv_calculated_params().output_height;
        if (rows < GAP_MIN_OUTPUT_ROWS)
            add_error(&status, layer,
                      "When using Global Average Pooling, the output of the convolution must have "
                      "at least " +
                          std::to_string(GAP_MIN_OUTPUT_ROWS) + " rows (currently " +
                          std::to_string(rows) + ").");
        if (static_cast<uint64_t>(in[0]) * in[1] > GAP_MAX_INPUT_AREA)
            add_error(&status, layer,
                      "When using Global Average Pooling, input dimensions width * height cannot "
                      "exceed " +
                          std::to_string(GAP_MAX_INPUT_AREA) + ".");
        if (cnp_input_words(in[1], in[0], in[2], layer.input_bits()) >
            constraints.input_sram_size_single_buffer)
            add_error(&status, layer,
                      "When using Global Average Pooling, spatial split is impossible.");
    }
    return status;
}

MappingStatus check_conv2d_constraints(const HardwareConstraints& constraints, const Layer& layer) {
    const LayerParams& p = *layer.params();
    MappingStatus status = check_cnp_limits(constraints, layer);
    const uint8_t in_bits = layer.input_bits();
    if (in_bits != 4 && in_bits != 8) add_error(&status, layer, "Input should be 4-bit or 8-bit.");
    status += check_cnp_padding(layer);
    status += check_cnp_pooling(constraints, layer);
    const int k = p.get("kernel_size");
    if (k != 1 && k != 3 && k != 5 && k != 7)
        add_error(&status, layer, "Kernel size must be 1, 3, 5 or 7.");
    status += check_cnp_activation(layer, true);
    const int wb = p.get("weights_bits");
    if (wb != 4 && wb != 8) add_error(&status, layer, "Weights bitwidth should be 4-bit or 8-bit.");
    // The filter rule sizes the kernel, which is known valid only when no
    // earlier rule has failed.
    if (!status.error && !filter_fits(constraints, layer))
        add_error(&status, layer,
                  "Filter size is too big to fit in a CNP: try decreasing the input channels or "
                  "the bitwidth.");
    if (wb == 4 && layer.output_bits() == 8 && !layer.activation_enabled())
        add_error(&status, layer, "4-bit weights and 8-bit potential is not allowed.");
    return status;
}

MappingStatus check_dwconv2d_constraints(const HardwareConstraints& constraints,
                                         const Layer& layer) {
    const LayerParams& p = *layer.params();
    MappingStatus status = check_cnp_limits(constraints, layer);
    const uint8_t in_bits = layer.input_bits();
    if (in_bits != 4 && in_bits != 8) add_error(&status, layer, "Input should be 4-bit or 8-bit.");
    status += check_cnp_padding(layer);
    status += check_cnp_pooling(constraints, layer);
    const int k = p.get("kernel_size");
    if (k != 3 && k != 5 && k != 7) add_error(&status, layer, "Kernel size must be 3, 5 or 7.");
    status += check_cnp_activation(layer, true);
    const int wb = p.get("weights_bits");
    if (wb != 4 && wb != 8) add_error(&status, layer, "Weights bitwidth should be 4-bit or 8-bit.");
    if (wb == 4 && layer.output_bits() == 8 && layer.activation_enabled())
        add_error(&status, layer, "4-bit weights and 8-bit activation is not allowed.");
    return status;
}

namespace {

// Steps 1 to 5 shared by the two transposed kinds.
MappingStatus check_transposed_common(const HardwareConstraints& constraints, const Layer& layer) {
    const LayerParams& p = *layer.params();
    MappingStatus status = check_cnp_limits(constraints, layer);
    if (layer.input_bits() != 8) add_error(&status, layer, "Input should be 8-bit.");
    status += check_cnp_activation(layer, false);
    if (p.get("weights_bits") != 8) add_error(&status, layer, "Weights should be 8-bit.");
    const int k = p.get("kernel_size");
    if (k != 3 && k != 4) add_error(&status, layer, "Kernel size must be 3 or 4.");
    return status;
}

}  // namespace

MappingStatus check_conv2dtranspose_constraints(const HardwareConstraints& constraints,
                                                const Layer& layer) {
    MappingStatus status = check_transposed_common(constraints, layer);
    if (status.error) return status;
    if (!filter_fits(constraints, layer))
        add_error(&status, layer,
                  "Filter size is too big to fit in a CNP: try decreasing the input.");
    return status;
}

MappingStatus check_dwconv2dtranspose_constraints(const HardwareConstraints& constraints,
                                                  const Layer& layer) {
    return check_transposed_common(constraints, layer);
}

MappingStatus check_add_constraints(const Layer& layer) {
    MappingStatus status;
    if (layer.output_bits() != 8) add_error(&status, layer, "Output must be 8-bit.");

    const auto a_shift = variable(layer, "a_shift");
    const auto b_shift = variable(layer, "b_shift");
    const auto out_shift = variable(layer, "output_shift");
    const uint32_t channels = a_shift->dimensions()[0];
    for (uint32_t i = 0; i < channels; ++i) {
        const int a = a_shift->at<uint8_t>(i);
        const int b = b_shift->at<uint8_t>(i);
        const int s = out_shift->at<int8_t>(i);
        if (static_cast<uint32_t>(a > b ? a - b : b - a) > ADD_MAX_INPUT_SHIFT_DIFF)
            add_error(&status, layer,
                      "This model cannot be mapped in hardware, Add input shift is out of range. "
                      "The maximum is " +
                          std::to_string(ADD_MAX_INPUT_SHIFT_DIFF) + ".");
        const uint32_t shifted = static_cast<uint32_t>(std::max(a, b) + s - ADD_OUTPUT_SHIFT_MIN);
        if (shifted > static_cast<uint32_t>(ADD_OUTPUT_SHIFT_MAX - ADD_OUTPUT_SHIFT_MIN))
            add_error(&status, layer,
                      "This model cannot be mapped in hardware, Add output shift is out of range. "
                      "Should be in [" +
                          std::to_string(ADD_OUTPUT_SHIFT_MIN) + ", " +
                          std::to_string(ADD_OUTPUT_SHIFT_MAX) + "].");
    }

    const auto outbounds = layer.outbound_layers();
    const bool merged = std::any_of(outbounds.begin(), outbounds.end(), [](const auto& o) {
        return o && o->is_target_component(TargetComponent::CNP);
    });
    if (!merged) add_error(&status, layer, "Must be followed by a merge layer.");

    const auto inbounds = layer.inbound_layers();
    for (const auto& in : inbounds) {
        if (in && !in->is_target_component(TargetComponent::CNP) &&
            !in->is_target_component(TargetComponent::SkipDMA)) {
            add_error(&status, layer, "Inbounds must be of types Conv, Add or Concat.");
            break;
        }
    }

    std::set<const Layer*> seen;
    for (const auto& in : inbounds) {
        if (in && !seen.insert(in.get()).second)
            return make_layer_status_error(layer, "Add inbounds must come from different layers.");
    }
    return status;
}

// --- Runs of layers -------------------------------------------------------------

// Whether `p` has several outbound layers and is the second, deeper input of
// one of them that is a Concatenate.
bool second_concat_input_fans_out(const std::shared_ptr<Layer>& p) {
    const auto outbounds = p->outbound_layers();
    if (outbounds.size() <= 1) return false;
    for (const auto& k : outbounds) {
        if (!k || layer_type(*k) != LayerType::Concatenate) continue;
        const auto k_in = k->inbound_layers();
        if (k_in.size() < 2 || k_in[1].get() != p.get() || !k_in[0]) continue;
        DepthMap depths;
        if (get_layer_depth(k_in[0], &depths) < get_layer_depth(p, &depths)) return true;
    }
    return false;
}

// Rule 3 of a run: what the output of its last layer `l` (before a closing
// Dequantizer) may be.
MappingStatus check_run_output(const Layer& l) {
    if (l.has_pooling(PoolType::Max))
        return make_layer_status_error(l,
                                       "A layer with max pooling cannot be the last layer of a "
                                       "sequence.");
    if (!l.activation_enabled() && l.output_bits() > 8) {
        // Both tensors are read through their typed views before either is
        // judged, so a wrong element type fails whichever value is off.
        const auto shift = variable(l, "output_shift");
        const auto scales = variable(l, "output_scales");
        shift->data<int8_t>();
        scales->data<uint8_t>();
        for (size_t i = 0; i < shift->size(); ++i)
            if (shift->at<int8_t>(i) != 0)
                return make_layer_status_error(l, "Without activation output_shift should be 0.");
        for (size_t i = 0; i < scales->size(); ++i)
            if (scales->at<uint8_t>(i) != 1)
                return make_layer_status_error(l, "Without activation output_scales should be 1.");
    }
    return MappingStatus::success();
}

MappingStatus check_layer_sequence(LayerIt begin, LayerIt end) {
    if (begin == end) throw std::invalid_argument("A layer sequence must not be empty.");
    for (LayerIt it = begin; it != end; ++it)
        if (!*it) throw std::invalid_argument("A layer sequence must not hold null layers.");
    const Layer& first = **begin;
    const Layer& last_of_run = **(end - 1);

    // 1. What may open a sequence.
    if (targets(first, TargetComponent::SkipDMA))
        return make_layer_status_error(first, "Can't be the first layer of the sequence.");

    // 2. A Dequantizer may only close the sequence.
    LayerIt last = end - 1;
    const LayerIt deq = std::find_if(begin, end, [](const std::shared_ptr<Layer>& l) {
        return layer_type(*l) == LayerType::Dequantizer;
    });
    if (deq != end) {
        if (deq == begin)
            return make_layer_status_error(**deq, "Can't start a sequence with a Dequantizer.");
        if (deq != end - 1)
            return make_layer_status_error(
                **deq, "Only 1 Dequantizer at the end of the model is supported.");
        last = end - 2;
    }

    // 3. The last layer's output.
    if (MappingStatus status = check_run_output(**last); status.error) return status;

    // 4. What may feed what, and fan-out.
    RunMembers run_members(begin, end);
    for (LayerIt it = begin; it != end; ++it) {
        const Layer& p = **it;
        if (!targets(p, TargetComponent::CNP) && !targets(p, TargetComponent::TNP_B)) {
            const auto q = first_inbound(p, [](const Layer& in) {
                return in.is_target_component(TargetComponent::CNP) &&
                       in.has_pooling(PoolType::Max);
            });
            if (q && run_members.contains(q.get()))
                return make_layer_status_error(
                    p,
                    "Any layer with max pooling must be followed by a layer mapped on a CNP or a "
                    "TNP-B. Layer '" +
                        q->get_name() + "' has max pooling.");
        }
        if (targets(p, TargetComponent::CNP)) {
            const auto q = first_inbound(
                p, [](const Layer& in) { return in.is_target_component(TargetComponent::FNP); });
            if (q && run_members.contains(q.get()))
                return make_layer_status_error(
                    p,
                    "A layer mapped on FNP cannot be directly followed by a layer mapped on CNP "
                    "due "
                    "to incompatible data processing requirements. Layer '" +
                        q->get_name() + "' is mappable on FNP.");
        }
        if (targets(p, TargetComponent::FNP)) {
            const auto q = first_inbound(p, [](const Layer& in) {
                return in.is_target_component(TargetComponent::SkipDMA);
            });
            if (q && run_members.contains(q.get()))
                return make_layer_status_error(
                    p, "Dense layer can't have Add/Concat as inbound. Layer '" + q->get_name() +
                           "' is a Add/Concat.");
        }
        const size_t outbounds = p.outbound_layers().size();
        if (outbounds > MAX_OUTBOUNDS)
            return make_layer_status_error(p, "Layer has " + std::to_string(outbounds) +
                                                  " outbounds. A maximum of 2 outbounds is "
                                                  "supported.");
    }

    // 5. The HRC feeds one layer only.
    if (targets(first, TargetComponent::HRC) && first.outbound_layers().size() > 1)
        return make_layer_status_error(first, "A layer mapped on HRC supports 1 outbound only.");

    // 6. Skip connections.
    const LayerList run(begin, end);
    if (get_out_branches_count(run) >= 2)
        return MappingStatus::failure("Bad mapping on skip connection. Several branches.");
    if (targets(last_of_run, TargetComponent::SkipDMA))
        return make_layer_status_error(last_of_run,
                                       "Bad mapping on skip connection. No valid merge layer. Add "
                                       "layer requires an outbound that is mappable on a CNP.");
    for (const auto& p : run) {
        if (second_concat_input_fans_out(p))
            return make_layer_status_error(
                *p, "Is the second input of a Concat, it can't have multiple outputs.");
    }
    return MappingStatus::success();
}

std::vector<MappingStatus> check_layer_sequence_prefixes(LayerIt begin, LayerIt end) {
    const size_t n = static_cast<size_t>(end - begin);
    std::vector<MappingStatus> out;
    out.reserve(n);
    if (n == 0) return out;

    // Rule 4 as the runs grow: each check of a position fails from the first
    // run holding both that position and the inbound layer the check found;
    // a run reports the failing check of its earliest position, the checks of
    // one position in their order (max pooling, FNP, skip DMA, fan-out).
    struct Check {
        size_t position;
        int kind;
        const Layer* found;
    };
    auto before = [](const Check& a, const Check& b) {
        return a.position != b.position ? a.position < b.position : a.kind < b.kind;
    };
    std::optional<Check> failing;
    auto fail = [&](const Check& c) {
        if (!failing || before(c, *failing)) failing = c;
    };
    std::unordered_map<const Layer*, size_t> seen;
    std::unordered_map<const Layer*, std::vector<Check>> waiting;

    std::optional<size_t> deq;  // the first Dequantizer
    uint64_t branches = 1;      // rule 6's count over the first `counted` layers
    size_t counted = 0;
    size_t concat_checked = 0;  // rule 6's concatenation check, done this far
    std::optional<size_t> concat_bad;

    for (size_t e = 1; e <= n; ++e) {
        const size_t at = e - 1;
        const std::shared_ptr<Layer>& added = begin[static_cast<std::ptrdiff_t>(at)];
        if (!added) throw std::invalid_argument("A layer sequence must not hold null layers.");
        const Layer& first = **begin;
        const Layer& p = *added;
        if (seen.emplace(&p, at).second) {
            const auto found = waiting.find(&p);
            if (found != waiting.end()) {
                for (const Check& c : found->second) fail(c);
                waiting.erase(found);
            }
        }
        auto check = [&](int kind, const std::shared_ptr<Layer>& q) {
            if (!q) return;
            const Check c{at, kind, q.get()};
            if (seen.count(q.get()) != 0) {
                fail(c);
            } else {
                waiting[q.get()].push_back(c);
            }
        };
        if (!targets(p, TargetComponent::CNP) && !targets(p, TargetComponent::TNP_B)) {
            check(0, first_inbound(p, [](const Layer& in) {
                      return in.is_target_component(TargetComponent::CNP) &&
                             in.has_pooling(PoolType::Max);
                  }));
        }
        if (targets(p, TargetComponent::CNP)) {
            check(1, first_inbound(p, [](const Layer& in) {
                      return in.is_target_component(TargetComponent::FNP);
                  }));
        }
        if (targets(p, TargetComponent::FNP)) {
            check(2, first_inbound(p, [](const Layer& in) {
                      return in.is_target_component(TargetComponent::SkipDMA);
                  }));
        }
        if (p.outbound_layers().size() > MAX_OUTBOUNDS) fail(Check{at, 3, nullptr});
        if (!deq && layer_type(p) == LayerType::Dequantizer) deq = at;

        out.push_back([&]() -> MappingStatus {
            // 1. What may open a sequence.
            if (targets(first, TargetComponent::SkipDMA))
                return make_layer_status_error(first, "Can't be the first layer of the sequence.");
            // 2. A Dequantizer may only close the sequence.
            size_t last = at;
            if (deq) {
                const Layer& d = *begin[static_cast<std::ptrdiff_t>(*deq)];
                if (*deq == 0)
                    return make_layer_status_error(d, "Can't start a sequence with a Dequantizer.");
                if (*deq != at)
                    return make_layer_status_error(
                        d, "Only 1 Dequantizer at the end of the model is supported.");
                last = at - 1;
            }
            // 3. The last layer's output.
            if (MappingStatus status = check_run_output(*begin[static_cast<std::ptrdiff_t>(last)]);
                status.error)
                return status;
            // 4. What may feed what, and fan-out.
            if (failing) {
                const Layer& f = *begin[static_cast<std::ptrdiff_t>(failing->position)];
                const std::string q = failing->found ? failing->found->get_name() : "";
                switch (failing->kind) {
                    case 0:
                        return make_layer_status_error(
                            f,
                            "Any layer with max pooling must be followed by a layer mapped on a "
                            "CNP or a TNP-B. Layer '" +
                                q + "' has max pooling.");
                    case 1:
                        return make_layer_status_error(
                            f,
                            "A layer mapped on FNP cannot be directly followed by a layer mapped "
                            "on CNP due to incompatible data processing requirements. Layer '" +
                                q + "' is mappable on FNP.");
                    case 2:
                        return make_layer_status_error(
                            f, "Dense layer can't have Add/Concat as inbound. Layer '" + q +
                                   "' is a Add/Concat.");
                    default:
                        return make_layer_status_error(
                            f, "Layer has " + std::to_string(f.outbound_layers().size()) +
                                   " outbounds. A maximum of 2 outbounds is supported.");
                }
            }
            // 5. The HRC feeds one layer only.
            if (targets(first, TargetComponent::HRC) && first.outbound_layers().size() > 1)
                return make_layer_status_error(first,
                                               "A layer mapped on HRC supports 1 outbound only.");
            // 6. Skip connections. The branch count is a sum over the run.
            for (; counted < e; ++counted) {
                const std::shared_ptr<Layer>& l = begin[static_cast<std::ptrdiff_t>(counted)];
                const uint64_t inputs = l == *begin ? 1 : graph_detail::inbound(l).size();
                branches = branches + graph_detail::outbound(l).size() - inputs;
            }
            if (branches >= 2)
                return MappingStatus::failure("Bad mapping on skip connection. Several branches.");
            if (targets(p, TargetComponent::SkipDMA))
                return make_layer_status_error(
                    p,
                    "Bad mapping on skip connection. No valid merge layer. Add layer requires an "
                    "outbound that is mappable on a CNP.");
            for (; !concat_bad && concat_checked < e; ++concat_checked) {
                const auto& c = begin[static_cast<std::ptrdiff_t>(concat_checked)];
                if (second_concat_input_fans_out(c)) concat_bad = concat_checked;
            }
            if (concat_bad)
                return make_layer_status_error(
                    *begin[static_cast<std::ptrdiff_t>(*concat_bad)],
                    "Is the second input of a Concat, it can't have multiple outputs.");
            return MappingStatus::success();
        }());
    }
    return out;
}

// --- Components of a layer ----------------------------------------------------

MappingStatus check_layer_mappings(const Layer& layer, const std::vector<hw::Component>& components,
                                   bool new_pass) {
    for (const auto& c : components) {
        if (c.type != hw::Type::CNP1 && c.type != hw::Type::CNP2) continue;
        const uint64_t width = round_up(placement_of(layer, c).spatial_partition.shape[0], 4);
        if (width > MAX_CNP_INPUT_WIDTH)
            return make_layer_status_error(layer,
                                           "The input length " + std::to_string(width) +
                                               " exceeds the maximum value for NP input width: " +
                                               std::to_string(MAX_CNP_INPUT_WIDTH) + ".");
    }
    const auto stores = std::count_if(components.begin(), components.end(), [](const auto& c) {
        return c.type == hw::Type::SKIP_DMA_STORE;
    });
    if (stores > 1)
        return make_layer_status_error(layer,
                                       "A layer which outputs directly to one skip dma and another "
                                       "skipdma via dual outputs is not supported.");
    if (new_pass) {
        if (components.size() > MAX_FIRST_LAYER_COMPONENTS)
            return make_layer_status_error(layer, "First layer of pass exceeds the maximum of " +
                                                      std::to_string(MAX_FIRST_LAYER_COMPONENTS) +
                                                      " hardware components. Needs " +
                                                      std::to_string(components.size()) + ".");
        if (targets(layer, TargetComponent::TNP_B))
            return make_layer_status_error(layer,
                                           "A TNP-B layer cannot be the first layer of a pass.");
    }
    return MappingStatus::success();
}

// --- Sizing predicates ----------------------------------------------------------

uint64_t sram_input_words(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                          uint32_t fifo_depth, uint8_t bits) {
    switch (type) {
        case hw::Type::CNP1:
        case hw::Type::CNP2:
            return cnp_input_words(height, width, channels, bits);
        case hw::Type::TNP_B: {
            const uint64_t frame_bits = round_up(channels, 4) * height * width * bits;
            const uint64_t frame_words = round_up((frame_bits + 31) / 32, 64);
            return frame_words * (static_cast<uint64_t>(fifo_depth) + 1);
        }
        default:
            throw std::runtime_error("Type of NP not supported.");
    }
}

bool is_sram_input_fit(hw::Type type, uint32_t height, uint32_t width, uint32_t channels,
                       uint32_t fifo_depth, uint8_t bits, uint32_t reserved_words,
                       uint32_t capacity) {
    const uint64_t needed = sram_input_words(type, height, width, channels, fifo_depth, bits);
    if (reserved_words > capacity) return false;
    return capacity - reserved_words >= needed;
}

uint32_t get_weights_100b_size(const Layer& layer, uint32_t filters) {
    const LayerParams& p = *layer.params();
    switch (layer_type(layer)) {
        case LayerType::Conv2D:
        case LayerType::Conv2DTranspose:
            return conv2d_cnp_formatted_weight_100b_size(
                static_cast<uint32_t>(p.get("kernel_size")), filters, first_input(layer)[2],
                static_cast<uint8_t>(p.get("weights_bits")));
        case LayerType::DepthwiseConv2D:
        case LayerType::DepthwiseConv2DTranspose:
            return dwc_ch_cont_100b_size(static_cast<uint32_t>(p.get("kernel_size")), filters,
                                         static_cast<uint8_t>(p.get("weights_bits")));
        case LayerType::BufferTempConv:
            return buffer_temp_conv_tnp_formatted_weight_100b_size(
                static_cast<uint32_t>(p.get("fifo_size")), filters, first_input(layer)[2]);
        case LayerType::DepthwiseBufferTempConv:
            return depthwise_buffer_temp_conv_tnp_formatted_weight_100b_size(
                static_cast<uint32_t>(p.get("fifo_size")), filters);
        default:
            throw std::invalid_argument("Unexpected layer type for CNP or TNP-B.");
    }
}

bool is_weights_size_fit_np(const HardwareConstraints& constraints, const Layer& layer,
                            uint32_t filters) {
    const uint32_t total = get_weights_100b_size(layer, filters);
    const LayerParams& p = *layer.params();
    switch (layer_type(layer)) {
        case LayerType::Conv2D:
        case LayerType::Conv2DTranspose:
            if (conv2d_ch_cont_100b_size(static_cast<uint32_t>(p.get("kernel_size")), filters,
                                         static_cast<uint8_t>(p.get("weights_bits"))) >
                MAX_CH_CONT_100B_SIZE)
                return false;
            break;
        case LayerType::DepthwiseConv2D:
        case LayerType::DepthwiseConv2DTranspose:
            if (total > MAX_CH_CONT_100B_SIZE) return false;
            break;
        case LayerType::BufferTempConv:
            if (buffer_temp_conv_ch_cont_100b_size(filters) > MAX_CH_CONT_100B_SIZE) return false;
            break;
        case LayerType::DepthwiseBufferTempConv:
            break;
        default:
            throw std::invalid_argument("Unexpected layer type for CNP or TNP-B.");
    }
    return constraints.weight_sram_size >= total;
}

NpSplitParams np_split_params(hw::Type type, const LayerParams& params) {
    auto param_or_zero = [&](const char* key) {
        return params.has(key) ? static_cast<uint32_t>(params.get(key)) : 0u;
    };
    NpSplitParams out;
    out.filters = param_or_zero("filters");
    out.pool_type = param_or_zero("pool_type");
    const uint32_t pool_size = param_or_zero("pool_size");
    const uint32_t border =
        type == hw::Type::TNP_B ? 0u : static_cast<uint32_t>(params.get("kernel_size")) >> 1;
    out.border_left = out.border_right = out.border_top = out.border_bottom = border;
    out.pool_width = pool_size;
    out.pool_height = pool_size;
    return out;
}

}  // namespace v2
}  // namespace vorna
