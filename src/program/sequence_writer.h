// Writing of one mapped sequence's program bytes from its records.
//
// SequenceWriter is the byte-writing core of the sequence serializer: it takes finished
// records, the device version, the event-generator registers, the skip-DMA entries of each
// pass and the program-info values, and produces the program bytes
//   [u32 n1][fb::ProgramInfo: n1 bytes][u32 n2][fb::ProgramData: n2 bytes].
// Asking the layer and io recorders for records, and turning recording errors into mapping
// statuses, is the job of the serializer that drives it.
#pragma once

#include <flatbuffers/flatbuffers.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "devices/hw_version.h"
#include "program/program_generated.h"
#include "program/record.h"

namespace vorna::program {

// The values of fb::ProgramInfo that do not come from the records.
struct ProgramInfoFields {
    std::string version;
    std::vector<uint32_t> input_dims;
    std::vector<uint32_t> output_dims;
    int8_t input_type = 0;
    int8_t output_type = 0;
    uint8_t output_bits = 0;
    bool activation = false;
    uint32_t conv_param_1 = 0;
    uint32_t conv_param_0 = 0;
    std::vector<int32_t> output_shift;
    std::vector<float> output_scales;
    uint8_t max_descriptors = 0;
    uint8_t input_bits = 0;
    bool input_signed = false;
    bool input_channels_first = false;
    std::vector<float> input_scales;
    std::vector<uint8_t> input_zero_points;
    bool mote_post_processing = false;
};

// The skip-DMA entries of one pass, in the order of its layers.
struct PassSkipDmas {
    std::vector<fb::SKipDmaInfoTrack> stores;
    std::vector<fb::SKipDmaInfoTrack> loads;
};

class SequenceWriter {
  public:
    SequenceWriter();
    // `records_capacity`: bytes the program data builder starts with. The bytes
    // written do not depend on it; a large enough one saves the builder's growth.
    explicit SequenceWriter(size_t records_capacity);
    SequenceWriter(const SequenceWriter&) = delete;
    SequenceWriter& operator=(const SequenceWriter&) = delete;

    // Writes the fb::DeviceVersion table into the program info; a later call replaces it.
    void serialize_version(const HwVersion& version);

    // Writes a record into the program data and returns its fb::RecordTracks offset; the
    // record is not added to any pass.
    uint32_t serialize_record(const Record& record);
    // Writes a record and adds it to the current pass.
    uint32_t add_record(const Record& record);
    // Ends the current pass (a pass without records still gets its table).
    void finalize_pass();

    // Writes the three learning records (first, second, third) and returns their offsets.
    // Throws std::runtime_error when one of them is missing.
    std::array<uint32_t, 3> serialize_learning_records(const LearnRecordsPtr& records);
    // Writes the fb::LearningRecords table from offsets given by serialize_learning_records;
    // replaces an earlier one.
    void set_learning(const hw::Ident& np, const std::array<uint32_t, 3>& records,
                      uint32_t fnp_sram_size);

    void add_epg_registers(const std::vector<fb::RegisterValue>& registers);

    // When enabled, the dummy descriptor header becomes the header of a one-word block to
    // NP 0.0.0.0, target 8, offset 0; otherwise it is left as it is (zero unless recorded).
    void record_dummy_desc_hdr(bool enabled);

    size_t pass_count() const { return passes_.size(); }
    size_t current_pass_size() const { return current_pass_.size(); }
    bool has_learning() const { return learning_ != 0; }
    uint64_t dummy_desc_hdr() const { return dummy_header_; }

    // Writes the program bytes into *out (replacing its contents). `skipdmas` holds one entry
    // per finished pass. Runs once; throws std::runtime_error without a device version, with a
    // pass-count mismatch, or when called a second time.
    void finalize(const ProgramInfoFields& fields, const std::vector<PassSkipDmas>& skipdmas,
                  std::vector<uint8_t>* out);

  private:
    flatbuffers::FlatBufferBuilder records_;
    flatbuffers::FlatBufferBuilder info_;
    bool has_version_ = false;
    flatbuffers::Offset<fb::DeviceVersion> device_version_;
    uint32_t learning_ = 0;
    std::vector<flatbuffers::Offset<fb::PassRecords>> passes_;
    std::vector<flatbuffers::Offset<fb::RecordTracks>> current_pass_;
    std::vector<fb::RegisterValue> epg_registers_;
    uint64_t dummy_header_ = 0;
    bool finalized_ = false;
};

}  // namespace vorna::program
