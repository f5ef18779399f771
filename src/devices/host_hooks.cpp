#include "devices/host_hooks.h"

#include <cerrno>
#include <chrono>
#include <ctime>

extern "C" {

void kick_watchdog() {}

void msleep(uint32_t ms) {
    if (ms == 0) return;
    timespec interval{};
    interval.tv_sec = static_cast<time_t>(ms / 1000u);
    interval.tv_nsec = static_cast<long>(ms % 1000u) * 1000000L;
    // An interrupted call leaves the time still to sleep in `interval`; sleep again for it.
    while (nanosleep(&interval, &interval) != 0) {
        if (errno != EINTR) return;
    }
}

int64_t time_ms() {
    const auto now = std::chrono::steady_clock::now().time_since_epoch();
    const int64_t ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now).count();
    return ns / 1000000;
}

}  // extern "C"
