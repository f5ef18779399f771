#include "corelib/layer.h"

#include <stdexcept>
#include <utility>

#include "corelib/layer_kinds.h"
#include "corelib/tensor.h"

namespace vorna {

Layer::Mapping::~Mapping() = default;
Layer::~Layer() = default;
HasConvParams::~HasConvParams() = default;
HasPoolParams::~HasPoolParams() = default;
LayerImpl::~LayerImpl() = default;
ConvolutionLikeLayer::~ConvolutionLikeLayer() = default;

namespace {

// The parameters of a concrete class must be of its own layer type, so that
// casts to the class and the parameters never disagree.
const LayerParams& of_type(const LayerParams& params, LayerType type) {
    if (params.layer_type() != type) {
        throw std::invalid_argument(
            "Layer parameters of type " + std::to_string(static_cast<int>(params.layer_type())) +
            " cannot build a layer of type " + std::to_string(static_cast<int>(type)) + ".");
    }
    return params;
}

}  // namespace

#define VORNA_DEFINE_LAYER_KIND(Kind, Base)                        \
    Kind::Kind(const LayerParams& params, const std::string& name) \
        : Base(of_type(params, LayerType::Kind), name) {}          \
    Kind::~Kind() = default;

VORNA_DEFINE_LAYER_KIND(InputData, LayerImpl)
VORNA_DEFINE_LAYER_KIND(InputConvolutional, ConvolutionLikeLayer)
VORNA_DEFINE_LAYER_KIND(FullyConnected, LayerImpl)
VORNA_DEFINE_LAYER_KIND(Convolutional, ConvolutionLikeLayer)
VORNA_DEFINE_LAYER_KIND(SeparableConvolutional, ConvolutionLikeLayer)
VORNA_DEFINE_LAYER_KIND(Add, LayerImpl)
VORNA_DEFINE_LAYER_KIND(Concatenate, LayerImpl)
VORNA_DEFINE_LAYER_KIND(Conv2D, ConvolutionLikeLayer)
VORNA_DEFINE_LAYER_KIND(InputConv2D, ConvolutionLikeLayer)
VORNA_DEFINE_LAYER_KIND(DepthwiseConv2D, ConvolutionLikeLayer)
VORNA_DEFINE_LAYER_KIND(Conv2DTranspose, ConvolutionLikeLayer)
VORNA_DEFINE_LAYER_KIND(Dequantizer, LayerImpl)
VORNA_DEFINE_LAYER_KIND(DepthwiseConv2DTranspose, ConvolutionLikeLayer)
VORNA_DEFINE_LAYER_KIND(BufferTempConv, LayerImpl)
VORNA_DEFINE_LAYER_KIND(DepthwiseBufferTempConv, LayerImpl)
VORNA_DEFINE_LAYER_KIND(Dense1D, LayerImpl)
VORNA_DEFINE_LAYER_KIND(StatefulRecurrent, LayerImpl)
VORNA_DEFINE_LAYER_KIND(Quantizer, LayerImpl)
VORNA_DEFINE_LAYER_KIND(MotePostProcessing, LayerImpl)

#undef VORNA_DEFINE_LAYER_KIND

namespace {

template <class Kind>
std::shared_ptr<Layer> make(const LayerParams& params, const std::string& name) {
    return std::make_shared<Kind>(params, name);
}

}  // namespace

std::shared_ptr<Layer> Layer::create(const LayerParams* params, const std::string& name) {
    if (params == nullptr) throw std::invalid_argument("Invalid layer parameters.");
    switch (params->layer_type()) {
        case LayerType::InputData:
            return make<InputData>(*params, name);
        case LayerType::InputConvolutional:
            return make<InputConvolutional>(*params, name);
        case LayerType::FullyConnected:
            return make<FullyConnected>(*params, name);
        case LayerType::Convolutional:
            return make<Convolutional>(*params, name);
        case LayerType::SeparableConvolutional:
            return make<SeparableConvolutional>(*params, name);
        case LayerType::Add:
            return make<Add>(*params, name);
        case LayerType::Concatenate:
            return make<Concatenate>(*params, name);
        case LayerType::Conv2D:
            return make<Conv2D>(*params, name);
        case LayerType::InputConv2D:
            return make<InputConv2D>(*params, name);
        case LayerType::DepthwiseConv2D:
            return make<DepthwiseConv2D>(*params, name);
        case LayerType::Conv2DTranspose:
            return make<Conv2DTranspose>(*params, name);
        case LayerType::Dequantizer:
            return make<Dequantizer>(*params, name);
        case LayerType::DepthwiseConv2DTranspose:
            return make<DepthwiseConv2DTranspose>(*params, name);
        case LayerType::BufferTempConv:
            return make<BufferTempConv>(*params, name);
        case LayerType::DepthwiseBufferTempConv:
            return make<DepthwiseBufferTempConv>(*params, name);
        case LayerType::Dense1D:
            return make<Dense1D>(*params, name);
        case LayerType::StatefulRecurrent:
            return make<StatefulRecurrent>(*params, name);
        case LayerType::Quantizer:
            return make<Quantizer>(*params, name);
        case LayerType::MotePostProcessing:
            return make<MotePostProcessing>(*params, name);
        default:
            throw std::invalid_argument("Unsupported layer type " +
                                        std::to_string(static_cast<int>(params->layer_type())) +
                                        ".");
    }
}

LayerImpl::LayerImpl(const LayerParams& params, const std::string& name)
    : name_(name), params_(LayerParams::clone(&params)) {
    layer_kinds::apply_defaults(*params_);
}

std::vector<Shape> LayerImpl::input_dimensions() const {
    if (!built_) throw std::runtime_error("Cannot get input size before it is set.");
    return built_->input_dims;
}

Shape LayerImpl::output_dimensions() const {
    if (!built_) throw std::runtime_error("Cannot get output size before it is set.");
    return built_->output_dims;
}

uint8_t LayerImpl::input_bits() const { return built_ ? built_->input_bits : 0; }

uint8_t LayerImpl::output_bits() const { return built_ ? built_->output_bits : 0; }

bool LayerImpl::output_signed() const { return built_ ? built_->output_signed : false; }

int LayerImpl::input_format() const { return built_ ? built_->input_format : 0; }

int LayerImpl::output_format() const { return layer_kinds::find(type())->output_format; }

bool LayerImpl::is_target_component(TargetComponent target) const {
    return layer_kinds::find(type())->target == target;
}

bool LayerImpl::splittable() const {
    const TargetComponent target = layer_kinds::find(type())->target;
    return target == TargetComponent::CNP || target == TargetComponent::TNP_B;
}

bool LayerImpl::is_depthwise() const { return layer_kinds::find(type())->depthwise; }

int LayerImpl::param_or(const char* key, int fallback) const {
    return params_->has(key) ? params_->get(key) : fallback;
}

bool LayerImpl::activation_enabled() const { return param_or("activation", 0) != 0; }

bool LayerImpl::has_activation() const { return activation_enabled(); }

bool LayerImpl::is_activation(ActivationType t) const {
    return param_or("activation", 0) == static_cast<int>(t);
}

bool LayerImpl::has_pooling(PoolType t) const {
    return param_or("pool_type", 0) == static_cast<int>(t);
}

std::vector<std::shared_ptr<Layer>> LayerImpl::inbound_layers() const { return inbound_; }

std::vector<std::shared_ptr<Layer>> LayerImpl::outbound_layers() const {
    std::vector<std::shared_ptr<Layer>> result;
    result.reserve(outbound_.size());
    for (const auto& weak : outbound_) {
        if (auto layer = weak.lock()) result.push_back(std::move(layer));
    }
    return result;
}

uint64_t LayerImpl::macs() const { return built_ ? built_->macs : 0; }

bool LayerImpl::is_input_layer() const { return layer_kinds::is_input_layer(*params_); }

size_t LayerImpl::expected_inbound_count() const {
    if (is_input_layer()) return 0;
    if (type() == LayerType::Add || type() == LayerType::Concatenate) return 2;
    return 1;
}

const ConvCalculatedParams& LayerImpl::built_conv_params() const {
    if (!built_ || !built_->conv) throw std::runtime_error("The layer " + name_ + " is not built.");
    return *built_->conv;
}

const PoolingCalculatedParams& LayerImpl::built_pool_params() const {
    if (!built_ || !built_->pool) throw std::runtime_error("The layer " + name_ + " is not built.");
    return *built_->pool;
}

namespace {

// A tensor of the given shape whose elements all hold `value`.
std::shared_ptr<Tensor> make_variable(const layer_kinds::VariableSpec& spec) {
    std::shared_ptr<Dense> t = Dense::create(spec.type, Shape(spec.dims), spec.layout);
    if (spec.fill == 0.0) return t;
    const size_t n = t->size();
    switch (spec.type) {
        case TensorType::float32: {
            float* d = t->data<float>();
            for (size_t i = 0; i < n; ++i) d[i] = static_cast<float>(spec.fill);
            break;
        }
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2: {
            uint8_t* d = t->data<uint8_t>();
            for (size_t i = 0; i < n; ++i) d[i] = static_cast<uint8_t>(spec.fill);
            break;
        }
        default:
            throw std::logic_error("make_variable: no fill for this element type");
    }
    return t;
}

}  // namespace

void LayerImpl::build(const std::vector<std::shared_ptr<Layer>>& inbound, EmptyOutput empty) {
    // Everything that can fail happens before the layer changes.
    LayerBuildState state = layer_kinds::compute(name_, *params_, inbound);
    layer_kinds::check_build(name_, *params_, state);
    if (empty == EmptyOutput::refused) layer_kinds::check_output_not_empty(name_, *params_, state);
    std::vector<std::pair<std::string, std::shared_ptr<Tensor>>> fresh;
    for (const auto& spec : layer_kinds::variables(name_, *params_, state)) {
        // A variable set before the layer was built is kept when it already
        // has the type and dimensions the layer needs.
        if (variables_.has(spec.name)) {
            auto current = variables_.get(spec.name);
            if (current->type() == spec.type && current->dimensions() == Shape(spec.dims)) {
                continue;
            }
        }
        fresh.emplace_back(spec.name, make_variable(spec));
    }
    for (auto& [name, tensor] : fresh) variables_.declare(name, std::move(tensor));
    built_ = std::move(state);
}

MappingStatus check_bitwidth(const Layer& layer, uint8_t bits, const std::string& var,
                             bool required) {
    const Variables* vars = layer.variables();
    if (!vars->has(var)) {
        if (!required) return MappingStatus();
        return MappingStatus(layer, "The variable " + var + " is missing.");
    }
    auto dense = Tensor::ensure_dense(vars->get(var));
    const int needed = evaluate_bitwidth(*dense);
    if (needed > static_cast<int>(bits)) {
        return MappingStatus(layer, "The variable " + var + " needs " + std::to_string(needed) +
                                        " bits, but at most " + std::to_string(bits) +
                                        " are supported.");
    }
    return MappingStatus();
}

}  // namespace vorna
