#pragma once
// Argument conventions shared by every binding: float conversion, exact
// built-in types, error translation, informational lines, and the fast
// per-sample call path.

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <exception>
#include <new>
#include <stdexcept>

namespace ovelin::binding {

namespace nb = nanobind;

// --- Float arguments -------------------------------------------------------

// Converts as the C API's PyFloat_AsDouble does (floats, ints, __float__,
// __index__; a str is refused). Returns false with a Python error set.
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

// --- Exact built-in types --------------------------------------------------

[[noreturn]] inline void raise_incorrect_type(const char* name, PyTypeObject* expected,
                                              nb::handle given) {
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)",
                 name, expected->tp_name, Py_TYPE(given.ptr())->tp_name);
    throw nb::python_error();
}

// Accepts exactly `expected`: no subclass (bool is not int), no None.
inline void require_exact(nb::handle obj, PyTypeObject* expected, const char* name) {
    if (Py_TYPE(obj.ptr()) != expected) raise_incorrect_type(name, expected, obj);
}

// --- Errors ----------------------------------------------------------------

[[noreturn]] inline void raise_missing_attribute(nb::handle self, const char* attribute) {
    // The short class name, as the interpreter spells it for plain classes.
    const nb::object type_name = nb::steal(PyType_GetName(Py_TYPE(self.ptr())));
    if (!type_name) throw nb::python_error();
    PyErr_Format(PyExc_AttributeError, "'%U' object has no attribute '%.200s'", type_name.ptr(), attribute);
    throw nb::python_error();
}

// Turns the exception in flight into the matching Python error, the same
// mapping nanobind applies to its own functions.
inline void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::out_of_range& e) {
        PyErr_SetString(PyExc_IndexError, e.what());
    } catch (const std::overflow_error& e) {
        PyErr_SetString(PyExc_OverflowError, e.what());
    } catch (const std::domain_error& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::invalid_argument& e) {
        PyErr_SetString(PyExc_ValueError, e.what());
    } catch (const std::exception& e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// --- Pickling -------------------------------------------------------------

// The instance dictionary (nb::dynamic_attr) travels with a pickled block.
inline nb::object instance_dict(nb::handle self) { return nb::getattr(self, "__dict__"); }

// After __setstate__ has rebuilt `block` in place: its saved attributes back.
template <class T>
void restore_instance_dict(T& block, nb::handle saved) {
    instance_dict(nb::find(&block)).attr("update")(saved);
}

// --- Informational lines ---------------------------------------------------

// One line on Python's sys.stdout, so print redirection and capture see it.
inline void print_line(const char* text) {
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out == nullptr || out == Py_None) return;
    if (PyFile_WriteString(text, out) != 0 || PyFile_WriteString("\n", out) != 0)
        throw nb::python_error();
}

// --- Fast per-sample calls -------------------------------------------------

// The keyword-capable float signature of a per-sample method, parsed without
// building any Python object. Messages follow the interpreter's own.
template <std::size_t N>
class FloatSignature {
public:
    constexpr FloatSignature(const char* function, std::array<const char*, N> names,
                             std::size_t required, std::array<double, N> defaults)
        : function_(function), names_(names), required_(required), defaults_(defaults) {}

    static constexpr std::size_t size() { return N; }

    // Fills `out` from vectorcall arguments; false with a Python error set.
    bool parse(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames,
               double (&out)[N]) const noexcept {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(N)) {
            for (std::size_t i = 0; i < N; ++i)
                if (!to_double(args[i], out[i])) return false;
            return true;
        }
        if (nargs > static_cast<Py_ssize_t>(N)) {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", function_, N,
                         nargs);
            return false;
        }
        PyObject* given[N] = {};
        for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];
        if (kwnames != nullptr && !place_keywords(args + nargs, kwnames, given)) return false;
        for (std::size_t i = 0; i < N; ++i) {
            if (given[i] != nullptr) {
                if (!to_double(given[i], out[i])) return false;
            } else if (i < required_) {
                PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function_,
                             names_[i], i + 1);
                return false;
            } else {
                out[i] = defaults_[i];
            }
        }
        return true;
    }

    // The same from a tp_call argument tuple and keyword dictionary.
    bool parse(PyObject* args, PyObject* kwargs, double (&out)[N]) const noexcept {
        if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)
            return parse(&PyTuple_GET_ITEM(args, 0), PyTuple_GET_SIZE(args), nullptr, out);
        // Rare path: lay the keywords out as a vectorcall would.
        const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
        const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
        PyObject* stack[N + 8];
        if (nargs + nkw > static_cast<Py_ssize_t>(N + 8)) {
            PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", function_, N,
                         nargs + nkw);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) stack[i] = PyTuple_GET_ITEM(args, i);
        PyObject* kwnames = PyTuple_New(nkw);
        if (kwnames == nullptr) return false;
        Py_ssize_t pos = 0, k = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            Py_INCREF(key);
            PyTuple_SET_ITEM(kwnames, k, key);
            stack[nargs + k++] = value;
        }
        const bool ok = parse(stack, nargs, kwnames, out);
        Py_DECREF(kwnames);
        return ok;
    }

private:
    bool place_keywords(PyObject* const* values, PyObject* kwnames, PyObject* (&given)[N]) const noexcept {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t index = 0;
            while (index < N && PyUnicode_CompareWithASCIIString(key, names_[index]) != 0) ++index;
            if (index == N) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, key);
                return false;
            }
            if (given[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)",
                             function_, names_[index], index + 1);
                return false;
            }
            given[index] = values[k];
        }
        return true;
    }

    const char* function_;
    std::array<const char*, N> names_;
    std::size_t required_;
    std::array<double, N> defaults_;
};

// Runs `Step(T&, const double*)` on the C++ object behind `self` and returns
// its result as a new float, mapping C++ exceptions to Python errors.
template <class T, auto Step>
PyObject* invoke_float_step(PyObject* self, const double* values) noexcept {
    if (!nb::inst_ready(self)) {
        PyErr_Format(PyExc_TypeError, "'%.100s' object is not initialized", Py_TYPE(self)->tp_name);
        return nullptr;
    }
    try {
        return PyFloat_FromDouble(Step(*nb::inst_ptr<T>(self), values));
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

// A METH_FASTCALL | METH_KEYWORDS method of a bound class T whose arguments
// are all floats and whose result is a float: `Step(T&, const double*)` is the
// whole body. Used where nanobind's generic dispatch would dominate the cost
// of a per-sample call.
template <class T, const auto& Signature, auto Step>
PyObject* float_method(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    double values[Signature.size()];
    if (!Signature.parse(args, nargsf, kwnames, values)) return nullptr;
    return invoke_float_step<T, Step>(self, values);
}

// The same as the tp_call slot of T: calling the object itself.
template <class T, const auto& Signature, auto Step>
PyObject* float_call(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    double values[Signature.size()];
    if (!Signature.parse(args, kwargs, values)) return nullptr;
    return invoke_float_step<T, Step>(self, values);
}

template <class T, const auto& Signature, auto Step>
constexpr PyMethodDef fast_method(const char* name, const char* doc) {
    return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(
                                 &float_method<T, Signature, Step>)),
                       METH_FASTCALL | METH_KEYWORDS, doc};
}

}  // namespace ovelin::binding
