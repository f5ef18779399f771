#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "test_support.h"

namespace vorna {
namespace {

using Params = std::map<std::string, int>;
using test_support::kinded_error_text;

using test_support::make_layer;

std::shared_ptr<Layer> input_layer(uint32_t x, uint32_t y, uint32_t c) {
    return make_layer(
        LayerType::InputData,
        {{"input_width", int(x)}, {"input_height", int(y)}, {"input_channels", int(c)}}, "input");
}

template <class T>
std::shared_ptr<Dense> tensor(TensorType type, Shape dims, const std::vector<T>& values,
                              Dense::Layout layout = Dense::Layout::RowMajor) {
    return Dense::copy(reinterpret_cast<const char*>(values.data()), values.size() * sizeof(T),
                       type, dims, layout);
}

template <class T>
std::vector<T> values_of(const Tensor& t) {
    const auto& d = dynamic_cast<const Dense&>(t);
    return std::vector<T>(d.data<T>(), d.data<T>() + d.size());
}

// InputData (1, 1, 3) -> Dense1D "d" of 2 units. Weights are (inputs, units), first dimension
// fastest: w(i, u) is element i + 3u of the storage.
//   w(., 0) = 1, 2, 3     w(., 1) = -1, 0, 4
std::unique_ptr<Model> dense1d_model(Params params) {
    auto m = Model::create();
    m->add(input_layer(1, 1, 3), {});
    params["units"] = 2;
    auto d = make_layer(LayerType::Dense1D, params, "d");
    m->add(d, {});
    test_support::set_any_shape(d->variables(), "weights",
                                tensor<int8_t>(TensorType::int8, Shape{3, 2}, {1, 2, 3, -1, 0, 4},
                                               Dense::Layout::ColMajor));
    return m;
}

TEST(ModelSoftware, Dense1DSumsWithKnownWeights) {
    auto m = dense1d_model({{"activation", 0}});
    // Frame 0: (1, 2, 3) -> 1+4+9 = 14, -1+0+12 = 11; frame 1: (-1, 0, 2) -> 5, 9.
    auto in = tensor<int8_t>(TensorType::int8, Shape{2, 1, 1, 3}, {1, 2, 3, -1, 0, 2});
    auto out = m->forward(in, 0);
    EXPECT_EQ(out->type(), TensorType::int32);
    EXPECT_EQ(out->dimensions(), (Shape{2, 1, 1, 2}));
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{14, 11, 5, 9}));
    // Learning in software changes nothing and gives the forward result.
    EXPECT_EQ(values_of<int32_t>(*m->fit(in, {1, 0}, 0)), (std::vector<int32_t>{14, 11, 5, 9}));
    // predict gives the same values as floats.
    auto p = m->predict(in, 0);
    EXPECT_EQ(p->type(), TensorType::float32);
    EXPECT_EQ(values_of<float>(*p), (std::vector<float>{14, 11, 5, 9}));
}

// Frame (100, 0, 0) gives 100 and -100; frame (1, 1, 1) gives 6 and 3.
TEST(ModelSoftware, ActivationClampsToTheOutputBits) {
    auto in = tensor<int16_t>(TensorType::int16, Shape{2, 3}, {100, 0, 0, 1, 1, 1});
    for (auto [bits, type, expected] :
         {std::tuple{8, TensorType::uint8, std::vector<uint8_t>{100, 0, 6, 3}},
          {4, TensorType::uint4, {15, 0, 6, 3}},
          {2, TensorType::uint2, {3, 0, 3, 3}}}) {
        auto out = dense1d_model({{"activation", 1}, {"output_bits", bits}})->forward(in, 0);
        EXPECT_EQ(out->type(), type);
        EXPECT_EQ(out->dimensions(), (Shape{2, 1, 1, 2}));
        EXPECT_EQ(values_of<uint8_t>(*out), expected) << bits;
    }
}

TEST(ModelSoftware, FullyConnectedWeightsAreUnitsByInputs) {
    auto m = Model::create();
    m->add(input_layer(1, 2, 1), {});
    auto fc = make_layer(LayerType::FullyConnected,
                         {{"units", 3}, {"weights_bits", 8}, {"activation", 0}}, "fc");
    m->add(fc, {});
    // w(u, i) is element u + 3i: units (1, 2), (3, 4), (5, -6).
    test_support::set_any_shape(fc->variables(), "weights",
                                tensor<int8_t>(TensorType::int8, Shape{3, 2}, {1, 3, 5, 2, 4, -6},
                                               Dense::Layout::ColMajor));
    auto out = m->forward(tensor<float>(TensorType::float32, Shape{1, 1, 2, 1}, {10.0f, 1.0f}), 0);
    EXPECT_EQ(out->type(), TensorType::int32);
    EXPECT_EQ(values_of<int32_t>(*out), (std::vector<int32_t>{12, 34, 44}));
}

TEST(ModelSoftware, QuantizerAndDequantizer) {
    auto m = Model::create();
    // clang-format off
    m->add(make_layer(LayerType::Quantizer, {{"input_width", 1}, {"input_height", 1}, {"input_channels", 2}, {"output_bits", 4}}, "q"), {});
    // clang-format on
    test_support::set_any_shape(m->get_layer("q")->variables(), "scales",
                                tensor<float>(TensorType::float32, Shape{2}, {0.5f, 2.0f}));
    test_support::set_any_shape(m->get_layer("q")->variables(), "zero_points",
                                tensor<uint8_t>(TensorType::uint8, Shape{2}, {1, 3}));
    auto dq = make_layer(LayerType::Dequantizer, {}, "dq");
    m->add(dq, {});
    test_support::set_any_shape(dq->variables(), "scales",
                                tensor<float>(TensorType::float32, Shape{2}, {0.25f, 10.0f}));

    // q: round(x / scale) + zero point, clipped to 4 unsigned bits.
    // (3.2, 5.0) -> (round(6.4) + 1, round(2.5) + 3) = (7, 6); (100, -100) -> (15, 0).
    auto in = tensor<float>(TensorType::float32, Shape{2, 2}, {3.2f, 5.0f, 100.0f, -100.0f});
    auto out = m->forward(in, 0);
    EXPECT_EQ(out->type(), TensorType::float32);
    EXPECT_EQ(values_of<float>(*out), (std::vector<float>{1.75f, 60.0f, 3.75f, 0.0f}));

    m->pop_layer();
    auto q_out = m->forward(in, 0);
    EXPECT_EQ(q_out->type(), TensorType::uint4);
    EXPECT_EQ(values_of<uint8_t>(*q_out), (std::vector<uint8_t>{7, 6, 15, 0}));

    // A Dequantizer alone over (1, 1, 3) int8 values, one scale per channel.
    auto three = Model::create();
    three->add(input_layer(1, 1, 3), {});
    auto dq3 = make_layer(LayerType::Dequantizer, {}, "dq3");
    three->add(dq3, {});
    test_support::set_any_shape(
        dq3->variables(), "scales",
        tensor<float>(TensorType::float32, Shape{3}, {0.5f, -2.0f, 0.125f}));
    auto deq = three->forward(tensor<int8_t>(TensorType::int8, Shape{1, 1, 1, 3}, {7, 3, -8}), 0);
    EXPECT_EQ(deq->type(), TensorType::float32);
    EXPECT_EQ(values_of<float>(*deq), (std::vector<float>{3.5f, -6.0f, -1.0f}));
}

TEST(ModelSoftware, AddAndConcatenate) {
    auto build = [](LayerType join) {
        auto m = Model::create();
        m->add(input_layer(1, 1, 2), {});
        auto in = m->get_layer("input");
        auto a = make_layer(LayerType::Dense1D, {{"units", 2}, {"activation", 0}}, "a");
        auto b = make_layer(LayerType::Dense1D, {{"units", 2}, {"activation", 0}}, "b");
        m->add(a, {in});
        m->add(b, {in});
        test_support::set_any_shape(
            a->variables(), "weights",
            tensor<int8_t>(TensorType::int8, Shape{2, 2}, {1, 0, 0, 1}, Dense::Layout::ColMajor));
        test_support::set_any_shape(
            b->variables(), "weights",
            tensor<int8_t>(TensorType::int8, Shape{2, 2}, {2, 0, 0, -3}, Dense::Layout::ColMajor));
        m->add(make_layer(join, {}, "join"), {a, b});
        return m;
    };
    auto in = tensor<uint8_t>(TensorType::uint8, Shape{1, 1, 1, 2}, {5, 7});
    // a = (5, 7), b = (10, -21).
    auto sum = build(LayerType::Add)->forward(in, 0);
    EXPECT_EQ(sum->type(), TensorType::int32);
    EXPECT_EQ(values_of<int32_t>(*sum), (std::vector<int32_t>{15, -14}));
    auto joined = build(LayerType::Concatenate)->forward(in, 0);
    EXPECT_EQ(joined->dimensions(), (Shape{1, 1, 1, 4}));
    EXPECT_EQ(values_of<int32_t>(*joined), (std::vector<int32_t>{5, 7, 10, -21}));
}

// A Quantizer alone of `bits` output bits over (1, 1, 2) inputs, scales 1 and zero points 0.
std::unique_ptr<Model> quantizer_model(int bits, int is_signed) {
    auto m = Model::create();
    m->add(make_layer(LayerType::Quantizer,
                      {{"input_width", 1},
                       {"input_height", 1},
                       {"input_channels", 2},
                       {"output_bits", bits},
                       {"output_signed", is_signed}},
                      "q"),
           {});
    auto* vars = m->get_layer("q")->variables();
    test_support::set_any_shape(vars, "scales",
                                tensor<float>(TensorType::float32, Shape{2}, {1.0f, 1.0f}));
    test_support::set_any_shape(vars, "zero_points",
                                tensor<uint8_t>(TensorType::uint8, Shape{2}, {0, 0}));
    return m;
}

TEST(ModelSoftware, QuantizerRangesAndTypesByBits) {
    const auto in = tensor<float>(TensorType::float32, Shape{1, 2}, {-100.0f, 300.0f});
    // 4 signed bits: -8 to 7.
    auto s4 = quantizer_model(4, 1)->forward(in, 0);
    EXPECT_EQ(s4->type(), TensorType::int4);
    EXPECT_EQ(values_of<int8_t>(*s4), (std::vector<int8_t>{-8, 7}));
    // 8 signed bits: -128 to 127.
    auto s8 = quantizer_model(8, 1)->forward(in, 0);
    EXPECT_EQ(s8->type(), TensorType::int8);
    EXPECT_EQ(values_of<int8_t>(*s8), (std::vector<int8_t>{-100, 127}));
    // 9 unsigned bits need 16-bit storage: 0 to 511.
    auto u9 = quantizer_model(9, 0)->forward(in, 0);
    EXPECT_EQ(u9->type(), TensorType::uint16);
    EXPECT_EQ(values_of<uint16_t>(*u9), (std::vector<uint16_t>{0, 300}));
    // 16 unsigned bits still fit 16-bit storage; 17 need int32 (0 to 131071).
    const auto big = tensor<float>(TensorType::float32, Shape{1, 2}, {-100.0f, 100000.0f});
    auto u16 = quantizer_model(16, 0)->forward(big, 0);
    EXPECT_EQ(u16->type(), TensorType::uint16);
    EXPECT_EQ(values_of<uint16_t>(*u16), (std::vector<uint16_t>{0, 65535}));
    auto u17 = quantizer_model(17, 0)->forward(big, 0);
    EXPECT_EQ(u17->type(), TensorType::int32);
    EXPECT_EQ(values_of<int32_t>(*u17), (std::vector<int32_t>{0, 100000}));
    // 0 bits are taken as 1: unsigned 0 to 1, signed -1 to 0 (predict shows the values).
    EXPECT_EQ(values_of<float>(*quantizer_model(0, 0)->predict(in, 0)),
              (std::vector<float>{0.0f, 1.0f}));
    EXPECT_EQ(values_of<float>(*quantizer_model(0, 1)->predict(in, 0)),
              (std::vector<float>{-1.0f, 0.0f}));
}

// Per-channel scales and zero points over an odd channel count, frame after frame:
// round(x / scale) + zero point, clipped to unsigned 8 bits.
TEST(ModelSoftware, QuantizerOverThreeChannels) {
    auto m = Model::create();
    m->add(make_layer(
               LayerType::Quantizer,
               {{"input_width", 1}, {"input_height", 1}, {"input_channels", 3}, {"output_bits", 8}},
               "q"),
           {});
    auto* vars = m->get_layer("q")->variables();
    test_support::set_any_shape(vars, "scales",
                                tensor<float>(TensorType::float32, Shape{3}, {0.5f, 2.0f, 0.25f}));
    test_support::set_any_shape(vars, "zero_points",
                                tensor<uint8_t>(TensorType::uint8, Shape{3}, {10, 0, 3}));
    // (1.25, -3, 7.875) -> (2.5 -> 3, -1.5 -> -2, 31.5 -> 32) -> (13, 0, 35);
    // (0, 600, -1) -> (10, 300 -> 255, -4 + 3 = -1 -> 0); (100, 5, 0.125) -> (210, 3, 4).
    const auto in =
        tensor<float>(TensorType::float32, Shape{3, 1, 1, 3},
                      {1.25f, -3.0f, 7.875f, 0.0f, 600.0f, -1.0f, 100.0f, 5.0f, 0.125f});
    for (uint32_t batch : {0u, 1u}) {
        auto out = m->forward(in, batch);
        EXPECT_EQ(out->type(), TensorType::uint8);
        EXPECT_EQ(out->dimensions(), (Shape{3, 1, 1, 3}));
        EXPECT_EQ(values_of<uint8_t>(*out),
                  (std::vector<uint8_t>{13, 0, 35, 10, 255, 0, 210, 3, 4}));
    }
}

// Concatenate joins per position: (x 1, y 2, c 2) input and its doubled copy.
TEST(ModelSoftware, ConcatenateJoinsEveryPosition) {
    auto m = Model::create();
    m->add(input_layer(1, 2, 2), {});
    auto in = m->get_layer("input");
    auto q = make_layer(LayerType::Quantizer, {}, "q");
    m->add(q, {in});
    test_support::set_any_shape(q->variables(), "scales",
                                tensor<float>(TensorType::float32, Shape{2}, {0.5f, 0.5f}));
    test_support::set_any_shape(q->variables(), "zero_points",
                                tensor<uint8_t>(TensorType::uint8, Shape{2}, {0, 0}));
    m->add(make_layer(LayerType::Concatenate, {}, "cat"), {in, q});
    auto out = m->forward(tensor<uint8_t>(TensorType::uint8, Shape{1, 1, 2, 2}, {1, 2, 3, 4}), 0);
    EXPECT_EQ(out->type(), TensorType::uint8);
    EXPECT_EQ(out->dimensions(), (Shape{1, 1, 2, 4}));
    EXPECT_EQ(values_of<uint8_t>(*out), (std::vector<uint8_t>{1, 2, 2, 4, 3, 4, 6, 8}));
}

// A layer the software evaluation does not compute is refused by every entry point, naming the
// layer and its kind, before any sample is evaluated (the example: 4 filters whose
// weights are all 1 on random frames used to give zeros).
TEST(ModelSoftware, KindsItDoesNotComputeAreRefused) {
    struct Case {
        const char* name;
        LayerType kind;
        Params params;
        bool dense_after;  // a Dense1D follows the refused layer
        const char* kind_text;
    };
    const std::vector<Case> cases = {
        {"conv",
         LayerType::Conv2D,
         {{"filters", 4}, {"kernel_size", 3}, {"activation", 0}},
         false,
         "Conv2D"},
        {"mid", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, true, "DepthwiseConv2D"},
        // Its 2^30-value output is never sized.
        {"t",
         LayerType::Conv2DTranspose,
         {{"filters", 1}, {"kernel_size", 1}, {"kernel_stride", 1 << 15}, {"activation", 0}},
         false,
         "Conv2DTranspose"},
        {"btc",
         LayerType::BufferTempConv,
         {{"filters", 2}, {"fifo_size", 2}, {"activation", 0}},
         false,
         "BufferTempConv"},
        // clang-format off
        {"c1", LayerType::Convolutional, {{"filters", 2}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2}, {"activation", 0}}, false, "Convolutional"},
        {"s1", LayerType::SeparableConvolutional, {{"filters", 2}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2}, {"activation", 0}}, false, "SeparableConvolutional"},
        {"ic", LayerType::InputConv2D, {{"filters", 2}, {"kernel_size", 3}, {"activation", 0}}, false, "InputConv2D"},
        {"dwt", LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 3}, {"activation", 0}}, false, "DepthwiseConv2DTranspose"},
        {"dbtc", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 2}, {"activation", 0}}, false, "DepthwiseBufferTempConv"},
        {"sr", LayerType::StatefulRecurrent, {{"stateful_channels", 2}, {"output_channels", 3}}, false, "StatefulRecurrent"},
        {"mpp", LayerType::MotePostProcessing, {}, false, "MotePostProcessing"},
        // clang-format on
    };
    std::vector<uint8_t> frames(2 * 8 * 8 * 3);
    for (size_t i = 0; i < frames.size(); ++i) frames[i] = static_cast<uint8_t>(i * 37 + 11);
    const auto in = tensor<uint8_t>(TensorType::uint8, Shape{2, 8, 8, 3}, frames);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto m = Model::create();
        m->add(input_layer(8, 8, 3), {});
        auto layer = make_layer(c.kind, c.params, c.name);
        m->add(layer, {});
        const bool int8_weights = layer->variables()->has("weights") &&
                                  layer->variables()->get("weights")->type() == TensorType::int8;
        if (int8_weights) {
            const auto weights = layer->variables()->get("weights");
            std::shared_ptr<Dense> ones =
                Dense::create(weights->type(), weights->dimensions(), Dense::Layout::ColMajor);
            std::fill(ones->data<int8_t>(), ones->data<int8_t>() + ones->size(), int8_t{1});
            layer->variables()->set("weights", ones);
        }
        if (c.dense_after)
            m->add(make_layer(LayerType::Dense1D, {{"units", 2}, {"activation", 0}}, "d"), {});
        const std::string expected =
            std::string("runtime_error: Layer '") + c.name + "' of kind " + c.kind_text +
            " cannot be evaluated without hardware: the software evaluation computes only "
            "InputData, Quantizer, Dequantizer, FullyConnected, Dense1D, Add and Concatenate "
            "layers.";
        EXPECT_EQ(kinded_error_text([&] { m->forward(in, 0); }), expected);
        EXPECT_EQ(kinded_error_text([&] { m->predict(in, 1); }), expected);
        EXPECT_EQ(kinded_error_text([&] { m->fit(in, {1, 0}, 0); }), expected);
    }
}

TEST(ModelSoftware, Refusals) {
    auto empty = Model::create();
    auto in = tensor<int8_t>(TensorType::int8, Shape{1, 3}, {1, 2, 3});
    EXPECT_EQ(kinded_error_text([&] { empty->forward(in, 0); }),
              "invalid_argument: Cannot perform an inference on a model with no layers");
    EXPECT_EQ(kinded_error_text([&] { empty->fit(in, {}, 0); }),
              "invalid_argument: Cannot perform an inference on a model with no layers");

    auto relu = dense1d_model({{"activation", 1}});
    EXPECT_EQ(kinded_error_text([&] { relu->predict(in, 0); }),
              "runtime_error: predict requires a last layer without activation.");

    auto m = dense1d_model({{"activation", 0}});
    auto wrong = tensor<int8_t>(TensorType::int8, Shape{2, 2}, {1, 2, 3, 4});
    EXPECT_EQ(kinded_error_text([&] { m->forward(wrong, 0); }),
              "invalid_argument: Input shape does not match the model input. Got inputs of shape "
              "(2, 2); expected (n, 1, 1, 3): n samples of the model's input shape (1, 1, 3).");
    EXPECT_EQ(kinded_error_text([&] { m->forward(nullptr, 0); }),
              "invalid_argument: Invalid input tensor.");
    // A weight tensor replaced by one of another size is reported, not read past its end.
    test_support::set_any_shape(m->get_layer("d")->variables(), "weights",
                                tensor<int8_t>(TensorType::int8, Shape{2}, {1, 2}));
    EXPECT_EQ(kinded_error_text([&] { m->forward(in, 0); }),
              "runtime_error: The variable weights of layer 'd' has 2 elements, 6 expected.");
}

}  // namespace
}  // namespace vorna
