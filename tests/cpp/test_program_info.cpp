#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/program_info.h"
#include "program/program_format.h"
#include "program_test_util.h"

namespace vorna {
namespace {

using namespace vorna::testing;

size_t info_size_of(const std::vector<uint8_t>& bytes) {
    uint32_t n;
    std::memcpy(&n, bytes.data(), 4);
    return 4 + size_t{n};
}

void expect_invalid(const uint8_t* data, size_t size) {
    try {
        ProgramInfo program(data, size);
        ADD_FAILURE() << "accepted " << size << " bytes";
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid program.");
    }
}

// Two passes, a dummy header, learning records with a 7-word filters track.
std::vector<uint8_t> two_pass_program(program::ProgramInfoFields fields) {
    program::SequenceWriter writer;
    writer.serialize_version(kProgramVersion);
    writer.add_record(*record_with(2, 3, 1));
    writer.finalize_pass();
    auto filters = record_with(1, 2, 5);
    filters->add_fnp2_filters_track(hw::Ident{1, 1, 1, 0}, words(3, 10));
    writer.add_record(*filters);
    writer.finalize_pass();
    program::LearnRecordsPtr learn;
    learn.first = record_with(1, 1, 1);
    learn.second = record_with(1, 1, 2);
    learn.third = record_with(1, 1, 3);
    learn.third->add_fnp2_filters_track(hw::Ident{1, 1, 1, 0}, words(7, 20));
    writer.set_learning(hw::Ident{1, 1, 1, 0}, writer.serialize_learning_records(learn), 99);
    writer.record_dummy_desc_hdr(true);
    std::vector<uint8_t> out;
    writer.finalize(fields, std::vector<program::PassSkipDmas>(2), &out);
    return out;
}

TEST(ProgramInfo, MemoryQueries) {
    const std::vector<uint8_t> one = one_pass_program();
    const ProgramInfo p1(one.data(), one.size());
    EXPECT_EQ(input_memory_required(p1), 10u * 12 * 3);  // 8-bit input
    EXPECT_EQ(input_descriptor_memory_required(p1), 16u);
    EXPECT_EQ(output_memory_required(p1), 5u * 6 * 16);  // 4 bits: one byte each
    EXPECT_EQ(program_data_memory_required(p1), one.size() - info_size_of(one));
    EXPECT_EQ(extra_program_memory_required(p1), 4u * 5);         // one 5-word filters track
    EXPECT_EQ(program_descriptors_memory_required(p1), 16u * 4);  // 4 descriptors, 1 pass

    program::ProgramInfoFields fields = sample_fields();
    fields.input_dims = {3, 3, 1};
    fields.input_bits = 4;  // 36 bits
    fields.output_bits = 16;
    fields.max_descriptors = 5;
    const std::vector<uint8_t> two = two_pass_program(fields);
    const ProgramInfo p2(two.data(), two.size());
    EXPECT_EQ(input_memory_required(p2), 5u);
    EXPECT_EQ(output_memory_required(p2), 5u * 6 * 16 * 2);
    EXPECT_EQ(extra_program_memory_required(p2), 4u * (3 + 7));  // pass filters and learning
    EXPECT_EQ(program_descriptors_memory_required(p2), 16u * (5 * 2 + 1));  // + dummy header
    EXPECT_EQ(p2.dummy_desc_hdr(),
              program::format_config_header_fb(hw::Ident{0, 0, 0, 0}, dma::IpRegisters, 1, 0));
    ASSERT_NE(p2.learning(), nullptr);
    EXPECT_EQ(p2.learning()->fnp_sram_size(), 99u);

    fields.input_bits = 0;  // read as 8
    fields.output_bits = 32;
    const std::vector<uint8_t> three = two_pass_program(fields);
    const ProgramInfo p3(three.data(), three.size());
    EXPECT_EQ(input_memory_required(p3), 9u);
    EXPECT_EQ(output_memory_required(p3), 5u * 6 * 16 * 4);

    fields.input_dims = {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF};
    fields.output_dims = {};
    const std::vector<uint8_t> huge = two_pass_program(fields);
    const ProgramInfo p4(huge.data(), huge.size());
    EXPECT_THROW(input_memory_required(p4), std::invalid_argument);
    EXPECT_EQ(output_memory_required(p4), 0u);
}

// The info buffer alone is a valid program; any other cut, or a longer buffer, is not.
// Unaligned bytes are read.
TEST(ProgramInfo, InfoOnlyTruncatedExtendedAndUnalignedBytes) {
    const std::vector<uint8_t> two = two_pass_program(sample_fields());
    const ProgramInfo info_only(two.data(), info_size_of(two));
    EXPECT_FALSE(info_only.has_data());
    EXPECT_EQ(info_only.pass_count(), 2u);
    EXPECT_EQ(info_only.dummy_desc_hdr(), 0u);
    EXPECT_EQ(program_data_memory_required(info_only), 0u);
    EXPECT_EQ(extra_program_memory_required(info_only), 0u);
    const std::vector<uint8_t> bytes = one_pass_program();
    for (size_t size = 0; size < bytes.size(); ++size)
        if (size != info_size_of(bytes)) expect_invalid(bytes.data(), size);
    std::vector<uint8_t> shifted(bytes.size() + 2);
    std::memcpy(shifted.data() + 1, bytes.data(), bytes.size());
    expect_invalid(shifted.data() + 1, bytes.size() + 1);
    expect_invalid(nullptr, 0);
    expect_invalid(nullptr, bytes.size());
    const ProgramInfo program(shifted.data() + 1, bytes.size());
    EXPECT_EQ(program.input_dims(), (std::vector<uint32_t>{10, 12, 3}));
    EXPECT_EQ(extra_program_memory_required(program), 20u);
}

// The dummy header's two little-endian words read as one value, the first word low; an info
// table without a passes list counts no pass.
TEST(ProgramInfo, DummyHeaderWordsAndAbsentPasses) {
    std::vector<uint8_t> bytes = two_pass_program(sample_fields());
    const ProgramInfo original(bytes.data(), bytes.size());
    ASSERT_NE(original.info().dummy_desc_hdr(), nullptr);
    const size_t at = original.info_size() + original.info().dummy_desc_hdr()->offset();
    ASSERT_LE(at + 8, bytes.size());
    const uint8_t second_word[4] = {0x21, 0x43, 0x65, 0x87};
    std::memcpy(bytes.data() + at + 4, second_word, 4);
    const ProgramInfo patched(bytes.data(), bytes.size());
    EXPECT_EQ(patched.dummy_desc_hdr(), 0x8765432101800000u);

    flatbuffers::FlatBufferBuilder fbb;
    fb::ProgramInfoBuilder empty(fbb);
    fbb.FinishSizePrefixed(empty.Finish());
    const ProgramInfo bare(fbb.GetBufferPointer(), fbb.GetSize());
    EXPECT_EQ(bare.pass_count(), 0u);
    EXPECT_EQ(bare.dummy_desc_hdr(), 0u);
}

TEST(ProgramInfo, GarbageIsRefusedWithoutCrashing) {
    // A size prefix that claims the whole rest still has to verify.
    std::vector<uint8_t> claims(64, 0xAB);
    const uint32_t rest = 60;
    std::memcpy(claims.data(), &rest, 4);
    expect_invalid(claims.data(), claims.size());

    // Corrupting any single byte of a valid program either still verifies or is refused.
    const std::vector<uint8_t> bytes = two_pass_program(sample_fields());
    size_t refused = 0;
    for (size_t i = 0; i < bytes.size(); ++i) {
        for (uint8_t flip : {uint8_t{0x01}, uint8_t{0x80}, uint8_t{0xFF}}) {
            std::vector<uint8_t> bad = bytes;
            bad[i] ^= flip;
            try {
                const ProgramInfo program(bad.data(), bad.size());
                (void)program_descriptors_memory_required(program);
                (void)extra_program_memory_required(program);
            } catch (const std::invalid_argument& e) {
                EXPECT_STREQ(e.what(), "Invalid program.");
                ++refused;
            }
        }
    }
    EXPECT_GT(refused, 0u);
}

}  // namespace
}  // namespace vorna
