#pragma once
// Tags resolved to positions once.
//
// A block that reads or writes tag dictionaries (simulator inputs and
// outputs, named results) resolves its tags when it is built; per sample it
// works on positions, and builds its output dictionaries from the interned
// key objects it keeps, so no key is created or hashed anew.

#include <nanobind/nanobind.h>

#include <cstddef>
#include <optional>
#include <span>
#include <vector>

#include "conventions.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

class TagIndex {
public:
    TagIndex() = default;

    // Fixed names known to the binding.
    explicit TagIndex(std::span<const char* const> names) {
        for (const char* name : names) add(nb::steal(PyUnicode_InternFromString(name)));
    }

    // The items of a list of tags, in order (a repeated tag is kept once).
    static TagIndex of_items(nb::handle list) {
        if (!PyList_Check(list.ptr())) throw nb::type_error("expected a list of tags");
        const nb::object items = nb::steal(PySequence_List(list.ptr()));  // a snapshot
        if (!items.is_valid()) throw nb::python_error();
        TagIndex index;
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i)
            index.add(interned(nb::borrow(PyList_GET_ITEM(items.ptr(), i))));
        return index;
    }

    std::size_t size() const noexcept { return keys_.size(); }
    nb::handle key(std::size_t i) const noexcept { return keys_[i]; }

    // The position of `tag`, or none.
    std::optional<std::size_t> find(nb::handle tag) const {
        PyObject* position = PyDict_GetItemWithError(positions_.ptr(), tag.ptr());  // borrowed
        if (position == nullptr) {
            if (PyErr_Occurred()) throw nb::python_error();
            return std::nullopt;
        }
        return PyLong_AsSize_t(position);
    }

    // {tag: value} in tag order, one new float per value.
    nb::dict make_dict(std::span<const double> values) const {
        nb::dict out;
        for (std::size_t i = 0; i < keys_.size() && i < values.size(); ++i) {
            const nb::object value = nb::steal(PyFloat_FromDouble(values[i]));
            if (!value.is_valid() || PyDict_SetItem(out.ptr(), keys_[i].ptr(), value.ptr()) != 0)
                throw nb::python_error();
        }
        return out;
    }

    // {tag: object} in tag order.
    nb::dict make_dict(std::span<const nb::object> values) const {
        nb::dict out;
        for (std::size_t i = 0; i < keys_.size() && i < values.size(); ++i) {
            if (PyDict_SetItem(out.ptr(), keys_[i].ptr(), values[i].ptr()) != 0) throw nb::python_error();
        }
        return out;
    }

    // Reads the values of the known tags found in `dict` into `out` by
    // position; missing tags leave `out` as it was. A value that is no
    // number is refused with TypeError naming its tag. Callers that must
    // change nothing on a refusal read into a scratch copy.
    void read(nb::handle dict, std::span<double> out) const {
        for (std::size_t i = 0; i < keys_.size() && i < out.size(); ++i) {
            PyObject* found = PyDict_GetItemWithError(dict.ptr(), keys_[i].ptr());
            if (found == nullptr) {
                if (PyErr_Occurred()) throw nb::python_error();
                continue;
            }
            if (PyFloat_CheckExact(found)) {
                out[i] = PyFloat_AS_DOUBLE(found);
                continue;
            }
            const nb::object held = nb::borrow(found);  // converting may run code that drops the entry
            if (!to_double(held.ptr(), out[i])) {
                if (PyErr_ExceptionMatches(PyExc_TypeError)) name_tag_in_type_error(keys_[i]);
                throw nb::python_error();
            }
        }
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(positions_);
        for (const nb::object& key : keys_) visit(key);
    }

private:
    static void name_tag_in_type_error(nb::handle tag) {
        const nb::object raised = nb::steal(PyErr_GetRaisedException());
        const nb::object text = nb::steal(PyObject_Str(raised.ptr()));
        if (!text.is_valid()) return;  // the new error (from str()) is set instead
        PyErr_Format(PyExc_TypeError, "%R: %U", tag.ptr(), text.ptr());
    }

    // A str key interned, so that callers' literal tags match by identity.
    static nb::object interned(nb::object key) {
        if (!PyUnicode_CheckExact(key.ptr())) return key;
        PyObject* text = key.release().ptr();
        PyUnicode_InternInPlace(&text);
        return nb::steal(text);
    }

    void add(nb::object key) {
        if (!key.is_valid()) throw nb::python_error();
        const nb::object position = nb::steal(PyLong_FromSize_t(keys_.size()));
        if (!position.is_valid()) throw nb::python_error();
        const int present = PyDict_Contains(positions_.ptr(), key.ptr());
        if (present < 0) throw nb::python_error();
        if (present) return;  // the first position of a repeated tag
        if (PyDict_SetItem(positions_.ptr(), key.ptr(), position.ptr()) != 0) throw nb::python_error();
        keys_.push_back(std::move(key));
    }

    nb::dict positions_;
    std::vector<nb::object> keys_;
};

}  // namespace ovelin::binding
