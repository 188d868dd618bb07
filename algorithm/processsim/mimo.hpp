#pragma once
// Building, stepping and restoring MIMO simulators.

#include <nanobind/nanobind.h>

#include "mimo_block.hpp"
#include "pickle.hpp"

namespace ovelin::binding {

// A simulator of the process model dictionary, refusing what the interface
// refuses. With `without_effect` every pair is built without a model.
MimoBlock build_mimo(nb::handle process_model_dict, nb::handle ini_value_dict, nb::handle Ts,
                     bool without_effect = false);

// One sample: the caller's MV values and disturbances; the new CV values.
nb::object mimo_call(MimoBlock& sim, PyObject* u_dict, PyObject* v_dict);

// The MV values at their initial values (the simulator's reset).
void reset_mimo(MimoBlock& sim);

// {MV tag: value} as the caller gave the values, copied so that nothing is shared.
nb::dict input_values_copy(const MimoBlock& sim);

inline constexpr std::size_t kMimoFields = 9;
nb::tuple mimo_state(Self<MimoBlock> self);
MimoBlock build_mimo_from_state(const StateReader& state);

// MISOSimulator: the models of one CV and their MVs' initial values, as given.
struct MisoBlock {
    nb::object models, u_ini;

    template <class Visit>
    void visit_references(Visit&& visit) const {
        visit(models);
        visit(u_ini);
    }
};

double one_step_sim(MisoBlock& miso, nb::handle u_list);

}  // namespace ovelin::binding
