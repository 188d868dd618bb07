#include "step_responses.hpp"

#include <nanobind/stl/pair.h>

#include <vector>

#include "conventions.hpp"
#include "ovelin/mimo_sim.hpp"
#include "pair_definitions.hpp"
#include "parameters.hpp"
#include "sim_bindings.hpp"

namespace ovelin::binding {

namespace {

constexpr double kFlatSpread = 1e-6;  // a response that moves less is no response

void require_int(nb::handle obj, const char* name) {
    require_exact(obj, &PyLong_Type, name);
}

// The responses of the models: with the interpreter lock released, on the
// models built for this call alone, so no other thread can reach them.
std::vector<std::vector<double>> responses_of(const std::vector<PairModel>& models, std::size_t length) {
    try {
        nb::gil_scoped_release released;
        return step_responses(models, length, kFlatSpread);
    } catch (const ovelin::Error& e) {
        if (e.code() != Errc::out_of_memory) throw;
        PyErr_SetString(PyExc_MemoryError, "step responses of this length cannot be held in memory");
        throw nb::python_error();
    }
}

}  // namespace

nb::dict get_model_stp(nb::handle yu_model, nb::handle Ts, nb::handle length) {
    require_exact(yu_model, &PyDict_Type, "yu_model");
    require_int(Ts, "Ts");
    require_int(length, "length");
    const Py_ssize_t n = PyLong_AsSsize_t(length.ptr());
    if (n == -1 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw nb::python_error();
        PyErr_SetString(PyExc_MemoryError, "step responses of this length cannot be held in memory");
        throw nb::python_error();
    }
    const nb::object given = nb::borrow(yu_model);
    auto [cvs, mvs] = get_model_tags(given);
    std::vector<PairModel> models;
    for (nb::handle cv : copy_of(cvs)) {
        for (nb::handle mv : copy_of(mvs)) {
            const PairDefinition definition = read_pair_spec(pair_entry(given, cv, mv));
            models.push_back(build_model(definition, definition.kind == PairKind::continuous ? as_double(Ts) : 1.0));
            if (n < 1) throw nb::value_error("max() arg is an empty sequence");
        }
    }
    const std::vector<std::vector<double>> responses = responses_of(models, static_cast<std::size_t>(n));
    nb::dict result;
    std::size_t i = 0;
    for (nb::handle cv : copy_of(cvs)) {
        nb::dict row;
        for (nb::handle mv : copy_of(mvs)) row[mv] = float_list(responses[i++]);
        result[cv] = row;
    }
    return result;
}

void plot_model_stp(nb::handle yu_model, nb::handle Ts, nb::handle plotLen) {
    require_exact(yu_model, &PyDict_Type, "yu_model");
    require_int(Ts, "Ts");
    require_int(plotLen, "plotLen");
    if (nb::module_::import_("importlib.util").attr("find_spec")("matplotlib").is_none()) return;
    const nb::dict responses = get_model_stp(yu_model, Ts, plotLen);
    auto [cvs, mvs] = get_model_tags(yu_model);
    nb::module_::import_("ovelin.algorithm._plot").attr("plot_step_responses")(responses, cvs, mvs);
}

void def_step_responses(nb::module_& m) {
    def_function(m, "get_model_tags", &get_model_tags, Parameters("tuple[list, list]", parameter("yu_model: dict")),
                 "(CV tags, MV tags) of a process model dictionary.");
    def_function(m, "get_model_stp", &get_model_stp,
                 Parameters("dict[str, dict[str, list[float]]]", parameter("yu_model: dict"), parameter("Ts: float", 1),
                            parameter("length: int", 300)),
                 "Unit-step response of every CV/MV pair, by simulation.");
    def_function(
        m, "plot_model_stp", &plot_model_stp,
        Parameters("None", parameter("yu_model: dict"), parameter("Ts: float", 1), parameter("plotLen: int", 300)),
        "Plots the step responses of every CV/MV pair as a matrix of axes.");
}

}  // namespace ovelin::binding
