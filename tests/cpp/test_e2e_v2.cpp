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
#include "corelib/emulation/emulation.h"
#include "corelib/hardware_device.h"
#include "corelib/model.h"
#include "corelib/program_info.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "program/program_generated.h"
#include "program/record.h"
#include "test_support.h"

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
    ProgramInfo info() const {
        return ProgramInfo(sequence()->program().data, sequence()->program().size);
    }
    const LayerMapping& mapping(const char* name) const {
        return layer_mapping_of(*model->get_layer(name));
    }
};

using Tweak = std::function<void(MapConstraints&)>;

Mapped map_with(const ModelFactory& factory, const std::shared_ptr<MapConstraints>& constraints) {
    Mapped out;
    out.model = factory();
    out.remaining = out.model->layers();
    HardwareBackend backend;
    out.status = backend.map(&out.remaining, &out.sequences, constraints);
    return out;
}

std::shared_ptr<MapConstraints> v2_constraints(const Tweak& tweak) {
    auto constraints = std::make_shared<MapConstraints>(v2_device());
    if (tweak) tweak(*constraints);
    return constraints;
}

Mapped map_with_backend(const ModelFactory& factory, const Tweak& tweak = {}) {
    return map_with(factory, v2_constraints(tweak));
}

// The preset mesh without its HRC or without its skip DMAs, or another mesh.
Mapped map_on_mesh(const ModelFactory& factory, const Mesh& mesh) {
    return map_with(factory, std::make_shared<MapConstraints>(make_virtual_device(Selvo_v2, mesh)));
}

std::vector<uint8_t> bytes_of(const ByteView& v) { return {v.data, v.data + v.size}; }

// A model that maps, its expected program info and the extra checks it needs.
struct Scenario {
    const char* name;
    ModelFactory factory;
    std::vector<uint32_t> in_dims, out_dims;
    uint8_t in_bits = 8, out_bits = 8;
    size_t passes = 1;  // 0: more than one
    Tweak tweak;
    bool routing = false;  // check the CNP chain routing too
    std::function<void(const Mapped&)> extra;

    Scenario(const char* n, ModelFactory f, std::vector<uint32_t> in, std::vector<uint32_t> out)
        : name(n), factory(std::move(f)), in_dims(std::move(in)), out_dims(std::move(out)) {}
    Scenario& bits(int in, int out) {
        in_bits = uint8_t(in);
        out_bits = uint8_t(out);
        return *this;
    }
    Scenario& multi_pass() {
        passes = 0;
        return *this;
    }
    Scenario& with(Tweak t) {
        tweak = std::move(t);
        return *this;
    }
    Scenario& routed() {
        routing = true;
        return *this;
    }
    Scenario& then(std::function<void(const Mapped&)> f) {
        extra = std::move(f);
        return *this;
    }
};

// The whole set of checks of a model that maps: status, one sequence, bytes,
// records, program info, the scenario's own checks, and identical bytes from
// mapping the mapped layers again, from a second map and from Model::map.
void expect_maps(const Scenario& s) {
    const Mapped first = map_with_backend(s.factory, s.tweak);
    ASSERT_FALSE(first.status.error) << first.status.to_string();
    EXPECT_EQ(first.status.to_string(), "Success.");
    EXPECT_TRUE(first.remaining.empty());
    ASSERT_EQ(first.sequences.size(), 1u);
    auto seq = first.sequence();
    ASSERT_NE(seq, nullptr);
    const size_t passes = seq->passes().size();
    if (s.passes) {
        EXPECT_EQ(passes, s.passes);
    } else {
        EXPECT_GT(passes, 1u);
    }
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
    if (s.routing) expect_chain_routing(*seq);

    const ProgramInfo info = first.info();
    EXPECT_EQ(info.input_dims(), s.in_dims);
    EXPECT_EQ(info.output_dims(), s.out_dims);
    EXPECT_EQ(info.input_bits(), s.in_bits);
    EXPECT_EQ(info.output_bits(), s.out_bits);
    EXPECT_EQ(info.pass_count(), passes);
    EXPECT_EQ(info.dummy_desc_hdr() != 0, passes > 1);
    if (s.extra) s.extra(first);

    // The same layers mapped again, over their earlier mappings.
    {
        LayerList again = first.model->layers();
        std::vector<std::shared_ptr<Sequence>> sequences;
        HardwareBackend backend;
        const MappingStatusGroup status = backend.map(&again, &sequences, v2_constraints(s.tweak));
        ASSERT_FALSE(status.error) << status.to_string();
        ASSERT_EQ(sequences.size(), 1u);
        EXPECT_EQ(bytes_of(sequences[0]->program()), first.bytes())
            << "mapping the mapped layers again gives other bytes";
    }
    const Mapped second = map_with_backend(s.factory, s.tweak);
    ASSERT_FALSE(second.status.error) << second.status.to_string();
    EXPECT_EQ(second.bytes(), first.bytes()) << "a second map gives other bytes";

    // The same model through Model::map, twice on the same model.
    auto model = s.factory();
    auto constraints = v2_constraints(s.tweak);
    model->map(constraints->device(), false, constraints);
    ASSERT_EQ(model->sequences().size(), 1u);
    EXPECT_EQ(bytes_of(model->sequences()[0]->program()), first.bytes());
    model->map(constraints->device(), false, constraints);
    ASSERT_EQ(model->sequences().size(), 1u);
    EXPECT_EQ(bytes_of(model->sequences()[0]->program()), first.bytes());
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
P dense(int units, int activation) { return {{"units", units}, {"activation", activation}}; }
P dw(int kernel, int activation) { return {{"kernel_size", kernel}, {"activation", activation}}; }
P iconv(int activation) {
    return {{"filters", 16}, {"kernel_size", 3}, {"kernel_stride", 2}, {"activation", activation}};
}
P plus(P p, const P& more) {
    for (const auto& [k, v] : more) p[k] = v;
    return p;
}

// One layer of a model: inbound layers by name, none for the previous one.
struct L {
    LayerType type;
    std::string name;
    P params;
    std::vector<std::string> inbound = {};
};
using Ls = std::vector<L>;

Ls operator+(Ls a, const Ls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// `n` convolutions conv0, conv1, ... of `filters` 3x3 filters.
Ls convs(int n, int filters = 16) {
    Ls out;
    for (int i = 0; i < n; ++i) {
        out.push_back({LayerType::Conv2D, "conv" + std::to_string(i), conv_params(filters, 3, 1)});
    }
    return out;
}

// An input of x * y * c values of `bits` bits followed by `layers`.
ModelFactory model(uint32_t x, uint32_t y, uint32_t c, Ls layers, int bits = 8) {
    return [=] {
        ModelBuilder b;
        b.input(x, y, c, bits);
        for (const L& l : layers) {
            std::vector<LayerPtr> inbound;
            for (const auto& n : l.inbound) inbound.push_back(b.model().get_layer(n));
            b.add(l.type, l.name, l.params, inbound);
        }
        return b.take();
    };
}

const Ls kResidual{{LayerType::Conv2D, "A", conv_params(16, 3, 1)},
                   {LayerType::Conv2D, "B", conv_params(16, 3, 1)},
                   {LayerType::Conv2D, "E", conv_params(16, 3, 1)},
                   {LayerType::Add, "S", {}, {"E", "A"}},
                   {LayerType::Conv2D, "M", conv_params(16, 1, 1)}};

ModelFactory conv_dw_conv(int activation, int pool_type) {
    P d = dw(3, activation);
    d["output_bits"] = 8;
    if (pool_type) d = plus(d, {{"pool_type", pool_type}, {"pool_size", 2}});
    return model(16, 16, 8,
                 {{LayerType::Conv2D, "conv1", conv_params(16, 3, activation)},
                  {LayerType::DepthwiseConv2D, "dw", d},
                  {LayerType::Conv2D, "conv2", conv_params(24, 1, activation)}});
}

ModelFactory hrc_model() {
    return model(32, 32, 3,
                 {{LayerType::InputConv2D, "iconv", iconv(1)},
                  {LayerType::Conv2D, "conv", conv_params(16, 3, 1, 0, 0, 2)},
                  {LayerType::Dense1D, "dense", dense(10, 0)}});
}

ModelFactory deep_model() { return model(16, 16, 16, convs(32, 32)); }

// input -> Conv2D -> a variant layer -> (optionally) a 4-bit dense tail.
Scenario variant(const char* name, uint32_t xy, int input_bits, LayerType type, const P& params,
                 std::vector<uint32_t> out_dims, bool dense_tail = false) {
    P head = conv_params(16, 3, 1);
    if (input_bits < 8) head["weights_bits"] = input_bits;
    Ls layers{{LayerType::Conv2D, "head", head}, {type, "variant", params}};
    if (dense_tail) {
        layers.push_back({LayerType::Dense1D, "tail",
                          plus(dense(10, 1), {{"weights_bits", 4}, {"output_bits", 4}})});
    }
    const int out_bits = dense_tail                    ? 4
                         : params.count("output_bits") ? params.at("output_bits")
                                                       : 8;
    return Scenario(name, model(xy, xy, 8, layers, input_bits), {xy, xy, 8}, std::move(out_dims))
        .bits(input_bits, out_bits);
}

// An InputConv2D variant on a 32x32 input followed by a convolution.
Scenario hrc_variant(const char* name, uint32_t channels, const P& params,
                     std::vector<uint32_t> out_dims) {
    return Scenario(name,
                    model(32, 32, channels,
                          {{LayerType::InputConv2D, "iconv", params},
                           {LayerType::Conv2D, "conv", conv_params(8, 3, 1)}}),
                    {32, 32, channels}, std::move(out_dims));
}

// Multi-pass programs whose later pass starts on other kinds of NP: the
// unused-NP record then comes from that kind's recorder.
Scenario multi_pass_tail(const char* name, bool hrc_head, LayerType tail, int n) {
    Ls layers = hrc_head ? Ls{{LayerType::InputConv2D, "iconv", iconv(1)}} : Ls{};
    layers = layers + convs(n);
    std::vector<uint32_t> out{16, 16, 16};
    if (tail == LayerType::Dense1D) {
        layers = layers + Ls{{LayerType::Conv2D, "reduce", conv_params(8, 3, 1, 0, 0, 2)},
                             {LayerType::Dense1D, "d1", dense(32, 1)},
                             {LayerType::Dense1D, "d2", dense(10, 0)}};
        out = {1, 1, 10};
    } else if (tail == LayerType::BufferTempConv) {
        layers =
            layers +
            Ls{{LayerType::BufferTempConv,
                "btc",
                {{"filters", 16}, {"fifo_size", 4}, {"activation", 1}}},
               {LayerType::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 4}, {"activation", 1}}}};
    } else {
        layers.push_back({LayerType::Conv2D, "last", conv_params(16, 3, 1)});
    }
    const uint32_t xy = hrc_head ? 32 : 16, c = hrc_head ? 3 : 16;
    return Scenario(name, model(xy, xy, c, layers), {xy, xy, c}, out).multi_pass();
}

// A residual block across two passes: the skip-DMA records join the
// descriptor count of a multi-pass program. With 25 leading convs the pass
// boundary falls right after the Add, which is carried into the next pass in
// front of its merging layer.
Scenario residual_across_passes(const char* name, int leading) {
    return Scenario(name, model(16, 16, 16, convs(leading) + kResidual), {16, 16, 16}, {16, 16, 16})
        .multi_pass()
        .then([](const Mapped& m) {
            // The Add belongs to the pass of the layer it merges into.
            const LayerPtr s = m.model->get_layer("S"), mm = m.model->get_layer("M");
            for (const auto& pass : m.sequence()->passes()) {
                const auto& ls = pass->layers;
                EXPECT_EQ(std::count(ls.begin(), ls.end(), s),
                          std::count(ls.begin(), ls.end(), mm));
            }
        });
}

// Does `blocks` hold a block of one of `targets` on each NP of `m`?
void expect_blocks_on_nps(const std::vector<Block>& blocks, const LayerMapping& m,
                          std::set<uint32_t> targets) {
    for (const hw::Component& c : *m.nps) EXPECT_TRUE(has_block(blocks, c.ident, targets));
}

std::vector<Scenario> scenarios() {
    using LT = LayerType;
    const Ls dense_dense{{LT::Dense1D, "d1", dense(32, 1)}, {LT::Dense1D, "d2", dense(10, 0)}};
    const Ls example{{LT::Conv2D, "conv", conv_params(16, 3, 1)},
                     {LT::DepthwiseConv2D, "dwconv", plus(dw(3, 1), {{"kernel_stride", 2}})},
                     {LT::Dense1D, "dense", dense(10, 0)}};
    const P btc8{{"filters", 8}, {"fifo_size", 4}, {"activation", 1}};
    const P w4{{"weights_bits", 4}};
    return {
        Scenario("conv_chain_plain", conv_dw_conv(0, 0), {16, 16, 8}, {16, 16, 24}).routed(),
        Scenario("conv_chain_relu", conv_dw_conv(1, 0), {16, 16, 8}, {16, 16, 24}).routed(),
        Scenario("conv_chain_relu_maxpool", conv_dw_conv(1, 1), {16, 16, 8}, {8, 8, 24}).routed(),
        Scenario("GlobalAveragePool",
                 model(8, 8, 8,
                       {{LT::Conv2D, "conv1", conv_params(16, 3, 1)},
                        {LT::DepthwiseConv2D, "gap",
                         plus(dw(3, 1), {{"pool_type", 2}, {"pool_size", -1}})},
                        {LT::Conv2D, "conv2", conv_params(16, 1, 0)}}),
                 {8, 8, 8}, {1, 1, 16}),
        Scenario("Conv2DTranspose",
                 model(8, 8, 8,
                       {{LT::Conv2D, "conv", conv_params(16, 3, 1)},
                        {LT::Conv2DTranspose, "convt", plus(dw(3, 1), {{"filters", 8}})}}),
                 {8, 8, 8}, {16, 16, 8}),
        Scenario("DepthwiseConv2DTranspose",
                 model(8, 8, 8,
                       {{LT::Conv2D, "conv", conv_params(16, 3, 1)},
                        {LT::DepthwiseConv2DTranspose, "dwt", dw(3, 1)}}),
                 {8, 8, 8}, {16, 16, 16}),
        Scenario("ResidualBlockWithAdd", model(16, 16, 8, kResidual), {16, 16, 8}, {16, 16, 16})
            .then([](const Mapped& m) {
                // The skip path goes through a skip-DMA store after A and a
                // load into M, both listed in the pass's skip-DMA entries.
                const LayerMapping& ma = m.mapping("A");
                const LayerMapping& mm = m.mapping("M");
                ASSERT_EQ(ma.skipdma_store_components.size(), 1u);
                EXPECT_EQ(ma.skipdma_store_components[0].type, hw::Type::SKIP_DMA_STORE);
                ASSERT_EQ(mm.skipdma_load_components.size(), 1u);
                EXPECT_EQ(mm.skipdma_load_components[0].type, hw::Type::SKIP_DMA_LOAD);
                EXPECT_TRUE(m.mapping("S").nps->empty());
                ASSERT_NE(mm.merge_info, nullptr);
                EXPECT_TRUE(mm.merge_info->from_add);
                const ProgramInfo info = m.info();
                const auto* pass = info.info().passes()->Get(0);
                ASSERT_NE(pass->skipdma_stores(), nullptr);
                ASSERT_NE(pass->skipdma_loads(), nullptr);
                ASSERT_EQ(pass->skipdma_stores()->size(), 1u);
                ASSERT_EQ(pass->skipdma_loads()->size(), 1u);
                // A's 16x16x16 output at 8 bits: 16 x 16 rows of 4 words.
                EXPECT_EQ(pass->skipdma_stores()->Get(0)->size(), 1024u);
                EXPECT_FALSE(pass->skipdma_stores()->Get(0)->tnp_b());
                EXPECT_EQ(pass->skipdma_loads()->Get(0)->size(), 0u);
                // A's record carries the skip-DMA blocks, M's record a merge
                // shift block on each of its NPs.
                const auto records = stored_records(*m.sequence());
                const auto a_blocks = blocks_of(records[0][2]);
                EXPECT_TRUE(std::any_of(a_blocks.begin(), a_blocks.end(), [](const Block& b) {
                    return b.target == dma::SkipDmaRegisters;
                }));
                expect_blocks_on_nps(blocks_of(records[0][6]), mm, {dma::MergeShift});
            }),
        Scenario("DenseDense", model(1, 1, 64, dense_dense), {1, 1, 64}, {1, 1, 10}),
        // A first Dense1D over a 4x4x4 input: the program's input is flattened.
        Scenario("DenseDenseFromImage", model(4, 4, 4, dense_dense), {1, 1, 64}, {1, 1, 10}),
        // Two FNP3s on the mesh: the third dense layer goes to an FNP2, whose
        // weights travel in the record's filters track.
        Scenario("ThreeDensesReachTheFnp2",
                 model(1, 1, 64,
                       {{LT::Dense1D, "d1", dense(48, 1)},
                        {LT::Dense1D, "d2", dense(32, 1)},
                        {LT::Dense1D, "d3", dense(10, 0)}}),
                 {1, 1, 64}, {1, 1, 10})
            .then([](const Mapped& m) {
                std::set<hw::Type> kinds;
                for (const char* name : {"d1", "d2", "d3"}) {
                    ASSERT_EQ(m.mapping(name).nps->size(), 1u) << name;
                    kinds.insert(m.mapping(name).nps->at(0).type);
                }
                EXPECT_EQ(kinds, (std::set<hw::Type>{hw::Type::FNP2, hw::Type::FNP3}));
                EXPECT_GT(extra_program_memory_required(m.info()), 0u);
            }),
        Scenario("InputConvConvDense", hrc_model(), {32, 32, 3}, {1, 1, 10})
            .then([](const Mapped& m) {
                const LayerMapping& mi = m.mapping("iconv");
                ASSERT_EQ(mi.nps->size(), 1u);
                EXPECT_EQ((*mi.nps)[0].type, hw::Type::HRC);
                EXPECT_EQ(mi.channel, 0);
                ASSERT_FALSE(m.mapping("dense").nps->empty());
                const hw::Type dt = m.mapping("dense").nps->at(0).type;
                EXPECT_TRUE(dt == hw::Type::FNP2 || dt == hw::Type::FNP3);
                // An HRC first layer hands its strides to the program info.
                const ProgramInfo info = m.info();
                EXPECT_EQ(info.info().conv_param_0(), 2u);
                EXPECT_EQ(info.info().conv_param_1(), 2u);
                // The input format comes from the list's first layer, the
                // InputData in front of the HRC layer: 8-bit input, so signed.
                EXPECT_TRUE(info.input_signed());
            }),
        hrc_variant("hrc_maxpool", 3,
                    plus(dw(3, 1),
                         {{"filters", 16}, {"pool_type", 1}, {"pool_size", 2}, {"pool_stride", 2}}),
                    {16, 16, 8}),
        hrc_variant("hrc_k5_stride2", 3, {{"filters", 8}, {"kernel_size", 5}, {"kernel_stride", 2}},
                    {16, 16, 8}),
        hrc_variant("hrc_k7_stride2", 3, {{"filters", 8}, {"kernel_size", 7}, {"kernel_stride", 2}},
                    {16, 16, 8}),
        hrc_variant("hrc_grey", 1, {{"filters", 8}, {"kernel_size", 3}, {"kernel_stride", 2}},
                    {16, 16, 8}),
        hrc_variant("hrc_valid_padding", 3,
                    {{"filters", 8}, {"kernel_size", 3}, {"kernel_stride", 2}, {"padding", 0}},
                    {15, 15, 8}),
        Scenario(
            "BufferTempConvs",
            model(8, 8, 8,
                  {{LT::Conv2D, "conv", conv_params(8, 3, 1)},
                   {LT::BufferTempConv, "btc", btc8},
                   {LT::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 4}, {"activation", 1}}}}),
            {8, 8, 8}, {8, 8, 8})
            .then([](const Mapped& m) {
                // Each TNP-B layer keeps its FIFO through a skip-DMA store
                // and load: its 8x8x8 input at 8 bits is 8 x 8 x 2 words.
                const ProgramInfo info = m.info();
                const auto* stores = info.info().passes()->Get(0)->skipdma_stores();
                ASSERT_NE(stores, nullptr);
                ASSERT_EQ(stores->size(), 2u);
                for (const auto* t : *stores) {
                    EXPECT_TRUE(t->tnp_b());
                    EXPECT_EQ(t->size(), 128u);
                }
            }),
        Scenario(
            "BufferTempConvFirst",
            model(8, 8, 8,
                  {{LT::BufferTempConv, "btc", plus(btc8, {{"fifo_size", 2}})},
                   {LT::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 3}, {"activation", 1}}},
                   {LT::Conv2D, "conv", conv_params(16, 3, 1)}}),
            {8, 8, 8}, {8, 8, 16}),
        Scenario("Concatenate",
                 model(16, 16, 8,
                       {{LT::Conv2D, "A", conv_params(8, 3, 1)},
                        {LT::Conv2D, "B", conv_params(8, 3, 1)},
                        {LT::Concatenate, "cat", {}, {"B", "A"}},
                        {LT::Conv2D, "M", conv_params(16, 1, 1)}}),
                 {16, 16, 8}, {16, 16, 16}),
        Scenario("ConcatenateIntoDepthwise",
                 model(16, 16, 8,
                       {{LT::Conv2D, "A", conv_params(8, 3, 1)},
                        {LT::Conv2D, "B", conv_params(8, 3, 1)},
                        {LT::Concatenate, "cat", {}, {"B", "A"}},
                        {LT::DepthwiseConv2D, "M", dw(3, 1)}}),
                 {16, 16, 8}, {16, 16, 16}),
        // A feeds two convolutions whose outputs are concatenated.
        Scenario("ParallelBranchesConcatenated",
                 model(16, 16, 8,
                       {{LT::Conv2D, "A", conv_params(8, 3, 1)},
                        {LT::Conv2D, "L", conv_params(8, 3, 1), {"A"}},
                        {LT::Conv2D, "R", conv_params(8, 1, 1), {"A"}},
                        {LT::Concatenate, "cat", {}, {"L", "R"}},
                        {LT::Conv2D, "M", conv_params(16, 1, 1)}}),
                 {16, 16, 8}, {16, 16, 16}),
        Scenario("ConcatenateInASecondPass",
                 model(16, 16, 16,
                       convs(26) + Ls{{LT::Conv2D, "A", conv_params(8, 3, 1)},
                                      {LT::Conv2D, "B", conv_params(8, 3, 1)},
                                      {LT::Conv2D, "C", conv_params(8, 3, 1)},
                                      {LT::Concatenate, "cat", {}, {"C", "A"}},
                                      {LT::Conv2D, "M", conv_params(16, 1, 1)}}),
                 {16, 16, 16}, {16, 16, 16})
            .multi_pass(),
        // Layers too large for one NP: split by filters and by width, each NP
        // recorded with its own slice of the weights and variables.
        Scenario("LayersSplitOverSeveralNps",
                 model(128, 16, 8,
                       {{LT::Conv2D, "wide", conv_params(64, 3, 1)},
                        {LT::DepthwiseConv2D, "dw", dw(3, 1)},
                        {LT::Conv2D, "deep", conv_params(256, 3, 1)}}),
                 {128, 16, 8}, {128, 16, 256})
            .routed()
            .then([](const Mapped& m) {
                for (const char* name : {"wide", "dw", "deep"}) {
                    EXPECT_GT(m.mapping(name).nps->size(), 1u) << name;
                }
            }),
        Scenario("FourBitWeights",
                 model(16, 16, 8,
                       {{LT::Conv2D, "conv1", plus(conv_params(16, 3, 1), w4)},
                        {LT::DepthwiseConv2D, "dw",
                         plus(dw(3, 1), {{"weights_bits", 4}, {"output_bits", 4}})},
                        {LT::Conv2D, "conv2", plus(conv_params(16, 1, 1), w4)}}),
                 {16, 16, 8}, {16, 16, 16}),
        residual_across_passes("ResidualAcrossPasses25", 25),
        residual_across_passes("ResidualAcrossPasses26", 26),
        // The model of the v2 example script: conv, strided depthwise, dense.
        Scenario("ExampleModel", model(16, 16, 3, example), {16, 16, 3}, {1, 1, 10}),
        multi_pass_tail("tail_dense", false, LT::Dense1D, 27),
        multi_pass_tail("tail_tnp_b", false, LT::BufferTempConv, 28),
        multi_pass_tail("tail_hrc_conv", true, LT::Conv2D, 28),
        multi_pass_tail("tail_hrc_dense", true, LT::Dense1D, 27),
        // A look-up-table activation adds the table block to every CNP and
        // the HRC's table write to the input convolution.
        Scenario("LutActivations",
                 model(32, 32, 3,
                       {{LT::InputConv2D, "iconv", iconv(2)},
                        {LT::Conv2D, "conv", conv_params(16, 3, 2)},
                        {LT::Conv2D, "out", conv_params(8, 1, 1)}}),
                 {32, 32, 3}, {16, 16, 8})
            .then([](const Mapped& m) {
                const auto records = stored_records(*m.sequence());
                expect_blocks_on_nps(blocks_of(records[0][3]), m.mapping("conv"), {dma::CnpLut});
            }),
        // The input formats come from the Quantizer, the output's from the
        // Dequantizer: its input bits, zero shifts and its scales as they are.
        Scenario("QuantizerAndDequantizer",
                 [] {
                     ModelBuilder b;
                     auto q = b.add(LT::Quantizer, "q",
                                    {{"input_width", 8},
                                     {"input_height", 8},
                                     {"input_channels", 4},
                                     {"output_bits", 8},
                                     {"output_signed", 1}});
                     auto scales = std::dynamic_pointer_cast<Dense>(q->variables()->get("scales"));
                     for (size_t i = 0; i < scales->size(); ++i) {
                         scales->data<float>()[i] = 0.5f + float(i);
                     }
                     b.add(LT::Conv2D, "conv", conv_params(8, 3, 0));
                     auto dq = b.add(LT::Dequantizer, "dq", {});
                     auto out = std::dynamic_pointer_cast<Dense>(dq->variables()->get("scales"));
                     for (size_t i = 0; i < out->size(); ++i) out->data<float>()[i] = 4.0f;
                     return b.take();
                 },
                 {8, 8, 4}, {8, 8, 8})
            .then([](const Mapped& m) {
                const ProgramInfo info = m.info();
                EXPECT_TRUE(info.input_signed());
                EXPECT_EQ(info.output_shift(), std::vector<int32_t>(8, 0));
                EXPECT_EQ(info.output_scales(), std::vector<float>(8, 4.0f));
                ASSERT_NE(info.info().input_scales(), nullptr);
                EXPECT_EQ(std::vector<float>(info.info().input_scales()->begin(),
                                             info.info().input_scales()->end()),
                          (std::vector<float>{0.5f, 1.5f, 2.5f, 3.5f}));
            }),
        // The HRC is the last mappable layer: its output goes to the DMA.
        Scenario("InputConvAlone", model(32, 32, 3, {{LT::InputConv2D, "iconv", iconv(1)}}),
                 {32, 32, 3}, {16, 16, 16}),
        variant("conv_k5", 16, 8, LT::Conv2D, {{"filters", 8}, {"kernel_size", 5}}, {16, 16, 8}),
        variant("conv_same_upper", 16, 8, LT::Conv2D,
                {{"filters", 8}, {"kernel_size", 3}, {"padding", 2}, {"kernel_stride", 2}},
                {8, 8, 8}),
        variant("conv_k7", 16, 8, LT::Conv2D, {{"filters", 8}, {"kernel_size", 7}}, {16, 16, 8}),
        variant("conv_stride2", 16, 8, LT::Conv2D,
                {{"filters", 8}, {"kernel_size", 3}, {"kernel_stride", 2}}, {8, 8, 8}),
        variant("dw_stride2", 16, 8, LT::DepthwiseConv2D,
                {{"kernel_size", 3}, {"kernel_stride", 2}}, {8, 8, 16}),
        variant("dw_k5", 16, 8, LT::DepthwiseConv2D, {{"kernel_size", 5}}, {16, 16, 16}),
        variant("conv_out4", 16, 8, LT::Conv2D,
                {{"filters", 8}, {"kernel_size", 3}, {"output_bits", 4}}, {16, 16, 8}),
        variant("conv_no_act", 16, 8, LT::Conv2D,
                {{"filters", 8}, {"kernel_size", 3}, {"activation", 0}}, {16, 16, 8}),
        variant("out4_to_dense", 8, 8, LT::Conv2D,
                {{"filters", 8}, {"kernel_size", 3}, {"output_bits", 4}}, {1, 1, 10}, true),
        variant("conv_4bit_input", 16, 4, LT::Conv2D, {{"filters", 8}, {"kernel_size", 3}},
                {16, 16, 8}),
        variant("convt_k4", 8, 8, LT::Conv2DTranspose, {{"filters", 8}, {"kernel_size", 4}},
                {16, 16, 8}),
        variant("dwt_k4", 8, 8, LT::DepthwiseConv2DTranspose, {{"kernel_size", 4}}, {16, 16, 16}),
        variant("btc_no_act", 8, 8, LT::BufferTempConv,
                {{"filters", 8}, {"fifo_size", 3}, {"activation", 0}}, {8, 8, 8}),
        variant("dense_from_image", 4, 8, LT::Dense1D, {{"units", 12}}, {1, 1, 12}),
        // M ends the first block (it merges the skip path) and starts the
        // second (its output also goes to a skip-DMA store).
        Scenario("TwoResidualBlocksInARow",
                 model(16, 16, 8,
                       {{LT::Conv2D, "A", conv_params(16, 3, 1)},
                        {LT::Conv2D, "B", conv_params(16, 3, 1)},
                        {LT::Conv2D, "E", conv_params(16, 3, 1)},
                        {LT::Add, "S1", {}, {"E", "A"}},
                        {LT::Conv2D, "M", conv_params(16, 3, 1)},
                        {LT::Conv2D, "N", conv_params(16, 3, 1)},
                        {LT::Add, "S2", {}, {"N", "M"}},
                        {LT::DepthwiseConv2D, "O", dw(3, 1)}}),
                 {16, 16, 8}, {16, 16, 16}),
        // The skip path's source and its merging layer both span several NPs.
        Scenario("ResidualBlockOnSplitLayers",
                 model(128, 16, 8,
                       {{LT::Conv2D, "A", conv_params(64, 3, 1)},
                        {LT::Conv2D, "E", conv_params(64, 3, 1)},
                        {LT::Add, "S", {}, {"E", "A"}},
                        {LT::Conv2D, "M", conv_params(64, 3, 1)}}),
                 {128, 16, 8}, {128, 16, 64}),
        Scenario("ResidualAroundDepthwiseAndTranspose",
                 model(8, 8, 8,
                       {{LT::Conv2D, "A", conv_params(16, 3, 1)},
                        {LT::DepthwiseConv2D, "D", dw(3, 1)},
                        {LT::Add, "S", {}, {"D", "A"}},
                        {LT::Conv2DTranspose, "T", plus(dw(3, 1), {{"filters", 8}})}}),
                 {8, 8, 8}, {16, 16, 8}),
        // Passes are linked: the last layer of a pass does not send to the
        // DMA, and the first layer of the next reads on the following channel.
        Scenario("MultiPass", deep_model(), {16, 16, 16}, {16, 16, 32})
            .multi_pass()
            .routed()
            .then([](const Mapped& m) {
                const auto& passes = m.sequence()->passes();
                for (size_t i = 0; i + 1 < passes.size(); ++i) {
                    const LayerMapping& last = layer_mapping_of(*passes[i]->layers.back());
                    const LayerMapping& first = layer_mapping_of(*passes[i + 1]->layers.front());
                    EXPECT_FALSE(last.output_to_dma);
                    EXPECT_EQ(last.next_channel, static_cast<uint8_t>(last.channel + 1));
                    EXPECT_EQ(first.input_channel, static_cast<uint8_t>(last.channel + 1));
                }
            }),
        // With the NP loop-itself reconfiguration the next pass may start on
        // the NPs the previous one ended on; those keep their double buffer.
        Scenario("MultiPassWithLoopingReconfiguration", deep_model(), {16, 16, 16}, {16, 16, 32})
            .multi_pass()
            .with([](MapConstraints& c) { c.set_hwpr_loopitself(true); }),
    };
}

class E2eV2Maps : public ::testing::TestWithParam<Scenario> {};

TEST_P(E2eV2Maps, Model) { expect_maps(GetParam()); }

INSTANTIATE_TEST_SUITE_P(E2eV2, E2eV2Maps, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

TEST(E2eV2Mesh, PresetMeshIsAFullV2Mesh) {
    const Mesh& mesh = preset_v2_mesh();
    EXPECT_EQ(mesh.ip_version, IpVersion::v2);
    EXPECT_EQ(mesh.nps.size(), 28u);
    EXPECT_TRUE(mesh.hrc.has_value());
    EXPECT_FALSE(mesh.skip_dmas.empty());
}

TEST(E2eV2Models, FirstDenseSizedForAllItsInputs) {
    // A first Dense1D over a 4x4x4 input needs the memories of one over a
    // flat 64-value input.
    const Ls d1{{LayerType::Dense1D, "d1", dense(32, 1)}};
    const Mapped image = map_with_backend(model(4, 4, 4, d1));
    const Mapped flat = map_with_backend(model(1, 1, 64, d1));
    ASSERT_FALSE(image.status.error) << image.status.to_string();
    ASSERT_FALSE(flat.status.error) << flat.status.to_string();
    const hw::Component& a = image.mapping("d1").nps->at(0);
    const hw::Component& b = flat.mapping("d1").nps->at(0);
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.mem_info.input_size, b.mem_info.input_size);
    EXPECT_EQ(a.mem_info.weight_size, b.mem_info.weight_size);
    EXPECT_EQ(a.mem_info.external_size, b.mem_info.external_size);
    EXPECT_GE(a.mem_info.input_size, 64u);
}

// Prefers the NPs it gave last, when they are offered again: with looping
// reconfiguration, the first layer of a new pass then reuses the NP of the
// last layer of the pass before.
class StickyConstraints : public MapConstraints {
  public:
    using MapConstraints::MapConstraints;
    std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& source, size_t n,
                                      hw::Type) const override {
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
        return out;
    }

  private:
    mutable std::vector<hw::Ident> last_;
};

TEST(E2eV2Models, PassesSharingAnNp) {
    auto run = [] {
        auto constraints = std::make_shared<StickyConstraints>(v2_device());
        constraints->set_hwpr_loopitself(true);
        return map_with(deep_model(), constraints);
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

// The mesh of the v2 example script: 28 NPs on 7 nodes around the DMA node,
// TNP-Bs on columns 2 and 3, one FNP3 and one FNP2 per node of column 4, no
// HRC and no skip DMA.
Mesh example_mesh() {
    return Mesh(IpVersion::v2, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, std::nullopt,
                test_support::seven_node_v2_nps(), {});
}

TEST(E2eV2Models, ExampleMesh) {
    const ModelFactory factory =
        model(16, 16, 3,
              {{LayerType::Conv2D, "conv", conv_params(16, 3, 1)},
               {LayerType::DepthwiseConv2D, "dwconv", plus(dw(3, 1), {{"kernel_stride", 2}})},
               {LayerType::Dense1D, "dense", dense(10, 0)}});
    const Mapped m = map_on_mesh(factory, example_mesh());
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    EXPECT_TRUE(m.remaining.empty());
    auto seq = m.sequence();
    ASSERT_NE(seq, nullptr);
    ASSERT_NO_FATAL_FAILURE(verify_program(*seq));
    expect_records_match(*seq);
    EXPECT_EQ(m.info().input_dims(), (std::vector<uint32_t>{16, 16, 3}));
    EXPECT_EQ(m.info().output_dims(), (std::vector<uint32_t>{1, 1, 10}));
    EXPECT_EQ(map_on_mesh(factory, example_mesh()).bytes(), m.bytes());
}

// ---------------------------------------------------------------------------
// Refusals

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
    EXPECT_EQ(m.info().output_dims(), (std::vector<uint32_t>{16, 16, 16}));
}

// A model refused with an exact status. Every refused layer stays unmapped.
struct Refusal {
    const char* name;
    ModelFactory factory;
    const char* message;
    std::function<Mesh()> mesh = {};  // none: the preset mesh
    bool all_remain = false;          // nothing at all was mapped
    bool no_sequence = false;
};

Mesh preset_without_hrc() {
    Mesh mesh = preset_v2_mesh();
    mesh.hrc.reset();
    return mesh;
}

Mesh preset_without_skip_dmas() {
    Mesh mesh = preset_v2_mesh();
    mesh.skip_dmas.clear();
    return mesh;
}

// input (8x8x8 of `bits` bits) -> Conv2D "head" -> Conv2D or Dense1D "next".
ModelFactory head_next(const P& head, LayerType next_type, const P& next, int bits = 8) {
    return model(8, 8, 8, {{LayerType::Conv2D, "head", head}, {next_type, "next", next}}, bits);
}

const ModelFactory kConvIntoBtc = model(
    8, 8, 8,
    {{LayerType::Conv2D, "conv", conv_params(8, 3, 1)},
     {LayerType::BufferTempConv, "btc", {{"filters", 8}, {"fifo_size", 2}, {"activation", 1}}}});

class E2eV2Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(E2eV2Refused, Status) {
    const Refusal& r = GetParam();
    const Mapped m = r.mesh ? map_on_mesh(r.factory, r.mesh()) : map_with_backend(r.factory);
    EXPECT_TRUE(m.status.error);
    EXPECT_EQ(m.status.to_string(), r.message);
    EXPECT_FALSE(m.remaining.empty());
    if (r.all_remain) {
        EXPECT_EQ(m.remaining.size(), m.model->layer_count());
    }
    if (r.no_sequence) {
        EXPECT_TRUE(m.sequences.empty());
    }
}

// A TNP-B layer streams its FIFO through the skip DMAs: on a mesh without
// them the layer before it cannot leave room for it in any pass.
TEST(E2eV2Refusals, BufferTempConvMapsWithSkipDmas) {
    EXPECT_FALSE(map_with_backend(kConvIntoBtc).status.error);
}

INSTANTIATE_TEST_SUITE_P(
    E2eV2, E2eV2Refused,
    ::testing::Values(
        Refusal{"valid_padding",
                head_next(conv_params(8, 3, 1), LayerType::Conv2D,
                          {{"filters", 8}, {"kernel_size", 5}, {"padding", 0}}),
                "Cannot map layer 'next'. Only padding 'Same' and 'SameUpper' are supported."},
        Refusal{
            "same_upper_stride1_4bit",
            head_next(conv_params(8, 3, 1), LayerType::Conv2D,
                      {{"filters", 8}, {"kernel_size", 3}, {"padding", 2}, {"weights_bits", 4}}),
            "Cannot map layer 'next'. With SameUpper padding only stride 2 is supported. With "
            "SameUpper padding only 8-bit weights are supported."},
        Refusal{"input_narrower_than_weights",
                head_next(conv_params(8, 3, 1), LayerType::Conv2D, conv_params(8, 3, 1), 4),
                "Cannot map layer 'head'. Input bits should be >= weights bits."},
        Refusal{"max_pool_into_dense",
                head_next(conv_params(8, 3, 1, 1, 2), LayerType::Dense1D, {{"units", 10}}),
                "Cannot map layer 'head':\n"
                "  * Layer 'head': A layer with max pooling cannot be the last layer of a "
                "sequence.\n"
                "  * Layer 'next': Any layer with max pooling must be followed by a layer mapped "
                "on a CNP or a TNP-B. Layer 'head' has max pooling."},
        // 28 one-NP convs per pass, two tracks per conv record (an empty
        // track in front of the XL weight block): in the fifth pass, conv137
        // brings the count to 5 x 26 x 2 = 260.
        Refusal{"DescriptorBudget",
                model(16, 16, 16, convs(300)),
                "Cannot map layer 'conv137'. Model is too big. The maximum number of descriptors "
                "is more than allowed. 260 are needed but 254 are available.",
                {},
                true,
                true},
        // An Add takes CNP (or skip-DMA) inbounds only; the run that ends at
        // the TNP-B layer leaves the skip branch open. The group is headed by
        // the first status, which has no layer name.
        Refusal{"ResidualBlockAroundBufferTempConv",
                model(8, 8, 8,
                      {{LayerType::Conv2D, "A", conv_params(8, 3, 1)},
                       {LayerType::BufferTempConv,
                        "T",
                        {{"filters", 8}, {"fifo_size", 4}, {"activation", 1}}},
                       {LayerType::Add, "S", {}, {"T", "A"}},
                       {LayerType::Conv2D, "M", conv_params(8, 3, 1)}}),
                "Cannot map layer '':\n"
                "  * Bad mapping on skip connection. Several branches.\n"
                "  * Layer 'S': Inbounds must be of types Conv, Add or Concat."},
        Refusal{"LayerLargerThanTheMesh",
                model(256, 64, 64, {{LayerType::Conv2D, "huge", conv_params(512, 3, 1)}}),
                "Cannot map layer 'huge'. Not enough hardware components of type CNP1 "
                "available. 133 are needed but 28 are available.",
                {},
                false,
                true},
        Refusal{"BufferTempConvWithoutSkipDmas", kConvIntoBtc,
                "Cannot map layer 'conv'. The next BufferTempConv btc can't be mapped in the "
                "current pass.",
                example_mesh, true},
        Refusal{"NoHrcOnTheMesh", hrc_model(),
                "Cannot map layer 'iconv'. Layer should be mapped on HRC but the device does not "
                "have this hardware component.",
                preset_without_hrc, false, true},
        Refusal{"NoSkipDmaOnTheMesh", model(16, 16, 8, kResidual),
                "Cannot map layer 'A'. Not enough hardware components of type SKIP_DMA_STORE "
                "available. 1 is needed but 0 are available.",
                preset_without_skip_dmas, true, true}),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// ---------------------------------------------------------------------------
// Model::map rules

const ModelFactory kSmallModel =
    model(8, 8, 8, {{LayerType::Conv2D, "conv", conv_params(8, 3, 1)}});

TEST(E2eV2ModelMap, NullConstraints) {
    auto device = v2_device();
    auto model = kSmallModel();
    EXPECT_EQ(test_support::runtime_error_text([&] { model->map(device, false, nullptr); }),
              "Map constraints must be specified.");
    EXPECT_TRUE(model->sequences().empty());

    // Hardware-only maps take the device's default constraints.
    model->map(device, true, nullptr);
    ASSERT_EQ(model->sequences().size(), 1u);
    EXPECT_EQ(model->device(), device);
    auto hw_seq = std::dynamic_pointer_cast<HardwareSequence>(model->sequences()[0]);
    ASSERT_NE(hw_seq, nullptr);
    auto other = kSmallModel();
    other->map(device, false, std::make_shared<MapConstraints>(device));
    EXPECT_EQ(bytes_of(hw_seq->program()), bytes_of(other->sequences()[0]->program()));
}

TEST(E2eV2ModelMap, VirtualDeviceCannotRun) {
    auto device = v2_device();
    auto model = kSmallModel();
    model->map(device, false, std::make_shared<MapConstraints>(device));
    auto seq = std::dynamic_pointer_cast<HardwareSequence>(model->sequences().at(0));
    ASSERT_NE(seq, nullptr);
    std::shared_ptr<const Tensor> input =
        Dense::create(TensorType::uint8, Shape({8, 8, 8}), Dense::Layout::RowMajor);
    EXPECT_EQ(test_support::runtime_error_text([&] { seq->forward_samples({input}, nullptr); }),
              "An actual hardware device is required.");
}

TEST(E2eV2ModelMap, ConstraintsOfAnotherDevice) {
    auto device = v2_device();
    auto other = v2_device();
    auto model = kSmallModel();
    EXPECT_THROW(model->map(device, false, std::make_shared<MapConstraints>(other)),
                 std::invalid_argument);
    EXPECT_THROW(model->map(device, true, std::make_shared<MapConstraints>(other)),
                 std::invalid_argument);
    EXPECT_TRUE(model->sequences().empty());
}

}  // namespace
}  // namespace vorna
