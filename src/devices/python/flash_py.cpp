// Submodule boardXvr2200: the SPI flash controller of an XVR2200 board.

#include <pybind11/pybind11.h>

#include <memory>

#include "devices/flash_controller.h"
#include "devices/python/hardware_device_py.h"
#include "python/registration_py.h"

namespace vorna::python {

void register_board_xvr2200(py::module_& m) {
    py::module_ board = m.def_submodule(
        "boardXvr2200",
        "Spi flash controller for the xvr2200meant for testing, debugging and validation only.");
    // None is refused like any other object that is not a HardwareDevice, rather than reaching
    // the function as an empty device.
    board.def(
        "get_flash",
        [](std::shared_ptr<PyHardwareDevice> device) { return get_flash(device->hardware()); },
        py::arg("device").none(false), py::pos_only());
    py::class_<SpiFlashController, std::shared_ptr<SpiFlashController>>(board, "SpiFlashController")
        .def("get_id", &SpiFlashController::get_id);
}

}  // namespace vorna::python
