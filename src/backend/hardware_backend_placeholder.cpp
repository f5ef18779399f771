// The map routine is not written yet: mapping fails loudly until it is.

#include <stdexcept>

#include "backend/hardware_backend.h"

namespace vorna {

MappingStatusGroup HardwareBackend::map(std::vector<std::shared_ptr<Layer>>*,
                                        std::vector<std::shared_ptr<Sequence>>*,
                                        std::shared_ptr<MapConstraints>) {
    throw std::runtime_error("HardwareBackend::map not implemented");
}

}  // namespace vorna
