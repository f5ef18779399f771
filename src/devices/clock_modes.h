#pragma once

// The three clock modes of a SoC and the two operations that read and switch them through the
// SoC's clock-control registers. The clock is 600 MHz divided by a divider.

#include <cstdint>

#include "export.h"

namespace vorna {

class HardwareDriver;

namespace soc {

// Values are frequencies in hertz.
enum class ClockMode : uint32_t {
    Performance = 300000000,
    Economy = 100000000,
    LowPower = 5000000,
};

// Clock-control registers (32-bit words; only bits 0..7 carry a value).
inline constexpr uint32_t kClockChangeReg = 0xF0001030;    // bit 0: change in progress
inline constexpr uint32_t kClockDividerReg = 0xF0001190;   // divider - 1
inline constexpr uint32_t kClockDivider2Reg = 0xF00011A0;  // 2 x divider - 1
inline constexpr uint32_t kClockDivider3Reg = 0xF00011B0;  // divider - 1

// How long set_clock_mode waits for the hardware to finish a change.
inline constexpr uint32_t kClockChangeTimeoutNs = 10000000;

// The mode the divider register gives. Throws std::runtime_error "Unexpected frequency value
// detected: <f>." when the frequency is none of the three modes.
VORNA_EXPORT ClockMode get_clock_mode(HardwareDriver* driver);

// Programs the three dividers of `mode` and starts the change, then waits (busy) up to 10 ms
// for the hardware to acknowledge it. Throws std::invalid_argument "Invalid clock mode" for a
// value that is no mode, and std::runtime_error "Clock mode is already changing." or "Failed
// to apply clock mode.".
VORNA_EXPORT void set_clock_mode(HardwareDriver* driver, const ClockMode& mode);

}  // namespace soc
}  // namespace vorna
