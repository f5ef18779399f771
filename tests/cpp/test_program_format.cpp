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

namespace vorna {
namespace {

using namespace vorna::testing;
using program::PassSkipDmas;
using program::SequenceWriter;

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
    EXPECT_GE(bytes.size(), 8u);
    const size_t info_size = 4 + le32(bytes.data());
    EXPECT_EQ(info_size % 4, 0u);
    EXPECT_LE(info_size + 4, bytes.size());
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
std::vector<uint32_t> resolve(const Parsed& p, const fb::TrackSpan& span) {
    EXPECT_EQ(span.offset() % 4, 0u);
    EXPECT_LE(span.offset() + 4ull * span.size(), p.data_size);
    std::vector<uint32_t> out(span.size());
    if (span.size()) std::memcpy(out.data(), p.data_begin + span.offset(), 4 * span.size());
    return out;
}

std::vector<uint32_t> to_vector(const flatbuffers::Vector<uint32_t>* v) {
    return v ? std::vector<uint32_t>(v->begin(), v->end()) : std::vector<uint32_t>{};
}

bool has_field(const void* table, int id) {
    return reinterpret_cast<const flatbuffers::Table*>(table)->GetOptionalFieldOffset(
               static_cast<flatbuffers::voffset_t>(4 + 2 * id)) != 0;
}

// Checks that every span of every pass resolves to the words of the matching data track.
void expect_spans_resolve(const Parsed& p) {
    ASSERT_EQ(p.info->passes()->size(), p.data->passes()->size());
    for (size_t i = 0; i < p.data->passes()->size(); ++i) {
        const auto* records = p.data->passes()->Get(i)->records();
        const auto* spans = p.info->passes()->Get(i)->records();
        ASSERT_EQ(spans->size(), records->size());
        for (size_t r = 0; r < records->size(); ++r) {
            const fb::RecordTracks* record = records->Get(r);
            const fb::RecordSpans* rs = spans->Get(r);
            ASSERT_NE(rs->tracks(), nullptr);
            ASSERT_EQ(rs->tracks()->size(), record->tracks()->size());
            for (size_t t = 0; t < record->tracks()->size(); ++t) {
                EXPECT_EQ(resolve(p, *rs->tracks()->Get(t)),
                          to_vector(record->tracks()->Get(t)->data()));
            }
            ASSERT_EQ(rs->fnp2_filters() != nullptr, record->fnp2_filters() != nullptr);
            if (record->fnp2_filters()) {
                EXPECT_EQ(resolve(p, rs->fnp2_filters()->span()),
                          to_vector(record->fnp2_filters()->data()));
                EXPECT_EQ(rs->fnp2_filters()->np().col(), record->fnp2_filters()->np()->col());
                EXPECT_EQ(rs->fnp2_filters()->np().id(), record->fnp2_filters()->np()->id());
            }
        }
    }
}

TEST(ProgramFormat, ConfigHeaderAsOneValue) {
    struct Case {
        hw::Ident np;
        dma::Target target;
        uint32_t size;
        uint16_t offset;
    };
    for (const Case& c : {Case{{0, 0, 0, 0}, dma::IpRegisters, 1, 0},
                          Case{{3, 2, 7, 5}, dma::NeuronVariables, 200, 0xABCD},
                          Case{{255, 255, 0, 0}, dma::Tsram, 0, 1}}) {
        uint32_t words[2];
        dma::format_config_header(words, c.np, c.target, c.size, c.offset, false);
        const uint64_t value = program::format_config_header_fb(c.np, c.target, c.size, c.offset);
        EXPECT_EQ(static_cast<uint32_t>(value), words[0]);
        EXPECT_EQ(static_cast<uint32_t>(value >> 32), words[1]);
        const fb::DescriptorHeader h = program::to_descriptor_header(value);
        EXPECT_EQ(h.word0(), words[0]);
        EXPECT_EQ(h.word1(), words[1]);
    }
}

TEST(ProgramFormat, StructLayouts) {
    EXPECT_EQ(sizeof(fb::TrackSpan), 8u);
    EXPECT_EQ(sizeof(fb::NpIdent), 3u);
    EXPECT_EQ(sizeof(fb::NpTrackSpan), 12u);
    EXPECT_EQ(sizeof(fb::RegisterValue), 8u);
    EXPECT_EQ(sizeof(fb::SKipDmaInfoTrack), 12u);
    EXPECT_EQ(sizeof(fb::DescriptorHeader), 8u);

    const fb::SKipDmaInfoTrack entry =
        program::skipdma_info(hw::Ident{1, 2, 3, 4}, true, 5, 6, 0x01020304);
    uint8_t bytes[12];
    std::memcpy(bytes, &entry, sizeof bytes);
    const uint8_t expected[12] = {1, 2, 3, 4, 1, 5, 6, 0, 4, 3, 2, 1};
    EXPECT_EQ(0, std::memcmp(bytes, expected, sizeof bytes));

    const fb::NpIdent np = program::to_np_ident(hw::Ident{7, 8, 9, 10});
    EXPECT_EQ(np.col(), 7);
    EXPECT_EQ(np.row(), 8);
    EXPECT_EQ(np.id(), 9);
}

TEST(ProgramFormat, SkipDmaStoreWords) {
    struct Case {
        uint32_t d0, d1, d2, bits;
        bool tnp_b;
        uint32_t words;
    };
    for (const Case& c : {
             Case{5, 3, 7, 4, false, 3 * 7 * 1},    // 20 bits per row: one word
             Case{40, 2, 3, 8, false, 2 * 3 * 10},  // 320 bits: 10 words
             Case{33, 1, 1, 1, false, 2},           // 33 bits: 2 words
             Case{5, 3, 7, 4, true, 5 * 3 * 1},     // 28 bits along d2
             Case{4, 4, 64, 8, true, 4 * 4 * 16},   // 512 bits along d2
         }) {
        EXPECT_EQ(program::skipdma_store_words(c.d0, c.d1, c.d2, c.bits, c.tnp_b), c.words)
            << c.d0 << "x" << c.d1 << "x" << c.d2 << " b" << c.bits << " tnp_b " << c.tnp_b;
    }
    EXPECT_THROW(program::skipdma_store_words(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, 8, false),
                 std::runtime_error);
}

TEST(ProgramFormat, OnePassProgramRoundTrip) {
    program::ProgramInfoFields fields = sample_fields();
    fields.input_scales = {0.5f, 0.25f};
    fields.input_zero_points = {3, 4};
    const std::vector<uint8_t> bytes = one_pass_program(fields);
    const Parsed p = parse(bytes);
    ASSERT_NE(p.info, nullptr);

    // Program info values.
    EXPECT_STREQ(p.info->version()->c_str(), "1.2.3");
    ASSERT_NE(p.info->device_version(), nullptr);
    EXPECT_EQ(p.info->device_version()->vendor_id(), 0xBC);
    EXPECT_EQ(p.info->device_version()->product_id(), 0xA2);
    EXPECT_EQ(p.info->device_version()->major_rev(), 1);
    EXPECT_EQ(p.info->device_version()->minor_rev(), 0);
    EXPECT_EQ(to_vector(p.info->input_dims()), (std::vector<uint32_t>{10, 12, 3}));
    EXPECT_EQ(to_vector(p.info->output_dims()), (std::vector<uint32_t>{5, 6, 16}));
    EXPECT_EQ(p.info->output_bits(), 4);
    EXPECT_EQ(p.info->max_descriptors(), 4);
    EXPECT_EQ(p.info->input_bits(), 8);
    EXPECT_TRUE(p.info->input_signed());
    EXPECT_FALSE(p.info->input_channels_first());
    ASSERT_EQ(p.info->input_scales()->size(), 2u);
    EXPECT_EQ(p.info->input_scales()->Get(1), 0.25f);
    ASSERT_EQ(p.info->input_zero_points()->size(), 2u);
    EXPECT_EQ(p.info->input_zero_points()->Get(0), 3);

    // Empty vectors are present with length 0; an empty register list is left out; no learning.
    ASSERT_NE(p.info->output_shift(), nullptr);
    EXPECT_EQ(p.info->output_shift()->size(), 0u);
    ASSERT_NE(p.info->output_scales(), nullptr);
    EXPECT_EQ(p.info->output_scales()->size(), 0u);
    EXPECT_EQ(p.info->epg_registers(), nullptr);
    EXPECT_EQ(p.info->learning_layer(), nullptr);
    EXPECT_EQ(p.data->learning(), nullptr);

    // The program data: one pass, three records, as written.
    ASSERT_EQ(p.data->passes()->size(), 1u);
    const auto* records = p.data->passes()->Get(0)->records();
    ASSERT_EQ(records->size(), 3u);
    EXPECT_EQ(records->Get(0)->tracks()->size(), 1u);
    EXPECT_EQ(records->Get(0)->fnp2_filters(), nullptr);
    const fb::RecordTracks* layer = records->Get(1);
    ASSERT_EQ(layer->tracks()->size(), 2u);
    EXPECT_EQ(layer->tracks()->Get(0)->data()->size(), 0u);  // the empty track before XL
    const uint32_t n = first_xl_size();
    EXPECT_EQ(layer->tracks()->Get(1)->data()->size(), 2 + (n + 15) / 16 * 16);
    ASSERT_NE(layer->fnp2_filters(), nullptr);
    ASSERT_NE(layer->fnp2_filters()->data(), nullptr);
    EXPECT_EQ(layer->fnp2_filters()->data()->size(), 0u);
    EXPECT_EQ(to_vector(records->Get(2)->fnp2_filters()->data()), words(5, 900));
    EXPECT_EQ(records->Get(2)->fnp2_filters()->np()->col(), 3);
    EXPECT_EQ(records->Get(2)->fnp2_filters()->np()->id(), 2);

    // Spans.
    const fb::PassSpans* spans = p.info->passes()->Get(0);
    EXPECT_EQ(spans->skipdma_stores(), nullptr);
    EXPECT_EQ(spans->skipdma_loads(), nullptr);
    expect_spans_resolve(p);
    const fb::RecordSpans* layer_spans = spans->records()->Get(1);
    EXPECT_EQ(layer_spans->tracks()->Get(0)->size(), 0u);
    EXPECT_EQ(layer_spans->fnp2_filters()->span().size(), 0u);
    EXPECT_EQ(layer_spans->fnp2_filters()->np().id(), 1);

    // The dummy header: present, zero, and its span points at it.
    ASSERT_NE(p.info->dummy_desc_hdr(), nullptr);
    EXPECT_EQ(p.info->dummy_desc_hdr()->size(), 2u);
    EXPECT_EQ(resolve(p, *p.info->dummy_desc_hdr()), (std::vector<uint32_t>{0, 0}));
    EXPECT_EQ(reinterpret_cast<const uint8_t*>(p.data->dummy_desc_hdr()),
              p.data_begin + p.info->dummy_desc_hdr()->offset());
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

    // Learning: records 1 and 2 with tracks, record 3 with a filters track.
    program::LearnRecordsPtr learn;
    learn.first = record_with(2, 3, 300);
    learn.second = record_with(1, 4, 400);
    learn.third = record_with(1, 1, 450);
    learn.third->add_fnp2_filters_track(hw::Ident{4, 1, 1, 0}, words(7, 600));
    learn.fnp_sram_size = 1234;
    const auto offsets = writer.serialize_learning_records(learn);
    writer.set_learning(hw::Ident{4, 1, 1, 3}, offsets, learn.fnp_sram_size);
    EXPECT_EQ(writer.current_pass_size(), 0u);  // learning records are not part of a pass

    writer.record_dummy_desc_hdr(false);
    EXPECT_EQ(writer.dummy_desc_hdr(), 0u);
    writer.record_dummy_desc_hdr(true);
    const uint64_t dummy =
        program::format_config_header_fb(hw::Ident{0, 0, 0, 0}, dma::IpRegisters, 1, 0);
    EXPECT_NE(dummy, 0u);
    EXPECT_EQ(writer.dummy_desc_hdr(), dummy);

    std::vector<PassSkipDmas> skip(2);
    const hw::Ident store{1, 1, 3, 1}, dual{1, 1, 3, 2}, load{1, 1, 3, 3};
    skip[0].stores = {program::skipdma_info(store, true, 2, 1, 60),
                      program::skipdma_info(dual, false, 4, 3, 21)};
    skip[1].loads = {program::skipdma_info(load, false, 2, 1, 0)};
    std::vector<uint8_t> bytes{9, 9, 9};  // replaced
    writer.finalize(sample_fields(), skip, &bytes);
    const Parsed p = parse(bytes);

    ASSERT_EQ(p.data->passes()->size(), 2u);
    expect_spans_resolve(p);
    const fb::PassSpans* pass0 = p.info->passes()->Get(0);
    const fb::PassSpans* pass1 = p.info->passes()->Get(1);
    ASSERT_NE(pass0->skipdma_stores(), nullptr);
    ASSERT_EQ(pass0->skipdma_stores()->size(), 2u);
    EXPECT_EQ(pass0->skipdma_loads(), nullptr);
    const fb::SKipDmaInfoTrack* plain = pass0->skipdma_stores()->Get(0);
    EXPECT_EQ(plain->np().channel(), 1);
    EXPECT_TRUE(plain->tnp_b());
    EXPECT_EQ(plain->skip_param(), 2);
    EXPECT_EQ(plain->size(), 60u);
    EXPECT_FALSE(pass0->skipdma_stores()->Get(1)->tnp_b());
    EXPECT_EQ(pass0->skipdma_stores()->Get(1)->np().channel(), 2);
    EXPECT_EQ(pass1->skipdma_stores(), nullptr);
    ASSERT_EQ(pass1->skipdma_loads()->size(), 1u);
    EXPECT_EQ(pass1->skipdma_loads()->Get(0)->size(), 0u);

    ASSERT_EQ(p.info->epg_registers()->size(), 3u);
    EXPECT_EQ(p.info->epg_registers()->Get(2)->address(), 0x108u);
    EXPECT_EQ(p.info->epg_registers()->Get(2)->value(), 3u);

    // Dummy header words in the data, found through the info's span.
    const std::vector<uint32_t> header = resolve(p, *p.info->dummy_desc_hdr());
    EXPECT_EQ(header[0], static_cast<uint32_t>(dummy));
    EXPECT_EQ(header[1], static_cast<uint32_t>(dummy >> 32));

    // Learning.
    const fb::LearningRecords* learning = p.data->learning();
    ASSERT_NE(learning, nullptr);
    EXPECT_EQ(learning->fnp_sram_size(), 1234u);
    EXPECT_EQ(learning->np()->col(), 4);
    EXPECT_EQ(learning->record1()->tracks()->size(), 2u);
    const fb::LearningLayerInfo* info = p.info->learning_layer();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(resolve(p, *info->record1_track()),
              to_vector(learning->record1()->tracks()->Get(0)->data()));
    EXPECT_EQ(resolve(p, *info->record2_track()),
              to_vector(learning->record2()->tracks()->Get(0)->data()));
    EXPECT_EQ(info->record3_spans()->tracks(), nullptr);
    ASSERT_NE(info->record3_spans()->fnp2_filters(), nullptr);
    EXPECT_EQ(resolve(p, info->record3_spans()->fnp2_filters()->span()), words(7, 600));
    EXPECT_EQ(info->np()->col(), 4);
    EXPECT_EQ(info->np()->id(), 1);
}

TEST(ProgramFormat, LearningRecordThreeWithoutFiltersGivesItsFirstTrack) {
    SequenceWriter writer;
    writer.serialize_version(kProgramVersion);
    writer.finalize_pass();
    program::LearnRecordsPtr learn;
    learn.first = record_with(1, 3, 1);
    learn.second = record_with(1, 3, 2);
    learn.third = record_with(2, 3, 3);
    writer.set_learning(hw::Ident{1, 1, 0, 0}, writer.serialize_learning_records(learn), 0);
    std::vector<uint8_t> bytes;
    writer.finalize(sample_fields(), std::vector<PassSkipDmas>(1), &bytes);
    const Parsed p = parse(bytes);
    const fb::RecordSpans* r3 = p.info->learning_layer()->record3_spans();
    ASSERT_NE(r3->tracks(), nullptr);
    ASSERT_EQ(r3->tracks()->size(), 1u);
    EXPECT_EQ(r3->fnp2_filters(), nullptr);
    EXPECT_EQ(resolve(p, *r3->tracks()->Get(0)),
              to_vector(p.data->learning()->record3()->tracks()->Get(0)->data()));
    EXPECT_FALSE(has_field(p.data->learning(), 4));  // fnp_sram_size 0 is not stored
    // A pass without records still has its tables.
    EXPECT_EQ(p.data->passes()->Get(0)->records()->size(), 0u);
    EXPECT_EQ(p.info->passes()->Get(0)->records()->size(), 0u);
}

TEST(ProgramFormat, FieldIdsAndDefaultsNotStored) {
    program::ProgramInfoFields fields = sample_fields();
    fields.conv_param_0 = 0;
    fields.conv_param_1 = 17;
    fields.mote_post_processing = true;
    fields.output_type = 2;
    const std::vector<uint8_t> bytes = one_pass_program(fields);
    const Parsed p = parse(bytes);
    EXPECT_TRUE(has_field(p.info, 0));   // version
    EXPECT_TRUE(has_field(p.info, 1));   // device_version
    EXPECT_FALSE(has_field(p.info, 4));  // input_type 0
    EXPECT_TRUE(has_field(p.info, 5));   // output_type 2
    EXPECT_EQ(p.info->output_type(), fb::IoType::Type2);
    EXPECT_TRUE(has_field(p.info, 8));  // conv_param_1
    EXPECT_EQ(p.info->conv_param_1(), 17u);
    EXPECT_FALSE(has_field(p.info, 9));   // conv_param_0 0
    EXPECT_TRUE(has_field(p.info, 10));   // output_shift, empty
    EXPECT_FALSE(has_field(p.info, 13));  // epg_registers, none
    EXPECT_FALSE(has_field(p.info, 15));  // learning_layer
    EXPECT_TRUE(has_field(p.info, 16));   // dummy_desc_hdr
    EXPECT_FALSE(has_field(p.info, 19));  // input_channels_first false
    EXPECT_TRUE(has_field(p.info, 20));   // input_scales, empty
    EXPECT_TRUE(has_field(p.info, 21));   // input_zero_points, empty
    EXPECT_TRUE(has_field(p.info, 22));   // mote_post_processing
    EXPECT_TRUE(has_field(p.data, 0));
    EXPECT_FALSE(has_field(p.data, 1));
    EXPECT_TRUE(has_field(p.data, 2));
}

// Flatbuffers builds back to front: what is written first lies at the higher address. The
// writing order of the format is checked through that.
TEST(ProgramFormat, BuilderOrder) {
    const std::vector<uint8_t> bytes = one_pass_program();
    const Parsed p = parse(bytes);
    auto at = [](const void* ptr) { return reinterpret_cast<uintptr_t>(ptr); };

    // A record: each track's words then its table, then the filters words and table, then the
    // vector of tracks and the record table.
    const fb::RecordTracks* record = p.data->passes()->Get(0)->records()->Get(2);
    const fb::NpTrack* t0 = record->tracks()->Get(0);
    const fb::NpTrack* t1 = record->tracks()->Get(1);
    const std::vector<uintptr_t> record_order{at(t0->data()),
                                              at(t0),
                                              at(t1->data()),
                                              at(t1),
                                              at(record->fnp2_filters()->data()),
                                              at(record->fnp2_filters()),
                                              at(record->tracks()),
                                              at(record)};
    for (size_t i = 1; i < record_order.size(); ++i)
        EXPECT_GT(record_order[i - 1], record_order[i]) << i;
    // Records in order, then the pass, then the passes and the root.
    const auto* records = p.data->passes()->Get(0)->records();
    EXPECT_GT(at(records->Get(0)), at(records->Get(1)));
    EXPECT_GT(at(records->Get(2)), at(records));
    EXPECT_GT(at(records), at(p.data->passes()->Get(0)));
    EXPECT_GT(at(p.data->passes()->Get(0)), at(p.data->passes()));
    EXPECT_GT(at(p.data->passes()), at(p.data));

    // The info: the device version first, then the pass spans, then the direct builder's
    // vectors in field order, then the root.
    const fb::ProgramInfo* info = p.info;
    const std::vector<uintptr_t> info_order{at(info->device_version()),
                                            at(info->passes()->Get(0)),
                                            at(info->version()),
                                            at(info->input_dims()),
                                            at(info->output_dims()),
                                            at(info->output_shift()),
                                            at(info->output_scales()),
                                            at(info->passes()),
                                            at(info->input_scales()),
                                            at(info->input_zero_points()),
                                            at(info)};
    for (size_t i = 1; i < info_order.size(); ++i) EXPECT_GT(info_order[i - 1], info_order[i]) << i;
}

TEST(ProgramFormat, WriterRefusesIncompleteOrRepeatedFinalize) {
    std::vector<uint8_t> out;
    {
        SequenceWriter writer;
        writer.finalize_pass();
        EXPECT_THROW(writer.finalize(sample_fields(), std::vector<PassSkipDmas>(1), &out),
                     std::runtime_error);
    }
    {
        SequenceWriter writer;
        writer.serialize_version(kProgramVersion);
        writer.finalize_pass();
        EXPECT_THROW(writer.finalize(sample_fields(), std::vector<PassSkipDmas>(2), &out),
                     std::runtime_error);
        writer.finalize(sample_fields(), std::vector<PassSkipDmas>(1), &out);
        EXPECT_THROW(writer.finalize(sample_fields(), std::vector<PassSkipDmas>(1), &out),
                     std::runtime_error);
    }
    {
        SequenceWriter writer;
        program::LearnRecordsPtr learn;
        learn.first = record_with(1, 1, 1);
        EXPECT_THROW(writer.serialize_learning_records(learn), std::runtime_error);
    }
    {
        // A learning record without the track its span needs.
        SequenceWriter writer;
        writer.serialize_version(kProgramVersion);
        writer.finalize_pass();
        program::LearnRecordsPtr learn;
        learn.first = record_with(1, 1, 1);
        learn.second = record_with(0, 1, 1);
        learn.third = record_with(1, 1, 1);
        writer.set_learning(hw::Ident{}, writer.serialize_learning_records(learn), 0);
        EXPECT_THROW(writer.finalize(sample_fields(), std::vector<PassSkipDmas>(1), &out),
                     std::runtime_error);
    }
}

}  // namespace
}  // namespace vorna
