// v2 skip-DMA records and NP register words.

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <vector>

#include "backend/layer_mapping.h"
#include "backend/v2/np_registers.h"
#include "backend/v2/skipdma.h"
#include "program/record.h"
#include "v2_rec_test_util.h"
#include "v2_regs_fake_layer.h"

namespace {

using namespace vorna;
using namespace vorna::v2;
using v2rec_test::decode;
using v2rec_test::kV2RecVersion;
using v2rec_test::offsets_and_words;
using v2rec_test::OffsetWords;
using v2regs_test::error_text;
using v2regs_test::FakeLayer;
using v2regs_test::make_layer;
using v2regs_test::overflow_text;
using Words = std::vector<uint32_t>;

hw::Component placed(hw::Type type, uint8_t col, uint8_t row, uint8_t id) {
    return hw::Component(type, hw::Ident(col, row, id), hw::Placement{});
}

hw::Component store_at(uint8_t col, uint8_t channel) {
    return hw::Component(hw::Type::SKIP_DMA_STORE, hw::Ident(col, 0, 0, channel));
}

hw::Component load_at(uint8_t col, uint8_t channel) {
    return hw::Component(hw::Type::SKIP_DMA_LOAD, hw::Ident(col, 0, 0, channel));
}

struct Mapped {
    std::shared_ptr<FakeLayer> layer;
    std::shared_ptr<LayerMapping> mapping = std::make_shared<LayerMapping>();

    explicit Mapped(LayerType type, std::map<std::string, int> params = {})
        : layer(make_layer(type, "L", params)) {
        mapping->nps = std::make_shared<std::vector<hw::Component>>();
        layer->layer_mapping = mapping;
    }
    void add_store(uint8_t col, uint8_t channel, uint8_t store_flag) {
        mapping->skipdma_store_components.push_back(store_at(col, channel));
        mapping->skipdma_store_channel = std::make_unique<SkipDmaStoreChannelInfo>();
        mapping->skipdma_store_channel->store_flag = store_flag;
    }
    void add_load(uint8_t col, uint8_t channel, uint8_t lb, uint32_t ld) {
        mapping->skipdma_load_components.push_back(load_at(col, channel));
        mapping->skipdma_load_channel = std::make_unique<SkipDmaLoadChannelInfo>();
        mapping->skipdma_load_channel->dma_channel = lb;
        mapping->skipdma_load_channel->concat_offset = ld;
    }
    std::unique_ptr<program::Record> record() const {
        auto rec = program::new_record(kV2RecVersion);
        record_skipdma(rec.get(), *layer);
        return rec;
    }
};

TEST(V2SkipDmaStore, OnChannelSixteenTheCommonWordComesFirst) {
    Mapped m(LayerType::Conv2D);
    m.mapping->next_channel = 5;
    m.add_store(9, 16, 0);
    m.layer->out_dims = Shape{8, 8, 16};
    EXPECT_EQ(offsets_and_words(decode(*m.record())), (OffsetWords{{0x1001, {0}},
                                                                   {0x101C, {0x20}},
                                                                   {0x1022, {2, 2}},
                                                                   {0x103C, {0, 2, 16}},
                                                                   {0x2026, {0x500}}}));
}

TEST(V2SkipDmaLoad, SeveralComponentsGiveTheColumnRange) {
    SkipDmaBlocks blocks;
    format_skipdma_load_words(&blocks, 0, 0, 0,
                              {placed(hw::Type::CNP1, 6, 0, 3), placed(hw::Type::CNP1, 2, 4, 0),
                               placed(hw::Type::CNP2, 4, 1, 1)},
                              4095);
    EXPECT_EQ(blocks.at(0x1004), (Words{0x06020001, 0, 1}));
    EXPECT_EQ(blocks.at(0x102B), (Words{4095}));
}

TEST(V2SkipDmaLoad, RefusedFields) {
    const std::vector<hw::Component> one{placed(hw::Type::CNP1, 3, 2, 1)};
    SkipDmaBlocks blocks;
    EXPECT_EQ(error_text([&] { format_skipdma_load_words(&blocks, 0, 0, 256, one, 0); }),
              overflow_text(256, 8));
    EXPECT_EQ(error_text([&] { format_skipdma_load_words(&blocks, 0, 0, 0, one, 4096); }),
              overflow_text(4096, 12));
    EXPECT_EQ(error_text([&] {
                  format_skipdma_load_words(&blocks, 0, 0, 0, {placed(hw::Type::CNP1, 3, 2, 4)}, 0);
              }),
              overflow_text(16, 4));
    const std::vector<hw::Component> unplaced{placed(hw::Type::CNP1, 1, 0, 0),
                                              hw::Component(hw::Type::CNP1, hw::Ident(2, 0, 0))};
    EXPECT_THROW(format_skipdma_load_words(&blocks, 0, 0, 0, unplaced, 0), std::invalid_argument);
    EXPECT_EQ(error_text([&] { format_skipdma_load_words(&blocks, 0, 0, 0, unplaced, 0); }),
              "Merging layer has no CNPs.");
    EXPECT_THROW(format_skipdma_load_words(&blocks, 0, 0, 0, {}, 0), std::runtime_error);
    EXPECT_EQ(error_text([&] { format_skipdma_load_words(&blocks, 0xF0, 0, 0, one, 0); }),
              "Skip-DMA channel 240 is out of range.");
}

Mapped tnp_b_layer(int fifo) {
    Mapped m(LayerType::BufferTempConv, {{"fifo_size", fifo}});
    m.mapping->channel = 6;
    m.mapping->inbound_components.push_back(std::make_shared<ComponentList>(
        ComponentList{hw::Component(hw::Type::TNP_B, hw::Ident(4, 1, 2))}));
    *m.mapping->nps = {placed(hw::Type::TNP_B, 5, 0, 0)};
    m.add_store(13, 2, 1);
    m.add_load(12, 1, 3, 0);
    m.layer->in_dims = {Shape{4, 4, 16}};
    m.layer->in_bits = 4;
    return m;
}

TEST(V2SkipDmaTnpB, FifoOfSixteenFailsOnTheStoreAfterTheStartWords) {
    const Mapped m = tnp_b_layer(16);
    auto rec = program::new_record(kV2RecVersion);
    EXPECT_EQ(error_text([&] { record_skipdma(rec.get(), *m.layer); }), overflow_text(16, 4));
    EXPECT_EQ(offsets_and_words(decode(*rec)),
              (OffsetWords{{0x100, {0x83000601}}, {0x100, {0x83000601}}}));
}

TEST(V2SkipDmaTnpB, MissingRecordsAreErrorsNamingTheLayer) {
    Mapped no_load = tnp_b_layer(3);
    no_load.mapping->skipdma_load_components.clear();
    EXPECT_EQ(error_text([&] { no_load.record(); }), "Layer 'L' has no skip-DMA load.");
    Mapped no_store_channel = tnp_b_layer(3);
    no_store_channel.mapping->skipdma_store_channel.reset();
    EXPECT_EQ(error_text([&] { no_store_channel.record(); }),
              "Layer 'L' has no skip-DMA store channel.");
    Mapped no_load_channel = tnp_b_layer(3);
    no_load_channel.mapping->skipdma_load_channel.reset();
    EXPECT_EQ(error_text([&] { no_load_channel.record(); }),
              "Layer 'L' has no skip-DMA load channel.");
}

TEST(V2SkipDma, StoreGeometryLimits) {
    Mapped m(LayerType::Conv2D);
    m.add_store(9, 0, 0);
    m.layer->out_bits = 8;
    m.layer->out_dims = Shape{4092, 1, 1};  // 8 * 4092 + 31 <= 0x7FFF: V1 = 1023
    EXPECT_EQ(decode(*m.record())[2].payload, (Words{0, 1023, 1023}));
    m.layer->out_dims = Shape{4093, 1, 1};
    EXPECT_EQ(error_text([&] { m.record(); }), overflow_text(1024, 10));
    m.layer->out_dims = Shape{32, 2097152, 1};  // V1 = 8, V2 = 2^24
    EXPECT_EQ(error_text([&] { m.record(); }), overflow_text(16777216, 21));
}

TEST(V2SkipDma, LayerWithoutMappingIsAnError) {
    const auto layer = make_layer(LayerType::Conv2D, "bare");
    auto rec = program::new_record(kV2RecVersion);
    EXPECT_EQ(error_text([&] { record_skipdma(rec.get(), *layer); }),
              "Layer 'bare' has no mapping.");
}

hw::Component comp(hw::Type type, uint8_t col, uint8_t row = 0, uint8_t id = 0) {
    return hw::Component(type, hw::Ident(col, row, id));
}

const std::unique_ptr<AltLayerMapInfo> kNoAlt;

TEST(V2RegsDefaults, DefaultWordsAndZeroCount) {
    const auto regs = default_np_regs(comp(hw::Type::CNP1, 1, 0, 1), 0, false, false);
    ASSERT_EQ(regs.size(), 64u);
    EXPECT_EQ(regs[1], 0x20u);
    EXPECT_EQ(regs[2], 0x8u);
    EXPECT_EQ(regs[3], 0u);
    EXPECT_EQ(regs[5], 0x00130100u);
    EXPECT_EQ(regs[6], 0x08040000u);
    EXPECT_EQ(regs[12], 0x52000000u);
    EXPECT_EQ(regs[13], 0x10u);
    EXPECT_EQ(regs[37], 0xFF000000u);
    EXPECT_EQ(regs[56], 0x00800000u);
    EXPECT_EQ(regs[57], 0x40u);
    size_t zeros = 0;
    for (uint32_t w : regs) zeros += (w == 0);
    EXPECT_EQ(zeros, 55u);
}

TEST(V2RegsCfgDma, Word49KeepsUpperBits) {
    std::vector<uint32_t> regs(64, 0);
    regs[49] = 0xFFF00000u;
    format_mesh_cfg_dma_reg(&regs, hw::Ident(3, 2, 3));
    EXPECT_EQ(regs[49], 0xFFF80302u);
    EXPECT_EQ(error_text([&] { format_mesh_cfg_dma_reg(&regs, hw::Ident(3, 2, 4)); }),
              overflow_text(16, 4));
    EXPECT_EQ(error_text([&] { format_mesh_cfg_dma_reg(&regs, hw::Ident(0, 0, 40)); }),
              overflow_text(1ull << 40, 4));
}

TEST(V2RegsRouting, RangesRouteAndKeptBits) {
    std::vector<uint32_t> regs(64, 0);
    regs[44] = 0x1234ABC3u;
    regs[45] = 0x00AB0000u;
    regs[46] = 0x8ABC0000u;
    regs[47] = 0xDEAD0000u;
    format_mesh_registers_set_output_to_NPs(
        &regs, {comp(hw::Type::CNP1, 2), comp(hw::Type::CNP1, 4)}, {comp(hw::Type::FNP3, 3)},
        {comp(hw::Type::TNP_B, 5)}, kNoAlt, 3, false, false, true);
    EXPECT_EQ(regs[44], 0xFF08ABCCu);
    EXPECT_EQ(regs[45], 0x02AB0505u);  // route 3 - 1 before a TNP-B
    EXPECT_EQ(regs[46], 0x0ABC0402u);  // bit 31 cleared
    EXPECT_EQ(regs[47], 0xDEAD0503u);
    EXPECT_EQ(regs[52], 0u);
}

TEST(V2RegsRouting, HrcRangeRouteZeroAndEmptyDestinations) {
    std::vector<uint32_t> regs(64, 0);
    const std::vector<hw::Component> span{comp(hw::Type::CNP1, 3)};
    format_mesh_registers_set_output_to_NPs(&regs, {comp(hw::Type::HRC, 9)}, span,
                                            {comp(hw::Type::HRC, 9)}, kNoAlt, 0, false, false,
                                            false);
    EXPECT_EQ(regs[45], 0x00000101u);
    EXPECT_EQ(regs[46], 0x00000101u);
    EXPECT_EQ(regs[47], 0x0301u);

    EXPECT_EQ(error_text([&] {
                  format_mesh_registers_set_output_to_NPs(&regs, span, span,
                                                          {comp(hw::Type::TNP_B, 4)}, kNoAlt, 0,
                                                          false, false, false);
              }),
              overflow_text(4294967295ull, 8));
    EXPECT_THROW(format_mesh_registers_set_output_to_NPs(&regs, span, span, {}, kNoAlt, 1, false,
                                                         false, false),
                 std::out_of_range);
    EXPECT_THROW(format_mesh_registers_set_output_to_NPs(&regs, {}, span, span, kNoAlt, 1, false,
                                                         false, false),
                 std::invalid_argument);
}

}  // namespace
