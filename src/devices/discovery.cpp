#include "devices/discovery.h"

#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/map_constraints.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/types.h"
#include "corelib/variables.h"
#include "devices/hw_version.h"
#include "program/register.h"

namespace vorna {

namespace {

// The probe input is one tensor.
constexpr uint64_t kMaxShapeSize = kMaxTensorElements;

void check_ip_versions(const HardwareDevice& hardware, const HostDevice& host) {
    const HwVersion version = hardware.version();
    const IpVersion mesh_ip = host.mesh().ip_version;
    if (version.get_ip_version() != mesh_ip) {
        throw std::invalid_argument(incompatible_ip_versions_message(version, mesh_ip));
    }
}

}  // namespace

HostDevice::HostDevice(std::shared_ptr<HardwareDevice> hardware) : hardware_(std::move(hardware)) {
    if (!hardware_) throw std::invalid_argument("A host device needs a hardware device.");
    mesh_ = Mesh::discover(hardware_.get());
}

namespace detail {

std::vector<std::shared_ptr<Device>> populate_devices(const HrcProbe& probe) {
    std::vector<std::shared_ptr<Device>> devices;
    std::vector<HardwareDriver*>& drivers = get_drivers();
    for (HardwareDriver* driver : drivers) {
        try {
            std::shared_ptr<HardwareDevice> hardware = HardwareDevice::create(driver);
            auto host = std::make_shared<HostDevice>(hardware);
            check_ip_versions(*hardware, *host);
            if (hardware->version() == Tarn_v2 && probe(host)) {
                hardware = HardwareDevice::create(driver);
                auto second = std::make_shared<HostDevice>(hardware);
                check_ip_versions(*hardware, *second);
                host = std::move(second);
            }
            devices.push_back(std::move(host));
        } catch (const std::runtime_error& e) {
            std::cout << e.what() << '\n' << std::flush;
        }
    }
    return devices;
}

std::shared_ptr<Dense> constant_inputs(uint32_t x, uint32_t y, uint32_t c) {
    if (x == 0 || y == 0 || c == 0) panic("Cannot have a shape with a dimension set to 0");
    // Three 32-bit dimensions can overflow 64 bits (a wrapped product would pass the limit),
    // so the count is formed in 128 bits and printed in full when refused.
    const SizeCount count = size_product({x, y, c});
    if (count > kMaxShapeSize) {
        panic("Tensor shape size %s exceeds maximum shape size (%u)", decimal_text(count).c_str(),
              static_cast<unsigned>(kMaxShapeSize));
    }
    const std::vector<char> ones(static_cast<size_t>(count), 1);
    return Dense::copy(ones.data(), ones.size(), TensorType::uint8, Shape{1, x, y, c},
                       Dense::Layout::RowMajor);
}

}  // namespace detail

std::vector<std::shared_ptr<Device>> populate_devices() {
    return detail::populate_devices(&hrc_check_timeout);
}

const std::vector<std::shared_ptr<Device>>& get_devices() {
    static const std::vector<std::shared_ptr<Device>> devices = populate_devices();
    return devices;
}

std::unique_ptr<Model> make_hrc_test_model(std::shared_ptr<Device>& device) {
    std::unique_ptr<Model> model = Model::create();
    std::shared_ptr<Layer> layer;
    {
        const std::map<std::string, int> params = {
            {"input_width", 8},  {"input_height", 8},     {"input_channels", 1},
            {"kernel_width", 3}, {"kernel_height", 3},    {"padding", 1},
            {"stride_x", 2},     {"stride_y", 2},         {"filters", 1},
            {"weights_bits", 1}, {"padding_value", 0},    {"activation", 1},
            {"act_bits", 1},     {"pooling_width", 2},    {"pooling_height", 2},
            {"pool_type", 1},    {"pooling_stride_x", 2}, {"pooling_stride_y", 2},
        };
        std::unique_ptr<LayerParams> layer_params =
            LayerParams::create(LayerType::InputConvolutional, params);
        layer = Layer::create(layer_params.get(), "inputconv");
    }
    model->add(layer, {});
    const char weights[9] = {1, 1, 1, 1, 1, 1, 1, 1, 1};
    std::shared_ptr<Tensor> tensor = Dense::copy(weights, sizeof(weights), TensorType::int8,
                                                 Shape{3, 3, 1, 1}, Dense::Layout::RowMajor);
    layer->variables()->set("weights", tensor);
    model->map(device, true, nullptr);
    return model;
}

std::shared_ptr<Dense> get_constant_inputs(const Model& model) {
    const Shape dims = model.input_dimensions();
    return detail::constant_inputs(dims[0], dims[1], dims[2]);
}

bool hrc_check_timeout(std::shared_ptr<Device> device) {
    std::unique_ptr<Model> model = make_hrc_test_model(device);
    std::shared_ptr<Dense> inputs = get_constant_inputs(*model);
    try {
        model->forward(inputs, 0);
    } catch (const std::exception&) {
        return true;
    }
    return false;
}

}  // namespace vorna
