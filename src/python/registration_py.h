#pragma once

// Registration functions of the Python API. The module body (module_py.cpp) calls each one at
// its fixed place in the registration order; every function adds its classes, enums,
// functions or submodules to the module (or submodule) it is given.

#include <pybind11/pybind11.h>

#include <vector>

#include "devices/clock_modes.h"
#include "devices/power_meter.h"
#include "python/enums_py.h"
#include "python/model_py.h"
#include "python/pybind11_version_py.h"

namespace vorna::python {

namespace py = pybind11;

// Devices and hardware description: register_np_mesh, then register_np_components, fill the
// one submodule NP; then metrics, SoC, power and flash classes.

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

// The layer API: layers and their mappings, the layer enumerations with LayerParams, the
// optimizer, variables and evaluate_bitwidth, in this order.

// The class Layer and its nested class Layer.Mapping.
void register_layer(py::module_& m);

// The enums LayerType, Padding, PoolType and ActivationType (members exported into the
// module), then the class LayerParams.
void register_layer_params(py::module_& m);

// The class Optimizer and the factory function VornaUnsupervised.
void register_optimizer(py::module_& m);

// The class Variables.
void register_variables(py::module_& m);

// The function evaluate_bitwidth.
void register_evaluate_bitwidth(py::module_& m);

// The mapping-facing API: the map constraints with their Python overrides, the sequences a
// mapping produces, and the graph utilities submodule.

// The class MapConstraints; a Python subclass may override next_layer_handler and select_nps.
void register_map_constraints(py::module_& m);

// The classes ProgramParts, Sequence and Pass, in this order.
void register_sequence_classes(py::module_& m);

// The submodule graph_utils with its nine functions.
void register_graph_utils(py::module_& m);

// Program memory requirements, the internal operations submodule nn, and the guard against
// objects used before their __init__.

// The class ProgramMemoryRequired, then the function get_program_memory_infos.
void register_program_memory_required(py::module_& m);

// The submodule nn with its 21 functions.
void register_nn_ops(py::module_& m);

// Makes every function, method and property of `m`, of its classes and of its submodules
// refuse, with TypeError, an object whose __init__ was never run, makes the methods and
// property accessors of a class refuse a `self` that is not an instance of the class, lets
// the classes allocate only for a call of the class (the enumerations excepted), makes the
// conversion of an object without a value to its C++ type raise TypeError, makes the classes
// immutable (so that no object changes its class) while their attributes can still be set and
// deleted (all but the allocation, __new__, and the bases), and gives them their pickling: the
// enumerations pickle their integer, every other object refuses unless its class defines its
// own __reduce__. Called once all classes are registered.
void guard_uninitialised_instances(py::module_& m);

// The same refusals for one bound function that no attribute of the module holds (a
// constructor called through a function of the module's own, for instance). A constructor
// (__init__, __setstate__) does not check its first argument, the object being constructed.
void guard_function_arguments(py::handle function);

}  // namespace vorna::python
