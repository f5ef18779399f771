#pragma once

// Python enumerations of the module. Each `register_*_enum` helper creates one enum type in
// the given scope with its name and docstring and returns it; the caller adds the members in
// its own order and exports them. The `register_*` functions without the suffix build a whole
// enum of the module body (type, members, export).
//
// Every enum is a py::enum_ over a scoped C++ enumeration, which gives it: a constructor from
// any int (`value`), `value`, `name` ("???" for an int that names no member), `__int__`,
// `__index__`, "<T.name: v>" as repr and "T.name" as str, equality only with members of the
// same type, the value as hash, `__members__` in registration order, a generated `__doc__`,
// and `__getstate__`/`__setstate__`. No ordering or arithmetic is defined, and arguments
// typed as the enum accept only its members, never plain ints.

#include <pybind11/pybind11.h>

#include "backend/hw.h"
#include "corelib/types.h"
#include "python/pybind11_version_py.h"

namespace vorna::python {

namespace py = pybind11;

// "LayerType", docstring "The layer type".
py::enum_<LayerType> register_layer_type_enum(py::handle scope);
// Adds the LayerType members (StatefulRecurrent before Dense1D) and exports them.
void add_layer_type_members(py::enum_<LayerType>& type);

// "Padding", with its docstring on the effective input padding.
py::enum_<Padding> register_padding_enum(py::handle scope);
// Adds Valid, Same and SameUpper with their docstrings and exports them.
void add_padding_members(py::enum_<Padding>& type);

// "Type" of the NP submodule, docstring "Harwdare Component type". Its members are added by
// the registration of the hardware description classes.
py::enum_<hw::Type> register_hw_type_enum(py::handle scope);

// "IpVersion", docstring "The reference Vorna IP version".
py::enum_<IpVersion> register_ip_version_enum(py::handle scope);

// The enum BackendType of the module (Software, Hardware, Hybrid), exported.
void register_backend_type(py::module_& m);

// The enum IpVersion of the module (none, v1, v2, mote), exported.
void register_ip_version(py::module_& m);

}  // namespace vorna::python
