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

}  // namespace
}  // namespace vorna
