// Python classes ProgramParts, Sequence and Pass: the read-only view of what a mapping
// produced. None of them can be constructed from Python.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <utility>

#include "corelib/layer.h"
#include "corelib/sequence.h"
#include "corelib/types.h"
#include "python/registration_py.h"

namespace vorna::python {

namespace {

// A view with a null data pointer means "no program" and gives None; otherwise the bytes are
// copied into a new bytes object (empty when the size is 0).
py::object bytes_or_none(const ByteView& view) {
    if (view.data == nullptr) return py::none();
    return py::bytes(reinterpret_cast<const char*>(view.data), view.size);
}

py::list layer_list(const std::vector<std::shared_ptr<Layer>>& layers) {
    py::list result;
    for (const auto& layer : layers) result.append(py::cast(layer));
    return result;
}

}  // namespace

void register_sequence_classes(py::module_& m) {
    // The two views point into the program bytes of the sequence that produced them; the
    // Python object is only ever made by Sequence.program_parts, which keeps that sequence
    // alive for as long as the ProgramParts lives.
    py::class_<Sequence::ProgramParts>(
        m, "ProgramParts",
        "Represents a program split in different parts.\n\n"
        "    program_info is the program part containing information on how to program the\n"
        "    device, and program_data is the program part containing the program data required\n"
        "    by vorna to configure the IP.\n    ")
        .def_property_readonly(
            "program_info",
            [](const Sequence::ProgramParts& parts) { return bytes_or_none(parts.program_info); })
        .def_property_readonly("program_data", [](const Sequence::ProgramParts& parts) {
            return bytes_or_none(parts.program_data);
        });

    py::class_<Sequence, std::shared_ptr<Sequence>>(
        m, "Sequence",
        "Represents a sequence of layers.\n\n    Sequences can be mapped in Software or on a "
        "Device.\n    ")
        .def_property_readonly(
            "passes",
            [](const Sequence& sequence) {
                py::list result;
                for (const auto& pass : sequence.passes()) result.append(py::cast(pass));
                return result;
            },
            "Get the list of passes in this sequence.")
        .def_property_readonly("backend", &Sequence::backend, "The backend type for this Sequence.")
        .def_property_readonly(
            "program", [](const Sequence& sequence) { return bytes_or_none(sequence.program()); },
            "Get the hardware program for this sequence.\n\n"
            "        None is returned if the Sequence is not compatible with the selected "
            "Device.\n\n"
            "        :return: a bytes buffer or None\n        ")
        .def_property_readonly(
            "program_parts",
            py::cpp_function(
                [](const Sequence& sequence) {
                    return std::make_unique<Sequence::ProgramParts>(sequence.program_parts());
                },
                py::keep_alive<0, 1>()),
            "Get the program, split in different parts")
        .def_property_readonly("name", &Sequence::name, "The name of the sequence");

    py::class_<Sequence::Pass, std::shared_ptr<Sequence::Pass>>(
        m, "Pass",
        "Represents a subset of the Sequence.\n\n"
        "    Hardware sequences can typically be split into multiple passes on devices that\n"
        "    support the hardware partial reconfiguration feature, reducing the intervention of\n"
        "    the software during inference.\n    ")
        .def_property_readonly(
            "layers", [](const Sequence::Pass& pass) { return layer_list(pass.layers); },
            "Get the list of layers in this pass.");
}

}  // namespace vorna::python
