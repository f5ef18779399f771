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

// S1: InputData -> Conv2D, one pass.
TEST(MapRoutine, OneConvOnePass) {
    Rig rig(kV2, default_mesh());
    auto in = input_layer();
    auto c = conv("conv", Shape({8, 8, 4}), 16);
    LayerList layers = chain({in, c});

    EXPECT_EQ(rig.map(&layers).to_string(), "Success.");
    EXPECT_TRUE(layers.empty());
    ASSERT_EQ(rig.sequences.size(), 1u);
    auto seq = rig.sequence();
    EXPECT_EQ(seq->name(), "HW/InputData-conv");
    ASSERT_EQ(seq->passes().size(), 1u);
    EXPECT_EQ(names(seq->passes()[0]->layers), (std::vector<std::string>{"InputData", "conv"}));

    LayerMapping& m = mapping_of(c);
    EXPECT_EQ(m.channel, 1);
    EXPECT_EQ(mapping_of(in).channel, 0);
    // The input arrives through the DMA event endpoint, then from InputData's
    // (empty) component list, which is the very list InputData holds.
    ASSERT_EQ(m.inbound_components.size(), 2u);
    EXPECT_EQ(*m.inbound_components[0], ComponentList{hw::Component(Type::DMA, Ident(1, 1, 0))});
    EXPECT_EQ(m.inbound_components[1], mapping_of(in).nps);
    EXPECT_TRUE(m.inbound_components[1]->empty());
    EXPECT_EQ(*m.outbound_components.at(0), *m.inbound_components[0]);
    EXPECT_TRUE(m.output_to_dma);
    // InputData sends to the conv's NPs on the conv's channel.
    EXPECT_EQ(mapping_of(in).outbound_components.at(0), m.nps);
    EXPECT_EQ(mapping_of(in).next_channel, 1);

    // The least used NP: column 2 shares no node with the FNP3.
    // Sized with multipass false (the sizer answers 1 then).
    ASSERT_EQ(m.nps->size(), 1u);
    const hw::Component& np = (*m.nps)[0];
    EXPECT_EQ(np.ident, Ident(2, 1, 0));
    EXPECT_EQ(np.type, Type::CNP1);
    EXPECT_EQ((std::vector<uint32_t>{np.mem_info.external_size, np.mem_info.input_size,
                                     np.mem_info.weight_size}),
              (std::vector<uint32_t>{1, 100, 200}));

    // Both layers recorded, against the first mappable layer.
    ASSERT_EQ(rig.script->recorded.size(), 2u);
    const auto& r = rig.script->recorded[1];
    EXPECT_EQ(rig.script->recorded[0].layer, "InputData");
    EXPECT_EQ(r.layer + "/" + r.second_layer + "/" + r.shared_layer, "conv/conv/");
    EXPECT_FALSE(r.starts_pass || r.ends_pass);

    ProgramView view = check_program(seq->program());
    ASSERT_NE(view.info, nullptr);
    // scc 1 + InputData 1 + conv 1 = 3 descriptors, plus one; 3 records; 6
    // event generator words, the first for columns 2..2; no dummy header.
    EXPECT_EQ(
        (std::vector<uint32_t>{
            uint32_t(view.info->max_descriptors()), view.data->passes()->Get(0)->records()->size(),
            view.info->epg_registers()->size(), view.info->epg_registers()->Get(0)->value(),
            view.data->dummy_desc_hdr()->word0(), view.data->dummy_desc_hdr()->word1(),
            view.info->device_version()->product_id()}),
        (std::vector<uint32_t>{4, 3, 6, (2u << 8) | 2u, 0, 0, 0xA2}));
    EXPECT_EQ(dims(view.info->input_dims()), (std::vector<uint32_t>{8, 8, 4}));
    EXPECT_EQ(dims(view.info->output_dims()), (std::vector<uint32_t>{8, 8, 16}));
    EXPECT_EQ(view.info->passes()->Get(0)->skipdma_stores(), nullptr);
}

// Three convs of two NPs each on a mesh of four CNPs.
struct ThreeWide {
    TPtr in = input_layer();
    TPtr l1 = conv("L1");
    TPtr l2 = conv("L2");
    TPtr l3 = conv("L3");
    LayerList layers = chain({in, l1, l2, l3});
};

std::set<Ident> idents_of(const LayerMapping& m) {
    std::set<Ident> out;
    for (const auto& c : *m.nps) out.insert(c.ident);
    return out;
}

// S2: the third conv opens a second pass on the first conv's NPs.
TEST(MapRoutine, ForcedSecondPass) {
    Rig rig(kV2, cnp_mesh(4));
    rig.script->max_np_width = 4;  // 8 columns: two NPs per conv
    ThreeWide g;
    const MappingStatusGroup result = rig.map(&g.layers);
    ASSERT_FALSE(result.error) << result.to_string();
    EXPECT_TRUE(g.layers.empty());
    auto seq = rig.sequence();
    ASSERT_EQ(seq->passes().size(), 2u);
    EXPECT_EQ(names(seq->passes()[0]->layers), (std::vector<std::string>{"InputData", "L1", "L2"}));
    EXPECT_EQ(names(seq->passes()[1]->layers), (std::vector<std::string>{"L3"}));

    LayerMapping& m1 = mapping_of(g.l1);
    LayerMapping& m2 = mapping_of(g.l2);
    LayerMapping& m3 = mapping_of(g.l3);
    ASSERT_EQ(m1.nps->size(), 2u);
    ASSERT_EQ(m2.nps->size(), 2u);
    // The reservation sends L2 away from L1's NPs; L3 reuses L1's.
    std::set<Ident> both = idents_of(m1);
    const std::set<Ident> s2 = idents_of(m2);
    both.insert(s2.begin(), s2.end());
    EXPECT_EQ(both.size(), 4u);
    EXPECT_EQ(idents_of(m3), idents_of(m1));

    // Linking across the passes.
    EXPECT_EQ((std::vector<int>{m2.channel, m2.next_channel, m3.input_channel, m2.output_to_dma,
                                m3.output_to_dma}),
              (std::vector<int>{2, 3, 3, 0, 1}));
    EXPECT_EQ(m2.outbound_components, (std::vector<std::shared_ptr<ComponentList>>{m3.nps}));
    ASSERT_EQ(m3.inbound_components.size(), 2u);
    EXPECT_EQ((*m3.inbound_components[0])[0].type, Type::DMA);
    EXPECT_EQ(m3.inbound_components[1], m2.nps);

    // No NP is shared by L2 and L3: every placed component runs single-buffered.
    for (const auto* m : {&m1, &m2, &m3}) {
        for (const auto& c : *m->nps) {
            ASSERT_TRUE(c.placement.has_value());
            EXPECT_TRUE(c.placement->single_buffer);
            EXPECT_EQ(c.mem_info.external_size, 2u);  // sized with multipass true
        }
    }

    // Pass 0 ends with the unused-NP program of L3: registers only, every NP of
    // pass 0 left out, recorded on L3's input channel; the channel is restored.
    const auto& rec = rig.script->recorded;
    ASSERT_EQ(rec.size(), 5u);
    EXPECT_EQ(rec[3].layer, "L3");
    EXPECT_TRUE(rec[3].registers_only);
    EXPECT_EQ(rec[3].shared_layer, "L3");
    EXPECT_EQ(rec[3].channel, 3);
    EXPECT_EQ(rec[3].idents.size(), 4u);
    EXPECT_EQ(m3.channel, 1);
    // Ordinary programs: L2 ends pass 0, L3 starts pass 1; next_first is L3.
    EXPECT_TRUE(rec[2].ends_pass);
    EXPECT_EQ(rec[2].shared_layer, "L3");
    EXPECT_TRUE(rec[4].starts_pass);
    EXPECT_FALSE(rec[4].registers_only);
    EXPECT_EQ(rec[4].second_layer, "L1");

    ProgramView view = check_program(seq->program());
    ASSERT_NE(view.data, nullptr);
    ASSERT_EQ(view.data->passes()->size(), 2u);
    EXPECT_EQ(view.data->passes()->Get(0)->records()->size(), 5u);  // scc, 3 layers, unused NPs
    EXPECT_EQ(view.data->passes()->Get(1)->records()->size(), 1u);
    const uint64_t hdr =
        program::format_config_header_fb(Ident(0, 0, 0, 0), dma::IpRegisters, 1, 0);
    EXPECT_NE(hdr, 0u);
    EXPECT_EQ(view.data->dummy_desc_hdr()->word0(), static_cast<uint32_t>(hdr));
    EXPECT_EQ(view.data->dummy_desc_hdr()->word1(), static_cast<uint32_t>(hdr >> 32));
    EXPECT_EQ(view.info->max_descriptors(), 6);  // pass 0: 1 + 3 + 1 = 5
}

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

TEST(MapRoutine, WalkFailureKeepsTheRest) {
    Rig rig(kV2, default_mesh());
    rig.script->compat = [](const Layer& l) {
        return l.get_name() == "c1" ? MappingStatus(l, "Unsupported.") : MappingStatus::success();
    };
    auto in = input_layer();
    auto c0 = conv("c0");
    auto c1 = conv("c1");
    auto c2 = conv("c2");
    LayerList layers = chain({in, c0, c1, c2});
    const MappingStatusGroup result = rig.map(&layers);
    EXPECT_EQ(result.to_string(), "Cannot map layer 'c1'. Unsupported.");
    EXPECT_EQ(names(layers), (std::vector<std::string>{"c1", "c2"}));
    EXPECT_EQ(rig.script->sequence_calls, (std::vector<size_t>{1, 2}));
}

TEST(MapRoutine, RecorderErrorPropagatesAsLayerStatus) {
    Rig rig(kV2, default_mesh());
    rig.script->throw_on = "conv";
    rig.script->throw_text = "Weights are missing.";  // wrapped as "Error: {}." all the same
    auto in = input_layer();
    auto c = conv("conv");
    LayerList layers = chain({in, c});
    EXPECT_EQ(test_support::runtime_error_text([&] { rig.map(&layers); }),
              "Cannot map layer 'conv'. Error: Weights are missing..");
    EXPECT_EQ(layers.size(), 2u);
    EXPECT_TRUE(rig.sequences.empty());
}

TEST(MapRoutineCollect, ReservedNps) {
    auto dense = layer("d", LayerType::Dense1D, {{"units", 1}});
    auto cv = conv("c");
    const std::vector<Ident> fnp2{Ident(2, 1, 3)};
    const ComponentsPerLayer last{{hw::Component(Type::CNP1, Ident(1, 1, 0)),
                                   hw::Component(Type::SKIP_DMA_STORE, Ident(1, 1, 3, 1))},
                                  {}};
    EXPECT_EQ(collect_request_nps(fnp2, *dense, last, false, false), fnp2);
    EXPECT_TRUE(collect_request_nps(fnp2, *cv, last, false, false).empty());
    EXPECT_EQ(collect_request_nps(fnp2, *cv, last, true, false),
              (std::vector<Ident>{Ident(1, 1, 0)}));
    EXPECT_EQ(collect_request_nps(fnp2, *dense, last, true, false),
              (std::vector<Ident>{Ident(2, 1, 3), Ident(1, 1, 0)}));
    EXPECT_TRUE(collect_request_nps(fnp2, *cv, last, true, true).empty());
}

}  // namespace
}  // namespace vorna
