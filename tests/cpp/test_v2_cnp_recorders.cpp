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

// 64 channels on two NPs of 32: the second NP's blocks come from channels
// 32-63 of every per-channel tensor.
TEST(V2CnpRecorders, DepthwiseBlocksFollowTheChannelRange) {
    auto layer = dw_layer(LayerType::DepthwiseConv2D, 0, 32);
    layer->in_dims = {Shape{10, 4, 64}};
    auto& nps = *layer->layer_mapping->nps;
    nps.front().placement->spatial_partition.shape = Shape{10, 4, 64};
    nps.front().placement->aux_partition.shape = Shape{10, 4, 64};
    nps.push_back(nps.front());
    nps.back().ident = hw::Ident(3, 1, 1);
    nps.back().placement->start_neuron = 32;
    auto u8 = [](size_t i) { return uint8_t(i); };
    layer->vars.set("weights", filled<int8_t>(TensorType::int8, Shape{3, 3, 1, 64},
                                              [](size_t i) { return int8_t(i % 120); }));
    layer->vars.set("input_shift", filled<uint8_t>(TensorType::uint8, Shape{64}, u8));
    layer->vars.set("output_scales", filled<uint8_t>(TensorType::uint8, Shape{64}, u8));
    auto m = std::dynamic_pointer_cast<LayerMapping>(layer->layer_mapping);
    m->merge_info = std::make_unique<MergeLayerMapInfo>();
    m->merge_info->from_add = true;
    m->merge_info->main_shift =
        filled<uint8_t>(TensorType::uint8, Shape{64}, [](size_t i) { return uint8_t(i >= 32); });
    m->merge_info->skip_shift =
        filled<uint8_t>(TensorType::uint8, Shape{64}, [](size_t) { return uint8_t(0); });
    m->merge_info->out_shift =
        filled<int8_t>(TensorType::int8, Shape{64}, [](size_t) { return int8_t(0); });
    m->skipdma_load_components = {hw::Component(hw::Type::SKIP_DMA_LOAD, hw::Ident(1, 1, 0, 2))};
    m->skipdma_load_channel = std::make_unique<SkipDmaLoadChannelInfo>();

    auto record =
        record_program_dwconv2d_layer(v2_device(), *layer, nullptr, false, false, {}, false, false);
    const auto blocks = decode(*record);
    auto targets = targets_of(blocks);
    ASSERT_GT(targets.size(), 10u);
    targets.resize(10);
    ASSERT_EQ(targets, (std::vector<uint32_t>{7, 1, 2, 5, 10, 7, 1, 2, 5, 10}));
    EXPECT_EQ(blocks.back().target, 11u);
    const auto& weights = static_cast<const Dense&>(*layer->vars.get("weights"));
    EXPECT_EQ(blocks[6].payload, format_depthwise_conv_cnp_weights(weights, 32, 32, 8));
    EXPECT_EQ(blocks[2].payload.size(), 8u);
    EXPECT_EQ(blocks[2].payload[0], 0x03020100u);
    EXPECT_EQ(blocks[7].payload[0], 0x23222120u);
    EXPECT_EQ(blocks[8].payload[0], 32u);
    EXPECT_EQ(blocks[8].payload.size(), 64u);
    // Merge byte: |B - A| + 128 when B >= A, + 16 x the 3-bit output shift.
    EXPECT_EQ(blocks[4].payload, std::vector<uint32_t>(8, 0x80808080u));
    EXPECT_EQ(blocks[9].payload, std::vector<uint32_t>(8, 0x11111111u));

    // 4-bit weights go to target 0.
    layer->params_->set("weights_bits", 4);
    layer->vars.set("weights", filled<int8_t>(TensorType::int4, Shape{3, 3, 1, 64},
                                              [](size_t i) { return int8_t(i % 8); }));
    auto four =
        record_program_dwconv2d_layer(v2_device(), *layer, nullptr, false, false, {}, false, false);
    EXPECT_EQ(decode(*four).at(1).target, 0u);

    auto only =
        record_program_dwconv2d_layer(v2_device(), *layer, nullptr, false, false, {}, true, false);
    EXPECT_EQ(targets_of(decode(*only)), (std::vector<uint32_t>{7, 7}));
}

}  // namespace
}  // namespace v2
}  // namespace vorna
