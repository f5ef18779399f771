#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "backend/graph_utils.h"
#include "graph_fakes.h"

namespace vorna {
namespace {

using graph_test::add;
using graph_test::conv;
using graph_test::FakePtr;
using graph_test::link;
using graph_test::list;
using graph_test::make_layer;

std::vector<std::string> names(const LayerList& layers) {
    std::vector<std::string> out;
    for (const auto& l : layers) out.push_back(l ? l->get_name() : "<null>");
    return out;
}

using Names = std::vector<std::string>;

// Residual block: A -> B -> E -> S(Add) -> M -> D and A -> S, with S's
// inputs A then E. `reversed` puts S before B among A's outbound layers.
struct Residual {
    FakePtr a = conv("A"), b = conv("B"), e = conv("E"), s = add("S"), m = conv("M"), d = conv("D");
    explicit Residual(bool reversed = false) {
        if (reversed) {
            link(a, s);
            link(a, b);
        } else {
            link(a, b);
            link(a, s);
        }
        link(b, e);
        link(e, s);
        link(s, m);
        link(m, d);
        // S's inbound layers must be A then E whatever A's outbound order.
        s->inbound = {a, e};
    }
    LayerList all() const { return list({a, b, e, s, m, d}); }
};

// Parallel branches joined by a concatenation: A -> B1 -> C, A -> B2 -> C,
// C -> M.
struct Parallel {
    FakePtr a = conv("A"), b1 = conv("B1"), b2 = conv("B2"),
            c = make_layer("C", LayerType::Concatenate), m = conv("M");
    Parallel() {
        link(a, b1);
        link(a, b2);
        link(b1, c);
        link(b2, c);
        link(c, m);
    }
};

// An input layer that targets no component, then a chain of two convolutions.
struct Chain {
    FakePtr in = make_layer("in", LayerType::InputData), a = conv("A"), b = conv("B");
    Chain() {
        link(in, a);
        link(a, b);
    }
};

TEST(GraphUtilsDepth, ResidualDepthsAndMemo) {
    Residual r;
    DepthMap depths;
    EXPECT_EQ(get_layer_depth(r.d, &depths), 5u);
    // A skip-DMA layer takes its deepest input's depth.
    std::vector<uint64_t> got;
    for (const auto& l : {r.a, r.b, r.e, r.s, r.m}) got.push_back(get_layer_depth(l, &depths));
    EXPECT_EQ(got, (std::vector<uint64_t>{1, 2, 3, 3, 4}));
    // Every layer but the input layer is memoised.
    EXPECT_EQ(depths.size(), 5u);
    EXPECT_EQ(depths.count(r.a), 0u);
    // A memoised value is returned as it stands.
    depths[r.m] = 42;
    EXPECT_EQ(get_layer_depth(r.m, &depths), 42u);
}

TEST(GraphUtilsDepth, SkipLayerAfterInputAndSortOrder) {
    FakePtr root = conv("root"), k = add("K"), q = conv("Q"), q2 = conv("Q2");
    link(root, k);
    link(k, q);
    link(k, q2);
    DepthMap depths;
    EXPECT_EQ(get_layer_depth(root, &depths), 1u);
    EXPECT_TRUE(depths.empty());
    EXPECT_EQ(get_layer_depth(k, &depths), 1u);
    EXPECT_EQ(get_layer_depth(q, &depths), 2u);

    // The input layer counts as depth 0 in a sort and comes before the
    // skip-DMA layer of depth 1; equal depths keep their order.
    LayerList layers = list({q2, k, q, root});
    sort_by_depth(&layers);
    EXPECT_EQ(names(layers), (Names{"root", "K", "Q2", "Q"}));
}

TEST(GraphUtilsBranches, CommonLayers) {
    Residual r;
    EXPECT_EQ(common_layers({}, r.all()), nullptr);
    EXPECT_EQ(common_layers(r.all(), {}), nullptr);
    EXPECT_EQ(common_layers(list({r.a, r.b}), list({r.m, r.d})), nullptr);
    // The shallowest common layer, whatever the order of the first list.
    EXPECT_EQ(common_layers(list({r.d, r.m, r.e}), list({r.e, r.d, r.m})), r.e);
}

TEST(GraphUtilsBranches, ResidualBothOutboundOrders) {
    for (bool reversed : {false, true}) {
        SCOPED_TRACE(reversed ? "reversed" : "natural");
        Residual r(reversed);
        const BranchPair branches = get_skipconnect_branch(r.a);
        EXPECT_EQ(names(branches.first), (Names{"B", "E", "S", "M", "D"}));
        EXPECT_EQ(names(branches.second), (Names{"S", "M", "D"}));
    }
}

TEST(GraphUtilsBranches, JoinWithoutSkipLayer) {
    // A -> M first, then A -> B -> E -> M -> D: the main branch reaches M through E.
    FakePtr a = conv("A"), b = conv("B"), e = conv("E"), m = conv("M"), d = conv("D");
    link(a, m);
    link(a, b);
    link(b, e);
    link(e, m);
    link(m, d);
    const BranchPair branches = get_skipconnect_branch(a);
    EXPECT_EQ(names(branches.first), (Names{"B", "E", "M", "D"}));
    EXPECT_EQ(names(branches.second), (Names{"M", "D"}));
    EXPECT_TRUE(get_skipconnect_branch(d).first.empty());
}

TEST(GraphUtilsBranches, ChainOfResidualBlocksStaysFast) {
    // Forty residual blocks in a row: every block doubles the number of paths,
    // so the branch query must not walk them one by one.
    FakePtr prev = conv("in");
    FakePtr first = prev;
    for (int i = 0; i < 40; ++i) {
        const std::string n = std::to_string(i);
        FakePtr x = conv("x" + n), s = add("s" + n), out = conv("o" + n);
        link(prev, x);
        link(prev, s);
        link(x, s);
        s->inbound = {prev, x};
        link(s, out);
        prev = out;
    }
    const BranchPair branches = get_skipconnect_branch(first);
    EXPECT_EQ(branches.first.size(), 40u * 3u);
    EXPECT_EQ(branches.first.front()->get_name(), "x0");
    EXPECT_EQ(branches.second.front()->get_name(), "s0");
}

TEST(GraphUtilsBranches, OpenBranchCount) {
    Residual r;
    EXPECT_EQ(get_out_branches_count({}), 0u);
    EXPECT_EQ(get_out_branches_count(list({r.a})), 2u);
    EXPECT_EQ(get_out_branches_count(list({r.d})), 0u);
    EXPECT_EQ(get_out_branches_count(list({r.a, r.b, r.e})), 2u);
    EXPECT_EQ(get_out_branches_count(list({r.a, r.b, r.e, r.s})), 1u);
    // The first layer of the argument (not of the depth-sorted copy) counts
    // one input: M comes first here although S sorts before it.
    EXPECT_EQ(get_out_branches_count(list({r.m, r.s})), 0u);
    // A run that consumes more edges than it opens wraps around.
    EXPECT_EQ(get_out_branches_count(list({r.d, r.s})), ~uint64_t{0});
}

TEST(GraphUtilsBranches, LayersToMapTogether) {
    Residual r;
    EXPECT_EQ(names(get_layers_to_map_together(r.all())), (Names{"A", "B", "E", "S", "M"}));
    Chain c;
    EXPECT_EQ(names(get_layers_to_map_together(list({c.in, c.a, c.b}))), (Names{"in"}));
    EXPECT_TRUE(get_layers_to_map_together({}).empty());
    // The list is walked as given: a list that never closes is returned whole.
    EXPECT_EQ(names(get_layers_to_map_together(list({r.a, r.b}))), (Names{"A", "B"}));
}

TEST(GraphUtilsNavigation, Representatives) {
    Residual r;
    EXPECT_EQ(get_mappable_layer(r.b), r.b);
    EXPECT_EQ(get_mappable_layer(r.s), r.m);
    Chain c;
    EXPECT_EQ(get_mappable_layer(c.in), c.in);  // targets nothing, represents itself
    // A skip-DMA layer whose outbound layers are all skip-DMA layers has none.
    FakePtr k1 = add("K1"), k2 = add("K2");
    link(k1, k2);
    EXPECT_EQ(get_mappable_layer(k1), nullptr);
    // Two ordinary outbound layers: the branch tie-break (equal depths keep
    // the first).
    Parallel p;
    FakePtr k = add("K");
    link(p.a, k);
    link(k, p.b1);
    link(k, p.b2);
    EXPECT_EQ(get_mappable_layer(k), p.b1);
}

TEST(GraphUtilsNavigation, FirstAndLast) {
    Residual r;
    EXPECT_EQ(first_mappable_layer(r.all()), r.a);
    EXPECT_EQ(last_mappable_layer(r.all()), r.d);
    // Only skip-DMA layers and layers that target nothing: no answer.
    Chain c;
    EXPECT_EQ(first_mappable_layer(list({c.in, r.s})), nullptr);
    EXPECT_EQ(last_mappable_layer(list({c.in, r.s})), nullptr);
    EXPECT_EQ(first_mappable_layer(list({c.in, c.a})), c.a);
    EXPECT_EQ(last_mappable_layer(list({c.in, c.a})), c.a);
    EXPECT_EQ(first_mappable_layer(list({c.b, c.a, c.in})), c.a);
    EXPECT_EQ(last_mappable_layer(list({c.b, c.a, c.in})), c.b);
    // Two shallowest (deepest) layers of equal depth: the tie-break keeps the
    // preferred one, the first (the last) of the depth-sorted list.
    Parallel p;
    EXPECT_EQ(first_mappable_layer(list({p.b1, p.b2})), p.b1);
    EXPECT_EQ(first_mappable_layer(list({p.b2, p.b1})), p.b2);
    EXPECT_EQ(last_mappable_layer(list({p.b1, p.b2})), p.b2);
}

TEST(GraphUtilsNavigation, TieBreakPrefersTheDeeperBranch) {
    // Two candidates of equal depth whose main branches meet at J: C1 reaches
    // J directly, C0 through X; the one whose branch is deeper before J wins.
    FakePtr a = conv("A"), c0 = conv("C0"), c1 = conv("C1"), x = conv("X"),
            j = make_layer("J", LayerType::Concatenate), z = conv("Z");
    link(a, c0);
    link(a, c1);
    link(c0, x);
    link(x, j);
    link(c1, j);
    link(j, z);
    j->inbound = {x, c1};
    EXPECT_EQ(first_mappable_layer(list({c1, c0})), c0);
    EXPECT_EQ(first_mappable_layer(list({c0, c1})), c0);
}

TEST(GraphUtilsNavigation, NextAndPrevious) {
    Residual r;
    EXPECT_EQ(next_mappable_layer(r.a), r.b);
    EXPECT_EQ(next_mappable_layer(r.e), r.m);  // through the skip-DMA layer
    EXPECT_EQ(next_mappable_layer(r.d), nullptr);
    EXPECT_EQ(previous_mappable_layer(r.m), r.e);  // the deeper input of the merge
    EXPECT_EQ(previous_mappable_layer(r.b), r.a);
    EXPECT_EQ(previous_mappable_layer(r.a), nullptr);
    Chain c;
    EXPECT_EQ(previous_mappable_layer(c.a), c.in);  // whatever it targets
    EXPECT_EQ(next_mappable_layer(c.in), c.a);

    // After a skip-DMA layer, a layer that is not a merge gets the
    // representative of the skip-DMA layer's main branch.
    FakePtr p = conv("P"), s = add("S2"), f = make_layer("F", LayerType::Dense1D);
    link(p, s);
    link(s, f);
    EXPECT_EQ(previous_mappable_layer(f), f);
}

// --- Classification ---------------------------------------------------------

TEST(GraphUtilsClassification, ResidualBlock) {
    for (bool reversed : {false, true}) {
        SCOPED_TRACE(reversed ? "reversed" : "natural");
        Residual r(reversed);
        // merge, dual output, to store DMA, load, store; skip layer, store, load.
        EXPECT_EQ((std::vector<bool>{is_merge(r.m), is_dual_output_layer(r.m),
                                     is_dual_output_to_store_dma(r.m), layer_need_load_dma(r.m),
                                     layer_need_store_dma(r.m), is_skip_layer(r.a),
                                     layer_need_store_dma(r.a), layer_need_load_dma(r.a),
                                     is_skip_layer(r.e), layer_need_store_dma(r.e)}),
                  (std::vector<bool>{1, 0, 0, 1, 0, 1, 1, 0, 0, 0}));

        EXPECT_EQ(next_mappable_layer(r.a), r.b);
        EXPECT_EQ(previous_mappable_layer(r.m), r.e);
        EXPECT_EQ(names(get_layers_to_map_together(r.all())), (Names{"A", "B", "E", "S", "M"}));
    }

    Residual r;
    // Not a CNP, or a CNP whose first inbound is an ordinary layer: no merge.
    EXPECT_FALSE(is_merge(r.b));
    FakePtr f = make_layer("F", LayerType::Dense1D);
    link(r.s, f);
    EXPECT_FALSE(is_merge(f));
    // A CNP layer without inbound layers is no merge.
    EXPECT_FALSE(is_merge(conv("lonely")));
}

TEST(GraphUtilsClassification, MergeWithOneCnpAmongOtherOutbounds) {
    // S feeds a dense layer first and a CNP layer second. Exactly one of S's
    // outbound layers targets a CNP, so that layer is the merge even though
    // it is not on S's main branch.
    FakePtr p = conv("P"), q = conv("Q"), s = add("S"), f = make_layer("F", LayerType::Dense1D),
            l = conv("L");
    link(p, q);
    link(p, s);
    link(q, s);
    s->inbound = {p, q};
    link(s, f);
    link(s, l);
    EXPECT_EQ(get_skipconnect_branch(s).first.front(), f);
    EXPECT_TRUE(is_merge(l));
    EXPECT_TRUE(is_dual_output_layer(l));
    EXPECT_FALSE(is_merge(f));
}

TEST(GraphUtilsClassification, MergeWithTwoCnpOutbounds) {
    // S feeds two CNP layers: the one on S's main branch is the merge.
    FakePtr p = conv("P"), q = conv("Q"), s = add("S"), l1 = conv("L1"), l2 = conv("L2");
    link(p, q);
    link(p, s);
    link(q, s);
    s->inbound = {p, q};
    link(s, l1);
    link(s, l2);
    EXPECT_TRUE(is_merge(l1));
    EXPECT_FALSE(is_merge(l2));
    EXPECT_TRUE(is_dual_output_layer(l1));
    EXPECT_FALSE(is_dual_output_to_store_dma(l1));  // both at the same depth
}

TEST(GraphUtilsClassification, DualOutputStoredByDma) {
    // S splits into the merge L and a layer F that also reads a deeper layer:
    // the two receivers differ in depth, so the second output is stored.
    FakePtr p = conv("P"), q = conv("Q"), s = add("S"), l = conv("L"),
            f = make_layer("F", LayerType::Dense1D), w1 = conv("W1"), w2 = conv("W2");
    link(p, q);
    link(p, s);
    link(q, s);
    s->inbound = {p, q};
    link(s, l);
    link(s, f);
    link(q, w1);
    link(w1, w2);
    link(w2, f);
    EXPECT_TRUE(is_dual_output_layer(l));
    EXPECT_TRUE(is_dual_output_to_store_dma(l));
    EXPECT_TRUE(layer_need_store_dma(l));
}

TEST(GraphUtilsClassification, AlternateLayers) {
    Parallel p;
    DepthMap depths;
    EXPECT_TRUE(is_alt_layer(p.a, &depths));
    EXPECT_FALSE(depths.empty());  // the caller's map is filled
    Residual r;
    EXPECT_FALSE(is_alt_layer(r.a, &depths));  // B (2) against M (4)
    EXPECT_FALSE(is_alt_layer(r.b, &depths));  // one outbound layer
    FakePtr three = conv("three");
    std::vector<FakePtr> outs{conv("t0"), conv("t1"), conv("t2")};
    for (const auto& out : outs) link(three, out);
    EXPECT_FALSE(is_alt_layer(three, &depths));
}

TEST(GraphUtilsClassification, ParallelBranchSkipLayer) {
    // With equal depths the first input of the concatenation is the skip layer.
    Parallel p;
    EXPECT_TRUE(is_skip_layer(p.b1));
    EXPECT_FALSE(is_skip_layer(p.b2));
    EXPECT_TRUE(is_merge(p.m));
    EXPECT_EQ(previous_mappable_layer(p.m), p.b2);
}

TEST(GraphUtilsClassification, TnpBNeedsLoadAndStore) {
    FakePtr t = make_layer("T", LayerType::BufferTempConv, {{"fifo_size", 3}});
    EXPECT_TRUE(layer_need_load_dma(t));
    EXPECT_TRUE(layer_need_store_dma(t));
}

TEST(GraphUtilsErrors, NullNeighboursAreRuntimeErrors) {
    FakePtr a = conv("A");
    a->inbound.push_back(nullptr);
    DepthMap depths;
    try {
        get_layer_depth(a, &depths);
        FAIL() << "expected an error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Layer 'A' has a null inbound layer.");
    }
    FakePtr b = conv("B");
    {
        FakePtr gone = conv("gone");
        link(b, gone);
    }  // the outbound layer died: its weak link yields null
    EXPECT_THROW(get_skipconnect_branch(b), std::runtime_error);
    EXPECT_THROW(is_merge(nullptr), std::runtime_error);
}

}  // namespace
}  // namespace vorna
