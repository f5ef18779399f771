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

std::vector<std::string> names(const LayerList& layers) {
    std::vector<std::string> out;
    for (const auto& l : layers) out.push_back(l ? l->get_name() : "<null>");
    return out;
}

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

TEST(GraphUtilsBranches, DirectBranchIsNeverTheMainOne) {
    // The input layer A feeds M directly and through S, a skip-DMA layer at
    // A's depth (1). The direct branch reaches M with no layer before it, so
    // the branch through S is the main one even though M is A's first output.
    FakePtr a = conv("A"), m = conv("M"), s = add("S");
    link(a, m);
    link(a, s);
    link(s, m);
    m->inbound = {a, s};
    const BranchPair branches = get_skipconnect_branch(a);
    EXPECT_EQ(names(branches.first), (std::vector<std::string>{"S", "M"}));
    EXPECT_EQ(names(branches.second), (std::vector<std::string>{"M"}));
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

// --- Classification ---------------------------------------------------------

TEST(GraphUtilsBranches, LayersToMapTogether) {
    using Names = std::vector<std::string>;
    // A split pulls in every layer up to the first one after the join that is
    // not a skip-DMA layer: M, not the Add S.
    Residual r;
    EXPECT_EQ(names(get_layers_to_map_together(r.all())), (Names{"A", "B", "E", "S", "M"}));
    Residual reversed(/*reversed=*/true);
    EXPECT_EQ(names(get_layers_to_map_together(reversed.all())), (Names{"A", "B", "E", "S", "M"}));
    // A plain chain: its first layer alone, whatever kind it is.
    FakePtr in = make_layer("in", LayerType::InputData), a = conv("A"), b = conv("B");
    link(in, a);
    link(a, b);
    EXPECT_EQ(names(get_layers_to_map_together(list({in, a, b}))), (Names{"in"}));
    EXPECT_EQ(names(get_layers_to_map_together(list({r.m, r.d}))), (Names{"M"}));
    EXPECT_TRUE(get_layers_to_map_together({}).empty());
    // The list is walked as given: a list that never closes is returned whole.
    EXPECT_EQ(names(get_layers_to_map_together(list({r.a, r.b}))), (Names{"A", "B"}));
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
