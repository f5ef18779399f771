// One case each for behaviour the code settles where a literal reading would fail or lose data,
// and for the depthwise register words of a worked example, with values worked out by hand.

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hardware_backend.h"
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "backend/v1/learning.h"
#include "backend/v2/cnp_registers.h"
#include "corelib/model.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "e2e_test_util.h"
#include "python/model_ops.h"
#include "v2_e2e_fill.h"
#include "v2_regs_fake_layer.h"

namespace vorna {
namespace {

using P = std::map<std::string, int>;

std::shared_ptr<Dense> int32s(const std::vector<int32_t>& values) {
    return v2regs_test::i32(values);
}

// A DepthwiseConv2D layer has no "filters" parameter: its filter parts are cut from the input
// channels. 16 channels with at most 8 filters per NP give two NPs of 8 channels each, over
// the whole 8 x 8 plane.
TEST(RecordedMends, DepthwiseLayerWithoutFiltersSplitsByInputChannels) {
    auto model = Model::create();
    model->add(e2e::make_layer(LayerType::InputData, "input",
                               {{"input_width", 8}, {"input_height", 8}, {"input_channels", 8}}),
               {});
    auto conv = e2e::make_layer(LayerType::Conv2D, "conv",
                                {{"filters", 16}, {"kernel_size", 3}, {"activation", 1}});
    model->add(conv, {});
    auto dw =
        e2e::make_layer(LayerType::DepthwiseConv2D, "dw", {{"kernel_size", 3}, {"activation", 1}});
    model->add(dw, {});
    ASSERT_FALSE(dw->params()->has("filters"));
    v2_e2e::fill_variables(*conv, 2);
    v2_e2e::fill_variables(*dw, 3);

    auto constraints = std::make_shared<MapConstraints>(e2e::preset_device(Selvo_v2, "v2"));
    constraints->set_cnp_max_filters(8);
    auto remaining = model->layers();
    std::vector<std::shared_ptr<Sequence>> sequences;
    const MappingStatusGroup status = HardwareBackend().map(&remaining, &sequences, constraints);
    ASSERT_FALSE(status.error) << status.to_string();
    ASSERT_EQ(sequences.size(), 1u);

    const auto& nps = *dynamic_cast<const LayerMapping&>(*dw->mapping()).nps;
    ASSERT_EQ(nps.size(), 2u);
    for (uint32_t i = 0; i < 2; ++i) {
        SCOPED_TRACE(i);
        const hw::Placement& p = *nps[i].placement;
        EXPECT_EQ(p.start_neuron, 8 * i);
        EXPECT_EQ(p.filters, 8u);
        EXPECT_EQ(p.spatial_partition.x, 0);
        EXPECT_EQ(p.spatial_partition.y, 0);
        EXPECT_EQ(p.spatial_partition.shape, (Shape{8, 8, 8}));
    }
}

// A read-back that meets a variable of the wrong element type ("thswap" of 16-bit values)
// fails before it replaces anything: the weights and thresholds are the tensors they were.
TEST(RecordedMends, ReadBackOfTheWrongElementTypeLeavesEveryVariable) {
    VariablesImpl vars;
    std::shared_ptr<Dense> weights =
        Dense::create(TensorType::bit, Shape{2, 4}, Dense::Layout::ColMajor);
    vars.set("weights", weights);
    vars.set("threshold_learning", int32s({7, 7}));
    vars.set("thswap", std::shared_ptr<Dense>(
                           Dense::create(TensorType::int16, Shape{2}, Dense::Layout::ColMajor)));
    const auto before_weights = vars.get("weights");
    const auto before_threshold = vars.get("threshold_learning");
    const auto before_thswap = vars.get("thswap");

    // Two neurons of four inputs: 2 x 5 words, every bit set.
    try {
        v1::fnp_update_learn_vars_from_memory(std::vector<uint32_t>(10, 0xFFFFFFFFu), &vars, false);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Wrong requested type i for a tensor of type int16.");
    }
    EXPECT_EQ(vars.get("weights"), before_weights);
    EXPECT_EQ(vars.get("threshold_learning"), before_threshold);
    EXPECT_EQ(vars.get("thswap"), before_thswap);
}

// add_classes on a branched model: the last FullyConnected layer reads the input, not the
// layer before it in the list. The rebuilt layer reads the input too.
TEST(RecordedMends, AddClassesKeepsTheRebuiltLayersInboundLayers) {
    auto model = Model::create();
    auto input = e2e::make_layer(LayerType::InputData, "in",
                                 {{"input_width", 2}, {"input_height", 1}, {"input_channels", 3}});
    model->add(input, {});
    model->add(
        e2e::make_layer(LayerType::FullyConnected, "side", {{"units", 3}, {"weights_bits", 1}}),
        {input});
    model->add(
        e2e::make_layer(LayerType::FullyConnected, "fc", {{"units", 4}, {"weights_bits", 1}}),
        {input});
    model->compile(LearningParams::create(LearningType::Unsupervised,
                                          {{"num_classes", 2}, {"num_weights", 6}}));

    python::add_classes(*model, 1);

    ASSERT_EQ(model->layer_count(), 3u);
    const auto fc = model->get_layer(2);
    EXPECT_EQ(fc->get_name(), "fc");
    EXPECT_EQ(fc->params()->get("units"), 6);  // 4 + trunc(4 / 2) x 1
    EXPECT_EQ(fc->inbound_layers(), (std::vector<std::shared_ptr<Layer>>{input}));
    EXPECT_TRUE(model->get_layer(1)->outbound_layers().empty());
}

// The depthwise words of one CNP reading a whole 10 x 4 x 16 part with a 3 x 3 kernel.
TEST(RecordedMends, DepthwiseInputPacketWordsOfTheWorkedExample) {
    struct Case {
        uint8_t input_bits;
        uint32_t word4_low;
        uint32_t word28;
    };
    // 8-bit: a row of 10 is 10 bytes, 12 rounded to 4; 12 x 16 x 8 bits = 48 words a row of
    // all channels, x 4 rows = 192. One row of one channel: (80 + 31) / 32 = 3 words, and
    // 4 x 3 x 4 rows = 48. 4-bit: 5 bytes, 8 rounded; 8 x 16 x 8 / 32 = 32, x 4 = 128;
    // (40 + 31) / 32 = 2 words, 4 x 2 x 4 = 32.
    for (const Case& c : {Case{8, 192, 3 | 48u << 16}, Case{4, 128, 2 | 32u << 16}}) {
        SCOPED_TRACE(int(c.input_bits));
        auto layer = std::make_shared<v2regs_test::FakeConvLayer>(LayerType::DepthwiseConv2D,
                                                                  P{{"activation", 1},
                                                                    {"kernel_size", 3},
                                                                    {"kernel_stride", 1},
                                                                    {"pool_type", 0},
                                                                    {"pool_size", 0},
                                                                    {"weights_bits", 8}},
                                                                  "dw");
        layer->in_bits = c.input_bits;
        layer->in_dims = {Shape{10, 4, 16}};
        layer->out_dims = Shape{10, 4, 16};
        layer->conv = ConvCalculatedParams{1, 1, 10, 4, PaddingParams{1, 1, 1, 1}};
        hw::Placement p;
        p.filters = 16;
        p.spatial_partition = p.aux_partition = NpSpace{0, 0, Shape{10, 4, 16}};
        auto mapping = std::make_shared<LayerMapping>();
        mapping->nps = std::make_shared<std::vector<hw::Component>>(
            std::vector<hw::Component>{hw::Component(hw::Type::CNP1, hw::Ident(2, 1, 0), p)});
        mapping->inbound_components.push_back(std::make_shared<ComponentList>(
            ComponentList{hw::Component(hw::Type::CNP1, hw::Ident(1, 2, 0))}));
        mapping->outbound_components.push_back(std::make_shared<ComponentList>(
            ComponentList{hw::Component(hw::Type::CNP1, hw::Ident(4, 2, 0))}));
        layer->layer_mapping = mapping;

        const auto regs =
            v2::format_dwconv2d_registers(*layer, nullptr, false, false, {}, false, false);
        const std::vector<uint32_t>& words = regs.at(hw::Ident(2, 1, 0));
        EXPECT_EQ(words[4] & 0xFFFFu, c.word4_low);
        EXPECT_EQ(words[28], c.word28);
    }
}

}  // namespace
}  // namespace vorna
