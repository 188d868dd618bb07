#pragma once
// Tags resolved to positions once.
//
// A block that reads or writes tag dictionaries (simulator inputs and
// outputs, named results) resolves its tags when it is built; per sample it
// works on positions, and builds its output dictionaries from the interned
// key objects it keeps, so no key is created or hashed anew.
//
// A tag may be any hashable object, whose __hash__ and __eq__ run Python
// code during a dictionary lookup; that code may call the block again and
// change or replace its index. So every lookup holds the dictionary and the
// key it uses, and walks the keys by position, re-reading them each time.
// An index only grows: a position, once given, keeps its meaning.

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
            index.add(nb::borrow(PyList_GET_ITEM(items.ptr(), i)));
        return index;
    }

    std::size_t size() const noexcept { return keys_.size(); }
    const nb::object& key(std::size_t i) const noexcept { return keys_[i]; }

    // The keys in order, held by the caller: hashing a key that is not an
    // exact str may run code that changes this index.
    std::vector<nb::object> snapshot() const { return keys_; }

    // Adds `tag` at the end unless it is known; returns its position.
    std::size_t add(nb::object tag) {
        if (!tag.is_valid()) throw nb::python_error();
        tag = interned(std::move(tag));
        if (const std::optional<std::size_t> known = find(tag)) return *known;
        // Storing the tag compares it with colliding keys, which may run code
        // that adds tags too; a position taken before would then be wrong.
        if (adding_) {
            PyErr_SetString(PyExc_RuntimeError, "tags cannot be added while a tag is being added");
            throw nb::python_error();
        }
        const AddingScope scope(adding_);
        const nb::object position = nb::steal(PyLong_FromSize_t(keys_.size()));
        if (!position.is_valid()) throw nb::python_error();
        const nb::dict positions = positions_;
        const int present = PyDict_Contains(positions.ptr(), tag.ptr());
        if (present < 0) throw nb::python_error();
        if (present) return *find(tag);
        if (PyDict_SetItem(positions.ptr(), tag.ptr(), position.ptr()) != 0) throw nb::python_error();
        all_exact_str_ = all_exact_str_ && PyUnicode_CheckExact(tag.ptr());
        keys_.push_back(std::move(tag));
        return keys_.size() - 1;
    }

    // The position of `tag`, or none.
    std::optional<std::size_t> find(nb::handle tag) const {
        const nb::dict positions = positions_;  // held: comparing keys may replace ours
        const nb::object held_tag = nb::borrow(tag);
        PyObject* found = PyDict_GetItemWithError(positions.ptr(), held_tag.ptr());
        if (found == nullptr) {
            if (PyErr_Occurred()) throw nb::python_error();
            return std::nullopt;
        }
        return PyLong_AsSize_t(found);  // a small exact int: reading it runs no code
    }

    // {tag: value} in tag order, one new float per value.
    nb::dict make_dict(std::span<const double> values) const {
        if (all_exact_str_) return make_dict_of(keys_, values);
        const std::vector<double> held(values.begin(), values.end());
        return make_dict_of(snapshot(), std::span<const double>(held));
    }

    // {tag: object} in tag order.
    nb::dict make_dict(std::span<const nb::object> values) const {
        if (all_exact_str_) return make_dict_of(keys_, values);
        const std::vector<nb::object> held(values.begin(), values.end());
        return make_dict_of(snapshot(), std::span<const nb::object>(held));
    }

    // Reads the values of the known tags found in `dict`: each value into
    // `out` converted to a double, the caller's object into `objects` (when
    // given), and `given` set (when given); a missing tag leaves all three
    // as they were. A value without a float value is refused with TypeError
    // naming its tag: "<tag>: <reason>" or, with `what`, "<what> of <tag>
    // must be a number, not '<type>'". Callers that must change nothing on a
    // refusal read into scratch buffers.
    void read(nb::handle dict, std::span<double> out, std::span<nb::object> objects = {},
              std::span<unsigned char> given = {}, const char* what = nullptr) const {
        const nb::object held_dict = nb::borrow(dict);
        for (std::size_t i = 0; i < keys_.size() && i < out.size(); ++i) {
            const nb::object tag = keys_[i];  // held: the lookup may run code that changes this index
            PyObject* found = PyDict_GetItemWithError(held_dict.ptr(), tag.ptr());
            if (found == nullptr) {
                if (PyErr_Occurred()) throw nb::python_error();
                continue;
            }
            if (PyFloat_CheckExact(found)) {  // read without running code: nothing to hold
                out[i] = PyFloat_AS_DOUBLE(found);
                if (i < objects.size()) objects[i] = nb::borrow(found);
            } else {
                nb::object value = nb::borrow(found);  // converting may run code that drops the entry
                if (!to_double(value.ptr(), out[i])) {
                    if (PyErr_ExceptionMatches(PyExc_TypeError)) name_tag_in_type_error(tag, value, what);
                    throw nb::python_error();
                }
                if (i < objects.size()) objects[i] = std::move(value);
            }
            if (i < given.size()) given[i] = 1;
        }
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(positions_);
        for (const nb::object& key : keys_) visit(key);
    }

private:
    static void name_tag_in_type_error(nb::handle tag, nb::handle value, const char* what) {
        const nb::object raised = nb::steal(PyErr_GetRaisedException());
        if (what != nullptr) {
            PyErr_Format(PyExc_TypeError, "%s of %R must be a number, not '%s'", what, tag.ptr(),
                         Py_TYPE(value.ptr())->tp_name);
            return;
        }
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

    // Building a dictionary with keys that are not all exact str (whose hash
    // runs no code) works on snapshots of the keys and of the values.
    template <class Values>
    static nb::dict make_dict_of(const std::vector<nb::object>& keys, Values values) {
        nb::dict out;
        for (std::size_t i = 0; i < keys.size() && i < values.size(); ++i) {
            if (PyDict_SetItem(out.ptr(), keys[i].ptr(), value_object(values[i]).ptr()) != 0) throw nb::python_error();
        }
        return out;
    }
    static nb::object value_object(double value) {
        nb::object number = nb::steal(PyFloat_FromDouble(value));
        if (!number.is_valid()) throw nb::python_error();
        return number;
    }
    static const nb::object& value_object(const nb::object& value) { return value; }

    struct AddingScope {
        explicit AddingScope(bool& flag) noexcept : flag_(flag) { flag_ = true; }
        ~AddingScope() { flag_ = false; }
        bool& flag_;
    };

    nb::dict positions_;
    std::vector<nb::object> keys_;
    bool all_exact_str_ = true;
    bool adding_ = false;
};

}  // namespace ovelin::binding
