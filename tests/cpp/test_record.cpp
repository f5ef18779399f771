#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/dma.h"
#include "program/record.h"
#include "test_support.h"

namespace vorna {
namespace {

using Words = std::vector<uint32_t>;

const HwVersion kVersion{0xBC, 0xA2, 1, 0};
const hw::Ident kNp{2, 1, 3, 0};

Words payload(size_t n, uint32_t first = 1) {
    Words words(n);
    for (size_t i = 0; i < n; ++i) words[i] = first + uint32_t(i);
    return words;
}

// Header words (NP (2, 1, 3) unless `w0` names another) followed by the payload.
Words block(uint32_t w0, uint32_t w1, const Words& body, size_t padded = 0) {
    Words out = {w0, w1};
    out.insert(out.end(), body.begin(), body.end());
    out.resize(std::max(out.size(), 2 + padded), 0u);
    return out;
}

Words concat(Words a, const Words& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(Record, BlocksJoinTheLastTrackOrStartTheirOwn) {
    auto record = program::new_record(kVersion);
    // NpRegisters (7) with size 10 at 0x20; NeuronVariables with size 3 at 4 on (1, 1, 0).
    record->add_np_track(kNp, dma::NpRegisters, 0x20, payload(10), true, true);
    record->add_np_track(hw::Ident{1, 1, 0, 0}, dma::NeuronVariables, 4, payload(3, 100), true,
                         true);
    ASSERT_EQ(record->tracks().size(), 1u);
    const uint32_t nv = uint32_t(dma::NeuronVariables) << 20;
    EXPECT_EQ(record->tracks()[0].data(), concat(block(0x0A730102, 0x20, payload(10)),
                                                 block(0x03000101 | nv, 4, payload(3, 100))));
    EXPECT_EQ(record->fnp2_filters(), nullptr);
    // Without append each block gets its own track; without size the size field is 0.
    auto own = program::new_record(kVersion);
    own->add_np_track(kNp, dma::Fsram, 0, payload(4), false, false);
    own->add_np_track(kNp, dma::Tsram, 0, payload(5), false, false);
    ASSERT_EQ(own->tracks().size(), 2u);
    EXPECT_EQ(own->tracks()[0].data(), block(0x00E30102, 0, payload(4)));
    EXPECT_EQ(own->tracks()[1].data(), block(0x00F30102, 0, payload(5)));
}

// 256 words need the XL form, padded to 16-word units: the first XL block of a
// record leaves an empty track in front; later blocks join the XL track.
TEST(Record, XlBlocksAndTheTrackLimit) {
    for (bool append : {true, false}) {
        auto record = program::new_record(kVersion);
        record->add_np_track(kNp, dma::CnpWeights, 7, payload(257), true, append);
        ASSERT_EQ(record->tracks().size(), 2u);
        EXPECT_TRUE(record->tracks()[0].empty());
        EXPECT_EQ(record->tracks()[1].data(),
                  block(0x00030102 | 1u << 19, 0x00110007, payload(257), 272));
    }
    auto sizeless = program::new_record(kVersion);
    sizeless->add_np_track(kNp, dma::CnpWeights, 0, payload(256), false, true);
    EXPECT_EQ(sizeless->tracks()[1].data(), block(0x000B0102, 0, payload(256)));
    auto mixed = program::new_record(kVersion);
    mixed->add_np_track(kNp, dma::NpRegisters, 0, payload(3), true, true);
    mixed->add_np_track(kNp, dma::CnpWeights, 0, payload(257), true, true);
    mixed->add_np_track(kNp, dma::NpRegisters, 0, payload(2), true, true);
    ASSERT_EQ(mixed->tracks().size(), 2u);
    EXPECT_EQ(mixed->tracks()[0].size(), 5u);
    EXPECT_EQ(mixed->tracks()[1].size(), 2u + 272 + 2 + 2);
    // A track holds at most 65535 words, headers included.
    for (size_t prefix : {size_t{65535 - 12}, size_t{65535 - 11}}) {
        auto record = program::new_record(kVersion);
        while (record->tracks().empty() || record->tracks().back().size() < prefix) {
            const size_t left =
                prefix - (record->tracks().empty() ? 0 : record->tracks().back().size());
            record->add_np_track(kNp, dma::NpRegisters, 0, payload(std::min<size_t>(255, left - 2)),
                                 true, true);
        }
        ASSERT_EQ(record->tracks().size(), 1u);
        record->add_np_track(kNp, dma::NpRegisters, 0, payload(10), true, true);
        EXPECT_EQ(record->tracks().back().size(), prefix == 65535 - 12 ? 65535u : 12u);
    }
    // The largest padded XL block fits a track of its own; one word more fails, and the
    // tracks added on the way stay.
    auto fits = program::new_record(kVersion);
    fits->add_np_track(kNp, dma::NpRegisters, 0, payload(65520), true, true);
    EXPECT_EQ(fits->tracks()[1].size(), 65522u);
    auto record = program::new_record(kVersion);
    EXPECT_EQ(test_support::kinded_error_text([&] {
                  record->add_np_track(kNp, dma::NpRegisters, 0, payload(65521), true, true);
              }),
              "runtime_error: Error generating NP program.");
    ASSERT_EQ(record->tracks().size(), 2u);
    EXPECT_TRUE(record->tracks()[1].empty());
}

TEST(Record, RefusedAppendsFiltersAndLearnRecords) {
    program::NpTrack track;
    ASSERT_TRUE(track.append(kNp, dma::NpRegisters, 0, payload(4), false, true));
    const auto before = track.data();
    EXPECT_FALSE(track.append(kNp, dma::NpRegisters, 0, payload(256), false, true));
    EXPECT_THROW(track.append(hw::Ident{0, 0, 8, 0}, dma::NpRegisters, 0, payload(1), false, true),
                 std::invalid_argument);
    EXPECT_EQ(track.data(), before);
    auto record = program::new_record(kVersion);
    record->add_fnp2_filters_track(hw::Ident{1, 2, 3, 4}, payload(5));
    record->add_fnp2_filters_track(hw::Ident{4, 3, 2, 1}, payload(2, 9));
    EXPECT_EQ(record->fnp2_filters()->np, (hw::Ident{4, 3, 2, 1}));
    EXPECT_EQ(record->fnp2_filters()->data, payload(2, 9));
    EXPECT_TRUE(record->tracks().empty());
}

}  // namespace
}  // namespace vorna
