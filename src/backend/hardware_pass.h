#pragma once

// One configuration of the device's mesh: the layers that run together
// before the mesh is programmed again.

#include <cstddef>
#include <memory>

#include "backend/hw.h"
#include "backend/layer_mapping_builder.h"
#include "corelib/sequence.h"

namespace vorna {

class HardwarePass : public Sequence::Pass {
  public:
    // Builds and attaches the LayerMapping of every layer (components per
    // layer parallel to `layers`; `pass_ident` is the mesh's DMA event
    // endpoint), stores the layers, and chains this pass to `previous` when
    // there is one.
    HardwarePass(const LayerList& layers, const LayerList& all_layers,
                 const ComponentsPerLayer& components, const hw::Ident& pass_ident,
                 const std::shared_ptr<HardwarePass>& previous);
    ~HardwarePass() override;

    size_t size() const { return layers.size(); }
};

}  // namespace vorna
