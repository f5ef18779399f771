#pragma once

// Helpers shared by the C++ tests: the component each layer type runs on (for
// the fake layers), devices without NPs, graph links between fake layers, NP
// spaces, layer variables, the texts of thrown exceptions, and a decoder that
// splits a program record back into its DMA blocks.

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "backend/hw.h"
#include "corelib/device.h"
#include "corelib/dma.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/tensor.h"
#include "corelib/types.h"
#include "corelib/variables.h"
#include "devices/hw_version.h"
#include "devices/virtual_device.h"
#include "program/record.h"

namespace vorna::test_support {

// The component kind each layer type runs on.
inline TargetComponent target_of(LayerType type) {
    switch (type) {
        case LayerType::InputConvolutional:
        case LayerType::InputConv2D:
            return TargetComponent::HRC;
        case LayerType::Convolutional:
        case LayerType::SeparableConvolutional:
        case LayerType::Conv2D:
        case LayerType::DepthwiseConv2D:
        case LayerType::Conv2DTranspose:
        case LayerType::DepthwiseConv2DTranspose:
            return TargetComponent::CNP;
        case LayerType::FullyConnected:
        case LayerType::Dense1D:
            return TargetComponent::FNP;
        case LayerType::Add:
        case LayerType::Concatenate:
            return TargetComponent::SkipDMA;
        case LayerType::BufferTempConv:
        case LayerType::DepthwiseBufferTempConv:
            return TargetComponent::TNP_B;
        case LayerType::StatefulRecurrent:
        case LayerType::MotePostProcessing:
            return TargetComponent::TNP_R;
        default:
            return TargetComponent::None;
    }
}

// A virtual device on a mesh without NPs: DMA event endpoint (0, 0, 0),
// configuration DMA `config_dma` ((1, 0, 0) unless given), no HRC.
inline std::shared_ptr<Device> bare_virtual_device(const HwVersion& version, IpVersion ip,
                                                   const hw::Ident& config_dma = hw::Ident{1, 0, 0,
                                                                                           0}) {
    Mesh mesh(ip, hw::Ident{0, 0, 0, 0}, config_dma, std::nullopt, {}, {});
    return make_virtual_device(version, mesh);
}

// `count` NPs with look-up tables that can be CNP1, CNP2 and TNP_B, at column
// 1 + i / 4, row 1, id i % 4 (nodes of four ids).
inline std::vector<np::Info> plain_nps(uint32_t count) {
    std::vector<np::Info> nps;
    for (uint32_t i = 0; i < count; ++i) {
        nps.emplace_back(hw::Ident(static_cast<uint8_t>(1 + i / 4), 1, static_cast<uint8_t>(i % 4)),
                         std::set<hw::Type>{hw::Type::CNP1, hw::Type::CNP2, hw::Type::TNP_B}, true);
    }
    return nps;
}

// The NPs of a v2 mesh like a real one: seven nodes ((1, 2), (2, 1), (2, 2),
// (3, 1), (3, 2), (4, 1), (4, 2)) of four NPs with look-up tables, CNP1/CNP2
// everywhere, TNP_B on ids 2-3 of columns 2 and 3, FNP3 on id 0 and FNP2 on
// id 1 of column 4.
inline std::vector<np::Info> seven_node_v2_nps() {
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
    return nps;
}

// A device of any version with an empty mesh of IP version `ip` (no NPs, no
// DMAs, no HRC) and no hardware; tests may edit the mesh.
class MeshDevice : public Device {
  public:
    MeshDevice(HwVersion version, IpVersion ip, const char* desc = "test")
        : version_(version), desc_(desc), mesh_(ip, {}, {}, std::nullopt, {}, {}) {}
    HwVersion version() const override { return version_; }
    const char* desc() const override { return desc_; }
    const Mesh& mesh() const override { return mesh_; }
    HardwareDevice* hardware() const override { return nullptr; }
    Mesh& mutable_mesh() { return mesh_; }

  private:
    HwVersion version_;
    const char* desc_;
    Mesh mesh_;
};

// Makes `to` an outbound layer of `from` and `from` an inbound layer of `to`
// (for the fake layers, which expose both lists).
template <class From, class To>
void link(const From& from, const To& to) {
    from->outbound.push_back(to);
    to->inbound.push_back(from);
}

// The NP space of width `w`, height `h` and `c` channels at (x, y).
inline NpSpace space(int32_t x, int32_t y, uint32_t w, uint32_t h, uint32_t c) {
    NpSpace s;
    s.x = x;
    s.y = y;
    s.shape = Shape{w, h, c};
    return s;
}

// A layer of `type` named `name`, built from the parameter entries.
inline std::shared_ptr<Layer> make_layer(LayerType type, const std::map<std::string, int>& entries,
                                         const std::string& name) {
    auto params = LayerParams::create(type, entries);
    return Layer::create(params.get(), name);
}

// Puts `value` in place of a variable whatever its shape, as a layer declaring its variables
// does, for the tests of the size checks that the back ends and the software kernels make: a
// layer's own `set` refuses a tensor of another shape than the variable's.
inline void set_any_shape(Variables* variables, const std::string& name,
                          const std::shared_ptr<Tensor>& value) {
    try {
        variables->set(name, value);
    } catch (const std::invalid_argument&) {
        dynamic_cast<VariablesImpl&>(*variables).declare(name, value);
    }
}

// The dense variable `name` of a layer.
inline Dense& dense_var(Layer& layer, const std::string& name) {
    return dynamic_cast<Dense&>(*layer.variables()->get(name));
}

// The text of any std::exception `f` throws; "<no exception>" when nothing is thrown.
template <class F>
std::string exception_text(F&& f) {
    try {
        f();
    } catch (const std::exception& e) {
        return e.what();
    }
    return "<no exception>";
}

// The text of the std::runtime_error `f` throws; "<no runtime_error>" when nothing is thrown.
template <class F>
std::string runtime_error_text(F&& f) {
    try {
        f();
    } catch (const std::runtime_error& e) {
        return e.what();
    }
    return "<no runtime_error>";
}

// The text of the exception `f` throws, prefixed with its kind ("invalid_argument: " or
// "runtime_error: "); "<no exception>" when nothing is thrown.
template <class F>
std::string kinded_error_text(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return std::string("invalid_argument: ") + e.what();
    } catch (const std::runtime_error& e) {
        return std::string("runtime_error: ") + e.what();
    }
    return "<no exception>";
}

// One DMA block of a record, as its configuration header describes it.
struct Block {
    size_t track = 0;
    hw::Ident np;  // the header carries no channel: it is 0 here
    uint32_t target = 0;
    uint32_t offset = 0;
    bool xl = false;
    std::vector<uint32_t> payload;  // XL padding included
};

// Every block of every track, in order. Blocks must carry their size.
inline std::vector<Block> decode(const program::Record& record) {
    std::vector<Block> blocks;
    for (size_t t = 0; t < record.tracks().size(); ++t) {
        const std::vector<uint32_t>& data = record.tracks()[t].data();
        size_t pos = 0;
        while (pos + 2 <= data.size()) {
            Block b;
            b.track = t;
            const uint32_t w0 = data[pos];
            const uint32_t w1 = data[pos + 1];
            b.np = hw::Ident{static_cast<uint8_t>(dma::HDR0_COL.get(w0)),
                             static_cast<uint8_t>(dma::HDR0_ROW.get(w0)),
                             static_cast<uint8_t>(dma::HDR0_ID.get(w0)), 0};
            b.xl = dma::HDR0_XL.get(w0) != 0;
            b.target = dma::HDR0_TARGET.get(w0);
            b.offset = dma::HDR1_OFFSET.get(w1);
            const size_t size =
                b.xl ? dma::HDR1_XL_SIZE.get(w1) * dma::XL_SIZE_UNIT_WORDS : dma::HDR0_SIZE.get(w0);
            pos += 2;
            b.payload.assign(data.begin() + static_cast<std::ptrdiff_t>(pos),
                             data.begin() + static_cast<std::ptrdiff_t>(pos + size));
            pos += size;
            blocks.push_back(std::move(b));
        }
    }
    return blocks;
}

}  // namespace vorna::test_support
