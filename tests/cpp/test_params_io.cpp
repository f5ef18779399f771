// Layer and learning parameters, variables, and the input/output formats a
// program reads from the first and last layers.
#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/variables.h"
#include "program/io_formats.h"
#include "test_support.h"

namespace vorna {
namespace {

using test_support::kinded_error_text;
using test_support::make_layer;
using Strings = std::vector<std::string>;

TEST(Params, QueriesAndIndependentClones) {
    auto p = LayerParams::create(LayerType::Conv2D,
                                 {{"kernel_size", 3}, {"filters", 16}, {"padding", -1}});
    EXPECT_EQ(kinded_error_text([&] { p->get("weights_bits"); }),
              "invalid_argument: Parameter 'weights_bits' not found.");
    auto c = LayerParams::clone(p.get());
    c->set("filters", 12);
    c->set("act_bits", 4);
    p->set("weights_bits", 2);
    EXPECT_EQ(p->keys(), (Strings{"filters", "kernel_size", "padding", "weights_bits"}));
    EXPECT_EQ(p->get("filters"), 16);
    EXPECT_EQ(c->keys(), (Strings{"act_bits", "filters", "kernel_size", "padding"}));
    EXPECT_THROW(LayerParams::clone(nullptr), std::invalid_argument);
    // Learning values are stored exactly: the single-precision 0.1 widened.
    auto l = LearningParams::create(LearningType(3),
                                    {{"num_weights", 64.0}, {"min_plasticity", double(0.1f)}});
    auto lc = LearningParams::clone(l.get());
    EXPECT_EQ(lc->get("min_plasticity"), 0.10000000149011612);
    EXPECT_TRUE(lc->has("num_weights"));
    EXPECT_FALSE(lc->has("num_classes"));
    EXPECT_EQ(kinded_error_text([&] { lc->get("num_classes"); }),
              "invalid_argument: Parameter 'num_classes' not found.");
    EXPECT_THROW(LearningParams::clone(nullptr), std::invalid_argument);
}

std::shared_ptr<Tensor> tensor(TensorType type, Shape dims, Dense::Layout layout) {
    return Dense::create(type, dims, layout);
}

TEST(Variables, OrderRefusalsAndRetagging) {
    VariablesImpl v;
    v.set("weights", tensor(TensorType::int8, Shape{4}, Dense::Layout::RowMajor));
    v.set("bias", tensor(TensorType::int8, Shape{2}, Dense::Layout::RowMajor));
    auto replacement = tensor(TensorType::uint8, Shape{3}, Dense::Layout::RowMajor);
    v.set("weights", replacement);  // keeps its place
    EXPECT_EQ(v.names(), (Strings{"weights", "bias"}));
    EXPECT_EQ(v.get("weights"), replacement);
    EXPECT_EQ(v.count(), 2u);
    EXPECT_EQ(kinded_error_text([&] { v.get("threshold"); }),
              "invalid_argument: Variable 'threshold' not found.");
    EXPECT_THROW(v.set("b", nullptr), std::invalid_argument);
    EXPECT_THROW(v.set("bias", nullptr), std::invalid_argument);
    EXPECT_FALSE(v.has("b"));

    // A first-dimension-fastest variable read out row-major with reversed dims
    // and written back keeps its own dims and layout and the same elements.
    VariablesImpl vars;
    auto weights = Dense::create(TensorType::int8, Shape{2, 3}, Dense::Layout::ColMajor);
    for (uint32_t i = 0; i < 6; ++i) weights->data<int8_t>()[i] = int8_t(i + 1);
    vars.set("weights", std::shared_ptr<Tensor>(std::move(weights)));
    const auto& bytes = std::dynamic_pointer_cast<Dense>(vars.get("weights"))->buffer();
    vars.set("weights", Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(),
                                    TensorType::int4, Shape{3, 2}, Dense::Layout::RowMajor));
    auto now = std::dynamic_pointer_cast<Dense>(vars.get("weights"));
    EXPECT_EQ(now->dimensions(), (Shape{2, 3}));
    EXPECT_EQ(now->layout(), Dense::Layout::ColMajor);
    EXPECT_EQ(now->type(), TensorType::int4);
    EXPECT_EQ(now->get<int8_t>({1, 2}), 6);
    EXPECT_EQ(now->get<int8_t>({0, 1}), 3);
    vars.set("weights", tensor(TensorType::int8, Shape{4}, Dense::Layout::RowMajor));
    EXPECT_EQ(vars.get("weights")->dimensions(), (Shape{4}));
}

std::shared_ptr<Layer> add(Model& model, LayerType type, const std::map<std::string, int>& params) {
    auto layer = make_layer(type, params, "l" + std::to_string(model.layer_count()));
    model.add(layer, {});
    return layer;
}

std::shared_ptr<Layer> input(Model& model, int bits) {
    return add(
        model, LayerType::InputData,
        {{"input_width", 4}, {"input_height", 4}, {"input_channels", 3}, {"input_bits", bits}});
}

template <class T>
void set(Layer& layer, const std::string& name, TensorType type, const std::vector<T>& values) {
    auto t = Dense::create(type, Shape{uint32_t(values.size())}, Dense::Layout::RowMajor);
    for (size_t i = 0; i < values.size(); ++i) t->template data<T>()[i] = values[i];
    test_support::set_any_shape(layer.variables(), name, std::shared_ptr<Tensor>(std::move(t)));
}

TEST(IoFormats, InputSide) {
    for (int bits : {4, 8}) {
        auto model = Model::create();
        auto first = input(*model, bits);
        EXPECT_EQ(io::input_bits(*first), bits);
        EXPECT_EQ(io::input_sign(*first), bits == 8) << bits;
        EXPECT_FALSE(io::input_channels_first(*first));
        EXPECT_TRUE(io::format_input_scales(*first).empty());
        EXPECT_TRUE(io::format_input_zero_points(*first).empty());
        // An 8-bit layer on the HRC reads unsigned input.
        auto hrc = add(*model, LayerType::InputConv2D, {{"filters", 4}, {"kernel_size", 3}});
        EXPECT_EQ(io::input_bits(*hrc), 8);
        EXPECT_FALSE(io::input_sign(*hrc));
    }
    auto model = Model::create();
    auto q = add(*model, LayerType::Quantizer,
                 {{"input_width", 4},
                  {"input_height", 4},
                  {"input_channels", 3},
                  {"output_bits", 4},
                  {"output_signed", 1},
                  {"channels_first", 1}});
    set<float>(*q, "scales", TensorType::float32, {0.5f, 0.25f, 2.0f});
    set<uint8_t>(*q, "zero_points", TensorType::uint8, {1, 2, 200});
    EXPECT_EQ(io::input_bits(*q), 4);
    EXPECT_TRUE(io::input_sign(*q));  // the Quantizer's output sign
    EXPECT_TRUE(io::input_channels_first(*q));
    EXPECT_EQ(io::format_input_scales(*q), (std::vector<float>{0.5f, 0.25f, 2.0f}));
    EXPECT_EQ(io::format_input_zero_points(*q), (std::vector<uint8_t>{1, 2, 200}));
    set<int8_t>(*q, "zero_points", TensorType::int8, {1, 2, 3});
    EXPECT_EQ(kinded_error_text([&] { io::format_input_zero_points(*q); }),
              "runtime_error: Wrong requested type h for a tensor of type int8.");
}

TEST(IoFormats, OutputSide) {
    auto model = Model::create();
    input(*model, 8);
    auto d = add(*model, LayerType::Dequantizer, {});
    set<float>(*d, "scales", TensorType::float32, {0.125f, 0.25f, 3.0f});
    EXPECT_EQ(io::format_output_shift(*d), std::vector<int32_t>(3, 0));
    EXPECT_EQ(io::format_output_scales(*d), (std::vector<float>{0.125f, 0.25f, 3.0f}));
    set<int32_t>(*d, "scales", TensorType::int32, {7, 8, 9, 10});
    EXPECT_EQ(io::format_output_shift(*d), std::vector<int32_t>(4, 0));
    EXPECT_THROW(io::format_output_scales(*d), std::runtime_error);
    // Thresholded output without activation: shifts are the thresholds, scales 1/step.
    auto fc = add(*model, LayerType::FullyConnected,
                  {{"units", 4}, {"weights_bits", 2}, {"activation", 0}});
    set<int32_t>(*fc, "threshold", TensorType::int32, {5, -6, 7, 0});
    set<float>(*fc, "act_step", TensorType::float32, {4.0f, 0.5f, 0.0f, -0.0f});
    EXPECT_EQ(io::format_output_shift(*fc), (std::vector<int32_t>{5, -6, 7, 0}));
    const std::vector<float> scales = io::format_output_scales(*fc);
    ASSERT_EQ(scales.size(), 4u);
    EXPECT_EQ(scales[0], 0.25f);
    EXPECT_EQ(scales[1], 2.0f);
    EXPECT_EQ(scales[2], 0.0f);  // a zero step stays zero, not an infinity
    EXPECT_TRUE(std::signbit(scales[3]));
    // With activation, or another output kind: nothing.
    auto relu = add(*model, LayerType::FullyConnected,
                    {{"units", 4}, {"weights_bits", 2}, {"activation", 1}});
    EXPECT_TRUE(io::format_output_shift(*relu).empty());
    EXPECT_TRUE(io::format_output_scales(*relu).empty());
    auto conv =
        add(*model, LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}, {"activation", 0}});
    EXPECT_TRUE(io::format_output_shift(*conv).empty());
    EXPECT_TRUE(io::format_output_scales(*conv).empty());
}

}  // namespace
}  // namespace vorna
