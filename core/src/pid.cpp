#include "ovelin/pid.hpp"

#include <algorithm>

#include "ovelin/error.hpp"
#include "ovelin/numeric.hpp"

namespace ovelin {

namespace {
constexpr double kMinDivisor = 1e-6;
}

double Pid::run(double mode, double sp, double pv, double tv, double ff) {
    if (ini_flag_) reset(sp, pv, tv, ff);
    if (round_half_even(mode) == 1.0) return run_auto(sp, pv, ff);
    const double op = limit(tv, limits_.lo, limits_.hi);
    reset(sp, pv, tv, ff);
    return op;
}

double Pid::run_auto(double sp, double pv, double ff) {
    if (!working_) {
        throw Error(Errc::state_missing, "the PID controller has no working state yet: run or reset it first");
    }
    PidWorkingState& w = *working_;
    const PidTuning& t = tuning_;

    const double et = sp - pv;
    const double det = et - w.et1;
    const double ddet = et - 2.0 * w.et1 + w.et2;

    const double dop_p = t.kp * det;
    const double dop_i = (t.ti > 0.0) ? t.kp * ts_ / t.ti * et : 0.0;
    double dop_d = 0.0;
    if (t.td > 0.0) {
        const double tao = t.td / t.n;
        // The divisor never falls below 1e-6, so TS = 0 cannot divide by zero.
        dop_d = (tao * w.dopd1 + t.kp * t.td * ddet) / std::max(tao + ts_, kMinDivisor);
    }
    const double dff = ff - w.ff1;
    const double dop = dop_p + dop_i + dop_d + dff;
    const double op_cal = w.op1 + dop;
    const double op = limit(op_cal, limits_.lo, limits_.hi);

    saved_ = PidSaveState{op, op_cal, dop, dop_p, dop_i, dop_d, dff};
    // The limited output is carried on, so a held output does not wind up.
    w = PidWorkingState{et, w.et1, op, ff, dop_d};
    return op;
}

void Pid::reset(double sp, double pv, double tv, double ff) noexcept {
    const double et = sp - pv;
    working_ = PidWorkingState{et, et, tv, ff, 0.0};
    ini_flag_ = false;
    saved_ = PidSaveState{tv, tv, 0.0, 0.0, 0.0, 0.0, 0.0};
}

void Pid::set_tuning(const PidTuning& tuning) noexcept {
    // Written as "bound replaces the value when greater" so a NaN is kept.
    const auto at_least = [](double value, double bound) { return (bound > value) ? bound : value; };
    tuning_ = PidTuning{tuning.kp, at_least(tuning.ti, 0.0), at_least(tuning.td, 0.0), at_least(tuning.n, kMinDivisor)};
}

bool Pid::set_limits(double hi, double lo) noexcept {
    if (!(hi >= lo)) return false;
    limits_ = PidLimits{hi, lo};
    return true;
}

}  // namespace ovelin
