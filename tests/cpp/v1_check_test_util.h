#pragma once

// Helpers of the v1 checker, sizer and recorder tests: real layers built in a
// model, v1 devices and components with placements.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/hw.h"
#include "backend/layer_mapping.h"
#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "test_support.h"

namespace v1check_test {

using namespace vorna;
using Params = std::map<std::string, int>;

inline HardwareConstraints v1_limits() { return HardwareConstraints::v1(SramSize_v1); }

inline std::shared_ptr<Device> v1_device(const HwVersion& version = XVR2200_v1) {
    return vorna::test_support::bare_virtual_device(version, IpVersion::v1);
}

using vorna::test_support::make_layer;

// A model under construction; layers are appended after the last one.
class Net {
  public:
    Net() : model_(Model::create()) {}

    std::shared_ptr<Layer> input(uint32_t x, uint32_t y, uint32_t c, int bits) {
        return add(LayerType::InputData,
                   {{"input_width", int(x)},
                    {"input_height", int(y)},
                    {"input_channels", int(c)},
                    {"input_bits", bits}},
                   "input");
    }

    std::shared_ptr<Layer> add(LayerType type, const Params& entries, const std::string& name,
                               const std::vector<std::shared_ptr<Layer>>& inbound = {}) {
        auto layer = make_layer(type, entries, name);
        model_->add(layer, inbound);
        return layer;
    }

    Model& model() { return *model_; }

  private:
    std::unique_ptr<Model> model_;
};

// Parameters of a Convolutional layer that passes every v1 rule on a
// 16 x 16 x 8 input: 3 x 3 kernel, 16 filters, 2-bit weights, same padding.
inline Params conv_params(const Params& changes = {}) {
    Params p{{"filters", 16}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2}};
    for (const auto& [k, v] : changes) p[k] = v;
    return p;
}

// Parameters of an InputConvolutional layer that passes every rule: 32 x 32
// x 3 input, 3 x 3 kernel, 16 filters, 4-bit activations.
inline Params hrc_params(const Params& changes = {}) {
    Params p{{"input_width", 32}, {"input_height", 32},     {"input_channels", 3},
             {"kernel_width", 3}, {"kernel_height", 3},     {"padding", 1},
             {"stride_x", 1},     {"stride_y", 1},          {"filters", 16},
             {"weights_bits", 4}, {"padding_value", 0},     {"activation", 1},
             {"act_bits", 4},     {"pooling_width", 1},     {"pooling_height", 1},
             {"pool_type", 0},    {"pooling_stride_x", -1}, {"pooling_stride_y", -1}};
    for (const auto& [k, v] : changes) p[k] = v;
    return p;
}

using vorna::test_support::dense_var;

// Sets every element of an 8-bit signed variable.
inline void fill_i8(Layer& layer, const std::string& name, int8_t value) {
    Dense& d = dense_var(layer, name);
    int8_t* data = d.data<int8_t>();
    for (size_t i = 0; i < d.size(); ++i) data[i] = value;
}

using vorna::test_support::space;

inline hw::Component unit(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    return hw::Component(type, hw::Ident{col, row, id});
}

// A CNP component handling `filters` filters of the partition `part`, which
// reads `aux`.
inline hw::Component cnp(uint8_t col, uint32_t filters, const NpSpace& part, const NpSpace& aux) {
    hw::Placement p;
    p.filters = filters;
    p.spatial_partition = part;
    p.aux_partition = aux;
    return hw::Component(hw::Type::CNP1, hw::Ident{col, 0, 0}, p);
}

// Attaches a fresh LayerMapping holding `components` to the layer.
inline std::shared_ptr<LayerMapping> attach_mapping(Layer& layer,
                                                    const std::vector<hw::Component>& components) {
    auto mapping = std::make_shared<LayerMapping>();
    mapping->nps = std::make_shared<std::vector<hw::Component>>(components);
    dynamic_cast<LayerImpl&>(layer).set_mapping(mapping);
    return mapping;
}

}  // namespace v1check_test
