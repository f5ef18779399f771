// Program records of the v2 CNP kinds: what the register-only, skipped-NP
// and 4-bit records hold, the per-channel slices of a split depthwise layer
// and the refusals. Whole records are pinned by test_e2e_v2.cpp.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend/layer_mapping.h"
#include "backend/v2/cnp_recorders.h"
#include "backend/v2/cnp_weights.h"
#include "corelib/dma.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "devices/virtual_device.h"
#include "program/record.h"
#include "v2_cnp_test_util.h"

namespace vorna {
namespace v2 {
namespace {

using namespace cnp_test;

using test_support::decode;

std::vector<uint32_t> targets_of(const std::vector<test_support::Block>& blocks) {
    std::vector<uint32_t> t;
    for (const auto& b : blocks) t.push_back(b.target);
    return t;
}

const Device& v2_device() {
    static const auto device = make_virtual_device(
        HwVersion{0xBC, 0xA2, 1, 0},
        Mesh(IpVersion::v2, hw::Ident(1, 1, 0), hw::Ident(1, 1, 1), std::nullopt, {}, {}));
    return *device;
}

template <class T>
std::shared_ptr<Dense> filled(TensorType type, Shape dims, const std::function<T(size_t)>& f) {
    std::shared_ptr<Dense> t = Dense::create(type, dims, Dense::Layout::ColMajor);
    T* d = t->data<T>();
    for (size_t i = 0; i < t->size(); ++i) d[i] = f(i);
    return t;
}

// Two NPs of 17 filters each over a 10 x 5 x 3 input, with the variables a
// recorder reads.
std::shared_ptr<FakeCnpLayer> recorded_conv(LayerType type) {
    auto layer = conv_layer(type);
    auto& nps = *layer->layer_mapping->nps;
    nps.front().placement->filters = 17;
    nps.push_back(nps.front());
    nps.back().ident = hw::Ident(3, 1, 1);
    nps.back().placement->start_neuron = 17;
    auto u8 = [](size_t i) { return uint8_t(i); };
    layer->vars.set("weights", filled<int8_t>(TensorType::int8, Shape{3, 3, 3, 34},
                                              [](size_t i) { return int8_t(i % 100); }));
    layer->vars.set("input_shift", filled<uint8_t>(TensorType::uint8, Shape{3}, u8));
    layer->vars.set(
        "bias", filled<int8_t>(TensorType::int8, Shape{34}, [](size_t i) { return int8_t(i); }));
    layer->vars.set("output_scales", filled<uint8_t>(TensorType::uint8, Shape{34}, u8));
    return layer;
}

TEST(V2CnpRecorders, RegistersOnlySkippedIdentsAndTargets) {
    auto layer = recorded_conv(LayerType::Conv2D);
    auto only =
        record_program_conv2d_layer(v2_device(), *layer, nullptr, false, false, {}, true, false);
    EXPECT_EQ(targets_of(decode(*only)), (std::vector<uint32_t>{7, 7}));

    auto skipped = record_program_conv2d_layer(v2_device(), *layer, nullptr, false, false,
                                               {hw::Ident(2, 1, 0)}, false, false);
    const auto blocks = decode(*skipped);
    EXPECT_EQ(targets_of(blocks), (std::vector<uint32_t>{7, 1, 2, 5}));
    EXPECT_EQ(blocks[0].np, hw::Ident(3, 1, 1));

    layer->params_->set("weights_bits", 4);
    layer->vars.set("weights", filled<int8_t>(TensorType::int4, Shape{3, 3, 3, 34},
                                              [](size_t i) { return int8_t(i % 8); }));
    auto four =
        record_program_conv2d_layer(v2_device(), *layer, nullptr, false, false, {}, false, false);
    EXPECT_EQ(targets_of(decode(*four)), (std::vector<uint32_t>{7, 0, 2, 5, 7, 0, 2, 5}));
}

TEST(V2CnpRecorders, TransposedConv2dAndTypeCheck) {
    auto t = recorded_conv(LayerType::Conv2DTranspose);
    t->built = false;
    auto record = record_program_transposed_conv2d_layer(v2_device(), *t, nullptr, false, false, {},
                                                         false, false);
    EXPECT_EQ(targets_of(decode(*record)), (std::vector<uint32_t>{7, 1, 2, 5, 7, 1, 2, 5}));

    EXPECT_EQ(exception_text([&] {
                  record_program_conv2d_layer(v2_device(), *t, nullptr, false, false, {}, false,
                                              false);
              }),
              "Invalid layer type for CNP recording.");
    auto conv = recorded_conv(LayerType::Conv2D);
    EXPECT_EQ(exception_text([&] {
                  record_program_dwconv2d_layer(v2_device(), *conv, nullptr, false, false, {},
                                                false, false);
              }),
              "Invalid layer type for CNP recording.");
    conv->vars = VariablesImpl();
    EXPECT_EQ(exception_text([&] {
                  record_program_conv2d_layer(v2_device(), *conv, nullptr, false, false, {}, false,
                                              false);
              }),
              "Layer 'c': the variable 'input_shift' is missing.");
}

}  // namespace
}  // namespace v2
}  // namespace vorna
