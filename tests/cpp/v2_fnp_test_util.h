#pragma once

// Dense1D layers and tensors for the v2 FNP tests.

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "corelib/tensor.h"
#include "v2_regs_fake_layer.h"

namespace v2fnp_test {

using namespace vorna;
using v2regs_test::FakeLayer;

template <class F>
std::shared_ptr<Dense> weights_tensor(uint32_t inputs, uint32_t neurons, F f,
                                      Dense::Layout layout = Dense::Layout::ColMajor,
                                      TensorType type = TensorType::int8) {
    std::shared_ptr<Dense> t(Dense::create(type, Shape{inputs, neurons}, layout));
    int8_t* data = t->data<int8_t>();
    const auto& strides = t->strides();
    for (uint32_t k = 0; k < inputs; ++k) {
        for (uint32_t n = 0; n < neurons; ++n) {
            data[k * strides[0] + n * strides[1]] = static_cast<int8_t>(f(k, n));
        }
    }
    return t;
}

inline std::shared_ptr<Dense> u8_fill(uint32_t count, uint8_t value) {
    return v2regs_test::u8(std::vector<uint8_t>(count, value));
}

inline std::shared_ptr<Dense> u8_ramp(uint32_t count) {
    std::vector<uint8_t> v(count);
    for (uint32_t k = 0; k < count; ++k) v[k] = static_cast<uint8_t>(k + 1);
    return v2regs_test::u8(v);
}

struct DenseSpec {
    Shape input{1, 1, 3};
    uint8_t in_bits = 8;
    uint8_t out_bits = 8;
    int weights_bits = 8;
    int activation = 1;
    uint32_t neurons = 2;
    bool max_values = true;
};

inline std::shared_ptr<FakeLayer> make_dense(const std::string& name, const DenseSpec& s = {}) {
    auto layer = std::make_shared<FakeLayer>(
        LayerType::Dense1D,
        std::map<std::string, int>{{"activation", s.activation},
                                   {"weights_bits", s.weights_bits},
                                   {"output_bits", s.out_bits},
                                   {"units", static_cast<int>(s.neurons)}},
        name);
    layer->in_dims = {s.input};
    layer->out_dims = Shape{1, 1, s.neurons};
    layer->in_bits = s.in_bits;
    layer->out_bits = s.out_bits;
    const uint32_t inputs = s.input[0] * s.input[1] * s.input[2];
    layer->vars.set("weights", weights_tensor(inputs, s.neurons, [](uint32_t k, uint32_t n) {
                        return static_cast<int>((k + 1 + 16 * n) & 0x7F);
                    }));
    layer->vars.set("input_shift", u8_ramp(inputs));
    std::vector<int8_t> bias(s.neurons), out_shift(s.neurons);
    std::vector<uint8_t> bias_shift(s.neurons), scales(s.neurons), maxv(s.neurons), maxs(s.neurons);
    for (uint32_t n = 0; n < s.neurons; ++n) {
        bias[n] = static_cast<int8_t>(-1 - static_cast<int>(n));
        bias_shift[n] = static_cast<uint8_t>(2 + n);
        scales[n] = static_cast<uint8_t>(1 + n);
        out_shift[n] = static_cast<int8_t>(-2 + static_cast<int>(n));
        maxv[n] = static_cast<uint8_t>(127 - n);
        maxs[n] = static_cast<uint8_t>(31 - n);
    }
    layer->vars.set("bias", v2regs_test::i8(bias));
    layer->vars.set("bias_shift", v2regs_test::u8(bias_shift));
    layer->vars.set("output_scales", v2regs_test::u8(scales));
    layer->vars.set("output_shift", v2regs_test::i8(out_shift));
    if (s.max_values) {
        layer->vars.set("max_value", v2regs_test::u8(maxv));
        layer->vars.set("max_value_shift", v2regs_test::u8(maxs));
    }
    return layer;
}

}  // namespace v2fnp_test
