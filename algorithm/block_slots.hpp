#pragma once
// A block's type slots, declared once where the class is bound: its call
// (when calling the object is the per-sample step), its fast methods, and the
// garbage-collector slots of a block that holds Python objects (gc.hpp).
//
//     auto cls = bind_class<Block>(m, "Name", nb::dynamic_attr(),
//                                  BlockSlots<Block>().call<kCall, step>(call_doc).method<kRun, step>(run_doc),
//                                  class_doc);
//
// A method's name is its Signature's function name. The tables live as long
// as the process: the type points at them.

#include <nanobind/nanobind.h>

#include <vector>

#include "fast_call.hpp"
#include "gc.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

template <class T>
class BlockSlots {
public:
    BlockSlots() {
        if constexpr (HoldsReferences<T>) slots_.insert(slots_.end(), {traverse_slot<T>(), clear_slot<T>()});
    }

    // Calling the object: the tp_call slot, and a "__call__" method beside it
    // that documents the call's signature.
    template <const auto& Sig, auto Step>
    BlockSlots&& call(const char* doc) && {
        slots_.push_back(call_slot_entry<T, Sig, Step>());
        methods_.push_back(call_method<T, Sig, Step>(doc));
        return std::move(*this);
    }

    template <const auto& Sig, auto Step>
    BlockSlots&& method(const char* doc) && {
        methods_.push_back(fast_method<T, Sig, Step>(doc));
        return std::move(*this);
    }

    operator nb::type_slots() const {
        auto* methods = new std::vector<PyMethodDef>(methods_);  // kept: see above
        methods->push_back({nullptr, nullptr, 0, nullptr});
        auto* slots = new std::vector<PyType_Slot>(slots_);
        if (!methods_.empty()) slots->push_back({Py_tp_methods, methods->data()});
        slots->push_back({0, nullptr});
        return nb::type_slots(slots->data());
    }

private:
    std::vector<PyMethodDef> methods_;
    std::vector<PyType_Slot> slots_;
};

}  // namespace ovelin::binding
