#include "block_support.hpp"

#include <cmath>

#include "conventions.hpp"

namespace ovelin::binding::soft_sensor {

Imported imported;

nb::object checked_name(nb::handle name) {
    if (!PyUnicode_CheckExact(name.ptr())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", PyUnicode_Type.tp_name, Py_TYPE(name.ptr())->tp_name);
        throw nb::python_error();
    }
    return nb::borrow(name);
}

void require_finite(nb::handle name, double value, const char* text) {
    if (std::isfinite(value)) return;
    PyErr_Format(PyExc_ValueError, "%U%s", name.ptr(), text);
    throw nb::python_error();
}

std::size_t history_length(nb::handle value, const char* arg, std::size_t max, nb::handle name, const char* block) {
    require_exact(value, &PyLong_Type, arg);
    int overflow = 0;  // an exact int converts without error; overflow gives its sign
    const long long length = PyLong_AsLongLongAndOverflow(value.ptr(), &overflow);
    if (overflow < 0 || (overflow == 0 && length < 0)) {
        PyErr_Format(PyExc_ValueError, "%U %s: %s must not be negative!", name.ptr(), block, arg);
        throw nb::python_error();
    }
    if (overflow > 0 || static_cast<unsigned long long>(length) > max) {
        PyErr_Format(PyExc_MemoryError, "%U %s: %s is too large for this machine's memory!", name.ptr(), block, arg);
        throw nb::python_error();
    }
    return static_cast<std::size_t>(length);
}

std::size_t length_field(const StateReader& state, std::size_t i, const char* field, std::size_t max) {
    const nb::handle item = state.object(i);
    if (!PyLong_CheckExact(item.ptr()))
        state.fail(PyExc_TypeError, "field '%s' must be an int, not '%s'", field, Py_TYPE(item.ptr())->tp_name);
    int overflow = 0;
    const long long length = PyLong_AsLongLongAndOverflow(item.ptr(), &overflow);
    if (overflow < 0 || (overflow == 0 && length < 0))
        state.fail(PyExc_ValueError, "field '%s' must not be negative", field);
    if (overflow > 0 || static_cast<unsigned long long>(length) > max)
        state.fail(PyExc_ValueError, "field '%s' is too large for this machine's memory", field);
    return static_cast<std::size_t>(length);
}

nb::object deque_of(const ovelin::RingBuffer& values) {
    const nb::tuple items = to_tuple(values);
    const nb::object maxlen = nb::int_(values.capacity());
    return imported.deque(items, nb::arg("maxlen") = maxlen);
}

void call_method(nb::handle self, const char* method, double a, double b) {
    const nb::object result = nb::steal(PyObject_CallMethod(self.ptr(), method, "dd", a, b));
    if (!result.is_valid()) throw nb::python_error();
}

}  // namespace ovelin::binding::soft_sensor
