#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "backend/layer_mapping.h"
#include "backend/v1/cnp_program.h"
#include "backend/v1/fnp_sizes.h"
#include "backend/v1/hrc.h"
#include "backend/v1/io_recorder.h"
#include "backend/v1/layer_recorder.h"
#include "backend/v1/learning.h"
#include "backend/v1/memory_sizer.h"
#include "corelib/dma.h"
#include "program/program_generated.h"
#include "program/record.h"
#include "v1_test_util.h"

namespace {

using namespace vorna;
using namespace vorna::v1;
using namespace v1check_test;

// The kinded text of the exception `f` throws, out_of_range included.
template <class F>
std::string error_of(F&& f) {
    try {
        return vorna::test_support::kinded_error_text(f);
    } catch (const std::out_of_range& e) {
        return std::string("out_of_range: ") + e.what();
    }
}

// --- Input and output types ---------------------------------------------------------

struct IoLayers {
    Chain net;
    std::shared_ptr<Layer> hrc, conv, sep, fc_after_cnp;
    std::shared_ptr<Layer> flat_fc, fc, wide_fc, deq;

    IoLayers() {
        hrc = net.add(LayerType::InputConvolutional, hrc_params(), "hrc");
        conv = net.add(LayerType::Convolutional, conv_params(), "conv");
        sep = net.add(LayerType::SeparableConvolutional, conv_params(), "sep");
        fc_after_cnp = net.add(LayerType::FullyConnected, {{"units", 4}, {"weights_bits", 1}}, "f");
        deq = net.add(LayerType::Dequantizer, {}, "deq");
        Chain& n2 = other;
        n2.input(1, 1, 64, 1);
        flat_fc = n2.add(LayerType::FullyConnected, {{"units", 2048}, {"weights_bits", 1}}, "flat");
        Chain& n3 = third;
        n3.input(4, 4, 8, 1);
        fc = n3.add(LayerType::FullyConnected, {{"units", 10}, {"weights_bits", 1}}, "fc");
        Chain& n4 = fourth;
        n4.input(1, 1, 262144, 1);
        wide_fc = n4.add(LayerType::FullyConnected, {{"units", 1}, {"weights_bits", 1}}, "wide");
    }
    Chain other, third, fourth;
};

TEST(V1IoRecorder, InputTypes) {
    IoLayers l;
    const auto tarn = v1_device(Tarn_v2);
    const auto xvr = v1_device(XVR2200_v1);
    const IoRecorderImpl old_io(*tarn), io(*xvr);
    using T = fb::IoType;
    // Product 0xA1: type 0 for any first layer with at most 262143 channels.
    for (const auto& layer : {l.conv, l.sep, l.fc, l.flat_fc}) {
        EXPECT_EQ(io.get_input_type(*layer), T::Type0) << layer->get_name();
    }
    EXPECT_EQ(io.get_input_type(*l.wide_fc), T::Type1);
    // Product 0x00: by kind.
    EXPECT_EQ(old_io.get_input_type(*l.hrc), T::Type0);
    EXPECT_EQ(old_io.get_input_type(*l.conv), T::Type2);
    EXPECT_EQ(old_io.get_input_type(*l.sep), T::Type2);
    EXPECT_EQ(old_io.get_input_type(*l.flat_fc), T::Type1);
    EXPECT_EQ(old_io.get_input_type(*l.fc), T::Type2);            // 4 x 4 input
    EXPECT_EQ(old_io.get_input_type(*l.fc_after_cnp), T::Type2);  // fed by a CNP
    EXPECT_EQ(error_of([&] { old_io.get_input_type(*l.deq); }),
              "runtime_error: Unsupported layer type.");
}

TEST(V1IoRecorder, OutputTypes) {
    Chain net;
    net.input(8, 8, 4, 4);
    auto active = net.add(LayerType::Convolutional, conv_params({{"activation", 1}}), "active");
    auto plain = net.add(LayerType::Convolutional, conv_params({{"activation", 0}}), "plain");
    auto fc = net.add(LayerType::FullyConnected, {{"units", 2047}, {"weights_bits", 1}}, "fc");
    auto deq = net.add(LayerType::Dequantizer, {}, "deq");
    IoLayers l;  // its "flat" layer has 2048 output channels
    const auto hrc = l.hrc;
    const auto tarn = v1_device(Tarn_v2);
    const auto xvr = v1_device(XVR2200_v1);
    const IoRecorderImpl old_io(*tarn), io(*xvr);
    using T = fb::IoType;
    struct Case {
        const IoRecorderImpl* recorder;
        std::shared_ptr<Layer> layer;
        int8_t input_type;
        T expected;
    } cases[] = {
        // Product 0xA1, input type 0 and at most 2047 output channels: compact.
        {&io, fc, 0, T::Type0},
        {&io, fc, 1, T::Type1},
        {&io, l.flat_fc, 0, T::Type1},
        {&io, active, 0, T::Type0},
        {&io, plain, 0, T::Type2},  // compact only with the activation
        {&io, active, 2, T::Type2},
        {&io, hrc, 0, T::Type3},
        // Product 0x00: never compact.
        {&old_io, fc, 0, T::Type1},
        {&old_io, active, 0, T::Type2},
        {&old_io, hrc, 0, T::Type3},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.recorder->get_output_type(*c.layer, c.input_type), c.expected)
            << c.layer->get_name() << " " << int(c.input_type);
    }
    EXPECT_EQ(error_of([&] { io.get_output_type(*deq, 0); }),
              "runtime_error: Unsupported layer type.");
}

// (address, word) of every one-word register write of an input setup record.
std::vector<std::pair<uint32_t, uint32_t>> scc_writes(const program::Record& record) {
    std::vector<std::pair<uint32_t, uint32_t>> out;
    for (const Block& b : blocks_of(record)) {
        EXPECT_EQ(b.target, 8u);
        EXPECT_EQ(b.payload.size(), 1u);
        out.emplace_back(b.offset, b.payload.empty() ? 0 : b.payload[0]);
    }
    return out;
}

TEST(V1IoRecorder, InputSetupRecord) {
    const auto device = v1_device(XVR2200_v1);
    const IoRecorderImpl io(*device);
    using W = std::vector<std::pair<uint32_t, uint32_t>>;
    // Word 4: bit 0 = not first-on-HRC, bit 3 = output type 0, bit 4 = input
    // type 0, bit 8 = last-on-HRC.
    EXPECT_EQ(scc_writes(*io.record_scc(false, false, false, false, true, Shape{8, 8, 3},
                                        Shape{4, 4, 10})),
              (W{{4, 1}}));
    EXPECT_EQ(
        scc_writes(*io.record_scc(true, true, true, true, false, Shape{8, 8, 3}, Shape{4, 4, 10})),
        (W{{4, 0x118}, {0x40, 3}, {0x44, (10u << 20) + 40}}));
    EXPECT_EQ(scc_writes(*io.record_scc(false, false, false, true, false, Shape{8, 8, 3},
                                        Shape{1, 1, 10})),
              (W{{4, 0x9}, {0x44, 0}}));
    // Fields of 18, 11 and 20 bits.
    const auto overflow = [&](bool input_type0, const Shape& in, const Shape& out) {
        return error_of([&] { io.record_scc(false, input_type0, false, true, false, in, out); });
    };
    EXPECT_EQ(overflow(true, Shape{1, 1, 262144}, Shape{1, 1, 1}),
              "runtime_error: Attempted to write value 262144 into a 18-bit field, which will "
              "cause an overflow.");
    EXPECT_EQ(overflow(false, Shape{1, 1, 1}, Shape{2, 2, 2048}),
              "runtime_error: Attempted to write value 2048 into a 11-bit field, which will "
              "cause an overflow.");
    EXPECT_EQ(overflow(false, Shape{1, 1, 1}, Shape{1, 513, 2047}),
              "runtime_error: Attempted to write value 1050111 into a 20-bit field, which will "
              "cause an overflow.");
}

TEST(V1IoRecorder, EventGeneratorWords) {
    IoLayers l;
    const auto device = v1_device(XVR2200_v1);
    const IoRecorderImpl io(*device);
    using W = std::vector<RegisterWrite>;
    // A first layer on a 4 x 4 input, one pass.
    EXPECT_EQ(io.record_epg(*l.fc, 2, 5, 1, true, false, false), (W{{0x00, 0x20200},
                                                                    {0x0C, 0x10},
                                                                    {0x10, 0x05020001},
                                                                    {0x14, 0x100},
                                                                    {0x18, 0x01FE0001},
                                                                    {0x1C, 0x027FFFFF}}));
    // A flat first layer fed by the input, several passes, input type 0.
    EXPECT_EQ(io.record_epg(*l.flat_fc, 0, 255, 3, false, true, true), (W{{0x00, 0x21202},
                                                                          {0x0C, 0x012C0010},
                                                                          {0x10, 0xFF000001},
                                                                          {0x14, 0x300},
                                                                          {0x18, 0x03FE0001},
                                                                          {0x1C, 0x027FFFFF}}));
    // Fed by a CNP, it is not flat.
    EXPECT_EQ(io.record_epg(*l.fc_after_cnp, 1, 1, 1, false, false, false)[0].second, 0x20200u);
}

// --- Memory sizes ---------------------------------------------------------------------

TEST(V1MemorySizer, FullyConnected) {
    Chain net;
    net.input(10, 10, 1, 1);
    auto fc = net.add(LayerType::FullyConnected, {{"units", 10}, {"weights_bits", 1}}, "fc");
    const MemorySizerImpl sizer;
    const hw::Component fnp2 = unit(hw::Type::FNP2, 1), fnp3 = unit(hw::Type::FNP3, 1);
    // 100 inputs: 4 input words; 10 x (4 + 4) = 80 FNP words.
    EXPECT_EQ(sizer.get_memory_info(fc, fnp2, nullptr, false, false),
              (MemoryInfo{16, 0, 320, 0, 0, 0, 0}));
    EXPECT_EQ(sizer.get_memory_info(fc, fnp3, nullptr, true, true),
              (MemoryInfo{16, 320, 0, 0, 0, 0, 0}));
}

TEST(V1MemorySizer, Convolutions) {
    Chain net;
    net.input(20, 20, 16, 4);
    auto conv = net.add(LayerType::Convolutional, conv_params(), "conv");
    auto sep = net.add(LayerType::SeparableConvolutional, conv_params(), "sep");
    const MemorySizerImpl sizer;
    const hw::Component c = cnp(1, 16, space(0, 0, 10, 12, 16), space(2, 3, 12, 14, 16));
    // Container of the 20 4-bit values of an input row: 10 bytes; x 16
    // channels = 40 words per row, x 14 rows read.
    EXPECT_EQ(sizer.get_input_memory_size(conv, c, nullptr), 2240u);
    // The separable layer reads the 1-bit output of `conv`: 3-byte rows, 12
    // words per row.
    EXPECT_EQ(sizer.get_input_memory_size(sep, c, nullptr), 672u);
    EXPECT_EQ(error_of([&] { sizer.get_input_memory_size(conv, unit(hw::Type::CNP1, 1), conv); }),
              "invalid_argument: The CNP component of layer 'conv' has no placement.");

    // 3 x 3 kernel, 1 channel, 8 filters, 1-bit weights: 16 words, 8 rows of
    // 50 bits = 50 bytes.
    Chain net1;
    net1.input(8, 8, 1, 1);
    auto small = net1.add(LayerType::Convolutional, conv_params({{"weights_bits", 1}}), "small");
    EXPECT_EQ(
        sizer.get_weight_memory_size(small, cnp(1, 8, space(0, 0, 8, 8, 1), space(0, 0, 8, 8, 1))),
        50u);
    // 1 x 1 kernel, 2 channels, 8 filters, 4-bit weights: 64 words = 200 bytes.
    Chain net2;
    net2.input(8, 8, 2, 1);
    auto pointwise = net2.add(
        LayerType::Convolutional,
        conv_params({{"kernel_width", 1}, {"kernel_height", 1}, {"weights_bits", 4}}), "pw");
    EXPECT_EQ(sizer.get_weight_memory_size(pointwise,
                                           cnp(1, 8, space(0, 0, 8, 8, 2), space(0, 0, 8, 8, 2))),
              200u);
    EXPECT_EQ(sizer.get_external_memory_size(pointwise, c, false, false), 0u);
}

TEST(V1MemorySizer, OtherKinds) {
    Chain net;
    auto hrc = net.add(LayerType::InputConvolutional, hrc_params(), "hrc");
    auto a = net.add(LayerType::Convolutional, conv_params(), "a");
    auto b = net.add(LayerType::Convolutional, conv_params(), "b", {hrc});
    auto add = net.add(LayerType::Add, {}, "add", {a, b});
    auto cat = net.add(LayerType::Concatenate, {}, "cat", {a, b});
    auto deq = net.add(LayerType::Dequantizer, {}, "deq", {add});
    const MemorySizerImpl sizer;
    const hw::Component any = unit(hw::Type::HRC, 0);
    EXPECT_EQ(sizer.get_input_memory_size(hrc, any, nullptr), 0u);
    EXPECT_EQ(sizer.get_weight_memory_size(hrc, any), 4 * get_hrc_sram_size(*hrc));
    EXPECT_GT(sizer.get_weight_memory_size(hrc, any), 0u);
    for (const auto& layer : {add, deq}) {
        EXPECT_EQ(sizer.get_input_memory_size(layer, any, nullptr), 0u);
        EXPECT_EQ(sizer.get_weight_memory_size(layer, any), 0u);
    }
    EXPECT_EQ(error_of([&] { sizer.get_input_memory_size(cat, any, nullptr); }),
              "invalid_argument: Invalid v1 layer type.");
    EXPECT_EQ(error_of([&] { sizer.get_weight_memory_size(cat, any); }),
              "invalid_argument: Invalid v1 layer type.");
    EXPECT_EQ(sizer.get_external_memory_size(cat, any, false, false), 0u);
    for (const auto& layer : {hrc, a, add, cat}) {
        EXPECT_EQ(sizer.get_fsram_64b_memory_size(layer), 0u);
        EXPECT_EQ(sizer.get_tsram_51b_memory_size(layer), 0u);
        EXPECT_EQ(sizer.get_evsram_32b_memory_size(layer), 0u);
        EXPECT_EQ(sizer.get_stsram_32b_memory_size(layer), 0u);
    }
    EXPECT_EQ(error_of([&] { sizer.get_input_memory_size(nullptr, any, nullptr); }),
              "invalid_argument: A layer to size cannot be null.");
}

// --- Layer recorder -------------------------------------------------------------------

struct Recorder {
    Recorder() : device(v1_device()), constraints(v1_limits()), recorder(*device, constraints) {}
    std::shared_ptr<Device> device;
    HardwareConstraints constraints;
    LayerRecorderImpl recorder;

    std::unique_ptr<program::Record> record(const Layer& layer, std::shared_ptr<Layer> next,
                                            const std::vector<hw::Ident>& nps = {},
                                            bool unused = false) const {
        return recorder.record_layer(layer, layer, std::move(next), false, false, nps, unused,
                                     false);
    }
};

TEST(V1LayerRecorder, EmptyRecordsAndUnsupportedKinds) {
    Chain net;
    auto in = net.input(8, 8, 4, 4);
    auto a = net.add(LayerType::Convolutional, conv_params(), "a");
    auto b = net.add(LayerType::Convolutional, conv_params(), "b", {in});
    auto add = net.add(LayerType::Add, {}, "add", {a, b});
    auto cat = net.add(LayerType::Concatenate, {}, "cat", {a, b});
    auto deq = net.add(LayerType::Dequantizer, {}, "deq", {add});
    Chain qnet;
    auto quant = qnet.add(LayerType::Quantizer,
                          {{"input_width", 4}, {"input_height", 4}, {"input_channels", 2}}, "q");
    const Recorder r;
    for (const auto& layer : {in, deq, quant}) {
        const auto record = r.record(*layer, nullptr);
        EXPECT_TRUE(record->tracks().empty()) << layer->get_name();
        EXPECT_EQ(record->fnp2_filters(), nullptr);
        EXPECT_EQ(record->hw_version(), XVR2200_v1);
    }
    EXPECT_EQ(error_of([&] { r.record(*add, nullptr); }),
              "runtime_error: Unsupported layer type: 6.");
    EXPECT_EQ(error_of([&] { r.record(*cat, nullptr); }),
              "runtime_error: Unsupported layer type: 12.");
}

}  // namespace
