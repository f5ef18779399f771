// InputConv2D on the v2 HRC: the mapping constraints and the recorded program.

#include <gtest/gtest.h>

#include <string>
#include <typeinfo>
#include <vector>

#include "backend/v2/hrc.h"
#include "backend/v2/input_conv2d_constraints.h"
#include "backend/v2/input_conv2d_program.h"
#include "backend/v2/rules.h"
#include "backend/v2/shift_lut_formats.h"
#include "program/hrc_formats.h"
#include "v2_rec_test_util.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2rec_test::Block;
using v2rec_test::decode;
using v2regs_test::error_text;

class InputConvLayer : public v2regs_test::FakeConvLayer {
  public:
    using FakeConvLayer::FakeConvLayer;
    bool enabled = true;
    bool activation_enabled() const override { return enabled; }
};

std::shared_ptr<Dense> kernel(uint32_t channels, uint32_t filters, int8_t fill) {
    std::vector<int8_t> values(size_t{9} * channels * filters, fill);
    if (fill != 0) {
        for (size_t i = 0; i < values.size(); ++i) values[i] = static_cast<int8_t>(i % 5 + 1);
    }
    return std::shared_ptr<Dense>(
        Dense::copy(reinterpret_cast<const char*>(values.data()), values.size(), TensorType::int8,
                    Shape{3, 3, channels, filters}, Dense::Layout::RowMajor));
}

std::shared_ptr<InputConvLayer> base_layer() {
    auto layer = std::make_shared<InputConvLayer>(LayerType::InputConv2D,
                                                  std::map<std::string, int>{{"kernel_size", 3},
                                                                             {"kernel_stride", 2},
                                                                             {"pool_type", 0},
                                                                             {"pool_size", 0},
                                                                             {"pool_stride", 0},
                                                                             {"output_bits", 8},
                                                                             {"activation", 1},
                                                                             {"filters", 16},
                                                                             {"weights_bits", 8},
                                                                             {"padding", 0}},
                                                  "conv");
    layer->in_dims = {Shape{32, 32, 3}};
    layer->out_bits = 8;
    layer->vars.set("weights", kernel(3, 16, 1));
    return layer;
}

std::string check(const InputConvLayer& layer) {
    return check_input_conv2d_constraints(layer).to_string();
}

std::string failure(const std::string& message) { return "Cannot map layer 'conv'. " + message; }

const std::string kRule6 =
    "The first convolutional layer of a model can only be mapped if its activations are enabled.";

TEST(V2InputConvConstraints, KernelStride) {
    struct Case {
        int kernel, stride;
        std::string expected;
    };
    const std::vector<Case> cases{
        {3, 3, "Success."},
        {3, 4, failure("For a kernel size 3, the kernel stride must be smaller than 3.")},
        {7, 6, "Success."},
        {7, 7, failure("For a kernel size 7, the kernel stride must be smaller than 6.")},
        {6, 7,
         failure("Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. 6 given. "
                 "For a kernel size 6, the kernel stride must be smaller than 6.")},
        {9, 6,
         failure("Unsupported kernel size.\n The kernel size should be 3, 4, 5 or 7. 9 "
                 "given.")},
    };
    for (const Case& c : cases) {
        auto layer = base_layer();
        layer->set_param("kernel_size", c.kernel);
        layer->set_param("kernel_stride", c.stride);
        EXPECT_EQ(check(*layer), c.expected) << c.kernel << "/" << c.stride;
    }
}

TEST(V2InputConvConstraints, MaxPooling) {
    const std::string bad =
        "Unsupported max-pooling size, max-pooling stride combinaison. The only supported "
        "combinaison of (Pool_size, Pool_stride) are :(2, 2) or (3, 2). Received (";
    struct Case {
        int type, size, stride;
        std::string expected;
    };
    const std::vector<Case> cases{
        {1, 3, 2, "Success."},
        {1, 2, 2, "Success."},
        {1, 2, 1, failure(bad + "2, 1).")},
        {1, 4, 2, failure(bad + "4, 2).")},
        {2, 5, 5, "Success."},
    };
    for (const Case& c : cases) {
        auto layer = base_layer();
        layer->set_param("pool_type", c.type);
        layer->set_param("pool_size", c.size);
        layer->set_param("pool_stride", c.stride);
        EXPECT_EQ(check(*layer), c.expected) << c.size << "/" << c.stride;
    }
}

TEST(V2InputConvConstraints, InputSize) {
    const std::string x_text =
        "Unsupported input size. Received: 4 as first dimension.\n The first dimension should "
        "be >= 5.";
    auto y_text = [](uint32_t y) {
        return "Unsupported input size. Received: " + std::to_string(y) +
               " as second dimension.\n The second dimension should be between 5 and 384.";
    };
    struct Case {
        uint32_t x, y;
        std::string expected;
    };
    const std::vector<Case> cases{
        {5, 5, "Success."},          {5000, 384, "Success."},
        {4, 32, failure(x_text)},    {32, 385, failure(y_text(385))},
        {32, 4, failure(y_text(4))}, {4, 4, failure(x_text + " " + y_text(4))},
    };
    for (const Case& c : cases) {
        auto layer = base_layer();
        layer->in_dims = {Shape{c.x, c.y, 3}};
        EXPECT_EQ(check(*layer), c.expected) << c.x << "x" << c.y;
    }
}

TEST(V2InputConvConstraints, DisabledActivationHidesOutputRules) {
    auto layer = base_layer();
    layer->enabled = false;
    layer->set_param("output_bits", 2);
    layer->set_param("activation", 2);
    layer->set_param("pool_type", 1);
    layer->set_param("pool_size", 2);
    layer->set_param("pool_stride", 2);
    EXPECT_EQ(check(*layer), failure(kRule6));
}

TEST(V2InputConvConstraints, OutputBitsAndLut) {
    auto layer = base_layer();
    layer->set_param("output_bits", 2);
    EXPECT_EQ(check(*layer), failure("Output should be 4-bit or 8-bit. 2 given."));

    layer = base_layer();
    layer->set_param("output_bits", 4);
    layer->set_param("activation", 2);
    layer->set_param("pool_type", 1);
    layer->set_param("pool_size", 2);
    layer->set_param("pool_stride", 2);
    EXPECT_EQ(check(*layer), failure("4-bit activation is not supported with LUT. Max pooling is "
                                     "not supported with activation LUT."));

    layer = base_layer();
    layer->set_param("activation", 2);
    layer->set_param("pool_type", 2);
    EXPECT_EQ(check(*layer), failure("Max pooling is not supported with activation LUT."));
}

TEST(V2InputConvConstraints, Filters) {
    for (int filters : {1, 512}) {
        auto layer = base_layer();
        layer->set_param("filters", filters);
        EXPECT_EQ(check(*layer), "Success.") << filters;
    }
    for (int filters : {0, 513}) {
        auto layer = base_layer();
        layer->set_param("filters", filters);
        EXPECT_EQ(check(*layer), failure("The filters number should be set between 1 and 512. " +
                                         std::to_string(filters) + " given."));
    }
}

TEST(V2InputConvConstraints, Weights) {
    auto layer = base_layer();
    layer->vars.set("weights", kernel(3, 16, 0));
    EXPECT_EQ(check(*layer), failure("All weights cannot be zeroes."));

    layer = base_layer();
    layer->set_param("weights_bits", 4);
    EXPECT_EQ(check(*layer), failure("Only 8-bit weigths are supported."));

    layer = base_layer();
    layer->vars.set("weights", v2regs_test::f32({1.0f}));
    const std::string expected = std::string("Wrong requested type ") + typeid(int8_t).name() +
                                 " for a tensor of type float32.";
    EXPECT_EQ(error_text([&] { check_input_conv2d_constraints(*layer); }), expected);
}

TEST(V2InputConvConstraints, RulesOneFiveElevenJoined) {
    auto layer = base_layer();
    layer->set_param("kernel_size", 2);
    layer->set_param("kernel_stride", 2);
    layer->in_dims = {Shape{32, 400, 3}};
    layer->set_param("weights_bits", 4);
    EXPECT_EQ(check(*layer),
              "Cannot map layer 'conv'. Unsupported kernel size.\n The kernel size should be 3, "
              "4, 5 or 7. 2 given. Unsupported input size. Received: 400 as second dimension.\n "
              "The second dimension should be between 5 and 384. Only 8-bit weigths are "
              "supported.");
}

TEST(V2InputConvConstraints, SameUpperPadding) {
    auto layer = base_layer();
    layer->set_param("padding", 2);
    EXPECT_EQ(check(*layer), "Success.");
    for (int k : {5, 7}) {
        layer->set_param("kernel_size", k);
        EXPECT_EQ(check(*layer), "Success.") << "kernel " << k;
    }

    layer->set_param("kernel_size", 4);
    layer->set_param("kernel_stride", 1);
    EXPECT_EQ(check(*layer), failure("With SameUpper padding only kernels 3, 5, 7 are supported. "
                                     "With SameUpper padding only stride 2 is supported."));

    layer = base_layer();
    layer->set_param("padding", 2);
    layer->set_param("output_bits", 4);
    layer->out_bits = 4;
    EXPECT_EQ(check(*layer),
              failure("With SameUpper padding only 8-bit activations are supported."));
    layer->enabled = false;
    EXPECT_EQ(check(*layer), failure(kRule6));
}

template <class T>
std::shared_ptr<Dense> filled(TensorType type, size_t n, T first) {
    std::vector<T> values(n);
    for (size_t i = 0; i < n; ++i) values[i] = static_cast<T>(first + static_cast<T>(i));
    return v2regs_test::dense(type, values);
}

std::shared_ptr<InputConvLayer> recorded_layer(uint32_t channels = 3) {
    auto layer = base_layer();
    layer->set_param("filters", 2);
    layer->set_param("padding", 1);
    layer->in_dims = {Shape{32, 32, channels}};
    layer->conv.padding = PaddingParams{1, 1, 1, 1};
    auto& vars = layer->vars;
    vars.set("weights", kernel(channels, 2, 1));
    vars.set("padding_value", v2regs_test::u8({0, 0, 0}));
    vars.set("output_shift", v2regs_test::i8({1, -2}));
    vars.set("output_scales", v2regs_test::u8({3, 4}));
    vars.set("bias_shift", v2regs_test::u8({1, 2}));
    vars.set("bias", v2regs_test::i8({-5, 6}));
    return layer;
}

void make_lut(InputConvLayer& layer, const std::string& left_out = "") {
    layer.set_param("activation", 2);
    auto set = [&](const std::string& name, std::shared_ptr<Dense> value) {
        if (name != left_out) layer.vars.set(name, std::move(value));
    };
    set("lut_values", filled<int32_t>(TensorType::int32, 2048, -1024));
    set("activation_shift", v2regs_test::i8({2, 3}));
    set("activation_scales", v2regs_test::u8({7, 8}));
}

TEST(V2InputConvProgram, MissingLutVariablesNameTheLayer) {
    auto device = v2rec_test::v2_device();
    for (const char* name : {"lut_values", "activation_shift", "activation_scales"}) {
        auto layer = recorded_layer();
        make_lut(*layer, name);
        EXPECT_EQ(error_text([&] { record_program_input_conv2d_layer(*device, *layer); }),
                  std::string("InputConv2D layer 'conv' has a LUT activation but no variable '") +
                      name + "'.")
            << name;
    }
}

TEST(V2InputConvProgram, RegisterFailuresPassThrough) {
    auto device = v2rec_test::v2_device();
    auto layer = recorded_layer();
    layer->set_param("pool_type", 2);
    EXPECT_EQ(error_text([&] { record_program_input_conv2d_layer(*device, *layer); }),
              "Wrong pooling at HRC recording.");
    layer = recorded_layer();
    make_lut(*layer);
    layer->vars.set("lut_values", filled<int32_t>(TensorType::int32, 2047, 0));
    EXPECT_EQ(error_text([&] { record_program_input_conv2d_layer(*device, *layer); }),
              "Wrong size for LUT.");
}

}  // namespace
