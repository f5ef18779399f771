#pragma once

// Test doubles for the NP allocator and the split code: layers whose shapes,
// targets and links are set by hand, a checker whose answers are scripted,
// map constraints that record their hooks, and mesh builders.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/hw.h"
#include "backend/interfaces.h"
#include "backend/map_constraints.h"
#include "backend/mapping_status.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/types.h"
#include "corelib/variables.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "test_support.h"

namespace vorna::mapper_test {

class FakeLayer : public Layer {
  public:
    FakeLayer(std::string name, LayerType type, const std::map<std::string, int>& params,
              TargetComponent target, std::vector<Shape> inputs)
        : target(target),
          inputs(std::move(inputs)),
          name_(std::move(name)),
          params_(LayerParams::create(type, params)) {}

    const std::string& get_name() const override { return name_; }
    std::vector<Shape> input_dimensions() const override { return inputs; }
    Shape output_dimensions() const override { return output; }
    uint8_t input_bits() const override { return in_bits; }
    uint8_t output_bits() const override { return 8; }
    bool output_signed() const override { return false; }
    int input_format() const override { return 1; }
    int output_format() const override { return 2; }
    bool is_target_component(TargetComponent t) const override { return t == target; }
    bool splittable() const override { return true; }
    bool is_depthwise() const override { return depthwise; }
    const LayerParams* params() const override { return params_.get(); }
    std::shared_ptr<LearningParams> learning() const override { return nullptr; }
    bool can_learn() const override { return false; }
    Variables* variables() override { return &variables_; }
    const Variables* variables() const override { return &variables_; }
    bool activation_enabled() const override { return true; }
    bool has_activation() const override { return true; }
    bool is_activation(ActivationType t) const override { return t == ActivationType::ReLU; }
    bool has_pooling(PoolType t) const override { return t == PoolType::NoPooling; }
    std::vector<std::shared_ptr<Layer>> inbound_layers() const override { return inbound; }
    std::vector<std::shared_ptr<Layer>> outbound_layers() const override {
        std::vector<std::shared_ptr<Layer>> result;
        for (const auto& w : outbound) result.push_back(w.lock());
        return result;
    }
    std::shared_ptr<Mapping> mapping() const override { return nullptr; }
    uint64_t macs() const override { return 0; }
    bool is_input_layer() const override { return false; }

    TargetComponent target;
    std::vector<Shape> inputs;
    Shape output;
    uint8_t in_bits = 8;
    bool depthwise = false;
    std::vector<std::shared_ptr<Layer>> inbound;
    std::vector<std::weak_ptr<Layer>> outbound;

  private:
    std::string name_;
    std::unique_ptr<LayerParams> params_;
    VariablesImpl variables_;
};

// A layer that also offers pooling parameters.
class FakePooledLayer : public FakeLayer, public HasPoolParams {
  public:
    using FakeLayer::FakeLayer;
    const PoolingCalculatedParams& pool_calculated_params() const override { return pool; }
    PoolingCalculatedParams pool;
};

inline std::shared_ptr<FakeLayer> make_layer(const std::string& name, LayerType type,
                                             TargetComponent target, Shape input,
                                             const std::map<std::string, int>& params = {}) {
    return std::make_shared<FakeLayer>(name, type, params, target, std::vector<Shape>{input});
}

using test_support::link;

// A checker whose sizing answers are scripted; every rule check succeeds.
class FakeChecker : public CompatibilityChecker {
  public:
    FakeChecker(const Device& device, const HardwareConstraints& constraints)
        : CompatibilityChecker(device, constraints) {}

    MappingStatus check_layer_compatibility(const Layer&, const Layer*,
                                            const HwVersion&) const override {
        return MappingStatus::success();
    }
    MappingStatus check_layer_sequence(LayerListIterator, LayerListIterator,
                                       const HwVersion&) const override {
        return MappingStatus::success();
    }
    MappingStatus check_layer_mappings(const Layer&, const std::vector<hw::Component>&,
                                       bool) const override {
        return MappingStatus::success();
    }
    bool is_sram_input_fit_single_buffer(hw::Type, uint32_t h, uint32_t w, uint32_t ch, uint32_t,
                                         uint8_t, uint32_t) const override {
        single_calls.emplace_back(h, w, ch);
        return single_fit(h, w, ch);
    }
    bool is_sram_input_fit_dual_buffer(hw::Type, uint32_t h, uint32_t w, uint32_t ch, uint32_t fifo,
                                       uint8_t bits, uint32_t reserved) const override {
        dual_calls.emplace_back(h, w, ch);
        last_fifo = fifo;
        last_bits = bits;
        last_reserved = reserved;
        return dual_fit(h, w, ch);
    }
    bool is_weights_size_fit_np(const Layer&, uint32_t filters) const override {
        weight_calls.push_back(filters);
        return weights_fit(filters);
    }
    NpSplitParams np_split_params(hw::Type, const LayerParams&) const override {
        ++split_param_calls;
        return split_params;
    }
    bool check_fnp3_sram_size(const HardwareConstraints&, const Layer&) const override {
        return fnp3_fits;
    }

    std::function<bool(uint32_t, uint32_t, uint32_t)> dual_fit = [](uint32_t, uint32_t, uint32_t) {
        return true;
    };
    std::function<bool(uint32_t, uint32_t, uint32_t)> single_fit = [](uint32_t, uint32_t,
                                                                      uint32_t) { return false; };
    std::function<bool(uint32_t)> weights_fit = [](uint32_t) { return true; };
    NpSplitParams split_params;
    bool fnp3_fits = true;

    mutable std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> dual_calls;
    mutable std::vector<std::tuple<uint32_t, uint32_t, uint32_t>> single_calls;
    mutable std::vector<uint32_t> weight_calls;
    mutable int split_param_calls = 0;
    mutable uint32_t last_fifo = 0;
    mutable uint32_t last_bits = 0;
    mutable uint32_t last_reserved = 0;
};

// Map constraints that record the layers announced and can replace the NP
// selection.
class RecordingConstraints : public MapConstraints {
  public:
    using MapConstraints::MapConstraints;
    void next_layer_handler(const std::string& name) const override { announced.push_back(name); }
    std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& candidates, size_t n,
                                      hw::Type type) const override {
        if (selector) return selector(candidates, n, type);
        return MapConstraints::select_nps(candidates, n, type);
    }
    mutable std::vector<std::string> announced;
    std::function<std::vector<hw::Ident>(const std::vector<hw::Ident>&, size_t, hw::Type)> selector;
};

constexpr HwVersion kV2Version{0xBC, 0xA2, 1, 0};

inline np::Info np_info(uint8_t col, uint8_t row, uint8_t id, std::set<hw::Type> types) {
    return np::Info(hw::Ident(col, row, id), std::move(types), true);
}

inline np::Info skip_dma(uint8_t col, uint8_t channels) {
    return np::Info(hw::Ident(col, 1, 3, channels),
                    {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD}, false);
}

// `count` NPs that can be CNP1, CNP2 and TNP_B, on nodes of four ids.
using test_support::plain_nps;

// A v2 device, its checker and map constraints around one mesh.
struct Rig {
    explicit Rig(std::vector<np::Info> nps, std::vector<np::Info> skip_dmas = {})
        : device(std::make_shared<VirtualDevice>(
              kV2Version, Mesh(IpVersion::v2, hw::Ident(1, 1, 0), hw::Ident(1, 1, 1), std::nullopt,
                               std::move(nps), std::move(skip_dmas)))),
          checker(*device, hw_constraints),
          constraints(device) {}

    std::shared_ptr<VirtualDevice> device;
    HardwareConstraints hw_constraints;
    FakeChecker checker;
    RecordingConstraints constraints;
};

}  // namespace vorna::mapper_test
