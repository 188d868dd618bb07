#pragma once
// NumPy arrays at the edges of the bindings. NumPy is imported when an array
// is first needed, never when a module loads.

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <span>
#include <stdexcept>
#include <utility>
#include <vector>

#include "ovelin/memory.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

using Float64Array = nb::ndarray<nb::numpy, double, nb::ndim<1>>;
using Float64View = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// `values` as a C-contiguous 1-D float64 NumPy array (a scalar becomes one
// element). Conversion errors are NumPy's own (ValueError, TypeError).
inline Float64View as_float64_array(nb::handle values) {
    if (values.is_none()) throw nb::type_error("expected a sequence of numbers, got None");
    const nb::module_ numpy = nb::module_::import_("numpy");
    const nb::object array =
        numpy.attr("ascontiguousarray")(numpy.attr("atleast_1d")(values), nb::arg("dtype") = "float64");
    // NumPy may be patched by the caller: what came back is checked, not trusted.
    nb::ndarray<const double, nb::c_contig, nb::device::cpu> any_shape;
    if (!nb::try_cast(array, any_shape, false)) {
        PyErr_Format(PyExc_TypeError, "expected a sequence of numbers, got %.200s", Py_TYPE(values.ptr())->tp_name);
        throw nb::python_error();
    }
    if (any_shape.ndim() != 1) throw nb::value_error("expected a one-dimensional sequence of numbers");
    Float64View view;
    if (!nb::try_cast(array, view, false)) throw nb::type_error("expected a sequence of numbers");
    return view;
}

inline std::vector<double> as_float64_vector(nb::handle values) {
    const Float64View view = as_float64_array(values);
    return std::vector<double>(view.data(), view.data() + view.shape(0));
}

using Float64Out = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A new, uninitialised float64 NumPy array of `size` elements and a writable
// view of its data.
inline std::pair<nb::object, Float64Out> new_numpy_array(std::size_t size) {
    ovelin::require_memory(size, sizeof(double), "the array");
    nb::object array = nb::module_::import_("numpy").attr("empty")(size, nb::arg("dtype") = "float64");
    Float64Out view;
    if (!nb::try_cast(array, view, false) || view.shape(0) != size)
        throw nb::type_error("numpy.empty did not return a float64 array");
    return {array, view};
}

inline nb::object to_numpy(std::span<const double> values) {
    auto [array, view] = new_numpy_array(values.size());
    std::copy(values.begin(), values.end(), view.data());
    return array;
}

// A new tuple or list (Sequence) of the floats of any sized, indexable run
// of doubles.
template <class Sequence, class Values>
Sequence float_sequence(const Values& values) {
    constexpr bool list = std::is_same_v<Sequence, nb::list>;
    const auto size = static_cast<Py_ssize_t>(values.size());
    const nb::object items = nb::steal(list ? PyList_New(size) : PyTuple_New(size));
    if (!items.is_valid()) throw nb::python_error();
    for (Py_ssize_t i = 0; i < size; ++i) {
        PyObject* value = PyFloat_FromDouble(values[static_cast<std::size_t>(i)]);
        if (value == nullptr) throw nb::python_error();
        if constexpr (list)
            PyList_SET_ITEM(items.ptr(), i, value);
        else
            PyTuple_SET_ITEM(items.ptr(), i, value);
    }
    return nb::borrow<Sequence>(items);
}

// A tuple of floats: how coefficient and state arrays travel in pickles.
template <class Values>
nb::tuple to_tuple(const Values& values) {
    return float_sequence<nb::tuple>(values);
}

template <class Values>
nb::list float_list(const Values& values) {
    return float_sequence<nb::list>(values);
}

}  // namespace ovelin::binding
