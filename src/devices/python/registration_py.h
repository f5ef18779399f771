#pragma once

// Registration functions of the device and hardware-description classes. The module body
// calls them in this order: register_device, register_hw_version, register_np_mesh, then
// register_np_components (the last two fill the one submodule NP).

#include <pybind11/pybind11.h>

namespace vorna::python {

namespace py = pybind11;

// The class Device (virtual devices from a HwVersion and a Mesh; description, versions and
// the device's own mesh).
void register_device(py::module_& m);

// The class HwVersion and the known hardware versions as attributes of the module.
void register_hw_version(py::module_& m);

// First half of the submodule NP: creates it, then SramSize with its three presets and Mesh.
void register_np_mesh(py::module_& m);

// Second half of the submodule NP: Ident, the enum Type, Info, NpSpace, MemoryInfo and
// Component.
void register_np_components(py::module_& m);

}  // namespace vorna::python
