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
        {in, {LT::InputConv2D, "hrc", {{"filters", 8}, {"kernel_size", 3}, {"kernel_stride", 2}}},
         {LT::Conv2D, "a", kConv}, {LT::Conv2D, "b", kConv}},
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

// Runs that break two rules of what may feed what: the one walk must report
// the failure of the earliest layer (and, on one layer, the inbound rule before
// the fan-out rule) whichever of the two it finds first. The lists are given
// in both orders, the one where the earlier failure shows first and the one
// where a layer's inbound only joins the run after a later layer has failed.
TEST(RunPrefixes, V2EarlierOfTwoFailuresWins) {
    const P dense{{"units", 8}, {"activation", 1}};
    // f (FNP) feeds c (pooled CNP) feeds g (FNP): c breaks the FNP-to-CNP
    // rule, g the max-pooling rule.
    const auto chain = build({{LT::InputData, "in", kIn},
                              {LT::Dense1D, "f", dense},
                              {LT::Conv2D, "c", kPool},
                              {LT::Dense1D, "g", dense}});
    const auto f = chain[1], c = chain[2], g = chain[3];
    // f feeds h (CNP), which fans out to three layers: h breaks the
    // FNP-to-CNP rule and the fan-out rule.
    const auto fan = build({{LT::InputData, "in", kIn},
                            {LT::Dense1D, "f", dense},
                            {LT::Conv2D, "h", kConv},
                            {LT::Conv2D, "o1", kConv, {"h"}},
                            {LT::Conv2D, "o2", kConv, {"h"}},
                            {LT::Conv2D, "o3", kConv, {"h"}}});
    const auto ff = fan[1], h = fan[2];

    const std::string fnp_c =
        "Cannot map layer 'c'. A layer mapped on FNP cannot be directly followed by a layer "
        "mapped on CNP due to incompatible data processing requirements. Layer 'f' is mappable "
        "on FNP.";
    const std::string fnp_h =
        "Cannot map layer 'h'. A layer mapped on FNP cannot be directly followed by a layer "
        "mapped on CNP due to incompatible data processing requirements. Layer 'f' is mappable "
        "on FNP.";
    const std::string pool_g =
        "Cannot map layer 'g'. Any layer with max pooling must be followed by a layer mapped on "
        "a CNP or a TNP-B. Layer 'c' has max pooling.";
    const std::string fan_h =
        "Cannot map layer 'h'. Layer has 3 outbounds. A maximum of 2 outbounds is supported.";
    const std::string pooled_last =
        "Cannot map layer 'c'. A layer with max pooling cannot be the last layer of a sequence.";

    struct Case {
        std::vector<std::shared_ptr<Layer>> run;
        std::vector<std::string> prefixes;  // expected text of each prefix
    };
    const Case cases[] = {
        {{f, c, g}, {"Success.", pooled_last, fnp_c}},
        {{c, g, f}, {pooled_last, pool_g, fnp_c}},
        {{ff, h}, {"Success.", fnp_h}},
        {{h, ff}, {fan_h, fnp_h}},
    };
    for (const Case& k : cases) {
        const auto all = v2::check_layer_sequence_prefixes(k.run.begin(), k.run.end());
        ASSERT_EQ(all.size(), k.run.size());
        for (size_t e = 0; e < all.size(); ++e) {
            const std::string run_of =
                k.run.front()->get_name() + ", run of " + std::to_string(e + 1);
            const MappingStatus one =
                v2::check_layer_sequence(k.run.begin(), k.run.begin() + e + 1);
            EXPECT_EQ(one.to_string(), k.prefixes[e]) << run_of;
            EXPECT_EQ(all[e].to_string(), one.to_string()) << run_of;
            EXPECT_EQ(all[e].error, one.error) << run_of;
        }
    }
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
