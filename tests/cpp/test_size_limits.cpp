// Sizes formed from caller-given dimensions, strides and counts: exact past 64 bits, refused
// at add (naming the layer) when no tensor can hold them, never wrapped.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "corelib/model.h"
#include "test_support.h"

namespace vorna {
namespace {

using test_support::kinded_error_text;
using test_support::make_layer;
using Params = std::map<std::string, int>;

constexpr uint64_t kMax64 = std::numeric_limits<uint64_t>::max();

TEST(SizeCounts, ExactPast64BitsAndStickingPast128) {
    const SizeCount m32 = 0xFFFFFFFFu;
    // (2^32 - 1)^3 = 2^96 - 3 * 2^64 + 3 * 2^32 - 1.
    EXPECT_EQ(decimal_text(size_product({m32, m32, m32})), "79228162458924105385300197375");
    EXPECT_EQ(saturated64(size_product({m32, m32, m32})), kMax64);
    EXPECT_EQ(saturated64(size_product({m32, m32})), 18446744065119617025u);
    const SizeCount top = ~SizeCount{0};
    EXPECT_EQ(size_product({SizeCount{1} << 64, SizeCount{1} << 64}), top);
    EXPECT_EQ(size_product({SizeCount{1} << 127, 2, 0}), 0u);  // a zero size wins
    EXPECT_EQ(size_sum(top - 1, 2), top);
    EXPECT_EQ(size_sum(top - 2, 2), top);
    EXPECT_EQ(size_sum(3, 4), 7u);
    EXPECT_EQ(size_product({}), 1u);
    // A shape whose element count passes 64 bits reports the largest count, not a wrapped one.
    Shape wide = shape3(0xFFFFFFFFu, 0xFFFFFFFFu, 0x80000000u);
    EXPECT_EQ(wide.element_count(), kMax64);
    EXPECT_EQ(shape3(65536, 65536, 1).element_count(), 4294967296u);
}

// in (x, y, c) -> the layer; refused with the message, the model and the layer unchanged.
TEST(SizeLimits, AddRefusesSizesNoTensorCanHold) {
    struct Case {
        uint32_t x, y, c;
        LayerType kind;
        Params params;
        std::string error;
    };
    const std::string more = ", more than a tensor can hold (4294967295).";
    // clang-format off
    const std::vector<Case> cases = {
        // 65536 x 65536 = 2^32 taps of one filter: the 32-bit product gave 0 and no weights.
        {1, 1, 65536, LayerType::BufferTempConv, {{"filters", 1}, {"fifo_size", 65536}},
         "Layer 'x': the variable 'weights' of shape [1, 1, 4294967296, 1] needs 4294967296 "
         "elements" + more},
        {1, 1, 65536, LayerType::BufferTempConv, {{"filters", 3}, {"fifo_size", 65535}},
         "Layer 'x': the variable 'weights' of shape [1, 1, 4294901760, 3] needs 12884705280 "
         "elements" + more},
        // A width of 65536 times a stride of 65536 gave a width of 0.
        {65536, 2, 1, LayerType::Conv2DTranspose, {{"filters", 1}, {"kernel_size", 3}, {"kernel_stride", 65536}},
         "Layer 'x': the output shape [4294967296, 131072, 1] has a dimension of 4294967296" + more},
        {3, 65536, 2, LayerType::DepthwiseConv2DTranspose, {{"kernel_size", 3}, {"kernel_stride", 65536}},
         "Layer 'x': the output shape [196608, 4294967296, 2] has a dimension of 4294967296" + more},
        // k * k passes 32 bits.
        {1, 1, 1, LayerType::DepthwiseConv2D, {{"kernel_size", 65536}},
         "Layer 'x': the variable 'weights' of shape [65536, 65536, 1, 1] needs 4294967296 "
         "elements" + more},
        {1, 1, 3, LayerType::Conv2D, {{"filters", 2147483647}, {"kernel_size", 2147483647}},
         "Layer 'x': the variable 'weights' of shape [2147483647, 2147483647, 3, 2147483647] "
         "needs 29710560901343952451059843069 elements" + more},
        {1, 1, 2, LayerType::StatefulRecurrent, {{"stateful_channels", 2147483647}, {"output_channels", 3}},
         "Layer 'x': the variable 'out_proj' of shape [3, 2147483647] needs 6442450941 elements" +
         more},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        auto m = Model::create();
        auto in = make_layer(LayerType::InputData,
                             {{"input_width", static_cast<int>(c.x)},
                              {"input_height", static_cast<int>(c.y)},
                              {"input_channels", static_cast<int>(c.c)}},
                             "in");
        m->add(in, {});
        const std::vector<uint8_t> before = m->serialize();
        auto layer = make_layer(c.kind, c.params, "x");
        EXPECT_EQ(kinded_error_text([&] { m->add(layer, {}); }), "invalid_argument: " + c.error);
        EXPECT_EQ(m->serialize(), before);
        EXPECT_TRUE(in->outbound_layers().empty());
        EXPECT_TRUE(layer->variables()->names().empty());
    }
}

TEST(SizeLimits, JoinedChannelsAndStridedWidthsAtTheLimit) {
    auto wide = Model::create();
    wide->add(
        make_layer(LayerType::InputData,
                   {{"input_width", 65535}, {"input_height", 1}, {"input_channels", 1}}, "in"),
        {});
    // 65535 x 65537 = 2^32 - 1 still fits one dimension.
    wide->add(make_layer(LayerType::Conv2DTranspose,
                         {{"filters", 1}, {"kernel_size", 1}, {"kernel_stride", 65537}}, "up"),
              {});
    EXPECT_EQ(wide->get_layer("up")->output_dimensions(), shape3(4294967295u, 65537, 1));

    auto m = Model::create();
    auto in = make_layer(
        LayerType::InputData,
        {{"input_width", 65535}, {"input_height", 1}, {"input_channels", 2147483647}}, "in");
    m->add(in, {});
    m->add(make_layer(LayerType::Concatenate, {}, "two"), {in, in});
    EXPECT_EQ(m->get_layer("two")->output_dimensions(), shape3(65535, 1, 4294967294u));
    // (2^32 - 2) + (2^31 - 1) channels gave 2^31 - 3 in 32 bits.
    EXPECT_EQ(kinded_error_text([&] {
                  m->add(make_layer(LayerType::Concatenate, {}, "three"),
                         {m->get_layer("two"), in});
              }),
              "invalid_argument: Layer 'three': the output shape [65535, 1, 6442450941] has a "
              "dimension of 6442450941, more than a tensor can hold (4294967295).");
    EXPECT_EQ(m->layer_count(), 2u);
}

TEST(SizeLimits, OperationCountsStickAtTheLargestValue) {
    auto m = Model::create();
    m->add(make_layer(
               LayerType::InputData,
               {{"input_width", 2147483647}, {"input_height", 2147483647}, {"input_channels", 8}},
               "in"),
           {});
    // (2^31 - 1)^2 positions x 8 channels x 8 filters: past 2^67.
    m->add(make_layer(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 1}}, "a"), {});
    EXPECT_EQ(m->get_layer("a")->macs(), kMax64);
    // 65536 x 65536 positions x 1 x 4: 2^34, exact.
    auto small = Model::create();
    small->add(
        make_layer(LayerType::InputData,
                   {{"input_width", 65536}, {"input_height", 65536}, {"input_channels", 1}}, "in"),
        {});
    small->add(make_layer(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "a"), {});
    EXPECT_EQ(small->macs(), uint64_t{1} << 34);
    small->add(make_layer(LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 1}}, "b"), {});
    EXPECT_EQ(small->macs(), uint64_t{5} << 34);  // 4 x 1, then 4 x 4 per position
    // Two saturated counts still sum to the largest value.
    m->add(make_layer(LayerType::Conv2D, {{"filters", 8}, {"kernel_size", 1}}, "b"), {});
    EXPECT_EQ(m->macs(), kMax64);
}

// The Python model refuses a layer whose output has a dimension of 0; a model read from a file
// keeps it (mapping reports it), so a serialized one loads back as it was.
TEST(SizeLimits, EmptyOutputsRefusedOnRequestKeptOnLoad) {
    struct Case {
        Params input;
        LayerType kind;
        Params params;
        std::string error;
    };
    const Params in8{{"input_width", 8}, {"input_height", 8}, {"input_channels", 1}};
    const std::string hint =
        ": every output dimension must be at least 1 (check its input size, kernel, stride and "
        "unit or filter count).";
    // clang-format off
    const std::vector<Case> cases = {
        {in8, LayerType::Conv2D, {{"filters", 4}, {"kernel_size", 9}, {"padding", 0}},
         "Layer 'x' of kind Conv2D has the output shape [0, 0, 4]" + hint},
        {in8, LayerType::Dense1D, {{"units", 0}}, "Layer 'x' of kind Dense1D has the output shape [1, 1, 0]" + hint},
        {in8, LayerType::Conv2D, {{"filters", 0}, {"kernel_size", 3}},
         "Layer 'x' of kind Conv2D has the output shape [8, 8, 0]" + hint},
        {{{"input_width", 1}, {"input_height", 1}, {"input_channels", 1}}, LayerType::InputData,
         {{"input_width", 4}, {"input_height", 0}, {"input_channels", 2}},
         "Layer 'x' of kind InputData has the output shape [4, 0, 2]" + hint},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.error);
        const bool input = c.kind == LayerType::InputData;
        auto m = Model::create();
        if (!input) m->add(make_layer(LayerType::InputData, c.input, "in"), {});
        const std::vector<uint8_t> before = m->serialize();
        auto layer = make_layer(c.kind, c.params, "x");
        EXPECT_EQ(kinded_error_text([&] { m->add(layer, {}, EmptyOutput::refused); }),
                  "invalid_argument: " + c.error);
        EXPECT_EQ(m->serialize(), before);
        m->add(layer, {});
        const Shape kept = layer->output_dimensions();
        const std::vector<uint8_t> bytes = m->serialize();
        auto loaded = Model::from_buffer(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        EXPECT_EQ(loaded->get_layer("x")->output_dimensions(), kept);
    }
}

}  // namespace
}  // namespace vorna
