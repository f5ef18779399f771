#pragma once

// Layers of the core library's model graph.
//
// A layer is created from its parameters and a name (`Layer::create`), which
// picks the concrete class of the layer type and fills in the defaults of
// the optional parameters. It is built when a model adds it: the model links
// it to its inbound layers, and the layer computes its input and output
// dimensions, bit widths, calculated convolution and pooling parameters and
// creates its variables. Inbound links are held strongly and outbound links
// weakly, so a graph never owns itself.
//
// The virtual operations of `Layer` are declared in a fixed order that back
// ends rely on; new operations go at the end.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "backend/hw.h"
#include "backend/mapping_status.h"
#include "corelib/params.h"
#include "corelib/types.h"
#include "corelib/variables.h"

namespace vorna {

class Model;

// Convolution parameters computed when a layer is built. The output size is
// that of the convolution, before any pooling.
struct ConvCalculatedParams {
    uint32_t stride_x = 0;
    uint32_t stride_y = 0;
    uint32_t output_width = 0;
    uint32_t output_height = 0;
    PaddingParams padding;
};

// Pooling parameters computed when a layer is built: the pooling strides
// (1 without pooling), the pooled output size, the pooling padding and a
// flag set for max pooling.
struct PoolingCalculatedParams {
    int8_t stride_x = 1;
    int8_t stride_y = 1;
    uint32_t width = 0;
    uint32_t height = 0;
    PaddingParams padding;
    uint8_t flag = 0;
};

class Layer {
  public:
    // Where a layer was placed on a device. Back ends derive their own
    // mapping records from it.
    class Mapping {
      public:
        virtual ~Mapping();
        // The hardware components the layer runs on.
        std::shared_ptr<std::vector<hw::Component>> nps;
    };

    // A new, unbuilt layer of the concrete class of `params->layer_type()`,
    // with a copy of the parameters completed with the defaults of the
    // kind. A null `params` or an unsupported layer type is an invalid
    // argument.
    static std::shared_ptr<Layer> create(const LayerParams* params, const std::string& name);

    virtual ~Layer();

    virtual const std::string& get_name() const = 0;
    // One shape per input. Throws std::runtime_error "Cannot get input size
    // before it is set." before the layer is built.
    virtual std::vector<Shape> input_dimensions() const = 0;
    // Throws std::runtime_error "Cannot get output size before it is set."
    // before the layer is built.
    virtual Shape output_dimensions() const = 0;
    virtual uint8_t input_bits() const = 0;
    virtual uint8_t output_bits() const = 0;
    virtual bool output_signed() const = 0;
    // 0 signed integer input, 1 unsigned integer input, 2 float input.
    virtual int input_format() const = 0;
    // 0 float output, 1 thresholded potentials, 2 quantized integers.
    virtual int output_format() const = 0;
    virtual bool is_target_component(TargetComponent target) const = 0;
    virtual bool splittable() const = 0;
    virtual bool is_depthwise() const = 0;
    // Valid as long as the layer lives.
    virtual const LayerParams* params() const = 0;
    virtual std::shared_ptr<LearningParams> learning() const = 0;
    virtual bool can_learn() const = 0;
    virtual Variables* variables() = 0;
    virtual const Variables* variables() const = 0;
    virtual bool activation_enabled() const = 0;
    virtual bool has_activation() const = 0;
    virtual bool is_activation(ActivationType type) const = 0;
    virtual bool has_pooling(PoolType type) const = 0;
    virtual std::vector<std::shared_ptr<Layer>> inbound_layers() const = 0;
    virtual std::vector<std::shared_ptr<Layer>> outbound_layers() const = 0;
    // Null while the layer is not mapped.
    virtual std::shared_ptr<Mapping> mapping() const = 0;
    // Multiply-accumulate operations of one inference; 0 before the layer
    // is built.
    virtual uint64_t macs() const = 0;
    virtual bool is_input_layer() const = 0;

  protected:
    Layer() = default;
    Layer(const Layer&) = delete;
    Layer& operator=(const Layer&) = delete;
};

// Implemented by the layer kinds that have convolution parameters.
class HasConvParams {
  public:
    virtual ~HasConvParams();
    // Throws std::runtime_error "The layer <name> is not built." before the
    // layer is built.
    virtual const ConvCalculatedParams& conv_calculated_params() const = 0;
};

// Implemented by the layer kinds that have pooling parameters.
class HasPoolParams {
  public:
    virtual ~HasPoolParams();
    // Throws std::runtime_error "The layer <name> is not built." before the
    // layer is built.
    virtual const PoolingCalculatedParams& pool_calculated_params() const = 0;
};

// Whether adding a layer refuses one whose output has a dimension of 0. A layer a caller
// builds is refused; a model read from a file keeps it, and mapping reports it.
enum class EmptyOutput { kept, refused };

// What building a layer computes from its parameters and inbound layers.
struct LayerBuildState {
    std::vector<Shape> input_dims;
    Shape output_dims;
    uint8_t input_bits = 0;
    uint8_t output_bits = 0;
    bool output_signed = false;
    int input_format = 0;
    uint64_t macs = 0;
    std::optional<ConvCalculatedParams> conv;
    std::optional<PoolingCalculatedParams> pool;
};

// The implementation shared by every layer kind.
class LayerImpl : public Layer {
  public:
    ~LayerImpl() override;

    const std::string& get_name() const override { return name_; }
    std::vector<Shape> input_dimensions() const override;
    Shape output_dimensions() const override;
    uint8_t input_bits() const override;
    uint8_t output_bits() const override;
    bool output_signed() const override;
    int input_format() const override;
    int output_format() const override;
    bool is_target_component(TargetComponent target) const override;
    bool splittable() const override;
    bool is_depthwise() const override;
    const LayerParams* params() const override { return params_.get(); }
    std::shared_ptr<LearningParams> learning() const override { return learning_; }
    bool can_learn() const override { return learning_ != nullptr; }
    Variables* variables() override { return &variables_; }
    const Variables* variables() const override { return &variables_; }
    bool activation_enabled() const override;
    bool has_activation() const override;
    bool is_activation(ActivationType type) const override;
    bool has_pooling(PoolType type) const override;
    std::vector<std::shared_ptr<Layer>> inbound_layers() const override;
    std::vector<std::shared_ptr<Layer>> outbound_layers() const override;
    std::shared_ptr<Mapping> mapping() const override { return mapping_; }
    uint64_t macs() const override;
    bool is_input_layer() const override;

    // Replaces the layer's mapping (null clears it).
    void set_mapping(std::shared_ptr<Mapping> mapping) { mapping_ = std::move(mapping); }

    // Whether the layer has been built by a model.
    bool is_built() const { return built_.has_value(); }
    // The number of inbound layers the kind takes (0 for input layers).
    size_t expected_inbound_count() const;

  protected:
    LayerImpl(const LayerParams& params, const std::string& name);

    // The calculated parameters, for the kinds that offer them.
    const ConvCalculatedParams& built_conv_params() const;
    const PoolingCalculatedParams& built_pool_params() const;

  private:
    friend class Model;

    LayerType type() const { return params_->layer_type(); }
    int param_or(const char* key, int fallback) const;
    // Computes the build state from the inbound layers and creates the
    // variables; on failure the layer is left as it was.
    void build(const std::vector<std::shared_ptr<Layer>>& inbound, EmptyOutput empty);

    std::string name_;
    std::unique_ptr<LayerParams> params_;
    std::shared_ptr<LearningParams> learning_;
    VariablesImpl variables_{VariablesImpl::Shapes::kept};
    std::vector<std::shared_ptr<Layer>> inbound_;
    std::vector<std::weak_ptr<Layer>> outbound_;
    std::shared_ptr<Mapping> mapping_;
    std::optional<LayerBuildState> built_;
    // The model the layer belongs to, null when it belongs to none.
    const Model* owner_ = nullptr;
};

// The layer kinds with convolution and pooling parameters.
class ConvolutionLikeLayer : public LayerImpl, public HasConvParams, public HasPoolParams {
  public:
    ~ConvolutionLikeLayer() override;
    const ConvCalculatedParams& conv_calculated_params() const override {
        return built_conv_params();
    }
    const PoolingCalculatedParams& pool_calculated_params() const override {
        return built_pool_params();
    }

  protected:
    using LayerImpl::LayerImpl;
};

#define VORNA_DECLARE_LAYER_KIND(Kind, Base)                      \
    class Kind final : public Base {                              \
      public:                                                     \
        Kind(const LayerParams& params, const std::string& name); \
        ~Kind() override;                                         \
    };

VORNA_DECLARE_LAYER_KIND(InputData, LayerImpl)
VORNA_DECLARE_LAYER_KIND(InputConvolutional, ConvolutionLikeLayer)
VORNA_DECLARE_LAYER_KIND(FullyConnected, LayerImpl)
VORNA_DECLARE_LAYER_KIND(Convolutional, ConvolutionLikeLayer)
VORNA_DECLARE_LAYER_KIND(SeparableConvolutional, ConvolutionLikeLayer)
VORNA_DECLARE_LAYER_KIND(Add, LayerImpl)
VORNA_DECLARE_LAYER_KIND(Concatenate, LayerImpl)
VORNA_DECLARE_LAYER_KIND(Conv2D, ConvolutionLikeLayer)
VORNA_DECLARE_LAYER_KIND(InputConv2D, ConvolutionLikeLayer)
VORNA_DECLARE_LAYER_KIND(DepthwiseConv2D, ConvolutionLikeLayer)
VORNA_DECLARE_LAYER_KIND(Conv2DTranspose, ConvolutionLikeLayer)
VORNA_DECLARE_LAYER_KIND(Dequantizer, LayerImpl)
VORNA_DECLARE_LAYER_KIND(DepthwiseConv2DTranspose, ConvolutionLikeLayer)
VORNA_DECLARE_LAYER_KIND(BufferTempConv, LayerImpl)
VORNA_DECLARE_LAYER_KIND(DepthwiseBufferTempConv, LayerImpl)
VORNA_DECLARE_LAYER_KIND(Dense1D, LayerImpl)
VORNA_DECLARE_LAYER_KIND(StatefulRecurrent, LayerImpl)
VORNA_DECLARE_LAYER_KIND(Quantizer, LayerImpl)
VORNA_DECLARE_LAYER_KIND(MotePostProcessing, LayerImpl)

#undef VORNA_DECLARE_LAYER_KIND

// Whether the named variable of the layer fits in `bits` bits (its values
// as evaluate_bitwidth counts them). An absent variable is a success unless
// `required` is set. Failures name the layer.
MappingStatus check_bitwidth(const Layer& layer, uint8_t bits, const std::string& var,
                             bool required);

}  // namespace vorna
