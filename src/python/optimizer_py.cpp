// Python Optimizer (learning parameters) and its factory VornaUnsupervised.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "corelib/params.h"
#include "corelib/types.h"
#include "python/registration_py.h"

namespace vorna::python {

namespace {

std::shared_ptr<LearningParams> vorna_unsupervised(uint32_t num_weights, uint32_t num_classes,
                                                   double initial_plasticity,
                                                   double learning_competition,
                                                   double min_plasticity, double plasticity_decay) {
    const std::map<std::string, double> settings = {
        {"initial_plasticity", initial_plasticity},
        {"learning_competition", learning_competition},
        {"min_plasticity", min_plasticity},
        {"num_classes", static_cast<double>(num_classes)},
        {"num_weights", static_cast<double>(num_weights)},
        {"plasticity_decay", plasticity_decay},
    };
    return LearningParams::create(LearningType::Unsupervised, settings);
}

constexpr const char* kGetDoc = R"(Retrieve a value from the LearningParams object.

Args:
    key (str): the name of the value.

Returns:
    float: the value.

Raises:
    ValueError: if the value is not present.
)";

constexpr const char* kUnsupervisedDoc =
    R"(Prepare the Vorna Unsupervised optimizer for learning of the last layer.

Args:
    num_weights (int): number of connections for each neuron.
    num_classes (int, optional): number of classes when running in a labeled mode.
    initial_plasticity (float, optional): defines how easily the weights will change when
        learning occurs.
    learning_competition (float, optional): controls competition between neurons.
    min_plasticity (float, optional): defines the minimum level to which plasticity will
        decay.
    plasticity_decay (float, optional): defines the decay of plasticity with each learning
        step.

Returns:
    :obj:`Optimizer`: the optimizer.
)";

}  // namespace

void register_optimizer(py::module_& m) {
    // No constructor: optimizers come from VornaUnsupervised or from a compiled model.
    py::class_<LearningParams, std::shared_ptr<LearningParams>>(m, "Optimizer",
                                                                "Optimizer generic parameters")
        .def("get", &LearningParams::get, py::arg("key"), kGetDoc)
        .def("__copy__", [](const LearningParams& p) { return LearningParams::clone(&p); })
        .def("__getattr__", &LearningParams::get, py::arg("key"))
        .def("__dir__", &LearningParams::keys)
        // LearningType has no Python type, so reading this raises TypeError: the result
        // cannot be converted.
        .def_property_readonly("learning_type", &LearningParams::learning_type);

    // The default of min_plasticity is the single-precision 0.1 widened to a double.
    m.def("VornaUnsupervised", &vorna_unsupervised, py::arg("num_weights"),
          py::arg("num_classes") = 1u, py::arg("initial_plasticity") = 1.0,
          py::arg("learning_competition") = 0.0,
          py::arg("min_plasticity") = static_cast<double>(0.1f), py::arg("plasticity_decay") = 0.25,
          kUnsupervisedDoc);
}

}  // namespace vorna::python
