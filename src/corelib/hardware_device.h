#pragma once

// The run-time of a piece of hardware behind a device: its version and driver, the NP
// configuration words mesh discovery reads, programming, inference, on-chip learning memory,
// the clock counter and memory usage.
//
// HardwareDevice::create gives the emulated implementation (corelib/emulation/emulation.h). Other
// implementations (test doubles reading only the mesh) override the three pure operations;
// the run-time operations they do not override throw std::runtime_error.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "backend/hw.h"
#include "corelib/drivers.h"
#include "corelib/tensor.h"
#include "corelib/types.h"
#include "devices/hw_version.h"

namespace vorna {

class HardwareDevice {
  public:
    using Frames = std::vector<std::shared_ptr<const Tensor>>;
    using Outputs = std::vector<std::unique_ptr<Tensor>>;

    virtual ~HardwareDevice() = default;

    // A hardware device on the driver. Throws std::runtime_error when the driver's hardware
    // cannot be reached, std::invalid_argument for a null driver.
    static std::shared_ptr<HardwareDevice> create(HardwareDriver* driver);

    // Read from the hardware on every call.
    virtual HwVersion version() const = 0;
    // Null when the device has no driver.
    virtual HardwareDriver* driver() const = 0;
    // The configuration word of one NP: the kinds it can take and whether it
    // has a look-up table.
    virtual uint32_t read_np_config(const hw::Ident& ident) const = 0;

    // Valid as long as the device lives.
    virtual const char* desc() const;

    // Programs the device from program bytes. The device keeps the pointer: the bytes must
    // stay unchanged until the next program, program_external or unprogram. Bytes that are
    // no program, or whose dims no frame can hold (check_frame_dims), are refused with
    // std::invalid_argument and the device keeps what it had.
    virtual int program(const uint8_t* data, size_t size);
    // Programs the device from program-info bytes whose program data was written beforehand
    // at `address` of the device's memory; refused as program is.
    virtual int program_external(const uint8_t* data, size_t size, uint32_t address);
    // The current program; a null data pointer when there is none.
    virtual const ByteView& program() const;
    virtual void unprogram();

    virtual void set_batch_size(size_t frames, bool input_is_dense);
    virtual bool learn_enabled() const;
    virtual void set_learn_enabled(bool enabled);

    // One output per frame.
    virtual Outputs forward(const Frames& frames);
    virtual Outputs predict(const Frames& frames);
    virtual Outputs fit(const Frames& frames, const std::vector<int32_t>& labels);

    // Size of the learning layer's memory in 32-bit words; read and write that many words.
    virtual uint32_t learn_mem_size() const;
    virtual void read_learn_mem(uint32_t* words) const;
    virtual void write_learn_mem(const uint32_t* words);

    // The clock counter counts device cycles while enabled and wraps modulo 2^32.
    virtual void enable_clock_counter(bool enable);
    virtual uint32_t read_clock_counter() const;
    // Cycles spent by the last programming.
    virtual uint32_t program_clock_count() const;

    // Usage in the low 32 bits, top usage since reset_top_memory in the high 32 bits (bytes).
    virtual uint64_t memory() const;
    virtual void reset_top_memory();

  protected:
    HardwareDevice() = default;
    HardwareDevice(const HardwareDevice&) = delete;
    HardwareDevice& operator=(const HardwareDevice&) = delete;
};

}  // namespace vorna
