#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/layer_mapping.h"
#include "backend/v2/buffer_temp_conv.h"
#include "backend/v2/cnp_recorders.h"
#include "backend/v2/dense1d_program.h"
#include "backend/v2/dw_buffer_temp_conv.h"
#include "backend/v2/input_conv2d_program.h"
#include "backend/v2/layer_recorder.h"
#include "program/record.h"
#include "v2_cnp_test_util.h"
#include "v2_fnp_test_util.h"
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
    HardwareConstraints constraints = HardwareConstraints::v2(SramSize_v2);
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

// --- Dispatch to the recorder of each kind ------------------------------------

using RecordPtr = std::unique_ptr<program::Record>;

bool same_record(const program::Record& a, const program::Record& b) {
    if (a.tracks().size() != b.tracks().size()) return false;
    for (size_t i = 0; i < a.tracks().size(); ++i) {
        if (a.tracks()[i].data() != b.tracks()[i].data()) return false;
    }
    if ((a.fnp2_filters() == nullptr) != (b.fnp2_filters() == nullptr)) return false;
    if (a.fnp2_filters() != nullptr && (a.fnp2_filters()->np != b.fnp2_filters()->np ||
                                        a.fnp2_filters()->data != b.fnp2_filters()->data)) {
        return false;
    }
    return a.hw_version() == b.hw_version();
}

// The recorder of one CNP or TNP-B kind, called directly.
using KindRecorder = RecordPtr (*)(const Device&, const Layer&, std::shared_ptr<Layer>, bool, bool,
                                   const std::vector<hw::Ident>&, bool, bool);

// For the register-only record of `layer`, the dispatch gives what the kind's
// recorder gives for every pass-input and last flag, and the last flag
// reaches the register file.
void expect_forwarded(const Recorder& r, const Layer& layer, KindRecorder direct) {
    for (bool pass_input : {false, true}) {
        for (bool last : {false, true}) {
            SCOPED_TRACE(::testing::Message() << "pass_input " << pass_input << " last " << last);
            const RecordPtr via =
                r.recorder.record_layer(layer, layer, nullptr, pass_input, false, {}, true, last);
            const RecordPtr own =
                direct(*r.device, layer, nullptr, pass_input, false, {}, true, last);
            ASSERT_FALSE(via->tracks().empty());
            EXPECT_TRUE(same_record(*via, *own));
        }
    }
    const RecordPtr last =
        r.recorder.record_layer(layer, layer, nullptr, false, false, {}, true, true);
    const RecordPtr not_last =
        r.recorder.record_layer(layer, layer, nullptr, false, false, {}, true, false);
    EXPECT_FALSE(same_record(*last, *not_last));
}

TEST(V2LayerRecDispatch, CnpKinds) {
    using namespace vorna::v2::cnp_test;
    const Recorder r;
    for (LayerType type : {LayerType::Conv2D, LayerType::Conv2DTranspose}) {
        const auto layer = conv_layer(type);
        layer->vars.set("weights",
                        std::shared_ptr<Dense>(Dense::create(TensorType::int8, Shape{3, 3, 3, 17},
                                                             Dense::Layout::RowMajor)));
        expect_forwarded(r, *layer,
                         type == LayerType::Conv2D ? &record_program_conv2d_layer
                                                   : &record_program_transposed_conv2d_layer);
    }
    expect_forwarded(r, *dw_layer(LayerType::DepthwiseConv2D, 0, 16),
                     &record_program_dwconv2d_layer);
    expect_forwarded(r, *dw_layer(LayerType::DepthwiseConv2DTranspose, 0, 16),
                     &record_program_transposed_dwconv2d_layer);
}

std::shared_ptr<v2regs_test::FakeLayer> tnp_b_layer(LayerType type) {
    auto layer =
        make_layer(type, "tnp", {{"activation", 1}, {"fifo_size", 2}, {"weights_bits", 8}});
    layer->in_dims = {Shape{4, 4, 6}};
    hw::Placement p;
    p.filters = 6;
    p.spatial_partition = NpSpace{0, 0, Shape{4, 4, 6}};
    p.aux_partition = p.spatial_partition;
    auto m = std::make_shared<LayerMapping>();
    m->nps = std::make_shared<std::vector<hw::Component>>(
        1, hw::Component(hw::Type::TNP_B, hw::Ident(4, 1, 1), p));
    m->inbound_components.push_back(
        std::make_shared<ComponentList>(1, hw::Component(hw::Type::CNP1, hw::Ident(1, 1, 0))));
    m->outbound_components.push_back(
        std::make_shared<ComponentList>(1, hw::Component(hw::Type::CNP1, hw::Ident(3, 1, 0))));
    m->channel = 5;
    m->next_channel = 2;
    layer->layer_mapping = m;
    return layer;
}

TEST(V2LayerRecDispatch, TnpBKinds) {
    const Recorder r;
    expect_forwarded(r, *tnp_b_layer(LayerType::BufferTempConv),
                     &record_program_buffer_temp_conv_layer);
    expect_forwarded(r, *tnp_b_layer(LayerType::DepthwiseBufferTempConv),
                     &record_program_depthwise_buffer_temp_conv_layer);
}

TEST(V2LayerRecDispatch, Dense1DReceivesTheConstraintsAndTheSequenceFirstLayer) {
    const Recorder r;
    v2fnp_test::DenseSpec spec;
    spec.input = Shape{2, 2, 3};
    const auto layer = v2fnp_test::make_dense("dense", spec);
    auto m = std::make_shared<LayerMapping>();
    hw::Placement p;
    p.filters = 2;
    m->nps = std::make_shared<std::vector<hw::Component>>(
        1, hw::Component(hw::Type::FNP3, hw::Ident(3, 1, 0), p));
    m->channel = 5;
    m->next_channel = 4;
    m->output_to_dma = true;
    m->inbound_components.push_back(
        std::make_shared<ComponentList>(1, hw::Component(hw::Type::CNP2, hw::Ident(2, 1, 0))));
    m->outbound_components.push_back(
        std::make_shared<ComponentList>(1, hw::Component(hw::Type::DMA, hw::Ident(6, 2, 1))));
    layer->layer_mapping = m;
    const auto other = make_layer(LayerType::InputData, "input");
    for (const Layer* first :
         {static_cast<const Layer*>(layer.get()), static_cast<const Layer*>(other.get())}) {
        const RecordPtr via =
            r.recorder.record_layer(*layer, *first, nullptr, true, false, {}, false, true);
        const RecordPtr own = record_program_dense1d_layer(*r.device, r.constraints, *layer, *first,
                                                           nullptr, true, false, {}, false);
        ASSERT_FALSE(via->tracks().empty());
        EXPECT_TRUE(same_record(*via, *own));
    }
    // As the sequence's first layer its input is flattened and packed
    // differently: the sequence-first layer reaches the recorder.
    EXPECT_FALSE(same_record(
        *r.recorder.record_layer(*layer, *layer, nullptr, false, false, {}, false, false),
        *r.recorder.record_layer(*layer, *other, nullptr, false, false, {}, false, false)));
}

TEST(V2LayerRecDispatch, InputConv2DReachesTheHrcRecorder) {
    const Recorder r;
    const auto layer = make_layer(LayerType::InputConv2D, "in");
    const std::string direct =
        error_text([&] { record_program_input_conv2d_layer(*r.device, *layer); });
    EXPECT_FALSE(direct.empty());
    EXPECT_EQ(error_text([&] { r.record(*layer); }), direct);
}

}  // namespace
