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

struct OutputCase {
    Shape output;
    uint32_t word68;
};

class V2IoRecSccOutput : public ::testing::TestWithParam<OutputCase> {};

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
    EXPECT_EQ(error_text([&] {
                  io.record_scc(false, true, true, true, true, Shape{1, 1, 1},
                                Shape{2, 65536, 65536});
              }),
              overflow_text(4294967296ull, 20));
}

}  // namespace
