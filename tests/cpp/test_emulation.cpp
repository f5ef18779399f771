#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "corelib/emulation/emulation.h"
#include "corelib/hardware_device.h"
#include "devices/clock_modes.h"
#include "devices/power_meter.h"
#include "emu_test_util.h"
#include "test_support.h"

namespace vorna {
namespace {

using test_support::kinded_error_text;
using testing::emu_fields;
using testing::emu_program;

std::unique_ptr<emu::EmulatedDriver> driver_for(const std::string& spec) {
    return emu::make_driver(emu::parse_driver_spec(spec));
}

std::shared_ptr<const Tensor> frame(std::vector<uint8_t> bytes, const Shape& shape) {
    return Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), TensorType::uint8,
                       shape, Dense::Layout::RowMajor);
}

std::shared_ptr<const Dense> dense(std::unique_ptr<Tensor>& t) {
    return Tensor::ensure_dense(std::shared_ptr<const Tensor>(std::move(t)));
}

SocDriver* soc_of(emu::EmulatedDriver* driver) {
    return dynamic_cast<SocDriver*>(static_cast<HardwareDriver*>(driver));
}

size_t count_kind(const Mesh& mesh, hw::Type type) {
    return std::count_if(mesh.nps.begin(), mesh.nps.end(),
                         [&](const np::Info& n) { return n.types.count(type) != 0; });
}

// The device list's text: a preset and options, each option setting its flags.
TEST(EmuSpec, ParsesPresetsAndOptions) {
    using Flag = bool emu::DriverSpec::*;
    using S = emu::DriverSpec;
    const std::vector<Flag> all = {&S::fail,      &S::soc,      &S::flash,     &S::hrc_timeout,
                                   &S::clkwrap,   &S::clkstuck, &S::clkbusy,   &S::badversion,
                                   &S::powerwrap, &S::noflash,  &S::nooutputs, &S::ragged};
    const struct {
        const char* text;
        const char* preset;
        HwVersion version;
        std::vector<Flag> set;
    } cases[] = {
        {"v2+soc+clkwrap+badversion", "v2", Selvo_v2, {&S::soc, &S::clkwrap, &S::badversion}},
        {"v2+soc+clkstuck", "v2", Selvo_v2, {&S::soc, &S::clkstuck}},
        {"v1+clkbusy", "v1", XVR2200_v1, {&S::clkbusy}},
        {"v1+flash", "v1", XVR2200_v1, {&S::soc, &S::flash}},
        {"gemel+noflash", "gemel", HwVersion{0xBC, 0xA1, 3, 6}, {&S::soc, &S::flash, &S::noflash}},
        {"mote+powerwrap", "mote", Mote_Selvo, {&S::soc, &S::powerwrap}},
        {"tarn_v2+hrc_timeout+nooutputs+ragged",
         "tarn_v2",
         Tarn_v2,
         {&S::hrc_timeout, &S::nooutputs, &S::ragged}},
        {"fail", "fail", HwVersion{}, {&S::fail}},
    };
    for (const auto& c : cases) {
        const emu::DriverSpec spec = emu::parse_driver_spec(c.text);
        EXPECT_EQ(spec.preset, c.preset) << c.text;
        if (std::string(c.preset) != "fail") {
            EXPECT_EQ(spec.version, c.version) << c.text;
        }
        for (size_t i = 0; i < all.size(); ++i) {
            const bool expected = std::count(c.set.begin(), c.set.end(), all[i]) != 0;
            EXPECT_EQ(spec.*all[i], expected) << c.text << " flag " << i;
        }
    }
    EXPECT_EQ(emu::parse_driver_specs("").size(), 0u);
    EXPECT_EQ(emu::parse_driver_specs("v1,mote,gemel").size(), 3u);
    const std::pair<const char*, const char*> refused[] = {
        {"v3", "Unknown emulated device preset 'v3'."},
        {"v2+turbo", "Unknown emulated device option 'turbo'."},
        {"v2++soc", "Unknown emulated device option ''."},
        {"v2+SOC", "Unknown emulated device option 'SOC'."},
        {"v1,", "Empty emulated device description."},
        {"v1,v2+clkstuk", "Unknown emulated device option 'clkstuk'."},
    };
    for (const auto& [text, message] : refused) {
        EXPECT_EQ(kinded_error_text([&] { emu::parse_driver_specs(text); }),
                  std::string("invalid_argument: ") + message);
    }
}

TEST(EmuRegisters, VersionWordAndPresetMeshes) {
    auto gemel = driver_for("gemel");
    uint32_t word = 1, value = 0xDEADBEEF;
    gemel->read(emu::kIpBase, &word, 4);
    EXPECT_EQ(word, 0x0603A1BCu);  // BC.A1.03.06, vendor in the low byte
    gemel->write(0x100, &value, 4);
    gemel->read(0x100, &word, 4);
    EXPECT_EQ(word, 0xDEADBEEFu);
    uint16_t half = 0;
    EXPECT_THROW(gemel->read(0x100, &half, 2), std::runtime_error);

    auto driver = driver_for("v2");
    auto mesh = Mesh::discover(HardwareDevice::create(driver.get()).get());
    EXPECT_EQ(mesh->ip_version, IpVersion::v2);
    EXPECT_EQ(mesh->dma_event, hw::Ident(1, 1, 0, 0));
    EXPECT_EQ(mesh->dma_conf, hw::Ident(1, 1, 1, 0));
    ASSERT_TRUE(mesh->hrc.has_value());
    EXPECT_TRUE(mesh->hrc->has_lut);
    EXPECT_EQ(mesh->nps, test_support::seven_node_v2_nps());
    ASSERT_EQ(mesh->skip_dmas.size(), 2u);
    EXPECT_EQ(mesh->skip_dmas[1].ident, hw::Ident(2, 1, 3, 4));
    EXPECT_EQ(mesh->np_sram_size, SramSize_v2);
    // A node holds four NPs: the configuration slots after them stay empty.
    for (uint32_t col = 1; col <= 4; ++col) {
        for (uint32_t row = 1; row <= 2; ++row) {
            for (uint32_t id = 4; id < 8; ++id) {
                uint32_t config = 1;
                driver->read(emu::kIpBase + emu::np_config_offset(col, row, id), &config, 4);
                EXPECT_EQ(config, 0u) << col << "," << row << "," << id;
            }
        }
    }
    auto v1 = driver_for("tarn_v2");
    auto m = Mesh::discover(HardwareDevice::create(v1.get()).get());
    EXPECT_EQ(m->ip_version, IpVersion::v1);
    EXPECT_EQ(count_kind(*m, hw::Type::FNP3), 2u);
}

TEST(EmuDevice, CreationProgrammingAndMemory) {
    auto failing = driver_for("fail");
    EXPECT_EQ(kinded_error_text([&] { HardwareDevice::create(failing.get()); }),
              "runtime_error: Emulated driver failure.");
    EXPECT_THROW(HardwareDevice::create(nullptr), std::invalid_argument);
    auto driver = driver_for("v1");
    auto device = HardwareDevice::create(driver.get());
    EXPECT_STREQ(device->desc(), "Emulated v1 BC.A1.003.009");
    EXPECT_EQ(kinded_error_text([&] { device->forward({}); }),
              "runtime_error: The device is not programmed.");
    const auto bytes = emu_program(emu_fields({2, 2, 1}, {1, 1, 3}, 4, false));
    EXPECT_EQ(device->program(bytes.data(), bytes.size()), 0);
    EXPECT_EQ(device->program().data, bytes.data());
    EXPECT_EQ(device->program().size, bytes.size());
    EXPECT_EQ(device->program_clock_count(), 100u + bytes.size() / 4);
    EXPECT_EQ(device->memory(), uint64_t{bytes.size()} | uint64_t{bytes.size()} << 32);
    device->unprogram();
    EXPECT_EQ(device->program().data, nullptr);
    EXPECT_EQ(device->memory(), uint64_t{bytes.size()} << 32);
    device->reset_top_memory();
    EXPECT_EQ(device->memory(), 0u);
    const std::vector<uint8_t> junk(40, 7);
    EXPECT_THROW(device->program(junk.data(), junk.size()), std::invalid_argument);
    // An external program keeps the info only: no learning memory.
    const auto learn = emu_program(emu_fields({4}, {2}, 8, true), true, {5, 6});
    const uint32_t info_size = learn[0] | learn[1] << 8 | learn[2] << 16 | learn[3] << 24;
    device->program_external(learn.data(), info_size + 4, 0x2000);
    EXPECT_EQ(device->program().size, info_size + 4);
    EXPECT_EQ(device->learn_mem_size(), 0u);
    auto out = device->forward({frame({1, 1, 1, 1}, Shape{4})});
    EXPECT_EQ(dense(out[0])->type(), TensorType::uint8);
}

// FNP3: the learning memory is the track's payload behind two zero words.
TEST(EmuDevice, Fnp3LearningMemoryStartsWithTwoZeroWords) {
    auto driver = driver_for("v1");
    auto device = HardwareDevice::create(driver.get());
    const auto fnp3 = emu_program(emu_fields({1}, {2}, 1, true), true, {}, {31, 32, 33});
    device->program(fnp3.data(), fnp3.size());
    ASSERT_EQ(device->learn_mem_size(), 5u);
    std::vector<uint32_t> words(5, 99);
    device->read_learn_mem(words.data());
    EXPECT_EQ(words, (std::vector<uint32_t>{0, 0, 31, 32, 33}));
}

TEST(EmuDevice, OutputsFollowTheFrameSum) {
    auto driver = driver_for("v1");
    auto device = HardwareDevice::create(driver.get());
    auto f = emu_fields({2, 2, 1}, {1, 1, 3}, 4, false);
    f.output_scales = {0.5f, 2.0f, 1.0f};
    const auto bytes = emu_program(f);
    device->program(bytes.data(), bytes.size());
    // Sum 10: elements (10 + i) mod 16 folded into int4: -6, -5, -4; sum 255 mod 251 = 4.
    auto out =
        device->forward({frame({1, 2, 3, 4}, Shape{2, 2, 1}), frame({0, 0, 0, 255}, Shape{4})});
    ASSERT_EQ(out.size(), 2u);
    auto first = dense(out[0]), second = dense(out[1]);
    EXPECT_EQ(first->type(), TensorType::int4);
    EXPECT_EQ(first->dimensions(), (Shape{1, 1, 3}));
    EXPECT_EQ(first->at<int8_t>(0), -6);
    EXPECT_EQ(first->at<int8_t>(2), -4);
    EXPECT_EQ(second->at<int8_t>(0), 4);
    EXPECT_EQ(second->at<int8_t>(2), 6);
    auto predicted = device->predict({frame({1, 2, 3, 4}, Shape{2, 2, 1})});
    auto p = dense(predicted[0]);
    EXPECT_EQ(p->type(), TensorType::float32);
    EXPECT_FLOAT_EQ(p->at<float>(0), -3.0f);
    EXPECT_FLOAT_EQ(p->at<float>(1), -10.0f);
    EXPECT_FLOAT_EQ(p->at<float>(2), -4.0f);
    EXPECT_EQ(kinded_error_text([&] { device->forward({frame({1, 2, 3}, Shape{3})}); }),
              "invalid_argument: Input dimensions do not match the program.");
    const std::tuple<int, bool, TensorType> types[] = {
        {1, true, TensorType::bit},     {2, true, TensorType::uint2},  {4, true, TensorType::uint4},
        {4, false, TensorType::int4},   {8, true, TensorType::uint8},  {8, false, TensorType::int8},
        {16, false, TensorType::int16}, {32, false, TensorType::int32}};
    for (const auto& [bits, activation, type] : types)
        EXPECT_EQ(emu::output_type(bits, activation), type) << bits;
}

TEST(EmuDevice, ClockCounterAdvancesWhileEnabledAndWraps) {
    auto driver = driver_for("v1+clkwrap");
    auto device = HardwareDevice::create(driver.get());
    EXPECT_EQ(device->read_clock_counter(), 0xFFFFFFF0u);
    const auto bytes = emu_program(emu_fields({1}, {1}, 8, true));
    device->program(bytes.data(), bytes.size());
    device->forward({frame({1}, Shape{1})});
    EXPECT_EQ(device->read_clock_counter(), 0xFFFFFFF0u);  // disabled: no count
    device->enable_clock_counter(true);
    device->forward({frame({1}, Shape{1}), frame({2}, Shape{1})});
    EXPECT_EQ(device->read_clock_counter(), 2001u);  // 0xFFFFFFF0 + 2017 wraps
}

TEST(EmuSoc, RunsLogIncreasingPowerEventsWhileMeasuring) {
    auto driver = driver_for("v1+soc");
    auto* soc = soc_of(driver.get());
    auto device = HardwareDevice::create(driver.get());
    const auto bytes = emu_program(emu_fields({1}, {1}, 8, true));
    device->program(bytes.data(), bytes.size());
    EXPECT_EQ(soc->power_meter(), nullptr);
    soc->enable_power_measurement(true);
    auto meter = soc->power_meter();
    ASSERT_EQ(meter.get(), &PowerMeter::get());
    const size_t before = meter->events().size();
    device->forward({frame({1}, Shape{1}), frame({1}, Shape{1}), frame({1}, Shape{1})});
    device->forward({frame({1}, Shape{1})});
    auto events = meter->events();
    ASSERT_EQ(events.size(), std::min<size_t>(before + 4, PowerMeter::kCapacity));
    events.erase(events.begin(), events.end() - 4);
    EXPECT_EQ(events[0].voltage, 800000u);
    EXPECT_EQ(events[1].current, 103u);
    EXPECT_EQ(events[2].current, 101u);
    EXPECT_LT(events[2].ts, events[3].ts);
    soc->enable_power_measurement(false);
    EXPECT_EQ(soc->power_meter(), nullptr);
    device->forward({frame({1}, Shape{1})});
    EXPECT_EQ(PowerMeter::get().events().size(), std::min<size_t>(before + 4, 100));
}

// clkstuck: a clock change never completes; clkbusy: one is in progress from the start.
TEST(EmuSoc, ClockChangesThatNeverCompleteOrAreUnderWay) {
    auto plain = driver_for("v2+soc");
    soc_of(plain.get())->set_clock_mode(soc::ClockMode::LowPower);
    EXPECT_EQ(soc_of(plain.get())->clock_mode(), soc::ClockMode::LowPower);
    EXPECT_EQ(plain->registers().read(soc::kClockDivider2Reg), 239u);
    EXPECT_EQ(plain->registers().read(soc::kClockDividerReg), 119u);
    EXPECT_EQ(plain->registers().read(soc::kClockDivider3Reg), 119u);
    EXPECT_EQ(plain->registers().read(soc::kClockChangeReg), 0u);

    auto stuck = driver_for("v2+soc+clkstuck");
    auto* stuck_soc = soc_of(stuck.get());
    EXPECT_EQ(kinded_error_text([&] { stuck_soc->set_clock_mode(soc::ClockMode::Economy); }),
              "runtime_error: Failed to apply clock mode.");
    EXPECT_EQ(stuck->registers().read(soc::kClockChangeReg), 1u);  // the change never ends
    EXPECT_EQ(kinded_error_text([&] { stuck_soc->set_clock_mode(soc::ClockMode::Economy); }),
              "runtime_error: Clock mode is already changing.");

    auto busy = driver_for("v2+soc+clkbusy");
    auto* busy_soc = soc_of(busy.get());
    EXPECT_EQ(busy->registers().read(soc::kClockChangeReg), 1u);
    EXPECT_EQ(kinded_error_text([&] { busy_soc->set_clock_mode(soc::ClockMode::Economy); }),
              "runtime_error: Clock mode is already changing.");
    EXPECT_EQ(busy_soc->clock_mode(), soc::ClockMode::Performance);  // nothing written
    // The busy bit reads set once, then the change is over.
    busy_soc->set_clock_mode(soc::ClockMode::Economy);
    EXPECT_EQ(busy_soc->clock_mode(), soc::ClockMode::Economy);
    // Without a SoC driver the options have no clock registers to act on.
    EXPECT_EQ(soc_of(driver_for("v2+clkbusy").get()), nullptr);
}

}  // namespace
}  // namespace vorna
