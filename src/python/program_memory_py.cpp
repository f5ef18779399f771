// ProgramMemoryRequired and get_program_memory_infos: the device memory a program needs, read
// from its program bytes by the core library.

#include <Python.h>
#include <pybind11/pybind11.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "corelib/program_info.h"
#include "python/registration_py.h"

// The six byte counts of one program, in the order the core library is asked for them.
struct ProgramMemoryRequired {
    size_t input_memory = 0;
    size_t input_descriptor_memory = 0;
    size_t output_memory = 0;
    size_t program_memory = 0;
    size_t extra_program_memory = 0;
    size_t program_descriptors_memory = 0;
};

namespace vorna::python {
namespace {

// A read-only buffer view of a Python object (strides and format requested), released when
// the view goes out of scope.
class BufferView {
  public:
    explicit BufferView(py::handle object) {
        if (PyObject_GetBuffer(object.ptr(), &view_, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
            throw py::error_already_set();
        }
    }
    ~BufferView() { PyBuffer_Release(&view_); }
    BufferView(const BufferView&) = delete;
    BufferView& operator=(const BufferView&) = delete;

    const uint8_t* data() const { return static_cast<const uint8_t*>(view_.buf); }
    size_t size() const { return static_cast<size_t>(view_.len); }

  private:
    Py_buffer view_{};
};

ProgramMemoryRequired program_memory_infos(const py::bytes& program) {
    const BufferView view(program);
    // The reader copies and verifies the bytes before any of them is interpreted.
    const ProgramInfo info(view.data(), view.size());
    ProgramMemoryRequired r;
    r.input_memory = input_memory_required(info);
    r.input_descriptor_memory = input_descriptor_memory_required(info);
    r.output_memory = output_memory_required(info);
    r.program_memory = program_data_memory_required(info);
    r.extra_program_memory = extra_program_memory_required(info);
    r.program_descriptors_memory = program_descriptors_memory_required(info);
    return r;
}

std::string repr(const ProgramMemoryRequired& r) {
    return "<vorna.ProgramMemoryRequired(input_memory=" + std::to_string(r.input_memory) +
           "B, input_descriptor_memory=" + std::to_string(r.input_descriptor_memory) +
           "B, output_memory=" + std::to_string(r.output_memory) +
           "B, program_memory=" + std::to_string(r.program_memory) +
           "B, extra_program_memory=" + std::to_string(r.extra_program_memory) +
           "B, program_descriptors_memory=" + std::to_string(r.program_descriptors_memory) + "B)>";
}

}  // namespace

void register_program_memory_required(py::module_& m) {
    using R = ProgramMemoryRequired;
    py::class_<R>(m, "ProgramMemoryRequired")
        .def_property_readonly(
            "input_memory", [](const R& r) { return r.input_memory; },
            "memory required (in bytes) for one input")
        .def_property_readonly(
            "input_descriptor_memory", [](const R& r) { return r.input_descriptor_memory; },
            "memory required (in bytes) for one input descriptor")
        .def_property_readonly(
            "output_memory", [](const R& r) { return r.output_memory; },
            "memory required (in bytes) for one output")
        .def_property_readonly(
            "program_memory", [](const R& r) { return r.program_memory; },
            "memory required (in bytes) for program")
        .def_property_readonly("extra_program_memory",
                               [](const R& r) { return r.extra_program_memory; })
        .def_property_readonly(
            "program_descriptors_memory", [](const R& r) { return r.program_descriptors_memory; },
            "memory required (in bytes) for program descriptors")
        .def("__repr__", &repr);
    m.def("get_program_memory_infos", &program_memory_infos,
          "Get the memory requirements for the given program");
}

}  // namespace vorna::python
