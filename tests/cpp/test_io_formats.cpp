#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/variables.h"
#include "program/io_formats.h"
#include "test_support.h"

namespace vorna {
namespace {

std::shared_ptr<Layer> add(Model& model, LayerType type, const std::string& name,
                           const std::map<std::string, int>& params) {
    auto p = LayerParams::create(type, params);
    std::shared_ptr<Layer> layer = Layer::create(p.get(), name);
    model.add(layer, {});
    return layer;
}

std::shared_ptr<Layer> input(Model& model, int bits) {
    return add(
        model, LayerType::InputData, "input",
        {{"input_width", 4}, {"input_height", 4}, {"input_channels", 3}, {"input_bits", bits}});
}

template <class T>
void set(Layer& layer, const std::string& name, TensorType type, const std::vector<T>& values) {
    auto t =
        Dense::create(type, Shape{static_cast<uint32_t>(values.size())}, Dense::Layout::RowMajor);
    for (size_t i = 0; i < values.size(); ++i) t->template data<T>()[i] = values[i];
    test_support::set_any_shape(layer.variables(), name, std::shared_ptr<Tensor>(std::move(t)));
}

TEST(IoFormats, InputSideOfAnOrdinaryFirstLayer) {
    for (int bits : {4, 8}) {
        auto model = Model::create();
        auto first = input(*model, bits);
        EXPECT_EQ(io::input_bits(*first), bits);
        EXPECT_EQ(io::input_sign(*first), bits == 8) << bits;
        EXPECT_FALSE(io::input_channels_first(*first));
        EXPECT_TRUE(io::format_input_scales(*first).empty());
        EXPECT_TRUE(io::format_input_zero_points(*first).empty());
    }
    // An 8-bit layer that targets the HRC reads unsigned input.
    auto model = Model::create();
    input(*model, 8);
    auto hrc = add(*model, LayerType::InputConv2D, "hrc", {{"filters", 4}, {"kernel_size", 3}});
    ASSERT_TRUE(hrc->is_target_component(TargetComponent::HRC));
    EXPECT_EQ(io::input_bits(*hrc), 8);
    EXPECT_FALSE(io::input_sign(*hrc));
}

TEST(IoFormats, QuantizerFirstLayer) {
    auto model = Model::create();
    auto q = add(*model, LayerType::Quantizer, "q",
                 {{"input_width", 4},
                  {"input_height", 4},
                  {"input_channels", 3},
                  {"output_bits", 4},
                  {"output_signed", 1},
                  {"channels_first", 1}});
    set<float>(*q, "scales", TensorType::float32, {0.5f, 0.25f, 2.0f});
    set<uint8_t>(*q, "zero_points", TensorType::uint8, {1, 2, 200});
    EXPECT_EQ(io::input_bits(*q), 4);
    EXPECT_TRUE(io::input_sign(*q));  // the Quantizer's output sign, whatever the bit width
    EXPECT_TRUE(io::input_channels_first(*q));
    EXPECT_EQ(io::format_input_scales(*q), (std::vector<float>{0.5f, 0.25f, 2.0f}));
    EXPECT_EQ(io::format_input_zero_points(*q), (std::vector<uint8_t>{1, 2, 200}));

    set<int8_t>(*q, "zero_points", TensorType::int8, {1, 2, 3});
    try {
        io::format_input_zero_points(*q);
        FAIL() << "expected a type error";
    } catch (const std::runtime_error& e) {
        const std::string text = e.what();
        EXPECT_EQ(text.rfind("Wrong requested type ", 0), 0u) << text;
        EXPECT_NE(text.find(" for a tensor of type int8."), std::string::npos) << text;
    }
}

TEST(IoFormats, DequantizerLastLayer) {
    auto model = Model::create();
    input(*model, 8);
    auto d = add(*model, LayerType::Dequantizer, "d", {});
    std::vector<float> scales(10);
    for (size_t i = 0; i < scales.size(); ++i) scales[i] = 0.125f * static_cast<float>(i + 1);
    set<float>(*d, "scales", TensorType::float32, scales);
    EXPECT_EQ(io::format_output_shift(*d), std::vector<int32_t>(10, 0));
    EXPECT_EQ(io::format_output_scales(*d), scales);

    // Only the first dimension of "scales" is read for the shifts.
    set<int32_t>(*d, "scales", TensorType::int32, {7, 8, 9});
    EXPECT_EQ(io::format_output_shift(*d), std::vector<int32_t>(3, 0));
    EXPECT_THROW(io::format_output_scales(*d), std::runtime_error);
}

TEST(IoFormats, ThresholdedOutputWithoutActivation) {
    auto model = Model::create();
    input(*model, 8);
    auto fc = add(*model, LayerType::FullyConnected, "fc",
                  {{"units", 4}, {"weights_bits", 2}, {"activation", 0}});
    ASSERT_EQ(fc->output_format(), 1);
    set<int32_t>(*fc, "threshold", TensorType::int32, {5, -6, 7, 0});
    set<float>(*fc, "act_step", TensorType::float32, {4.0f, 0.5f, 0.0f, -0.0f});
    EXPECT_EQ(io::format_output_shift(*fc), (std::vector<int32_t>{5, -6, 7, 0}));
    const std::vector<float> scales = io::format_output_scales(*fc);
    ASSERT_EQ(scales.size(), 4u);
    EXPECT_EQ(scales[0], 0.25f);
    EXPECT_EQ(scales[1], 2.0f);
    EXPECT_EQ(scales[2], 0.0f);  // a zero step stays zero, not an infinity
    EXPECT_FALSE(std::isinf(scales[2]));
    EXPECT_TRUE(std::signbit(scales[3]));
}

TEST(IoFormats, NoOutputFormatsWithActivationOrAnotherOutputKind) {
    auto model = Model::create();
    input(*model, 8);
    auto fc = add(*model, LayerType::FullyConnected, "fc",
                  {{"units", 4}, {"weights_bits", 2}, {"activation", 1}});
    EXPECT_TRUE(io::format_output_shift(*fc).empty());
    EXPECT_TRUE(io::format_output_scales(*fc).empty());

    auto model2 = Model::create();
    input(*model2, 8);
    auto conv = add(*model2, LayerType::Conv2D, "conv",
                    {{"filters", 4}, {"kernel_size", 3}, {"activation", 0}});
    ASSERT_NE(conv->output_format(), 1);
    EXPECT_TRUE(io::format_output_shift(*conv).empty());
    EXPECT_TRUE(io::format_output_scales(*conv).empty());
}

}  // namespace
}  // namespace vorna
