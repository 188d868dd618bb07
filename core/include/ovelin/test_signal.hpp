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

// The level at time t and the next five changes, in seconds from t, written
// once for any value type V with floor_div and floor_mod (found by argument-
// dependent lookup for a class), so that a caller's own numbers follow the
// same steps as the 64-bit ones. Periods of 2 * half_period are anchored at
// t = 0; period k uses the table entry k modulo table_size, starts high and
// falls at switching(p, entry), p being the full period.
template <class V>
struct LevelAt {
    bool high;
    std::array<V, 5> next;
};

template <class V, class Switching>
LevelAt<V> level_at(const V& t, const V& half_period, const V& table_size, Switching&& switching) {
    const V p = V(2) * half_period;
    const V period = floor_div(t, p);
    const V sw0 = switching(p, floor_mod(period, table_size));
    const V sw1 = switching(p, floor_mod(period + V(1), table_size));
    const V sw2 = switching(p, floor_mod(period + V(2), table_size));
    const V phase = floor_mod(t, p);
    const V p2 = V(2) * p, p3 = V(3) * p;
    if (phase < sw0) return {true, {sw0 - phase, p - phase, p - phase + sw1, p2 - phase, p2 - phase + sw2}};
    return {false, {p - phase, p - phase + sw1, p2 - phase, p2 - phase + sw2, p3 - phase}};
}

}  // namespace ovelin
