#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
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
using Layout = Dense::Layout;

using test_support::make_layer;

std::shared_ptr<Layer> input_layer(uint32_t x, uint32_t y, uint32_t c, int bits = 8,
                                   int is_signed = 0) {
    return make_layer(LayerType::InputData,
                      {{"input_width", int(x)},
                       {"input_height", int(y)},
                       {"input_channels", int(c)},
                       {"input_bits", bits},
                       {"input_signed", is_signed}},
                      "input");
}

std::vector<uint32_t> dims_of(const Shape& s) { return s.to_vector(); }

// ------------------------------------------------------------ every kind

// How the layer under test is connected.
enum class Wiring {
    Alone,          // it is the model's input layer
    AfterInput,     // input -> layer
    InputAndConv,   // input -> side (Conv2D, 5 filters); layer(input, side)
    DwAndInput,     // input -> side (DepthwiseConv2D); layer(side, input)
    AfterRecurrent  // input -> side (StatefulRecurrent, 16 states, 4 outputs) -> layer
};

struct Var {
    std::string name;
    TensorType type;
    std::vector<uint32_t> dims;
    double fill = 0;
};

struct KindCase {
    std::string label;
    LayerType type;
    Params params;
    Wiring wiring;
    std::vector<uint32_t> input;  // the InputData size (x, y, c)
    int input_bits;
    int input_signed;
    // Expectations.
    std::vector<uint32_t> out_dims;
    int in_bits;
    int out_bits;
    bool out_signed;
    int in_format;
    int out_format;
    TargetComponent target;
    bool splittable;
    bool depthwise;
    uint64_t macs;
    std::optional<ConvCalculatedParams> conv;
    std::optional<PoolingCalculatedParams> pool;
    std::vector<Var> vars;
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.label; }

ConvCalculatedParams conv(uint32_t sx, uint32_t sy, uint32_t w, uint32_t h, PaddingParams p = {}) {
    return ConvCalculatedParams{sx, sy, w, h, p};
}

PoolingCalculatedParams pool(int8_t sx, int8_t sy, uint32_t w, uint32_t h, PaddingParams p,
                             uint8_t flag) {
    PoolingCalculatedParams r;
    r.stride_x = sx;
    r.stride_y = sy;
    r.width = w;
    r.height = h;
    r.padding = p;
    r.flag = flag;
    return r;
}

const TensorType i8 = TensorType::int8, u8 = TensorType::uint8, i32 = TensorType::int32,
                 f32 = TensorType::float32, i16 = TensorType::int16;

// The variables of a second-generation kind with n output neurons and ReLU.
std::vector<Var> v2_tail(uint32_t n, bool relu = true) {
    std::vector<Var> v = {{"bias", i8, {n}},
                          {"bias_shift", u8, {n}},
                          {"output_scales", u8, {n}, 1},
                          {"output_shift", i8, {n}}};
    if (relu) {
        v.push_back({"max_value", u8, {n}, 127});
        v.push_back({"max_value_shift", u8, {n}, 31});
    }
    return v;
}

std::vector<Var> concat(std::vector<Var> a, const std::vector<Var>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

const PaddingParams kNoPad{0, 0, 0, 0};
const PaddingParams kPad1{1, 1, 1, 1};

// Input 8 x 6 x 3 unless a case says otherwise. With kernel 3 and stride 1,
// Same padding gives one row and column on each side; the convolution
// output keeps 8 x 6 (48 positions).
// clang-format off
std::vector<KindCase> kind_cases() {
    const std::vector<uint32_t> in{8, 6, 3};
    // Columns: label, type, params, wiring, input size, input bits, input
    // signed; output dims, input bits, output bits, output signed, input
    // format, output format, target, splittable, depthwise, macs, conv
    // params, pool params, variables.
    return {
        {"InputData", LayerType::InputData,
         {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}, {"input_bits", 4}},
         Wiring::Alone, in, 0, 0,
         {8, 6, 3}, 4, 4, false, 1, 2, TargetComponent::None, false, false, 0,
         std::nullopt, std::nullopt, {}},
        {"InputDataSigned", LayerType::InputData,
         {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}, {"input_signed", 1}},
         Wiring::Alone, in, 0, 0,
         {8, 6, 3}, 8, 8, true, 0, 2, TargetComponent::None, false, false, 0,
         std::nullopt, std::nullopt, {}},
        {"QuantizerFirst", LayerType::Quantizer,
         {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}, {"output_bits", 4}},
         Wiring::Alone, in, 0, 0,
         {8, 6, 3}, 32, 4, false, 2, 2, TargetComponent::None, false, false, 0,
         std::nullopt, std::nullopt,
         {{"scales", f32, {3}, 1.0}, {"zero_points", u8, {3}}}},
        {"QuantizerInside", LayerType::Quantizer, {{"output_signed", 1}},
         Wiring::AfterInput, in, 8, 0,
         {8, 6, 3}, 8, 8, true, 1, 2, TargetComponent::None, false, false, 0,
         std::nullopt, std::nullopt,
         {{"scales", f32, {3}, 1.0}, {"zero_points", u8, {3}}}},
        {"Dequantizer", LayerType::Dequantizer, {}, Wiring::AfterInput, in, 8, 1,
         {8, 6, 3}, 8, 32, true, 0, 0, TargetComponent::None, false, false, 0,
         std::nullopt, std::nullopt, {{"scales", f32, {3}, 1.0}}},
        // The HRC probe's parameters: 8 x 8 x 1, kernel 3, stride 2, Same
        // padding (conv 4 x 4: total padding 1, after), 2 x 2 max pooling.
        {"InputConvolutional", LayerType::InputConvolutional,
         {{"input_width", 8},    {"input_height", 8},     {"input_channels", 1},
          {"kernel_width", 3},   {"kernel_height", 3},    {"padding", 1},
          {"stride_x", 2},       {"stride_y", 2},         {"filters", 1},
          {"weights_bits", 1},   {"padding_value", 0},    {"activation", 1},
          {"act_bits", 1},       {"pooling_width", 2},    {"pooling_height", 2},
          {"pool_type", 1},      {"pooling_stride_x", 2}, {"pooling_stride_y", 2}},
         Wiring::Alone, {8, 8, 1}, 0, 0,
         {2, 2, 1}, 8, 1, false, 1, 1, TargetComponent::HRC, false, false, 4 * 4 * 1 * 9 * 1,
         conv(2, 2, 4, 4, {0, 1, 0, 1}), pool(2, 2, 2, 2, kNoPad, 1),
         {{"weights", TensorType::bit, {3, 3, 1, 1}},
          {"threshold", i32, {1}},
          {"act_step", f32, {1}, 1.0}}},
        {"Convolutional", LayerType::Convolutional,
         {{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2}},
         Wiring::AfterInput, in, 8, 0,
         {8, 6, 4}, 8, 1, false, 1, 1, TargetComponent::CNP, true, false, 48 * 4 * 9 * 3,
         conv(1, 1, 8, 6, kPad1), pool(1, 1, 8, 6, kNoPad, 0),
         {{"weights", TensorType::int2, {4, 3, 3, 3}},
          {"threshold", i32, {4}},
          {"act_step", f32, {4}, 1.0}}},
        // Pooling 3 with stride 2 on 8 x 6: 4 x 3, one padding element after.
        {"ConvolutionalMaxPool", LayerType::Convolutional,
         {{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 4},
          {"pool_type", 1}, {"pooling_width", 3}, {"pooling_height", 3},
          {"pooling_stride_x", 2}, {"pooling_stride_y", 2}, {"activation", 0}},
         Wiring::AfterInput, in, 8, 0,
         {4, 3, 4}, 8, 32, true, 1, 1, TargetComponent::CNP, true, false, 48 * 4 * 9 * 3,
         conv(1, 1, 8, 6, kPad1), pool(2, 2, 4, 3, {0, 1, 0, 1}, 1),
         {{"weights", TensorType::int4, {4, 3, 3, 3}},
          {"threshold", i32, {4}},
          {"act_step", f32, {4}, 1.0}}},
        // Negative pooling strides stand for the pooling size.
        {"ConvolutionalDefaultPoolStride", LayerType::Convolutional,
         {{"filters", 2}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 4},
          {"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}},
         Wiring::AfterInput, in, 8, 0,
         {4, 3, 2}, 8, 1, false, 1, 1, TargetComponent::CNP, true, false, 48 * 2 * 9 * 3,
         conv(1, 1, 8, 6, kPad1), pool(2, 2, 4, 3, kNoPad, 1),
         {{"weights", TensorType::int4, {2, 3, 3, 3}},
          {"threshold", i32, {2}},
          {"act_step", f32, {2}, 1.0}}},
        {"ConvolutionalGlobalAverage", LayerType::Convolutional,
         {{"filters", 2}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 4},
          {"pool_type", 2}, {"pooling_width", -1}, {"pooling_height", -1}},
         Wiring::AfterInput, in, 8, 0,
         {1, 1, 2}, 8, 1, false, 1, 1, TargetComponent::CNP, true, false, 48 * 2 * 9 * 3,
         conv(1, 1, 8, 6, kPad1), pool(1, 1, 1, 1, kNoPad, 0),
         {{"weights", TensorType::int4, {2, 3, 3, 3}},
          {"threshold", i32, {2}},
          {"act_step", f32, {2}, 1.0}}},
        // Depthwise 48·3·9 plus pointwise 48·3·5.
        {"SeparableConvolutional", LayerType::SeparableConvolutional,
         {{"filters", 5}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 4}},
         Wiring::AfterInput, in, 8, 0,
         {8, 6, 5}, 8, 1, false, 1, 1, TargetComponent::CNP, true, false, 1296 + 720,
         conv(1, 1, 8, 6, kPad1), pool(1, 1, 8, 6, kNoPad, 0),
         {{"weights", TensorType::int4, {1, 3, 3, 3}},
          {"weights_pw", TensorType::int4, {5, 3, 1, 1}},
          {"threshold", i32, {5}},
          {"act_step", f32, {5}, 1.0}}},
        {"FullyConnected", LayerType::FullyConnected,
         {{"units", 10}, {"weights_bits", 4}, {"act_bits", 2}},
         Wiring::AfterInput, in, 8, 0,
         {1, 1, 10}, 8, 2, false, 1, 1, TargetComponent::FNP, false, false, 144 * 10,
         std::nullopt, std::nullopt,
         {{"weights", TensorType::int4, {10, 144}},
          {"threshold", i32, {10}},
          {"act_step", f32, {10}, 1.0},
          {"threshold_learning", i32, {10}},
          {"thswap", i32, {10}}}},
        {"Conv2D", LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}},
         Wiring::AfterInput, in, 8, 0,
         {8, 6, 4}, 8, 8, false, 1, 2, TargetComponent::CNP, true, false, 48 * 4 * 9 * 3,
         conv(1, 1, 8, 6, kPad1), pool(1, 1, 8, 6, kNoPad, 0),
         concat({{"weights", i8, {3, 3, 3, 4}}, {"input_shift", u8, {3}}}, v2_tail(4))},
        // Stride 2: 8 -> 4 and 6 -> 3, one padding element in total per
        // axis, after it with Same (signed 4-bit input here)...
        {"Conv2DSameStride2", LayerType::Conv2D,
         {{"filters", 2}, {"kernel_size", 3}, {"kernel_stride", 2}, {"padding", 1},
          {"weights_bits", 4}},
         Wiring::AfterInput, in, 4, 1,
         {4, 3, 2}, 4, 8, false, 0, 2, TargetComponent::CNP, true, false, 12 * 2 * 9 * 3,
         conv(2, 2, 4, 3, {0, 1, 0, 1}), pool(1, 1, 4, 3, kNoPad, 0),
         concat({{"weights", TensorType::int4, {3, 3, 3, 2}}, {"input_shift", u8, {3}}},
                v2_tail(2))},
        // ... and before it with SameUpper.
        {"Conv2DSameUpperStride2", LayerType::Conv2D,
         {{"filters", 2}, {"kernel_size", 3}, {"kernel_stride", 2}, {"padding", 2}},
         Wiring::AfterInput, in, 8, 0,
         {4, 3, 2}, 8, 8, false, 1, 2, TargetComponent::CNP, true, false, 12 * 2 * 9 * 3,
         conv(2, 2, 4, 3, {1, 0, 1, 0}), pool(1, 1, 4, 3, kNoPad, 0),
         concat({{"weights", i8, {3, 3, 3, 2}}, {"input_shift", u8, {3}}}, v2_tail(2))},
        // Kernel 4, stride 1: three padding elements per axis.
        {"Conv2DSameKernel4", LayerType::Conv2D,
         {{"filters", 1}, {"kernel_size", 4}, {"padding", 1}, {"activation", 0}},
         Wiring::AfterInput, in, 8, 0,
         {8, 6, 1}, 8, 8, true, 1, 2, TargetComponent::CNP, true, false, 48 * 1 * 16 * 3,
         conv(1, 1, 8, 6, {1, 2, 1, 2}), pool(1, 1, 8, 6, kNoPad, 0),
         concat({{"weights", i8, {4, 4, 3, 1}}, {"input_shift", u8, {3}}}, v2_tail(1, false))},
        {"Conv2DSameUpperKernel4", LayerType::Conv2D,
         {{"filters", 1}, {"kernel_size", 4}, {"padding", 2}, {"activation", 0}},
         Wiring::AfterInput, in, 8, 0,
         {8, 6, 1}, 8, 8, true, 1, 2, TargetComponent::CNP, true, false, 48 * 1 * 16 * 3,
         conv(1, 1, 8, 6, {2, 1, 2, 1}), pool(1, 1, 8, 6, kNoPad, 0),
         concat({{"weights", i8, {4, 4, 3, 1}}, {"input_shift", u8, {3}}}, v2_tail(1, false))},
        // Valid: (8 - 3) / 2 + 1 = 3 and (6 - 3) / 2 + 1 = 2.
        {"Conv2DValid", LayerType::Conv2D,
         {{"filters", 2}, {"kernel_size", 3}, {"kernel_stride", 2}, {"padding", 0}},
         Wiring::AfterInput, in, 8, 0,
         {3, 2, 2}, 8, 8, false, 1, 2, TargetComponent::CNP, true, false, 6 * 2 * 9 * 3,
         conv(2, 2, 3, 2, kNoPad), pool(1, 1, 3, 2, kNoPad, 0),
         concat({{"weights", i8, {3, 3, 3, 2}}, {"input_shift", u8, {3}}}, v2_tail(2))},
        // Max pooling 2 with the default stride (the pooling size); the
        // operation count is that of the convolution before pooling.
        {"Conv2DMaxPool", LayerType::Conv2D,
         {{"filters", 4}, {"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}},
         Wiring::AfterInput, in, 8, 0,
         {4, 3, 4}, 8, 8, false, 1, 2, TargetComponent::CNP, true, false, 48 * 4 * 9 * 3,
         conv(1, 1, 8, 6, kPad1), pool(2, 2, 4, 3, kNoPad, 1),
         concat({{"weights", i8, {3, 3, 3, 4}}, {"input_shift", u8, {3}}}, v2_tail(4))},
        {"Conv2DMaxPool3Stride2", LayerType::Conv2D,
         {{"filters", 4}, {"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 3},
          {"pool_stride", 2}},
         Wiring::AfterInput, in, 8, 0,
         {4, 3, 4}, 8, 8, false, 1, 2, TargetComponent::CNP, true, false, 48 * 4 * 9 * 3,
         conv(1, 1, 8, 6, kPad1), pool(2, 2, 4, 3, {0, 1, 0, 1}, 1),
         concat({{"weights", i8, {3, 3, 3, 4}}, {"input_shift", u8, {3}}}, v2_tail(4))},
        {"Conv2DGlobalAverage", LayerType::Conv2D,
         {{"filters", 4}, {"kernel_size", 3}, {"pool_type", 2}, {"pool_size", -1}},
         Wiring::AfterInput, in, 8, 0,
         {1, 1, 4}, 8, 8, false, 1, 2, TargetComponent::CNP, true, false, 48 * 4 * 9 * 3,
         conv(1, 1, 8, 6, kPad1), pool(1, 1, 1, 1, kNoPad, 0),
         concat({{"weights", i8, {3, 3, 3, 4}}, {"input_shift", u8, {3}}}, v2_tail(4))},
        {"Conv2DLut", LayerType::Conv2D,
         {{"filters", 2}, {"kernel_size", 1}, {"activation", 2}, {"output_bits", 4}},
         Wiring::AfterInput, in, 8, 0,
         {8, 6, 2}, 8, 4, false, 1, 2, TargetComponent::CNP, true, false, 48 * 2 * 1 * 3,
         conv(1, 1, 8, 6, kNoPad), pool(1, 1, 8, 6, kNoPad, 0),
         concat(concat({{"weights", i8, {1, 1, 3, 2}}, {"input_shift", u8, {3}}},
                       v2_tail(2, false)),
                {{"activation_shift", i8, {2}},
                 {"activation_scales", u8, {2}},
                 {"lut_values", i32, {2048}}})},
        {"DepthwiseConv2D", LayerType::DepthwiseConv2D, {{"kernel_size", 3}},
         Wiring::AfterInput, in, 8, 0,
         {8, 6, 3}, 8, 8, false, 1, 2, TargetComponent::CNP, true, true, 48 * 3 * 9,
         conv(1, 1, 8, 6, kPad1), pool(1, 1, 8, 6, kNoPad, 0),
         concat({{"weights", i8, {3, 3, 1, 3}}, {"input_shift", u8, {3}}}, v2_tail(3))},
        // The image input always has 8 unsigned bits, whatever feeds it.
        {"InputConv2D", LayerType::InputConv2D,
         {{"filters", 4}, {"kernel_size", 3}, {"kernel_stride", 2}},
         Wiring::AfterInput, in, 4, 1,
         {4, 3, 4}, 8, 8, false, 1, 2, TargetComponent::HRC, false, false, 12 * 4 * 9 * 3,
         conv(2, 2, 4, 3, {0, 1, 0, 1}), pool(1, 1, 4, 3, kNoPad, 0),
         {{"weights", i8, {3, 3, 3, 4}},
          {"padding_value", u8, {3}},
          {"output_shift", i8, {4}},
          {"output_scales", u8, {4}, 1},
          {"bias_shift", u8, {4}},
          {"bias", i8, {4}},
          {"max_value", u8, {4}, 127},
          {"max_value_shift", u8, {4}, 31}}},
        {"Conv2DTranspose", LayerType::Conv2DTranspose, {{"filters", 2}, {"kernel_size", 3}},
         Wiring::AfterInput, in, 8, 0,
         {16, 12, 2}, 8, 8, false, 1, 2, TargetComponent::CNP, true, false, 48 * 2 * 9 * 3,
         conv(2, 2, 16, 12, kNoPad), pool(1, 1, 16, 12, kNoPad, 0),
         concat({{"weights", i8, {3, 3, 3, 2}}, {"input_shift", u8, {3}}}, v2_tail(2))},
        {"DepthwiseConv2DTranspose", LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}},
         Wiring::AfterInput, in, 8, 0,
         {16, 12, 3}, 8, 8, false, 1, 2, TargetComponent::CNP, true, true, 48 * 3 * 16,
         conv(2, 2, 16, 12, kNoPad), pool(1, 1, 16, 12, kNoPad, 0),
         concat({{"weights", i8, {4, 4, 1, 3}}, {"input_shift", u8, {3}}}, v2_tail(3))},
        {"BufferTempConv", LayerType::BufferTempConv, {{"filters", 6}, {"fifo_size", 4}},
         Wiring::AfterInput, in, 8, 0,
         {8, 6, 6}, 8, 8, false, 1, 2, TargetComponent::TNP_B, true, false, 48 * 6 * 3 * 4,
         std::nullopt, std::nullopt,
         concat({{"weights", i8, {1, 1, 12, 6}}, {"input_shift", u8, {3}}}, v2_tail(6))},
        {"DepthwiseBufferTempConv", LayerType::DepthwiseBufferTempConv,
         {{"fifo_size", 5}, {"activation", 0}},
         Wiring::AfterInput, in, 8, 0,
         {8, 6, 3}, 8, 8, true, 1, 2, TargetComponent::TNP_B, true, true, 48 * 3 * 5,
         std::nullopt, std::nullopt,
         concat({{"weights", i8, {1, 1, 5, 3}}, {"input_shift", u8, {3}}}, v2_tail(3, false))},
        {"Dense1D", LayerType::Dense1D, {{"units", 7}, {"activation", 2}},
         Wiring::AfterInput, in, 8, 0,
         {1, 1, 7}, 8, 8, false, 1, 2, TargetComponent::FNP, false, false, 144 * 7,
         std::nullopt, std::nullopt,
         concat(concat({{"weights", i8, {144, 7}}, {"input_shift", u8, {144}}},
                       v2_tail(7, false)),
                {{"activation_shift", i8, {7}},
                 {"activation_scales", u8, {7}},
                 {"lut_values", i32, {2048}}})},
        {"Add", LayerType::Add, {}, Wiring::DwAndInput, in, 8, 0,
         {8, 6, 3}, 8, 8, true, 1, 2, TargetComponent::SkipDMA, false, false, 0,
         std::nullopt, std::nullopt,
         {{"a_shift", u8, {3}}, {"b_shift", u8, {3}}, {"output_shift", i8, {3}}}},
        // Bits and signedness follow the first inbound layer (the input).
        {"Concatenate", LayerType::Concatenate, {}, Wiring::InputAndConv, in, 4, 0,
         {8, 6, 8}, 4, 4, false, 1, 2, TargetComponent::SkipDMA, false, false, 0,
         std::nullopt, std::nullopt, {}},
        // 10 timesteps subsampled by 2; y·(C·S + S·O) = 10·(3·16 + 16·4).
        {"StatefulRecurrent", LayerType::StatefulRecurrent,
         {{"stateful_channels", 16}, {"output_channels", 4}, {"subsample", 2}},
         Wiring::AfterInput, {1, 10, 3}, 8, 0,
         {1, 5, 4}, 8, 8, true, 1, 2, TargetComponent::TNP_R, false, false, 10 * (48 + 64),
         std::nullopt, std::nullopt,
         {{"in_proj", i8, {16, 3}},
          {"out_proj", i8, {4, 16}},
          {"A_real", i16, {16}},
          {"A_imag", i16, {16}},
          {"internal_state_outputs_shift", i8, {16}},
          {"new_state_scale", u8, {16}},
          {"new_state_shift", i8, {16}},
          {"output_scales", u8, {4}, 1},
          {"output_shift", i8, {4}},
          {"bias", i8, {4}},
          {"bias_shift", u8, {4}},
          {"input_shift", u8, {3}}}},
        // A subsample larger than the timesteps still leaves one step.
        {"StatefulRecurrentRelu", LayerType::StatefulRecurrent,
         {{"stateful_channels", 2}, {"output_channels", 3}, {"subsample", 4}, {"activation", 1}},
         Wiring::AfterInput, {1, 3, 1}, 8, 0,
         {1, 1, 3}, 8, 8, false, 1, 2, TargetComponent::TNP_R, false, false, 3 * (2 + 6),
         std::nullopt, std::nullopt,
         {{"in_proj", i8, {2, 1}},
          {"out_proj", i8, {3, 2}},
          {"A_real", i16, {2}},
          {"A_imag", i16, {2}},
          {"internal_state_outputs_shift", i8, {2}},
          {"new_state_scale", u8, {2}},
          {"new_state_shift", i8, {2}},
          {"output_scales", u8, {3}, 1},
          {"output_shift", i8, {3}},
          {"bias", i8, {3}},
          {"bias_shift", u8, {3}},
          {"input_shift", u8, {1}},
          {"max_value", u8, {3}, 127},
          {"max_value_shift", u8, {3}, 31}}},
        {"MotePostProcessing", LayerType::MotePostProcessing, {}, Wiring::AfterRecurrent,
         {1, 10, 3}, 8, 0,
         {1, 1, 1}, 8, 16, true, 0, 2, TargetComponent::TNP_R, false, false, 0,
         std::nullopt, std::nullopt,
         {{"input_scales", u8, {1}, 1},
          {"input_shift", i8, {1}},
          {"threshold", TensorType::uint16, {1}}}},
    };
}
// clang-format on

class LayerKinds : public ::testing::TestWithParam<KindCase> {};

// Builds the model of a case and returns the layer under test.
std::shared_ptr<Layer> build_case(Model& model, const KindCase& c) {
    auto layer = make_layer(c.type, c.params, "under_test");
    if (c.wiring == Wiring::Alone) {
        model.add(layer, {});
        return layer;
    }
    auto in = input_layer(c.input[0], c.input[1], c.input[2], c.input_bits, c.input_signed);
    model.add(in, {});
    switch (c.wiring) {
        case Wiring::AfterInput:
            model.add(layer, {});
            break;
        case Wiring::InputAndConv: {
            auto side = make_layer(LayerType::Conv2D, {{"filters", 5}, {"kernel_size", 3}}, "side");
            model.add(side, {in});
            model.add(layer, {in, side});
            break;
        }
        case Wiring::DwAndInput: {
            auto side = make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, "side");
            model.add(side, {in});
            model.add(layer, {side, in});
            break;
        }
        case Wiring::AfterRecurrent: {
            auto side = make_layer(LayerType::StatefulRecurrent,
                                   {{"stateful_channels", 16}, {"output_channels", 4}}, "side");
            model.add(side, {});
            model.add(layer, {});
            break;
        }
        case Wiring::Alone:
            break;
    }
    return layer;
}

bool is_weight(const std::string& name) {
    return name == "weights" || name == "weights_pw" || name == "in_proj" || name == "out_proj";
}

double element(const Dense& t, size_t i) {
    switch (t.type()) {
        case TensorType::float32:
            return t.data<float>()[i];
        case TensorType::int32:
            return t.data<int32_t>()[i];
        case TensorType::int16:
            return t.data<int16_t>()[i];
        case TensorType::uint16:
            return t.data<uint16_t>()[i];
        case TensorType::uint8:
        case TensorType::uint4:
        case TensorType::uint2:
            return t.data<uint8_t>()[i];
        default:
            return t.data<int8_t>()[i];
    }
}

TEST_P(LayerKinds, BuildsAsItsKindSays) {
    const KindCase& c = GetParam();
    auto model = Model::create();
    auto layer = build_case(*model, c);

    EXPECT_EQ(dims_of(layer->output_dimensions()), c.out_dims);
    EXPECT_EQ(layer->input_bits(), c.in_bits);
    EXPECT_EQ(layer->output_bits(), c.out_bits);
    EXPECT_EQ(layer->output_signed(), c.out_signed);
    EXPECT_EQ(layer->input_format(), c.in_format);
    EXPECT_EQ(layer->output_format(), c.out_format);
    for (int t = 0; t <= 7; ++t) {
        const auto target = static_cast<TargetComponent>(t);
        EXPECT_EQ(layer->is_target_component(target), target == c.target) << "target " << t;
    }
    EXPECT_EQ(layer->splittable(), c.splittable);
    EXPECT_EQ(layer->is_depthwise(), c.depthwise);
    EXPECT_EQ(layer->macs(), c.macs);

    const auto* conv_params = dynamic_cast<const HasConvParams*>(layer.get());
    const auto* pool_params = dynamic_cast<const HasPoolParams*>(layer.get());
    ASSERT_EQ(conv_params != nullptr, c.conv.has_value());
    ASSERT_EQ(pool_params != nullptr, c.pool.has_value());
    if (c.conv) {
        const ConvCalculatedParams& p = conv_params->conv_calculated_params();
        EXPECT_EQ(p.stride_x, c.conv->stride_x);
        EXPECT_EQ(p.stride_y, c.conv->stride_y);
        EXPECT_EQ(p.output_width, c.conv->output_width);
        EXPECT_EQ(p.output_height, c.conv->output_height);
        EXPECT_EQ(p.padding, c.conv->padding) << p.padding.top << " " << p.padding.bottom << " "
                                              << p.padding.left << " " << p.padding.right;
    }
    if (c.pool) {
        const PoolingCalculatedParams& p = pool_params->pool_calculated_params();
        EXPECT_EQ(p.stride_x, c.pool->stride_x);
        EXPECT_EQ(p.stride_y, c.pool->stride_y);
        EXPECT_EQ(p.width, c.pool->width);
        EXPECT_EQ(p.height, c.pool->height);
        EXPECT_EQ(p.padding, c.pool->padding) << p.padding.top << " " << p.padding.bottom << " "
                                              << p.padding.left << " " << p.padding.right;
        EXPECT_EQ(p.flag, c.pool->flag);
    }

    std::vector<std::string> expected_names;
    for (const Var& v : c.vars) expected_names.push_back(v.name);
    ASSERT_EQ(layer->variables()->names(), expected_names);
    for (const Var& v : c.vars) {
        SCOPED_TRACE(v.name);
        auto dense = Tensor::ensure_dense(layer->variables()->get(v.name));
        EXPECT_EQ(dense->type(), v.type);
        EXPECT_EQ(dims_of(dense->dimensions()), v.dims);
        EXPECT_EQ(dense->layout(), is_weight(v.name) ? Layout::ColMajor : Layout::RowMajor);
        for (size_t i = 0; i < dense->size(); ++i) {
            ASSERT_EQ(element(*dense, i), v.fill) << "element " << i;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(LayerEveryKind, LayerKinds, ::testing::ValuesIn(kind_cases()),
                         [](const auto& info) { return info.param.label; });

// Weights use layout 1: the first dimension is contiguous.
TEST(LayerVariables, WeightsHaveFirstDimensionFastest) {
    auto model = Model::create();
    model->add(input_layer(4, 4, 2), {});
    auto fc = make_layer(LayerType::FullyConnected, {{"units", 5}, {"weights_bits", 4}}, "fc");
    model->add(fc, {});
    auto w = Tensor::ensure_dense(fc->variables()->get("weights"));
    EXPECT_EQ(w->strides(), (std::vector<uint32_t>{1, 5}));
}

// Every kind is covered by the table above.
TEST(LayerKindsTable, CoversEveryLayerType) {
    std::set<LayerType> covered;
    for (const auto& c : kind_cases()) covered.insert(c.type);
    EXPECT_EQ(covered.size(), 19u);
}

// ------------------------------------------------------------ creation

TEST(LayerCreate, PicksTheConcreteClass) {
    auto fc = make_layer(LayerType::FullyConnected, {{"units", 1}, {"weights_bits", 1}}, "f");
    EXPECT_NE(dynamic_cast<FullyConnected*>(fc.get()), nullptr);
    auto sep = make_layer(LayerType::SeparableConvolutional, {}, "s");
    EXPECT_NE(dynamic_cast<SeparableConvolutional*>(sep.get()), nullptr);
    EXPECT_EQ(dynamic_cast<Convolutional*>(sep.get()), nullptr);
}

TEST(LayerCreate, RefusesNullParamsAndUnknownTypes) {
    EXPECT_EQ(kinded_error_text([] { Layer::create(nullptr, "x"); }),
              "invalid_argument: Invalid layer parameters.");
    EXPECT_EQ(kinded_error_text([] { make_layer(LayerType::Unknown, {}, "x"); }),
              "invalid_argument: Unsupported layer type 0.");
    EXPECT_EQ(kinded_error_text([] { make_layer(static_cast<LayerType>(7), {}, "x"); }),
              "invalid_argument: Unsupported layer type 7.");
}

TEST(LayerCreate, FillsInDefaultsWithoutOverridingGivenValues) {
    auto c =
        make_layer(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 3}, {"pool_size", 3}}, "c");
    const LayerParams* p = c->params();
    EXPECT_EQ(p->get("kernel_stride"), 1);
    EXPECT_EQ(p->get("padding"), 1);
    EXPECT_EQ(p->get("pool_type"), 0);
    EXPECT_EQ(p->get("pool_size"), 3);
    EXPECT_EQ(p->get("pool_stride"), 3);  // defaults to the pool size
    EXPECT_EQ(p->get("activation"), 1);
    EXPECT_EQ(p->get("output_bits"), 8);
    EXPECT_EQ(p->get("weights_bits"), 8);

    auto ic = make_layer(LayerType::InputConv2D, {{"pool_size", 3}}, "ic");
    EXPECT_EQ(ic->params()->get("pool_stride"), 0);

    auto t = make_layer(LayerType::Conv2DTranspose, {{"kernel_stride", 3}}, "t");
    EXPECT_EQ(t->params()->get("kernel_stride"), 3);

    auto v1 = make_layer(LayerType::Convolutional, {}, "v1");
    EXPECT_EQ(v1->params()->get("pooling_stride_x"), -1);
    EXPECT_EQ(v1->params()->get("act_bits"), 1);
    EXPECT_FALSE(v1->params()->has("filters"));
}

// Constructing a concrete class directly behaves like Layer::create, and
// only takes parameters of its own type.
TEST(LayerCreate, ConcreteClassChecksTheParameterType) {
    auto conv_params = LayerParams::create(LayerType::Conv2D, {{"filters", 2}});
    Conv2D direct(*conv_params, "direct");
    EXPECT_EQ(direct.params()->get("kernel_stride"), 1);
    auto dense_params = LayerParams::create(LayerType::Dense1D, {{"units", 2}});
    EXPECT_EQ(kinded_error_text([&] { Conv2D wrong(*dense_params, "wrong"); }),
              "invalid_argument: Layer parameters of type 25 cannot build a layer of type 14.");
}

TEST(LayerCreate, KeepsItsOwnCopyOfTheParameters) {
    auto params = LayerParams::create(LayerType::Dense1D, {{"units", 4}});
    auto layer = Layer::create(params.get(), "d");
    params->set("units", 9);
    EXPECT_EQ(layer->params()->get("units"), 4);
    EXPECT_EQ(layer->params()->layer_type(), LayerType::Dense1D);
}

// ------------------------------------------------------------ queries

TEST(LayerQueries, ActivationAndPoolingTests) {
    auto relu = make_layer(LayerType::Conv2D, {{"pool_type", 1}}, "a");
    EXPECT_TRUE(relu->activation_enabled());
    EXPECT_TRUE(relu->has_activation());
    EXPECT_TRUE(relu->is_activation(ActivationType::ReLU));
    EXPECT_FALSE(relu->is_activation(ActivationType::LUT));
    EXPECT_TRUE(relu->has_pooling(PoolType::Max));
    EXPECT_FALSE(relu->has_pooling(PoolType::NoPooling));

    // No "activation" and no "pool_type" parameter: both read as 0.
    auto add = make_layer(LayerType::Add, {}, "b");
    EXPECT_FALSE(add->activation_enabled());
    EXPECT_FALSE(add->has_activation());
    EXPECT_TRUE(add->is_activation(ActivationType::NoActivation));
    EXPECT_TRUE(add->has_pooling(PoolType::NoPooling));

    auto lut = make_layer(LayerType::Dense1D, {{"activation", 2}}, "c");
    EXPECT_TRUE(lut->is_activation(ActivationType::LUT));
    EXPECT_TRUE(lut->activation_enabled());
}

TEST(LayerQueries, InputLayers) {
    EXPECT_TRUE(make_layer(LayerType::InputData, {}, "a")->is_input_layer());
    EXPECT_TRUE(make_layer(LayerType::InputConvolutional, {}, "b")->is_input_layer());
    EXPECT_FALSE(make_layer(LayerType::Quantizer, {}, "c")->is_input_layer());
    EXPECT_FALSE(make_layer(LayerType::Quantizer, {{"input_width", 2}, {"input_height", 2}}, "d")
                     ->is_input_layer());
    EXPECT_TRUE(make_layer(LayerType::Quantizer,
                           {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}}, "e")
                    ->is_input_layer());
    EXPECT_FALSE(make_layer(LayerType::InputConv2D, {}, "f")->is_input_layer());
}

// ------------------------------------------------------------ unbuilt layers

TEST(LayerNotBuilt, QueriesOfTheBuiltStateThrow) {
    auto layer = make_layer(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 3}}, "conv_0");
    const auto& conv_view = dynamic_cast<const HasConvParams&>(*layer);
    const auto& pool_view = dynamic_cast<const HasPoolParams&>(*layer);
    EXPECT_EQ(kinded_error_text([&] { conv_view.conv_calculated_params(); }),
              "runtime_error: The layer conv_0 is not built.");
    EXPECT_EQ(kinded_error_text([&] { pool_view.pool_calculated_params(); }),
              "runtime_error: The layer conv_0 is not built.");
    EXPECT_EQ(kinded_error_text([&] { layer->input_dimensions(); }),
              "runtime_error: Cannot get input size before it is set.");
    EXPECT_EQ(kinded_error_text([&] { layer->output_dimensions(); }),
              "runtime_error: Cannot get output size before it is set.");
    EXPECT_EQ(layer->macs(), 0u);
    EXPECT_TRUE(layer->variables()->names().empty());
    EXPECT_TRUE(layer->inbound_layers().empty());
}

TEST(LayerNotBuilt, FailedBuildLeavesTheLayerOut) {
    auto model = Model::create();
    model->add(input_layer(4, 4, 2), {});
    auto conv = make_layer(LayerType::Conv2D, {{"kernel_size", 3}}, "c");
    EXPECT_EQ(kinded_error_text([&] { model->add(conv, {}); }),
              "invalid_argument: Parameter 'filters' not found.");
    EXPECT_EQ(model->layer_count(), 1u);
    EXPECT_TRUE(model->get_layer(0)->outbound_layers().empty());
    EXPECT_EQ(kinded_error_text([&] { conv->output_dimensions(); }),
              "runtime_error: Cannot get output size before it is set.");
    // It was never added, so the same error comes again.
    EXPECT_EQ(kinded_error_text([&] { model->add(conv, {}); }),
              "invalid_argument: Parameter 'filters' not found.");
}

TEST(LayerNotBuilt, RequiredParametersOfEachKind) {
    struct Case {
        LayerType type;
        Params params;
        std::string missing;
    };
    const std::vector<Case> cases = {
        {LayerType::Convolutional,
         {{"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 1}},
         "filters"},
        {LayerType::FullyConnected, {{"units", 3}}, "weights_bits"},
        {LayerType::DepthwiseConv2D, {}, "kernel_size"},
        {LayerType::BufferTempConv, {{"filters", 2}}, "fifo_size"},
        {LayerType::Dense1D, {}, "units"},
        {LayerType::StatefulRecurrent, {{"stateful_channels", 4}}, "output_channels"},
    };
    for (const auto& c : cases) {
        auto model = Model::create();
        model->add(input_layer(4, 4, 2), {});
        EXPECT_EQ(kinded_error_text([&] { model->add(make_layer(c.type, c.params, "x"), {}); }),
                  "invalid_argument: Parameter '" + c.missing + "' not found.");
    }
    auto model = Model::create();
    EXPECT_EQ(kinded_error_text([&] {
                  model->add(make_layer(LayerType::InputData, {{"input_width", 1}}, "in"), {});
              }),
              "invalid_argument: Parameter 'input_height' not found.");
    EXPECT_EQ(
        kinded_error_text([&] {
            model->add(
                make_layer(LayerType::InputConvolutional,
                           {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}}, "ic"),
                {});
        }),
        "invalid_argument: Parameter 'kernel_width' not found.");
}

TEST(LayerNotBuilt, NegativeSizesAreRefused) {
    auto model = Model::create();
    model->add(input_layer(4, 4, 2), {});
    EXPECT_EQ(kinded_error_text([&] {
                  model->add(
                      make_layer(LayerType::Conv2D, {{"filters", -2}, {"kernel_size", 3}}, "c"),
                      {});
              }),
              "invalid_argument: Parameter 'filters' cannot be negative.");
    EXPECT_EQ(model->layer_count(), 1u);
}

// A zero size still builds, so that the mapping checks can report it; the
// variables that would have no element are left out.
TEST(LayerNotBuilt, ZeroSizesBuildWithoutEmptyVariables) {
    auto model = Model::create();
    model->add(input_layer(1, 4, 2), {});
    auto sr =
        make_layer(LayerType::StatefulRecurrent,
                   {{"stateful_channels", 0}, {"output_channels", 2}, {"subsample", 0}}, "sr");
    model->add(sr, {});
    EXPECT_EQ(dims_of(sr->output_dimensions()), (std::vector<uint32_t>{1, 4, 2}));
    EXPECT_FALSE(sr->variables()->has("in_proj"));
    EXPECT_FALSE(sr->variables()->has("A_real"));
    EXPECT_TRUE(sr->variables()->has("output_scales"));
}

// ------------------------------------------------------------ arity

TEST(LayerArity, WrongNumbersOfInboundLayers) {
    auto model = Model::create();
    auto in = input_layer(4, 4, 2);
    model->add(in, {});
    auto dw = make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, "dw");
    model->add(dw, {in});

    // An empty list links to the last layer: one inbound layer for Add.
    EXPECT_EQ(kinded_error_text([&] { model->add(make_layer(LayerType::Add, {}, "add"), {}); }),
              "invalid_argument: Layer 'add' expects 2 inbound layer(s).");
    EXPECT_EQ(
        kinded_error_text([&] { model->add(make_layer(LayerType::Concatenate, {}, "cat"), {in}); }),
        "invalid_argument: Layer 'cat' expects 2 inbound layer(s).");
    EXPECT_EQ(kinded_error_text([&] {
                  model->add(make_layer(LayerType::Dense1D, {{"units", 2}}, "d"), {in, dw});
              }),
              "invalid_argument: Layer 'd' expects 1 inbound layer(s).");
    auto second_input =
        make_layer(LayerType::InputData,
                   {{"input_width", 1}, {"input_height", 1}, {"input_channels", 1}}, "in2");
    EXPECT_EQ(kinded_error_text([&] { model->add(second_input, {dw}); }),
              "invalid_argument: Layer 'in2' expects 0 inbound layer(s).");
    EXPECT_EQ(model->layer_count(), 2u);
}

// ------------------------------------------------------------ links

TEST(LayerLinks, InboundStrongOutboundWeak) {
    std::shared_ptr<Layer> in, dense;
    std::weak_ptr<Layer> weak_in;
    {
        auto model = Model::create();
        in = input_layer(2, 2, 1);
        model->add(in, {});
        dense = make_layer(LayerType::Dense1D, {{"units", 3}}, "dense");
        model->add(dense, {});
        ASSERT_EQ(in->outbound_layers().size(), 1u);
        EXPECT_EQ(in->outbound_layers()[0], dense);
        ASSERT_EQ(dense->inbound_layers().size(), 1u);
        EXPECT_EQ(dense->inbound_layers()[0], in);
    }
    weak_in = in;
    in.reset();
    // The dense layer keeps its input alive ...
    ASSERT_FALSE(weak_in.expired());
    dense.reset();
    // ... and nothing keeps the input once the dense layer is gone.
    EXPECT_TRUE(weak_in.expired());
}

TEST(LayerLinks, OutboundListDropsLayersThatAreGone) {
    auto in = input_layer(2, 2, 1);
    {
        auto model = Model::create();
        model->add(in, {});
        model->add(make_layer(LayerType::Dense1D, {{"units", 3}}, "dense"), {});
        EXPECT_EQ(in->outbound_layers().size(), 1u);
    }
    EXPECT_TRUE(in->outbound_layers().empty());
}

TEST(LayerLinks, OneOutboundEntryPerConsumer) {
    auto model = Model::create();
    auto in = input_layer(2, 2, 3);
    model->add(in, {});
    auto add = make_layer(LayerType::Add, {}, "add");
    model->add(add, {in, in});
    EXPECT_EQ(add->inbound_layers().size(), 2u);
    EXPECT_EQ(in->outbound_layers().size(), 1u);
}

// ------------------------------------------------------------ variables

TEST(LayerVariables, ValuesSetBeforeBuildingAreKeptWhenTheyFit) {
    auto model = Model::create();
    model->add(input_layer(2, 2, 1), {});
    auto d = make_layer(LayerType::Dense1D, {{"units", 3}}, "d");
    const std::vector<int8_t> w = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    std::shared_ptr<Tensor> weights = Dense::copy(reinterpret_cast<const char*>(w.data()), w.size(),
                                                  TensorType::int8, Shape{4, 3}, Layout::RowMajor);
    const std::vector<uint8_t> wrong = {1, 2};
    std::shared_ptr<Tensor> shift = Dense::copy(reinterpret_cast<const char*>(wrong.data()), 2,
                                                TensorType::uint8, Shape{2}, Layout::RowMajor);
    d->variables()->set("weights", weights);
    d->variables()->set("input_shift", shift);
    d->variables()->set("extra", shift);
    model->add(d, {});
    EXPECT_EQ(d->variables()->get("weights"), weights);
    // Wrong shape (4 inputs): replaced by a fresh variable.
    EXPECT_NE(d->variables()->get("input_shift"), shift);
    EXPECT_EQ(dims_of(d->variables()->get("input_shift")->dimensions()),
              (std::vector<uint32_t>{4}));
    EXPECT_TRUE(d->variables()->has("extra"));
}

// ------------------------------------------------------------ check_bitwidth

TEST(LayerCheckBitwidth, AbsentPresentAndTooWide) {
    auto model = Model::create();
    model->add(input_layer(2, 2, 1), {});
    auto d = make_layer(LayerType::Dense1D, {{"units", 2}}, "dense_1");
    model->add(d, {});

    // Absent: a success unless required.
    EXPECT_FALSE(check_bitwidth(*d, 4, "activation_shift", false).error);
    MappingStatus missing = check_bitwidth(*d, 4, "activation_shift", true);
    EXPECT_TRUE(missing.error);
    EXPECT_EQ(missing.layer_name, "dense_1");
    EXPECT_EQ(missing.message, "The variable activation_shift is missing.");

    // max_value_shift holds 31: five bits.
    EXPECT_FALSE(check_bitwidth(*d, 5, "max_value_shift", true).error);
    MappingStatus wide = check_bitwidth(*d, 4, "max_value_shift", false);
    EXPECT_TRUE(wide.error);
    EXPECT_EQ(wide.layer_name, "dense_1");
    EXPECT_EQ(wide.message,
              "The variable max_value_shift needs 5 bits, but at most 4 are supported.");
    EXPECT_EQ(wide.to_string(),
              "Cannot map layer 'dense_1'. The variable max_value_shift needs 5 bits, but at most "
              "4 are supported.");

    // Signed values count their sign bit: -32 needs 6 bits.
    const std::vector<int8_t> shifts = {-32, 3};
    d->variables()->set("output_shift", Dense::copy(reinterpret_cast<const char*>(shifts.data()), 2,
                                                    TensorType::int8, Shape{2}, Layout::RowMajor));
    EXPECT_FALSE(check_bitwidth(*d, 6, "output_shift", false).error);
    EXPECT_TRUE(check_bitwidth(*d, 5, "output_shift", false).error);
}

}  // namespace
}  // namespace vorna
