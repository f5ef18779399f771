// FNP sizes and the FNP RAM image of v1 FullyConnected layers.

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <stdexcept>
#include <vector>

#include "backend/v1/fnp_ram.h"
#include "backend/v1/fnp_registers.h"
#include "backend/v1/fnp_sizes.h"
#include "v1_test_util.h"

namespace vorna {
namespace {

using namespace v1fnp_test;
using v1::fnp_sram_size;
using v1::format_fnp_ram;
using Words = std::vector<uint32_t>;

// ------------------------------------------------------------------ sizes

struct SramCase {
    uint32_t neurons, inputs;
    int bits;
    uint32_t words;
};

TEST(V1FnpSizes, HugeSizesSaturateInsteadOfWrapping) {
    // 2^16 neurons of 2^20 inputs with 4-bit weights: 2^16 x (2^15 x 6 + 4)
    // words does not fit 32 bits; it must not come back as a small number.
    EXPECT_EQ(fnp_sram_size(Shape{1u << 16, 1u << 20}, 4), std::numeric_limits<uint32_t>::max());
    EXPECT_EQ(fnp_sram_size(Shape{0xFFFFFFFFu, 0xFFFFFFFFu}, 4),
              std::numeric_limits<uint32_t>::max());
}

TEST(V1FnpSizes, WeightWidthBelowOneIsRefused) {
    EXPECT_THROW(fnp_sram_size(Shape{1, 1}, 0), std::invalid_argument);
    EXPECT_THROW(fnp_sram_size(Shape{1, 1}, -3), std::invalid_argument);
}

// ---------------------------------------------------------------- RAM image

std::shared_ptr<Dense> weights_of(TensorType type, uint32_t neurons, uint32_t inputs,
                                  Dense::Layout layout = Dense::Layout::ColMajor) {
    return Dense::create(type, Shape{neurons, inputs}, layout);
}

TEST(V1FnpRam, ThresholdRange) {
    auto w = weights_of(TensorType::bit, 1, 1);
    EXPECT_EQ(format_fnp_ram(*w, *int32s({-524288}), *int32s({0}), 1, true)[0], 0x80000u);
    EXPECT_EQ(format_fnp_ram(*w, *int32s({524287}), *int32s({0}), 1, true)[0], 0x7FFFFu);
    EXPECT_EQ(exception_text([&] { format_fnp_ram(*w, *int32s({524288}), *int32s({0}), 1, true); }),
              "524288 cannot fit in a 20 bits signed integer.");
    EXPECT_EQ(
        exception_text([&] { format_fnp_ram(*w, *int32s({-524289}), *int32s({0}), 1, true); }),
        "-524289 cannot fit in a 20 bits signed integer.");
}

TEST(V1FnpRam, StepRange) {
    auto w = weights_of(TensorType::bit, 1, 1);
    EXPECT_EQ(format_fnp_ram(*w, *int32s({0}), *int32s({0xFFFFF}), 1, true)[1], 0xFFFFFu);
    EXPECT_EQ(
        exception_text([&] { format_fnp_ram(*w, *int32s({0}), *int32s({0x100000}), 1, true); }),
        "Backend hardware(FullyConnected): act_step should be between 0 and 65535. "
        "Receives act_step 65536.");
    EXPECT_EQ(exception_text([&] { format_fnp_ram(*w, *int32s({0}), *int32s({-40}), 1, true); }),
              "Backend hardware(FullyConnected): act_step should be between 0 and 65535. "
              "Receives act_step -2.");
    EXPECT_THROW(format_fnp_ram(*w, *int32s({0}), *int32s({-1}), 1, true), v1::FnpError);
}

TEST(V1FnpRam, NegativeOneBitWeightIsRefused) {
    // A 1-bit neuron has no negative half: the bit would land in the next
    // neuron's block (or past the image).
    auto w = weights_of(TensorType::bit, 2, 4);
    set_weight(*w, 0, 1, -1);
    EXPECT_EQ(
        exception_text([&] { format_fnp_ram(*w, *int32s({0, 0}), *int32s({0, 0}), 1, true); }),
        "Backend hardware(FullyConnected): 1-bit weights should be 0 or 1. "
        "Receives weight -1.");
}

TEST(V1FnpRam, WrongTypesAndShortVariables) {
    auto int32_weights = weights_of(TensorType::int32, 1, 4);
    const std::string wrong = exception_text(
        [&] { format_fnp_ram(*int32_weights, *int32s({0}), *int32s({0}), 2, true); });
    EXPECT_EQ(wrong.rfind("Wrong requested type ", 0), 0u) << wrong;

    auto w = weights_of(TensorType::bit, 3, 4);
    // Two thresholds for three neurons: refused, not read past the tensor.
    EXPECT_THROW(format_fnp_ram(*w, *int32s({0, 0}), *int32s({0, 0, 0}), 1, true),
                 std::runtime_error);
    EXPECT_THROW(format_fnp_ram(*w, *int32s({0, 0, 0}), *int32s({0}), 1, true), std::runtime_error);
}

}  // namespace
}  // namespace vorna
