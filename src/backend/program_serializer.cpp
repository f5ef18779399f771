#include "backend/program_serializer.h"

#include <exception>
#include <stdexcept>
#include <string>
#include <utility>

#include "backend/layer_mapping_builder.h"
#include "backend/mapping_status.h"
#include "program/program_format.h"
#include "program/record.h"

namespace vorna {

namespace {

// A failed status on the layer with the message "Error: <text>.", thrown.
[[noreturn]] void throw_recording_error(const Layer& layer, const std::exception& e) {
    MappingStatus(layer, std::string("Error: ") + e.what() + ".").throw_exception();
}

Shape first_input_shape(const Layer& layer) {
    const std::vector<Shape> inputs = layer.input_dimensions();
    if (inputs.empty()) throw std::runtime_error("Cannot get input size before it is set.");
    return inputs.front();
}

// Restores a mapping's channel when it goes out of scope.
class ChannelRestorer {
  public:
    explicit ChannelRestorer(LayerMapping& mapping) : mapping_(mapping), saved_(mapping.channel) {}
    ~ChannelRestorer() { mapping_.channel = saved_; }
    ChannelRestorer(const ChannelRestorer&) = delete;
    ChannelRestorer& operator=(const ChannelRestorer&) = delete;

  private:
    LayerMapping& mapping_;
    uint8_t saved_;
};

template <class Info>
const Info& channel_record(const std::unique_ptr<Info>& record, const Layer& layer,
                           const char* what) {
    if (!record) {
        throw std::runtime_error("Layer '" + layer.get_name() + "' has a skip-DMA " + what +
                                 " component but no channel record for it.");
    }
    return *record;
}

}  // namespace

SequenceSerializer::SequenceSerializer(const LayerRecorder& layer_recorder,
                                       const IoRecorder& io_recorder)
    : layer_recorder_(layer_recorder), io_recorder_(io_recorder) {}

SequenceSerializer::SequenceSerializer(const LayerRecorder& layer_recorder,
                                       const IoRecorder& io_recorder, size_t program_size_hint)
    : layer_recorder_(layer_recorder), io_recorder_(io_recorder), writer_(program_size_hint) {}

void SequenceSerializer::serialize_version(const HwVersion& version) {
    writer_.serialize_version(version);
}

size_t SequenceSerializer::serialize_scc_program(bool first_hrc, bool flag1, bool flag2, bool flag3,
                                                 bool small_output, const Shape& input,
                                                 const Shape& output) {
    const std::unique_ptr<program::Record> record =
        io_recorder_.record_scc(first_hrc, flag1, flag2, flag3, small_output, input, output);
    if (!record) throw std::runtime_error("The input setup recording gave no record.");
    writer_.add_record(*record);
    return 1;
}

size_t SequenceSerializer::serialize_layer_program(const Layer& layer, const Layer& second_layer,
                                                   std::shared_ptr<Layer> shared_layer,
                                                   bool starts_pass, bool ends_pass,
                                                   const std::vector<hw::Ident>& idents,
                                                   bool registers_only, bool fnp_flag) {
    size_t tracks = 0;
    try {
        const std::unique_ptr<program::Record> record =
            layer_recorder_.record_layer(layer, second_layer, std::move(shared_layer), starts_pass,
                                         ends_pass, idents, registers_only, fnp_flag);
        if (!record) throw std::runtime_error("the layer recording gave no record");
        tracks = record->tracks().size();
        writer_.add_record(*record);
    } catch (const std::exception& e) {
        throw_recording_error(layer, e);
    }
    return tracks;
}

size_t SequenceSerializer::serialize_learning_layer_program(const Layer& layer, bool starts_pass) {
    program::LearnRecordsPtr records;
    std::array<uint32_t, 3> offsets{};
    try {
        records = layer_recorder_.record_learning_layer(layer, starts_pass);
        offsets = writer_.serialize_learning_records(records);
    } catch (const std::exception& e) {
        throw_recording_error(layer, e);
    }
    // An empty component list is the standard out-of-range error, not a
    // recording error.
    const hw::Ident np = layer_mapping_of(layer).nps->at(0).ident;
    writer_.set_learning(np, offsets, records.fnp_sram_size);
    return records.second->tracks().size() + records.third->tracks().size();
}

size_t SequenceSerializer::serialize_unused_nps_program(const std::shared_ptr<Layer>& layer,
                                                        const std::shared_ptr<Layer>& second_layer,
                                                        const std::vector<hw::Ident>& idents) {
    if (!layer || !second_layer) {
        throw std::invalid_argument("The unused-NP program needs both layers.");
    }
    LayerMapping& mapping = layer_mapping_of(*layer);
    const ChannelRestorer restore(mapping);
    mapping.channel = mapping.input_channel;
    return serialize_layer_program(*layer, *second_layer, layer, false, false, idents, true, false);
}

void SequenceSerializer::finalize_pass() { writer_.finalize_pass(); }

void SequenceSerializer::serialize_epg_tracks(const Layer& layer, uint8_t lowest, uint8_t highest,
                                              uint8_t count, bool last_hrc, bool multi_pass,
                                              bool flag) {
    const std::vector<RegisterWrite> writes =
        io_recorder_.record_epg(layer, lowest, highest, count, last_hrc, multi_pass, flag);
    std::vector<fb::RegisterValue> registers;
    registers.reserve(writes.size());
    for (const auto& w : writes) registers.emplace_back(w.first, w.second);
    writer_.add_epg_registers(registers);
}

void SequenceSerializer::record_dummy_desc_hdr(bool enabled) {
    writer_.record_dummy_desc_hdr(enabled);
}

void SequenceSerializer::finalize(
    const char* version, const Shape& input, const Shape& output, int8_t input_type,
    int8_t output_type, uint8_t output_bits, bool activation, uint32_t conv_param_1,
    uint32_t conv_param_0, const std::vector<int32_t>& output_shift,
    const std::vector<float>& output_scales, uint8_t max_descriptors, std::vector<uint8_t>* out,
    const std::vector<std::shared_ptr<Sequence::Pass>>& passes, uint8_t input_bits,
    bool input_signed, bool input_channels_first, const std::vector<float>& input_scales,
    const std::vector<uint8_t>& input_zero_points, bool mote_post_processing) {
    program::ProgramInfoFields fields;
    fields.version = version ? version : "";
    fields.input_dims = input.to_vector();
    fields.output_dims = output.to_vector();
    fields.input_type = input_type;
    fields.output_type = output_type;
    fields.output_bits = output_bits;
    fields.activation = activation;
    fields.conv_param_1 = conv_param_1;
    fields.conv_param_0 = conv_param_0;
    fields.output_shift = output_shift;
    fields.output_scales = output_scales;
    fields.max_descriptors = max_descriptors;
    fields.input_bits = input_bits;
    fields.input_signed = input_signed;
    fields.input_channels_first = input_channels_first;
    fields.input_scales = input_scales;
    fields.input_zero_points = input_zero_points;
    fields.mote_post_processing = mote_post_processing;

    std::vector<program::PassSkipDmas> skipdmas;
    skipdmas.reserve(passes.size());
    for (const auto& pass : passes) {
        if (!pass) throw std::invalid_argument("A null pass was given to the serializer.");
        skipdmas.push_back(pass_skipdma_entries(*pass));
    }
    writer_.finalize(fields, skipdmas, out);
}

program::PassSkipDmas pass_skipdma_entries(const Sequence::Pass& pass) {
    program::PassSkipDmas entries;
    for (const auto& layer : pass.layers) {
        if (!layer) throw std::invalid_argument("A pass holds a null layer.");
        const LayerMapping& mapping = layer_mapping_of(*layer);
        const bool tnp_b = layer->is_target_component(TargetComponent::TNP_B);

        if (const hw::Component* store = mapping.skipdma_store()) {
            const auto& record = channel_record(mapping.skipdma_store_channel, *layer, "store");
            uint32_t size;
            if (tnp_b) {
                const Shape in = first_input_shape(*layer);
                size = program::skipdma_store_words(in[0], in[1], in[2], layer->input_bits(), true);
            } else {
                const Shape out = layer->output_dimensions();
                size = program::skipdma_store_words(out[0], out[1], out[2], layer->output_bits(),
                                                    false);
            }
            entries.stores.push_back(program::skipdma_info(store->ident, tnp_b, record.skip_param,
                                                           record.channel, size));
        }
        if (const hw::Component* dual = mapping.skipdma_store_dual_output()) {
            const auto& record = channel_record(mapping.skipdma_store_dual_output_channel, *layer,
                                                "dual-output store");
            const Shape in = first_input_shape(*layer);
            const uint32_t size =
                program::skipdma_store_words(in[0], in[1], in[2], layer->input_bits(), tnp_b);
            entries.stores.push_back(
                program::skipdma_info(dual->ident, false, record.skip_param, record.channel, size));
        }
        if (const hw::Component* load = mapping.skipdma_load()) {
            const auto& record = channel_record(mapping.skipdma_load_channel, *layer, "load");
            entries.loads.push_back(
                program::skipdma_info(load->ident, tnp_b, record.skip_param, record.channel, 0));
        }
    }
    return entries;
}

}  // namespace vorna
