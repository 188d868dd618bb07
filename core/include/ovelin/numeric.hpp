#pragma once
// Small numeric rules shared by every block.

#include <cmath>
#include <stdexcept>

namespace ovelin {

// Limits x to [lo, hi] as max-then-min: with lo > hi the result is hi, and a
// NaN x passes through unchanged.
constexpr double limit(double x, double lo, double hi) noexcept {
    const double at_least_lo = (lo > x) ? lo : x;
    return (hi < at_least_lo) ? hi : at_least_lo;
}

// Rounds to the nearest integer with ties to even. NaN and infinity cannot
// become integers: they raise the same error kinds as integer conversion.
inline double round_half_even(double x) {
    if (std::isnan(x)) throw std::domain_error("cannot convert float NaN to integer");
    if (std::isinf(x)) throw std::overflow_error("cannot convert float infinity to integer");
    return std::nearbyint(x);  // the default rounding mode sends ties to even
}

}  // namespace ovelin
