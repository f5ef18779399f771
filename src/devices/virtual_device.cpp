#include "devices/virtual_device.h"

#include <stdexcept>

namespace vorna {

VirtualDevice::VirtualDevice(HwVersion version, const Mesh& mesh)
    : version_(version), mesh_(mesh), desc_("VirtualDevice/" + hw_version_to_string(version)) {
    if (get_ip_version() != mesh_.ip_version) {
        throw std::invalid_argument(incompatible_ip_versions_message(version_, mesh_.ip_version));
    }
}

std::shared_ptr<Device> make_virtual_device(HwVersion version, const Mesh& mesh) {
    return std::make_shared<VirtualDevice>(version, mesh);
}

}  // namespace vorna
