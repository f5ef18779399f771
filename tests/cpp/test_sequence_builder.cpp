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

// Both builders of a pass take one component list per layer of the pass, and
// refuse a pass whose counts differ before touching any layer.
TEST(SequenceBuilder, OneComponentListPerLayer) {
    BuilderRig r;
    auto a = conv("a"), b = conv("b");
    link(a, b);
    const LayerList all{a, b};
    const ComponentsPerLayer one{{Component(Type::CNP1, Ident(2, 1, 0))}};
    const std::string message = "invalid_argument: A pass needs one component list per layer.";
    EXPECT_EQ(test_support::kinded_error_text([&] { r.builder.add_layers(all, all, one); }),
              message);
    EXPECT_TRUE(r.builder.passes().empty());
    EXPECT_EQ(test_support::kinded_error_text(
                  [&] { LayerMappingBuilder::map_standalone(all, one, Ident(1, 1, 0)); }),
              message);
    EXPECT_EQ(a->mapping(), nullptr);
    EXPECT_EQ(test_support::kinded_error_text([&] {
                  LayerMappingBuilder::map_standalone(LayerList{a}, ComponentsPerLayer{},
                                                      Ident(1, 1, 0));
              }),
              message);
}

// Reading learnt values back dispatches on the device's product: one of no
// IP version is refused, after the one-NP check.
TEST(SequenceBuilder, LearningReadBackOnAnUnknownProduct) {
    Rig rig(kV2, default_mesh());
    auto c = conv("c");
    LayerList layers{c};
    ASSERT_FALSE(rig.map(&layers).error);
    const auto mapped = rig.sequence();
    for (uint8_t product : {0x01, 0xA3, 0xB2}) {
        auto device = std::make_shared<FakeDevice>(HwVersion{0xBC, product, 0, 1}, default_mesh());
        HardwareSequence seq(device, mapped->constraints(), mapped->layers(), mapped->passes(), {});
        EXPECT_EQ(test_support::runtime_error_text([&] { seq.sync_learning_vars(); }),
                  "Unsupported IP version in sync_learning_vars.")
            << int(product);
    }
}

// A CNP layer tells its recording to pack its output for the FNP behind it
// when that FNP reads 4-bit inputs or rows padded to whole words (packing 2).
TEST(SequenceBuilderAssembly, FnpFlagOfACnpFeedingAnFnp) {
    struct Case {
        uint8_t cnp_out_bits;
        int out_format;
        uint8_t fnp_in_bits;
        int weights_bits;
        bool expected;
    };
    const Case cases[] = {
        {8, 2, 8, 8, false},  // packing 3: 8 * 10 * 10 = 800 units
        {8, 2, 8, 4, true},   // 4-bit weights: packing 2
        {8, 2, 4, 8, true},   // 4-bit inputs: packing 2
        {4, 2, 8, 8, true},   // 4-bit output, whatever the packing
        {4, 1, 4, 8, false},  // an output format other than 2 never packs
    };
    for (const Case& c : cases) {
        Rig rig(kV2, default_mesh());
        auto cnp = conv("c", Shape({5, 10, 4}), 10);
        cnp->out_bits = c.cnp_out_bits;
        cnp->out_format = c.out_format;
        auto fnp =
            layer("d", LayerType::Dense1D, {{"weights_bits", c.weights_bits}, {"units", 10}});
        fnp->inputs = {Shape({5, 10, 10})};
        fnp->in_bits = c.fnp_in_bits;
        LayerList layers = chain({cnp, fnp});
        ASSERT_FALSE(rig.map(&layers).error);
        ASSERT_FALSE(rig.script->recorded.empty());
        EXPECT_EQ(rig.script->recorded.front().layer, "c");
        EXPECT_EQ(rig.script->recorded.front().fnp_flag, c.expected)
            << int(c.cnp_out_bits) << " " << int(c.fnp_in_bits) << " " << c.weights_bits;
    }
}

// An input-conversion layer reads from the HRC at the all-zero ident, never
// from the DMA input it is given; other layers read from that DMA input.
TEST(SequenceBuilder, StandaloneInboundComponents) {
    auto hrc = layer("hrc", LayerType::InputConv2D);
    auto c = conv("c");
    LayerMappingBuilder::map_standalone(hrc, {}, 1, Ident(1, 1, 0), std::nullopt);
    LayerMappingBuilder::map_standalone(c, {}, 1, Ident(1, 1, 0), std::nullopt);
    const ComponentList hrc_in = source_components(mapping_of(hrc));
    ASSERT_EQ(hrc_in.size(), 1u);
    EXPECT_EQ(hrc_in[0].type, Type::HRC);
    EXPECT_EQ(hrc_in[0].ident, Ident(0, 0, 0, 0));
    const ComponentList c_in = source_components(mapping_of(c));
    ASSERT_EQ(c_in.size(), 1u);
    EXPECT_EQ(c_in[0].type, Type::DMA);
    EXPECT_EQ(c_in[0].ident, Ident(1, 1, 0));
}

// The program splits after its size-prefixed info buffer, whose size is the
// first word, little-endian.
TEST(HardwareSequenceBytes, ProgramPartsAndLearningWithoutPasses) {
    auto device = std::make_shared<FakeDevice>(kV2, default_mesh());
    std::vector<uint8_t> bytes(0x10004 + 3, 0xEE);
    bytes[0] = 0x00;
    bytes[1] = 0x00;
    bytes[2] = 0x01;
    bytes[3] = 0x00;  // n = 0x10000
    HardwareSequence seq(device, HardwareConstraints{}, {}, {}, bytes);
    const Sequence::ProgramParts parts = seq.program_parts();
    EXPECT_EQ(parts.program_info.data, seq.program().data);
    EXPECT_EQ(parts.program_info.size, 0x10004u);
    EXPECT_EQ(parts.program_data.data, seq.program().data + 0x10004);
    EXPECT_EQ(parts.program_data.size, 3u);
    // An info buffer that takes every byte leaves empty program data.
    HardwareSequence exact(device, HardwareConstraints{}, {}, {},
                           std::vector<uint8_t>(bytes.begin(), bytes.begin() + 0x10004));
    EXPECT_EQ(exact.program_parts().program_info.size, 0x10004u);
    EXPECT_EQ(exact.program_parts().program_data.size, 0u);
    bytes[3] = 0x01;  // n = 0x01010000: past the end
    HardwareSequence cut(device, HardwareConstraints{}, {}, {}, bytes);
    EXPECT_EQ(test_support::runtime_error_text([&] { cut.program_parts(); }),
              "The program bytes are malformed.");
    EXPECT_EQ(test_support::runtime_error_text([&] { seq.sync_learning_vars(); }),
              "Learning is not supported for layers mapped on more than 1 NP.");
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
