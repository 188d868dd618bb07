#pragma once
// Small numeric rules shared by every block.

#include <cmath>

#include "ovelin/error.hpp"

namespace ovelin {

// Limits x to [lo, hi] as max-then-min: with lo > hi the result is hi, and a
// NaN x passes through unchanged.
constexpr double limit(double x, double lo, double hi) noexcept {
    const double at_least_lo = (lo > x) ? lo : x;
    return (hi < at_least_lo) ? hi : at_least_lo;
}

// Rounds to the nearest integer with ties to even.
// Throws Errc::nan_to_integer / Errc::infinity_to_integer for NaN / infinity.
inline double round_half_even(double x) {
    if (std::isnan(x)) throw Error(Errc::nan_to_integer, "NaN cannot be rounded to an integer");
    if (std::isinf(x)) {
        throw Error(Errc::infinity_to_integer, "infinity cannot be rounded to an integer");
    }
    return std::nearbyint(x);  // the default rounding mode sends ties to even
}

// Throws Errc::invalid_sample_time unless ts is finite and > 0.
inline void require_sample_time(double ts) {
    if (!(std::isfinite(ts) && ts > 0.0)) {
        throw Error(Errc::invalid_sample_time, "the sample time must be a finite number greater than zero");
    }
}

}  // namespace ovelin
