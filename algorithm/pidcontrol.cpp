// Python module ovelin.algorithm.pidcontrol: the PID controller block.

#include <nanobind/nanobind.h>
#include <nanobind/stl/array.h>

#include <array>
#include <cmath>
#include <optional>

#include "conventions.hpp"
#include "ovelin/numeric.hpp"
#include "ovelin/pid.hpp"

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

SaveValues to_array(const ovelin::PidSaveState& s) {
    return {s.op, s.op_cal, s.dop, s.dop_p, s.dop_i, s.dop_d, s.dff};
}
ovelin::PidSaveState to_save_state(const SaveValues& v) { return {v[0], v[1], v[2], v[3], v[4], v[5], v[6]}; }
WorkingValues to_array(const ovelin::PidWorkingState& w) { return {w.et1, w.et2, w.op1, w.ff1, w.dopd1}; }
ovelin::PidWorkingState to_working_state(const WorkingValues& v) { return {v[0], v[1], v[2], v[3], v[4]}; }

// The caller's object when the controller kept the value it was given,
// otherwise the bounded float that replaced it.
nb::object kept_or_bounded(nb::handle given, double given_value, double stored) {
    const bool kept = given_value == stored || (std::isnan(given_value) && std::isnan(stored));
    return kept ? nb::borrow(given) : nb::float_(stored);
}

// The binding's view of a controller: the core plus the caller's objects that
// the interface hands back unchanged.
struct PidBlock {
    explicit PidBlock(nb::handle ts_object) : core(as_double(ts_object)), ts(nb::borrow(ts_object)) {
        set_tuning(nb::float_(1.0), nb::float_(60.0), nb::float_(0.0), nb::float_(10.0));
    }

    void set_tuning(nb::handle kp_obj, nb::handle ti_obj, nb::handle td_obj, nb::handle n_obj) {
        const ovelin::PidTuning given{as_double(kp_obj), as_double(ti_obj), as_double(td_obj), as_double(n_obj)};
        core.set_tuning(given);
        const ovelin::PidTuning& stored = core.tuning();
        kp = nb::borrow(kp_obj);
        ti = kept_or_bounded(ti_obj, given.ti, stored.ti);
        td = kept_or_bounded(td_obj, given.td, stored.td);
        n = kept_or_bounded(n_obj, given.n, stored.n);
    }

    std::array<nb::object, 4> tuning_objects() const { return {kp, ti, td, n}; }

    // Values stored through _setInnerSaveState (or _resetPID's TV) stay the
    // caller's objects until the next sample overwrites them.
    void keep_save_objects(const std::array<nb::object, 7>& objects) {
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

    double run(const double* a) {
        save_objects_current = false;
        return core.run(a[0], a[1], a[2], a[3], a[4]);
    }

    ovelin::Pid core;
    nb::object ts, kp, ti, td, n;
    std::array<nb::object, 7> save_objects;
    bool save_objects_current = false;
};

PidBlock& block_of(nb::handle self) { return *nb::inst_ptr<PidBlock>(self); }

// --- Per-sample methods ------------------------------------------------------

constexpr FloatSignature<5> kRunSignature{"run", {"MODE", "SP", "PV", "TV", "FF"}, 4, {0, 0, 0, 0, 0.0}};
constexpr FloatSignature<3> kAutoSignature{"PID_Auto", {"SP", "PV", "FF"}, 2, {0, 0, 0.0}};

double run_step(PidBlock& pid, const double* a) { return pid.run(a); }

double auto_step(PidBlock& pid, const double* a) {
    if (!pid.core.working()) {
        raise_missing_attribute(nb::find(&pid), kWorkingNames[0]);
    }
    pid.save_objects_current = false;
    return pid.core.run_auto(a[0], a[1], a[2]);
}

PyMethodDef kFastMethods[] = {
    fast_method<PidBlock, kRunSignature, run_step>(
        "run",
        "run($self, /, MODE, SP, PV, TV, FF=0.0)\n--\n\n"
        "One sample: MODE 1 (rounded, ties to even) runs the PID algorithm, any other\n"
        "value tracks TV. Returns the output OP."),
    fast_method<PidBlock, kAutoSignature, auto_step>(
        "PID_Auto",
        "PID_Auto($self, /, SP, PV, FF=0.0)\n--\n\n"
        "One automatic-mode sample; needs the working state of a first run."),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kPidSlots[] = {
    {Py_tp_methods, kFastMethods},
    {0, nullptr},
};

// --- Pickling ------------------------------------------------------------------

nb::tuple get_state(nb::handle self) {
    const PidBlock& pid = block_of(self);
    const auto& core = pid.core;
    nb::object working = nb::none();
    if (core.working()) {
        const WorkingValues w = to_array(*core.working());
        working = nb::make_tuple(w[0], w[1], w[2], w[3], w[4]);
    }
    nb::object saved = nb::none();
    if (core.saved()) {
        nb::list values;
        for (std::size_t i = 0; i < kSaveNames.size(); ++i) values.append(pid.save_value(self, i));
        saved = nb::tuple(values);
    }
    return nb::make_tuple(pid.ts, pid.kp, pid.ti, pid.td, pid.n, core.limits().hi, core.limits().lo,
                          core.ini_flag(), working, saved, instance_dict(self));
}

void set_state(PidBlock& pid, nb::tuple state) {
    if (state.size() != 11) throw std::invalid_argument("PID state must be a tuple of 11 items");
    new (&pid) PidBlock(state[0]);
    pid.set_tuning(state[1], state[2], state[3], state[4]);
    pid.core.set_limits(nb::cast<double>(state[5]), nb::cast<double>(state[6]));
    pid.core.set_ini_flag(nb::cast<bool>(state[7]));
    if (!state[8].is_none()) pid.core.set_working(to_working_state(nb::cast<WorkingValues>(state[8])));
    if (!state[9].is_none()) {
        std::array<nb::object, 7> objects;
        for (std::size_t i = 0; i < objects.size(); ++i) objects[i] = nb::borrow(state[9][i]);
        pid.keep_save_objects(objects);
    }
    restore_instance_dict(pid, state[10]);
}

// --- Attributes ----------------------------------------------------------------

template <std::size_t Index>
void def_working_attribute(nb::class_<PidBlock>& cls) {
    cls.def_prop_rw(
        kWorkingNames[Index],
        [](nb::handle self) {
            const auto& working = block_of(self).core.working();
            if (!working) raise_missing_attribute(self, kWorkingNames[Index]);
            return to_array(*working)[Index];
        },
        [](PidBlock& pid, nb::handle value) {
            WorkingValues w = pid.core.working() ? to_array(*pid.core.working()) : WorkingValues{};
            w[Index] = as_double(value);
            pid.core.set_working(to_working_state(w));
        });
}

template <std::size_t Index>
void def_save_attribute(nb::class_<PidBlock>& cls) {
    cls.def_prop_ro(kSaveNames[Index], [](nb::handle self) { return block_of(self).save_value(self, Index); });
}

template <std::size_t... I>
void def_state_attributes(nb::class_<PidBlock>& cls, std::index_sequence<I...>) {
    (def_working_attribute<I>(cls), ...);
}
template <std::size_t... I>
void def_save_attributes(nb::class_<PidBlock>& cls, std::index_sequence<I...>) {
    (def_save_attribute<I>(cls), ...);
}

// _KP, _TI, _TD, _N: a write goes through the same bounds as setPIDParam.
template <std::size_t Index>
void def_tuning_attribute(nb::class_<PidBlock>& cls, const char* name) {
    cls.def_prop_rw(
        name, [](const PidBlock& pid) { return pid.tuning_objects()[Index]; },
        [](PidBlock& pid, nb::handle value) {
            std::array<nb::object, 4> tuning = pid.tuning_objects();
            tuning[Index] = nb::borrow(value);
            pid.set_tuning(tuning[0], tuning[1], tuning[2], tuning[3]);
        });
}

}  // namespace

NB_MODULE(pidcontrol, m) {
    m.doc() = "Velocity-form PID controller block.";

    nb::class_<PidBlock> cls(m, "PID", nb::dynamic_attr(), nb::type_slots(kPidSlots),
                             "Non-interacting PID with filtered derivative, velocity form, manual/automatic.");
    cls.def("__init__", [](PidBlock* self, nb::handle TS) { new (self) PidBlock(TS); }, nb::arg("TS").none() = 1.0);

    cls.def(
        "setPIDParam",
        [](PidBlock& pid, nb::handle KP, nb::handle TI, nb::handle TD, nb::handle N) {
            pid.set_tuning(KP, TI, TD, N);
        },
        nb::arg("KP").none() = 1.0, nb::arg("TI").none() = 60.0, nb::arg("TD").none() = 0.0, nb::arg("N").none() = 10.0);
    cls.def("getPIDParam", [](const PidBlock& pid) { return nb::make_tuple(pid.kp, pid.ti, pid.td, pid.n); });
    cls.def(
        "setOPHighLowLimit",
        [](PidBlock& pid, double OP_HI, double OP_LO) {
            if (!pid.core.set_limits(OP_HI, OP_LO)) print_line("Error: OP_HI < OP_LO. Fail to set OP_HI and OP_LO!");
        },
        nb::arg("OP_HI").none() = 100.0, nb::arg("OP_LO").none() = 0.0);
    cls.def("getOPHighLowLimit", [](const PidBlock& pid) {
        return nb::make_tuple(pid.core.limits().hi, pid.core.limits().lo);
    });
    cls.def("getInnerSaveState", [](nb::handle self) {
        const PidBlock& pid = block_of(self);
        nb::dict state;
        for (std::size_t i = 0; i < kSaveKeys.size(); ++i) state[kSaveKeys[i]] = pid.save_value(self, i);
        return state;
    });
    cls.def(
        "_setInnerSaveState",
        [](PidBlock& pid, nb::handle OP_save, nb::handle OPcal_save, nb::handle dOP_save, nb::handle dOP_P_save,
           nb::handle dOP_I_save, nb::handle dOP_D_save, nb::handle dFF_save) {
            pid.keep_save_objects({nb::borrow(OP_save), nb::borrow(OPcal_save), nb::borrow(dOP_save),
                                   nb::borrow(dOP_P_save), nb::borrow(dOP_I_save), nb::borrow(dOP_D_save),
                                   nb::borrow(dFF_save)});
        },
        nb::arg("OP_save").none(), nb::arg("OPcal_save").none(), nb::arg("dOP_save").none(), nb::arg("dOP_P_save").none(), nb::arg("dOP_I_save").none(), nb::arg("dOP_D_save").none(), nb::arg("dFF_save").none());
    cls.def(
        "_resetPID",
        [](PidBlock& pid, nb::handle SP, nb::handle PV, nb::handle TV, nb::handle FF) {
            const double sp = as_double(SP), pv = as_double(PV), tv = as_double(TV), ff = as_double(FF);
            pid.core.reset(sp, pv, tv, ff);
            // The tracking value is saved as given; the increments are floats.
            const nb::object zero = nb::float_(0.0);
            pid.keep_save_objects({nb::borrow(TV), nb::borrow(TV), zero, zero, zero, zero, zero});
        },
        nb::arg("SP").none(), nb::arg("PV").none(), nb::arg("TV").none(), nb::arg("FF").none());
    cls.def("getPIDForm", [](const PidBlock&) { return kPidForm; });

    cls.def_prop_rw(
        "_TS", [](const PidBlock& pid) { return pid.ts; },
        [](PidBlock& pid, nb::handle value) {
            pid.core.set_ts(as_double(value));
            pid.ts = nb::borrow(value);
        });
    def_tuning_attribute<0>(cls, "_KP");
    def_tuning_attribute<1>(cls, "_TI");
    def_tuning_attribute<2>(cls, "_TD");
    def_tuning_attribute<3>(cls, "_N");
    cls.def_prop_rw(
        "_OP_HI", [](const PidBlock& pid) { return pid.core.limits().hi; },
        [](PidBlock& pid, double value) { pid.core.set_limits_unchecked(value, pid.core.limits().lo); });
    cls.def_prop_rw(
        "_OP_LO", [](const PidBlock& pid) { return pid.core.limits().lo; },
        [](PidBlock& pid, double value) { pid.core.set_limits_unchecked(pid.core.limits().hi, value); });
    cls.def_prop_rw(
        "_iniFlag", [](const PidBlock& pid) { return pid.core.ini_flag(); },
        [](PidBlock& pid, nb::handle value) {
            const int truth = PyObject_IsTrue(value.ptr());
            if (truth < 0) throw nb::python_error();
            pid.core.set_ini_flag(truth != 0);
        });
    def_state_attributes(cls, std::make_index_sequence<kWorkingNames.size()>{});
    def_save_attributes(cls, std::make_index_sequence<kSaveNames.size()>{});

    cls.def("__getstate__", &get_state);
    cls.def("__setstate__", &set_state);
}
