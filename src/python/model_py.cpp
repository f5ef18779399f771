// Python Model: construction, graph editing, mapping and the read-only properties.

#include "python/model_py.h"

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "backend/hw.h"
#include "backend/map_constraints.h"
#include "corelib/device.h"
#include "corelib/layer.h"
#include "corelib/params.h"
#include "corelib/sequence.h"
#include "corelib/types.h"
#include "python/held_list_py.h"
#include "python/model_ops.h"
#include "python/model_run_py.h"
#include "python/registration_py.h"

namespace vorna::python {

namespace {

// Layers given as a sequence: an element without its value is refused with TypeError.
using LayerList = HeldList<Layer>;

py::list shape_list(const Shape& shape) {
    py::list dims;
    for (uint32_t d : shape) dims.append(d);
    return dims;
}

// The components per NP.Type, in ascending type order, types without components left out.
py::dict component_count(const PyModel& self) {
    py::dict counts;
    for (const auto& [type, count] : count_components(self.model->layers())) {
        counts[py::cast(type)] = count;
    }
    return counts;
}

// The arguments go to the core library unchanged; it refuses constraints made for another
// device than the one to map onto.
void map_model(PyModel& self, std::shared_ptr<Device> device, bool hw_only,
               std::shared_ptr<MapConstraints> constraints) {
    self.model->map(std::move(device), hw_only, std::move(constraints));
}

constexpr const char* kInitDoc = R"(Create a Model from a list of layers.

The layers are copied (same parameters, names, learning parameters and variables) and linked
to the copies of their inbound layers, which must come earlier in the list. When the list does
not start with an input layer, an input layer is added automatically.

Args:
    layers (list, optional): the layers to copy into the new model.

Raises:
    RuntimeError: if a layer of the list is None.
    ValueError: if a layer is refused as :meth:`add` refuses it.
)";

constexpr const char* kAddDoc = R"(Add a layer to the current model.

A layer that is not the first one and is given no inbound layers takes the last included layer
as its inbound layer.

Args:
    layer (:obj:`Layer`): the layer to add.
    inbound_layers (list, optional): the layers of the model that feed the new layer.

Raises:
    ValueError: if the layer or an inbound layer is not valid for this model, if parameters
        the layer's kind needs are missing, if the layer's output has a dimension of 0, or if
        its output or one of its variables has more elements than a tensor can hold. The model
        is left as it was.
)";

constexpr const char* kAddClassesDoc = R"(Add classes to the last layer of the model.

The last layer must be a compiled FullyConnected layer. It gets as many neurons per added class
as each existing class has; the existing neurons keep their learned weights.

Args:
    num_add_classes (int): the number of classes to add.

Raises:
    ValueError: if num_add_classes is not positive.
    RuntimeError: if the model is empty, or its last layer is not a compiled FullyConnected
        layer.
)";

constexpr const char* kPopLayerDoc = "Remove the last layer of the current model.";

constexpr const char* kCompileDoc = R"(Compile the model with learning parameters.

The learning parameters apply to the last layer of the model.

Args:
    optimizer (:obj:`Optimizer`): the learning parameters.
)";

constexpr const char* kGetLayerByNameDoc = R"(Get a reference to a specific layer.

Args:
    layer_name (str): the name of the layer.

Returns:
    :obj:`Layer`: the layer.

Raises:
    ValueError: if the model has no layer of that name.
)";

constexpr const char* kGetLayerByIndexDoc = R"(Get a reference to a specific layer.

Args:
    layer_index (int): the position of the layer in the model.

Returns:
    :obj:`Layer`: the layer, or None when the index is out of range.
)";

}  // namespace

void register_model(py::module_& m) {
    py::class_<PyModel>(m, "Model", "A Vorna neural network model.")
        .def(py::init(&model_from_file), py::arg("filename"), kModelFromFileDoc)
        .def(py::init([](const LayerList& layers) {
                 auto self = std::make_unique<PyModel>();
                 self->model = model_from_layers(layers);
                 return self;
             }),
             py::arg("layers") = LayerList(), kInitDoc)
        .def(
            "add",
            [](PyModel& self, std::shared_ptr<Layer> layer, const LayerList& inbound_layers) {
                self.model->add(std::move(layer), inbound_layers, EmptyOutput::refused);
            },
            py::arg("layer"), py::arg("inbound_layers") = LayerList(), kAddDoc)
        .def(
            "add_classes",
            [](PyModel& self, int32_t num_add_classes) {
                add_classes(*self.model, num_add_classes);
            },
            py::arg("num_add_classes"), kAddClassesDoc)
        .def("_map", &map_model, py::arg("device"), py::arg("hw_only") = false,
             py::arg("constraints") = py::none())
        .def(
            "pop_layer", [](PyModel& self) { self.model->pop_layer(); }, kPopLayerDoc)
        .def(
            "compile",
            [](PyModel& self, std::shared_ptr<LearningParams> optimizer) {
                self.model->compile(std::move(optimizer));
            },
            py::arg("optimizer").none(false), kCompileDoc)
        .def("fit", &model_fit_number, py::arg("inputs"), py::arg("input_labels"),
             py::arg("batch_size") = 0, kModelFitDoc)
        .def("fit", &model_fit_array, py::arg("inputs"), py::arg("input_labels"),
             py::arg("batch_size") = 0, kModelFitDoc)
        .def("fit", &model_fit_list, py::arg("inputs"), py::arg("input_labels") = py::list(),
             py::arg("batch_size") = 0, kModelFitDoc)
        .def("forward", &model_forward, py::arg("inputs"), py::arg("batch_size") = 0,
             kModelForwardDoc)
        .def("predict", &model_predict, py::arg("inputs"), py::arg("batch_size") = 0,
             kModelPredictDoc)
        .def(
            "get_layer",
            [](const PyModel& self, const std::string& layer_name) {
                return self.model->get_layer(layer_name);
            },
            py::arg("layer_name"), kGetLayerByNameDoc)
        .def(
            "get_layer",
            [](const PyModel& self, uint64_t layer_index) {
                return self.model->get_layer(static_cast<size_t>(layer_index));
            },
            py::arg("layer_index"), kGetLayerByIndexDoc)
        .def_property_readonly(
            "sequences", [](const PyModel& self) { return self.model->sequences(); },
            "The list of layer sequences in the Model")
        .def_property_readonly(
            "layers", [](const PyModel& self) { return self.model->layers(); },
            "Get a list of layers in current model.")
        .def_property_readonly(
            "learning", [](const PyModel& self) { return self.model->learning(); },
            "The learning parameters set.")
        .def_property_readonly(
            "input_shape",
            [](const PyModel& self) { return shape_list(self.model->input_dimensions()); },
            "The model input dimensions.")
        .def_property_readonly(
            "output_shape",
            [](const PyModel& self) { return shape_list(self.model->output_dimensions()); },
            "The model output dimensions.")
        .def_property_readonly(
            "metrics", [](PyModel& self) -> PyMetrics& { return self.metrics; },
            py::return_value_policy::reference_internal, "The model metrics.")
        .def_property_readonly(
            "ip_version", [](const PyModel& self) { return self.model->ip_version(); },
            "The IP version this model is compatible with.")
        .def_property_readonly(
            "device", [](const PyModel& self) { return self.model->device(); },
            "The Device the Model is mapped to.")
        .def_property_readonly(
            "layer_count",
            [](const PyModel& self) { return static_cast<uint64_t>(self.model->layer_count()); },
            "The number of layers.")
        .def_property_readonly(
            "component_count", &component_count,
            "A dictionary with the number of components per type used in the model.")
        .def_property_readonly(
            "external_memory_size",
            [](const PyModel& self) { return external_memory_size(self.model->sequences()); },
            "Returns model external memory usage in Bytes.")
        .def_property_readonly(
            "macs", [](const PyModel& self) { return self.model->macs(); },
            "Returns model number of multiply-accumulate operations.")
        .def("evaluate", &model_evaluate, py::arg("inputs"), py::arg("labels"),
             py::arg("num_classes") = 0, py::arg("batch_size") = 0, kModelEvaluateDoc)
        .def("save", &model_save, py::arg("model_file"), kModelSaveDoc)
        .def("to_buffer", &model_to_buffer, kModelToBufferDoc)
        .def_property_readonly(
            "power_events", [](const PyModel& self) { return power_event_list(self.power_events); },
            "Copy of power events logged after inference");
}

}  // namespace vorna::python
