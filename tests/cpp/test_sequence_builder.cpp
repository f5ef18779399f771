#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/program_serializer.h"
#include "backend/sequence_builder.h"
#include "corelib/program_info.h"
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
    r.builder.add_layers(
        {a, b, s}, all,
        {{Component(Type::CNP1, Ident(2, 1, 0))}, {Component(Type::CNP1, Ident(2, 1, 1))}, {}});
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

TEST(SequenceBuilderBudget, CountsAreNotCutToABytes) {
    // 1 + 255 = 256 descriptors would wrap to 0 as a byte.
    Rig rig(kV2, default_mesh());
    rig.script->tracks["c"] = 255;
    auto c = conv("c");
    LayerList layers{c};
    EXPECT_EQ(rig.map(&layers).to_string(), "Cannot map layer 'c'. " + too_big(256));
}

// A layer that can learn is recorded through the learning recording: its three
// records go to the learning table only, and it counts the tracks of the
// second and third records.
// A learning layer without components fails on the first-component access
// itself, after its records were written, and records no learning table.
TEST(SequenceBuilderAssembly, LearningLayerWithoutNpsIsOutOfRange) {
    Rig rig(kV2, default_mesh());
    rig.script->learn_tracks = {1, 1, 1};
    auto learner = conv("learner");
    LayerMappingBuilder::map_standalone(learner, {}, 1, std::nullopt, std::nullopt);
    SequenceSerializer serializer(rig.bundle.layer_recorder(), rig.bundle.io_recorder());
    EXPECT_THROW(serializer.serialize_learning_layer_program(*learner, false), std::out_of_range);
    EXPECT_EQ(rig.script->learned.size(), 1u);

    // A learning recording that throws is a status on the layer.
    rig.script->learn_tracks.clear();
    try {
        serializer.serialize_learning_layer_program(*learner, true);
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot map layer 'learner'. Error: no learning here.");
    }
}

}  // namespace
}  // namespace vorna
