#pragma once
// Non-interacting PID with a filtered derivative, backward Euler, velocity form.
//
// Units: sample time, TI and TD in seconds; SP, PV in the process value's
// engineering units; OP, TV, FF and the limits in the output's units
// (usually %); KP in output units per process-value unit. Each automatic
// sample adds an increment to the previous limited output:
//   P: kp*(e - e1)   I: kp*ts/ti*e   D: (tao*d1 + kp*td*(e - 2 e1 + e2)) / (tao + ts), tao = td/n
// with e = SP - PV, plus the change of the feedforward.

#include <optional>

namespace ovelin {

// Controller parameters (see set_tuning() for the bounds applied).
struct PidTuning {
    double kp = 1.0;   // proportional gain, output units per PV unit
    double ti = 60.0;  // integral time in seconds; 0 disables the integral action
    double td = 0.0;   // derivative time in seconds; 0 disables the derivative action
    double n = 10.0;   // derivative filter divisor: the filter lag is td / n seconds
};

// Output limits, in output units; the automatic output is clamped to [lo, hi].
struct PidLimits {
    double hi = 100.0;
    double lo = 0.0;
};

// What the next automatic sample continues from.
struct PidWorkingState {
    double et1;    // error of the previous sample
    double et2;    // error of the sample before
    double op1;    // previous (limited) output
    double ff1;    // previous feedforward
    double dopd1;  // previous derivative increment
};

// The intermediate values of the last sample.
struct PidSaveState {
    double op;      // limited output
    double op_cal;  // unlimited output
    double dop;     // total increment
    double dop_p;
    double dop_i;
    double dop_d;
    double dff;
};

// The controller: tuning, limits and the state one sample leaves for the next.
class Pid {
public:
    // ts: sample time in seconds, taken as given. Default tuning and limits
    // (kp 1, ti 60 s, no derivative, [0, 100]); the first run() initialises.
    explicit Pid(double ts = 1.0) noexcept : ts_(ts) {}

    // One sample; returns the output. mode 1 (after ties-to-even rounding) is
    // automatic, every other value manual: the output is then the tracking
    // value tv clamped to the limits, and the state is reset so that the next
    // automatic sample continues bumplessly from tv. sp and pv are the set
    // point and process value, ff the feedforward (its changes are added).
    // The first call initialises as reset() does. Throws
    // Errc::nan_to_integer / infinity_to_integer for a NaN / infinite mode,
    // after the first-call initialisation.
    double run(double mode, double sp, double pv, double tv, double ff);

    // Automatic-mode sample: the previous output plus the increment, clamped
    // to the limits; records the increments (saved()). Throws
    // Errc::state_missing without a working state (neither run() nor reset()
    // has been called).
    double run_auto(double sp, double pv, double ff);

    // (Re)initialises the working state so that automatic mode continues from tv.
    void reset(double sp, double pv, double tv, double ff) noexcept;

    // Applies the lower bounds TI, TD >= 0 and N >= 1e-6; a NaN is kept.
    void set_tuning(const PidTuning& tuning) noexcept;
    // Sets the output limits. Refuses (returns false, limits unchanged) when
    // hi < lo or either is NaN.
    bool set_limits(double hi, double lo) noexcept;

    // For restoring state: no check of hi >= lo.
    void set_limits_unchecked(double hi, double lo) noexcept { limits_ = PidLimits{hi, lo}; }

    // Sample time in seconds; set_ts() takes any value as given.
    double ts() const noexcept { return ts_; }
    void set_ts(double ts) noexcept { ts_ = ts; }
    const PidTuning& tuning() const noexcept { return tuning_; }
    const PidLimits& limits() const noexcept { return limits_; }
    // True until the first run() or reset(): the next run() initialises first.
    bool ini_flag() const noexcept { return ini_flag_; }
    void set_ini_flag(bool flag) noexcept { ini_flag_ = flag; }

    // The working state (empty before the first run() or reset()) and the
    // intermediate values of the last sample; the setters restore saved ones.
    const std::optional<PidWorkingState>& working() const noexcept { return working_; }
    void set_working(const PidWorkingState& state) noexcept { working_ = state; }
    const std::optional<PidSaveState>& saved() const noexcept { return saved_; }
    void set_saved(const PidSaveState& state) noexcept { saved_ = state; }

private:
    double ts_;
    PidTuning tuning_{};
    PidLimits limits_{};
    bool ini_flag_ = true;
    std::optional<PidWorkingState> working_;
    std::optional<PidSaveState> saved_;
};

}  // namespace ovelin
