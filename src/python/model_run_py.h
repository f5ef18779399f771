#pragma once

// The members of the Python Model that run inputs through the core model (fit, forward,
// predict, evaluate) and those that read and write its serialized form (the file constructor,
// save, to_buffer). model_py.cpp registers them in the class's member order.

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <memory>
#include <string>

#include "python/model_py.h"

namespace vorna::python {

extern const char* const kModelFromFileDoc;
extern const char* const kModelFitDoc;
extern const char* const kModelForwardDoc;
extern const char* const kModelPredictDoc;
extern const char* const kModelEvaluateDoc;
extern const char* const kModelSaveDoc;
extern const char* const kModelToBufferDoc;

// fit with one label given as a number, which must be an integer.
py::array model_fit_number(PyModel& self, const py::array& inputs, float label,
                           uint32_t batch_size);
// fit with a numpy array of integer labels.
py::array model_fit_array(PyModel& self, const py::array& inputs, const py::array& labels,
                          uint32_t batch_size);
// fit with a list of integer labels (possibly empty).
py::array model_fit_list(PyModel& self, const py::array& inputs, const py::list& labels,
                         uint32_t batch_size);
py::array model_forward(PyModel& self, const py::array& inputs, uint32_t batch_size);
py::array model_predict(PyModel& self, const py::array& inputs, uint32_t batch_size);
// The share of samples whose predicted class equals their label.
float model_evaluate(PyModel& self, const py::array& inputs, const py::array& labels,
                     int32_t num_classes, uint32_t batch_size);

std::unique_ptr<PyModel> model_from_file(const std::string& filename);
void model_save(const PyModel& self, const std::string& model_file);
py::bytes model_to_buffer(const PyModel& self);

}  // namespace vorna::python
