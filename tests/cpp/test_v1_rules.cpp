#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <typeinfo>
#include <vector>

#include "backend/v1/compatibility_checker.h"
#include "backend/v1/rules.h"
#include "v1_test_util.h"

namespace {

using namespace vorna;
using namespace vorna::v1;
using namespace v1check_test;

// "" for a success, else the status text without the layer prefix.
std::string text_of(const MappingStatus& status, const std::string& name) {
    if (!status.error) return status.to_string() == "Success." ? "" : "<bad success text>";
    const std::string prefix = "Cannot map layer '" + name + "'. ";
    const std::string s = status.to_string();
    return s.rfind(prefix, 0) == 0 ? s.substr(prefix.size()) : "<other layer> " + s;
}

struct Checker {
    explicit Checker(const HwVersion& version = XVR2200_v1,
                     const HardwareConstraints& limits = v1_limits())
        : device(v1_device(version)), constraints(limits), checker(*device, constraints) {}
    std::shared_ptr<Device> device;
    HardwareConstraints constraints;
    CompatibilityCheckerImpl checker;

    std::string check(const Layer& layer) const {
        return text_of(checker.check_layer_compatibility(layer, nullptr, device->version()),
                       layer.get_name());
    }
};

// --- Dispatch ----------------------------------------------------------------

TEST(V1Checker, VersionRejectionAndUnsupportedKinds) {
    Chain net;
    auto in = net.input(8, 8, 4, 4);
    auto v2conv = net.add(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, "c2");
    auto dense = net.add(LayerType::Dense1D, {{"units", 4}}, "d1");
    auto deq = net.add(LayerType::Dequantizer, {}, "deq");

    EXPECT_EQ(Checker(Tarn_v1).check(*in),
              "Tarn_v1 is not supported on this version. Please install vorna 2.0.5 instead.");
    EXPECT_EQ(Checker(Tarn_v2).check(*in), "");
    EXPECT_EQ(Checker().check(*deq), "");
    EXPECT_EQ(Checker().check(*v2conv), "Unsupported layer type on Vorna v1.");
    EXPECT_EQ(Checker().check(*dense), "Unsupported layer type on Vorna v1.");
}

Params with(Params base, const Params& more) {
    for (const auto& [k, v] : more) base[k] = v;
    return base;
}

void set_act_step(Layer& layer, float value) {
    dense_var(layer, "act_step").data<float>()[3] = value;
}

TEST(V1Checker, InputConvolutionalRules) {
    struct Case {
        const char* changes;
        std::string expected;
        float act_step = 0;  // written to one element when not 0
    };
    const Case cases[] = {
        {"", ""},
        {"kernel_width=4 kernel_height=4 filters=1000", "Kernel size should be 3, 5 or 7."},
        {"filters=193", "The parameter num_neurons should be set between 1 and 192."},
        {"filters=193 input_channels=1", ""},
        {"kernel_width=5 kernel_height=5 filters=192 input_channels=1", ""},
        {"kernel_width=5 kernel_height=5 filters=193 input_channels=1",
         "The parameter num_neurons should be set between 1 and 192."},
        {"kernel_width=7 kernel_height=7 filters=33",
         "The parameter num_neurons should be set between 1 and 32."},
        {"kernel_height=5 stride_x=0 input_channels=2 pool_type=2",
         "Kernel size should be symmetric. The parameter input_channels must be 1 or 3. The "
         "parameter stride_x should be 1, 2 or 3. The parameter pool_type cannot be Average."},
        {"act_bits=3 stride_y=4",
         "The parameter act_bits should be 1, 2 or 4. The parameter stride_y should be 1, 2 or 3."},
        {"input_height=4", "Input second dimension size cannot be smaller than 5."},
        {"padding=0 input_height=4",
         "With valid padding, a 3 kernel size and a 1 kernel stride, input second dimension size "
         "cannot be smaller than 5."},
        {"padding=0 kernel_width=7 kernel_height=7 stride_y=2 input_height=8",
         "With valid padding, a 7 kernel size and a 2 kernel stride, input second dimension size "
         "cannot be smaller than 9."},
        {"input_width=4 kernel_width=5 kernel_height=5",
         "Input first dimension size cannot be smaller than 5. Input first dimension size cannot "
         "be smaller than kernel size."},
        {"input_width=5 input_height=5 kernel_width=5 kernel_height=5", ""},
        {"input_height=300", "The maximum input second dimension size is 256 (got 300)."},
        {"pool_type=1 pooling_width=3 pooling_height=0",
         "The parameter pooling_y should be 1 or 2. The parameter pooling_x should be 1 or 2."},
        {"pool_type=1 pooling_width=2 pooling_height=2 pooling_stride_x=1",
         "The parameter pool_size and pool_stride should be equal."},
        {"pool_type=1 pooling_width=2 pooling_height=2", ""},
        {"pool_type=1 pooling_width=2 pooling_height=2 input_height=2",
         "Input second dimension size cannot be smaller than 5. With max pooling, output second "
         "dimension size must be at least 2."},
        {"activation=0 act_bits=3",
         "The first convolutional layer of a model can only be mapped if its activations are "
         "enabled."},
        {"", "All weights in a hrc layer cannot be zeroes.", -1},
        {"", "The parameter act_step should be between 0 and 1048575. Receives act_step 1048576.",
         1048576.0f},
        {"", "", 1048575.9f},
        {"stride_x=4", "The parameter stride_x should be 1, 2 or 3.", 1048576.0f}};
    for (const Case& k : cases) {
        Chain net;
        auto hrc = net.add(LayerType::InputConvolutional, hrc_params(P(k.changes)), "hrc");
        fill_i8(*hrc, "weights", k.act_step < 0 ? 0 : 1);
        if (k.act_step > 0) set_act_step(*hrc, k.act_step);
        EXPECT_EQ(Checker().check(*hrc), k.expected) << k.changes << " " << k.act_step;
    }
}

const LayerType STD = LayerType::Convolutional;
const LayerType SEP = LayerType::SeparableConvolutional;
const Params MAX2 = P("pool_type=1 pooling_width=2 pooling_height=2");
const Params GAP = P("pool_type=2 pooling_width=-1 pooling_height=-1");

TEST(V1Checker, ConvolutionalRules) {
    struct Case {
        LayerType type;
        Shape input;
        const char* changes;
        std::string expected;
        HwVersion version = XVR2200_v1;
    };
    const Shape s16{16, 16, 8};
    const Case cases[] = {
        {STD, s16, "", ""},
        {SEP, s16, "", ""},
        {STD, s16, "filters=3000 kernel_width=5 kernel_height=3 stride_y=2 weights_bits=3",
         "The maximum number of filters is 2048 (got 3000). Kernel width and height must be "
         "equal. Horizontal and vertical strides must be equal."},
        {STD, Shape{4097, 1, 2049}, "",
         "The maximum input width is 4096 (got 4097). The maximum input channel value is 2048 "
         "(got 2049)."},
        {STD, s16, "stride_x=2 stride_y=2 kernel_width=5 kernel_height=5",
         "Convolution stride 2 is only supported for 3x3 kernels."},
        {STD, s16, "stride_x=2 stride_y=2", ""},
        {STD, s16, "stride_x=3 stride_y=3", "Convolution stride must be 1 or 2."},
        {STD, s16, "stride_x=0 stride_y=0", ""},
        {STD, s16, "padding=0", "Only padding same is supported."},
        {STD, s16, "pool_type=1 pooling_width=3 pooling_height=3",
         "Pooling size 3 is not supported on Tarn_v2.", Tarn_v2},
        {STD, s16, "pool_type=1 pooling_width=3 pooling_height=3", ""},
        {STD, s16, "pool_type=1 pooling_width=4 pooling_height=4",
         "Pooling size must be 1, 2 or 3."},
        {STD, s16, "pool_type=1 pooling_width=2 pooling_height=3",
         "Pooling width and height must be equal. Pooling stride x and y must be equal."},
        {STD, s16,
         "pool_type=1 pooling_width=2 pooling_height=2 pooling_stride_x=3 "
         "pooling_stride_y=3",
         "Pooling stride must be equal or lower than pooling size."},
        {STD, Shape{1, 5, 8}, "pool_type=1 pooling_width=2 pooling_height=2",
         "Pooling size cannot be greater than input dimensions."},
        {STD, s16, "pool_type=2 pooling_width=2 pooling_height=2",
         "Average pooling must be global."},
        {STD, Shape{33, 16, 8}, "pool_type=2 pooling_width=-1 pooling_height=-1",
         "With average pooling, input height cannot exceed 32."},
        {STD, Shape{32, 16, 8}, "pool_type=2 pooling_width=-1 pooling_height=-1", ""},
        {STD, Shape{16, 2, 8}, "pool_type=2 pooling_width=-1 pooling_height=-1",
         "When using Global Average Pooling, the output of the convolution must have at least 3 "
         "rows (currently 2)."},
        // 32 4-bit values: 16 bytes x 2048 channels = 8192 words per row, x 32 rows.
        {STD, Shape{32, 32, 2048}, "pool_type=2 pooling_width=-1 pooling_height=-1",
         "With average pooling, spatial split is impossible."},
        {STD, s16, "kernel_width=2 kernel_height=2", "Kernel size must be 1, 3, 5 or 7."},
        {STD, s16, "weights_bits=3", "Standard CNP weights bitwidth must be 1, 2 or 4."},
        {SEP, s16, "kernel_width=1 kernel_height=1", "Kernel size must be 3, 5 or 7."},
        {SEP, s16, "weights_bits=1", "Separable CNP weights bitwidth must be 2 or 4."}};
    for (const Case& k : cases) {
        Chain net;
        net.input(k.input.dims[0], k.input.dims[1], k.input.dims[2], 4);
        auto layer = net.add(k.type, conv_params(P(k.changes)), "cnp");
        fill_i8(*layer, "weights", 1);
        if (k.type == SEP) fill_i8(*layer, "weights_pw", 1);
        EXPECT_EQ(Checker(k.version).check(*layer), k.expected) << k.changes;
    }
}

TEST(V1Checker, CnpWeightsTooBigForTheSram) {
    HardwareConstraints tiny = v1_limits();
    tiny.weight_sram_size = 0;
    const Checker checker(XVR2200_v1, tiny);
    const std::string too_big =
        "Filter size is too big to fit in a CNP: try decreasing the input channels or the "
        "bitwidth.";
    Chain net;
    net.input(16, 16, 8, 4);
    auto conv = net.add(STD, conv_params(), "conv");
    auto sep = net.add(SEP, conv_params(), "sep");
    fill_i8(*conv, "weights", 1);
    EXPECT_EQ(checker.check(*conv), too_big);
    // The depthwise weights are examined after the size rule, the pointwise
    // ones only when everything else passed.
    fill_i8(*sep, "weights", 1);
    fill_i8(*sep, "weights_pw", 1);
    EXPECT_EQ(checker.check(*sep), too_big);
    fill_i8(*sep, "weights", 0);
    EXPECT_EQ(checker.check(*sep),
              too_big + " All weights in a separable CNP layer cannot be zeroes.");
    EXPECT_FALSE(checker.checker.is_weights_size_fit_np(*conv, 1));
    EXPECT_TRUE(Checker().checker.is_weights_size_fit_np(*conv, 16));
}

TEST(V1Checker, SeparableZeroWeights) {
    Chain net;
    net.input(16, 16, 8, 4);
    auto sep = net.add(SEP, conv_params(), "sep");
    const std::string zero = "All weights in a separable CNP layer cannot be zeroes.";
    EXPECT_EQ(Checker().check(*sep), zero);  // both zero: reported once
    fill_i8(*sep, "weights", 1);
    EXPECT_EQ(Checker().check(*sep), zero);  // pointwise zero
    fill_i8(*sep, "weights_pw", 1);
    EXPECT_EQ(Checker().check(*sep), "");
}

// --- FullyConnected --------------------------------------------------------------

TEST(V1Checker, FullyConnectedRules) {
    struct Case {
        Shape input;
        int input_bits;
        const char* changes;
        std::string expected;
        int weight = 1;  // written to one element
        HwVersion version = XVR2200_v1;
    };
    const std::string too_large =
        "Input dimensions are too large to fit in a FNP. The maximum "
        "value is ";
    const Case cases[] = {
        {Shape{4, 4, 8}, 1, "", ""},
        {Shape{256, 256, 2}, 1, "", too_large + "81920."},
        {Shape{256, 256, 2}, 1, "", too_large + "57334.", 1, Tarn_v2},
        {Shape{1, 1, 4000}, 2, "", ""},  // a flat input skips the dimension rule
        {Shape{1, 5000, 1}, 2, "", "The maximum input height is 4096 (got 5000)."},
        {Shape{4, 4, 8}, 8, "weights_bits=5 act_bits=3",
         "Input bitwidth should be 1, 2 or 4. Weight bits should be between 1 and 4 inclusive. "
         "act_bits should be 1, 2 or 4."},
        {Shape{4, 4, 8}, 1, "weights_bits=0", "Weight bits should be between 1 and 4 inclusive."},
        {Shape{4, 4, 8}, 1, "activation=0 act_bits=3", ""},
        {Shape{4, 4, 8}, 1, "weights_bits=1",
         "Weights contain values out of range (-1, 3) (e.g.: 2).", 2},
        {Shape{4, 4, 8}, 1, "weights_bits=4",
         "Weights contain values out of range (-7, 9) (e.g.: -8).", -8},
        {Shape{4, 4, 8}, 1, "weights_bits=4", "", -7}};
    for (const Case& k : cases) {
        Chain net;
        net.input(k.input.dims[0], k.input.dims[1], k.input.dims[2], k.input_bits);
        auto fc = net.add(LayerType::FullyConnected,
                          with(P("units=4 weights_bits=2"), P(k.changes)), "fc");
        fill_i8(*fc, "weights", 1);
        dense_var(*fc, "weights").data<int8_t>()[5] = int8_t(k.weight);
        EXPECT_EQ(Checker(k.version).check(*fc), k.expected) << k.changes;
        // The rules every FNP layer shares stop before the weight values.
        const Checker c(k.version);
        const bool weight_rule = k.expected.rfind("Weights contain", 0) == 0;
        EXPECT_EQ(text_of(c.checker.check_fnp_common_constraints(*fc, k.version), "fc"),
                  weight_rule ? "" : k.expected)
            << k.changes;
    }
}

TEST(V1Checker, FcInputMemory) {
    HardwareConstraints small = v1_limits();
    small.fnp_input_sram_size = 3;
    Chain net;
    auto in = net.input(4, 4, 8, 1);
    auto fc = net.add(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 2}}, "fc");
    fill_i8(*fc, "weights", 1);
    // 128 values: 4 words.
    EXPECT_EQ(Checker(XVR2200_v1, small).check(*fc),
              "Input size exceeds memory. Maximum size is 12 bytes. (got 16 bytes).");
    // The checker's own limits, not the device's.
    const Checker tight(XVR2200_v1, small);
    EXPECT_EQ(text_of(tight.checker.check_fnp_common_constraints(*fc, XVR2200_v1), "fc"),
              "Input size exceeds memory. Maximum size is 12 bytes. (got 16 bytes).");
    EXPECT_THROW(tight.checker.check_fnp_common_constraints(*in, XVR2200_v1), std::bad_cast);
    small.fnp_input_sram_size = 4;
    EXPECT_EQ(Checker(XVR2200_v1, small).check(*fc), "");
}

TEST(V1Checker, FcLearningWeightsPerNeuron) {
    Chain net;
    net.input(1, 1, 32, 1);
    auto fc = net.add(LayerType::FullyConnected, {{"units", 3}, {"weights_bits", 1}}, "fc");
    Dense& w = dense_var(*fc, "weights");
    // Neuron k has 10 non-zero inputs among its 32.
    for (uint32_t k = 0; k < 3; ++k) {
        for (uint32_t j = 0; j < 10; ++j) w.data<int8_t>()[w.offset_of({k, j * 3})] = 1;
    }
    EXPECT_EQ(Checker().check(*fc), "");  // no learning: the count is not checked
    net.model().compile(
        LearningParams::create(LearningType::Unsupervised, {{"num_weights", 10.9}}));
    ASSERT_TRUE(fc->can_learn());
    EXPECT_EQ(Checker().check(*fc), "");
    const std::string mismatch =
        "The number of weights per neuron should match the num_weights VornaUnsupervised "
        "parameter.";
    w.data<int8_t>()[w.offset_of({2, 31})] = -1;  // 11 on the last neuron
    EXPECT_EQ(Checker().check(*fc), mismatch);
    w.data<int8_t>()[w.offset_of({2, 31})] = 0;
    w.data<int8_t>()[w.offset_of({1, 0})] = 0;  // 9 on the second neuron
    EXPECT_EQ(Checker().check(*fc), mismatch);
}

// --- Sizing questions --------------------------------------------------------------

TEST(V1Checker, InputSramFits) {
    const Checker c;
    const auto& k = c.checker;
    // 32 8-bit values x 1 channel: 8 words per row.
    EXPECT_TRUE(k.is_sram_input_fit_single_buffer(hw::Type::CNP1, 1344, 32, 1, 0, 8, 0));
    EXPECT_FALSE(k.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 1344, 32, 1, 0, 8, 0));
    EXPECT_TRUE(k.is_sram_input_fit_dual_buffer(hw::Type::FNP3, 672, 32, 1, 9, 8, 9));
    EXPECT_FALSE(k.is_sram_input_fit_dual_buffer(hw::Type::CNP2, 673, 32, 1, 0, 8, 0));
    // One row of 43012 bytes: 10753 words.
    EXPECT_FALSE(k.is_sram_input_fit_single_buffer(hw::Type::CNP1, 1, 43012, 1, 0, 8, 0));
    EXPECT_TRUE(k.is_sram_input_fit_single_buffer(hw::Type::CNP1, 1, 43008, 1, 0, 8, 0));
}

TEST(V1Checker, SplitParams) {
    const Checker c;
    auto p7 = LayerParams::create(LayerType::Convolutional,
                                  P("kernel_width=7 kernel_height=7 pool_type=1 pooling_width=2 "
                                    "pooling_height=3 filters=40"));
    for (hw::Type t : {hw::Type::CNP1, hw::Type::CNP2, hw::Type::FNP3}) {
        const NpSplitParams s = c.checker.np_split_params(t, *p7);
        EXPECT_EQ(
            std::vector<uint32_t>({s.border_left, s.border_right, s.border_top, s.border_bottom,
                                   s.pool_type, s.pool_width, s.pool_height, s.filters}),
            std::vector<uint32_t>({3, 3, 3, 3, 1, 2, 3, 40}));
    }
    auto p1 = LayerParams::create(
        LayerType::Convolutional,
        P("kernel_width=1 kernel_height=5 pool_type=0 pooling_width=1 pooling_height=1 filters=8"));
    const NpSplitParams s = c.checker.np_split_params(hw::Type::CNP1, *p1);
    EXPECT_EQ(s.border_left, 0u);
    EXPECT_EQ(s.border_top, 2u);
}

TEST(V1Checker, Fnp3FitUsesTheGivenConstraints) {
    Chain net;
    net.input(10, 10, 1, 1);
    auto fc = net.add(LayerType::FullyConnected, {{"units", 10}, {"weights_bits", 1}}, "fc");
    HardwareConstraints hc = v1_limits();
    hc.fnp3_sram_size = 80;  // 10 neurons x (4 words x 1 plane + 4)
    HardwareConstraints held = v1_limits();
    held.fnp3_sram_size = 0;
    const Checker c(XVR2200_v1, held);
    EXPECT_TRUE(c.checker.check_fnp3_sram_size(hc, *fc));
    hc.fnp3_sram_size = 79;
    EXPECT_FALSE(c.checker.check_fnp3_sram_size(hc, *fc));
}

// --- Layer sequences ---------------------------------------------------------------

std::string sequence_text(const std::vector<std::shared_ptr<Layer>>& run, const std::string& name) {
    const Checker c;
    return text_of(c.checker.check_layer_sequence(run.begin(), run.end(), XVR2200_v1), name);
}

TEST(V1CheckerSequence, MaxPoolingRules) {
    Chain net;
    net.input(16, 16, 8, 4);
    auto pooled = net.add(STD, conv_params(MAX2), "pooled");
    auto fc = net.add(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 2}}, "fc");
    EXPECT_EQ(sequence_text({pooled}, "pooled"),
              "A convolutional or separable convolutional layer with max pooling cannot be the "
              "last layer of a sequence.");
    EXPECT_EQ(sequence_text({pooled, fc}, "fc"),
              "A convolutional or separable convolutional layer with max pooling must be followed "
              "by another convolutional or separable convolutional layer. Layer 'pooled' has max "
              "pooling.");
    EXPECT_EQ(sequence_text({fc}, ""), "");  // its pooled predecessor is not in the run

    Chain net2;
    net2.input(16, 16, 8, 4);
    auto first = net2.add(STD, conv_params(MAX2), "first");
    auto sep = net2.add(SEP, conv_params(), "sep");
    auto gap = net2.add(STD, conv_params(GAP), "gap");
    EXPECT_EQ(sequence_text({first, sep}, ""), "");
    EXPECT_EQ(sequence_text({first, sep, gap}, ""), "");  // average pooling may end a run
}

TEST(V1CheckerSequence, PredecessorsLaterInTheRun) {
    // A pooled predecessor counts wherever it sits in the run; the first
    // failing layer, and its first failing predecessor, are reported.
    Chain net;
    auto in = net.input(16, 16, 8, 4);
    auto p1 = net.add(STD, conv_params(MAX2), "p1");
    auto p2 = net.add(STD, conv_params(MAX2), "p2", {in});
    auto cat = net.add(LayerType::Concatenate, {}, "cat", {p1, p2});
    auto c = net.add(STD, conv_params(), "c", {in});
    auto c2 = net.add(STD, conv_params(), "c2", {in});
    const std::string last =
        "A convolutional or separable convolutional layer with max pooling cannot be the last "
        "layer of a sequence.";
    const auto followed = [](const char* pooled) {
        return std::string(
                   "A convolutional or separable convolutional layer with max pooling must be "
                   "followed by another convolutional or separable convolutional layer. Layer '") +
               pooled + "' has max pooling.";
    };
    const std::vector<std::shared_ptr<Layer>> run{cat, p2, c, p1, c2};
    const std::vector<std::pair<std::string, std::string>> expected{
        {"", ""}, {"p2", last}, {"cat", followed("p2")}, {"p1", last}, {"cat", followed("p1")}};
    const Checker k;
    const auto prefixes =
        k.checker.check_layer_sequence_prefixes(run.begin(), run.end(), XVR2200_v1);
    ASSERT_EQ(prefixes.size(), run.size());
    for (size_t n = 0; n < run.size(); ++n) {
        const auto& [name, text] = expected[n];
        EXPECT_EQ(text_of(prefixes[n], name), text) << n;
        EXPECT_EQ(sequence_text({run.begin(), run.begin() + std::ptrdiff_t(n + 1)}, name), text)
            << n;
    }
}

// --- Layer mappings ------------------------------------------------------------------

std::string mapping_text(const Layer& layer, const std::vector<hw::Component>& components,
                         const HwVersion& version = XVR2200_v1) {
    const Checker c(version);
    return text_of(c.checker.check_layer_mappings(layer, components, false), layer.get_name());
}

hw::Component part(uint8_t col, int32_t x, int32_t y, uint32_t width, uint32_t filters = 16) {
    return cnp(col, filters, space(x, y, width, 8, 8), space(x, y, width, 8, 8));
}

TEST(V1CheckerMappings, InputWidth) {
    Chain net;
    auto in = net.input(64, 16, 8, 4);
    auto conv = net.add(STD, conv_params(), "conv");
    EXPECT_EQ(mapping_text(*conv, {part(1, 0, 0, 30)}), "");
    EXPECT_EQ(mapping_text(*conv, {part(1, 0, 0, 33)}),
              "The input length 36 exceeds the maximum value for NP input width: 32.");
    EXPECT_EQ(mapping_text(*conv, {part(1, 0, 0, 40), part(2, 0, 8, 32), part(3, 0, 0, 48)}),
              "The input length 48 exceeds the maximum value for NP input width: 32.");
    EXPECT_EQ(mapping_text(*in, {}), "unknown Layer type.");
}

TEST(V1CheckerMappings, StridedMaxPoolingAndPoolingSplit) {
    Chain net;
    net.input(32, 32, 8, 4);
    auto strided = net.add(STD, conv_params(with(MAX2, {{"stride_x", 2}, {"stride_y", 2}})), "s");
    auto pool3 = net.add(STD,
                         conv_params(P("pool_type=1 pooling_width=3 pooling_height=3 "
                                       "pooling_stride_x=2 pooling_stride_y=2")),
                         "p3");
    auto sep = net.add(SEP, conv_params(MAX2), "sep");
    const std::vector<hw::Component> single{part(1, 0, 0, 16)};
    const std::vector<hw::Component> by_filters{part(1, 0, 0, 16, 8), part(2, 0, 0, 16, 8)};
    const std::vector<hw::Component> spatial{part(1, 0, 0, 16), part(2, 0, 16, 16)};

    EXPECT_EQ(mapping_text(*strided, single), "");
    EXPECT_EQ(mapping_text(*strided, by_filters), "");
    EXPECT_EQ(mapping_text(*strided, spatial),
              "Cannot have convolution stride > 1 and max pooling if the layer is mapped on "
              "multiple NPs.");
    EXPECT_EQ(mapping_text(*pool3, single), "");
    EXPECT_EQ(mapping_text(*pool3, spatial),
              "Cannot have pooling size > pooling stride if the layer is mapped spatially on "
              "multiple NPs.");
    // A pooling stride left at its default (negative) is the pooling size; 0 is compared as
    // it is.
    EXPECT_EQ(mapping_text(*sep, spatial), "");
    auto stride0 = net.add(
        STD, conv_params(with(MAX2, {{"pooling_stride_x", 0}, {"pooling_stride_y", 0}})), "zero");
    EXPECT_EQ(mapping_text(*stride0, spatial),
              "Cannot have pooling size > pooling stride if the layer is mapped spatially on "
              "multiple NPs.");

    // A stride of 2 along either axis alone is enough to refuse the spatial split.
    for (const char* axis : {"stride_x", "stride_y"}) {
        Chain one_axis;
        one_axis.input(32, 32, 8, 4);
        auto conv = one_axis.add(STD, conv_params(with(MAX2, {{axis, 2}})), "one");
        EXPECT_EQ(mapping_text(*conv, spatial),
                  "Cannot have convolution stride > 1 and max pooling if the layer is mapped on "
                  "multiple NPs.")
            << axis;
    }
}

TEST(V1CheckerMappings, OneInputChannelOnTarnV2) {
    Chain net;
    net.input(16, 16, 1, 4);
    auto conv24 = net.add(STD, conv_params({{"filters", 24}}), "c24");
    auto conv16 = net.add(STD, conv_params(), "c16");
    const std::vector<hw::Component> split{part(1, 0, 0, 16, 8), part(2, 0, 0, 16, 16)};
    const std::string odd =
        "With one input channel, the number of neurons per NP / 8 must be even.";
    EXPECT_EQ(mapping_text(*conv24, split, Tarn_v2), odd);
    EXPECT_EQ(mapping_text(*conv24, {part(1, 0, 0, 16, 8), part(2, 0, 0, 16, 9)}, Tarn_v2),
              odd);  // 9 filters: (9 + 7) / 8 = 2 is even
    EXPECT_EQ(
        mapping_text(*conv24, {part(1, 0, 0, 16, 8), part(2, 0, 0, 16, 8), part(3, 0, 0, 16, 17)},
                     Tarn_v2),
        odd + " " + odd + " " + odd);
    EXPECT_EQ(mapping_text(*conv24, split), "");
    EXPECT_EQ(mapping_text(*conv16, split, Tarn_v2), "");
}

}  // namespace
