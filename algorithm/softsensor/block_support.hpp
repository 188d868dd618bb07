#pragma once
// What the two blocks of the softsensor module share: the objects imported
// from other modules, the checked block name and the messages made from it,
// history lengths, histories as Python values, and pickled fields.

#include <nanobind/nanobind.h>

#include <cstddef>

#include "arrays.hpp"
#include "filters_capi.hpp"
#include "ovelin/ring_buffer.hpp"
#include "pickle.hpp"

namespace ovelin::binding::soft_sensor {

namespace nb = nanobind;

// Objects of other modules, imported once when the module loads and kept
// for the life of the process (never released, so nothing is freed after the
// interpreter has gone).
struct Imported {
    nb::handle sfilter;          // ovelin.algorithm.filters.sFilter
    const FiltersCApi* filters;  // its per-sample step
    nb::handle deque;            // collections.deque
    nb::handle path;             // pathlib.Path
    nb::handle fspath;           // os.fspath
};
extern Imported imported;

void bind_bias_update(nb::module_& m);
void bind_recorder(nb::module_& m);

// The block name as messages use it: a strong reference to a str, else
// TypeError "Expected str, got <type>" (a caller may have assigned anything).
nb::object checked_name(nb::handle name);

// ValueError "<name><text>" unless `value` is finite; `name` is a str.
void require_finite(nb::handle name, double value, const char* text);

// A history length argument: exactly an int, not negative, at most `max`
// (longer histories do not fit in this machine's memory).
std::size_t history_length(nb::handle value, const char* arg, std::size_t max, nb::handle name, const char* block);

// A pickled history length, checked the same way (ValueError: a refused state).
std::size_t length_field(const StateReader& state, std::size_t i, const char* field, std::size_t max);

// A history as collections.deque(values, maxlen=capacity): a snapshot.
// Pickled states carry it as a tuple (to_tuple).
nb::object deque_of(const ovelin::RingBuffer& values);

// Calls `method` of the object (a subclass or the instance may replace it,
// as for any Python class) with two floats; the result is not used.
void call_method(nb::handle self, const char* method, double a, double b);

}  // namespace ovelin::binding::soft_sensor
