#pragma once
// Rate limiter: the output follows a target no faster than a largest rise and
// a largest fall per minute.

#include <cmath>
#include <optional>

namespace ovelin {

// |x| for the plain numbers; a binding's own number type brings its own.
inline double magnitude(double x) noexcept {
    return std::fabs(x);
}

// The largest change per sample that a rate in units per minute allows at a
// sample time in seconds: |per_minute / 60 * ts|, in that order of operations.
// The rules are written once over the value type, so that a binding runs the
// same steps on its language's numbers; inline: they are the per-sample path
// of the bindings.
template <class V>
V change_per_sample(const V& per_minute, const V& ts) {
    return magnitude(per_minute / 60 * ts);
}

// One sample of the limiter: the output, and whether a limit shaped it
// (false: the output is the target itself).
template <class V>
struct RateStepOf {
    V output;
    bool limited;
};
using RateStep = RateStepOf<double>;

// One sample from `last` toward `target`, rising by at most `rise` (>= 0) and
// falling by at most -`fall` (`fall` <= 0). A change exactly equal to a limit
// passes, and so does a change that is not comparable (NaN).
template <class V>
RateStepOf<V> rate_step(const V& last, const V& target, const V& rise, const V& fall) {
    const V change = target - last;
    if (change >= 0) return change > rise ? RateStepOf<V>{last + rise, true} : RateStepOf<V>{target, false};
    return change < fall ? RateStepOf<V>{last + fall, true} : RateStepOf<V>{target, false};
}

// The rules on plain numbers (any arithmetic arguments, converted to double).
inline double change_per_sample(double per_minute, double ts) noexcept {
    return change_per_sample<double>(per_minute, ts);
}
inline RateStep rate_step(double last, double target, double rise, double fall) noexcept {
    return rate_step<double>(last, target, rise, fall);
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
