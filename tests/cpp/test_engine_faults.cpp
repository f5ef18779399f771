// Engine faults found by hostile inputs: graphs refused by the rule that
// applies, recurrent layers without state channels, split parts widened to
// cover the end of an axis, the first-generation CNP buffer bit and the
// first-generation memory sizes.

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "backend/hardware_backend.h"
#include "backend/layer_mapping.h"
#include "backend/layer_split.h"
#include "backend/map_constraints.h"
#include "backend/v1/cnp_registers.h"
#include "backend/v1/memory_sizer.h"
#include "corelib/emulation/emulation.h"
#include "corelib/hardware_device.h"
#include "corelib/model.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "mapper_fakes.h"
#include "test_support.h"

namespace vorna {
namespace {

using P = std::map<std::string, int>;
using LayerPtr = std::shared_ptr<Layer>;

std::shared_ptr<Device> preset_device(const HwVersion& version, const char* preset) {
    auto driver = emu::make_driver(emu::parse_driver_spec(preset));
    auto hw = HardwareDevice::create(driver.get());
    return make_virtual_device(version, *Mesh::discover(hw.get()));
}

// A model built layer by layer, each layer fed by the named layers (the
// previous one when none is named).
struct Graph {
    std::unique_ptr<Model> model = Model::create();

    LayerPtr add(LayerType type, const std::string& name, const P& params,
                 const std::vector<std::string>& inbound = {}) {
        std::vector<LayerPtr> in;
        for (const auto& n : inbound) in.push_back(model->get_layer(n));
        auto layer = Layer::create(LayerParams::create(type, params).get(), name);
        model->add(layer, in);
        return layer;
    }

    // Maps every layer through the back end: the result's text, and the
    // names of the layers left to the caller.
    std::pair<std::string, std::vector<std::string>> map(const std::shared_ptr<Device>& device) {
        std::vector<LayerPtr> layers = model->layers();
        std::vector<std::shared_ptr<Sequence>> sequences;
        HardwareBackend backend;
        const MappingStatusGroup status =
            backend.map(&layers, &sequences, std::make_shared<MapConstraints>(device));
        std::vector<std::string> left;
        for (const auto& l : layers) left.push_back(l->get_name());
        EXPECT_EQ(sequences.empty(), status.error) << status.to_string();
        return {status.to_string(), left};
    }
};

P conv() { return {{"filters", 8}, {"kernel_size", 3}, {"activation", 1}, {"output_bits", 8}}; }

// Graphs refused by the rule that applies, naming the layer it is about.
TEST(EngineFaultsGraphs, RefusedByTheirRule) {
    struct Case {
        const char* what;
        void (*build)(Graph&);
        std::string status;
    } cases[] = {
        {"two branches read the input, joined by a concatenation",
         [](Graph& g) {
             g.add(LayerType::Conv2D, "a", conv(), {"in"});
             g.add(LayerType::Conv2D, "b", conv(), {"in"});
             g.add(LayerType::Concatenate, "cat", {}, {"a", "b"});
             g.add(LayerType::Conv2D, "c", conv(), {"cat"});
         },
         // The run up to `a` leaves the branch to `b` open; `b` is refused.
         "Cannot map layer '':\n  * Bad mapping on skip connection. Several branches.\n"
         "  * Layer 'b': Layer 'in' is not mapped on hardware: only the first mapped layer of a "
         "sequence can read its output."},
        {"an addition fed twice by the same layer",
         [](Graph& g) {
             g.add(LayerType::Conv2D, "c", conv());
             g.add(LayerType::Add, "add", {}, {"c", "c"});
             g.add(LayerType::Conv2D, "d", conv(), {"add"});
         },
         // `c` was planned for the skip connection the refused addition was to close: building
         // it without that connection fails, and the fault is thrown as it is.
         "thrown: Cannot map layer 'c'. Error: Cannot use P2P OUT mode for multiple NPs.."},
    };
    const auto device = preset_device(Selvo_v2, "v2");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Graph g;
        g.add(LayerType::InputData, "in",
              {{"input_width", 8}, {"input_height", 8}, {"input_channels", 8}});
        c.build(g);
        try {
            const auto [status, left] = g.map(device);
            EXPECT_EQ(status, c.status);
            EXPECT_EQ(left.size(), g.model->layer_count());  // nothing mapped
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string("thrown: ") + e.what(), c.status);
        }
    }
}

// Recurrent layers without state channels fail by the state-channel rule.
TEST(EngineFaultsMote, NoStateChannels) {
    struct Case {
        int first_states, second_states;
        std::string status;
    } cases[] = {
        {0, 0,
         "Cannot map layer 'sr1'. The variable new_state_shift is missing. The variable "
         "new_state_scale is missing. The variable internal_state_outputs_shift is missing. "
         "State channels must be a power of 2. (got 0)."},
        // The chain's sizes are still checked after the walk stops at the
        // first failing layer: the second layer's missing projection counts 0.
        {64, 0,
         "Cannot map layer 'sr2'. The variable new_state_shift is missing. The variable "
         "new_state_scale is missing. The variable internal_state_outputs_shift is missing. "
         "State channels must be a power of 2. (got 0). State channels must be the same for all "
         "stateful layers. Expected 64(got 0)."},
    };
    const auto device = preset_device(Mote_Selvo, "mote");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.second_states);
        Graph g;
        g.add(LayerType::InputData, "in",
              {{"input_width", 1}, {"input_height", 8}, {"input_channels", 32}});
        g.add(LayerType::StatefulRecurrent, "sr1",
              {{"stateful_channels", c.first_states}, {"output_channels", 16}});
        g.add(LayerType::StatefulRecurrent, "sr2",
              {{"stateful_channels", c.second_states}, {"output_channels", 16}});
        g.add(LayerType::Dequantizer, "deq", {});
        EXPECT_EQ(g.map(device).first, c.status);
    }
}

// Parts added to cover the end of an axis must fit as the search found.
// 3x3 max pooling of stride 1 pads one column before the convolution output,
// so the first width part gives one column up and a part is added at the
// end. Input columns 36; width parts in multiples of 3.
TEST(EngineFaultsSplit, AddedPartsFitTheInputMemory) {
    struct Case {
        uint32_t fit;                  // widest input an NP takes
        std::vector<uint32_t> starts;  // of the width parts
        std::vector<uint32_t> reads;   // widths read, borders included
    } cases[] = {
        // Two parts of 18 were sized 19 wide; covering column 35 makes the
        // middle part read 20: too wide for 19, so three parts of 12 (14
        // wide) are taken, and their end is covered the same way.
        {19, {0, 11, 23, 35}, {12, 14, 14, 2}},
        {20, {0, 17, 35}, {18, 20, 2}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fit);
        Graph g;
        g.add(LayerType::InputData, "in",
              {{"input_width", 36}, {"input_height", 8}, {"input_channels", 4}});
        // clang-format off
        const LayerPtr layer = g.add(LayerType::Convolutional, "conv",
            {{"filters", 8}, {"kernel_width", 3}, {"kernel_height", 3}, {"pool_type", 1},
             {"pooling_width", 3}, {"pooling_height", 3}, {"pooling_stride_x", 1},
             {"pooling_stride_y", 1}, {"weights_bits", 2}});
        // clang-format on
        mapper_test::Rig rig{mapper_test::plain_nps(8)};
        NpSplitParams& p = rig.checker.split_params;
        p.border_left = p.border_right = p.border_top = p.border_bottom = 1;
        p.pool_type = static_cast<uint32_t>(PoolType::Max);
        p.pool_width = p.pool_height = 3;
        p.filters = 8;
        const uint32_t fit = c.fit;
        rig.checker.dual_fit = [fit](uint32_t, uint32_t w, uint32_t) { return w <= fit; };
        const auto [comps, status] =
            split_conv_layer(*layer, rig.checker, 256, 32, 512, hw::Type::CNP1, false);
        ASSERT_FALSE(status.error) << status.to_string();
        std::vector<uint32_t> starts, reads;
        for (const auto& comp : comps) {
            starts.push_back(comp.placement->spatial_partition.x);
            reads.push_back(comp.placement->aux_partition.shape[0]);
        }
        EXPECT_EQ(starts, c.starts);
        EXPECT_EQ(reads, c.reads);
    }
}

// First-generation CNP: word 1 bit 22 is the component's single-buffer flag.
TEST(EngineFaultsV1, CnpWordOneCarriesTheSingleBufferFlag) {
    struct Case {
        bool single_buffer;
        uint32_t word1;  // bits 5 and 6 set, bit 22 the flag
    } cases[] = {{true, 0x00400060u}, {false, 0x00000060u}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.single_buffer);
        Graph g;
        g.add(LayerType::InputData, "in",
              {{"input_width", 8}, {"input_height", 8}, {"input_channels", 4}, {"input_bits", 4}});
        // clang-format off
        const LayerPtr layer = g.add(LayerType::Convolutional, "conv", {{"filters", 8},
            {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2}, {"act_bits", 2}});
        // clang-format on
        const NpSpace all = test_support::space(0, 0, 8, 8, 4);
        auto mapping = std::make_shared<LayerMapping>();
        mapping->nps = std::make_shared<ComponentList>(
            ComponentList{hw::Component(hw::Type::CNP1, hw::Ident{1, 2, 0, 0},
                                        hw::Placement{0, 8, all, all, c.single_buffer})});
        const hw::Component dma(hw::Type::DMA, hw::Ident{0, 1, 0, 0});
        mapping->inbound_components.push_back(std::make_shared<ComponentList>(ComponentList{dma}));
        mapping->outbound_components.push_back(std::make_shared<ComponentList>(ComponentList{dma}));
        dynamic_cast<LayerImpl&>(*layer).set_mapping(mapping);
        const auto regs = v1::format_std_cnp_regs(*layer, nullptr, false, false, {});
        EXPECT_EQ(regs.at(hw::Ident{1, 2, 0, 0})[1], c.word1);
    }
}

// First-generation memory sizes do not depend on what they do not use.
TEST(EngineFaultsV1, CnpInputSizeIgnoresStrideAndPooling) {
    // A zero stride and a pooling stride that does not fit a byte are
    // accepted by the layer (taken as 1 and as 0) and change nothing in the
    // input memory: 20 4-bit values make 10-byte rows, x 16 channels = 40
    // words per row, x 14 rows read = 2240 bytes.
    const v1::MemorySizerImpl sizer;
    const hw::Component cnp(hw::Type::CNP1, hw::Ident{1, 1, 0, 0},
                            hw::Placement{0, 16, test_support::space(0, 0, 10, 12, 16),
                                          test_support::space(2, 3, 12, 14, 16), false});
    for (const P& extra : {P{}, P{{"stride_x", 0}},
                           P{{"pool_type", 1}, {"pooling_width", 2}, {"pooling_stride_x", 256}}}) {
        Graph g;
        g.add(
            LayerType::InputData, "in",
            {{"input_width", 20}, {"input_height", 20}, {"input_channels", 16}, {"input_bits", 4}});
        P params{{"filters", 16}, {"kernel_width", 3}, {"kernel_height", 3}, {"weights_bits", 2}};
        params.insert(extra.begin(), extra.end());
        const LayerPtr layer = g.add(LayerType::Convolutional, "conv", params);
        EXPECT_EQ(sizer.get_input_memory_size(layer, cnp, nullptr), 2240u);
    }
}

}  // namespace
}  // namespace vorna
