// The Python classes MISOSimulator, MIMOSim and SISOSim.

#include <utility>

#include "block_slots.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "instance.hpp"
#include "mimo.hpp"
#include "parameters.hpp"
#include "sim_bindings.hpp"
#include "step_responses.hpp"

namespace ovelin::binding {

namespace {

constexpr Signature<Object, Object> kMimoCall{"__call__", arg<Object>("u_Value_Dict", nullptr, "{}"),
                                              arg<Object>("v_Value_Dict", nullptr, "{}")};

constexpr const char* kMimoCallDoc =
    "One sample: takes the MV values found in u_Value_Dict, steps every pair model once and\n"
    "returns {CV tag: value}, each CV the sum of its pairs plus its disturbance from\n"
    "v_Value_Dict and its initial value. Other tags are ignored.";

void def_miso(nb::module_& m) {
    auto miso = bind_class<MisoBlock>(m, "MISOSimulator", nb::dynamic_attr(), BlockSlots<MisoBlock>(),
                                      "Sums the outputs of the models of one CV.");
    def_init(
        miso,
        [](nb::handle model_list, nb::handle u_ini_list) {
            return MisoBlock{nb::borrow(model_list), nb::borrow(u_ini_list)};
        },
        Parameters("None", parameter("model_list: list"), parameter("u_ini_list: list")),
        "The models of one CV and the initial value of each model's MV.");
    def_method(miso, "one_step_sim", &one_step_sim,
               Parameters("float", parameter("u_list: collections.abc.Sequence[float] | numpy.ndarray")),
               "One sample: the sum of the model outputs for the MV values u_list.");
    def_object_member(miso, "model_list", "list", &MisoBlock::models);
    def_object_member(miso, "u_ini_list", "list", &MisoBlock::u_ini);
    def_pickle<MisoBlock>(
        miso, "MISOSimulator", 2, [](Self<MisoBlock> s) { return pickled_state(s.py, s.block.models, s.block.u_ini); },
        [](const StateReader& state) { return MisoBlock{nb::borrow(state.object(0)), nb::borrow(state.object(1))}; });
}

template <class C>
void def_mimo_getters(C& mimo) {
    def_method(mimo, "reset", "Puts the MV and CV values back at their initial values; the models keep their state.",
               &reset_mimo);
    def_method(mimo, "get_input_data_dict", "The current MV values, {MV tag: value}, in a new dictionary.",
               &input_values_copy);
    def_method(mimo, "get_output_data_dict", "The current CV values, {CV tag: value}, in a new dictionary.",
               [](const MimoBlock& sim) { return sim.cvs.make_dict(sim.core->outputs()); });
    def_method(mimo, "get_all_data_dict", "The current MV and CV values in one new dictionary.",
               [](const MimoBlock& sim) {
                   nb::dict all = input_values_copy(sim);
                   if (PyDict_Update(all.ptr(), sim.cvs.make_dict(sim.core->outputs()).ptr()) != 0)
                       throw nb::python_error();
                   return all;
               });
    def_method(mimo, "get_cv_list", "A copy of the CV tags, in order.",
               [](const MimoBlock& sim) { return deep_copy(sim.cv_list); });
    def_method(mimo, "get_mv_list", "A copy of the MV tags, in order.",
               [](const MimoBlock& sim) { return deep_copy(sim.mv_list); });
    def_method(mimo, "get_model_dict", "A deep copy of the process model dictionary.",
               [](const MimoBlock& sim) { return deep_copy(sim.model_dict); });
    def_method(mimo, "get_process_tags", "The CV tags followed by the MV tags, in a new list.",
               [](const MimoBlock& sim) {
                   nb::list tags = copy_of(sim.cv_list);
                   for (nb::handle t : copy_of(sim.mv_list)) tags.append(t);
                   return tags;
               });
}

template <class C>
void def_mimo_attributes(C& mimo) {
    def_method(
        mimo, "plot_model_stp",
        [](const MimoBlock& sim, nb::handle plotLen) {
            const nb::object model_dict = sim.model_dict, ts = sim.ts;  // held: plotting runs Python code
            plot_model_stp(model_dict, ts, plotLen);
        },
        Parameters("None", parameter("plotLen: int", 300)),
        "Plots the step responses of this simulator's model dictionary.");
    def_property(
        mimo, "Ts", "typing.Any", [](const MimoBlock& sim) { return sim.ts; },
        [](MimoBlock& sim, nb::handle value) { sim.ts = nb::borrow(value); });
    def_property(mimo, "process_model_dict", "dict", [](const MimoBlock& sim) { return sim.model_dict; });
    def_property(mimo, "cv_list", "list", [](const MimoBlock& sim) { return sim.cv_list; });
    def_property(mimo, "mv_list", "list", [](const MimoBlock& sim) { return sim.mv_list; });
    def_property(mimo, "ini_value_dict", "dict", [](const MimoBlock& sim) { return sim.ini_dict; });
    def_property(mimo, "yu_model_obj", "dict[str, dict[str, model]]",
                 [](const MimoBlock& sim) { return sim.yu_model_obj; });
    def_property(mimo, "cv_simulators", "dict[str, MISOSimulator]",
                 [](const MimoBlock& sim) { return sim.cv_simulators; });
    def_property(mimo, "_u_dict",
                 [](const MimoBlock& sim) { return sim.mvs.make_dict(std::span<const nb::object>(sim.u_objects)); });
    def_property(mimo, "_y_dict", [](const MimoBlock& sim) { return sim.cvs.make_dict(sim.core->outputs()); });
}

// SISOSim's pair gain e^(-delay s) / (tao s + 1); a gain of 0 is a pair without effect.
SisoBlock init_siso(nb::handle gain, nb::handle tao, nb::handle delay, nb::handle Ts, nb::handle integral) {
    nb::dict entry, row, models, ini;
    entry["mode"] = "tf_s";
    nb::list num, den;
    num.append(0);
    num.append(gain);
    den.append(tao);
    den.append(1);
    entry["num_s"] = num;
    entry["den_s"] = den;
    entry["iodelay_s"] = delay;
    entry["IntegralMark"] = integral;
    row["MV"] = entry;
    models["CV"] = row;
    ini["CV"] = 0.0;
    ini["MV"] = 0.0;
    double g = 1.0;
    const bool zero_gain = to_double(gain.ptr(), g) && g == 0.0;
    PyErr_Clear();  // a gain without a float value is refused where the model is built
    return SisoBlock(build_mimo(models, ini, Ts, zero_gain));
}

}  // namespace

void def_simulators(nb::module_& m) {
    def_miso(m);
    auto mimo = bind_class<MimoBlock>(m, "MIMOSim", nb::dynamic_attr(),
                                      BlockSlots<MimoBlock>().call<kMimoCall, mimo_call>(kMimoCallDoc),
                                      "Multi-input multi-output process simulator over a process model dictionary.");
    def_init(
        mimo,
        [](nb::handle process_model_dict, nb::handle ini_value_dict, nb::handle Ts) {
            return build_mimo(process_model_dict, ini_value_dict, Ts);
        },
        Parameters("None", parameter("process_model_dict: dict"),
                   parameter("ini_value_dict: dict[str, float]", nb::dict()), parameter("Ts: float", 1)),
        "A simulator of the process model dictionary {CV: {MV: pair model}}, sample time Ts, starting at the values "
        "of ini_value_dict (0.0 where missing).");
    def_mimo_getters(mimo);
    def_mimo_attributes(mimo);
    def_pickle<MimoBlock>(mimo, "MIMOSim", kMimoFields, mimo_state, build_mimo_from_state);
    // A copy is a separate simulator: it owns its models (a shallow copy
    // would step the same models from two simulators).
    def_method(mimo, "__copy__", "A separate simulator that owns copies of the models.",
               [](Self<MimoBlock> self) { return deep_copy(self.py); });

    auto siso = bind_subclass<SisoBlock, MimoBlock>(m, "SISOSim",
                                                    BlockSlots<SisoBlock>().call<kMimoCall, mimo_call>(kMimoCallDoc),
                                                    "MIMOSim of the single pair gain e^(-delay s) / (tao s + 1).");
    def_init(siso, &init_siso,
             Parameters("None", parameter("gain: float"), parameter("tao: float"), parameter("delay: float", 0),
                        parameter("Ts: float", 1), parameter("integralMark: int", 0)),
             "The single pair gain e^(-delay s) / (tao s + 1), integrating when integralMark is 1, sampled every Ts; "
             "a gain of 0 gives a pair without effect.");
    def_pickle<SisoBlock>(
        siso, "SISOSim", kMimoFields, [](Self<SisoBlock> s) { return mimo_state(Self<MimoBlock>{s.py, s.block}); },
        [](const StateReader& state) { return SisoBlock(build_mimo_from_state(state)); });
}

}  // namespace ovelin::binding
