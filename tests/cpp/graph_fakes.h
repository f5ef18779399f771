#pragma once

// A hand-built layer graph for the back end's graph tests: layers whose kind,
// target component, neighbours, shapes and variables are set directly,
// without a model.

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/layer_mapping.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "test_support.h"

namespace vorna::graph_test {

class FakeLayer : public Layer {
  public:
    FakeLayer(std::string name, LayerType type, TargetComponent target,
              const std::map<std::string, int>& params)
        : name_(std::move(name)), params_(LayerParams::create(type, params)), target_(target) {}

    const std::string& get_name() const override { return name_; }
    std::vector<Shape> input_dimensions() const override { return input_dims; }
    Shape output_dimensions() const override { return output_dims; }
    uint8_t input_bits() const override { return in_bits; }
    uint8_t output_bits() const override { return 8; }
    bool output_signed() const override { return false; }
    int input_format() const override { return 1; }
    int output_format() const override { return 2; }
    bool is_target_component(TargetComponent target) const override { return target == target_; }
    bool splittable() const override { return false; }
    bool is_depthwise() const override { return false; }
    const LayerParams* params() const override { return params_.get(); }
    std::shared_ptr<LearningParams> learning() const override { return nullptr; }
    bool can_learn() const override { return false; }
    Variables* variables() override { return &variables_; }
    const Variables* variables() const override { return &variables_; }
    bool activation_enabled() const override { return false; }
    bool has_activation() const override { return false; }
    bool is_activation(ActivationType) const override { return false; }
    bool has_pooling(PoolType) const override { return false; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() const override { return inbound; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() const override {
        std::vector<std::shared_ptr<Layer>> out;
        for (const auto& w : outbound) out.push_back(w.lock());
        return out;
    }
    std::shared_ptr<Mapping> mapping() const override { return mapping_; }
    uint64_t macs() const override { return 0; }
    bool is_input_layer() const override { return inbound.empty(); }

    void set_mapping(std::shared_ptr<Mapping> m) { mapping_ = std::move(m); }

    std::vector<Shape> input_dims;
    Shape output_dims;
    uint8_t in_bits = 8;
    // Inbound links strong, outbound weak, as the core library holds them.
    std::vector<std::shared_ptr<Layer>> inbound;
    std::vector<std::weak_ptr<Layer>> outbound;

  private:
    std::string name_;
    std::unique_ptr<LayerParams> params_;
    TargetComponent target_;
    VariablesImpl variables_;
    std::shared_ptr<Mapping> mapping_;
};

using FakePtr = std::shared_ptr<FakeLayer>;

// A layer of a given kind with the target component the core library gives it.
inline FakePtr make_layer(const std::string& name, LayerType type,
                          const std::map<std::string, int>& params = {}) {
    TargetComponent target = TargetComponent::None;
    switch (type) {
        case LayerType::InputConv2D:
        case LayerType::InputConvolutional:
            target = TargetComponent::HRC;
            break;
        case LayerType::Conv2D:
        case LayerType::DepthwiseConv2D:
        case LayerType::Conv2DTranspose:
        case LayerType::DepthwiseConv2DTranspose:
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional:
            target = TargetComponent::CNP;
            break;
        case LayerType::Dense1D:
        case LayerType::FullyConnected:
            target = TargetComponent::FNP;
            break;
        case LayerType::Add:
        case LayerType::Concatenate:
            target = TargetComponent::SkipDMA;
            break;
        case LayerType::BufferTempConv:
        case LayerType::DepthwiseBufferTempConv:
            target = TargetComponent::TNP_B;
            break;
        case LayerType::StatefulRecurrent:
        case LayerType::MotePostProcessing:
            target = TargetComponent::TNP_R;
            break;
        default:
            break;
    }
    return std::make_shared<FakeLayer>(name, type, target, params);
}

inline FakePtr conv(const std::string& name) { return make_layer(name, LayerType::Conv2D); }
inline FakePtr add(const std::string& name) { return make_layer(name, LayerType::Add); }

// Appends `to` to `from`'s outbound layers and `from` to `to`'s inbound layers.
using test_support::link;

inline std::vector<std::shared_ptr<Layer>> list(std::initializer_list<FakePtr> layers) {
    return std::vector<std::shared_ptr<Layer>>(layers.begin(), layers.end());
}

// Attaches an empty mapping with the given channel and `np_count` NP
// components, and returns it.
inline LayerMapping& attach_mapping(const FakePtr& layer, uint8_t channel, size_t np_count = 1) {
    auto m = std::make_shared<LayerMapping>();
    m->channel = channel;
    m->next_channel = 255;
    m->nps = std::make_shared<std::vector<hw::Component>>(
        np_count, hw::Component(hw::Type::CNP1, hw::Ident(1, 1, 0, 0)));
    layer->set_mapping(m);
    return *m;
}

inline LayerMapping& mapping(const FakePtr& layer) {
    return *std::dynamic_pointer_cast<LayerMapping>(layer->mapping());
}

}  // namespace vorna::graph_test
