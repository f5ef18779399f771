#include "program/sequence_writer.h"

#include <algorithm>
#include <stdexcept>
#include <string>

#include "program/program_format.h"

namespace vorna::program {

namespace {
// Both builders start with the library's default size; defaults are not forced.
constexpr size_t kInitialBuilderSize = 1024;
}  // namespace

SequenceWriter::SequenceWriter() : records_(kInitialBuilderSize), info_(kInitialBuilderSize) {}

SequenceWriter::SequenceWriter(size_t records_capacity)
    : records_(std::max(records_capacity, kInitialBuilderSize)), info_(kInitialBuilderSize) {}

void SequenceWriter::serialize_version(const HwVersion& version) {
    device_version_ = fb::CreateDeviceVersion(info_, version.vendor_id, version.product_id,
                                              version.major_rev, version.minor_rev);
    has_version_ = true;
}

uint32_t SequenceWriter::serialize_record(const Record& record) {
    return write_record(records_, record).o;
}

uint32_t SequenceWriter::add_record(const Record& record) {
    const uint32_t offset = serialize_record(record);
    current_pass_.emplace_back(offset);
    return offset;
}

void SequenceWriter::finalize_pass() {
    auto records = records_.CreateVector(current_pass_);
    passes_.push_back(fb::CreatePassRecords(records_, records));
    current_pass_.clear();
}

std::array<uint32_t, 3> SequenceWriter::serialize_learning_records(const LearnRecordsPtr& records) {
    if (!records.first || !records.second || !records.third) {
        throw std::runtime_error("The learning recording is missing a record.");
    }
    const uint32_t first = serialize_record(*records.first);
    const uint32_t second = serialize_record(*records.second);
    const uint32_t third = serialize_record(*records.third);
    return {first, second, third};
}

void SequenceWriter::set_learning(const hw::Ident& np, const std::array<uint32_t, 3>& records,
                                  uint32_t fnp_sram_size) {
    const fb::NpIdent ident = to_np_ident(np);
    learning_ = fb::CreateLearningRecords(
                    records_, &ident, flatbuffers::Offset<fb::RecordTracks>(records[0]),
                    flatbuffers::Offset<fb::RecordTracks>(records[1]),
                    flatbuffers::Offset<fb::RecordTracks>(records[2]), fnp_sram_size)
                    .o;
}

void SequenceWriter::add_epg_registers(const std::vector<fb::RegisterValue>& registers) {
    epg_registers_.insert(epg_registers_.end(), registers.begin(), registers.end());
}

void SequenceWriter::record_dummy_desc_hdr(bool enabled) {
    if (enabled)
        dummy_header_ =
            format_config_header_fb(hw::Ident{0, 0, 0, 0}, kDummyDescriptorTarget, 1, 0);
}

void SequenceWriter::finalize(const ProgramInfoFields& fields,
                              const std::vector<PassSkipDmas>& skipdmas,
                              std::vector<uint8_t>* out) {
    if (!out) throw std::invalid_argument("No output for the program bytes.");
    if (finalized_) throw std::runtime_error("The program bytes are already written.");
    if (!has_version_) {
        throw std::runtime_error("The device version must be serialized before the program.");
    }
    if (skipdmas.size() != passes_.size()) {
        throw std::runtime_error("The program has " + std::to_string(passes_.size()) +
                                 " passes but " + std::to_string(skipdmas.size()) +
                                 " were described.");
    }
    finalized_ = true;

    // 1. The program data.
    auto pass_vector = records_.CreateVector(passes_);
    const fb::DescriptorHeader header = to_descriptor_header(dummy_header_);
    auto root = fb::CreateProgramData(records_, pass_vector,
                                      flatbuffers::Offset<fb::LearningRecords>(learning_), &header);
    records_.FinishSizePrefixed(root);
    const flatbuffers::DetachedBuffer data = records_.Release();
    const uint8_t* begin = data.data();
    const fb::ProgramData* program_data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(begin);

    // 2. The spans of each pass, read back from the finished program data.
    std::vector<flatbuffers::Offset<fb::PassSpans>> pass_spans;
    const auto* passes = program_data->passes();
    for (size_t i = 0; i < passes->size(); ++i) {
        std::vector<flatbuffers::Offset<fb::RecordSpans>> records;
        for (const fb::RecordTracks* record : *passes->Get(i)->records()) {
            records.push_back(write_record_spans(info_, begin, *record));
        }
        const PassSkipDmas& skip = skipdmas[i];
        pass_spans.push_back(fb::CreatePassSpansDirect(info_, &records,
                                                       skip.stores.empty() ? nullptr : &skip.stores,
                                                       skip.loads.empty() ? nullptr : &skip.loads));
    }

    // 3. The learning spans.
    flatbuffers::Offset<fb::LearningLayerInfo> learning_info = 0;
    if (const fb::LearningRecords* learning = program_data->learning()) {
        learning_info = write_learning_layer_info(info_, begin, *learning);
    }

    // 4. The dummy descriptor header span.
    const fb::TrackSpan dummy_span = dummy_desc_hdr_span(begin, *program_data);

    // 5. The program info.
    auto info = fb::CreateProgramInfoDirect(
        info_, fields.version.c_str(), device_version_, &fields.input_dims, &fields.output_dims,
        static_cast<fb::IoType>(fields.input_type), static_cast<fb::IoType>(fields.output_type),
        fields.output_bits, fields.activation, fields.conv_param_1, fields.conv_param_0,
        &fields.output_shift, &fields.output_scales, fields.max_descriptors,
        epg_registers_.empty() ? nullptr : &epg_registers_, &pass_spans, learning_info, &dummy_span,
        fields.input_bits, fields.input_signed, fields.input_channels_first, &fields.input_scales,
        &fields.input_zero_points, fields.mote_post_processing);
    info_.FinishSizePrefixed(info);

    // 6. Program info, then program data.
    const uint8_t* info_bytes = info_.GetBufferPointer();
    out->clear();
    out->reserve(info_.GetSize() + data.size());
    out->insert(out->end(), info_bytes, info_bytes + info_.GetSize());
    out->insert(out->end(), data.data(), data.data() + data.size());
}

}  // namespace vorna::program
