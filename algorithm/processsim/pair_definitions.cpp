#include "pair_definitions.hpp"

#include <vector>

#include "arrays.hpp"
#include "conventions.hpp"
#include "errors.hpp"

namespace ovelin::binding {

namespace {

[[noreturn]] void raise_no_attribute(nb::handle obj, const char* attribute) {
    PyErr_Format(PyExc_AttributeError, "'%.200s' object has no attribute '%s'", Py_TYPE(obj.ptr())->tp_name, attribute);
    throw nb::python_error();
}

[[noreturn]] void raise_assertion() {
    PyErr_SetNone(PyExc_AssertionError);
    throw nb::python_error();
}

// d.get(key), held; nullptr when missing.
nb::object lookup(nb::handle d, const char* key) {
    const nb::object name = nb::steal(PyUnicode_FromString(key));
    if (!name.is_valid()) throw nb::python_error();
    PyObject* value = PyDict_GetItemWithError(d.ptr(), name.ptr());
    if (value == nullptr && PyErr_Occurred()) throw nb::python_error();
    return nb::borrow(value);
}

nb::object get_or(nb::handle d, const char* key, nb::object fallback) {
    nb::object value = lookup(d, key);
    return value.is_valid() ? value : fallback;
}

// d[key]: KeyError naming the key when it is missing.
nb::object required(nb::handle d, const char* key) {
    nb::object value = lookup(d, key);
    if (!value.is_valid()) {
        const nb::object name = nb::steal(PyUnicode_FromString(key));
        if (name.is_valid()) PyErr_SetObject(PyExc_KeyError, name.ptr());
        throw nb::python_error();
    }
    return value;
}

bool equals(nb::handle a, const char* text) {
    const nb::object other = nb::steal(PyUnicode_FromString(text));
    if (!other.is_valid()) throw nb::python_error();
    const int same = PyObject_RichCompareBool(a.ptr(), other.ptr(), Py_EQ);
    if (same < 0) throw nb::python_error();
    return same == 1;
}

Py_ssize_t length_of(nb::handle obj) {
    const Py_ssize_t n = PyObject_Length(obj.ptr());
    if (n < 0) throw nb::python_error();
    return n;
}

// The entry's keys read in the order a dynamically typed reading reads them,
// so that the first missing key is the one named.
PairDefinition read_mode(nb::handle entry, nb::handle mode, bool integrating) {
    PairDefinition definition;
    definition.integrating = integrating;
    const nb::object zero = nb::int_(0);
    if (equals(mode, "tf_s")) {
        definition.kind = PairKind::continuous;
        definition.den = as_float64_vector(required(entry, "den_s"));
        definition.num = as_float64_vector(required(entry, "num_s"));
        definition.delay = as_double(get_or(entry, "iodelay_s", zero));
    } else if (equals(mode, "tf_z")) {
        definition.kind = PairKind::discrete;
        definition.den = as_float64_vector(required(entry, "den_z"));
        definition.num = as_float64_vector(required(entry, "num_z"));
        definition.delay_samples = delay_samples(get_or(entry, "iodelay_z", zero));
    } else if (equals(mode, "stp")) {
        definition.kind = PairKind::step_response;
        definition.response = as_float64_vector(required(entry, "stp"));
    } else if (equals(mode, "stpxy")) {
        definition.kind = PairKind::step_points;
        const nb::object y = required(entry, "y"), x = required(entry, "x");
        if (length_of(x) != length_of(y)) raise_assertion();
        definition.points = as_float64_vector(x);
        definition.response = as_float64_vector(y);
        if (definition.points.size() != definition.response.size()) raise_assertion();
    } else {
        raise_assertion();
    }
    return definition;
}

}  // namespace

PairDefinition read_pair_spec(nb::handle entry) {
    if (!PyDict_Check(entry.ptr())) raise_no_attribute(entry, "get");
    const nb::object held = nb::borrow(entry);
    const bool integrating = truth(get_or(held, "IntegralMark", nb::int_(0)));
    if (PyDict_GET_SIZE(held.ptr()) == 0) return PairDefinition{};
    const nb::object mode = get_or(held, "mode", nb::str("None"));
    if (equals(mode, "None")) return PairDefinition{};
    return read_mode(held, mode, integrating);
}

std::size_t delay_samples(nb::handle delay) {
    if (PyFloat_Check(delay.ptr()) || !PyIndex_Check(delay.ptr())) {
        PyErr_SetString(PyExc_TypeError, "`pad_width` must be of integral type.");
        throw nb::python_error();
    }
    const Py_ssize_t d = PyNumber_AsSsize_t(delay.ptr(), nullptr);  // clipped: too many is refused later
    if (d == -1 && PyErr_Occurred()) throw nb::python_error();
    if (d < 0) throw nb::value_error("index can't contain negative values");
    return static_cast<std::size_t>(d);
}

PairModel build_model(const PairDefinition& definition, double ts) {
    try {
        return make_pair_model(definition, ts);
    } catch (const ovelin::Error& e) {
        if (e.code() != Errc::out_of_memory) throw;
        PyErr_SetString(PyExc_MemoryError,
                        "the pair model cannot be held in memory: its dead time or step response has too many samples");
        throw nb::python_error();
    }
}

nb::object pair_entry(nb::handle yu_model, nb::handle cv, nb::handle mv) {
    const nb::object held_model = nb::borrow(yu_model);
    PyObject* inner = PyDict_GetItemWithError(held_model.ptr(), cv.ptr());
    if (inner == nullptr) {
        if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, cv.ptr());
        throw nb::python_error();
    }
    const nb::object held = nb::borrow(inner);
    if (!PyDict_Check(held.ptr())) raise_no_attribute(held, "get");
    PyObject* entry = PyDict_GetItemWithError(held.ptr(), mv.ptr());
    if (entry == nullptr) {
        if (PyErr_Occurred()) throw nb::python_error();
        return nb::dict();
    }
    return nb::borrow(entry);
}

std::pair<nb::list, nb::list> get_model_tags(nb::handle yu_model) {
    if (!PyDict_Check(yu_model.ptr())) raise_no_attribute(yu_model, "keys");
    const nb::object items = nb::steal(PyDict_Items(yu_model.ptr()));  // a snapshot
    if (!items.is_valid()) throw nb::python_error();
    nb::list cvs, mvs;
    nb::dict seen;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.ptr()); ++i) {
        PyObject* item = PyList_GET_ITEM(items.ptr(), i);
        cvs.append(nb::handle(PyTuple_GET_ITEM(item, 0)));
        const nb::handle inner = PyTuple_GET_ITEM(item, 1);
        if (!PyDict_Check(inner.ptr())) raise_no_attribute(inner, "keys");
        const nb::object keys = nb::steal(PyDict_Keys(inner.ptr()));
        if (!keys.is_valid()) throw nb::python_error();
        for (Py_ssize_t k = 0; k < PyList_GET_SIZE(keys.ptr()); ++k) {
            const nb::object key = nb::borrow(PyList_GET_ITEM(keys.ptr(), k));
            const int known = PyDict_Contains(seen.ptr(), key.ptr());
            if (known < 0) throw nb::python_error();
            if (known) continue;
            if (PyDict_SetItem(seen.ptr(), key.ptr(), Py_None) != 0) throw nb::python_error();
            mvs.append(key);
        }
    }
    return {cvs, mvs};
}

}  // namespace ovelin::binding
