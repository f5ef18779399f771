#include "corelib/hardware_device.h"

#include <stdexcept>

#include "corelib/tensor.h"

namespace vorna {

HardwareDriver::~HardwareDriver() = default;

HardwareDevice::~HardwareDevice() = default;

ByteView HardwareDevice::program() const { return ByteView{}; }

int HardwareDevice::program(const uint8_t*, size_t) {
    throw std::runtime_error("HardwareDevice::program: not implemented");
}

void HardwareDevice::unprogram() {
    throw std::runtime_error("HardwareDevice::unprogram: not implemented");
}

void HardwareDevice::set_batch_size(size_t, bool) {
    throw std::runtime_error("HardwareDevice::set_batch_size: not implemented");
}

bool HardwareDevice::learn_enabled() const {
    throw std::runtime_error("HardwareDevice::learn_enabled: not implemented");
}

void HardwareDevice::set_learn_enabled(bool) {
    throw std::runtime_error("HardwareDevice::set_learn_enabled: not implemented");
}

std::vector<std::unique_ptr<Tensor>> HardwareDevice::forward(
    const std::vector<std::shared_ptr<const Tensor>>&) {
    throw std::runtime_error("HardwareDevice::forward: not implemented");
}

std::vector<std::unique_ptr<Tensor>> HardwareDevice::predict(
    const std::vector<std::shared_ptr<const Tensor>>&) {
    throw std::runtime_error("HardwareDevice::predict: not implemented");
}

std::vector<std::unique_ptr<Tensor>> HardwareDevice::fit(
    const std::vector<std::shared_ptr<const Tensor>>&, const std::vector<int32_t>&) {
    throw std::runtime_error("HardwareDevice::fit: not implemented");
}

}  // namespace vorna
