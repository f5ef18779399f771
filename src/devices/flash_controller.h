#pragma once

// The SPI flash controller of an XVR2200 board, handed out by a flash-access driver of the
// core library, which creates it: its vtable, type information and destructor are visible.

#include <cstdint>
#include <memory>

#include "export.h"

class VORNA_EXPORT SpiFlashController {
  public:
    SpiFlashController() = default;
    virtual ~SpiFlashController();

    // The flash identifier. Not available yet: always throws std::runtime_error.
    VORNA_EXPORT uint16_t get_id() const;
};

namespace vorna {

class HardwareDevice;

// The flash controller behind a hardware device: the device's driver must be a flash-access
// driver, otherwise std::invalid_argument "The device does not contain an XVR2200 flash".
// May be empty when the driver hands out none.
std::shared_ptr<SpiFlashController> get_flash(const HardwareDevice* hardware);

}  // namespace vorna
