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

TEST(SequenceBuilder, FirstLayerColumnRange) {
    BuilderRig r;
    auto hrc = layer("hrc", LayerType::InputConv2D);
    auto c = conv("c");
    const LayerList all = chain({hrc, c});
    r.builder.add_layers(
        all, all,
        {{Component(Type::HRC, Ident())},
         {Component(Type::CNP1, Ident(5, 1, 0)), Component(Type::CNP1, Ident(2, 1, 1))}});
    const HardwarePass& pass = *r.builder.first_pass();
    EXPECT_EQ(r.builder.first_layer_col_range(pass, false), (std::pair<uint8_t, uint8_t>(2, 5)));
    EXPECT_EQ(r.builder.first_layer_col_range(pass, true), (std::pair<uint8_t, uint8_t>(0, 0)));
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

TEST(SequenceBuilderAssembly, FnpFlagTowardsTnpBInThePass) {
    Rig rig(kV2, default_mesh());
    auto in = layer("InputData", LayerType::InputData);
    auto c = conv("c");
    auto btc = layer("btc", LayerType::BufferTempConv, {{"filters", 4}, {"fifo_size", 2}});
    LayerList layers = chain({in, c, btc});
    const MappingStatusGroup result = rig.map(&layers);
    ASSERT_FALSE(result.error) << result.to_string();
    ASSERT_EQ(rig.script->recorded.size(), 3u);
    EXPECT_TRUE(rig.script->recorded[1].fnp_flag);   // c, whose next layer is a TNP-B
    EXPECT_FALSE(rig.script->recorded[2].fnp_flag);  // btc, last
    c->out_format = 1;
    // Output kind other than 2: no flag.
    Rig rig2(kV2, default_mesh());
    LayerList again{in, c, btc};
    ASSERT_FALSE(rig2.map(&again).error);
    EXPECT_FALSE(rig2.script->recorded[1].fnp_flag);
}

// A layer that can learn is recorded through the learning recording: its three
// records go to the learning table only, and it counts the tracks of the
// second and third records.
struct LearningCase : ::testing::TestWithParam<bool> {};

TEST_P(LearningCase, LearningLayerRecordsAndSpans) {
    const bool filters = GetParam();
    Rig rig(kV2, default_mesh());
    rig.script->learn_tracks = {1, 2, 3};
    rig.script->learn_filters = filters;
    rig.script->learn_fnp_sram_size = 77;
    auto in = layer("InputData", LayerType::InputData);
    auto learner = conv("learner");
    learner->learns = true;
    LayerList layers = chain({in, learner});
    const MappingStatusGroup result = rig.map(&layers);
    ASSERT_FALSE(result.error) << result.to_string();

    // Only InputData goes through the ordinary recording.
    ASSERT_EQ(rig.script->recorded.size(), 1u);
    EXPECT_EQ(rig.script->recorded[0].layer, "InputData");
    ASSERT_EQ(rig.script->learned.size(), 1u);
    EXPECT_EQ(rig.script->learned[0], std::make_pair(std::string("learner"), false));

    ProgramView view = check_program(rig.sequence()->program());
    ASSERT_NE(view.info, nullptr);
    // scc 1 + InputData 1 + learner (2 + 3) = 7 descriptors, plus one.
    EXPECT_EQ(view.info->max_descriptors(), 8);
    // The pass holds the scc and InputData records, not the learning ones.
    ASSERT_EQ(view.data->passes()->Get(0)->records()->size(), 2u);

    const fb::LearningRecords* learning = view.data->learning();
    ASSERT_NE(learning, nullptr);
    const hw::Ident np = (*mapping_of(learner).nps).at(0).ident;
    ASSERT_NE(learning->np(), nullptr);
    EXPECT_EQ(learning->np()->col(), np.col);
    EXPECT_EQ(learning->np()->row(), np.row);
    EXPECT_EQ(learning->np()->id(), np.id);
    EXPECT_EQ(learning->fnp_sram_size(), 77u);
    EXPECT_EQ(learning->record1()->tracks()->size(), 1u);
    EXPECT_EQ(learning->record2()->tracks()->size(), 2u);
    EXPECT_EQ(learning->record3()->tracks()->size(), 3u);

    const fb::LearningLayerInfo* info = view.info->learning_layer();
    ASSERT_NE(info, nullptr);
    auto resolves = [&view](const fb::TrackSpan* span, const flatbuffers::Vector<uint32_t>* words) {
        ASSERT_NE(span, nullptr);
        EXPECT_EQ(span->size(), words->size());
        EXPECT_EQ(view.data_begin + span->offset(),
                  reinterpret_cast<const uint8_t*>(words->Data()));
    };
    resolves(info->record1_track(), learning->record1()->tracks()->Get(0)->data());
    resolves(info->record2_track(), learning->record2()->tracks()->Get(0)->data());
    ASSERT_NE(info->np(), nullptr);
    EXPECT_EQ(info->np()->id(), np.id);
    const fb::RecordSpans* third = info->record3_spans();
    ASSERT_NE(third, nullptr);
    if (filters) {
        // Only the filters track: no tracks field at all.
        EXPECT_EQ(third->tracks(), nullptr);
        ASSERT_NE(third->fnp2_filters(), nullptr);
        resolves(&third->fnp2_filters()->span(), learning->record3()->fnp2_filters()->data());
        EXPECT_EQ(third->fnp2_filters()->span().size(), 3u);
        EXPECT_EQ(third->fnp2_filters()->np().col(), 2);
        EXPECT_EQ(third->fnp2_filters()->np().id(), 3);
    } else {
        EXPECT_EQ(third->fnp2_filters(), nullptr);
        ASSERT_NE(third->tracks(), nullptr);
        ASSERT_EQ(third->tracks()->size(), 1u);
        resolves(third->tracks()->Get(0), learning->record3()->tracks()->Get(0)->data());
    }
    // The reader sees the same program; the filters words are extra program memory.
    const ByteView bytes = rig.sequence()->program();
    const ProgramInfo reader(bytes.data, bytes.size);
    EXPECT_NE(reader.learning(), nullptr);
    EXPECT_EQ(extra_program_memory_required(reader), filters ? 12u : 0u);
}

INSTANTIATE_TEST_SUITE_P(SequenceBuilderAssembly, LearningCase, ::testing::Bool());

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
