#pragma once
// Argument conventions shared by every binding: float conversion, exact
// built-in types, attribute errors and informational lines.
//
// The rule every binding follows: nothing borrowed survives a call into
// Python. Any call that can run Python code (__index__, __float__, __bool__,
// __eq__ and __hash__ during a dictionary lookup, __str__, iteration, a
// callback, releasing the last reference to an object) can change or free
// the block being called, its dictionaries and its arrays. Across such a
// call hold no borrowed pointer, reference, span or iterator into a block's
// state or into a Python container: hold a strong reference (nb::object),
// or read again afterwards. Convert every argument first, then touch the
// block. The crash test calls every block with values that call back into it.

#include <nanobind/nanobind.h>

#include <optional>

namespace ovelin::binding {

namespace nb = nanobind;

// --- Float arguments -------------------------------------------------------

// Converts as the C API's PyFloat_AsDouble does (floats, ints, __float__,
// __index__; a str is refused; the interpreter checks what __float__ and
// __index__ return). Returns false with a Python error set.
inline bool to_double(PyObject* obj, double& out) noexcept {
    if (PyFloat_CheckExact(obj)) {
        out = PyFloat_AS_DOUBLE(obj);
        return true;
    }
    out = PyFloat_AsDouble(obj);
    return !(out == -1.0 && PyErr_Occurred());
}

// As to_double, raising the Python error as a C++ exception.
inline double as_double(nb::handle obj) {
    double value;
    if (!to_double(obj.ptr(), value)) throw nb::python_error();
    return value;
}

// None, or a float argument.
inline std::optional<double> as_optional_double(nb::handle obj) {
    if (obj.is_none()) return std::nullopt;
    return as_double(obj);
}

// --- Exact built-in types --------------------------------------------------

// Sets the TypeError of an argument of the wrong exact type.
inline void set_incorrect_type(const char* name, PyTypeObject* expected, PyObject* given) noexcept {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", name,
                 expected->tp_name, Py_TYPE(given)->tp_name);
}

[[noreturn]] inline void raise_incorrect_type(const char* name, PyTypeObject* expected, nb::handle given) {
    set_incorrect_type(name, expected, given.ptr());
    throw nb::python_error();
}

// Accepts exactly `expected`: no subclass (bool is not int), no None.
inline void require_exact(nb::handle obj, PyTypeObject* expected, const char* name) {
    if (Py_TYPE(obj.ptr()) != expected) raise_incorrect_type(name, expected, obj);
}

// A call back into Python must have returned `expected` (or a subclass);
// anything else is refused before it is used.
inline nb::object checked_result(nb::object result, PyTypeObject* expected, const char* what) {
    if (!result.is_valid()) throw nb::python_error();
    if (!PyObject_TypeCheck(result.ptr(), expected)) {
        PyErr_Format(PyExc_TypeError, "%s must return %s, not %.200s", what, expected->tp_name,
                     Py_TYPE(result.ptr())->tp_name);
        throw nb::python_error();
    }
    return result;
}

// --- Attribute errors ------------------------------------------------------

[[noreturn]] inline void raise_missing_attribute(nb::handle self, const char* attribute) {
    // The short class name, as the interpreter spells it for plain classes.
    const nb::object type_name = nb::steal(PyType_GetName(Py_TYPE(self.ptr())));
    if (!type_name) throw nb::python_error();
    PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%.200s'", type_name.ptr(), attribute);
    throw nb::python_error();
}

// --- Truth values ----------------------------------------------------------

// bool(value), with the interpreter's errors.
inline bool truth(nb::handle value) {
    const int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw nb::python_error();
    return result != 0;
}

// --- Informational lines ---------------------------------------------------

namespace detail {

// The stream is held across the write: the write may replace sys.stdout.
inline void write_line(const nb::object& line) {
    if (!line.is_valid()) throw nb::python_error();
    PyObject* borrowed = PySys_GetObject("stdout");
    if (borrowed == nullptr || borrowed == Py_None) return;
    const nb::object out = nb::borrow(borrowed);
    if (PyFile_WriteObject(line.ptr(), out.ptr(), Py_PRINT_RAW) != 0) throw nb::python_error();
}

}  // namespace detail

// One line on Python's sys.stdout, so print redirection and capture see it.
inline void print_line(const char* text) {
    detail::write_line(nb::steal(PyUnicode_FromFormat("%s\n", text)));
}

// The same, the text following a block's name (a str).
inline void print_line(nb::handle name, const char* text) {
    detail::write_line(nb::steal(PyUnicode_FromFormat("%U%s\n", name.ptr(), text)));
}

}  // namespace ovelin::binding
