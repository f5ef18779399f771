// The run checks of every prefix of a layer list, answered in one walk, equal
// the checks of each prefix on its own, failures and messages included.

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "backend/v1/rules.h"
#include "backend/v2/rules.h"
#include "e2e_test_util.h"

namespace vorna {
namespace {

using P = std::map<std::string, int>;
using LT = LayerType;

struct L {
    LT type;
    const char* name;
    P params;
    std::vector<const char*> inbound = {};
};

std::vector<std::shared_ptr<Layer>> build(const std::vector<L>& layers) {
    auto model = Model::create();
    for (const L& l : layers) {
        std::vector<std::shared_ptr<Layer>> inbound;
        for (const char* n : l.inbound) inbound.push_back(model->get_layer(n));
        model->add(e2e::make_layer(l.type, l.name, l.params), inbound);
    }
    return model->layers();
}

const P kIn{{"input_width", 8}, {"input_height", 8}, {"input_channels", 8}};
const P kConv{{"filters", 8}, {"kernel_size", 3}, {"activation", 1}};
const P kPool{
    {"filters", 8}, {"kernel_size", 3}, {"activation", 1}, {"pool_type", 1}, {"pool_size", 2}};

TEST(RunPrefixes, V2OneWalkEqualsEachRun) {
    const L in{LT::InputData, "in", kIn}, a{LT::Conv2D, "a", kConv};
    // clang-format off
    const std::vector<std::vector<L>> cases = {
        {in, {LT::Conv2D, "pool", kPool}, {LT::Dense1D, "d1", {{"units", 16}}},
         {LT::Dense1D, "d2", {{"units", 8}}}, {LT::Dequantizer, "dq", {}}},
        {in, a, {LT::Dequantizer, "dq", {}}, {LT::Conv2D, "b", kConv}},
        {in, a, {LT::Conv2D, "b", kConv}, {LT::Add, "s", {}, {"b", "a"}},
         {LT::Dense1D, "d", {{"units", 8}}}},
        {in, a, {LT::Conv2D, "l", kConv, {"a"}}, {LT::Conv2D, "r", kConv, {"a"}},
         {LT::Conv2D, "x", kConv, {"a"}}, {LT::Concatenate, "cat", {}, {"l", "r"}},
         {LT::Conv2D, "m", kConv}},
        {in, a, {LT::Dense1D, "d", {{"units", 8}}}, {LT::Conv2D, "c", kConv}},
        {in, a, {LT::Conv2D, "b", kConv}, {LT::Conv2D, "c", kConv, {"b"}},
         {LT::Concatenate, "cat", {}, {"a", "b"}}, {LT::Conv2D, "m", kConv}},
        {in, {LT::InputConv2D, "hrc", {{"filters", 8}, {"kernel_size", 3}, {"kernel_stride", 2}}},
         {LT::Conv2D, "a", kConv, {"hrc"}}, {LT::Conv2D, "b", kConv, {"hrc"}},
         {LT::Concatenate, "cat", {}, {"a", "b"}}, {LT::Conv2D, "m", kConv}},
    };
    // clang-format on
    // Every case from every starting layer: runs may open on any kind.
    std::set<std::string> messages;
    for (size_t i = 0; i < cases.size(); ++i) {
        const auto layers = build(cases[i]);
        for (auto begin = layers.begin(); begin != layers.end(); ++begin) {
            const auto all = v2::check_layer_sequence_prefixes(begin, layers.end());
            ASSERT_EQ(all.size(), size_t(layers.end() - begin)) << "case " << i;
            for (size_t e = 0; e < all.size(); ++e) {
                const MappingStatus one = v2::check_layer_sequence(begin, begin + e + 1);
                EXPECT_EQ(all[e].error, one.error) << "case " << i << ", run of " << e + 1;
                EXPECT_EQ(all[e].message, one.message) << "case " << i << ", run of " << e + 1;
                messages.insert(one.message.substr(0, 34));
            }
        }
    }
    // Every rule of a run fails somewhere above (and some runs pass).
    EXPECT_EQ(messages.size(), 13u);
}

TEST(RunPrefixes, V1OneWalkEqualsEachRun) {
    const P in{{"input_width", 8}, {"input_height", 8}, {"input_channels", 8}, {"input_bits", 2}};
    // clang-format off
    const P conv{{"filters", 8}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2},
                 {"act_bits", 2}};
    // clang-format on
    P pool = conv;
    pool.insert({{"pool_type", 1}, {"pooling_width", 2}, {"pooling_height", 2}});
    const P fc{{"units", 10}, {"weights_bits", 2}, {"act_bits", 2}};
    const auto layers = build({{LT::InputData, "in", in},
                               {LT::Convolutional, "c1", conv},
                               {LT::Convolutional, "p1", pool},
                               {LT::FullyConnected, "f1", fc},
                               {LT::FullyConnected, "f2", fc}});
    const auto all = v1::check_layer_sequence_rules_prefixes(layers.begin(), layers.end());
    ASSERT_EQ(all.size(), layers.size());
    for (size_t e = 0; e < layers.size(); ++e) {
        const MappingStatus one =
            v1::check_layer_sequence_rules(layers.begin(), layers.begin() + e + 1);
        EXPECT_EQ(all[e].error, one.error) << "run of " << e + 1;
        EXPECT_EQ(all[e].message, one.message) << "run of " << e + 1;
    }
    EXPECT_TRUE(all[2].error);
    EXPECT_TRUE(all[4].error);
}

}  // namespace
}  // namespace vorna
