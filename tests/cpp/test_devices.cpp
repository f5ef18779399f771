// Device discovery with the real HRC probe, the power meter, host hooks,
// clock modes and the flash controller.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/drivers.h"
#include "corelib/emulation/emulation.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "devices/clock_modes.h"
#include "devices/discovery.h"
#include "devices/flash_controller.h"
#include "devices/host_hooks.h"
#include "devices/hw_version.h"
#include "devices/power_meter.h"
#include "test_support.h"

namespace vorna {
namespace {

using DeviceList = std::vector<std::shared_ptr<Device>>;
using test_support::exception_text;
using test_support::kinded_error_text;

// Runs discovery on emulated drivers and returns the list; `out` gets what it printed.
DeviceList discover(const std::string& specs, const detail::HrcProbe& probe, std::string* out) {
    emu::set_driver_specs(specs);
    ::testing::internal::CaptureStdout();
    DeviceList devices;
    try {
        devices = detail::populate_devices(probe);
    } catch (...) {
        *out = ::testing::internal::GetCapturedStdout();
        throw;
    }
    *out = ::testing::internal::GetCapturedStdout();
    return devices;
}

bool never_called(std::shared_ptr<Device>) {
    ADD_FAILURE() << "the probe runs on Tarn_v2 devices only";
    return false;
}

std::vector<HwVersion> versions(const DeviceList& devices) {
    std::vector<HwVersion> v;
    for (const auto& d : devices) v.push_back(d->version());
    return v;
}

TEST(DevicesDiscovery, DriversFailuresAndMismatches) {
    std::string out = "x";
    EXPECT_TRUE(discover("", never_called, &out).empty());
    EXPECT_EQ(out, "");
    const auto devices = discover("v2+soc,tarn_v1", never_called, &out);
    EXPECT_EQ(versions(devices), (std::vector<HwVersion>{Selvo_v2, Tarn_v1}));
    EXPECT_STREQ(devices[0]->desc(), "Emulated v2 BC.A2.001.000");
    EXPECT_EQ(kinded_error_text([&] { discover("v2,v1+badversion,v2", never_called, &out); }),
              "invalid_argument: Incompatible hardware and Ip versions: HW Version is 188.162.3.9 "
              "with product id = 162 while IP version is v1.");
    // A probe's runtime error is printed and skips the device.
    const auto rest = discover(
        "tarn_v2,v1", [](std::shared_ptr<Device>) -> bool { throw std::runtime_error("failed"); },
        &out);
    EXPECT_EQ(out, "failed\n");
    EXPECT_EQ(versions(rest), (std::vector<HwVersion>{XVR2200_v1}));
    emu::set_driver_specs("v1,v2");
    const auto a = detail::populate_devices(never_called);
    const auto b = detail::populate_devices(never_called);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_NE(a[0]->hardware(), b[0]->hardware());
}

// The only test that calls get_devices, so that it sees the list unbuilt.
TEST(DevicesDiscovery, ProcessListIsBuiltOnceAfterAFailure) {
    emu::set_driver_specs("v1+badversion");
    EXPECT_THROW(get_devices(), std::invalid_argument);
    emu::set_driver_specs("v2,v1");
    const auto& list = get_devices();
    EXPECT_EQ(versions(list), (std::vector<HwVersion>{Selvo_v2, XVR2200_v1}));
    emu::set_driver_specs("mote");
    EXPECT_EQ(&list, &get_devices());
    EXPECT_EQ(list.size(), 2u);
}

TEST(DevicesDiscovery, HostDeviceMeshIsTheOneDiscoveredAtConstruction) {
    auto driver = emu::make_driver(emu::parse_driver_spec("v2"));
    auto hardware = HardwareDevice::create(driver.get());
    HostDevice host(hardware);
    EXPECT_EQ(host.mesh().nps.size(), 28u);
    driver->registers().write(emu::kIpBase + emu::kMeshWord1Reg, 0x01010401);  // one row
    EXPECT_EQ(host.mesh().nps.size(), 28u);
    EXPECT_EQ(Mesh::discover(hardware.get())->nps.size(), 12u);
}

std::vector<int64_t> timestamps(const PowerMeter& meter) {
    std::vector<int64_t> ts;
    for (const auto& e : meter.events()) ts.push_back(e.ts);
    return ts;
}

TEST(PowerMeter, EventsFloorAndReset) {
    PowerMeter meter;
    EXPECT_FALSE(meter.has_events());
    meter.log_event({1, 1000000, 90});
    meter.log_event({2, 1000000, 45});
    meter.log_event({3, 1000000, 180});
    EXPECT_EQ(timestamps(meter), (std::vector<int64_t>{1, 2, 3}));
    EXPECT_EQ(meter.events()[1].current, 45u);
    EXPECT_EQ(meter.floor(), 45.0f);
    EXPECT_FLOAT_EQ(PowerMeter::power_mw({1, 800000, 2000}), 1600.0f);
    // Events without power or not after the reset time are dropped; the floor restarts.
    meter.reset(10);
    EXPECT_EQ(meter.floor(), 0.0f);
    meter.log_event({11, 1000000, 0});
    meter.log_event({12, 0, 10});
    meter.log_event({10, 1000000, 10});
    meter.log_event({-1, 1000000, 10});
    EXPECT_EQ(timestamps(meter), (std::vector<int64_t>{1, 2, 3}));
    meter.log_event({11, 1000000, 70});
    EXPECT_EQ(meter.floor(), 70.0f);
    meter.log_event({12, 1000000, 50});
    EXPECT_EQ(meter.floor(), 50.0f);
    EXPECT_EQ(timestamps(meter), (std::vector<int64_t>{1, 2, 3, 11, 12}));
    for (int total : {100, 101, 250}) {
        PowerMeter ring;
        for (int i = 1; i <= total; ++i) ring.log_event({i, 1000000, 1});
        const auto ts = timestamps(ring);
        ASSERT_EQ(ts.size(), 100u);
        EXPECT_EQ(ts.front(), total - 99);
        EXPECT_EQ(ts.back(), total);
    }
}

TEST(PowerMeterQueue, GetWithClearEmptiesAndRewinds) {
    CircularQueue<int> q(4);
    for (int i = 1; i <= 6; ++i) q.put(i);  // wraps: holds 3..6
    EXPECT_EQ(q.size(), 4u);
    EXPECT_EQ(q.head_index(), 2u);
    EXPECT_EQ(q.tail_index(), 2u);
    EXPECT_EQ(q.get(false), (std::vector<int>{3, 4, 5, 6}));
    EXPECT_EQ(q.get(false), (std::vector<int>{3, 4, 5, 6}));  // a plain read keeps them
    // A read with clear hands out the elements, oldest first, and rewinds to the first slot.
    EXPECT_EQ(q.get(true), (std::vector<int>{3, 4, 5, 6}));
    EXPECT_TRUE(q.empty());
    EXPECT_EQ(q.size(), 0u);
    EXPECT_EQ(q.head_index(), 0u);
    EXPECT_EQ(q.tail_index(), 0u);
    EXPECT_TRUE(q.get(false).empty());
    q.put(7);
    EXPECT_EQ(q.get(false), std::vector<int>{7});
    CircularQueue<int> three(100);
    for (int i = 1; i <= 3; ++i) three.put(i);
    EXPECT_EQ(three.get(true), (std::vector<int>{1, 2, 3}));
    EXPECT_TRUE(three.empty());
    EXPECT_EQ(three.head_index(), 0u);
    EXPECT_EQ(three.tail_index(), 0u);
}

TEST(PowerMeterQueue, CountsAcrossTheWrap) {
    CircularQueue<int> q(5);
    for (int i = 0; i < 4; ++i) q.put(i);
    q.get(false);
    EXPECT_EQ(q.size(), 4u);
    // Head wraps behind tail once two more are written.
    q.put(4);
    EXPECT_EQ(q.size(), 5u);
    q.put(5);
    EXPECT_EQ(q.head_index(), 1u);
    EXPECT_EQ(q.tail_index(), 1u);
    EXPECT_EQ(q.get(false), (std::vector<int>{1, 2, 3, 4, 5}));
    // A full ring that rolled over is read from its tail and emptied.
    CircularQueue<int> r(5);
    for (int i = 0; i < 7; ++i) r.put(i);  // holds 2..6, head = tail = 2
    EXPECT_EQ(r.get(true), (std::vector<int>{2, 3, 4, 5, 6}));
}

int64_t ms_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 start)
        .count();
}

TEST(HostHooks, SleepLastsItsTime) {
    const auto start = std::chrono::steady_clock::now();
    const int64_t a = time_ms();
    msleep(30);
    EXPECT_GE(ms_since(start), 30);
    EXPECT_GE(time_ms() - a, 30);
}

TEST(FlashController, OnlyTheBoardDriverHasOne) {
    auto driver = emu::make_driver(emu::parse_driver_spec("v1+flash"));
    auto device = HardwareDevice::create(driver.get());
    auto flash = get_flash(device.get());
    ASSERT_NE(flash, nullptr);
    EXPECT_EQ(kinded_error_text([&] { flash->get_id(); }),
              "runtime_error: get_id function is not yet implemented");
    for (const char* spec : {"v1", "v2+soc"}) {
        auto other = emu::make_driver(emu::parse_driver_spec(spec));
        auto other_device = HardwareDevice::create(other.get());
        EXPECT_EQ(kinded_error_text([&] { get_flash(other_device.get()); }),
                  "invalid_argument: The device does not contain an XVR2200 flash");
    }
    EXPECT_THROW(get_flash(nullptr), std::invalid_argument);
}

struct Access {
    char op;  // 'r' or 'w'
    uint32_t address, value;
    bool operator==(const Access& o) const {
        return op == o.op && address == o.address && value == o.value;
    }
};

// Records every access; the change register's busy bit clears after `busy_reads`
// reads (never when negative).
class RecordingDriver : public HardwareDriver {
  public:
    std::map<uint32_t, uint32_t> regs;
    std::vector<Access> log;
    int busy_reads = 1;
    void read(uint32_t address, void* buffer, size_t length) override {
        EXPECT_EQ(length, 4u);
        uint32_t value = regs[address];
        log.push_back({'r', address, value});
        if (address == soc::kClockChangeReg && (value & 1u) && busy_reads >= 0 && --busy_reads <= 0)
            regs[address] = value & ~1u;
        std::memcpy(buffer, &value, 4);
    }
    void write(uint32_t address, const void* buffer, size_t length) override {
        EXPECT_EQ(length, 4u);
        uint32_t value = 0;
        std::memcpy(&value, buffer, 4);
        regs[address] = value;
        log.push_back({'w', address, value});
    }
    uint32_t ip_base_address() const override { return 0; }
};

TEST(ClockMode, ReadsTheDividerByte) {
    using soc::ClockMode;
    // Only bits 0..7 count.
    const std::pair<uint32_t, ClockMode> modes[] = {
        {1, ClockMode::Performance}, {119, ClockMode::LowPower}, {0xFFFFFF05, ClockMode::Economy}};
    for (const auto& [word, mode] : modes) {
        RecordingDriver driver;
        driver.regs[soc::kClockDividerReg] = word;
        EXPECT_EQ(soc::get_clock_mode(&driver), mode) << word;
        EXPECT_EQ(driver.log, (std::vector<Access>{{'r', 0xF0001190, word}}));
    }
    for (auto [word, hz] : {std::pair{0u, "600000000"}, {2u, "200000000"}, {255u, "2343750"}}) {
        RecordingDriver driver;
        driver.regs[soc::kClockDividerReg] = word;
        EXPECT_EQ(kinded_error_text([&] { soc::get_clock_mode(&driver); }),
                  std::string("runtime_error: Unexpected frequency value detected: ") + hz + ".");
    }
}

TEST(ClockMode, WritesTheDividersThenStartsTheChange) {
    using soc::ClockMode;
    // clang-format off
    const std::tuple<ClockMode, uint32_t, uint32_t> cases[] = {
        {ClockMode::Performance, 3, 1}, {ClockMode::Economy, 11, 5}, {ClockMode::LowPower, 239, 119}};
    for (const auto& [mode, a0, a1] : cases) {
        RecordingDriver driver;
        soc::set_clock_mode(&driver, mode);
        const std::vector<Access> expected = {{'r', 0xF0001030, 0}, {'w', 0xF00011A0, a0},
            {'w', 0xF0001190, a1}, {'w', 0xF00011B0, a1}, {'w', 0xF0001030, 1},
            {'r', 0xF0001030, 1}, {'r', 0xF0001030, 0}};
        EXPECT_EQ(driver.log, expected) << a1;
    }
    // clang-format on
    RecordingDriver slow;
    slow.busy_reads = 50;
    soc::set_clock_mode(&slow, ClockMode::Economy);
    EXPECT_EQ(slow.regs[soc::kClockChangeReg], 0u);
    // A value that is no mode: refused before any access.
    RecordingDriver none;
    EXPECT_EQ(kinded_error_text([&] { soc::set_clock_mode(&none, ClockMode(200000000)); }),
              "invalid_argument: Invalid clock mode");
    EXPECT_TRUE(none.log.empty());
}

TEST(ClockMode, BusyBitRefusesOrTimesOut) {
    RecordingDriver busy;
    busy.regs[soc::kClockChangeReg] = 1;
    busy.busy_reads = -1;
    EXPECT_EQ(kinded_error_text([&] { soc::set_clock_mode(&busy, soc::ClockMode::Economy); }),
              "runtime_error: Clock mode is already changing.");
    EXPECT_EQ(busy.log, (std::vector<Access>{{'r', 0xF0001030, 1}}));
    // A stuck busy bit times out after 10 ms; the dividers stay written.
    RecordingDriver stuck;
    stuck.busy_reads = -1;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(kinded_error_text([&] { soc::set_clock_mode(&stuck, soc::ClockMode::LowPower); }),
              "runtime_error: Failed to apply clock mode.");
    EXPECT_GE(ms_since(start), 10);
    EXPECT_LT(ms_since(start), 2000);
    EXPECT_EQ(soc::get_clock_mode(&stuck), soc::ClockMode::LowPower);
}

}  // namespace
}  // namespace vorna
