#pragma once

// Mote test helpers: recurrent chains in a real model, tensors and mappings.

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/layer_mapping.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "devices/hw_version.h"
#include "test_support.h"

namespace vorna::mote_test {

class MoteDevice : public test_support::MeshDevice {
  public:
    MoteDevice() : MeshDevice(Mote_Selvo, IpVersion::mote, "mote test device") {}
};

inline std::shared_ptr<Layer> make_layer(LayerType type, const std::string& name,
                                         const std::map<std::string, int>& params = {}) {
    const auto p = LayerParams::create(type, params);
    return Layer::create(p.get(), name);
}

template <class T>
std::shared_ptr<Dense> vec(TensorType type, const std::vector<T>& values) {
    auto d =
        Dense::create(type, Shape{static_cast<uint32_t>(values.size())}, Dense::Layout::RowMajor);
    for (size_t i = 0; i < values.size(); ++i) d->template data<T>()[i] = values[i];
    return std::shared_ptr<Dense>(std::move(d));
}

inline std::shared_ptr<Dense> matrix(uint32_t rows, uint32_t cols,
                                     const std::function<int8_t(uint32_t, uint32_t)>& f,
                                     Dense::Layout layout = Dense::Layout::RowMajor) {
    auto d = Dense::create(TensorType::int8, Shape{rows, cols}, layout);
    for (uint32_t r = 0; r < rows; ++r) {
        for (uint32_t c = 0; c < cols; ++c) d->data<int8_t>()[d->offset_of({r, c})] = f(r, c);
    }
    return std::shared_ptr<Dense>(std::move(d));
}

template <class T>
void set_var(const std::shared_ptr<Layer>& layer, const std::string& name, TensorType type,
             const std::vector<T>& values) {
    test_support::set_any_shape(layer->variables(), name, vec<T>(type, values));
}

struct Recurrent {
    int states = 64;
    int outputs = 32;
    int subsample = 1;
    int activation = 0;
    int output_bits = 8;
};

inline Recurrent rec(int states, int outputs) {
    Recurrent r;
    r.states = states;
    r.outputs = outputs;
    return r;
}

struct Chain {
    std::unique_ptr<Model> model = Model::create();
    std::shared_ptr<Layer> input;
    std::vector<std::shared_ptr<Layer>> recurrent;
    std::shared_ptr<Layer> tail;

    Chain(uint32_t channels, uint32_t timesteps, int bits, const std::vector<Recurrent>& layers,
          LayerType closing = LayerType::Unknown,
          const std::map<std::string, int>& closing_params = {}) {
        input = make_layer(LayerType::InputData, "input",
                           {{"input_width", 1},
                            {"input_height", static_cast<int>(timesteps)},
                            {"input_channels", static_cast<int>(channels)},
                            {"input_bits", bits}});
        model->add(input, {});
        for (size_t i = 0; i < layers.size(); ++i) {
            const Recurrent& r = layers[i];
            auto layer = make_layer(LayerType::StatefulRecurrent, "sr" + std::to_string(i + 1),
                                    {{"stateful_channels", r.states},
                                     {"output_channels", r.outputs},
                                     {"subsample", r.subsample},
                                     {"activation", r.activation},
                                     {"output_bits", r.output_bits}});
            model->add(layer, {});
            recurrent.push_back(layer);
        }
        if (closing != LayerType::Unknown) {
            const char* name = closing == LayerType::MotePostProcessing ? "post" : "tail";
            tail = make_layer(closing, name, closing_params);
            model->add(tail, {});
        }
    }

    const Layer& first() const { return *recurrent.front(); }
};

inline void map_on_tnpr(const std::shared_ptr<Layer>& layer, const hw::Ident& ident) {
    auto m = std::make_shared<LayerMapping>();
    m->nps = std::make_shared<std::vector<hw::Component>>(1, hw::Component(hw::Type::TNP_R, ident));
    std::dynamic_pointer_cast<LayerImpl>(layer)->set_mapping(m);
}

using vorna::test_support::runtime_error_text;

}  // namespace vorna::mote_test
