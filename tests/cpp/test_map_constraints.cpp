#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/map_constraints.h"
#include "corelib/device.h"
#include "devices/hw_version.h"
#include "test_support.h"

namespace vorna {
namespace {

std::shared_ptr<Device> device(HwVersion version) {
    return std::make_shared<test_support::MeshDevice>(version, IpVersion::v2);
}

TEST(MapConstraints, DefaultsPerVersion) {
    struct Case {
        HwVersion version;
        uint32_t width, height, filters;
    };
    for (const Case& c :
         {Case{Tarn_v1, 32, 256, 512}, Case{Tarn_v2, 32, 256, 504},
          Case{HwVersion{0xBD, 0x00, 0, 2}, 32, 256, 512},
          Case{HwVersion{0xBC, 0x00, 1, 2}, 32, 256, 512}, Case{XVR2200_v1, 32, 256, 512},
          Case{Selvo_v2, 64, 256, 512}, Case{Mote_Selvo, 0, 0, 0}}) {
        const MapConstraints mc(device(c.version));
        EXPECT_EQ(
            (std::vector<uint32_t>{mc.cnp_max_width(), mc.cnp_max_height(), mc.cnp_max_filters(),
                                   mc.cnp_max_width_default(), mc.cnp_max_height_default(),
                                   mc.cnp_max_filters_default()}),
            (std::vector<uint32_t>{c.width, c.height, c.filters, c.width, c.height, c.filters}))
            << hw_version_to_string(c.version);
    }
}

TEST(MapConstraints, Refusals) {
    const auto text = [](auto f) { return test_support::kinded_error_text(f); };
    EXPECT_EQ(text([] { MapConstraints mc(nullptr); }),
              "invalid_argument: Invalid device passed to MapConstraints.");
    for (uint8_t product : {0xA0, 0xA3, 0xB0, 0x01}) {
        EXPECT_EQ(text([&] { MapConstraints mc(device(HwVersion{0xBC, product, 1, 0})); }),
                  "invalid_argument: Unsupported IP version in MapConstraints constructor.");
    }
    MapConstraints mc(device(Selvo_v2));
    mc.set_cnp_max_width(64);
    mc.set_cnp_max_width(16);
    EXPECT_EQ(text([&] { mc.set_cnp_max_width(65); }),
              "invalid_argument: CNP max width should be <= 64. Receives 65.");
    EXPECT_EQ(mc.cnp_max_width(), 16u);  // the old value stays
    EXPECT_EQ(text([&] { mc.set_cnp_max_height(257); }),
              "invalid_argument: CNP max height should be <= 256. Receives 257.");
    EXPECT_EQ(text([&] { mc.set_cnp_max_filters(4294967295u); }),
              "invalid_argument: CNP max filters should be <= 512. Receives 4294967295.");
    mc.set_cnp_max_height(0);
    EXPECT_EQ(mc.cnp_max_height(), 0u);
    EXPECT_EQ(mc.cnp_max_height_default(), 256u);
    MapConstraints tarn(device(Tarn_v2));
    EXPECT_EQ(text([&] { tarn.set_cnp_max_filters(505); }),
              "invalid_argument: CNP max filters should be <= 504. Receives 505.");
    tarn.set_cnp_max_filters(504);
    EXPECT_EQ(tarn.cnp_max_filters(), 504u);
    mc.set_hwpr_loopitself(true);
    EXPECT_TRUE(mc.hwpr_loopitself());
    for (HwVersion version : {Tarn_v1, XVR2200_v1, Mote_Selvo}) {
        MapConstraints other(device(version));
        other.set_hwpr_loopitself(false);
        EXPECT_EQ(text([&] { other.set_hwpr_loopitself(true); }),
                  "invalid_argument: HWPR NP loopitself feature is only supported for IP v2.");
    }
}

TEST(MapConstraints, DefaultSelectionTakesTheFirst) {
    const MapConstraints mc(device(Selvo_v2));
    const std::vector<hw::Ident> candidates{{2, 1, 0}, {1, 1, 1}, {1, 1, 0}};
    EXPECT_EQ(mc.select_nps(candidates, 5, hw::Type::CNP1), candidates);
    EXPECT_TRUE(mc.select_nps(candidates, 0, hw::Type::CNP1).empty());
    EXPECT_EQ(mc.select_nps(candidates, 2, hw::Type::FNP3),
              (std::vector<hw::Ident>{{2, 1, 0}, {1, 1, 1}}));
}

}  // namespace
}  // namespace vorna
