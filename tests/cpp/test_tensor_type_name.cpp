#include <gtest/gtest.h>

#include "corelib/tensor.h"

namespace {

using vorna::Tensor;
using vorna::TensorType;

TEST(TensorTypeName, EveryTypeAndUnknown) {
    const char* const names[] = {"int32", "float32", "uint8", "int16", "int8",  "int4",
                                 "int2",  "uint4",   "uint2", "bit",   "uint16"};
    for (int value = 0; value <= 10; ++value) {
        EXPECT_STREQ(Tensor::type_name(static_cast<TensorType>(value)), names[value]) << value;
    }
    for (int value : {-1, 11, 255}) {
        EXPECT_STREQ(Tensor::type_name(static_cast<TensorType>(value)), "unknown") << value;
    }
}

}  // namespace
