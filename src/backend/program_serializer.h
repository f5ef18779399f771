#pragma once

// SequenceSerializer drives the writing of one sequence's program bytes: it
// asks the IP version's layer and input/output recorders for records and
// hands them, with the program's input and output formats and the skip-DMA
// entries of each pass, to the program writer.
//
// Track counts are returned unclipped (a record of 256 tracks counts 256), so
// that the descriptor budget is checked against the true count.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "backend/hw.h"
#include "backend/interfaces.h"
#include "corelib/layer.h"
#include "corelib/sequence.h"
#include "corelib/types.h"
#include "devices/hw_version.h"
#include "program/sequence_writer.h"

namespace vorna {

class SequenceSerializer {
  public:
    SequenceSerializer(const LayerRecorder& layer_recorder, const IoRecorder& io_recorder);
    // `program_size_hint`: an estimate of the program data's bytes, which the
    // writer's builder starts with (see program::SequenceWriter).
    SequenceSerializer(const LayerRecorder& layer_recorder, const IoRecorder& io_recorder,
                       size_t program_size_hint);

    void serialize_version(const HwVersion& version);

    // Records the input setup into the current pass; counts 1 descriptor
    // whatever its track count.
    size_t serialize_scc_program(bool first_hrc, bool flag1, bool flag2, bool flag3,
                                 bool small_output, const Shape& input, const Shape& output);

    // Records one layer into the current pass and returns its track count
    // (the filters track is not counted). A standard exception of the
    // recording or the writing is rethrown as a runtime error carrying the
    // status "Cannot map layer '<name>'. Error: <text>."; nothing is added to
    // the pass then.
    size_t serialize_layer_program(const Layer& layer, const Layer& second_layer,
                                   std::shared_ptr<Layer> shared_layer, bool starts_pass,
                                   bool ends_pass, const std::vector<hw::Ident>& idents,
                                   bool registers_only, bool fnp_flag);

    // Records a learning layer into the learning table (not into the pass) and
    // returns the track count of its second and third records.
    size_t serialize_learning_layer_program(const Layer& layer, bool starts_pass);

    // Records `layer` once more, registers only, leaving out the NPs listed in
    // `idents`, with its channel temporarily set to its input channel; the
    // channel is restored whatever happens.
    size_t serialize_unused_nps_program(const std::shared_ptr<Layer>& layer,
                                        const std::shared_ptr<Layer>& second_layer,
                                        const std::vector<hw::Ident>& idents);

    void finalize_pass();

    void serialize_epg_tracks(const Layer& layer, uint8_t lowest, uint8_t highest, uint8_t count,
                              bool last_hrc, bool multi_pass, bool flag);

    void record_dummy_desc_hdr(bool enabled);

    // Writes the program bytes into *out. `passes` are the sequence's passes,
    // one per finished pass; their layers' mappings give the skip-DMA entries.
    void finalize(const char* version, const Shape& input, const Shape& output, int8_t input_type,
                  int8_t output_type, uint8_t output_bits, bool activation, uint32_t conv_param_1,
                  uint32_t conv_param_0, const std::vector<int32_t>& output_shift,
                  const std::vector<float>& output_scales, uint8_t max_descriptors,
                  std::vector<uint8_t>* out,
                  const std::vector<std::shared_ptr<Sequence::Pass>>& passes, uint8_t input_bits,
                  bool input_signed, bool input_channels_first,
                  const std::vector<float>& input_scales,
                  const std::vector<uint8_t>& input_zero_points, bool mote_post_processing);

  private:
    const LayerRecorder& layer_recorder_;
    const IoRecorder& io_recorder_;
    program::SequenceWriter writer_;
};

// The skip-DMA entries of one pass: for each layer, its plain store, then its
// dual-output store, into the stores; its first load into the loads.
program::PassSkipDmas pass_skipdma_entries(const Sequence::Pass& pass);

}  // namespace vorna
