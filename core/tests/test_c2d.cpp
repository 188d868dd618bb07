#include "ovelin/c2d.hpp"

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "error_code.hpp"

namespace {

using ovelin::c2d_zoh;
using ovelin::Errc;
using Coefficients = std::vector<double>;

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

void expect_near(const Coefficients& actual, const Coefficients& expected, double tol) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t k = 0; k < actual.size(); ++k) {
        EXPECT_NEAR(actual[k], expected[k], tol) << "coefficient " << k;
    }
}

TEST(C2dZoh, FirstOrderLagWithDeadTime) {
    const auto tf = c2d_zoh(Coefficients{1}, Coefficients{10, 1}, 2.4, 1);
    const double p = std::exp(-0.1);
    expect_near(tf.num, {0, 0, 0, 1 - p}, 2e-16);
    expect_near(tf.den, {1, -p}, 2e-16);
    EXPECT_EQ(tf.num[2], 0.0);  // the hold's own delay is an exact zero, not rounding noise
}

TEST(C2dZoh, FirstOrderLagClosedForm) {
    for (const double gain : {0.3, -2.0, 150.0}) {
        for (const double lag : {0.05, 1.0, 400.0}) {
            for (const double ts : {0.01, 1.0, 30.0}) {
                const auto tf = c2d_zoh(Coefficients{gain}, Coefficients{lag, 1}, 0, ts);
                const double p = std::exp(-ts / lag);
                // The numerator is a difference of polynomials near 1 in size.
                expect_near(tf.num, {0, gain * (1 - p)}, 4e-16 * (1 + std::abs(gain)));
                expect_near(tf.den, {1, -p}, 2e-16);
            }
        }
    }
}

TEST(C2dZoh, DeadTimeRoundsHalfToEven) {
    const auto zeros_for = [](double delay, double ts) {
        return c2d_zoh(Coefficients{1}, Coefficients{1, 1}, delay, ts).num.size() - 2;
    };
    EXPECT_EQ(zeros_for(2.5, 1), 2u);
    EXPECT_EQ(zeros_for(3.5, 1), 4u);
    EXPECT_EQ(zeros_for(0.5, 1), 0u);
    EXPECT_EQ(zeros_for(0, 1), 0u);
    EXPECT_EQ(zeros_for(1.25, 0.5), 2u);
    EXPECT_EQ(zeros_for(-0.5, 1), 0u);  // rounds to -0, which is no delay
}

TEST(C2dZoh, LeadingNumeratorZerosAreDropped) {
    const auto padded = c2d_zoh(Coefficients{0, 0, 1}, Coefficients{1, 1}, 0, 1);
    const auto plain = c2d_zoh(Coefficients{1}, Coefficients{1, 1}, 0, 1);
    EXPECT_EQ(padded.num, plain.num);
    EXPECT_EQ(padded.den, plain.den);
    // After normalisation, coefficients up to 1e-14 count as leading zeros too.
    const auto tiny = c2d_zoh(Coefficients{1e-15, 1, 1}, Coefficients{1, 1}, 0, 1);
    EXPECT_EQ(tiny.num, c2d_zoh(Coefficients{1, 1}, Coefficients{1, 1}, 0, 1).num);
}

TEST(C2dZoh, LeadingDenominatorZerosAreDropped) {
    const auto tf = c2d_zoh(Coefficients{1, 2}, Coefficients{0, 1, 1}, 0, 1);
    const double p = std::exp(-1.0);
    expect_near(tf.num, {1, 1 - 2 * p}, 1e-15);  // (s + 2)/(s + 1) = 1 + 1/(s + 1)
    expect_near(tf.den, {1, -p}, 1e-15);
}

TEST(C2dZoh, SecondOrderDistinctPoles) {
    // 1/((s + 1)(s + 2)), partial fractions of the step response.
    const double ts = 0.7;
    const double p1 = std::exp(-ts);
    const double p2 = std::exp(-2 * ts);
    const auto tf = c2d_zoh(Coefficients{1}, Coefficients{1, 3, 2}, 0, ts);
    expect_near(tf.num, {0, 0.5 - p1 + 0.5 * p2, 0.5 * p1 * p2 - p2 + 0.5 * p1}, 1e-15);
    expect_near(tf.den, {1, -(p1 + p2), p1 * p2}, 1e-15);
}

TEST(C2dZoh, SecondOrderComplexPolesKeepGain) {
    const double wn = 3.0, zeta = 0.2, ts = 0.3;
    const auto tf = c2d_zoh(Coefficients{wn * wn}, Coefficients{1, 2 * zeta * wn, wn * wn}, 0, ts);
    const double radius = std::exp(-zeta * wn * ts);
    const double wd = wn * std::sqrt(1 - zeta * zeta);
    expect_near(tf.den, {1, -2 * radius * std::cos(wd * ts), radius * radius}, 1e-15);
    EXPECT_EQ(tf.num[0], 0.0);
    // The hold equivalent keeps the static gain.
    const double gain = (tf.num[1] + tf.num[2]) / (tf.den[0] + tf.den[1] + tf.den[2]);
    EXPECT_NEAR(gain, 1.0, 1e-14);
}

TEST(C2dZoh, RepeatedIntegratorsGiveEulerianNumerators) {
    // 1/s^n sampled with a hold: ts^n/n! times the Eulerian numbers over (1 - z^-1)^n.
    // Covers the fixed-size orders and the dynamic one.
    const std::vector<Coefficients> eulerian = {
        {1}, {1, 1}, {1, 4, 1}, {1, 11, 11, 1}, {1, 26, 66, 26, 1}, {1, 57, 302, 302, 57, 1}};
    const std::vector<Coefficients> binomial = {
        {1, -1}, {1, -2, 1}, {1, -3, 3, -1}, {1, -4, 6, -4, 1}, {1, -5, 10, -10, 5, -1}, {1, -6, 15, -20, 15, -6, 1}};
    const double ts = 0.5;
    double scale = 1;
    for (std::size_t n = 1; n <= 6; ++n) {
        scale *= ts / static_cast<double>(n);
        Coefficients den(n + 1, 0.0);
        den[0] = 1;
        Coefficients expected_num{0};
        for (const double e : eulerian[n - 1]) expected_num.push_back(scale * e);
        const auto tf = c2d_zoh(Coefficients{1}, den, 0, ts);
        SCOPED_TRACE("order " + std::to_string(n));
        expect_near(tf.num, expected_num, 1e-13);
        expect_near(tf.den, binomial[n - 1], 1e-13);
    }
}

TEST(C2dZoh, BadlyScaledSixthOrder) {
    // Poles from -0.02 to -1.1 sampled at 99.5 s: Ad spans 20 decades. Reference
    // from an 80-digit evaluation of the same formulas.
    const Coefficients num{-0.06967437, 1.75295667};
    const Coefficients den{6.48921994, 10.3204480, 3.72172741, 0.396945008, 0.0157303203, 2.99220811e-4, 2.28458638e-6};
    const auto tf = c2d_zoh(num, den, 0, 99.5);
    expect_near(tf.den,
                {1.0, -0.15994625087615727, 0.02905221150495949, -0.003890423014153356, 5.092965954580595e-07,
                 -1.1066475963121804e-20, 1.8845419006887475e-69},
                1e-14);
    expect_near(tf.num,
                {0.0, 255382.53272555515, 368994.09979820834, 39375.34125208269, 125.85264154625426,
                 9.057213253052576e-05, 2.397675373467956e-21},
                1e-12 * 368994.0);
}

TEST(C2dZoh, StaticGainKeepsAnIdleState) {
    const auto half = c2d_zoh(Coefficients{2}, Coefficients{4}, 0, 1);
    EXPECT_EQ(half.num, (Coefficients{0.5, -0.5}));
    EXPECT_EQ(half.den, (Coefficients{1, -1}));
    // The numerator is 1 + (gain - 1) times the denominator, rounding included.
    const auto tenth = c2d_zoh(Coefficients{1}, Coefficients{10}, 1, 1);
    EXPECT_EQ(tenth.num, (Coefficients{0, 0.09999999999999998, -0.09999999999999998}));
}

TEST(C2dZoh, ZeroSampleTimeWorksForTheHoldAlone) {
    const auto tf = ovelin::zoh(Coefficients{1}, Coefficients{1, 1}, 0);
    EXPECT_EQ(tf.num, (Coefficients{0, 0}));
    EXPECT_EQ(tf.den, (Coefficients{1, -1}));
}

TEST(C2dZoh, Refusals) {
    struct Case {
        Coefficients num, den;
        double delay, ts;
        Errc code;
    };
    const Case cases[] = {
        // The sample time is checked first, a zero one only for the dead time.
        {{0}, {1, 1}, 0, -1, Errc::invalid_sample_time},
        {{1}, {1, 1}, 0, nan, Errc::invalid_sample_time},
        {{1}, {1, 1}, 0, inf, Errc::invalid_sample_time},
        {{1}, {1, 1}, 0, -inf, Errc::invalid_sample_time},
        {{1}, {1, 1}, 0, 0, Errc::zero_sample_time},
        {{1}, {1, 1}, 2, 0, Errc::zero_sample_time},
        {{1, 2, 3}, {1, 1}, 2, 0, Errc::improper_transfer_function},
        {{}, {1, 1}, 0, 1, Errc::zero_numerator},
        {{0, 0}, {0}, 0, 1, Errc::zero_numerator},  // before the denominator
        {{1, 0}, {0, 1}, 0, 1, Errc::improper_transfer_function},
        {{1}, {}, 0, 1, Errc::all_zero_denominator},
        {{1}, {0, 0}, 0, 1, Errc::all_zero_denominator},
        {{1}, {1, -1}, 0, 1000, Errc::non_finite_matrix},  // e^1000 overflows
        {{nan}, {1, 1}, 0, 1, Errc::non_finite_matrix},
        {{1}, {1, 1}, -0.6, 1, Errc::negative_size},
        {{1}, {1, 1}, nan, 1, Errc::nan_to_integer},
        {{1}, {1, 1}, inf, 1, Errc::infinity_to_integer},
        {{1}, {1, 1}, 1e300, 1, Errc::size_too_large},
        {{1}, {1, 1}, 0x1p60, 1, Errc::size_too_large},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_code([&] { c2d_zoh(c.num, c.den, c.delay, c.ts); }), c.code)
            << "delay " << c.delay << " ts " << c.ts;
    }
    EXPECT_EQ(error_code([] { ovelin::zoh(Coefficients{}, Coefficients{1, 1}, 1); }), Errc::empty_numerator);
    EXPECT_EQ(error_code([] { ovelin::zoh(Coefficients{1}, Coefficients{2}, inf); }), Errc::non_finite_matrix);
}

}  // namespace
