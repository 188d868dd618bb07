#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <vector>

#include "error_code.hpp"
#include "ovelin/test_signal.hpp"
#include "ovelin/watchdog.hpp"

using ovelin::Errc;
using ovelin::TestSignal;
using ovelin::WatchDog;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

// The count after `count` taken modulo n, worked out with 128-bit integers.
std::int64_t expected_next(std::int64_t count, std::int64_t n) {
    const __int128 r = (static_cast<__int128>(count) + 1) % n;
    return static_cast<std::int64_t>((r != 0 && ((r < 0) != (n < 0))) ? r + n : r);
}

TEST(WatchDog, NextCountIsFloorModuloWithoutOverflow) {
    const std::int64_t counts[] = {0, 1, -1, 7, -8, 41, kMax, kMax - 1, kMin, kMin + 1};
    const std::int64_t moduli[] = {1, -1, 2, -2, 3, 4, -4, 10, kMax, kMin, kMin + 1};
    for (const std::int64_t count : counts) {
        for (const std::int64_t n : moduli) {
            EXPECT_EQ(ovelin::next_count(count, n), expected_next(count, n)) << count << " " << n;
        }
    }
}

TEST(WatchDog, ModuloZeroIsRefusedAndKeepsTheCount) {
    WatchDog dog;
    dog.set_ticks(5);
    EXPECT_EQ(error_code([&] { dog.tick(0); }), Errc::zero_modulus);
    EXPECT_EQ(dog.ticks(), 5);
}

TEST(TestSignal, FloorDivisionAndModulo) {
    EXPECT_EQ(ovelin::floor_div(-1, 20), -1);
    EXPECT_EQ(ovelin::floor_mod(-1, 20), 19);
    EXPECT_EQ(ovelin::floor_div(7, -4), -2);
    EXPECT_EQ(ovelin::floor_mod(7, -4), -1);
    EXPECT_EQ(ovelin::floor_div(kMin, 2), kMin / 2);
    EXPECT_EQ(ovelin::floor_mod(kMin + 1, 2), 1);
}

TEST(TestSignal, TableAndHalfPeriodAreChecked) {
    EXPECT_EQ(error_code([] { TestSignal(std::vector<double>{}); }), Errc::invalid_argument);
    for (const double bad : {-0.01, 1.01, double(NAN), double(INFINITY)}) {
        EXPECT_EQ(error_code([&] { TestSignal(std::vector<double>{0.5, bad}); }), Errc::invalid_argument);
    }
    TestSignal signal(std::vector<double>{0.5});
    EXPECT_EQ(error_code([&] { signal.set_half_period(ovelin::kMaxHalfPeriod + 1); }), Errc::invalid_argument);
    signal.set_half_period(0);
    EXPECT_EQ(error_code([&] { signal.at(3); }), Errc::zero_period);
}

// The level at t worked out with 128-bit integers, as the reference.
std::array<__int128, 5> expected_changes(const std::vector<double>& table, std::int64_t et, std::int64_t t) {
    const __int128 p = 2 * static_cast<__int128>(et), n = static_cast<__int128>(table.size());
    const auto floor_mod = [](__int128 a, __int128 b) { return ((a % b) + b) % b; };
    const __int128 phase = floor_mod(t, p);
    const __int128 index = floor_mod((t - phase) / p, n);
    __int128 sw[3];
    for (int k = 0; k < 3; ++k) sw[k] = static_cast<__int128>(std::trunc(double(p) * table[(index + k) % n]));
    if (phase < sw[0]) return {sw[0] - phase, p - phase, p - phase + sw[1], 2 * p - phase, 2 * p - phase + sw[2]};
    return {p - phase, p - phase + sw[1], 2 * p - phase, 2 * p - phase + sw[2], 3 * p - phase};
}

TEST(TestSignal, LongestPeriodsStayWithin64Bits) {
    const std::vector<double> table{1.0, 0.0, 0.37};
    for (const std::int64_t et : {ovelin::kMaxHalfPeriod, -ovelin::kMaxHalfPeriod, std::int64_t{1}, std::int64_t{-3}}) {
        TestSignal signal(table);
        signal.set_half_period(et);
        for (const std::int64_t t : {kMin, kMax, std::int64_t{0}, std::int64_t{-1}, 2 * et - 1, 5 * et + 3}) {
            const std::array<__int128, 5> expected = expected_changes(table, et, t);
            const ovelin::SignalLevel level = signal.at(t);
            for (int k = 0; k < 5; ++k) EXPECT_TRUE(level.next[k] == expected[k]) << et << " " << t << " " << k;
        }
    }
}
