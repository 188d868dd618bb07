#pragma once
// Pair definitions read from a process model dictionary, with the
// interface's refusals and texts; the core builds the models from them.

#include <nanobind/nanobind.h>

#include <cstddef>
#include <utility>

#include "ovelin/pair_model.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

// The definition of one pair entry (a dict): KeyError naming a missing
// key, AssertionError for an unknown mode.
PairDefinition read_pair_spec(nb::handle entry);

// The entry of pair (cv, mv): yu_model[cv].get(mv, {}).
nb::object pair_entry(nb::handle yu_model, nb::handle cv, nb::handle mv);

// (CV tags, MV tags) of a process model dictionary.
std::pair<nb::list, nb::list> get_model_tags(nb::handle yu_model);

// A dead time in samples, refused as the array padding refuses it.
std::size_t delay_samples(nb::handle delay);

// The core's model of `definition`; a model too large for memory is a MemoryError
// saying so.
PairModel build_model(const PairDefinition& definition, double ts);

}  // namespace ovelin::binding
