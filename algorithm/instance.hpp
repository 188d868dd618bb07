#pragma once
// The one checked path from a Python `self` to the C++ block behind it.
//
// Methods, properties and pickling functions take `self` as a raw handle (a
// typed `T&` would let nanobind's dispatch word the errors), so the type and
// the readiness of the instance are checked here, with the interpreter's own
// descriptor wording. Define every method and property of a block through
// def_method / def_property so that no function can skip the check.

#include <nanobind/nanobind.h>

#include <cstring>
#include <forward_list>
#include <new>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "errors.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

namespace detail {

// Text that lives as long as the process: method tables and signatures point at it.
inline const char* kept_text(std::string text) {
    static std::forward_list<std::string> texts;
    texts.push_front(std::move(text));
    return texts.front().c_str();
}

}  // namespace detail

// The Python type of a bound block, recorded by bind_class().
template <class T>
inline PyTypeObject* bound_type = nullptr;

// A checked self: the Python object and the block behind it. Functions that
// need the Python object (its dictionary, its type name) take this as their
// first parameter; the others take T& or const T&.
template <class T>
struct Self {
    nb::handle py;
    T& block;
};

[[noreturn]] inline void raise_foreign_self(const char* member, PyTypeObject* type, nb::handle self) {
    const nb::object type_name = nb::steal(PyType_GetName(type));
    if (!type_name) throw nb::python_error();
    PyErr_Format(PyExc_TypeError, "descriptor '%s' for '%U' objects doesn't apply to a '%s' object", member,
                 type_name.ptr(), Py_TYPE(self.ptr())->tp_name);
    throw nb::python_error();
}

[[noreturn]] inline void raise_uninitialised(nb::handle self) {
    const nb::object type_name = nb::steal(PyType_GetName(Py_TYPE(self.ptr())));
    if (!type_name) throw nb::python_error();
    PyErr_Format(PyExc_TypeError, "'%U' object is not initialized", type_name.ptr());
    throw nb::python_error();
}

// Refuses to build a block into an instance that is already initialised:
// converting a constructor's arguments runs Python code, which may have
// initialised the same instance meanwhile (building over it would lose the
// block built then, and all it holds).
template <class T>
void refuse_if_initialised(const T* block) {
    const nb::object instance = nb::find(block);
    if (!instance.is_valid() || !nb::inst_ready(instance)) return;
    const nb::object type_name = nb::steal(PyType_GetName(Py_TYPE(instance.ptr())));
    if (!type_name) throw nb::python_error();
    PyErr_Format(PyExc_TypeError, "'%U' object is already initialized", type_name.ptr());
    throw nb::python_error();
}

// A block whose own state a batch steps with the interpreter lock released
// derives from this. While such a batch runs, the checked path refuses every
// other use of the block (it can only come from another thread), so that no
// call, setter or copy races with the batch.
struct ReleasesLockInBatches {
    bool batch_running = false;  // read and written with the lock held only
};

[[noreturn]] inline void raise_in_use(nb::handle self) {
    const nb::object type_name = nb::steal(PyType_GetName(Py_TYPE(self.ptr())));
    if (!type_name) throw nb::python_error();
    PyErr_Format(PyExc_RuntimeError, "'%U' object is in use by another thread", type_name.ptr());
    throw nb::python_error();
}

template <class T>
void refuse_if_batch_running(nb::handle self, const T& block) {
    if constexpr (std::is_base_of_v<ReleasesLockInBatches, T>)
        if (block.batch_running) raise_in_use(self);
}

// Marks the block busy and releases the interpreter lock for the scope; the
// lock is taken back before the mark is cleared.
class ReleasedBatch {
public:
    explicit ReleasedBatch(ReleasesLockInBatches& block) noexcept : block_(block) {
        block_.batch_running = true;
        thread_ = PyEval_SaveThread();
    }
    ~ReleasedBatch() {
        PyEval_RestoreThread(thread_);
        block_.batch_running = false;
    }
    ReleasedBatch(const ReleasedBatch&) = delete;
    ReleasedBatch& operator=(const ReleasedBatch&) = delete;

private:
    ReleasesLockInBatches& block_;
    PyThreadState* thread_;
};

// True when `self` is an instance of T's type or of a subclass.
template <class T>
bool is_instance(PyObject* self) noexcept {
    return PyObject_TypeCheck(self, bound_type<T>);
}

// True when `obj` is a ready instance of T's type or of a subclass (Exact:
// of T's type itself): the test behind every choice a binding makes between
// its native path and a Python one for an object it holds.
template <class T>
bool is_ready_instance(nb::handle obj) noexcept {
    return is_instance<T>(obj.ptr()) && nb::inst_ready(obj);
}
template <class T>
bool is_ready_exact(nb::handle obj) noexcept {
    return Py_TYPE(obj.ptr()) == bound_type<T> && nb::inst_ready(obj);
}

// The block behind `self`, for the member named `member`: TypeError for a
// foreign object or an instance whose construction has not completed.
template <class T>
T& checked_self(nb::handle self, const char* member) {
    if (!is_instance<T>(self.ptr())) raise_foreign_self(member, bound_type<T>, self);
    if (!nb::inst_ready(self)) raise_uninitialised(self);
    T& block = *nb::inst_ptr<T>(self);
    refuse_if_batch_running(self, block);
    return block;
}

// A block held inside another block (an inner filter, a model): the same
// checks, with a message about what holds it.
template <class T>
T& held_block(nb::handle obj, const char* what) {
    if (!is_ready_instance<T>(obj)) {
        PyErr_Format(PyExc_TypeError, "%s is not an initialized %s", what, bound_type<T>->tp_name);
        throw nb::python_error();
    }
    T& block = *nb::inst_ptr<T>(obj);
    refuse_if_batch_running(obj, block);
    return block;
}

// A new ready instance of T's Python type holding `block`.
template <class T>
nb::object new_instance(T&& block) {
    static_assert(std::is_nothrow_move_constructible_v<T>);
    nb::object obj = nb::inst_alloc(nb::handle(reinterpret_cast<PyObject*>(bound_type<T>)));
    new (nb::inst_ptr<T>(obj)) T(std::move(block));
    nb::inst_mark_ready(obj);
    return obj;
}

// The same for the fast calls: nullptr with a Python error set.
template <class T>
T* checked_self_or_null(PyObject* self, const char* member) noexcept {
    try {
        return &checked_self<T>(self, member);
    } catch (nb::python_error& e) {
        e.restore();
        return nullptr;
    }
}

namespace detail {

template <class F>
struct signature_of : signature_of<decltype(&std::remove_cvref_t<F>::operator())> {};
template <class R, class... A>
struct signature_of<R (*)(A...)> {
    using result = R;
    using args = std::tuple<A...>;
};
template <class C, class R, class... A>
struct signature_of<R (C::*)(A...) const> : signature_of<R (*)(A...)> {};
template <class C, class R, class... A>
struct signature_of<R (C::*)(A...)> : signature_of<R (*)(A...)> {};

// What a function's first parameter asks for: T&, const T& or Self<T>.
template <class T, class First>
decltype(auto) self_argument(nb::handle self, const char* member) {
    T& block = checked_self<T>(self, member);
    if constexpr (std::is_same_v<std::remove_cvref_t<First>, Self<T>>) {
        return Self<T>{self, block};
    } else {
        return (block);
    }
}

template <class T, class F, class R, class First, class... Rest>
auto with_checked_self(const char* member, F f, std::tuple<First, Rest...>*) {
    return [member, f = std::move(f)](nb::handle self, Rest... rest) -> R {
        return f(self_argument<T, First>(self, member), std::forward<Rest>(rest)...);
    };
}

// Raises the error in flight again, its text preceded by the property's name
// unless the text names it already (with or without its leading underscores):
// "_TS: must be real number, not str", but "alpha must be a finite number".
// Only the plain kinds are renamed (their constructors take one message).
[[noreturn]] inline void raise_naming_property(const char* name) {
    set_python_error_from_current_exception();
    PyObject* const error = PyErr_GetRaisedException();
    PyObject* const kind = reinterpret_cast<PyObject*>(Py_TYPE(error));
    if (kind == PyExc_TypeError || kind == PyExc_ValueError || kind == PyExc_OverflowError) {
        if (PyObject* const text = PyObject_Str(error)) {
            const char* const utf8 = PyUnicode_AsUTF8(text);
            const char* bare = name;
            while (*bare == '_') ++bare;
            if (utf8 != nullptr && std::strstr(utf8, bare) == nullptr) {
                PyErr_Format(kind, "%s: %U", name, text);
                Py_DECREF(text);
                Py_DECREF(error);
                throw nb::python_error();
            }
            Py_DECREF(text);
        }
        PyErr_Clear();  // a text that cannot be read: keep the error as it was
    }
    PyErr_SetRaisedException(error);
    throw nb::python_error();
}

// `set` (block, value) with its refusals naming the property.
template <class Set>
auto naming_property(const char* name, Set set) {
    using Block = std::tuple_element_t<0, typename signature_of<std::decay_t<Set>>::args>;
    return [name, set = std::move(set)](Block block, nb::handle value) {
        try {
            set(std::forward<Block>(block), value);
        } catch (...) {
            raise_naming_property(name);
        }
    };
}

inline nb::sig getter_signature(const char* name, const char* type) {
    return nb::sig(kept_text(std::string("def ") + name + "(self) -> " + type));
}

inline nb::sig setter_signature(const char* name, const char* type) {
    return nb::sig(kept_text(std::string("def ") + name + "(self, value: " + type + ", /) -> None"));
}

}  // namespace detail

// `f` (whose first parameter is T&, const T& or Self<T>) as a function whose
// first parameter is the unchecked Python self.
template <class T, class F>
auto checked(const char* member, F f) {
    using Signature = detail::signature_of<std::decay_t<F>>;
    return detail::with_checked_self<T, std::decay_t<F>, typename Signature::result>(
        member, std::move(f), static_cast<typename Signature::args*>(nullptr));
}

// nb::class_ for a block, remembering its Python type for the checks above.
template <class T, class... Extra>
nb::class_<T> bind_class(nb::handle scope, const char* name, const Extra&... extra) {
    nb::class_<T> cls(scope, name, extra...);
    bound_type<T> = reinterpret_cast<PyTypeObject*>(cls.ptr());
    return cls;
}

// The same for a block class derived from the bound block class Base.
template <class T, class Base, class... Extra>
nb::class_<T, Base> bind_subclass(nb::handle scope, const char* name, const Extra&... extra) {
    static_assert(std::is_base_of_v<Base, T>);
    nb::class_<T, Base> cls(scope, name, extra...);
    bound_type<T> = reinterpret_cast<PyTypeObject*>(cls.ptr());
    return cls;
}

template <class T, class... Bases, class F, class... Extra>
void def_method(nb::class_<T, Bases...>& cls, const char* name, F f, const Extra&... extra) {
    cls.def(name, checked<T>(name, std::move(f)), extra...);
}

// The same with its docstring first, where the function is a long lambda.
template <class T, class... Bases, class F, class... Extra>
void def_method(nb::class_<T, Bases...>& cls, const char* name, const char* doc, F f, const Extra&... extra) {
    cls.def(name, checked<T>(name, std::move(f)), extra..., doc);
}

// A read-only property. `type` is the value's type as help() and the stubs
// show it, for getters that return a plain object.
template <class T, class... Bases, class Get>
void def_property(nb::class_<T, Bases...>& cls, const char* name, Get get) {
    cls.def_prop_ro(name, checked<T>(name, std::move(get)));
}

template <class T, class... Bases, class Get>
void def_property(nb::class_<T, Bases...>& cls, const char* name, const char* type, Get get) {
    cls.def_prop_ro(name, checked<T>(name, std::move(get)), nb::for_getter(detail::getter_signature(name, type)));
}

// A read-write property; the setter takes the value as a raw handle (None
// included) and applies the conventions itself. A refused value's error
// names the property.
template <class T, class... Bases, class Get, class Set>
void def_property(nb::class_<T, Bases...>& cls, const char* name, Get get, Set set) {
    cls.def_prop_rw(name, checked<T>(name, std::move(get)),
                    checked<T>(name, detail::naming_property(name, std::move(set))),
                    nb::for_setter(detail::setter_signature(name, "object")), nb::for_setter(nb::arg("value").none()));
}

template <class T, class... Bases, class Get, class Set>
void def_property(nb::class_<T, Bases...>& cls, const char* name, const char* type, Get get, Set set) {
    cls.def_prop_rw(name, checked<T>(name, std::move(get)),
                    checked<T>(name, detail::naming_property(name, std::move(set))),
                    nb::for_getter(detail::getter_signature(name, type)),
                    nb::for_setter(detail::setter_signature(name, type)), nb::for_setter(nb::arg("value").none()));
}

// A property over a member that keeps the caller's object as given.
template <class T>
void def_object_member(nb::class_<T>& cls, const char* name, const char* type, nb::object T::*member) {
    def_property(
        cls, name, type, [member](const T& block) { return block.*member; },
        [member](T& block, nb::handle value) { block.*member = nb::borrow(value); });
}

// A property over a member with get() and set(handle) (e.g. KeptFloat).
template <class T, class Member>
void def_value_member(nb::class_<T>& cls, const char* name, const char* type, Member T::*member) {
    def_property(
        cls, name, type, [member](const T& block) { return (block.*member).get(); },
        [member](T& block, nb::handle value) { (block.*member).set(value); });
}

}  // namespace ovelin::binding
