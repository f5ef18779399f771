#pragma once

#include <memory>
#include <vector>

#include "corelib/sequence.h"
#include "export.h"

namespace vorna {

// The hardware back end the core library holds: it maps layers onto the
// device named by the map constraints.
class HardwareBackend : public Backend {
  public:
    HardwareBackend() = default;
    ~HardwareBackend() override = default;

    VORNA_EXPORT MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>* layers,
                                        std::vector<std::shared_ptr<Sequence>>* sequences,
                                        std::shared_ptr<MapConstraints> constraints) override;
    VORNA_EXPORT BackendType type() const override;
};

}  // namespace vorna
