// Whole models mapped onto a virtual v2 device whose mesh is the one the
// emulated v2 preset decodes to (28 NPs, skip DMAs on columns 1 and 2, an HRC
// with a look-up table), through HardwareBackend::map and Model::map. Each
// program is checked byte for byte against what the kinds' own recorders
// produce for the mapping the engine chose.

#include <flatbuffers/flatbuffers.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/fnp_padding.h"
#include "backend/graph_utils.h"
#include "backend/hardware_backend.h"
#include "backend/hardware_pass.h"
#include "backend/hardware_sequence.h"
#include "backend/hw.h"
#include "backend/layer_mapping.h"
#include "backend/layer_mapping_builder.h"
#include "backend/map_constraints.h"
#include "backend/v2/buffer_temp_conv.h"
#include "backend/v2/cnp_recorders.h"
#include "backend/v2/dense1d_program.h"
#include "backend/v2/dw_buffer_temp_conv.h"
#include "backend/v2/input_conv2d_program.h"
#include "corelib/dma.h"
#include "corelib/emulation.h"
#include "corelib/hardware_device.h"
#include "corelib/model.h"
#include "corelib/program_info.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "program/program_generated.h"
#include "program/record.h"

namespace vorna {
namespace {

using P = std::map<std::string, int>;
using LayerPtr = std::shared_ptr<Layer>;

// The mesh the emulated v2 preset decodes to.
const Mesh& preset_v2_mesh() {
    static const std::unique_ptr<Mesh> mesh = [] {
        auto driver = emu::make_driver(emu::parse_driver_spec("v2"));
        auto device = HardwareDevice::create(driver.get());
        auto m = Mesh::discover(device.get());
        return m;
    }();
    return *mesh;
}

std::shared_ptr<Device> v2_device() { return make_virtual_device(Selvo_v2, preset_v2_mesh()); }

// ---------------------------------------------------------------------------
// Model building

class ModelBuilder {
  public:
    ModelBuilder() : model_(Model::create()) {}

    LayerPtr add(LayerType type, const std::string& name, const P& params,
                 const std::vector<LayerPtr>& inbound = {}) {
        auto lp = LayerParams::create(type, params);
        auto layer = Layer::create(lp.get(), name);
        model_->add(layer, inbound);
        fill_variables(*layer);
        return layer;
    }
    LayerPtr input(uint32_t x, uint32_t y, uint32_t c, int bits = 8) {
        return add(LayerType::InputData, "input",
                   {{"input_width", int(x)},
                    {"input_height", int(y)},
                    {"input_channels", int(c)},
                    {"input_bits", bits}});
    }
    std::unique_ptr<Model> take() { return std::move(model_); }
    Model& model() { return *model_; }

  private:
    // Weights get a deterministic pattern inside the kind's signed range so
    // that every NP's image differs; the other variables keep their values.
    void fill_variables(Layer& layer) {
        Variables* vars = layer.variables();
        if (!vars->has("weights")) return;
        auto dense = std::dynamic_pointer_cast<Dense>(vars->get("weights"));
        ASSERT_NE(dense, nullptr);
        const int bits = layer.params()->get_or("weights_bits", 8);
        const int span = bits == 4 ? 16 : 256;
        const int low = bits == 4 ? -8 : -128;
        int8_t* w = dense->data<int8_t>();
        for (size_t i = 0; i < dense->size(); ++i) {
            w[i] = static_cast<int8_t>(low + int((i * 37 + seed_ * 11 + 5) % span));
        }
        ++seed_;
    }

    std::unique_ptr<Model> model_;
    int seed_ = 1;
};

using ModelFactory = std::function<std::unique_ptr<Model>()>;

// ---------------------------------------------------------------------------
// Program bytes

uint32_t read_u32(const uint8_t* p) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}

// Checks both size prefixes, verifies both buffers and that every span of the
// info buffer resolves to the words it names in the data buffer.
void verify_program(const HardwareSequence& seq) {
    const ByteView bytes = seq.program();
    ASSERT_GE(bytes.size, 8u);
    const uint32_t n1 = read_u32(bytes.data);
    ASSERT_LE(size_t{n1} + 8, bytes.size);
    const uint32_t n2 = read_u32(bytes.data + 4 + n1);
    ASSERT_EQ(size_t{n1} + 4 + size_t{n2} + 4, bytes.size) << "size prefixes";

    const Sequence::ProgramParts parts = seq.program_parts();
    EXPECT_EQ(parts.program_info.data, bytes.data);
    EXPECT_EQ(parts.program_info.size, size_t{n1} + 4);
    EXPECT_EQ(parts.program_data.data, bytes.data + n1 + 4);
    EXPECT_EQ(parts.program_info.size + parts.program_data.size, bytes.size);

    // Aligned copies for the verifier.
    std::vector<uint32_t> info_words((n1 + 4 + 3) / 4), data_words((n2 + 4 + 3) / 4);
    std::memcpy(info_words.data(), bytes.data, n1 + 4);
    std::memcpy(data_words.data(), bytes.data + n1 + 4, n2 + 4);
    const auto* info_begin = reinterpret_cast<const uint8_t*>(info_words.data());
    const auto* data_begin = reinterpret_cast<const uint8_t*>(data_words.data());
    flatbuffers::Verifier vi(info_begin, n1 + 4);
    ASSERT_TRUE(vi.VerifySizePrefixedBuffer<fb::ProgramInfo>(nullptr));
    flatbuffers::Verifier vd(data_begin, n2 + 4);
    ASSERT_TRUE(vd.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr));
    const auto* info = flatbuffers::GetSizePrefixedRoot<fb::ProgramInfo>(info_begin);
    const auto* data = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(data_begin);

    auto resolves = [&](const fb::TrackSpan& span, const flatbuffers::Vector<uint32_t>* words) {
        ASSERT_NE(words, nullptr);
        EXPECT_EQ(span.offset() % 4, 0u);
        EXPECT_EQ(span.size(), words->size());
        EXPECT_LE(size_t{span.offset()} + 4 * size_t{span.size()}, size_t{n2} + 4);
        EXPECT_EQ(data_begin + span.offset(), reinterpret_cast<const uint8_t*>(words->Data()));
    };
    ASSERT_NE(info->passes(), nullptr);
    ASSERT_NE(data->passes(), nullptr);
    ASSERT_EQ(info->passes()->size(), data->passes()->size());
    ASSERT_EQ(info->passes()->size(), seq.passes().size());
    for (flatbuffers::uoffset_t p = 0; p < info->passes()->size(); ++p) {
        const auto* spans = info->passes()->Get(p)->records();
        const auto* records = data->passes()->Get(p)->records();
        ASSERT_EQ(spans->size(), records->size());
        for (flatbuffers::uoffset_t r = 0; r < spans->size(); ++r) {
            const auto* tspans = spans->Get(r)->tracks();
            const auto* tracks = records->Get(r)->tracks();
            ASSERT_EQ(tspans->size(), tracks->size());
            for (flatbuffers::uoffset_t t = 0; t < tspans->size(); ++t) {
                resolves(*tspans->Get(t), tracks->Get(t)->data());
            }
            const fb::NpTrackSpan* fspan = spans->Get(r)->fnp2_filters();
            const fb::Fnp2FiltersTrack* ftrack = records->Get(r)->fnp2_filters();
            ASSERT_EQ(fspan == nullptr, ftrack == nullptr);
            if (fspan) {
                resolves(fspan->span(), ftrack->data());
                EXPECT_EQ(fspan->np().col(), ftrack->np()->col());
                EXPECT_EQ(fspan->np().row(), ftrack->np()->row());
                EXPECT_EQ(fspan->np().id(), ftrack->np()->id());
            }
        }
    }
    ASSERT_NE(info->dummy_desc_hdr(), nullptr);
    ASSERT_NE(data->dummy_desc_hdr(), nullptr);
    EXPECT_EQ(info->dummy_desc_hdr()->size(), 2u);
    EXPECT_EQ(data_begin + info->dummy_desc_hdr()->offset(),
              reinterpret_cast<const uint8_t*>(data->dummy_desc_hdr()));
    ASSERT_NE(info->device_version(), nullptr);
    EXPECT_EQ(info->device_version()->product_id(), 0xA2);
}

// The words of one record in the program data.
struct StoredRecord {
    std::vector<std::vector<uint32_t>> tracks;
    bool has_filters = false;
    hw::Ident filters_np;
    std::vector<uint32_t> filters;
};

std::vector<std::vector<StoredRecord>> stored_records(const HardwareSequence& seq) {
    const ProgramInfo reader(seq.program().data, seq.program().size);
    std::vector<std::vector<StoredRecord>> out;
    const fb::ProgramData* data = reader.data();
    if (!data) return out;
    for (const auto* pass : *data->passes()) {
        std::vector<StoredRecord> records;
        for (const auto* rec : *pass->records()) {
            StoredRecord r;
            for (const auto* track : *rec->tracks()) {
                r.tracks.emplace_back(track->data()->begin(), track->data()->end());
            }
            if (rec->fnp2_filters()) {
                r.has_filters = true;
                const auto* np = rec->fnp2_filters()->np();
                r.filters_np = hw::Ident{np->col(), np->row(), np->id(), 0};
                r.filters.assign(rec->fnp2_filters()->data()->begin(),
                                 rec->fnp2_filters()->data()->end());
            }
            records.push_back(std::move(r));
        }
        out.push_back(std::move(records));
    }
    return out;
}

StoredRecord as_stored(const program::Record& record) {
    StoredRecord r;
    for (const auto& t : record.tracks()) r.tracks.push_back(t.data());
    if (record.fnp2_filters()) {
        r.has_filters = true;
        r.filters_np = record.fnp2_filters()->np;
        r.filters_np.channel = 0;
        r.filters = record.fnp2_filters()->data;
    }
    return r;
}

// One DMA block of a track, as its header describes it.
struct Block {
    hw::Ident np;
    uint32_t target = 0;
    uint32_t offset = 0;
    size_t size = 0;
    std::vector<uint32_t> payload;
};

std::vector<Block> blocks_of(const StoredRecord& record) {
    std::vector<Block> out;
    for (const auto& data : record.tracks) {
        size_t pos = 0;
        while (pos + 2 <= data.size()) {
            Block b;
            b.np = hw::Ident{static_cast<uint8_t>(dma::HDR0_COL.get(data[pos])),
                             static_cast<uint8_t>(dma::HDR0_ROW.get(data[pos])),
                             static_cast<uint8_t>(dma::HDR0_ID.get(data[pos])), 0};
            b.target = dma::HDR0_TARGET.get(data[pos]);
            b.offset = dma::HDR1_OFFSET.get(data[pos + 1]);
            b.size = dma::HDR0_XL.get(data[pos]) ? 16 * dma::HDR1_XL_SIZE.get(data[pos + 1])
                                                 : dma::HDR0_SIZE.get(data[pos]);
            if (pos + 2 + b.size <= data.size()) {
                b.payload.assign(data.begin() + std::ptrdiff_t(pos + 2),
                                 data.begin() + std::ptrdiff_t(pos + 2 + b.size));
            }
            pos += 2 + b.size;
            out.push_back(b);
        }
        EXPECT_EQ(pos, data.size()) << "a track ends inside a block";
    }
    return out;
}

bool has_block(const std::vector<Block>& blocks, const hw::Ident& np, std::set<uint32_t> targets) {
    for (const Block& b : blocks) {
        if (b.np.col == np.col && b.np.row == np.row && b.np.id == np.id &&
            targets.count(b.target) && b.size > 0) {
            return true;
        }
    }
    return false;
}

bool targets(const Layer& layer, TargetComponent t) { return layer.is_target_component(t); }

// What the sequence builder tells a layer about its successor in the pass.
bool fnp_flag_of(const Layer& layer, const LayerPtr& next) {
    if (layer.output_format() != 2 || !next) return false;
    if (targets(*next, TargetComponent::TNP_B)) return true;
    return targets(layer, TargetComponent::CNP) && targets(*next, TargetComponent::FNP) &&
           (layer.output_bits() == 4 || v2::get_fnp_supported_padding(*next, false) == 2);
}

// The record the layer's own recorder gives for its place in the sequence.
std::unique_ptr<program::Record> kind_record(
    const Device& device, const HardwareConstraints& constraints, const Layer& layer,
    const Layer& first, const LayerPtr& next_first, bool starts, bool ends, bool last_flag,
    const std::vector<hw::Ident>& none = {}, bool regs_only = false) {
    switch (layer.params()->layer_type()) {
        case LayerType::Conv2D:
            return v2::record_program_conv2d_layer(device, layer, next_first, starts, ends, none,
                                                   regs_only, last_flag);
        case LayerType::Conv2DTranspose:
            return v2::record_program_transposed_conv2d_layer(device, layer, next_first, starts,
                                                              ends, none, regs_only, last_flag);
        case LayerType::DepthwiseConv2D:
            return v2::record_program_dwconv2d_layer(device, layer, next_first, starts, ends, none,
                                                     regs_only, last_flag);
        case LayerType::DepthwiseConv2DTranspose:
            return v2::record_program_transposed_dwconv2d_layer(device, layer, next_first, starts,
                                                                ends, none, regs_only, last_flag);
        case LayerType::BufferTempConv:
            return v2::record_program_buffer_temp_conv_layer(device, layer, next_first, starts,
                                                             ends, none, regs_only, last_flag);
        case LayerType::DepthwiseBufferTempConv:
            return v2::record_program_depthwise_buffer_temp_conv_layer(
                device, layer, next_first, starts, ends, none, regs_only, last_flag);
        case LayerType::Dense1D:
            return v2::record_program_dense1d_layer(device, constraints, layer, first, next_first,
                                                    starts, ends, none, regs_only);
        case LayerType::InputConv2D:
            return v2::record_program_input_conv2d_layer(device, layer);
        default:
            return program::new_record(device.version());
    }
}

bool is_np_type(hw::Type t) {
    return t == hw::Type::CNP1 || t == hw::Type::CNP2 || t == hw::Type::FNP2 ||
           t == hw::Type::FNP3 || t == hw::Type::TNP_B;
}

// The blocks each component of the layer must find in its record.
void expect_component_blocks(const Layer& layer, const StoredRecord& record) {
    const auto blocks = blocks_of(record);
    const LayerMapping& m = layer_mapping_of(layer);
    const std::string name = layer.get_name();
    for (const hw::Component& c : *m.nps) {
        SCOPED_TRACE(name + " on " + std::to_string(c.ident.col) + "." +
                     std::to_string(c.ident.row) + "." + std::to_string(c.ident.id));
        if (c.type == hw::Type::HRC) {
            EXPECT_TRUE(has_block(blocks, c.ident, {dma::IpRegisters}));
            EXPECT_TRUE(has_block(blocks, c.ident, {dma::HrcSram}));
            continue;
        }
        if (!is_np_type(c.type)) continue;
        EXPECT_TRUE(has_block(blocks, c.ident, {dma::NpRegisters})) << "registers";
        if (c.type == hw::Type::FNP3) {
            EXPECT_TRUE(has_block(blocks, c.ident, {dma::FnpRam})) << "FNP RAM";
            EXPECT_TRUE(has_block(blocks, c.ident, {dma::InputShift})) << "input shift";
        } else if (c.type == hw::Type::FNP2) {
            EXPECT_TRUE(has_block(blocks, c.ident, {dma::InputShift})) << "input shift";
            ASSERT_TRUE(record.has_filters);
            EXPECT_EQ(record.filters_np.col, c.ident.col);
            EXPECT_EQ(record.filters_np.id, c.ident.id);
            EXPECT_FALSE(record.filters.empty());
        } else {
            EXPECT_TRUE(has_block(blocks, c.ident, {dma::CnpWeights, dma::CnpWeightsAlt}))
                << "weights";
            EXPECT_TRUE(has_block(blocks, c.ident, {dma::NeuronVariables})) << "variables";
            EXPECT_TRUE(has_block(blocks, c.ident, {dma::InputShift})) << "input shift";
        }
    }
}

// Every record of the program against the recorders: the input setup record,
// then one record per layer of each pass, then an unused-NP record closing
// every pass but the last.
void expect_records_match(const HardwareSequence& seq) {
    const auto stored = stored_records(seq);
    const auto& passes = seq.passes();
    ASSERT_EQ(stored.size(), passes.size());
    const LayerList& L = seq.layers();
    const LayerPtr F1 = first_mappable_layer(passes.front()->layers);
    // Descriptors per pass: 1 for the input setup, each record's tracks, and
    // in multi-pass programs 4, 4 and 1 for a layer's skip-DMA store, dual
    // store and load; the program keeps the largest count plus one.
    size_t max_t = 0;
    for (size_t i = 0; i < passes.size(); ++i) {
        size_t t = i == 0 ? 1 : 0;
        for (size_t r = i == 0 ? 1 : 0; r < stored[i].size(); ++r) t += stored[i][r].tracks.size();
        if (passes.size() > 1) {
            for (const auto& l : passes[i]->layers) {
                const LayerMapping& lm = layer_mapping_of(*l);
                if (lm.skipdma_store_channel) t += 4;
                if (lm.skipdma_store_dual_output_channel) t += 4;
                if (lm.skipdma_load_channel) t += 1;
            }
        }
        max_t = std::max(max_t, t);
    }
    const ProgramInfo reader(seq.program().data, seq.program().size);
    EXPECT_EQ(size_t{reader.max_descriptors()}, max_t + 1);
    ASSERT_NE(reader.info().epg_registers(), nullptr);
    EXPECT_EQ(reader.info().epg_registers()->size(), 6u);
    EXPECT_EQ(reader.dummy_desc_hdr(), passes.size() > 1 ? uint64_t{0x01800000} : 0u);

    // The event generator's column range: over the first mappable layer of
    // every pass, its NP columns (an HRC layer: those of the layer it feeds,
    // or 0..0 when it is also the last mappable layer; a lone HRC: 1..1).
    const bool last_hrc = targets(*last_mappable_layer(L), TargetComponent::HRC);
    uint32_t lowest = 255, highest = 0;
    for (size_t i = 0; i < passes.size(); ++i) {
        const LayerPtr f = first_mappable_layer(passes[i]->layers);
        std::shared_ptr<std::vector<hw::Component>> nps = layer_mapping_of(*f).nps;
        uint32_t lo = 255, hi = 0;
        if (targets(*f, TargetComponent::HRC) && i == 0 && last_hrc) {
            lo = hi = 0;
        } else {
            if (targets(*f, TargetComponent::HRC))
                nps = layer_mapping_of(*f->outbound_layers().at(0)).nps;
            if (nps->size() == 1 && (*nps)[0].type == hw::Type::HRC) {
                lo = hi = 1;
            } else {
                for (const hw::Component& c : *nps) {
                    lo = std::min<uint32_t>(lo, c.ident.col);
                    hi = std::max<uint32_t>(hi, c.ident.col);
                }
            }
        }
        lowest = std::min(lowest, lo);
        highest = std::max(highest, hi);
    }
    const auto* epg = reader.info().epg_registers();
    const LayerPtr F = first_mappable_layer(L);
    const uint32_t epg_mode =
        0x21200u | (targets(*F, TargetComponent::FNP) ? 2u : 0u) | (last_hrc ? 1u << 16 : 0u);
    const std::vector<std::pair<uint32_t, uint32_t>> epg_want{
        {0x00, epg_mode}, {0x0C, 0x10},       {0x10, highest << 24 | lowest << 16 | 1u},
        {0x14, 0x100},    {0x18, 0x01FE0001}, {0x1C, 0x027FFFFF}};
    for (flatbuffers::uoffset_t k = 0; k < epg->size() && k < epg_want.size(); ++k) {
        EXPECT_EQ(epg->Get(k)->address(), epg_want[k].first) << "EPG pair " << k;
        EXPECT_EQ(epg->Get(k)->value(), epg_want[k].second) << "EPG pair " << k;
    }

    // The skip-DMA entries of each pass, from the layers' mappings.
    struct Entry {
        uint8_t col, row, id, ch;
        bool tnp_b;
        uint8_t skip_param, channel;
        uint32_t size;
        bool operator==(const Entry& o) const {
            return col == o.col && row == o.row && id == o.id && ch == o.ch && tnp_b == o.tnp_b &&
                   skip_param == o.skip_param && channel == o.channel && size == o.size;
        }
    };
    auto words_of = [](const Shape& d, uint32_t bits, bool tnp) {
        return tnp ? d[0] * d[1] * ((bits * d[2] + 31) / 32)
                   : d[1] * d[2] * ((bits * d[0] + 31) / 32);
    };
    auto read_entries = [](const flatbuffers::Vector<const fb::SKipDmaInfoTrack*>* v) {
        std::vector<Entry> out;
        if (!v) return out;
        for (const auto* t : *v) {
            out.push_back(Entry{t->np().col(), t->np().row(), t->np().id(), t->np().channel(),
                                t->tnp_b(), t->skip_param(), t->channel(), t->size()});
        }
        return out;
    };
    for (size_t i = 0; i < passes.size(); ++i) {
        std::vector<Entry> stores, loads;
        for (const auto& l : passes[i]->layers) {
            const LayerMapping& lm = layer_mapping_of(*l);
            const bool tnp = targets(*l, TargetComponent::TNP_B);
            const Shape in0 = l->input_dimensions().front();
            if (const hw::Component* c = lm.skipdma_store()) {
                ASSERT_NE(lm.skipdma_store_channel, nullptr);
                const uint32_t size =
                    tnp ? words_of(in0, l->input_bits(), true)
                        : words_of(l->output_dimensions(), l->output_bits(), false);
                stores.push_back(Entry{c->ident.col, c->ident.row, c->ident.id, c->ident.channel,
                                       tnp, lm.skipdma_store_channel->skip_param,
                                       lm.skipdma_store_channel->channel, size});
            }
            if (const hw::Component* c = lm.skipdma_store_dual_output()) {
                ASSERT_NE(lm.skipdma_store_dual_output_channel, nullptr);
                stores.push_back(Entry{c->ident.col, c->ident.row, c->ident.id, c->ident.channel,
                                       false, lm.skipdma_store_dual_output_channel->skip_param,
                                       lm.skipdma_store_dual_output_channel->channel,
                                       words_of(in0, l->input_bits(), tnp)});
            }
            if (const hw::Component* c = lm.skipdma_load()) {
                ASSERT_NE(lm.skipdma_load_channel, nullptr);
                loads.push_back(Entry{c->ident.col, c->ident.row, c->ident.id, c->ident.channel,
                                      tnp, lm.skipdma_load_channel->skip_param,
                                      lm.skipdma_load_channel->channel, 0});
            }
        }
        const auto* spans = reader.info().passes()->Get(flatbuffers::uoffset_t(i));
        EXPECT_EQ(spans->skipdma_stores() == nullptr, stores.empty());
        EXPECT_EQ(spans->skipdma_loads() == nullptr, loads.empty());
        EXPECT_TRUE(read_entries(spans->skipdma_stores()) == stores)
            << "skip-DMA stores, pass " << i;
        EXPECT_TRUE(read_entries(spans->skipdma_loads()) == loads) << "skip-DMA loads, pass " << i;
    }

    // The input setup record: three one-word writes into the IP registers.
    const Layer& Z = *L.back();
    const bool a = targets(*F, TargetComponent::HRC);
    const bool e = Z.params()->layer_type() == LayerType::Dequantizer
                       ? Z.input_bits() <= 8
                       : !Z.activation_enabled() && Z.output_bits() <= 8;
    Shape in = F->input_dimensions().front();
    if (F->params()->layer_type() == LayerType::Dense1D) in = Shape({1, 1, in[0] * in[1] * in[2]});
    const Shape out = Z.output_dimensions();
    const uint32_t w68 =
        out[0] == 1 && out[1] == 1 ? 0u : out[1] * out[2] | (out[2] < 2048 ? out[2] << 20 : 0u);
    const auto scc = blocks_of(stored[0][0]);
    ASSERT_EQ(scc.size(), 3u);
    const std::vector<std::pair<uint32_t, uint32_t>> scc_want{
        {4, 0x18u | (a ? 0u : 1u) | (e ? 1u << 20 : 0u)}, {64, in[2]}, {68, w68}};
    for (size_t k = 0; k < 3; ++k) {
        EXPECT_EQ(scc[k].target, uint32_t{dma::IpRegisters});
        EXPECT_EQ(scc[k].np.col, 0);
        EXPECT_EQ(scc[k].offset, scc_want[k].first);
        EXPECT_EQ(scc[k].payload, std::vector<uint32_t>{scc_want[k].second}) << "SCC word " << k;
    }

    // Buffer modes: with several passes every placed NP runs single-buffered
    // except those shared by the last layer of a pass and the first of the
    // next.
    if (passes.size() > 1) {
        std::set<std::pair<const Layer*, hw::Ident>> shared;
        for (size_t i = 0; i + 1 < passes.size(); ++i) {
            const LayerPtr last = last_mappable_layer(passes[i]->layers);
            const LayerPtr next = first_mappable_layer(passes[i + 1]->layers);
            for (const hw::Component& c : *layer_mapping_of(*last).nps) {
                for (const hw::Component& d : *layer_mapping_of(*next).nps) {
                    if (c.placement && c.ident == d.ident) {
                        shared.insert({last.get(), c.ident});
                        shared.insert({next.get(), d.ident});
                    }
                }
            }
        }
        for (const auto& pass : passes) {
            for (const auto& l : pass->layers) {
                for (const hw::Component& c : *layer_mapping_of(*l).nps) {
                    if (!c.placement) continue;
                    EXPECT_EQ(c.placement->single_buffer, !shared.count({l.get(), c.ident}))
                        << l->get_name();
                }
            }
        }
    }

    for (size_t i = 0; i < passes.size(); ++i) {
        SCOPED_TRACE("pass " + std::to_string(i));
        const auto& layers = passes[i]->layers;
        const LayerPtr pass_first = first_mappable_layer(layers);
        const LayerPtr pass_last = last_mappable_layer(layers);
        const LayerPtr next_first =
            i + 1 < passes.size() ? first_mappable_layer(passes[i + 1]->layers) : nullptr;
        const size_t head = i == 0 ? 1 : 0;
        const size_t tail = next_first ? 1 : 0;
        ASSERT_EQ(stored[i].size(), head + layers.size() + tail);
        for (size_t x = 0; x < layers.size(); ++x) {
            const Layer& X = *layers[x];
            SCOPED_TRACE(X.get_name());
            LayerPtr next = next_mappable_layer(layers[x]);
            bool in_pass = false;
            for (const auto& l : layers) in_pass = in_pass || l == next;
            if (!in_pass) next = nullptr;
            const auto expected =
                kind_record(*seq.device(), seq.constraints(), X, *F1, next_first,
                            layers[x] == pass_first && i > 0,
                            layers[x] == pass_last && next_first != nullptr, fnp_flag_of(X, next));
            const StoredRecord want = as_stored(*expected);
            const StoredRecord& got = stored[i][head + x];
            EXPECT_EQ(got.tracks, want.tracks);
            EXPECT_EQ(got.has_filters, want.has_filters);
            EXPECT_EQ(got.filters, want.filters);
            expect_component_blocks(X, got);
        }
        if (!next_first) continue;
        // The unused-NP record: the next pass's first layer, registers only,
        // on its input channel, for the NPs this pass does not use.
        SCOPED_TRACE("unused NPs");
        std::vector<hw::Ident> used;
        for (const auto& l : layers) {
            for (const hw::Component& c : *layer_mapping_of(*l).nps) used.push_back(c.ident);
        }
        LayerMapping& nm = layer_mapping_of(*next_first);
        const uint8_t channel = nm.channel;
        nm.channel = nm.input_channel;
        std::unique_ptr<program::Record> expected;
        try {
            expected = kind_record(*seq.device(), seq.constraints(), *next_first, *F1, next_first,
                                   false, false, false, used, true);
        } catch (...) {
            nm.channel = channel;
            throw;
        }
        nm.channel = channel;
        const StoredRecord& got = stored[i].back();
        EXPECT_EQ(got.tracks, as_stored(*expected).tracks);
        for (const Block& b : blocks_of(got)) {
            EXPECT_EQ(b.target, uint32_t{dma::NpRegisters});
            bool in_pass = false;
            for (const hw::Ident& u : used) {
                in_pass = in_pass || (u.col == b.np.col && u.row == b.np.row && u.id == b.np.id);
            }
            EXPECT_FALSE(in_pass) << "an NP of the pass is in the unused-NP record";
        }
    }
    (void)L;
}

// In a chain of CNP layers, what each NP's register file says about the
// mapping: its own channel (word 3), the route byte towards the next layer
// (word 45), which is the next layer's channel, and the columns it sends to:
// the next layer's NPs in the pass, or the DMA node after the pass's last
// layer.
void expect_chain_routing(const HardwareSequence& seq) {
    const auto stored = stored_records(seq);
    const auto& passes = seq.passes();
    const hw::Ident dma = seq.device()->mesh().dma_event;
    for (size_t i = 0; i < passes.size(); ++i) {
        const auto& layers = passes[i]->layers;
        const size_t head = i == 0 ? 1 : 0;
        for (size_t x = 0; x < layers.size(); ++x) {
            const Layer& X = *layers[x];
            if (!targets(X, TargetComponent::CNP)) continue;
            SCOPED_TRACE(X.get_name());
            const LayerMapping& m = layer_mapping_of(X);
            LayerPtr next = next_mappable_layer(layers[x]);
            if (next && std::find(layers.begin(), layers.end(), next) == layers.end()) {
                next = nullptr;
            }
            // The last layer of a pass that another follows sends to the
            // next pass's first layer, on a channel of its own.
            const bool linked =
                !next && layers[x] == last_mappable_layer(layers) && i + 1 < passes.size();
            if (linked) next = first_mappable_layer(passes[i + 1]->layers);
            uint32_t lo = dma.col, hi = dma.col;
            if (next) {
                lo = 255;
                hi = 0;
                for (const hw::Component& c : *layer_mapping_of(*next).nps) {
                    lo = std::min<uint32_t>(lo, c.ident.col);
                    hi = std::max<uint32_t>(hi, c.ident.col);
                }
                if (linked) {
                    EXPECT_EQ(m.next_channel, uint8_t(m.channel + 1));
                    EXPECT_EQ(layer_mapping_of(*next).input_channel, uint8_t(m.channel + 1));
                } else {
                    EXPECT_EQ(m.next_channel, layer_mapping_of(*next).channel);
                }
            }
            const auto blocks = blocks_of(stored[i][head + x]);
            size_t seen = 0;
            for (const Block& b : blocks) {
                if (b.target != dma::NpRegisters) continue;
                ++seen;
                ASSERT_EQ(b.payload.size(), 64u);
                EXPECT_EQ(b.payload[3] >> 24, m.channel);
                EXPECT_EQ(b.payload[45] >> 24, m.next_channel);
                EXPECT_EQ(b.payload[45] & 0xFF, lo);
                EXPECT_EQ((b.payload[45] >> 8) & 0xFF, hi);
            }
            EXPECT_EQ(seen, m.nps->size());
        }
    }
}

// ---------------------------------------------------------------------------
// Mapping

struct Mapped {
    std::unique_ptr<Model> model;
    MappingStatusGroup status;
    LayerList remaining;
    std::vector<std::shared_ptr<Sequence>> sequences;

    std::shared_ptr<HardwareSequence> sequence() const {
        if (sequences.size() != 1) return nullptr;
        return std::dynamic_pointer_cast<HardwareSequence>(sequences.front());
    }
    std::vector<uint8_t> bytes() const {
        auto seq = sequence();
        if (!seq) return {};
        return std::vector<uint8_t>(seq->program().data, seq->program().data + seq->program().size);
    }
};

Mapped map_with_backend(const ModelFactory& factory,
                        const std::function<void(MapConstraints&)>& tweak = {}) {
    Mapped out;
    out.model = factory();
    auto device = v2_device();
    auto constraints = std::make_shared<MapConstraints>(device);
    if (tweak) tweak(*constraints);
    out.remaining = out.model->layers();
    HardwareBackend backend;
    out.status = backend.map(&out.remaining, &out.sequences, constraints);
    return out;
}

struct Expectation {
    std::vector<uint32_t> in_dims;
    std::vector<uint32_t> out_dims;
    uint8_t in_bits = 8;
    uint8_t out_bits = 8;
    size_t passes = 1;
};

// The whole set of checks of a model that maps: status, one sequence, bytes,
// records, program info and identical bytes from a second map.
void expect_maps(const ModelFactory& factory, const Expectation& e,
                 const std::function<void(MapConstraints&)>& tweak = {}) {
    const Mapped first = map_with_backend(factory, tweak);
    ASSERT_FALSE(first.status.error) << first.status.to_string();
    EXPECT_EQ(first.status.to_string(), "Success.");
    EXPECT_TRUE(first.remaining.empty());
    ASSERT_EQ(first.sequences.size(), 1u);
    auto seq = first.sequence();
    ASSERT_NE(seq, nullptr);
    EXPECT_EQ(seq->passes().size(), e.passes);
    ASSERT_NO_FATAL_FAILURE(verify_program(*seq));
    const LayerList& L = seq->layers();
    EXPECT_EQ(seq->name(), "HW/" + L.front()->get_name() + "-" + L.back()->get_name());
    // Every placed NP was given its memory sizes; an FNP2 keeps its weights
    // in external memory.
    for (const auto& l : L) {
        for (const hw::Component& c : *layer_mapping_of(*l).nps) {
            if (!is_np_type(c.type)) continue;
            EXPECT_GT(c.mem_info.input_size, 0u) << l->get_name();
            if (c.type == hw::Type::FNP2) {
                EXPECT_EQ(c.mem_info.weight_size, 0u) << l->get_name();
                EXPECT_GT(c.mem_info.external_size, 0u) << l->get_name();
            } else {
                EXPECT_GT(c.mem_info.weight_size, 0u) << l->get_name();
            }
        }
    }
    expect_records_match(*seq);

    const ProgramInfo info(seq->program().data, seq->program().size);
    EXPECT_EQ(info.input_dims(), e.in_dims);
    EXPECT_EQ(info.output_dims(), e.out_dims);
    EXPECT_EQ(info.input_bits(), e.in_bits);
    EXPECT_EQ(info.output_bits(), e.out_bits);
    EXPECT_EQ(info.pass_count(), e.passes);
    EXPECT_EQ(info.dummy_desc_hdr() != 0, e.passes > 1);

    // The same layers mapped again, over their earlier mappings.
    {
        auto device = v2_device();
        auto constraints = std::make_shared<MapConstraints>(device);
        if (tweak) tweak(*constraints);
        LayerList again = first.model->layers();
        std::vector<std::shared_ptr<Sequence>> sequences;
        HardwareBackend backend;
        const MappingStatusGroup status = backend.map(&again, &sequences, constraints);
        ASSERT_FALSE(status.error) << status.to_string();
        ASSERT_EQ(sequences.size(), 1u);
        const ByteView bytes = sequences[0]->program();
        EXPECT_EQ(std::vector<uint8_t>(bytes.data, bytes.data + bytes.size), first.bytes())
            << "mapping the mapped layers again gives other bytes";
    }
    const Mapped second = map_with_backend(factory, tweak);
    ASSERT_FALSE(second.status.error) << second.status.to_string();
    EXPECT_EQ(second.bytes(), first.bytes()) << "a second map gives other bytes";

    // The same model through Model::map, twice on the same model.
    auto model = factory();
    auto device = v2_device();
    auto constraints = std::make_shared<MapConstraints>(device);
    if (tweak) tweak(*constraints);
    model->map(device, false, constraints);
    ASSERT_EQ(model->sequences().size(), 1u);
    const ByteView a = model->sequences()[0]->program();
    const std::vector<uint8_t> bytes_a(a.data, a.data + a.size);
    EXPECT_EQ(bytes_a, first.bytes());
    model->map(device, false, constraints);
    ASSERT_EQ(model->sequences().size(), 1u);
    const ByteView b = model->sequences()[0]->program();
    EXPECT_EQ(std::vector<uint8_t>(b.data, b.data + b.size), bytes_a);
}

// ---------------------------------------------------------------------------
// Models

P conv_params(int filters, int kernel, int activation, int pool_type = 0, int pool_size = 0,
              int stride = 1) {
    P p{{"filters", filters},      {"kernel_size", kernel}, {"activation", activation},
        {"kernel_stride", stride}, {"output_bits", 8},      {"weights_bits", 8}};
    if (pool_type) {
        p["pool_type"] = pool_type;
        p["pool_size"] = pool_size;
    }
    return p;
}

ModelFactory conv_dw_conv(int activation, int pool_type) {
    return [=] {
        ModelBuilder b;
        b.input(16, 16, 8);
        b.add(LayerType::Conv2D, "conv1", conv_params(16, 3, activation));
        P dw{{"kernel_size", 3}, {"activation", activation}, {"output_bits", 8}};
        if (pool_type) {
            dw["pool_type"] = pool_type;
            dw["pool_size"] = 2;
        }
        b.add(LayerType::DepthwiseConv2D, "dw", dw);
        b.add(LayerType::Conv2D, "conv2", conv_params(24, 1, activation));
        return b.take();
    };
}

TEST(E2eV2Mesh, PresetMeshIsAFullV2Mesh) {
    const Mesh& mesh = preset_v2_mesh();
    EXPECT_EQ(mesh.ip_version, IpVersion::v2);
    EXPECT_EQ(mesh.nps.size(), 28u);
    EXPECT_TRUE(mesh.hrc.has_value());
    EXPECT_FALSE(mesh.skip_dmas.empty());
}

struct ConvCase {
    const char* name;
    int activation;
    int pool_type;
    uint32_t out_xy;
};

class E2eV2ConvChain : public ::testing::TestWithParam<ConvCase> {};

TEST_P(E2eV2ConvChain, Maps) {
    const ConvCase& c = GetParam();
    Expectation e;
    e.in_dims = {16, 16, 8};
    e.out_dims = {c.out_xy, c.out_xy, 24};
    expect_maps(conv_dw_conv(c.activation, c.pool_type), e);
    const Mapped m = map_with_backend(conv_dw_conv(c.activation, c.pool_type));
    ASSERT_NE(m.sequence(), nullptr);
    expect_chain_routing(*m.sequence());
}

INSTANTIATE_TEST_SUITE_P(E2eV2, E2eV2ConvChain,
                         ::testing::Values(ConvCase{"plain", 0, 0, 16}, ConvCase{"relu", 1, 0, 16},
                                           ConvCase{"relu_maxpool", 1, 1, 8}),
                         [](const ::testing::TestParamInfo<ConvCase>& info) {
                             return std::string(info.param.name);
                         });

// Average pooling on the CNP is global pooling only: a 2x2 average pool over
// a 16x16 input breaks two of its rules, and the layer is refused with both.
TEST(E2eV2Refusals, WindowedAveragePoolIsRefused) {
    const Mapped m = map_with_backend(conv_dw_conv(0, 2));
    EXPECT_TRUE(m.status.error);
    EXPECT_EQ(m.status.to_string(),
              "Cannot map layer 'dw'. Global Average pooling must be global. When using Global "
              "Average Pooling, input dimensions width * height cannot exceed 144.");
    // The layers before the refused one are mapped; it and the rest stay.
    ASSERT_EQ(m.remaining.size(), 2u);
    EXPECT_EQ(m.remaining[0]->get_name(), "dw");
    EXPECT_EQ(m.remaining[1]->get_name(), "conv2");
    auto seq = m.sequence();
    ASSERT_NE(seq, nullptr);
    EXPECT_EQ(seq->name(), "HW/input-conv1");
    ASSERT_NO_FATAL_FAILURE(verify_program(*seq));
    expect_records_match(*seq);
    const ProgramInfo info(seq->program().data, seq->program().size);
    EXPECT_EQ(info.output_dims(), (std::vector<uint32_t>{16, 16, 16}));
}

// Rules that refuse a layer in a chain, with the exact status.
struct Refusal {
    const char* name;
    int input_bits;
    P head;
    P next;
    bool dense_next;
    const char* message;
};

class E2eV2Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(E2eV2Refused, Status) {
    const Refusal r = GetParam();
    const Mapped m = map_with_backend([r] {
        ModelBuilder b;
        b.input(8, 8, 8, r.input_bits);
        b.add(LayerType::Conv2D, "head", r.head);
        b.add(r.dense_next ? LayerType::Dense1D : LayerType::Conv2D, "next", r.next);
        return b.take();
    });
    EXPECT_TRUE(m.status.error);
    EXPECT_EQ(m.status.to_string(), r.message);
    EXPECT_FALSE(m.remaining.empty());
}

INSTANTIATE_TEST_SUITE_P(
    E2eV2, E2eV2Refused,
    ::testing::Values(
        Refusal{"valid_padding",
                8,
                conv_params(8, 3, 1),
                {{"filters", 8}, {"kernel_size", 5}, {"padding", 0}},
                false,
                "Cannot map layer 'next'. Only padding 'Same' and 'SameUpper' are supported."},
        Refusal{"same_upper_stride1_4bit",
                8,
                conv_params(8, 3, 1),
                {{"filters", 8}, {"kernel_size", 3}, {"padding", 2}, {"weights_bits", 4}},
                false,
                "Cannot map layer 'next'. With SameUpper padding only stride 2 is supported. With "
                "SameUpper padding only 8-bit weights are supported."},
        Refusal{"input_narrower_than_weights", 4, conv_params(8, 3, 1), conv_params(8, 3, 1), false,
                "Cannot map layer 'head'. Input bits should be >= weights bits."},
        Refusal{"max_pool_into_dense",
                8,
                conv_params(8, 3, 1, 1, 2),
                {{"units", 10}},
                true,
                "Cannot map layer 'head':\n"
                "  * Layer 'head': A layer with max pooling cannot be the last layer of a "
                "sequence.\n"
                "  * Layer 'next': Any layer with max pooling must be followed by a layer mapped "
                "on a CNP or a TNP-B. Layer 'head' has max pooling."}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

TEST(E2eV2Models, GlobalAveragePool) {
    Expectation e;
    e.in_dims = {8, 8, 8};
    e.out_dims = {1, 1, 16};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(8, 8, 8);
            b.add(LayerType::Conv2D, "conv1", conv_params(16, 3, 1));
            b.add(LayerType::DepthwiseConv2D, "gap",
                  {{"kernel_size", 3}, {"activation", 1}, {"pool_type", 2}, {"pool_size", -1}});
            b.add(LayerType::Conv2D, "conv2", conv_params(16, 1, 0));
            return b.take();
        },
        e);
}

TEST(E2eV2Models, Conv2DTranspose) {
    Expectation e;
    e.in_dims = {8, 8, 8};
    e.out_dims = {16, 16, 8};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(8, 8, 8);
            b.add(LayerType::Conv2D, "conv", conv_params(16, 3, 1));
            b.add(LayerType::Conv2DTranspose, "convt",
                  {{"filters", 8}, {"kernel_size", 3}, {"activation", 1}});
            return b.take();
        },
        e);
}

TEST(E2eV2Models, DepthwiseConv2DTranspose) {
    Expectation e;
    e.in_dims = {8, 8, 8};
    e.out_dims = {16, 16, 16};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(8, 8, 8);
            b.add(LayerType::Conv2D, "conv", conv_params(16, 3, 1));
            b.add(LayerType::DepthwiseConv2DTranspose, "dwt",
                  {{"kernel_size", 3}, {"activation", 1}});
            return b.take();
        },
        e);
}

ModelFactory residual_block() {
    return [] {
        ModelBuilder b;
        b.input(16, 16, 8);
        auto a = b.add(LayerType::Conv2D, "A", conv_params(16, 3, 1));
        b.add(LayerType::Conv2D, "B", conv_params(16, 3, 1));
        auto e = b.add(LayerType::Conv2D, "E", conv_params(16, 3, 1));
        b.add(LayerType::Add, "S", {}, {e, a});
        b.add(LayerType::Conv2D, "M", conv_params(16, 1, 1));
        return b.take();
    };
}

TEST(E2eV2Models, ResidualBlockWithAdd) {
    Expectation e;
    e.in_dims = {16, 16, 8};
    e.out_dims = {16, 16, 16};
    expect_maps(residual_block(), e);

    // The skip path goes through a skip-DMA store after A and a load into M,
    // both listed in the pass's skip-DMA entries.
    const Mapped m = map_with_backend(residual_block());
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    const LayerMapping& ma = layer_mapping_of(*m.model->get_layer("A"));
    const LayerMapping& mm = layer_mapping_of(*m.model->get_layer("M"));
    const LayerMapping& ms = layer_mapping_of(*m.model->get_layer("S"));
    ASSERT_EQ(ma.skipdma_store_components.size(), 1u);
    EXPECT_EQ(ma.skipdma_store_components[0].type, hw::Type::SKIP_DMA_STORE);
    ASSERT_EQ(mm.skipdma_load_components.size(), 1u);
    EXPECT_EQ(mm.skipdma_load_components[0].type, hw::Type::SKIP_DMA_LOAD);
    EXPECT_TRUE(ms.nps->empty());
    ASSERT_NE(mm.merge_info, nullptr);
    EXPECT_TRUE(mm.merge_info->from_add);
    const ProgramInfo info(m.sequence()->program().data, m.sequence()->program().size);
    const auto* pass = info.info().passes()->Get(0);
    ASSERT_NE(pass->skipdma_stores(), nullptr);
    ASSERT_NE(pass->skipdma_loads(), nullptr);
    ASSERT_EQ(pass->skipdma_stores()->size(), 1u);
    ASSERT_EQ(pass->skipdma_loads()->size(), 1u);
    // A's 16x16x16 output at 8 bits: 16 x 16 rows of 4 words.
    EXPECT_EQ(pass->skipdma_stores()->Get(0)->size(), 1024u);
    EXPECT_FALSE(pass->skipdma_stores()->Get(0)->tnp_b());
    EXPECT_EQ(pass->skipdma_loads()->Get(0)->size(), 0u);
    // A's record carries the skip-DMA blocks (target 11), M's record a merge
    // shift block on each of its NPs.
    const auto records = stored_records(*m.sequence());
    const auto a_blocks = blocks_of(records[0][2]);
    bool skip = false;
    for (const Block& blk : a_blocks) skip = skip || blk.target == dma::SkipDmaRegisters;
    EXPECT_TRUE(skip);
    const auto m_blocks = blocks_of(records[0][6]);
    for (const hw::Component& c : *mm.nps) {
        EXPECT_TRUE(has_block(m_blocks, c.ident, {dma::MergeShift}));
    }
}

TEST(E2eV2Models, DenseDense) {
    Expectation e;
    e.in_dims = {1, 1, 64};
    e.out_dims = {1, 1, 10};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(1, 1, 64);
            b.add(LayerType::Dense1D, "d1", {{"units", 32}, {"activation", 1}});
            b.add(LayerType::Dense1D, "d2", {{"units", 10}, {"activation", 0}});
            return b.take();
        },
        e);
}

TEST(E2eV2Models, ThreeDensesReachTheFnp2) {
    // Two FNP3s on the mesh: the third dense layer goes to an FNP2, whose
    // weights travel in the record's filters track.
    Expectation e;
    e.in_dims = {1, 1, 64};
    e.out_dims = {1, 1, 10};
    auto factory = [] {
        ModelBuilder b;
        b.input(1, 1, 64);
        b.add(LayerType::Dense1D, "d1", {{"units", 48}, {"activation", 1}});
        b.add(LayerType::Dense1D, "d2", {{"units", 32}, {"activation", 1}});
        b.add(LayerType::Dense1D, "d3", {{"units", 10}, {"activation", 0}});
        return b.take();
    };
    expect_maps(factory, e);
    const Mapped m = map_with_backend(factory);
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    std::set<hw::Type> kinds;
    for (const char* name : {"d1", "d2", "d3"}) {
        const LayerMapping& lm = layer_mapping_of(*m.model->get_layer(name));
        ASSERT_EQ(lm.nps->size(), 1u) << name;
        kinds.insert((*lm.nps)[0].type);
    }
    EXPECT_EQ(kinds, (std::set<hw::Type>{hw::Type::FNP2, hw::Type::FNP3}));
    EXPECT_GT(extra_program_memory_required(
                  ProgramInfo(m.sequence()->program().data, m.sequence()->program().size)),
              0u);
}

TEST(E2eV2Models, FirstDenseSizedForAllItsInputs) {
    // A first Dense1D over a 4x4x4 input needs the memories of one over a
    // flat 64-value input.
    auto dense_on = [](uint32_t x, uint32_t y, uint32_t c) {
        return [=] {
            ModelBuilder b;
            b.input(x, y, c);
            b.add(LayerType::Dense1D, "d1", {{"units", 32}, {"activation", 1}});
            return b.take();
        };
    };
    const Mapped image = map_with_backend(dense_on(4, 4, 4));
    const Mapped flat = map_with_backend(dense_on(1, 1, 64));
    ASSERT_FALSE(image.status.error) << image.status.to_string();
    ASSERT_FALSE(flat.status.error) << flat.status.to_string();
    const hw::Component& a = layer_mapping_of(*image.model->get_layer("d1")).nps->at(0);
    const hw::Component& b = layer_mapping_of(*flat.model->get_layer("d1")).nps->at(0);
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.mem_info.input_size, b.mem_info.input_size);
    EXPECT_EQ(a.mem_info.weight_size, b.mem_info.weight_size);
    EXPECT_EQ(a.mem_info.external_size, b.mem_info.external_size);
    EXPECT_GE(a.mem_info.input_size, 64u);
}

TEST(E2eV2Models, DenseDenseFromImage) {
    // A first Dense1D over a 4x4x4 input: the program's input is flattened.
    Expectation e;
    e.in_dims = {1, 1, 64};
    e.out_dims = {1, 1, 10};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(4, 4, 4);
            b.add(LayerType::Dense1D, "d1", {{"units", 32}, {"activation", 1}});
            b.add(LayerType::Dense1D, "d2", {{"units", 10}, {"activation", 0}});
            return b.take();
        },
        e);
}

ModelFactory hrc_model() {
    return [] {
        ModelBuilder b;
        b.input(32, 32, 3);
        b.add(LayerType::InputConv2D, "iconv",
              {{"filters", 16}, {"kernel_size", 3}, {"kernel_stride", 2}, {"activation", 1}});
        b.add(LayerType::Conv2D, "conv", conv_params(16, 3, 1, 0, 0, 2));
        b.add(LayerType::Dense1D, "dense", {{"units", 10}, {"activation", 0}});
        return b.take();
    };
}

TEST(E2eV2Models, InputConvConvDense) {
    Expectation e;
    e.in_dims = {32, 32, 3};
    e.out_dims = {1, 1, 10};
    expect_maps(hrc_model(), e);
    const Mapped m = map_with_backend(hrc_model());
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    const LayerMapping& mi = layer_mapping_of(*m.model->get_layer("iconv"));
    ASSERT_EQ(mi.nps->size(), 1u);
    EXPECT_EQ((*mi.nps)[0].type, hw::Type::HRC);
    EXPECT_EQ(mi.channel, 0);
    const LayerMapping& md = layer_mapping_of(*m.model->get_layer("dense"));
    ASSERT_FALSE(md.nps->empty());
    const hw::Type dt = (*md.nps)[0].type;
    EXPECT_TRUE(dt == hw::Type::FNP2 || dt == hw::Type::FNP3);
    // An HRC first layer hands its strides to the program info.
    const ProgramInfo info(m.sequence()->program().data, m.sequence()->program().size);
    EXPECT_EQ(info.info().conv_param_0(), 2u);
    EXPECT_EQ(info.info().conv_param_1(), 2u);
    // The input format comes from the list's first layer, the InputData in
    // front of the HRC layer: 8-bit input, so signed.
    EXPECT_TRUE(info.input_signed());
}

struct HrcCase {
    const char* name;
    uint32_t channels;
    P params;
    std::vector<uint32_t> out_dims;
};

class E2eV2HrcVariants : public ::testing::TestWithParam<HrcCase> {};

TEST_P(E2eV2HrcVariants, Maps) {
    const HrcCase h = GetParam();
    Expectation e;
    e.in_dims = {32, 32, h.channels};
    e.out_dims = h.out_dims;
    expect_maps(
        [h] {
            ModelBuilder b;
            b.input(32, 32, h.channels);
            b.add(LayerType::InputConv2D, "iconv", h.params);
            b.add(LayerType::Conv2D, "conv", conv_params(8, 3, 1));
            return b.take();
        },
        e);
}

INSTANTIATE_TEST_SUITE_P(
    E2eV2, E2eV2HrcVariants,
    ::testing::Values(
        HrcCase{"maxpool",
                3,
                {{"filters", 16},
                 {"kernel_size", 3},
                 {"activation", 1},
                 {"pool_type", 1},
                 {"pool_size", 2},
                 {"pool_stride", 2}},
                {16, 16, 8}},
        HrcCase{"k5_stride2",
                3,
                {{"filters", 8}, {"kernel_size", 5}, {"kernel_stride", 2}},
                {16, 16, 8}},
        HrcCase{"k7_stride2",
                3,
                {{"filters", 8}, {"kernel_size", 7}, {"kernel_stride", 2}},
                {16, 16, 8}},
        HrcCase{"grey", 1, {{"filters", 8}, {"kernel_size", 3}, {"kernel_stride", 2}}, {16, 16, 8}},
        HrcCase{"valid_padding",
                3,
                {{"filters", 8}, {"kernel_size", 3}, {"kernel_stride", 2}, {"padding", 0}},
                {15, 15, 8}}),
    [](const ::testing::TestParamInfo<HrcCase>& info) { return std::string(info.param.name); });

TEST(E2eV2Models, BufferTempConvs) {
    Expectation e;
    e.in_dims = {8, 8, 8};
    e.out_dims = {8, 8, 8};
    auto factory = [] {
        ModelBuilder b;
        b.input(8, 8, 8);
        b.add(LayerType::Conv2D, "conv", conv_params(8, 3, 1));
        b.add(LayerType::BufferTempConv, "btc",
              {{"filters", 8}, {"fifo_size", 4}, {"activation", 1}});
        b.add(LayerType::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 4}, {"activation", 1}});
        return b.take();
    };
    expect_maps(factory, e);
    // Each TNP-B layer keeps its FIFO through a skip-DMA store and load: its
    // 8x8x8 input at 8 bits is 8 x 8 x 2 words.
    const Mapped m = map_with_backend(factory);
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    const ProgramInfo info(m.sequence()->program().data, m.sequence()->program().size);
    const auto* stores = info.info().passes()->Get(0)->skipdma_stores();
    ASSERT_NE(stores, nullptr);
    ASSERT_EQ(stores->size(), 2u);
    for (const auto* t : *stores) {
        EXPECT_TRUE(t->tnp_b());
        EXPECT_EQ(t->size(), 128u);
    }
}

TEST(E2eV2Models, Concatenate) {
    Expectation e;
    e.in_dims = {16, 16, 8};
    e.out_dims = {16, 16, 16};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(16, 16, 8);
            auto a = b.add(LayerType::Conv2D, "A", conv_params(8, 3, 1));
            auto bb = b.add(LayerType::Conv2D, "B", conv_params(8, 3, 1));
            b.add(LayerType::Concatenate, "cat", {}, {bb, a});
            b.add(LayerType::Conv2D, "M", conv_params(16, 1, 1));
            return b.take();
        },
        e);
}

// Layers too large for one NP: split by filters and by width, each NP
// recorded with its own slice of the weights and variables.
TEST(E2eV2Models, LayersSplitOverSeveralNps) {
    Expectation e;
    e.in_dims = {128, 16, 8};
    e.out_dims = {128, 16, 256};
    auto factory = [] {
        ModelBuilder b;
        b.input(128, 16, 8);
        b.add(LayerType::Conv2D, "wide", conv_params(64, 3, 1));
        b.add(LayerType::DepthwiseConv2D, "dw", {{"kernel_size", 3}, {"activation", 1}});
        b.add(LayerType::Conv2D, "deep", conv_params(256, 3, 1));
        return b.take();
    };
    expect_maps(factory, e);
    const Mapped m = map_with_backend(factory);
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    for (const char* name : {"wide", "dw", "deep"}) {
        EXPECT_GT(layer_mapping_of(*m.model->get_layer(name)).nps->size(), 1u) << name;
    }
    expect_chain_routing(*m.sequence());
}

TEST(E2eV2Models, FourBitWeights) {
    Expectation e;
    e.in_dims = {16, 16, 8};
    e.out_dims = {16, 16, 16};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(16, 16, 8);
            P p = conv_params(16, 3, 1);
            p["weights_bits"] = 4;
            b.add(LayerType::Conv2D, "conv1", p);
            b.add(LayerType::DepthwiseConv2D, "dw",
                  {{"kernel_size", 3}, {"activation", 1}, {"weights_bits", 4}, {"output_bits", 4}});
            p["kernel_size"] = 1;
            b.add(LayerType::Conv2D, "conv2", p);
            return b.take();
        },
        e);
}

// A residual block across two passes: the skip-DMA records join the
// descriptor count of a multi-pass program. With 25 leading convs the pass
// boundary falls right after the Add, which is carried into the next pass in
// front of its merging layer.
class E2eV2ResidualAcrossPasses : public ::testing::TestWithParam<int> {};

TEST_P(E2eV2ResidualAcrossPasses, Maps) {
    const int leading = GetParam();
    auto factory = [leading] {
        ModelBuilder b;
        b.input(16, 16, 16);
        LayerPtr last;
        for (int i = 0; i < leading; ++i) {
            last = b.add(LayerType::Conv2D, "conv" + std::to_string(i), conv_params(16, 3, 1));
        }
        auto a = b.add(LayerType::Conv2D, "A", conv_params(16, 3, 1));
        b.add(LayerType::Conv2D, "B", conv_params(16, 3, 1));
        auto e = b.add(LayerType::Conv2D, "E", conv_params(16, 3, 1));
        b.add(LayerType::Add, "S", {}, {e, a});
        b.add(LayerType::Conv2D, "M", conv_params(16, 1, 1));
        return b.take();
    };
    const Mapped m = map_with_backend(factory);
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    ASSERT_NE(m.sequence(), nullptr);
    Expectation e;
    e.in_dims = {16, 16, 16};
    e.out_dims = {16, 16, 16};
    e.passes = m.sequence()->passes().size();
    EXPECT_GT(e.passes, 1u);
    expect_maps(factory, e);
    // The Add belongs to the pass of the layer it merges into.
    const auto& passes = m.sequence()->passes();
    const LayerPtr s = m.model->get_layer("S");
    const LayerPtr mm = m.model->get_layer("M");
    for (const auto& pass : passes) {
        const bool has_s =
            std::find(pass->layers.begin(), pass->layers.end(), s) != pass->layers.end();
        const bool has_m =
            std::find(pass->layers.begin(), pass->layers.end(), mm) != pass->layers.end();
        EXPECT_EQ(has_s, has_m);
    }
}

INSTANTIATE_TEST_SUITE_P(E2eV2, E2eV2ResidualAcrossPasses, ::testing::Values(25, 26));

TEST(E2eV2Models, ExampleModel) {
    // The model of the v2 example script: conv, strided depthwise, dense.
    Expectation e;
    e.in_dims = {16, 16, 3};
    e.out_dims = {1, 1, 10};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(16, 16, 3);
            b.add(LayerType::Conv2D, "conv", conv_params(16, 3, 1));
            b.add(LayerType::DepthwiseConv2D, "dwconv",
                  {{"kernel_size", 3}, {"kernel_stride", 2}, {"activation", 1}});
            b.add(LayerType::Dense1D, "dense", {{"units", 10}, {"activation", 0}});
            return b.take();
        },
        e);
}

// Multi-pass programs whose later pass starts on other kinds of NP: the
// unused-NP record then comes from that kind's recorder.
struct TailCase {
    const char* name;
    bool hrc_head;
    LayerType tail;
    std::vector<uint32_t> out_dims;
    int convs;
};

class E2eV2MultiPassTail : public ::testing::TestWithParam<TailCase> {};

TEST_P(E2eV2MultiPassTail, Maps) {
    const TailCase c = GetParam();
    auto factory = [c] {
        ModelBuilder b;
        if (c.hrc_head) {
            b.input(32, 32, 3);
            b.add(LayerType::InputConv2D, "iconv",
                  {{"filters", 16}, {"kernel_size", 3}, {"kernel_stride", 2}, {"activation", 1}});
        } else {
            b.input(16, 16, 16);
        }
        for (int i = 0; i < c.convs; ++i) {
            b.add(LayerType::Conv2D, "conv" + std::to_string(i), conv_params(16, 3, 1));
        }
        switch (c.tail) {
            case LayerType::Dense1D:
                b.add(LayerType::Conv2D, "reduce", conv_params(8, 3, 1, 0, 0, 2));
                b.add(LayerType::Dense1D, "d1", {{"units", 32}, {"activation", 1}});
                b.add(LayerType::Dense1D, "d2", {{"units", 10}, {"activation", 0}});
                break;
            case LayerType::BufferTempConv:
                b.add(LayerType::BufferTempConv, "btc",
                      {{"filters", 16}, {"fifo_size", 4}, {"activation", 1}});
                b.add(LayerType::DepthwiseBufferTempConv, "dbtc",
                      {{"fifo_size", 4}, {"activation", 1}});
                break;
            default:
                b.add(LayerType::Conv2D, "last", conv_params(16, 3, 1));
                break;
        }
        return b.take();
    };
    const Mapped m = map_with_backend(factory);
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    ASSERT_NE(m.sequence(), nullptr);
    Expectation e;
    e.in_dims = c.hrc_head ? std::vector<uint32_t>{32, 32, 3} : std::vector<uint32_t>{16, 16, 16};
    e.out_dims = c.out_dims;
    e.passes = m.sequence()->passes().size();
    EXPECT_GT(e.passes, 1u);
    expect_maps(factory, e);
}

INSTANTIATE_TEST_SUITE_P(
    E2eV2, E2eV2MultiPassTail,
    ::testing::Values(TailCase{"dense", false, LayerType::Dense1D, {1, 1, 10}, 27},
                      TailCase{"tnp_b", false, LayerType::BufferTempConv, {16, 16, 16}, 28},
                      TailCase{"hrc_conv", true, LayerType::Conv2D, {16, 16, 16}, 28},
                      TailCase{"hrc_dense", true, LayerType::Dense1D, {1, 1, 10}, 27}),
    [](const ::testing::TestParamInfo<TailCase>& info) { return std::string(info.param.name); });

TEST(E2eV2Models, LutActivations) {
    // A look-up-table activation adds the table block to every CNP and the
    // HRC's table write to the input convolution.
    auto factory = [] {
        ModelBuilder b;
        b.input(32, 32, 3);
        b.add(LayerType::InputConv2D, "iconv",
              {{"filters", 16}, {"kernel_size", 3}, {"kernel_stride", 2}, {"activation", 2}});
        b.add(LayerType::Conv2D, "conv", conv_params(16, 3, 2));
        b.add(LayerType::Conv2D, "out", conv_params(8, 1, 1));
        return b.take();
    };
    Expectation e;
    e.in_dims = {32, 32, 3};
    e.out_dims = {16, 16, 8};
    expect_maps(factory, e);
    const Mapped m = map_with_backend(factory);
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    const auto records = stored_records(*m.sequence());
    const auto conv_blocks = blocks_of(records[0][3]);
    for (const hw::Component& c : *layer_mapping_of(*m.model->get_layer("conv")).nps) {
        EXPECT_TRUE(has_block(conv_blocks, c.ident, {dma::CnpLut}));
    }
}

TEST(E2eV2Models, QuantizerAndDequantizer) {
    // The input formats come from the Quantizer, the output's from the
    // Dequantizer: its input bits, zero shifts and its scales as they are.
    auto factory = [] {
        ModelBuilder b;
        auto q = b.add(LayerType::Quantizer, "q",
                       {{"input_width", 8},
                        {"input_height", 8},
                        {"input_channels", 4},
                        {"output_bits", 8},
                        {"output_signed", 1}});
        auto scales = std::dynamic_pointer_cast<Dense>(q->variables()->get("scales"));
        for (size_t i = 0; i < scales->size(); ++i) scales->data<float>()[i] = 0.5f + float(i);
        b.add(LayerType::Conv2D, "conv", conv_params(8, 3, 0));
        auto dq = b.add(LayerType::Dequantizer, "dq", {});
        auto out_scales = std::dynamic_pointer_cast<Dense>(dq->variables()->get("scales"));
        for (size_t i = 0; i < out_scales->size(); ++i) out_scales->data<float>()[i] = 4.0f;
        return b.take();
    };
    Expectation e;
    e.in_dims = {8, 8, 4};
    e.out_dims = {8, 8, 8};
    expect_maps(factory, e);
    const Mapped m = map_with_backend(factory);
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    const ProgramInfo info(m.sequence()->program().data, m.sequence()->program().size);
    EXPECT_TRUE(info.input_signed());
    EXPECT_EQ(info.output_shift(), std::vector<int32_t>(8, 0));
    EXPECT_EQ(info.output_scales(), std::vector<float>(8, 4.0f));
    ASSERT_NE(info.info().input_scales(), nullptr);
    EXPECT_EQ(
        std::vector<float>(info.info().input_scales()->begin(), info.info().input_scales()->end()),
        (std::vector<float>{0.5f, 1.5f, 2.5f, 3.5f}));
}

TEST(E2eV2Models, BufferTempConvFirst) {
    Expectation e;
    e.in_dims = {8, 8, 8};
    e.out_dims = {8, 8, 16};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(8, 8, 8);
            b.add(LayerType::BufferTempConv, "btc",
                  {{"filters", 8}, {"fifo_size", 2}, {"activation", 1}});
            b.add(LayerType::DepthwiseBufferTempConv, "dbtc",
                  {{"fifo_size", 3}, {"activation", 1}});
            b.add(LayerType::Conv2D, "conv", conv_params(16, 3, 1));
            return b.take();
        },
        e);
}

TEST(E2eV2Models, InputConvAlone) {
    // The HRC is the last mappable layer: its output goes to the DMA.
    Expectation e;
    e.in_dims = {32, 32, 3};
    e.out_dims = {16, 16, 16};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(32, 32, 3);
            b.add(LayerType::InputConv2D, "iconv",
                  {{"filters", 16}, {"kernel_size", 3}, {"kernel_stride", 2}, {"activation", 1}});
            return b.take();
        },
        e);
}

TEST(E2eV2Models, ConcatenateInASecondPass) {
    auto factory = [] {
        ModelBuilder b;
        b.input(16, 16, 16);
        for (int i = 0; i < 26; ++i) {
            b.add(LayerType::Conv2D, "conv" + std::to_string(i), conv_params(16, 3, 1));
        }
        auto a = b.add(LayerType::Conv2D, "A", conv_params(8, 3, 1));
        auto bb = b.add(LayerType::Conv2D, "B", conv_params(8, 3, 1));
        auto c = b.add(LayerType::Conv2D, "C", conv_params(8, 3, 1));
        b.add(LayerType::Concatenate, "cat", {}, {c, a});
        b.add(LayerType::Conv2D, "M", conv_params(16, 1, 1));
        (void)bb;
        return b.take();
    };
    const Mapped m = map_with_backend(factory);
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    ASSERT_NE(m.sequence(), nullptr);
    Expectation e;
    e.in_dims = {16, 16, 16};
    e.out_dims = {16, 16, 16};
    e.passes = m.sequence()->passes().size();
    EXPECT_GT(e.passes, 1u);
    expect_maps(factory, e);
}

TEST(E2eV2Refusals, DescriptorBudget) {
    auto factory = [] {
        ModelBuilder b;
        b.input(16, 16, 16);
        for (int i = 0; i < 300; ++i) {
            b.add(LayerType::Conv2D, "conv" + std::to_string(i), conv_params(16, 3, 1));
        }
        return b.take();
    };
    // 28 one-NP convs per pass, two tracks per conv record (an empty track
    // in front of the XL weight block): in the fifth pass, conv137 brings the
    // count to 5 x 26 x 2 = 260.
    const Mapped m = map_with_backend(factory);
    EXPECT_TRUE(m.status.error);
    EXPECT_EQ(m.status.to_string(),
              "Cannot map layer 'conv137'. Model is too big. The maximum number of descriptors is "
              "more than allowed. 260 are needed but 254 are available.");
    EXPECT_TRUE(m.sequences.empty());
    EXPECT_EQ(m.remaining.size(), m.model->layer_count());
}

// Kind and parameter variants in a short chain: input -> Conv2D -> variant
// -> (optional) tail.
struct Variant {
    const char* name;
    uint32_t x, y, c;
    int input_bits;
    LayerType type;
    P params;
    std::vector<uint32_t> out_dims;
    bool dense_tail;
};

class E2eV2Variants : public ::testing::TestWithParam<Variant> {};

TEST_P(E2eV2Variants, Maps) {
    const Variant v = GetParam();
    auto factory = [v] {
        ModelBuilder b;
        b.input(v.x, v.y, v.c, v.input_bits);
        P head = conv_params(16, 3, 1);
        if (v.input_bits < 8) head["weights_bits"] = v.input_bits;
        b.add(LayerType::Conv2D, "head", head);
        b.add(v.type, "variant", v.params);
        if (v.dense_tail) {
            b.add(LayerType::Dense1D, "tail",
                  {{"units", 10}, {"activation", 1}, {"weights_bits", 4}, {"output_bits", 4}});
        }
        return b.take();
    };
    Expectation e;
    e.in_dims = {v.x, v.y, v.c};
    e.in_bits = uint8_t(v.input_bits);
    e.out_dims = v.out_dims;
    e.out_bits =
        v.dense_tail ? 4 : uint8_t(v.params.count("output_bits") ? v.params.at("output_bits") : 8);
    expect_maps(factory, e);
}

INSTANTIATE_TEST_SUITE_P(
    E2eV2, E2eV2Variants,
    ::testing::Values(
        Variant{"conv_k5",
                16,
                16,
                8,
                8,
                LayerType::Conv2D,
                {{"filters", 8}, {"kernel_size", 5}},
                {16, 16, 8},
                false},
        Variant{"conv_same_upper",
                16,
                16,
                8,
                8,
                LayerType::Conv2D,
                {{"filters", 8}, {"kernel_size", 3}, {"padding", 2}, {"kernel_stride", 2}},
                {8, 8, 8},
                false},
        Variant{"conv_k7",
                16,
                16,
                8,
                8,
                LayerType::Conv2D,
                {{"filters", 8}, {"kernel_size", 7}},
                {16, 16, 8},
                false},
        Variant{"conv_stride2",
                16,
                16,
                8,
                8,
                LayerType::Conv2D,
                {{"filters", 8}, {"kernel_size", 3}, {"kernel_stride", 2}},
                {8, 8, 8},
                false},
        Variant{"dw_stride2",
                16,
                16,
                8,
                8,
                LayerType::DepthwiseConv2D,
                {{"kernel_size", 3}, {"kernel_stride", 2}},
                {8, 8, 16},
                false},
        Variant{"dw_k5",
                16,
                16,
                8,
                8,
                LayerType::DepthwiseConv2D,
                {{"kernel_size", 5}},
                {16, 16, 16},
                false},
        Variant{"conv_out4",
                16,
                16,
                8,
                8,
                LayerType::Conv2D,
                {{"filters", 8}, {"kernel_size", 3}, {"output_bits", 4}},
                {16, 16, 8},
                false},
        Variant{"conv_no_act",
                16,
                16,
                8,
                8,
                LayerType::Conv2D,
                {{"filters", 8}, {"kernel_size", 3}, {"activation", 0}},
                {16, 16, 8},
                false},
        Variant{"out4_to_dense",
                8,
                8,
                8,
                8,
                LayerType::Conv2D,
                {{"filters", 8}, {"kernel_size", 3}, {"output_bits", 4}},
                {1, 1, 10},
                true},
        Variant{"conv_4bit_input",
                16,
                16,
                8,
                4,
                LayerType::Conv2D,
                {{"filters", 8}, {"kernel_size", 3}},
                {16, 16, 8},
                false},
        Variant{"convt_k4",
                8,
                8,
                8,
                8,
                LayerType::Conv2DTranspose,
                {{"filters", 8}, {"kernel_size", 4}},
                {16, 16, 8},
                false},
        Variant{"dwt_k4",
                8,
                8,
                8,
                8,
                LayerType::DepthwiseConv2DTranspose,
                {{"kernel_size", 4}},
                {16, 16, 16},
                false},
        Variant{"btc_no_act",
                8,
                8,
                8,
                8,
                LayerType::BufferTempConv,
                {{"filters", 8}, {"fifo_size", 3}, {"activation", 0}},
                {8, 8, 8},
                false},
        Variant{"dense_from_image",
                4,
                4,
                8,
                8,
                LayerType::Dense1D,
                {{"units", 12}},
                {1, 1, 12},
                false}),
    [](const ::testing::TestParamInfo<Variant>& info) { return std::string(info.param.name); });

TEST(E2eV2Models, TwoResidualBlocksInARow) {
    // M ends the first block (it merges the skip path) and starts the second
    // (its output also goes to a skip-DMA store).
    Expectation e;
    e.in_dims = {16, 16, 8};
    e.out_dims = {16, 16, 16};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(16, 16, 8);
            auto a = b.add(LayerType::Conv2D, "A", conv_params(16, 3, 1));
            b.add(LayerType::Conv2D, "B", conv_params(16, 3, 1));
            auto e1 = b.add(LayerType::Conv2D, "E", conv_params(16, 3, 1));
            b.add(LayerType::Add, "S1", {}, {e1, a});
            auto m = b.add(LayerType::Conv2D, "M", conv_params(16, 3, 1));
            auto n = b.add(LayerType::Conv2D, "N", conv_params(16, 3, 1));
            b.add(LayerType::Add, "S2", {}, {n, m});
            b.add(LayerType::DepthwiseConv2D, "O", {{"kernel_size", 3}, {"activation", 1}});
            return b.take();
        },
        e);
}

TEST(E2eV2Models, ResidualBlockOnSplitLayers) {
    // The skip path's source and its merging layer both span several NPs.
    Expectation e;
    e.in_dims = {128, 16, 8};
    e.out_dims = {128, 16, 64};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(128, 16, 8);
            auto a = b.add(LayerType::Conv2D, "A", conv_params(64, 3, 1));
            auto e1 = b.add(LayerType::Conv2D, "E", conv_params(64, 3, 1));
            b.add(LayerType::Add, "S", {}, {e1, a});
            b.add(LayerType::Conv2D, "M", conv_params(64, 3, 1));
            return b.take();
        },
        e);
}

TEST(E2eV2Models, ParallelBranchesConcatenated) {
    // A feeds two convolutions whose outputs are concatenated.
    Expectation e;
    e.in_dims = {16, 16, 8};
    e.out_dims = {16, 16, 16};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(16, 16, 8);
            auto a = b.add(LayerType::Conv2D, "A", conv_params(8, 3, 1));
            auto l = b.add(LayerType::Conv2D, "L", conv_params(8, 3, 1), {a});
            auto r = b.add(LayerType::Conv2D, "R", conv_params(8, 1, 1), {a});
            b.add(LayerType::Concatenate, "cat", {}, {l, r});
            b.add(LayerType::Conv2D, "M", conv_params(16, 1, 1));
            return b.take();
        },
        e);
}

TEST(E2eV2Models, ResidualAroundDepthwiseAndTranspose) {
    Expectation e;
    e.in_dims = {8, 8, 8};
    e.out_dims = {16, 16, 8};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(8, 8, 8);
            auto a = b.add(LayerType::Conv2D, "A", conv_params(16, 3, 1));
            auto d =
                b.add(LayerType::DepthwiseConv2D, "D", {{"kernel_size", 3}, {"activation", 1}});
            b.add(LayerType::Add, "S", {}, {d, a});
            b.add(LayerType::Conv2DTranspose, "T",
                  {{"filters", 8}, {"kernel_size", 3}, {"activation", 1}});
            return b.take();
        },
        e);
}

TEST(E2eV2Models, ConcatenateIntoDepthwise) {
    Expectation e;
    e.in_dims = {16, 16, 8};
    e.out_dims = {16, 16, 16};
    expect_maps(
        [] {
            ModelBuilder b;
            b.input(16, 16, 8);
            auto a = b.add(LayerType::Conv2D, "A", conv_params(8, 3, 1));
            auto bb = b.add(LayerType::Conv2D, "B", conv_params(8, 3, 1));
            b.add(LayerType::Concatenate, "cat", {}, {bb, a});
            b.add(LayerType::DepthwiseConv2D, "M", {{"kernel_size", 3}, {"activation", 1}});
            return b.take();
        },
        e);
}

TEST(E2eV2Refusals, ResidualBlockAroundBufferTempConv) {
    // An Add takes CNP (or skip-DMA) inbounds only; the run that ends at the
    // TNP-B layer leaves the skip branch open. The group is headed by the
    // first status, which has no layer name.
    const Mapped m = map_with_backend([] {
        ModelBuilder b;
        b.input(8, 8, 8);
        auto a = b.add(LayerType::Conv2D, "A", conv_params(8, 3, 1));
        auto t = b.add(LayerType::BufferTempConv, "T",
                       {{"filters", 8}, {"fifo_size", 4}, {"activation", 1}});
        b.add(LayerType::Add, "S", {}, {t, a});
        b.add(LayerType::Conv2D, "M", conv_params(8, 3, 1));
        return b.take();
    });
    EXPECT_TRUE(m.status.error);
    EXPECT_EQ(m.status.to_string(),
              "Cannot map layer '':\n"
              "  * Bad mapping on skip connection. Several branches.\n"
              "  * Layer 'S': Inbounds must be of types Conv, Add or Concat.");
}

TEST(E2eV2Refusals, LayerLargerThanTheMesh) {
    const Mapped m = map_with_backend([] {
        ModelBuilder b;
        b.input(256, 64, 64);
        b.add(LayerType::Conv2D, "huge", conv_params(512, 3, 1));
        return b.take();
    });
    EXPECT_TRUE(m.status.error);
    EXPECT_EQ(m.status.to_string(),
              "Cannot map layer 'huge'. Not enough hardware components of type CNP1 available. "
              "133 are needed but 28 are available.");
    EXPECT_TRUE(m.sequences.empty());
}

ModelFactory deep_model() {
    return [] {
        ModelBuilder b;
        b.input(16, 16, 16);
        for (int i = 0; i < 32; ++i) {
            b.add(LayerType::Conv2D, "conv" + std::to_string(i), conv_params(32, 3, 1));
        }
        return b.take();
    };
}

// Prefers the NPs it gave last, when they are offered again: with looping
// reconfiguration, the first layer of a new pass then reuses the NP of the
// last layer of the pass before.
class StickyConstraints : public MapConstraints {
  public:
    using MapConstraints::MapConstraints;
    std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& source, size_t n,
                                      hw::Type type) const override {
        std::vector<hw::Ident> out;
        for (const hw::Ident& id : last_) {
            if (out.size() < n && std::find(source.begin(), source.end(), id) != source.end()) {
                out.push_back(id);
            }
        }
        for (const hw::Ident& id : source) {
            if (out.size() < n && std::find(out.begin(), out.end(), id) == out.end()) {
                out.push_back(id);
            }
        }
        last_ = out;
        (void)type;
        return out;
    }

  private:
    mutable std::vector<hw::Ident> last_;
};

TEST(E2eV2Models, PassesSharingAnNp) {
    auto factory = deep_model();
    auto run = [&] {
        Mapped out;
        out.model = factory();
        auto device = v2_device();
        auto constraints = std::make_shared<StickyConstraints>(device);
        constraints->set_hwpr_loopitself(true);
        out.remaining = out.model->layers();
        HardwareBackend backend;
        out.status = backend.map(&out.remaining, &out.sequences, constraints);
        return out;
    };
    const Mapped m = run();
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    auto seq = m.sequence();
    ASSERT_NE(seq, nullptr);
    ASSERT_GT(seq->passes().size(), 1u);
    const LayerPtr last = last_mappable_layer(seq->passes()[0]->layers);
    const LayerPtr next = first_mappable_layer(seq->passes()[1]->layers);
    const auto& c = layer_mapping_of(*last).nps->at(0);
    const auto& d = layer_mapping_of(*next).nps->at(0);
    ASSERT_EQ(c.ident, d.ident);
    EXPECT_FALSE(c.placement->single_buffer);
    EXPECT_FALSE(d.placement->single_buffer);
    ASSERT_NO_FATAL_FAILURE(verify_program(*seq));
    expect_records_match(*seq);
    expect_chain_routing(*seq);
    EXPECT_EQ(run().bytes(), m.bytes());
}

TEST(E2eV2Models, MultiPassWithLoopingReconfiguration) {
    // With the NP loop-itself reconfiguration the next pass may start on the
    // NPs the previous one ended on; those keep their double buffer.
    auto tweak = [](MapConstraints& c) { c.set_hwpr_loopitself(true); };
    const Mapped m = map_with_backend(deep_model(), tweak);
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    ASSERT_NE(m.sequence(), nullptr);
    Expectation e;
    e.in_dims = {16, 16, 16};
    e.out_dims = {16, 16, 32};
    e.passes = m.sequence()->passes().size();
    EXPECT_GT(e.passes, 1u);
    expect_maps(deep_model(), e, tweak);
}

TEST(E2eV2Models, MultiPass) {
    Expectation e;
    e.in_dims = {16, 16, 16};
    e.out_dims = {16, 16, 32};
    const Mapped m = map_with_backend(deep_model());
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    ASSERT_NE(m.sequence(), nullptr);
    e.passes = m.sequence()->passes().size();
    ASSERT_GT(e.passes, 1u);
    expect_maps(deep_model(), e);
    // Passes are linked: the last layer of a pass sends to the DMA, and the
    // first layer of the next reads from the last one's NPs.
    const auto& passes = m.sequence()->passes();
    for (size_t i = 0; i + 1 < passes.size(); ++i) {
        const LayerMapping& last = layer_mapping_of(*passes[i]->layers.back());
        const LayerMapping& first = layer_mapping_of(*passes[i + 1]->layers.front());
        EXPECT_FALSE(last.output_to_dma);
        EXPECT_EQ(last.next_channel, static_cast<uint8_t>(last.channel + 1));
        EXPECT_EQ(first.input_channel, static_cast<uint8_t>(last.channel + 1));
    }
    const ProgramInfo info(m.sequence()->program().data, m.sequence()->program().size);
    EXPECT_NE(info.dummy_desc_hdr(), 0u);
    expect_chain_routing(*m.sequence());
}

// The preset mesh without its HRC or without its skip DMAs.
Mapped map_on_mesh(const ModelFactory& factory, const Mesh& mesh) {
    Mapped out;
    out.model = factory();
    auto device = make_virtual_device(Selvo_v2, mesh);
    out.remaining = out.model->layers();
    HardwareBackend backend;
    out.status =
        backend.map(&out.remaining, &out.sequences, std::make_shared<MapConstraints>(device));
    return out;
}

// The mesh of the v2 example script: 28 NPs on 7 nodes around the DMA node,
// TNP-Bs on columns 2 and 3, one FNP3 and one FNP2 per node of column 4, no
// HRC and no skip DMA.
Mesh example_mesh() {
    std::vector<np::Info> nps;
    const std::pair<uint8_t, uint8_t> nodes[] = {{1, 2}, {2, 1}, {2, 2}, {3, 1},
                                                 {3, 2}, {4, 1}, {4, 2}};
    for (const auto& [col, row] : nodes) {
        for (uint8_t id = 0; id < 4; ++id) {
            std::set<hw::Type> kinds{hw::Type::CNP1, hw::Type::CNP2};
            if ((col == 2 || col == 3) && id >= 2) kinds.insert(hw::Type::TNP_B);
            if (col == 4 && id == 0) kinds.insert(hw::Type::FNP3);
            if (col == 4 && id == 1) kinds.insert(hw::Type::FNP2);
            nps.emplace_back(hw::Ident{col, row, id, 0}, kinds, true);
        }
    }
    return Mesh(IpVersion::v2, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, std::nullopt,
                std::move(nps), {});
}

TEST(E2eV2Models, ExampleMesh) {
    auto factory = [] {
        ModelBuilder b;
        b.input(16, 16, 3);
        b.add(LayerType::Conv2D, "conv", conv_params(16, 3, 1));
        b.add(LayerType::DepthwiseConv2D, "dwconv",
              {{"kernel_size", 3}, {"kernel_stride", 2}, {"activation", 1}});
        b.add(LayerType::Dense1D, "dense", {{"units", 10}, {"activation", 0}});
        return b.take();
    };
    const Mapped m = map_on_mesh(factory, example_mesh());
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    EXPECT_TRUE(m.remaining.empty());
    auto seq = m.sequence();
    ASSERT_NE(seq, nullptr);
    ASSERT_NO_FATAL_FAILURE(verify_program(*seq));
    expect_records_match(*seq);
    const ProgramInfo info(seq->program().data, seq->program().size);
    EXPECT_EQ(info.input_dims(), (std::vector<uint32_t>{16, 16, 3}));
    EXPECT_EQ(info.output_dims(), (std::vector<uint32_t>{1, 1, 10}));
    EXPECT_EQ(map_on_mesh(factory, example_mesh()).bytes(), m.bytes());
}

TEST(E2eV2Refusals, BufferTempConvWithoutSkipDmas) {
    // A TNP-B layer streams its FIFO through the skip DMAs: on a mesh without
    // them the layer before it cannot leave room for it in any pass.
    auto factory = [] {
        ModelBuilder b;
        b.input(8, 8, 8);
        b.add(LayerType::Conv2D, "conv", conv_params(8, 3, 1));
        b.add(LayerType::BufferTempConv, "btc",
              {{"filters", 8}, {"fifo_size", 2}, {"activation", 1}});
        return b.take();
    };
    EXPECT_FALSE(map_on_mesh(factory, preset_v2_mesh()).status.error);
    const Mapped m = map_on_mesh(factory, example_mesh());
    EXPECT_TRUE(m.status.error);
    EXPECT_EQ(m.status.to_string(),
              "Cannot map layer 'conv'. The next BufferTempConv btc can't be mapped in the current "
              "pass.");
    EXPECT_EQ(m.remaining.size(), 3u);
}

TEST(E2eV2Refusals, NoHrcOnTheMesh) {
    Mesh mesh = preset_v2_mesh();
    mesh.hrc.reset();
    const Mapped m = map_on_mesh(hrc_model(), mesh);
    EXPECT_TRUE(m.status.error);
    EXPECT_EQ(m.status.to_string(),
              "Cannot map layer 'iconv'. Layer should be mapped on HRC but the device does not "
              "have this hardware component.");
    EXPECT_TRUE(m.sequences.empty());
}

TEST(E2eV2Refusals, NoSkipDmaOnTheMesh) {
    Mesh mesh = preset_v2_mesh();
    mesh.skip_dmas.clear();
    const Mapped m = map_on_mesh(residual_block(), mesh);
    EXPECT_TRUE(m.status.error);
    EXPECT_EQ(m.status.to_string(),
              "Cannot map layer 'A'. Not enough hardware components of type SKIP_DMA_STORE "
              "available. 1 is needed but 0 are available.");
    EXPECT_EQ(m.remaining.size(), m.model->layer_count());
    EXPECT_TRUE(m.sequences.empty());
}

// ---------------------------------------------------------------------------
// Model::map rules

std::unique_ptr<Model> small_model() {
    ModelBuilder b;
    b.input(8, 8, 8);
    b.add(LayerType::Conv2D, "conv", conv_params(8, 3, 1));
    return b.take();
}

TEST(E2eV2ModelMap, NullConstraints) {
    auto device = v2_device();
    auto model = small_model();
    try {
        model->map(device, false, nullptr);
        FAIL() << "mapped without constraints";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Map constraints must be specified.");
    }
    EXPECT_TRUE(model->sequences().empty());

    // Hardware-only maps take the device's default constraints.
    model->map(device, true, nullptr);
    ASSERT_EQ(model->sequences().size(), 1u);
    EXPECT_EQ(model->device(), device);
    auto hw_seq = std::dynamic_pointer_cast<HardwareSequence>(model->sequences()[0]);
    ASSERT_NE(hw_seq, nullptr);
    const ByteView a = hw_seq->program();
    auto other = small_model();
    other->map(device, false, std::make_shared<MapConstraints>(device));
    const ByteView b = other->sequences()[0]->program();
    EXPECT_EQ(std::vector<uint8_t>(a.data, a.data + a.size),
              std::vector<uint8_t>(b.data, b.data + b.size));
}

TEST(E2eV2ModelMap, VirtualDeviceCannotRun) {
    auto device = v2_device();
    auto model = small_model();
    model->map(device, false, std::make_shared<MapConstraints>(device));
    auto seq = std::dynamic_pointer_cast<HardwareSequence>(model->sequences().at(0));
    ASSERT_NE(seq, nullptr);
    std::shared_ptr<const Tensor> input =
        Dense::create(TensorType::uint8, Shape({8, 8, 8}), Dense::Layout::RowMajor);
    try {
        seq->forward_samples({input}, nullptr);
        FAIL() << "ran on a virtual device";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "An actual hardware device is required.");
    }
}

TEST(E2eV2ModelMap, ConstraintsOfAnotherDevice) {
    auto device = v2_device();
    auto other = v2_device();
    auto model = small_model();
    EXPECT_THROW(model->map(device, false, std::make_shared<MapConstraints>(other)),
                 std::invalid_argument);
    EXPECT_THROW(model->map(device, true, std::make_shared<MapConstraints>(other)),
                 std::invalid_argument);
    EXPECT_TRUE(model->sequences().empty());
}

}  // namespace
}  // namespace vorna
