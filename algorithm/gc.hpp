#pragma once
// Lets the garbage collector see every Python object a block holds in C++.
//
// A block that keeps Python objects (the caller's values, inner blocks,
// dictionaries) declares them in one member function
//
//     template <class Visit> void visit_references(Visit&& visit) const;
//
// calling visit(handle) for each; gc_slots<T> installs a tp_traverse that
// reports them beside the instance dictionary, and a tp_clear that breaks a
// cycle by destroying the C++ block (releasing all it holds). An instance
// cleared that way is uninitialised: any later use raises TypeError.

#include <nanobind/nanobind.h>

#include "interpreter.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

template <class T>
concept HoldsReferences = requires(const T& block) { block.visit_references([](nb::handle) {}); };

template <class T>
int traverse_block(PyObject* self, visitproc visit, void* arg) noexcept {
    Py_VISIT(Py_TYPE(self));  // a heap type's instances own a reference to it
    if (PyObject** dict = instance_dict_slot(self)) Py_VISIT(*dict);
    // Called before construction completes too: only a ready block is read.
    if constexpr (HoldsReferences<T>) {
        if (!nb::inst_ready(self)) return 0;
        int result = 0;
        nb::inst_ptr<T>(self)->visit_references([&](nb::handle held) {
            if (result == 0 && held.ptr() != nullptr) result = visit(held.ptr(), arg);
        });
        return result;
    }
    return 0;
}

template <class T>
int clear_block(PyObject* self) noexcept {
    if (PyObject** dict = instance_dict_slot(self)) Py_CLEAR(*dict);
    if (nb::inst_ready(self)) nb::inst_destruct(self);
    return 0;
}

// The two slots, for a block's nb::type_slots array.
template <class T>
PyType_Slot traverse_slot() {
    return {Py_tp_traverse, reinterpret_cast<void*>(&traverse_block<T>)};
}
template <class T>
PyType_Slot clear_slot() {
    return {Py_tp_clear, reinterpret_cast<void*>(&clear_block<T>)};
}

}  // namespace ovelin::binding
