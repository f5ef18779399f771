// Python enumerations shared by several registrations, and the two enums the module body
// builds on its own (BackendType and IpVersion).

#include "python/enums_py.h"

namespace vorna::python {

py::enum_<LayerType> register_layer_type_enum(py::handle scope) {
    return py::enum_<LayerType>(scope, "LayerType", "The layer type");
}

void add_layer_type_members(py::enum_<LayerType>& type) {
    // The values have gaps; StatefulRecurrent is registered before Dense1D.
    type.value("Unknown", LayerType::Unknown)
        .value("InputData", LayerType::InputData)
        .value("InputConvolutional", LayerType::InputConvolutional)
        .value("FullyConnected", LayerType::FullyConnected)
        .value("Convolutional", LayerType::Convolutional)
        .value("SeparableConvolutional", LayerType::SeparableConvolutional)
        .value("Add", LayerType::Add)
        .value("Concatenate", LayerType::Concatenate)
        .value("Conv2D", LayerType::Conv2D)
        .value("InputConv2D", LayerType::InputConv2D)
        .value("DepthwiseConv2D", LayerType::DepthwiseConv2D)
        .value("Conv2DTranspose", LayerType::Conv2DTranspose)
        .value("Dequantizer", LayerType::Dequantizer)
        .value("DepthwiseConv2DTranspose", LayerType::DepthwiseConv2DTranspose)
        .value("BufferTempConv", LayerType::BufferTempConv)
        .value("DepthwiseBufferTempConv", LayerType::DepthwiseBufferTempConv)
        .value("StatefulRecurrent", LayerType::StatefulRecurrent)
        .value("Dense1D", LayerType::Dense1D)
        .value("Quantizer", LayerType::Quantizer)
        .value("MotePostProcessing", LayerType::MotePostProcessing)
        .export_values();
}

py::enum_<Padding> register_padding_enum(py::handle scope) {
    return py::enum_<Padding>(
        scope, "Padding",
        "Sets the effective padding of the input for convolution, thereby determining the "
        "output dimensions. Naming conventions are the same as Keras/Tensorflow.");
}

void add_padding_members(py::enum_<Padding>& type) {
    type.value("Valid", Padding::Valid, "No padding")
        .value("Same", Padding::Same,
               "Padded so that output size is input size divided by the stride. It always "
               "produces a bottom right padding.")
        .value("SameUpper", Padding::SameUpper,
               "Padded so that output size is input size divided by the stride. It always "
               "produces a top left padding.")
        .export_values();
}

py::enum_<hw::Type> register_hw_type_enum(py::handle scope) {
    // The docstring's spelling is part of the published API.
    return py::enum_<hw::Type>(scope, "Type", "Harwdare Component type");
}

py::enum_<IpVersion> register_ip_version_enum(py::handle scope) {
    return py::enum_<IpVersion>(scope, "IpVersion", "The reference Vorna IP version");
}

void register_backend_type(py::module_& m) {
    py::enum_<BackendType>(m, "BackendType")
        .value("Software", BackendType::Software)
        .value("Hardware", BackendType::Hardware)
        .value("Hybrid", BackendType::Hybrid)
        .export_values();
}

void register_ip_version(py::module_& m) {
    register_ip_version_enum(m)
        .value("none", IpVersion::none)
        .value("v1", IpVersion::v1)
        .value("v2", IpVersion::v2)
        .value("mote", IpVersion::mote)
        .export_values();
}

}  // namespace vorna::python
