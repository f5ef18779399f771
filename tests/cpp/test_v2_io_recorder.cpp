#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "backend/v2/io_recorder.h"
#include "program/program_generated.h"
#include "program/record.h"
#include "v2_rec_test_util.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2rec_test::decode;
using v2rec_test::kV2RecVersion;
using v2rec_test::offsets_and_words;
using v2rec_test::OffsetWords;
using v2rec_test::v2_device;
using v2regs_test::error_text;
using v2regs_test::make_layer;
using v2regs_test::overflow_text;

struct SccCase {
    bool first_hrc;
    bool small_output;
    uint32_t word4;
};

class V2IoRecScc : public ::testing::TestWithParam<SccCase> {};

TEST_P(V2IoRecScc, InputModeWord) {
    const auto device = v2_device();
    const IoRecorderImpl io(*device);
    const SccCase& c = GetParam();
    // The flags v2 does not read are set opposite to each other to show they
    // change nothing.
    for (bool other : {false, true}) {
        const auto record = io.record_scc(c.first_hrc, other, !other, other, c.small_output,
                                          Shape{10, 12, 3}, Shape{4, 4, 10});
        EXPECT_EQ(offsets_and_words(decode(*record)),
                  (OffsetWords{{4, {c.word4}}, {64, {3}}, {68, {0x00A00028}}}));
    }
}

INSTANTIATE_TEST_SUITE_P(V2IoRec, V2IoRecScc,
                         ::testing::Values(SccCase{false, false, 0x19},
                                           SccCase{false, true, 0x00100019},
                                           SccCase{true, false, 0x18},
                                           SccCase{true, true, 0x00100018}));

TEST(V2IoRecSccRecord, ThreeOneWordWritesOnTheIpRegisterBlock) {
    const auto device = v2_device();
    const IoRecorderImpl io(*device);
    const auto record =
        io.record_scc(false, true, true, true, false, Shape{1, 1, 300}, Shape{1, 1, 10});
    EXPECT_EQ(record->hw_version(), kV2RecVersion);
    EXPECT_EQ(record->fnp2_filters(), nullptr);
    ASSERT_EQ(record->tracks().size(), 1u);
    // Header words by hand: ident 0.0.0, target 8 in bits 20-23, size 1 in
    // bits 24-31; offset in the second word.
    EXPECT_EQ(record->tracks()[0].data(),
              (std::vector<uint32_t>{0x01800000, 4, 0x19, 0x01800000, 64, 300, 0x01800000, 68, 0}));
}

struct OutputCase {
    Shape output;
    uint32_t word68;
};

class V2IoRecSccOutput : public ::testing::TestWithParam<OutputCase> {};

TEST_P(V2IoRecSccOutput, OutputSizeWord) {
    const auto device = v2_device();
    const IoRecorderImpl io(*device);
    const auto blocks =
        decode(*io.record_scc(false, true, true, true, true, Shape{8, 8, 1}, GetParam().output));
    ASSERT_EQ(blocks.size(), 3u);
    EXPECT_EQ(blocks[2].offset, 68u);
    EXPECT_EQ(blocks[2].payload, std::vector<uint32_t>{GetParam().word68});
}

INSTANTIATE_TEST_SUITE_P(
    V2IoRec, V2IoRecSccOutput,
    ::testing::Values(OutputCase{Shape{1, 1, 10}, 0}, OutputCase{Shape{4, 4, 10}, 0x00A00028},
                      OutputCase{Shape{2, 2, 2048}, 4096},
                      OutputCase{Shape{2, 2, 2047}, 4094 | 2047u << 20},
                      // Only x and y both 1 give 0; the product uses y and channels.
                      OutputCase{Shape{1, 3, 5}, 15 | 5u << 20},
                      OutputCase{Shape{3, 1, 5}, 5 | 5u << 20},
                      OutputCase{Shape{7, 1023, 1025}, 1048575 | 1025u << 20}));

TEST(V2IoRecSccFields, TooWideValuesAreRefused) {
    const auto device = v2_device();
    const IoRecorderImpl io(*device);
    EXPECT_EQ(error_text([&] {
                  io.record_scc(false, true, true, true, true, Shape{1, 1, 262144}, Shape{1, 1, 1});
              }),
              overflow_text(262144, 18));
    EXPECT_NO_THROW(
        io.record_scc(false, true, true, true, true, Shape{1, 1, 262143}, Shape{1, 1, 1}));
    EXPECT_EQ(error_text([&] {
                  io.record_scc(false, true, true, true, true, Shape{1, 1, 1},
                                Shape{2, 1024, 1024});
              }),
              overflow_text(1048576, 20));
    // A product past 32 bits is refused, not wrapped to a value that fits.
    EXPECT_EQ(error_text([&] {
                  io.record_scc(false, true, true, true, true, Shape{1, 1, 1},
                                Shape{2, 65536, 65536});
              }),
              overflow_text(4294967296ull, 20));
}

TEST(V2IoRecEpg, SixPairsInOrder) {
    const auto device = v2_device();
    const IoRecorderImpl io(*device);
    const auto fnp = make_layer(LayerType::Dense1D, "fc");
    const std::vector<RegisterWrite> expected{{0x00, 0x21202},    {0x0C, 0x10},
                                              {0x10, 0x05020001}, {0x14, 0x100},
                                              {0x18, 0x01FE0001}, {0x1C, 0x027FFFFF}};
    EXPECT_EQ(io.record_epg(*fnp, 2, 5, 1, false, false, true), expected);
    // Neither the pass count nor the input type changes anything.
    EXPECT_EQ(io.record_epg(*fnp, 2, 5, 1, false, true, false), expected);
}

TEST(V2IoRecEpg, ModeAndCountFields) {
    const auto device = v2_device();
    const IoRecorderImpl io(*device);
    const auto cnp = make_layer(LayerType::Conv2D, "conv");
    const auto pairs = io.record_epg(*cnp, 0, 0xFF, 0x7F, true, false, false);
    EXPECT_EQ(pairs.at(0), (RegisterWrite{0x00, 0x31200}));
    EXPECT_EQ(pairs.at(2), (RegisterWrite{0x10, 0xFF000001}));
    EXPECT_EQ(pairs.at(3), (RegisterWrite{0x14, 0x7F00}));
    EXPECT_EQ(pairs.at(4), (RegisterWrite{0x18, 0x7FFE0001}));
}

}  // namespace
