#pragma once

// The power meter of a SoC: the most recent timestamped voltage and current measurements in a
// ring of 100, the lowest power kept since the last reset, and copies of the events for
// readers. The core library's SoC driver logs into the process-wide meter (PowerMeter::get);
// the module only reads it.

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "export.h"

namespace vorna {

// A ring buffer over storage allocated once: writing never allocates, and a full ring
// overwrites its oldest element. Not synchronised; its owner guards it.
template <class T>
class CircularQueue {
  public:
    explicit CircularQueue(size_t capacity)
        : storage_(capacity),
          head_(storage_.data()),
          tail_(storage_.data()),
          last_(storage_.data() + capacity - 1) {}

    CircularQueue(const CircularQueue&) = delete;
    CircularQueue& operator=(const CircularQueue&) = delete;

    size_t capacity() const { return storage_.size(); }

    size_t size() const {
        if (full_) return storage_.size();
        if (head_ >= tail_) return static_cast<size_t>(head_ - tail_);
        return static_cast<size_t>(head_ - tail_) + storage_.size();
    }

    bool empty() const { return !full_ && head_ == tail_; }

    // Writes `value` at head; when the ring is full the oldest element is dropped.
    void put(const T& value) {
        *head_ = value;
        if (full_) tail_ = advance(tail_);
        head_ = advance(head_);
        full_ = head_ == tail_;
    }

    // The elements, oldest first; with `clear` the ring is emptied afterwards.
    std::vector<T> get(bool clear) {
        const size_t n = size();
        std::vector<T> out;
        out.reserve(n);
        T* p = tail_;
        for (size_t i = 0; i < n; ++i) {
            out.push_back(*p);
            p = advance(p);
        }
        if (clear) {
            full_ = false;
            head_ = tail_ = storage_.data();
        }
        return out;
    }

    // Slot positions, for tests of the ring's bookkeeping.
    size_t head_index() const { return static_cast<size_t>(head_ - storage_.data()); }
    size_t tail_index() const { return static_cast<size_t>(tail_ - storage_.data()); }

  private:
    T* advance(T* p) const { return p == last_ ? const_cast<T*>(storage_.data()) : p + 1; }

    std::vector<T> storage_;
    T* head_;
    T* tail_;
    T* last_;
    bool full_ = false;
};

class PowerMeter {
  public:
    struct PowerEvent {
        int64_t ts = 0;
        uint32_t voltage = 0;  // microvolts
        uint32_t current = 0;  // milliamperes
    };

    static constexpr size_t kCapacity = 100;

    VORNA_EXPORT PowerMeter();
    PowerMeter(const PowerMeter&) = delete;
    PowerMeter& operator=(const PowerMeter&) = delete;

    // The process-wide meter, created by the first call.
    VORNA_EXPORT static PowerMeter& get();

    // Keeps the event when its power is above 0 and its timestamp is later than the last
    // reset; otherwise drops it silently.
    VORNA_EXPORT void log_event(PowerEvent&& event);
    VORNA_EXPORT bool has_events() const;
    // The lowest power kept since the last reset in milliwatts, 0.0 when there is none.
    VORNA_EXPORT float floor() const;
    // Forgets the floor and accepts only events later than `ts` from now on; the events
    // already held stay.
    VORNA_EXPORT void reset(int64_t ts);
    // Copies of the events held, oldest first; the meter keeps them.
    VORNA_EXPORT std::vector<PowerEvent> events() const;

    // Power of one measurement in milliwatts: float(voltage) / 1e6 * float(current).
    static float power_mw(const PowerEvent& event);

  private:
    mutable CircularQueue<PowerEvent> queue_;
    float floor_;
    int64_t reset_ts_ = 0;
    mutable std::mutex mutex_;
};

}  // namespace vorna
