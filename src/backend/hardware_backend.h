#pragma once

#include <memory>
#include <vector>

#include "corelib/sequence.h"
#include "export.h"

namespace vorna {

// The hardware back end the core library creates and holds: it maps layers
// onto the device named by the map constraints. Its vtable and type
// information are visible, so that code built apart can make one.
class VORNA_EXPORT HardwareBackend : public Backend {
  public:
    HardwareBackend() = default;
    ~HardwareBackend() override = default;

    VORNA_EXPORT MappingStatusGroup map(std::vector<std::shared_ptr<Layer>>* layers,
                                        std::vector<std::shared_ptr<Sequence>>* sequences,
                                        std::shared_ptr<MapConstraints> constraints) override;
    VORNA_EXPORT BackendType type() const override;
};

}  // namespace vorna
