// Python class HardwareDevice: programming, inference with timing metrics and power events,
// learning memory and the SoC driver of each discovered hardware device.

#include "devices/python/hardware_device_py.h"

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "corelib/drivers.h"
#include "corelib/tensor.h"
#include "devices/discovery.h"
#include "devices/host_hooks.h"
#include "python/numpy_conversion_py.h"
#include "python/registration_py.h"

namespace vorna::python {

namespace {

using InputArray = py::array_t<uint8_t, py::array::forcecast>;

enum class Mode { fit, forward, predict };

constexpr const char* kLabelsError = "fit method expects integers as labels";

HardwareDevice& hardware_of(const PyHardwareDevice& device) {
    HardwareDevice* hardware = device.hardware();
    if (!hardware) throw std::runtime_error("The device has no hardware.");
    return *hardware;
}

// numpy dtype name and element size of an output type; null for the types this path refuses
// (int16, int4, int2, uint16).
const char* output_dtype(TensorType type, size_t* element_size) {
    switch (type) {
        case TensorType::uint4:
        case TensorType::uint2:
        case TensorType::bit:
            type = TensorType::uint8;
            break;
        case TensorType::int16:
        case TensorType::int4:
        case TensorType::int2:
        case TensorType::uint16:
            return nullptr;
        default:
            break;
    }
    *element_size = vorna::element_size(type);
    return *element_size == 0 ? nullptr : Tensor::type_name(type);
}

py::array outputs_to_numpy(HardwareDevice::Outputs& outputs) {
    if (outputs.empty()) return py::array(py::dtype("float64"), std::vector<py::ssize_t>{0});
    const Shape& first_dims = outputs[0]->dimensions();
    const Shape shape{static_cast<uint32_t>(outputs.size()), first_dims[0], first_dims[1],
                      first_dims[2]};
    std::shared_ptr<const Tensor> first(std::move(outputs[0]));
    const auto first_dense = Tensor::ensure_dense(first);
    const size_t s0 = first_dense->buffer().size();
    size_t element_size = 0;
    const char* dtype = output_dtype(first->type(), &element_size);
    if (!dtype) throw std::runtime_error("Unexpected output type.");
    std::vector<py::ssize_t> dims, strides;
    const std::vector<uint32_t> element_strides =
        Dense::eval_strides(shape, Dense::Layout::RowMajor);
    for (uint32_t i = 0; i < shape.size(); ++i) {
        dims.push_back(shape[i]);
        strides.push_back(static_cast<py::ssize_t>(element_strides[i] * element_size));
    }
    py::array result(py::dtype(dtype), dims, strides);
    auto* out = static_cast<uint8_t*>(result.mutable_data());
    const size_t capacity = static_cast<size_t>(result.nbytes());
    // Outputs of another size than the first must neither overrun the array nor leave
    // uninitialised bytes in it.
    std::memset(out, 0, capacity);
    std::memcpy(out, first_dense->buffer().data(), std::min(s0, capacity));
    for (size_t i = 1; i < outputs.size(); ++i) {
        const size_t offset = i * s0;
        if (offset >= capacity) break;
        const auto dense =
            Tensor::ensure_dense(std::shared_ptr<const Tensor>(std::move(outputs[i])));
        std::memcpy(out + offset, dense->buffer().data(),
                    std::min(dense->buffer().size(), capacity - offset));
    }
    return result;
}

py::array run_inference(PyHardwareDevice& self, const InputArray& inputs,
                        const std::vector<int32_t>& labels, Mode mode) {
    const auto dense = dense_from_numpy<uint8_t>(inputs, TensorType::uint8);
    const Shape& dims = dense->dimensions();
    const uint32_t n_inputs = dims[0];
    if (n_inputs == 0) throw std::invalid_argument("Number of inputs should be higher than 0");
    if (dims.size() != 2 && dims.size() != 4) {
        throw std::runtime_error("Input dimensions are not correct (Should be 4 or 2).");
    }
    const auto frames = Dense::split(*dense);
    HardwareDevice& h = hardware_of(self);
    h.set_batch_size(frames.size(), true);
    h.enable_clock_counter(true);
    const uint32_t c0 = h.read_clock_counter();
    const int64_t start = time_ms();
    HardwareDevice::Outputs outputs;
    switch (mode) {
        case Mode::forward:
            outputs = h.forward(frames);
            break;
        case Mode::predict:
            outputs = h.predict(frames);
            break;
        case Mode::fit:
            if (!labels.empty() && labels.size() != 1 && labels.size() != n_inputs) {
                throw std::runtime_error(
                    "Number of labels should be the same as number of inputs.");
            }
            outputs = h.fit(frames, labels);
            break;
    }
    const int64_t end = time_ms();
    const uint32_t c1 = h.read_clock_counter();
    h.enable_clock_counter(false);

    PyMetrics& metrics = self.metrics();
    metrics.set("inference_frames", static_cast<int64_t>(frames.size()));
    metrics.set("inference_clk", static_cast<int64_t>(static_cast<uint32_t>(c1 - c0)));
    metrics.set("inference_start", start);
    metrics.set("inference_end", end);

    if (auto* soc = dynamic_cast<SocDriver*>(h.driver())) {
        if (auto meter = soc->power_meter()) self.power_events() = meter->events();
    }
    return outputs_to_numpy(outputs);
}

void program_device(PyHardwareDevice& self, const py::bytes& bytes, bool external,
                    uint32_t address) {
    HardwareDevice& h = hardware_of(self);
    h.unprogram();
    const std::string_view view(bytes);
    self.program_copy().assign(view.begin(), view.end());
    const std::vector<uint8_t>& copy = self.program_copy();
    if (external) {
        h.program_external(copy.data(), copy.size(), address);
    } else {
        h.program(copy.data(), copy.size());
    }
    self.metrics().set("program_clk", static_cast<int64_t>(h.program_clock_count()));
}

// The float label truncated to an integer; refused unless it is exactly that integer.
int32_t label_from_float(float label) {
    // Outside [-2^31, 2^31) or NaN, the truncation itself would be undefined.
    if (!(label >= -2147483648.0f && label < 2147483648.0f)) {
        throw std::invalid_argument(kLabelsError);
    }
    const auto truncated = static_cast<int32_t>(label);
    if (static_cast<float>(truncated) != label) throw std::invalid_argument(kLabelsError);
    return truncated;
}

std::vector<int32_t> labels_from_list(const py::list& list) {
    try {
        return list.cast<std::vector<int32_t>>();
    } catch (const py::cast_error&) {
        throw std::invalid_argument(kLabelsError);
    }
}

const std::vector<std::shared_ptr<PyHardwareDevice>>& device_list() {
    static const std::vector<std::shared_ptr<PyHardwareDevice>> devices = [] {
        std::vector<std::shared_ptr<PyHardwareDevice>> list;
        for (const auto& device : get_devices()) {
            list.push_back(std::make_shared<PyHardwareDevice>(device));
        }
        return list;
    }();
    return devices;
}

constexpr const char* kForwardDoc = R"(Processes inputs on a programmed device.

Args:
    inputs (:obj:`numpy.ndarray`): a (n, x, y, c) or (n, k) uint8 array whose sample shape
        matches the current program.

Returns:
    :obj:`numpy.ndarray`: the device outputs, one per sample.
)";

constexpr const char* kPredictDoc =
    R"(Processes inputs on a programmed device, returns a float array.

Args:
    inputs (:obj:`numpy.ndarray`): a (n, x, y, c) or (n, k) uint8 array whose sample shape
        matches the current program.

Returns:
    :obj:`numpy.ndarray`: the device outputs, one per sample, as floats.
)";

constexpr const char* kProgramExternalDoc =
    R"(Program a device using a serialized program info bytes object,
and the address of the corresponding program data in the device's own address space, where it
was written beforehand.

Program info whose input or output dims have no dimension, more than four, a dimension of 0,
or a frame of more than 16 MiB (16777216 bytes) is refused with ValueError.

Args:
    program_info (bytes): the serialized program info.
    address (int): the address of the program data.
)";

constexpr const char* kProgramDoc =
    R"(Retrieves the current program, or programs the device from serialized program bytes.

Program bytes whose input or output dims have no dimension, more than four, a dimension of 0,
or a frame of more than 16 MiB (16777216 bytes) are refused with ValueError.
)";

}  // namespace

void register_hardware_device(py::module_& m) {
    py::class_<PyHardwareDevice, Device, std::shared_ptr<PyHardwareDevice>>(m, "HardwareDevice")
        .def_property(
            "learn_enabled",
            [](const PyHardwareDevice& self) { return hardware_of(self).learn_enabled(); },
            [](PyHardwareDevice& self, bool enabled) {
                HardwareDevice& h = hardware_of(self);
                if (enabled != h.learn_enabled()) h.set_learn_enabled(enabled);
            },
            "Enables or disables learning on the current program, if possible.")
        .def_property(
            "program",
            [](const PyHardwareDevice& self) -> py::object {
                const ByteView& program = hardware_of(self).program();
                if (!program.data) return py::none();
                return py::bytes(reinterpret_cast<const char*>(program.data), program.size);
            },
            [](PyHardwareDevice& self, const py::bytes& bytes) {
                program_device(self, bytes, false, 0);
            },
            kProgramDoc)
        .def(
            "program_external",
            [](PyHardwareDevice& self, const py::bytes& bytes, uint32_t address) {
                program_device(self, bytes, true, address);
            },
            kProgramExternalDoc)
        .def(
            "unprogram",
            [](PyHardwareDevice& self) {
                hardware_of(self).unprogram();
                self.program_copy().clear();
            },
            "Clears the current program and restores the device's initial state.")
        .def(
            "fit",
            [](PyHardwareDevice& self, const InputArray& inputs, float input_labels) {
                return run_inference(self, inputs, {label_from_float(input_labels)}, Mode::fit);
            },
            py::arg("inputs"), py::arg("input_labels"), "Learn from inputs on a programmed device.")
        .def(
            "fit",
            [](PyHardwareDevice& self, const InputArray& inputs, const py::array& input_labels) {
                return run_inference(self, inputs, labels_from_numpy(input_labels), Mode::fit);
            },
            py::arg("inputs"), py::arg("input_labels"), "Learn from inputs on a programmed device.")
        .def(
            "fit",
            [](PyHardwareDevice& self, const InputArray& inputs, const py::list& input_labels) {
                return run_inference(self, inputs, labels_from_list(input_labels), Mode::fit);
            },
            py::arg("inputs"), py::arg("input_labels") = py::list(),
            "Learn from inputs on a programmed device.")
        .def(
            "forward",
            [](PyHardwareDevice& self, const InputArray& inputs) {
                return run_inference(self, inputs, {}, Mode::forward);
            },
            kForwardDoc)
        .def(
            "predict",
            [](PyHardwareDevice& self, const InputArray& inputs) {
                return run_inference(self, inputs, {}, Mode::predict);
            },
            kPredictDoc)
        .def_property_readonly(
            "memory",
            [](const PyHardwareDevice& self) {
                const uint64_t memory = hardware_of(self).memory();
                return py::make_tuple(static_cast<uint32_t>(memory),
                                      static_cast<uint32_t>(memory >> 32));
            },
            "The device memory usage and top usage (in bytes)")
        .def(
            "reset_top_memory",
            [](PyHardwareDevice& self) { hardware_of(self).reset_top_memory(); },
            "Reset the device memory informations")
        .def_property_readonly(
            "soc",
            [](const PyHardwareDevice& self) {
                return dynamic_cast<SocDriver*>(hardware_of(self).driver());
            },
            py::return_value_policy::reference_internal,
            "The SocDriver interface used by the device, or None if the device\n"
            "is not a SoC")
        .def_property_readonly(
            "metrics", [](PyHardwareDevice& self) -> PyMetrics& { return self.metrics(); },
            py::return_value_policy::reference_internal, "The metrics from this device")
        .def_property_readonly(
            "inference_power_events",
            [](PyHardwareDevice& self) { return power_event_list(self.power_events()); },
            "Copy of power events logged after inference")
        .def_property(
            "learn_mem",
            [](const PyHardwareDevice& self) -> py::object {
                const HardwareDevice& h = hardware_of(self);
                const uint32_t n = h.learn_mem_size();
                std::vector<uint32_t> words(n, 0);
                h.read_learn_mem(words.data());
                if (n == 0) return py::none();
                return py::bytes(reinterpret_cast<const char*>(words.data()), 4 * size_t{n});
            },
            [](PyHardwareDevice& self, const py::bytes& bytes) {
                HardwareDevice& h = hardware_of(self);
                const std::string_view view(bytes);
                if (view.size() / 4 != h.learn_mem_size()) {
                    throw std::runtime_error("Unexpected input buffer size.");
                }
                // An aligned copy: the bytes object's buffer need not be word-aligned.
                std::vector<uint32_t> words(view.size() / 4);
                // An empty vector has no storage: memcpy must not get its null pointer.
                if (!words.empty()) std::memcpy(words.data(), view.data(), words.size() * 4);
                h.write_learn_mem(words.data());
            },
            "Retrieves the learning layer's memory, or updates it from a serialized buffer.")
        .def("__eq__",
             [](const PyHardwareDevice& self, const Device& other) {
                 return static_cast<const Device*>(&self) == &other;
             })
        .def_static(
            "devices",
            [] {
                py::list list;
                for (const auto& device : device_list()) list.append(py::cast(device));
                return list;
            },
            "Returns the full list of available hardware devices\n:return: list of Device");
}

}  // namespace vorna::python
