#pragma once

// Sequence arguments of the classes held by shared pointer (Layer and others).
//
// The binding layer converts an element of such a sequence with the holder's conversion, which
// fails with its own internal error for an object whose value was never constructed (the
// `self` a failing subclass __init__ leaked). A parameter of type HeldList<T> takes the same
// sequences as std::vector<std::shared_ptr<T>> (and is one), and refuses such an element with
// the TypeError the module gives everywhere else for an object without its value.

#include <pybind11/stl.h>

#include <memory>
#include <typeinfo>
#include <vector>

#include "python/pybind11_version_py.h"

namespace vorna::python {

namespace py = pybind11;

template <class T>
struct HeldList : std::vector<std::shared_ptr<T>> {};

// One element of a HeldList while it is converted.
template <class T>
struct HeldElement : std::shared_ptr<T> {};

// Throws the TypeError "<class of T> object is not initialised: ..." when `object` is an object
// of the module's classes whose value was never constructed; returns otherwise.
void refuse_without_value(py::handle object, const std::type_info& bound);

}  // namespace vorna::python

namespace pybind11::detail {

template <class T>
struct type_caster<vorna::python::HeldElement<T>> {
    using Holder = make_caster<std::shared_ptr<T>>;
    PYBIND11_TYPE_CASTER(vorna::python::HeldElement<T>, Holder::name);

    bool load(handle src, bool convert) {
        Holder holder;
        try {
            if (!holder.load(src, convert)) return false;
        } catch (const cast_error&) {
            // The holder's conversion throws for an object without a constructed holder.
            vorna::python::refuse_without_value(src, typeid(T));
            throw;
        }
        static_cast<std::shared_ptr<T>&>(value) = cast_op<std::shared_ptr<T>&>(holder);
        return true;
    }

    static handle cast(const std::shared_ptr<T>& src, return_value_policy policy, handle parent) {
        return Holder::cast(src, policy, parent);
    }
};

template <class T>
struct type_caster<vorna::python::HeldList<T>>
    : list_caster<vorna::python::HeldList<T>, vorna::python::HeldElement<T>> {};

}  // namespace pybind11::detail
