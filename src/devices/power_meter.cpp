#include "devices/power_meter.h"

#include <limits>

namespace vorna {

namespace {
constexpr float kNoFloor = std::numeric_limits<float>::max();
}  // namespace

PowerMeter::PowerMeter() : queue_(kCapacity), floor_(kNoFloor) {}

PowerMeter& PowerMeter::get() {
    static PowerMeter meter;
    return meter;
}

float PowerMeter::power_mw(const PowerEvent& event) {
    return static_cast<float>(event.voltage) / 1000000.0f * static_cast<float>(event.current);
}

void PowerMeter::log_event(PowerEvent&& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    const float p = power_mw(event);
    if (!(p > 0.0f) || event.ts <= reset_ts_) return;
    if (floor_ > p) floor_ = p;
    queue_.put(event);
}

bool PowerMeter::has_events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return !queue_.empty();
}

float PowerMeter::floor() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return floor_ == kNoFloor ? 0.0f : floor_;
}

void PowerMeter::reset(int64_t ts) {
    // Taken although the core library may call this from its own threads: no operation of
    // the meter calls another while holding the lock.
    std::lock_guard<std::mutex> lock(mutex_);
    floor_ = kNoFloor;
    reset_ts_ = ts;
}

std::vector<PowerMeter::PowerEvent> PowerMeter::events() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return queue_.get(false);
}

}  // namespace vorna
