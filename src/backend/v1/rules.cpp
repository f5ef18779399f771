#include "backend/v1/rules.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "backend/v1/cnp_sizes.h"
#include "backend/v1/fnp_sizes.h"
#include "corelib/params.h"
#include "corelib/tensor.h"

namespace vorna::v1 {

namespace {

// Largest input width and height, and input channels and filters, of a CNP.
constexpr uint32_t MAX_INPUT_WIDTH = 4096;
constexpr uint32_t MAX_INPUT_HEIGHT = 4096;
constexpr uint32_t MAX_INPUT_CHANNELS = 2048;
constexpr uint32_t MAX_FILTERS = 2048;
// Global average pooling works on whole inputs held in single-buffer mode.
constexpr uint32_t AVG_POOL_MAX_INPUT = 32;
constexpr uint32_t AVG_POOL_MAX_INPUT_WORDS = 10752;
// FNP input element limits.
constexpr uint64_t FNP_MAX_INPUT_ELEMENTS = 81920;
constexpr uint64_t FNP_MAX_INPUT_ELEMENTS_TARN_V2 = 57334;
// Input convolution limits.
constexpr int HRC_MIN_INPUT_SIZE = 5;
constexpr int HRC_MAX_INPUT_HEIGHT = 256;
// Thresholds of the input convolution are 24-bit.
constexpr uint32_t HRC_MAX_THRESHOLD = 16777215;
// Widest input one NP takes, in values.
constexpr uint64_t NP_MAX_INPUT_WIDTH = 32;

constexpr int POOL_MAX = static_cast<int>(PoolType::Max);
constexpr int POOL_AVERAGE = static_cast<int>(PoolType::Average);

int param(const Layer& layer, const char* name) { return layer.params()->get(name); }

bool one_of(int value, std::initializer_list<int> allowed) {
    return std::find(allowed.begin(), allowed.end(), value) != allowed.end();
}

// "{} second dimension size cannot be smaller than {}."
std::string second_dim_message(const std::string& what, int64_t minimum) {
    return what + " second dimension size cannot be smaller than " + std::to_string(minimum) + ".";
}

bool all_bytes_zero(const Dense& tensor) {
    const int8_t* data = tensor.data<int8_t>();
    return std::all_of(data, data + tensor.size(), [](int8_t v) { return v == 0; });
}

bool version_is(const HwVersion& v, uint8_t minor) {
    return v.vendor_id == 0xBC && v.product_id == 0x00 && v.major_rev == 0x00 &&
           v.minor_rev == minor;
}

// A component's partition, or none for a component without placement.
const NpSpace* partition_of(const hw::Component& c) {
    return c.placement ? &c.placement->spatial_partition : nullptr;
}

bool is_split_spatially(const std::vector<hw::Component>& components) {
    return std::any_of(components.begin(), components.end(), [](const hw::Component& c) {
        const NpSpace* p = partition_of(c);
        return p != nullptr && (p->x != 0 || p->y != 0);
    });
}

// A pooling stride as the layer uses it: a negative value stands for the
// pooling size; any other value (0 included) is taken as stored.
int effective_pool_stride(int stride, int size) { return stride < 0 ? size : stride; }

}  // namespace

MappingStatus make_layer_status_error(const Layer& layer, const std::string& message) {
    return MappingStatus(layer, message);
}

bool is_tarn_v1(const HwVersion& version) { return version_is(version, 0x01); }
bool is_tarn_v2(const HwVersion& version) { return version_is(version, 0x02); }

MappingStatus check_input_conv_constraints(const Layer& layer) {
    MappingStatus status;
    const auto fail = [&](const std::string& message) {
        status += make_layer_status_error(layer, message);
    };
    const int kernel_height = param(layer, "kernel_height");
    const uint8_t kernel = static_cast<uint8_t>(param(layer, "kernel_width"));
    const int activation = param(layer, "activation");
    const int input_channels = param(layer, "input_channels");
    const int stride_x = param(layer, "stride_x");
    const int stride_y = param(layer, "stride_y");
    const int input_width = param(layer, "input_width");
    const int input_height = param(layer, "input_height");

    if (kernel_height != param(layer, "kernel_width")) fail("Kernel size should be symmetric.");
    const bool kernel_ok = kernel == 3 || kernel == 5 || kernel == 7;
    if (!kernel_ok) fail("Kernel size should be 3, 5 or 7.");
    if (activation != 0 && !one_of(param(layer, "act_bits"), {1, 2, 4})) {
        fail("The parameter act_bits should be 1, 2 or 4.");
    }
    if (input_channels != 1 && input_channels != 3) {
        fail("The parameter input_channels must be 1 or 3.");
    }
    if (stride_x < 1 || stride_x > 3) fail("The parameter stride_x should be 1, 2 or 3.");
    if (stride_y < 1 || stride_y > 3) fail("The parameter stride_y should be 1, 2 or 3.");
    if (kernel_ok) {
        const bool rgb = input_channels == 3;
        const int limit = kernel == 3   ? (rgb ? 192 : 512)
                          : kernel == 5 ? (rgb ? 64 : 192)
                                        : (rgb ? 32 : 96);
        const int filters = param(layer, "filters");
        if (filters < 1 || filters > limit) {
            fail("The parameter num_neurons should be set between 1 and " + std::to_string(limit) +
                 ".");
        }
    }
    if (param(layer, "padding") != 0) {
        if (input_height < HRC_MIN_INPUT_SIZE) {
            fail(second_dim_message("Input", HRC_MIN_INPUT_SIZE));
        }
    } else {
        const int64_t minimum =
            std::max<int64_t>(HRC_MIN_INPUT_SIZE, int64_t{kernel_height} + stride_y);
        if (input_height < minimum) {
            fail(second_dim_message("With valid padding, a " + std::to_string(kernel) +
                                        " kernel size and a " + std::to_string(stride_y) +
                                        " kernel stride, input",
                                    minimum));
        }
    }
    if (input_width < HRC_MIN_INPUT_SIZE) {
        fail("Input first dimension size cannot be smaller than " +
             std::to_string(HRC_MIN_INPUT_SIZE) + ".");
    }
    if (input_width < kernel)
        fail("Input first dimension size cannot be smaller than kernel size.");
    if (input_height > HRC_MAX_INPUT_HEIGHT) {
        fail("The maximum input second dimension size is " + std::to_string(HRC_MAX_INPUT_HEIGHT) +
             " (got " + std::to_string(input_height) + ").");
    }
    const int pool_type = param(layer, "pool_type");
    if (pool_type == POOL_AVERAGE) {
        fail("The parameter pool_type cannot be Average.");
    } else if (pool_type == POOL_MAX) {
        const int pool_h = param(layer, "pooling_height");
        const int pool_w = param(layer, "pooling_width");
        if (pool_h < 1 || pool_h > 2) fail("The parameter pooling_y should be 1 or 2.");
        if (pool_w < 1 || pool_w > 2) fail("The parameter pooling_x should be 1 or 2.");
        int stride_px = param(layer, "pooling_stride_x");
        int stride_py = param(layer, "pooling_stride_y");
        if (stride_px < 0) stride_px = pool_w;
        if (stride_py < 0) stride_py = pool_h;
        if (pool_w != stride_px || pool_h != stride_py) {
            fail("The parameter pool_size and pool_stride should be equal.");
        }
        if (layer.output_dimensions().dims[1] <= 1) {
            fail("With max pooling, output second dimension size must be at least 2.");
        }
    }
    if (activation == 0) {
        fail(
            "The first convolutional layer of a model can only be mapped if its activations are "
            "enabled.");
    }
    const auto weights = Tensor::ensure_dense(layer.variables()->get("weights"));
    if (all_bytes_zero(*weights)) fail("All weights in a hrc layer cannot be zeroes.");

    if (!status.error) {
        const auto steps = Tensor::ensure_dense(layer.variables()->get("act_step"));
        const auto thresholds = get_threshold_t16_from_act_steps(*steps);
        const int32_t* values = thresholds->data<int32_t>();
        for (size_t i = 0; i < thresholds->size(); ++i) {
            if (static_cast<uint32_t>(values[i]) > HRC_MAX_THRESHOLD) {
                fail("The parameter act_step should be between 0 and 1048575. Receives act_step " +
                     std::to_string(values[i] / 16) + ".");
                break;
            }
        }
    }
    return status;
}

MappingStatus check_cnp_input_dims(const Layer& layer, uint32_t width, uint32_t height,
                                   uint32_t channels) {
    MappingStatus status;
    if (width > MAX_INPUT_WIDTH) {
        status += make_layer_status_error(layer, "The maximum input width is " +
                                                     std::to_string(MAX_INPUT_WIDTH) + " (got " +
                                                     std::to_string(width) + ").");
    }
    if (height > MAX_INPUT_HEIGHT) {
        status += make_layer_status_error(layer, "The maximum input height is " +
                                                     std::to_string(MAX_INPUT_HEIGHT) + " (got " +
                                                     std::to_string(height) + ").");
    }
    if (channels > MAX_INPUT_CHANNELS) {
        status += make_layer_status_error(layer, "The maximum input channel value is " +
                                                     std::to_string(MAX_INPUT_CHANNELS) + " (got " +
                                                     std::to_string(channels) + ").");
    }
    return status;
}

MappingStatus check_cnp_common_constraints(const Layer& layer, const ConvCalculatedParams& conv,
                                           const PoolingCalculatedParams& pool,
                                           const HwVersion& version) {
    const Shape in = layer.input_dimensions().front();
    MappingStatus status = check_cnp_input_dims(layer, in.dims[0], in.dims[1], in.dims[2]);
    const auto fail = [&](const std::string& message) {
        status += make_layer_status_error(layer, message);
    };
    const int filters = param(layer, "filters");
    const int kernel_width = param(layer, "kernel_width");
    const int stride_x = param(layer, "stride_x");

    if (static_cast<uint32_t>(filters) > MAX_FILTERS) {
        fail("The maximum number of filters is " + std::to_string(MAX_FILTERS) + " (got " +
             std::to_string(filters) + ").");
    }
    if (kernel_width != param(layer, "kernel_height"))
        fail("Kernel width and height must be equal.");
    if (stride_x != param(layer, "stride_y"))
        fail("Horizontal and vertical strides must be equal.");
    if (stride_x > 2) fail("Convolution stride must be 1 or 2.");
    if (stride_x == 2 && kernel_width != 3) {
        fail("Convolution stride 2 is only supported for 3x3 kernels.");
    }
    if (param(layer, "padding") != 1) fail("Only padding same is supported.");

    const int pool_type = param(layer, "pool_type");
    if (pool_type == POOL_MAX) {
        const uint8_t pool_w = static_cast<uint8_t>(param(layer, "pooling_width"));
        if (pool_w < 1 || pool_w > 3) fail("Pooling size must be 1, 2 or 3.");
        if (is_tarn_v2(version) && pool_w == 3) fail("Pooling size 3 is not supported on Tarn_v2.");
        if (param(layer, "pooling_height") != pool_w)
            fail("Pooling width and height must be equal.");
        if (pool.stride_x != pool.stride_y) fail("Pooling stride x and y must be equal.");
        if (pool.stride_x > pool_w)
            fail("Pooling stride must be equal or lower than pooling size.");
        if (pool_w > in.dims[0] || pool_w > in.dims[1]) {
            fail("Pooling size cannot be greater than input dimensions.");
        }
    } else if (pool_type == POOL_AVERAGE) {
        if (param(layer, "pooling_width") != -1) fail("Average pooling must be global.");
        if (in.dims[0] > AVG_POOL_MAX_INPUT) {
            fail("With average pooling, input height cannot exceed " +
                 std::to_string(AVG_POOL_MAX_INPUT) + ".");
        }
        if (conv.output_height <= 2) {
            fail(
                "When using Global Average Pooling, the output of the convolution must have at "
                "least 3 rows (currently " +
                std::to_string(conv.output_height) + ").");
        }
        const uint32_t words = get_cnp_input_sram_size(
            get_cnp_channel_container_size(in.dims[0], layer.input_bits()), in.dims[2], in.dims[1]);
        if (words > AVG_POOL_MAX_INPUT_WORDS) {
            fail("With average pooling, spatial split is impossible.");
        }
    }
    return status;
}

MappingStatus check_sep_cnp_weights_nonzero(const Layer& layer, const Dense& weights) {
    MappingStatus status;
    if (all_bytes_zero(weights)) {
        status += make_layer_status_error(layer,
                                          "All weights in a separable CNP layer cannot be zeroes.");
    }
    return status;
}

namespace {

const char* const FILTER_TOO_BIG =
    "Filter size is too big to fit in a CNP: try decreasing the input channels or the bitwidth.";

}  // namespace

MappingStatus check_std_cnp_constraints(const HardwareConstraints& constraints, const Layer& layer,
                                        const HwVersion& version) {
    const auto& conv_layer = dynamic_cast<const Convolutional&>(layer);
    const ConvCalculatedParams& conv = conv_layer.conv_calculated_params();
    const PoolingCalculatedParams& pool = conv_layer.pool_calculated_params();
    MappingStatus status = check_cnp_common_constraints(layer, conv, pool, version);
    if (status.error) return status;
    if (!one_of(param(layer, "kernel_width"), {1, 3, 5, 7})) {
        status += make_layer_status_error(layer, "Kernel size must be 1, 3, 5 or 7.");
    }
    if (!one_of(param(layer, "weights_bits"), {1, 2, 4})) {
        status +=
            make_layer_status_error(layer, "Standard CNP weights bitwidth must be 1, 2 or 4.");
    }
    if (status.error) return status;
    if (!check_weights_size_fit_cnp(constraints, layer, 1)) {
        status += make_layer_status_error(layer, FILTER_TOO_BIG);
    }
    return status;
}

MappingStatus check_sep_cnp_constraints(const HardwareConstraints& constraints, const Layer& layer,
                                        const HwVersion& version) {
    const Shape in = layer.input_dimensions().front();
    const auto weights = Tensor::ensure_dense(layer.variables()->get("weights"));
    const auto weights_pw = Tensor::ensure_dense(layer.variables()->get("weights_pw"));
    const auto& sep_layer = dynamic_cast<const SeparableConvolutional&>(layer);
    const ConvCalculatedParams& conv = sep_layer.conv_calculated_params();
    const PoolingCalculatedParams& pool = sep_layer.pool_calculated_params();
    MappingStatus status = check_cnp_common_constraints(layer, conv, pool, version);
    if (status.error) return status;
    if (!one_of(param(layer, "kernel_width"), {3, 5, 7})) {
        status += make_layer_status_error(layer, "Kernel size must be 3, 5 or 7.");
    }
    if (!one_of(param(layer, "weights_bits"), {2, 4})) {
        status += make_layer_status_error(layer, "Separable CNP weights bitwidth must be 2 or 4.");
    }
    if (param(layer, "pool_type") == POOL_AVERAGE && in.dims[0] == 1 && in.dims[1] == 1) {
        status += make_layer_status_error(
            layer, "Separable CNP with Global Average Pooling does not support 1x1 inputs.");
    }
    if (status.error) return status;
    if (!check_weights_size_fit_cnp(constraints, layer, 1)) {
        status += make_layer_status_error(layer, FILTER_TOO_BIG);
    }
    status += check_sep_cnp_weights_nonzero(layer, *weights);
    if (status.error) return status;
    status += check_sep_cnp_weights_nonzero(layer, *weights_pw);
    return status;
}

MappingStatus check_fnp_common_constraints(const HardwareConstraints& constraints,
                                           const Layer& layer, const HwVersion& version) {
    (void)dynamic_cast<const FullyConnected&>(layer);
    MappingStatus status;
    const auto fail = [&](const std::string& message) {
        status += make_layer_status_error(layer, message);
    };
    if (!one_of(layer.input_bits(), {1, 2, 4})) fail("Input bitwidth should be 1, 2 or 4.");

    const Shape in = layer.input_dimensions().front();
    if (in.count > 0) {
        uint64_t elements = 1;
        for (uint32_t d : in) elements *= d;
        const uint64_t limit =
            is_tarn_v2(version) ? FNP_MAX_INPUT_ELEMENTS_TARN_V2 : FNP_MAX_INPUT_ELEMENTS;
        if (elements > limit) {
            fail("Input dimensions are too large to fit in a FNP. The maximum value is " +
                 std::to_string(limit) + ".");
        }
    }
    if (!status.error && !(in.dims[0] == 1 && in.dims[1] == 1)) {
        status += check_cnp_input_dims(layer, in.dims[0], in.dims[1], in.dims[2]);
    }
    const int weights_bits = param(layer, "weights_bits");
    if (weights_bits < 1 || weights_bits > 4)
        fail("Weight bits should be between 1 and 4 inclusive.");
    if (param(layer, "activation") != 0 && !one_of(param(layer, "act_bits"), {1, 2, 4})) {
        fail("act_bits should be 1, 2 or 4.");
    }
    if (status.error) return status;

    const uint64_t input_words = get_fnp_input_size(layer);
    if (input_words > constraints.fnp_input_sram_size) {
        fail("Input size exceeds memory. Maximum size is " +
             std::to_string(uint64_t{constraints.fnp_input_sram_size} * 4) + " bytes. (got " +
             std::to_string(input_words * 4) + " bytes).");
    }
    return status;
}

MappingStatus check_fnp_constraints(const HardwareConstraints& constraints, const Layer& layer,
                                    const HwVersion& version) {
    const auto& fc = dynamic_cast<const FullyConnected&>(layer);
    MappingStatus status = check_fnp_common_constraints(constraints, layer, version);
    if (status.error) return status;

    const auto weights = Tensor::ensure_dense(layer.variables()->get("weights"));
    const int weights_bits = param(layer, "weights_bits");
    const int bound = weights_bits == 1 ? 2 : 1 << (weights_bits - 1);
    const int8_t* data = weights->data<int8_t>();
    for (size_t i = 0; i < weights->size(); ++i) {
        const int w = data[i];
        if (w >= bound || w <= -bound) {
            return make_layer_status_error(
                layer, "Weights contain values out of range (" + std::to_string(1 - bound) + ", " +
                           std::to_string(bound + 1) + ") (e.g.: " + std::to_string(w) + ").");
        }
    }

    if (fc.can_learn()) {
        const auto n = static_cast<int64_t>(std::trunc(fc.learning()->get("num_weights")));
        // Neurons along the first dimension; the inputs of a neuron are the
        // elements of the other dimensions in use.
        const Shape& shape = weights->dimensions();
        const std::vector<uint32_t>& strides = weights->strides();
        const uint32_t neurons = shape.count > 0 ? shape.dims[0] : 0;
        uint64_t inputs = 1;
        for (uint32_t i = 1; i < shape.count; ++i) inputs *= shape.dims[i];
        const uint64_t neuron_stride = strides.empty() ? 1 : strides[0];
        const uint64_t input_stride = strides.size() > 1 ? strides[1] : 1;
        for (uint32_t k = 0; k < neurons; ++k) {
            int64_t count = 0;
            for (uint64_t j = 0; j < inputs; ++j) {
                if (weights->at<int8_t>(k * neuron_stride + j * input_stride) != 0) ++count;
            }
            if (count != n) {
                return make_layer_status_error(layer,
                                               "The number of weights per neuron should match the "
                                               "num_weights VornaUnsupervised parameter.");
            }
        }
    }
    return MappingStatus::success();
}

MappingStatus check_layer_sequence_rules(LayerListIterator begin, LayerListIterator end) {
    const auto is_max_pool_cnp = [](const Layer& l) {
        return l.is_target_component(TargetComponent::CNP) && l.has_pooling(PoolType::Max);
    };
    if (begin == end) return MappingStatus::success();
    const Layer& last = **(end - 1);
    if (is_max_pool_cnp(last)) {
        return make_layer_status_error(last,
                                       "A convolutional or separable convolutional layer with max "
                                       "pooling cannot be the last layer of a sequence.");
    }
    // Members of the run, hashed at the first question.
    std::unordered_set<const Layer*> members;
    for (auto it = begin; it != end; ++it) {
        const Layer& layer = **it;
        if (layer.is_target_component(TargetComponent::CNP)) continue;
        for (const auto& pred : layer.inbound_layers()) {
            if (!pred || !is_max_pool_cnp(*pred)) continue;
            if (members.empty()) {
                for (auto m = begin; m != end; ++m) members.insert(m->get());
            }
            if (members.count(pred.get()) != 0) {
                return make_layer_status_error(
                    layer,
                    "A convolutional or separable convolutional layer with max pooling must be "
                    "followed by another convolutional or separable convolutional layer. Layer '" +
                        pred->get_name() + "' has max pooling.");
            }
        }
    }
    return MappingStatus::success();
}

std::vector<MappingStatus> check_layer_sequence_rules_prefixes(LayerListIterator begin,
                                                               LayerListIterator end) {
    const auto is_max_pool_cnp = [](const Layer& l) {
        return l.is_target_component(TargetComponent::CNP) && l.has_pooling(PoolType::Max);
    };
    // A layer's check against its t-th inbound layer fails from the first run
    // holding both; a run reports the failing check of its earliest layer, the
    // inbound layers of one layer in their order.
    struct Check {
        size_t position;
        size_t inbound;
        const Layer* pred;
    };
    std::optional<Check> failing;
    auto fail = [&failing](const Check& c) {
        if (!failing || c.position < failing->position ||
            (c.position == failing->position && c.inbound < failing->inbound)) {
            failing = c;
        }
    };
    std::unordered_set<const Layer*> seen;
    std::unordered_map<const Layer*, std::vector<Check>> waiting;
    std::vector<MappingStatus> out;
    out.reserve(static_cast<size_t>(end - begin));
    for (auto it = begin; it != end; ++it) {
        const size_t at = static_cast<size_t>(it - begin);
        const Layer& layer = **it;
        if (seen.insert(&layer).second) {
            const auto found = waiting.find(&layer);
            if (found != waiting.end()) {
                for (const Check& c : found->second) fail(c);
                waiting.erase(found);
            }
        }
        if (!layer.is_target_component(TargetComponent::CNP)) {
            const auto preds = layer.inbound_layers();
            for (size_t t = 0; t < preds.size(); ++t) {
                if (!preds[t] || !is_max_pool_cnp(*preds[t])) continue;
                const Check c{at, t, preds[t].get()};
                if (seen.count(c.pred) != 0) {
                    fail(c);
                } else {
                    waiting[c.pred].push_back(c);
                }
            }
        }
        if (is_max_pool_cnp(layer)) {
            out.push_back(make_layer_status_error(
                layer,
                "A convolutional or separable convolutional layer with max pooling cannot be the "
                "last layer of a sequence."));
        } else if (failing) {
            out.push_back(make_layer_status_error(
                *begin[static_cast<std::ptrdiff_t>(failing->position)],
                "A convolutional or separable convolutional layer with max pooling must be "
                "followed by another convolutional or separable convolutional layer. Layer '" +
                    failing->pred->get_name() + "' has max pooling."));
        } else {
            out.push_back(MappingStatus::success());
        }
    }
    return out;
}

MappingStatus check_pooling_split(const Layer& layer,
                                  const std::vector<hw::Component>& components) {
    if (!is_split_spatially(components) || param(layer, "pool_type") != POOL_MAX) {
        return MappingStatus::success();
    }
    const int pool_w = param(layer, "pooling_width");
    const int pool_h = param(layer, "pooling_height");
    const int stride_x = effective_pool_stride(param(layer, "pooling_stride_x"), pool_w);
    const int stride_y = effective_pool_stride(param(layer, "pooling_stride_y"), pool_h);
    if (pool_w > stride_x || pool_h > stride_y) {
        return make_layer_status_error(layer,
                                       "Cannot have pooling size > pooling stride if the layer is "
                                       "mapped spatially on multiple NPs.");
    }
    return MappingStatus::success();
}

MappingStatus check_std_cnp_mappings(const Layer& layer,
                                     const std::vector<hw::Component>& components,
                                     const HwVersion& version) {
    MappingStatus status;
    const bool strided_max_pool = param(layer, "pool_type") == POOL_MAX &&
                                  (param(layer, "stride_x") >= 2 || param(layer, "stride_y") >= 2);
    if (strided_max_pool && is_split_spatially(components)) {
        status += make_layer_status_error(layer,
                                          "Cannot have convolution stride > 1 and max pooling if "
                                          "the layer is mapped on multiple NPs.");
    }
    status += check_pooling_split(layer, components);
    if (is_tarn_v2(version) && !status.error && layer.input_dimensions().front().dims[2] == 1 &&
        param(layer, "filters") > 16) {
        MappingStatus neurons;
        for (const hw::Component& c : components) {
            if (!c.placement) continue;
            if (((uint64_t{c.placement->filters} + 7) >> 3) & 1) {
                neurons += make_layer_status_error(
                    layer,
                    "With one input channel, the number of neurons per NP / 8 must be even.");
            }
        }
        status += neurons;
    }
    return status;
}

MappingStatus check_sep_cnp_mappings(const Layer& layer,
                                     const std::vector<hw::Component>& components) {
    return check_pooling_split(layer, components);
}

MappingStatus check_layer_mappings_rules(const Layer& layer,
                                         const std::vector<hw::Component>& components,
                                         const HwVersion& version) {
    MappingStatus status;
    switch (layer.params()->layer_type()) {
        case LayerType::Convolutional:
            status = check_std_cnp_mappings(layer, components, version);
            break;
        case LayerType::SeparableConvolutional:
            status = check_sep_cnp_mappings(layer, components);
            break;
        case LayerType::InputConvolutional:
        case LayerType::FullyConnected:
            break;
        default:
            return make_layer_status_error(layer, "unknown Layer type.");
    }
    if (status.error) return status;

    MappingStatus width_status;
    for (const hw::Component& c : components) {
        if (c.type != hw::Type::CNP1 && c.type != hw::Type::CNP2) continue;
        const NpSpace* p = partition_of(c);
        if (p == nullptr) continue;
        const uint64_t width = (uint64_t{p->shape.dims[0]} + 3) & ~uint64_t{3};
        if (width > NP_MAX_INPUT_WIDTH) {
            width_status = make_layer_status_error(
                layer, "The input length " + std::to_string(width) +
                           " exceeds the maximum value for NP input width: " +
                           std::to_string(NP_MAX_INPUT_WIDTH) + ".");
        }
    }
    return width_status.error ? width_status : status;
}

}  // namespace vorna::v1
