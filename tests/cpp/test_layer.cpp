#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>
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

// How the layer under test is connected.
enum Wiring {
    Alone,          // it is the model's input layer
    AfterInput,     // input -> layer
    InputAndConv,   // input -> side (Conv2D, 5 filters); layer(input, side)
    DwAndInput,     // input -> side (DepthwiseConv2D); layer(side, input)
    AfterRecurrent  // input -> side (StatefulRecurrent, 16 states, 4 outputs) -> layer
};

struct KindCase {
    std::string label;
    LayerType type;
    Params params;
    Wiring wiring;
    std::vector<uint32_t> input;  // the InputData size (x, y, c), bits and signedness
    // "XxYxC in>out(s|u) f<in format><out format> t<targets> [split] [dw] macs N"
    std::string summary;
    std::string conv;  // "s<x>,<y> <w>x<h> pad <top>,<bottom>,<left>,<right>", "" if none
    std::string pool;  // as conv, then " f<flag>"
    std::string vars;  // "name type dims" in creation order, comma separated
};

void PrintTo(const KindCase& c, std::ostream* os) { *os << c.label; }

// The variables of a second-generation kind with n output neurons, with ReLU or not.
std::string tail(int n, bool relu = true) {
    const std::string s = std::to_string(n);
    return "bias int8 " + s + ", bias_shift uint8 " + s + ", output_scales uint8 " + s +
           ", output_shift int8 " + s +
           (relu ? ", max_value uint8 " + s + ", max_value_shift uint8 " + s : "");
}
std::string v2(const std::string& weights, int n, bool relu = true) {
    return "weights int8 " + weights + ", input_shift uint8 3, " + tail(n, relu);
}
const std::string kLut =
    ", activation_shift int8 2, activation_scales uint8 2, lut_values int32 2048";
const std::string kPad1 = "s1,1 8x6 pad 1,1,1,1", kNoPool = "s1,1 8x6 pad 0,0,0,0 f0";
const std::vector<uint32_t> in8{8, 6, 3, 8, 0};

// Input 8 x 6 x 3 of 8 unsigned bits unless a case says otherwise. With kernel 3 and
// stride 1, Same padding gives one row and column on each side (48 positions).
// clang-format off
std::vector<KindCase> kind_cases() {
    return {
        {"InputData", LayerType::InputData, {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}, {"input_bits", 4}},
         Alone, in8, "8x6x3 4>4u f12 t0 macs 0", "", "", ""},
        {"InputDataSigned", LayerType::InputData, {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}, {"input_signed", 1}},
         Alone, in8, "8x6x3 8>8s f02 t0 macs 0", "", "", ""},
        {"QuantizerFirst", LayerType::Quantizer, {{"input_width", 8}, {"input_height", 6}, {"input_channels", 3}, {"output_bits", 4}},
         Alone, in8, "8x6x3 32>4u f22 t0 macs 0", "", "", "scales float32 3, zero_points uint8 3"},
        {"QuantizerInside", LayerType::Quantizer, {{"output_signed", 1}}, AfterInput, in8,
         "8x6x3 8>8s f12 t0 macs 0", "", "", "scales float32 3, zero_points uint8 3"},
        {"Dequantizer", LayerType::Dequantizer, {}, AfterInput, {8, 6, 3, 8, 1},
         "8x6x3 8>32s f00 t0 macs 0", "", "", "scales float32 3"},
        // The HRC probe's parameters: 8 x 8 x 1, kernel 3, stride 2, Same padding (conv 4 x 4:
        // one padding element, after), 2 x 2 max pooling; 4·4 positions · 9.
        {"InputConvolutional", LayerType::InputConvolutional,
         {{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}, {"kernel_width", 3}, {"kernel_height", 3},
          {"padding", 1}, {"stride_x", 2}, {"stride_y", 2}, {"filters", 1}, {"weights_bits", 1}, {"padding_value", 0},
          {"activation", 1}, {"act_bits", 1}, {"pooling_width", 2}, {"pooling_height", 2}, {"pool_type", 1},
          {"pooling_stride_x", 2}, {"pooling_stride_y", 2}},
         Alone, in8, "2x2x1 8>1u f11 t1 macs 144", "s2,2 4x4 pad 0,1,0,1", "s2,2 2x2 pad 0,0,0,0 f1",
         "weights bit 3x3x1x1, threshold int32 1, act_step float32 1"},
        {"Convolutional", LayerType::Convolutional, {{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2}},
         AfterInput, in8, "8x6x4 8>1u f11 t2 split macs 5184", kPad1, kNoPool,
         "weights int2 4x3x3x3, threshold int32 4, act_step float32 4"},
        // Pooling 3 with stride 2 on 8 x 6: 4 x 3, one padding element after.
        {"ConvolutionalMaxPool", LayerType::Convolutional,
         {{"filters", 4}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 4}, {"pool_type", 1}, {"pooling_width", 3},
          {"pooling_height", 3}, {"pooling_stride_x", 2}, {"pooling_stride_y", 2}, {"activation", 0}},
         AfterInput, in8, "4x3x4 8>32s f11 t2 split macs 5184", kPad1, "s2,2 4x3 pad 0,1,0,1 f1",
         "weights int4 4x3x3x3, threshold int32 4, act_step float32 4"},
        // Negative pooling strides stand for the pooling size.
        {"ConvolutionalDefaultPoolStride", LayerType::Convolutional,
         {{"filters", 2}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 4}, {"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}},
         AfterInput, in8, "4x3x2 8>1u f11 t2 split macs 2592", kPad1, "s2,2 4x3 pad 0,0,0,0 f1",
         "weights int4 2x3x3x3, threshold int32 2, act_step float32 2"},
        {"ConvolutionalGlobalAverage", LayerType::Convolutional,
         {{"filters", 2}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 4}, {"pool_type", 2}, {"pooling_width", -1}, {"pooling_height", -1}},
         AfterInput, in8, "1x1x2 8>1u f11 t2 split macs 2592", kPad1, "s1,1 1x1 pad 0,0,0,0 f0",
         "weights int4 2x3x3x3, threshold int32 2, act_step float32 2"},
        // Depthwise 48·3·9 plus pointwise 48·3·5.
        {"SeparableConvolutional", LayerType::SeparableConvolutional, {{"filters", 5}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 4}},
         AfterInput, in8, "8x6x5 8>1u f11 t2 split macs 2016", kPad1, kNoPool,
         "weights int4 1x3x3x3, weights_pw int4 5x3x1x1, threshold int32 5, act_step float32 5"},
        {"FullyConnected", LayerType::FullyConnected, {{"units", 10}, {"weights_bits", 4}, {"act_bits", 2}},
         AfterInput, in8, "1x1x10 8>2u f11 t3 macs 1440", "", "",
         "weights int4 10x144, threshold int32 10, act_step float32 10, threshold_learning int32 10, thswap int32 10"},
        {"Conv2D", LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}}, AfterInput, in8,
         "8x6x4 8>8u f12 t2 split macs 5184", kPad1, kNoPool, v2("3x3x3x4", 4)},
        // Stride 2: 8 -> 4 and 6 -> 3, one padding element per axis, after it with Same
        // (signed 4-bit input here) and before it with SameUpper.
        {"Conv2DSameStride2", LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"kernel_stride", 2}, {"padding", 1}, {"weights_bits", 4}},
         AfterInput, {8, 6, 3, 4, 1}, "4x3x2 4>8u f02 t2 split macs 648", "s2,2 4x3 pad 0,1,0,1", "s1,1 4x3 pad 0,0,0,0 f0",
         "weights int4 3x3x3x2, input_shift uint8 3, " + tail(2)},
        {"Conv2DSameUpperStride2", LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"kernel_stride", 2}, {"padding", 2}},
         AfterInput, in8, "4x3x2 8>8u f12 t2 split macs 648", "s2,2 4x3 pad 1,0,1,0", "s1,1 4x3 pad 0,0,0,0 f0", v2("3x3x3x2", 2)},
        // Kernel 4, stride 1: three padding elements per axis.
        {"Conv2DSameKernel4", LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 4}, {"padding", 1}, {"activation", 0}},
         AfterInput, in8, "8x6x1 8>8s f12 t2 split macs 2304", "s1,1 8x6 pad 1,2,1,2", kNoPool, v2("4x4x3x1", 1, false)},
        {"Conv2DSameUpperKernel4", LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 4}, {"padding", 2}, {"activation", 0}},
         AfterInput, in8, "8x6x1 8>8s f12 t2 split macs 2304", "s1,1 8x6 pad 2,1,2,1", kNoPool, v2("4x4x3x1", 1, false)},
        // Valid: (8 - 3) / 2 + 1 = 3 and (6 - 3) / 2 + 1 = 2.
        {"Conv2DValid", LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 3}, {"kernel_stride", 2}, {"padding", 0}},
         AfterInput, in8, "3x2x2 8>8u f12 t2 split macs 324", "s2,2 3x2 pad 0,0,0,0", "s1,1 3x2 pad 0,0,0,0 f0", v2("3x3x3x2", 2)},
        // Max pooling 2 with the default stride; the operation count is the convolution's.
        {"Conv2DMaxPool", LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 2}},
         AfterInput, in8, "4x3x4 8>8u f12 t2 split macs 5184", kPad1, "s2,2 4x3 pad 0,0,0,0 f1", v2("3x3x3x4", 4)},
        {"Conv2DMaxPool3Stride2", LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}, {"pool_type", 1}, {"pool_size", 3}, {"pool_stride", 2}},
         AfterInput, in8, "4x3x4 8>8u f12 t2 split macs 5184", kPad1, "s2,2 4x3 pad 0,1,0,1 f1", v2("3x3x3x4", 4)},
        {"Conv2DGlobalAverage", LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 3}, {"pool_type", 2}, {"pool_size", -1}},
         AfterInput, in8, "1x1x4 8>8u f12 t2 split macs 5184", kPad1, "s1,1 1x1 pad 0,0,0,0 f0", v2("3x3x3x4", 4)},
        {"Conv2DLut", LayerType::Conv2D, {{"filters", 2}, {"kernel_size", 1}, {"activation", 2}, {"output_bits", 4}},
         AfterInput, in8, "8x6x2 8>4u f12 t2 split macs 288", "s1,1 8x6 pad 0,0,0,0", kNoPool, v2("1x1x3x2", 2, false) + kLut},
        {"DepthwiseConv2D", LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, AfterInput, in8,
         "8x6x3 8>8u f12 t2 split dw macs 1296", kPad1, kNoPool, v2("3x3x1x3", 3)},
        // The image input always has 8 unsigned bits, whatever feeds it.
        {"InputConv2D", LayerType::InputConv2D, {{"filters", 4}, {"kernel_size", 3}, {"kernel_stride", 2}},
         AfterInput, {8, 6, 3, 4, 1}, "4x3x4 8>8u f12 t1 macs 1296", "s2,2 4x3 pad 0,1,0,1", "s1,1 4x3 pad 0,0,0,0 f0",
         "weights int8 3x3x3x4, padding_value uint8 3, output_shift int8 4, output_scales uint8 4, bias_shift uint8 4, "
         "bias int8 4, max_value uint8 4, max_value_shift uint8 4"},
        {"Conv2DTranspose", LayerType::Conv2DTranspose, {{"filters", 2}, {"kernel_size", 3}}, AfterInput, in8,
         "16x12x2 8>8u f12 t2 split macs 2592", "s2,2 16x12 pad 0,0,0,0", "s1,1 16x12 pad 0,0,0,0 f0", v2("3x3x3x2", 2)},
        {"DepthwiseConv2DTranspose", LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 4}}, AfterInput, in8,
         "16x12x3 8>8u f12 t2 split dw macs 2304", "s2,2 16x12 pad 0,0,0,0", "s1,1 16x12 pad 0,0,0,0 f0", v2("4x4x1x3", 3)},
        {"BufferTempConv", LayerType::BufferTempConv, {{"filters", 6}, {"fifo_size", 4}}, AfterInput, in8,
         "8x6x6 8>8u f12 t5 split macs 3456", "", "", v2("1x1x12x6", 6)},
        {"DepthwiseBufferTempConv", LayerType::DepthwiseBufferTempConv, {{"fifo_size", 5}, {"activation", 0}}, AfterInput, in8,
         "8x6x3 8>8s f12 t5 split dw macs 720", "", "", v2("1x1x5x3", 3, false)},
        {"Dense1D", LayerType::Dense1D, {{"units", 7}, {"activation", 2}}, AfterInput, in8,
         "1x1x7 8>8u f12 t3 macs 1008", "", "",
         "weights int8 144x7, input_shift uint8 144, " + tail(7, false) +
         ", activation_shift int8 7, activation_scales uint8 7, lut_values int32 2048"},
        {"Add", LayerType::Add, {}, DwAndInput, in8, "8x6x3 8>8s f12 t4 macs 0", "", "",
         "a_shift uint8 3, b_shift uint8 3, output_shift int8 3"},
        // Bits and signedness follow the first inbound layer (the input).
        {"Concatenate", LayerType::Concatenate, {}, InputAndConv, {8, 6, 3, 4, 0}, "8x6x8 4>4u f12 t4 macs 0", "", "", ""},
        // 10 timesteps subsampled by 2; y·(C·S + S·O) = 10·(3·16 + 16·4).
        {"StatefulRecurrent", LayerType::StatefulRecurrent, {{"stateful_channels", 16}, {"output_channels", 4}, {"subsample", 2}},
         AfterInput, {1, 10, 3, 8, 0}, "1x5x4 8>8s f12 t6 macs 1120", "", "",
         "in_proj int8 16x3, out_proj int8 4x16, A_real int16 16, A_imag int16 16, internal_state_outputs_shift int8 16, "
         "new_state_scale uint8 16, new_state_shift int8 16, output_scales uint8 4, output_shift int8 4, bias int8 4, "
         "bias_shift uint8 4, input_shift uint8 3"},
        // A subsample larger than the timesteps still leaves one step.
        {"StatefulRecurrentRelu", LayerType::StatefulRecurrent,
         {{"stateful_channels", 2}, {"output_channels", 3}, {"subsample", 4}, {"activation", 1}},
         AfterInput, {1, 3, 1, 8, 0}, "1x1x3 8>8u f12 t6 macs 24", "", "",
         "in_proj int8 2x1, out_proj int8 3x2, A_real int16 2, A_imag int16 2, internal_state_outputs_shift int8 2, "
         "new_state_scale uint8 2, new_state_shift int8 2, output_scales uint8 3, output_shift int8 3, bias int8 3, "
         "bias_shift uint8 3, input_shift uint8 1, max_value uint8 3, max_value_shift uint8 3"},
        {"MotePostProcessing", LayerType::MotePostProcessing, {}, AfterRecurrent, {1, 10, 3, 8, 0},
         "1x1x1 8>16s f02 t6 macs 0", "", "", "input_scales uint8 1, input_shift int8 1, threshold uint16 1"},
    };
}
// clang-format on

// Builds the model of a case and returns the layer under test.
std::shared_ptr<Layer> build_case(Model& model, const KindCase& c) {
    auto layer = make_layer(c.type, c.params, "under_test");
    if (c.wiring == Alone) {
        model.add(layer, {});
        return layer;
    }
    auto in = input_layer(c.input[0], c.input[1], c.input[2], c.input[3], c.input[4]);
    model.add(in, {});
    std::shared_ptr<Layer> side;
    if (c.wiring == InputAndConv)
        side = make_layer(LayerType::Conv2D, {{"filters", 5}, {"kernel_size", 3}}, "side");
    if (c.wiring == DwAndInput)
        side = make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, "side");
    if (c.wiring == AfterRecurrent)
        side = make_layer(LayerType::StatefulRecurrent,
                          {{"stateful_channels", 16}, {"output_channels", 4}}, "side");
    if (side) model.add(side, {in});
    if (c.wiring == InputAndConv)
        model.add(layer, {in, side});
    else if (c.wiring == DwAndInput)
        model.add(layer, {side, in});
    else
        model.add(layer, {});
    return layer;
}

std::string dims_text(const Shape& s, const char* sep = "x") {
    std::string out;
    for (uint32_t d : s.to_vector()) out += (out.empty() ? "" : sep) + std::to_string(d);
    return out;
}

std::string padded(uint32_t sx, uint32_t sy, uint32_t w, uint32_t h, const PaddingParams& p) {
    std::ostringstream os;
    os << "s" << sx << "," << sy << " " << w << "x" << h << " pad " << p.top << "," << p.bottom
       << "," << p.left << "," << p.right;
    return os.str();
}

// The fill value of each variable that does not start at zero.
double fill_of(const std::string& name) {
    static const std::map<std::string, double> fills = {
        {"output_scales", 1}, {"input_scales", 1}, {"scales", 1},
        {"act_step", 1},      {"max_value", 127},  {"max_value_shift", 31}};
    auto it = fills.find(name);
    return it == fills.end() ? 0 : it->second;
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
            return t.data<uint8_t>()[i];
        default:
            return t.data<int8_t>()[i];
    }
}

class LayerKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(LayerKinds, BuildsAsItsKindSays) {
    const KindCase& c = GetParam();
    auto model = Model::create();
    auto layer = build_case(*model, c);
    std::ostringstream os;
    os << dims_text(layer->output_dimensions()) << " " << int(layer->input_bits()) << ">"
       << int(layer->output_bits()) << (layer->output_signed() ? "s" : "u") << " f"
       << int(layer->input_format()) << int(layer->output_format()) << " t";
    for (int t = 0; t <= 7; ++t)
        if (layer->is_target_component(TargetComponent(t))) os << t;
    os << (layer->splittable() ? " split" : "") << (layer->is_depthwise() ? " dw" : "") << " macs "
       << layer->macs();
    EXPECT_EQ(os.str(), c.summary);
    std::string conv, pool;
    if (auto* p = dynamic_cast<const HasConvParams*>(layer.get())) {
        const auto& q = p->conv_calculated_params();
        conv = padded(q.stride_x, q.stride_y, q.output_width, q.output_height, q.padding);
    }
    if (auto* p = dynamic_cast<const HasPoolParams*>(layer.get())) {
        const auto& q = p->pool_calculated_params();
        pool = padded(q.stride_x, q.stride_y, q.width, q.height, q.padding) + " f" +
               std::to_string(q.flag);
    }
    EXPECT_EQ(conv, c.conv);
    EXPECT_EQ(pool, c.pool);
    std::string vars;
    for (const auto& name : layer->variables()->names()) {
        SCOPED_TRACE(name);
        auto dense = Tensor::ensure_dense(layer->variables()->get(name));
        vars += (vars.empty() ? "" : ", ") + name + " " + Tensor::type_name(dense->type()) + " " +
                dims_text(dense->dimensions());
        const bool weight =
            name == "weights" || name == "weights_pw" || name == "in_proj" || name == "out_proj";
        EXPECT_EQ(dense->layout(), weight ? Dense::Layout::ColMajor : Dense::Layout::RowMajor);
        for (size_t i = 0; i < dense->size(); ++i)
            ASSERT_EQ(element(*dense, i), fill_of(name)) << i;
    }
    EXPECT_EQ(vars, c.vars);
}

INSTANTIATE_TEST_SUITE_P(LayerEveryKind, LayerKinds, ::testing::ValuesIn(kind_cases()),
                         [](const auto& info) { return info.param.label; });

TEST(LayerCreate, ClassesDefaultsAndRefusals) {
    std::set<LayerType> covered;
    for (const auto& c : kind_cases()) covered.insert(c.type);
    EXPECT_EQ(covered.size(), 19u);
    auto sep = make_layer(LayerType::SeparableConvolutional, {}, "s");
    EXPECT_NE(dynamic_cast<SeparableConvolutional*>(sep.get()), nullptr);
    EXPECT_EQ(dynamic_cast<Convolutional*>(sep.get()), nullptr);
    EXPECT_EQ(kinded_error_text([] { Layer::create(nullptr, "x"); }),
              "invalid_argument: Invalid layer parameters.");
    EXPECT_EQ(kinded_error_text([] { make_layer(LayerType(7), {}, "x"); }),
              "invalid_argument: Unsupported layer type 7.");
    auto dense_params = LayerParams::create(LayerType::Dense1D, {{"units", 4}});
    EXPECT_EQ(kinded_error_text([&] { Conv2D wrong(*dense_params, "wrong"); }),
              "invalid_argument: Layer parameters of type 25 cannot build a layer of type 14.");
    auto d = Layer::create(dense_params.get(), "d");
    dense_params->set("units", 9);  // the layer keeps its own copy
    EXPECT_EQ(d->params()->get("units"), 4);
    // A default pool stride is the pool size; a given value is kept.
    auto c =
        make_layer(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 3}, {"pool_size", 3}}, "c");
    EXPECT_EQ(c->params()->get("pool_stride"), 3);
    // A Convolutional layer without pooling sizes pools 1 x 1: max pooling with the default
    // strides keeps its 8 x 6 convolution output.
    auto model = Model::create();
    model->add(input_layer(8, 6, 3), {});
    auto conv = make_layer(LayerType::Convolutional,
                           {{"filters", 2},
                            {"kernel_width", 3},
                            {"kernel_height", 3},
                            {"weights_bits", 2},
                            {"pool_type", 1}},
                           "conv");
    model->add(conv, {});
    EXPECT_EQ(conv->params()->get("pooling_width"), 1);
    EXPECT_EQ(conv->params()->get("pooling_height"), 1);
    EXPECT_EQ(conv->output_dimensions(), (Shape{8, 6, 2}));
    // A Quantizer with its size is an input.
    EXPECT_TRUE(make_layer(LayerType::InputConvolutional, {}, "ic")->is_input_layer());
    EXPECT_FALSE(make_layer(LayerType::InputConv2D, {}, "i2")->is_input_layer());
    EXPECT_FALSE(make_layer(LayerType::Quantizer, {{"input_width", 2}, {"input_height", 2}}, "q")
                     ->is_input_layer());
    EXPECT_TRUE(make_layer(LayerType::Quantizer,
                           {{"input_width", 2}, {"input_height", 2}, {"input_channels", 1}}, "q")
                    ->is_input_layer());
}

TEST(LayerBuild, UnbuiltLayersAndFailedBuilds) {
    auto layer = make_layer(LayerType::Conv2D, {{"filters", 1}, {"kernel_size", 3}}, "conv_0");
    EXPECT_EQ(kinded_error_text(
                  [&] { dynamic_cast<const HasConvParams&>(*layer).conv_calculated_params(); }),
              "runtime_error: The layer conv_0 is not built.");
    EXPECT_EQ(kinded_error_text(
                  [&] { dynamic_cast<const HasPoolParams&>(*layer).pool_calculated_params(); }),
              "runtime_error: The layer conv_0 is not built.");
    EXPECT_EQ(kinded_error_text([&] { layer->input_dimensions(); }),
              "runtime_error: Cannot get input size before it is set.");
    EXPECT_EQ(layer->macs(), 0u);
    // A failed build leaves the layer out (the same error comes again).
    auto model = Model::create();
    model->add(input_layer(4, 4, 2), {});
    auto conv = make_layer(LayerType::Conv2D, {{"kernel_size", 3}}, "c");
    for (int i = 0; i < 2; ++i)
        EXPECT_EQ(kinded_error_text([&] { model->add(conv, {}); }),
                  "invalid_argument: Layer 'c' of kind Conv2D is missing the parameter 'filters': "
                  "give it in the layer's parameters.");
    EXPECT_TRUE(model->get_layer(0)->outbound_layers().empty());
    // Every missing parameter is named at once, with the layer and its kind.
    const std::string give_it = ": give it in the layer's parameters.";
    const std::string give_them = ": give them in the layer's parameters.";
    // clang-format off
    const std::vector<std::tuple<LayerType, Params, std::string>> missing = {
        {LayerType::Convolutional, {{"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 1}}, "Layer 'x' of kind Convolutional is missing the parameter 'filters'" + give_it},
        {LayerType::FullyConnected, {{"units", 3}}, "Layer 'x' of kind FullyConnected is missing the parameter 'weights_bits'" + give_it},
        {LayerType::BufferTempConv, {{"filters", 2}}, "Layer 'x' of kind BufferTempConv is missing the parameter 'fifo_size'" + give_it},
        {LayerType::StatefulRecurrent, {{"stateful_channels", 4}}, "Layer 'x' of kind StatefulRecurrent is missing the parameter 'output_channels'" + give_it},
        {LayerType::Conv2D, {{"filters", -2}, {"kernel_size", 3}}, "Parameter 'filters' cannot be negative."},
        {LayerType::InputData, {{"input_width", 1}}, "Layer 'x' of kind InputData is missing the parameters 'input_height' and 'input_channels'" + give_them},
        {LayerType::Conv2DTranspose, {}, "Layer 'x' of kind Conv2DTranspose is missing the parameters 'filters' and 'kernel_size'" + give_them},
        {LayerType::InputConvolutional, {{"input_width", 4}, {"input_height", 4}, {"input_channels", 1}, {"kernel_width", 3}, {"kernel_height", 3}, {"stride_x", 1}, {"stride_y", 1}, {"filters", 2}, {"weights_bits", 1}, {"activation", 1}, {"act_bits", 1}, {"pooling_width", 1}, {"pooling_height", 1}, {"pool_type", 0}, {"pooling_stride_y", 1}}, "Layer 'x' of kind InputConvolutional is missing the parameters 'padding', 'padding_value' and 'pooling_stride_x'" + give_them}};
    // clang-format on
    for (const auto& [type, params, text] : missing)
        EXPECT_EQ(kinded_error_text([&] { model->add(make_layer(type, params, "x"), {}); }),
                  "invalid_argument: " + text);
    // Wrong numbers of inbound layers (an empty list links to the last layer).
    auto in = model->get_layer(0);
    auto dw = make_layer(LayerType::DepthwiseConv2D, {{"kernel_size", 3}}, "dw");
    model->add(dw, {in});
    EXPECT_EQ(kinded_error_text([&] { model->add(make_layer(LayerType::Add, {}, "add"), {}); }),
              "invalid_argument: Layer 'add' expects 2 inbound layer(s).");
    EXPECT_EQ(kinded_error_text([&] {
                  model->add(make_layer(LayerType::Dense1D, {{"units", 2}}, "d"), {in, dw});
              }),
              "invalid_argument: Layer 'd' expects 1 inbound layer(s).");
    auto in2 = make_layer(LayerType::InputData,
                          {{"input_width", 1}, {"input_height", 1}, {"input_channels", 1}}, "in2");
    EXPECT_EQ(kinded_error_text([&] { model->add(in2, {dw}); }),
              "invalid_argument: Layer 'in2' expects 0 inbound layer(s).");
    EXPECT_EQ(model->layer_count(), 2u);
    // A zero size still builds, so the mapping checks can report it; empty variables are left out.
    auto zero = Model::create();
    zero->add(input_layer(1, 4, 2), {});
    auto sr =
        make_layer(LayerType::StatefulRecurrent,
                   {{"stateful_channels", 0}, {"output_channels", 2}, {"subsample", 0}}, "sr");
    zero->add(sr, {});
    EXPECT_EQ(sr->output_dimensions(), (Shape{1, 4, 2}));
    EXPECT_FALSE(sr->variables()->has("in_proj"));
    EXPECT_TRUE(sr->variables()->has("output_scales"));
}

// Inbound links are strong, outbound ones weak; one outbound entry per consumer.
TEST(LayerLinks, OwnershipAndVariablesSetBeforeBuilding) {
    auto in = input_layer(2, 2, 1);
    std::weak_ptr<Layer> weak_in = in;
    std::shared_ptr<Layer> dense;
    {
        auto model = Model::create();
        model->add(in, {});
        dense = make_layer(LayerType::Dense1D, {{"units", 3}}, "dense");
        model->add(dense, {});
        auto add = make_layer(LayerType::Add, {}, "add");
        model->add(add, {in, in});
        EXPECT_EQ(add->inbound_layers().size(), 2u);
        EXPECT_EQ(in->outbound_layers().size(), 2u);
    }
    EXPECT_EQ(in->outbound_layers(), std::vector<std::shared_ptr<Layer>>{dense});
    in.reset();
    ASSERT_FALSE(weak_in.expired());  // the dense layer keeps its input alive
    dense.reset();
    EXPECT_TRUE(weak_in.expired());
    // Values set before building are kept when they fit; others are replaced.
    auto model = Model::create();
    model->add(input_layer(2, 2, 1), {});
    auto d = make_layer(LayerType::Dense1D, {{"units", 3}}, "d");
    std::shared_ptr<Tensor> weights =
        Dense::create(TensorType::int8, Shape{4, 3}, Dense::Layout::RowMajor);
    std::shared_ptr<Tensor> shift =
        Dense::create(TensorType::uint8, Shape{2}, Dense::Layout::RowMajor);
    d->variables()->set("weights", weights);
    d->variables()->set("input_shift", shift);
    d->variables()->set("extra", shift);
    model->add(d, {});
    EXPECT_EQ(d->variables()->get("weights"), weights);
    EXPECT_EQ(d->variables()->get("input_shift")->dimensions(), (Shape{4}));
    EXPECT_TRUE(d->variables()->has("extra"));
    auto fc = make_layer(LayerType::FullyConnected, {{"units", 5}, {"weights_bits", 4}}, "fc");
    model->add(fc, {});
    EXPECT_EQ(Tensor::ensure_dense(fc->variables()->get("weights"))->strides(),
              (std::vector<uint32_t>{1, 5}));
}

TEST(LayerCheckBitwidth, AbsentPresentAndTooWide) {
    auto model = Model::create();
    model->add(input_layer(2, 2, 1), {});
    auto d = make_layer(LayerType::Dense1D, {{"units", 2}}, "dense_1");
    model->add(d, {});
    EXPECT_FALSE(check_bitwidth(*d, 4, "activation_shift", false).error);
    MappingStatus missing = check_bitwidth(*d, 4, "activation_shift", true);
    EXPECT_TRUE(missing.error);
    EXPECT_EQ(missing.message, "The variable activation_shift is missing.");
    // max_value_shift holds 31: five bits.
    EXPECT_FALSE(check_bitwidth(*d, 5, "max_value_shift", true).error);
    EXPECT_EQ(check_bitwidth(*d, 4, "max_value_shift", false).to_string(),
              "Cannot map layer 'dense_1'. The variable max_value_shift needs 5 bits, but at most "
              "4 are supported.");
    // Signed values count their sign bit: -32 needs 6 bits.
    const std::vector<int8_t> shifts = {-32, 3};
    d->variables()->set("output_shift",
                        Dense::copy(reinterpret_cast<const char*>(shifts.data()), 2,
                                    TensorType::int8, Shape{2}, Dense::Layout::RowMajor));
    EXPECT_FALSE(check_bitwidth(*d, 6, "output_shift", false).error);
    EXPECT_TRUE(check_bitwidth(*d, 5, "output_shift", false).error);
}

}  // namespace
}  // namespace vorna
