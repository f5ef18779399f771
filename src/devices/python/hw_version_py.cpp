// Python class HwVersion and the known hardware versions.

#include <memory>

#include "devices/hw_version.h"
#include "python/registration_py.h"

namespace vorna::python {

void register_hw_version(py::module_& m) {
    // The four bytes are given by position only and are read-only afterwards. Defining
    // __eq__ leaves the class without a hash.
    py::class_<HwVersion, std::shared_ptr<HwVersion>>(m, "HwVersion")
        .def(py::init(
            [](uint8_t vendor_id, uint8_t product_id, uint8_t major_rev, uint8_t minor_rev) {
                return HwVersion{vendor_id, product_id, major_rev, minor_rev};
            }))
        .def_readonly("vendor_id", &HwVersion::vendor_id, "The hardware vendor identifier")
        .def_readonly("product_id", &HwVersion::product_id, "The hardware product identifier")
        .def_readonly("major_rev", &HwVersion::major_rev, "The hardware major revision")
        .def_readonly("minor_rev", &HwVersion::minor_rev, "The hardware minor revision")
        .def_property_readonly(
            "ip_version", [](const HwVersion& v) { return v.get_ip_version(); }, "The IP version.")
        .def("__str__", &hw_version_to_string)
        .def("__repr__", &hw_version_to_string)
        .def(
            "__eq__", [](const HwVersion& a, const HwVersion& b) { return hw_version_equal(a, b); },
            py::is_operator());

    // Each attribute holds its own copy of the constant, so nothing done to a Python object
    // can reach the constants the back ends use.
    m.attr("Tarn_v1") = py::cast(Tarn_v1);
    m.attr("Tarn_v2") = py::cast(Tarn_v2);
    m.attr("Gemel_v1") = py::cast(Gemel_v1);
    m.attr("XVR2200_v1") = py::cast(XVR2200_v1);
    m.attr("Selvo_v2") = py::cast(Selvo_v2);
    m.attr("Mote_Selvo") = py::cast(Mote_Selvo);
}

}  // namespace vorna::python
