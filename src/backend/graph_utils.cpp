#include "backend/graph_utils.h"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <unordered_map>

#include "backend/graph_utils_internal.h"

namespace vorna {

namespace graph_detail {

const Layer& checked(const std::shared_ptr<Layer>& layer) {
    if (!layer) throw std::runtime_error("Graph query on a null layer.");
    return *layer;
}

namespace {

LayerList checked_list(LayerList list, const Layer& owner, const char* which) {
    for (const auto& l : list) {
        if (!l) {
            throw std::runtime_error("Layer '" + owner.get_name() + "' has a null " + which +
                                     " layer.");
        }
    }
    return list;
}

}  // namespace

LayerList inbound(const std::shared_ptr<Layer>& layer) {
    const Layer& l = checked(layer);
    return checked_list(l.inbound_layers(), l, "inbound");
}

LayerList outbound(const std::shared_ptr<Layer>& layer) {
    const Layer& l = checked(layer);
    return checked_list(l.outbound_layers(), l, "outbound");
}

bool is_skip_dma(const std::shared_ptr<Layer>& layer) {
    return checked(layer).is_target_component(TargetComponent::SkipDMA);
}

bool is_mappable(const std::shared_ptr<Layer>& layer) {
    const Layer& l = checked(layer);
    return !l.is_target_component(TargetComponent::None) &&
           !l.is_target_component(TargetComponent::SkipDMA);
}

long index_of(const LayerList& list, const std::shared_ptr<Layer>& layer) {
    for (size_t i = 0; i < list.size(); ++i) {
        if (list[i] == layer) return static_cast<long>(i);
    }
    return -1;
}

bool contains(const LayerList& list, const std::shared_ptr<Layer>& layer) {
    return index_of(list, layer) >= 0;
}

uint32_t fresh_depth(const std::shared_ptr<Layer>& layer) {
    if (PlanningScope* scope = planning_scope()) return get_layer_depth(layer, &scope->depths);
    DepthMap depth_map;
    return get_layer_depth(layer, &depth_map);
}

namespace {
thread_local PlanningScope* current_scope = nullptr;
}  // namespace

PlanningScope::PlanningScope() : previous_(current_scope) { current_scope = this; }

PlanningScope::~PlanningScope() { current_scope = previous_; }

PlanningScope* planning_scope() { return current_scope; }

uint32_t PlanningScope::running_count(
    const LayerList& list, int kind, const std::shared_ptr<Layer>& layer,
    const std::function<bool(const std::shared_ptr<Layer>&)>& pred) {
    Count* c = nullptr;
    for (Count& e : counts_) {
        if (e.list == &list && e.data == list.data() && e.size == list.size() && e.kind == kind) {
            c = &e;
            break;
        }
    }
    if (!c) {
        counts_.push_back(Count{&list, list.data(), list.size(), kind, 1, 0, {}});
        c = &counts_.back();
    }
    const auto found = c->at.find(layer.get());
    if (found != c->at.end()) return found->second;
    while (c->scanned < list.size()) {
        const auto& l = list[c->scanned];
        if (pred(l)) ++c->count;
        ++c->scanned;
        c->at.emplace(l.get(), c->count);
        if (l == layer) return c->count;
    }
    return c->count;
}

std::shared_ptr<Layer> PlanningScope::first_mappable(const LayerList& list) {
    for (const First& f : firsts_) {
        if (f.list == &list && f.data == list.data() && f.size == list.size()) return f.layer;
    }
    std::shared_ptr<Layer> layer = first_mappable_layer(list);
    firsts_.push_back(First{&list, list.data(), list.size(), layer});
    return layer;
}

}  // namespace graph_detail

using namespace graph_detail;

// --- Depth and branches -----------------------------------------------------

uint32_t get_layer_depth(const std::shared_ptr<Layer>& layer, DepthMap* depth_map) {
    if (!depth_map) throw std::invalid_argument("get_layer_depth needs a depth map.");
    checked(layer);
    const auto found = depth_map->find(layer);
    if (found != depth_map->end()) return found->second;

    const LayerList inputs = inbound(layer);
    // An input layer's depth is never recorded: it is 1 by definition, and
    // sort_by_depth relies on its absence to sort it first.
    if (inputs.empty()) return 1;

    uint32_t deepest = 0;
    for (const auto& in : inputs) deepest = std::max(deepest, get_layer_depth(in, depth_map));
    // A skip-DMA layer sits at the depth of its deepest input.
    const uint32_t depth = is_skip_dma(layer) ? deepest : deepest + 1;
    depth_map->emplace(layer, depth);
    return depth;
}

void sort_by_depth(LayerList* layers) {
    if (!layers) throw std::invalid_argument("sort_by_depth needs a layer list.");
    DepthMap local;
    PlanningScope* scope = planning_scope();
    DepthMap& depth_map = scope ? scope->depths : local;
    for (const auto& l : *layers) get_layer_depth(l, &depth_map);
    auto depth_of = [&depth_map](const std::shared_ptr<Layer>& l) -> uint32_t {
        const auto it = depth_map.find(l);
        return it == depth_map.end() ? 0 : it->second;
    };
    std::stable_sort(layers->begin(), layers->end(),
                     [&depth_of](const std::shared_ptr<Layer>& a, const std::shared_ptr<Layer>& b) {
                         return depth_of(a) < depth_of(b);
                     });
}

std::shared_ptr<Layer> common_layers(const LayerList& a, const LayerList& b) {
    if (a.empty() || b.empty()) return nullptr;
    LayerList common;
    for (const auto& l : a) {
        if (contains(b, l)) common.push_back(l);
    }
    if (common.empty()) return nullptr;
    sort_by_depth(&common);
    return common.front();
}

namespace {

// The branch pairs of one top-level question, by layer. Below the first level
// only main lists are followed, but each of them depends on the exchange made
// at that layer, so whole pairs are memoised; without the memo a chain of
// residual blocks would be walked once per path through it.
using BranchMemo = std::unordered_map<const Layer*, BranchPair>;

const BranchPair& branches(const std::shared_ptr<Layer>& layer, BranchMemo* memo) {
    const auto found = memo->find(layer.get());
    if (found != memo->end()) return found->second;

    BranchPair result;
    const LayerList outs = outbound(layer);
    if (!outs.empty()) {
        LayerList& main = result.first;
        LayerList& skip = result.second;
        main.push_back(outs[0]);
        {
            const LayerList& below = branches(outs[0], memo).first;
            main.insert(main.end(), below.begin(), below.end());
        }
        // Only a layer with exactly two outbound layers has a skip branch; a
        // third or later outbound layer is never followed.
        if (outs.size() == 2) {
            skip.push_back(outs[1]);
            const LayerList& below = branches(outs[1], memo).first;
            skip.insert(skip.end(), below.begin(), below.end());
        }
        sort_by_depth(&main);
        sort_by_depth(&skip);

        // The main branch is the one that reaches the meeting layer through
        // the deeper layer; on equal depths the first outbound layer's stays.
        const auto meeting = common_layers(main, skip);
        if (meeting) {
            const long im = index_of(main, meeting);
            const uint32_t dm = im == 0 ? 0 : fresh_depth(main[static_cast<size_t>(im) - 1]);
            if (skip.front() != meeting) {
                const long is = index_of(skip, meeting);
                const uint32_t ds = fresh_depth(skip[static_cast<size_t>(is) - 1]);
                if (dm < ds) std::swap(main, skip);
            }
        }
    }
    return memo->emplace(layer.get(), std::move(result)).first->second;
}

}  // namespace

BranchPair get_skipconnect_branch(const std::shared_ptr<Layer>& layer) {
    BranchMemo memo;
    return branches(layer, &memo);
}

uint64_t get_out_branches_count(const LayerList& layers) {
    if (layers.empty()) return 0;
    // The sum does not depend on the order of the layers: no sort is needed.
    uint64_t count = 1;
    for (const auto& l : layers) {
        // The run's first layer (before sorting) opens with one input, whatever
        // it is linked to outside the run.
        const uint64_t inputs = l == layers.front() ? 1 : inbound(l).size();
        const uint64_t outputs = outbound(l).size();
        count = count + outputs - inputs;  // wraps on purpose below zero
    }
    return count;
}

LayerList get_layers_to_map_together(const LayerList& layers) {
    LayerList run;
    uint64_t count = 1;
    for (const auto& l : layers) {
        const uint64_t inputs = l == layers.front() ? 1 : inbound(l).size();
        const uint64_t outputs = outbound(l).size();
        count = count + outputs - inputs;
        run.push_back(l);
        if (count == 1 && !is_skip_dma(l)) break;
    }
    return run;
}

bool is_split_layer(const std::shared_ptr<Layer>& layer) { return outbound(layer).size() > 1; }

// --- Navigation -------------------------------------------------------------

namespace {

// Of two candidates at the same level, the one whose main branch reaches the
// meeting layer through the deeper layer; on equal depths the preferred c0.
// Candidates whose main branches never meet keep the preferred c0.
std::shared_ptr<Layer> branch_tie_break(const std::shared_ptr<Layer>& c0,
                                        const std::shared_ptr<Layer>& c1) {
    const LayerList b0 = get_skipconnect_branch(c0).first;
    const LayerList b1 = get_skipconnect_branch(c1).first;
    const auto meeting = common_layers(b0, b1);
    if (!meeting) return c0;
    const long i0 = index_of(b0, meeting);
    const uint32_t d0 = i0 == 0 ? 0 : fresh_depth(b0[static_cast<size_t>(i0) - 1]);
    if (b1.front() == meeting) return c0;
    const long i1 = index_of(b1, meeting);
    const uint32_t d1 = fresh_depth(b1[static_cast<size_t>(i1) - 1]);
    return d0 < d1 ? c1 : c0;
}

// The representatives of a list of layers, in order, without the empty ones.
LayerList representatives(const LayerList& layers) {
    LayerList reps;
    for (const auto& l : layers) {
        auto rep = get_mappable_layer(l);
        if (rep) reps.push_back(std::move(rep));
    }
    return reps;
}

// The mappable layers of a list, sorted by depth.
LayerList mappable_by_depth(const LayerList& layers) {
    LayerList mappable;
    for (const auto& l : layers) {
        if (is_mappable(l)) mappable.push_back(l);
    }
    sort_by_depth(&mappable);
    return mappable;
}

}  // namespace

std::shared_ptr<Layer> get_mappable_layer(const std::shared_ptr<Layer>& layer) {
    if (!is_skip_dma(layer)) return layer;
    LayerList candidates;
    for (const auto& out : outbound(layer)) {
        if (!is_skip_dma(out)) candidates.push_back(out);
    }
    if (candidates.empty()) return nullptr;
    if (candidates.size() == 1) return candidates.front();
    return branch_tie_break(candidates[0], candidates[1]);
}

std::shared_ptr<Layer> first_mappable_layer(const LayerList& layers) {
    const LayerList mappable = mappable_by_depth(layers);
    if (mappable.empty()) return nullptr;
    if (mappable.size() == 1) return mappable.front();
    const uint32_t d0 = fresh_depth(mappable[0]);
    const uint32_t d1 = fresh_depth(mappable[1]);
    if (d0 < d1) return mappable[0];
    return branch_tie_break(mappable[0], mappable[1]);
}

std::shared_ptr<Layer> last_mappable_layer(const LayerList& layers) {
    const LayerList mappable = mappable_by_depth(layers);
    if (mappable.empty()) return nullptr;
    if (mappable.size() == 1) return mappable.front();
    const auto& last = mappable[mappable.size() - 1];
    const auto& before = mappable[mappable.size() - 2];
    const uint32_t dl = fresh_depth(last);
    const uint32_t dp = fresh_depth(before);
    if (dp < dl) return last;
    return branch_tie_break(last, before);
}

std::shared_ptr<Layer> next_mappable_layer(const std::shared_ptr<Layer>& layer) {
    return first_mappable_layer(representatives(outbound(layer)));
}

std::shared_ptr<Layer> previous_mappable_layer(const std::shared_ptr<Layer>& layer) {
    const LayerList inputs = inbound(layer);
    if (inputs.empty()) return nullptr;
    const auto& source = inputs.front();
    // An ordinary first inbound layer is the answer whatever it targets.
    if (!is_skip_dma(source)) return source;
    if (is_merge(layer)) {
        // The deepest input of the merge.
        LayerList reps = representatives(inbound(source));
        if (reps.empty()) return nullptr;
        sort_by_depth(&reps);
        return reps.back();
    }
    const LayerList main = get_skipconnect_branch(source).first;
    if (main.empty()) return nullptr;
    return get_mappable_layer(main.front());
}

// --- Classification ---------------------------------------------------------

bool is_merge(const std::shared_ptr<Layer>& layer) {
    if (!checked(layer).is_target_component(TargetComponent::CNP)) return false;
    const LayerList inputs = inbound(layer);
    // A CNP layer without inbound layers merges nothing.
    if (inputs.empty()) return false;
    const auto& source = inputs.front();
    if (!is_skip_dma(source)) return false;
    // The skip-DMA layer S feeds exactly one CNP layer (which is then this
    // one, as this layer targets a CNP and S is its input): counted among all
    // of S's outbound layers, so S may also feed layers of other kinds.
    // Otherwise the merge is the CNP layer on S's main branch.
    size_t cnp_outbounds = 0;
    for (const auto& out : outbound(source)) {
        if (out->is_target_component(TargetComponent::CNP)) ++cnp_outbounds;
    }
    if (cnp_outbounds == 1) return true;
    return contains(get_skipconnect_branch(source).first, layer);
}

bool is_dual_output_layer(const std::shared_ptr<Layer>& layer) {
    return is_merge(layer) && is_split_layer(inbound(layer).front());
}

bool is_dual_output_to_store_dma(const std::shared_ptr<Layer>& layer) {
    if (!is_dual_output_layer(layer)) return false;
    const LayerList outs = outbound(inbound(layer).front());
    const auto r0 = get_mappable_layer(outs[0]);
    const auto r1 = get_mappable_layer(outs[1]);
    // A branch without a mappable layer cannot take the second output
    // directly, so it goes through the store DMA.
    if (!r0 || !r1) return true;
    return fresh_depth(r0) != fresh_depth(r1);
}

bool is_alt_layer(const std::shared_ptr<Layer>& layer, DepthMap* depth_map) {
    const LayerList outs = outbound(layer);
    if (outs.size() != 2) return false;
    const auto r0 = get_mappable_layer(outs[0]);
    const auto r1 = get_mappable_layer(outs[1]);
    // A branch without a mappable layer has nothing to alternate with.
    if (!r0 || !r1) return false;
    return get_layer_depth(r0, depth_map) == get_layer_depth(r1, depth_map);
}

bool is_skip_layer(const std::shared_ptr<Layer>& layer) {
    for (const auto& out : outbound(layer)) {
        if (!is_skip_dma(out)) continue;
        LayerList reps = representatives(inbound(out));
        sort_by_depth(&reps);
        if (!reps.empty() && reps.front() == layer) return true;
    }
    return false;
}

bool layer_need_load_dma(const std::shared_ptr<Layer>& layer) {
    return checked(layer).is_target_component(TargetComponent::TNP_B) || is_merge(layer);
}

bool layer_need_store_dma(const std::shared_ptr<Layer>& layer) {
    return checked(layer).is_target_component(TargetComponent::TNP_B) || is_skip_layer(layer) ||
           is_dual_output_to_store_dma(layer);
}

}  // namespace vorna
