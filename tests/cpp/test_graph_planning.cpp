#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>
#include <string>

#include "backend/graph_utils.h"
#include "graph_fakes.h"

namespace vorna {
namespace {

using graph_test::add;
using graph_test::attach_mapping;
using graph_test::conv;
using graph_test::FakePtr;
using graph_test::link;
using graph_test::list;
using graph_test::make_layer;
using graph_test::mapping;

std::shared_ptr<Dense> shift_tensor() {
    return std::shared_ptr<Dense>(
        Dense::create(TensorType::uint8, Shape{4}, Dense::Layout::RowMajor).release());
}

// Residual block A -> B -> E -> S(Add) -> M and A -> S, mapped as one pass
// with the channels a pass gives them (A 1, B 2, E 3, S 255, M 4).
struct ResidualPass {
    FakePtr a = conv("A"), b = conv("B"), e = conv("E"), s = add("S"), m = conv("M");
    std::shared_ptr<Dense> a_shift = shift_tensor(), b_shift = shift_tensor(),
                           out_shift = shift_tensor();
    LayerList layers;
    DepthMap depths;

    explicit ResidualPass(bool add_inputs_reversed = false) {
        link(a, b);
        link(a, s);
        link(b, e);
        link(e, s);
        link(s, m);
        s->inbound = add_inputs_reversed ? list({e, a}) : list({a, e});
        s->variables()->set("a_shift", a_shift);
        s->variables()->set("b_shift", b_shift);
        s->variables()->set("output_shift", out_shift);
        layers = list({a, b, e, s, m});
        attach_mapping(a, 1);
        attach_mapping(b, 2);
        attach_mapping(e, 3);
        attach_mapping(s, 255, 0);
        attach_mapping(m, 4);
    }
};

std::string error_text(const std::function<void()>& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no error>";
}

using V = std::vector<int64_t>;

TEST(GraphUtilsPlanning, ResidualStoreLoadAndMerge) {
    ResidualPass r;
    set_skipdma_store_channel_info(r.a, r.layers, r.layers, &r.depths);
    const auto& store = *mapping(r.a).skipdma_store_channel;
    // First layer of the map call; held from A (depth 1) to S (depth 3); A
    // has two outbound layers.
    EXPECT_EQ((V{store.channel, store.skip_param, store.store_flag, mapping(r.a).next_channel}),
              (V{1, 2, 0, 255}));
    set_merge_layer_info(r.m, r.layers, r.layers, &r.depths);
    const auto& merge = *mapping(r.m).merge_info;
    // M's channel block: 5 layers, then one loading or storing layer (M
    // itself) after the pass's first: base 5 + 1 + 4 = 10.
    EXPECT_EQ((V{merge.from_add, merge.load_channel, merge.not_first, merge.dual_output}),
              (V{1, 11, 1, 0}));
    // E, the second input, is the deeper one: its "b_shift" is the main shift.
    EXPECT_EQ(merge.main_shift.get(), r.b_shift.get());
    EXPECT_EQ(merge.skip_shift.get(), r.a_shift.get());
    EXPECT_EQ(merge.out_shift.get(), r.out_shift.get());
    set_skipdma_load_channel_info(r.m, r.layers, r.layers, &r.depths);
    const auto& load = *mapping(r.m).skipdma_load_channel;
    // |depth(A) - depth(E)|; the channel A stored.
    EXPECT_EQ((V{load.dma_channel, load.skip_param, load.channel, load.concat_offset}),
              (V{10, 2, 1, 0}));
    set_merge_layer_info(r.m, list({r.m}), r.layers, &r.depths);
    EXPECT_FALSE(mapping(r.m).merge_info->not_first);  // first layer of the pass
    // E sits at S's depth and feeds only S.
    set_skipdma_store_channel_info(r.e, r.layers, r.layers, &r.depths);
    const auto& e_store = *mapping(r.e).skipdma_store_channel;
    EXPECT_EQ((V{e_store.store_flag, e_store.skip_param, mapping(r.e).next_channel}),
              (V{1, 0, 6 + 2}));

    ResidualPass reversed(/*add_inputs_reversed=*/true);
    set_merge_layer_info(reversed.m, reversed.layers, reversed.layers, &reversed.depths);
    EXPECT_EQ(mapping(reversed.m).merge_info->main_shift.get(), reversed.a_shift.get());
    EXPECT_EQ(mapping(reversed.m).merge_info->skip_shift.get(), reversed.b_shift.get());

    FakePtr lone = conv("lone");
    EXPECT_EQ(error_text([&] { shift_output_into_sram(lone, &r.depths); }), "<no error>");
    EXPECT_EQ(error_text([&] { set_merge_layer_info(lone, r.layers, r.layers, &r.depths); }),
              "Layer 'lone' has no layer mapping.");
}

TEST(GraphUtilsPlanning, ChannelBlocksAndStorePairs) {
    ResidualPass r;
    LayerList all = r.layers;
    while (all.size() < 10) all.push_back(conv("pad" + std::to_string(all.size())));
    EXPECT_EQ(skipdma_channel_ids(r.a, r.layers, all), 0x0E0D0C0Bu);  // 11, 12, 13, 14
    EXPECT_EQ(skipdma_channel_ids(r.m, r.layers, all), 0x1211100Fu);  // M adds 4
    while (all.size() < 254) all.push_back(conv("pad" + std::to_string(all.size())));
    EXPECT_EQ(skipdma_channel_ids(r.a, r.layers, all), 0x020100FFu);  // wraps at 256

    // Two residual blocks in a row: M, the merge of the first, starts the
    // second (M -> N -> S2 and M -> S2).
    FakePtr n = conv("N"), s2 = add("S2"), p = conv("P");
    link(r.m, n);
    link(r.m, s2);
    link(n, s2);
    link(s2, p);
    attach_mapping(n, 5);
    attach_mapping(s2, 255, 0);
    attach_mapping(p, 6);
    const LayerList two = list({r.a, r.b, r.e, r.s, r.m, n, s2, p});
    set_skipdma_store_channel_info(r.a, two, two, &r.depths);
    EXPECT_EQ(mapping(r.a).skipdma_store_channel->channel, 1);
    set_skipdma_store_channel_info(r.m, two, two, &r.depths);
    EXPECT_EQ(mapping(r.m).skipdma_store_channel->channel, 3);
    set_skipdma_store_channel_dual_output_info(r.m, two, &r.depths);
    const auto& dual = *mapping(r.m).skipdma_store_dual_output_channel;
    EXPECT_EQ((V{dual.channel, dual.store_flag, dual.skip_param}), (V{4, 0, 1}));  // S 3 to M 4
    // The first layer of the map call owns channels 1 and 2.
    set_skipdma_store_channel_dual_output_info(r.m, list({r.m, n, s2, p}), &r.depths);
    EXPECT_EQ(mapping(r.m).skipdma_store_dual_output_channel->channel, 2);
}

// A -> B1 -> C and A -> B2 -> B3 -> C, C a concatenation.
struct ConcatGraph {
    FakePtr a = conv("A"), b1 = conv("B1"), b2 = conv("B2"), b3 = conv("B3"),
            c = make_layer("C", LayerType::Concatenate), m = conv("M");
    ConcatGraph() {
        link(a, b1);
        link(a, b2);
        link(b2, b3);
        link(b1, c);
        link(b3, c);
        link(c, m);
        b1->output_dims = Shape{4, 4, 16};
        b3->output_dims = Shape{4, 4, 24};
        for (const auto& l : {a, b1, b2, b3, m}) attach_mapping(l, 1);
        attach_mapping(c, 255, 0);
    }
};

TEST(GraphUtilsPlanning, ConcatenationOutputShift) {
    ConcatGraph g;
    DepthMap depths;
    shift_output_into_sram(g.b3, &depths);  // second and deeper input
    ASSERT_TRUE(mapping(g.b3).output_shift);
    EXPECT_EQ(*mapping(g.b3).output_shift, 16u);
    shift_output_into_sram(g.b1, &depths);  // first input
    EXPECT_FALSE(mapping(g.b1).output_shift);
    shift_output_into_sram(g.m, &depths);  // no outbound layer
    EXPECT_FALSE(mapping(g.m).output_shift);

    ConcatGraph swapped;
    swapped.c->inbound = list({swapped.b3, swapped.b1});
    shift_output_into_sram(swapped.b1, &depths);  // second input but shallower
    shift_output_into_sram(swapped.b3, &depths);  // deeper but first
    EXPECT_FALSE(mapping(swapped.b1).output_shift);
    EXPECT_FALSE(mapping(swapped.b3).output_shift);

    // Inputs of equal depth: the second one is not deeper, nothing is written.
    FakePtr a = conv("A"), x = conv("X"), y = conv("Y"),
            c = make_layer("C", LayerType::Concatenate);
    link(a, x);
    link(a, y);
    link(x, c);
    link(y, c);
    for (const auto& l : {a, x, y}) attach_mapping(l, 1);
    shift_output_into_sram(y, &depths);
    EXPECT_FALSE(mapping(y).output_shift);
}

TEST(GraphUtilsPlanning, AlternateLayers) {
    FakePtr a = conv("A"), b1 = conv("B1"), b2 = conv("B2"),
            c = make_layer("C", LayerType::Concatenate), m = conv("M");
    link(a, b1);
    link(a, b2);
    link(b1, c);
    link(b2, c);
    link(c, m);
    attach_mapping(a, 1);
    attach_mapping(b1, 2, 2);
    attach_mapping(b2, 3, 3);
    attach_mapping(c, 255, 0);
    attach_mapping(m, 4);
    const LayerList layers = list({a, b1, b2, c, m});

    auto& outbound = mapping(a).outbound_components;
    set_alt_layers(a, layers, &outbound);
    EXPECT_EQ(mapping(b1).alt_info->total_nps, 5u);
    EXPECT_EQ(mapping(b2).alt_info->total_nps, 5u);
    EXPECT_EQ(mapping(b1).alt_info->is_second, 0);
    EXPECT_EQ(mapping(b1).alt_info->main_channel, 0);
    EXPECT_EQ(mapping(b2).alt_info->is_second, 1);
    EXPECT_EQ(mapping(b2).alt_info->main_channel, 2);
    EXPECT_EQ(mapping(a).next_channel, 2);
    ASSERT_EQ(outbound.size(), 2u);
    EXPECT_EQ(outbound[0], mapping(b1).nps);  // the shared lists themselves
    EXPECT_EQ(outbound[1], mapping(b2).nps);

    EXPECT_EQ(error_text([&] { set_alt_layers(a, list({a, b1, c, m}), &outbound); }),
              "Cannot map layer 'A'. Hardware partial reconfiguration with layers on the second "
              "branch is not supported.");
}

// S splits into the merge L and a dense layer F of the same depth.
struct DualOutput {
    FakePtr p = conv("P"), q = conv("Q"), s = add("S"), l = conv("L"),
            f = make_layer("F", LayerType::Dense1D);
    DualOutput() {
        link(p, q);
        link(p, s);
        link(q, s);
        s->inbound = list({p, q});
        link(s, l);
        link(s, f);
        for (const char* v : {"a_shift", "b_shift", "output_shift"})
            s->variables()->set(v, shift_tensor());
        attach_mapping(p, 1);
        attach_mapping(q, 2);
        attach_mapping(s, 255, 0);
        attach_mapping(l, 3);
        attach_mapping(f, 7);
    }
};

TEST(GraphUtilsPlanning, DualOutputToTheOtherBranch) {
    DualOutput g;
    const LayerList layers = list({g.p, g.q, g.s, g.l, g.f});
    DepthMap depths;
    set_merge_layer_info(g.l, layers, layers, &depths);
    EXPECT_TRUE(mapping(g.l).merge_info->dual_output);
    EXPECT_EQ(mapping(g.l).merge_info->dual_output_channel, 7);  // F's channel

    const LayerList without_f = list({g.p, g.q, g.s, g.l});
    EXPECT_EQ(error_text([&] { set_merge_layer_info(g.l, without_f, layers, &depths); }),
              "Cannot map layer 'L'. Hardware partial reconfiguration with layers on the second "
              "branch is not supported.");
    EXPECT_TRUE(mapping(g.l).merge_info->from_add);  // the record stays as written
}

// A layer whose only outbound layer is not a skip-DMA layer stores without
// the store flag and keeps its next channel.
TEST(GraphUtilsPlanning, StoreTowardsAPlainLayerKeepsItsNextChannel) {
    ResidualPass r;
    set_skipdma_store_channel_info(r.b, r.layers, r.layers, &r.depths);
    const auto& store = *mapping(r.b).skipdma_store_channel;
    // B at depth 2 feeds E at depth 3; no storing layer up to B: channel 1.
    EXPECT_EQ((V{store.channel, store.skip_param, store.store_flag, mapping(r.b).next_channel}),
              (V{1, 1, 0, 255}));
}

// Graphs that break what the planning relies on are refused by name.
TEST(GraphUtilsPlanning, BrokenGraphsAreRefused) {
    DepthMap depths;
    FakePtr lone = conv("lone");
    attach_mapping(lone, 1);
    EXPECT_EQ(error_text(
                  [&] { set_skipdma_store_channel_dual_output_info(lone, list({lone}), &depths); }),
              "Layer 'lone' has no inbound layer.");

    // A concatenation with a single input.
    FakePtr a = conv("A"), c = make_layer("C", LayerType::Concatenate);
    link(a, c);
    attach_mapping(a, 1);
    EXPECT_EQ(error_text([&] { shift_output_into_sram(a, &depths); }),
              "Layer 'C' should have two inbound layers.");

    // A TNP-B loads back its state only after its store is planned.
    FakePtr t = make_layer("T", LayerType::BufferTempConv, {{"fifo_size", 2}});
    attach_mapping(t, 3);
    EXPECT_EQ(error_text([&] { set_skipdma_load_channel_info(t, list({t}), list({t}), &depths); }),
              "Layer 'T' loads its state before a store channel is planned.");
    set_skipdma_store_channel_info(t, list({a, t}), list({a, t}), &depths);
    set_skipdma_load_channel_info(t, list({a, t}), list({a, t}), &depths);
    const auto& load = *mapping(t).skipdma_load_channel;
    // Channel 3 - 1; fifo_size + 1; the store channel, T's position in the list.
    EXPECT_EQ((V{load.dma_channel, load.skip_param, load.channel}), (V{2, 3, 1}));

    // The shallowest input of the merge's skip layer is a skip-DMA layer that
    // does not list the skip layer among its outbound layers.
    FakePtr w = conv("W"), x = conv("X"), y = add("Y"), s = add("S"), m = conv("M");
    link(w, x);
    link(x, s);
    s->inbound = list({x, y});
    link(s, m);
    attach_mapping(m, 2);
    EXPECT_EQ(
        error_text([&] { set_skipdma_load_channel_info(m, list({m}), list({w, x, m}), &depths); }),
        "Layer 'Y' has no outbound layer.");

    EXPECT_THROW(set_alt_layers(a, list({a}), nullptr), std::invalid_argument);
    FakePtr p = conv("P"), q = conv("Q");
    link(p, q);
    attach_mapping(p, 1);
    attach_mapping(q, 2);
    auto& outs = mapping(p).outbound_components;
    EXPECT_EQ(error_text([&] { set_alt_layers(p, list({p, q}), &outs); }),
              "Layer 'P' has no alternate branches.");
    // Both branches end in skip-DMA layers without any layer behind them.
    FakePtr k = conv("K"), s1 = add("S1"), s2 = add("S2");
    link(k, s1);
    link(k, s2);
    attach_mapping(k, 1);
    EXPECT_EQ(error_text([&] { set_alt_layers(k, list({k, s1, s2}), &outs); }),
              "Layer 'K' has a branch without a mappable layer.");
    EXPECT_TRUE(outs.empty());
    // Only one branch ends in such a skip-DMA layer, the other in a mapped conv.
    for (bool skip_first : {true, false}) {
        FakePtr h = conv("H"), s3 = add("S3"), c = conv("C");
        if (skip_first) link(h, s3);
        link(h, c);
        if (!skip_first) link(h, s3);
        attach_mapping(h, 1);
        attach_mapping(c, 2);
        EXPECT_EQ(error_text([&] { set_alt_layers(h, list({h, s3, c}), &outs); }),
                  "Layer 'H' has a branch without a mappable layer.")
            << skip_first;
    }
    EXPECT_TRUE(outs.empty());

    // A TNP-B first in the map call stores on channel 0.
    FakePtr t0 = make_layer("T0", LayerType::BufferTempConv, {{"fifo_size", 2}});
    attach_mapping(t0, 3);
    set_skipdma_store_channel_info(t0, list({t0}), list({t0}), &depths);
    const auto& store = *mapping(t0).skipdma_store_channel;
    EXPECT_EQ((V{store.channel, store.store_flag}), (V{0, 1}));
}

// Which entry of the store list is the plain store and which the dual-output
// store, by list size and the merge record's dual-output flag.
TEST(GraphUtilsPlanning, StoreListIndices) {
    struct Case {
        size_t stores;
        int merge;  // -1: no merge record, else its dual_output flag
        int plain, dual;
    };
    const Case cases[] = {{0, -1, -1, -1}, {0, 1, -1, -1}, {1, -1, 0, -1},
                          {1, 0, 0, -1},   {1, 1, -1, 0},  {2, 0, 0, -1},
                          {2, 1, 0, 1},    {3, 0, -1, -1}, {3, 1, -1, 2}};
    for (const Case& c : cases) {
        LayerMapping m;
        m.skipdma_store_components.assign(
            c.stores, hw::Component(hw::Type::SKIP_DMA_STORE, hw::Ident(1, 1, 3, 0)));
        for (size_t i = 0; i < c.stores; ++i)
            m.skipdma_store_components[i].ident.channel = static_cast<uint8_t>(i);
        if (c.merge >= 0) {
            m.merge_info = std::make_unique<MergeLayerMapInfo>();
            m.merge_info->dual_output = c.merge == 1;
        }
        SCOPED_TRACE(std::to_string(c.stores) + " stores, merge " + std::to_string(c.merge));
        EXPECT_EQ(m.get_skipdma_store_index(), c.plain);
        EXPECT_EQ(m.get_skipdma_store_dual_output_index(), c.dual);
        EXPECT_EQ(m.skipdma_store() ? m.skipdma_store()->ident.channel : -1, c.plain);
        EXPECT_EQ(m.skipdma_store_dual_output() ? m.skipdma_store_dual_output()->ident.channel : -1,
                  c.dual);
    }
}

TEST(GraphUtilsPlanning, LayerWithoutMappingIsAnError) {
    ResidualPass r;
    FakePtr lone = conv("lone");
    DepthMap depths;
    EXPECT_EQ(error_text([&] { shift_output_into_sram(lone, &depths); }), "<no error>");
    EXPECT_EQ(error_text([&] { set_merge_layer_info(lone, r.layers, r.layers, &depths); }),
              "Layer 'lone' has no layer mapping.");
}

}  // namespace
}  // namespace vorna
