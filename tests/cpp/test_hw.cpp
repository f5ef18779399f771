#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "test_support.h"

namespace {

using namespace vorna;
using hw::Component;
using hw::Ident;
using hw::Type;
using np::Info;

Mesh make_mesh(IpVersion version, bool hrc_lut = true, bool np_lut = true) {
    return Mesh(version, Ident(1, 1, 0), Ident(1, 1, 1), Info(Ident(), {Type::HRC}, hrc_lut),
                {Info(Ident(1, 2, 0), {Type::CNP1, Type::CNP2}, true),
                 Info(Ident(1, 2, 1), {Type::FNP2}, np_lut)},
                {Info(Ident(1, 1, 3, 4), {Type::SKIP_DMA_STORE, Type::SKIP_DMA_LOAD}, false)});
}

TEST(Hw, MeshSramPresetsLutAndRefusals) {
    EXPECT_EQ(SramSize_v1, (SramSize{43008, 44800, 0, 0, 0, 0}));
    EXPECT_EQ(SramSize_v2, (SramSize{65536, 51200, 0, 0, 0, 0}));
    EXPECT_EQ(SramSize_mote, (SramSize{0, 0, 448, 8192, 892, 256}));
    EXPECT_EQ(sram_size_preset(IpVersion::none), nullptr);
    EXPECT_EQ(make_mesh(IpVersion::v1).np_sram_size, SramSize_v1);
    EXPECT_EQ(make_mesh(IpVersion::v2).np_sram_size, SramSize_v2);
    EXPECT_EQ(make_mesh(IpVersion::mote).np_sram_size, SramSize_mote);
    for (uint32_t value : {0u, 4u}) {
        EXPECT_EQ(test_support::exception_text([&] { make_mesh(IpVersion(value)); }),
                  "The mesh should have a valid IP version.");
    }
    // Skip DMAs without a look-up table do not count; an HRC without one does.
    EXPECT_TRUE(make_mesh(IpVersion::v2).has_lut_on_all_nps());
    EXPECT_FALSE(make_mesh(IpVersion::v2, false).has_lut_on_all_nps());
    EXPECT_FALSE(make_mesh(IpVersion::v2, true, false).has_lut_on_all_nps());
    EXPECT_TRUE(Mesh(IpVersion::v2, Ident(), Ident(), std::nullopt, {}, {}).has_lut_on_all_nps());
}

}  // namespace
