// Whole models mapped onto the preset v2 mesh, their programs pinned by an FNV-1a hash.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "backend/hardware_backend.h"
#include "backend/hardware_sequence.h"
#include "corelib/dma.h"
#include "e2e_test_util.h"
#include "test_support.h"
#include "v2_e2e_fill.h"

namespace vorna {
namespace {

using P = std::map<std::string, int>;
using LayerPtr = std::shared_ptr<Layer>;
using LT = LayerType;

const Mesh& preset_v2_mesh() {
    static const Mesh mesh = e2e::preset_mesh("v2");
    return mesh;
}

std::shared_ptr<Device> v2_device() { return make_virtual_device(Selvo_v2, preset_v2_mesh()); }

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

struct L {
    LayerType type;
    std::string name;
    P params;
    std::vector<std::string> inbound = {};
};
using Ls = std::vector<L>;
using ModelFactory = std::function<std::unique_ptr<Model>()>;

Ls operator+(Ls a, const Ls& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Ls convs(int n, int filters = 16) {
    Ls out;
    for (int i = 0; i < n; ++i) {
        out.push_back({LT::Conv2D, "conv" + std::to_string(i), conv_params(filters, 3, 1)});
    }
    return out;
}

ModelFactory model(uint32_t x, uint32_t y, uint32_t c, Ls layers, int bits = 8) {
    return [=] {
        auto m = Model::create();
        m->add(e2e::make_layer(LT::InputData, "input",
                               {{"input_width", int(x)},
                                {"input_height", int(y)},
                                {"input_channels", int(c)},
                                {"input_bits", bits}}),
               {});
        int seed = 2;
        for (const L& l : layers) {
            std::vector<LayerPtr> inbound;
            for (const auto& n : l.inbound) inbound.push_back(m->get_layer(n));
            auto layer = e2e::make_layer(l.type, l.name, l.params);
            m->add(layer, inbound);
            v2_e2e::fill_variables(*layer, seed++);
        }
        return m;
    };
}

const Ls kResidual{{LT::Conv2D, "A", conv_params(16, 3, 1)},
                   {LT::Conv2D, "B", conv_params(16, 3, 1)},
                   {LT::Conv2D, "E", conv_params(16, 3, 1)},
                   {LT::Add, "S", {}, {"E", "A"}},
                   {LT::Conv2D, "M", conv_params(16, 1, 1)}};

ModelFactory conv_dw_conv(int activation, int pool_type) {
    P d = plus(dw(3, activation), {{"output_bits", 8}});
    if (pool_type) d = plus(d, {{"pool_type", pool_type}, {"pool_size", 2}});
    return model(16, 16, 8,
                 {{LT::Conv2D, "conv1", conv_params(16, 3, activation)},
                  {LT::DepthwiseConv2D, "dw", d},
                  {LT::Conv2D, "conv2", conv_params(24, 1, activation)}});
}

ModelFactory hrc_model() {
    return model(32, 32, 3,
                 {{LT::InputConv2D, "iconv", iconv(1)},
                  {LT::Conv2D, "conv", conv_params(16, 3, 1, 0, 0, 2)},
                  {LT::Dense1D, "dense", dense(10, 0)}});
}

ModelFactory deep_model() { return model(16, 16, 16, convs(32, 32)); }

const Ls kExample{{LT::Conv2D, "conv", conv_params(16, 3, 1)},
                  {LT::DepthwiseConv2D, "dwconv", plus(dw(3, 1), {{"kernel_stride", 2}})},
                  {LT::Dense1D, "dense", dense(10, 0)}};

// clang-format off
const std::map<std::string, uint64_t> kHashes = {
    {"PassesSharingAnNp", 0x5e1c6c8a0e8d24e2ull}, {"ExampleMesh", 0x3929617cf529ee65ull},
    {"conv_chain_plain", 0x6b1dd7ee972d6ed3ull}, {"conv_chain_relu", 0x9e3105ed55c5254dull},
    {"conv_chain_relu_maxpool", 0xe2ec1526d401a159ull},
    {"GlobalAveragePool", 0x1a426b5a1d7809d4ull}, {"Conv2DTranspose", 0xf8a700000a54a974ull},
    {"DepthwiseConv2DTranspose", 0x98fc1ffdd4ccf78eull},
    {"ResidualBlockWithAdd", 0x08db08c4bf47d3c2ull}, {"DenseDense", 0xb5508ea6eb2b5dc3ull},
    {"DenseDenseFromImage", 0xb5508ea6eb2b5dc3ull},
    {"ThreeDensesReachTheFnp2", 0xcb4f55aa9b869634ull},
    {"InputConvConvDense", 0x5b16caa69db6ea55ull}, {"hrc_maxpool", 0x708afd45a4aac74full},
    {"hrc_k5_stride2", 0x19c392834b16d6c0ull}, {"hrc_k7_stride2", 0xeb0c54ec69e7adf2ull},
    {"hrc_grey", 0x5c70bad2f1ff8d96ull}, {"hrc_valid_padding", 0x21d7a8c103031e5dull},
    {"BufferTempConvs", 0x4c0f7fc0f429d906ull}, {"BufferTempConvFirst", 0x9281e9c21f10d539ull},
    {"Concatenate", 0x2cf50fc3ce3a6b37ull}, {"ConcatenateIntoDepthwise", 0x317f48e5a0b078baull},
    {"ParallelBranchesConcatenated", 0x2ddda9d82becb973ull},
    {"ConcatenateInASecondPass", 0xbc67f1517ac78d1dull},
    {"LayersSplitOverSeveralNps", 0x61927ed9da835799ull}, {"FourBitWeights", 0x99fd074653b4da2bull},
    {"ResidualAcrossPasses25", 0xa6343594f4f2657bull},
    {"ResidualAcrossPasses26", 0xc433767edb131ec3ull}, {"ExampleModel", 0x3929617cf529ee65ull},
    {"tail_dense", 0xb1ba08ac24f38a7eull}, {"tail_tnp_b", 0x854518d559dd0099ull},
    {"tail_hrc_conv", 0xd6c81e71423652e0ull}, {"tail_hrc_dense", 0x3a82bbb23931b6b5ull},
    {"LutActivations", 0x72edc975c364f4f2ull}, {"QuantizerAndDequantizer", 0x963c28825280b774ull},
    {"InputConvAlone", 0x661de58421adfbedull}, {"conv_k5", 0x30a119e394430649ull},
    {"conv_same_upper", 0x38c6af99a348b8a4ull}, {"conv_k7", 0xb125ecf8a13e3543ull},
    {"conv_stride2", 0x2303048967f69304ull}, {"dw_stride2", 0x477e8d75b812b638ull},
    {"dw_k5", 0x52010a1d1ff80808ull}, {"conv_out4", 0xf895b476782348a7ull},
    {"conv_no_act", 0x881e4a3b1dfc6669ull}, {"out4_to_dense", 0x18fd0d50f9fcf2e8ull},
    {"conv_4bit_input", 0x89214dcce6d0e320ull}, {"convt_k4", 0x756c784ed284381full},
    {"dwt_k4", 0x57dcecd244e23345ull}, {"btc_no_act", 0xbb29b84a1f4f77eeull},
    {"dense_from_image", 0x63796a9b45aeec84ull}, {"TwoResidualBlocksInARow", 0x739ccc0d94f2d3a8ull},
    {"ResidualBlockOnSplitLayers", 0x4b442902e9da95b5ull},
    {"ResidualAroundDepthwiseAndTranspose", 0x496df2da1b640bf1ull},
    {"MultiPass", 0x2f6a4c709ea8774full},
};
// clang-format on

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

Mapped map_with(const ModelFactory& factory, const std::shared_ptr<MapConstraints>& constraints) {
    Mapped out;
    out.model = factory();
    out.remaining = out.model->layers();
    HardwareBackend backend;
    out.status = backend.map(&out.remaining, &out.sequences, constraints);
    return out;
}

std::shared_ptr<MapConstraints> v2_constraints() {
    return std::make_shared<MapConstraints>(v2_device());
}

Mapped map_on_mesh(const ModelFactory& factory, const Mesh& mesh) {
    return map_with(factory, std::make_shared<MapConstraints>(make_virtual_device(Selvo_v2, mesh)));
}

std::vector<uint8_t> bytes_of(const ByteView& v) { return {v.data, v.data + v.size}; }

void expect_hash(const std::vector<uint8_t>& bytes, uint64_t want) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : bytes) h = (h ^ b) * 0x100000001b3ull;
    char hex[24];
    std::snprintf(hex, sizeof hex, "0x%016llx", static_cast<unsigned long long>(h));
    EXPECT_EQ(h, want) << "program hash " << hex;
}

void expect_program(const HardwareSequence& seq) {
    e2e::CheckedProgram program;
    e2e::check_program(seq, &program);
}

std::set<std::pair<hw::Ident, uint32_t>> record_blocks(const Mapped& m, size_t pass, size_t rec) {
    const ByteView b = m.sequence()->program();
    const ProgramInfo reader(b.data, b.size);
    std::set<std::pair<hw::Ident, uint32_t>> out;
    const auto* record = reader.data()
                             ->passes()
                             ->Get(flatbuffers::uoffset_t(pass))
                             ->records()
                             ->Get(flatbuffers::uoffset_t(rec));
    for (const auto* track : *record->tracks()) {
        const auto* w = track->data();
        for (size_t pos = 0; pos + 2 <= w->size();) {
            const uint32_t h0 = w->Get(pos);
            out.emplace(hw::Ident(uint8_t(dma::HDR0_COL.get(h0)), uint8_t(dma::HDR0_ROW.get(h0)),
                                  uint8_t(dma::HDR0_ID.get(h0))),
                        dma::HDR0_TARGET.get(h0));
            pos += 2 + (dma::HDR0_XL.get(h0) ? 16 * dma::HDR1_XL_SIZE.get(w->Get(pos + 1))
                                             : dma::HDR0_SIZE.get(h0));
        }
    }
    return out;
}

void expect_blocks_on_nps(const std::set<std::pair<hw::Ident, uint32_t>>& blocks,
                          const LayerMapping& m, uint32_t target) {
    for (const hw::Component& c : *m.nps) {
        EXPECT_TRUE(blocks.count({hw::Ident(c.ident.col, c.ident.row, c.ident.id), target}))
            << int(c.ident.col) << "." << int(c.ident.row) << "." << int(c.ident.id);
    }
}

struct Scenario {
    const char* name;
    ModelFactory factory;
    std::vector<uint32_t> in_dims, out_dims;
    uint8_t in_bits = 8, out_bits = 8;
    size_t passes = 1;  // 0: more than one
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
    Scenario& then(std::function<void(const Mapped&)> f) {
        extra = std::move(f);
        return *this;
    }
};

void expect_maps(const Scenario& s) {
    const Mapped first = map_with(s.factory, v2_constraints());
    ASSERT_FALSE(first.status.error) << first.status.to_string();
    EXPECT_EQ(first.status.to_string(), "Success.");
    EXPECT_TRUE(first.remaining.empty());
    auto seq = first.sequence();
    ASSERT_NE(seq, nullptr);
    const size_t passes = seq->passes().size();
    EXPECT_EQ(s.passes ? passes : 0, s.passes);
    EXPECT_GT(passes, s.passes ? 0u : 1u);
    ASSERT_NO_FATAL_FAILURE(expect_program(*seq));
    const LayerList& layers = seq->layers();
    EXPECT_EQ(seq->name(), "HW/" + layers.front()->get_name() + "-" + layers.back()->get_name());
    for (const auto& l : layers) {
        for (const hw::Component& c : *layer_mapping_of(*l).nps) {
            if (c.type == hw::Type::HRC || !c.placement) continue;
            EXPECT_GT(c.mem_info.input_size, 0u) << l->get_name();
            const bool fnp2 = c.type == hw::Type::FNP2;
            EXPECT_EQ(c.mem_info.weight_size > 0, !fnp2) << l->get_name();
            EXPECT_TRUE(!fnp2 || c.mem_info.external_size > 0) << l->get_name();
        }
    }
    const ProgramInfo info = first.info();
    EXPECT_EQ(info.input_dims(), s.in_dims);
    EXPECT_EQ(info.output_dims(), s.out_dims);
    EXPECT_EQ(info.input_bits(), s.in_bits);
    EXPECT_EQ(info.output_bits(), s.out_bits);
    EXPECT_EQ(info.pass_count(), passes);
    EXPECT_EQ(info.dummy_desc_hdr(), passes > 1 ? uint64_t{0x01800000} : 0u);
    expect_hash(first.bytes(), kHashes.at(s.name));
    if (s.extra) s.extra(first);

    LayerList again = first.model->layers();
    std::vector<std::shared_ptr<Sequence>> sequences;
    HardwareBackend backend;
    ASSERT_FALSE(backend.map(&again, &sequences, v2_constraints()).error);
    EXPECT_EQ(bytes_of(sequences.at(0)->program()), first.bytes());
    EXPECT_EQ(map_with(s.factory, v2_constraints()).bytes(), first.bytes());
    auto model = s.factory();
    auto constraints = v2_constraints();
    for (int i = 0; i < 2; ++i) {
        model->map(constraints->device(), false, constraints);
        ASSERT_EQ(model->sequences().size(), 1u);
        EXPECT_EQ(bytes_of(model->sequences()[0]->program()), first.bytes());
    }
}

Scenario variant(const char* name, uint32_t xy, int input_bits, LayerType type, const P& params,
                 std::vector<uint32_t> out_dims, bool dense_tail = false) {
    P head = conv_params(16, 3, 1);
    if (input_bits < 8) head["weights_bits"] = input_bits;
    Ls layers{{LT::Conv2D, "head", head}, {type, "variant", params}};
    if (dense_tail) {
        layers.push_back(
            {LT::Dense1D, "tail", plus(dense(10, 1), {{"weights_bits", 4}, {"output_bits", 4}})});
    }
    const int out_bits = dense_tail                    ? 4
                         : params.count("output_bits") ? params.at("output_bits")
                                                       : 8;
    return Scenario{name, model(xy, xy, 8, layers, input_bits), {xy, xy, 8}, std::move(out_dims)}
        .bits(input_bits, out_bits);
}

Scenario hrc_variant(const char* name, uint32_t channels, const P& params,
                     std::vector<uint32_t> out_dims) {
    return Scenario{
        name,
        model(32, 32, channels,
              {{LT::InputConv2D, "iconv", params}, {LT::Conv2D, "conv", conv_params(8, 3, 1)}}),
        {32, 32, channels},
        std::move(out_dims)};
}

Scenario multi_pass_tail(const char* name, bool hrc_head, LayerType tail, int n) {
    Ls layers = hrc_head ? Ls{{LT::InputConv2D, "iconv", iconv(1)}} : Ls{};
    layers = layers + convs(n);
    std::vector<uint32_t> out{16, 16, 16};
    if (tail == LT::Dense1D) {
        layers = layers + Ls{{LT::Conv2D, "reduce", conv_params(8, 3, 1, 0, 0, 2)},
                             {LT::Dense1D, "d1", dense(32, 1)},
                             {LT::Dense1D, "d2", dense(10, 0)}};
        out = {1, 1, 10};
    } else if (tail == LT::BufferTempConv) {
        layers =
            layers +
            Ls{{LT::BufferTempConv, "btc", {{"filters", 16}, {"fifo_size", 4}, {"activation", 1}}},
               {LT::DepthwiseBufferTempConv, "dbtc", {{"fifo_size", 4}, {"activation", 1}}}};
    } else {
        layers.push_back({LT::Conv2D, "last", conv_params(16, 3, 1)});
    }
    const uint32_t xy = hrc_head ? 32 : 16, c = hrc_head ? 3 : 16;
    return Scenario{name, model(xy, xy, c, layers), {xy, xy, c}, out}.multi_pass();
}

Scenario residual_across_passes(const char* name, int leading) {
    return Scenario{name, model(16, 16, 16, convs(leading) + kResidual), {16, 16, 16}, {16, 16, 16}}
        .multi_pass()
        .then([](const Mapped& m) {
            const LayerPtr s = m.model->get_layer("S"), mm = m.model->get_layer("M");
            for (const auto& pass : m.sequence()->passes()) {
                const auto& ls = pass->layers;
                EXPECT_EQ(std::count(ls.begin(), ls.end(), s),
                          std::count(ls.begin(), ls.end(), mm));
            }
        });
}

void expect_linked_passes(const Mapped& m) {
    const auto& passes = m.sequence()->passes();
    for (size_t i = 0; i + 1 < passes.size(); ++i) {
        const LayerMapping& last = layer_mapping_of(*passes[i]->layers.back());
        const LayerMapping& first = layer_mapping_of(*passes[i + 1]->layers.front());
        EXPECT_FALSE(last.output_to_dma);
        EXPECT_EQ(last.next_channel, static_cast<uint8_t>(last.channel + 1));
        EXPECT_EQ(first.input_channel, static_cast<uint8_t>(last.channel + 1));
    }
}

Scenario residual_block_with_add() {
    return Scenario{"ResidualBlockWithAdd", model(16, 16, 8, kResidual), {16, 16, 8}, {16, 16, 16}}
        .then([](const Mapped& m) {
            const LayerMapping& mm = m.mapping("M");
            ASSERT_EQ(m.mapping("A").skipdma_store_components.size(), 1u);
            ASSERT_EQ(mm.skipdma_load_components.size(), 1u);
            EXPECT_TRUE(m.mapping("S").nps->empty());
            ASSERT_NE(mm.merge_info, nullptr);
            EXPECT_TRUE(mm.merge_info->from_add);
            const ProgramInfo info = m.info();
            const auto* pass = info.info().passes()->Get(0);
            ASSERT_TRUE(pass->skipdma_stores() && pass->skipdma_loads());
            ASSERT_EQ(pass->skipdma_stores()->size(), 1u);
            ASSERT_EQ(pass->skipdma_loads()->size(), 1u);
            EXPECT_EQ(pass->skipdma_stores()->Get(0)->size(), 1024u);
            EXPECT_FALSE(pass->skipdma_stores()->Get(0)->tnp_b());
            EXPECT_EQ(pass->skipdma_loads()->Get(0)->size(), 0u);
            expect_blocks_on_nps(record_blocks(m, 0, 6), mm, dma::MergeShift);
        });
}

Scenario quantizer_and_dequantizer() {
    const ModelFactory f = [] {
        auto m = Model::create();
        auto q = e2e::make_layer(LT::Quantizer, "q",
                                 {{"input_width", 8},
                                  {"input_height", 8},
                                  {"input_channels", 4},
                                  {"output_bits", 8},
                                  {"output_signed", 1}});
        m->add(q, {});
        for (size_t i = 0; i < 4; ++i) e2e::var(*q, "scales").data<float>()[i] = 0.5f + float(i);
        auto conv = e2e::make_layer(LT::Conv2D, "conv", conv_params(8, 3, 0));
        m->add(conv, {});
        v2_e2e::fill_variables(*conv, 2);
        auto dq = e2e::make_layer(LT::Dequantizer, "dq", {});
        m->add(dq, {});
        e2e::fill<float>(e2e::var(*dq, "scales"), 4.0f);
        return m;
    };
    return Scenario{"QuantizerAndDequantizer", f, {8, 8, 4}, {8, 8, 8}}.then([](const Mapped& m) {
        const ProgramInfo info = m.info();
        EXPECT_TRUE(info.input_signed());
        EXPECT_EQ(info.output_shift(), std::vector<int32_t>(8));
        EXPECT_EQ(info.output_scales(), std::vector<float>(8, 4.0f));
        ASSERT_NE(info.info().input_scales(), nullptr);
        EXPECT_EQ(std::vector<float>(info.info().input_scales()->begin(),
                                     info.info().input_scales()->end()),
                  (std::vector<float>{0.5f, 1.5f, 2.5f, 3.5f}));
    });
}

std::vector<Scenario> scenarios() {
    const Ls dense_dense{{LT::Dense1D, "d1", dense(32, 1)}, {LT::Dense1D, "d2", dense(10, 0)}};
    const P btc8{{"filters", 8}, {"fifo_size", 4}, {"activation", 1}};
    const P dbtc4{{"fifo_size", 4}, {"activation", 1}};
    const P w4{{"weights_bits", 4}};
    const P k3s2{{"filters", 8}, {"kernel_size", 3}, {"kernel_stride", 2}};
    const P f8k3{{"filters", 8}, {"kernel_size", 3}};
    const P conv16 = conv_params(16, 3, 1), conv8 = conv_params(8, 3, 1);
    const P conv16k1 = conv_params(16, 1, 1);
    // clang-format off
    return {
        {"conv_chain_plain", conv_dw_conv(0, 0), {16, 16, 8}, {16, 16, 24}},
        {"conv_chain_relu", conv_dw_conv(1, 0), {16, 16, 8}, {16, 16, 24}},
        {"conv_chain_relu_maxpool", conv_dw_conv(1, 1), {16, 16, 8}, {8, 8, 24}},
        {"GlobalAveragePool", model(8, 8, 8, {{LT::Conv2D, "conv1", conv16},
             {LT::DepthwiseConv2D, "gap", plus(dw(3, 1), {{"pool_type", 2}, {"pool_size", -1}})},
             {LT::Conv2D, "conv2", conv_params(16, 1, 0)}}), {8, 8, 8}, {1, 1, 16}},
        {"Conv2DTranspose", model(8, 8, 8, {{LT::Conv2D, "conv", conv16},
             {LT::Conv2DTranspose, "convt", plus(dw(3, 1), {{"filters", 8}})}}),
         {8, 8, 8}, {16, 16, 8}},
        {"DepthwiseConv2DTranspose", model(8, 8, 8, {{LT::Conv2D, "conv", conv16},
             {LT::DepthwiseConv2DTranspose, "dwt", dw(3, 1)}}), {8, 8, 8}, {16, 16, 16}},
        residual_block_with_add(),
        {"DenseDense", model(1, 1, 64, dense_dense), {1, 1, 64}, {1, 1, 10}},
        {"DenseDenseFromImage", model(4, 4, 4, dense_dense), {1, 1, 64}, {1, 1, 10}},
        Scenario{"ThreeDensesReachTheFnp2", model(1, 1, 64, {{LT::Dense1D, "d1", dense(48, 1)},
             {LT::Dense1D, "d2", dense(32, 1)}, {LT::Dense1D, "d3", dense(10, 0)}}),
         {1, 1, 64}, {1, 1, 10}}.then([](const Mapped& m) {
            std::set<hw::Type> kinds;
            for (const char* name : {"d1", "d2", "d3"}) {
                ASSERT_EQ(m.mapping(name).nps->size(), 1u) << name;
                kinds.insert(m.mapping(name).nps->at(0).type);
            }
            EXPECT_EQ(kinds, (std::set<hw::Type>{hw::Type::FNP2, hw::Type::FNP3}));
            EXPECT_GT(extra_program_memory_required(m.info()), 0u);
        }),
        Scenario{"InputConvConvDense", hrc_model(), {32, 32, 3}, {1, 1, 10}}.then(
            [](const Mapped& m) {
                EXPECT_EQ(m.mapping("iconv").nps->at(0).type, hw::Type::HRC);
                EXPECT_EQ(m.mapping("iconv").channel, 0);
                const ProgramInfo info = m.info();
                EXPECT_EQ(info.info().conv_param_0(), 2u);
                EXPECT_EQ(info.info().conv_param_1(), 2u);
                EXPECT_TRUE(info.input_signed());
            }),
        hrc_variant("hrc_maxpool", 3, plus(dw(3, 1), {{"filters", 16}, {"pool_type", 1},
                    {"pool_size", 2}, {"pool_stride", 2}}), {16, 16, 8}),
        hrc_variant("hrc_k5_stride2", 3, plus(k3s2, {{"kernel_size", 5}}), {16, 16, 8}),
        hrc_variant("hrc_k7_stride2", 3, plus(k3s2, {{"kernel_size", 7}}), {16, 16, 8}),
        hrc_variant("hrc_grey", 1, k3s2, {16, 16, 8}),
        hrc_variant("hrc_valid_padding", 3, plus(k3s2, {{"padding", 0}}), {15, 15, 8}),
        Scenario{"BufferTempConvs", model(8, 8, 8, {{LT::Conv2D, "conv", conv8},
             {LT::BufferTempConv, "btc", btc8}, {LT::DepthwiseBufferTempConv, "dbtc", dbtc4}}),
         {8, 8, 8}, {8, 8, 8}}.then([](const Mapped& m) {
            const ProgramInfo info = m.info();
            const auto* stores = info.info().passes()->Get(0)->skipdma_stores();
            ASSERT_NE(stores, nullptr);
            ASSERT_EQ(stores->size(), 2u);
            for (const auto* t : *stores) {
                EXPECT_TRUE(t->tnp_b());
                EXPECT_EQ(t->size(), 128u);
            }
        }),
        {"BufferTempConvFirst", model(8, 8, 8, {{LT::BufferTempConv, "btc",
             plus(btc8, {{"fifo_size", 2}})}, {LT::DepthwiseBufferTempConv, "dbtc",
             plus(dbtc4, {{"fifo_size", 3}})}, {LT::Conv2D, "conv", conv16}}),
         {8, 8, 8}, {8, 8, 16}},
        {"Concatenate", model(16, 16, 8, {{LT::Conv2D, "A", conv8}, {LT::Conv2D, "B", conv8},
             {LT::Concatenate, "cat", {}, {"B", "A"}}, {LT::Conv2D, "M", conv16k1}}),
         {16, 16, 8}, {16, 16, 16}},
        {"ConcatenateIntoDepthwise", model(16, 16, 8, {{LT::Conv2D, "A", conv8},
             {LT::Conv2D, "B", conv8}, {LT::Concatenate, "cat", {}, {"B", "A"}},
             {LT::DepthwiseConv2D, "M", dw(3, 1)}}), {16, 16, 8}, {16, 16, 16}},
        {"ParallelBranchesConcatenated", model(16, 16, 8, {{LT::Conv2D, "A", conv8},
             {LT::Conv2D, "L", conv8, {"A"}}, {LT::Conv2D, "R", conv_params(8, 1, 1), {"A"}},
             {LT::Concatenate, "cat", {}, {"L", "R"}}, {LT::Conv2D, "M", conv16k1}}),
         {16, 16, 8}, {16, 16, 16}},
        Scenario{"ConcatenateInASecondPass", model(16, 16, 16, convs(26) + Ls{
             {LT::Conv2D, "A", conv8}, {LT::Conv2D, "B", conv8}, {LT::Conv2D, "C", conv8},
             {LT::Concatenate, "cat", {}, {"C", "A"}}, {LT::Conv2D, "M", conv16k1}}),
         {16, 16, 16}, {16, 16, 16}}.multi_pass(),
        Scenario{"LayersSplitOverSeveralNps", model(128, 16, 8, {{LT::Conv2D, "wide",
             conv_params(64, 3, 1)}, {LT::DepthwiseConv2D, "dw", dw(3, 1)},
             {LT::Conv2D, "deep", conv_params(256, 3, 1)}}),
         {128, 16, 8}, {128, 16, 256}}.then([](const Mapped& m) {
            for (const char* name : {"wide", "dw", "deep"}) {
                EXPECT_GT(m.mapping(name).nps->size(), 1u) << name;
            }
        }),
        {"FourBitWeights", model(16, 16, 8, {{LT::Conv2D, "conv1", plus(conv16, w4)},
             {LT::DepthwiseConv2D, "dw", plus(dw(3, 1), {{"weights_bits", 4}, {"output_bits", 4}})},
             {LT::Conv2D, "conv2", plus(conv16k1, w4)}}), {16, 16, 8}, {16, 16, 16}},
        residual_across_passes("ResidualAcrossPasses25", 25),
        residual_across_passes("ResidualAcrossPasses26", 26),
        {"ExampleModel", model(16, 16, 3, kExample), {16, 16, 3}, {1, 1, 10}},
        multi_pass_tail("tail_dense", false, LT::Dense1D, 27),
        multi_pass_tail("tail_tnp_b", false, LT::BufferTempConv, 28),
        multi_pass_tail("tail_hrc_conv", true, LT::Conv2D, 28),
        multi_pass_tail("tail_hrc_dense", true, LT::Dense1D, 27),
        Scenario{"LutActivations", model(32, 32, 3, {{LT::InputConv2D, "iconv", iconv(2)},
             {LT::Conv2D, "conv", conv_params(16, 3, 2)}, {LT::Conv2D, "out", conv8}}),
         {32, 32, 3}, {16, 16, 8}}.then([](const Mapped& m) {
            expect_blocks_on_nps(record_blocks(m, 0, 3), m.mapping("conv"), dma::CnpLut);
        }),
        quantizer_and_dequantizer(),
        {"InputConvAlone", model(32, 32, 3, {{LT::InputConv2D, "iconv", iconv(1)}}),
         {32, 32, 3}, {16, 16, 16}},
        variant("conv_k5", 16, 8, LT::Conv2D, plus(f8k3, {{"kernel_size", 5}}), {16, 16, 8}),
        variant("conv_same_upper", 16, 8, LT::Conv2D, plus(k3s2, {{"padding", 2}}), {8, 8, 8}),
        variant("conv_k7", 16, 8, LT::Conv2D, plus(f8k3, {{"kernel_size", 7}}), {16, 16, 8}),
        variant("conv_stride2", 16, 8, LT::Conv2D, k3s2, {8, 8, 8}),
        variant("dw_stride2", 16, 8, LT::DepthwiseConv2D, {{"kernel_size", 3}, {"kernel_stride", 2}},
                {8, 8, 16}),
        variant("dw_k5", 16, 8, LT::DepthwiseConv2D, {{"kernel_size", 5}}, {16, 16, 16}),
        variant("conv_out4", 16, 8, LT::Conv2D, plus(f8k3, {{"output_bits", 4}}), {16, 16, 8}),
        variant("conv_no_act", 16, 8, LT::Conv2D, plus(f8k3, {{"activation", 0}}), {16, 16, 8}),
        variant("out4_to_dense", 8, 8, LT::Conv2D, plus(f8k3, {{"output_bits", 4}}), {1, 1, 10},
                true),
        variant("conv_4bit_input", 16, 4, LT::Conv2D, f8k3, {16, 16, 8}),
        variant("convt_k4", 8, 8, LT::Conv2DTranspose, plus(f8k3, {{"kernel_size", 4}}),
                {16, 16, 8}),
        variant("dwt_k4", 8, 8, LT::DepthwiseConv2DTranspose, {{"kernel_size", 4}}, {16, 16, 16}),
        variant("btc_no_act", 8, 8, LT::BufferTempConv,
                {{"filters", 8}, {"fifo_size", 3}, {"activation", 0}}, {8, 8, 8}),
        variant("dense_from_image", 4, 8, LT::Dense1D, {{"units", 12}}, {1, 1, 12}),
        {"TwoResidualBlocksInARow", model(16, 16, 8, {{LT::Conv2D, "A", conv16},
             {LT::Conv2D, "B", conv16}, {LT::Conv2D, "E", conv16}, {LT::Add, "S1", {}, {"E", "A"}},
             {LT::Conv2D, "M", conv16}, {LT::Conv2D, "N", conv16}, {LT::Add, "S2", {}, {"N", "M"}},
             {LT::DepthwiseConv2D, "O", dw(3, 1)}}), {16, 16, 8}, {16, 16, 16}},
        {"ResidualBlockOnSplitLayers", model(128, 16, 8, {{LT::Conv2D, "A", conv_params(64, 3, 1)},
             {LT::Conv2D, "E", conv_params(64, 3, 1)}, {LT::Add, "S", {}, {"E", "A"}},
             {LT::Conv2D, "M", conv_params(64, 3, 1)}}), {128, 16, 8}, {128, 16, 64}},
        {"ResidualAroundDepthwiseAndTranspose", model(8, 8, 8, {{LT::Conv2D, "A", conv16},
             {LT::DepthwiseConv2D, "D", dw(3, 1)}, {LT::Add, "S", {}, {"D", "A"}},
             {LT::Conv2DTranspose, "T", plus(dw(3, 1), {{"filters", 8}})}}),
         {8, 8, 8}, {16, 16, 8}},
        Scenario{"MultiPass", deep_model(), {16, 16, 16}, {16, 16, 32}}.multi_pass().then(
            expect_linked_passes),
    };
    // clang-format on
}

void PrintTo(const Scenario& s, std::ostream* os) { *os << s.name; }

class E2eV2Maps : public ::testing::TestWithParam<Scenario> {};

TEST_P(E2eV2Maps, Model) { expect_maps(GetParam()); }

INSTANTIATE_TEST_SUITE_P(E2eV2, E2eV2Maps, ::testing::ValuesIn(scenarios()),
                         [](const ::testing::TestParamInfo<Scenario>& info) {
                             return std::string(info.param.name);
                         });

TEST(E2eV2Models, FirstDenseSizedForAllItsInputs) {
    const Ls d1{{LT::Dense1D, "d1", dense(32, 1)}};
    const Mapped image = map_with(model(4, 4, 4, d1), v2_constraints());
    const Mapped flat = map_with(model(1, 1, 64, d1), v2_constraints());
    ASSERT_FALSE(image.status.error || flat.status.error);
    const hw::Component& a = image.mapping("d1").nps->at(0);
    const hw::Component& b = flat.mapping("d1").nps->at(0);
    EXPECT_EQ(a.type, b.type);
    EXPECT_EQ(a.mem_info.input_size, b.mem_info.input_size);
    EXPECT_EQ(a.mem_info.weight_size, b.mem_info.weight_size);
    EXPECT_EQ(a.mem_info.external_size, b.mem_info.external_size);
    EXPECT_GE(a.mem_info.input_size, 64u);
}

class StickyConstraints : public MapConstraints {
  public:
    using MapConstraints::MapConstraints;
    std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& source, size_t n,
                                      hw::Type) const override {
        std::vector<hw::Ident> out;
        const std::vector<hw::Ident>* lists[] = {&last_, &source};
        for (const auto* list : lists) {
            for (const hw::Ident& id : *list) {
                if (out.size() < n && std::count(source.begin(), source.end(), id) &&
                    !std::count(out.begin(), out.end(), id)) {
                    out.push_back(id);
                }
            }
        }
        last_ = out;
        return out;
    }

  private:
    mutable std::vector<hw::Ident> last_;
};

TEST(E2eV2Models, PassesSharingAnNp) {
    auto constraints = std::make_shared<StickyConstraints>(v2_device());
    constraints->set_hwpr_loopitself(true);
    const Mapped m = map_with(deep_model(), constraints);
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    auto seq = m.sequence();
    ASSERT_GT(seq->passes().size(), 1u);
    const auto& c = layer_mapping_of(*last_mappable_layer(seq->passes()[0]->layers)).nps->at(0);
    const auto& d = layer_mapping_of(*first_mappable_layer(seq->passes()[1]->layers)).nps->at(0);
    ASSERT_EQ(c.ident, d.ident);
    EXPECT_FALSE(c.placement->single_buffer);
    EXPECT_FALSE(d.placement->single_buffer);
    size_t double_buffered = 0;
    for (const auto& l : seq->layers()) {
        for (const hw::Component& x : *layer_mapping_of(*l).nps) {
            double_buffered += x.placement && !x.placement->single_buffer;
        }
    }
    EXPECT_EQ(double_buffered, 2u);
    ASSERT_NO_FATAL_FAILURE(expect_program(*seq));
    expect_linked_passes(m);
    expect_hash(m.bytes(), kHashes.at("PassesSharingAnNp"));
}

Mesh example_mesh() {
    return Mesh(IpVersion::v2, hw::Ident{1, 1, 0, 0}, hw::Ident{1, 1, 1, 0}, std::nullopt,
                test_support::seven_node_v2_nps(), {});
}

TEST(E2eV2Models, ExampleMesh) {
    const Mapped m = map_on_mesh(model(16, 16, 3, kExample), example_mesh());
    ASSERT_FALSE(m.status.error) << m.status.to_string();
    EXPECT_TRUE(m.remaining.empty());
    ASSERT_NO_FATAL_FAILURE(expect_program(*m.sequence()));
    EXPECT_EQ(m.info().input_dims(), (std::vector<uint32_t>{16, 16, 3}));
    EXPECT_EQ(m.info().output_dims(), (std::vector<uint32_t>{1, 1, 10}));
    expect_hash(m.bytes(), kHashes.at("ExampleMesh"));
}

TEST(E2eV2Refusals, WindowedAveragePoolIsRefused) {
    const Mapped m = map_with(conv_dw_conv(0, 2), v2_constraints());
    EXPECT_EQ(m.status.to_string(),
              "Cannot map layer 'dw'. Global Average pooling must be global. When using Global "
              "Average Pooling, input dimensions width * height cannot exceed 144.");
    ASSERT_EQ(m.remaining.size(), 2u);
    EXPECT_EQ(m.remaining[0]->get_name(), "dw");
    EXPECT_EQ(m.remaining[1]->get_name(), "conv2");
    ASSERT_NE(m.sequence(), nullptr);
    EXPECT_EQ(m.sequence()->name(), "HW/input-conv1");
    ASSERT_NO_FATAL_FAILURE(expect_program(*m.sequence()));
    EXPECT_EQ(m.info().output_dims(), (std::vector<uint32_t>{16, 16, 16}));
}

struct Refusal {
    const char* name;
    ModelFactory factory;
    std::string message;
    std::function<Mesh()> mesh = {};  // none: the preset mesh
    bool all_remain = false;          // nothing at all was mapped
    bool no_sequence = false;
};

Mesh preset_without(bool hrc) {
    Mesh mesh = preset_v2_mesh();
    if (hrc) mesh.hrc.reset();
    if (!hrc) mesh.skip_dmas.clear();
    return mesh;
}

ModelFactory head_next(const P& head, LayerType next_type, const P& next, int bits = 8) {
    return model(8, 8, 8, {{LT::Conv2D, "head", head}, {next_type, "next", next}}, bits);
}

const ModelFactory kConvIntoBtc =
    model(8, 8, 8,
          {{LT::Conv2D, "conv", conv_params(8, 3, 1)},
           {LT::BufferTempConv, "btc", {{"filters", 8}, {"fifo_size", 2}, {"activation", 1}}}});

void PrintTo(const Refusal& r, std::ostream* os) { *os << r.name; }

class E2eV2Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(E2eV2Refused, Status) {
    const Refusal& r = GetParam();
    const Mapped m =
        r.mesh ? map_on_mesh(r.factory, r.mesh()) : map_with(r.factory, v2_constraints());
    EXPECT_TRUE(m.status.error);
    EXPECT_EQ(m.status.to_string(), r.message);
    EXPECT_FALSE(m.remaining.empty());
    EXPECT_TRUE(!r.all_remain || m.remaining.size() == m.model->layer_count());
    EXPECT_TRUE(!r.no_sequence || m.sequences.empty());
}

TEST(E2eV2Refusals, BufferTempConvMapsWithSkipDmas) {
    EXPECT_FALSE(map_with(kConvIntoBtc, v2_constraints()).status.error);
}

const P kConv8 = conv_params(8, 3, 1);
const std::string kNoComponent = "Not enough hardware components of type ";

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    E2eV2, E2eV2Refused,
    ::testing::Values(
        Refusal{"valid_padding",
                head_next(kConv8, LT::Conv2D, {{"filters", 8}, {"kernel_size", 5}, {"padding", 0}}),
                "Cannot map layer 'next'. Only padding 'Same' and 'SameUpper' are supported."},
        Refusal{"same_upper_stride1_4bit", head_next(kConv8, LT::Conv2D, {{"filters", 8},
                    {"kernel_size", 3}, {"padding", 2}, {"weights_bits", 4}}),
                "Cannot map layer 'next'. With SameUpper padding only stride 2 is supported. With "
                "SameUpper padding only 8-bit weights are supported."},
        Refusal{"input_narrower_than_weights", head_next(kConv8, LT::Conv2D, kConv8, 4),
                "Cannot map layer 'head'. Input bits should be >= weights bits."},
        Refusal{"max_pool_into_dense",
                head_next(conv_params(8, 3, 1, 1, 2), LT::Dense1D, {{"units", 10}}),
                "Cannot map layer 'head':\n"
                "  * Layer 'head': A layer with max pooling cannot be the last layer of a "
                "sequence.\n"
                "  * Layer 'next': Any layer with max pooling must be followed by a layer mapped "
                "on a CNP or a TNP-B. Layer 'head' has max pooling."},
        Refusal{"DescriptorBudget", model(16, 16, 16, convs(300)),
                "Cannot map layer 'conv137'. Model is too big. The maximum number of descriptors "
                "is more than allowed. 260 are needed but 254 are available.", {}, true, true},
        Refusal{"ResidualBlockAroundBufferTempConv", model(8, 8, 8, {{LT::Conv2D, "A", kConv8},
                    {LT::BufferTempConv, "T", {{"filters", 8}, {"fifo_size", 4}, {"activation", 1}}},
                    {LT::Add, "S", {}, {"T", "A"}}, {LT::Conv2D, "M", kConv8}}),
                "Cannot map layer '':\n  * Bad mapping on skip connection. Several branches.\n"
                "  * Layer 'S': Inbounds must be of types Conv, Add or Concat."},
        Refusal{"LayerLargerThanTheMesh",
                model(256, 64, 64, {{LT::Conv2D, "huge", conv_params(512, 3, 1)}}),
                "Cannot map layer 'huge'. " + kNoComponent + "CNP1 available. 133 are needed but "
                "28 are available.", {}, false, true},
        Refusal{"BufferTempConvWithoutSkipDmas", kConvIntoBtc, "Cannot map layer 'conv'. The next "
                "BufferTempConv btc can't be mapped in the current pass.", example_mesh, true},
        Refusal{"NoHrcOnTheMesh", hrc_model(), "Cannot map layer 'iconv'. Layer should be mapped "
                "on HRC but the device does not have this hardware component.",
                [] { return preset_without(true); }, false, true},
        Refusal{"NoSkipDmaOnTheMesh", model(16, 16, 8, kResidual), "Cannot map layer 'A'. " +
                kNoComponent + "SKIP_DMA_STORE available. 1 is needed but 0 are available.",
                [] { return preset_without(false); }, true, true}),
    // clang-format on
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

const ModelFactory kSmallModel = model(8, 8, 8, {{LT::Conv2D, "conv", conv_params(8, 3, 1)}});

TEST(E2eV2ModelMap, ConstraintsDeviceAndRun) {
    auto device = v2_device();
    auto m = kSmallModel();
    EXPECT_EQ(test_support::runtime_error_text([&] { m->map(device, false, nullptr); }),
              "Map constraints must be specified.");
    EXPECT_TRUE(m->sequences().empty());
    for (bool hw_only : {false, true}) {
        EXPECT_THROW(m->map(device, hw_only, std::make_shared<MapConstraints>(v2_device())),
                     std::invalid_argument);
    }
    EXPECT_TRUE(m->sequences().empty());

    m->map(device, true, nullptr);
    ASSERT_EQ(m->sequences().size(), 1u);
    EXPECT_EQ(m->device(), device);
    auto other = kSmallModel();
    other->map(device, false, std::make_shared<MapConstraints>(device));
    EXPECT_EQ(bytes_of(m->sequences()[0]->program()), bytes_of(other->sequences()[0]->program()));

    std::shared_ptr<const Tensor> input =
        Dense::create(TensorType::uint8, Shape({8, 8, 8}), Dense::Layout::RowMajor);
    auto seq = std::dynamic_pointer_cast<HardwareSequence>(m->sequences()[0]);
    EXPECT_EQ(test_support::runtime_error_text([&] { seq->forward_samples({input}, nullptr); }),
              "An actual hardware device is required.");
}

}  // namespace
}  // namespace vorna
