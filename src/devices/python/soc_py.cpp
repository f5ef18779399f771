// Python classes SocDriver, PowerEvent and PowerMeter, and the submodule soc with ClockMode.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>

#include "corelib/drivers.h"
#include "devices/clock_modes.h"
#include "devices/power_meter.h"
#include "python/registration_py.h"

namespace vorna::python {

py::list power_event_list(const std::vector<PowerMeter::PowerEvent>& events) {
    py::list list;
    for (const auto& event : events) list.append(py::cast(event));
    return list;
}

void register_soc_driver(py::module_& m) {
    // Python refers to the driver of a hardware device and never deletes it.
    py::class_<SocDriver, std::unique_ptr<SocDriver, py::nodelete>>(m, "SocDriver")
        .def_property(
            "clock_mode", [](SocDriver& self) { return self.clock_mode(); },
            [](SocDriver& self, soc::ClockMode mode) { self.set_clock_mode(mode); },
            "Clock mode of the Tarn.")
        .def_property(
            "power_measurement_enabled",
            [](SocDriver& self) { return self.power_meter() != nullptr; },
            [](SocDriver& self, bool enable) { self.enable_power_measurement(enable); },
            "Power measurement is off by default. Toggle it on to get power information in "
            "the statistics or when calling PowerMeter.events().")
        .def_property_readonly(
            "power_meter", [](SocDriver& self) { return self.power_meter(); },
            "Power meter associated to the SoC.");
}

void register_power_meter(py::module_& m) {
    py::class_<PowerMeter::PowerEvent>(m, "PowerEvent", R"(
    A timestamped power measurement.

    Each PowerEvent contains:
    - a voltage value in µV (microvolt),
    - a current value in mA (milliampere),
    - the corresponding power value in mW (milliwatt).
    )")
        .def_property_readonly(
            "ts", [](const PowerMeter::PowerEvent& e) { return e.ts; }, "Timestamp of the event")
        .def_property_readonly(
            "voltage", [](const PowerMeter::PowerEvent& e) { return e.voltage; },
            "Voltage value in µV")
        .def_property_readonly(
            "current", [](const PowerMeter::PowerEvent& e) { return e.current; },
            "Current value in mA")
        .def_property_readonly(
            "power",
            [](const PowerMeter::PowerEvent& e) {
                // The product wraps modulo 2^32 before the division.
                return static_cast<uint32_t>(e.voltage * e.current) / 1000000u;
            },
            "Power value in mW");

    py::class_<PowerMeter, std::shared_ptr<PowerMeter>>(m, "PowerMeter", R"(
    Gives access to power measurements.

    When power measurements are enabled for a device, this object stores them
    as a list of ``PowerEvent`` objects.
    The events list cannot exceed a predefined size: when it is full, older
    events are replaced by newer events.
    )")
        .def(
            "events", [](const PowerMeter& self) { return power_event_list(self.events()); },
            "Retrieve all pending events")
        .def_property_readonly(
            "floor",
            [](const PowerMeter& self) -> py::object {
                if (!self.has_events()) return py::none();
                return py::float_(self.floor());
            },
            "Get the floor power");
}

py::enum_<soc::ClockMode> register_clock_mode_enum(py::handle scope) {
    return py::enum_<soc::ClockMode>(scope, "ClockMode", "Clock mode configuration");
}

void register_soc_module(py::module_& m) {
    py::module_ soc = m.def_submodule("soc", "Vorna Tarn specific functions");
    register_clock_mode_enum(soc)
        .value("Performance", soc::ClockMode::Performance)
        .value("Economy", soc::ClockMode::Economy)
        .value("LowPower", soc::ClockMode::LowPower)
        .export_values();
}

}  // namespace vorna::python
