#pragma once
// Pin-style blocks: the caller writes input pins and parameters as plain
// attributes, calls call() once per sample and reads the output pins. Every
// pin has a class-level default that an instance sees until it assigns its
// own value, so pins are ordinary attributes: class attributes and the
// instance dictionary. The C++ block keeps only the history its constructor
// creates.
//
//     PinSet<3> pins{{"Ut", "nLag", "Yt"}};
//     bind_pin_block<Block>(m, "Name", slots, doc, "U_array", make_history, pins, {defaults...});
//     pins.read(self.py, 0); pins.write(self.py, 2, value);   // in the call

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <new>
#include <utility>

#include "instance.hpp"
#include "interpreter.hpp"
#include "pickle.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

// The history of a pin-style block: the constructor's NumPy array, or
// whatever the caller has assigned since.
struct HistoryBlock {
    explicit HistoryBlock(nb::object history_) noexcept : history(std::move(history_)) {}
    HistoryBlock(HistoryBlock&&) noexcept = default;

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(history);
    }

    nb::object history;
};

// The pins of one class, read and written as the interpreter reads and
// writes attributes: the instance's own value, else the class-level default.
//
// The per-sample shortcut goes straight to the instance dictionary. It holds
// while the instance's type is exactly the class and the class is unchanged
// since its pins were checked (its version tag, which the interpreter renews
// on every change to a class): every pin then has a plain class-level value,
// no descriptor, and the class keeps the standard attribute lookup. A
// subclass, or a class whose pin became a property, takes the interpreter's
// own lookup.
template <std::size_t N>
class PinSet {
public:
    constexpr explicit PinSet(const std::array<const char*, N>& names) : texts_(names) {}

    // Interns the names and gives the class its defaults; once, when the module loads.
    void bind(nb::handle cls, const std::array<nb::object, N>& defaults) {
        for (std::size_t i = 0; i < N; ++i) {
            names_[i] = PyUnicode_InternFromString(texts_[i]);  // kept for the life of the process
            if (names_[i] == nullptr) throw nb::python_error();
            nb::setattr(cls, names_[i], defaults[i]);
        }
        class_ = reinterpret_cast<PyTypeObject*>(cls.ptr());
    }

    nb::object read(nb::handle self, std::size_t pin) {
        PyObject* const name = names_[pin];
        if (plain(self.ptr())) {
            if (nb::object own = own_value(self, pin); own.is_valid()) return own;
            // The dictionary lookup may have run Python code that changed the class.
            if (plain(self.ptr()))
                if (PyObject* const fallback = class_attribute(class_, name)) return nb::borrow(fallback);
        }
        return steal_or_throw(PyObject_GetAttr(self.ptr(), name));
    }

    void write(nb::handle self, std::size_t pin, nb::handle value) {
        PyObject* const name = names_[pin];
        if (!plain(self.ptr())) {
            if (PyObject_SetAttr(self.ptr(), name, value.ptr()) != 0) throw nb::python_error();
            return;
        }
        const nb::object dict = steal_or_throw(PyObject_GenericGetDict(self.ptr(), nullptr));
        if (PyDict_SetItem(dict.ptr(), name, value.ptr()) != 0) throw nb::python_error();
    }

    // As write(), skipping the store when the instance already holds this
    // very object (an output that holds still: a cached small int, a bool).
    void update(nb::handle self, std::size_t pin, nb::handle value) {
        if (plain(self.ptr()) && own_value(self, pin).ptr() == value.ptr()) return;
        write(self, pin, value);
    }

private:
    // The pin's value in the instance dictionary, or an invalid object. The
    // dictionary is held during the lookup: a colliding key's __eq__ may
    // replace the instance's __dict__ and so free it.
    nb::object own_value(nb::handle self, std::size_t pin) const {
        PyObject* const* const slot = instance_dict_slot(self.ptr());
        if (slot == nullptr || *slot == nullptr) return {};
        const nb::object dict = nb::borrow(*slot);
        PyObject* const own = PyDict_GetItemWithError(dict.ptr(), names_[pin]);
        if (own != nullptr) return nb::borrow(own);
        if (PyErr_Occurred()) throw nb::python_error();
        return {};
    }

    static nb::object steal_or_throw(PyObject* result) {
        if (result == nullptr) throw nb::python_error();
        return nb::steal(result);
    }

    bool plain(PyObject* self) {
        PyTypeObject* const type = Py_TYPE(self);
        if (type != class_) return false;
        if (checked_tag_ != 0 && type->tp_version_tag == checked_tag_) return true;
        return check(type);
    }

    // Looks the pins up in the class only: runs no Python code.
    bool check(PyTypeObject* type) {
        checked_tag_ = 0;
        if (type->tp_getattro != PyObject_GenericGetAttr || type->tp_setattro != PyObject_GenericSetAttr ||
            type->tp_dictoffset <= 0)
            return false;
        for (PyObject* const name : names_) {
            PyObject* const value = class_attribute(type, name);
            if (value == nullptr || Py_TYPE(value)->tp_descr_get != nullptr || Py_TYPE(value)->tp_descr_set != nullptr)
                return false;
        }
        checked_tag_ = class_version_tag(type);
        return checked_tag_ != 0;
    }

    std::array<const char*, N> texts_;
    std::array<PyObject*, N> names_{};
    PyTypeObject* class_ = nullptr;
    unsigned int checked_tag_ = 0;
};

// The class of a pin-style block: constructed without arguments, with the
// class-level pin defaults, the history as the attribute `history_name`
// (any object may be assigned), and pickled as its history and instance
// dictionary. The state carries a copy of the history, so that a copied
// block pushes into its own.
template <class Block, std::size_t N>
nb::class_<Block> bind_pin_block(nb::handle scope, const char* name, nb::type_slots slots, const char* doc,
                                 const char* history_name, nb::object (*make_history)(), PinSet<N>& pins,
                                 const std::array<nb::object, N>& defaults) {
    auto cls = bind_class<Block>(scope, name, nb::dynamic_attr(), slots, doc);
    cls.def(
        "__init__", [make_history](Block* self) { new (self) Block(make_history()); },
        "A block with every pin at its default and an empty history.");
    pins.bind(cls, defaults);
    def_property(
        cls, history_name, "typing.Any", [](const Block& block) { return block.history; },
        [](Block& block, nb::handle value) { block.history = nb::borrow(value); });
    def_pickle<Block>(
        cls, name, 1,
        [](Self<Block> self) {
            return pickled_state(self.py, nb::module_::import_("copy").attr("copy")(self.block.history));
        },
        [](const StateReader& state) { return Block(nb::borrow(state.object(0))); });
    return cls;
}

}  // namespace ovelin::binding
