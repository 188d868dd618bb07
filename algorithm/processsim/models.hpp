#pragma once
// The pair model classes: one Python class per model kind over one layout,
// the discrete filter the core steps (or none).

#include <nanobind/nanobind.h>

#include "ovelin/mimo_sim.hpp"
#include "ovelin/pair_model.hpp"

namespace ovelin::binding {

namespace nb = nanobind;

struct ModelBlock {
    PairModel filter;
};
struct NoModelBlock : ModelBlock {};
struct TfzBlock : ModelBlock {};
struct TfsBlock : TfzBlock {};
struct StpBlock : TfzBlock {};
struct StpxyBlock : StpBlock {};

// A new model object of the class of `kind` over `filter`.
nb::object new_model(PairKind kind, PairModel filter);

// The Python class of the models of `kind`.
PyTypeObject* model_type(PairKind kind);

// True for the models whose step is the native one (not a Python override).
bool is_native_model(PyObject* obj);

// The filter behind a native model object; TypeError for an uninitialised one.
const PairModel& filter_of(nb::handle obj);

void def_models(nb::module_& m);

}  // namespace ovelin::binding
