#pragma once

#include <memory>
#include <vector>

#include "corelib/sequence.h"

namespace vorna {

// The hardware back end the core library holds: it maps layers onto the
// device named by the map constraints.
class HardwareBackend : public Backend {
  public:
    HardwareBackend() = default;
    ~HardwareBackend() override = default;

    MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>* layers,
                           std::vector<std::shared_ptr<Sequence>>* sequences,
                           std::shared_ptr<MapConstraints> constraints) override;
    BackendType type() const override { return BackendType::Hardware; }
};

}  // namespace vorna
