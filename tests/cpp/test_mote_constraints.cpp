// Mote TNP-R chain constraints and the mote back end's dispatch by layer kind.

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend/backend_bundle.h"
#include "backend/hardware_constraints.h"
#include "backend/mote/compatibility_checker.h"
#include "backend/mote/io_recorder.h"
#include "backend/mote/layer_recorder.h"
#include "backend/mote/memory_sizer.h"
#include "backend/mote/tnp_r_constraints.h"
#include "backend/mote/tnp_r_program.h"
#include "graph_fakes.h"
#include "mote_test_util.h"
#include "program/record.h"

namespace vorna::mote {
namespace {

using mote_test::Chain;
using mote_test::rec;
using mote_test::Recurrent;
using mote_test::runtime_error_text;
using mote_test::set_var;

const HardwareConstraints kPreset = HardwareConstraints::mote(SramSize{0, 0, 448, 8192, 892, 256});

MappingStatus check(const Chain& c, const HardwareConstraints& limits = kPreset) {
    return check_tnp_r_constraints(limits, c.first());
}

void expect_failure(const MappingStatus& status, const std::string& message,
                    const std::string& layer) {
    EXPECT_TRUE(status.error);
    EXPECT_EQ(status.message, message);
    EXPECT_EQ(status.layer_name, layer);
}

void expect_success(const MappingStatus& status) {
    EXPECT_FALSE(status.error) << status.message;
    EXPECT_EQ(status.message, "Success.");
}

TEST(MoteConstraints, AtMostEightTnprLayers) {
    const auto chain = [](size_t recurrent, bool post) {
        std::vector<Recurrent> layers(recurrent, rec(16, 16));
        if (post) layers.back().outputs = 1;
        return Chain(16, 10, 8, layers, post ? LayerType::MotePostProcessing : LayerType::Unknown);
    };
    expect_success(check(chain(8, false)));
    expect_success(check(chain(7, true)));
    for (bool post : {false, true}) {
        const Chain c = chain(post ? 8 : 9, post);
        expect_failure(check(c), "A model cannot have more that 8 StatefulRecurrent layers.", "");
    }
}

void give_state_vars(const std::shared_ptr<Layer>& layer, uint32_t inputs, uint32_t outputs) {
    test_support::set_any_shape(
        layer->variables(), "in_proj",
        mote_test::matrix(1, inputs, [](uint32_t, uint32_t) { return int8_t(0); }));
    test_support::set_any_shape(
        layer->variables(), "out_proj",
        mote_test::matrix(outputs, 1, [](uint32_t, uint32_t) { return int8_t(0); }));
    set_var<int16_t>(layer, "A_real", TensorType::int16, {0});
    set_var<int16_t>(layer, "A_imag", TensorType::int16, {0});
    set_var<int8_t>(layer, "internal_state_outputs_shift", TensorType::int8, {0});
    set_var<uint8_t>(layer, "new_state_scale", TensorType::uint8, {0});
    set_var<int8_t>(layer, "new_state_shift", TensorType::int8, {0});
}

TEST(MoteConstraints, StateChannels) {
    const std::string limit = "State channels exceeds max limit of 256 for TNP-R.";
    const auto power = [](int c) {
        return "State channels must be a power of 2. (got " + std::to_string(c) + ").";
    };
    const auto same = [](int c) {
        return "State channels must be the same for all stateful layers. Expected 64(got " +
               std::to_string(c) + ").";
    };
    struct Case {
        int states;
        std::string message;
    };
    for (const Case& c :
         {Case{512, limit + " " + same(512)}, Case{300, limit + " " + power(300) + " " + same(300)},
          Case{48, power(48) + " " + same(48)}, Case{0, power(0) + " " + same(0)},
          Case{32, same(32)}}) {
        SCOPED_TRACE(c.states);
        Chain chain(32, 10, 8, {rec(64, 32), rec(c.states, 8)});
        if (c.states == 0) give_state_vars(chain.recurrent[1], 32, 8);
        expect_failure(check(chain), c.message, "sr2");
    }
}

TEST(MoteConstraints, InputBits) {
    Recurrent wide = rec(64, 32);
    wide.output_bits = 16;  // not the last layer: its outputs are not checked
    expect_failure(check(Chain(16, 10, 8, {wide, rec(64, 32)})),
                   "For intermediate StatefulRecurrent layer, input must be 8-bit. got( 16).",
                   "sr2");
    expect_failure(check(Chain(64, 10, 4, {rec(64, 32)})),
                   "For the first StatefulRecurrent layer, input must be 8-bit or 16-bit. got( 4).",
                   "sr1");
}

TEST(MoteConstraints, PackedInputRow) {
    const std::string row =
        "The packed input row (channels x input bits) must occupy a power-of-2 number of 32-bit "
        "words (got ";
    struct Case {
        uint32_t channels;
        int bits;
        std::string message;
    };
    for (const Case& c :
         {Case{24, 8, row + "6 words for 24 channels at 8-bit)."},
          Case{200, 16,
               row + "100 words for 200 channels at 16-bit). The maximum input channels for "
                     "16-bit input is 128 (got 200)."},
          Case{512, 8, "The maximum input channels for 8-bit input is 256 (got 512)."},
          Case{260, 16,
               row + "130 words for 260 channels at 16-bit). The maximum input row size "
                     "(input_channels * input_bits, padded to a power-of-2 number of 32-bit "
                     "words) is 512 bytes (got 1024). The maximum input channels for 16-bit "
                     "input is 128 (got 260). EVSRAM size exceeds max limit of 256 32-bit words "
                     "for TNP-R (got 386)."}}) {
        SCOPED_TRACE(c.channels);
        expect_failure(check(Chain(c.channels, 10, c.bits, {rec(64, 32)})), c.message, "sr1");
    }
}

TEST(MoteConstraints, PackedInputRowOfLayerWithoutInbound) {
    auto layer = graph_test::make_layer("alone", LayerType::StatefulRecurrent);
    layer->input_dims = {Shape{1, 10, 24}};
    expect_failure(check_packed_input_row(*layer),
                   "The packed input row (channels x input bits) must occupy a power-of-2 number "
                   "of 32-bit words (got 6 words for 24 channels at 8-bit).",
                   "alone");
}

// The channel limits themselves are allowed: 256 channels at 8-bit and 128 at
// 16-bit are rows of 64 words, within the 128-word row.
TEST(MoteConstraints, PackedInputRowAtTheChannelLimits) {
    for (const auto& [channels, bits] : {std::pair<uint32_t, uint8_t>{256, 8}, {128, 16}}) {
        auto layer = graph_test::make_layer("first", LayerType::StatefulRecurrent);
        layer->input_dims = {Shape{1, 10, channels}};
        layer->in_bits = bits;
        EXPECT_EQ(check_packed_input_row(*layer).to_string(), "Success.") << channels;
    }
}

TEST(MoteConstraints, ReluMaxValues) {
    Recurrent relu = rec(64, 3);
    relu.activation = 1;
    expect_success(check(Chain(32, 10, 8, {relu})));

    const std::string value =
        "When activation is ReLU, all max_value elements must be 127 (got 126 at index 1).";
    const std::string shift =
        "When activation is ReLU, all max_value_shift elements must be 31 (got 30 at index 2).";
    Chain c(32, 10, 8, {relu});
    set_var<uint8_t>(c.recurrent[0], "max_value", TensorType::uint8, {127, 126, 0});
    expect_failure(check(c), value, "sr1");
    set_var<uint8_t>(c.recurrent[0], "max_value_shift", TensorType::uint8, {31, 31, 30});
    expect_failure(check(c), value + " " + shift, "sr1");

    Chain plain(32, 10, 8, {rec(64, 3)});
    set_var<uint8_t>(plain.recurrent[0], "max_value", TensorType::uint8, {0});
    expect_success(check(plain));

    set_var<int8_t>(c.recurrent[0], "max_value", TensorType::int8, {127});
    EXPECT_EQ(runtime_error_text([&] { check(c); }).rfind("Wrong requested type", 0), 0u);
}

TEST(MoteConstraints, OutputChannelsSubsampleAndLastOutputBits) {
    struct Case {
        int outputs, subsample, output_bits;
        std::string message;  // empty: success
    };
    const std::string bits =
        "For the last StatefulRecurrent layer, outputs must be 8-bit, 28-bit or 32-bit. (got ";
    for (const Case& c :
         {Case{256, 4, 8, ""},
          Case{257, 1, 8, "Output channels exceeds max limit of 256 for TNP-R."},
          Case{32, 5, 8, "Subsample ratio exceeds max limit of 4 for TNP-R. (got 5)."},
          Case{32, -1, 8, "Subsample ratio exceeds max limit of 4 for TNP-R. (got -1)."},
          Case{32, 1, 16, bits + "16)."}, Case{32, 1, 4, bits + "4)."}, Case{32, 1, 28, ""},
          Case{32, 1, 32, ""}}) {
        SCOPED_TRACE(c.outputs * 1000 + c.subsample * 100 + c.output_bits);
        Recurrent r = rec(64, c.outputs);
        r.subsample = c.subsample;
        r.output_bits = c.output_bits;
        const MappingStatus status = check(Chain(32, 10, 8, {r}));
        if (c.message.empty()) {
            expect_success(status);
        } else {
            expect_failure(status, c.message, "sr1");
        }
    }
}

TEST(MoteConstraints, VariableBitWidths) {
    Chain c(32, 10, 8, {rec(64, 32)});
    set_var<int8_t>(c.recurrent[0], "internal_state_outputs_shift", TensorType::int8, {16});
    expect_failure(check(c),
                   "The variable internal_state_outputs_shift needs 6 bits, but at most 5 are "
                   "supported.",
                   "sr1");
    Chain d(32, 10, 8, {rec(64, 32)});
    set_var<int8_t>(d.recurrent[0], "new_state_shift", TensorType::int8, {-33});
    expect_failure(
        check(d), "The variable new_state_shift needs 7 bits, but at most 6 are supported.", "sr1");
    // A scale held wider than its 8-bit field is refused by value.
    Chain e(32, 10, 8, {rec(64, 32)});
    set_var<uint16_t>(e.recurrent[0], "new_state_scale", TensorType::uint16, {256});
    expect_failure(
        check(e), "The variable new_state_scale needs 9 bits, but at most 8 are supported.", "sr1");
}

TEST(MoteConstraints, PostProcessingLayer) {
    struct Case {
        uint32_t timesteps;
        int outputs;
        std::string message;  // empty: success
    };
    for (const Case& c :
         {Case{2, 1, "Timesteps dimension must be at least 3 (got 2)."}, Case{3, 1, ""},
          Case{128, 1, ""}, Case{129, 1, "Timesteps dimension must be at most 128 (got 129)."},
          Case{10, 2, "MotePostProcessing layer input must have a single channel (got 2)."},
          Case{0, 2,
               "MotePostProcessing layer input must have a single channel (got 2). Timesteps "
               "dimension must be at least 3 (got 1)."}}) {
        SCOPED_TRACE(c.timesteps);
        const MappingStatus status =
            check(Chain(32, c.timesteps, 8, {rec(64, c.outputs)}, LayerType::MotePostProcessing));
        if (c.message.empty()) {
            expect_success(status);
        } else {
            expect_failure(status, c.message, "post");
        }
    }
}

TEST(MoteConstraints, OutputScaleAndShiftOfTheFeedingLayer) {
    Chain c(32, 10, 8, {rec(64, 1)}, LayerType::MotePostProcessing);
    set_var<uint8_t>(c.recurrent[0], "output_scales", TensorType::uint8, {2});
    set_var<int8_t>(c.recurrent[0], "output_shift", TensorType::int8, {-3});
    const std::string both =
        "Output scales must be 1 for the last StatefulRecurrent layer before a "
        "MotePostProcessing layer (got 2). Output shift must be 0 for the last "
        "StatefulRecurrent layer before a MotePostProcessing layer (got -3).";
    expect_failure(check_post_processing_layer(*c.tail), both, "sr1");
    expect_failure(check(c), both, "sr1");
}

TEST(MoteConstraints, ClosingLayers) {
    Chain deq(32, 10, 8, {rec(64, 8)}, LayerType::Dequantizer);
    expect_success(check_post_processing_layer(*deq.tail));

    Chain dense(32, 10, 8, {rec(64, 1)}, LayerType::Dense1D, {{"units", 4}});
    expect_failure(check(dense),
                   "Only a Dequantizer or a MotePostProcessing is allowed a the end of a serie of "
                   "StatefulRecurrent layers.",
                   "tail");

    deq.model->add(mote_test::make_layer(LayerType::Quantizer, "after"), {});
    expect_failure(check(deq), "Dequantizer/MotePostProcessing must be the last layer.", "tail");
}

TEST(MoteConstraints, FeedingLayerIsTheSecondInboundWhenTheFirstIsNotOnTnpr) {
    const auto post = graph_test::make_layer("post", LayerType::MotePostProcessing);
    post->input_dims = {Shape{1, 10, 1}};
    const auto quantizer = graph_test::make_layer("quantizer", LayerType::Quantizer);
    const auto feeding = graph_test::make_layer("feeding", LayerType::StatefulRecurrent);
    const auto other = graph_test::make_layer("other", LayerType::StatefulRecurrent);
    for (const auto& in : {quantizer, feeding, other}) graph_test::link(in, post);
    set_var<uint8_t>(feeding, "output_scales", TensorType::uint8, {4, 1});
    set_var<int8_t>(feeding, "output_shift", TensorType::int8, {0, 5});
    set_var<uint8_t>(other, "output_scales", TensorType::uint8, {9});
    set_var<int8_t>(other, "output_shift", TensorType::int8, {9});
    expect_failure(check_post_processing_layer(*post),
                   "Output scales must be 1 for the last StatefulRecurrent layer before a "
                   "MotePostProcessing layer (got 4).",
                   "feeding");

    post->inbound = {quantizer, feeding};
    expect_failure(check_post_processing_layer(*post),
                   "Output scales must be 1 for the last StatefulRecurrent layer before a "
                   "MotePostProcessing layer (got 4).",
                   "feeding");
    post->inbound = {feeding, other};
    expect_failure(check_post_processing_layer(*post),
                   "Output scales must be 1 for the last StatefulRecurrent layer before a "
                   "MotePostProcessing layer (got 4).",
                   "feeding");
    post->inbound = {other, feeding};
    expect_failure(check_post_processing_layer(*post),
                   "Output scales must be 1 for the last StatefulRecurrent layer before a "
                   "MotePostProcessing layer (got 9). Output shift must be 0 for the last "
                   "StatefulRecurrent layer before a MotePostProcessing layer (got 9).",
                   "other");
}

TEST(MoteConstraints, PostProcessingWithoutFeedingLayer) {
    auto model = Model::create();
    auto input =
        mote_test::make_layer(LayerType::InputData, "input",
                              {{"input_width", 1}, {"input_height", 10}, {"input_channels", 1}});
    auto post = mote_test::make_layer(LayerType::MotePostProcessing, "post");
    model->add(input, {});
    model->add(post, {});
    expect_failure(check_tnp_r_constraints(kPreset, *post),
                   "MotePostProcessing layer must be fed by a StatefulRecurrent layer.", "post");
}

TEST(MoteConstraints, SramLimits) {
    const Chain c(32, 100, 8, {rec(64, 32), rec(64, 1)}, LayerType::MotePostProcessing);
    expect_success(check(c, HardwareConstraints::mote(SramSize{0, 0, 138, 776, 171, 25})));
    struct Case {
        SramSize sram;
        std::string message;
    };
    for (const Case& k :
         {Case{{0, 0, 137, 776, 171, 25},
               "STSRAM size exceeds max limit of 137 32-bit words for TNP-R (got 138)."},
          Case{{0, 0, 138, 775, 171, 25},
               "FSRAM size exceeds max limit of 775 64-bit words for TNP-R (got 776)."},
          Case{{0, 0, 138, 776, 170, 25},
               "TSRAM size exceeds max limit of 170 51-bit words for TNP-R (got 171)."},
          Case{{0, 0, 138, 776, 171, 24},
               "EVSRAM size exceeds max limit of 24 32-bit words for TNP-R (got 25)."}}) {
        expect_failure(check(c, HardwareConstraints::mote(k.sram)), k.message, "sr1");
    }
}

TEST(MoteConstraints, WalkStopsAtFirstFailureButSramIsChecked) {
    Recurrent first = rec(64, 32);
    first.subsample = 5;
    const Chain c(32, 10, 8, {first, rec(48, 8)});
    expect_failure(check(c, HardwareConstraints::mote(SramSize{0, 0, 1, 1, 1, 1})),
                   "Subsample ratio exceeds max limit of 4 for TNP-R. (got 5). "
                   "EVSRAM size exceeds max limit of 1 32-bit words for TNP-R (got 24). "
                   "STSRAM size exceeds max limit of 1 32-bit words for TNP-R (got 128). "
                   "FSRAM size exceeds max limit of 1 64-bit words for TNP-R (got 752). "
                   "TSRAM size exceeds max limit of 1 51-bit words for TNP-R (got 160).",
                   "sr1");
}

TEST(MoteConstraints, ZeroBitInputIsReportedNotDividedBy) {
    expect_failure(check(Chain(24, 10, 0, {rec(64, 32)})),
                   "The packed input row (channels x input bits) must occupy a power-of-2 number "
                   "of 32-bit words (got 0 words for 24 channels at 0-bit). For the first "
                   "StatefulRecurrent layer, input must be 8-bit or 16-bit. got( 0).",
                   "sr1");
}

class MoteDispatch : public ::testing::Test {
  protected:
    mote_test::MoteDevice device;
    HardwareConstraints constraints = HardwareConstraints::mote(device.mesh().np_sram_size);
    CompatibilityCheckerImpl checker{device, constraints};
    MemorySizerImpl sizer;
    IoRecorderImpl io{device};
    LayerRecorderImpl recorder{device, constraints};

    MappingStatus compatibility(const Layer& layer) const {
        return checker.check_layer_compatibility(layer, nullptr, Mote_Selvo);
    }
    std::unique_ptr<program::Record> record(const std::shared_ptr<Layer>& layer) const {
        return recorder.record_layer(*layer, *layer, layer, false, false, {}, false, false);
    }
};

TEST_F(MoteDispatch, OtherKindsAreUnsupported) {
    for (LayerType type : {LayerType::Conv2D, LayerType::Dense1D, LayerType::Add,
                           LayerType::FullyConnected, LayerType::BufferTempConv}) {
        const auto layer = graph_test::make_layer("other", type);
        const MappingStatus status = compatibility(*layer);
        EXPECT_TRUE(status.error);
        EXPECT_EQ(status.message, "Unsupported layer type on Mote.");
        EXPECT_EQ(status.layer_name, "other");
    }
}

TEST_F(MoteDispatch, RecorderDispatchesByKind) {
    Chain c(32, 100, 8, {rec(64, 32), rec(64, 1)}, LayerType::MotePostProcessing);
    c.model->add(mote_test::make_layer(LayerType::Dequantizer, "deq"), {});
    c.model->add(mote_test::make_layer(LayerType::Quantizer, "quant"), {});
    // After the graph edits, which clear mappings.
    mote_test::map_on_tnpr(c.recurrent[0], hw::Ident(4, 5, 2));

    for (const char* name : {"input", "deq", "quant"}) {
        const auto r = record(c.model->get_layer(name));
        EXPECT_TRUE(r->tracks().empty()) << name;
        EXPECT_EQ(r->hw_version(), Mote_Selvo);
    }

    // The first recurrent layer records the whole chain.
    const auto chain = record(c.recurrent[0]);
    const auto direct = record_program_tnpr_layers(device, c.first());
    ASSERT_EQ(chain->tracks().size(), direct->tracks().size());
    for (size_t i = 0; i < chain->tracks().size(); ++i) {
        EXPECT_EQ(chain->tracks()[i].data(), direct->tracks()[i].data()) << i;
    }
    EXPECT_EQ(chain->tracks()[0].data()[2] & 7u, 2u);  // three TNP-R layers

    EXPECT_EQ(runtime_error_text([&] { record(c.tail); }), "Unsupported layer type on mote: 28.");
    EXPECT_EQ(runtime_error_text([&] { record(graph_test::conv("conv")); }),
              "Unsupported layer type on mote: 14.");
}

TEST_F(MoteDispatch, TnprLayersGetTheChainCheck) {
    Recurrent bad = rec(64, 32);
    bad.subsample = 5;
    const Chain c(32, 100, 8, {bad, rec(64, 1)}, LayerType::MotePostProcessing);
    const MappingStatus status = compatibility(c.first());
    EXPECT_EQ(status, check_tnp_r_constraints(constraints, c.first()));
    EXPECT_EQ(status.message, "Subsample ratio exceeds max limit of 4 for TNP-R. (got 5).");

    const Chain good(32, 100, 8, {rec(64, 32), rec(64, 1)}, LayerType::MotePostProcessing);
    EXPECT_FALSE(compatibility(good.first()).error);
    const HardwareConstraints tight =
        HardwareConstraints::mote(SramSize{0, 0, 137, 8192, 892, 256});
    const CompatibilityCheckerImpl tight_checker(device, tight);
    EXPECT_EQ(tight_checker.check_layer_compatibility(good.first(), nullptr, Mote_Selvo).message,
              "STSRAM size exceeds max limit of 137 32-bit words for TNP-R (got 138).");
    EXPECT_FALSE(compatibility(*good.tail).error);
}

TEST_F(MoteDispatch, OperationsThatDoNotExistOnMote) {
    const auto conv = graph_test::conv("conv");
    const auto params = LayerParams::create(LayerType::Conv2D, {});
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 1, 1, 1, 1, 8, 0); },
         "No single buffer mode on Mote."},
        {[&] { checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 1, 1, 1, 1, 8, 0); },
         "No dual buffer mode on Mote."},
        {[&] { checker.is_weights_size_fit_np(*conv, 1); }, "No NP on Mote."},
        {[&] { checker.np_split_params(hw::Type::TNP_R, *params); }, "Cannot split TNP-R."},
        {[&] { checker.check_fnp3_sram_size(constraints, *conv); }, "No FNP3 on Mote."},
        {[&] { checker.is_fnp3_compatible(*conv); }, "No FNP3 on Mote."},
        {[&] { recorder.record_learning_layer(*conv, true); }, "Learning not implemented on mote."},
        {[&] { recorder.sync_learning_vars(conv); }, "Learning not implemented on mote."},
    };
    for (const auto& [call, message] : cases) EXPECT_EQ(runtime_error_text(call), message);
}

TEST_F(MoteDispatch, SizerAnswersZeroOutsideTheTnprMemories) {
    const Chain c(32, 100, 8, {rec(64, 32), rec(64, 1)}, LayerType::MotePostProcessing);
    const hw::Component component(hw::Type::TNP_R, hw::Ident(1, 2, 0));
    EXPECT_EQ(sizer.get_input_memory_size(c.recurrent[0], component, c.input), 0u);
    EXPECT_EQ(sizer.get_weight_memory_size(c.recurrent[0], component), 0u);
    EXPECT_EQ(sizer.get_external_memory_size(c.recurrent[0], component, true, true), 0u);
    EXPECT_EQ(sizer.get_stsram_32b_memory_size(c.recurrent[0]), 138u);
    EXPECT_EQ(sizer.get_fsram_64b_memory_size(c.recurrent[0]), 776u);
    EXPECT_EQ(sizer.get_tsram_51b_memory_size(c.recurrent[0]), 171u);
    EXPECT_EQ(sizer.get_evsram_32b_memory_size(c.recurrent[0]), 25u);
}

}  // namespace
}  // namespace vorna::mote
