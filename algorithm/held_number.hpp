#pragma once
// Numbers a block uses without converting them, computed with as doubles
// wherever that gives exactly what Python's own arithmetic gives.
//
// A float, or an int small enough that the sum or difference of two stays
// exact, behaves in a double as it does in Python: such a "plain" number
// takes the block's double fast path. Anything else (a larger int, a NumPy
// scalar with its own precision and warnings, a Fraction, an object that is
// no number at all) takes the block's slow path through Python's number
// protocol, with Python's results and errors.

#include <nanobind/nanobind.h>

#include <cstdint>

namespace ovelin::binding {

namespace nb = nanobind;

// Ints beyond this magnitude are not plain: their sums, differences and
// quotients would be rounded in a double where Python keeps them exact.
inline constexpr long long kPlainIntLimit = 1LL << 52;

// True, with the value, for a plain number (exactly float or exactly int).
inline bool plain_number(PyObject* obj, double& value) noexcept {
    if (PyFloat_CheckExact(obj)) {
        value = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    if (!PyLong_CheckExact(obj)) return false;
    const auto* number = reinterpret_cast<PyLongObject*>(obj);
    if (PyUnstable_Long_IsCompact(number)) {  // one digit: well within the limit, read inline
        value = static_cast<double>(PyUnstable_Long_CompactValue(number));
        return true;
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(obj, &overflow);
    if (overflow != 0 || v > kPlainIntLimit || v < -kPlainIntLimit) return false;
    value = static_cast<double>(v);
    return true;
}

// A value a block stores as computed: a float the block worked out itself
// (kept as a double, made a Python float only when read), or an object
// (the caller's, a limit, None), kept as it is beside its double when plain.
class HeldNumber {
public:
    static HeldNumber computed(double value) noexcept {
        HeldNumber held;
        held.value_ = value;
        return held;
    }

    static HeldNumber given(nb::handle obj) {
        HeldNumber held;
        held.hold(obj);
        return held;
    }

    void compute(double value) noexcept {
        value_ = value;
        plain_ = true;
        object_ = nb::object();  // released after the new state is in place
    }

    void hold(nb::handle obj) {
        double value = 0.0;
        plain_ = plain_number(obj.ptr(), value);
        value_ = value;
        object_ = nb::borrow(obj);
    }

    // The attribute setter's name for hold().
    void set(nb::handle obj) { hold(obj); }

    // hold() for an object already known to be plain with this value.
    void hold_plain(nb::handle obj, double value) noexcept {
        value_ = value;
        plain_ = true;
        object_ = nb::borrow(obj);
    }

    bool plain() const noexcept { return plain_; }
    bool is_none() const noexcept { return object_.is_valid() && object_.is_none(); }
    double value() const noexcept { return value_; }

    // The value as Python sees it.
    nb::object get() const { return object_.is_valid() ? object_ : nb::object(nb::float_(value_)); }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(object_);
    }

private:
    double value_ = 0.0;
    bool plain_ = true;
    nb::object object_;  // none: a float the block computed
};

}  // namespace ovelin::binding
