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

// A device with any version, including versions of no IP version.
std::shared_ptr<Device> device(HwVersion version) {
    return std::make_shared<test_support::MeshDevice>(version, IpVersion::v2);
}

template <class F>
std::string invalid_argument_text(F&& f) {
    try {
        f();
    } catch (const std::invalid_argument& e) {
        return e.what();
    }
    return "<no invalid_argument>";
}

struct DefaultsCase {
    HwVersion version;
    uint32_t width, height, filters;
};

TEST(MapConstraintsDefaults, PerVersion) {
    const DefaultsCase cases[] = {
        {Tarn_v1, 32, 256, 512},
        {Tarn_v2, 32, 256, 504},                      // exactly BC.00.00.02
        {HwVersion{0xBD, 0x00, 0, 2}, 32, 256, 512},  // another vendor
        {HwVersion{0xBC, 0x00, 1, 2}, 32, 256, 512},
        {Gemel_v1, 32, 256, 512},
        {XVR2200_v1, 32, 256, 512},
        {Selvo_v2, 64, 256, 512},
        {Mote_Selvo, 0, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(hw_version_to_string(c.version));
        const MapConstraints mc(device(c.version));
        EXPECT_EQ(mc.cnp_max_width_default(), c.width);
        EXPECT_EQ(mc.cnp_max_height_default(), c.height);
        EXPECT_EQ(mc.cnp_max_filters_default(), c.filters);
        EXPECT_EQ(mc.cnp_max_width(), c.width);
        EXPECT_EQ(mc.cnp_max_height(), c.height);
        EXPECT_EQ(mc.cnp_max_filters(), c.filters);
        EXPECT_FALSE(mc.hwpr_loopitself());
    }
}

TEST(MapConstraintsDefaults, DeviceIsShared) {
    auto d = device(Selvo_v2);
    const MapConstraints mc(d);
    EXPECT_EQ(mc.device(), d);
    EXPECT_EQ(d.use_count(), 2);
}

TEST(MapConstraintsErrors, ConstructorMessages) {
    EXPECT_EQ(invalid_argument_text([] { MapConstraints mc(nullptr); }),
              "Invalid device passed to MapConstraints.");
    for (uint8_t product : {0xA0, 0xA3, 0xB0, 0x01}) {
        EXPECT_EQ(invalid_argument_text(
                      [&] { MapConstraints mc(device(HwVersion{0xBC, product, 1, 0})); }),
                  "Unsupported IP version in MapConstraints constructor.");
    }
}

TEST(MapConstraintsSetters, LimitsAgainstDefaults) {
    MapConstraints mc(device(Selvo_v2));
    mc.set_cnp_max_width(64);
    EXPECT_EQ(mc.cnp_max_width(), 64u);
    mc.set_cnp_max_width(16);
    EXPECT_EQ(invalid_argument_text([&] { mc.set_cnp_max_width(65); }),
              "CNP max width should be <= 64. Receives 65.");
    EXPECT_EQ(mc.cnp_max_width(), 16u);  // the old value stays
    EXPECT_EQ(invalid_argument_text([&] { mc.set_cnp_max_height(257); }),
              "CNP max height should be <= 256. Receives 257.");
    EXPECT_EQ(mc.cnp_max_height(), 256u);
    EXPECT_EQ(invalid_argument_text([&] { mc.set_cnp_max_filters(4294967295u); }),
              "CNP max filters should be <= 512. Receives 4294967295.");
    mc.set_cnp_max_height(0);
    mc.set_cnp_max_filters(0);
    EXPECT_EQ(mc.cnp_max_height(), 0u);
    EXPECT_EQ(mc.cnp_max_filters(), 0u);
    EXPECT_EQ(mc.cnp_max_height_default(), 256u);  // defaults never move

    MapConstraints tarn(device(Tarn_v2));
    EXPECT_EQ(invalid_argument_text([&] { tarn.set_cnp_max_filters(505); }),
              "CNP max filters should be <= 504. Receives 505.");
    tarn.set_cnp_max_filters(504);
    EXPECT_EQ(tarn.cnp_max_filters(), 504u);
}

TEST(MapConstraintsSetters, MoteAcceptsOnlyZero) {
    MapConstraints mc(device(Mote_Selvo));
    EXPECT_EQ(invalid_argument_text([&] { mc.set_cnp_max_width(1); }),
              "CNP max width should be <= 0. Receives 1.");
    mc.set_cnp_max_width(0);
    mc.set_cnp_max_height(0);
    mc.set_cnp_max_filters(0);
    EXPECT_EQ(mc.cnp_max_width(), 0u);
}

TEST(MapConstraintsSetters, HwprOnlyOnV2) {
    MapConstraints v2(device(Selvo_v2));
    v2.set_hwpr_loopitself(true);
    EXPECT_TRUE(v2.hwpr_loopitself());
    v2.set_hwpr_loopitself(false);
    EXPECT_FALSE(v2.hwpr_loopitself());

    for (HwVersion version : {Tarn_v1, XVR2200_v1, Mote_Selvo}) {
        MapConstraints mc(device(version));
        mc.set_hwpr_loopitself(false);
        EXPECT_EQ(invalid_argument_text([&] { mc.set_hwpr_loopitself(true); }),
                  "HWPR NP loopitself feature is only supported for IP v2.");
        EXPECT_FALSE(mc.hwpr_loopitself());
    }
}

TEST(MapConstraintsHooks, DefaultSelection) {
    const MapConstraints mc(device(Selvo_v2));
    const std::vector<hw::Ident> candidates{{2, 1, 0}, {1, 1, 1}, {1, 1, 0}};
    EXPECT_EQ(mc.select_nps(candidates, 5, hw::Type::CNP1), candidates);
    EXPECT_TRUE(mc.select_nps(candidates, 0, hw::Type::CNP1).empty());
    EXPECT_EQ(mc.select_nps(candidates, 2, hw::Type::FNP3),
              (std::vector<hw::Ident>{{2, 1, 0}, {1, 1, 1}}));
    EXPECT_TRUE(mc.select_nps({}, 3, hw::Type::CNP1).empty());
    EXPECT_NO_THROW(mc.next_layer_handler("conv"));
}

// A caller's constraints that watch the layers and pick NPs from the end.
class ReversingConstraints : public MapConstraints {
  public:
    using MapConstraints::MapConstraints;
    void next_layer_handler(const std::string& name) const override { seen.push_back(name); }
    std::vector<hw::Ident> select_nps(const std::vector<hw::Ident>& source, size_t n,
                                      hw::Type) const override {
        return std::vector<hw::Ident>(source.rbegin(), source.rbegin() + n);
    }
    mutable std::vector<std::string> seen;
};

TEST(MapConstraintsHooks, OverridesRunThroughTheBase) {
    ReversingConstraints rc(device(Selvo_v2));
    const MapConstraints& base = rc;
    base.next_layer_handler("first");
    EXPECT_EQ(rc.seen, std::vector<std::string>{"first"});
    EXPECT_EQ(base.select_nps({{1, 1, 0}, {1, 1, 1}}, 1, hw::Type::CNP1),
              std::vector<hw::Ident>{hw::Ident(1, 1, 1)});
}

}  // namespace
}  // namespace vorna
