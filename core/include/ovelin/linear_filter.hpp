#pragma once
// Discrete linear filter B(z^-1)/A(z^-1) in transposed direct form II.
//
// The arithmetic is written operation for operation like the reference
// filtering routine users compare against, so that outputs and states agree
// bit for bit (the core is compiled without contraction into fused
// multiply-adds for the same reason; they are written out where the reference
// uses them). The reference has two paths:
//  - A denominator of two or more coefficients runs the direct-form recursion
//    over the zero-padded coefficients, padded denominator terms included:
//    an infinite or NaN output leaves a NaN in every state element, as there.
//  - A single denominator coefficient (an FIR filter or a gain) convolves the
//    numerator with the input and adds the state. No output term enters the
//    state, so a NaN or infinite input spoils only the outputs while it is
//    inside the window. Sums start from +0.0 (a zero result is +0.0 unless
//    the state adds a -0.0).
// A batch is exactly a run of single steps, so a sequence may be split
// freely between the two. The reference's own batch convolution sums long
// or partial windows in another order (with fused multiply-adds), so for
// three or more FIR coefficients a batch can differ from it in the last bit.
// NaN results are NaN at the same places as in the reference; which NaN
// (its sign) is not reproduced.

#include <cstddef>
#include <memory>
#include <span>
#include <vector>

namespace ovelin {

// One step of the direct-form recursion of a filter whose state has S
// elements, over its normalised coefficients b and a (S + 1 each): the one
// definition of that arithmetic, shared by LinearFilter and by callers that
// lay out many filters side by side. The buffers are distinct, so the
// updates may run several lanes at a time (lane-wise the same operations).
template <std::size_t S>
inline double step_recursion(const double* __restrict b, const double* __restrict a, double* __restrict z,
                             double x) noexcept {
    static_assert(S >= 1);
    const double y = z[0] + b[0] * x;
    for (std::size_t n = 0; n + 1 < S; ++n) z[n] = z[n + 1] + x * b[n + 1] - y * a[n + 1];
    z[S - 1] = x * b[S] - y * a[S];
    return y;
}

// One filter: its coefficients and its state. Inputs and outputs are in the
// caller's units (the filter's gain relates them); one step() per sample.
class LinearFilter {
public:
    // Coefficients in ascending powers of z^-1. Both are normalised by a[0]
    // once and the shorter is padded with zeros to the common length L; the
    // state (delay line) has L - 1 elements and starts at zero.
    // Throws ovelin::Error: Errc::empty_denominator for an empty a,
    // Errc::zero_leading_denominator for a[0] == 0, Errc::empty_numerator for
    // an empty b.
    LinearFilter(std::span<const double> b, std::span<const double> a);

    // A copy keeps its state itself, also when the original's is lent.
    LinearFilter(const LinearFilter& other);
    LinearFilter& operator=(const LinearFilter& other);
    LinearFilter(LinearFilter&& other) noexcept;
    LinearFilter& operator=(LinearFilter&& other) noexcept;
    ~LinearFilter() = default;

    // One sample: the reference filtering a one-element sequence. Allocation-free.
    double step(double x) noexcept {
        switch (kernel_) {
            case Kernel::gain: return x * bn_[0] + 0.0;
            case Kernel::fir: return step_fir(x);
            case Kernel::iir1: return step1(x);
            case Kernel::iir2: return step2(x);
            case Kernel::iir_n: break;
        }
        return step_n(x);
    }

    // The number of state elements when step() runs the recursion (a
    // denominator of two or more coefficients), else 0. Callers that step
    // many filters of known orders use it to pick step_recursive<S>().
    std::size_t recursive_state_size() const noexcept {
        return kernel_ == Kernel::iir1 || kernel_ == Kernel::iir2 || kernel_ == Kernel::iir_n ? state_size_ : 0;
    }

    // b and a divided by a[0] and padded to a common length: the
    // coefficients the recursion runs on (recursive_state_size() + 1 each).
    std::span<const double> normalized_b() const noexcept { return bn_; }
    std::span<const double> normalized_a() const noexcept { return an_; }

    // Moves the state into `place` (state_size() elements inside `buffer`,
    // which the filter keeps alive from now on). The filter and whoever steps
    // the state at `place` with step_recursion() then work on one state: a
    // simulator lays out the states of its filters side by side this way,
    // while the filters stay usable on their own.
    void lend_state(std::shared_ptr<double[]> buffer, double* place) noexcept;
    bool state_is_lent() const noexcept { return lent_to_ != nullptr; }

    // step() for a filter whose recursive_state_size() is S, unrolled for
    // that order: the same operations in the same order.
    template <std::size_t S>
    double step_recursive(double x) noexcept {
        return step_recursion<S>(bn_.data(), an_.data(), z_, x);
    }

    // Filters x into y with exactly the results of repeated step(); y may be
    // the same buffer as x. Allocation-free. Throws Errc::size_mismatch
    // (nothing changes) unless x and y have equal sizes.
    void run(std::span<const double> x, std::span<double> y);

    // The state (delay line) in transposed direct form II, state_size() elements.
    std::span<const double> state() const noexcept { return {z_, state_size_}; }
    // Throws Errc::size_mismatch unless z has state_size() elements.
    void set_state(std::span<const double> z);
    // Sets the state with lfiltic() from the most recent outputs y and
    // inputs x (newest first) and the coefficients as given. Allocation-free;
    // throws nothing in practice (the checks of lfiltic() pass for the
    // filter's own coefficients and state).
    void set_state_from_history(std::span<const double> y, std::span<const double> x);
    std::size_t state_size() const noexcept { return state_size_; }

    // The coefficients as given to the constructor.
    std::span<const double> b() const noexcept { return b_; }
    std::span<const double> a() const noexcept { return a_; }

private:
    enum class Kernel { gain, fir, iir1, iir2, iir_n };

    double step1(double x) noexcept {
        const double y = z_[0] + bn_[0] * x;
        z_[0] = x * bn_[1] - y * an_[1];
        return y;
    }
    double step2(double x) noexcept {
        const double y = z_[0] + bn_[0] * x;
        z_[0] = z_[1] + x * bn_[1] - y * an_[1];
        z_[1] = x * bn_[2] - y * an_[2];
        return y;
    }
    double step_n(double x) noexcept;
    double step_fir(double x) noexcept;

    std::vector<double> b_;
    std::vector<double> a_;
    std::vector<double> bn_;             // b / a[0], padded to L
    std::vector<double> an_;             // a / a[0], padded to L
    std::vector<double> own_state_;      // the state, unless lent
    std::shared_ptr<double[]> lent_to_;  // keeps the buffer of a lent state alive
    double* z_;                          // the state in use: own_state_ or its place in lent_to_
    std::size_t state_size_;             // L - 1
    Kernel kernel_;
};

// Number of state elements lfiltic() produces: max(len(b), len(a)) - 1, or
// len(a) - 1 for an empty b.
std::size_t lfiltic_size(std::size_t b_size, std::size_t a_size) noexcept;

// Initial state that continues a filter whose most recent outputs were y and
// inputs x (newest first; missing values count as zero, surplus ones are
// ignored). Computed from the coefficients as given, then divided by a[0]
// when a[0] != 1, with the same summation order as the reference routine.
// zi must have lfiltic_size(b.size(), a.size()) elements. Allocation-free.
// Throws ovelin::Error, leaving zi untouched: Errc::empty_denominator,
// Errc::zero_leading_denominator, Errc::size_mismatch for a wrong zi size.
void lfiltic(std::span<const double> b, std::span<const double> a, std::span<const double> y, std::span<const double> x,
             std::span<double> zi);

// As above, returning a new state. Throws Errc::empty_denominator or
// Errc::zero_leading_denominator.
std::vector<double> lfiltic(std::span<const double> b, std::span<const double> a, std::span<const double> y,
                            std::span<const double> x);

}  // namespace ovelin
