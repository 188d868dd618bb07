// Python module ovelin.algorithm.pidcontrol: the PID controller block.

#include <nanobind/nanobind.h>
#include <nanobind/stl/array.h>

#include <array>
#include <cmath>
#include <optional>

#include "arrays.hpp"
#include "block_slots.hpp"
#include "conventions.hpp"
#include "fast_call.hpp"
#include "instance.hpp"
#include "kept_value.hpp"
#include "ovelin/pid.hpp"
#include "parameters.hpp"
#include "pickle.hpp"
#include "tag_index.hpp"

namespace nb = nanobind;
using namespace nb::literals;
using namespace ovelin::binding;

namespace {

constexpr const char* kPidForm =
    "\n"
    "Name: Non-Interacting A\n"
    "Continuous Time:\n"
    "                  1             TD*s\n"
    "u(s) = Kp*(1 + ------ +  ----------------) * [SP(s) - y(s)]\n"
    "                TI*s         TD\n"
    "                            -----*s  +  1\n"
    "                              N\n"
    "Discrete: (Backward Euler)\n"
    "\n"
    "    1        TS*z\n"
    "---- = ------------\n"
    "    s        z - 1\n"
    "\n"
    "Default Parameters:\n"
    "Kp = 1.0\n"
    "TI = 60.0\n"
    "TD = 0.0\n"
    "N = 10.0\n"
    "TS = 1\n";

constexpr std::array<const char*, 7> kSaveNames = {"_OP_save",    "_OPcal_save", "_dOP_save", "_dOP_P_save",
                                                   "_dOP_I_save", "_dOP_D_save", "_dFF_save"};
constexpr std::array<const char*, 7> kSaveKeys = {"OP", "OPcal", "dOP", "dOP_P", "dOP_I", "dOP_D", "dFF"};
constexpr std::array<const char*, 5> kWorkingNames = {"_et1", "_et2", "_OP1", "_FF1", "_dOPD1"};

using SaveValues = std::array<double, 7>;
using WorkingValues = std::array<double, 5>;
using SaveObjects = std::array<nb::object, 7>;
using Tuning = std::array<KeptFloat, 4>;

SaveValues to_array(const ovelin::PidSaveState& s) {
    return {s.op, s.op_cal, s.dop, s.dop_p, s.dop_i, s.dop_d, s.dff};
}
template <class Values>
ovelin::PidSaveState to_save_state(const Values& v) {
    return {v[0], v[1], v[2], v[3], v[4], v[5], v[6]};
}
WorkingValues to_array(const ovelin::PidWorkingState& w) {
    return {w.et1, w.et2, w.op1, w.ff1, w.dopd1};
}
template <class Values>
ovelin::PidWorkingState to_working_state(const Values& v) {
    return {v[0], v[1], v[2], v[3], v[4]};
}

// The binding's view of a controller: the core plus the caller's objects that
// the interface hands back unchanged.
struct PidBlock {
    explicit PidBlock(KeptFloat ts_value) : core(ts_value.value()), ts(std::move(ts_value)) {
        set_tuning(
            {KeptFloat::computed(1.0), KeptFloat::computed(60.0), KeptFloat::computed(0.0), KeptFloat::computed(10.0)});
    }
    PidBlock(PidBlock&&) noexcept = default;

    // A given value stays the caller's object unless a lower bound replaced
    // it. Allocation-free apart from the references it keeps.
    void set_tuning(const Tuning& given) noexcept {
        core.set_tuning({given[0].value(), given[1].value(), given[2].value(), given[3].value()});
        const ovelin::PidTuning& stored = core.tuning();
        const std::array<double, 4> values{stored.kp, stored.ti, stored.td, stored.n};
        for (std::size_t i = 0; i < tuning.size(); ++i) {
            const double v = given[i].value();
            const bool kept = v == values[i] || (std::isnan(v) && std::isnan(values[i]));
            tuning[i] = kept ? given[i] : KeptFloat::computed(values[i]);
        }
    }

    // Values stored through _setInnerSaveState (or _resetPID's TV) stay the
    // caller's objects until the next sample overwrites them; one without a
    // float value counts as NaN in the core.
    void keep_save_objects(const SaveObjects& objects) {
        SaveValues values{};
        for (std::size_t i = 0; i < values.size(); ++i) {
            if (!to_double(objects[i].ptr(), values[i])) {
                PyErr_Clear();
                values[i] = NAN;
            }
        }
        core.set_saved(to_save_state(values));
        save_objects = objects;
        save_objects_current = true;
    }

    nb::object save_value(nb::handle self, std::size_t index) const {
        const auto& saved = core.saved();
        if (!saved) raise_missing_attribute(self, kSaveNames[index]);
        if (save_objects_current) return save_objects[index];
        return nb::float_(to_array(*saved)[index]);
    }

    template <class Visit>
    void visit_references(Visit&& visit) const {
        ts.visit_references(visit);
        for (const KeptFloat& value : tuning) value.visit_references(visit);
        for (const nb::object& object : save_objects) visit(object);
    }

    ovelin::Pid core;
    KeptFloat ts;
    Tuning tuning;  // KP, TI, TD, N
    SaveObjects save_objects;
    bool save_objects_current = false;
};

// --- Per-sample methods ------------------------------------------------------

constexpr Signature<Float, Float, Float, Float, Float> kRun{
    "run", arg<Float>("MODE"), arg<Float>("SP"), arg<Float>("PV"), arg<Float>("TV"), arg<Float>("FF", 0.0)};
constexpr Signature<Float, Float, Float> kAuto{"PID_Auto", arg<Float>("SP"), arg<Float>("PV"), arg<Float>("FF", 0.0)};

double run_step(PidBlock& pid, double mode, double sp, double pv, double tv, double ff) {
    pid.save_objects_current = false;
    return pid.core.run(mode, sp, pv, tv, ff);
}

double auto_step(Self<PidBlock> self, double sp, double pv, double ff) {
    PidBlock& pid = self.block;
    if (!pid.core.working()) raise_missing_attribute(self.py, kWorkingNames[0]);
    pid.save_objects_current = false;
    return pid.core.run_auto(sp, pv, ff);
}

constexpr const char* kRunDoc =
    "One sample: MODE 1 (rounded, ties to even) runs the PID algorithm, any other\n"
    "value tracks TV. Returns the output OP.";
constexpr const char* kAutoDoc = "One automatic-mode sample; needs the working state of a first run.";

// --- Pickling ------------------------------------------------------------------

constexpr std::size_t kStateFields = 11;

nb::tuple get_state(Self<PidBlock> self) {
    const PidBlock& pid = self.block;
    const ovelin::Pid& core = pid.core;
    const nb::object working = core.working() ? nb::object(to_tuple(to_array(*core.working()))) : nb::none();
    const nb::object saved = core.saved() ? nb::object(to_tuple(to_array(*core.saved()))) : nb::none();
    nb::object save_objects = nb::none();
    if (core.saved() && pid.save_objects_current) {
        save_objects =
            nb::make_tuple(pid.save_objects[0], pid.save_objects[1], pid.save_objects[2], pid.save_objects[3],
                           pid.save_objects[4], pid.save_objects[5], pid.save_objects[6]);
    }
    return pickled_state(self.py, pid.ts.to_state(), pid.tuning[0].to_state(), pid.tuning[1].to_state(),
                         pid.tuning[2].to_state(), pid.tuning[3].to_state(), core.limits().hi, core.limits().lo,
                         core.ini_flag(), working, saved, save_objects);
}

PidBlock build_from_state(const StateReader& state) {
    PidBlock pid(state.known(0, "TS"));
    pid.set_tuning({state.known(1, "KP"), state.known(2, "TI"), state.known(3, "TD"), state.known(4, "N")});
    pid.core.set_limits_unchecked(state.number(5, "OP_HI"), state.number(6, "OP_LO"));
    pid.core.set_ini_flag(state.flag(7, "iniFlag"));
    if (const auto working = state.optional_numbers(8, "working", kWorkingNames.size()))
        pid.core.set_working(to_working_state(*working));
    else if (!pid.core.ini_flag())
        state.fail(PyExc_ValueError, "field 'working' must be set once the controller has run");
    const auto saved = state.optional_numbers(9, "saved", kSaveNames.size());
    if (saved) pid.core.set_saved(to_save_state(*saved));
    const nb::handle objects = state.object(10);
    if (!objects.is_none()) {
        if (!saved || !PyTuple_CheckExact(objects.ptr()) || PyTuple_GET_SIZE(objects.ptr()) != 7)
            state.fail(PyExc_ValueError, "field 'saved objects' must be None or 7 objects beside 'saved'");
        for (std::size_t i = 0; i < pid.save_objects.size(); ++i)
            pid.save_objects[i] = nb::borrow(PyTuple_GET_ITEM(objects.ptr(), static_cast<Py_ssize_t>(i)));
        pid.save_objects_current = true;
    }
    return pid;
}

// --- Attributes ----------------------------------------------------------------

template <std::size_t Index>
void def_working_attribute(nb::class_<PidBlock>& cls) {
    def_property(
        cls, kWorkingNames[Index],
        [](Self<PidBlock> self) {
            const auto& working = self.block.core.working();
            if (!working) raise_missing_attribute(self.py, kWorkingNames[Index]);
            return to_array(*working)[Index];
        },
        [](PidBlock& pid, nb::handle value) {
            const double converted = as_double(value);
            WorkingValues w = pid.core.working() ? to_array(*pid.core.working()) : WorkingValues{};
            w[Index] = converted;
            pid.core.set_working(to_working_state(w));
        });
}

template <std::size_t Index>
void def_save_attribute(nb::class_<PidBlock>& cls) {
    def_property(cls, kSaveNames[Index], "typing.Any",
                 [](Self<PidBlock> self) { return self.block.save_value(self.py, Index); });
}

template <std::size_t... W, std::size_t... S>
void def_state_attributes(nb::class_<PidBlock>& cls, std::index_sequence<W...>, std::index_sequence<S...>) {
    (def_working_attribute<W>(cls), ...);
    (def_save_attribute<S>(cls), ...);
}

// _KP, _TI, _TD, _N: a write goes through the same bounds as setPIDParam.
template <std::size_t Index>
void def_tuning_attribute(nb::class_<PidBlock>& cls, const char* name) {
    def_property(
        cls, name, "typing.Any", [](const PidBlock& pid) { return pid.tuning[Index].get(); },
        [](PidBlock& pid, nb::handle value) {
            Tuning tuning = pid.tuning;
            tuning[Index] = KeptFloat::number(value);
            pid.set_tuning(tuning);
        });
}

Tuning given_tuning(nb::handle kp, nb::handle ti, nb::handle td, nb::handle n) {
    return {KeptFloat::number(kp), KeptFloat::number(ti), KeptFloat::number(td), KeptFloat::number(n)};
}

}  // namespace

NB_MODULE(pidcontrol, m) {
    register_error_translation();
    m.doc() = "Velocity-form PID controller block.";

    auto cls =
        bind_class<PidBlock>(m, "PID", nb::dynamic_attr(),
                             BlockSlots<PidBlock>().method<kRun, run_step>(kRunDoc).method<kAuto, auto_step>(kAutoDoc),
                             "Non-interacting PID with filtered derivative, velocity form, manual/automatic.");
    def_init(
        cls, [](nb::handle TS) { return PidBlock(KeptFloat::number(TS)); },
        Parameters("None", parameter("TS: float", 1.0)),
        "A PID controller with sample time TS in seconds and the default tuning and limits.");

    def_method(
        cls, "setPIDParam",
        [](PidBlock& pid, nb::handle KP, nb::handle TI, nb::handle TD, nb::handle N) {
            pid.set_tuning(given_tuning(KP, TI, TD, N));
        },
        Parameters("None", parameter("KP: float", 1.0), parameter("TI: float", 60.0), parameter("TD: float", 0.0),
                   parameter("N: float", 10.0)),
        "Sets the tuning: gain KP, integral time TI, derivative time TD and derivative filter N.");
    def_method(cls, "getPIDParam", "The tuning (KP, TI, TD, N).", [](const PidBlock& pid) {
        return nb::make_tuple(pid.tuning[0].get(), pid.tuning[1].get(), pid.tuning[2].get(), pid.tuning[3].get());
    });
    def_method(
        cls, "setOPHighLowLimit",
        [](PidBlock& pid, nb::handle OP_HI, nb::handle OP_LO) {
            const double hi = as_double(OP_HI), lo = as_double(OP_LO);
            if (!pid.core.set_limits(hi, lo)) print_line("Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!");
        },
        Parameters("None", parameter("OP_HI: float", 100.0), parameter("OP_LO: float", 0.0)),
        "Sets the output limits; refused with a printed message when OP_HI < OP_LO.");
    def_method(cls, "getOPHighLowLimit", "The output limits (OP_HI, OP_LO).",
               [](const PidBlock& pid) { return nb::make_tuple(pid.core.limits().hi, pid.core.limits().lo); });
    def_method(cls, "getInnerSaveState", "The saved working state of the latest sample, by name.",
               [](Self<PidBlock> self) {
                   // Interned keys for the life of the process (never destroyed, so
                   // nothing is released after the interpreter has gone).
                   static const TagIndex* const keys = new TagIndex(kSaveKeys);
                   SaveObjects values;
                   for (std::size_t i = 0; i < values.size(); ++i) values[i] = self.block.save_value(self.py, i);
                   return keys->make_dict(std::span<const nb::object>(values));
               });
    def_method(
        cls, "_setInnerSaveState",
        [](PidBlock& pid, nb::handle OP_save, nb::handle OPcal_save, nb::handle dOP_save, nb::handle dOP_P_save,
           nb::handle dOP_I_save, nb::handle dOP_D_save, nb::handle dFF_save) {
            pid.keep_save_objects({nb::borrow(OP_save), nb::borrow(OPcal_save), nb::borrow(dOP_save),
                                   nb::borrow(dOP_P_save), nb::borrow(dOP_I_save), nb::borrow(dOP_D_save),
                                   nb::borrow(dFF_save)});
        },
        Parameters("None", parameter("OP_save: object"), parameter("OPcal_save: object"), parameter("dOP_save: object"),
                   parameter("dOP_P_save: object"), parameter("dOP_I_save: object"), parameter("dOP_D_save: object"),
                   parameter("dFF_save: object")),
        "Stores each saved working value unchanged.");
    def_method(
        cls, "_resetPID",
        [](PidBlock& pid, nb::handle SP, nb::handle PV, nb::handle TV, nb::handle FF) {
            const double sp = as_double(SP), pv = as_double(PV), tv = as_double(TV), ff = as_double(FF);
            pid.core.reset(sp, pv, tv, ff);
            // The tracking value is saved as given; the increments are floats.
            const nb::object zero = nb::float_(0.0);
            pid.keep_save_objects({nb::borrow(TV), nb::borrow(TV), zero, zero, zero, zero, zero});
        },
        Parameters("None", parameter("SP: float"), parameter("PV: float"), parameter("TV: float"),
                   parameter("FF: float")),
        "Sets the working state so that the next automatic sample continues from TV without a bump.");
    def_method(cls, "getPIDForm", "The name of the algorithm's form.", [](const PidBlock&) { return kPidForm; });

    def_property(
        cls, "_TS", "typing.Any", [](const PidBlock& pid) { return pid.ts.get(); },
        [](PidBlock& pid, nb::handle value) {
            KeptFloat ts = KeptFloat::number(value);
            pid.core.set_ts(ts.value());
            pid.ts = std::move(ts);
        });
    def_tuning_attribute<0>(cls, "_KP");
    def_tuning_attribute<1>(cls, "_TI");
    def_tuning_attribute<2>(cls, "_TD");
    def_tuning_attribute<3>(cls, "_N");
    def_property(
        cls, "_OP_HI", [](const PidBlock& pid) { return pid.core.limits().hi; },
        [](PidBlock& pid, nb::handle value) { pid.core.set_limits_unchecked(as_double(value), pid.core.limits().lo); });
    def_property(
        cls, "_OP_LO", [](const PidBlock& pid) { return pid.core.limits().lo; },
        [](PidBlock& pid, nb::handle value) { pid.core.set_limits_unchecked(pid.core.limits().hi, as_double(value)); });
    def_property(
        cls, "_iniFlag", [](const PidBlock& pid) { return pid.core.ini_flag(); },
        [](PidBlock& pid, nb::handle value) {
            const int truth = PyObject_IsTrue(value.ptr());
            if (truth < 0) throw nb::python_error();
            pid.core.set_ini_flag(truth != 0);
        });
    def_state_attributes(cls, std::make_index_sequence<kWorkingNames.size()>{},
                         std::make_index_sequence<kSaveNames.size()>{});

    def_pickle<PidBlock>(cls, "PID", kStateFields, get_state, build_from_state);
}
