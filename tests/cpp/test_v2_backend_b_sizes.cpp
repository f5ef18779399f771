#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/layer_mapping.h"
#include "backend/v2/fnp_formats.h"
#include "backend/v2/memory_sizer.h"
#include "backend/v2/rules.h"
#include "v2_fnp_test_util.h"
#include "v2_regs_fake_layer.h"

// Sizes of the Dense1D, InputConv2D and TNP-B kinds as the v2 memory sizer
// and weight rules report them.

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2regs_test::make_layer;

hw::Component on(hw::Type type, uint32_t filters) {
    hw::Placement p;
    p.filters = filters;
    return hw::Component(type, hw::Ident(2, 1, 0), p);
}

std::shared_ptr<v2regs_test::FakeLayer> tnp_b(LayerType type, int fifo, uint32_t channels) {
    auto layer = make_layer(type, "tnp", {{"fifo_size", fifo}, {"weights_bits", 8}});
    layer->in_dims = {Shape{4, 4, channels}};
    return layer;
}

TEST(V2BackendBSizes, TnpBWeightWords) {
    // BufferTempConv: a row of 6 neurons takes 2 words (8 neurons, 24 a pair);
    // (fifo + 1) * channels rows.
    const auto btc = tnp_b(LayerType::BufferTempConv, 2, 3);
    EXPECT_EQ(get_weights_100b_size(*btc, 6), 18u);
    EXPECT_EQ(get_weights_100b_size(*btc, 30), 36u);  // 32 neurons -> 48: 4 words a row
    const auto dw = tnp_b(LayerType::DepthwiseBufferTempConv, 3, 5);
    EXPECT_EQ(get_weights_100b_size(*dw, 5), 20u);  // one word per tap and neuron

    const MemorySizerImpl sizer;
    EXPECT_EQ(sizer.get_weight_memory_size(btc, on(hw::Type::TNP_B, 6)), 225u);  // 1800 bits
    EXPECT_EQ(sizer.get_weight_memory_size(dw, on(hw::Type::TNP_B, 5)), 250u);
    EXPECT_EQ(sizer.get_weight_memory_size(btc, on(hw::Type::CNP1, 6)), 0u);
    EXPECT_EQ(sizer.get_weight_memory_size(dw, on(hw::Type::SKIP_DMA_STORE, 5)), 0u);
}

TEST(V2BackendBSizes, TnpBWeightsFitOneNp) {
    const HardwareConstraints c = HardwareConstraints::v2(SramSize_v2);
    ASSERT_EQ(c.weight_sram_size, 4096u);
    // 2 words a row, 3 * channels rows.
    EXPECT_TRUE(is_weights_size_fit_np(c, *tnp_b(LayerType::BufferTempConv, 2, 682), 6));
    EXPECT_FALSE(is_weights_size_fit_np(c, *tnp_b(LayerType::BufferTempConv, 2, 683), 6));
    EXPECT_TRUE(is_weights_size_fit_np(c, *tnp_b(LayerType::DepthwiseBufferTempConv, 2, 8), 1365));
    EXPECT_FALSE(is_weights_size_fit_np(c, *tnp_b(LayerType::DepthwiseBufferTempConv, 2, 8), 1366));
}

TEST(V2BackendBSizes, Dense1DMemories) {
    v2fnp_test::DenseSpec spec;
    spec.input = Shape{2, 2, 3};
    const auto dense = v2fnp_test::make_dense("dense", spec);
    const auto other = make_layer(LayerType::InputData, "input");
    const MemorySizerImpl sizer;
    // 12 inputs of 8 bits take 3 words either way (packed, no inbound layer);
    // a neuron takes 3 weight words plus 2, so 2 neurons take 10 words.
    EXPECT_EQ(get_fnp_sram_size(*dense), 10u);
    // Input: any component, flattened and packed as a first layer only when
    // the layer is the first layer.
    EXPECT_EQ(sizer.get_input_memory_size(dense, on(hw::Type::FNP3, 2), dense), 12u);
    EXPECT_EQ(sizer.get_input_memory_size(dense, on(hw::Type::SKIP_DMA_STORE, 2), other), 12u);
    // Weights live in the FNP3's SRAM, in external memory on an FNP2.
    EXPECT_EQ(sizer.get_weight_memory_size(dense, on(hw::Type::FNP3, 2)), 40u);
    EXPECT_EQ(sizer.get_weight_memory_size(dense, on(hw::Type::FNP2, 2)), 0u);
    EXPECT_EQ(sizer.get_external_memory_size(dense, on(hw::Type::FNP2, 2), false, false), 40u);
    EXPECT_EQ(sizer.get_external_memory_size(dense, on(hw::Type::FNP3, 2), false, true), 0u);
}

}  // namespace
