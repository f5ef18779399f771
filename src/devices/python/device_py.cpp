// Python class Device: builds virtual devices from a hardware version and a mesh, and reports
// the description, version, IP version and mesh of any device (the properties call the
// virtual operations, so they also serve the devices of subclasses).

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <utility>

#include "corelib/device.h"
#include "devices/python/registration_py.h"
#include "devices/virtual_device.h"

namespace vorna::python {

void register_device(py::module_& m) {
    using DeviceClass = py::class_<Device, std::shared_ptr<Device>>;
    DeviceClass cls(m, "Device");

    // The constructor builds a virtual device; its two arguments go by position only. It is
    // spelled out instead of py::init so that it can refuse an object of a subclass (such as
    // a HardwareDevice), which must never end up holding a virtual device.
    cls.def(
        "__init__",
        [](py::detail::value_and_holder& v_h, HwVersion version, const Mesh& mesh) {
            if (Py_TYPE(v_h.inst) != v_h.type->type) {
                throw py::type_error(std::string("Device.__init__() builds virtual devices only "
                                                 "and cannot initialise an object of type ") +
                                     Py_TYPE(v_h.inst)->tp_name + ".");
            }
            py::detail::initimpl::construct<DeviceClass>(v_h, make_virtual_device(version, mesh),
                                                         false);
        },
        py::detail::is_new_style_constructor());

    cls.def_property_readonly(
        "desc",
        [](const Device& device) -> py::object {
            const char* desc = device.desc();
            if (desc == nullptr) return py::none();
            return py::str(desc);
        },
        "\n        Returns the Device description\n\n"
        "        :return: a string describing the Device\n        ");

    cls.def_property_readonly(
        "version", [](const Device& device) { return device.version(); },
        "The device hardware version.");

    cls.def_property_readonly(
        "ip_version", [](const Device& device) { return device.get_ip_version(); },
        "The device IP version.");

    // The device's own mesh, not a copy: the returned Mesh keeps the device alive, and
    // assigning its fields changes what the device reports.
    cls.def_property_readonly(
        "mesh", [](const Device& device) -> Mesh& { return const_cast<Mesh&>(device.mesh()); },
        py::return_value_policy::reference_internal, "The device Mesh layout");
}

}  // namespace vorna::python
