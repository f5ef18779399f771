#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "program/program_format.h"
#include "program/program_generated.h"
#include "program/sequence_writer.h"
#include "program_test_util.h"
#include "test_support.h"

namespace vorna {
namespace {

using namespace vorna::testing;
using program::PassSkipDmas;
using program::SequenceWriter;
using Words = std::vector<uint32_t>;

uint32_t le32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// The two buffers of program bytes, each verified.
struct Parsed {
    const fb::ProgramInfo* info = nullptr;
    const fb::ProgramData* data = nullptr;
    const uint8_t* data_begin = nullptr;
    size_t data_size = 0;
};

Parsed parse(const std::vector<uint8_t>& bytes) {
    Parsed p;
    const size_t info_size = 4 + le32(bytes.data());
    EXPECT_EQ(info_size % 4, 0u);
    p.data_begin = bytes.data() + info_size;
    p.data_size = bytes.size() - info_size;
    EXPECT_EQ(4 + le32(p.data_begin), p.data_size) << "nothing may follow the program data";
    flatbuffers::Verifier info_verifier(bytes.data(), info_size);
    EXPECT_TRUE(fb::VerifySizePrefixedProgramInfoBuffer(info_verifier));
    flatbuffers::Verifier data_verifier(p.data_begin, p.data_size);
    EXPECT_TRUE(data_verifier.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr));
    p.info = fb::GetSizePrefixedProgramInfo(bytes.data());
    p.data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(p.data_begin);
    return p;
}

// The words a span designates in the program data.
Words resolve(const Parsed& p, const fb::TrackSpan& span) {
    EXPECT_LE(span.offset() + 4ull * span.size(), p.data_size);
    Words out(span.size());
    if (span.size()) std::memcpy(out.data(), p.data_begin + span.offset(), 4 * span.size());
    return out;
}

Words to_vector(const flatbuffers::Vector<uint32_t>* v) {
    return v ? Words(v->begin(), v->end()) : Words{};
}

// Header words then payload words (record tracks carry their block headers).
Words concat(Words a, const Words& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool has_field(const void* table, int id) {
    return reinterpret_cast<const flatbuffers::Table*>(table)->GetOptionalFieldOffset(
               flatbuffers::voffset_t(4 + 2 * id)) != 0;
}

// Every span of every pass resolves to the words of the matching data track.
void expect_spans_resolve(const Parsed& p) {
    ASSERT_EQ(p.info->passes()->size(), p.data->passes()->size());
    for (size_t i = 0; i < p.data->passes()->size(); ++i) {
        const auto* records = p.data->passes()->Get(i)->records();
        const auto* spans = p.info->passes()->Get(i)->records();
        ASSERT_EQ(spans->size(), records->size());
        for (size_t r = 0; r < records->size(); ++r) {
            const fb::RecordTracks* record = records->Get(r);
            const fb::RecordSpans* rs = spans->Get(r);
            ASSERT_EQ(rs->tracks()->size(), record->tracks()->size());
            for (size_t t = 0; t < record->tracks()->size(); ++t)
                EXPECT_EQ(resolve(p, *rs->tracks()->Get(t)),
                          to_vector(record->tracks()->Get(t)->data()));
            ASSERT_EQ(rs->fnp2_filters() != nullptr, record->fnp2_filters() != nullptr);
            if (record->fnp2_filters()) {
                EXPECT_EQ(resolve(p, rs->fnp2_filters()->span()),
                          to_vector(record->fnp2_filters()->data()));
                EXPECT_EQ(rs->fnp2_filters()->np().id(), record->fnp2_filters()->np()->id());
            }
        }
    }
}

TEST(ProgramFormat, HeadersStructsAndSkipDmaWords) {
    // The header as one value: word 0 in the low half.
    EXPECT_EQ(
        program::format_config_header_fb(hw::Ident{3, 2, 7, 5}, dma::NpRegisters, 200, 0xABCD),
        0x0000ABCDC8770203ull);
    const fb::DescriptorHeader h = program::to_descriptor_header(0x0000ABCDC8770203ull);
    EXPECT_EQ(h.word0(), 0xC8770203u);
    EXPECT_EQ(h.word1(), 0xABCDu);
    EXPECT_EQ(sizeof(fb::NpTrackSpan), 12u);
    const fb::SKipDmaInfoTrack entry =
        program::skipdma_info(hw::Ident{1, 2, 3, 4}, true, 5, 6, 0x01020304);
    uint8_t bytes[12];
    std::memcpy(bytes, &entry, sizeof bytes);
    const uint8_t expected[12] = {1, 2, 3, 4, 1, 5, 6, 0, 4, 3, 2, 1};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));
    // Rows of d0 (d2 for TNP-B) elements of `bits` bits, rounded up to words.
    const std::tuple<uint32_t, uint32_t, uint32_t, uint32_t, bool, uint32_t> cases[] = {
        {5, 3, 7, 4, false, 21},
        {40, 2, 3, 8, false, 60},
        {33, 1, 1, 1, false, 2},
        {5, 3, 7, 4, true, 15},
        {4, 4, 64, 8, true, 256}};
    for (const auto& [d0, d1, d2, bits, tnp_b, words] : cases)
        EXPECT_EQ(program::skipdma_store_words(d0, d1, d2, bits, tnp_b), words)
            << d0 << " " << tnp_b;
    EXPECT_THROW(program::skipdma_store_words(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, 8, false),
                 std::runtime_error);
}

TEST(ProgramFormat, OnePassProgramRoundTrip) {
    program::ProgramInfoFields fields = sample_fields();
    fields.input_scales = {0.5f, 0.25f};
    fields.input_zero_points = {3, 4};
    fields.conv_param_1 = 17;
    fields.mote_post_processing = true;
    fields.output_type = 2;
    const std::vector<uint8_t> bytes = one_pass_program(fields);
    const Parsed p = parse(bytes);
    const auto* v = p.info->device_version();
    EXPECT_EQ((Words{v->vendor_id(), v->product_id(), v->major_rev(), v->minor_rev()}),
              (Words{0xBC, 0xA2, 1, 0}));
    EXPECT_EQ(to_vector(p.info->output_dims()), (Words{5, 6, 16}));
    EXPECT_EQ(p.info->input_scales()->Get(1), 0.25f);
    EXPECT_EQ(p.info->input_zero_points()->Get(0), 3);
    EXPECT_EQ(p.info->output_type(), fb::IoType::Type2);
    EXPECT_EQ(p.info->conv_param_1(), 17u);
    EXPECT_FALSE(has_field(p.data, 1));  // no learning

    const auto* records = p.data->passes()->Get(0)->records();
    ASSERT_EQ(records->size(), 3u);
    EXPECT_EQ(records->Get(0)->tracks()->size(), 1u);
    EXPECT_EQ(records->Get(0)->fnp2_filters(), nullptr);
    const fb::RecordTracks* layer = records->Get(1);
    ASSERT_EQ(layer->tracks()->size(), 2u);
    EXPECT_EQ(layer->tracks()->Get(0)->data()->size(), 0u);  // the empty track before XL
    EXPECT_EQ(layer->tracks()->Get(1)->data()->size(), 2u + 256);
    EXPECT_EQ(layer->fnp2_filters()->data()->size(), 0u);
    EXPECT_EQ(to_vector(records->Get(2)->fnp2_filters()->data()), words(5, 900));
    EXPECT_EQ(records->Get(2)->fnp2_filters()->np()->col(), 3);
    const fb::PassSpans* spans = p.info->passes()->Get(0);
    EXPECT_EQ(spans->skipdma_stores(), nullptr);
    EXPECT_EQ(spans->skipdma_loads(), nullptr);
    expect_spans_resolve(p);
    EXPECT_EQ(spans->records()->Get(1)->fnp2_filters()->np().id(), 1);
    EXPECT_EQ(resolve(p, *p.info->dummy_desc_hdr()), (Words{0, 0}));
}

TEST(ProgramFormat, TwoPassesSkipDmasLearningAndDummyHeader) {
    SequenceWriter writer;
    writer.serialize_version(kProgramVersion);
    writer.add_record(*record_with(1, 4, 1));
    writer.add_record(*record_with(3, 2, 50));
    writer.finalize_pass();
    writer.add_record(*record_with(2, 5, 70));
    writer.finalize_pass();
    writer.add_epg_registers({fb::RegisterValue(0x100, 1), fb::RegisterValue(0x104, 2)});
    writer.add_epg_registers({fb::RegisterValue(0x108, 3)});
    program::LearnRecordsPtr learn;
    learn.first = record_with(2, 3, 300);
    learn.second = record_with(1, 4, 400);
    learn.third = record_with(1, 1, 450);
    learn.third->add_fnp2_filters_track(hw::Ident{4, 1, 1, 0}, words(7, 600));
    const auto offsets = writer.serialize_learning_records(learn);
    writer.set_learning(hw::Ident{4, 1, 1, 3}, offsets, 1234);
    EXPECT_EQ(writer.current_pass_size(), 0u);  // learning records are not part of a pass
    writer.record_dummy_desc_hdr(false);
    EXPECT_EQ(writer.dummy_desc_hdr(), 0u);
    writer.record_dummy_desc_hdr(true);
    EXPECT_EQ(writer.dummy_desc_hdr(), 0x01800000u);
    std::vector<PassSkipDmas> skip(2);
    skip[0].stores = {program::skipdma_info(hw::Ident{1, 1, 3, 1}, true, 2, 1, 60),
                      program::skipdma_info(hw::Ident{1, 1, 3, 2}, false, 4, 3, 21)};
    skip[1].loads = {program::skipdma_info(hw::Ident{1, 1, 3, 3}, false, 2, 1, 0)};
    std::vector<uint8_t> bytes{9, 9, 9};  // replaced
    writer.finalize(sample_fields(), skip, &bytes);
    const Parsed p = parse(bytes);
    expect_spans_resolve(p);
    const fb::PassSpans* pass0 = p.info->passes()->Get(0);
    const fb::PassSpans* pass1 = p.info->passes()->Get(1);
    ASSERT_EQ(pass0->skipdma_stores()->size(), 2u);
    EXPECT_EQ(pass0->skipdma_loads(), nullptr);
    EXPECT_EQ(pass0->skipdma_stores()->Get(1)->np().channel(), 2);
    EXPECT_EQ(pass1->skipdma_stores(), nullptr);
    ASSERT_EQ(pass1->skipdma_loads()->size(), 1u);
    ASSERT_EQ(p.info->epg_registers()->size(), 3u);
    EXPECT_EQ(p.info->epg_registers()->Get(2)->value(), 3u);
    EXPECT_EQ(resolve(p, *p.info->dummy_desc_hdr()), (Words{0x01800000u, 0}));
    const fb::LearningRecords* learning = p.data->learning();
    EXPECT_EQ(learning->fnp_sram_size(), 1234u);
    EXPECT_EQ(learning->np()->col(), 4);
    EXPECT_EQ(learning->record1()->tracks()->size(), 2u);
    const fb::LearningLayerInfo* info = p.info->learning_layer();
    EXPECT_EQ(resolve(p, *info->record1_track()), concat({0x03700101, 0}, words(3, 300)));
    EXPECT_EQ(resolve(p, *info->record2_track()), concat({0x04700101, 0}, words(4, 400)));
    EXPECT_EQ(info->record3_spans()->tracks(), nullptr);
    EXPECT_EQ(resolve(p, info->record3_spans()->fnp2_filters()->span()), words(7, 600));
    EXPECT_EQ(info->np()->id(), 1);
}

TEST(ProgramFormat, LearningRecordThreeWithoutFiltersAndWriterMisuse) {
    auto learning = [](size_t second_tracks) {
        program::LearnRecordsPtr learn;
        learn.first = record_with(1, 3, 1);
        learn.second = record_with(second_tracks, 3, 2);
        learn.third = record_with(2, 3, 3);
        return learn;
    };
    SequenceWriter writer;
    writer.serialize_version(kProgramVersion);
    writer.finalize_pass();
    writer.set_learning(hw::Ident{1, 1, 0, 0}, writer.serialize_learning_records(learning(1)), 0);
    std::vector<uint8_t> bytes;
    writer.finalize(sample_fields(), std::vector<PassSkipDmas>(1), &bytes);
    const Parsed p = parse(bytes);
    const fb::RecordSpans* r3 = p.info->learning_layer()->record3_spans();
    ASSERT_EQ(r3->tracks()->size(), 1u);  // its first track only
    EXPECT_EQ(r3->fnp2_filters(), nullptr);
    EXPECT_EQ(resolve(p, *r3->tracks()->Get(0)), concat({0x03700101, 0}, words(3, 3)));
    EXPECT_FALSE(has_field(p.data->learning(), 4));  // fnp_sram_size 0 is not stored
    EXPECT_EQ(p.info->passes()->Get(0)->records()->size(), 0u);
    // Finalizing twice, without a version, with the wrong pass count, or with a learning
    // record that lacks its track: runtime errors.
    EXPECT_THROW(writer.finalize(sample_fields(), std::vector<PassSkipDmas>(1), &bytes),
                 std::runtime_error);
    SequenceWriter no_version;
    no_version.finalize_pass();
    EXPECT_THROW(no_version.finalize(sample_fields(), std::vector<PassSkipDmas>(1), &bytes),
                 std::runtime_error);
    SequenceWriter passes;
    passes.serialize_version(kProgramVersion);
    passes.finalize_pass();
    EXPECT_THROW(passes.finalize(sample_fields(), std::vector<PassSkipDmas>(2), &bytes),
                 std::runtime_error);
    program::LearnRecordsPtr partial;
    partial.first = record_with(1, 1, 1);
    EXPECT_THROW(SequenceWriter().serialize_learning_records(partial), std::runtime_error);
    SequenceWriter short_learning;
    short_learning.serialize_version(kProgramVersion);
    short_learning.finalize_pass();
    short_learning.set_learning(hw::Ident{}, short_learning.serialize_learning_records(learning(0)),
                                0);
    EXPECT_THROW(short_learning.finalize(sample_fields(), std::vector<PassSkipDmas>(1), &bytes),
                 std::runtime_error);
}

// Program data whose records lack a part they must have is refused when the
// info spans are written.
TEST(ProgramFormat, CorruptDataIsRefused) {
    auto refusal = [](auto build_and_check) {
        flatbuffers::FlatBufferBuilder fbb;
        return test_support::runtime_error_text([&] { build_and_check(fbb); });
    };
    EXPECT_EQ(refusal([](flatbuffers::FlatBufferBuilder& fbb) {
                  fbb.Finish(fb::CreateRecordTracks(fbb));
                  const auto* r = flatbuffers::GetRoot<fb::RecordTracks>(fbb.GetBufferPointer());
                  flatbuffers::FlatBufferBuilder out;
                  program::write_record_spans(out, fbb.GetBufferPointer(), *r);
              }),
              "Corrupt program data: a record has no tracks.");
    EXPECT_EQ(
        refusal([](flatbuffers::FlatBufferBuilder& fbb) {
            const std::vector<flatbuffers::Offset<fb::NpTrack>> tracks{fb::CreateNpTrack(fbb)};
            fbb.Finish(fb::CreateRecordTracksDirect(fbb, &tracks));
            const auto* r = flatbuffers::GetRoot<fb::RecordTracks>(fbb.GetBufferPointer());
            flatbuffers::FlatBufferBuilder out;
            program::write_record_spans(out, fbb.GetBufferPointer(), *r);
        }),
        "Corrupt program data: a track has no data.");
    EXPECT_EQ(refusal([](flatbuffers::FlatBufferBuilder& fbb) {
                  const std::vector<flatbuffers::Offset<fb::NpTrack>> tracks;
                  const auto filters = fb::CreateFnp2FiltersTrack(fbb);
                  fbb.Finish(fb::CreateRecordTracksDirect(fbb, &tracks, filters));
                  const auto* r = flatbuffers::GetRoot<fb::RecordTracks>(fbb.GetBufferPointer());
                  flatbuffers::FlatBufferBuilder out;
                  program::write_record_spans(out, fbb.GetBufferPointer(), *r);
              }),
              "Corrupt program data: a filters track is incomplete.");
    EXPECT_EQ(refusal([](flatbuffers::FlatBufferBuilder& fbb) {
                  fbb.Finish(fb::CreateProgramData(fbb));
                  const auto* d = flatbuffers::GetRoot<fb::ProgramData>(fbb.GetBufferPointer());
                  program::dummy_desc_hdr_span(fbb.GetBufferPointer(), *d);
              }),
              "Corrupt program data: the dummy descriptor header is missing.");
}

}  // namespace
}  // namespace vorna
