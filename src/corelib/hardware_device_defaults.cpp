// The defaults of HardwareDevice's run-time operations, for implementations that read only
// the mesh: every operation they do not override throws std::runtime_error.

#include <stdexcept>
#include <string>

#include "corelib/hardware_device.h"

namespace vorna {

namespace {

[[noreturn]] void unsupported(const char* operation) {
    throw std::runtime_error(std::string("HardwareDevice::") + operation +
                             " not implemented for this hardware device");
}

}  // namespace

const char* HardwareDevice::desc() const { unsupported("desc"); }
int HardwareDevice::program(const uint8_t*, size_t) { unsupported("program"); }
int HardwareDevice::program_external(const uint8_t*, size_t, uint32_t) {
    unsupported("program_external");
}
// A device without a run-time is never programmed.
const ByteView& HardwareDevice::program() const {
    static const ByteView kNotProgrammed{};
    return kNotProgrammed;
}
void HardwareDevice::unprogram() { unsupported("unprogram"); }
void HardwareDevice::set_batch_size(size_t, bool) { unsupported("set_batch_size"); }
bool HardwareDevice::learn_enabled() const { unsupported("learn_enabled"); }
void HardwareDevice::set_learn_enabled(bool) { unsupported("set_learn_enabled"); }
HardwareDevice::Outputs HardwareDevice::forward(const Frames&) { unsupported("forward"); }
HardwareDevice::Outputs HardwareDevice::predict(const Frames&) { unsupported("predict"); }
HardwareDevice::Outputs HardwareDevice::fit(const Frames&, const std::vector<int32_t>&) {
    unsupported("fit");
}
uint32_t HardwareDevice::learn_mem_size() const { unsupported("learn_mem_size"); }
void HardwareDevice::read_learn_mem(uint32_t*) const { unsupported("read_learn_mem"); }
void HardwareDevice::write_learn_mem(const uint32_t*) { unsupported("write_learn_mem"); }
void HardwareDevice::enable_clock_counter(bool) { unsupported("enable_clock_counter"); }
uint32_t HardwareDevice::read_clock_counter() const { unsupported("read_clock_counter"); }
uint32_t HardwareDevice::program_clock_count() const { unsupported("program_clock_count"); }
uint64_t HardwareDevice::memory() const { unsupported("memory"); }
void HardwareDevice::reset_top_memory() { unsupported("reset_top_memory"); }

}  // namespace vorna
