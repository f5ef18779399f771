#pragma once

// A settable layer for the v2 rule, register and sizer tests.

#include <cstdint>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "test_support.h"

namespace v2regs_test {

using namespace vorna;

using vorna::test_support::target_of;

class FakeLayer : public Layer {
  public:
    FakeLayer(LayerType type, const std::map<std::string, int>& params, std::string name_)
        : name(std::move(name_)),
          layer_params(LayerParams::create(type, params)),
          target(target_of(type)),
          depthwise(type == LayerType::DepthwiseConv2D ||
                    type == LayerType::DepthwiseConv2DTranspose ||
                    type == LayerType::DepthwiseBufferTempConv) {}

    std::string name;
    std::unique_ptr<LayerParams> layer_params;
    TargetComponent target;
    bool depthwise;
    std::vector<Shape> in_dims{Shape{8, 8, 8}};
    Shape out_dims{8, 8, 8};
    uint8_t in_bits = 8;
    uint8_t out_bits = 8;
    VariablesImpl vars;
    std::vector<std::shared_ptr<Layer>> inbound;
    std::vector<std::weak_ptr<Layer>> outbound;
    std::shared_ptr<Mapping> layer_mapping;

    void set_param(const std::string& key, int value) { layer_params->set(key, value); }

    const std::string& get_name() const override { return name; }
    std::vector<Shape> input_dimensions() const override { return in_dims; }
    Shape output_dimensions() const override { return out_dims; }
    uint8_t input_bits() const override { return in_bits; }
    uint8_t output_bits() const override { return out_bits; }
    bool output_signed() const override { return !activation_enabled(); }
    int input_format() const override { return 1; }
    int output_format() const override { return 2; }
    bool is_target_component(TargetComponent t) const override { return t == target; }
    bool splittable() const override {
        return target == TargetComponent::CNP || target == TargetComponent::TNP_B;
    }
    bool is_depthwise() const override { return depthwise; }
    const LayerParams* params() const override { return layer_params.get(); }
    std::shared_ptr<LearningParams> learning() const override { return nullptr; }
    bool can_learn() const override { return false; }
    Variables* variables() override { return &vars; }
    const Variables* variables() const override { return &vars; }
    bool activation_enabled() const override { return layer_params->get_or("activation", 0) != 0; }
    bool has_activation() const override { return activation_enabled(); }
    bool is_activation(ActivationType t) const override {
        return layer_params->get_or("activation", 0) == static_cast<int>(t);
    }
    bool has_pooling(PoolType p) const override {
        return layer_params->get_or("pool_type", 0) == static_cast<int>(p);
    }
    std::vector<std::shared_ptr<Layer>> inbound_layers() const override { return inbound; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() const override {
        std::vector<std::shared_ptr<Layer>> out;
        for (const auto& w : outbound) out.push_back(w.lock());
        return out;
    }
    std::shared_ptr<Mapping> mapping() const override { return layer_mapping; }
    uint64_t macs() const override { return 0; }
    bool is_input_layer() const override { return false; }
};

class FakeConvLayer : public FakeLayer, public HasConvParams, public HasPoolParams {
  public:
    using FakeLayer::FakeLayer;
    ConvCalculatedParams conv;
    PoolingCalculatedParams pool;
    const ConvCalculatedParams& conv_calculated_params() const override { return conv; }
    const PoolingCalculatedParams& pool_calculated_params() const override { return pool; }
};

inline bool has_conv_params(LayerType type) {
    return target_of(type) == TargetComponent::CNP || target_of(type) == TargetComponent::HRC;
}

inline std::shared_ptr<FakeLayer> make_layer(LayerType type, const std::string& name,
                                             const std::map<std::string, int>& params = {}) {
    if (has_conv_params(type)) return std::make_shared<FakeConvLayer>(type, params, name);
    return std::make_shared<FakeLayer>(type, params, name);
}

using vorna::test_support::link;

template <class T>
std::shared_ptr<Dense> dense(TensorType type, const std::vector<T>& values) {
    const Shape shape{static_cast<uint32_t>(values.size())};
    return std::shared_ptr<Dense>(Dense::copy(reinterpret_cast<const char*>(values.data()),
                                              values.size() * sizeof(T), type, shape,
                                              Dense::Layout::RowMajor));
}

inline std::shared_ptr<Dense> u8(const std::vector<uint8_t>& v) {
    return dense(TensorType::uint8, v);
}
inline std::shared_ptr<Dense> i8(const std::vector<int8_t>& v) {
    return dense(TensorType::int8, v);
}
inline std::shared_ptr<Dense> i32(const std::vector<int32_t>& v) {
    return dense(TensorType::int32, v);
}
inline std::shared_ptr<Dense> f32(const std::vector<float>& v) {
    return dense(TensorType::float32, v);
}

template <class F>
std::string error_text(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "";
}

inline std::string overflow_text(unsigned long long value, unsigned width) {
    return "Attempted to write value " + std::to_string(value) + " into a " +
           std::to_string(width) + "-bit field, which will cause an overflow.";
}

}  // namespace v2regs_test
