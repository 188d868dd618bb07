#pragma once
// Non-interacting PID with a filtered derivative, backward Euler, velocity form.

#include <optional>

namespace ovelin {

struct PidTuning {
    double kp = 1.0;
    double ti = 60.0;  // 0 disables the integral action
    double td = 0.0;   // 0 disables the derivative action
    double n = 10.0;   // derivative filter divisor
};

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

class Pid {
public:
    explicit Pid(double ts = 1.0) noexcept : ts_(ts) {}

    // One sample: mode 1 (after ties-to-even rounding) is automatic, every
    // other value manual. Throws Errc::nan_to_integer / infinity_to_integer
    // for a NaN / infinite mode, after the first-call initialisation.
    double run(double mode, double sp, double pv, double tv, double ff);

    // Automatic-mode sample. Throws Errc::state_missing without a working
    // state (neither run() nor reset() has been called).
    double run_auto(double sp, double pv, double ff);

    // (Re)initialises the working state so that automatic mode continues from tv.
    void reset(double sp, double pv, double tv, double ff) noexcept;

    // Applies the lower bounds TI, TD >= 0 and N >= 1e-6; a NaN is kept.
    void set_tuning(const PidTuning& tuning) noexcept;
    // Refuses (returns false, limits unchanged) when hi < lo.
    bool set_limits(double hi, double lo) noexcept;

    // For restoring state: no check of hi >= lo.
    void set_limits_unchecked(double hi, double lo) noexcept { limits_ = PidLimits{hi, lo}; }

    double ts() const noexcept { return ts_; }
    void set_ts(double ts) noexcept { ts_ = ts; }
    const PidTuning& tuning() const noexcept { return tuning_; }
    const PidLimits& limits() const noexcept { return limits_; }
    bool ini_flag() const noexcept { return ini_flag_; }
    void set_ini_flag(bool flag) noexcept { ini_flag_ = flag; }

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
