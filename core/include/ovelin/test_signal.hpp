#pragma once
// Test signal: a two-level square wave whose period is twice a half period
// and whose switching instant inside each period comes from a table of
// fractions, so that the pulse widths vary from period to period.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace ovelin {

// The largest magnitude of a half period: every time the signal reports
// (up to four periods ahead) then fits in 64 bits.
inline constexpr std::int64_t kMaxHalfPeriod = std::int64_t{1} << 59;

// The level at one time and the next five level changes, in seconds from it.
struct SignalLevel {
    bool high;
    std::array<std::int64_t, 5> next;
    double value;  // +amplitude or -amplitude
};

// The signal generator: table, half period (seconds) and amplitude.
class TestSignal {
public:
    // `table`: the switching fractions, one per period, each within [0, 1].
    // Throws Errc::invalid_argument for an empty table or another entry.
    explicit TestSignal(std::vector<double> table);

    // The level at time t (seconds) and the next five changes. Periods are
    // anchored at t = 0; each starts high and falls at its switching time.
    // Throws Errc::zero_period while the half period is 0.
    SignalLevel at(std::int64_t t) const;

    // The same, for the period whose table entry is `index` (< table size)
    // at position `phase` into it (floor modulo of t by the full period).
    SignalLevel in_period(std::size_t index, std::int64_t phase) const;

    // The switching time of the period with table entry `index`, from its
    // start: the product of full period and fraction, truncated toward zero.
    std::int64_t switching_time(std::size_t index) const noexcept;

    std::span<const double> table() const noexcept { return table_; }
    // Checked as by the constructor; a refused table leaves the old one.
    void set_table(std::vector<double> table);

    // Throws Errc::invalid_argument beyond +-kMaxHalfPeriod; 0 is accepted
    // (at() then fails) and so is a negative half period.
    void set_half_period(std::int64_t et);
    std::int64_t half_period() const noexcept { return et_; }

    // A positive amplitude is kept; zero, a negative one and NaN become 0.
    void set_amplitude(double amp) noexcept { amp_ = amp > 0.0 ? amp : 0.0; }
    double amplitude() const noexcept { return amp_; }

private:
    std::vector<double> table_;
    std::int64_t et_ = 10;
    double amp_ = 1.0;
};

// Floor division and modulo (the quotient rounded toward minus infinity, the
// remainder with the sign of the divisor). d must not be 0.
std::int64_t floor_div(std::int64_t n, std::int64_t d) noexcept;
std::int64_t floor_mod(std::int64_t n, std::int64_t d) noexcept;

}  // namespace ovelin
