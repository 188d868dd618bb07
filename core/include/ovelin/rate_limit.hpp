#pragma once
// Rate limiter: the output follows a target no faster than a largest rise and
// a largest fall per minute.

#include <cmath>
#include <optional>

namespace ovelin {

// The largest change per sample that a rate in units per minute allows at a
// sample time in seconds: |per_minute / 60 * ts|, in that order of operations.
// Inline, as are the steps below: they are the per-sample path of the bindings.
inline double change_per_sample(double per_minute, double ts) noexcept { return std::fabs(per_minute / 60.0 * ts); }

// One sample of the limiter: the output, and whether a limit shaped it
// (false: the output is the target itself).
struct RateStep {
    double output;
    bool limited;
};

// One sample from `last` toward `target`, rising by at most `rise` (>= 0) and
// falling by at most -`fall` (`fall` <= 0). A change exactly equal to a limit
// passes, and so does a change that is not comparable (NaN).
inline RateStep rate_step(double last, double target, double rise, double fall) noexcept {
    const double change = target - last;
    if (change >= 0.0) return change > rise ? RateStep{last + rise, true} : RateStep{target, false};
    return change < fall ? RateStep{last + fall, true} : RateStep{target, false};
}

// The limiter block: its last output and the sample time. Values are in the
// signal's units, rates in those units per minute.
class RateLimiter {
public:
    // u_ini: the output before the first sample; ts: sample time in seconds,
    // taken as given.
    RateLimiter(double u_ini, double ts) noexcept : last_(u_ini), ts_(ts) {}

    // One sample toward `target`. Without `fall_per_minute` the fall is
    // limited to the same magnitude as the rise; the signs of both are ignored.
    double step(double target, double rise_per_minute = 60.0, std::optional<double> fall_per_minute = {}) noexcept;

    // Sets the last output; the next step() moves from it.
    void reset(double u_ini) noexcept { last_ = u_ini; }
    double last_output() const noexcept { return last_; }
    double ts() const noexcept { return ts_; }
    void set_ts(double ts) noexcept { ts_ = ts; }

private:
    double last_;
    double ts_;
};

}  // namespace ovelin
