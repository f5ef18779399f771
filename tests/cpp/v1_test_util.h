// Helpers of the v1 back-end tests: models built layer by layer, v1 devices,
// CNP and FNP components with their mappings, tensors filled by hand and the
// DMA blocks of a record.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/hw.h"
#include "backend/layer_mapping.h"
#include "corelib/dma.h"
#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "program/record.h"
#include "test_support.h"

namespace vorna::v1_test {

using Params = std::map<std::string, int>;
using test_support::decode;
using test_support::dense_var;
using test_support::exception_text;
using test_support::make_layer;
using test_support::space;

// "name=value name=value ..." as parameter entries, over `base`.
inline Params P(const std::string& spec, Params base = {}) {
    std::istringstream in(spec);
    std::string item;
    while (in >> item) {
        const size_t eq = item.find('=');
        base[item.substr(0, eq)] = std::stoi(item.substr(eq + 1));
    }
    return base;
}

// Text of the std::runtime_error (a panic among them) thrown by `f`; "" when
// nothing is thrown.
inline std::string error_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

inline HardwareConstraints v1_limits() { return HardwareConstraints::v1(SramSize_v1); }

inline std::shared_ptr<Device> v1_device(const HwVersion& version = XVR2200_v1) {
    return test_support::bare_virtual_device(version, IpVersion::v1);
}

class V1Device : public test_support::MeshDevice {
  public:
    explicit V1Device(HwVersion version = HwVersion{0xBC, 0xA1, 1, 0})
        : MeshDevice(version, IpVersion::v1, "v1 test device") {}
};

// A model under construction; layers are appended after the last one.
class Chain {
  public:
    Chain() : model_(Model::create()) {}
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

// A built model: an InputData layer of the given size and bit width, then
// one layer of `type` with `params`.
struct Net {
    std::unique_ptr<Model> model;
    std::shared_ptr<Layer> input;
    std::shared_ptr<Layer> layer;
};

inline Net make_net(LayerType type, const Params& params, uint32_t width, uint32_t height,
                    uint32_t channels, int input_bits = 4) {
    Net net;
    net.model = Model::create();
    net.input = make_layer(LayerType::InputData,
                           {{"input_width", int(width)},
                            {"input_height", int(height)},
                            {"input_channels", int(channels)},
                            {"input_bits", input_bits}},
                           "input");
    net.model->add(net.input, {});
    net.layer = make_layer(type, params, "cnp");
    net.model->add(net.layer, {});
    return net;
}

// Appends one more layer to the net's model and returns it.
inline std::shared_ptr<Layer> add_layer(Net& net, LayerType type, const Params& params,
                                        const std::string& name) {
    auto layer = make_layer(type, params, name);
    net.model->add(layer, {});
    return layer;
}

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
    Params p =
        P("input_width=32 input_height=32 input_channels=3 kernel_width=3 kernel_height=3 "
          "padding=1 stride_x=1 stride_y=1 filters=16 weights_bits=4 padding_value=0 "
          "activation=1 act_bits=4 pooling_width=1 pooling_height=1 pool_type=0 "
          "pooling_stride_x=-1 pooling_stride_y=-1");
    for (const auto& [k, v] : changes) p[k] = v;
    return p;
}

// Sets every element of an 8-bit signed variable.
inline void fill_i8(Layer& layer, const std::string& name, int8_t value) {
    Dense& d = dense_var(layer, name);
    int8_t* data = d.data<int8_t>();
    for (size_t i = 0; i < d.size(); ++i) data[i] = value;
}

inline hw::Component unit(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    return hw::Component(type, hw::Ident{col, row, id});
}

// A CNP component at column `col` handling `filters` filters of the
// partition `part`, which reads `aux`.
inline hw::Component cnp(uint8_t col, uint32_t filters, const NpSpace& part, const NpSpace& aux) {
    return hw::Component(hw::Type::CNP1, hw::Ident{col, 0, 0},
                         hw::Placement{0, filters, part, aux, false});
}

inline hw::Component cnp(const hw::Ident& ident, uint32_t start, uint32_t filters,
                         const NpSpace& part, const NpSpace& aux, bool single_buffer = false) {
    return hw::Component(hw::Type::CNP1, ident,
                         hw::Placement{start, filters, part, aux, single_buffer});
}

// Attaches a fresh LayerMapping holding `components` to the layer.
inline std::shared_ptr<LayerMapping> attach_mapping(Layer& layer,
                                                    const std::vector<hw::Component>& components) {
    auto mapping = std::make_shared<LayerMapping>();
    mapping->nps = std::make_shared<std::vector<hw::Component>>(components);
    dynamic_cast<LayerImpl&>(layer).set_mapping(mapping);
    return mapping;
}

// Gives the layer a mapping on `components`, fed by and feeding the DMA
// endpoint at col 0.
inline std::shared_ptr<LayerMapping> map_layer(Layer& layer,
                                               const std::vector<hw::Component>& components,
                                               uint8_t channel = 5, uint8_t route = 7) {
    auto m = attach_mapping(layer, components);
    m->channel = channel;
    m->next_channel = route;
    const hw::Component dma(hw::Type::DMA, hw::Ident{0, 1, 0, 0});
    m->inbound_components.push_back(std::make_shared<ComponentList>(ComponentList{dma}));
    m->outbound_components.push_back(std::make_shared<ComponentList>(ComponentList{dma}));
    return m;
}

// A zero-filled tensor; `set` writes elements by logical coordinates.
inline std::shared_ptr<Dense> tensor(TensorType type, std::initializer_list<uint32_t> dims,
                                     Dense::Layout layout = Dense::Layout::ColMajor) {
    return std::shared_ptr<Dense>(Dense::create(type, Shape(dims), layout));
}

template <class T>
void set(Dense& t, std::initializer_list<uint32_t> coords, T value) {
    t.data<T>()[t.offset_of(coords)] = value;
}

// A dense tensor of the given type and shape (RowMajor unless told), with
// `values` stored in storage order.
template <class T>
std::shared_ptr<Dense> tensor(TensorType type, Shape shape, const std::vector<T>& values,
                              Dense::Layout layout = Dense::Layout::RowMajor) {
    std::shared_ptr<Dense> t = Dense::create(type, shape, layout);
    T* data = t->data<T>();
    for (size_t i = 0; i < values.size(); ++i) data[i] = values[i];
    return t;
}

inline std::shared_ptr<Dense> int32_values(const std::vector<int32_t>& values) {
    return tensor<int32_t>(TensorType::int32, Shape{uint32_t(values.size())}, values);
}

inline std::shared_ptr<Dense> int32s(const std::vector<int32_t>& values) {
    return int32_values(values);
}

inline std::shared_ptr<Dense> float_values(const std::vector<float>& values) {
    return tensor<float>(TensorType::float32, Shape{uint32_t(values.size())}, values);
}

// Sets element (n, j) of a 2-D weights tensor through its strides.
inline void set_weight(Dense& weights, uint32_t n, uint32_t j, int8_t value) {
    weights.data<int8_t>()[weights.offset_of({n, j})] = value;
}

// One DMA block of a record, as its header describes it.
struct Block {
    hw::Ident np;
    uint32_t target = 0;
    uint32_t offset = 0;
    std::vector<uint32_t> payload;
};

// The blocks of every track of the record, in order.
inline std::vector<Block> blocks_of(const program::Record& record) {
    std::vector<Block> out;
    for (auto& b : decode(record)) out.push_back({b.np, b.target, b.offset, std::move(b.payload)});
    return out;
}

// --- FullyConnected layers on one FNP ------------------------------------

inline const HwVersion kV1Version{0xBC, 0xA1, 1, 3};
// Configuration DMA of the test mesh: col 5, row 3, id 2.
inline const hw::Ident kCfgDma{5, 3, 2, 0};
inline const hw::Ident kFnpIdent{2, 1, 1, 0};

inline std::shared_ptr<Device> fnp_device() {
    return test_support::bare_virtual_device(kV1Version, IpVersion::v1, kCfgDma);
}

struct FcSpec {
    uint32_t x = 4, y = 4, c = 3;
    int input_bits = 1;
    int units = 10;
    int weights_bits = 2;
    int activation = 1;
    int act_bits = 2;
    hw::Type type = hw::Type::FNP3;
    hw::Ident ident = kFnpIdent;
    bool single_buffer = true;
    uint8_t channel = 0x21;
    uint8_t route = 0xFF;
    uint8_t input_channel = 0x05;
    std::shared_ptr<LearningParams> learning;
};

// A model "input" -> "fc" whose FullyConnected layer is mapped on one FNP,
// fed by a CNP at col 1 and feeding an FNP at col 3.
struct FcModel {
    std::unique_ptr<Model> model;
    std::shared_ptr<Layer> layer;
    std::shared_ptr<LayerMapping> mapping;
};

inline FcModel make_fc(const FcSpec& s) {
    FcModel m;
    m.model = Model::create();
    m.model->add(make_layer(LayerType::InputData,
                            {{"input_width", int(s.x)},
                             {"input_height", int(s.y)},
                             {"input_channels", int(s.c)},
                             {"input_bits", s.input_bits}},
                            "input"),
                 {});
    m.layer = make_layer(LayerType::FullyConnected,
                         {{"units", s.units},
                          {"weights_bits", s.weights_bits},
                          {"activation", s.activation},
                          {"act_bits", s.act_bits}},
                         "fc");
    m.model->add(m.layer, {});
    if (s.learning) m.model->compile(s.learning);
    m.mapping = attach_mapping(
        *m.layer, {hw::Component(s.type, s.ident,
                                 hw::Placement{0, uint32_t(s.units), {}, {}, s.single_buffer})});
    m.mapping->channel = s.channel;
    m.mapping->next_channel = s.route;
    m.mapping->input_channel = s.input_channel;
    m.mapping->inbound_components.push_back(std::make_shared<ComponentList>(
        ComponentList{hw::Component(hw::Type::CNP1, hw::Ident{1, 1, 0, 0}, hw::Placement{})}));
    m.mapping->outbound_components.push_back(std::make_shared<ComponentList>(
        ComponentList{hw::Component(hw::Type::FNP3, hw::Ident{3, 2, 1, 0}, hw::Placement{})}));
    return m;
}

inline std::shared_ptr<LearningParams> learning_params(double num_weights, double num_classes) {
    return LearningParams::create(LearningType::Unsupervised, {{"num_weights", num_weights},
                                                               {"initial_plasticity", 0.5},
                                                               {"learning_competition", 0.25},
                                                               {"min_plasticity", 0.1},
                                                               {"plasticity_decay", 0.25},
                                                               {"num_classes", num_classes}});
}

}  // namespace vorna::v1_test

namespace v1check_test = vorna::v1_test;
namespace v1fnp_test = vorna::v1_test;
