#include "ovelin/rate_limit.hpp"

namespace ovelin {

double RateLimiter::step(double target, double rise_per_minute, std::optional<double> fall_per_minute) noexcept {
    const double rise = change_per_sample(rise_per_minute, ts_);
    const double fall = -(fall_per_minute ? change_per_sample(*fall_per_minute, ts_) : rise);
    last_ = rate_step(last_, target, rise, fall).output;
    return last_;
}

}  // namespace ovelin
