#pragma once

// Whether a Dense1D layer can run on an FNP of a v2 device: its bit widths,
// its activation, the packing of its input and the input and input-shift
// memories it needs.

#include "backend/hardware_constraints.h"
#include "backend/mapping_status.h"

namespace vorna {

class Layer;

namespace v2 {

// Every failed rule adds its message to the returned status. `previous` is
// the layer's first inbound layer, or null when `layer` is the first layer
// of the list being mapped (its input is then taken as flattened and as
// coming from no NP). The memory rules run only when the others passed.
MappingStatus check_fnp_constraints(const HardwareConstraints& constraints, const Layer& layer,
                                    const Layer* previous);

}  // namespace v2
}  // namespace vorna
