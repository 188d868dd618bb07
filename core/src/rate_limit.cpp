#include "ovelin/rate_limit.hpp"

#include <cmath>

namespace ovelin {

double change_per_sample(double per_minute, double ts) noexcept { return std::fabs(per_minute / 60.0 * ts); }

RateStep rate_step(double last, double target, double rise, double fall) noexcept {
    const double change = target - last;
    if (change >= 0.0) return change > rise ? RateStep{last + rise, true} : RateStep{target, false};
    return change < fall ? RateStep{last + fall, true} : RateStep{target, false};
}

double RateLimiter::step(double target, double rise_per_minute, std::optional<double> fall_per_minute) noexcept {
    const double rise = change_per_sample(rise_per_minute, ts_);
    const double fall = -(fall_per_minute ? change_per_sample(*fall_per_minute, ts_) : rise);
    last_ = rate_step(last_, target, rise, fall).output;
    return last_;
}

}  // namespace ovelin
