#pragma once

// The NP allocator of one map call: one pool of candidate endpoints per kind
// of hardware component, drawn from the device's mesh, and the request that
// turns a layer into the components it runs on.

#include <cstdint>
#include <map>
#include <memory>
#include <utility>
#include <vector>

#include "backend/hw.h"
#include "backend/mapping_status.h"

namespace vorna {

class Layer;
class CompatibilityChecker;
class MapConstraints;

// One candidate endpoint of one kind, with its two flags: kept out of the
// current request, and taken in the current pass.
struct NpSlot {
    hw::Ident ident;
    uint8_t reserved = 0;
    uint8_t allocated = 0;
};

class MeshMapper {
  public:
    // Both referenced objects outlive the mapper. `reset` must run before any
    // other operation.
    MeshMapper(const CompatibilityChecker& checker, const MapConstraints& constraints);

    // Rebuilds every pool from the mesh of the constraints' device; all flags
    // end cleared. Compute pools are ordered least used first (NPs that can
    // serve neither FNP kind and share no node with an FNP3 first); the
    // skip-DMA pools keep the mesh order, one slot per channel.
    void reset();

    // Marks the slots of the listed idents reserved, in every pool, and clears
    // the mark on every other slot.
    void reserve_nps(const std::vector<hw::Ident>& idents);

    // Marks the slots of the ident allocated in the pool of `type`, or in every
    // pool when `type` is None.
    void allocate_np(const hw::Ident& ident, hw::Type type);

    // Frees every slot of every pool; reservations stay.
    void deallocate_nps();

    // The unreserved slots of the kind, allocated or not.
    uint32_t max_nps(hw::Type type);

    // The idents of the kind that are neither reserved nor allocated, in pool
    // order.
    std::vector<hw::Ident> available_nps(hw::Type type);

    // The FNP kind a dense layer is to use.
    hw::Type get_compatible_fnp_type(const Layer& layer);

    // The components of a layer, with their NPs allocated. `new_group` is set
    // when the current pass had no room and its allocations were released, so
    // the layer opens a new pass group (only when `allow_new_pass`). A request
    // that fails after allocating keeps its NPs allocated: the map call ends at
    // the first failed request, so nothing asks for them again.
    std::pair<std::vector<hw::Component>, MappingStatus> np_request(
        const std::shared_ptr<Layer>& layer, const std::vector<hw::Ident>& reserved, bool hwpr,
        bool* new_group, bool allow_new_pass);

    // Whether a single following buffered temporal convolution still finds
    // room in the current pass.
    MappingStatus sanitize_tnp_b(const Layer& layer, bool* new_group, bool allow_new_pass);

    // The pools, by kind (for inspection).
    const std::map<hw::Type, std::vector<NpSlot>>& pools() const { return pools_; }

  private:
    std::vector<NpSlot>& pool(hw::Type type) { return pools_[type]; }
    // allocate_np that answers how many slots were not allocated before it.
    size_t allocate_counted(const hw::Ident& ident, hw::Type type);

    std::map<hw::Type, std::vector<NpSlot>> pools_;
    const CompatibilityChecker& checker_;
    const MapConstraints& constraints_;
};

// The kinds a convolution-like layer needs: its NP kind (CNP1 or TNP_B), then
// SKIP_DMA_STORE and SKIP_DMA_LOAD when it needs those engines.
std::vector<hw::Type> required_extra_types(const std::shared_ptr<Layer>& layer);

// Placeholder components for skip-DMA channels: ident 0.0.0.0, no placement,
// zero memory sizes. A store for a TNP-B layer, one for a skip layer, one
// for a dual output stored by DMA.
std::vector<hw::Component> request_skipdma_store(const std::shared_ptr<Layer>& layer);
// Exactly one load placeholder.
std::vector<hw::Component> request_skipdma_load();
// Appends the placeholders of every kind after the first of `types`.
void request_skipdma(std::vector<hw::Component>& components, const std::vector<hw::Type>& types,
                     const std::shared_ptr<Layer>& layer);

}  // namespace vorna
