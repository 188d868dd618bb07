#pragma once
// The one error type of the core: a code that says what went wrong and a
// plain message about the library. Programs that use the core read the
// message; language bindings map the code to their own error kinds and texts.

#include <stdexcept>
#include <string>

namespace ovelin {

enum class Errc {
    // Parameters and arguments.
    invalid_argument,      // any other refused value; the message says which
    negative_parameter,    // a parameter that must be 0 or more is negative
    non_finite_parameter,  // a parameter that must be finite is NaN or infinite
    invalid_sample_time,   // a sample time that is not finite and > 0
    zero_sample_time,      // a sample time of exactly 0 where a time divides by it
    size_mismatch,         // a state or buffer of the wrong length

    // Transfer functions.
    empty_denominator,           // no denominator coefficient at all
    zero_leading_denominator,    // a[0] == 0 in a discrete filter
    all_zero_denominator,        // a continuous denominator without a non-zero coefficient
    empty_numerator,             // no numerator coefficient at all
    zero_numerator,              // a numerator without a non-zero coefficient
    improper_transfer_function,  // numerator of higher degree than the denominator
    non_finite_matrix,           // a realisation with NaN or infinite entries
    no_convergence,              // the eigenvalue iteration did not converge

    // Sequences and sizes.
    no_first_sample,  // an empty sequence where the first sample is needed
    no_last_sample,   // an empty sequence where the last sample is needed
    negative_size,    // a negative number of elements
    size_too_large,   // more elements than can be addressed
    out_of_memory,    // more elements than memory can hold

    // Rounding to integers.
    nan_to_integer,       // NaN cannot be rounded to an integer
    infinity_to_integer,  // infinity cannot be rounded to an integer

    // State.
    state_missing,  // an operation that needs state the block does not have yet

    // Integer counting.
    zero_modulus,  // a count taken modulo 0
    zero_period,   // a time divided into periods of length 0
};

// Thrown by every refusing function of the core; what() is the message,
// code() says which refusal it is.
class Error : public std::runtime_error {
public:
    Error(Errc code, const std::string& message) : std::runtime_error(message), code_(code) {}
    Errc code() const noexcept { return code_; }

private:
    Errc code_;
};

}  // namespace ovelin
