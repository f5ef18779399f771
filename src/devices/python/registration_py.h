#pragma once

// Registration functions of the device and hardware-description classes, and of metrics,
// SoC, power and flash classes. The module body calls each at its place in the registration
// order (register_np_mesh, then register_np_components, fill the one submodule NP).

#include <pybind11/pybind11.h>

#include <vector>

#include "devices/clock_modes.h"
#include "devices/power_meter.h"

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

// The class Metrics.
void register_metrics(py::module_& m);

// The class SocDriver (clock mode, power measurement, power meter of a SoC driver).
void register_soc_driver(py::module_& m);

// The class HardwareDevice (the devices found by discovery).
void register_hardware_device(py::module_& m);

// The classes PowerEvent and PowerMeter.
void register_power_meter(py::module_& m);

// "ClockMode" of the soc submodule, docstring "Clock mode configuration"; members are added by
// the caller.
py::enum_<soc::ClockMode> register_clock_mode_enum(py::handle scope);

// The submodule soc with the enum ClockMode (Performance, Economy, LowPower), exported.
void register_soc_module(py::module_& m);

// The submodule boardXvr2200: get_flash and SpiFlashController.
void register_board_xvr2200(py::module_& m);

// A new list of new PowerEvent objects holding copies of the events, in order.
py::list power_event_list(const std::vector<PowerMeter::PowerEvent>& events);

}  // namespace vorna::python
