#include <gtest/gtest.h>

#include <vector>

#include "devices/power_meter.h"

namespace vorna {
namespace {

using Event = PowerMeter::PowerEvent;

std::vector<int64_t> timestamps(const std::vector<Event>& events) {
    std::vector<int64_t> ts;
    for (const Event& e : events) ts.push_back(e.ts);
    return ts;
}

std::vector<int64_t> range(int64_t first, int64_t last) {
    std::vector<int64_t> v;
    for (int64_t i = first; i <= last; ++i) v.push_back(i);
    return v;
}

TEST(PowerMeter, NewMeterIsEmpty) {
    PowerMeter meter;
    EXPECT_FALSE(meter.has_events());
    EXPECT_EQ(meter.floor(), 0.0f);
    EXPECT_TRUE(meter.events().empty());
}

TEST(PowerMeter, KeepsEventsInOrderAndTracksTheFloor) {
    PowerMeter meter;
    meter.log_event({1, 1000000, 90});
    meter.log_event({2, 1000000, 45});
    meter.log_event({3, 1000000, 180});
    const auto events = meter.events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(timestamps(events), (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(events[1].voltage, 1000000u);
    EXPECT_EQ(events[1].current, 45u);
    EXPECT_EQ(meter.floor(), 45.0f);
    // Reading does not consume.
    EXPECT_EQ(timestamps(meter.events()), timestamps(events));
}

TEST(PowerMeter, PowerIsVoltageInVoltsTimesCurrent) {
    EXPECT_FLOAT_EQ(PowerMeter::power_mw({1, 800000, 2000}), 1600.0f);
    EXPECT_FLOAT_EQ(PowerMeter::power_mw({1, 3000000, 2000}), 6000.0f);
    EXPECT_EQ(PowerMeter::power_mw({1, 0, 2000}), 0.0f);
}

TEST(PowerMeter, DropsEventsWithoutPowerOrNotAfterTheReset) {
    PowerMeter meter;
    meter.log_event({5, 1000000, 0});
    meter.log_event({6, 0, 10});
    meter.log_event({-1, 1000000, 10});
    meter.log_event({0, 1000000, 10});
    EXPECT_FALSE(meter.has_events());
    meter.reset(10);
    meter.log_event({10, 1000000, 10});
    EXPECT_FALSE(meter.has_events());
    meter.log_event({11, 1000000, 10});
    EXPECT_EQ(timestamps(meter.events()), (std::vector<int64_t>{11}));
}

TEST(PowerMeter, RingKeepsTheLatestHundred) {
    for (int total : {100, 101, 150, 250}) {
        PowerMeter meter;
        for (int i = 1; i <= total; ++i) meter.log_event({i, 1000000, 1});
        EXPECT_TRUE(meter.has_events());
        EXPECT_EQ(timestamps(meter.events()), range(total - 99, total)) << total;
    }
}

TEST(PowerMeter, ResetForgetsTheFloorButKeepsTheEvents) {
    PowerMeter meter;
    meter.log_event({1, 1000000, 30});
    meter.reset(5);
    EXPECT_TRUE(meter.has_events());
    EXPECT_EQ(meter.floor(), 0.0f);
    EXPECT_EQ(meter.events().size(), 1u);
    // The floor restarts from the events kept after the reset.
    meter.log_event({6, 1000000, 70});
    EXPECT_EQ(meter.floor(), 70.0f);
    meter.log_event({7, 1000000, 50});
    EXPECT_EQ(meter.floor(), 50.0f);
}

TEST(PowerMeter, SingletonIsOneObject) { EXPECT_EQ(&PowerMeter::get(), &PowerMeter::get()); }

TEST(PowerMeterQueue, GetWithClearEmptiesAndRewinds) {
    CircularQueue<int> q(4);
    for (int i = 1; i <= 6; ++i) q.put(i);  // wraps: holds 3..6
    EXPECT_EQ(q.size(), 4u);
    EXPECT_EQ(q.head_index(), 2u);
    EXPECT_EQ(q.tail_index(), 2u);
    EXPECT_EQ(q.get(false), (std::vector<int>{3, 4, 5, 6}));
    CircularQueue<int> three(100);
    for (int i = 1; i <= 3; ++i) three.put(i);
    EXPECT_EQ(three.get(true), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(three.empty());
    EXPECT_EQ(three.head_index(), 0u);
    EXPECT_EQ(three.tail_index(), 0u);
    EXPECT_TRUE(three.get(false).empty());
}

TEST(PowerMeterQueue, CountsAcrossTheWrap) {
    CircularQueue<int> q(5);
    for (int i = 0; i < 4; ++i) q.put(i);
    q.get(false);
    EXPECT_EQ(q.size(), 4u);
    // Head wrapped behind tail once two more are written.
    q.put(4);
    EXPECT_EQ(q.size(), 5u);
    q.put(5);
    EXPECT_EQ(q.get(false), (std::vector<int>{1, 2, 3, 4, 5}));
}

}  // namespace
}  // namespace vorna
