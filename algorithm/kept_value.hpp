#pragma once
// A number a block uses as a double but hands back as the caller's object.
//
// Values the interface stores unchanged (a sample time, a tuning, an
// operating point) stay observable as the object the caller gave; the core
// sees only the converted double. A value the block computes itself has no
// object and reads back as a new float, so the per-sample path allocates
// nothing.

#include <nanobind/nanobind.h>

#include "conventions.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

class KeptFloat {
public:
    KeptFloat() = default;  // open: reads as None

    // The caller's object, converted as a float argument; None leaves it open.
    static KeptFloat given(nb::handle obj) {
        if (obj.is_none()) return {};
        return number(obj);
    }

    // The caller's object, which must have a float value (None is refused).
    static KeptFloat number(nb::handle obj) {
        KeptFloat kept;
        kept.value_ = as_double(obj);
        kept.known_ = true;
        kept.object_ = nb::borrow(obj);
        return kept;
    }

    static KeptFloat computed(double value) noexcept {
        KeptFloat kept;
        kept.value_ = value;
        kept.known_ = true;
        return kept;
    }

    // A value read back from a pickled state: the double as it was, beside
    // the object (None: none was kept).
    static KeptFloat restored(double value, nb::handle object) {
        KeptFloat kept = computed(value);
        if (!object.is_none()) kept.object_ = nb::borrow(object);
        return kept;
    }

    bool known() const noexcept { return known_; }
    double value() const noexcept { return value_; }

    // Converts first: a refused object leaves the value as it was.
    void set(nb::handle obj) { *this = given(obj); }

    // Fixes an open value; a known one stays. Allocation-free.
    void take(double value) noexcept {
        if (!known_) *this = computed(value);
    }

    nb::object get() const {
        if (!known_) return nb::none();
        if (object_.is_valid()) return object_;
        return nb::float_(value_);
    }

    // How the value travels in a pickled state: None while open, else
    // (double, the caller's object or None).
    nb::object to_state() const {
        if (!known_) return nb::none();
        return nb::make_tuple(value_, object_.is_valid() ? nb::object(object_) : nb::none());
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(object_);
    }

private:
    double value_ = 0.0;
    bool known_ = false;
    nb::object object_;
};

}  // namespace ovelin::binding
