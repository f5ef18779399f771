#pragma once

// The hardware behind a device: the register driver of the accelerator IP and
// the runtime that programs it and runs samples through it.
//
// Only the operations the back end uses are declared here. The identity and
// register operations are abstract; the programming and running operations
// have defaults that throw "... not implemented", so that a device without a
// runtime (a register-only test double, a discovery probe) need not provide
// them, and never pretends to have run anything.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "backend/hw.h"
#include "corelib/types.h"
#include "devices/hw_version.h"

namespace vorna {

class Tensor;

// Register access to one accelerator IP.
class HardwareDriver {
  public:
    virtual ~HardwareDriver();

    // Reads `length` bytes of registers at `address` into `buffer`.
    virtual void read(uint32_t address, void* buffer, size_t length) = 0;
    // Writes `length` bytes from `buffer` to the registers at `address`.
    virtual void write(uint32_t address, const void* buffer, size_t length) = 0;
    // Address of the IP's register block.
    virtual uint32_t ip_base_address() const = 0;

  protected:
    HardwareDriver() = default;
    HardwareDriver(const HardwareDriver&) = delete;
    HardwareDriver& operator=(const HardwareDriver&) = delete;
};

class HardwareDevice {
  public:
    virtual ~HardwareDevice();

    // The same version on every read.
    virtual HwVersion version() const = 0;
    // May be null.
    virtual HardwareDriver* driver() const = 0;
    // The configuration word of one NP (its kinds and look-up table).
    virtual uint32_t read_np_config(const hw::Ident& ident) const = 0;

    // The program the device currently runs: the very pointer and size given
    // to program(data, size); a null data pointer when it is not programmed.
    // The default device is never programmed.
    virtual ByteView program() const;
    // Loads program bytes. The device keeps the caller's pointer, which must
    // stay valid until the device is unprogrammed or programmed again.
    virtual int program(const uint8_t* data, size_t size);
    virtual void unprogram();

    // The number of samples of the next run; `learn` tells whether labels
    // may come with them.
    virtual void set_batch_size(size_t count, bool learn);
    virtual bool learn_enabled() const;
    virtual void set_learn_enabled(bool enabled);

    // One output per input sample.
    virtual std::vector<std::unique_ptr<Tensor>> forward(
        const std::vector<std::shared_ptr<const Tensor>>& inputs);
    virtual std::vector<std::unique_ptr<Tensor>> predict(
        const std::vector<std::shared_ptr<const Tensor>>& inputs);
    virtual std::vector<std::unique_ptr<Tensor>> fit(
        const std::vector<std::shared_ptr<const Tensor>>& inputs,
        const std::vector<int32_t>& labels);

  protected:
    HardwareDevice() = default;
    HardwareDevice(const HardwareDevice&) = delete;
    HardwareDevice& operator=(const HardwareDevice&) = delete;
};

}  // namespace vorna
