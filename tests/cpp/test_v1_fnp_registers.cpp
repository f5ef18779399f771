// Register files of v1 FNPs and the on-chip learning register words.

#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <vector>

#include "backend/v1/fnp_registers.h"
#include "backend/v1/np_registers.h"
#include "v1_test_util.h"

namespace vorna {
namespace {

using namespace v1fnp_test;
using Words = std::vector<uint32_t>;

Words regs_of(const FcModel& m, bool learning = false, const std::shared_ptr<Layer>& next = nullptr,
              bool pass_input = false, bool pass_output = false) {
    const auto device = fnp_device();
    const auto result =
        v1::format_fnp_regs(*device, *m.layer, learning, next, pass_input, pass_output);
    EXPECT_EQ(result.size(), 1u);
    EXPECT_EQ(result.begin()->first, m.mapping->nps->front().ident);
    return result.begin()->second;
}

// The register file of the default FcSpec (4 x 4 x 3 1-bit input, 10 units,
// 2-bit weights, activation with act_bits 2, channel 0x21, route 0xFF; fed by
// a CNP at col 1, feeding an FNP at col 3; its own NP at col 2).
Words expected_default_fnp3() {
    Words r(50, 0);
    r[6] = 0x04040000;
    r[12] = 0x52000000;
    r[13] = 0x00000010;
    r[37] = 0xFF000000;
    r[1] = 0x01500070;        // mode bits 4-6, NP2NP 1, CNP4FNP 1, single buffer
    r[3] = 0x21019080;        // multi-bit weights, act_bits 2 >> 1, activation, FNP, channel
    r[10] = 0x00040004;       // d1 = 4, d0 = 4
    r[11] = 16 << 12;         // d0 x d1
    r[14] = 0x80000002;       // 48 inputs: 2 words
    r[15] = 10;               // units
    r[16] = 0x20000000;       // activation
    r[17] = 80 | (1u << 20);  // 10 x (2 x 2 + 4) RAM words, one block
    r[44] = 0x06080000;       // route 0xFF
    r[45] = 0xFF000303;       // destination cols 3..3, route
    r[46] = 0x00000101;       // source cols 1..1
    r[47] = 0x00000302;       // span col 2 and destination col 3
    return r;
}

TEST(V1FnpRegisters, FieldOverflows) {
    FcSpec spec;
    spec.x = 1, spec.y = 2048, spec.c = 1;  // d1 does not fit 11 bits
    const FcModel tall = make_fc(spec);
    EXPECT_EQ(exception_text([&] { regs_of(tall); }),
              "Attempted to write value 2048 into a 11-bit field, which will cause an overflow.");
    spec = FcSpec{};
    spec.act_bits = 8;  // 8 >> 1 = 4 does not fit 2 bits
    const FcModel act = make_fc(spec);
    EXPECT_EQ(exception_text([&] { regs_of(act); }),
              "Attempted to write value 4 into a 2-bit field, which will cause an overflow.");
}

TEST(V1FnpRegisters, PartialReconfigurationOnTheSameNp) {
    const FcModel m = make_fc(FcSpec{});
    const Words r = regs_of(m, false, m.layer);
    // Word 32: enable, FNP, reconfigure, 1-bit input, input channel 5; then d1,
    // d0 and d0 x d1; 48 inputs: 2 words, never below what word 14 holds.
    EXPECT_EQ((Words{r[32], r[33], r[34], r[35], r[4], r[14]}),
              (Words{0x05000007, 0, 0x00040004, 16, 2, 0x80000002}));

    // A next layer on another NP leaves words 32-35 at their defaults.
    FcSpec other;
    other.ident = hw::Ident{7, 1, 0, 0};
    const FcModel next = make_fc(other);
    const Words untouched = regs_of(m, false, next.layer);
    EXPECT_EQ(untouched, expected_default_fnp3());
}

TEST(V1FnpLearningRegisters, CommonRegisters) {
    Words r(50, 0xFFFFFFFF);
    v1::format_learning_common_regs(&r, nullptr);
    EXPECT_EQ(r[36], 0xEFFFFFFFu);  // only the enable bit cleared
    EXPECT_EQ(r[37], 0xFFFFFFFFu);

    r = Words(50, 0);
    r[37] = 0xFF000000;
    auto p = LearningParams::create(LearningType::Unsupervised, {{"num_weights", 10},
                                                                 {"initial_plasticity", 0.35},
                                                                 {"learning_competition", 0.55},
                                                                 {"min_plasticity", 0.21},
                                                                 {"plasticity_decay", 0.3}});
    v1::format_learning_common_regs(&r, p.get());
    EXPECT_EQ(r[36], (1u << 28) | 5u);  // round(4.5) = 5: halves away from zero
    EXPECT_EQ(r[37], 0xFF000003u);      // ceil(2.1)
    EXPECT_EQ(r[38], 2u);               // round(3.5) = 4, ceil(1.2) = 2
}

TEST(V1FnpLearningRegisters, NegativeCompetitionFails) {
    Words r(50, 0);
    auto p = LearningParams::create(LearningType::Unsupervised, {{"num_weights", 64},
                                                                 {"initial_plasticity", 0.5},
                                                                 {"learning_competition", 1.5},
                                                                 {"min_plasticity", 0.1},
                                                                 {"plasticity_decay", 0.25}});
    // (1 - 1.5) x 64 = -32, read as unsigned.
    EXPECT_EQ(exception_text([&] { v1::format_learning_common_regs(&r, p.get()); }),
              "Attempted to write value 4294967264 into a 20-bit field, which will cause an "
              "overflow.");
}

}  // namespace
}  // namespace vorna
