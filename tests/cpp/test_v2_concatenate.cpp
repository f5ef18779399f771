// The neighbour rules of a v2 Concatenate layer.

#include <gtest/gtest.h>

#include "backend/v2/concatenate_constraints.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using v2regs_test::FakeLayer;
using v2regs_test::link;
using v2regs_test::make_layer;

std::string check(const Layer& layer) {
    return v2::check_concatenate_constraints(layer).to_string();
}

const std::string kPrefix = "Cannot map layer 'concat'. ";

TEST(V2ConcatCheck, FollowerMustBeOnACnp) {
    auto concat = make_layer(LayerType::Concatenate, "concat");
    link(make_layer(LayerType::Conv2D, "a"), concat);
    link(make_layer(LayerType::Conv2D, "b"), concat);
    EXPECT_EQ(check(*concat), kPrefix + "Must be followed by a merge layer.");
    auto dense = make_layer(LayerType::Dense1D, "dense");
    link(concat, dense);
    EXPECT_EQ(check(*concat), kPrefix + "Must be followed by a merge layer.");
    auto dw = make_layer(LayerType::DepthwiseConv2D, "dw");
    link(concat, dw);
    EXPECT_EQ(check(*concat), "Success.");
}

TEST(V2ConcatCheck, InboundKindsAreReportedOnce) {
    auto concat = make_layer(LayerType::Concatenate, "concat");
    link(make_layer(LayerType::InputData, "in"), concat);
    link(make_layer(LayerType::Conv2D, "a"), concat);
    auto next = make_layer(LayerType::Conv2D, "next");
    link(concat, next);
    EXPECT_EQ(check(*concat), kPrefix + "Inbounds must be of types Conv, Add or Concat.");

    auto lonely = make_layer(LayerType::Concatenate, "concat");
    link(make_layer(LayerType::Dense1D, "d1"), lonely);
    link(make_layer(LayerType::BufferTempConv, "t1"), lonely);
    EXPECT_EQ(check(*lonely), kPrefix +
                                  "Must be followed by a merge layer. Inbounds must be of types "
                                  "Conv, Add or Concat.");
}

TEST(V2ConcatCheck, SameInboundTwiceReplacesEveryOtherFailure) {
    auto concat = make_layer(LayerType::Concatenate, "concat");
    auto a = make_layer(LayerType::InputData, "a");
    link(a, concat);
    link(a, concat);
    EXPECT_EQ(check(*concat), kPrefix + "Concatenate inbounds must come from different layers.");
}

}  // namespace
