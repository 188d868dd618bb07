#pragma once
// Versioned pickling of blocks, restored all or nothing.
//
// A pickled state is the tuple (format, fields..., instance dictionary).
// __setstate__ reads and validates every field into a local block first; the
// instance is built in place only as the last step, which cannot fail. A
// refused state raises TypeError or ValueError naming the field, leaks
// nothing and leaves the instance uninitialised.
//
//     def_pickle<Block>(cls, "PID", 12, get_state, build_from_state);
//     nb::tuple get_state(Self<Block> self)   -> pickled_state(self.py, fields...)
//     Block build_from_state(const StateReader& state)

#include <nanobind/nanobind.h>

#include <cstddef>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

#include "conventions.hpp"
#include "instance.hpp"
#include "kept_value.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

// The format number that starts every pickled state. Raise it when a block's
// fields change, and read the older formats on.
inline constexpr long kStateFormat = 1;

inline nb::object instance_dict(nb::handle self) {
    nb::object dict = nb::steal(PyObject_GenericGetDict(self.ptr(), nullptr));
    if (!dict.is_valid()) throw nb::python_error();
    return dict;
}

template <class... Fields>
nb::tuple pickled_state(nb::handle self, Fields&&... fields) {
    return nb::make_tuple(kStateFormat, std::forward<Fields>(fields)..., instance_dict(self));
}

// Reads the fields of a pickled state, each refused with a message that
// names the block and the field.
class StateReader {
public:
    StateReader(nb::handle state, const char* block, std::size_t fields) : state_(state), block_(block) {
        if (!PyTuple_CheckExact(state.ptr())) fail(PyExc_TypeError, "must be a tuple, not '%s'", type_name(state));
        const Py_ssize_t size = PyTuple_GET_SIZE(state.ptr());
        if (size != static_cast<Py_ssize_t>(fields + 2))
            fail(PyExc_ValueError, "must have %zu items, not %zd", fields + 2, size);
        PyObject* format = PyTuple_GET_ITEM(state.ptr(), 0);
        if (!PyLong_CheckExact(format) || PyLong_AsLong(format) != kStateFormat) {
            PyErr_Clear();
            fail(PyExc_ValueError, "has an unknown format (expected %ld)", kStateFormat);
        }
        PyObject* dict = PyTuple_GET_ITEM(state.ptr(), size - 1);
        if (!PyDict_CheckExact(dict))
            fail(PyExc_TypeError, "must end with the instance dictionary, not '%s'", type_name(dict));
        dict_ = dict;
    }

    // Field i (0 is the first after the format number), as it is.
    nb::handle object(std::size_t i) const { return PyTuple_GET_ITEM(state_.ptr(), static_cast<Py_ssize_t>(i) + 1); }

    double number(std::size_t i, const char* name) const {
        nb::handle item = object(i);
        if (!PyFloat_CheckExact(item.ptr())) fail_field(PyExc_TypeError, name, "a float", item);
        return PyFloat_AS_DOUBLE(item.ptr());
    }

    bool flag(std::size_t i, const char* name) const {
        nb::handle item = object(i);
        if (!PyBool_Check(item.ptr())) fail_field(PyExc_TypeError, name, "a bool", item);
        return item.ptr() == Py_True;
    }

    // A tuple of floats; `size` checks the length where it is fixed.
    std::vector<double> numbers(std::size_t i, const char* name, std::optional<std::size_t> size = {}) const {
        const nb::handle item = object(i);
        if (!PyTuple_CheckExact(item.ptr())) fail_field(PyExc_TypeError, name, "a tuple of floats", item);
        const Py_ssize_t count = PyTuple_GET_SIZE(item.ptr());
        if (size && count != static_cast<Py_ssize_t>(*size))
            fail(PyExc_ValueError, "'%s' must have %zu items, not %zd", name, *size, count);
        std::vector<double> values;
        values.reserve(static_cast<std::size_t>(count));
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* value = PyTuple_GET_ITEM(item.ptr(), k);
            if (!PyFloat_CheckExact(value)) fail_field(PyExc_TypeError, name, "a tuple of floats", value);
            values.push_back(PyFloat_AS_DOUBLE(value));
        }
        return values;
    }

    // None, or a tuple of floats.
    std::optional<std::vector<double>> optional_numbers(std::size_t i, const char* name,
                                                        std::optional<std::size_t> size = {}) const {
        if (object(i).is_none()) return std::nullopt;
        return numbers(i, name, size);
    }

    // A value written by KeptFloat::to_state.
    KeptFloat kept(std::size_t i, const char* name) const {
        const nb::handle item = object(i);
        if (item.is_none()) return KeptFloat{};
        if (!PyTuple_CheckExact(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2 ||
            !PyFloat_CheckExact(PyTuple_GET_ITEM(item.ptr(), 0)))
            fail_field(PyExc_TypeError, name, "None or a (float, object) pair", item);
        return KeptFloat::restored(PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(item.ptr(), 0)), PyTuple_GET_ITEM(item.ptr(), 1));
    }

    // The same, refused when it was saved open (None).
    KeptFloat known(std::size_t i, const char* name) const {
        KeptFloat value = kept(i, name);
        if (!value.known()) fail(PyExc_ValueError, "field '%s' must not be None", name);
        return value;
    }

    // An instance of the bound block type U, initialised.
    template <class U>
    nb::object block(std::size_t i, const char* name) const {
        const nb::handle item = object(i);
        if (!is_ready_instance<U>(item)) {
            const nb::object expected = nb::steal(PyType_GetName(bound_type<U>));
            if (!expected.is_valid()) throw nb::python_error();
            fail(PyExc_TypeError, "'%s' must be an initialised %U, not '%s'", name, expected.ptr(), type_name(item));
        }
        return nb::borrow(item);
    }

    nb::handle saved_dict() const { return dict_; }

    // Runs `check`, which hands field values to the core; an error of the
    // core becomes a refusal of the field.
    template <class Check>
    decltype(auto) validated(const char* name, Check&& check) const {
        try {
            return check();
        } catch (const ovelin::Error& e) {
            fail(PyExc_ValueError, "field '%s' is invalid: %s", name, e.what());
        }
    }

    // Refuses the state with a message about the block (printf-style).
    template <class... Args>
    [[noreturn]] void fail(PyObject* kind, const char* format, Args... args) const {
        const nb::object detail = nb::steal(PyUnicode_FromFormat(format, args...));
        if (!detail.is_valid()) throw nb::python_error();
        PyErr_Format(kind, "%s state %U", block_, detail.ptr());
        throw nb::python_error();
    }

private:
    static const char* type_name(nb::handle obj) { return Py_TYPE(obj.ptr())->tp_name; }

    [[noreturn]] void fail_field(PyObject* kind, const char* name, const char* expected, nb::handle given) const {
        fail(kind, "field '%s' must be %s, not '%s'", name, expected, type_name(given));
    }

    nb::handle state_;
    const char* block_;
    nb::handle dict_;
};

// Builds the block from the state and only then places it in `self`.
template <class T, class Build>
void restore(nb::handle self, nb::handle state, const char* block_name, std::size_t fields, const Build& build) {
    static_assert(std::is_nothrow_move_constructible_v<T>, "the last step of a restore must not fail");
    if (!is_instance<T>(self.ptr())) raise_foreign_self("__setstate__", bound_type<T>, self);
    const auto refuse_if_ready = [&] {
        if (nb::inst_ready(self)) {
            PyErr_Format(PyExc_TypeError, "'%s' object is already initialized", block_name);
            throw nb::python_error();
        }
    };
    refuse_if_ready();
    const nb::object held = nb::borrow(state);  // the fields stay alive while they are read
    const StateReader reader(held, block_name, fields);
    T block = build(reader);
    // The attributes are merged into a copy, which replaces the instance
    // dictionary only once nothing can fail any more.
    const nb::object dict = nb::steal(PyDict_Copy(instance_dict(self).ptr()));
    if (!dict.is_valid() || PyDict_Update(dict.ptr(), reader.saved_dict().ptr()) != 0) throw nb::python_error();
    // Reading the state and merging may have run Python code that restored `self` already.
    refuse_if_ready();
    new (nb::inst_ptr<T>(self)) T(std::move(block));
    nb::inst_mark_ready(self);
    // Cannot fail for a dict; releasing the old one may run Python code, but the block is whole.
    if (PyObject_GenericSetDict(self.ptr(), dict.ptr(), nullptr) != 0) throw nb::python_error();
}

// A new instance of T built from a pickled state (an inner block that
// travels inside its owner's state).
template <class T, class Build>
nb::object restored_instance(nb::handle state, const char* block_name, std::size_t fields, const Build& build) {
    const nb::object held = nb::borrow(state);
    const StateReader reader(held, block_name, fields);
    T block = build(reader);
    const nb::object attributes = nb::steal(PyDict_Copy(reader.saved_dict().ptr()));
    if (!attributes.is_valid()) throw nb::python_error();
    nb::object obj = new_instance<T>(std::move(block));
    if (PyObject_GenericSetDict(obj.ptr(), attributes.ptr(), nullptr) != 0) throw nb::python_error();
    return obj;
}

template <class T, class... Bases, class Get, class Build>
void def_pickle(nb::class_<T, Bases...>& cls, const char* block_name, std::size_t fields, Get get, Build build) {
    cls.def("__getstate__", checked<T>("__getstate__", std::move(get)),
            "The block's state as a tuple, for pickling and copying.");
    cls.def(
        "__setstate__",
        [block_name, fields, build = std::move(build)](nb::handle self, nb::handle state) {
            restore<T>(self, state, block_name, fields, build);
        },
        nb::sig("def __setstate__(self, state: tuple, /) -> None"), nb::arg("state").none(),
        "Restores a state made by __getstate__ into a block that is not yet built.");
}

}  // namespace ovelin::binding
