#pragma once
// Zero-order-hold discretisation of continuous transfer functions.

#include <span>
#include <vector>

namespace ovelin {

// Continuous results hold descending powers of s; discrete results hold
// ascending powers of z^-1 (the coefficient order a direct-form filter runs).
struct TransferFunction {
    std::vector<double> num;
    std::vector<double> den;
};

// Exact zero-order-hold equivalent of num(s)/den(s), sampled every ts seconds,
// with the dead time `delay` turned into round_half_even(delay / ts) leading
// zeros of the numerator. Exact leading zeros of num are dropped first.
//
// Throws std::out_of_range when num has no non-zero coefficient,
// std::invalid_argument for a negative dead time and everything zoh() refuses,
// std::domain_error / std::overflow_error when delay / ts is NaN / infinite.
TransferFunction c2d_zoh(std::span<const double> num, std::span<const double> den, double delay,
                         double ts);

// The rational part alone. Both results have n + 1 coefficients, n being the
// order of den after its leading zeros are dropped; a static gain (n = 0) is
// realised with one idle state, so it gives two coefficients each.
//
// Throws std::invalid_argument for an all-zero den, a num longer than den,
// non-finite intermediate matrices; std::out_of_range for an empty num.
TransferFunction zoh(std::span<const double> num, std::span<const double> den, double ts);

}  // namespace ovelin
