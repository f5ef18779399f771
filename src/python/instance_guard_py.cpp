// Keeps Python code from reaching a C++ object that was never constructed, or reading one
// object as the value of another class.
//
// The binding layer allocates an object's C++ storage in __new__ and constructs the value in
// __init__. An object with storage but no value, handed to bound code, is a null or
// uninitialised C++ object. The guards, all limited to this module:
// - The module's classes get a metaclass of their own, derived from the binding layer's. Its
//   call marks the type whose `Class(...)` call is in progress, and the allocation slot of
//   every class of the module only serves such a call: `Class.__new__(Class)`, the base's or
//   object's __new__, and the unpickler are refused with TypeError. The enumerations are left
//   out, since unpickling one allocates it and constructs it in __setstate__.
// - The binding layer's base of all instances refuses, with TypeError, to allocate a type
//   without a bound class among its bases (its own allocation would end the process).
// - Converting an object without a value to its C++ type raises TypeError: the binding layer
//   would hand out fresh uninitialised storage. This reaches what the next guard cannot see,
//   such as objects inside containers or returned by Python overrides.
// - Every function, method, property accessor and constructor of the module gets a call entry
//   in the method definition its function object owns, which every call path takes (the
//   function object's call and the interpreter's specialised calls alike). It refuses, with
//   TypeError, an argument (`self` included) that is an object of the module's classes whose
//   value is not constructed (the `self` of a subclass __init__ before the base __init__ ran,
//   an enumeration allocated but not yet given its state); a method or property accessor of a
//   class also refuses a `self` that is not an instance of the class (the binding layer would
//   take None or an object of another type for a pointer to one). Then the binding layer's
//   entry runs. Only the module's own function definitions get it; the binding layer's shared
//   metaclass and other modules' functions are left as they are.
// - All classes share one layout, so Python would let an object's class be changed to another
//   class of the module; the classes are made immutable, for which Python refuses it. Their
//   attributes can still be set and deleted (users patch classes in their tests): the
//   metaclass performs the set itself, refusing only `__new__` of the module's classes (the
//   allocation above) and `__bases__` of every class it makes (an object would keep its value
//   under other bases). A class's bases cannot be changed through type's own descriptor either.
// - Pickling: the enumerations pickle their integer at every protocol; objects of every other
//   class refuse to be pickled, unless their class (a Python subclass) defines its own
//   reduction.

#include <Python.h>
#include <pybind11/pybind11.h>

#include <array>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "python/held_list_py.h"
#include "python/pybind11_version_py.h"
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

// The refusals are kept out of line, so that the guarded entry stays a short function that
// passes the call on.
[[gnu::cold, gnu::noinline]] PyObject* refuse(PyObject* object) {
    PyErr_Format(PyExc_TypeError,
                 "%s object is not initialised: its __init__() has not been called.",
                 Py_TYPE(object)->tp_name);
    return nullptr;
}

// The binding layer's entry of its functions, common to all of them: it reads the function's
// records from the record object it is given as `self` and dispatches to their code. Taken
// from a function made for that purpose, so it is this module's own entry.
using Entry = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);
Entry g_dispatcher = nullptr;

// What a refusal of `self` calls a guarded method or accessor ("Layer.add()", "The getter of
// Layer.name"), by record object. Read on refusals only.
std::unordered_map<PyObject*, std::string>& labels() {
    static auto* const map = new std::unordered_map<PyObject*, std::string>();
    return *map;
}

[[gnu::cold, gnu::noinline]] PyObject* refuse_self(PyObject* record_object,
                                                   const py::detail::function_record* record,
                                                   PyObject* const* args, Py_ssize_t nargs) {
    const char* const expected = reinterpret_cast<PyTypeObject*>(record->scope.ptr())->tp_name;
    const auto found = labels().find(record_object);
    const std::string label =
        found != labels().end() ? found->second : std::string(expected) + "." + record->name + "()";
    if (nargs < 1) {
        PyErr_Format(PyExc_TypeError, "%s needs a %s object as self; none was given.",
                     label.c_str(), expected);
    } else {
        PyErr_Format(PyExc_TypeError, "%s needs a %s object as self, not %s.", label.c_str(),
                     expected, Py_TYPE(args[0])->tp_name);
    }
    return nullptr;
}

// The entry of every guarded function, put in the method definition the function object owns,
// so that every way of calling the function passes it: the function object's own call and the
// interpreter's specialised calls alike read the definition's entry at each call. `self` is
// the function's record object (only functions with this module's records get the entry).
// A method or property accessor of a class refuses a first argument that is not an instance of
// the class; every function refuses an unconstructed object of the module's classes among its
// arguments, `self` included, except a constructor's first argument, the object it constructs.
// Then the binding layer's entry runs.
PyObject* guarded_entry(PyObject* record_object, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    const py::detail::function_record* const record =
        reinterpret_cast<py::detail::function_record_PyObject*>(record_object)->cpp_func_rec;
    Py_ssize_t first = 0;
    if (record->is_constructor) {
        first = 1;
    } else if (record->is_method &&
               (nargs < 1 || !PyObject_TypeCheck(
                                 args[0], reinterpret_cast<PyTypeObject*>(record->scope.ptr())))) {
        return refuse_self(record_object, record, args, nargs);
    }
    const Py_ssize_t n = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
    for (Py_ssize_t i = first; i < n; ++i) {
        if (is_unconstructed(args[i])) return refuse(args[i]);
    }
    return g_dispatcher(record_object, args, nargs, kwnames);
}

PyCFunction as_method(Entry entry) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry));
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

// The binding layer's allocation of an object (storage for its value, no value yet). Its C++
// exceptions must not cross the interpreter's C frames.
PyObject* allocate(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    try {
        return py::detail::pybind11_object_new(type, args, kwargs);
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
}

// The allocation slot of the module's classes (the enumerations excepted), inherited by their
// Python subclasses. Only the call of the class (through the module's metaclass) may allocate,
// once per call: `Class.__new__(Class)`, `object.__new__(Class)`, the unpickler and any other
// direct use of the slot are refused, so that an object without a value exists only while
// its own __init__ runs.
PyObject* guarded_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (t_constructing != type) {
        PyErr_Format(PyExc_TypeError,
                     "%s.__new__() cannot be called directly: create the object by calling %s().",
                     type->tp_name, type->tp_name);
        return nullptr;
    }
    t_constructing = nullptr;
    return allocate(type, args, kwargs);
}

// The allocation slot of the binding layer's base of all instances, shared by every module
// that uses the binding layer. Its own allocation fails, with a C++ exception that ends the
// process, for a type without a bound class among its bases (the base itself, a Python class
// derived from it alone): refused here. A class of this module goes through its own slot;
// any other class is allocated as before.
PyObject* base_tp_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    const std::vector<py::detail::type_info*>* bases = nullptr;
    try {
        bases = &py::detail::all_type_info(type);
    } catch (...) {
        py::detail::try_translate_exceptions();
        return nullptr;
    }
    if (bases->empty()) {
        PyErr_Format(PyExc_TypeError, "cannot create '%s' instances", type->tp_name);
        return nullptr;
    }
    for (const py::detail::type_info* info : *bases) {
        if (info->type->tp_new == &guarded_tp_new) return guarded_tp_new(type, args, kwargs);
    }
    return allocate(type, args, kwargs);
}

// `__new__(subtype, *args, **kwargs)` of the base, in place of the interpreter's one: that one
// compares the subtype's slot with the base's own and would refuse the classes of other
// modules, whose slot is the binding layer's allocation. `base` is the base type.
PyObject* base_new(PyObject* base, PyObject* args, PyObject* kwargs) {
    const char* const name = reinterpret_cast<PyTypeObject*>(base)->tp_name;
    if (PyTuple_GET_SIZE(args) < 1) {
        PyErr_Format(PyExc_TypeError, "%s.__new__(): not enough arguments", name);
        return nullptr;
    }
    PyObject* const subtype = PyTuple_GET_ITEM(args, 0);
    if (!PyType_Check(subtype)) {
        PyErr_Format(PyExc_TypeError, "%s.__new__(X): X is not a type object (%s)", name,
                     Py_TYPE(subtype)->tp_name);
        return nullptr;
    }
    if (!PyType_IsSubtype(reinterpret_cast<PyTypeObject*>(subtype),
                          reinterpret_cast<PyTypeObject*>(base))) {
        PyErr_Format(PyExc_TypeError, "%s.__new__(%s): %s is not a subtype of %s", name,
                     reinterpret_cast<PyTypeObject*>(subtype)->tp_name,
                     reinterpret_cast<PyTypeObject*>(subtype)->tp_name, name);
        return nullptr;
    }
    PyObject* rest = PyTuple_GetSlice(args, 1, PyTuple_GET_SIZE(args));
    if (rest == nullptr) return nullptr;
    PyObject* result = base_tp_new(reinterpret_cast<PyTypeObject*>(subtype), rest, kwargs);
    Py_DECREF(rest);
    return result;
}

PyMethodDef g_base_new_def = {
    "__new__", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&base_new)),
    METH_VARARGS | METH_KEYWORDS, "Create and return a new object."};

// Puts the two above in the base, once for the process.
void guard_instance_base() {
    if (g_instance_base->tp_new == &base_tp_new) return;
    const auto function = py::reinterpret_steal<py::object>(
        PyCFunction_NewEx(&g_base_new_def, reinterpret_cast<PyObject*>(g_instance_base), nullptr));
    if (!function) throw py::error_already_set();
    // Written into the type's dictionary, not set as an attribute: setting it would make the
    // interpreter reroute the slot of every class derived from the base through a lookup.
    if (PyDict_SetItemString(g_instance_base->tp_dict, "__new__", function.ptr()) != 0) {
        throw py::error_already_set();
    }
    g_instance_base->tp_new = &base_tp_new;
    PyType_Modified(g_instance_base);
}

// The interpreter's own `__new__` of a type (the one `object.__new__` is made of): checks that
// the subtype it is given derives from the type and goes through the type's slot, and keeps
// the slot of Python subclasses that do not define __new__ as the type's slot.
py::object interpreter_new_of(py::handle type) {
    const py::object object_new =
        py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyBaseObject_Type))
            .attr("__new__");
    if (!PyCFunction_Check(object_new.ptr())) {
        throw std::logic_error("object.__new__ is not a built-in function.");
    }
    PyMethodDef* const def = reinterpret_cast<PyCFunctionObject*>(object_new.ptr())->m_ml;
    auto function = py::reinterpret_steal<py::object>(PyCFunction_NewEx(def, type.ptr(), nullptr));
    if (!function) throw py::error_already_set();
    return function;
}

// Pickling. The enumerations pickle their integer: from protocol 2 on, as the object's own
// reduction does (the class, then the state given to __setstate__); below protocol 2, whose
// reduction would call the binding layer's base, as a call of the class with the integer.
// Objects of every other class cannot be pickled, at any protocol.
PyObject* enum_reduce_ex(PyObject* self, PyObject* protocol) {
    const long number = PyLong_AsLong(protocol);
    if (number == -1 && PyErr_Occurred()) return nullptr;
    if (number >= 2) {
        static PyObject* const object_reduce_ex = PyObject_GetAttrString(
            reinterpret_cast<PyObject*>(&PyBaseObject_Type), "__reduce_ex__");
        if (object_reduce_ex == nullptr) return nullptr;
        return PyObject_CallFunctionObjArgs(object_reduce_ex, self, protocol, nullptr);
    }
    PyObject* value = PyNumber_Long(self);
    if (value == nullptr) return nullptr;
    return Py_BuildValue("(O(N))", reinterpret_cast<PyObject*>(Py_TYPE(self)), value);
}

// Objects of the other classes have no reduction of their own: unpickling one would allocate
// it without a value. A Python subclass that defines `__reduce__` (to rebuild itself from its
// parameters, say) is reduced by it, as object.__reduce_ex__ would do: the `__reduce__` found
// on the class is the one called.
PyObject* g_reduce_name = nullptr;    // "__reduce__", interned
PyObject* g_object_reduce = nullptr;  // object.__reduce__, the default every class inherits

PyObject* refuse_reduce_ex(PyObject* self, PyObject*) {
    PyTypeObject* const type = Py_TYPE(self);
    PyObject* const reduce = _PyType_Lookup(type, g_reduce_name);
    if (reduce == nullptr || reduce == g_object_reduce) {
        PyErr_Format(PyExc_TypeError, "cannot pickle '%s' object", type->tp_name);
        return nullptr;
    }
    Py_INCREF(reduce);  // borrowed from a dictionary the binding below may change
    const descrgetfunc bind = Py_TYPE(reduce)->tp_descr_get;
    PyObject* const bound =
        bind != nullptr ? bind(reduce, self, reinterpret_cast<PyObject*>(type)) : Py_NewRef(reduce);
    Py_DECREF(reduce);
    if (bound == nullptr) return nullptr;
    PyObject* const result = PyObject_CallNoArgs(bound);
    Py_DECREF(bound);
    return result;
}

PyMethodDef g_enum_reduce_ex_def = {"__reduce_ex__", &enum_reduce_ex, METH_O, "Helper for pickle."};
PyMethodDef g_refuse_reduce_ex_def = {"__reduce_ex__", &refuse_reduce_ex, METH_O,
                                      "Helper for pickle: these objects cannot be pickled."};

// The binding layer gives a value storage to an object without a value when it converts the
// object to its C++ type, through the class's allocation function: uninitialised memory that
// the C++ code would then read as a value. Every class of the module gets, as that function, a
// refusal naming the class. This covers what the check of the arguments cannot see: objects in
// containers, the results of Python overrides, and the objects a Python subclass leaks from a
// failing __init__.
constexpr std::size_t kRefusalCount = 64;
std::array<const std::string*, kRefusalCount> g_refused_names{};
std::size_t g_refusals_used = 0;

template <std::size_t I>
void* refuse_value_storage(std::size_t) {
    throw py::type_error(*g_refused_names[I] +
                         " object is not initialised: its __init__() has not been called.");
}

template <std::size_t... I>
constexpr std::array<void* (*)(std::size_t), sizeof...(I)> make_refusals(
    std::index_sequence<I...>) {
    return {&refuse_value_storage<I>...};
}

constexpr auto kRefusals = make_refusals(std::make_index_sequence<kRefusalCount>());

void refuse_value_storage_of(PyTypeObject* type) {
    py::detail::type_info* const info = py::detail::get_type_info(type);
    if (info == nullptr || info->type != type) {
        throw std::logic_error(std::string("The class ") + type->tp_name + " is not bound.");
    }
    for (std::size_t i = 0; i < g_refusals_used; ++i) {
        if (info->operator_new == kRefusals[i]) return;  // reached before, through another name
    }
    if (g_refusals_used == kRefusalCount) {
        throw std::logic_error("The module has more classes than refusals of value storage.");
    }
    g_refused_names[g_refusals_used] = new std::string(type->tp_name);  // kept for the process
    info->operator_new = kRefusals[g_refusals_used++];
}

// The creation of a class by the module's metaclass: a Python subclass of two or more of the
// module's classes holds their values side by side, and Python would let its objects change
// their class to another such subclass that shares only the first base. Made immutable, it
// keeps its class.
newfunc g_inherited_new = nullptr;

PyObject* class_new(PyTypeObject* metaclass, PyObject* args, PyObject* kwargs) {
    PyObject* const cls = g_inherited_new(metaclass, args, kwargs);
    if (cls == nullptr || !PyType_Check(cls)) return cls;
    auto* const type = reinterpret_cast<PyTypeObject*>(cls);
    try {
        if (py::detail::all_type_info(type).size() > 1) {
            type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
            PyType_Modified(type);
        }
    } catch (...) {
        py::detail::try_translate_exceptions();
        Py_DECREF(cls);
        return nullptr;
    }
    return cls;
}

// Setting and deleting attributes of the classes the metaclass makes. The module's classes
// (and Python subclasses with two or more of them as bases) stay immutable, so that Python
// refuses to change an object's class; the metaclass performs the set on them as for a mutable
// class, with the flag cleared for the set alone. Refused everywhere: `__new__` of the module's
// classes (the guarded allocation) and `__bases__` (an object would keep its value under bases
// of another value).
setattrofunc g_inherited_setattro = nullptr;
std::unordered_set<PyTypeObject*>& module_classes() {
    static auto* const set = new std::unordered_set<PyTypeObject*>();
    return *set;
}
PyObject* g_type_subclasses = nullptr;  // type.__subclasses__
PyObject* g_type_mro = nullptr;         // type.mro

[[gnu::cold]] int refuse_bases(PyTypeObject* type) {
    PyErr_Format(PyExc_TypeError,
                 "cannot change the bases of %s: its objects hold the values of the bases they "
                 "were made with.",
                 type->tp_name);
    return -1;
}

// Whether every key of the dictionaries a set may search is an exact string: the class's own
// and its bases' (the set, its slot update) and, when `subclasses`, those of every subclass and
// their bases (the slot update goes down to them). The search compares keys of any other type
// by calling their __eq__, which is Python code; none may run while the flag is cleared.
bool plain_keys(PyTypeObject* type, bool subclasses) {
    PyObject* const mro = type->tp_mro;
    if (mro == nullptr || !PyTuple_Check(mro)) return false;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(mro); ++i) {
        PyObject* const dict = reinterpret_cast<PyTypeObject*>(PyTuple_GET_ITEM(mro, i))->tp_dict;
        if (dict == nullptr || !PyDict_CheckExact(dict)) return false;
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        while (PyDict_Next(dict, &pos, &key, nullptr)) {
            if (!PyUnicode_CheckExact(key)) return false;
        }
    }
    if (!subclasses) return true;
    const auto list = py::reinterpret_steal<py::object>(
        PyObject_CallOneArg(g_type_subclasses, reinterpret_cast<PyObject*>(type)));
    if (!list || !PyList_Check(list.ptr())) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.ptr()); ++i) {
        PyObject* const sub = PyList_GET_ITEM(list.ptr(), i);
        if (!PyType_Check(sub) || !plain_keys(reinterpret_cast<PyTypeObject*>(sub), true)) {
            return false;
        }
    }
    return true;
}

// The set on an immutable class. The binding layer's static properties take the value through
// their own setter (no flag needed); a special attribute of the metaclass other than type's own
// is left to the inherited set, which refuses it for an immutable class, as is
// __abstractmethods__, whose setter asks the value's truth. Otherwise the flag is cleared, the
// interpreter's set of a class runs, and the flag is restored, with nothing in between that
// could run Python code: the values replaced are held until the flag is back (their
// finalizers run after), the garbage collector is paused, and keys are exact strings.
int set_on_immutable(PyTypeObject* type, PyObject* key, PyObject* value) {
    PyObject* const object = reinterpret_cast<PyObject*>(type);
    if ((type->tp_flags & Py_TPFLAGS_HEAPTYPE) == 0)
        return g_inherited_setattro(object, key, value);
    // Paused from the checks to the end of the set, so that no finalizer runs in between.
    struct PausedCollector {
        const int was_enabled = PyGC_Disable();
        ~PausedCollector() {
            if (was_enabled) PyGC_Enable();
        }
    } paused;
    const bool dunder = PyUnicode_GET_LENGTH(key) > 4 && PyUnicode_READ_CHAR(key, 0) == '_' &&
                        PyUnicode_READ_CHAR(key, 1) == '_';
    if (!plain_keys(type, dunder)) {
        if (PyErr_Occurred()) return -1;
        PyErr_Format(PyExc_TypeError,
                     "cannot set '%U' of %s: a class in its hierarchy has a namespace key that "
                     "is not a string.",
                     key, type->tp_name);
        return -1;
    }
    auto* const static_property = py::detail::get_internals().static_property_type;
    PyObject* const own = _PyType_Lookup(type, key);
    if (own != nullptr && value != nullptr && PyObject_TypeCheck(own, static_property) &&
        !PyObject_TypeCheck(value, static_property)) {
        return g_inherited_setattro(object, key, value);
    }
    PyObject* const special = _PyType_Lookup(Py_TYPE(type), key);
    if (special != nullptr && Py_TYPE(special)->tp_descr_set != nullptr) {
        PyObject* const types_own = PyDict_GetItemWithError(PyType_Type.tp_dict, key);
        if (PyErr_Occurred()) return -1;
        if (types_own != special ||
            PyUnicode_CompareWithASCIIString(key, "__abstractmethods__") == 0) {
            return g_inherited_setattro(object, key, value);
        }
    }
    auto* const heap = reinterpret_cast<PyHeapTypeObject*>(type);
    PyObject* const replaced = PyDict_GetItemWithError(type->tp_dict, key);
    if (replaced == nullptr && PyErr_Occurred()) return -1;
    const std::array<PyObject*, 3> held = {Py_XNewRef(replaced), Py_XNewRef(heap->ht_name),
                                           Py_XNewRef(heap->ht_qualname)};
    type->tp_flags &= ~Py_TPFLAGS_IMMUTABLETYPE;
    const int result = PyType_Type.tp_setattro(object, key, value);
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    for (PyObject* old : held) Py_XDECREF(old);
    return result;
}

int class_setattro(PyObject* object, PyObject* name, PyObject* value) {
    auto* const type = reinterpret_cast<PyTypeObject*>(object);
    if (!PyUnicode_Check(name)) return g_inherited_setattro(object, name, value);  // refuses
    if (PyUnicode_CompareWithASCIIString(name, "__bases__") == 0) return refuse_bases(type);
    if (PyUnicode_CompareWithASCIIString(name, "__new__") == 0 &&
        module_classes().count(type) != 0) {
        PyErr_Format(PyExc_TypeError,
                     "cannot %s '__new__' of %s: its objects are allocated only by a call of "
                     "the class, which constructs them.",
                     value != nullptr ? "set" : "delete", type->tp_name);
        return -1;
    }
    if ((type->tp_flags & Py_TPFLAGS_IMMUTABLETYPE) == 0) {
        return g_inherited_setattro(object, name, value);
    }
    // An exact, interned copy of the name: a str subclass could run Python code when hashed
    // or compared.
    PyObject* key = PyUnicode_FromObject(name);
    if (key == nullptr) return -1;
    PyUnicode_InternInPlace(&key);
    const int result = set_on_immutable(type, key, value);
    Py_DECREF(key);
    return result;
}

// The metaclass's `mro`: the interpreter's, refusing a new order for a class that has one
// already, which happens only when its bases (or a base's) are being changed through type's
// own __bases__ descriptor, past the set above. The change is then undone.
PyObject* keeping_mro(PyObject* cls, PyObject*) {
    PyObject* const computed = PyObject_CallOneArg(g_type_mro, cls);
    if (computed == nullptr) return nullptr;
    PyObject* const current = reinterpret_cast<PyTypeObject*>(cls)->tp_mro;
    if (current == nullptr) return computed;
    bool same = PyList_Check(computed) && PyTuple_Check(current) &&
                PyList_GET_SIZE(computed) == PyTuple_GET_SIZE(current);
    for (Py_ssize_t i = 0; same && i < PyTuple_GET_SIZE(current); ++i) {
        same = PyList_GET_ITEM(computed, i) == PyTuple_GET_ITEM(current, i);
    }
    if (same) return computed;
    Py_DECREF(computed);
    refuse_bases(reinterpret_cast<PyTypeObject*>(cls));
    return nullptr;
}

PyMethodDef g_mro_def = {"mro", &keeping_mro, METH_NOARGS,
                         "Return a type's method resolution order."};

// The module's metaclass: a subclass of the binding layer's metaclass `base` whose call marks
// the construction in progress. Made once.
void make_metaclass(py::handle base, py::handle module_name) {
    if (g_metaclass != nullptr) return;
    py::dict members;
    members["__module__"] = module_name;
    py::object meta = py::reinterpret_borrow<py::object>(reinterpret_cast<PyObject*>(&PyType_Type))(
        "vorna_type", py::make_tuple(base), members);
    auto* type = reinterpret_cast<PyTypeObject*>(meta.inc_ref().ptr());  // kept for the process
    g_instance_base = reinterpret_cast<PyTypeObject*>(py::detail::get_internals().instance_base);
    g_instance_dealloc = g_instance_base->tp_dealloc;
    g_inherited_call = type->tp_call;
    type->tp_call = &marking_call;
    g_inherited_new = type->tp_new;
    type->tp_new = &class_new;
    // Metaclasses derived from this one reach the slot through this __new__.
    py::setattr(meta, "__new__", interpreter_new_of(meta));
    g_inherited_setattro = type->tp_setattro;
    type->tp_setattro = &class_setattro;
    g_type_subclasses = PyDict_GetItemString(PyType_Type.tp_dict, "__subclasses__");
    g_type_mro = PyDict_GetItemString(PyType_Type.tp_dict, "mro");
    if (g_type_subclasses == nullptr || g_type_mro == nullptr) {
        throw std::logic_error("type has no __subclasses__ or mro.");
    }
    const auto mro = py::reinterpret_steal<py::object>(PyDescr_NewMethod(type, &g_mro_def));
    if (!mro) throw py::error_already_set();
    py::setattr(meta, "mro", mro);
    g_reduce_name = PyUnicode_InternFromString("__reduce__");
    if (g_reduce_name == nullptr) throw py::error_already_set();
    g_object_reduce = PyDict_GetItemWithError(PyBaseObject_Type.tp_dict, g_reduce_name);
    if (g_object_reduce == nullptr) {
        if (!PyErr_Occurred()) throw std::logic_error("object has no __reduce__.");
        throw py::error_already_set();
    }
    PyType_Modified(type);
    g_metaclass = type;
    guard_instance_base();
}

// The function object of a callable made by this module's binding code; null for any other
// callable. The record type is this module's own (another module's functions have records of
// another type), and the record object is the function's `self` for its whole life.
PyObject* own_function(py::handle callable) {
    const py::handle function = py::detail::get_function(callable);
    if (!function || !PyCFunction_Check(function.ptr())) return nullptr;
    PyObject* self = PyCFunction_GET_SELF(function.ptr());
    if (self == nullptr || Py_TYPE(self) != py::detail::get_function_record_PyTypeObject()) {
        return nullptr;
    }
    return function.ptr();
}

// Reads the binding layer's entry from a function made here, once.
void find_dispatcher() {
    if (g_dispatcher != nullptr) return;
    const py::cpp_function probe([] {});
    g_dispatcher = reinterpret_cast<Entry>(
        reinterpret_cast<void (*)()>(PyCFunction_GET_FUNCTION(probe.ptr())));
}

// Puts the guarded entry in the function's method definition. `label` names a method or
// accessor in refusals of its `self`.
void guard_callable(py::handle callable, const std::string& label = std::string()) {
    PyObject* function = callable ? own_function(callable) : nullptr;
    if (function == nullptr) return;
    find_dispatcher();
    PyObject* const record_object = PyCFunction_GET_SELF(function);
    const py::detail::function_record* const record =
        reinterpret_cast<py::detail::function_record_PyObject*>(record_object)->cpp_func_rec;
    PyMethodDef* const def = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
    if (!label.empty()) labels().emplace(record_object, label);
    if (def->ml_meth == as_method(&guarded_entry)) return;  // reached before, through another name
    // The definition is the one the binding layer made for this function's records (each
    // overload chain has one), and it calls the binding layer's entry.
    if (def != record->def || def->ml_meth != as_method(g_dispatcher) ||
        (def->ml_flags & ~METH_COEXIST) != (METH_FASTCALL | METH_KEYWORDS)) {
        throw std::logic_error(std::string("The bound function ") + def->ml_name +
                               " does not have the binding layer's method definition.");
    }
    if (record->is_method && !PyType_Check(record->scope.ptr())) {
        throw std::logic_error(std::string("The bound method ") + def->ml_name +
                               " does not belong to a class.");
    }
    def->ml_meth = as_method(&guarded_entry);
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
    auto* const type = reinterpret_cast<PyTypeObject*>(cls.ptr());
    const py::dict members = py::dict(cls.attr("__dict__"));
    const std::string qualname = py::str(cls.attr("__qualname__"));
    refuse_value_storage_of(type);
    // Unpickling at protocol 2 and above makes the object with the slot alone and constructs
    // it in __setstate__, so classes that can be unpickled (the enumerations) keep the binding
    // layer's allocation.
    const bool unpickles = members.contains("__setstate__");
    if (!unpickles) {
        // The slot first: the interpreter's __new__ keeps the slot the type has.
        type->tp_new = &guarded_tp_new;
        py::setattr(cls, "__new__", interpreter_new_of(cls));
    }
    const auto reduce_ex = py::reinterpret_steal<py::object>(
        PyDescr_NewMethod(type, unpickles ? &g_enum_reduce_ex_def : &g_refuse_reduce_ex_def));
    if (!reduce_ex) throw py::error_already_set();
    py::setattr(cls, "__reduce_ex__", reduce_ex);
    for (const auto item : members) {
        const py::handle value = item.second;
        if (is_bound_class(value)) {
            guard_class(value, module_name);
        } else if (PyObject_TypeCheck(value.ptr(), &PyProperty_Type)) {
            const std::string name = qualname + "." + py::str(item.first).cast<std::string>();
            guard_callable(value.attr("fget"), "The getter of " + name);
            guard_callable(value.attr("fset"), "The setter of " + name);
        } else if (PyObject_TypeCheck(value.ptr(), &PyStaticMethod_Type)) {
            guard_callable(value.attr("__func__"));
        } else {
            guard_callable(value, qualname + "." + py::str(item.first).cast<std::string>() + "()");
        }
    }
    // All classes of the module share one layout, so Python would let an object change its
    // class to any other of them (and bound code then read it as the other class's value); it
    // refuses that for immutable types. Set last: from here on, attributes of the class are set
    // through the metaclass, which refuses a new __new__.
    type->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
    PyType_Modified(type);
    module_classes().insert(type);
}

void guard_module(py::module_& m) {
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
            if (name.rfind(prefix, 0) == 0) guard_module(sub);
        }
    }
}

}  // namespace

void guard_function_arguments(py::handle function) { guard_callable(function); }

void refuse_without_value(py::handle object, const std::type_info& bound) {
    if (!object || !is_unconstructed(object.ptr())) return;
    const py::detail::type_info* const info = py::detail::get_type_info(bound);
    throw py::type_error(std::string(info != nullptr ? info->type->tp_name : bound.name()) +
                         " object is not initialised: its __init__() has not been called.");
}

void guard_uninitialised_instances(py::module_& m) {
    guard_module(m);
    // Immutable once the classes have it, so that none of them can be given another metaclass.
    // Final too: a derived metaclass would inherit the binding layer's call and set rather than
    // the ones above, and could give its classes an order of bases their objects' values do
    // not follow.
    if (g_metaclass != nullptr) {
        g_metaclass->tp_flags |= Py_TPFLAGS_IMMUTABLETYPE;
        g_metaclass->tp_flags &= ~Py_TPFLAGS_BASETYPE;
        PyType_Modified(g_metaclass);
    }
}

}  // namespace vorna::python
