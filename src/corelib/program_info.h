// Reader of program bytes: [u32 n1][fb::ProgramInfo][u32 n2][fb::ProgramData].
//
// The bytes are copied and both buffers are checked with the flatbuffers Verifier before
// anything is read; bytes that do not verify are refused with
// std::invalid_argument("Invalid program."). The program-data buffer may be missing (a
// program loaded for its info only); when present, it must follow the info buffer at once
// and end the bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "program/program_generated.h"

namespace vorna {

class ProgramInfo {
  public:
    ProgramInfo(const uint8_t* data, size_t size);

    const fb::ProgramInfo& info() const { return *info_; }
    // Null when the bytes hold the program info only.
    const fb::ProgramData* data() const { return data_; }
    bool has_data() const { return data_ != nullptr; }

    // Bytes of each buffer, size prefix included (data_size() is 0 without program data).
    size_t info_size() const { return info_bytes_; }
    size_t data_size() const { return data_bytes_; }

    std::vector<uint32_t> input_dims() const;
    std::vector<uint32_t> output_dims() const;
    uint8_t input_bits() const { return info_->input_bits(); }
    bool input_signed() const { return info_->input_signed(); }
    uint8_t output_bits() const { return info_->output_bits(); }
    bool activation() const { return info_->activation(); }
    std::vector<float> output_scales() const;
    std::vector<int32_t> output_shift() const;
    bool mote_post_processing() const { return info_->mote_post_processing(); }
    size_t pass_count() const;
    uint8_t max_descriptors() const { return info_->max_descriptors(); }
    // The two words of the dummy descriptor header (first word in the low half); 0 without
    // program data.
    uint64_t dummy_desc_hdr() const;
    // The learning records, or null.
    const fb::LearningRecords* learning() const;

  private:
    // Word-aligned copies of the two buffers, so that every read is aligned.
    std::vector<uint32_t> info_storage_;
    std::vector<uint32_t> data_storage_;
    size_t info_bytes_ = 0;
    size_t data_bytes_ = 0;
    const fb::ProgramInfo* info_ = nullptr;
    const fb::ProgramData* data_ = nullptr;
};

// Memory a program needs, in bytes. A product that does not fit size_t gives
// std::invalid_argument("Invalid program.").
//
// input_memory_required: one input frame: ceil(product of input_dims x input_bits / 8), an
//   input_bits of 0 counting as 8; 0 when there are no input dims.
size_t input_memory_required(const ProgramInfo& program);
// input_descriptor_memory_required: one DMA descriptor for the input: 16.
size_t input_descriptor_memory_required(const ProgramInfo& program);
// output_memory_required: one output frame: product of output_dims x the bytes of an output
//   element: 1 up to 8 output bits, 2 up to 16, else 4; 0 when there are no output dims.
size_t output_memory_required(const ProgramInfo& program);
// program_data_memory_required: the program-data buffer, size prefix included (0 when the
//   bytes hold the program info only).
size_t program_data_memory_required(const ProgramInfo& program);
// extra_program_memory_required: 4 x the words of every FNP2 filters track, those of the
//   learning records included (0 without program data).
size_t extra_program_memory_required(const ProgramInfo& program);
// program_descriptors_memory_required: 16 bytes per descriptor: max_descriptors per pass,
//   plus one for the dummy descriptor header when it is not zero.
size_t program_descriptors_memory_required(const ProgramInfo& program);

// The most memory one input frame or one output frame of a program may take on a device, in
// bytes (input_memory_required, output_memory_required): 16 MiB, a single-channel 8-bit frame
// of 4096 x 4096, the widest input the mapping engine accepts. The dims of program bytes are
// untrusted; the device allocates every output from them.
inline constexpr size_t kMaxFrameBytes = size_t{1} << 24;

// Refuses, with std::invalid_argument naming the field and its value, input_dims or
// output_dims that no program can hold: no dimension, more than four, a dimension of 0, or
// one frame taking more than kMaxFrameBytes.
void check_frame_dims(const ProgramInfo& program);

}  // namespace vorna
