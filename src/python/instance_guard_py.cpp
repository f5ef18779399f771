// Keeps Python code from reaching a C++ object that was never constructed.
//
// The binding layer allocates an object's C++ storage in __new__ and constructs the value in
// __init__. An object made by `Class.__new__(Class)` alone, or the `self` of a Python subclass
// whose __init__ uses it before calling the base __init__, has no value: handed to bound code
// it is a null or uninitialised C++ object. Two guards, both limited to this module:
// - The module's classes get a metaclass of their own, derived from the binding layer's. Its
//   call marks the type whose `Class(...)` call is in progress, and `Class.__new__` of every
//   class of the module only serves such a call; a direct call raises TypeError, so no such
//   object can be made. Classes that unpickle (the enumerations) are left out.
// - Every function, method, property accessor and constructor of the module gets a call entry
//   that refuses, with TypeError, an argument (`self` included) that is an object of the
//   module's classes whose value is not constructed (the `self` of a subclass __init__ before
//   the base __init__ ran, or an unpickled enumeration member before __setstate__), then goes
//   on to the function's own entry. Only the module's own function objects get it; the binding
//   layer's function records and shared metaclass are left as they are.

#include <Python.h>
#include <pybind11/pybind11.h>

#include <stdexcept>
#include <string>

#include "python/registration_py.h"

namespace vorna::python {

namespace {

// The module's metaclass and the call it inherits from the binding layer's metaclass. Both
// live as long as the process (the module is never unloaded).
PyTypeObject* g_metaclass = nullptr;
ternaryfunc g_inherited_call = nullptr;
// The binding layer's base of all instances that hold a C++ value, and the deallocation that
// every class the binding layer makes inherits from it.
PyTypeObject* g_instance_base = nullptr;
destructor g_instance_dealloc = nullptr;

// An object of the module's classes (or of Python subclasses of them, which share the
// metaclass) whose value was never constructed. Objects the binding layer does not own
// (returned by reference) have no holder and are fine.
bool is_unconstructed(PyObject* object) {
    PyTypeObject* const type = Py_TYPE(object);
    PyTypeObject* const meta = Py_TYPE(type);
    if (meta == &PyType_Type) return false;  // the common case: not one of ours
    if (meta != g_metaclass && (g_metaclass == nullptr || !PyType_IsSubtype(meta, g_metaclass))) {
        return false;
    }
    // A class made with the metaclass but without a bound base has no C++ value at all. The
    // classes the binding layer makes share its deallocation; only Python subclasses need the
    // longer test.
    if (type->tp_dealloc != g_instance_dealloc && !PyType_IsSubtype(type, g_instance_base)) {
        return false;
    }
    auto* inst = reinterpret_cast<py::detail::instance*>(object);
    if (!inst->owned) return false;
    if (inst->simple_layout) return !inst->simple_holder_constructed;
    for (const auto& v_h : py::detail::values_and_holders(inst)) {
        if (!v_h.holder_constructed()) return true;
    }
    return false;
}

PyObject* refuse(PyObject* object) {
    PyErr_Format(PyExc_TypeError,
                 "%s object is not initialised: its __init__() has not been called.",
                 Py_TYPE(object)->tp_name);
    return nullptr;
}

// The call entry of a guarded function: refuses an unconstructed object among the positional
// arguments from `first` on and the values of the keyword arguments, then calls the function's
// own code as CPython's entry for such functions does. Every function of the binding layer is
// made with the flags METH_FASTCALL | METH_KEYWORDS (checked when the entry is installed).
template <Py_ssize_t first>
PyObject* guarded_entry(PyObject* function, PyObject* const* args, size_t nargsf,
                        PyObject* kwnames) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t n = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    for (Py_ssize_t i = first; i < n; ++i) {
        if (is_unconstructed(args[i])) return refuse(args[i]);
    }
    if (Py_EnterRecursiveCall(" while calling a Python object")) return nullptr;
    using Code = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
    const auto code =
        reinterpret_cast<Code>(reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(function)));
    PyObject* result = code(PyCFunction_GET_SELF(function), args, nargs, kwnames);
    Py_LeaveRecursiveCall();
    return result;
}

// The type whose `Type(...)` call is in progress on this thread, between the metaclass call
// and the __new__ it leads to.
thread_local PyTypeObject* t_constructing = nullptr;

PyObject* marking_call(PyObject* type, PyObject* args, PyObject* kwargs) {
    PyTypeObject* const previous = t_constructing;
    t_constructing = reinterpret_cast<PyTypeObject*>(type);
    PyObject* result = g_inherited_call(type, args, kwargs);
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
    PyObject* rest = PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args));
    if (rest == nullptr) return nullptr;
    PyObject* result = py::detail::pybind11_object_new(type, rest, kwargs);
    Py_DECREF(rest);
    return result;
}

PyMethodDef g_guarded_new_def = {
    "__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&guarded_new)),
    METH_VARARGS | METH_KEYWORDS, "Create the object; only a call of the class may do this."};

// The module's metaclass: a subclass of the binding layer's metaclass `base` whose call marks
// the construction in progress. Made once.
void make_metaclass(py::handle base, py::handle module_name) {
    if (g_metaclass != nullptr) return;
    py::dict members;
    members["__module__"] = module_name;
    py::object meta = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
        "vorna_type", py::make_tuple(base), members);
    auto* type = reinterpret_cast<PyTypeObject*>(meta.release().ptr());  // kept for the process
    g_instance_base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
    g_instance_dealloc = g_instance_base->tp_dealloc;
    g_inherited_call = type->tp_call;
    type->tp_call = &marking_call;
    PyType_Modified(type);
    g_metaclass = type;
}

// The function object of a callable made by the binding layer; null for any other callable.
PyObject* bound_function(py::handle callable) {
    const py::handle function = py::detail::get_function(callable);
    if (!function || !PyCFunction_Check(function.ptr())) return nullptr;
    PyObject* self = PyCFunction_GET_SELF(function.ptr());
    if (self == nullptr || py::detail::function_record_ptr_from_PyObject(self) == nullptr) {
        return nullptr;
    }
    return function.ptr();
}

void guard_callable(py::handle callable) {
    PyObject* function = callable ? bound_function(callable) : nullptr;
    if (function == nullptr) return;
    auto* object = reinterpret_cast<PyCFunctionObject*>(function);
    if (object->vectorcall == &guarded_entry<0> || object->vectorcall == &guarded_entry<1>) {
        return;
    }
    if ((object->m_ml->ml_flags & ~METH_COEXIST) != (METH_FASTCALL | METH_KEYWORDS)) {
        throw std::logic_error(std::string("The bound function ") + object->m_ml->ml_name +
                               " is not called with the flags of the binding layer.");
    }
    // The binding layer treats these two names as constructors: their first argument is the
    // object being constructed.
    const std::string name = object->m_ml->ml_name;
    const bool constructor = name == "__init__" || name == "__setstate__";
    object->vectorcall = constructor ? &guarded_entry<1> : &guarded_entry<0>;
}

bool is_bound_class(py::handle object) {
    if (!PyType_Check(object.ptr())) return false;
    return py::detail::get_type_info(reinterpret_cast<PyTypeObject*>(object.ptr())) != nullptr;
}

void guard_class(py::handle cls, py::handle module_name) {
    make_metaclass(py::handle(reinterpret_cast<PyObject*>(Py_TYPE(cls.ptr()))), module_name);
    if (Py_TYPE(cls.ptr()) == g_metaclass) return;  // reached before, through another name
    // The metaclass adds nothing to the layout of the binding layer's one, so Python accepts
    // the change of class.
    py::setattr(cls, "__class__", py::handle(reinterpret_cast<PyObject*>(g_metaclass)));
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
            guard_class(value, module_name);
        } else if (PyObject_TypeCheck(value.ptr(), &PyProperty_Type)) {
            guard_callable(value.attr("fget"));
            guard_callable(value.attr("fset"));
        } else if (PyObject_TypeCheck(value.ptr(), &PyStaticMethod_Type)) {
            guard_callable(value.attr("__func__"));
        } else {
            guard_callable(value);
        }
    }
}

}  // namespace

void guard_function_arguments(py::handle function) { guard_callable(function); }

void guard_uninitialised_instances(py::module_& m) {
    for (const auto item : py::dict(m.attr("__dict__"))) {
        const py::handle value = item.second;
        if (is_bound_class(value)) {
            guard_class(value, m.attr("__name__"));
        } else if (PyCFunction_Check(value.ptr())) {
            guard_callable(value);
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
