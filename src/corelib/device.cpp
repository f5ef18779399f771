#include "corelib/device.h"

namespace vorna {

Device::~Device() = default;

IpVersion Device::get_ip_version() const { return version().get_ip_version(); }

}  // namespace vorna
