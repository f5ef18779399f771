// Writing helpers of the program bytes: two size-prefixed flatbuffers buffers, the program
// info (root fb::ProgramInfo) followed at once by the program data (root fb::ProgramData).
//
// Spans (fb::TrackSpan) locate word vectors of the program data: their offset counts bytes
// from the first byte of the program-data buffer, its 4-byte size prefix included, and points
// at the first element (just behind the vector's length word); their size counts words.
#pragma once

#include <flatbuffers/flatbuffers.h>

#include <cstdint>
#include <vector>

#include "backend/hw.h"
#include "corelib/dma.h"
#include "program/program_generated.h"
#include "program/record.h"

namespace vorna::program {

// The DMA target of the dummy descriptor header.
constexpr dma::Target kDummyDescriptorTarget = dma::IpRegisters;

// The two words dma::format_config_header writes for these values with the XL form off, as
// one value: first word in the low half.
uint64_t format_config_header_fb(const hw::Ident& np, dma::Target target, uint32_t size,
                                 uint16_t offset);

fb::DescriptorHeader to_descriptor_header(uint64_t words);
// The col, row and id bytes of an ident (the channel byte is dropped).
fb::NpIdent to_np_ident(const hw::Ident& ident);
// All four bytes of a skip-DMA component's ident.
fb::SkipDmaIdent to_skipdma_ident(const hw::Ident& ident);

// Whole 32-bit words taken by `bits` bits: (bits + 31) / 32.
uint32_t words_for_bits(uint64_t bits);

// Words of the data a skip-DMA store moves, from the first three dimensions of the stored
// shape and its bit width: d0 x d1 x w(bits x d2) for a layer that targets a TNP-B, else
// d1 x d2 x w(bits x d0). A plain store of a TNP-B layer and every dual-output store take the
// layer's first input shape and input bits; a plain store of any other layer takes its output
// shape and output bits. Loads move no counted words (size 0).
// Throws std::runtime_error when the count does not fit 32 bits.
uint32_t skipdma_store_words(uint32_t d0, uint32_t d1, uint32_t d2, uint32_t bits, bool tnp_b);

fb::SKipDmaInfoTrack skipdma_info(const hw::Ident& np, bool tnp_b, uint8_t skip_param,
                                  uint8_t channel, uint32_t size);

// Writes one record into the program-data builder: for each track its word vector then its
// fb::NpTrack; then, when the record has a filters track, its word vector and its
// fb::Fnp2FiltersTrack; then the vector of track tables and the fb::RecordTracks table.
flatbuffers::Offset<fb::RecordTracks> write_record(flatbuffers::FlatBufferBuilder& builder,
                                                   const Record& record);

// The span of a word vector that lies in the finished program-data buffer starting at `begin`.
fb::TrackSpan span_of(const uint8_t* begin, const flatbuffers::Vector<uint32_t>& words);

// The spans of one record of the finished program data (`tracks` always; `fnp2_filters` when
// the record has a filters track), written into the program-info builder.
flatbuffers::Offset<fb::RecordSpans> write_record_spans(flatbuffers::FlatBufferBuilder& builder,
                                                        const uint8_t* begin,
                                                        const fb::RecordTracks& record);

// The learning-layer spans: the first track of record 1 and of record 2, and for record 3 its
// filters track alone when it has one, otherwise its first track; `np` is copied.
// Throws std::runtime_error when one of these tracks is missing.
flatbuffers::Offset<fb::LearningLayerInfo> write_learning_layer_info(
    flatbuffers::FlatBufferBuilder& builder, const uint8_t* begin,
    const fb::LearningRecords& learning);

// The span of the dummy descriptor header, which lies inline in the program-data root table.
fb::TrackSpan dummy_desc_hdr_span(const uint8_t* begin, const fb::ProgramData& data);

}  // namespace vorna::program
