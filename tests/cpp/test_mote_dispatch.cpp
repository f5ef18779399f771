#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "backend/backend_bundle.h"
#include "backend/mote/compatibility_checker.h"
#include "backend/mote/io_recorder.h"
#include "backend/mote/layer_recorder.h"
#include "backend/mote/memory_sizer.h"
#include "backend/mote/tnp_r_constraints.h"
#include "backend/mote/tnp_r_program.h"
#include "graph_fakes.h"
#include "mote_test_util.h"
#include "program/record.h"

namespace vorna::mote {
namespace {

using mote_test::Chain;
using mote_test::rec;
using mote_test::Recurrent;
using mote_test::runtime_error_text;

class MoteDispatch : public ::testing::Test {
  protected:
    mote_test::MoteDevice device;
    HardwareConstraints constraints = HardwareConstraints::mote(device.mesh().np_sram_size);
    CompatibilityCheckerImpl checker{device, constraints};
    MemorySizerImpl sizer;
    IoRecorderImpl io{device};
    LayerRecorderImpl recorder{device, constraints};

    MappingStatus compatibility(const Layer& layer) const {
        return checker.check_layer_compatibility(layer, nullptr, Mote_Selvo);
    }
    std::unique_ptr<program::Record> record(const std::shared_ptr<Layer>& layer) const {
        return recorder.record_layer(*layer, *layer, layer, false, false, {}, false, false);
    }
};

TEST_F(MoteDispatch, OtherKindsAreUnsupported) {
    for (LayerType type : {LayerType::Conv2D, LayerType::Dense1D, LayerType::Add,
                           LayerType::FullyConnected, LayerType::BufferTempConv}) {
        const auto layer = graph_test::make_layer("other", type);
        const MappingStatus status = compatibility(*layer);
        EXPECT_TRUE(status.error);
        EXPECT_EQ(status.message, "Unsupported layer type on Mote.");
        EXPECT_EQ(status.layer_name, "other");
    }
}

TEST_F(MoteDispatch, TnprLayersGetTheChainCheck) {
    Recurrent bad = rec(64, 32);
    bad.subsample = 5;
    const Chain c(32, 100, 8, {bad, rec(64, 1)}, LayerType::MotePostProcessing);
    const MappingStatus status = compatibility(c.first());
    EXPECT_EQ(status, check_tnp_r_constraints(constraints, c.first()));
    EXPECT_EQ(status.message, "Subsample ratio exceeds max limit of 4 for TNP-R. (got 5).");

    const Chain good(32, 100, 8, {rec(64, 32), rec(64, 1)}, LayerType::MotePostProcessing);
    EXPECT_FALSE(compatibility(good.first()).error);
    const HardwareConstraints tight =
        HardwareConstraints::mote(SramSize{0, 0, 137, 8192, 892, 256});
    const CompatibilityCheckerImpl tight_checker(device, tight);
    EXPECT_EQ(tight_checker.check_layer_compatibility(good.first(), nullptr, Mote_Selvo).message,
              "STSRAM size exceeds max limit of 137 32-bit words for TNP-R (got 138).");
    EXPECT_FALSE(compatibility(*good.tail).error);
}

TEST_F(MoteDispatch, OperationsThatDoNotExistOnMote) {
    const auto conv = graph_test::conv("conv");
    const auto params = LayerParams::create(LayerType::Conv2D, {});
    const std::vector<std::pair<std::function<void()>, std::string>> cases = {
        {[&] { checker.is_sram_input_fit_single_buffer(hw::Type::CNP1, 1, 1, 1, 1, 8, 0); },
         "No single buffer mode on Mote."},
        {[&] { checker.is_sram_input_fit_dual_buffer(hw::Type::CNP1, 1, 1, 1, 1, 8, 0); },
         "No dual buffer mode on Mote."},
        {[&] { checker.is_weights_size_fit_np(*conv, 1); }, "No NP on Mote."},
        {[&] { checker.np_split_params(hw::Type::TNP_R, *params); }, "Cannot split TNP-R."},
        {[&] { checker.check_fnp3_sram_size(constraints, *conv); }, "No FNP3 on Mote."},
        {[&] { checker.is_fnp3_compatible(*conv); }, "No FNP3 on Mote."},
        {[&] { recorder.record_learning_layer(*conv, true); }, "Learning not implemented on mote."},
        {[&] { recorder.sync_learning_vars(conv); }, "Learning not implemented on mote."},
    };
    for (const auto& [call, message] : cases) EXPECT_EQ(runtime_error_text(call), message);
}

TEST_F(MoteDispatch, SizerAnswersZeroOutsideTheTnprMemories) {
    const Chain c(32, 100, 8, {rec(64, 32), rec(64, 1)}, LayerType::MotePostProcessing);
    const hw::Component component(hw::Type::TNP_R, hw::Ident(1, 2, 0));
    EXPECT_EQ(sizer.get_input_memory_size(c.recurrent[0], component, c.input), 0u);
    EXPECT_EQ(sizer.get_weight_memory_size(c.recurrent[0], component), 0u);
    EXPECT_EQ(sizer.get_external_memory_size(c.recurrent[0], component, true, true), 0u);
    EXPECT_EQ(sizer.get_stsram_32b_memory_size(c.recurrent[0]), 138u);
    EXPECT_EQ(sizer.get_fsram_64b_memory_size(c.recurrent[0]), 776u);
    EXPECT_EQ(sizer.get_tsram_51b_memory_size(c.recurrent[0]), 171u);
    EXPECT_EQ(sizer.get_evsram_32b_memory_size(c.recurrent[0]), 25u);
}

}  // namespace
}  // namespace vorna::mote
