#include "corelib/layer_kinds.h"

#include <algorithm>
#include <limits>
#include <stdexcept>
#include <string>
#include <utility>

namespace vorna::layer_kinds {

namespace {

using TC = TargetComponent;

// Output formats (see Layer::output_format).
constexpr int kFloatOutput = 0;
constexpr int kThresholdedOutput = 1;
constexpr int kQuantizedOutput = 2;

// Input formats (see Layer::input_format).
constexpr int kSignedInput = 0;
constexpr int kUnsignedInput = 1;
constexpr int kFloatInput = 2;

const KindInfo kKinds[] = {
    {LayerType::InputData, "InputData", TC::None, kQuantizedOutput, false},
    {LayerType::InputConvolutional, "InputConvolutional", TC::HRC, kThresholdedOutput, false},
    {LayerType::FullyConnected, "FullyConnected", TC::FNP, kThresholdedOutput, false},
    {LayerType::Convolutional, "Convolutional", TC::CNP, kThresholdedOutput, false},
    {LayerType::SeparableConvolutional, "SeparableConvolutional", TC::CNP, kThresholdedOutput,
     false},
    {LayerType::Add, "Add", TC::SkipDMA, kQuantizedOutput, false},
    {LayerType::Concatenate, "Concatenate", TC::SkipDMA, kQuantizedOutput, false},
    {LayerType::Conv2D, "Conv2D", TC::CNP, kQuantizedOutput, false},
    {LayerType::InputConv2D, "InputConv2D", TC::HRC, kQuantizedOutput, false},
    {LayerType::DepthwiseConv2D, "DepthwiseConv2D", TC::CNP, kQuantizedOutput, true},
    {LayerType::Conv2DTranspose, "Conv2DTranspose", TC::CNP, kQuantizedOutput, false},
    {LayerType::Dequantizer, "Dequantizer", TC::None, kFloatOutput, false},
    {LayerType::DepthwiseConv2DTranspose, "DepthwiseConv2DTranspose", TC::CNP, kQuantizedOutput,
     true},
    {LayerType::BufferTempConv, "BufferTempConv", TC::TNP_B, kQuantizedOutput, false},
    {LayerType::DepthwiseBufferTempConv, "DepthwiseBufferTempConv", TC::TNP_B, kQuantizedOutput,
     true},
    {LayerType::Dense1D, "Dense1D", TC::FNP, kQuantizedOutput, false},
    {LayerType::StatefulRecurrent, "StatefulRecurrent", TC::TNP_R, kQuantizedOutput, false},
    {LayerType::Quantizer, "Quantizer", TC::None, kQuantizedOutput, false},
    {LayerType::MotePostProcessing, "MotePostProcessing", TC::TNP_R, kQuantizedOutput, false},
};

struct Default {
    const char* key;
    int value;
};

// Defaults of the optional parameters, per kind.
std::vector<Default> defaults_of(LayerType type) {
    switch (type) {
        case LayerType::InputData:
            return {{"input_bits", 8}, {"input_signed", 0}};
        case LayerType::Quantizer:
            return {{"output_bits", 8}, {"output_signed", 0}, {"channels_first", 0}};
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional:
            return {{"stride_x", 1},          {"stride_y", 1},          {"padding", 1},
                    {"pool_type", 0},         {"pooling_width", 1},     {"pooling_height", 1},
                    {"pooling_stride_x", -1}, {"pooling_stride_y", -1}, {"activation", 1},
                    {"act_bits", 1}};
        case LayerType::FullyConnected:
            return {{"activation", 1}, {"act_bits", 1}};
        case LayerType::Conv2D:
        case LayerType::DepthwiseConv2D:
            // "pool_stride" defaults to "pool_size"; see apply_defaults.
            return {{"kernel_stride", 1}, {"padding", 1},     {"pool_type", 0},   {"pool_size", 0},
                    {"activation", 1},    {"output_bits", 8}, {"weights_bits", 8}};
        case LayerType::InputConv2D:
            return {{"kernel_stride", 1}, {"padding", 1},     {"pool_type", 0},
                    {"pool_size", 0},     {"pool_stride", 0}, {"activation", 1},
                    {"output_bits", 8},   {"weights_bits", 8}};
        case LayerType::Conv2DTranspose:
        case LayerType::DepthwiseConv2DTranspose:
            return {
                {"kernel_stride", 2}, {"activation", 1}, {"output_bits", 8}, {"weights_bits", 8}};
        case LayerType::BufferTempConv:
        case LayerType::DepthwiseBufferTempConv:
        case LayerType::Dense1D:
            return {{"activation", 1}, {"output_bits", 8}, {"weights_bits", 8}};
        case LayerType::Add:
            return {{"output_bits", 8}};
        case LayerType::StatefulRecurrent:
            return {{"subsample", 1}, {"activation", 0}, {"output_bits", 8}};
        default:
            return {};
    }
}

// Parameters without a default, read (and so checked) when the layer is built.
std::vector<const char*> required_of(const LayerParams& params) {
    switch (params.layer_type()) {
        case LayerType::InputData:
            return {"input_width", "input_height", "input_channels"};
        case LayerType::InputConvolutional:
            return {"input_width",      "input_height",    "input_channels", "kernel_width",
                    "kernel_height",    "padding",         "stride_x",       "stride_y",
                    "filters",          "weights_bits",    "padding_value",  "activation",
                    "act_bits",         "pooling_width",   "pooling_height", "pool_type",
                    "pooling_stride_x", "pooling_stride_y"};
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional:
            return {"filters", "kernel_width", "kernel_height", "weights_bits"};
        case LayerType::FullyConnected:
            return {"units", "weights_bits"};
        case LayerType::Conv2D:
        case LayerType::Conv2DTranspose:
        case LayerType::InputConv2D:
            return {"filters", "kernel_size"};
        case LayerType::DepthwiseConv2D:
        case LayerType::DepthwiseConv2DTranspose:
            return {"kernel_size"};
        case LayerType::BufferTempConv:
            return {"filters", "fifo_size"};
        case LayerType::DepthwiseBufferTempConv:
            return {"fifo_size"};
        case LayerType::Dense1D:
            return {"units"};
        case LayerType::StatefulRecurrent:
            return {"stateful_channels", "output_channels"};
        default:
            return {};
    }
}

bool has_input_size(const LayerParams& p) {
    return p.has("input_width") && p.has("input_height") && p.has("input_channels");
}

// A parameter that sizes something: negative values are refused.
uint32_t size_param(const LayerParams& p, const char* key) {
    const int v = p.get(key);
    if (v < 0) {
        throw std::invalid_argument("Parameter '" + std::string(key) + "' cannot be negative.");
    }
    return static_cast<uint32_t>(v);
}

uint32_t dim(const Shape& s, uint32_t i) { return i < s.count ? s.dims[i] : 0; }

// x * y * c of the first input: three 32-bit dimensions can pass 64 bits.
SizeCount flat_size(const Shape& in) { return size_product({dim(in, 0), dim(in, 1), dim(in, 2)}); }

// "[a, b, c]" of any list of sizes.
template <class Sizes>
std::string sizes_text(const Sizes& sizes) {
    std::string out = "[";
    for (const auto& d : sizes) out += (out.size() > 1 ? ", " : "") + decimal_text(d);
    return out + "]";
}

// An output shape whose dimensions were formed from caller-given sizes (an input dimension
// times a stride, two channel counts joined): refused, naming the layer, when a dimension
// does not fit the 32 bits of a shape.
Shape output_shape(const std::string& name, SizeCount x, SizeCount y, SizeCount c) {
    const SizeCount dims[3] = {x, y, c};
    for (SizeCount d : dims) {
        if (d > kMaxTensorElements) {
            throw std::invalid_argument("Layer '" + name + "': the output shape " +
                                        sizes_text(dims) + " has a dimension of " +
                                        decimal_text(d) + ", more than a tensor can hold (" +
                                        std::to_string(kMaxTensorElements) + ").");
        }
    }
    return shape3(static_cast<uint32_t>(x), static_cast<uint32_t>(y), static_cast<uint32_t>(c));
}

uint32_t ceil_div(uint32_t n, uint32_t d) {
    return static_cast<uint32_t>((static_cast<uint64_t>(n) + d - 1) / d);
}

// Padding "before" and "after" along one axis, from the total amount.
struct AxisPadding {
    int32_t before = 0;
    int32_t after = 0;
};

// total = max((out - 1) * s + k - n, 0). Same puts the extra element after
// (bottom right), SameUpper before (top left).
AxisPadding split_padding(uint32_t n, uint32_t out, uint32_t k, uint32_t s, Padding mode) {
    AxisPadding p;
    if (mode == Padding::Valid || out == 0) return p;
    const int64_t total64 = (static_cast<int64_t>(out) - 1) * s + k - static_cast<int64_t>(n);
    const int32_t total = static_cast<int32_t>(std::max<int64_t>(total64, 0));
    if (mode == Padding::Same) {
        p.before = total / 2;
    } else {
        p.before = total - total / 2;
    }
    p.after = total - p.before;
    return p;
}

// 1 for Same, 2 for SameUpper; any other value means no padding.
Padding padding_mode(int value) {
    if (value == static_cast<int>(Padding::Same)) return Padding::Same;
    if (value == static_cast<int>(Padding::SameUpper)) return Padding::SameUpper;
    return Padding::Valid;
}

// Kernel sizes and strides below 1 are read as 1 so that no computation
// divides by zero; the mapping checks report such values.
uint32_t at_least_one(int v) { return v < 1 ? 1u : static_cast<uint32_t>(v); }

uint32_t conv_axis(uint32_t n, uint32_t k, uint32_t s, Padding mode) {
    if (mode == Padding::Valid) return n < k ? 0 : (n - k) / s + 1;
    return ceil_div(n, s);
}

struct ConvGeometry {
    uint32_t kx, ky, sx, sy;
    Padding mode;
};

ConvCalculatedParams conv_params(const Shape& in, const ConvGeometry& g) {
    ConvCalculatedParams c;
    c.stride_x = g.sx;
    c.stride_y = g.sy;
    c.output_width = conv_axis(dim(in, 0), g.kx, g.sx, g.mode);
    c.output_height = conv_axis(dim(in, 1), g.ky, g.sy, g.mode);
    const AxisPadding px = split_padding(dim(in, 0), c.output_width, g.kx, g.sx, g.mode);
    const AxisPadding py = split_padding(dim(in, 1), c.output_height, g.ky, g.sy, g.mode);
    c.padding = PaddingParams{py.before, py.after, px.before, px.after};
    return c;
}

// Pooling on one axis of the convolution output.
struct PoolAxis {
    int size;    // the window as given; -1 with average pooling is global
    int stride;  // as given; 0 or less stands for the window size
};

PoolingCalculatedParams no_pooling(uint32_t width, uint32_t height) {
    PoolingCalculatedParams p;
    p.stride_x = 1;
    p.stride_y = 1;
    p.width = width;
    p.height = height;
    return p;
}

PoolingCalculatedParams pool_params(const ConvCalculatedParams& conv, int pool_type, PoolAxis x,
                                    PoolAxis y, bool global) {
    const uint32_t cw = conv.output_width;
    const uint32_t ch = conv.output_height;
    if (pool_type != static_cast<int>(PoolType::Max) &&
        pool_type != static_cast<int>(PoolType::Average)) {
        return no_pooling(cw, ch);
    }
    if (pool_type == static_cast<int>(PoolType::Average) && global) return no_pooling(1, 1);

    PoolingCalculatedParams p;
    uint32_t out[2];
    AxisPadding pad[2];
    const uint32_t conv_out[2] = {cw, ch};
    const PoolAxis axes[2] = {x, y};
    int8_t strides[2];
    for (int a = 0; a < 2; ++a) {
        const uint32_t size = at_least_one(axes[a].size);
        const uint32_t stride = axes[a].stride > 0 ? static_cast<uint32_t>(axes[a].stride) : size;
        out[a] = ceil_div(conv_out[a], stride);
        pad[a] = split_padding(conv_out[a], out[a], size, stride, Padding::Same);
        strides[a] = static_cast<int8_t>(stride);
    }
    p.stride_x = strides[0];
    p.stride_y = strides[1];
    p.width = out[0];
    p.height = out[1];
    p.padding = PaddingParams{pad[1].before, pad[1].after, pad[0].before, pad[0].after};
    p.flag = pool_type == static_cast<int>(PoolType::Max) ? 1 : 0;
    return p;
}

// Convolution kinds of the first IP generation: kernel, strides and pooling
// given per axis.
void build_v1_conv(const LayerParams& p, LayerBuildState& s) {
    const ConvGeometry g{at_least_one(size_param(p, "kernel_width")),
                         at_least_one(size_param(p, "kernel_height")),
                         at_least_one(p.get("stride_x")), at_least_one(p.get("stride_y")),
                         padding_mode(p.get("padding"))};
    const Shape& in = s.input_dims.front();
    s.conv = conv_params(in, g);
    const int pool_w = p.get("pooling_width");
    const bool global = pool_w == -1;
    s.pool = pool_params(*s.conv, p.get("pool_type"), PoolAxis{pool_w, p.get("pooling_stride_x")},
                         PoolAxis{p.get("pooling_height"), p.get("pooling_stride_y")}, global);
    const uint32_t filters = size_param(p, "filters");
    s.output_dims = shape3(s.pool->width, s.pool->height, filters);

    const SizeCount out = size_product({s.conv->output_width, s.conv->output_height});
    const SizeCount c = dim(in, 2);
    const SizeCount k2 =
        size_product({size_param(p, "kernel_width"), size_param(p, "kernel_height")});
    if (p.layer_type() == LayerType::SeparableConvolutional) {
        s.macs = saturated64(size_sum(size_product({out, c, k2}), size_product({out, c, filters})));
    } else {
        s.macs = saturated64(size_product({out, filters, k2, c}));
    }
}

// Convolution kinds of the second IP generation: square kernel, one stride
// and one pooling size for both axes.
void build_v2_conv(const LayerParams& p, bool depthwise, LayerBuildState& s) {
    const uint32_t k = at_least_one(size_param(p, "kernel_size"));
    const uint32_t stride = at_least_one(p.get("kernel_stride"));
    const ConvGeometry g{k, k, stride, stride, padding_mode(p.get("padding"))};
    const Shape& in = s.input_dims.front();
    s.conv = conv_params(in, g);
    const int pool_size = p.get("pool_size");
    const int pool_stride = p.get("pool_stride");
    s.pool = pool_params(*s.conv, p.get("pool_type"), PoolAxis{pool_size, pool_stride},
                         PoolAxis{pool_size, pool_stride}, pool_size == -1);
    const uint32_t c = dim(in, 2);
    const uint32_t filters = depthwise ? c : size_param(p, "filters");
    s.output_dims = shape3(s.pool->width, s.pool->height, filters);

    const SizeCount out = size_product({s.conv->output_width, s.conv->output_height});
    const SizeCount kernel = size_param(p, "kernel_size");
    s.macs = saturated64(size_product({out, filters, kernel, kernel, depthwise ? 1 : c}));
}

void build_transposed(const std::string& name, const LayerParams& p, bool depthwise,
                      LayerBuildState& s) {
    const uint32_t stride = at_least_one(p.get("kernel_stride"));
    const Shape& in = s.input_dims.front();
    const uint32_t x = dim(in, 0), y = dim(in, 1), c = dim(in, 2);
    const uint32_t filters = depthwise ? c : size_param(p, "filters");
    s.output_dims =
        output_shape(name, size_product({x, stride}), size_product({y, stride}), filters);
    ConvCalculatedParams conv;
    conv.stride_x = stride;
    conv.stride_y = stride;
    conv.output_width = s.output_dims[0];
    conv.output_height = s.output_dims[1];
    s.conv = conv;
    s.pool = no_pooling(conv.output_width, conv.output_height);
    const SizeCount k = size_param(p, "kernel_size");
    s.macs = saturated64(size_product({x, y, filters, k, k, depthwise ? 1 : c}));
}

TensorType weights_type(const LayerParams& p) {
    const int bits = p.get("weights_bits");
    if (bits <= 1) return TensorType::bit;
    if (bits == 2) return TensorType::int2;
    if (bits <= 4) return TensorType::int4;
    return TensorType::int8;
}

// The variables of one layer. Their dimensions come from caller-given sizes (and products of
// them): a variable that no tensor can hold is refused, naming the layer, before any is made.
class SpecList {
  public:
    explicit SpecList(const std::string& layer) : layer_(layer) {}

    void add(const char* name, TensorType type, std::vector<SizeCount> dims, double fill = 0.0) {
        add_with_layout(name, type, dims, Dense::Layout::RowMajor, fill);
    }
    // Weight tensors: first dimension fastest.
    void weights(const char* name, TensorType type, std::vector<SizeCount> dims) {
        add_with_layout(name, type, dims, Dense::Layout::ColMajor, 0.0);
    }
    std::vector<VariableSpec> take() { return std::move(specs_); }

  private:
    void add_with_layout(const char* name, TensorType type, const std::vector<SizeCount>& dims,
                         Dense::Layout layout, double fill) {
        SizeCount elements = 1;
        for (SizeCount d : dims) elements = size_product({elements, d});
        if (elements == 0) return;
        if (elements > kMaxTensorElements) {
            throw std::invalid_argument(
                "Layer '" + layer_ + "': the variable '" + name + "' of shape " + sizes_text(dims) +
                " needs " + decimal_text(elements) + " elements, more than a tensor can hold (" +
                std::to_string(kMaxTensorElements) + ").");
        }
        std::vector<uint32_t> narrow;
        for (SizeCount d : dims) narrow.push_back(static_cast<uint32_t>(d));
        specs_.push_back(VariableSpec{name, type, std::move(narrow), layout, fill});
    }

    const std::string& layer_;
    std::vector<VariableSpec> specs_;
};

// The activation variables of the second-generation kinds, one value per
// output neuron: saturation for ReLU, a look-up table for LUT.
void add_activation_vars(SpecList& v, const LayerParams& p, uint32_t n) {
    const int activation = p.has("activation") ? p.get("activation") : 0;
    if (activation == static_cast<int>(ActivationType::ReLU)) {
        v.add("max_value", TensorType::uint8, {n}, 127);
        v.add("max_value_shift", TensorType::uint8, {n}, 31);
    } else if (activation == static_cast<int>(ActivationType::LUT)) {
        v.add("activation_shift", TensorType::int8, {n});
        v.add("activation_scales", TensorType::uint8, {n});
        v.add("lut_values", TensorType::int32, {2048});
    }
}

// bias, bias_shift, output_scales = 1 and output_shift for n neurons.
void add_output_vars(SpecList& v, uint32_t n) {
    v.add("bias", TensorType::int8, {n});
    v.add("bias_shift", TensorType::uint8, {n});
    v.add("output_scales", TensorType::uint8, {n}, 1);
    v.add("output_shift", TensorType::int8, {n});
}

// threshold and act_step = 1.0 for n neurons.
void add_threshold_vars(SpecList& v, uint32_t n) {
    v.add("threshold", TensorType::int32, {n});
    v.add("act_step", TensorType::float32, {n}, 1.0);
}

}  // namespace

const KindInfo* find(LayerType type) {
    for (const KindInfo& k : kKinds) {
        if (k.type == type) return &k;
    }
    return nullptr;
}

const char* kind_name(LayerType type) {
    const KindInfo* kind = find(type);
    return kind ? kind->name : "Unknown";
}

void apply_defaults(LayerParams& params) {
    for (const Default& d : defaults_of(params.layer_type())) {
        if (!params.has(d.key)) params.set(d.key, d.value);
    }
    const LayerType type = params.layer_type();
    if ((type == LayerType::Conv2D || type == LayerType::DepthwiseConv2D) &&
        !params.has("pool_stride")) {
        params.set("pool_stride", params.get("pool_size"));
    }
}

bool is_input_layer(const LayerParams& params) {
    switch (params.layer_type()) {
        case LayerType::InputData:
        case LayerType::InputConvolutional:
            return true;
        case LayerType::Quantizer:
            return has_input_size(params);
        default:
            return false;
    }
}

LayerBuildState compute(const std::string& name, const LayerParams& p,
                        const std::vector<std::shared_ptr<Layer>>& inbound) {
    std::vector<const char*> missing;
    for (const char* key : required_of(p)) {
        if (!p.has(key)) missing.push_back(key);
    }
    if (!missing.empty()) {
        std::string keys;
        for (size_t i = 0; i < missing.size(); ++i) {
            keys += i == 0 ? "" : (i + 1 == missing.size() ? " and " : ", ");
            keys += "'" + std::string(missing[i]) + "'";
        }
        throw std::invalid_argument(
            "Layer '" + name + "' of kind " + kind_name(p.layer_type()) +
            " is missing the parameter" + (missing.size() > 1 ? "s " : " ") + keys + ": give " +
            (missing.size() > 1 ? "them" : "it") + " in the layer's parameters.");
    }

    const LayerType type = p.layer_type();
    const bool input_layer = is_input_layer(p);
    const int activation = p.has("activation") ? p.get("activation") : 0;
    const bool activation_enabled = activation != 0;

    LayerBuildState s;
    // Inputs.
    if (input_layer) {
        s.input_dims.push_back(shape3(size_param(p, "input_width"), size_param(p, "input_height"),
                                      size_param(p, "input_channels")));
    } else {
        for (const auto& in : inbound) s.input_dims.push_back(in->output_dimensions());
    }
    const Layer* first = inbound.empty() ? nullptr : inbound.front().get();
    s.input_bits = first ? first->output_bits() : 0;
    s.input_format = (first && !first->output_signed()) ? kUnsignedInput : kSignedInput;

    // Signedness unless the kind decides otherwise below.
    s.output_signed = !activation_enabled;

    const Shape& in = s.input_dims.front();
    const uint32_t x = dim(in, 0), y = dim(in, 1), c = dim(in, 2);
    const SizeCount flat = flat_size(in);

    switch (type) {
        case LayerType::InputData:
            s.output_dims = in;
            s.input_bits = static_cast<uint8_t>(p.get("input_bits"));
            s.output_bits = s.input_bits;
            s.output_signed = p.get("input_signed") != 0;
            s.input_format = s.output_signed ? kSignedInput : kUnsignedInput;
            break;
        case LayerType::Quantizer:
            s.output_dims = in;
            if (input_layer) {
                s.input_bits = 32;
                s.input_format = kFloatInput;
            }
            break;
        case LayerType::Dequantizer:
            s.output_dims = in;
            s.output_bits = 32;
            s.output_signed = true;
            break;
        case LayerType::InputConvolutional:
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional:
            build_v1_conv(p, s);
            if (type == LayerType::InputConvolutional) {
                s.input_bits = 8;
                s.input_format = kUnsignedInput;
            }
            s.output_bits = activation_enabled ? static_cast<uint8_t>(p.get("act_bits")) : 32;
            break;
        case LayerType::FullyConnected: {
            const uint32_t units = size_param(p, "units");
            s.output_dims = shape3(1, 1, units);
            s.output_bits = activation_enabled ? static_cast<uint8_t>(p.get("act_bits")) : 32;
            s.macs = saturated64(size_product({flat, units}));
            break;
        }
        case LayerType::Conv2D:
        case LayerType::DepthwiseConv2D:
        case LayerType::InputConv2D:
            build_v2_conv(p, type == LayerType::DepthwiseConv2D, s);
            if (type == LayerType::InputConv2D) {
                s.input_bits = 8;
                s.input_format = kUnsignedInput;
            }
            break;
        case LayerType::Conv2DTranspose:
        case LayerType::DepthwiseConv2DTranspose:
            build_transposed(name, p, type == LayerType::DepthwiseConv2DTranspose, s);
            break;
        case LayerType::BufferTempConv: {
            const uint32_t filters = size_param(p, "filters");
            const uint32_t fifo = size_param(p, "fifo_size");
            s.output_dims = shape3(x, y, filters);
            s.macs = saturated64(size_product({x, y, filters, c, fifo}));
            break;
        }
        case LayerType::DepthwiseBufferTempConv: {
            const uint32_t fifo = size_param(p, "fifo_size");
            s.output_dims = shape3(x, y, c);
            s.macs = saturated64(size_product({x, y, c, fifo}));
            break;
        }
        case LayerType::Dense1D: {
            const uint32_t units = size_param(p, "units");
            s.output_dims = shape3(1, 1, units);
            s.macs = saturated64(size_product({flat, units}));
            break;
        }
        case LayerType::Add:
            s.output_dims = in;
            break;
        case LayerType::Concatenate: {
            const Shape& second = s.input_dims.at(1);
            s.output_dims = output_shape(name, x, y, size_sum(c, dim(second, 2)));
            s.output_bits = first->output_bits();
            s.output_signed = first->output_signed();
            break;
        }
        case LayerType::StatefulRecurrent: {
            const uint32_t states = size_param(p, "stateful_channels");
            const uint32_t outputs = size_param(p, "output_channels");
            const uint32_t subsample = at_least_one(p.get("subsample"));
            s.output_dims = shape3(x, std::max<uint32_t>(1, y / subsample), outputs);
            s.macs = saturated64(size_product(
                {y, size_sum(size_product({c, states}), size_product({states, outputs}))}));
            break;
        }
        case LayerType::MotePostProcessing:
            s.output_dims = shape3(1, 1, 1);
            s.output_bits = 16;
            s.output_signed = true;
            break;
        default:
            throw std::invalid_argument("Unsupported layer type.");
    }
    // Explicit parameters win over what the kind derives.
    if (p.has("output_bits")) s.output_bits = static_cast<uint8_t>(p.get("output_bits"));
    if (p.has("output_signed")) s.output_signed = p.get("output_signed") != 0;
    return s;
}

void check_build(const std::string& name, const LayerParams& p, const LayerBuildState& s) {
    if (p.layer_type() == LayerType::Add && s.input_dims.size() == 2 &&
        s.input_dims[0] != s.input_dims[1]) {
        throw std::invalid_argument(
            "Layer '" + name + "': the inputs of an Add must have one shape, got " +
            sizes_text(s.input_dims[0]) + " and " + sizes_text(s.input_dims[1]) + ".");
    }
    if (p.layer_type() == LayerType::FullyConnected || p.layer_type() == LayerType::Dense1D) {
        // The weights hold one row per flattened input and one column per unit: refused here,
        // before any variable is made, when no tensor can hold them.
        const SizeCount flat = flat_size(s.input_dims.front());
        const uint64_t units = static_cast<uint64_t>(std::max(p.get("units"), 0));
        const SizeCount weights = size_product({flat, units});
        if (flat > kMaxTensorElements || weights > kMaxTensorElements) {
            throw std::invalid_argument(
                "Layer '" + name + "': the flattened input of " + decimal_text(flat) +
                " values (input shape " + sizes_text(s.input_dims.front()) + ") by " +
                std::to_string(units) + " units needs " + decimal_text(weights) +
                " weights, more than a tensor can hold (" + std::to_string(kMaxTensorElements) +
                ").");
        }
    }
    if (p.layer_type() == LayerType::FullyConnected && s.output_dims.element_count() == 0) {
        throw std::invalid_argument("Layer '" + name +
                                    "': a FullyConnected layer needs at least one unit ('units' "
                                    "is 0, output shape " +
                                    sizes_text(s.output_dims) + ").");
    }
}

void check_output_not_empty(const std::string& name, const LayerParams& p,
                            const LayerBuildState& s) {
    for (uint32_t d : s.output_dims) {
        if (d != 0) continue;
        throw std::invalid_argument(
            "Layer '" + name + "' of kind " + kind_name(p.layer_type()) + " has the output shape " +
            sizes_text(s.output_dims) +
            ": every output dimension must be at least 1 (check its input size, kernel, stride "
            "and unit or filter count).");
    }
}

std::vector<VariableSpec> variables(const std::string& name, const LayerParams& p,
                                    const LayerBuildState& s) {
    const Shape& in = s.input_dims.front();
    const uint32_t c = dim(in, 2);
    const SizeCount flat = flat_size(in);
    SpecList v(name);
    switch (p.layer_type()) {
        case LayerType::Quantizer:
            v.add("scales", TensorType::float32, {c}, 1.0);
            v.add("zero_points", TensorType::uint8, {c});
            break;
        case LayerType::Dequantizer:
            v.add("scales", TensorType::float32, {c}, 1.0);
            break;
        case LayerType::InputConvolutional: {
            const uint32_t f = size_param(p, "filters");
            v.weights("weights", weights_type(p),
                      {size_param(p, "kernel_width"), size_param(p, "kernel_height"), c, f});
            add_threshold_vars(v, f);
            break;
        }
        case LayerType::Convolutional: {
            const uint32_t f = size_param(p, "filters");
            v.weights("weights", weights_type(p),
                      {f, c, size_param(p, "kernel_height"), size_param(p, "kernel_width")});
            add_threshold_vars(v, f);
            break;
        }
        case LayerType::SeparableConvolutional: {
            const uint32_t f = size_param(p, "filters");
            v.weights("weights", weights_type(p),
                      {1, c, size_param(p, "kernel_height"), size_param(p, "kernel_width")});
            v.weights("weights_pw", weights_type(p), {f, c, 1, 1});
            add_threshold_vars(v, f);
            break;
        }
        case LayerType::FullyConnected: {
            const uint32_t f = size_param(p, "units");
            v.weights("weights", weights_type(p), {f, flat});
            add_threshold_vars(v, f);
            v.add("threshold_learning", TensorType::int32, {f});
            v.add("thswap", TensorType::int32, {f});
            break;
        }
        case LayerType::Conv2D:
        case LayerType::Conv2DTranspose:
        case LayerType::DepthwiseConv2D:
        case LayerType::DepthwiseConv2DTranspose: {
            const bool depthwise = p.layer_type() == LayerType::DepthwiseConv2D ||
                                   p.layer_type() == LayerType::DepthwiseConv2DTranspose;
            const uint32_t k = size_param(p, "kernel_size");
            const uint32_t f = depthwise ? c : size_param(p, "filters");
            if (depthwise) {
                v.weights("weights", weights_type(p), {k, k, 1, c});
            } else {
                v.weights("weights", weights_type(p), {k, k, c, f});
            }
            v.add("input_shift", TensorType::uint8, {c});
            add_output_vars(v, f);
            add_activation_vars(v, p, f);
            break;
        }
        case LayerType::InputConv2D: {
            const uint32_t k = size_param(p, "kernel_size");
            const uint32_t f = size_param(p, "filters");
            v.weights("weights", weights_type(p), {k, k, c, f});
            v.add("padding_value", TensorType::uint8, {c});
            v.add("output_shift", TensorType::int8, {f});
            v.add("output_scales", TensorType::uint8, {f}, 1);
            v.add("bias_shift", TensorType::uint8, {f});
            v.add("bias", TensorType::int8, {f});
            add_activation_vars(v, p, f);
            break;
        }
        case LayerType::BufferTempConv: {
            const uint32_t f = size_param(p, "filters");
            const uint32_t t = size_param(p, "fifo_size");
            v.weights("weights", weights_type(p), {1, 1, size_product({t, c}), f});
            v.add("input_shift", TensorType::uint8, {c});
            add_output_vars(v, f);
            add_activation_vars(v, p, f);
            break;
        }
        case LayerType::DepthwiseBufferTempConv: {
            const uint32_t t = size_param(p, "fifo_size");
            v.weights("weights", weights_type(p), {1, 1, t, c});
            v.add("input_shift", TensorType::uint8, {c});
            add_output_vars(v, c);
            add_activation_vars(v, p, c);
            break;
        }
        case LayerType::Dense1D: {
            const uint32_t f = size_param(p, "units");
            v.weights("weights", weights_type(p), {flat, f});
            v.add("input_shift", TensorType::uint8, {flat});
            add_output_vars(v, f);
            add_activation_vars(v, p, f);
            break;
        }
        case LayerType::Add:
            v.add("a_shift", TensorType::uint8, {c});
            v.add("b_shift", TensorType::uint8, {c});
            v.add("output_shift", TensorType::int8, {c});
            break;
        case LayerType::StatefulRecurrent: {
            const uint32_t states = size_param(p, "stateful_channels");
            const uint32_t outputs = size_param(p, "output_channels");
            v.weights("in_proj", TensorType::int8, {states, c});
            v.weights("out_proj", TensorType::int8, {outputs, states});
            v.add("A_real", TensorType::int16, {states});
            v.add("A_imag", TensorType::int16, {states});
            v.add("internal_state_outputs_shift", TensorType::int8, {states});
            v.add("new_state_scale", TensorType::uint8, {states});
            v.add("new_state_shift", TensorType::int8, {states});
            v.add("output_scales", TensorType::uint8, {outputs}, 1);
            v.add("output_shift", TensorType::int8, {outputs});
            v.add("bias", TensorType::int8, {outputs});
            v.add("bias_shift", TensorType::uint8, {outputs});
            v.add("input_shift", TensorType::uint8, {c});
            if (p.get("activation") == static_cast<int>(ActivationType::ReLU)) {
                v.add("max_value", TensorType::uint8, {outputs}, 127);
                v.add("max_value_shift", TensorType::uint8, {outputs}, 31);
            }
            break;
        }
        case LayerType::MotePostProcessing:
            v.add("input_scales", TensorType::uint8, {1}, 1);
            v.add("input_shift", TensorType::int8, {1});
            v.add("threshold", TensorType::uint16, {1});
            break;
        default:
            break;
    }
    return v.take();
}

}  // namespace vorna::layer_kinds
