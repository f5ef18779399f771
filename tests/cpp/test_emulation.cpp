#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "corelib/emulation/emulation.h"
#include "corelib/hardware_device.h"
#include "devices/power_meter.h"
#include "emu_test_util.h"

namespace vorna {
namespace {

using testing::emu_fields;
using testing::emu_program;

std::unique_ptr<emu::EmulatedDriver> driver_for(const std::string& spec) {
    return emu::make_driver(emu::parse_driver_spec(spec));
}

std::shared_ptr<const Tensor> frame(std::vector<uint8_t> bytes, const Shape& shape) {
    return Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), TensorType::uint8,
                       shape, Dense::Layout::RowMajor);
}

size_t count_kind(const Mesh& mesh, hw::Type type) {
    return static_cast<size_t>(
        std::count_if(mesh.nps.begin(), mesh.nps.end(),
                      [&](const np::Info& n) { return n.types.count(type) != 0; }));
}

TEST(EmuSpec, ParsesPresetsAndOptions) {
    const auto spec = emu::parse_driver_spec("v2+soc+clkwrap+badversion");
    EXPECT_EQ(spec.preset, "v2");
    EXPECT_EQ(spec.version, Selvo_v2);
    EXPECT_TRUE(spec.soc && spec.clkwrap && spec.badversion);
    EXPECT_FALSE(spec.flash || spec.fail || spec.hrc_timeout || spec.clkstuck || spec.clkbusy);
    EXPECT_TRUE(emu::parse_driver_spec("v1+flash").soc);
    EXPECT_TRUE(emu::parse_driver_spec("fail").fail);
    EXPECT_EQ(emu::parse_driver_spec("tarn_v2").version, Tarn_v2);
    EXPECT_EQ(emu::parse_driver_specs("").size(), 0u);
    EXPECT_EQ(emu::parse_driver_specs("v1,mote,gemel").size(), 3u);
    EXPECT_THROW(emu::parse_driver_spec("v3"), std::invalid_argument);
    EXPECT_THROW(emu::parse_driver_spec("v2+turbo"), std::invalid_argument);
    EXPECT_THROW(emu::parse_driver_specs("v1,"), std::invalid_argument);
}

TEST(EmuRegisters, VersionWordAndUnknownAddresses) {
    auto driver = driver_for("gemel");
    uint32_t word = 1;
    driver->read(emu::kIpBase, &word, 4);
    EXPECT_EQ(word, 0x0603A1BCu);  // BC.A1.03.06, vendor in the low byte
    driver->read(0x12345678 & ~3u, &word, 4);
    EXPECT_EQ(word, 0u);
    uint32_t value = 0xDEADBEEF;
    driver->write(0x100, &value, 4);
    driver->read(0x100, &word, 4);
    EXPECT_EQ(word, 0xDEADBEEFu);
    uint16_t half = 0;
    EXPECT_THROW(driver->read(0x100, &half, 2), std::runtime_error);
}

TEST(EmuRegisters, V2PresetDecodesToItsMesh) {
    auto driver = driver_for("v2");
    auto device = HardwareDevice::create(driver.get());
    auto mesh = Mesh::discover(device.get());
    EXPECT_EQ(mesh->ip_version, IpVersion::v2);
    EXPECT_EQ(mesh->dma_event, hw::Ident(1, 1, 0, 0));
    EXPECT_EQ(mesh->dma_conf, hw::Ident(1, 1, 1, 0));
    ASSERT_TRUE(mesh->hrc.has_value());
    EXPECT_TRUE(mesh->hrc->has_lut);
    // 7 nodes of 4 NPs: every NP a CNP with a look-up table.
    EXPECT_EQ(mesh->nps.size(), 28u);
    EXPECT_EQ(count_kind(*mesh, hw::Type::CNP2), 28u);
    EXPECT_EQ(count_kind(*mesh, hw::Type::TNP_B), 8u);  // ids 2, 3 of columns 2, 3
    EXPECT_EQ(count_kind(*mesh, hw::Type::FNP3), 2u);   // id 0 of column 4
    EXPECT_EQ(count_kind(*mesh, hw::Type::FNP2), 2u);   // id 1 of column 4
    for (const auto& n : mesh->nps) {
        EXPECT_TRUE(n.has_lut);
        EXPECT_FALSE(n.ident.col == 1 && n.ident.row == 1);
    }
    ASSERT_EQ(mesh->skip_dmas.size(), 2u);
    EXPECT_EQ(mesh->skip_dmas[0].ident, hw::Ident(1, 1, 3, 4));
    EXPECT_EQ(mesh->skip_dmas[1].ident, hw::Ident(2, 1, 3, 4));
    EXPECT_EQ(mesh->np_sram_size, SramSize_v2);
}

TEST(EmuRegisters, V1AndMotePresets) {
    for (const char* name : {"v1", "gemel", "tarn_v1", "tarn_v2"}) {
        auto driver = driver_for(name);
        auto device = HardwareDevice::create(driver.get());
        auto mesh = Mesh::discover(device.get());
        EXPECT_EQ(mesh->ip_version, IpVersion::v1) << name;
        EXPECT_EQ(mesh->nps.size(), 28u) << name;
        EXPECT_EQ(count_kind(*mesh, hw::Type::TNP_B), 0u) << name;
        EXPECT_EQ(count_kind(*mesh, hw::Type::FNP3), 2u) << name;
        EXPECT_TRUE(std::none_of(mesh->nps.begin(), mesh->nps.end(), [](const np::Info& n) {
            return n.has_lut;
        })) << name;
    }
    auto driver = driver_for("mote");
    auto device = HardwareDevice::create(driver.get());
    auto mesh = Mesh::discover(device.get());
    EXPECT_EQ(mesh->ip_version, IpVersion::mote);
    EXPECT_EQ(mesh->np_sram_size.stsram_32b_size, 448u);
    EXPECT_EQ(mesh->np_sram_size.fsram_64b_size, 8192u);
    EXPECT_EQ(mesh->np_sram_size.tsram_51b_size, 892u);
    EXPECT_EQ(mesh->np_sram_size.evsram_32b_size, 256u);
}

TEST(EmuDevice, CreationFailuresAndDescription) {
    auto failing = driver_for("fail");
    try {
        HardwareDevice::create(failing.get());
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Emulated driver failure.");
    }
    EXPECT_THROW(HardwareDevice::create(nullptr), std::invalid_argument);
    auto driver = driver_for("v2+soc");
    auto device = HardwareDevice::create(driver.get());
    EXPECT_STREQ(device->desc(), "Emulated v2 BC.A2.001.000");
    EXPECT_EQ(device->driver(), driver.get());
    EXPECT_EQ(device->version(), Selvo_v2);
}

TEST(EmuDevice, ProgrammingKeepsThePointer) {
    auto driver = driver_for("v1");
    auto device = HardwareDevice::create(driver.get());
    EXPECT_EQ(device->program().data, nullptr);
    const auto bytes = emu_program(emu_fields({2, 2, 1}, {1, 1, 3}, 4, false));
    EXPECT_EQ(device->program(bytes.data(), bytes.size()), 0);
    EXPECT_EQ(device->program().data, bytes.data());
    EXPECT_EQ(device->program().size, bytes.size());
    EXPECT_EQ(device->program_clock_count(), 100u + bytes.size() / 4);
    EXPECT_EQ(device->learn_mem_size(), 0u);
    EXPECT_EQ(device->memory(), uint64_t{bytes.size()} | uint64_t{bytes.size()} << 32);
    device->unprogram();
    EXPECT_EQ(device->program().data, nullptr);
    EXPECT_EQ(device->memory() & 0xFFFFFFFFu, 0u);
    EXPECT_EQ(device->memory() >> 32, bytes.size());
    device->reset_top_memory();
    EXPECT_EQ(device->memory(), 0u);
    const std::vector<uint8_t> junk(40, 7);
    EXPECT_THROW(device->program(junk.data(), junk.size()), std::invalid_argument);
}

TEST(EmuDevice, ExternalProgramKeepsTheInfoOnly) {
    auto driver = driver_for("v2");
    auto device = HardwareDevice::create(driver.get());
    const auto bytes = emu_program(emu_fields({4}, {2}, 8, true), true, {5, 6});
    const uint32_t info_size = bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24;
    device->program_external(bytes.data(), info_size + 4, 0x2000);
    EXPECT_EQ(device->program().data, bytes.data());
    EXPECT_EQ(device->program().size, info_size + 4);
    EXPECT_EQ(device->learn_mem_size(), 0u);
    auto out = device->forward({frame({1, 1, 1, 1}, Shape{4})});
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0]->type(), TensorType::uint8);
}

TEST(EmuDevice, OutputsFollowTheFrameSum) {
    auto driver = driver_for("v1");
    auto device = HardwareDevice::create(driver.get());
    auto f = emu_fields({2, 2, 1}, {1, 1, 3}, 4, false);
    f.output_scales = {0.5f, 2.0f, 1.0f};
    const auto bytes = emu_program(f);
    device->program(bytes.data(), bytes.size());
    // Sum 10: elements (10 + i) mod 16 folded into int4: -6, -5, -4.
    auto out =
        device->forward({frame({1, 2, 3, 4}, Shape{2, 2, 1}), frame({0, 0, 0, 255}, Shape{4})});
    ASSERT_EQ(out.size(), 2u);
    auto first = Tensor::ensure_dense(std::shared_ptr<const Tensor>(std::move(out[0])));
    EXPECT_EQ(first->type(), TensorType::int4);
    EXPECT_EQ(first->dimensions(), (Shape{1, 1, 3}));
    EXPECT_EQ(first->at<int8_t>(0), -6);
    EXPECT_EQ(first->at<int8_t>(2), -4);
    // Sum 255 mod 251 = 4: 4, 5, 6.
    auto second = Tensor::ensure_dense(std::shared_ptr<const Tensor>(std::move(out[1])));
    EXPECT_EQ(second->at<int8_t>(0), 4);
    EXPECT_EQ(second->at<int8_t>(2), 6);
    auto predicted = device->predict({frame({1, 2, 3, 4}, Shape{2, 2, 1})});
    auto p = Tensor::ensure_dense(std::shared_ptr<const Tensor>(std::move(predicted[0])));
    EXPECT_EQ(p->type(), TensorType::float32);
    EXPECT_FLOAT_EQ(p->at<float>(0), -3.0f);
    EXPECT_FLOAT_EQ(p->at<float>(1), -10.0f);
    EXPECT_FLOAT_EQ(p->at<float>(2), -4.0f);
    try {
        device->forward({frame({1, 2, 3}, Shape{3})});
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Input dimensions do not match the program.");
    }
}

TEST(EmuDevice, OutputTypeByBits) {
    EXPECT_EQ(emu::output_type(1, true), TensorType::bit);
    EXPECT_EQ(emu::output_type(2, true), TensorType::uint2);
    EXPECT_EQ(emu::output_type(4, true), TensorType::uint4);
    EXPECT_EQ(emu::output_type(4, false), TensorType::int4);
    EXPECT_EQ(emu::output_type(8, true), TensorType::uint8);
    EXPECT_EQ(emu::output_type(8, false), TensorType::int8);
    EXPECT_EQ(emu::output_type(16, false), TensorType::int16);
    EXPECT_EQ(emu::output_type(32, false), TensorType::int32);
}

TEST(EmuDevice, RunsNeedAProgram) {
    auto driver = driver_for("v2");
    auto device = HardwareDevice::create(driver.get());
    try {
        device->forward({});
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "The device is not programmed.");
    }
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
    // 0xFFFFFFF0 + 2017 wraps to 2017 - 16.
    EXPECT_EQ(device->read_clock_counter(), 2001u);
    EXPECT_EQ(static_cast<uint32_t>(device->read_clock_counter() - 0xFFFFFFF0u), 2017u);
}

TEST(EmuDevice, LearningMemoryFromTheThirdRecord) {
    auto driver = driver_for("v1");
    auto device = HardwareDevice::create(driver.get());
    const auto fnp2 = emu_program(emu_fields({1}, {2}, 1, true), true, {11, 12, 13});
    device->program(fnp2.data(), fnp2.size());
    ASSERT_EQ(device->learn_mem_size(), 3u);
    std::vector<uint32_t> words(3);
    device->read_learn_mem(words.data());
    EXPECT_EQ(words, (std::vector<uint32_t>{11, 12, 13}));
    EXPECT_EQ(device->memory() & 0xFFFFFFFFu, fnp2.size() + 12);
    const std::vector<uint32_t> learned{21, 22, 23};
    device->write_learn_mem(learned.data());
    device->fit({frame({1}, Shape{1})}, {0});
    device->read_learn_mem(words.data());
    EXPECT_EQ(words, learned);

    // FNP3: the track's payload after its two header words, behind two zero words.
    const auto fnp3 = emu_program(emu_fields({1}, {2}, 1, true), true, {}, {31, 32, 33});
    device->program(fnp3.data(), fnp3.size());
    ASSERT_EQ(device->learn_mem_size(), 5u);
    words.assign(5, 99);
    device->read_learn_mem(words.data());
    EXPECT_EQ(words, (std::vector<uint32_t>{0, 0, 31, 32, 33}));
    device->unprogram();
    EXPECT_EQ(device->learn_mem_size(), 0u);
}

TEST(EmuDevice, HrcTimeoutOnTheFirstDeviceOnly) {
    auto driver = driver_for("tarn_v2+hrc_timeout");
    const auto bytes = emu_program(emu_fields({1}, {1}, 8, true));
    auto first = HardwareDevice::create(driver.get());
    first->program(bytes.data(), bytes.size());
    try {
        first->forward({frame({1}, Shape{1})});
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "HRC time-out.");
    }
    auto second = HardwareDevice::create(driver.get());
    second->program(bytes.data(), bytes.size());
    EXPECT_EQ(second->forward({frame({1}, Shape{1})}).size(), 1u);
}

TEST(EmuSoc, ClockModesRunOnTheSocRegisters) {
    auto driver = driver_for("v2+soc");
    auto* soc = dynamic_cast<SocDriver*>(static_cast<HardwareDriver*>(driver.get()));
    ASSERT_NE(soc, nullptr);
    EXPECT_EQ(soc->clock_mode(), soc::ClockMode::Performance);
    soc->set_clock_mode(soc::ClockMode::LowPower);
    EXPECT_EQ(soc->clock_mode(), soc::ClockMode::LowPower);
    EXPECT_EQ(driver->registers().read(soc::kClockDivider2Reg), 239u);
    EXPECT_EQ(driver->registers().read(soc::kClockDividerReg), 119u);
    EXPECT_EQ(driver->registers().read(soc::kClockDivider3Reg), 119u);
    EXPECT_EQ(driver->registers().read(soc::kClockChangeReg), 0u);

    auto stuck = driver_for("v2+soc+clkstuck");
    auto* stuck_soc = dynamic_cast<SocDriver*>(static_cast<HardwareDriver*>(stuck.get()));
    EXPECT_THROW(stuck_soc->set_clock_mode(soc::ClockMode::Economy), std::runtime_error);
    try {
        stuck_soc->set_clock_mode(soc::ClockMode::Economy);
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Clock mode is already changing.");
    }
    auto busy = driver_for("v2+soc+clkbusy");
    auto* busy_soc = dynamic_cast<SocDriver*>(static_cast<HardwareDriver*>(busy.get()));
    EXPECT_THROW(busy_soc->set_clock_mode(soc::ClockMode::Economy), std::runtime_error);
    EXPECT_EQ(dynamic_cast<SocDriver*>(static_cast<HardwareDriver*>(driver_for("v2").get())),
              nullptr);
}

TEST(EmuSoc, RunsLogIncreasingPowerEventsWhileMeasuring) {
    auto driver = driver_for("v1+soc");
    auto* soc = dynamic_cast<SocDriver*>(static_cast<HardwareDriver*>(driver.get()));
    ASSERT_NE(soc, nullptr);
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
    EXPECT_EQ(events[0].current, 103u);
    EXPECT_EQ(events[1].current, 103u);
    EXPECT_EQ(events[2].current, 101u);
    for (size_t i = 1; i < events.size(); ++i) EXPECT_LT(events[i - 1].ts, events[i].ts);
    EXPECT_EQ(meter->floor(), PowerMeter::power_mw(events[2]));
    soc->enable_power_measurement(false);
    EXPECT_EQ(soc->power_meter(), nullptr);
    device->forward({frame({1}, Shape{1})});
    EXPECT_EQ(PowerMeter::get().events().size(), std::min<size_t>(before + 4, 100));
}

TEST(EmuBadVersion, ProductByteChangesAfterThreeReads) {
    auto driver = driver_for("v1+badversion");
    auto device = HardwareDevice::create(driver.get());
    EXPECT_EQ(device->version().product_id, 0xA1);
    EXPECT_EQ(device->version().product_id, 0xA1);
    EXPECT_EQ(device->version().product_id, 0xA1);
    EXPECT_EQ(device->version().product_id, 0xA2);
}

}  // namespace
}  // namespace vorna
