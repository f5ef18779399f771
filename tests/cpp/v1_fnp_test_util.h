#pragma once

// Helpers of the v1 FNP tests: a v1 virtual device, a FullyConnected layer
// built in a small model and mapped on one FNP, tensor builders and a decoder
// of normal-form DMA blocks.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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

namespace v1fnp_test {

using namespace vorna;

inline const HwVersion kV1Version{0xBC, 0xA1, 1, 3};
// Configuration DMA of the test mesh: col 5, row 3, id 2.
inline const hw::Ident kCfgDma{5, 3, 2, 0};
inline const hw::Ident kFnpIdent{2, 1, 1, 0};

inline std::shared_ptr<Device> v1_device() {
    return vorna::test_support::bare_virtual_device(kV1Version, IpVersion::v1, kCfgDma);
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
    auto in_params = LayerParams::create(LayerType::InputData, {{"input_width", int(s.x)},
                                                                {"input_height", int(s.y)},
                                                                {"input_channels", int(s.c)},
                                                                {"input_bits", s.input_bits}});
    m.model->add(Layer::create(in_params.get(), "input"), {});
    auto fc_params =
        LayerParams::create(LayerType::FullyConnected, {{"units", s.units},
                                                        {"weights_bits", s.weights_bits},
                                                        {"activation", s.activation},
                                                        {"act_bits", s.act_bits}});
    m.layer = Layer::create(fc_params.get(), "fc");
    m.model->add(m.layer, {});
    if (s.learning) m.model->compile(s.learning);

    m.mapping = std::make_shared<LayerMapping>();
    hw::Placement placement;
    placement.filters = uint32_t(s.units);
    placement.single_buffer = s.single_buffer;
    m.mapping->nps =
        std::make_shared<ComponentList>(ComponentList{hw::Component(s.type, s.ident, placement)});
    m.mapping->channel = s.channel;
    m.mapping->next_channel = s.route;
    m.mapping->input_channel = s.input_channel;
    m.mapping->inbound_components.push_back(std::make_shared<ComponentList>(
        ComponentList{hw::Component(hw::Type::CNP1, hw::Ident{1, 1, 0, 0}, hw::Placement{})}));
    m.mapping->outbound_components.push_back(std::make_shared<ComponentList>(
        ComponentList{hw::Component(hw::Type::FNP3, hw::Ident{3, 2, 1, 0}, hw::Placement{})}));
    std::dynamic_pointer_cast<LayerImpl>(m.layer)->set_mapping(m.mapping);
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

inline std::shared_ptr<Dense> int32s(const std::vector<int32_t>& values) {
    return tensor<int32_t>(TensorType::int32, Shape{uint32_t(values.size())}, values);
}

// Sets element (n, j) of a 2-D weights tensor through its strides.
inline void set_weight(Dense& weights, uint32_t n, uint32_t j, int8_t value) {
    weights.data<int8_t>()[weights.offset_of({n, j})] = value;
}

using vorna::test_support::dense_var;

using vorna::test_support::Block;
using vorna::test_support::decode;
using vorna::test_support::exception_text;

}  // namespace v1fnp_test
