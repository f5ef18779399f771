// A residual block mapped end to end onto a virtual v2 device through the
// hardware back end: status, program bytes, and the blocks each layer's NPs
// receive.

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "backend/hardware_backend.h"
#include "backend/layer_mapping.h"
#include "backend/map_constraints.h"
#include "corelib/layer.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "corelib/sequence.h"
#include "program/program_generated.h"
#include "test_support.h"
#include "v2_rec_test_util.h"

namespace vorna {
namespace v2 {
namespace {

// A v2 mesh like a real one: seven nodes of four NPs, CNP1/CNP2 everywhere,
// TNP-B on some, FNP3 and FNP2 on the last node, the DMA endpoints on node
// (1, 1) beside a skip-DMA engine.
std::shared_ptr<Device> v2_mesh_device() {
    const std::vector<np::Info> nps = test_support::seven_node_v2_nps();
    // One skip-DMA engine on node (1, 1) with four channels.
    std::vector<np::Info> skip{
        np::Info(hw::Ident(1, 1, 3, 4), {hw::Type::SKIP_DMA_STORE, hw::Type::SKIP_DMA_LOAD})};
    Mesh mesh(IpVersion::v2, hw::Ident(1, 1, 0), hw::Ident(1, 1, 1), std::nullopt, nps, skip);
    return make_virtual_device(HwVersion{0xBC, 0xA2, 1, 0}, mesh);
}

std::shared_ptr<Layer> make(LayerType type, const std::string& name,
                            std::map<std::string, int> entries) {
    return Layer::create(LayerParams::create(type, entries).get(), name);
}

struct Mapped {
    std::string status;
    std::vector<std::shared_ptr<Sequence>> sequences;
    std::vector<uint8_t> bytes;
};

Mapped map_layers(const std::vector<std::shared_ptr<Layer>>& layers,
                  const std::shared_ptr<Device>& device) {
    Mapped out;
    std::vector<std::shared_ptr<Layer>> remaining = layers;
    HardwareBackend backend;
    const MappingStatusGroup status =
        backend.map(&remaining, &out.sequences, std::make_shared<MapConstraints>(device));
    out.status = status.to_string();
    EXPECT_TRUE(remaining.empty());
    if (out.sequences.size() == 1) {
        const ByteView bytes = out.sequences[0]->program();
        out.bytes.assign(bytes.data, bytes.data + bytes.size);
    }
    return out;
}

// Every (np, target) pair of every block of the program data.
std::set<std::pair<hw::Ident, uint32_t>> program_blocks(const std::vector<uint8_t>& bytes) {
    std::set<std::pair<hw::Ident, uint32_t>> blocks;
    uint32_t info_size = 0;
    std::memcpy(&info_size, bytes.data(), 4);
    info_size += 4;
    EXPECT_LE(info_size, bytes.size());
    flatbuffers::Verifier info_verifier(bytes.data(), info_size);
    EXPECT_TRUE(fb::VerifySizePrefixedProgramInfoBuffer(info_verifier));
    const uint8_t* data = bytes.data() + info_size;
    flatbuffers::Verifier data_verifier(data, bytes.size() - info_size);
    EXPECT_TRUE(data_verifier.VerifySizePrefixedBuffer<fb::ProgramData>(nullptr));
    const auto* program = flatbuffers::GetSizePrefixedRoot<fb::ProgramData>(data);
    for (const auto* pass : *program->passes()) {
        for (const auto* record : *pass->records()) {
            for (const auto* track : *record->tracks()) {
                const auto* words = track->data();
                size_t pos = 0;
                while (pos + 2 <= words->size()) {
                    const uint32_t w0 = words->Get(pos);
                    const hw::Ident np(static_cast<uint8_t>(dma::HDR0_COL.get(w0)),
                                       static_cast<uint8_t>(dma::HDR0_ROW.get(w0)),
                                       static_cast<uint8_t>(dma::HDR0_ID.get(w0)));
                    blocks.emplace(np, dma::HDR0_TARGET.get(w0));
                    const uint32_t size =
                        dma::HDR0_XL.get(w0)
                            ? dma::XL_SIZE_UNIT_WORDS * dma::HDR1_XL_SIZE.get(words->Get(pos + 1))
                            : dma::HDR0_SIZE.get(w0);
                    if (size == 0) {
                        ADD_FAILURE() << "a block without size";
                        break;
                    }
                    pos += 2 + size;
                }
            }
        }
    }
    return blocks;
}

void expect_np_blocks(const Layer& layer, const std::set<std::pair<hw::Ident, uint32_t>>& blocks,
                      uint32_t weights_target) {
    const auto* mapping = dynamic_cast<const LayerMapping*>(layer.mapping().get());
    ASSERT_NE(mapping, nullptr) << layer.get_name();
    ASSERT_TRUE(mapping->nps && !mapping->nps->empty()) << layer.get_name();
    for (const hw::Component& c : *mapping->nps) {
        const hw::Ident np(c.ident.col, c.ident.row, c.ident.id);
        for (uint32_t target : {7u, weights_target, 2u, 5u}) {
            EXPECT_TRUE(blocks.count({np, target})) << layer.get_name() << " target " << target;
        }
    }
}

// Plain chains, transposed convolutions and the residual block on the preset
// mesh are mapped and checked record by record in test_e2e_v2.cpp; this mesh
// differs by its single four-channel skip-DMA engine beside the DMA node.
TEST(V2EndToEnd, ResidualBlockWithAdd) {
    const auto device = v2_mesh_device();
    auto in = make(LayerType::InputData, "in",
                   {{"input_width", 8}, {"input_height", 8}, {"input_channels", 8}});
    auto a = make(LayerType::Conv2D, "a", {{"filters", 8}, {"kernel_size", 3}, {"activation", 1}});
    auto b = make(LayerType::Conv2D, "b", {{"filters", 8}, {"kernel_size", 3}, {"activation", 1}});
    auto add = make(LayerType::Add, "add", {});
    auto c = make(LayerType::Conv2D, "c", {{"filters", 8}, {"kernel_size", 3}, {"activation", 1}});
    auto model = Model::create();
    model->add(in, {});
    model->add(a, {in});
    model->add(b, {a});
    model->add(add, {a, b});
    model->add(c, {add});

    const Mapped first = map_layers(model->layers(), device);
    ASSERT_EQ(first.status, "Success.");
    ASSERT_EQ(first.sequences.size(), 1u);
    EXPECT_EQ(first.sequences[0]->backend(), BackendType::Hardware);
    const auto blocks = program_blocks(first.bytes);
    expect_np_blocks(*a, blocks, 1);
    expect_np_blocks(*b, blocks, 1);
    expect_np_blocks(*c, blocks, 1);
    // The merge layer after the Add gets its merge shifts.
    const auto* mapping = dynamic_cast<const LayerMapping*>(c->mapping().get());
    ASSERT_NE(mapping, nullptr);
    for (const hw::Component& comp : *mapping->nps) {
        EXPECT_TRUE(blocks.count({hw::Ident(comp.ident.col, comp.ident.row, comp.ident.id), 10u}));
    }
    // The skip-DMA engine is programmed (target 11) for the stored branch.
    EXPECT_TRUE(blocks.count({hw::Ident(1, 1, 3), 11u}));
    EXPECT_EQ(map_layers(model->layers(), device).bytes, first.bytes);
}

}  // namespace
}  // namespace v2
}  // namespace vorna
