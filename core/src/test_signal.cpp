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
    // Within kMaxHalfPeriod every value below fits in 64 bits.
    const auto level = level_at<std::int64_t>(
        t, et_, static_cast<std::int64_t>(table_.size()),
        [this](std::int64_t, std::int64_t index) { return switching_time(static_cast<std::size_t>(index)); });
    return {level.high, level.next, level.high ? amp_ : -amp_};
}

}  // namespace ovelin
