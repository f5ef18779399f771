#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hardware_sequence.h"
#include "engine_b_fakes.h"
#include "test_support.h"

namespace vorna {
namespace {

using test_support::runtime_error_text;

using namespace engine_test;

std::vector<std::shared_ptr<const Tensor>> samples(size_t n) {
    std::vector<std::shared_ptr<const Tensor>> out;
    for (size_t i = 0; i < n; ++i) {
        out.push_back(Dense::create(TensorType::uint8, Shape({8, 8, 4}), Dense::Layout::RowMajor));
    }
    return out;
}

// Maps InputData -> conv onto a device with the fake hardware behind it.
struct Mapped {
    explicit Mapped(HardwareDevice* hw, const std::string& conv_name = "conv", int filters = 4,
                    HwVersion version = kV2)
        : rig(std::make_shared<FakeDevice>(version, default_mesh(), hw)) {
        auto in = layer("InputData", LayerType::InputData);
        auto c = conv(conv_name, Shape({8, 8, 4}), filters);
        LayerList layers = chain({in, c});
        const MappingStatusGroup result = rig.map(&layers);
        EXPECT_FALSE(result.error) << result.to_string();
        sequence = rig.sequence();
    }
    Rig rig;
    std::shared_ptr<HardwareSequence> sequence;
};

TEST(HardwareSequence, DestroyingTheRunningSequenceUnprograms) {
    FakeHardware hw(kV2);
    {
        Mapped m(&hw);
        m.sequence->forward_samples(samples(1), nullptr);
        hw.log.clear();
        Mapped idle(&hw, "idle");
        idle.sequence.reset();
        idle.rig.sequences.clear();  // never run: the device is left alone
        EXPECT_TRUE(hw.log.empty());
        m.rig.sequences.clear();
    }
    EXPECT_EQ(hw.log, (std::vector<std::string>{"unprogram"}));
    EXPECT_EQ(hw.current.data, nullptr);
}

TEST(HardwareSequence, Failures) {
    Mapped none(nullptr);
    EXPECT_EQ(runtime_error_text([&] { none.sequence->forward_samples(samples(1), nullptr); }),
              "An actual hardware device is required.");

    // A learning layer on two NPs.
    FakeHardware hw(kV2);
    Mapped m(&hw);
    auto& nps = *mapping_of(m.sequence->layers().back()).nps;
    nps.push_back(nps.front());
    EXPECT_EQ(runtime_error_text([&] { m.sequence->sync_learning_vars(); }),
              "Learning is not supported for layers mapped on more than 1 NP.");
    nps.pop_back();

    auto unknown = std::make_shared<FakeDevice>(HwVersion{0xBC, 0xA3, 0, 1}, default_mesh());
    HardwareSequence seq(unknown, m.sequence->constraints(), m.sequence->layers(),
                         m.sequence->passes(), {});
    EXPECT_EQ(runtime_error_text([&] { seq.sync_learning_vars(); }),
              "Unsupported IP version in sync_learning_vars.");

    // The v2 product and the mote both reach the v2 layer recorder.
    EXPECT_EQ(runtime_error_text([&] { m.sequence->sync_learning_vars(); }),
              "Learning not implemented on v2.");
    auto mote = std::make_shared<FakeDevice>(kMote, default_mesh());
    HardwareSequence on_mote(mote, m.sequence->constraints(), m.sequence->layers(),
                             m.sequence->passes(), {});
    EXPECT_EQ(runtime_error_text([&] { on_mote.sync_learning_vars(); }),
              "Learning not implemented on v2.");
}

}  // namespace
}  // namespace vorna
