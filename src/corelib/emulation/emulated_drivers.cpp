// Emulated drivers: the driver list, the register file and the presets of each hardware
// version, and the SoC behaviour of the clock-control registers and power measurement.

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>
#include <stdexcept>

#include "corelib/emulation/emulation.h"
#include "devices/flash_controller.h"
#include "devices/host_hooks.h"
#include "devices/power_meter.h"

namespace vorna::emu {

namespace {

struct Preset {
    const char* name;
    HwVersion version;
};

const Preset kPresets[] = {
    {"tarn_v1", Tarn_v1}, {"tarn_v2", Tarn_v2}, {"gemel", Gemel_v1},   {"v1", XVR2200_v1},
    {"v2", Selvo_v2},     {"mote", Mote_Selvo}, {"fail", HwVersion{}},
};

// Mesh layout of the v1 and v2 presets: 2 rows, 4 columns, 4 NPs per node, the DMA node at
// (col 1, row 1) without NPs, event id 0 and configuration id 1, last row up to column 4.
constexpr uint32_t kMeshWord1 = 0x01010402;
constexpr uint32_t kMeshWord2 = 0x10010114;
constexpr uint32_t kMeshWord3 = 0x04000000;

// v2 only: skip DMAs on columns 1 and 2 with channel 4, an HRC with a look-up table, and the
// SRAM word counts of the v2 preset sizes.
constexpr uint32_t kSkipDmaReg = 0x64;
constexpr uint32_t kHrcReg = 0x68;
constexpr uint32_t kSram0Reg = 0x70;
constexpr uint32_t kSram1Reg = 0x74;
constexpr uint32_t kSram2Reg = 0x78;
constexpr uint32_t kSram3Reg = 0x7C;

// NP configuration bits.
constexpr uint32_t kFnp2 = 0x20;
constexpr uint32_t kFnp3 = 0x30;
constexpr uint32_t kCnp1Cnp2 = 0x80;
constexpr uint32_t kTnpB = 0x100;
constexpr uint32_t kLut = 0x400;

// SoC clock registers after reset: Performance mode.
constexpr uint32_t kInitialDivider = 1;
constexpr uint32_t kInitialDivider2 = 3;

uint32_t version_word(const HwVersion& v) {
    return uint32_t{v.vendor_id} | uint32_t{v.product_id} << 8 | uint32_t{v.major_rev} << 16 |
           uint32_t{v.minor_rev} << 24;
}

void preset_registers(const DriverSpec& spec, RegisterFile& r) {
    if (spec.fail) return;
    r.write(kIpBase + kVersionReg, version_word(spec.version));
    r.write(kIpBase + kMeshWord1Reg, kMeshWord1);
    r.write(kIpBase + kMeshWord2Reg, kMeshWord2);
    r.write(kIpBase + kMeshWord3Reg, kMeshWord3);
    const IpVersion ip = spec.version.get_ip_version();
    if (ip == IpVersion::mote) {
        r.write(kIpBase + kSram0Reg, 448);
        r.write(kIpBase + kSram1Reg, 8192);
        r.write(kIpBase + kSram2Reg, 892);
        r.write(kIpBase + kSram3Reg, 256);
    } else {
        const bool v2 = ip == IpVersion::v2;
        if (v2) {
            r.write(kIpBase + kSkipDmaReg, 0x04000006);
            r.write(kIpBase + kHrcReg, 0x50);
            r.write(kIpBase + kSram0Reg, 0x8000);
            r.write(kIpBase + kSram1Reg, 0x2000);
        }
        for (uint32_t col = 1; col <= 4; ++col) {
            for (uint32_t row = 1; row <= 2; ++row) {
                if (col == 1 && row == 1) continue;  // the DMA node
                for (uint32_t id = 0; id < 4; ++id) {
                    uint32_t config = kCnp1Cnp2;
                    if (v2) config |= kLut;
                    if (v2 && (col == 2 || col == 3) && id >= 2) config |= kTnpB;
                    if (col == 4 && id == 0) config |= kFnp3;
                    if (col == 4 && id == 1) config |= kFnp2;
                    r.write(kIpBase + np_config_offset(col, row, id), config);
                }
            }
        }
    }
    if (spec.soc) {
        r.write(soc::kClockDividerReg, kInitialDivider);
        r.write(soc::kClockDivider2Reg, kInitialDivider2);
        r.write(soc::kClockDivider3Reg, kInitialDivider);
        r.write(soc::kClockChangeReg, spec.clkbusy ? 1u : 0u);
    }
}

void check_access(uint32_t address, size_t length) {
    if (length != 4 || address % 4 != 0) {
        throw std::runtime_error("Emulated registers take aligned 4-byte accesses only.");
    }
}

struct DriverList {
    std::mutex mutex;
    bool built = false;
    std::vector<std::unique_ptr<EmulatedDriver>> drivers;  // every driver ever made
    std::vector<HardwareDriver*> listed;
};

DriverList& driver_list() {
    static DriverList list;
    return list;
}

// Builds the listed drivers from `text`; the caller holds the mutex.
void build_list(DriverList& list, const std::string& text) {
    std::vector<DriverSpec> specs = parse_driver_specs(text);
    std::vector<HardwareDriver*> listed;
    for (const DriverSpec& spec : specs) {
        list.drivers.push_back(make_driver(spec));
        listed.push_back(list.drivers.back().get());
    }
    list.listed = std::move(listed);
    list.built = true;
}

}  // namespace

DriverSpec parse_driver_spec(const std::string& text) {
    std::vector<std::string> parts;
    std::stringstream stream(text);
    std::string part;
    while (std::getline(stream, part, '+')) parts.push_back(part);
    if (parts.empty()) throw std::invalid_argument("Empty emulated device description.");
    DriverSpec spec;
    bool found = false;
    for (const Preset& preset : kPresets) {
        if (parts[0] == preset.name) {
            spec.preset = preset.name;
            spec.version = preset.version;
            spec.fail = spec.preset == "fail";
            found = true;
        }
    }
    if (!found) throw std::invalid_argument("Unknown emulated device preset '" + parts[0] + "'.");
    for (size_t i = 1; i < parts.size(); ++i) {
        const std::string& o = parts[i];
        if (o == "soc") {
            spec.soc = true;
        } else if (o == "flash") {
            spec.soc = spec.flash = true;
        } else if (o == "hrc_timeout") {
            spec.hrc_timeout = true;
        } else if (o == "clkwrap") {
            spec.clkwrap = true;
        } else if (o == "clkstuck") {
            spec.clkstuck = true;
        } else if (o == "clkbusy") {
            spec.clkbusy = true;
        } else if (o == "badversion") {
            spec.badversion = true;
        } else if (o == "powerwrap") {
            spec.soc = spec.powerwrap = true;
        } else if (o == "noflash") {
            spec.soc = spec.flash = spec.noflash = true;
        } else if (o == "nooutputs") {
            spec.nooutputs = true;
        } else if (o == "ragged") {
            spec.ragged = true;
        } else {
            throw std::invalid_argument("Unknown emulated device option '" + o + "'.");
        }
    }
    return spec;
}

std::vector<DriverSpec> parse_driver_specs(const std::string& text) {
    std::vector<DriverSpec> specs;
    if (text.empty()) return specs;
    std::stringstream stream(text);
    std::string item;
    while (std::getline(stream, item, ',')) specs.push_back(parse_driver_spec(item));
    if (text.back() == ',') throw std::invalid_argument("Empty emulated device description.");
    return specs;
}

void set_driver_specs(const std::string& text) {
    DriverList& list = driver_list();
    std::lock_guard<std::mutex> lock(list.mutex);
    build_list(list, text);
}

uint32_t RegisterFile::read(uint32_t address) const {
    auto it = words_.find(address);
    return it == words_.end() ? 0 : it->second;
}

void RegisterFile::write(uint32_t address, uint32_t value) { words_[address] = value; }

EmulatedDriver::EmulatedDriver(DriverSpec spec) : spec_(std::move(spec)) {
    preset_registers(spec_, registers_);
}

void EmulatedDriver::read(uint32_t address, void* buffer, size_t length) {
    check_access(address, length);
    uint32_t word = on_read(address);
    if (address == kIpBase + kVersionReg && spec_.badversion && ++version_reads_ > 3) {
        const uint32_t product = (word >> 8) & 0xFFu;
        const uint32_t changed = product == 0xA1 ? 0xA2 : 0xA1;
        word = (word & ~0xFF00u) | changed << 8;
    }
    const uint8_t bytes[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                              static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
    std::memcpy(buffer, bytes, 4);
}

void EmulatedDriver::write(uint32_t address, const void* buffer, size_t length) {
    check_access(address, length);
    uint8_t bytes[4];
    std::memcpy(bytes, buffer, 4);
    on_write(address, uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                          uint32_t{bytes[3]} << 24);
}

uint32_t EmulatedDriver::on_read(uint32_t address) { return registers_.read(address); }

void EmulatedDriver::on_write(uint32_t address, uint32_t value) {
    registers_.write(address, value);
}

EmulatedSocDriver::EmulatedSocDriver(DriverSpec spec) : EmulatedDriver(std::move(spec)) {}

soc::ClockMode EmulatedSocDriver::clock_mode() { return soc::get_clock_mode(this); }

void EmulatedSocDriver::set_clock_mode(soc::ClockMode mode) { soc::set_clock_mode(this, mode); }

void EmulatedSocDriver::enable_power_measurement(bool enable) {
    if (!enable) {
        meter_.reset();
        return;
    }
    last_ts_ = time_ms();
    PowerMeter::get().reset(last_ts_);
    // The process-wide meter outlives every driver; the pointer does not own it.
    meter_ = std::shared_ptr<PowerMeter>(&PowerMeter::get(), [](PowerMeter*) {});
}

void EmulatedSocDriver::log_power(uint32_t voltage, uint32_t current) {
    if (!meter_) return;
    const int64_t now = time_ms();
    last_ts_ = now > last_ts_ ? now : last_ts_ + 1;
    meter_->log_event(PowerMeter::PowerEvent{last_ts_, voltage, current});
}

// A write of 1 to the clock-change register starts a change: the busy bit reads set once,
// then clears (never with clkstuck).
uint32_t EmulatedSocDriver::on_read(uint32_t address) {
    const uint32_t value = EmulatedDriver::on_read(address);
    if (address == soc::kClockChangeReg && (value & 1u) && !spec().clkstuck) {
        registers().write(address, value & ~1u);
    }
    return value;
}

EmulatedBoardDriver::EmulatedBoardDriver(DriverSpec spec) : EmulatedSocDriver(std::move(spec)) {}

std::shared_ptr<SpiFlashController> EmulatedBoardDriver::flash_controller() {
    if (spec().noflash) return nullptr;
    return std::make_shared<SpiFlashController>();
}

std::unique_ptr<EmulatedDriver> make_driver(const DriverSpec& spec) {
    if (spec.flash) return std::make_unique<EmulatedBoardDriver>(spec);
    if (spec.soc) return std::make_unique<EmulatedSocDriver>(spec);
    return std::make_unique<EmulatedDriver>(spec);
}

}  // namespace vorna::emu

namespace vorna {

std::vector<HardwareDriver*>& get_drivers() {
    emu::DriverList& list = emu::driver_list();
    std::lock_guard<std::mutex> lock(list.mutex);
    if (!list.built) {
        const char* text = std::getenv("VORNA_EMU_DEVICES");
        emu::build_list(list, text ? text : "");
    }
    return list.listed;
}

}  // namespace vorna
