#pragma once
// NumPy arrays that a block keeps as its history and writes in place once per
// sample, and the values it stores in them.
//
// The history is an attribute the caller may replace with any sequence. On
// every sample the block checks that it still holds a one-dimensional,
// contiguous, aligned, writable NumPy array of the element type it made, and
// only then writes the memory directly, running no Python code meanwhile
// (Python code could resize the array and free that memory). Any other
// sequence is pushed and read through its own operations.

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <span>

// The array struct and its accessors only: NumPy's function table is never
// imported, so NumPy loads when a history is first made, not with the module.
#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#define NO_IMPORT_ARRAY
#include <numpy/ndarraytypes.h>

namespace ovelin::binding {

namespace nb = nanobind;

// --- NumPy's types -------------------------------------------------------------

struct NumpyTypes {
    PyTypeObject* ndarray;
    PyTypeObject* float64;  // a subclass of float whose value is the float's own
    PyTypeObject* int64;
};

// Imported once and kept for the life of the process.
inline const NumpyTypes& numpy_types() {
    static std::optional<NumpyTypes> types;
    if (!types) {
        const nb::module_ numpy = nb::module_::import_("numpy");
        const auto type_of = [&](const char* name) {
            nb::object found = numpy.attr(name);
            if (!PyType_Check(found.ptr())) {
                PyErr_Format(PyExc_TypeError, "numpy.%s is not a type", name);
                throw nb::python_error();
            }
            return reinterpret_cast<PyTypeObject*>(found.release().ptr());
        };
        types = NumpyTypes{type_of("ndarray"), type_of("float64"), type_of("int64")};
    }
    return *types;
}

// --- Element types ---------------------------------------------------------------

// The NumPy dtype of each element type a history holds, and the type numbers
// NumPy gives it. NumPy's bool is one byte, 0 or 1.
template <class T>
struct Element;

template <>
struct Element<double> {
    static constexpr const char* dtype = "float64";
    static bool is_type(int type) { return type == NPY_DOUBLE; }
};

template <>
struct Element<std::int64_t> {
    static constexpr const char* dtype = "int64";
    static bool is_type(int type) {
        return type == NPY_LONGLONG || (sizeof(long) == sizeof(std::int64_t) && type == NPY_LONG);
    }
};

template <>
struct Element<std::uint8_t> {
    static constexpr const char* dtype = "bool";
    static bool is_type(int type) { return type == NPY_BOOL; }
};

// --- Direct access ---------------------------------------------------------------

// The elements of `obj` when it is a one-dimensional, contiguous, aligned,
// writable NumPy array of T in native byte order. Reads the array's own
// fields (their layout is NumPy's stable ABI): no allocation, no Python code.
template <class T>
std::optional<std::span<T>> writable_elements(PyObject* obj) {
    if (Py_TYPE(obj) != numpy_types().ndarray) return std::nullopt;
    auto* array = reinterpret_cast<PyArrayObject*>(obj);
    constexpr int flags = NPY_ARRAY_WRITEABLE | NPY_ARRAY_ALIGNED;
    const PyArray_Descr* descr = PyArray_DESCR(array);
    if (PyArray_NDIM(array) != 1 || !PyArray_CHKFLAGS(array, flags) || !Element<T>::is_type(descr->type_num) ||
        !PyArray_ISNBO(descr->byteorder) || PyArray_STRIDES(array)[0] != static_cast<npy_intp>(sizeof(T)))
        return std::nullopt;
    return std::span<T>(static_cast<T*>(PyArray_DATA(array)), static_cast<std::size_t>(PyArray_DIMS(array)[0]));
}

// Runs `use(std::span<T>)` on the elements of `history` when it is a NumPy
// array of T that can be written in place, and returns what `use` returns
// (whether it handled the sample); false for any other object. `use` must run
// no Python code: the memory is only valid while nothing else can run.
template <class T, class Use>
bool with_elements(nb::handle history, Use&& use) {
    const std::optional<std::span<T>> elements = writable_elements<T>(history.ptr());
    return elements && use(*elements);
}

template <class T>
bool is_writable_array_of(nb::handle history) {
    return writable_elements<T>(history.ptr()).has_value();
}

// --- Values ------------------------------------------------------------------------

// A value whose conversion to T runs no Python code and whose result is the
// one NumPy's array assignment gives: an exact int, bool or float, or a NumPy
// float64 or int64 scalar. nullopt for anything else, and for values NumPy
// refuses (it words those errors itself).
template <class T>
std::optional<T> plain_number(PyObject* value);

template <>
inline std::optional<double> plain_number<double>(PyObject* value) {
    const NumpyTypes& numpy = numpy_types();
    if (PyFloat_CheckExact(value) || Py_TYPE(value) == numpy.float64) return PyFloat_AS_DOUBLE(value);
    if (PyBool_Check(value)) return value == Py_True ? 1.0 : 0.0;
    if (PyLong_CheckExact(value) || Py_TYPE(value) == numpy.int64) {
        const double converted = PyFloat_AsDouble(value);
        if (converted == -1.0 && PyErr_Occurred()) {
            PyErr_Clear();
            return std::nullopt;
        }
        return converted;
    }
    return std::nullopt;
}

template <>
inline std::optional<std::int64_t> plain_number<std::int64_t>(PyObject* value) {
    const NumpyTypes& numpy = numpy_types();
    if (PyFloat_CheckExact(value) || Py_TYPE(value) == numpy.float64) {
        // Truncated toward zero; NaN, infinities and values out of range are NumPy's to refuse.
        const double x = PyFloat_AS_DOUBLE(value);
        if (x >= -9223372036854775808.0 && x < 9223372036854775808.0) return static_cast<std::int64_t>(x);
        return std::nullopt;
    }
    if (PyBool_Check(value)) return value == Py_True ? 1 : 0;
    if (PyLong_CheckExact(value) || Py_TYPE(value) == numpy.int64) {
        int overflow = 0;
        const long long converted = PyLong_AsLongLongAndOverflow(value, &overflow);
        if (overflow != 0 || (converted == -1 && PyErr_Occurred())) {
            PyErr_Clear();
            return std::nullopt;
        }
        return converted;
    }
    return std::nullopt;
}

inline nb::object numpy_empty(Py_ssize_t size, const char* dtype) {
    return nb::module_::import_("numpy").attr("empty")(size, nb::arg("dtype") = dtype);
}

inline nb::object numpy_zeros(Py_ssize_t size, const char* dtype) {
    return nb::module_::import_("numpy").attr("zeros")(size, nb::arg("dtype") = dtype);
}

inline nb::object element(nb::handle sequence, Py_ssize_t index) {
    const nb::object key = nb::steal(PyLong_FromSsize_t(index));
    if (!key.is_valid()) throw nb::python_error();
    nb::object item = nb::steal(PyObject_GetItem(sequence.ptr(), key.ptr()));
    if (!item.is_valid()) throw nb::python_error();
    return item;
}

// `value` as `history` holds it once pushed: a NumPy array converts it to its
// own element type, so a value it refuses fails here, before anything
// changes; any other sequence keeps the object as it is.
inline nb::object stored_form(nb::handle history, nb::handle value) {
    if (!PyObject_TypeCheck(history.ptr(), numpy_types().ndarray)) return nb::borrow(value);
    const nb::object first = nb::steal(PySequence_GetSlice(history.ptr(), 0, 1));
    if (!first.is_valid()) throw nb::python_error();
    const nb::object scratch = nb::module_::import_("numpy").attr("empty_like")(first);
    if (PyObject_SetItem(scratch.ptr(), nb::int_(0).ptr(), value.ptr()) != 0) throw nb::python_error();
    return element(scratch, 0);
}

// `value` converted as storing it in a NumPy array of T converts it (for
// float64, None is NaN and strings are parsed; for int64, floats are
// truncated toward zero), with NumPy's errors. Runs Python code.
template <class T>
T numpy_converted(nb::handle value) {
    const nb::object scratch = numpy_empty(1, Element<T>::dtype);
    if (PyObject_SetItem(scratch.ptr(), nb::int_(0).ptr(), value.ptr()) != 0) throw nb::python_error();
    T converted{};
    if (!with_elements<T>(scratch, [&](std::span<T> held) noexcept {
            converted = held[0];
            return true;
        }))
        throw nb::type_error("numpy.empty did not return a writable array");
    return converted;
}

}  // namespace ovelin::binding
