#include "program/program_format.h"

#include <stdexcept>
#include <string>

namespace vorna::program {

namespace {

const std::vector<uint32_t>& words_of(const NpTrack& track) { return track.data(); }

std::runtime_error corrupt(const char* what) {
    return std::runtime_error(std::string("Corrupt program data: ") + what + ".");
}

}  // namespace

uint64_t format_config_header_fb(const hw::Ident& np, dma::Target target, uint32_t size,
                                 uint16_t offset) {
    uint32_t words[2] = {0, 0};
    dma::format_config_header(words, np, target, size, offset, false);
    return static_cast<uint64_t>(words[0]) | (static_cast<uint64_t>(words[1]) << 32);
}

fb::DescriptorHeader to_descriptor_header(uint64_t words) {
    return fb::DescriptorHeader(static_cast<uint32_t>(words), static_cast<uint32_t>(words >> 32));
}

fb::NpIdent to_np_ident(const hw::Ident& ident) {
    return fb::NpIdent(ident.col, ident.row, ident.id);
}

fb::SkipDmaIdent to_skipdma_ident(const hw::Ident& ident) {
    return fb::SkipDmaIdent(ident.col, ident.row, ident.id, ident.channel);
}

uint32_t words_for_bits(uint64_t bits) {
    const uint64_t words = (bits + 31) / 32;
    if (words > UINT32_MAX) throw std::runtime_error("Skip-DMA data size does not fit 32 bits.");
    return static_cast<uint32_t>(words);
}

uint32_t skipdma_store_words(uint32_t d0, uint32_t d1, uint32_t d2, uint32_t bits, bool tnp_b) {
    // Computed in 64 bits: a count that does not fit the 32-bit size field is refused rather
    // than wrapped.
    const uint64_t words = tnp_b ? uint64_t{d0} * d1 * words_for_bits(uint64_t{bits} * d2)
                                 : uint64_t{d1} * d2 * words_for_bits(uint64_t{bits} * d0);
    if (words > UINT32_MAX) throw std::runtime_error("Skip-DMA data size does not fit 32 bits.");
    return static_cast<uint32_t>(words);
}

fb::SKipDmaInfoTrack skipdma_info(const hw::Ident& np, bool tnp_b, uint8_t skip_param,
                                  uint8_t channel, uint32_t size) {
    return fb::SKipDmaInfoTrack(to_skipdma_ident(np), tnp_b, skip_param, channel, size);
}

flatbuffers::Offset<fb::RecordTracks> write_record(flatbuffers::FlatBufferBuilder& builder,
                                                   const Record& record) {
    std::vector<flatbuffers::Offset<fb::NpTrack>> tracks;
    tracks.reserve(record.tracks().size());
    for (const NpTrack& track : record.tracks()) {
        auto data = builder.CreateVector(words_of(track));
        tracks.push_back(fb::CreateNpTrack(builder, data));
    }
    flatbuffers::Offset<fb::Fnp2FiltersTrack> filters = 0;
    if (const Fnp2FiltersTrack* f = record.fnp2_filters()) {
        auto data = builder.CreateVector(f->data);
        const fb::NpIdent np = to_np_ident(f->np);
        filters = fb::CreateFnp2FiltersTrack(builder, &np, data);
    }
    auto track_vector = builder.CreateVector(tracks);
    return fb::CreateRecordTracks(builder, track_vector, filters);
}

fb::TrackSpan span_of(const uint8_t* begin, const flatbuffers::Vector<uint32_t>& words) {
    const auto offset = reinterpret_cast<const uint8_t*>(words.Data()) - begin;
    return fb::TrackSpan(static_cast<uint32_t>(offset), words.size());
}

flatbuffers::Offset<fb::RecordSpans> write_record_spans(flatbuffers::FlatBufferBuilder& builder,
                                                        const uint8_t* begin,
                                                        const fb::RecordTracks& record) {
    std::vector<fb::TrackSpan> spans;
    if (!record.tracks()) throw corrupt("a record has no tracks");
    for (const fb::NpTrack* track : *record.tracks()) {
        if (!track->data()) throw corrupt("a track has no data");
        spans.push_back(span_of(begin, *track->data()));
    }
    fb::NpTrackSpan filters_span;
    const fb::NpTrackSpan* filters = nullptr;
    if (const fb::Fnp2FiltersTrack* f = record.fnp2_filters()) {
        if (!f->data() || !f->np()) throw corrupt("a filters track is incomplete");
        filters_span = fb::NpTrackSpan(span_of(begin, *f->data()), *f->np());
        filters = &filters_span;
    }
    return fb::CreateRecordSpansDirect(builder, &spans, filters);
}

flatbuffers::Offset<fb::LearningLayerInfo> write_learning_layer_info(
    flatbuffers::FlatBufferBuilder& builder, const uint8_t* begin,
    const fb::LearningRecords& learning) {
    auto first_track_span = [begin](const fb::RecordTracks* record, const char* name) {
        if (!record || !record->tracks() || record->tracks()->size() == 0 ||
            !record->tracks()->Get(0)->data()) {
            throw std::runtime_error(std::string("The learning ") + name + " has no track.");
        }
        return span_of(begin, *record->tracks()->Get(0)->data());
    };
    const fb::TrackSpan record1 = first_track_span(learning.record1(), "record 1");
    const fb::TrackSpan record2 = first_track_span(learning.record2(), "record 2");

    const fb::RecordTracks* record3 = learning.record3();
    flatbuffers::Offset<fb::RecordSpans> record3_spans;
    if (record3 && record3->fnp2_filters() && record3->fnp2_filters()->data() &&
        record3->fnp2_filters()->np()) {
        const fb::Fnp2FiltersTrack* f = record3->fnp2_filters();
        const fb::NpTrackSpan filters(span_of(begin, *f->data()), *f->np());
        record3_spans = fb::CreateRecordSpans(builder, 0, &filters);
    } else {
        const std::vector<fb::TrackSpan> spans{first_track_span(record3, "record 3")};
        record3_spans = fb::CreateRecordSpansDirect(builder, &spans, nullptr);
    }
    return fb::CreateLearningLayerInfo(builder, &record1, &record2, record3_spans, learning.np());
}

fb::TrackSpan dummy_desc_hdr_span(const uint8_t* begin, const fb::ProgramData& data) {
    const fb::DescriptorHeader* header = data.dummy_desc_hdr();
    if (!header) throw corrupt("the dummy descriptor header is missing");
    const auto offset = reinterpret_cast<const uint8_t*>(header) - begin;
    return fb::TrackSpan(static_cast<uint32_t>(offset), 2);
}

}  // namespace vorna::program
