#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/drivers.h"
#include "devices/clock_modes.h"

namespace vorna {
namespace {

using soc::ClockMode;

struct Access {
    char op;  // 'r' or 'w'
    uint32_t address;
    uint32_t value;
    bool operator==(const Access& o) const {
        return op == o.op && address == o.address && value == o.value;
    }
};

// Records every access; the change register's busy bit clears after `busy_reads` reads
// (never when negative).
class RecordingDriver : public HardwareDriver {
  public:
    std::map<uint32_t, uint32_t> regs;
    std::vector<Access> log;
    int busy_reads = 1;

    void read(uint32_t address, void* buffer, size_t length) override {
        EXPECT_EQ(length, 4u);
        uint32_t value = regs[address];
        log.push_back({'r', address, value});
        if (address == soc::kClockChangeReg && (value & 1u) && busy_reads >= 0 &&
            --busy_reads <= 0) {
            regs[address] = value & ~1u;
        }
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

    std::vector<Access> writes() const {
        std::vector<Access> w;
        for (const Access& a : log)
            if (a.op == 'w') w.push_back(a);
        return w;
    }
};

std::string error_of(HardwareDriver* driver) {
    try {
        soc::get_clock_mode(driver);
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "";
}

TEST(ClockMode, ReadsTheModeFromTheDividerByte) {
    const struct {
        uint32_t word;
        ClockMode mode;
    } cases[] = {
        {1, ClockMode::Performance},
        {5, ClockMode::Economy},
        {119, ClockMode::LowPower},
        {0xFFFFFF05, ClockMode::Economy},  // only bits 0..7 count
    };
    for (const auto& c : cases) {
        RecordingDriver driver;
        driver.regs[soc::kClockDividerReg] = c.word;
        EXPECT_EQ(soc::get_clock_mode(&driver), c.mode) << c.word;
        EXPECT_EQ(driver.log, (std::vector<Access>{{'r', 0xF0001190, c.word}}));
    }
}

TEST(ClockMode, RefusesOtherFrequencies) {
    RecordingDriver driver;
    driver.regs[soc::kClockDividerReg] = 0;
    EXPECT_EQ(error_of(&driver), "Unexpected frequency value detected: 600000000.");
    driver.regs[soc::kClockDividerReg] = 2;
    EXPECT_EQ(error_of(&driver), "Unexpected frequency value detected: 200000000.");
    driver.regs[soc::kClockDividerReg] = 255;
    EXPECT_EQ(error_of(&driver), "Unexpected frequency value detected: 2343750.");
}

TEST(ClockMode, WritesTheDividersThenStartsTheChange) {
    const struct {
        ClockMode mode;
        uint32_t a0, a1, b0;
    } cases[] = {
        {ClockMode::Performance, 3, 1, 1},
        {ClockMode::Economy, 11, 5, 5},
        {ClockMode::LowPower, 239, 119, 119},
    };
    for (const auto& c : cases) {
        RecordingDriver driver;
        soc::set_clock_mode(&driver, c.mode);
        const std::vector<Access> expected = {
            {'r', 0xF0001030, 0},    {'w', 0xF00011A0, c.a0}, {'w', 0xF0001190, c.a1},
            {'w', 0xF00011B0, c.b0}, {'w', 0xF0001030, 1},    {'r', 0xF0001030, 1},
            {'r', 0xF0001030, 0},
        };
        EXPECT_EQ(driver.log, expected) << static_cast<uint32_t>(c.mode);
        EXPECT_EQ(soc::get_clock_mode(&driver), c.mode);
    }
}

TEST(ClockMode, RefusesAValueThatIsNoModeWithoutAccess) {
    RecordingDriver driver;
    try {
        soc::set_clock_mode(&driver, static_cast<ClockMode>(200000000));
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid clock mode");
    }
    EXPECT_TRUE(driver.log.empty());
}

TEST(ClockMode, RefusesWhileAChangeIsInProgress) {
    RecordingDriver driver;
    driver.regs[soc::kClockChangeReg] = 1;
    driver.busy_reads = -1;
    try {
        soc::set_clock_mode(&driver, ClockMode::Economy);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Clock mode is already changing.");
    }
    EXPECT_EQ(driver.log, (std::vector<Access>{{'r', 0xF0001030, 1}}));
}

TEST(ClockMode, StuckBusyBitTimesOutAfterTenMilliseconds) {
    RecordingDriver driver;
    driver.busy_reads = -1;
    const auto start = std::chrono::steady_clock::now();
    try {
        soc::set_clock_mode(&driver, ClockMode::LowPower);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Failed to apply clock mode.");
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_GE(waited, std::chrono::milliseconds(10));
    EXPECT_LT(waited, std::chrono::seconds(2));
    EXPECT_EQ(driver.writes().size(), 4u);
    // The dividers stay written; the next change fails at once while the bit stays set.
    EXPECT_EQ(soc::get_clock_mode(&driver), ClockMode::LowPower);
    driver.log.clear();
    EXPECT_THROW(soc::set_clock_mode(&driver, ClockMode::Economy), std::runtime_error);
    EXPECT_EQ(driver.log.size(), 1u);
}

TEST(ClockMode, WaitsForASlowAcknowledge) {
    RecordingDriver driver;
    driver.busy_reads = 50;
    soc::set_clock_mode(&driver, ClockMode::Economy);
    EXPECT_EQ(driver.regs[soc::kClockChangeReg], 0u);
}

}  // namespace
}  // namespace vorna
