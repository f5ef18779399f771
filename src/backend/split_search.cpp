#include "backend/split_search.h"

#include <algorithm>
#include <array>
#include <queue>
#include <set>
#include <stdexcept>
#include <tuple>
#include <utility>

#include "backend/interfaces.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/types.h"

namespace vorna {

namespace {

constexpr uint32_t kPoolMax = static_cast<uint32_t>(PoolType::Max);

uint32_t ceil_div(uint32_t a, uint32_t b) { return a / b + (a % b != 0 ? 1 : 0); }

uint32_t round_up(uint32_t value, uint32_t step) { return ceil_div(value, step) * step; }

// One usable part count of one axis in the search: `t` is the count the
// enumeration tries, `count` and `size` the parts it yields after the step
// adjustment, `part` the size an NP reads (borders included).
struct AxisCandidate {
    uint32_t t;
    uint32_t count;
    uint32_t size;
    uint32_t part;
};

// The usable part counts of one axis, ascending, from `lowest` to
// `highest`. Counts that yield the same parts as a smaller count are left
// out: every grid they belong to comes later in the search order than the
// same grid with the smaller count, and gets the same answer.
std::vector<AxisCandidate> axis_candidates(const Split& axis, uint32_t highest, uint32_t border_a,
                                           uint32_t border_b, bool last_part_multiple_of_step) {
    std::vector<AxisCandidate> result;
    const uint32_t total = axis.total;
    const uint32_t lowest = std::max<uint32_t>(axis.num_chunks, 1);
    highest = std::min(highest, total);
    std::set<std::pair<uint32_t, uint32_t>> seen;
    for (uint64_t t64 = lowest; t64 <= highest; ++t64) {
        const uint32_t t = static_cast<uint32_t>(t64);
        uint32_t size = ceil_div(total, t);
        uint32_t count = t;
        if (t > 1 && axis.step >= 2) {
            size = round_up(size, axis.step);
            if (size > axis.max_size) {
                size -= axis.step;
                if (size == 0) continue;
                count = ceil_div(total, size);
            }
        }
        if (uint64_t{count - 1} * size >= total) continue;  // the last part would be empty
        if (last_part_multiple_of_step && count > 1) {
            const uint32_t last = total - size * (count - 1);
            if (axis.step == 0 || last % axis.step != 0) continue;
        }
        if (!seen.insert({count, size}).second) continue;
        result.push_back({t, count, size, part_with_borders(count, size, border_a, border_b)});
    }
    return result;
}

Split found_split(const Split& axis, const AxisCandidate& c) {
    Split s;
    s.num_chunks = c.count;
    s.chunk_size = c.size;
    s.total = axis.total;
    s.max_size = axis.max_size;
    s.step = axis.step;
    return s;
}

}  // namespace

Split::Split(uint32_t total_, uint32_t max_size_, uint32_t step_) {
    if (max_size_ < step_) return;  // cannot divide
    total = total_;
    max_size = max_size_;
    step = step_;
    if (max_size_ >= total_) {
        num_chunks = total_ == 0 ? 0 : 1;
        chunk_size = total_;
        return;
    }
    num_chunks = ceil_div(total_, max_size_);
    chunk_size = ceil_div(total_, num_chunks);
    if (num_chunks > 1 && step_ >= 2) {
        chunk_size = round_up(chunk_size, step_);
        if (chunk_size > max_size_) {
            chunk_size -= step_;
            num_chunks = ceil_div(total_, chunk_size);
        }
    }
}

uint32_t part_with_borders(uint32_t count, uint32_t size, uint32_t border_before,
                           uint32_t border_after) {
    if (count == 2) return size + std::max(border_before, border_after);
    if (count >= 3) return size + border_before + border_after;
    return size;
}

bool SplitsNumChunks::operator<(const SplitsNumChunks& o) const {
    return std::tie(width_chunks, height_chunks, filter_chunks) <
           std::tie(o.width_chunks, o.height_chunks, o.filter_chunks);
}

std::set<std::pair<uint32_t, uint32_t>> factor_pairs(uint32_t n) {
    std::set<std::pair<uint32_t, uint32_t>> result;
    for (uint32_t b = 1; uint64_t{b} * b <= n; ++b) {
        if (n % b == 0) result.insert({n / b, b});
    }
    return result;
}

std::set<SplitsNumChunks> SplitsNumChunks::factor_triplets(uint32_t n) {
    std::set<SplitsNumChunks> result;
    for (uint32_t a = 1; uint64_t{a} * a * a <= n; ++a) {
        if (n % a != 0) continue;
        for (const auto& [c, b] : factor_pairs(n / a)) {
            if (b >= a) result.insert({a, b, c});
        }
    }
    return result;
}

std::vector<SplitsNumChunks> SplitsNumChunks::get_splits_number(uint32_t n) {
    std::set<SplitsNumChunks> all;
    for (const SplitsNumChunks& t : factor_triplets(n)) {
        std::array<uint32_t, 3> v{t.width_chunks, t.height_chunks, t.filter_chunks};
        do {
            all.insert({v[0], v[1], v[2]});
        } while (std::next_permutation(v.begin(), v.end()));
    }
    return std::vector<SplitsNumChunks>(all.rbegin(), all.rend());
}

Split make_even_split(const Layer& layer, uint32_t total, uint32_t max_size, bool tnp_b_rounding) {
    const bool tnp_b = tnp_b_rounding && layer.is_target_component(TargetComponent::TNP_B);
    return Split(total, max_size, tnp_b ? 4 : 1);
}

Split make_even_split_stepped(const Layer& layer, const NpSplitParams& params, uint32_t max_size) {
    const auto dims = layer.input_dimensions();
    if (dims.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    const uint32_t step = params.pool_type == kPoolMax ? params.pool_width : 1;
    return Split(dims[0][1], max_size, step);
}

Split fit_weights_split(const Layer& layer, const CompatibilityChecker& checker,
                        const Split& filters) {
    const uint32_t total = filters.total;
    const uint32_t step = filters.step;
    uint32_t tried = filters.num_chunks;
    uint32_t count = filters.num_chunks;
    uint32_t size = filters.chunk_size;
    while (!checker.is_weights_size_fit_np(layer, size)) {
        if (tried >= total) return Split();
        const uint32_t next = tried + 1;
        uint32_t next_size = ceil_div(total, next);
        uint32_t next_count = next;
        if (step >= 2 && next > 1) {
            next_size = round_up(next_size, step);
            if (next_size > filters.max_size) {
                next_size -= step;
                next_count = next_size == 0 ? 0 : ceil_div(total, next_size);
            }
        }
        if (next_size != 0 && next_count != 0 && uint64_t{next_count - 1} * next_size < total) {
            size = next_size;
            count = next_count;
        }
        tried = next;
    }
    Split result;
    result.num_chunks = count;
    result.chunk_size = size;
    result.total = total;
    result.max_size = filters.max_size;
    result.step = step;
    return result;
}

// The candidates are visited in the order of the exhaustive walk over NP
// counts (ascending) and, per count, over get_splits_number, so the first grid
// found is the same. Only grids whose parts stay within each axis's total are
// generated, and grids that repeat the parts of an earlier grid are skipped.
// When the channels do not come from the filter parts, the answer does not
// depend on the filter part at all, so a (width, height) pair that does not
// fit with its first filter count (or that `also_fits` refuses, which is
// asked about the width and height only) is dropped with all its filter
// counts. A layer that fits nowhere is thus rejected after one question per
// distinct (width, height) part instead of a walk up to the product of the
// totals.
SplitSearchResult find_split(uint32_t channels, uint8_t input_bits, const NpSplitParams& params,
                             const CompatibilityChecker& checker, const Split& height,
                             const Split& width, const Split& filters, uint32_t fifo_size,
                             hw::Type type, bool hwpr, uint32_t pk_shift,
                             bool channels_from_filters, bool allow_height_split, bool tnp_b,
                             const SplitFitCheck& also_fits) {
    SplitSearchResult result;
    const auto ws =
        axis_candidates(width, UINT32_MAX, params.border_left, params.border_right, false);
    const auto hs = axis_candidates(height, allow_height_split ? UINT32_MAX : 1, params.border_top,
                                    params.border_bottom, false);
    const auto fs = axis_candidates(filters, UINT32_MAX, 0, 0, channels_from_filters && tnp_b);
    if (ws.empty() || hs.empty() || fs.empty()) return result;

    // One stream per (width, height) candidate, walking the filter candidates
    // in ascending order; the heap yields the grids in search order: fewer NPs
    // first, then more width parts, more height parts, more filter parts.
    struct Entry {
        uint64_t n;
        uint32_t tw, th, tf;
        uint32_t iw, ih, jf;
    };
    const auto later = [](const Entry& a, const Entry& b) {
        if (a.n != b.n) return a.n > b.n;
        if (a.tw != b.tw) return a.tw < b.tw;
        if (a.th != b.th) return a.th < b.th;
        return a.tf < b.tf;
    };
    const auto grid = [&](uint32_t iw, uint32_t ih, uint32_t jf) {
        return Entry{
            uint64_t{ws[iw].t} * hs[ih].t * fs[jf].t, ws[iw].t, hs[ih].t, fs[jf].t, iw, ih, jf};
    };
    std::vector<Entry> storage;
    storage.reserve(ws.size() * hs.size());
    for (uint32_t iw = 0; iw < ws.size(); ++iw) {
        for (uint32_t ih = 0; ih < hs.size(); ++ih) storage.push_back(grid(iw, ih, 0));
    }
    std::priority_queue<Entry, std::vector<Entry>, decltype(later)> queue(later,
                                                                          std::move(storage));

    while (!queue.empty()) {
        const Entry e = queue.top();
        queue.pop();
        const AxisCandidate& w = ws[e.iw];
        const AxisCandidate& h = hs[e.ih];
        const AxisCandidate& f = fs[e.jf];
        const uint32_t ch = channels_from_filters ? f.size : channels;
        uint32_t mode = 0;
        if (checker.is_sram_input_fit_dual_buffer(type, h.part, w.part, ch, fifo_size, input_bits,
                                                  pk_shift)) {
            mode = 1;
        } else if (!hwpr && checker.is_sram_input_fit_single_buffer(
                                type, h.part, w.part, ch, fifo_size, input_bits, pk_shift)) {
            mode = 2;
        }
        if (mode != 0) {
            const Split found_width = found_split(width, w);
            const Split found_height = found_split(height, h);
            if (!also_fits || also_fits(found_width, found_height, ch, mode)) {
                result.found = true;
                result.width = found_width;
                result.height = found_height;
                result.filters = found_split(filters, f);
                result.buffer_mode = mode;
                return result;
            }
        }
        if (channels_from_filters && e.jf + 1 < fs.size()) queue.push(grid(e.iw, e.ih, e.jf + 1));
    }
    return result;
}

MappingStatus layer_error_status(const Layer& layer, const std::string& message) {
    return MappingStatus(layer, message);
}

}  // namespace vorna
