#pragma once
// The one translation from C++ errors to Python errors, for nanobind's
// functions (registered as an exception translator) and for the hand-written
// fast calls alike. The core reports what went wrong as an ovelin::Error
// code; this file owns every Python-facing text for those codes, including
// the ones that read as NumPy's or the interpreter's own.

#include <nanobind/nanobind.h>

#include <exception>
#include <new>
#include <typeinfo>

#include "ovelin/error.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

// The Python error for a core error: its kind, and the text where the
// interface promises one; otherwise the core's own message.
inline void set_python_error(const ovelin::Error& error) noexcept {
    PyObject* kind = PyExc_ValueError;
    const char* text = nullptr;
    switch (error.code()) {
        case Errc::empty_denominator: text = "There must be at least one `a` coefficient."; break;
        case Errc::zero_leading_denominator: text = "First `a` filter coefficient must be non-zero."; break;
        case Errc::all_zero_denominator: text = "Denominator must have at least on nonzero element."; break;
        case Errc::empty_numerator: text = "Parameter b is not a non-empty 1d array, since b.shape=(0,)!"; break;
        case Errc::improper_transfer_function: text = "Improper transfer function. `num` is longer than `den`."; break;
        case Errc::non_finite_matrix: text = "Array must not contain infs or NaNs"; break;
        case Errc::no_convergence: text = "Eigenvalues did not converge"; break;
        case Errc::negative_parameter: text = "Expected a non-negative value."; break;
        case Errc::negative_size: text = "negative dimensions are not allowed"; break;
        case Errc::size_too_large:
            text = "array is too big; `arr.size * arr.dtype.itemsize` is larger than the maximum possible size.";
            break;
        case Errc::nan_to_integer: text = "cannot convert float NaN to integer"; break;
        case Errc::infinity_to_integer:
            kind = PyExc_OverflowError;
            text = "cannot convert float infinity to integer";
            break;
        case Errc::zero_sample_time:
            kind = PyExc_ZeroDivisionError;
            text = "float division by zero";
            break;
        case Errc::zero_numerator:
        case Errc::no_first_sample:
            kind = PyExc_IndexError;
            text = "index 0 is out of bounds for axis 0 with size 0";
            break;
        case Errc::no_last_sample:
            kind = PyExc_IndexError;
            text = "index -1 is out of bounds for axis 0 with size 0";
            break;
        case Errc::zero_modulus:
            kind = PyExc_ZeroDivisionError;
            text = "integer modulo by zero";
            break;
        case Errc::zero_period:
            kind = PyExc_ZeroDivisionError;
            text = "integer division or modulo by zero";
            break;
        case Errc::out_of_memory: kind = PyExc_MemoryError; break;
        case Errc::state_missing: kind = PyExc_AttributeError; break;
        case Errc::invalid_argument:
        case Errc::non_finite_parameter:
        case Errc::invalid_sample_time:
        case Errc::size_mismatch: break;
    }
    PyErr_SetString(kind, text != nullptr ? text : error.what());
}

// Turns the exception in flight into the matching Python error.
inline void set_python_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (nb::python_error& e) {
        e.restore();
    } catch (const nb::builtin_exception& e) {
        // nb::type_error and friends carry their kind in their type.
        PyObject* kind = PyExc_RuntimeError;
        switch (e.type()) {
            case nb::exception_type::type_error: kind = PyExc_TypeError; break;
            case nb::exception_type::value_error: kind = PyExc_ValueError; break;
            case nb::exception_type::index_error: kind = PyExc_IndexError; break;
            case nb::exception_type::key_error: kind = PyExc_KeyError; break;
            case nb::exception_type::attribute_error: kind = PyExc_AttributeError; break;
            case nb::exception_type::stop_iteration: kind = PyExc_StopIteration; break;
            default: break;
        }
        PyErr_SetString(kind, e.what());
    } catch (const ovelin::Error& e) {
        set_python_error(e);
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (...) {
        // Every error the library raises is one of the above; anything else
        // is a fault of the library, reported without C++ type names.
        PyErr_SetString(PyExc_SystemError, "internal error in ovelin.algorithm");
    }
}

// Lets nanobind's functions report core errors the same way. Call once per
// module, in its initialisation.
inline void register_error_translation() {
    nb::register_exception_translator(
        [](const std::exception_ptr& error, void*) {
            try {
                std::rethrow_exception(error);
            } catch (const ovelin::Error& e) {
                set_python_error(e);
            } catch (const std::bad_cast&) {
                // A failed nanobind cast: name the problem, not the C++ type.
                PyErr_SetString(PyExc_TypeError, "unexpected argument or state type");
            }
        },
        nullptr);
}

}  // namespace ovelin::binding
