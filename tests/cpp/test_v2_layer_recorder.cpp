#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/v2/layer_recorder.h"
#include "program/record.h"
#include "v2_rec_test_util.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2rec_test::kV2RecVersion;
using v2rec_test::v2_device;
using v2regs_test::error_text;
using v2regs_test::make_layer;

struct Recorder {
    std::shared_ptr<Device> device = v2_device();
    HardwareConstraints constraints{};
    LayerRecorderImpl recorder{*device, constraints};

    std::unique_ptr<program::Record> record(const Layer& layer) const {
        return recorder.record_layer(layer, layer, nullptr, false, false, {}, false, false);
    }
};

class V2LayerRecEmpty : public ::testing::TestWithParam<LayerType> {};

TEST_P(V2LayerRecEmpty, RecordWithoutTracksTaggedWithTheDeviceVersion) {
    const Recorder r;
    const auto layer = make_layer(GetParam(), "l");
    const auto record = r.record(*layer);
    ASSERT_NE(record, nullptr);
    EXPECT_TRUE(record->tracks().empty());
    EXPECT_EQ(record->fnp2_filters(), nullptr);
    EXPECT_EQ(record->hw_version(), kV2RecVersion);
}

INSTANTIATE_TEST_SUITE_P(V2LayerRec, V2LayerRecEmpty,
                         ::testing::Values(LayerType::InputData, LayerType::Add,
                                           LayerType::Concatenate, LayerType::Dequantizer,
                                           LayerType::Quantizer));

class V2LayerRecUnsupported : public ::testing::TestWithParam<LayerType> {};

TEST_P(V2LayerRecUnsupported, RefusedWithTheTypeNumber) {
    const Recorder r;
    const auto layer = make_layer(GetParam(), "l");
    EXPECT_EQ(error_text([&] { r.record(*layer); }),
              "Unsupported layer type: " + std::to_string(static_cast<int>(GetParam())) + ".");
}

INSTANTIATE_TEST_SUITE_P(V2LayerRec, V2LayerRecUnsupported,
                         ::testing::Values(LayerType::StatefulRecurrent, LayerType::FullyConnected,
                                           LayerType::Convolutional,
                                           LayerType::SeparableConvolutional,
                                           LayerType::InputConvolutional,
                                           LayerType::MotePostProcessing));

// A recorded kind never yields a record silently while its recorder is
// missing; a layer without mapping or variables must fail, not succeed.
class V2LayerRecKinds : public ::testing::TestWithParam<LayerType> {};

TEST_P(V2LayerRecKinds, BareLayerFailsLoudly) {
    const Recorder r;
    const auto layer = make_layer(GetParam(), "bare", {{"fifo_size", 2}});
    EXPECT_THROW(r.record(*layer), std::exception);
}

INSTANTIATE_TEST_SUITE_P(V2LayerRec, V2LayerRecKinds,
                         ::testing::Values(LayerType::Conv2D, LayerType::InputConv2D,
                                           LayerType::DepthwiseConv2D, LayerType::Conv2DTranspose,
                                           LayerType::DepthwiseConv2DTranspose,
                                           LayerType::BufferTempConv,
                                           LayerType::DepthwiseBufferTempConv, LayerType::Dense1D));

TEST(V2LayerRecLearning, NotOnV2) {
    const Recorder r;
    const auto layer = make_layer(LayerType::Dense1D, "fc");
    EXPECT_EQ(error_text([&] { r.recorder.record_learning_layer(*layer, true); }),
              "Learning not implemented on v2.");
    EXPECT_EQ(error_text([&] { r.recorder.sync_learning_vars(layer); }),
              "Learning not implemented on v2.");
}

}  // namespace
