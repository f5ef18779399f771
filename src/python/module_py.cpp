// Entry point of the extension module vorna.core: the main-interpreter and interpreter-version
// guards, multi-phase initialisation with one execution slot, and the module body that
// registers the Python API in a fixed order.

#include <Python.h>

#include <atomic>
#include <exception>
#include <mutex>

#include "corelib/version.h"
#include "python/registration_py.h"
#include "python/version_gate.h"

namespace py = pybind11;

namespace vorna::python {
namespace {

constexpr const char* kSubinterpreterMessage =
    "vorna.core can only be imported in the main interpreter, not in a sub-interpreter.";

// Number of interpreters that executed the module body.
std::atomic<int> g_interpreter_count{0};

// The module body. Registrations are listed in the order the Python API is built; later
// registrations may refer to classes registered before them. The numbers are the places in
// that order.
void init_core(py::module_& m) {
    m.doc() = "Vorna core library";                     // 1
    m.attr("__version__") = py::str(vorna::version());  // 2
    register_backend_type(m);                           // 3  BackendType
    register_model(m);                                  // 4  Model
    register_layer(m);                                  // 5  Layer, Layer.Mapping
    register_layer_params(m);                           // 6  LayerType, Padding, PoolType,
                                                        //    ActivationType, LayerParams
    register_optimizer(m);                              // 7  Optimizer, VornaUnsupervised
    register_variables(m);                              // 8  Variables
    register_evaluate_bitwidth(m);                      // 9  evaluate_bitwidth
    register_metrics(m);                                // 10 Metrics
    register_device(m);                                 // 11 Device
    register_soc_driver(m);                             // 12 SocDriver
    register_hardware_device(m);                        // 13 HardwareDevice
    register_hw_version(m);                             // 14 HwVersion
    register_np_mesh(m);                                // 15 NP: SramSize, Mesh
    register_np_components(m);                          // 16 NP: Ident, Type, Info, NpSpace,
                                                        //    MemoryInfo, Component
    register_map_constraints(m);                        // 17 MapConstraints
    register_sequence_classes(m);                       // 18 ProgramParts, Sequence, Pass
    register_power_meter(m);                            // 19 PowerEvent, PowerMeter
    register_soc_module(m);                             // 20 soc: ClockMode
    register_program_memory_required(m);                // 21 ProgramMemoryRequired,
                                                        //    get_program_memory_infos
    register_nn_ops(m);                                 // 22 nn
    register_ip_version(m);                             // 23 IpVersion
    register_board_xvr2200(m);                          // 24 boardXvr2200
    register_graph_utils(m);                            // 25 graph_utils
    guard_uninitialised_instances(m);
}

int exec_core(PyObject* module) {
    g_interpreter_count.fetch_add(1);
    try {
        auto m = py::reinterpret_borrow<py::module_>(module);
        init_core(m);
        return 0;
    } catch (py::error_already_set& e) {
        py::raise_from(e, PyExc_ImportError, "initialization failed");
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    return -1;
}

PyModuleDef_Slot g_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&exec_core)},
    {0, nullptr},
};

PyModuleDef g_definition = {
    PyModuleDef_HEAD_INIT,
    "core",   // m_name
    nullptr,  // m_doc: the body sets it
    0,        // m_size: no per-module state
    nullptr,  // m_methods
    g_slots,  // m_slots
    nullptr,  // m_traverse
    nullptr,  // m_clear
    nullptr,  // m_free
};

}  // namespace
}  // namespace vorna::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit_core() {
    using namespace vorna::python;
    // The bindings keep their types and state per process, and the binding library's own set-up
    // takes the interpreter lock through the main interpreter's thread state: in any other
    // interpreter it would wait forever for a lock the thread already holds, or, once the main
    // interpreter holds the module, find every type registered. Refused before anything else.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError, kSubinterpreterMessage);
        return nullptr;
    }
    const char* runtime_version = Py_GetVersion();
    if (!python_version_accepted(runtime_version)) {
        PyErr_SetString(PyExc_ImportError,
                        python_version_mismatch_message(runtime_version).c_str());
        return nullptr;
    }
    static std::once_flag once;
    static PyObject* definition = nullptr;
    try {
        std::call_once(once, [] {
            py::detail::get_internals();
            definition = PyModuleDef_Init(&g_definition);
            // The definition is a static object; keep one reference to it for the process.
            Py_XINCREF(definition);
        });
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_ImportError, e.what());
        return nullptr;
    } catch (...) {
        PyErr_SetString(PyExc_ImportError, "Caught an unknown exception!");
        return nullptr;
    }
    if (definition == nullptr) {
        if (!PyErr_Occurred()) {
            PyErr_SetString(PyExc_SystemError,
                            "Internal error in module_::initialize_multiphase_module_def()");
        }
        return nullptr;
    }
    return definition;
}
