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
