// Helpers of the v1 CNP and HRC tests: small built models, tensors filled
// by coordinates, CNP components and a reader of the DMA blocks of a record.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "backend/layer_mapping.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "program/record.h"
#include "test_support.h"

namespace vorna::v1_test {

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

class V1Device : public test_support::MeshDevice {
  public:
    explicit V1Device(HwVersion version = HwVersion{0xBC, 0xA1, 1, 0})
        : MeshDevice(version, IpVersion::v1, "v1 test device") {}
};

// A built model: an InputData layer of the given size and bit width, then
// one layer of `type` with `params`.
struct Net {
    std::unique_ptr<Model> model;
    std::shared_ptr<Layer> input;
    std::shared_ptr<Layer> layer;
};

inline Net make_net(LayerType type, const std::map<std::string, int>& params, uint32_t width,
                    uint32_t height, uint32_t channels, int input_bits = 4) {
    Net net;
    net.model = Model::create();
    auto in_params =
        LayerParams::create(LayerType::InputData, {{"input_width", static_cast<int>(width)},
                                                   {"input_height", static_cast<int>(height)},
                                                   {"input_channels", static_cast<int>(channels)},
                                                   {"input_bits", input_bits}});
    net.input = Layer::create(in_params.get(), "input");
    net.model->add(net.input, {});
    auto p = LayerParams::create(type, params);
    net.layer = Layer::create(p.get(), "cnp");
    net.model->add(net.layer, {});
    return net;
}

// Appends one more layer to the net's model and returns it.
inline std::shared_ptr<Layer> add_layer(Net& net, LayerType type,
                                        const std::map<std::string, int>& params,
                                        const std::string& name) {
    auto p = LayerParams::create(type, params);
    auto layer = Layer::create(p.get(), name);
    net.model->add(layer, {});
    return layer;
}

using test_support::space;

inline hw::Component cnp(const hw::Ident& ident, uint32_t start, uint32_t filters,
                         const NpSpace& part, const NpSpace& aux, bool single_buffer = false) {
    return hw::Component(hw::Type::CNP1, ident,
                         hw::Placement{start, filters, part, aux, single_buffer});
}

// Gives the layer a mapping on `components`, fed by and feeding the DMA
// endpoint at col 0.
inline std::shared_ptr<LayerMapping> map_layer(Layer& layer,
                                               const std::vector<hw::Component>& components,
                                               uint8_t channel = 5, uint8_t route = 7) {
    auto m = std::make_shared<LayerMapping>();
    m->nps = std::make_shared<std::vector<hw::Component>>(components);
    m->channel = channel;
    m->next_channel = route;
    const hw::Component dma(hw::Type::DMA, hw::Ident{0, 1, 0, 0});
    m->inbound_components.push_back(std::make_shared<ComponentList>(ComponentList{dma}));
    m->outbound_components.push_back(std::make_shared<ComponentList>(ComponentList{dma}));
    dynamic_cast<LayerImpl&>(layer).set_mapping(m);
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

inline std::shared_ptr<Dense> int32_values(const std::vector<int32_t>& values) {
    auto t =
        tensor(TensorType::int32, {static_cast<uint32_t>(values.size())}, Dense::Layout::RowMajor);
    for (size_t i = 0; i < values.size(); ++i) t->data<int32_t>()[i] = values[i];
    return t;
}

inline std::shared_ptr<Dense> float_values(const std::vector<float>& values) {
    auto t = tensor(TensorType::float32, {static_cast<uint32_t>(values.size())},
                    Dense::Layout::RowMajor);
    for (size_t i = 0; i < values.size(); ++i) t->data<float>()[i] = values[i];
    return t;
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
    for (auto& b : vorna::test_support::decode(record)) {
        out.push_back({b.np, b.target, b.offset, std::move(b.payload)});
    }
    return out;
}

}  // namespace vorna::v1_test
