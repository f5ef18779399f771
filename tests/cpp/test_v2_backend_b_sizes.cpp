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

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2regs_test::make_layer;

std::shared_ptr<v2regs_test::FakeLayer> tnp_b(LayerType type, int fifo, uint32_t channels) {
    auto layer = make_layer(type, "tnp", {{"fifo_size", fifo}, {"weights_bits", 8}});
    layer->in_dims = {Shape{4, 4, channels}};
    return layer;
}

TEST(V2BackendBSizes, TnpBWeightsFitOneNp) {
    const HardwareConstraints c = HardwareConstraints::v2(SramSize_v2);
    ASSERT_EQ(c.weight_sram_size, 4096u);
    EXPECT_TRUE(is_weights_size_fit_np(c, *tnp_b(LayerType::BufferTempConv, 2, 682), 6));
    EXPECT_FALSE(is_weights_size_fit_np(c, *tnp_b(LayerType::BufferTempConv, 2, 683), 6));
    EXPECT_TRUE(is_weights_size_fit_np(c, *tnp_b(LayerType::DepthwiseBufferTempConv, 2, 8), 1365));
    EXPECT_FALSE(is_weights_size_fit_np(c, *tnp_b(LayerType::DepthwiseBufferTempConv, 2, 8), 1366));
}

}  // namespace
