#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/dma.h"
#include "program/record.h"

namespace vorna {
namespace {

using program::NpTrack;
using program::Record;

const HwVersion kVersion{0xBC, 0xA2, 1, 0};
const hw::Ident kNp{2, 1, 3, 0};
constexpr dma::Target kTarget = dma::NpRegisters;
constexpr size_t kMaxTrack = 0xFFFF;

// Largest payload that still fits the normal header form.
uint32_t normal_limit() {
    uint32_t n = 0;
    while (!dma::config_block_size_needs_xl(n + 1)) ++n;
    return n;
}

std::vector<uint32_t> payload(size_t n, uint32_t first = 1) {
    std::vector<uint32_t> words(n);
    for (size_t i = 0; i < n; ++i) words[i] = first + static_cast<uint32_t>(i);
    return words;
}

std::vector<uint32_t> header(const hw::Ident& np, dma::Target target, uint32_t size,
                             uint16_t offset, bool xl) {
    std::vector<uint32_t> words(2);
    dma::format_config_header(words.data(), np, target, size, offset, xl);
    return words;
}

std::vector<uint32_t> concat(std::vector<uint32_t> a, const std::vector<uint32_t>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Appends normal-form blocks to the last track until it holds exactly `words` words.
void fill_last_track_to(Record& record, size_t words) {
    const uint32_t limit = normal_limit();
    if (record.tracks().empty()) record.add_np_track(kNp, kTarget, 0, payload(0), true, true);
    while (record.tracks().back().size() < words) {
        const size_t left = words - record.tracks().back().size();
        ASSERT_GE(left, 2u);
        const size_t n = std::min<size_t>(limit, left - 2);
        record.add_np_track(kNp, kTarget, 0, payload(n), true, true);
    }
}

TEST(Record, SmallBlockOnFreshRecordMakesOneTrack) {
    auto record = program::new_record(kVersion);
    record->add_np_track(kNp, kTarget, 0x20, payload(10), true, true);
    ASSERT_EQ(record->tracks().size(), 1u);
    EXPECT_EQ(record->tracks()[0].data(),
              concat(header(kNp, kTarget, 10, 0x20, false), payload(10)));
    EXPECT_EQ(record->tracks()[0].size(), 12u);
    EXPECT_EQ(record->fnp2_filters(), nullptr);
    EXPECT_EQ(record->hw_version(), kVersion);
}

TEST(Record, SecondBlockJoinsTheLastTrack) {
    auto record = program::new_record(kVersion);
    const hw::Ident other{1, 1, 0, 0};
    record->add_np_track(kNp, kTarget, 0, payload(10), true, true);
    record->add_np_track(other, dma::NeuronVariables, 4, payload(3, 100), true, true);
    ASSERT_EQ(record->tracks().size(), 1u);
    const auto expected =
        concat(concat(header(kNp, kTarget, 10, 0, false), payload(10)),
               concat(header(other, dma::NeuronVariables, 3, 4, false), payload(3, 100)));
    EXPECT_EQ(record->tracks()[0].data(), expected);
}

TEST(Record, WithoutAppendEachBlockGetsItsOwnTrack) {
    auto record = program::new_record(kVersion);
    record->add_np_track(kNp, dma::Fsram, 0, payload(4), false, false);
    record->add_np_track(kNp, dma::Tsram, 0, payload(5), false, false);
    ASSERT_EQ(record->tracks().size(), 2u);
    EXPECT_EQ(record->tracks()[0].data(), concat(header(kNp, dma::Fsram, 0, 0, false), payload(4)));
    EXPECT_EQ(record->tracks()[1].data(), concat(header(kNp, dma::Tsram, 0, 0, false), payload(5)));
}

TEST(Record, TrackLimitIs65535WordsHeadersIncluded) {
    const uint32_t limit = normal_limit();
    const size_t block = std::min<size_t>(limit, 10);
    const size_t prefix = kMaxTrack - (block + 2);

    auto exact = program::new_record(kVersion);
    fill_last_track_to(*exact, prefix);
    exact->add_np_track(kNp, kTarget, 0, payload(block), true, true);
    ASSERT_EQ(exact->tracks().size(), 1u);
    EXPECT_EQ(exact->tracks()[0].size(), kMaxTrack);

    auto over = program::new_record(kVersion);
    fill_last_track_to(*over, prefix + 1);
    over->add_np_track(kNp, kTarget, 0, payload(block), true, true);
    ASSERT_EQ(over->tracks().size(), 2u);
    EXPECT_EQ(over->tracks()[0].size(), prefix + 1);
    EXPECT_EQ(over->tracks()[1].data(),
              concat(header(kNp, kTarget, block, 0, false), payload(block)));
}

TEST(Record, XlFirstBlockLeavesAnEmptyTrackInFront) {
    const uint32_t n = normal_limit() + 1;
    ASSERT_TRUE(dma::config_block_size_needs_xl(n));
    const uint32_t padded = (n + 15) / 16 * 16;
    for (bool with_size : {true, false}) {
        SCOPED_TRACE(with_size);
        for (bool append : {true, false}) {
            auto record = program::new_record(kVersion);
            record->add_np_track(kNp, dma::CnpWeights, 7, payload(n), with_size, append);
            ASSERT_EQ(record->tracks().size(), 2u);
            EXPECT_TRUE(record->tracks()[0].empty());
            auto expected =
                concat(header(kNp, dma::CnpWeights, with_size ? padded : 0, 7, true), payload(n));
            expected.resize(2 + padded, 0u);
            EXPECT_EQ(record->tracks()[1].data(), expected);
        }
    }
}

TEST(Record, XlBlockAfterContentStartsOneNewTrackThatLaterBlocksJoin) {
    const uint32_t n = normal_limit() + 1;
    const uint32_t padded = (n + 15) / 16 * 16;
    auto record = program::new_record(kVersion);
    record->add_np_track(kNp, kTarget, 0, payload(3), true, true);
    record->add_np_track(kNp, dma::CnpWeights, 0, payload(n), true, true);
    record->add_np_track(kNp, dma::InputShift, 0, payload(2), true, true);
    ASSERT_EQ(record->tracks().size(), 2u);
    EXPECT_EQ(record->tracks()[0].size(), 5u);
    EXPECT_EQ(record->tracks()[1].size(), 2 + padded + 2 + 2);
    const auto& words = record->tracks()[1].data();
    const std::vector<uint32_t> tail(words.end() - 4, words.end());
    EXPECT_EQ(tail, concat(header(kNp, dma::InputShift, 2, 0, false), payload(2)));
}

TEST(Record, BlockTooLargeForAnyTrackFails) {
    const size_t largest_padded = (kMaxTrack - 2) / 16 * 16;
    ASSERT_TRUE(dma::config_block_size_needs_xl(static_cast<uint32_t>(largest_padded)));

    auto fits = program::new_record(kVersion);
    fits->add_np_track(kNp, kTarget, 0, payload(largest_padded), true, true);
    ASSERT_EQ(fits->tracks().size(), 2u);
    EXPECT_EQ(fits->tracks()[1].size(), largest_padded + 2);

    auto record = program::new_record(kVersion);
    try {
        record->add_np_track(kNp, kTarget, 0, payload(largest_padded + 1), true, true);
        FAIL() << "expected an error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Error generating NP program.");
    }
    // The tracks added on the way stay.
    ASSERT_EQ(record->tracks().size(), 2u);
    EXPECT_TRUE(record->tracks()[0].empty());
    EXPECT_TRUE(record->tracks()[1].empty());
}

TEST(Record, RefusedOrFailedAppendLeavesTheTrackUnchanged) {
    NpTrack track;
    ASSERT_TRUE(track.append(kNp, kTarget, 0, payload(4), false, true));
    const auto before = track.data();
    EXPECT_FALSE(track.append(kNp, kTarget, 0, payload(normal_limit() + 1), false, true));
    EXPECT_EQ(track.data(), before);
    // An ident the header cannot encode is an error from the header writer.
    EXPECT_THROW(track.append(hw::Ident{0, 0, 8, 0}, kTarget, 0, payload(1), false, true),
                 std::invalid_argument);
    EXPECT_EQ(track.data(), before);
}

TEST(Record, FiltersTrackIsReplaced) {
    auto record = program::new_record(kVersion);
    record->add_fnp2_filters_track(hw::Ident{1, 2, 3, 4}, payload(5));
    record->add_fnp2_filters_track(hw::Ident{4, 3, 2, 1}, payload(2, 9));
    ASSERT_NE(record->fnp2_filters(), nullptr);
    EXPECT_EQ(record->fnp2_filters()->np, (hw::Ident{4, 3, 2, 1}));
    EXPECT_EQ(record->fnp2_filters()->data, payload(2, 9));
    EXPECT_TRUE(record->tracks().empty());
    record->add_fnp2_filters_track(kNp, {});
    EXPECT_TRUE(record->fnp2_filters()->data.empty());
}

TEST(Record, LearnRecordsAreDestroyedThirdFirst) {
    std::vector<int> order;
    struct Logged : Record {
        Logged(std::vector<int>* log, int n) : Record(kVersion), log_(log), n_(n) {}
        ~Logged() override { log_->push_back(n_); }
        std::vector<int>* log_;
        int n_;
    };
    {
        program::LearnRecordsPtr records;
        records.first = std::make_unique<Logged>(&order, 1);
        records.second = std::make_unique<Logged>(&order, 2);
        records.third = std::make_unique<Logged>(&order, 3);
    }
    EXPECT_EQ(order, (std::vector<int>{3, 2, 1}));
}

}  // namespace
}  // namespace vorna
