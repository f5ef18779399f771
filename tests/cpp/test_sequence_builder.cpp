#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "backend/sequence_builder.h"
#include "engine_b_fakes.h"

namespace vorna {
namespace {

using namespace engine_test;
using hw::Component;
using hw::Ident;
using hw::Type;

std::string too_big(uint64_t needed) {
    return "Model is too big. The maximum number of descriptors is more than allowed. " +
           std::to_string(needed) + " are needed but 254 are available.";
}

struct BuilderRig {
    Rig rig{kV2, default_mesh()};
    HardwareSequenceBuilder builder{rig.device, rig.bundle.constraints(), rig.bundle.io_recorder(),
                                    rig.bundle.layer_recorder()};
};

TEST(SequenceBuilder, DescriptorBudget) {
    BuilderRig r;
    auto c = conv("c");
    const LayerList all{c};
    r.builder.add_layers(all, all, {{Component(Type::CNP1, Ident(2, 1, 0))}});
    EXPECT_FALSE(r.builder.check_num_descriptors(c, 1, 254).error);
    EXPECT_EQ(r.builder.passes().size(), 1u);
    const MappingStatus s = r.builder.check_num_descriptors(c, 2, 128);
    EXPECT_TRUE(s.error);
    EXPECT_EQ(s.layer_name, "c");
    EXPECT_EQ(s.message, too_big(256));
    EXPECT_TRUE(r.builder.passes().empty());
    EXPECT_TRUE(r.builder.layers().empty());
    EXPECT_EQ(r.builder.check_num_descriptors(c, 1, 255).message, too_big(255));
    EXPECT_EQ(r.builder.last_pass(), nullptr);
}

TEST(SequenceBuilder, TrailingSkipLayerIsCarriedToTheNextPass) {
    BuilderRig r;
    auto a = conv("a");
    auto b = conv("b");
    auto s = add_layer("s");
    auto m = conv("m");
    link(a, b);
    link(a, s);
    link(b, s);
    link(s, m);
    const LayerList all{a, b, s, m};
    r.builder.add_layers({a, b, s}, all,
                         {{Component(Type::CNP1, Ident(2, 1, 0))},
                          {Component(Type::CNP1, Ident(2, 1, 1))},
                          {}});
    EXPECT_EQ(r.builder.carried_layer(), s);
    EXPECT_EQ(r.builder.last_pass()->layers, (LayerList{a, b}));
    r.builder.add_layers({m}, all, {{Component(Type::CNP1, Ident(2, 1, 2))}});
    EXPECT_FALSE(r.builder.has_carried_layer());
    EXPECT_EQ(r.builder.last_pass()->layers, (LayerList{s, m}));
    EXPECT_EQ(r.builder.layers(), (LayerList{a, b, s, m}));
    EXPECT_EQ(mapping_of(s).channel, 255);
    r.builder.clear();
    EXPECT_TRUE(r.builder.passes().empty());
}

TEST(SequenceBuilder, FirstLayerColumnRange) {
    BuilderRig r;
    auto hrc = layer("hrc", LayerType::InputConv2D);
    auto c = conv("c");
    const LayerList all = chain({hrc, c});
    r.builder.add_layers(all, all,
                         {{Component(Type::HRC, Ident())},
                          {Component(Type::CNP1, Ident(5, 1, 0)), Component(Type::CNP1, Ident(2, 1, 1))}});
    const HardwarePass& pass = *r.builder.first_pass();
    EXPECT_EQ(r.builder.first_layer_col_range(pass, false), (std::pair<uint8_t, uint8_t>(2, 5)));
    EXPECT_EQ(r.builder.first_layer_col_range(pass, true), (std::pair<uint8_t, uint8_t>(0, 0)));
}

TEST(SequenceBuilder, HrcAloneCountsAsColumnOne) {
    BuilderRig r;
    auto a = conv("a");
    const LayerList all{a};
    r.builder.add_layers(all, all, {{Component(Type::HRC, Ident())}});
    EXPECT_EQ(r.builder.first_layer_col_range(*r.builder.first_pass(), false),
              (std::pair<uint8_t, uint8_t>(1, 1)));
}

// S8: the descriptor budget through the whole map routine.
TEST(SequenceBuilderBudget, OneLayerOf254Tracks) {
    Rig rig(kV2, default_mesh());
    rig.script->tracks["c"] = 254;
    auto c = conv("c");
    LayerList layers{c};
    const MappingStatusGroup result = rig.map(&layers);
    EXPECT_TRUE(result.error);
    EXPECT_EQ(result.to_string(), "Cannot map layer 'c'. " + too_big(255));
    EXPECT_EQ(layers, (LayerList{c}));
    EXPECT_TRUE(rig.sequences.empty());
}

TEST(SequenceBuilderBudget, CountsAreNotCutToABytes) {
    // 1 + 255 = 256 descriptors would wrap to 0 as a byte.
    Rig rig(kV2, default_mesh());
    rig.script->tracks["c"] = 255;
    auto c = conv("c");
    LayerList layers{c};
    EXPECT_EQ(rig.map(&layers).to_string(), "Cannot map layer 'c'. " + too_big(256));
}

struct TwoPasses : ::testing::TestWithParam<std::pair<size_t, bool>> {};

TEST_P(TwoPasses, ClosingCheck) {
    // Pass 0: scc 1 + InputData 1 + L1 n + L2 1 + unused-NP record 1; pass 1: L3 1.
    Rig rig(kV2, cnp_mesh(4));
    rig.script->max_np_width = 4;
    rig.script->tracks["L1"] = GetParam().first;
    auto in = layer("InputData", LayerType::InputData);
    auto l1 = conv("L1");
    auto l2 = conv("L2");
    auto l3 = conv("L3");
    LayerList layers = chain({in, l1, l2, l3});
    const MappingStatusGroup result = rig.map(&layers);
    if (GetParam().second) {
        EXPECT_FALSE(result.error) << result.to_string();
        ProgramView view = check_program(rig.sequence()->program());
        ASSERT_NE(view.info, nullptr);
        EXPECT_EQ(view.info->max_descriptors(), 127);
    } else {
        EXPECT_EQ(result.to_string(), "Cannot map layer 'L3'. " + too_big(256));
        EXPECT_EQ(layers.size(), 4u);
    }
}

// max_t 126 needs 2 x 127 = 254; max_t 127 needs 256.
INSTANTIATE_TEST_SUITE_P(SequenceBuilderBudget, TwoPasses,
                         ::testing::Values(std::make_pair(size_t{122}, true),
                                           std::make_pair(size_t{123}, false)));

TEST(SequenceBuilderAssembly, OutputType3SkipsEventGenerator) {
    Rig rig(kV2, default_mesh());
    rig.script->output_type = 3;
    auto c = conv("c");
    LayerList layers{c};
    ASSERT_FALSE(rig.map(&layers).error);
    ProgramView view = check_program(rig.sequence()->program());
    ASSERT_NE(view.info, nullptr);
    EXPECT_EQ(view.info->epg_registers(), nullptr);
    EXPECT_EQ(static_cast<int>(view.info->output_type()), 3);
}

TEST(SequenceBuilderAssembly, FnpFlagTowardsTnpBInThePass) {
    Rig rig(kV2, default_mesh());
    auto in = layer("InputData", LayerType::InputData);
    auto c = conv("c");
    auto btc = layer("btc", LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}});
    LayerList layers = chain({in, c, btc});
    const MappingStatusGroup result = rig.map(&layers);
    ASSERT_FALSE(result.error) << result.to_string();
    ASSERT_EQ(rig.script->recorded.size(), 3u);
    EXPECT_TRUE(rig.script->recorded[1].fnp_flag);    // c, whose next layer is a TNP-B
    EXPECT_FALSE(rig.script->recorded[2].fnp_flag);   // btc, last
    c->out_format = 1;
    // Output kind other than 2: no flag.
    Rig rig2(kV2, default_mesh());
    LayerList again{in, c, btc};
    ASSERT_FALSE(rig2.map(&again).error);
    EXPECT_FALSE(rig2.script->recorded[1].fnp_flag);
}

}  // namespace
}  // namespace vorna
