// Hostile program dims refused at programming, and the emulation options that make the
// emulated hardware give odd answers: wrapping power readings, an absent flash controller,
// runs without outputs and outputs of differing sizes.

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/emulation/emulation.h"
#include "corelib/program_info.h"
#include "devices/flash_controller.h"
#include "devices/power_meter.h"
#include "emu_test_util.h"

namespace vorna {
namespace {

using testing::emu_fields;
using testing::emu_program;

std::unique_ptr<emu::EmulatedDriver> driver_for(const std::string& spec) {
    return emu::make_driver(emu::parse_driver_spec(spec));
}

std::shared_ptr<const Tensor> frame(std::vector<uint8_t> bytes) {
    const Shape shape{static_cast<uint32_t>(bytes.size())};
    return Dense::copy(reinterpret_cast<const char*>(bytes.data()), bytes.size(), TensorType::uint8,
                       shape, Dense::Layout::RowMajor);
}

std::shared_ptr<const Dense> dense(std::unique_ptr<Tensor>& out) {
    return Tensor::ensure_dense(std::shared_ptr<const Tensor>(std::move(out)));
}

struct DimsCase {
    std::vector<uint32_t> in, out;
    uint8_t input_bits, output_bits;
    std::string fault;  // what follows "Invalid program: "; empty when accepted
};

TEST(EmuHostileProgram, DimsAreCheckedAtProgramming) {
    const uint32_t big = 0xFFFFFFFFu;
    const std::string over = " takes more than 16777216 bytes per frame.";
    const std::string bigs = "[4294967295, 4294967295, 4294967295, ";
    const std::string five = "output_dims [1, 1, 1, 1, 2] has 5 dimensions; at most 4 are allowed.";
    const DimsCase cases[] = {
        {{4}, {}, 8, 8, "output_dims [] has no dimension."},
        {{}, {1}, 8, 8, "input_dims [] has no dimension."},
        {{4}, {1, 1, 1, 1, 2}, 8, 8, five},
        {{2, 0, 3}, {1}, 8, 8, "input_dims [2, 0, 3] has a dimension of 0."},
        // A zero found after the product passed the limit still gives its own message.
        {{4}, {big, big, big, 0}, 8, 8, "output_dims " + bigs + "0] has a dimension of 0."},
        {{4}, {1, 1, 1u << 30}, 8, 8, "output_dims [1, 1, 1073741824]" + over},
        {{4}, {big, big, big, big}, 1, 1, "output_dims " + bigs + "4294967295]" + over},
        // 8 x 2^62 bits: a product that wraps 64 bits to 0.
        {{4}, {1u << 31, 1u << 31}, 8, 8, "output_dims [2147483648, 2147483648]" + over},
        // 16 MiB exactly fits; one more element, or wider elements, do not.
        {{4}, {4096, 4096, 1}, 8, 8, ""},
        {{4}, {4096, 4096, 1}, 8, 1, ""},
        {{4}, {4097, 4096, 1}, 8, 8, "output_dims [4097, 4096, 1]" + over},
        {{4}, {4096, 4096, 1}, 8, 9, "output_dims [4096, 4096, 1]" + over},
        {{4}, {2048, 2048, 1}, 8, 32, ""},
        {{4}, {2048, 2048, 2}, 8, 17, "output_dims [2048, 2048, 2]" + over},
        // An input_bits of 0 counts as 8.
        {{4096, 4096, 1}, {1}, 0, 8, ""},
        {{4096, 4096, 1}, {1}, 9, 8, "input_dims [4096, 4096, 1]" + over},
    };
    auto driver = driver_for("v1");
    auto device = HardwareDevice::create(driver.get());
    const auto good = emu_program(emu_fields({4}, {1, 1, 2}, 8, true));
    for (const DimsCase& c : cases) {
        auto fields = emu_fields(c.in, c.out, c.output_bits, true);
        fields.input_bits = c.input_bits;
        const auto bytes = emu_program(fields);
        uint32_t info_size;
        std::memcpy(&info_size, bytes.data(), 4);
        for (const bool external : {false, true}) {
            device->program(good.data(), good.size());
            try {
                if (external) {
                    device->program_external(bytes.data(), info_size + 4, 0x1000);
                } else {
                    device->program(bytes.data(), bytes.size());
                }
                EXPECT_EQ(c.fault, "") << "accepted";
                EXPECT_EQ(device->program().data, bytes.data());
            } catch (const std::invalid_argument& e) {
                EXPECT_EQ(e.what(), "Invalid program: " + c.fault);
                // The program before stays, unchanged.
                EXPECT_EQ(device->program().data, good.data());
                EXPECT_EQ(device->forward({frame({1, 2, 3, 4})}).size(), 1u);
            }
        }
    }
    // Program info without any dims field at all.
    flatbuffers::FlatBufferBuilder builder;
    fb::ProgramInfoBuilder info(builder);
    info.add_output_bits(8);
    builder.FinishSizePrefixed(info.Finish());
    try {
        device->program(builder.GetBufferPointer(), builder.GetSize());
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid program: input_dims [] has no dimension.");
    }
}

TEST(EmuOddAnswers, AbsentFlashController) {
    auto driver = driver_for("v1+noflash");
    auto device = HardwareDevice::create(driver.get());
    EXPECT_EQ(get_flash(device.get()), nullptr);
}

TEST(EmuOddAnswers, RunsWithoutOutputsStillCheckAndCount) {
    auto driver = driver_for("v2+nooutputs");
    auto device = HardwareDevice::create(driver.get());
    const auto bytes = emu_program(emu_fields({2}, {1, 1, 3}, 8, true));
    device->program(bytes.data(), bytes.size());
    device->enable_clock_counter(true);
    EXPECT_TRUE(device->forward({frame({1, 2}), frame({3, 4})}).empty());
    EXPECT_TRUE(device->predict({frame({1, 2})}).empty());
    EXPECT_TRUE(device->fit({frame({1, 2})}, {1}).empty());
    EXPECT_EQ(device->read_clock_counter(), 4000u + 3 * 17);
    EXPECT_THROW(device->forward({frame({1, 2, 3})}), std::invalid_argument);
}

TEST(EmuOddAnswers, RaggedOutputsFollowTheFirstByte) {
    auto driver = driver_for("v1+ragged");
    auto device = HardwareDevice::create(driver.get());
    auto fields = emu_fields({2}, {1, 2, 4}, 8, false);
    fields.output_scales = {0.5f, 1.0f, 2.0f, 4.0f};
    const auto bytes = emu_program(fields);
    device->program(bytes.data(), bytes.size());
    // First bytes 3, 9 (above the 4 of the program) and 0 (at least 1).
    auto out = device->forward({frame({3, 1}), frame({9, 0}), frame({0, 250})});
    ASSERT_EQ(out.size(), 3u);
    const uint32_t kept[] = {3, 4, 1};
    const int8_t firsts[] = {4, 9, -6};  // (sum % 251) folded into int8
    for (size_t i = 0; i < 3; ++i) {
        const auto d = dense(out[i]);
        EXPECT_EQ(d->type(), TensorType::int8);
        EXPECT_EQ(d->dimensions(), (Shape{1, 2, kept[i]})) << i;
        EXPECT_EQ(d->at<int8_t>(0), firsts[i]) << i;
        EXPECT_EQ(d->at<int8_t>(2 * kept[i] - 1), firsts[i] + 2 * static_cast<int>(kept[i]) - 1)
            << i;
    }
    auto predicted = device->predict({frame({2, 0})});
    ASSERT_EQ(predicted.size(), 1u);
    const auto p = dense(predicted[0]);
    EXPECT_EQ(p->dimensions(), (Shape{1, 2, 2}));
    // Element 3 of the sum 2 is 5, in channel 1 of the two kept.
    EXPECT_FLOAT_EQ(p->at<float>(3), 5.0f);
    EXPECT_FLOAT_EQ(p->at<float>(2), 2.0f);
}

TEST(EmuOddAnswers, PowerReadingsThatWrap32Bits) {
    auto driver = driver_for("v2+powerwrap");
    auto* soc = dynamic_cast<SocDriver*>(static_cast<HardwareDriver*>(driver.get()));
    ASSERT_NE(soc, nullptr);
    auto device = HardwareDevice::create(driver.get());
    const auto bytes = emu_program(emu_fields({1}, {1}, 8, true));
    device->program(bytes.data(), bytes.size());
    soc->enable_power_measurement(true);
    device->forward(std::vector<std::shared_ptr<const Tensor>>(50, frame({1})));
    auto events = soc->power_meter()->events();
    soc->enable_power_measurement(false);
    ASSERT_GE(events.size(), 2u);
    const PowerMeter::PowerEvent& e = events.back();
    EXPECT_EQ(e.voltage, 3000000u);
    EXPECT_EQ(e.current, 2000u);  // 2000 + 50 % 50
    // 6000000000 does not fit 32 bits; the meter's own power is computed in floats.
    EXPECT_GT(uint64_t{e.voltage} * e.current, uint64_t{0xFFFFFFFFu});
    EXPECT_FLOAT_EQ(PowerMeter::power_mw(e), 6000.0f);
}

}  // namespace
}  // namespace vorna
