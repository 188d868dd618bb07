#pragma once
// The six helper functions that the modules `common` and `utilities` both
// offer, from this one implementation.

#include <nanobind/nanobind.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <numeric>
#include <vector>

#include "arrays.hpp"
#include "block_slots.hpp"
#include "conventions.hpp"
#include "instance.hpp"
#include "ovelin/c2d.hpp"
#include "parameters.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

// --- c2d -------------------------------------------------------------------

inline nb::tuple c2d(nb::handle num, nb::handle den, nb::handle delay, nb::handle ts, nb::handle method) {
    if (!PyUnicode_Check(method.ptr()) || PyUnicode_CompareWithASCIIString(method.ptr(), "zoh") != 0) {
        PyErr_Format(PyExc_ValueError, "Unknown transformation method '%S'", method.ptr());
        throw nb::python_error();
    }
    const std::vector<double> num_s = as_float64_vector(num);
    const std::vector<double> den_s = as_float64_vector(den);
    const double delay_s = as_double(delay), ts_s = as_double(ts);
    const TransferFunction tf = c2d_zoh(num_s, den_s, delay_s, ts_s);
    return nb::make_tuple(to_numpy(tf.num), to_numpy(tf.den));
}

// --- dict2pairs --------------------------------------------------------------

// Walks a nested dictionary depth-first as it is consumed, one (dotted path,
// value) pair per leaf, the way a recursive generator would.
class PairIterator {
public:
    PairIterator(nb::dict d, nb::object path) { frames_.push_back(Frame{std::move(d), std::move(path)}); }
    PairIterator(PairIterator&&) noexcept = default;

    nb::tuple next() {
        while (!frames_.empty()) {
            Frame& frame = frames_.back();
            if (PyDict_GET_SIZE(frame.dict.ptr()) != frame.size) {
                frames_.clear();
                PyErr_SetString(PyExc_RuntimeError, "dictionary changed size during iteration");
                throw nb::python_error();
            }
            PyObject *borrowed_key, *borrowed_value;
            if (!PyDict_Next(frame.dict.ptr(), &frame.pos, &borrowed_key, &borrowed_value)) {
                frames_.pop_back();
                continue;
            }
            // Held before str(key) runs Python code that may change the dict,
            // or advance this iterator and so move or drop `frame`.
            const nb::object key = nb::borrow(borrowed_key), value = nb::borrow(borrowed_value);
            const nb::object parent = frame.path;
            nb::object entry_path = path_of(parent, key);
            if (PyDict_Check(value.ptr())) {
                // A dictionary that contains itself would nest for ever, as
                // a recursive walk would until the interpreter's limit.
                if (frames_.size() >= static_cast<std::size_t>(Py_GetRecursionLimit())) {
                    frames_.clear();
                    PyErr_SetString(PyExc_RecursionError, "maximum recursion depth exceeded");
                    throw nb::python_error();
                }
                frames_.push_back(Frame{nb::borrow<nb::dict>(value), std::move(entry_path)});
                continue;
            }
            return nb::make_tuple(entry_path, value);
        }
        throw nb::stop_iteration();
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        for (const Frame& frame : frames_) {
            visit(frame.dict);
            visit(frame.path);
        }
    }

private:
    struct Frame {
        Frame(nb::dict d, nb::object p) : dict(std::move(d)), path(std::move(p)), size(PyDict_GET_SIZE(dict.ptr())) {}
        nb::dict dict;
        nb::object path;
        Py_ssize_t size;
        Py_ssize_t pos = 0;
    };

    // str(key) under an empty path, else path + "." + str(key).
    static nb::object path_of(const nb::object& parent, nb::handle key) {
        nb::object text = nb::str(key);
        const int non_empty = PyObject_IsTrue(parent.ptr());
        if (non_empty < 0) throw nb::python_error();
        if (!non_empty) return text;
        return parent + nb::str(".") + text;
    }

    std::vector<Frame> frames_;
};

// --- pair2dict -------------------------------------------------------------

// A level on the way down must be a plain dictionary; None fails at the next
// operation on it, as it would in a dynamically typed walk.
inline void check_level(nb::handle level) {
    if (!level.is_none() && !PyDict_CheckExact(level.ptr())) raise_incorrect_type("d", &PyDict_Type, level);
}

// `text.split(separator)` as a tuple snapshot: a str subclass may override
// split, so what it returns is checked and copied before use.
inline nb::tuple split_parts(nb::handle text, const char* separator) {
    const nb::object parts =
        checked_result(nb::steal(PyObject_CallMethod(text.ptr(), "split", "s", separator)), &PyList_Type, "split()");
    nb::object snapshot = nb::steal(PySequence_Tuple(parts.ptr()));
    if (!snapshot.is_valid()) throw nb::python_error();
    return nb::borrow<nb::tuple>(snapshot);
}

inline void pair2dict(nb::handle pair, nb::handle d) {
    require_exact(pair, &PyTuple_Type, "pair");
    require_exact(d, &PyDict_Type, "d");
    const Py_ssize_t size = PyTuple_GET_SIZE(pair.ptr());
    if (size != 2) {
        if (size > 2)
            PyErr_SetString(PyExc_ValueError, "too many values to unpack (expected 2)");
        else
            PyErr_Format(PyExc_ValueError, "not enough values to unpack (expected 2, got %zd)", size);
        throw nb::python_error();
    }
    const nb::object key = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 0));
    const nb::object value = nb::borrow(PyTuple_GET_ITEM(pair.ptr(), 1));
    const nb::tuple parts = split_parts(key, ".");
    const std::size_t count = parts.size();
    if (count == 0) throw nb::value_error("not enough values to unpack (expected at least 1, got 0)");
    nb::object level = nb::borrow(d);
    for (std::size_t i = 0; i + 1 < count; ++i) {
        check_level(level);
        level = level.attr("setdefault")(parts[i], nb::dict());
    }
    check_level(level);
    if (PyObject_SetItem(level.ptr(), parts[count - 1].ptr(), value.ptr()) != 0) throw nb::python_error();
}

// --- str2xpyp --------------------------------------------------------------

inline nb::tuple str2xpyp(nb::handle s) {
    require_exact(s, &PyUnicode_Type, "s");
    std::vector<double> xs, ys;
    const nb::tuple segments = split_parts(s, "#");
    for (nb::handle segment : segments) {
        if (nb::len(segment) <= 1 || !PySequence_Contains(segment.ptr(), nb::str(",").ptr())) continue;
        const nb::tuple fields = split_parts(segment, ",");
        if (fields.size() < 2) throw nb::value_error("a point needs an x and a y value");
        // float() of a string: white space, exponents, inf and nan are accepted.
        nb::object x = nb::steal(PyFloat_FromString(fields[0].ptr()));
        if (!x) throw nb::python_error();
        nb::object y = nb::steal(PyFloat_FromString(fields[1].ptr()));
        if (!y) throw nb::python_error();
        xs.push_back(PyFloat_AS_DOUBLE(x.ptr()));
        ys.push_back(PyFloat_AS_DOUBLE(y.ptr()));
    }
    // Ascending x, NaN last, equal x in their order of appearance.
    std::vector<size_t> order(xs.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return xs[a] < xs[b] || (!std::isnan(xs[a]) && std::isnan(xs[b])); });
    nb::list xp, yp;
    for (size_t i : order) {
        xp.append(xs[i]);
        yp.append(ys[i]);
    }
    return nb::make_tuple(xp, yp);
}

// --- dataStore -------------------------------------------------------------

// Shift register push: everything moves one place toward the end, the last
// element drops out, xt lands at index 0.
inline void data_store(nb::handle array, nb::handle xt) {
    PyObject* obj = array.ptr();
    if (PyList_CheckExact(obj) && PyList_GET_SIZE(obj) > 0) {
        // Insert at the front, then drop the last element: the list's own
        // functions, no copy of the list.
        const Py_ssize_t n = PyList_GET_SIZE(obj);
        if (PyList_Insert(obj, 0, xt.ptr()) != 0 || PyList_SetSlice(obj, n, n + 1, nullptr) != 0)
            throw nb::python_error();
        return;
    }
    // Any other mutable sequence: the slice assignment handles overlapping
    // storage (NumPy copies through a temporary where needed).
    const nb::object older = nb::steal(PySequence_GetSlice(obj, 0, -1));
    if (!older.is_valid()) throw nb::python_error();
    const nb::object tail = nb::steal(PySlice_New(nb::int_(1).ptr(), nullptr, nullptr));
    if (!tail.is_valid() || PyObject_SetItem(obj, tail.ptr(), older.ptr()) != 0) throw nb::python_error();
    if (PyObject_SetItem(obj, nb::int_(0).ptr(), xt.ptr()) != 0) throw nb::python_error();
}

// --- current_time_str --------------------------------------------------------

inline nb::str current_time_str() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return nb::str(text);
}

// --- registration ------------------------------------------------------------

inline void def_shared_helpers(nb::module_& m) {
    // Both helper modules share one iterator type: whichever loads first registers it.
    if (nb::handle known = nb::type<PairIterator>(); known.is_valid()) {
        bound_type<PairIterator> = reinterpret_cast<PyTypeObject*>(known.ptr());
    } else {
        auto cls = bind_class<PairIterator>(m, "_PairIterator", BlockSlots<PairIterator>());
        def_method(cls, "__iter__", "The iterator itself.",
                   [](Self<PairIterator> self) { return nb::borrow(self.py); });
        def_method(cls, "__next__", "The next (dotted path, value) pair.", [](PairIterator& it) { return it.next(); });
    }

    def_function(
        m, "c2d", &c2d,
        Parameters("tuple[numpy.ndarray, numpy.ndarray]",
                   parameter("Gs_num: collections.abc.Sequence[float] | numpy.ndarray"),
                   parameter("Gs_den: collections.abc.Sequence[float] | numpy.ndarray"), parameter("Gs_delay: float"),
                   parameter("Ts: float", 1), parameter("method: str", "zoh")),
        "Zero-order-hold discretisation of num(s)/den(s) with dead time; returns (num, den) in powers of z^-1.");
    def_function(
        m, "dict2pairs",
        [](nb::handle d, nb::handle path) {
            require_exact(d, &PyDict_Type, "d");
            return PairIterator(nb::borrow<nb::dict>(d), nb::borrow(path));
        },
        Parameters("collections.abc.Iterator[tuple[str, object]]", parameter("d: dict"), parameter("path: str", "")),
        "Lazily yields (dotted path, value) for every leaf of a nested dict.");
    def_function(m, "pair2dict", &pair2dict,
                 Parameters("None", parameter("pair: tuple[str, object]"), parameter("d: dict")),
                 "Writes one (dotted path, value) pair into a nested dict, creating levels as needed.");
    def_function(m, "str2xpyp", &str2xpyp, Parameters("tuple[list[float], list[float]]", parameter("s: str")),
                 "Parses 'x,y#x,y#...' into x and y lists sorted by x.");
    def_function(m, "dataStore", &data_store,
                 Parameters("None", parameter("xArray: collections.abc.MutableSequence | numpy.ndarray"),
                            parameter("xt: object")),
                 "Shift-register push: xArray[1:] = xArray[:-1]; xArray[0] = xt.");
    m.def("current_time_str", &current_time_str, "Local time as 'YYYY-mm-dd HH:MM:SS'.");
}

}  // namespace ovelin::binding
