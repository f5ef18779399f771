#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "backend/layer_split.h"
#include "backend/mesh_mapper.h"
#include "mapper_fakes.h"

namespace vorna {
namespace {

using hw::Component;
using hw::Ident;
using hw::Type;
using mapper_test::FakeLayer;
using mapper_test::FakePooledLayer;
using mapper_test::link;
using mapper_test::make_layer;
using mapper_test::np_info;
using mapper_test::plain_nps;
using mapper_test::Rig;
using mapper_test::skip_dma;
using Idents = std::vector<Ident>;
using Types = std::vector<Type>;

template <class T>
Idents idents_of(const std::vector<T>& items) {
    Idents r;
    for (const auto& s : items) r.push_back(s.ident);
    return r;
}

Types types_of(const std::vector<Component>& components) {
    Types r;
    for (const auto& c : components) r.push_back(c.type);
    return r;
}

// A mapper, reset, on a rig.
struct MapperRig {
    explicit MapperRig(std::vector<np::Info> nps, std::vector<np::Info> skips = {})
        : rig(std::move(nps), std::move(skips)), mapper(rig.checker, rig.constraints) {
        mapper.reset();
    }
    std::pair<std::vector<Component>, MappingStatus> request(const std::shared_ptr<Layer>& layer,
                                                             const Idents& reserved = {},
                                                             bool allow_new_pass = true) {
        return mapper.np_request(layer, reserved, false, &new_group, allow_new_pass);
    }
    size_t free(Type type) { return mapper.available_nps(type).size(); }
    Rig rig;
    MeshMapper mapper;
    bool new_group = false;
};

std::shared_ptr<FakeLayer> conv_layer(const std::string& name, Shape input, int filters = 8) {
    return make_layer(name, LayerType::Conv2D, TargetComponent::CNP, input,
                      {{"filters", filters}, {"kernel_size", 3}});
}

TEST(MeshMapperRequest, ResetFreesOneStoreAndLoadSlotPerSkipChannel) {
    MapperRig s(plain_nps(2), {skip_dma(1, 3), skip_dma(2, 3)});
    EXPECT_EQ(s.free(Type::SKIP_DMA_STORE), 6u);
    EXPECT_EQ(s.free(Type::SKIP_DMA_LOAD), 6u);
    EXPECT_EQ(s.mapper.max_nps(Type::SKIP_DMA_LOAD), 6u);
}

TEST(MeshMapperRequest, FullPassesAndShortages) {
    // 6 columns that the checker lets fit only one column per NP.
    MapperRig s(plain_nps(6));
    s.rig.checker.split_params.filters = 1;
    s.rig.checker.dual_fit = [](uint32_t, uint32_t w, uint32_t) { return w <= 1; };
    auto wide = make_layer("wide", LayerType::Conv2D, TargetComponent::CNP, Shape({6, 1, 4}),
                           {{"filters", 1}, {"kernel_size", 1}});
    s.mapper.allocate_np({1, 1, 0}, Type::None);
    s.mapper.allocate_np({1, 1, 1}, Type::None);
    for (const NpSlot& slot : s.mapper.pools().at(Type::CNP1)) {
        const bool taken = slot.ident == Ident(1, 1, 0) || slot.ident == Ident(1, 1, 1);
        EXPECT_EQ(slot.allocated, taken ? 1 : 0);  // a flag: 0 or 1
    }
    const auto single = s.request(wide, {}, false);
    EXPECT_EQ(single.second.to_string(),
              "Cannot map layer 'wide'. Not enough hardware components of type CNP1 available. "
              "6 are needed but 4 are available.");
    EXPECT_FALSE(s.new_group);
    EXPECT_EQ(s.free(Type::CNP1), 4u);  // nothing taken
    const auto [components, status] = s.request(wide);
    ASSERT_FALSE(status.error) << status.to_string();
    EXPECT_TRUE(s.new_group);
    EXPECT_EQ(idents_of(components),
              (Idents{{1, 1, 0}, {1, 1, 1}, {1, 1, 2}, {1, 1, 3}, {2, 1, 0}, {2, 1, 1}}));
    EXPECT_EQ(s.free(Type::CNP1), 0u);
    // With a new pass allowed the limit is the unreserved NPs of the mesh.
    s.mapper.deallocate_nps();
    EXPECT_EQ(s.request(wide, {{2, 1, 1}}).second.message,
              "Not enough hardware components of type CNP1 available. 6 are needed but 5 are "
              "available.");
    // A selection of another length is a shortage too.
    s.rig.constraints.selector = [](const Idents&, size_t, Type) { return Idents{}; };
    s.rig.checker.split_params.filters = 8;
    EXPECT_EQ(s.request(conv_layer("conv", Shape({1, 1, 4}))).second.message,
              "Not enough hardware components of type CNP1 available. 1 is needed but 0 are "
              "available.");
}

TEST(MeshMapperRequest, RefusalsAndTransposedTiles) {
    MapperRig s(plain_nps(4));
    auto input = make_layer("in", LayerType::InputData, TargetComponent::None, Shape({8, 8, 3}));
    EXPECT_EQ(test_support::runtime_error_text([&] { s.request(input); }),
              "Mapping a layer with HW backend should use HW components.");
    // A convolution kind that targets neither a CNP nor a TNP-B fails before its split.
    auto odd = make_layer("odd", LayerType::Conv2D, TargetComponent::FNP, Shape({8, 8, 3}),
                          {{"filters", 4}, {"kernel_size", 3}});
    EXPECT_THROW(s.request(odd), std::runtime_error);
    EXPECT_EQ(s.rig.checker.split_param_calls, 0);
    EXPECT_THROW(s.request(nullptr), std::invalid_argument);
    EXPECT_THROW(s.mapper.np_request(odd, {}, false, nullptr, true), std::invalid_argument);
    // Transposed layers use half the default tile height.
    const auto transposed = [&](uint32_t height) {
        return s.request(make_layer("up", LayerType::Conv2DTranspose, TargetComponent::CNP,
                                    Shape({16, height, 8}), {{"filters", 8}, {"kernel_size", 4}}));
    };
    EXPECT_EQ(transposed(129).second.to_string(),
              "Cannot map layer 'up'. Split by height is not supported.");
    EXPECT_EQ(types_of(transposed(128).first), Types{Type::CNP1});
}

// conv -> btc, where btc is a BufferTempConv, on `count` NPs.
struct ConvThenTnpB : MapperRig {
    ConvThenTnpB(uint32_t count, std::vector<np::Info> skips = {})
        : MapperRig(plain_nps(count), std::move(skips)) {
        rig.checker.split_params.filters = 4;
        conv = conv_layer("conv", Shape({4, 4, 4}), 4);
        btc = make_layer("btc", LayerType::BufferTempConv, TargetComponent::TNP_B, Shape({4, 4, 4}),
                         {{"filters", 4}, {"fifo_size", 2}});
        link(conv, btc);
    }
    std::shared_ptr<FakeLayer> conv, btc;
};

// A TNP-B layer split by filters keeps every TNP-B part on a multiple of 4
// filters, unless its parts read all input channels or it has no more than
// three components (one NP with its store and load channels).
TEST(MeshMapperRequest, TnpBFilterPartsOfFourChannels) {
    // Input channels split in parts of 4; the checker's split parameters give
    // the filter count the parts share.
    struct Case {
        LayerType type;
        uint32_t channels, filters;
        std::vector<uint32_t> parts;  // filters of the TNP-B components
        bool refused;
    };
    const Case cases[] = {
        {LayerType::DepthwiseBufferTempConv, 8, 6, {4, 2}, true},
        {LayerType::DepthwiseBufferTempConv, 8, 8, {4, 4}, false},
        {LayerType::DepthwiseBufferTempConv, 4, 2, {2}, false},  // one NP, store and load
        {LayerType::BufferTempConv, 4, 6, {3, 3}, false},        // each part reads all channels
    };
    for (const Case& k : cases) {
        SCOPED_TRACE(testing::Message() << k.channels << " " << k.filters);
        MapperRig s(plain_nps(8), {skip_dma(1, 2)});
        s.rig.checker.split_params.filters = k.filters;
        s.rig.checker.dual_fit = [](uint32_t, uint32_t, uint32_t ch) { return ch <= 4; };
        s.rig.checker.weights_fit = [](uint32_t f) { return f <= 4; };
        auto t = make_layer("t", k.type, TargetComponent::TNP_B, Shape({4, 4, k.channels}),
                            {{"filters", static_cast<int>(k.filters)}, {"fifo_size", 2}});
        t->depthwise = k.type == LayerType::DepthwiseBufferTempConv;
        const auto [components, status] = s.request(t);
        std::vector<uint32_t> parts;
        for (const auto& c : components) {
            if (c.type == Type::TNP_B) parts.push_back(c.placement->filters);
        }
        EXPECT_EQ(parts, k.parts);
        EXPECT_EQ(components.size(), k.parts.size() + 2);
        EXPECT_EQ(status.to_string(),
                  k.refused ? "Cannot map layer 't'. The number of channels must be a multiple of "
                              "4 to be split by filter."
                            : "Success.");
        // A refused request keeps what it took.
        EXPECT_EQ(s.free(Type::TNP_B), 8u - k.parts.size());
    }
}

// ---------------------------------------------------------------------------
// Splitting by kind

class MeshMapperSplit : public ::testing::Test {
  protected:
    Rig rig{plain_nps(8)};
};

// Input columns (or rows) each in exactly one component's own region.
std::vector<int> coverage(const std::vector<hw::Component>& comps, uint32_t width, bool rows) {
    std::vector<int> hits(width, 0);
    for (const auto& c : comps) {
        const NpSpace& s = c.placement->spatial_partition;
        const int32_t start = rows ? s.y : s.x;
        const uint32_t size = s.shape[rows ? 1 : 0];
        for (uint32_t i = 0; i < size; ++i) {
            if (start + i < width) ++hits[start + i];
        }
    }
    return hits;
}

TEST_F(MeshMapperSplit, PoolingPaddingShiftKeepsEveryColumnCovered) {
    // 3x3 max pooling with stride 1 pads one column and row before the
    // convolution output; the split follows the pooling width, 3.
    auto layer = std::make_shared<FakePooledLayer>(
        "conv", LayerType::Convolutional, std::map<std::string, int>{{"filters", 8}},
        TargetComponent::CNP, std::vector<Shape>{Shape({36, 36, 4})});
    layer->pool.stride_x = layer->pool.stride_y = 1;
    layer->pool.padding.left = layer->pool.padding.top = 1;
    layer->pool.padding.right = layer->pool.padding.bottom = 1;
    layer->pool.flag = 1;
    NpSplitParams p;
    p.border_left = p.border_right = p.border_top = p.border_bottom = 1;
    p.pool_type = static_cast<uint32_t>(PoolType::Max);
    p.pool_width = p.pool_height = 3;
    p.filters = 8;
    const Split width(36, 32, 3);  // two parts of 18
    ASSERT_EQ(width.num_chunks, 2u);
    ASSERT_EQ(width.chunk_size, 18u);
    const auto comps = build_split_components(*layer, p, false, Type::CNP1, width, Split(36, 32, 3),
                                              Split(8, 512, 1));
    // Two parts of 18 shifted by the padding would stop at column 34 and
    // leave column 35 to no NP; a third part takes it.
    EXPECT_EQ(coverage(comps, 36, false), std::vector<int>(36, 3));  // 3 height parts each
    EXPECT_EQ(coverage(comps, 36, true), std::vector<int>(36, 3));   // 3 width parts each
    ASSERT_EQ(comps.size(), 9u);
    EXPECT_EQ(comps[0].placement->spatial_partition, (NpSpace{0, 0, Shape({17, 17, 4})}));
    EXPECT_EQ(comps[3].placement->spatial_partition, (NpSpace{17, 0, Shape({18, 17, 4})}));
    EXPECT_EQ(comps[3].placement->aux_partition, (NpSpace{16, 0, Shape({20, 18, 4})}));
    EXPECT_EQ(comps[6].placement->spatial_partition, (NpSpace{35, 0, Shape({1, 17, 4})}));
    EXPECT_EQ(comps[6].placement->aux_partition, (NpSpace{34, 0, Shape({2, 18, 4})}));

    // Where the last part has room for the shift, the parts are unchanged.
    layer->inputs = {Shape({40, 8, 4})};
    const auto two = build_split_components(*layer, p, false, Type::CNP1, Split(40, 32, 3),
                                            Split(8, 32, 3), Split(8, 512, 1));
    ASSERT_EQ(two.size(), 2u);
    EXPECT_EQ(two[0].placement->spatial_partition, (NpSpace{0, 0, Shape({20, 8, 4})}));
    EXPECT_EQ(two[1].placement->spatial_partition, (NpSpace{20, 0, Shape({20, 8, 4})}));
    EXPECT_EQ(coverage(two, 40, false), std::vector<int>(40, 1));
}

// Filter parts take the rest of the filters, at most one part size each; a
// part past the last filter gets none.
TEST_F(MeshMapperSplit, FilterPartsCountDownToZero) {
    auto layer = conv_layer("conv", Shape({4, 4, 3}), 4);
    NpSplitParams p;
    p.filters = 4;
    Split filters;
    filters.num_chunks = 3;
    filters.chunk_size = 2;
    filters.total = 4;
    filters.max_size = 2;
    filters.step = 1;
    const auto comps = build_split_components(*layer, p, true, Type::CNP1, Split(4, 4, 1),
                                              Split(4, 4, 1), filters);
    ASSERT_EQ(comps.size(), 3u);
    std::vector<uint32_t> starts, counts;
    for (const auto& c : comps) {
        starts.push_back(c.placement->start_neuron);
        counts.push_back(c.placement->filters);
        EXPECT_EQ(c.placement->spatial_partition, (NpSpace{0, 0, Shape({4, 4, 3})}));
        EXPECT_TRUE(c.placement->single_buffer);
    }
    EXPECT_EQ(starts, (std::vector<uint32_t>{0, 2, 4}));
    EXPECT_EQ(counts, (std::vector<uint32_t>{2, 2, 0}));
}

TEST_F(MeshMapperSplit, DepthwiseSplits) {
    // The checker gives no filters for a depthwise layer without them: the
    // split runs over the input channels.
    rig.checker.split_params.filters = 0;
    auto dw = make_layer("dw", LayerType::DepthwiseConv2D, TargetComponent::CNP, Shape({8, 8, 8}),
                         {{"kernel_size", 3}});
    dw->depthwise = true;
    const auto [comps, status] =
        split_depthwise_conv_layer(*dw, rig.checker, 256, 64, 4, Type::CNP1, false);
    ASSERT_FALSE(status.error) << status.to_string();
    ASSERT_EQ(comps.size(), 2u);
    EXPECT_EQ(comps[0].placement->filters, 4u);
    EXPECT_EQ(comps[0].placement->spatial_partition.shape[2], 4u);
    EXPECT_EQ(comps[1].placement->start_neuron, 4u);
    EXPECT_EQ(comps[1].placement->spatial_partition.shape[2], 4u);

    auto dwb = make_layer("dwb", LayerType::DepthwiseBufferTempConv, TargetComponent::TNP_B,
                          Shape({4, 4, 10}), {{"fifo_size", 2}});
    dwb->depthwise = true;
    const auto ten = split_depthwise_conv_layer(*dwb, rig.checker, 256, 64, 8, Type::TNP_B, false);
    EXPECT_TRUE(ten.first.empty());
    EXPECT_EQ(ten.second.to_string(), "Cannot map layer 'dwb'. Cannot split to fit inputs in ram.");
}

TEST_F(MeshMapperSplit, FailureMessagesInOrderAndSingleBuffer) {
    auto conv = conv_layer("c", Shape({8, 8, 4}));
    rig.checker.split_params.filters = 8;
    const auto message = [&](uint32_t h, uint32_t w, uint32_t f) {
        return split_conv_layer(*conv, rig.checker, h, w, f, Type::CNP1, false).second.message;
    };
    EXPECT_EQ(message(0, 64, 512), "Cannot split by height.");
    EXPECT_EQ(message(256, 0, 512), "Cannot split by width.");
    EXPECT_EQ(message(256, 64, 0), "Cannot split by neurons.");
    rig.checker.weights_fit = [](uint32_t) { return false; };
    EXPECT_EQ(message(256, 64, 512), "Cannot split to fit weights in ram.");
    rig.checker.weights_fit = [](uint32_t) { return true; };
    rig.checker.dual_fit = [](uint32_t, uint32_t, uint32_t) { return false; };
    const auto r = split_conv_layer(*conv, rig.checker, 256, 64, 512, Type::CNP1, false);
    EXPECT_EQ(r.second, MappingStatus::failure("Cannot split to fit inputs in ram.", "c"));
    EXPECT_TRUE(r.first.empty());
    rig.checker.single_fit = [](uint32_t, uint32_t, uint32_t) { return true; };
    const auto single = split_conv_layer(*conv, rig.checker, 256, 64, 512, Type::CNP1, false);
    ASSERT_EQ(single.first.size(), 1u);
    EXPECT_TRUE(single.first[0].placement->single_buffer);
}

// A layer whose parameters are gone.
class ParameterlessLayer : public FakeLayer {
  public:
    ParameterlessLayer()
        : FakeLayer("p", LayerType::Conv2D, {}, TargetComponent::CNP, {Shape({4, 4, 4})}) {}
    const LayerParams* params() const override { return nullptr; }
};

TEST_F(MeshMapperSplit, BrokenLayersAreRefusedByName) {
    auto p = std::make_shared<ParameterlessLayer>();
    const std::string no_params = "Layer 'p' has no parameters.";
    EXPECT_EQ(test_support::runtime_error_text(
                  [&] { split_conv_layer(*p, rig.checker, 64, 64, 64, Type::CNP1, false); }),
              no_params);
    EXPECT_EQ(test_support::runtime_error_text(
                  [&] { split_transposed_conv2d_layer(*p, rig.checker, 64, 64, 64, false); }),
              no_params);
    MapperRig s(plain_nps(2));
    EXPECT_EQ(test_support::runtime_error_text([&] { s.request(p); }), no_params);

    // The packet buffer shift follows the first inbound layer, which must exist.
    auto conv = conv_layer("conv", Shape({4, 4, 4}));
    auto add = make_layer("add", LayerType::Add, TargetComponent::SkipDMA, Shape({4, 4, 4}));
    EXPECT_EQ(v2::get_add_pksram_shift(*conv), 0u);
    conv->inbound = {add};
    EXPECT_EQ(v2::get_add_pksram_shift(*conv), 512u);
    conv->inbound = {nullptr};
    EXPECT_EQ(test_support::runtime_error_text([&] { v2::get_add_pksram_shift(*conv); }),
              "Layer 'conv' has a null inbound layer.");

    // An outbound layer that no longer exists.
    auto gone = conv_layer("gone", Shape({4, 4, 4}));
    conv->outbound = {gone};
    gone.reset();
    bool new_group = false;
    EXPECT_EQ(
        test_support::runtime_error_text([&] { s.mapper.sanitize_tnp_b(*conv, &new_group, true); }),
        "Layer 'conv' has a null outbound layer.");
    EXPECT_THROW(s.mapper.sanitize_tnp_b(*conv, nullptr, true), std::invalid_argument);
}

}  // namespace
}  // namespace vorna
