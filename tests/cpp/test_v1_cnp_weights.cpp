// v1 CNP weight images and sizes, with words computed by hand from the
// 50-bit row layouts.
#include <gtest/gtest.h>

#include "backend/v1/cnp_weights.h"
#include "v1_test_util.h"

namespace vorna::v1 {
namespace {

using v1_test::error_text;
using v1_test::set;
using v1_test::tensor;

// Standard weights (filters, channels, k, k), int8, first dimension fastest.
std::shared_ptr<Dense> std_weights(uint32_t f, uint32_t c, uint32_t k) {
    return tensor(TensorType::int8, {f, c, k, k});
}

TEST(V1CnpWeights, StandardFailures) {
    auto rect = tensor(TensorType::int8, {2, 1, 3, 5});
    EXPECT_EQ(error_text([&] { format_std_cnp_weights(rect, true, 0, 2); }),
              "CNP: width and height must be equal.");
    auto w = std_weights(4, 1, 3);
    EXPECT_THROW(format_std_cnp_weights(w, true, 2, 3), std::invalid_argument);
    EXPECT_THROW(format_std_cnp_weights(nullptr, true, 0, 1), std::invalid_argument);
    EXPECT_EQ(error_text([&] { format_std_cnp_weights(std_weights(1, 1, 2), true, 0, 1); }),
              "Unsupported kernel size");
    auto wide = tensor(TensorType::int32, {2, 1, 3, 3});
    EXPECT_EQ(error_text([&] { format_std_cnp_weights(wide, true, 0, 2); }),
              "Wrong requested type a for a tensor of type int32.");
}

TEST(V1CnpWeights, FourBitFailures) {
    EXPECT_EQ(error_text([] { format_4bits_std_cnp_weights(*std_weights(2, 1, 4), 0, 2); }),
              "Unsupported kernel size");
    auto tall = tensor(TensorType::int8, {2, 1, 5, 3});
    EXPECT_EQ(error_text([&] { format_4bits_std_cnp_weights(*tall, 0, 2); }),
              "CNP: width and height must be equal.");
    EXPECT_THROW(format_4bits_std_cnp_weights(*std_weights(2, 1, 1), 1, 2), std::invalid_argument);
}

}  // namespace
}  // namespace vorna::v1
