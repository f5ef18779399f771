#include "devices/flash_controller.h"

#include <stdexcept>

#include "corelib/drivers.h"
#include "corelib/hardware_device.h"

SpiFlashController::~SpiFlashController() = default;

uint16_t SpiFlashController::get_id() const {
    throw std::runtime_error("get_id function is not yet implemented");
}

namespace vorna {

std::shared_ptr<SpiFlashController> get_flash(const HardwareDevice* hardware) {
    HardwareDriver* driver = hardware ? hardware->driver() : nullptr;
    if (auto* flash = dynamic_cast<FlashAccessDriver*>(driver)) return flash->flash_controller();
    throw std::invalid_argument("The device does not contain an XVR2200 flash");
}

}  // namespace vorna
