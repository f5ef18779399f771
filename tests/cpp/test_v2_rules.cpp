// The v2 layer rules, the Concatenate neighbour rules and the layer recorder's refusals.

#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "backend/hardware_constraints.h"
#include "backend/v2/compatibility_checker.h"
#include "backend/v2/concatenate_constraints.h"
#include "backend/v2/layer_recorder.h"
#include "backend/v2/rules.h"
#include "devices/virtual_device.h"
#include "program/record.h"
#include "v2_rec_test_util.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2regs_test::error_text;
using v2regs_test::FakeConvLayer;
using v2regs_test::FakeLayer;
using v2regs_test::i8;
using v2regs_test::link;
using v2regs_test::make_layer;
using v2regs_test::u8;

HardwareConstraints v2_limits() {
    HardwareConstraints c;
    c.fnp3_sram_size = 12288;
    c.weight_sram_size = 4096;
    c.max_input_width = 4096;
    c.max_input_height = 4096;
    c.max_input_channels = 2048;
    c.max_filters = 2048;
    c.input_sram_size_dual_buffer = 8192;
    c.input_sram_size_single_buffer = 16384;
    c.fnp_input_sram_size = 16384;
    c.input_shift_sram_size = 256;
    return c;
}

Mesh v2_mesh(bool lut_everywhere) {
    std::vector<np::Info> nps{np::Info(hw::Ident(1, 0, 0), {hw::Type::CNP1}, true),
                              np::Info(hw::Ident(2, 0, 0), {hw::Type::CNP2}, lut_everywhere)};
    return Mesh(IpVersion::v2, hw::Ident(0, 0, 0), hw::Ident(0, 0, 1), std::nullopt, nps, {});
}

std::shared_ptr<FakeConvLayer> cnp_layer(LayerType type, const std::string& name = "c") {
    auto l = std::static_pointer_cast<FakeConvLayer>(make_layer(type, name,
                                                                {{"kernel_size", 3},
                                                                 {"kernel_stride", 1},
                                                                 {"padding", 1},
                                                                 {"pool_type", 0},
                                                                 {"pool_size", 0},
                                                                 {"activation", 1},
                                                                 {"weights_bits", 8}}));
    if (type == LayerType::Conv2D || type == LayerType::Conv2DTranspose)
        l->set_param("filters", 16);
    l->in_dims = {Shape{16, 16, 8}};
    l->vars.set("input_shift", u8(std::vector<uint8_t>(8, 0)));
    l->conv.output_width = 16;
    l->conv.output_height = 16;
    return l;
}

MappingStatus check_kind(const Layer& layer) {
    const HardwareConstraints c = v2_limits();
    switch (layer.params()->layer_type()) {
        case LayerType::Conv2D:
            return check_conv2d_constraints(c, layer);
        case LayerType::DepthwiseConv2D:
            return check_dwconv2d_constraints(c, layer);
        case LayerType::Conv2DTranspose:
            return check_conv2dtranspose_constraints(c, layer);
        default:
            return check_dwconv2dtranspose_constraints(c, layer);
    }
}

struct CnpCase {
    const char* title;
    LayerType type;
    std::function<void(FakeConvLayer&)> edit;
    std::string expected;  // "" for success
};

void PrintTo(const CnpCase& c, std::ostream* os) { *os << c.title; }

class V2RulesCnp : public ::testing::TestWithParam<CnpCase> {};

TEST_P(V2RulesCnp, JoinedMessages) {
    const CnpCase& k = GetParam();
    auto layer = cnp_layer(k.type);
    k.edit(*layer);
    const MappingStatus status = check_kind(*layer);
    if (k.expected.empty()) {
        EXPECT_FALSE(status.error) << status.to_string();
        EXPECT_EQ(status.to_string(), "Success.");
    } else {
        EXPECT_TRUE(status.error);
        EXPECT_EQ(status.to_string(), "Cannot map layer 'c'. " + k.expected);
    }
}

const auto none = [](FakeConvLayer&) {};
using E = FakeConvLayer&;
const std::string kGap = "When using Global Average Pooling, ";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    V2Rules, V2RulesCnp,
    ::testing::Values(
        CnpCase{"ValidConv2D", LayerType::Conv2D, none, ""},
        CnpCase{"ValidDepthwise", LayerType::DepthwiseConv2D, none, ""},
        CnpCase{"ValidTransposed", LayerType::Conv2DTranspose, none, ""},
        CnpCase{"ValidDwTransposed", LayerType::DepthwiseConv2DTranspose, none, ""},
        CnpCase{"Kernel4Potential", LayerType::Conv2D, [](E l) { l.set_param("kernel_size", 4);
                    l.set_param("weights_bits", 4); l.set_param("activation", 0); },
                "Kernel size must be 1, 3, 5 or 7. 4-bit weights and 8-bit potential is not "
                "allowed."},
        CnpCase{"Conv4BitWeightsWithActivation", LayerType::Conv2D,
                [](E l) { l.set_param("weights_bits", 4); }, ""},
        CnpCase{"Depthwise4BitWeightsWithActivation", LayerType::DepthwiseConv2D,
                [](E l) { l.set_param("weights_bits", 4); },
                "4-bit weights and 8-bit activation is not allowed."},
        CnpCase{"DepthwiseKernel1", LayerType::DepthwiseConv2D,
                [](E l) { l.set_param("kernel_size", 1); }, "Kernel size must be 3, 5 or 7."},
        CnpCase{"TransposedLut4Bit", LayerType::Conv2DTranspose,
                [](E l) { l.out_bits = 4; l.set_param("activation", 2); },
                "With activation output bitwidth should be 8. 4-bit activation is not supported "
                "with LUT."},
        CnpCase{"DwTransposedKernel5Weights4", LayerType::DepthwiseConv2DTranspose, [](E l) {
                    l.set_param("kernel_size", 5); l.set_param("weights_bits", 4); l.in_bits = 4; },
                "Input should be 8-bit. Weights should be 8-bit. Kernel size must be 3 or 4."},
        CnpCase{"SameUpperStride1Weights4", LayerType::Conv2D,
                [](E l) { l.set_param("padding", 2); l.set_param("weights_bits", 4); },
                "With SameUpper padding only stride 2 is supported. With SameUpper padding only "
                "8-bit weights are supported."},
        CnpCase{"ValidPadding", LayerType::DepthwiseConv2D, [](E l) { l.set_param("padding", 0); },
                "Only padding 'Same' and 'SameUpper' are supported."},
        CnpCase{"Limits", LayerType::Conv2D,
                [](E l) { l.in_dims = {Shape{5000, 4097, 2049}}; l.set_param("filters", 3000); },
                "The maximum input width is 4096 (got 5000). The maximum input height is 4096 "
                "(got 4097). The maximum input channel value is 2048 (got 2049). The maximum "
                "number of filters is 2048 (got 3000)."},
        CnpCase{"DepthwiseFiltersAreChannels", LayerType::DepthwiseConv2D,
                [](E l) { l.in_dims = {Shape{4, 4, 2049}}; },
                "The maximum input channel value is 2048 (got 2049). The maximum number of "
                "filters is 2048 (got 2049)."},
        CnpCase{"InputShiftBytes", LayerType::Conv2D,
                [](E l) { l.vars.set("input_shift", u8(std::vector<uint8_t>(2056, 0))); },
                "Input shift exceeds memory. Maximum size is 768 bytes. (got 771 bytes)."},
        CnpCase{"WideActivatedOutput", LayerType::Conv2D, [](E l) { l.out_bits = 16; },
                "With activation output bitwidth should be <= 8. With activation output bitwidth "
                "should be 4 or 8."},
        CnpCase{"NineBitActivatedOutput", LayerType::Conv2D, [](E l) { l.out_bits = 9; },
                "With activation output bitwidth should be <= 8. With activation output bitwidth "
                "should be 4 or 8."},
        CnpCase{"NarrowInput", LayerType::Conv2D,
                [](E l) { l.in_bits = 2; l.set_param("weights_bits", 4); },
                "Input bits should be >= weights bits. Input should be 4-bit or 8-bit."},
        CnpCase{"Potential28", LayerType::Conv2D,
                [](E l) { l.set_param("activation", 0); l.out_bits = 28; }, ""},
        CnpCase{"Potential16", LayerType::Conv2D,
                [](E l) { l.set_param("activation", 0); l.out_bits = 16; },
                "Without activation output bitwidth should be 8 or 28."},
        CnpCase{"FilterTooBig", LayerType::Conv2D,
                [](E l) { l.set_param("kernel_size", 7); l.in_dims = {Shape{16, 16, 2048}}; },
                "Filter size is too big to fit in a CNP: try decreasing the input channels or the "
                "bitwidth."},
        CnpCase{"TransposedFilterTooBig", LayerType::Conv2DTranspose,
                [](E l) { l.set_param("kernel_size", 4); l.in_dims = {Shape{16, 16, 400}}; },
                "Filter size is too big to fit in a CNP: try decreasing the input."},
        CnpCase{"PoolingAndStride", LayerType::Conv2D, [](E l) { l.set_param("pool_type", 1);
                    l.set_param("pool_size", 2); l.set_param("kernel_stride", 2); },
                "The CNP cannot support both pooling and stride."},
        CnpCase{"MaxPoolRules", LayerType::Conv2D, [](E l) { l.set_param("pool_type", 1);
                    l.set_param("pool_size", 3); l.set_param("activation", 2);
                    l.pool.stride_x = 2; l.pool.stride_y = 1; l.in_dims = {Shape{16, 2, 8}}; },
                "Pooling size must be 1 or 2. Pooling stride x and y must be equal. Pooling size "
                "cannot be greater than input dimensions. Max pooling is not supported with "
                "activation LUT."},
        CnpCase{"GlobalAverage12x12", LayerType::Conv2D, [](E l) { l.set_param("pool_type", 2);
                    l.set_param("pool_size", -1); l.in_dims = {Shape{12, 12, 8}}; }, ""},
        CnpCase{"GlobalAverage13x12", LayerType::Conv2D, [](E l) { l.set_param("pool_type", 2);
                    l.set_param("pool_size", -1); l.in_dims = {Shape{13, 12, 8}}; },
                kGap + "input dimensions width * height cannot exceed 144."},
        CnpCase{"GlobalAverageRules", LayerType::Conv2D, [](E l) { l.set_param("pool_type", 2);
                    l.set_param("pool_size", 2); l.in_dims = {Shape{65, 1, 8}};
                    l.conv.output_height = 0; },
                "Global Average pooling must be global. " + kGap + "input height cannot exceed "
                "64. " + kGap + "the output of the convolution must have at least 1 rows "
                "(currently 0)."},
        CnpCase{"GlobalAverageSramSplit", LayerType::DepthwiseConv2D, [](E l) {
                    l.set_param("pool_type", 2); l.set_param("pool_size", -1);
                    l.in_dims = {Shape{64, 2, 2048}}; },
                kGap + "spatial split is impossible."},
        CnpCase{"SameUpper4BitActivation", LayerType::Conv2D, [](E l) {
                    l.set_param("padding", 2); l.set_param("kernel_stride", 2); l.out_bits = 4; },
                "With SameUpper padding only 8-bit activations are supported."},
        CnpCase{"GlobalAverageNineBits", LayerType::Conv2D, [](E l) {
                    l.set_param("pool_type", 2); l.set_param("pool_size", -1);
                    l.set_param("activation", 0); l.out_bits = 9; l.in_dims = {Shape{12, 12, 8}}; },
                "With average pooling output bitwidth should be <= 8. Without activation output "
                "bitwidth should be 8 or 28."},
        CnpCase{"GlobalAveragePotential28", LayerType::Conv2D, [](E l) {
                    l.set_param("pool_type", 2); l.set_param("pool_size", -1);
                    l.set_param("activation", 0); l.out_bits = 28; l.in_dims = {Shape{12, 12, 8}}; },
                "With average pooling output bitwidth should be <= 8."},
        // 64 bytes a row, 1024 channels, 1 row: 16384 words, the whole memory.
        CnpCase{"GlobalAverageSramFull", LayerType::DepthwiseConv2D, [](E l) {
                    l.set_param("pool_type", 2); l.set_param("pool_size", -1);
                    l.in_dims = {Shape{64, 1, 1024}}; }, ""}),
    // clang-format on
    [](const ::testing::TestParamInfo<CnpCase>& info) { return std::string(info.param.title); });

// The widths each shift variable may need: 3 bits of input shift, 5 of
// max-value and bias shift. One more bit is refused by name.
TEST(V2RulesCompatibility, ShiftVariableWidths) {
    const HardwareConstraints c = v2_limits();
    const Mesh full = v2_mesh(true);
    struct Case {
        const char* var;
        uint8_t widest;  // the largest value that fits
        int bits;
    };
    for (const Case& k :
         {Case{"input_shift", 7, 3}, Case{"max_value_shift", 31, 5}, Case{"bias_shift", 31, 5}}) {
        auto q = make_layer(LayerType::Quantizer, "q");
        q->vars.set(k.var, u8({0, k.widest}));
        EXPECT_FALSE(check_layer_compatibility(c, full, *q, nullptr).error) << k.var;
        q->vars.set(k.var, u8({uint8_t(k.widest + 1), 0}));
        EXPECT_EQ(check_layer_compatibility(c, full, *q, nullptr).to_string(),
                  "Cannot map layer 'q'. The variable " + std::string(k.var) + " needs " +
                      std::to_string(k.bits + 1) + " bits, but at most " + std::to_string(k.bits) +
                      " are supported.");
    }
}

// Words the input of one NP needs against what is left of its memory: a CNP
// stores rows of whole 32-bit words per channel, a TNP-B its FIFO of frames
// rounded up to 64 words.
TEST(V2RulesSizing, InputFitsWhatIsLeftOfTheMemory) {
    struct Case {
        hw::Type type;
        uint32_t h, w, c, fifo;
        uint8_t bits;
        uint32_t reserved, capacity;
        bool fits;
    };
    // 10 bytes a row rounded to 12, times 3 channels: 9 words a row, 36 for 4 rows.
    // 4 x 2 x 2 x 4 bits = 64 bits: 2 words, 64 after rounding, 192 for 3 frames.
    for (const Case& k : {
             Case{hw::Type::CNP1, 4, 10, 3, 0, 8, 64, 100, true},
             Case{hw::Type::CNP2, 4, 10, 3, 0, 8, 65, 100, false},
             Case{hw::Type::CNP1, 4, 10, 3, 0, 4, 76, 100, true},  // 5 bytes to 8: 24 words
             Case{hw::Type::TNP_B, 2, 2, 3, 2, 4, 8, 200, true},
             Case{hw::Type::TNP_B, 2, 2, 3, 2, 4, 9, 200, false},
             // An input that needs nothing fits a memory that is all reserved,
             // but reserving more than the memory holds fits nothing.
             Case{hw::Type::CNP1, 0, 10, 3, 0, 8, 100, 100, true},
             Case{hw::Type::CNP1, 0, 10, 3, 0, 8, 101, 100, false},
         }) {
        EXPECT_EQ(is_sram_input_fit(k.type, k.h, k.w, k.c, k.fifo, k.bits, k.reserved, k.capacity),
                  k.fits)
            << k.h << "x" << k.w << "x" << k.c << " reserved " << k.reserved;
    }
    EXPECT_EQ(error_text([] { is_sram_input_fit(hw::Type::FNP3, 1, 1, 1, 0, 8, 0, 100); }),
              "Type of NP not supported.");
}

TEST(V2RulesCompatibility, BitWidthsActivationAndDispatch) {
    const HardwareConstraints c = v2_limits();
    const Mesh full = v2_mesh(true);
    const Mesh partial = v2_mesh(false);

    auto q = make_layer(LayerType::Quantizer, "q");
    EXPECT_FALSE(check_layer_compatibility(c, full, *q, nullptr).error);
    q->vars.set("output_shift", i8({40}));
    MappingStatus expected = check_bitwidth(*q, 6, "output_shift", false);
    ASSERT_TRUE(expected.error);
    EXPECT_EQ(check_layer_compatibility(c, full, *q, nullptr), expected);

    auto fc = make_layer(LayerType::FullyConnected, "fc");
    fc->vars.set("output_shift", i8({40}));
    EXPECT_EQ(check_layer_compatibility(c, full, *fc, nullptr).to_string(),
              "Cannot map layer 'fc'. Unsupported layer type on Vorna v2.");

    auto lutq = make_layer(LayerType::Quantizer, "l", {{"activation", 2}});
    EXPECT_EQ(check_layer_compatibility(c, partial, *lutq, nullptr).to_string(),
              "Cannot map layer 'l'. Does not support activation type 'LUT'. Lookup tables are "
              "missing on some NPs.");

    auto conv = cnp_layer(LayerType::Conv2D);
    conv->set_param("activation", 2);
    EXPECT_FALSE(check_layer_compatibility(c, full, *conv, nullptr).error);
    EXPECT_EQ(check_layer_compatibility(c, partial, *conv, nullptr).to_string(),
              "Cannot map layer 'c'. Lookup tables are missing on some NPs.");
    conv->set_param("kernel_size", 2);
    EXPECT_EQ(check_layer_compatibility(c, partial, *conv, nullptr).to_string(),
              "Cannot map layer 'c'. Lookup tables are missing on some NPs. Kernel size must be "
              "1, 3, 5 or 7.");

    auto dense = make_layer(LayerType::Dense1D, "d", {{"weights_bits", 2}, {"activation", 1}});
    EXPECT_EQ(check_layer_compatibility(c, full, *dense, nullptr).to_string(),
              "Cannot map layer 'd'. Weights bitwidth should be 4-bit or 8-bit.");
}

struct AddGraph {
    std::shared_ptr<FakeLayer> a = make_layer(LayerType::Conv2D, "a");
    std::shared_ptr<FakeLayer> b = make_layer(LayerType::Conv2D, "b");
    std::shared_ptr<FakeLayer> add = make_layer(LayerType::Add, "add");
    std::shared_ptr<FakeLayer> next = make_layer(LayerType::Conv2D, "next");
    AddGraph(std::vector<uint8_t> as, std::vector<uint8_t> bs, std::vector<int8_t> os) {
        link(a, add);
        link(b, add);
        link(add, next);
        add->vars.set("a_shift", u8(as));
        add->vars.set("b_shift", u8(bs));
        add->vars.set("output_shift", i8(os));
    }
};

const std::string kAddOut =
    "This model cannot be mapped in hardware, Add output shift is out of range. Should be in "
    "[-4, 3].";
const std::string kAddIn =
    "This model cannot be mapped in hardware, Add input shift is out of range. The maximum is 15.";

TEST(V2RulesAdd, ShiftRules) {
    EXPECT_FALSE(check_add_constraints(*AddGraph({0, 3, 0}, {15, 3, 0}, {-12, 0, -4}).add).error);
    EXPECT_EQ(check_add_constraints(*AddGraph({0}, {16}, {-16}).add).message, kAddIn);
    // The input shifts are compared by their distance, whichever is larger.
    EXPECT_FALSE(check_add_constraints(*AddGraph({9, 8}, {8, 9}, {-10, -10}).add).error);
    EXPECT_EQ(check_add_constraints(*AddGraph({16}, {0}, {-16}).add).message, kAddIn);
    EXPECT_EQ(check_add_constraints(*AddGraph({3}, {3}, {1}).add).message, kAddOut);
    EXPECT_EQ(check_add_constraints(*AddGraph({0, 0}, {0, 20}, {-5, 0}).add).message,
              kAddOut + " " + kAddIn + " " + kAddOut);
    EXPECT_EQ(error_text([] { check_add_constraints(*AddGraph({0, 0}, {0}, {0, 0}).add); }),
              "Coordinates are out-of-range");
}

TEST(V2RulesAdd, GraphRules) {
    AddGraph g({0}, {0}, {0});
    g.add->out_bits = 4;
    EXPECT_EQ(check_add_constraints(*g.add).to_string(),
              "Cannot map layer 'add'. Output must be 8-bit.");

    AddGraph dense({0}, {0}, {0});
    dense.add->outbound.clear();
    EXPECT_EQ(check_add_constraints(*dense.add).message, "Must be followed by a merge layer.");
    auto fc = make_layer(LayerType::Dense1D, "fc");
    link(dense.add, fc);
    EXPECT_EQ(check_add_constraints(*dense.add).message, "Must be followed by a merge layer.");

    AddGraph feed({0}, {0}, {0});
    feed.add->inbound = {make_layer(LayerType::Dense1D, "d1"),
                         make_layer(LayerType::Dense1D, "d2")};
    EXPECT_EQ(check_add_constraints(*feed.add).message,
              "Inbounds must be of types Conv, Add or Concat.");

    AddGraph twice({0}, {0}, {0});
    twice.add->inbound = {twice.a, twice.a};
    twice.add->out_bits = 4;
    EXPECT_EQ(check_add_constraints(*twice.add).to_string(),
              "Cannot map layer 'add'. Add inbounds must come from different layers.");
}

using Run = std::vector<std::shared_ptr<Layer>>;

MappingStatus sequence(const Run& run) { return check_layer_sequence(run.begin(), run.end()); }

std::shared_ptr<FakeLayer> relu(LayerType type, const std::string& name) {
    return make_layer(type, name, {{"activation", 1}});
}

// A null layer anywhere in a run is refused before any layer is read. A check
// that let it through would dereference it, so each case runs in a child.
TEST(V2RulesSequence, NullLayersAreRefused) {
    auto conv = relu(LayerType::Conv2D, "c");
    using Layers = std::vector<std::shared_ptr<Layer>>;
    for (const Layers& run : {Layers{nullptr}, Layers{conv, nullptr}, Layers{nullptr, conv}}) {
        EXPECT_EXIT(
            {
                const std::string whole = error_text([&] { sequence(run); });
                const std::string walk =
                    error_text([&] { check_layer_sequence_prefixes(run.begin(), run.end()); });
                const std::string expected = "A layer sequence must not hold null layers.";
                std::exit(whole == expected && walk == expected ? 0 : 1);
            },
            ::testing::ExitedWithCode(0), "")
            << run.size();
    }
}

TEST(V2RulesSequence, EndsOfTheRun) {
    auto deq = make_layer(LayerType::Dequantizer, "deq");
    EXPECT_EQ(sequence({deq}).to_string(),
              "Cannot map layer 'deq'. Can't start a sequence with a Dequantizer.");
    EXPECT_EQ(sequence({make_layer(LayerType::Add, "add")}).to_string(),
              "Cannot map layer 'add'. Can't be the first layer of the sequence.");

    auto pooled = make_layer(LayerType::Conv2D, "p", {{"activation", 1}, {"pool_type", 1}});
    link(pooled, deq);
    EXPECT_EQ(sequence({pooled, deq}).to_string(),
              "Cannot map layer 'p'. A layer with max pooling cannot be the last layer of a "
              "sequence.");

    auto c1 = relu(LayerType::Conv2D, "c1");
    auto d1 = make_layer(LayerType::Dequantizer, "d1");
    auto c2 = relu(LayerType::Conv2D, "c2");
    auto d2 = make_layer(LayerType::Dequantizer, "d2");
    link(c1, d1);
    link(d1, c2);
    link(c2, d2);
    EXPECT_EQ(sequence({c1, d1, c2, d2}).to_string(),
              "Cannot map layer 'd1'. Only 1 Dequantizer at the end of the model is supported.");
}

TEST(V2RulesSequence, LastLayerWithoutActivation) {
    auto c = make_layer(LayerType::Conv2D, "c");
    c->vars.set("output_shift", i8({0, 1}));
    c->vars.set("output_scales", u8({1, 2}));
    EXPECT_FALSE(sequence({c}).error);  // 8-bit output: not looked at
    c->out_bits = 32;
    EXPECT_EQ(sequence({c}).message, "Without activation output_shift should be 0.");
    c->vars.set("output_shift", i8({0, 0}));
    EXPECT_EQ(sequence({c}).message, "Without activation output_scales should be 1.");
    c->vars.set("output_shift", i8({0, 1}));
    c->vars.set("output_scales", v2regs_test::i32({1, 1}));
    EXPECT_THROW(sequence({c}), std::runtime_error);
}

TEST(V2RulesSequence, WhatFeedsWhat) {
    auto pooled = make_layer(LayerType::Conv2D, "p", {{"activation", 1}, {"pool_type", 1}});
    auto dense = relu(LayerType::Dense1D, "fc");
    link(pooled, dense);
    EXPECT_EQ(sequence({pooled, dense}).to_string(),
              "Cannot map layer 'fc'. Any layer with max pooling must be followed by a layer "
              "mapped on a CNP or a TNP-B. Layer 'p' has max pooling.");

    auto fnp = relu(LayerType::Dense1D, "fnp");
    auto conv = relu(LayerType::Conv2D, "conv");
    link(fnp, conv);
    EXPECT_EQ(sequence({fnp, conv}).to_string(),
              "Cannot map layer 'conv'. A layer mapped on FNP cannot be directly followed by a "
              "layer mapped on CNP due to incompatible data processing requirements. Layer 'fnp' "
              "is mappable on FNP.");
    EXPECT_FALSE(sequence({conv}).error);  // the FNP layer lies outside the run

    auto c = relu(LayerType::Conv2D, "c");
    auto add = make_layer(LayerType::Add, "add");
    auto d = relu(LayerType::Dense1D, "d");
    link(c, add);
    link(add, d);
    EXPECT_EQ(sequence({c, add, d}).to_string(),
              "Cannot map layer 'd'. Dense layer can't have Add/Concat as inbound. Layer 'add' is "
              "a Add/Concat.");

    auto fan = relu(LayerType::Conv2D, "fan");
    std::vector<std::shared_ptr<FakeLayer>> outs;
    for (int i = 0; i < 3; ++i) {
        outs.push_back(relu(LayerType::Conv2D, "o" + std::to_string(i)));
        link(fan, outs.back());
    }
    EXPECT_EQ(sequence({fan}).to_string(),
              "Cannot map layer 'fan'. Layer has 3 outbounds. A maximum of 2 outbounds is "
              "supported.");

    auto hrc = relu(LayerType::InputConv2D, "hrc");
    auto x = relu(LayerType::Conv2D, "x");
    auto y = relu(LayerType::Conv2D, "y");
    link(hrc, x);
    link(hrc, y);
    EXPECT_EQ(sequence({hrc}).to_string(),
              "Cannot map layer 'hrc'. A layer mapped on HRC supports 1 outbound only.");
}

TEST(V2RulesSequence, SkipConnections) {
    auto split = relu(LayerType::Conv2D, "s");
    auto x = relu(LayerType::Conv2D, "x");
    auto y = relu(LayerType::Conv2D, "y");
    link(split, x);
    link(split, y);
    const MappingStatus open = sequence({split});
    EXPECT_TRUE(open.error);
    EXPECT_EQ(open.layer_name, "");
    EXPECT_EQ(open.to_string(), "Bad mapping on skip connection. Several branches.");

    auto c = relu(LayerType::Conv2D, "c");
    auto add = make_layer(LayerType::Add, "add");
    link(c, add);
    EXPECT_EQ(sequence({c, add}).to_string(),
              "Cannot map layer 'add'. Bad mapping on skip connection. No valid merge layer. Add "
              "layer requires an outbound that is mappable on a CNP.");

    auto c1 = relu(LayerType::Conv2D, "c1");
    auto c2 = relu(LayerType::Conv2D, "c2");
    auto cat = make_layer(LayerType::Concatenate, "cat");
    auto c3 = relu(LayerType::Conv2D, "c3");
    auto c4 = relu(LayerType::Conv2D, "c4");
    link(c1, c2);
    link(c1, cat);
    link(c2, cat);
    link(c2, c3);
    link(cat, c4);
    EXPECT_EQ(sequence({c1, c2, cat, c4}).to_string(),
              "Cannot map layer 'c2'. Is the second input of a Concat, it can't have multiple "
              "outputs.");
}

hw::Component cnp_with_width(uint32_t width) {
    hw::Placement pl;
    pl.spatial_partition.shape = Shape{width, 4, 8};
    pl.aux_partition = pl.spatial_partition;
    return hw::Component(hw::Type::CNP1, hw::Ident(1, 0, 0), pl);
}

TEST(V2RulesMappings, ComponentRules) {
    auto conv = make_layer(LayerType::Conv2D, "c");
    EXPECT_FALSE(check_layer_mappings(*conv, {}, true).error);
    EXPECT_FALSE(check_layer_mappings(*conv, {cnp_with_width(62)}, false).error);
    EXPECT_EQ(check_layer_mappings(*conv, {cnp_with_width(65)}, false).to_string(),
              "Cannot map layer 'c'. The input length 68 exceeds the maximum value for NP input "
              "width: 64.");

    const hw::Component store(hw::Type::SKIP_DMA_STORE, hw::Ident(0, 1, 0));
    EXPECT_EQ(check_layer_mappings(*conv, {store, store}, false).message,
              "A layer which outputs directly to one skip dma and another skipdma via dual "
              "outputs is not supported.");
    EXPECT_EQ(check_layer_mappings(*conv, {store, cnp_with_width(65), store}, false).message,
              "The input length 68 exceeds the maximum value for NP input width: 64.");

    std::vector<hw::Component> many(127, cnp_with_width(8));
    EXPECT_FALSE(check_layer_mappings(*conv, many, true).error);
    many.push_back(cnp_with_width(8));
    EXPECT_FALSE(check_layer_mappings(*conv, many, false).error);
    EXPECT_EQ(check_layer_mappings(*conv, many, true).message,
              "First layer of pass exceeds the maximum of 127 hardware components. Needs 128.");

    auto tnp = make_layer(LayerType::BufferTempConv, "t");
    EXPECT_FALSE(check_layer_mappings(*tnp, {}, false).error);
    EXPECT_EQ(check_layer_mappings(*tnp, {}, true).message,
              "A TNP-B layer cannot be the first layer of a pass.");
}

TEST(V2RulesSizing, InputSramFit) {
    EXPECT_EQ(sram_input_words(hw::Type::CNP1, 20, 10, 3, 0, 8), 180u);
    EXPECT_EQ(sram_input_words(hw::Type::TNP_B, 2, 3, 5, 1, 8), 128u);
    EXPECT_TRUE(is_sram_input_fit(hw::Type::CNP2, 20, 10, 3, 0, 8, 0, 180));
    EXPECT_FALSE(is_sram_input_fit(hw::Type::CNP2, 20, 10, 3, 0, 8, 1, 180));
    EXPECT_FALSE(is_sram_input_fit(hw::Type::CNP1, 1, 1, 1, 0, 8, 200, 180));
    EXPECT_EQ(error_text([] { sram_input_words(hw::Type::FNP3, 1, 1, 1, 0, 8); }),
              "Type of NP not supported.");
}

TEST(V2RulesSizing, WeightsAndSplitParams) {
    auto conv = cnp_layer(LayerType::Conv2D);
    conv->in_dims = {Shape{8, 8, 2}};
    EXPECT_EQ(get_weights_100b_size(*conv, 8), 12u);
    EXPECT_EQ(error_text([] { get_weights_100b_size(*make_layer(LayerType::Dense1D, "d"), 1); }),
              "Unexpected layer type for CNP or TNP-B.");

    HardwareConstraints big = v2_limits();
    big.weight_sram_size = 1000000;
    auto dw = cnp_layer(LayerType::DepthwiseConv2D);
    dw->set_param("kernel_size", 7);
    EXPECT_TRUE(is_weights_size_fit_np(big, *dw, 37449));   // 262143 words
    EXPECT_FALSE(is_weights_size_fit_np(big, *dw, 37450));  // per-NP limit
    EXPECT_FALSE(is_weights_size_fit_np(v2_limits(), *dw, 1000));
    conv->set_param("kernel_size", 7);
    conv->in_dims = {Shape{8, 8, 1}};
    EXPECT_TRUE(is_weights_size_fit_np(big, *conv, 8));
    EXPECT_FALSE(is_weights_size_fit_np(big, *conv, 37456));  // channel content 262192

    auto p = LayerParams::create(
        LayerType::Conv2D,
        {{"kernel_size", 7}, {"pool_size", 2}, {"pool_type", 1}, {"filters", 32}});
    const NpSplitParams cnp = np_split_params(hw::Type::CNP1, *p);
    EXPECT_EQ(cnp.border_left, 3u);
    EXPECT_EQ(cnp.border_bottom, 3u);
    EXPECT_EQ(cnp.pool_type, 1u);
    EXPECT_EQ(cnp.pool_width, 2u);
    EXPECT_EQ(cnp.pool_height, 2u);
    EXPECT_EQ(cnp.filters, 32u);
    auto tp = LayerParams::create(LayerType::BufferTempConv, {});
    const NpSplitParams tnp = np_split_params(hw::Type::TNP_B, *tp);
    EXPECT_EQ(tnp.border_top, 0u);
    EXPECT_EQ(tnp.filters, 0u);
    auto k4 = LayerParams::create(LayerType::Conv2D, {{"kernel_size", 4}});
    EXPECT_EQ(np_split_params(hw::Type::CNP2, *k4).border_right, 2u);
}

}  // namespace

namespace {

std::string check(const Layer& layer) {
    return v2::check_concatenate_constraints(layer).to_string();
}

const std::string kPrefix = "Cannot map layer 'concat'. ";

TEST(V2ConcatCheck, FollowerMustBeOnACnp) {
    auto concat = make_layer(LayerType::Concatenate, "concat");
    link(make_layer(LayerType::Conv2D, "a"), concat);
    link(make_layer(LayerType::Conv2D, "b"), concat);
    EXPECT_EQ(check(*concat), kPrefix + "Must be followed by a merge layer.");
    auto dense = make_layer(LayerType::Dense1D, "dense");
    link(concat, dense);
    EXPECT_EQ(check(*concat), kPrefix + "Must be followed by a merge layer.");
    auto dw = make_layer(LayerType::DepthwiseConv2D, "dw");
    link(concat, dw);
    EXPECT_EQ(check(*concat), "Success.");
}

TEST(V2ConcatCheck, InboundKindsAreReportedOnce) {
    auto concat = make_layer(LayerType::Concatenate, "concat");
    link(make_layer(LayerType::InputData, "in"), concat);
    link(make_layer(LayerType::Conv2D, "a"), concat);
    auto next = make_layer(LayerType::Conv2D, "next");
    link(concat, next);
    EXPECT_EQ(check(*concat), kPrefix + "Inbounds must be of types Conv, Add or Concat.");

    auto lonely = make_layer(LayerType::Concatenate, "concat");
    link(make_layer(LayerType::Dense1D, "d1"), lonely);
    link(make_layer(LayerType::BufferTempConv, "t1"), lonely);
    EXPECT_EQ(check(*lonely), kPrefix +
                                  "Must be followed by a merge layer. Inbounds must be of types "
                                  "Conv, Add or Concat.");
}

TEST(V2ConcatCheck, SameInboundTwiceReplacesEveryOtherFailure) {
    auto concat = make_layer(LayerType::Concatenate, "concat");
    auto a = make_layer(LayerType::InputData, "a");
    link(a, concat);
    link(a, concat);
    EXPECT_EQ(check(*concat), kPrefix + "Concatenate inbounds must come from different layers.");
}

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

TEST(V2RulesChecker, ForwardsToTheRulesWithItsOwnLimits) {
    const HardwareConstraints limits = v2_limits();
    VirtualDevice device(HwVersion{0, 0xA2, 1, 0}, v2_mesh(false));
    const CompatibilityCheckerImpl checker(device, limits);
    const CompatibilityChecker& base = checker;

    // 8-bit 10 x 10 x 20 input: 12-byte rows, 60 words a row, 600 words.
    EXPECT_TRUE(base.is_sram_input_fit_single_buffer(hw::Type::CNP1, 10, 10, 20, 0, 8, 15784));
    EXPECT_FALSE(base.is_sram_input_fit_single_buffer(hw::Type::CNP1, 10, 10, 20, 0, 8, 15785));
    EXPECT_TRUE(base.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 10, 10, 20, 0, 8, 7592));
    EXPECT_FALSE(base.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 10, 10, 20, 0, 8, 7593));

    auto lut = make_layer(LayerType::Quantizer, "q", {{"activation", 2}});
    EXPECT_EQ(checker.check_supported_activation(*lut).message,
              "Does not support activation type 'LUT'. Lookup tables are missing on some NPs.");
    EXPECT_EQ(base.check_layer_compatibility(*lut, nullptr, HwVersion{0, 0xA2, 1, 0}),
              check_supported_activation(*lut, device.mesh()));

    const std::vector<std::shared_ptr<Layer>> run{make_layer(LayerType::Dequantizer, "deq")};
    EXPECT_EQ(base.check_layer_sequence(run.begin(), run.end(), HwVersion{}).message,
              "Can't start a sequence with a Dequantizer.");
    EXPECT_EQ(
        base.check_layer_mappings(*make_layer(LayerType::BufferTempConv, "t"), {}, true).message,
        "A TNP-B layer cannot be the first layer of a pass.");
    auto dw = cnp_layer(LayerType::DepthwiseConv2D);
    EXPECT_TRUE(base.is_weights_size_fit_np(*dw, 4096));  // 3 x 3 kernel: 1 word a channel
    EXPECT_FALSE(base.is_weights_size_fit_np(*dw, 4097));
    EXPECT_EQ(base.np_split_params(hw::Type::CNP1, *dw->params()).border_top, 1u);
}

// A layer whose activation is on whatever its "activation" parameter says.
class AlwaysActivated : public FakeLayer {
  public:
    using FakeLayer::FakeLayer;
    bool activation_enabled() const override { return true; }
};

TEST(V2RulesChecker, ActivationTypeNames) {
    const HardwareConstraints limits = v2_limits();
    const VirtualDevice full(HwVersion{0, 0xA2, 1, 0}, v2_mesh(true));
    const VirtualDevice partial(HwVersion{0, 0xA2, 1, 0}, v2_mesh(false));
    const CompatibilityCheckerImpl on_full(full, limits), on_partial(partial, limits);
    const std::string refused = "Cannot map layer 'l'. Does not support activation type '";
    const std::string no_lut = "Cannot map layer 'l'. Lookup tables are missing on some NPs.";
    struct Case {
        LayerType type;
        int activation;
        std::string on_full, on_partial;
    };
    const Case cases[] = {
        {LayerType::Dense1D, 1, "Success.", "Success."},
        {LayerType::Dense1D, 2, refused + "LUT'.",
         refused + "LUT'. Lookup tables are missing on some NPs."},
        {LayerType::Dense1D, 3, refused + "Unknown'.", refused + "Unknown'."},
        {LayerType::Quantizer, -1, refused + "Unknown'.", refused + "Unknown'."},
        // Layers on a CNP or the HRC take any activation type; a LUT still
        // needs every NP to have its table.
        {LayerType::Conv2D, 3, "Success.", "Success."},
        {LayerType::Conv2D, 2, "Success.", no_lut},
        {LayerType::InputConv2D, 3, "Success.", "Success."},
    };
    for (const Case& k : cases) {
        const auto l = make_layer(k.type, "l", {{"activation", k.activation}});
        EXPECT_EQ(on_full.check_supported_activation(*l).to_string(), k.on_full) << k.activation;
        EXPECT_EQ(on_partial.check_supported_activation(*l).to_string(), k.on_partial)
            << k.activation;
    }
    const AlwaysActivated none(LayerType::Dense1D, {{"activation", 0}}, "l");
    EXPECT_EQ(on_full.check_supported_activation(none).to_string(), refused + "NoActivation'.");
    EXPECT_EQ((std::vector<std::string>{activation_type_name(0), activation_type_name(1),
                                        activation_type_name(2), activation_type_name(3)}),
              (std::vector<std::string>{"NoActivation", "ReLU", "LUT", "Unknown"}));
}

}  // namespace
