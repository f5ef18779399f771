#pragma once

// A device without hardware, built from a hardware version and a mesh, so
// that models can be mapped for hardware that is not present.

#include <memory>
#include <string>

#include "corelib/device.h"

namespace vorna {

class VirtualDevice final : public Device {
  public:
    // Keeps the version and a full copy of the mesh; the description is
    // "VirtualDevice/" followed by the version's hw_version_to_string text.
    // Throws std::invalid_argument when the version's IP version differs from
    // the mesh's.
    VirtualDevice(HwVersion version, const Mesh& mesh);

    HwVersion version() const override { return version_; }
    const char* desc() const override { return desc_.c_str(); }
    const Mesh& mesh() const override { return mesh_; }
    HardwareDevice* hardware() const override { return nullptr; }

  private:
    HwVersion version_;
    Mesh mesh_;
    std::string desc_;
};

// Builds a VirtualDevice under shared ownership (see the constructor).
std::shared_ptr<Device> make_virtual_device(HwVersion version, const Mesh& mesh);

}  // namespace vorna
