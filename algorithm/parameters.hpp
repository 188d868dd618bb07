#pragma once
// The parameters of a function bound through nanobind, declared once: each
// parameter's name and type as help() and the stubs show them, and its
// default. From the one declaration come nanobind's argument annotations and
// the signature text, so a default is never written twice.
//
//     def_method(cls, "setOPHighLowLimit", set_limits,
//                Parameters("None", parameter("OP_HI: float", 100.0), parameter("OP_LO: float", 0.0)),
//                "Sets the output limits.");
//
// Every parameter takes None: the functions receive raw handles and apply
// the conventions (and their error texts) themselves. A default is a C++
// number, a C string or a Python object, shown as Python writes it.

#include <nanobind/nanobind.h>

#include <cstddef>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "instance.hpp"
#include "ovelin/number_text.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

struct NoDefault {};

template <class Default>
struct Parameter {
    const char* declared;  // "name: type"
    Default fallback;
};

inline Parameter<NoDefault> parameter(const char* declared) {
    return {declared, {}};
}
template <class Default>
Parameter<Default> parameter(const char* declared, Default fallback) {
    return {declared, std::move(fallback)};
}

namespace detail {

inline std::string declared_name(const char* declared) {
    const std::string text(declared);
    return text.substr(0, text.find(':'));
}

template <class Default>
std::string shown_default(const Default& fallback) {
    if constexpr (std::is_floating_point_v<Default>) {
        return ovelin::number_text(fallback);
    } else if constexpr (std::is_integral_v<Default>) {
        return std::to_string(fallback);
    } else if constexpr (std::is_convertible_v<Default, const char*>) {
        return std::string("\"") + fallback + "\"";
    } else {
        const nb::str text = nb::repr(fallback);
        return text.c_str();
    }
}

template <class Default>
std::string shown_parameter(const Parameter<Default>& p) {
    if constexpr (std::is_same_v<Default, NoDefault>)
        return p.declared;
    else
        return std::string(p.declared) + " = " + shown_default(p.fallback);
}

template <class Default>
auto annotation(const Parameter<Default>& p) {
    const char* name = kept_text(declared_name(p.declared));
    if constexpr (std::is_same_v<Default, NoDefault>)
        return nb::arg(name).none();
    else
        return nb::arg(name).none() = p.fallback;
}

}  // namespace detail

template <class... Defaults>
class Parameters {
public:
    // `result` is the return type as help() shows it.
    Parameters(const char* result, Parameter<Defaults>... params) : result_(result), params_(std::move(params)...) {}

    // Calls `bind` with nanobind's extras for the function `name` (a method
    // when `method`): its signature, then one annotation per parameter.
    template <class Bind>
    void bind_as(const char* name, bool method, Bind&& bind) const {
        std::string text = std::string("def ") + name + "(" + (method ? "self" : "");
        std::apply(
            [&](const auto&... p) {
                bool first = !method;
                ((text += (first ? "" : ", ") + detail::shown_parameter(p), first = false), ...);
            },
            params_);
        text += std::string(") -> ") + result_;
        std::apply(
            [&](const auto&... p) { bind(nb::sig(detail::kept_text(std::move(text))), detail::annotation(p)...); },
            params_);
    }

private:
    const char* result_;
    std::tuple<Parameter<Defaults>...> params_;
};

// A method of a block, its parameters declared once (see above).
template <class T, class... Bases, class F, class... Defaults>
void def_method(nb::class_<T, Bases...>& cls, const char* name, F f, const Parameters<Defaults...>& params,
                const char* doc) {
    params.bind_as(name, true,
                   [&](const auto&... extras) { cls.def(name, checked<T>(name, std::move(f)), extras..., doc); });
}

namespace detail {

template <class T, class Make, class... Args>
auto placing(Make make, std::tuple<Args...>*) {
    return [make = std::move(make)](T* self, Args... args) {
        T block = make(std::forward<Args>(args)...);
        refuse_if_initialised(self);
        new (self) T(std::move(block));
    };
}

}  // namespace detail

// The constructor. `make` converts the arguments and returns the block, which
// is placed in the instance unless converting them initialised it meanwhile
// (refuse_if_initialised). A constructor that must use its instance while
// it builds (T* first) places the block itself and makes that check.
template <class T, class... Bases, class Make, class... Defaults>
void def_init(nb::class_<T, Bases...>& cls, Make make, const Parameters<Defaults...>& params, const char* doc) {
    using Made = detail::signature_of<std::decay_t<Make>>;
    auto init = [&] {
        if constexpr (std::is_void_v<typename Made::result>)
            return std::move(make);
        else
            return detail::placing<T>(std::move(make), static_cast<typename Made::args*>(nullptr));
    }();
    params.bind_as("__init__", true,
                   [&](const auto&... extras) { cls.def("__init__", std::move(init), extras..., doc); });
}

// A module-level function.
template <class F, class... Defaults>
void def_function(nb::module_& m, const char* name, F f, const Parameters<Defaults...>& params, const char* doc) {
    params.bind_as(name, false, [&](const auto&... extras) { m.def(name, std::move(f), extras..., doc); });
}

}  // namespace ovelin::binding
