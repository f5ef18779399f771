// Program bytes for the emulated device's tests.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "corelib/dma.h"
#include "program/record.h"
#include "program/sequence_writer.h"

namespace vorna::testing {

inline program::ProgramInfoFields emu_fields(std::vector<uint32_t> in, std::vector<uint32_t> out,
                                             uint8_t bits, bool activation) {
    program::ProgramInfoFields f;
    f.version = "test";
    f.input_dims = std::move(in);
    f.output_dims = std::move(out);
    f.output_bits = bits;
    f.activation = activation;
    f.input_bits = 8;
    f.max_descriptors = 1;
    return f;
}

// One pass with one record; with `learning`, learning records whose third record holds either
// FNP2 filters `filters` or (when empty) one track of `track_words`.
inline std::vector<uint8_t> emu_program(const program::ProgramInfoFields& fields,
                                        bool learning = false,
                                        const std::vector<uint32_t>& filters = {},
                                        const std::vector<uint32_t>& track_words = {}) {
    const HwVersion version{0xBC, 0xA1, 3, 9};
    program::SequenceWriter writer;
    writer.serialize_version(version);
    auto record = program::new_record(version);
    record->add_np_track(hw::Ident{2, 1, 0, 0}, dma::NpRegisters, 0, {1, 2, 3}, true, false);
    writer.add_record(*record);
    writer.finalize_pass();
    if (learning) {
        program::LearnRecordsPtr learn;
        learn.first = program::new_record(version);
        learn.first->add_np_track(hw::Ident{4, 1, 0, 0}, dma::NpRegisters, 0, {7}, true, false);
        learn.second = program::new_record(version);
        learn.second->add_np_track(hw::Ident{4, 1, 0, 0}, dma::NpRegisters, 0, {8}, true, false);
        learn.third = program::new_record(version);
        if (!filters.empty()) {
            learn.third->add_fnp2_filters_track(hw::Ident{4, 1, 1, 0}, filters);
        } else {
            learn.third->add_np_track(hw::Ident{4, 1, 0, 0}, dma::NpRegisters, 0, track_words, true,
                                      false);
        }
        const auto offsets = writer.serialize_learning_records(learn);
        writer.set_learning(hw::Ident{4, 1, 0, 0}, offsets, 64);
    }
    std::vector<uint8_t> out;
    writer.finalize(fields, std::vector<program::PassSkipDmas>(1), &out);
    return out;
}

}  // namespace vorna::testing
