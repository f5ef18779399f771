#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <tuple>

#include "backend/split_search.h"
#include "mapper_fakes.h"

namespace vorna {
namespace {

using mapper_test::FakeChecker;
using mapper_test::make_layer;
using mapper_test::Rig;

Split fields(uint32_t n, uint32_t c, uint32_t t, uint32_t m, uint32_t s) {
    Split r;
    r.num_chunks = n;
    r.chunk_size = c;
    r.total = t;
    r.max_size = m;
    r.step = s;
    return r;
}

TEST(SplitSearchSplit, EvenSplitValues) {
    // total, max_size, step -> num_chunks, chunk_size, total, max_size, step.
    // clang-format off
    const std::vector<std::vector<uint32_t>> cases = {
        {10, 6, 4, 3, 4, 10, 6, 4},           // 2 x 5 -> 8 > 6 -> 4, recount 3
        {9, 8, 4, 2, 8, 9, 8, 4},             // 2 x 5 -> 8: parts 8 and 1
        {7, 3, 4, 0, 0, 0, 0, 0},             // max below step
        {0, 1, 1, 0, 0, 0, 1, 1},             // nothing to divide
        {5, 8, 1, 1, 5, 5, 8, 1},             // fits in one part
        {40, 32, 1, 2, 20, 40, 32, 1},
        {36, 32, 3, 2, 18, 36, 32, 3},
        {40, 32, 3, 2, 21, 40, 32, 3},        // 20 -> 21
        {4096, 64, 1, 64, 64, 4096, 64, 1},
        {100, 30, 1, 4, 25, 100, 30, 1},
        {10, 8, 4, 2, 8, 10, 8, 4}};
    // clang-format on
    for (const auto& c : cases) {
        EXPECT_EQ(Split(c[0], c[1], c[2]), fields(c[3], c[4], c[5], c[6], c[7]))
            << c[0] << "/" << c[1] << "/" << c[2];
        EXPECT_EQ(Split(c[0], c[1], c[2]).empty(), c[3] == 0);
    }
}

// A step of 0 is never rounded to: an empty axis with no room stays empty, and
// a wider one is cut evenly as with step 1. Run in a child: a division by the
// step or the room would trap.
TEST(SplitSearchSplit, StepZeroIsNotRoundedTo) {
    EXPECT_EXIT(
        {
            const bool ok = Split(0, 0, 0) == fields(0, 0, 0, 0, 0) &&
                            Split(10, 4, 0) == fields(3, 4, 10, 4, 0);
            std::exit(ok ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
}

class SplitSearchTest : public ::testing::Test {
  protected:
    Rig rig{{}};
    FakeChecker& checker = rig.checker;
    std::shared_ptr<mapper_test::FakeLayer> layer =
        make_layer("conv", LayerType::Conv2D, TargetComponent::CNP, Shape({40, 30, 8}));
};

TEST_F(SplitSearchTest, FitWeightsGrowsTheFilterSplit) {
    checker.weights_fit = [](uint32_t f) { return f <= 5; };
    // 16 -> 8 (2 parts) -> 6 (3 parts) -> 4 (4 parts).
    EXPECT_EQ(fit_weights_split(*layer, checker, Split(16, 16, 1)), fields(4, 4, 16, 16, 1));
    EXPECT_EQ(checker.weight_calls, (std::vector<uint32_t>{16, 8, 6, 4}));

    // Step 4: 10 over 8 starts as 8 + 2, then 4 + 4 + 2.
    checker.weights_fit = [](uint32_t f) { return f <= 4; };
    EXPECT_EQ(fit_weights_split(*layer, checker, Split(10, 8, 4)), fields(3, 4, 10, 8, 4));

    // A size whose last part would be empty is not adopted; nothing fits.
    checker.weight_calls.clear();
    checker.weights_fit = [](uint32_t f) { return f <= 2; };
    EXPECT_EQ(fit_weights_split(*layer, checker, Split(5, 4, 4)), Split());
    EXPECT_EQ(checker.weight_calls, (std::vector<uint32_t>{4, 4, 4, 4}));

    checker.weights_fit = [](uint32_t) { return false; };
    EXPECT_EQ(fit_weights_split(*layer, checker, Split(3, 3, 1)), Split());

    // Two parts of 10 over at most 5 round to 8, one step less is 4: 3 parts.
    checker.weight_calls.clear();
    checker.weights_fit = [](uint32_t f) { return f <= 4; };
    EXPECT_EQ(fit_weights_split(*layer, checker, fields(1, 10, 10, 5, 4)), fields(3, 4, 10, 5, 4));
    EXPECT_EQ(checker.weight_calls, (std::vector<uint32_t>{10, 4}));

    // Only parts of one filter fit: 3 -> 2 (2 parts) -> 1 (3 parts).
    checker.weight_calls.clear();
    checker.weights_fit = [](uint32_t f) { return f <= 1; };
    EXPECT_EQ(fit_weights_split(*layer, checker, Split(3, 3, 1)), fields(3, 1, 3, 3, 1));
    EXPECT_EQ(checker.weight_calls, (std::vector<uint32_t>{3, 2, 1}));
}

TEST(SplitSearchGrids, EveryOrderedTripleInDescendingOrder) {
    using T = std::tuple<uint32_t, uint32_t, uint32_t>;
    auto triples = [](uint32_t n) {
        std::vector<T> out;
        for (const SplitsNumChunks& s : SplitsNumChunks::get_splits_number(n))
            out.emplace_back(s.width_chunks, s.height_chunks, s.filter_chunks);
        return out;
    };
    EXPECT_EQ(triples(4),
              (std::vector<T>{{4, 1, 1}, {2, 2, 1}, {2, 1, 2}, {1, 4, 1}, {1, 2, 2}, {1, 1, 4}}));
    EXPECT_EQ(triples(1), (std::vector<T>{{1, 1, 1}}));
    EXPECT_EQ(triples(6), (std::vector<T>{{6, 1, 1},
                                          {3, 2, 1},
                                          {3, 1, 2},
                                          {2, 3, 1},
                                          {2, 1, 3},
                                          {1, 6, 1},
                                          {1, 3, 2},
                                          {1, 2, 3},
                                          {1, 1, 6}}));
}

TEST_F(SplitSearchTest, ChannelsFromFiltersAndTnpBLastPart) {
    NpSplitParams params;
    // Channels come from the filter part when asked.
    checker.dual_fit = [](uint32_t, uint32_t, uint32_t ch) { return ch <= 4; };
    auto r = find_split(99, 8, params, checker, Split(1, 256, 1), Split(1, 64, 1), Split(8, 8, 1),
                        0, hw::Type::CNP1, false, 0, true, true, false);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.filters, fields(2, 4, 8, 8, 1));

    // 10 channels on TNP-Bs in parts of multiples of 4: 8 + 2 and 4 + 4 + 2
    // leave a last part that is not a multiple of 4; finer grids leave an
    // empty last part.
    checker.dual_fit = [](uint32_t, uint32_t, uint32_t) { return true; };
    r = find_split(8, 8, params, checker, Split(1, 256, 1), Split(1, 64, 1), Split(10, 8, 4), 0,
                   hw::Type::TNP_B, false, 0, true, true, true);
    EXPECT_FALSE(r.found);
    // The same split for a layer whose channels do not come from the filters.
    r = find_split(8, 8, params, checker, Split(1, 256, 1), Split(1, 64, 1), Split(10, 8, 4), 0,
                   hw::Type::TNP_B, false, 0, false, true, true);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.filters, fields(2, 8, 10, 8, 4));
}

TEST_F(SplitSearchTest, AxisProductBeyond32BitsStillSearched) {
    // 4096 x 4096 x 256 is 2^32: the product of the totals must not wrap.
    NpSplitParams params;
    checker.dual_fit = [](uint32_t, uint32_t w, uint32_t) { return w <= 2048; };
    const auto r = find_split(8, 8, params, checker, Split(4096, 4096, 1), Split(4096, 4096, 1),
                              Split(256, 512, 1), 0, hw::Type::CNP1, false, 0, false, true, false);
    ASSERT_TRUE(r.found);
    EXPECT_EQ(r.width, fields(2, 2048, 4096, 4096, 1));
}

TEST_F(SplitSearchTest, LayerThatFitsNowhereFailsFast) {
    NpSplitParams params;
    params.border_left = params.border_right = params.border_top = params.border_bottom = 1;
    checker.dual_fit = [](uint32_t, uint32_t, uint32_t) { return false; };
    checker.single_fit = [](uint32_t, uint32_t, uint32_t) { return false; };
    const auto start = std::chrono::steady_clock::now();
    const auto r = find_split(2048, 8, params, checker, Split(4096, 256, 1), Split(4096, 64, 1),
                              Split(2048, 512, 1), 0, hw::Type::CNP1, false, 0, false, true, false);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_FALSE(r.found);
    EXPECT_LT(ms,
              20000);  // generous: sanitizers and a loaded CI machine; unbounded would take hours
    // The answer does not depend on the filter part here: one question per
    // distinct (width, height) part, double buffering then single.
    EXPECT_EQ(checker.dual_calls.size(), checker.single_calls.size());
    EXPECT_LT(checker.dual_calls.size(), 20000u);
}

TEST_F(SplitSearchTest, DepthwiseLayerThatFitsNowhereFailsFast) {
    // Channels follow the filter parts, so every distinct grid is asked.
    NpSplitParams params;
    params.border_left = params.border_right = params.border_top = params.border_bottom = 1;
    checker.dual_fit = [](uint32_t, uint32_t, uint32_t) { return false; };
    const auto start = std::chrono::steady_clock::now();
    const auto r = find_split(512, 8, params, checker, Split(1024, 256, 1), Split(1024, 64, 1),
                              Split(2048, 512, 1), 0, hw::Type::CNP1, true, 0, true, true, false);
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
    EXPECT_FALSE(r.found);
    EXPECT_LT(ms,
              20000);  // generous: sanitizers and a loaded CI machine; unbounded would take hours
}

}  // namespace
}  // namespace vorna
