#pragma once

// A v2 CNP layer whose every query is a field, and component builders.

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "backend/layer_mapping.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/variables.h"
#include "test_support.h"

namespace vorna {
namespace v2 {
namespace cnp_test {

using vorna::test_support::exception_text;

inline std::string overflow(const std::string& value, int width) {
    return "Attempted to write value " + value + " into a " + std::to_string(width) +
           "-bit field, which will cause an overflow.";
}

inline uint32_t bits(uint32_t word, int lo, int width) {
    return (word >> lo) & uint32_t((uint64_t(1) << width) - 1);
}

inline hw::Component cnp(uint8_t col, uint8_t row, uint8_t id, hw::Type type = hw::Type::CNP2) {
    return hw::Component(type, hw::Ident(col, row, id));
}

inline NpSpace space(int32_t x, int32_t y, uint32_t w, uint32_t h) {
    return NpSpace{x, y, Shape{w, h, 4}};
}

class FakeCnpLayer : public Layer, public HasConvParams, public HasPoolParams {
  public:
    FakeCnpLayer(LayerType type, const std::map<std::string, int>& params)
        : params_(LayerParams::create(type, params)) {}

    std::string name = "c";
    std::unique_ptr<LayerParams> params_;
    std::vector<Shape> in_dims{Shape{10, 5, 3}};
    uint8_t in_bits = 8;
    uint8_t out_bits = 8;
    bool built = true;
    ConvCalculatedParams conv;
    PoolingCalculatedParams pool;
    VariablesImpl vars;
    std::vector<std::shared_ptr<Layer>> inbound;
    std::shared_ptr<Mapping> layer_mapping;

    const std::string& get_name() const override { return name; }
    std::vector<Shape> input_dimensions() const override {
        if (in_dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
        return in_dims;
    }
    Shape output_dimensions() const override { return in_dims.front(); }
    uint8_t input_bits() const override { return in_bits; }
    uint8_t output_bits() const override { return out_bits; }
    bool output_signed() const override { return !activation_enabled(); }
    int input_format() const override { return 1; }
    int output_format() const override { return 2; }
    bool is_target_component(TargetComponent t) const override { return t == TargetComponent::CNP; }
    bool splittable() const override { return true; }
    bool is_depthwise() const override { return false; }
    const LayerParams* params() const override { return params_.get(); }
    std::shared_ptr<LearningParams> learning() const override { return nullptr; }
    bool can_learn() const override { return false; }
    Variables* variables() override { return &vars; }
    const Variables* variables() const override { return &vars; }
    bool activation_enabled() const override { return params_->get_or("activation", 0) != 0; }
    bool has_activation() const override { return activation_enabled(); }
    bool is_activation(ActivationType t) const override {
        return params_->get_or("activation", 0) == int(t);
    }
    bool has_pooling(PoolType p) const override {
        return params_->get_or("pool_type", 0) == int(p);
    }
    std::vector<std::shared_ptr<Layer>> inbound_layers() const override { return inbound; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() const override { return {}; }
    std::shared_ptr<Mapping> mapping() const override { return layer_mapping; }
    uint64_t macs() const override { return 0; }
    bool is_input_layer() const override { return false; }
    const ConvCalculatedParams& conv_calculated_params() const override {
        if (!built) throw std::runtime_error("The layer " + name + " is not built.");
        return conv;
    }
    const PoolingCalculatedParams& pool_calculated_params() const override {
        if (!built) throw std::runtime_error("The layer " + name + " is not built.");
        return pool;
    }
};

inline hw::Component placed(uint8_t col, uint8_t id, uint32_t start, uint32_t filters,
                            NpSpace spatial, NpSpace aux) {
    hw::Placement p;
    p.start_neuron = start;
    p.filters = filters;
    p.spatial_partition = spatial;
    p.aux_partition = aux;
    return hw::Component(hw::Type::CNP2, hw::Ident(col, 1, id), p);
}

inline std::shared_ptr<LayerMapping> mapping_with(std::vector<hw::Component> components) {
    auto m = std::make_shared<LayerMapping>();
    m->nps = std::make_shared<std::vector<hw::Component>>(std::move(components));
    m->channel = 3;
    m->next_channel = 5;
    m->inbound_components.push_back(std::make_shared<ComponentList>(ComponentList{cnp(1, 2, 0)}));
    m->outbound_components.push_back(std::make_shared<ComponentList>(ComponentList{cnp(4, 2, 0)}));
    return m;
}

inline std::shared_ptr<FakeCnpLayer> conv_layer(LayerType type = LayerType::Conv2D) {
    auto layer =
        std::make_shared<FakeCnpLayer>(type, std::map<std::string, int>{{"activation", 1},
                                                                        {"kernel_size", 3},
                                                                        {"kernel_stride", 1},
                                                                        {"pool_type", 0},
                                                                        {"pool_size", 0},
                                                                        {"weights_bits", 8}});
    layer->conv = ConvCalculatedParams{1, 1, 10, 5, PaddingParams{1, 1, 1, 1}};
    layer->pool.stride_x = 7;  // replaced by the no-pooling record
    const NpSpace whole = space(0, 0, 10, 5);
    NpSpace s = whole;
    s.shape = Shape{10, 5, 3};
    layer->layer_mapping = mapping_with({placed(2, 0, 0, 17, s, s)});
    return layer;
}

inline std::shared_ptr<FakeCnpLayer> dw_layer(LayerType type, uint32_t start, uint32_t filters) {
    auto layer = conv_layer(type);
    layer->params_->set("kernel_size", 3);
    layer->in_dims = {Shape{10, 4, 16}};
    NpSpace s = space(0, 0, 10, 4);
    s.shape = Shape{10, 4, 16};
    layer->layer_mapping = mapping_with({placed(2, 0, start, filters, s, s)});
    return layer;
}

}  // namespace cnp_test
}  // namespace v2
}  // namespace vorna
