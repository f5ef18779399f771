// The v2 layer recorder: kinds with nothing to record and refused kinds.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "backend/hardware_constraints.h"
#include "backend/v2/layer_recorder.h"
#include "program/record.h"
#include "v2_rec_test_util.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using v2regs_test::error_text;
using v2regs_test::make_layer;

TEST(V2LayerRec, KindsWithoutRecordAndRefusedKinds) {
    const auto device = v2rec_test::v2_device();
    const HardwareConstraints constraints = HardwareConstraints::v2(SramSize_v2);
    const v2::LayerRecorderImpl recorder{*device, constraints};
    auto record = [&](LayerType type) {
        const auto layer = make_layer(type, "l", {{"fifo_size", 2}});
        return recorder.record_layer(*layer, *layer, nullptr, false, false, {}, false, false);
    };
    for (LayerType type : {LayerType::InputData, LayerType::Add, LayerType::Concatenate,
                           LayerType::Dequantizer, LayerType::Quantizer}) {
        const auto r = record(type);
        EXPECT_TRUE(r->tracks().empty());
        EXPECT_EQ(r->fnp2_filters(), nullptr);
        EXPECT_EQ(r->hw_version(), v2rec_test::kV2RecVersion);
    }
    for (LayerType type : {LayerType::StatefulRecurrent, LayerType::FullyConnected,
                           LayerType::Convolutional, LayerType::SeparableConvolutional,
                           LayerType::InputConvolutional, LayerType::MotePostProcessing}) {
        EXPECT_EQ(error_text([&] { record(type); }),
                  "Unsupported layer type: " + std::to_string(static_cast<int>(type)) + ".");
    }
    for (LayerType type :
         {LayerType::Conv2D, LayerType::InputConv2D, LayerType::DepthwiseConv2D,
          LayerType::Conv2DTranspose, LayerType::DepthwiseConv2DTranspose,
          LayerType::BufferTempConv, LayerType::DepthwiseBufferTempConv, LayerType::Dense1D}) {
        EXPECT_NE(error_text([&] { record(type); }), "") << static_cast<int>(type);
    }
    const auto fc = make_layer(LayerType::Dense1D, "fc");
    EXPECT_EQ(error_text([&] { recorder.record_learning_layer(*fc, true); }),
              "Learning not implemented on v2.");
    EXPECT_EQ(error_text([&] { recorder.sync_learning_vars(fc); }),
              "Learning not implemented on v2.");
}

}  // namespace
