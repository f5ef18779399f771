#pragma once

// Device discovery: one host device per hardware driver of the core library, each with the
// NP mesh discovered from its registers, built once per process. Devices of the Tarn_v2
// version are probed for an HRC time-out first, and created again when the probe times out.

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "corelib/device.h"
#include "corelib/hardware_device.h"
#include "corelib/model.h"
#include "corelib/tensor.h"

namespace vorna {

// A device that stands for one hardware device, with the mesh discovered from it.
class HostDevice final : public Device {
  public:
    // Discovers the mesh through the hardware device; what discovery throws propagates.
    explicit HostDevice(std::shared_ptr<HardwareDevice> hardware);

    HwVersion version() const override { return hardware_->version(); }
    const char* desc() const override { return hardware_->desc(); }
    const Mesh& mesh() const override { return *mesh_; }
    HardwareDevice* hardware() const override { return hardware_.get(); }

  private:
    // Declared first so that the mesh is destroyed before the hardware device is released.
    std::shared_ptr<HardwareDevice> hardware_;
    std::unique_ptr<Mesh> mesh_;
};

// A freshly built device list, in driver order. A driver whose handling throws a
// std::runtime_error has its message printed on standard output (one line) and gives no
// device. Throws std::invalid_argument when the hardware version and the discovered mesh
// disagree on the IP version; other exceptions propagate as well.
std::vector<std::shared_ptr<Device>> populate_devices();

// The process-wide list: built by the first call that succeeds, then returned unchanged.
const std::vector<std::shared_ptr<Device>>& get_devices();

// True when a one-layer HRC test model, mapped on the device, throws while it runs one
// inference on constant inputs; false when the inference returns. Building and mapping the
// model are not guarded: their exceptions propagate.
bool hrc_check_timeout(std::shared_ptr<Device> device);

// The HRC test model, mapped on the device with hw_only set and no constraints.
std::unique_ptr<Model> make_hrc_test_model(std::shared_ptr<Device>& device);

// A uint8 tensor of shape (1, x, y, c), every element 1, for the model's input dimensions
// x, y, c.
std::shared_ptr<Dense> get_constant_inputs(const Model& model);

namespace detail {

// The probe run on Tarn_v2 devices during discovery.
using HrcProbe = std::function<bool(std::shared_ptr<Device>)>;

// populate_devices with another probe, so that discovery can be checked on either verdict.
std::vector<std::shared_ptr<Device>> populate_devices(const HrcProbe& probe);

// The constant inputs for dimensions x, y, c: panics "Cannot have a shape with a dimension set
// to 0" when one is 0 and "Tensor shape size %lu exceeds maximum shape size (%u)" when their
// product exceeds 4294967295.
std::shared_ptr<Dense> constant_inputs(uint32_t x, uint32_t y, uint32_t c);

}  // namespace detail
}  // namespace vorna
