#include "devices/clock_modes.h"

#include <chrono>
#include <stdexcept>
#include <string>

#include "corelib/drivers.h"
#include "program/register.h"

namespace vorna::soc {

namespace {

constexpr uint32_t kBaseClockHz = 600000000;
constexpr RegDetail kDividerField{0, 8};

uint32_t read_word(HardwareDriver* driver, uint32_t address) {
    uint8_t buffer[4] = {0, 0, 0, 0};
    driver->read(address, buffer, sizeof(buffer));
    return static_cast<uint32_t>(buffer[0]) | static_cast<uint32_t>(buffer[1]) << 8 |
           static_cast<uint32_t>(buffer[2]) << 16 | static_cast<uint32_t>(buffer[3]) << 24;
}

void write_word(HardwareDriver* driver, uint32_t address, uint32_t word) {
    const uint8_t buffer[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                               static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
    driver->write(address, buffer, sizeof(buffer));
}

// An 8-bit field value as a whole word; a wider value panics with the overflow message.
uint32_t divider_word(uint32_t value) {
    uint32_t word = 0;
    set_field(&word, kDividerField, value);
    return word;
}

bool is_mode(uint32_t hz) {
    return hz == static_cast<uint32_t>(ClockMode::Economy) ||
           hz == static_cast<uint32_t>(ClockMode::Performance) ||
           hz == static_cast<uint32_t>(ClockMode::LowPower);
}

}  // namespace

ClockMode get_clock_mode(HardwareDriver* driver) {
    const uint32_t d = read_word(driver, kClockDividerReg) & 0xFFu;
    const uint32_t hz = kBaseClockHz / (d + 1);
    if (!is_mode(hz)) {
        throw std::runtime_error("Unexpected frequency value detected: " + std::to_string(hz) +
                                 ".");
    }
    return static_cast<ClockMode>(hz);
}

void set_clock_mode(HardwareDriver* driver, const ClockMode& mode) {
    const uint32_t hz = static_cast<uint32_t>(mode);
    if (!is_mode(hz)) throw std::invalid_argument("Invalid clock mode");
    if (read_word(driver, kClockChangeReg) & 1u) {
        throw std::runtime_error("Clock mode is already changing.");
    }
    const uint32_t div = kBaseClockHz / hz;
    const uint32_t word2 = divider_word(2 * div - 1);
    const uint32_t word1 = divider_word(div - 1);
    const uint32_t word3 = divider_word(div - 1);
    write_word(driver, kClockDivider2Reg, word2);
    write_word(driver, kClockDividerReg, word1);
    write_word(driver, kClockDivider3Reg, word3);
    write_word(driver, kClockChangeReg, 1);
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::nanoseconds(kClockChangeTimeoutNs);
    for (;;) {
        if ((read_word(driver, kClockChangeReg) & 1u) == 0) return;
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("Failed to apply clock mode.");
        }
    }
}

}  // namespace vorna::soc
