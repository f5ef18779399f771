#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "backend/split_search.h"
#include "mapper_fakes.h"

namespace vorna {
namespace {

using mapper_test::Rig;

uint32_t cdiv(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

// One axis of the exhaustive walk: false when the candidate count is skipped.
bool walked_axis(uint32_t t, const Split& axis, uint32_t* count, uint32_t* size) {
    if (t - 1 >= axis.total) return false;
    uint32_t s = cdiv(axis.total, t);
    uint32_t c = t;
    if (t > 1 && axis.step >= 2) {
        s = cdiv(s, axis.step) * axis.step;
        if (s > axis.max_size) {
            s -= axis.step;
            if (s == 0) return false;
            c = cdiv(axis.total, s);
        }
    }
    if (uint64_t{c - 1} * s >= axis.total) return false;
    *count = c;
    *size = s;
    return true;
}

uint32_t with_border(uint32_t count, uint32_t size, uint32_t a, uint32_t b) {
    if (count == 1) return size;
    if (count == 2) return size + std::max(a, b);
    return size + a + b;
}

Split result_split(const Split& axis, uint32_t count, uint32_t size) {
    Split s = axis;
    s.num_chunks = count;
    s.chunk_size = size;
    return s;
}

// The search as an exhaustive walk: every NP count from the product of the
// part counts to the product of the totals, every grid of that count in the
// order of get_splits_number. find_split enumerates far fewer grids; it must
// still stop at the same first grid.
SplitSearchResult exhaustive_find_split(uint32_t channels, const NpSplitParams& p,
                                        const CompatibilityChecker& checker, const Split& height,
                                        const Split& width, const Split& filters, bool hwpr,
                                        bool from_filters, bool allow_height, bool tnp_b) {
    SplitSearchResult r;
    const uint64_t lower = uint64_t{width.num_chunks} * height.num_chunks * filters.num_chunks;
    const uint64_t upper = uint64_t{width.total} * height.total * filters.total;
    for (uint64_t n = lower; n <= upper; ++n) {
        for (const auto& g : SplitsNumChunks::get_splits_number(static_cast<uint32_t>(n))) {
            if (g.width_chunks < width.num_chunks || g.height_chunks < height.num_chunks ||
                g.filter_chunks < filters.num_chunks)
                continue;
            if (g.height_chunks >= 2 && !allow_height) continue;
            uint32_t tw, w, th, h, tf, f;
            if (!walked_axis(g.width_chunks, width, &tw, &w)) continue;
            if (!walked_axis(g.height_chunks, height, &th, &h)) continue;
            if (!walked_axis(g.filter_chunks, filters, &tf, &f)) continue;
            if (from_filters && tnp_b && tf > 1) {
                const uint32_t last = filters.total - f * (tf - 1);
                if (filters.step == 0 || last % filters.step != 0) continue;
            }
            const uint32_t wp = with_border(tw, w, p.border_left, p.border_right);
            const uint32_t hp = with_border(th, h, p.border_top, p.border_bottom);
            const uint32_t ch = from_filters ? f : channels;
            uint32_t mode = 0;
            if (checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, hp, wp, ch, 0, 8, 0)) {
                mode = 1;
            } else if (!hwpr && checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, hp, wp, ch,
                                                                        0, 8, 0)) {
                mode = 2;
            }
            if (mode != 0) {
                r.found = true;
                r.buffer_mode = mode;
                r.width = result_split(width, tw, w);
                r.height = result_split(height, th, h);
                r.filters = result_split(filters, tf, f);
                return r;
            }
        }
    }
    return r;
}

TEST(SplitSearchReference, SameFirstGridAsTheExhaustiveWalk) {
    Rig rig{{}};
    std::mt19937 rng(1234);
    int found = 0;
    auto pick = [&rng](uint32_t lo, uint32_t hi) {
        return std::uniform_int_distribution<uint32_t>(lo, hi)(rng);
    };
    for (int round = 0; round < 400; ++round) {
        NpSplitParams p;
        p.border_left = pick(0, 2);
        p.border_right = pick(0, 2);
        p.border_top = pick(0, 2);
        p.border_bottom = pick(0, 2);
        const Split width(pick(1, 12), pick(1, 12), pick(1, 4));
        const Split height(pick(1, 10), pick(1, 10), pick(1, 3));
        const Split filters(pick(1, 12), pick(1, 12), pick(1, 4));
        if (width.empty() || height.empty() || filters.empty()) continue;
        const bool hwpr = pick(0, 1);
        const bool from_filters = pick(0, 1);
        const bool allow_height = pick(0, 3) != 0;
        const bool tnp_b = pick(0, 1);
        const uint32_t salt = pick(0, 1u << 30);
        const uint32_t limit = pick(0, 200);
        // Fit answers that are neither monotone nor regular.
        rig.checker.dual_fit = [salt, limit](uint32_t h, uint32_t w, uint32_t ch) {
            return ((h * 131u + w * 17u + ch * 7u + salt) % 977u) < limit / 4 && h * w * ch < limit;
        };
        rig.checker.single_fit = [salt, limit](uint32_t h, uint32_t w, uint32_t ch) {
            return ((h * 31u + w * 71u + ch * 3u + salt) % 389u) < limit / 2 &&
                   h * w * ch < 2 * limit;
        };
        const auto expected = exhaustive_find_split(5, p, rig.checker, height, width, filters, hwpr,
                                                    from_filters, allow_height, tnp_b);
        const auto got = find_split(5, 8, p, rig.checker, height, width, filters, 0, hw::Type::CNP1,
                                    hwpr, 0, from_filters, allow_height, tnp_b);
        ASSERT_EQ(got.found, expected.found) << "round " << round;
        found += expected.found ? 1 : 0;
        if (!expected.found) continue;
        EXPECT_EQ(got.buffer_mode, expected.buffer_mode) << "round " << round;
        EXPECT_EQ(got.width, expected.width) << "round " << round;
        EXPECT_EQ(got.height, expected.height) << "round " << round;
        EXPECT_EQ(got.filters, expected.filters) << "round " << round;
    }
    // Both outcomes occur often enough for the comparison to mean something.
    EXPECT_GT(found, 30);
    EXPECT_LT(found, 350);
}

}  // namespace
}  // namespace vorna
