#pragma once
// Anti-windup limiter: the output moves by the input's changes and stays
// within limits, so it leaves a limit as soon as the input turns back.

#include <optional>

namespace ovelin {

// Which limit shaped a value.
enum class Bound { none, low, high };

// A limited value and the bound that gave it (none: the value passed).
template <class V>
struct LimitedOf {
    V value;
    Bound bound;
};
using Limited = LimitedOf<double>;

// limit() that tells which bound applied: x becomes lo when lo > x, then hi
// when hi < the result; a NaN x passes. Written once over the value type, so
// that a binding runs the same steps on its language's numbers; inline, as is
// the step below: they are the per-sample path of the bindings.
template <class V>
constexpr LimitedOf<V> limit_reporting(const V& x, const V& lo, const V& hi) {
    LimitedOf<V> result{x, Bound::none};
    if (lo > result.value) result = {lo, Bound::low};
    if (hi < result.value) result = {hi, Bound::high};
    return result;
}

// The same on plain numbers (any arithmetic arguments, converted to double).
constexpr Limited limit_reporting(double x, double lo, double hi) noexcept {
    return limit_reporting<double>(x, lo, hi);
}

// One sample of the rule: the previous output y0 moved by the input's change
// since the previous input u0, limited to [lo, hi].
template <class V>
LimitedOf<V> anti_windup_step(const V& u, const V& u0, const V& y0, const V& hi, const V& lo) {
    return limit_reporting<V>(y0 + (u - u0), lo, hi);
}

// Values and limits are in the signal's own units; one step per sample.
class AntiWindupLimiter {
public:
    // Without history: the first step() starts from its own input.
    AntiWindupLimiter() = default;
    // With the last input and output before the first sample (either may be unknown).
    AntiWindupLimiter(std::optional<double> last_input, std::optional<double> last_output) noexcept
        : u0_(last_input), y0_(last_output) {}

    // One sample: the previous output moved by the input's change since the
    // previous sample, limited to [lo, hi]. Without history the input itself,
    // limited, is the previous output and the change is zero. A NaN input
    // gives NaN and leaves the history alone, so one bad sample does not
    // poison every later output.
    Limited step(double u, double hi, double lo) noexcept {
        if (u != u) return {u, Bound::none};
        if (!u0_) u0_ = u;
        if (!y0_) y0_ = limit_reporting(u, lo, hi).value;
        const Limited y = anti_windup_step(u, *u0_, *y0_, hi, lo);
        u0_ = u;
        y0_ = y.value;
        return y;
    }

    // The history the next step() continues from; the setters restore it.
    const std::optional<double>& last_input() const noexcept { return u0_; }
    const std::optional<double>& last_output() const noexcept { return y0_; }
    void set_last_input(std::optional<double> u) noexcept { u0_ = u; }
    void set_last_output(std::optional<double> y) noexcept { y0_ = y; }

private:
    std::optional<double> u0_, y0_;
};

}  // namespace ovelin
