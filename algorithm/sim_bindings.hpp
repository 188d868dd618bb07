#pragma once
// Small helpers shared by the simulator bindings (processsim, lpvplant):
// copies, dictionary checks, float lists, saved numbers and per-call
// scratch buffers.

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cstddef>
#include <memory>
#include <new>
#include <span>
#include <vector>

#include "arrays.hpp"
#include "conventions.hpp"
#include "pickle.hpp"
#include "tag_index.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

inline nb::object deep_copy(nb::handle obj) {
    return nb::module_::import_("copy").attr("deepcopy")(obj);
}

// Any dict, subclasses included, as the simulators take their tag dictionaries.
inline void require_dict(nb::handle obj, const char* name) {
    if (!PyDict_Check(obj.ptr())) raise_incorrect_type(name, &PyDict_Type, obj);
}

// The keys of a dict, as a new list.
inline nb::list keys_of(nb::handle dict) {
    return nb::borrow<nb::list>(checked_result(nb::steal(PyDict_Keys(dict.ptr())), &PyList_Type, "keys"));
}

// A new list with the items of `list` (a snapshot: no caller holds our own).
inline nb::list copy_of(nb::handle list) {
    PyObject* copy = PySequence_List(list.ptr());
    if (copy == nullptr) throw nb::python_error();
    return nb::steal<nb::list>(copy);
}

// {tag: value} of values kept as the caller gave them, copied so that the
// caller shares nothing with the block (ints and floats need no copy).
inline nb::dict kept_values_copy(const TagIndex& tags, std::span<const nb::object> values) {
    nb::dict out = tags.make_dict(values);
    for (const nb::object& v : values)
        if (!PyFloat_CheckExact(v.ptr()) && !PyLong_CheckExact(v.ptr())) return nb::borrow<nb::dict>(deep_copy(out));
    return out;
}

// A tuple of exact floats in a saved state; refuses anything else naming `what`.
inline std::vector<double> saved_floats(const StateReader& state, nb::handle tuple, const char* what) {
    if (!PyTuple_CheckExact(tuple.ptr())) state.fail(PyExc_TypeError, "field '%s' must be a tuple of floats", what);
    std::vector<double> out;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(tuple.ptr()); ++j) {
        PyObject* v = PyTuple_GET_ITEM(tuple.ptr(), j);
        if (!PyFloat_CheckExact(v)) state.fail(PyExc_TypeError, "field '%s' must be a tuple of floats", what);
        out.push_back(PyFloat_AS_DOUBLE(v));
    }
    return out;
}

// A tuple of numbers in a saved state, kept as the objects given; refuses
// anything without a float value naming `what`.
inline std::vector<nb::object> saved_numbers(const StateReader& state, nb::handle tuple, const char* what) {
    if (!PyTuple_CheckExact(tuple.ptr())) state.fail(PyExc_TypeError, "field '%s' must be a tuple of numbers", what);
    const nb::object held = nb::borrow(tuple);
    std::vector<nb::object> out;
    for (Py_ssize_t j = 0; j < PyTuple_GET_SIZE(held.ptr()); ++j) {
        const nb::object v = nb::borrow(PyTuple_GET_ITEM(held.ptr(), j));
        double unused;
        if (!to_double(v.ptr(), unused)) {
            PyErr_Clear();
            state.fail(PyExc_TypeError, "field '%s' must be a tuple of numbers", what);
        }
        out.push_back(v);
    }
    return out;
}

// A per-call buffer of `size` value-initialised elements (0, null): on the
// stack for small simulators, on the heap beyond. Only the elements in use
// are initialised, so a small simulator pays for its own size. Each call has
// its own, so a re-entrant call cannot disturb it.
template <class T, std::size_t N>
class Scratch {
public:
    explicit Scratch(std::size_t size) : size_(size) {
        if (size > N)
            heap_.resize(size);
        else
            std::uninitialized_value_construct_n(stack(), size);
    }
    ~Scratch() {
        if (size_ <= N) std::destroy_n(stack(), size_);
    }
    Scratch(const Scratch&) = delete;
    Scratch& operator=(const Scratch&) = delete;

    std::span<T> span() { return size_ > N ? std::span<T>(heap_) : std::span<T>(stack(), size_); }

private:
    T* stack() { return std::launder(reinterpret_cast<T*>(storage_)); }

    std::size_t size_;
    alignas(T) std::byte storage_[N * sizeof(T)];
    std::vector<T> heap_;
};

}  // namespace ovelin::binding
