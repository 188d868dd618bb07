#include "ovelin/test_signal.hpp"

#include <cmath>
#include <string>
#include <utility>

#include "ovelin/error.hpp"

namespace ovelin {

std::int64_t floor_div(std::int64_t n, std::int64_t d) noexcept {
    const std::int64_t q = n / d;
    return (n % d != 0 && ((n < 0) != (d < 0))) ? q - 1 : q;
}

std::int64_t floor_mod(std::int64_t n, std::int64_t d) noexcept {
    const std::int64_t r = n % d;
    return (r != 0 && ((r < 0) != (d < 0))) ? r + d : r;
}

TestSignal::TestSignal(std::vector<double> table) {
    set_table(std::move(table));
}

void TestSignal::set_table(std::vector<double> table) {
    if (table.empty()) throw Error(Errc::invalid_argument, "the switching table must not be empty");
    for (std::size_t i = 0; i < table.size(); ++i) {
        if (!(table[i] >= 0.0 && table[i] <= 1.0)) {
            throw Error(Errc::invalid_argument, "switching fraction " + std::to_string(i) + " is not within [0, 1]");
        }
    }
    table_ = std::move(table);
}

void TestSignal::set_half_period(std::int64_t et) {
    if (et > kMaxHalfPeriod || et < -kMaxHalfPeriod) {
        throw Error(Errc::invalid_argument, "the half period must be within +-2**59 seconds");
    }
    et_ = et;
}

std::int64_t TestSignal::switching_time(std::size_t index) const noexcept {
    // In double precision, as the fraction is a double: 50 * 0.58 truncates to 28.
    return static_cast<std::int64_t>(std::trunc(static_cast<double>(2 * et_) * table_[index]));
}

SignalLevel TestSignal::at(std::int64_t t) const {
    if (et_ == 0) throw Error(Errc::zero_period, "the test signal has a period of 0");
    const std::int64_t period = 2 * et_;
    const auto size = static_cast<std::int64_t>(table_.size());
    const auto index = static_cast<std::size_t>(floor_mod(floor_div(t, period), size));
    return in_period(index, floor_mod(t, period));
}

SignalLevel TestSignal::in_period(std::size_t index, std::int64_t phase) const {
    const std::int64_t p = 2 * et_;
    const std::size_t size = table_.size();
    const std::int64_t sw0 = switching_time(index);
    const std::int64_t sw1 = switching_time((index + 1) % size);
    const std::int64_t sw2 = switching_time((index + 2) % size);
    if (phase < sw0) return {true, {sw0 - phase, p - phase, p - phase + sw1, 2 * p - phase, 2 * p - phase + sw2}, amp_};
    return {false, {p - phase, p - phase + sw1, 2 * p - phase, 2 * p - phase + sw2, 3 * p - phase}, -amp_};
}

}  // namespace ovelin
