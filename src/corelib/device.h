#pragma once

// The device a model is mapped onto: a hardware version, a description, a
// mesh of NPs and, when real hardware stands behind it, its HardwareDevice.

#include "backend/hw.h"
#include "devices/hw_version.h"

namespace vorna {

class HardwareDevice;
class HardwareDriver;

class Device {
  public:
    virtual ~Device();

    virtual HwVersion version() const = 0;
    // Valid as long as the device lives.
    virtual const char* desc() const = 0;
    virtual const Mesh& mesh() const = 0;
    // Null when there is no hardware behind the device.
    virtual HardwareDevice* hardware() const = 0;

    // The IP version of version(), by its product identifier.
    IpVersion get_ip_version() const;

  protected:
    Device() = default;
    Device(const Device&) = default;
    Device& operator=(const Device&) = default;
};

}  // namespace vorna
