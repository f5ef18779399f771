#pragma once

// Services of the host platform that the core library calls by their plain symbol names: a
// watchdog kick, a sleep in milliseconds and a monotonic millisecond clock. They keep no state
// and take no lock.

#include <cstdint>

#include "export.h"

extern "C" {

// Does nothing; the host has no watchdog to kick.
VORNA_EXPORT void kick_watchdog();

// Blocks the calling thread for `ms` milliseconds; a signal does not shorten the sleep.
// Returns at once for 0. Failures other than an interruption end the sleep silently.
VORNA_EXPORT void msleep(uint32_t ms);

// The steady clock's reading in milliseconds (truncated); only differences are meaningful.
VORNA_EXPORT int64_t time_ms();

}  // extern "C"
