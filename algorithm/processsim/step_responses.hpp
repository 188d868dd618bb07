#pragma once
// Step responses of every pair of a process model dictionary, and their plot.

#include <nanobind/nanobind.h>

namespace ovelin::binding {

namespace nb = nanobind;

nb::dict get_model_stp(nb::handle yu_model, nb::handle Ts, nb::handle length);
void plot_model_stp(nb::handle yu_model, nb::handle Ts, nb::handle plotLen);
void def_step_responses(nb::module_& m);

}  // namespace ovelin::binding
