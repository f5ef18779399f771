#include <gtest/gtest.h>

#include <stdexcept>

#include "corelib/emulation/emulation.h"
#include "devices/flash_controller.h"

namespace vorna {
namespace {

TEST(FlashController, BoardDriverHandsOutAController) {
    auto driver = emu::make_driver(emu::parse_driver_spec("v1+flash"));
    auto device = HardwareDevice::create(driver.get());
    auto flash = get_flash(device.get());
    ASSERT_NE(flash, nullptr);
    try {
        flash->get_id();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "get_id function is not yet implemented");
    }
}

TEST(FlashController, OtherDriversHaveNoFlash) {
    for (const char* spec : {"v1", "v2+soc"}) {
        auto driver = emu::make_driver(emu::parse_driver_spec(spec));
        auto device = HardwareDevice::create(driver.get());
        try {
            get_flash(device.get());
            FAIL() << spec;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "The device does not contain an XVR2200 flash");
        }
    }
    EXPECT_THROW(get_flash(nullptr), std::invalid_argument);
}

}  // namespace
}  // namespace vorna
