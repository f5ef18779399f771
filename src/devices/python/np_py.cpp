// The submodule NP: the hardware description classes. register_np_mesh builds its first
// half (SramSize with the presets, Mesh), register_np_components its second half (Ident, the
// enum Type, Info, NpSpace, MemoryInfo, Component).
//
// Every object owns its value, except the views noted below: a view refers to a value inside
// its owner (reference_internal) and keeps that owner alive. Info records handed out by a
// Mesh are copies, so no Python object can refer to a record that an assignment to the mesh
// has since replaced. Classes that define __eq__ answer NotImplemented for an operand of
// another type (so == gives False) and have no hash.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "backend/hw.h"
#include "python/enums_py.h"
#include "python/registration_py.h"

namespace vorna::python {

namespace {

constexpr const char* kNpName = "NP";
constexpr const char* kNpDoc = "Neural Processor";

// Both halves ask for the submodule by name; the second receives the one the first created.
py::module_ np_submodule(py::module_& m) { return m.def_submodule(kNpName, kNpDoc); }

// "(col, row, id)"; the channel is not shown.
std::string ident_to_string(const hw::Ident& ident) {
    return "(" + std::to_string(ident.col) + ", " + std::to_string(ident.row) + ", " +
           std::to_string(ident.id) + ")";
}

// Converts any iterable of Type members into an ascending set without duplicates. An element
// of another type fails the cast (RuntimeError); None makes the binding layer reject the call
// (TypeError); an error of the iterator itself propagates. The caller replaces its set only
// with the complete result.
std::set<hw::Type> types_from_iterable(const py::iterable& items) {
    std::set<hw::Type> types;
    for (py::handle item : items) {
        types.insert(py::cast<hw::Type>(item));
    }
    return types;
}

std::vector<hw::Type> types_to_list(const np::Info& info) {
    return std::vector<hw::Type>(info.types.begin(), info.types.end());
}

std::vector<uint32_t> shape_dims(const Shape& shape) {
    const uint32_t count = shape.count < Shape::MAX_DIMS ? shape.count : Shape::MAX_DIMS;
    return std::vector<uint32_t>(shape.dims, shape.dims + count);
}

// SramSize constructor arguments are signed 32-bit; the fields keep their bit pattern.
uint32_t bit_pattern(int32_t value) { return static_cast<uint32_t>(value); }

template <typename T>
bool equal(const T& a, const T& b) {
    return a == b;
}

}  // namespace

void register_np_mesh(py::module_& m) {
    py::module_ np = np_submodule(m);

    py::class_<SramSize>(np, "SramSize", "Size of shared SRAM available inside the mesh.\n    ")
        .def_readwrite("input_bytes", &SramSize::input_bytes,
                       "Size of shared input packet SRAM available inside the mesh for each two "
                       "NPs. (Bytes).")
        .def_readwrite("weight_bytes", &SramSize::weight_bytes,
                       "Size of shared filter SRAM available inside the mesh for each two NPs. "
                       "(Bytes).")
        .def_readwrite("stsram_32b_size", &SramSize::stsram_32b_size,
                       "Size of STSRAM in 32-bit words (Mote only).")
        .def_readwrite("fsram_64b_size", &SramSize::fsram_64b_size,
                       "Size of FSRAM in 64-bit words (Mote only).")
        .def_readwrite("tsram_51b_size", &SramSize::tsram_51b_size,
                       "Size of TSRAM in 51-bit words (Mote only).")
        .def_readwrite("evsram_32b_size", &SramSize::evsram_32b_size,
                       "Size of EVSRAM in 32-bit words (Mote only).")
        .def(py::init([] { return SramSize{}; }))
        .def(py::init([](int32_t input_bytes, int32_t weight_bytes) {
                 SramSize s;
                 s.input_bytes = bit_pattern(input_bytes);
                 s.weight_bytes = bit_pattern(weight_bytes);
                 return s;
             }),
             py::arg("input_bytes"), py::arg("weight_bytes"))
        .def(py::init([](int32_t stsram, int32_t fsram, int32_t tsram, int32_t evsram) {
                 SramSize s;
                 s.stsram_32b_size = bit_pattern(stsram);
                 s.fsram_64b_size = bit_pattern(fsram);
                 s.tsram_51b_size = bit_pattern(tsram);
                 s.evsram_32b_size = bit_pattern(evsram);
                 return s;
             }),
             py::arg("stsram_32b_size"), py::arg("fsram_64b_size"), py::arg("tsram_51b_size"),
             py::arg("evsram_32b_size"))
        .def("__eq__", &equal<SramSize>, py::is_operator());

    // The presets are private copies: changing a field of NP.SramSize_v1 never changes the
    // sizes a new Mesh gets.
    np.attr("SramSize_v1") = py::cast(SramSize_v1);
    np.attr("SramSize_v2") = py::cast(SramSize_v2);
    np.attr("SramSize_mote") = py::cast(SramSize_mote);

    py::class_<Mesh>(np, "Mesh",
                     "\n    Represents the layout of a mesh of Neural Processors.\n\n"
                     "    Contains configuration and event endpoints related to DMA (Direct "
                     "Memory Access)\n"
                     "    for managing data transfer across the mesh, HRC availability and sram "
                     "memory sizes.\n    ")
        // Views: the endpoints and the SRAM sizes refer to the mesh's own fields.
        .def_readwrite("dma_event", &Mesh::dma_event, "DMA event endpoint")
        .def_readwrite("dma_conf", &Mesh::dma_conf, "DMA configuration endpoint")
        .def_property(
            "hrc", [](const Mesh& mesh) { return mesh.hrc; },
            [](Mesh& mesh, std::optional<np::Info> hrc) { mesh.hrc = std::move(hrc); },
            "HRC if installed.")
        .def_property(
            "skip_dmas", [](const Mesh& mesh) { return mesh.skip_dmas; },
            [](Mesh& mesh, std::vector<np::Info> skip_dmas) {
                mesh.skip_dmas = std::move(skip_dmas);
            },
            "Skip DMAs")
        .def_property(
            "nps", [](const Mesh& mesh) { return mesh.nps; },
            [](Mesh& mesh, std::vector<np::Info> nps) { mesh.nps = std::move(nps); },
            "Neural processors")
        .def_readwrite("np_sram_size", &Mesh::np_sram_size,
                       "Size of shared SRAM available inside the mesh for NPs.")
        .def(py::init([](IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf,
                         std::optional<np::Info> hrc, std::vector<np::Info> nps,
                         std::vector<np::Info> skip_dmas) {
                 return Mesh(version, dma_event, dma_conf, std::move(hrc), std::move(nps),
                             std::move(skip_dmas));
             }),
             py::arg("version"), py::arg("dma_event"), py::arg("dma_conf"), py::arg("hrc"),
             py::arg("nps"), py::arg("skip_dmas") = std::vector<np::Info>{})
        // np_sram_size follows the defaulted skip_dmas without a default of its own: it is
        // given by position together with skip_dmas, or by keyword.
        .def(py::init([](IpVersion version, const hw::Ident& dma_event, const hw::Ident& dma_conf,
                         std::optional<np::Info> has_hrc, std::vector<np::Info> nps,
                         std::vector<np::Info> skip_dmas, const SramSize& np_sram_size) {
                 Mesh mesh(version, dma_event, dma_conf, std::move(has_hrc), std::move(nps),
                           std::move(skip_dmas));
                 mesh.np_sram_size = np_sram_size;
                 return mesh;
             }),
             py::arg("version"), py::arg("dma_event"), py::arg("dma_conf"), py::arg("has_hrc"),
             py::arg("nps"), py::arg("skip_dmas") = std::vector<np::Info>{},
             py::arg("np_sram_size"))
        .def("__eq__", &equal<Mesh>, py::is_operator());
}

void register_np_components(py::module_& m) {
    py::module_ np = np_submodule(m);

    // Positional only: the constructors carry no argument names.
    py::class_<hw::Ident>(np, "Ident",
                          "\n    Represents the unique identifier for a Hardware Component.\n\n"
                          "    This includes the component position on the mesh (row, column, "
                          "id) and\n"
                          "    the channel index for skip DMAs.\n")
        .def_readwrite("col", &hw::Ident::col, "Hardware Component column number")
        .def_readwrite("row", &hw::Ident::row, "Hardware Component row number")
        .def_readwrite("id", &hw::Ident::id, "Hardware Component id")
        .def_readwrite("channel", &hw::Ident::channel, "Component channel")
        .def("__str__", &ident_to_string)
        .def("__repr__", &ident_to_string)
        .def("__eq__", &equal<hw::Ident>, py::is_operator())
        .def(py::init([](uint8_t col, uint8_t row, uint8_t id) { return hw::Ident(col, row, id); }))
        .def(py::init([](uint8_t col, uint8_t row, uint8_t id, uint8_t channel) {
            return hw::Ident(col, row, id, channel);
        }));

    // Members in this order, not by value; None (0) and DMA (10) get no member.
    register_hw_type_enum(np)
        .value("HRC", hw::Type::HRC, "High Resolution Convolution")
        .value("CNP1", hw::Type::CNP1, "Convolutional Neural Processor Type 1")
        .value("CNP2", hw::Type::CNP2, "Convolutional Neural Processor Type 2")
        .value("FNP2", hw::Type::FNP2, "FullyConnected Neural Processor (external memory)")
        .value("FNP3", hw::Type::FNP3, "FullyConnected Neural Processor (internal memory)")
        .value("TNP_B", hw::Type::TNP_B, "Temporal Neural Processor Buffered")
        .value("TNP_R", hw::Type::TNP_R, "Temporal Neural Processor Recurrent")
        .value("SKIP_DMA_STORE", hw::Type::SKIP_DMA_STORE, "Skip DMA store engine")
        .value("SKIP_DMA_LOAD", hw::Type::SKIP_DMA_LOAD, "Skip DMA load engine")
        .export_values();

    py::class_<np::Info>(np, "Info",
                         "\n        Describes a hardware component.\n\n"
                         "        Includes its unique identifier and the set of hardware types "
                         "it supports.\n        ")
        // A view: assigning a field of the returned Ident changes the record.
        .def_readwrite("ident", &np::Info::ident, "Hardware Component identifier")
        .def_property(
            "types", &types_to_list,
            [](np::Info& info, const py::iterable& types) {
                info.types = types_from_iterable(types);
            },
            "Hardware Component supported types")
        .def_readwrite("has_lut", &np::Info::has_lut, "Indicate whether the NP has a lookup table.")
        .def(py::init([](const hw::Ident& ident, const py::iterable& types, bool has_lut) {
                 return np::Info(ident, types_from_iterable(types), has_lut);
             }),
             py::arg("ident"), py::arg("types"), py::arg("has_lut") = false)
        .def_static(
            "hrc",
            [](bool has_lut) { return np::Info(hw::Ident(0, 0, 0, 0), {hw::Type::HRC}, has_lut); },
            py::arg("has_lut"), "Construct an vorna.NP.Info for HRC with optional LUT.")
        .def("__eq__", &equal<np::Info>, py::is_operator());

    // No __eq__: identity comparison and the default hash.
    py::class_<NpSpace>(np, "NpSpace",
                        "\n      Represents the part of the input used by this Neural Processor "
                        "if a layer is split over several NPs.")
        .def_readonly("x", &NpSpace::x, "X index")
        .def_readonly("y", &NpSpace::y, "Y index")
        .def_property_readonly(
            "shape", [](const NpSpace& space) { return shape_dims(space.shape); },
            "Shape of the space")
        .def(py::init([] { return NpSpace{}; }));

    py::class_<MemoryInfo>(np, "MemoryInfo",
                           "Represents memory usage information for a Hardware Component.\n\n"
                           "      This includes memory used by inputs, weights, and any "
                           "external buffers.\n"
                           "      All sizes are in bytes.\n    ")
        .def_readonly("input_size", &MemoryInfo::input_size, "Input memory size. (Bytes)")
        .def_readonly("weight_size", &MemoryInfo::weight_size, "Weight memory size. (Bytes)")
        .def_readonly("external_size", &MemoryInfo::external_size, "External memory size. (Bytes)")
        .def_readonly("stsram_32b_size", &MemoryInfo::stsram_32b_size,
                      "Stsram size for Mote. (Number of 32-bits words)")
        .def_readonly("fsram_64b_size", &MemoryInfo::fsram_64b_size,
                      "Fsram Mote memory size. (Number of 64-bits words)")
        .def_readonly("tsram_51b_size", &MemoryInfo::tsram_51b_size,
                      "Tsram Mote memory size. (Number of 51-bits words)")
        .def_readonly("evsram_32b_size", &MemoryInfo::evsram_32b_size,
                      "Evsram Mote memory size. (Number of 32-bits words)")
        .def(py::init([] { return MemoryInfo{}; }))
        .def("__eq__", &equal<MemoryInfo>, py::is_operator());

    // No constructor: Python receives components only as copies from a layer's mapping.
    py::class_<hw::Component>(np, "Component", "\n      An Vorna component")
        // Views into the component; the Ident's fields stay writable through them.
        .def_property_readonly(
            "ident", [](hw::Component& c) -> hw::Ident& { return c.ident; },
            py::return_value_policy::reference_internal, "Hardware Component identifier")
        .def_property_readonly(
            "type", [](const hw::Component& c) { return c.type; }, "Hardware Component type")
        .def_property_readonly(
            "mem_info", [](hw::Component& c) -> MemoryInfo& { return c.mem_info; },
            py::return_value_policy::reference_internal, "Hardware Component memory information")
        .def_property_readonly(
            "filters", [](const hw::Component& c) { return c.filters().value_or(0); },
            "Number of filters processed by the Neural Processor")
        .def_property_readonly(
            "start_neuron", [](const hw::Component& c) { return c.start_neuron().value_or(0); },
            "Index of the first filter processed by the Neural Processor")
        .def_property_readonly(
            "spatial_partition",
            [](const hw::Component& c) { return c.spatial_partition().value_or(NpSpace{}); },
            "Spatial partition processed by the Neural Processor")
        .def_property_readonly(
            "single_buffer", [](const hw::Component& c) { return c.single_buffer(); },
            "Neural Processor uses a single or dual input buffer")
        .def("__eq__", &equal<hw::Component>, py::is_operator());
}

}  // namespace vorna::python
