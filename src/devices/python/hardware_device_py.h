#pragma once

// The device behind a Python HardwareDevice: one discovered device, the program bytes handed
// to its hardware, its metrics and the power events of its last inference.

#include <cstdint>
#include <memory>
#include <vector>

#include "corelib/device.h"
#include "corelib/hardware_device.h"
#include "devices/power_meter.h"
#include "devices/python/metrics_py.h"

namespace vorna::python {

class PyHardwareDevice final : public Device {
  public:
    explicit PyHardwareDevice(std::shared_ptr<Device> device) : device_(std::move(device)) {}

    HwVersion version() const override { return device_->version(); }
    const char* desc() const override { return device_->desc(); }
    const Mesh& mesh() const override { return device_->mesh(); }
    HardwareDevice* hardware() const override { return device_->hardware(); }

    std::vector<uint8_t>& program_copy() { return program_; }
    PyMetrics& metrics() { return metrics_; }
    std::vector<PowerMeter::PowerEvent>& power_events() { return power_events_; }

  private:
    std::shared_ptr<Device> device_;
    std::vector<uint8_t> program_;
    PyMetrics metrics_;
    std::vector<PowerMeter::PowerEvent> power_events_;
};

}  // namespace vorna::python
