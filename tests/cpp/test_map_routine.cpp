#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hardware_backend.h"
#include "backend/hardware_sequence.h"
#include "corelib/model.h"
#include "engine_b_fakes.h"
#include "program/program_format.h"

namespace vorna {
namespace {

using namespace engine_test;
using hw::Ident;
using hw::Type;

std::vector<uint32_t> dims(const flatbuffers::Vector<uint32_t>* v) {
    return std::vector<uint32_t>(v->begin(), v->end());
}

std::vector<std::string> names(const LayerList& layers) {
    std::vector<std::string> out;
    for (const auto& l : layers) out.push_back(l->get_name());
    return out;
}

TPtr input_layer(const std::string& name = "InputData", Shape shape = Shape({8, 8, 4})) {
    auto l = layer(name, LayerType::InputData,
                   {{"input_width", 8}, {"input_height", 8}, {"input_channels", 4}});
    l->inputs = {shape};
    l->output = shape;
    return l;
}

// Three convs of two NPs each on a mesh of four CNPs.
struct ThreeWide {
    TPtr in = input_layer();
    TPtr l1 = conv("L1");
    TPtr l2 = conv("L2");
    TPtr l3 = conv("L3");
    LayerList layers = chain({in, l1, l2, l3});
};

// A failed unused-NP recording restores the layer's channel.
TEST(MapRoutine, UnusedNpRecordingFailureRestoresChannel) {
    Rig rig(kV2, cnp_mesh(4));
    rig.script->max_np_width = 4;
    rig.script->throw_on = "L3";
    ThreeWide g;
    EXPECT_EQ(test_support::runtime_error_text([&] { rig.map(&g.layers); }),
              "Cannot map layer 'L3'. Error: boom.");
    // The first recording of L3 is its unused-NP program, on input channel 3.
    EXPECT_EQ(mapping_of(g.l3).input_channel, 3);
    EXPECT_EQ(mapping_of(g.l3).channel, 1);
    EXPECT_EQ(g.layers.size(), 4u);
}

// Every NP component of every layer gets its memory sizes, with the external
// size asked for a plain output, in one pass or in several.
TEST(MapRoutine, MemorySizesOfEveryComponent) {
    for (const bool several : {false, true}) {
        Rig rig(kV2, cnp_mesh(several ? 4 : 8));
        rig.script->max_np_width = 4;
        ThreeWide g;
        ASSERT_FALSE(rig.map(&g.layers).error);
        ASSERT_EQ(rig.sequence()->passes().size(), several ? 2u : 1u);
        for (const TPtr& l : {g.l1, g.l2, g.l3}) {
            ASSERT_EQ(mapping_of(l).nps->size(), 2u);
            for (const hw::Component& c : *mapping_of(l).nps) {
                EXPECT_EQ((std::vector<uint32_t>{c.mem_info.input_size, c.mem_info.weight_size,
                                                 c.mem_info.external_size}),
                          (std::vector<uint32_t>{100, 200, several ? 2u : 1u}))
                    << l->get_name();
            }
        }
    }
}

// S3: the same graph without new passes: L3 fails and stays in the list.
TEST(MapRoutine, SinglePassComponentError) {
    Rig rig(kV2, cnp_mesh(4));
    rig.script->max_np_width = 4;
    ThreeWide g;
    const MappingStatusGroup result = rig.map(&g.layers, false);
    EXPECT_TRUE(result.error);
    ASSERT_EQ(result.statuses.size(), 1u);
    EXPECT_EQ(result.statuses[0].layer_name, "L3");
    EXPECT_EQ(result.to_string(),
              "Cannot map layer 'L3'. Not enough hardware components of type CNP1 available. 2 "
              "are needed but 0 are available.");
    EXPECT_EQ(result.message, "Success.");
    EXPECT_EQ(names(g.layers), (std::vector<std::string>{"L3"}));
    ASSERT_EQ(rig.sequences.size(), 1u);
    EXPECT_EQ(rig.sequence()->passes().size(), 1u);
}

// A map call has at most 255 passes. Two one-NP convolutions fill a pass of two NPs (a layer
// never gets the NPs of the layer before it), so 510 fill 255 passes and the 511th may not open
// another: it fails the walk. The descriptor budget, 254, then refuses the 255 passes, each
// counted with the input-setup track plus one (no layer records a track here): 510 descriptors
// for the last layer of the 255th pass; 256 passes would need 512, 254 passes 508.
TEST(MapRoutine, AtMost255Passes) {
    Rig rig(kV2, cnp_mesh(2));
    auto in = input_layer();
    LayerList layers{in};
    rig.script->tracks[in->get_name()] = 0;
    TPtr prev = in;
    for (int i = 0; i < 511; ++i) {
        auto c = conv("c" + std::to_string(i));
        rig.script->tracks[c->get_name()] = 0;
        link(prev, c);
        layers.push_back(c);
        prev = c;
    }
    const MappingStatusGroup result = rig.map(&layers);
    EXPECT_EQ(result.to_string(),
              "Cannot map layer 'c509'. Model is too big. The maximum number of descriptors is "
              "more than allowed. 510 are needed but 254 are available.");
    EXPECT_EQ(layers.size(), 512u);
    EXPECT_TRUE(rig.sequences.empty());
    EXPECT_EQ(rig.script->recorded.back().layer, "c509");
}

// A skip-DMA layer that ends the last group is held back by the sequence builder for a next
// pass that never comes: no pass and no program hold it, so it stays in the caller's list, as a
// layer that was not mapped, and gets no memory sizes.
TEST(MapRoutine, SkipDmaLayerEndingTheLastGroupStaysInTheList) {
    Rig rig(kV2, default_mesh());
    auto in = input_layer();
    auto c0 = conv("c0");
    auto add = add_layer("add");
    LayerList layers = chain({in, c0, add});
    const MappingStatusGroup result = rig.map(&layers);
    EXPECT_FALSE(result.error) << result.to_string();
    EXPECT_EQ(names(layers), (std::vector<std::string>{"add"}));
    ASSERT_EQ(rig.sequences.size(), 1u);
    ASSERT_EQ(rig.sequence()->passes().size(), 1u);
    EXPECT_EQ(names(rig.sequence()->passes()[0]->layers),
              (std::vector<std::string>{"InputData", "c0"}));
    for (const auto& recorded : rig.script->recorded) EXPECT_NE(recorded.layer, "add");
    EXPECT_EQ(add->mapping(), nullptr);
}

// S5: an HRC layer on a mesh without HRC ends the call with that one failure.
TEST(MapRoutine, HrcMissing) {
    Rig rig(kV2, default_mesh(false));
    auto hrc = layer("hrc", LayerType::InputConv2D, {{"filters", 8}, {"kernel_size", 3}});
    auto c = conv("conv");
    LayerList layers = chain({hrc, c});
    const MappingStatusGroup result = rig.map(&layers);
    EXPECT_TRUE(result.error);
    ASSERT_EQ(result.statuses.size(), 1u);
    EXPECT_EQ(result.to_string(),
              "Cannot map layer 'hrc'. Layer should be mapped on HRC but the device does not have "
              "this hardware component.");
    EXPECT_TRUE(rig.sequences.empty());
    EXPECT_EQ(layers.size(), 2u);
    EXPECT_TRUE(rig.script->sequence_calls.empty());
}

// S6: dense layers and the FNP choice.
TEST(MapRoutine, DenseNpChoice) {
    Rig rig(kV2, default_mesh());
    auto in = input_layer();
    auto d1 = layer("d1", LayerType::Dense1D, {{"units", 10}});
    auto d2 = layer("d2", LayerType::Dense1D, {{"units", 10}});
    LayerList layers = chain({in, d1, d2});
    const MappingStatusGroup result = rig.map(&layers);
    ASSERT_FALSE(result.error) << result.to_string();
    // d1 fits an FNP3; d2 finds it taken and gets the FNP2.
    const hw::Component f1 = (*mapping_of(d1).nps)[0], f2 = (*mapping_of(d2).nps)[0];
    EXPECT_EQ(std::make_pair(f1.type, f1.ident), std::make_pair(Type::FNP3, Ident(1, 1, 3)));
    EXPECT_EQ(std::make_pair(f2.type, f2.ident), std::make_pair(Type::FNP2, Ident(2, 1, 3)));
    // A Dense1D first layer flattens its input.
    ProgramView view = check_program(rig.sequence()->program());
    ASSERT_NE(view.info, nullptr);
    EXPECT_EQ(dims(view.info->input_dims()), (std::vector<uint32_t>{1, 1, 256}));
}

TEST(MapRoutine, DenseThatDoesNotFitAnFnp3AvoidsAnEarlierFnp2) {
    Rig rig(kV2, default_mesh());
    rig.script->fnp3_fits = false;
    auto in = input_layer();
    auto d1 = layer("d1", LayerType::Dense1D, {{"units", 10}});
    auto d2 = layer("d2", LayerType::Dense1D, {{"units", 10}});
    LayerList layers = chain({in, d1, d2});
    const MappingStatusGroup result = rig.map(&layers);
    // d1 takes the only FNP2; d2 may not get it again, in any pass.
    EXPECT_EQ((*mapping_of(d1).nps)[0].type, Type::FNP2);
    EXPECT_TRUE(result.error);
    ASSERT_EQ(result.statuses.size(), 1u);
    EXPECT_EQ(result.statuses[0].layer_name, "d2");
    EXPECT_EQ(names(layers), (std::vector<std::string>{"d2"}));
}

TEST(MapRoutine, ConvsLeaveFnpCapableNpsForLast) {
    Rig rig(kV2, default_mesh());
    auto in = input_layer();
    LayerList layers{in};
    std::vector<TPtr> convs;
    TPtr prev = in;
    for (int i = 0; i < 7; ++i) {
        auto c = conv("c" + std::to_string(i));
        link(prev, c);
        layers.push_back(c);
        convs.push_back(c);
        prev = c;
    }
    ASSERT_FALSE(rig.map(&layers, false).error);
    std::vector<Ident> order;
    for (const auto& c : convs) order.push_back((*mapping_of(c).nps)[0].ident);
    EXPECT_EQ(order,
              (std::vector<Ident>{Ident(2, 1, 0), Ident(2, 1, 1), Ident(2, 1, 2), Ident(1, 1, 0),
                                  Ident(1, 1, 1), Ident(1, 1, 2), Ident(2, 1, 3)}));
}

// S7: run checks over prefixes.
TEST(MapRoutine, FailingLastPrefixesRejectTheirLayersOnce) {
    Rig rig(kV2, default_mesh());
    const MappingStatus bad = MappingStatus::failure("Bad run.", "c2");
    rig.script->sequence = [bad](size_t n) { return n >= 4 ? bad : MappingStatus::success(); };
    auto in = input_layer();
    auto c0 = conv("c0");
    auto c1 = conv("c1");
    auto c2 = conv("c2");
    auto c3 = conv("c3");
    LayerList layers = chain({in, c0, c1, c2, c3});
    const MappingStatusGroup result = rig.map(&layers);
    EXPECT_EQ(rig.script->sequence_calls, (std::vector<size_t>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(result.error);
    ASSERT_EQ(result.statuses.size(), 1u);
    EXPECT_EQ(result.statuses[0], bad);
    EXPECT_EQ(names(layers), (std::vector<std::string>{"c2", "c3"}));
    EXPECT_EQ(names(rig.sequence()->passes()[0]->layers),
              (std::vector<std::string>{"InputData", "c0", "c1"}));
}

// A fault while the layers before a refused layer are built is thrown with its own text,
// whatever the refused layer is.
TEST(MapRoutine, BuildFaultBeforeARefusedLayer) {
    struct Case {
        const char* what;
        enum { Follows, MergesL1L2, MergesOthers } l3;  // L3 follows L2, or adds two layers
        std::string outcome;
    };
    const std::vector<Case> cases = {
        {"refused merge of a skip connection", Case::MergesL1L2,
         "thrown: Cannot map layer 'L1'. Error: boom."},
        {"refused layer in a chain", Case::Follows, "thrown: Cannot map layer 'L1'. Error: boom."},
        {"refused merge of layers not in the list", Case::MergesOthers,
         "thrown: Cannot map layer 'L1'. Error: boom."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Rig rig(kV2, default_mesh());
        rig.script->throw_on = "L1";
        rig.script->compat = [](const Layer& l) {
            return l.get_name() == "L3" ? MappingStatus(l, "No.") : MappingStatus::success();
        };
        auto in = input_layer();
        auto l1 = conv("L1");
        auto l2 = conv("L2");
        auto l3 = c.l3 == Case::Follows ? conv("L3") : add_layer("L3");
        LayerList layers = chain({in, l1, l2});
        if (c.l3 == Case::MergesOthers) {
            auto x = conv("X");
            auto y = conv("Y");
            link(in, x);
            link(in, y);
            link(x, l3);
            link(y, l3);
        } else {
            if (c.l3 == Case::MergesL1L2) link(l1, l3);
            link(l2, l3);
        }
        layers.push_back(l3);
        std::string outcome;
        try {
            outcome = "status: " + rig.map(&layers).to_string();
        } catch (const std::runtime_error& e) {
            outcome = std::string("thrown: ") + e.what();
        }
        EXPECT_EQ(outcome, c.outcome);
        EXPECT_EQ(layers.size(), 4u);
        EXPECT_TRUE(rig.sequences.empty());
    }
}

}  // namespace
}  // namespace vorna
