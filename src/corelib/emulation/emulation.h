#pragma once

// Emulated hardware: drivers with a register file and the hardware device that runs on them.
//
// The drivers are described by a comma-separated list of `preset[+option...]`, set by
// set_driver_specs or, when no list was set, read once from the environment variable
// VORNA_EMU_DEVICES (unset: no drivers).
//   presets: tarn_v1 BC.00.000.001, tarn_v2 BC.00.000.002, gemel BC.A1.003.006,
//            v1 BC.A1.003.009, v2 BC.A2.001.000, mote BC.B1.001.000, fail (creation fails)
//   options: soc (SoC driver: clock registers, power measurement), flash (SoC driver with an
//            XVR2200 flash), hrc_timeout (runs of the first device created on the driver
//            throw "HRC time-out."), clkwrap (clock counter starts at 0xFFFFFFF0), clkstuck
//            (a clock change never completes), clkbusy (a clock change is in progress from
//            the start), badversion (from the 4th read of the version register on, the
//            product byte differs: 0xA1 reads 0xA2, any other 0xA1), powerwrap (SoC driver
//            whose runs log power events of kWrapVoltage and kWrapCurrent + frames % 50 mA: the
//            product of the two wraps 32 bits), noflash (SoC driver with flash access whose
//            flash controller is absent, an empty pointer), nooutputs (runs return no
//            outputs), ragged (the output of each frame keeps as many elements of the last
//            output dimension as the frame's first byte says, at least 1: outputs of differing
//            sizes)

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "corelib/drivers.h"
#include "corelib/hardware_device.h"
#include "devices/hw_version.h"

namespace vorna::emu {

inline constexpr uint32_t kIpBase = 0x40000000;
inline constexpr uint32_t kVersionReg = 0x00;
inline constexpr uint32_t kMeshWord1Reg = 0x50;
inline constexpr uint32_t kMeshWord2Reg = 0x54;
inline constexpr uint32_t kMeshWord3Reg = 0x58;
inline constexpr uint32_t kNpConfigBase = 0x1000;
inline constexpr uint32_t kClockCounterWrapStart = 0xFFFFFFF0;

// Register offset of the configuration word of an NP.
constexpr uint32_t np_config_offset(uint32_t col, uint32_t row, uint32_t id) {
    return kNpConfigBase + ((col * 16 + row) * 8 + id) * 4;
}

struct DriverSpec {
    std::string preset;
    HwVersion version{};
    bool fail = false;
    bool soc = false;
    bool flash = false;
    bool hrc_timeout = false;
    bool clkwrap = false;
    bool clkstuck = false;
    bool clkbusy = false;
    bool badversion = false;
    bool powerwrap = false;
    bool noflash = false;
    bool nooutputs = false;
    bool ragged = false;
};

// Parses one `preset[+option...]`; std::invalid_argument for an unknown preset or option.
DriverSpec parse_driver_spec(const std::string& text);
// Parses a comma-separated list; an empty text gives no specs.
std::vector<DriverSpec> parse_driver_specs(const std::string& text);

// Replaces the driver list of get_drivers by drivers for `text`. Drivers of an earlier list
// stay alive (devices may still refer to them) but are no longer listed.
void set_driver_specs(const std::string& text);

// 32-bit little-endian words at 32-bit addresses; addresses never written read 0.
class RegisterFile {
  public:
    uint32_t read(uint32_t address) const;
    void write(uint32_t address, uint32_t value);

  private:
    std::map<uint32_t, uint32_t> words_;
};

class EmulatedDriver : public HardwareDriver {
  public:
    explicit EmulatedDriver(DriverSpec spec);

    void read(uint32_t address, void* buffer, size_t length) override;
    void write(uint32_t address, const void* buffer, size_t length) override;
    uint32_t ip_base_address() const override { return kIpBase; }

    const DriverSpec& spec() const { return spec_; }
    RegisterFile& registers() { return registers_; }
    // Counts the hardware devices created on this driver; returns the new count.
    uint32_t count_creation() { return ++creations_; }

  protected:
    // Register access behind read and write; SoC drivers add the clock-change behaviour.
    virtual uint32_t on_read(uint32_t address);
    virtual void on_write(uint32_t address, uint32_t value);

  private:
    DriverSpec spec_;
    RegisterFile registers_;
    uint32_t creations_ = 0;
    uint32_t version_reads_ = 0;
};

class EmulatedSocDriver : public EmulatedDriver, public SocDriver {
  public:
    explicit EmulatedSocDriver(DriverSpec spec);

    soc::ClockMode clock_mode() override;
    void set_clock_mode(soc::ClockMode mode) override;
    void enable_power_measurement(bool enable) override;
    std::shared_ptr<PowerMeter> power_meter() override { return meter_; }

    // Logs one measurement into the meter when measurement is on. Timestamps strictly
    // increase: max(time_ms(), last + 1).
    void log_power(uint32_t voltage, uint32_t current);

  protected:
    uint32_t on_read(uint32_t address) override;

  private:
    std::shared_ptr<PowerMeter> meter_;
    int64_t last_ts_ = 0;
};

class EmulatedBoardDriver : public EmulatedSocDriver, public FlashAccessDriver {
  public:
    explicit EmulatedBoardDriver(DriverSpec spec);

    std::shared_ptr<SpiFlashController> flash_controller() override;
};

// A driver as `spec` describes it, its registers preset.
std::unique_ptr<EmulatedDriver> make_driver(const DriverSpec& spec);

// Values of the emulated device's clock counter and program clock.
inline constexpr uint32_t kRunCyclesPerFrame = 1000;
inline constexpr uint32_t kRunExtraCycles = 17;
inline constexpr uint32_t kProgramBaseCycles = 100;
// Power events of one run: two of kRunVoltage and kRunCurrent + frames % 50 milliamperes;
// with powerwrap, of kWrapVoltage and kWrapCurrent + frames % 50.
inline constexpr uint32_t kRunVoltage = 800000;
inline constexpr uint32_t kRunCurrent = 100;
inline constexpr uint32_t kWrapVoltage = 3000000;
inline constexpr uint32_t kWrapCurrent = 2000;

// The output type for a program's output bits and activation (predict always float32).
TensorType output_type(uint8_t output_bits, bool activation);

}  // namespace vorna::emu
