#pragma once
// Zero-order-hold discretisation of continuous transfer functions.

#include <span>
#include <vector>

namespace ovelin {

// A transfer function num/den. Continuous ones hold descending powers of s
// (time in seconds); discrete ones hold ascending powers of z^-1 (the
// coefficient order a direct-form filter runs).
struct TransferFunction {
    std::vector<double> num;
    std::vector<double> den;
};

// Exact zero-order-hold equivalent of num(s)/den(s), sampled every ts seconds,
// with the dead time `delay` turned into round_half_even(delay / ts) leading
// zeros of the numerator (delay and ts in seconds). Exact leading zeros of
// num are dropped first. The result feeds LinearFilter directly.
//
// Throws ovelin::Error, checking in this order:
//   invalid_sample_time           ts negative, NaN or infinite;
//   zero_numerator                num has no non-zero coefficient;
//   whatever zoh() throws;
//   zero_sample_time              ts == 0 (the rational part works, the dead
//                                 time cannot be counted in samples);
//   nan_to_integer, infinity_to_integer   delay / ts is NaN / infinite;
//   negative_size                 the dead time rounds to fewer than 0 samples;
//   size_too_large, out_of_memory more dead-time samples than can be stored.
TransferFunction c2d_zoh(std::span<const double> num, std::span<const double> den, double delay, double ts);

// The rational part alone. Both results have n + 1 coefficients, n being the
// order of den after its leading zeros are dropped; a static gain (n = 0) is
// realised with one idle state, so it gives two coefficients each.
//
// Any ts is taken as given (0 gives the identity hold). Throws ovelin::Error:
// all_zero_denominator (den empty or all zero), improper_transfer_function
// (num longer than den after trimming), empty_numerator, non_finite_matrix
// (NaN or infinity in the scaled realisation or its exponential),
// no_convergence (eigenvalue iteration).
TransferFunction zoh(std::span<const double> num, std::span<const double> den, double ts);

}  // namespace ovelin
