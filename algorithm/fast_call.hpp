#pragma once
// The per-sample call path: a method (METH_FASTCALL | METH_KEYWORDS) or the
// call of the object itself (tp_call) whose arguments are parsed without
// building any Python object, then handed to a step function together with
// the checked self.
//
//     constexpr Signature<Float, Float> kRun{"run", arg<Float>("Ut"), arg<Float>("y_ini", 0.0)};
//     double run_step(Block& block, double ut, double y_ini);   // or Self<Block> first
//     BlockSlots<Block>().method<kRun, run_step>(doc)           // in bind_class (block_slots.hpp)
//
// The method's docstring starts with the signature built from the Signature,
// so help() and inspect.signature() show the argument names and defaults.
//
// Argument kinds: Float (converted as PyFloat_AsDouble converts), FloatOrNone,
// Exact<&PyList_Type> (exactly that built-in type) and Object (any object,
// kept as given, borrowed for the duration of the call). The step's result
// kind follows its C++ type: double -> float, bool -> bool, std::int64_t ->
// int, nb::object -> that object, void -> None.

#include <nanobind/nanobind.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "conventions.hpp"
#include "errors.hpp"
#include "instance.hpp"
#include "ovelin/number_text.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

// --- Argument kinds ----------------------------------------------------------

struct Float {
    using value_type = double;
    static bool convert(PyObject* obj, double& out, const char*) noexcept { return to_double(obj, out); }
};

struct FloatOrNone {
    using value_type = std::optional<double>;
    static bool convert(PyObject* obj, std::optional<double>& out, const char*) noexcept {
        if (obj == Py_None) {
            out.reset();
            return true;
        }
        double value;
        if (!to_double(obj, value)) return false;
        out = value;
        return true;
    }
};

template <PyTypeObject* Type>
struct Exact {
    using value_type = PyObject*;
    static bool convert(PyObject* obj, PyObject*& out, const char* name) noexcept {
        if (Py_TYPE(obj) != Type) {
            set_incorrect_type(name, Type, obj);
            return false;
        }
        out = obj;
        return true;
    }
};

struct Object {
    using value_type = PyObject*;
    static bool convert(PyObject* obj, PyObject*& out, const char*) noexcept {
        out = obj;
        return true;
    }
};

template <class Kind>
struct Param {
    const char* name;
    bool required;
    typename Kind::value_type fallback;
    const char* shown;  // the default as help() shows it; null: derived from the fallback
};

template <class Kind>
constexpr Param<Kind> arg(const char* name) {
    return {name, true, typename Kind::value_type{}, nullptr};
}

// `shown` is the default as the caller writes it, for fallbacks that stand
// for a value computed at the call (a null object for 60, {} or None).
template <class Kind>
constexpr Param<Kind> arg(const char* name, typename Kind::value_type fallback, const char* shown = nullptr) {
    return {name, false, fallback, shown};
}

namespace detail {

template <class Kind>
std::string default_text(const Param<Kind>& param) {
    if (param.shown != nullptr) return param.shown;
    using Value = typename Kind::value_type;
    if constexpr (std::is_same_v<Value, double>)
        return ovelin::number_text(param.fallback);
    else if constexpr (std::is_same_v<Value, std::optional<double>>)
        return param.fallback ? ovelin::number_text(*param.fallback) : "None";
    else
        return "...";
}

}  // namespace detail

// --- Signatures ----------------------------------------------------------------

template <class... Kinds>
class Signature {
public:
    static constexpr std::size_t size = sizeof...(Kinds);
    using Values = std::tuple<typename Kinds::value_type...>;

    constexpr Signature(const char* function, Param<Kinds>... params)
        : function_(function), params_(params...), names_{params.name...} {}

    constexpr const char* function() const noexcept { return function_; }

    // "name($self, /, a, b=0.0)": the signature that help() and inspect read
    // from the first line of a built-in method's docstring.
    std::string text_signature(const char* name) const {
        std::string text = std::string(name) + "($self, /";
        std::apply([&](const auto&... param) { ((text += ", " + shown(param)), ...); }, params_);
        return text + ")";
    }

    // Fills `out` from vectorcall arguments; false with a Python error set.
    // Messages follow the interpreter's own.
    bool parse(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames, Values& out) const noexcept {
        const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
        if (kwnames == nullptr && nargs == static_cast<Py_ssize_t>(size))  // the per-sample case
            return convert_given(args, out, std::index_sequence_for<Kinds...>{});
        std::array<PyObject*, size> given{};
        if (nargs > static_cast<Py_ssize_t>(size)) {
            if constexpr (size == 0)
                PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function_, nargs);
            else
                PyErr_Format(PyExc_TypeError, "%s() takes at most %zu arguments (%zd given)", function_, size, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i) given[i] = args[i];
        if (kwnames != nullptr && !place_keywords(args + nargs, kwnames, given)) return false;
        return convert_all(given, out, std::index_sequence_for<Kinds...>{});
    }

private:
    template <class Kind>
    static std::string shown(const Param<Kind>& param) {
        return param.required ? std::string(param.name) : std::string(param.name) + "=" + detail::default_text(param);
    }

    template <std::size_t... I>
    bool convert_given(PyObject* const* args, Values& out, std::index_sequence<I...>) const noexcept {
        return (Kinds::convert(args[I], std::get<I>(out), std::get<I>(params_).name) && ...);
    }

    template <std::size_t... I>
    bool convert_all(const std::array<PyObject*, size>& given, Values& out, std::index_sequence<I...>) const noexcept {
        return (convert_one<I>(given[I], std::get<I>(out)) && ...);
    }

    template <std::size_t I, class Value>
    bool convert_one(PyObject* given, Value& out) const noexcept {
        const auto& param = std::get<I>(params_);
        using Kind = std::tuple_element_t<I, std::tuple<Kinds...>>;
        if (given != nullptr) return Kind::convert(given, out, param.name);
        if (param.required) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function_, param.name,
                         I + 1);
            return false;
        }
        out = param.fallback;
        return true;
    }

    bool place_keywords(PyObject* const* values, PyObject* kwnames, std::array<PyObject*, size>& given) const noexcept {
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < count; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            std::size_t index = 0;
            while (index < size && PyUnicode_CompareWithASCIIString(key, names_[index]) != 0) ++index;
            if (index == size) {
                PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", function_, key);
                return false;
            }
            if (given[index] != nullptr) {
                PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", function_,
                             names_[index], index + 1);
                return false;
            }
            given[index] = values[k];
        }
        return true;
    }

    const char* function_;
    std::tuple<Param<Kinds>...> params_;
    std::array<const char*, size> names_;
};

// --- Results -------------------------------------------------------------------

inline PyObject* to_python(double value) noexcept {
    return PyFloat_FromDouble(value);
}
inline PyObject* to_python(bool value) noexcept {
    return Py_NewRef(value ? Py_True : Py_False);
}
inline PyObject* to_python(std::int64_t value) noexcept {
    return PyLong_FromLongLong(value);
}
inline PyObject* to_python(nb::object value) noexcept {
    return value.release().ptr();
}

// --- The call ------------------------------------------------------------------

// The step takes the block as T& or, when it needs the Python object too, as
// Self<T>.
template <class T, auto Step, class... Values>
decltype(auto) invoke_step(PyObject* self, T& block, Values&... values) {
    if constexpr (std::is_invocable_v<decltype(Step), T&, Values&...>)
        return Step(block, values...);
    else
        return Step(Self<T>{self, block}, values...);
}

template <class T, auto Step, class... Values>
PyObject* step_to_python(PyObject* self, T& block, Values&... values) {
    using Result = decltype(invoke_step<T, Step>(self, block, values...));
    if constexpr (std::is_void_v<Result>) {
        invoke_step<T, Step>(self, block, values...);
        return Py_NewRef(Py_None);
    } else {
        return to_python(invoke_step<T, Step>(self, block, values...));
    }
}

template <class T, const auto& Sig, auto Step>
PyObject* fast_call(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    typename std::remove_cvref_t<decltype(Sig)>::Values values;
    if (!Sig.parse(args, nargsf, kwnames, values)) return nullptr;
    // Checked after parsing: converting an argument can run Python code.
    T* block = checked_self_or_null<T>(self, Sig.function());
    if (block == nullptr) return nullptr;
    try {
        return std::apply([&](auto&... v) { return step_to_python<T, Step>(self, *block, v...); }, values);
    } catch (...) {
        set_python_error_from_current_exception();
        return nullptr;
    }
}

// The tp_call slot: calling the object itself.
template <class T, const auto& Sig, auto Step>
PyObject* call_slot(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    if (kwargs == nullptr || PyDict_GET_SIZE(kwargs) == 0)
        return fast_call<T, Sig, Step>(self, &PyTuple_GET_ITEM(args, 0), nargs, nullptr);
    // Rare path: lay the keywords out as a vectorcall would, holding strong
    // references, since converting one argument may change the dictionary.
    const Py_ssize_t nkw = PyDict_GET_SIZE(kwargs);
    const nb::object stack = nb::steal(PyTuple_New(nargs + nkw));
    const nb::object kwnames = nb::steal(PyTuple_New(nkw));
    if (!stack.is_valid() || !kwnames.is_valid()) return nullptr;
    for (Py_ssize_t i = 0; i < nargs; ++i) PyTuple_SET_ITEM(stack.ptr(), i, Py_NewRef(PyTuple_GET_ITEM(args, i)));
    Py_ssize_t pos = 0, k = 0;
    PyObject *key, *value;
    while (k < nkw && PyDict_Next(kwargs, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames.ptr(), k, Py_NewRef(key));
        PyTuple_SET_ITEM(stack.ptr(), nargs + k, Py_NewRef(value));
        ++k;
    }
    return fast_call<T, Sig, Step>(self, &PyTuple_GET_ITEM(stack.ptr(), 0), nargs, kwnames.ptr());
}

namespace detail {

template <const auto& Sig>
const char* documented(const char* name, const char* doc) {
    return kept_text(Sig.text_signature(name) + "\n--\n\n" + doc);
}

}  // namespace detail

// A method entry named by its Signature, whose docstring starts with the
// signature, for help().
template <class T, const auto& Sig, auto Step>
PyMethodDef fast_method(const char* doc) {
    const char* name = Sig.function();
    return PyMethodDef{name, reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(&fast_call<T, Sig, Step>)),
                       METH_FASTCALL | METH_KEYWORDS, detail::documented<Sig>(name, doc)};
}

// The "__call__" entry that documents the call slot: it stands in the class
// beside the slot (METH_COEXIST), so help() shows the call's signature while
// calling the object still takes the slot.
template <class T, const auto& Sig, auto Step>
PyMethodDef call_method(const char* doc) {
    static_assert(std::string_view(Sig.function()) == "__call__");
    PyMethodDef method = fast_method<T, Sig, Step>(doc);
    method.ml_flags |= METH_COEXIST;
    return method;
}

template <class T, const auto& Sig, auto Step>
PyType_Slot call_slot_entry() {
    return {Py_tp_call, reinterpret_cast<void*>(&call_slot<T, Sig, Step>)};
}

}  // namespace ovelin::binding
