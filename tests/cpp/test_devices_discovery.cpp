#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/emulation/emulation.h"
#include "corelib/model.h"
#include "corelib/params.h"
#include "devices/discovery.h"
#include "devices/hw_version.h"

namespace vorna {
namespace {

using DeviceList = std::vector<std::shared_ptr<Device>>;

// Runs discovery with the given probe and returns the list and what it printed.
DeviceList discover(const std::string& specs, const detail::HrcProbe& probe, std::string* out) {
    emu::set_driver_specs(specs);
    ::testing::internal::CaptureStdout();
    DeviceList devices;
    try {
        devices = detail::populate_devices(probe);
    } catch (...) {
        *out = ::testing::internal::GetCapturedStdout();
        throw;
    }
    *out = ::testing::internal::GetCapturedStdout();
    return devices;
}

bool never_called(std::shared_ptr<Device>) {
    ADD_FAILURE() << "the probe runs on Tarn_v2 devices only";
    return false;
}

std::vector<HwVersion> versions(const DeviceList& devices) {
    std::vector<HwVersion> v;
    for (const auto& d : devices) v.push_back(d->version());
    return v;
}

TEST(DevicesDiscovery, NoDriversGiveNoDevices) {
    std::string out;
    EXPECT_TRUE(discover("", never_called, &out).empty());
    EXPECT_EQ(out, "");
}

TEST(DevicesDiscovery, FailingDriverIsPrintedAndSkipped) {
    std::string out;
    const auto devices = discover("v1,fail,v2+soc,mote,tarn_v1", never_called, &out);
    EXPECT_EQ(out, "Emulated driver failure.\n");
    EXPECT_EQ(versions(devices),
              (std::vector<HwVersion>{XVR2200_v1, Selvo_v2, Mote_Selvo, Tarn_v1}));
    EXPECT_EQ(devices[1]->mesh().ip_version, IpVersion::v2);
    EXPECT_NE(devices[1]->hardware(), nullptr);
    EXPECT_STREQ(devices[1]->desc(), "Emulated v2 BC.A2.001.000");
    EXPECT_EQ(devices[2]->mesh().ip_version, IpVersion::mote);
}

TEST(DevicesDiscovery, IpVersionMismatchEndsTheWalk) {
    std::string out;
    try {
        discover("v2,v1+badversion,v2", never_called, &out);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(),
                     "Incompatible hardware and Ip versions: HW Version is 188.162.3.9 with "
                     "product id = 162 while IP version is v1.");
    }
    EXPECT_EQ(out, "");
}

TEST(DevicesDiscovery, ProbeRunsOnTarnV2Only) {
    int calls = 0;
    std::string out;
    const auto devices = discover(
        "tarn_v1,gemel,v1,tarn_v2",
        [&](std::shared_ptr<Device> device) {
            ++calls;
            EXPECT_EQ(device->version(), Tarn_v2);
            return false;
        },
        &out);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(devices.size(), 4u);
    EXPECT_EQ(out, "");
}

TEST(DevicesDiscovery, ProbeVerdictChoosesTheDevice) {
    std::string out;
    HardwareDevice* probed = nullptr;
    std::weak_ptr<Device> first;
    auto keep = discover(
        "tarn_v2",
        [&](std::shared_ptr<Device> device) {
            probed = device->hardware();
            return false;
        },
        &out);
    ASSERT_EQ(keep.size(), 1u);
    EXPECT_EQ(keep[0]->hardware(), probed);

    auto timed_out = discover(
        "tarn_v2+hrc_timeout",
        [&](std::shared_ptr<Device> device) {
            probed = device->hardware();
            first = device;
            return true;
        },
        &out);
    ASSERT_EQ(timed_out.size(), 1u);
    EXPECT_NE(timed_out[0]->hardware(), probed);
    EXPECT_TRUE(first.expired());  // the first host device was released
    EXPECT_EQ(timed_out[0]->version(), Tarn_v2);
    EXPECT_EQ(out, "");
}

TEST(DevicesDiscovery, RuntimeErrorFromTheProbeSkipsTheDevice) {
    std::string out;
    const auto devices = discover(
        "tarn_v2,v1",
        [](std::shared_ptr<Device>) -> bool { throw std::runtime_error("mapping failed"); }, &out);
    EXPECT_EQ(out, "mapping failed\n");
    EXPECT_EQ(versions(devices), (std::vector<HwVersion>{XVR2200_v1}));
}

TEST(DevicesDiscovery, PopulateBuildsNewDevicesEachTime) {
    emu::set_driver_specs("v1,v2");
    const auto a = detail::populate_devices(never_called);
    const auto b = detail::populate_devices(never_called);
    ASSERT_EQ(a.size(), 2u);
    ASSERT_EQ(b.size(), 2u);
    EXPECT_NE(a[0], b[0]);
    EXPECT_NE(a[0]->hardware(), b[0]->hardware());
}

// The only test that calls get_devices, so that it sees the list unbuilt.
TEST(DevicesDiscovery, ProcessListIsBuiltOnceAfterAFailure) {
    emu::set_driver_specs("v1+badversion");
    EXPECT_THROW(get_devices(), std::invalid_argument);
    emu::set_driver_specs("v2,v1");
    const auto& list = get_devices();
    EXPECT_EQ(versions(list), (std::vector<HwVersion>{Selvo_v2, XVR2200_v1}));
    emu::set_driver_specs("mote");
    const auto& again = get_devices();
    EXPECT_EQ(&list, &again);
    EXPECT_EQ(again.size(), 2u);
}

TEST(DevicesHostDevice, MeshIsTheOneDiscoveredAtConstruction) {
    auto driver = emu::make_driver(emu::parse_driver_spec("v2"));
    auto hardware = HardwareDevice::create(driver.get());
    HostDevice host(hardware);
    EXPECT_EQ(host.hardware(), hardware.get());
    EXPECT_EQ(host.version(), Selvo_v2);
    EXPECT_EQ(host.mesh().nps.size(), 28u);
    driver->registers().write(emu::kIpBase + emu::kMeshWord1Reg, 0x01010401);  // one row
    EXPECT_EQ(host.mesh().nps.size(), 28u);
    EXPECT_EQ(Mesh::discover(hardware.get())->nps.size(), 12u);
}

TEST(DevicesHrcProbe, BuildsTheModelAndMapsItForHardwareOnly) {
    // A null device reaches the map call of a model that holds the test layer.
    try {
        hrc_check_timeout(nullptr);
        FAIL();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid device.");
    }
}

TEST(DevicesHrcProbe, TestModelRunsOnTheDeviceItProbes) {
    // The test model maps on a Tarn_v2 device and runs there; only the first hardware device
    // created on an hrc_timeout driver throws while it runs.
    auto plain_driver = emu::make_driver(emu::parse_driver_spec("tarn_v2"));
    auto plain = std::make_shared<HostDevice>(HardwareDevice::create(plain_driver.get()));
    EXPECT_FALSE(hrc_check_timeout(plain));
    EXPECT_EQ(plain.use_count(), 1);  // the probe's model released its copy

    auto timeout_driver = emu::make_driver(emu::parse_driver_spec("tarn_v2+hrc_timeout"));
    auto first = std::make_shared<HostDevice>(HardwareDevice::create(timeout_driver.get()));
    EXPECT_TRUE(hrc_check_timeout(first));
    EXPECT_EQ(first.use_count(), 1);
    auto second = std::make_shared<HostDevice>(HardwareDevice::create(timeout_driver.get()));
    EXPECT_FALSE(hrc_check_timeout(second));
}

TEST(DevicesDiscovery, RealProbeKeepsOrRecreatesTarnV2Devices) {
    emu::set_driver_specs("tarn_v2,tarn_v2+hrc_timeout,v1");
    ::testing::internal::CaptureStdout();
    const auto devices = populate_devices();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(versions(devices), (std::vector<HwVersion>{Tarn_v2, Tarn_v2, XVR2200_v1}));
    // The listed device of the timing-out driver is its second creation, which runs.
    EXPECT_FALSE(hrc_check_timeout(devices[1]));
}

TEST(DevicesHrcProbe, ConstantInputs) {
    auto inputs = detail::constant_inputs(8, 8, 1);
    EXPECT_EQ(inputs->type(), TensorType::uint8);
    EXPECT_EQ(inputs->dimensions(), (Shape{1, 8, 8, 1}));
    EXPECT_EQ(inputs->buffer(), std::vector<uint8_t>(64, 1));
    const struct {
        uint32_t x, y, c;
        const char* message;
    } refused[] = {
        {0, 8, 1, "Cannot have a shape with a dimension set to 0"},
        {8, 0, 1, "Cannot have a shape with a dimension set to 0"},
        {8, 8, 0, "Cannot have a shape with a dimension set to 0"},
        {65536, 65536, 1, "Tensor shape size 4294967296 exceeds maximum shape size (4294967295)"},
    };
    for (const auto& r : refused) {
        try {
            detail::constant_inputs(r.x, r.y, r.c);
            FAIL();
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), r.message);
        }
    }
}

TEST(DevicesHrcProbe, ConstantInputsOfAModel) {
    auto model = Model::create();
    auto params = LayerParams::create(
        LayerType::InputData, {{"input_width", 4}, {"input_height", 2}, {"input_channels", 3}});
    model->add(Layer::create(params.get(), "input"), {});
    auto inputs = get_constant_inputs(*model);
    EXPECT_EQ(inputs->dimensions(), (Shape{1, 4, 2, 3}));
    EXPECT_EQ(inputs->buffer(), std::vector<uint8_t>(24, 1));
}

}  // namespace
}  // namespace vorna
