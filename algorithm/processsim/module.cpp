// Python module ovelin.algorithm.processsim: single-pair process models, the
// MISO and MIMO simulators driven by tag dictionaries, and step responses.
// The models come from the core's pair-model factory; this module reads the
// model dictionaries into pair definitions and applies the interface.

#include <nanobind/nanobind.h>

#include "errors.hpp"
#include "models.hpp"
#include "step_responses.hpp"

namespace ovelin::binding {
void def_simulators(nb::module_& m);
}

NB_MODULE(processsim, m) {
    using namespace ovelin::binding;
    register_error_translation();
    m.doc() = "Process models, the MIMO simulator over a process model dictionary, and step responses.";
    def_models(m);
    def_step_responses(m);
    def_simulators(m);
}
