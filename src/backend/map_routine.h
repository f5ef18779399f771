#pragma once

// The map routine of the hardware back end: walks the caller's layers,
// checks each one, gives it hardware components and groups the layers into
// passes; then checks the runs of layers, builds the passes and the one
// HardwareSequence of the call, removes the mapped layers from the caller's
// list, sizes the memories of every component and reports the failures.

#include <memory>
#include <vector>

#include "backend/backend_bundle.h"
#include "backend/graph_utils.h"
#include "backend/hw.h"
#include "backend/layer_mapping_builder.h"
#include "backend/mapping_status.h"
#include "corelib/sequence.h"

namespace vorna {

class Device;
class MapConstraints;

// One placed layer and the components it was given (possibly none).
struct MappableLayer {
    std::shared_ptr<Layer> layer;
    std::vector<hw::Component> components;
};

// The layers of one future hardware pass, in walk order.
using PassGroup = std::vector<MappableLayer>;

// A read-only view of the pass groups.
class MappableLayers {
  public:
    explicit MappableLayers(const std::vector<PassGroup>& groups) : groups_(groups) {}
    // Per group, its layers in order.
    std::vector<LayerList> build_mappable_layers() const;
    // Per group, the component lists of its layers, parallel to them.
    std::vector<ComponentsPerLayer> build_mappable_components() const;

  private:
    const std::vector<PassGroup>& groups_;
};

// The NPs a layer must not be given: every FNP2 given so far in the call for a
// layer that targets the FNP; then, in multi-pass mode without partial
// reconfiguration looping, the NPs (skip-DMA engines apart) of the latest
// layer of the current group that has components.
std::vector<hw::Ident> collect_request_nps(const std::vector<hw::Ident>& fnp2_idents,
                                           const Layer& layer,
                                           const ComponentsPerLayer& last_group_components,
                                           bool placed_multipass, bool hwpr);

// Checks every run of `layers` from its start up to each layer before `end`.
// A run that passes forgets the failures before it; the layers that end the
// failing runs after the last passing one are listed in `rejected`, and their
// distinct failures are returned.
MappingStatusGroup check_sequence_prefixes(LayerListIterator end,
                                           const CompatibilityChecker& checker,
                                           const Device& device, const LayerList& layers,
                                           LayerList* rejected);

// Removes from the group every placed layer that is one of `layers` (same
// object), keeping the order of the rest.
void erase_listed_layers(PassGroup* group, const LayerList& layers);

// The whole map routine over a given back-end bundle (the seam through which
// tests put per-version doubles in place). `multipass` allows several passes.
MappingStatusGroup map_on_hardware(const IpVersionSpecificHardwareBackend& bundle,
                                   const std::shared_ptr<MapConstraints>& constraints,
                                   LayerList* layers,
                                   std::vector<std::shared_ptr<Sequence>>* sequences,
                                   bool multipass);

}  // namespace vorna
