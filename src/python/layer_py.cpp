// Python Layer and its nested class Layer.Mapping.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "backend/layer_mapping.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/types.h"
#include "corelib/variables.h"
#include "python/registration_py.h"

namespace vorna::python {

namespace {

// The core library's component kind asked for each NP.Type value 1 to 10.
constexpr TargetComponent kTargetOfType[10] = {
    TargetComponent::HRC,      // HRC
    TargetComponent::CNP,      // CNP1
    TargetComponent::CNP,      // CNP2
    TargetComponent::FNP,      // FNP2
    TargetComponent::FNP,      // FNP3
    TargetComponent::SkipDMA,  // SKIP_DMA_STORE
    TargetComponent::TNP_B,    // TNP_B
    TargetComponent::TNP_R,    // TNP_R
    TargetComponent::SkipDMA,  // SKIP_DMA_LOAD
    TargetComponent::DMA,      // DMA
};

TargetComponent target_of(hw::Type type) {
    const auto value = static_cast<uint32_t>(type);
    if (value < 1 || value > 10) return TargetComponent::None;
    return kTargetOfType[value - 1];
}

py::list dims_list(const Shape& shape) {
    py::list dims;
    for (uint32_t d : shape) dims.append(d);
    return dims;
}

// One input gives its dimensions as a flat list; any other count a list of such lists.
py::list input_dims(const Layer& layer) {
    const std::vector<Shape> shapes = layer.input_dimensions();
    if (shapes.size() == 1) return dims_list(shapes.front());
    py::list all;
    for (const Shape& shape : shapes) all.append(dims_list(shape));
    return all;
}

constexpr const char* kComponentsDoc = "a list of ``NP.Component`` objects.";

}  // namespace

void register_layer(py::module_& m) {
    py::class_<Layer, std::shared_ptr<Layer>> layer(m, "Layer");
    py::class_<Layer::Mapping, std::shared_ptr<Layer::Mapping>> mapping(
        layer, "Mapping", "The mapping of a Layer on one or more Neural Processors.");

    layer
        .def(py::init([](const LayerParams& params, const std::string& name) {
                 return Layer::create(&params, name);
             }),
             py::arg("params"), py::arg("name"))
        .def(
            "is_target_component",
            [](const Layer& l, hw::Type hw_type) {
                return l.is_target_component(target_of(hw_type));
            },
            py::arg("hw_type"),
            "Checks whether the layer can be mapped on the specified hardware component type. ")
        .def_property_readonly("name", &Layer::get_name, "The layer name.")
        .def_property_readonly("macs", &Layer::macs,
                               "The number of multiply-accumulate operations.")
        .def_property_readonly("input_dims", &input_dims, "The layer input dimensions.")
        .def_property_readonly(
            "output_dims", [](const Layer& l) { return dims_list(l.output_dimensions()); },
            "The layer output dimensions.")
        // The variables live inside the layer: the Python object shares ownership of the core
        // layer through an aliasing pointer (never an owning pointer to the member), and keeps
        // the Python layer alive as well.
        .def_property_readonly("variables",
                               py::cpp_function(
                                   [](const std::shared_ptr<Layer>& l) {
                                       return std::shared_ptr<Variables>(l, l->variables());
                                   },
                                   py::keep_alive<0, 1>()),
                               "The layer trainable variables.")
        // A view of the layer's own parameters; it keeps the Python layer (and so the core
        // layer) alive, so the view never reads freed parameters.
        .def_property_readonly(
            "parameters", [](const Layer& l) { return l.params(); },
            py::return_value_policy::reference_internal, "The layer parameters set.")
        .def_property_readonly("input_bits", &Layer::input_bits, "The layer input bits.")
        .def_property_readonly("output_signed", &Layer::output_signed,
                               "Whether output is signed or not.")
        .def_property_readonly("inbounds", &Layer::inbound_layers, "The layer inbound layers.")
        .def_property_readonly("mapping", &Layer::mapping, "The layer hardware mapping.")
        .def_property_readonly("splittable", &Layer::splittable, "The layer is splittable.");

    // Every list is a new list of copies: changing a component in Python leaves the mapping
    // alone. The skip-DMA components exist only on the back end's own mapping records.
    mapping
        .def_property_readonly(
            "nps",
            [](const Layer::Mapping& mp) {
                std::vector<hw::Component> nps;
                if (mp.nps) nps = *mp.nps;
                return nps;
            },
            kComponentsDoc)
        .def_property_readonly(
            "skipdma_loads",
            [](const Layer::Mapping& mp) {
                std::vector<hw::Component> loads;
                const auto* lm = dynamic_cast<const LayerMapping*>(&mp);
                if (lm && lm->skipdma_load()) loads.push_back(*lm->skipdma_load());
                return loads;
            },
            kComponentsDoc)
        .def_property_readonly(
            "skipdma_stores",
            [](const Layer::Mapping& mp) {
                // The plain store first, then the store of the layer's second output.
                std::vector<hw::Component> stores;
                const auto* lm = dynamic_cast<const LayerMapping*>(&mp);
                if (!lm) return stores;
                if (lm->skipdma_store()) stores.push_back(*lm->skipdma_store());
                if (lm->skipdma_store_dual_output()) {
                    stores.push_back(*lm->skipdma_store_dual_output());
                }
                return stores;
            },
            kComponentsDoc);
}

}  // namespace vorna::python
