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

namespace ovelin::binding {

namespace nb = nanobind;

using Float64Array = nb::ndarray<nb::numpy, double, nb::ndim<1>>;
using Float64View = nb::ndarray<const double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// `values` as a C-contiguous 1-D float64 NumPy array (a scalar becomes one
// element). Conversion errors are NumPy's own (ValueError, TypeError).
inline Float64View as_float64_array(nb::handle values) {
    if (values.is_none()) throw nb::type_error("expected a sequence of numbers, got None");
    nb::module_ numpy = nb::module_::import_("numpy");
    nb::object array = numpy.attr("ascontiguousarray")(numpy.attr("atleast_1d")(values), nb::arg("dtype") = "float64");
    if (nb::cast<int>(array.attr("ndim")) != 1)
        throw std::invalid_argument("expected a one-dimensional sequence of numbers");
    return nb::cast<Float64View>(array);
}

inline std::vector<double> as_float64_vector(nb::handle values) {
    const Float64View view = as_float64_array(values);
    return std::vector<double>(view.data(), view.data() + view.shape(0));
}

using Float64Out = nb::ndarray<double, nb::ndim<1>, nb::c_contig, nb::device::cpu>;

// A new, uninitialised float64 NumPy array of `size` elements and a writable
// view of its data.
inline std::pair<nb::object, Float64Out> new_numpy_array(std::size_t size) {
    nb::object array = nb::module_::import_("numpy").attr("empty")(size, nb::arg("dtype") = "float64");
    return {array, nb::cast<Float64Out>(array)};
}

inline nb::object to_numpy(std::span<const double> values) {
    auto [array, view] = new_numpy_array(values.size());
    std::copy(values.begin(), values.end(), view.data());
    return array;
}

// A tuple of floats: how coefficient and state arrays travel in pickles.
inline nb::tuple to_tuple(std::span<const double> values) {
    nb::list items;
    for (const double v : values) items.append(v);
    return nb::tuple(items);
}

}  // namespace ovelin::binding
