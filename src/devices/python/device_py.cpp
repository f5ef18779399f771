// Python class Device: builds virtual devices from a hardware version and a mesh, and reports
// the description, version, IP version and mesh of any device (the properties call the
// virtual operations, so they also serve the devices of subclasses).

#include <pybind11/pybind11.h>

#include <memory>
#include <string>
#include <utility>

#include "corelib/device.h"
#include "devices/virtual_device.h"
#include "python/registration_py.h"

namespace vorna::python {

namespace {

// Device.__init__(self, version, mesh), put in front of the constructor the binding layer
// makes. It refuses an object of any subclass (a HardwareDevice above all, which must never
// end up holding a virtual device) before the binding layer sees it: handed an object of a
// separately bound subclass, the binding layer's constructor call ends the process. `front`
// is the pair (the binding layer's constructor, the class Device).
PyObject* device_init(PyObject* front, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    PyObject* const constructor = PyTuple_GET_ITEM(front, 0);
    PyObject* const device_class = PyTuple_GET_ITEM(front, 1);
    if (nargs < 1) {
        PyErr_SetString(PyExc_TypeError, "Device.__init__() needs the object to initialise.");
        return nullptr;
    }
    if (reinterpret_cast<PyObject*>(Py_TYPE(args[0])) != device_class) {
        PyErr_Format(PyExc_TypeError,
                     "Device.__init__() builds virtual devices only and cannot initialise an "
                     "object of type %s.",
                     Py_TYPE(args[0])->tp_name);
        return nullptr;
    }
    return PyObject_Vectorcall(constructor, args, static_cast<size_t>(nargs), kwnames);
}

}  // namespace

void register_device(py::module_& m) {
    py::class_<Device, std::shared_ptr<Device>> cls(m, "Device");

    // The constructor builds a virtual device; its two arguments go by position only.
    cls.def(py::init(
        [](HwVersion version, const Mesh& mesh) { return make_virtual_device(version, mesh); }));
    py::object constructor = cls.attr("__init__");
    guard_function_arguments(constructor);
    static std::string doc = py::str(constructor.attr("__doc__"));
    static PyMethodDef init_def = {
        "__init__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&device_init)),
        METH_FASTCALL | METH_KEYWORDS, doc.c_str()};
    const py::tuple front = py::make_tuple(constructor, cls);
    const auto function =
        py::reinterpret_steal<py::object>(PyCFunction_NewEx(&init_def, front.ptr(), m.ptr()));
    if (!function) throw py::error_already_set();
    const auto method = py::reinterpret_steal<py::object>(PyInstanceMethod_New(function.ptr()));
    if (!method) throw py::error_already_set();
    py::setattr(cls, "__init__", method);

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
