#pragma once

// The core library's hardware drivers: register access (HardwareDriver), and the interfaces a
// driver may offer besides it, reached by cross-casting: the SoC interface (clock mode and
// power measurement) and access to an XVR2200 board's SPI flash.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "devices/clock_modes.h"

class SpiFlashController;

namespace vorna {

class PowerMeter;

// Access to the registers of one piece of hardware.
class HardwareDriver {
  public:
    virtual ~HardwareDriver() = default;

    // Reads `length` bytes at `address` into `buffer`.
    virtual void read(uint32_t address, void* buffer, size_t length) = 0;
    // Writes `length` bytes from `buffer` at `address`.
    virtual void write(uint32_t address, const void* buffer, size_t length) = 0;
    // Base address of the IP register block.
    virtual uint32_t ip_base_address() const = 0;

  protected:
    HardwareDriver() = default;
    HardwareDriver(const HardwareDriver&) = delete;
    HardwareDriver& operator=(const HardwareDriver&) = delete;
};

// The SoC side of a driver.
class SocDriver {
  public:
    virtual ~SocDriver() = default;

    virtual soc::ClockMode clock_mode() = 0;
    virtual void set_clock_mode(soc::ClockMode mode) = 0;
    virtual void enable_power_measurement(bool enable) = 0;
    // The meter measurements are logged into; empty while power measurement is off.
    virtual std::shared_ptr<PowerMeter> power_meter() = 0;

  protected:
    SocDriver() = default;
};

// A driver that reaches the SPI flash of an XVR2200 board.
class FlashAccessDriver {
  public:
    virtual ~FlashAccessDriver() = default;

    virtual std::shared_ptr<SpiFlashController> flash_controller() = 0;

  protected:
    FlashAccessDriver() = default;
};

// The drivers of the hardware present, in a fixed order. The vector and the drivers stay valid
// for the life of the process.
std::vector<HardwareDriver*>& get_drivers();

}  // namespace vorna
