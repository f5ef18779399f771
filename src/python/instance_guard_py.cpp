// Keeps Python code from reaching a C++ object that was never constructed.
//
// The binding layer allocates an object's C++ storage in __new__ and constructs the value in
// __init__. An object made by `Class.__new__(Class)` alone, or the `self` of a Python subclass
// whose __init__ uses it before calling the base __init__, has no value: handed to bound code
// it is a null or uninitialised C++ object. Two guards:
// - `Class.__new__` of every class of the module only serves a `Class(...)` call in progress
//   (the metaclass call marks the type it is constructing); a direct call raises TypeError,
//   so no such object can be made. Classes that unpickle (the enumerations) are left out.
// - every function, method, property accessor and constructor of the module raises TypeError
//   when an argument (`self` included) is an object whose value is not constructed (the
//   `self` of a subclass __init__ before the base __init__ ran, or an unpickled enumeration
//   member before __setstate__).

#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>
#include <unordered_map>

#include "python/internal_api_py.h"

namespace vorna::python {

namespace {

using Impl = py::handle (*)(py::detail::function_call&);

// The bound code of each wrapped function record. Never destroyed: the records live as long
// as the module.
std::unordered_map<const py::detail::function_record*, Impl>& original_impls() {
    static auto* impls = new std::unordered_map<const py::detail::function_record*, Impl>();
    return *impls;
}

// An object the binding layer owns but whose holder was never made has not run __init__.
// (Objects returned by reference are not owned and have no holder; they are fine.)
bool is_unconstructed(py::handle object) {
    if (!object) return false;
    auto* base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
    if (!PyType_IsSubtype(Py_TYPE(object.ptr()), base)) return false;
    auto* inst = reinterpret_cast<py::detail::instance*>(object.ptr());
    if (!inst->owned) return false;
    for (const auto& v_h : py::detail::values_and_holders(inst)) {
        if (!v_h.holder_constructed()) return true;
    }
    return false;
}

// The type whose `Type(...)` call is in progress on this thread, between the metaclass call
// and the __new__ it leads to.
thread_local PyTypeObject* t_constructing = nullptr;
ternaryfunc g_metaclass_call = nullptr;

PyObject* marking_metaclass_call(PyObject* type, PyObject* args, PyObject* kwargs) {
    PyTypeObject* const previous = t_constructing;
    t_constructing = reinterpret_cast<PyTypeObject*>(type);
    PyObject* result = g_metaclass_call(type, args, kwargs);
    t_constructing = previous;
    return result;
}

// __new__(cls, *args, **kwargs) of the module's classes.
PyObject* guarded_new(PyObject*, PyObject* args, PyObject* kwargs) {
    if (PyTuple_GET_SIZE(args) < 1 || !PyType_Check(PyTuple_GET_ITEM(args, 0))) {
        PyErr_SetString(PyExc_TypeError, "__new__() needs a type as its first argument.");
        return nullptr;
    }
    auto* type = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(args, 0));
    if (t_constructing != type) {
        PyErr_Format(PyExc_TypeError,
                     "%s.__new__() cannot be called directly: create the object by calling %s().",
                     type->tp_name, type->tp_name);
        return nullptr;
    }
    t_constructing = nullptr;  // one __new__ per call
    py::tuple rest(PyTuple_GET_SIZE(args) - 1);
    for (Py_ssize_t i = 1; i < PyTuple_GET_SIZE(args); ++i) {
        rest[static_cast<size_t>(i - 1)] =
            py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(args, i));
    }
    return py::detail::pybind11_object_new(type, rest.ptr(), kwargs);
}

PyMethodDef g_guarded_new_def = {
    "__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded_new)),
    METH_VARARGS | METH_KEYWORDS, "Create the object; only a call of the class may do this."};

// Routes the binding layer's metaclass call through marking_metaclass_call (once per process;
// the metaclass is shared by every class of the binding layer).
void mark_constructions() {
    PyTypeObject* metaclass = py::detail::get_internals().default_metaclass;
    if (metaclass->tp_call == &marking_metaclass_call) return;
    g_metaclass_call = metaclass->tp_call;
    metaclass->tp_call = &marking_metaclass_call;
}

py::handle guarded_impl(py::detail::function_call& call) {
    // A constructor's first argument is the object being constructed.
    const size_t first = call.func.is_constructor ? 1 : 0;
    for (size_t i = first; i < call.args.size(); ++i) {
        if (is_unconstructed(call.args[i])) {
            throw py::type_error(std::string(Py_TYPE(call.args[i].ptr())->tp_name) +
                                 " object is not initialised: its __init__() has not been called.");
        }
    }
    return original_impls().at(&call.func)(call);
}

// The chain of overload records of a function made by the binding layer; null for any other
// callable.
py::detail::function_record* function_records(py::handle function) {
    const py::handle cfunction = py::detail::get_function(function);
    if (!cfunction || !PyCFunction_Check(cfunction.ptr())) return nullptr;
    PyObject* self = PyCFunction_GET_SELF(cfunction.ptr());
    if (self == nullptr) return nullptr;
    return py::detail::function_record_ptr_from_PyObject(self);
}

void guard_function(py::handle function) {
    if (!function) return;
    for (auto* rec = function_records(function); rec != nullptr; rec = rec->next) {
        if (rec->impl == &guarded_impl) continue;
        original_impls().emplace(rec, rec->impl);
        rec->impl = &guarded_impl;
    }
}

bool is_bound_class(py::handle object) {
    if (!PyType_Check(object.ptr())) return false;
    return py::detail::get_type_info(reinterpret_cast<PyTypeObject*>(object.ptr())) != nullptr;
}

void guard_class(py::handle cls) {
    const py::dict members = py::dict(cls.attr("__dict__"));
    // Unpickling makes the object with __new__ alone and constructs it in __setstate__, so
    // classes that can be unpickled (the enumerations) keep the plain __new__.
    if (!members.contains("__setstate__")) {
        // A staticmethod, as Python makes of a __new__ defined in a class body.
        const auto new_function = py::reinterpret_steal<py::object>(
            PyCFunction_NewEx(&g_guarded_new_def, nullptr, nullptr));
        if (!new_function) throw py::error_already_set();
        py::setattr(cls, "__new__", py::staticmethod(new_function));
    }
    for (const auto item : members) {
        const py::handle value = item.second;
        if (is_bound_class(value)) {
            guard_class(value);
        } else if (PyObject_TypeCheck(value.ptr(), &PyProperty_Type)) {
            guard_function(value.attr("fget"));
            guard_function(value.attr("fset"));
        } else {
            guard_function(value);
        }
    }
}

}  // namespace

void guard_uninitialised_instances(py::module_& m) {
    mark_constructions();
    for (const auto item : py::dict(m.attr("__dict__"))) {
        const py::handle value = item.second;
        if (is_bound_class(value)) {
            guard_class(value);
        } else if (PyCFunction_Check(value.ptr())) {
            guard_function(value);
        } else if (PyModule_Check(value.ptr())) {
            py::module_ sub = py::reinterpret_borrow<py::module_>(value);
            // Only the submodules defined by this module.
            const std::string prefix = py::str(m.attr("__name__")).cast<std::string>() + ".";
            const std::string name = py::str(sub.attr("__name__"));
            if (name.rfind(prefix, 0) == 0) guard_uninitialised_instances(sub);
        }
    }
}

}  // namespace vorna::python
