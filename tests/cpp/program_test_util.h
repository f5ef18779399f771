// Small programs written with SequenceWriter, for the program-format and reader tests.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "corelib/dma.h"
#include "program/record.h"
#include "program/sequence_writer.h"

namespace vorna::testing {

inline const HwVersion kProgramVersion{0xBC, 0xA2, 1, 0};

inline std::vector<uint32_t> words(size_t n, uint32_t first) {
    std::vector<uint32_t> w(n);
    for (size_t i = 0; i < n; ++i) w[i] = first + static_cast<uint32_t>(i);
    return w;
}

// A record with `tracks` one-block tracks of `n` words each.
inline std::unique_ptr<program::Record> record_with(size_t tracks, size_t n, uint32_t first) {
    auto record = program::new_record(kProgramVersion);
    for (size_t t = 0; t < tracks; ++t) {
        record->add_np_track(hw::Ident{1, 1, static_cast<uint8_t>(t % 4), 0}, dma::NpRegisters, 0,
                             words(n, first + 1000 * static_cast<uint32_t>(t)), true, false);
    }
    return record;
}

inline program::ProgramInfoFields sample_fields() {
    program::ProgramInfoFields f;
    f.version = "1.2.3";
    f.input_dims = {10, 12, 3};
    f.output_dims = {5, 6, 16};
    f.output_bits = 4;
    f.max_descriptors = 4;
    f.input_bits = 8;
    f.input_signed = true;
    return f;
}

// One pass: an input setup record (1 track), a layer record whose first block needs the XL
// header (an empty track, then the XL track) and an empty filters track, and a record with a
// filters track of 5 words and two tracks.
inline std::vector<uint8_t> one_pass_program(program::ProgramInfoFields fields = sample_fields()) {
    program::SequenceWriter writer;
    writer.serialize_version(kProgramVersion);
    writer.add_record(*record_with(1, 6, 100));
    auto layer = program::new_record(kProgramVersion);
    layer->add_np_track(hw::Ident{2, 1, 0, 0}, dma::CnpWeights, 0, words(256, 7), true, true);
    layer->add_fnp2_filters_track(hw::Ident{2, 1, 1, 0}, {});
    writer.add_record(*layer);
    auto filters = record_with(2, 3, 500);
    filters->add_fnp2_filters_track(hw::Ident{3, 1, 2, 9}, words(5, 900));
    writer.add_record(*filters);
    writer.finalize_pass();
    std::vector<uint8_t> out;
    writer.finalize(fields, std::vector<program::PassSkipDmas>(1), &out);
    return out;
}

}  // namespace vorna::testing
