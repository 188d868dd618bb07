#pragma once
// A Python object under C++ operators, so that a rule the core writes once as
// a template over its value type runs on the caller's own objects too: the
// per-sample path instantiates it with double or a 64-bit int, the path for
// any other number (a Fraction, a NumPy scalar, an int beyond 64 bits) with PyValue, and both
// follow the same steps. Each operator evaluates as the interpreter evaluates
// the expression: a rich comparison and then its truth, an arithmetic operation
// through the number protocol. Every operation can run Python code; a PyValue
// holds a strong reference to its object.

#include <nanobind/nanobind.h>

#include <utility>

#include "conventions.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

class PyValue {
public:
    explicit PyValue(nb::object object) : object_(std::move(object)) {}
    explicit PyValue(long value) : object_(checked(PyLong_FromLong(value))) {}
    const nb::object& object() const { return object_; }

    friend bool operator==(const PyValue& a, const PyValue& b) { return compare(a, b, Py_EQ); }
    friend bool operator<(const PyValue& a, const PyValue& b) { return compare(a, b, Py_LT); }
    friend bool operator>(const PyValue& a, const PyValue& b) { return compare(a, b, Py_GT); }
    friend bool operator>=(const PyValue& a, const PyValue& b) { return compare(a, b, Py_GE); }
    friend bool operator==(const PyValue& a, long b) { return a == PyValue(b); }
    friend bool operator<(const PyValue& a, long b) { return a < PyValue(b); }
    friend bool operator>(const PyValue& a, long b) { return a > PyValue(b); }
    friend bool operator>=(const PyValue& a, long b) { return a >= PyValue(b); }

    friend PyValue operator+(const PyValue& a, const PyValue& b) { return apply(PyNumber_Add, a, b); }
    friend PyValue operator-(const PyValue& a, const PyValue& b) { return apply(PyNumber_Subtract, a, b); }
    friend PyValue operator*(const PyValue& a, const PyValue& b) { return apply(PyNumber_Multiply, a, b); }
    friend PyValue operator/(const PyValue& a, const PyValue& b) { return apply(PyNumber_TrueDivide, a, b); }
    friend PyValue operator-(const PyValue& a, long b) { return a - PyValue(b); }
    friend PyValue operator/(const PyValue& a, long b) { return a / PyValue(b); }
    friend PyValue operator-(const PyValue& a) { return PyValue(checked(PyNumber_Negative(a.object_.ptr()))); }
    // a // b and a % b: Python's floor division and modulo.
    friend PyValue floor_div(const PyValue& a, const PyValue& b) { return apply(PyNumber_FloorDivide, a, b); }
    friend PyValue floor_mod(const PyValue& a, const PyValue& b) { return apply(PyNumber_Remainder, a, b); }
    // abs(a), found by the core's rules through argument-dependent lookup.
    friend PyValue magnitude(const PyValue& a) { return PyValue(checked(PyNumber_Absolute(a.object_.ptr()))); }

private:
    static nb::object checked(PyObject* result) {
        if (result == nullptr) throw nb::python_error();
        return nb::steal(result);
    }
    static bool compare(const PyValue& a, const PyValue& b, int op) {
        return truth(checked(PyObject_RichCompare(a.object_.ptr(), b.object_.ptr(), op)));
    }
    static PyValue apply(PyObject* (*operation)(PyObject*, PyObject*), const PyValue& a, const PyValue& b) {
        return PyValue(checked(operation(a.object_.ptr(), b.object_.ptr())));
    }

    nb::object object_;
};

}  // namespace ovelin::binding
