#include "ovelin/anti_windup.hpp"

namespace ovelin {

Limited limit_reporting(double x, double lo, double hi) noexcept {
    Limited result{x, Bound::none};
    if (lo > result.value) result = {lo, Bound::low};
    if (hi < result.value) result = {hi, Bound::high};
    return result;
}

Limited AntiWindupLimiter::step(double u, double hi, double lo) noexcept {
    if (!u0_) u0_ = u;
    if (!y0_) y0_ = limit_reporting(u, lo, hi).value;
    const Limited y = limit_reporting(*y0_ + (u - *u0_), lo, hi);
    u0_ = u;
    y0_ = y.value;
    return y;
}

}  // namespace ovelin
