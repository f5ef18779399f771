#pragma once

// Real hardware behind a device: its driver (register access) and the
// queries on the hardware device that mesh discovery reads.

#include <cstddef>
#include <cstdint>

#include "backend/hw.h"
#include "devices/hw_version.h"

namespace vorna {

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

class HardwareDevice {
public:
    virtual ~HardwareDevice() = default;

    virtual HwVersion version() const = 0;
    // Null when the device has no driver.
    virtual HardwareDriver* driver() const = 0;
    // The configuration word of one NP: the kinds it can take and whether it
    // has a look-up table.
    virtual uint32_t read_np_config(const hw::Ident& ident) const = 0;

protected:
    HardwareDevice() = default;
    HardwareDevice(const HardwareDevice&) = delete;
    HardwareDevice& operator=(const HardwareDevice&) = delete;
};

}  // namespace vorna
