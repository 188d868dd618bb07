#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "error_code.hpp"
#include "ovelin/lead_lag.hpp"

using ovelin::Errc;
using ovelin::LeadLag;

namespace {

std::vector<double> as_vector(std::span<const double> s) {
    return {s.begin(), s.end()};
}

std::vector<double> steps(LeadLag& f, const std::vector<double>& u) {
    std::vector<double> y;
    for (const double v : u) y.push_back(f.step(v));
    return y;
}

void expect_near(const std::vector<double>& actual, const std::vector<double>& expected, double tol) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) EXPECT_NEAR(actual[i], expected[i], tol) << i;
}

}  // namespace

TEST(LeadLag, LeadLagStepResponse) {
    LeadLag f(0.5, 5.0, 1.0);
    const std::vector<double> y = steps(f, {0.0, 1.0, 1.0, 1.0});
    expect_near(y, {0.0, 0.5, 0.590635, 0.664840}, 5e-7);
    EXPECT_EQ(y[1], 0.5);
    EXPECT_EQ(f.last_input(), 1.0);
    EXPECT_EQ(f.last_output(), y.back());
}

TEST(LeadLag, LagRespondsInTheSameSample) {
    LeadLag f(0.0, 5.0, 1.0);
    expect_near(steps(f, {0.0, 1.0, 1.0, 1.0}), {0.0, 0.181269, 0.329680, 0.451188}, 5e-7);
}

TEST(LeadLag, CoefficientsMatchHoldEquivalent) {
    // Coefficients of the reference continuous-to-discrete conversion.
    const auto check = [](double alpha, double tao, double ts, std::vector<double> b, std::vector<double> a) {
        const ovelin::LinearFilter f = ovelin::lead_lag_filter(alpha, tao, ts);
        EXPECT_EQ(as_vector(f.b()), b) << alpha << ' ' << tao << ' ' << ts;
        EXPECT_EQ(as_vector(f.a()), a) << alpha << ' ' << tao << ' ' << ts;
    };
    check(0.5, 5.0, 1.0, {0x1.0p-1, -0x1.46615ac2cc2b3p-2}, {1.0, -0x1.a330ad6166159p-1});
    check(0.0, 5.0, 1.0, {0x1.733d4a7a67a9cp-3}, {1.0, -0x1.a330ad6166159p-1});
    // The leading coefficient is alpha as the conversion rounds it, not alpha.
    check(0.3, 4.0, 1.0, {0x1.3333333333334p-2, -0x1.42c49c230dd28p-4}, {1.0, -0x1.8ebef9eac820bp-1});
    check(0.3, 7.0, 1.0, {0x1.3333333333334p-2, -0x1.55c4148ed14c8p-3}, {1.0, -0x1.bbd76b8a1ab98p-1});
    check(2.5, 40.0, 5.0, {0x1.4p+1, -0x1.30f5a893b6089p+1}, {1.0, -0x1.c3d6a24ed8222p-1});
    check(0.7, 0.0, 1.0, {1.0}, {1.0});
    // A zero sample time holds the output: p = 1.
    check(0.5, 5.0, 0.0, {0.5, -0.5}, {1.0, -1.0});
}

TEST(LeadLag, CoefficientsNearHoldEquivalent) {
    // The reference approximates exp(-ts/tao) by a Pade approximant, so a
    // last-bit difference is possible; the leading coefficient has none.
    const LeadLag f(0.1, 3.3, 1.0);
    EXPECT_EQ(f.b()[0], 0x1.9999999999998p-4);
    EXPECT_NEAR(f.b()[1], 0x1.4a984a91e4a70p-3, 5e-16);
    EXPECT_NEAR(f.a()[1], -0x1.7a26ba2853a30p-1, 5e-16);
    const LeadLag g(0.3, 7.0, 2.0);
    EXPECT_EQ(g.b()[0], 0x1.3333333333334p-2);
    EXPECT_NEAR(g.b()[1], -0x1.a5b3b547d6b70p-5, 5e-16);
    EXPECT_NEAR(g.a()[1], -0x1.80c1a1bae3d1dp-1, 5e-16);
}

TEST(LeadLag, ZeroTimeConstantPassesInputThrough) {
    for (const double alpha : {0.0, 0.5, 3.0, -2.0}) {
        LeadLag f(alpha, 0.0, 1.0);
        EXPECT_EQ(steps(f, {1.5, -2.25, 7.0}), (std::vector{1.5, -2.25, 7.0}));
        EXPECT_TRUE(f.has_state());
        EXPECT_EQ(f.state_size(), 0u);
    }
}

TEST(LeadLag, StartsAtRestAtFirstInput) {
    // Rest means b0*u + (b1*u - a1*u); with alpha 0.5 that sum rounds one
    // ulp below 7.3, exactly as the reference filter does.
    for (const auto& [alpha, expected] :
         {std::pair{0.0, 7.3}, std::pair{2.0, 7.3}, std::pair{0.5, 0x1.d333333333332p+2}}) {
        LeadLag f(alpha, 5.0, 1.0);
        EXPECT_FALSE(f.has_state());
        EXPECT_TRUE(f.state().empty());
        EXPECT_EQ(f.step(7.3), expected) << alpha;
        EXPECT_TRUE(f.has_state());
        EXPECT_EQ(f.last_input(), 7.3);
        EXPECT_EQ(f.last_output(), expected);
    }
}

TEST(LeadLag, OperatingPointGivesState) {
    const LeadLag both(0.5, 5.0, 1.0, 2.0, 3.0);
    ASSERT_TRUE(both.has_state());
    const double b1 = both.b()[1], a1 = both.a()[1];
    EXPECT_EQ(both.state()[0], b1 * 2.0 - a1 * 3.0);
    const LeadLag lag(0.0, 5.0, 1.0, 2.0, 3.0);
    EXPECT_EQ(lag.state()[0], 0.0 - lag.a()[1] * 3.0);
    EXPECT_FALSE(LeadLag(0.5, 5.0, 1.0, 2.0, std::nullopt).has_state());
    EXPECT_FALSE(LeadLag(0.5, 5.0, 1.0, std::nullopt, 3.0).has_state());
}

TEST(LeadLag, ParameterChangeIsBumpless) {
    LeadLag f(0.0, 5.0, 1.0);
    for (int i = 0; i < 3; ++i) f.step(1.0);
    ASSERT_EQ(f.last_output(), 1.0);
    f.set_alpha(0.5);
    f.rebuild();
    EXPECT_EQ(f.step(1.0), 1.0);

    // Mid-transient: the next output continues from the last input and output.
    LeadLag g(0.5, 5.0, 1.0);
    steps(g, {0.0, 1.0, 1.0});
    const double u_prev = g.last_input().value(), y_prev = g.last_output().value();
    g.set_tao(2.0);
    g.rebuild();
    LeadLag expected(0.5, 2.0, 1.0, u_prev, y_prev);
    EXPECT_EQ(g.step(1.0), expected.step(1.0));
}

TEST(LeadLag, RebuildWithoutOperatingPointLeavesStateUnset) {
    LeadLag f(0.0, 5.0, 1.0);
    f.set_alpha(0.5);
    f.rebuild();
    EXPECT_FALSE(f.has_state());
    EXPECT_EQ(f.step(4.0), 4.0);
}

TEST(LeadLag, RefusedParameters) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Case {
        double alpha, tao, ts;
        std::optional<Errc> code;
    };
    const Case cases[] = {
        {0.5, -1.0, 1.0, Errc::negative_parameter},
        {-0.5, 5.0, 1.0, Errc::negative_parameter},
        {-0.5, 0.0, 1.0, std::nullopt},  // tao == 0 takes precedence
        {nan, 0.0, 1.0, Errc::non_finite_parameter},
        {0.5, inf, 1.0, Errc::non_finite_parameter},
        {0.5, 5.0, 0.0, Errc::invalid_sample_time},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(error_code([&] { LeadLag(c.alpha, c.tao, c.ts); }), c.code) << c.alpha << ' ' << c.tao << ' ' << c.ts;
    }
}

TEST(LeadLag, RefusedSettingChangesNothing) {
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Case {
        void (LeadLag::*set)(double);
        double value;
        Errc code;
    };
    const Case cases[] = {
        {&LeadLag::set_alpha, nan, Errc::non_finite_parameter},
        {&LeadLag::set_tao, -inf, Errc::non_finite_parameter},
        {&LeadLag::set_ts, nan, Errc::invalid_sample_time},
    };
    for (const Case& c : cases) {
        LeadLag f(0.5, 5.0, 1.0, 1.0, 2.0);
        EXPECT_EQ(error_code([&] { (f.*c.set)(c.value); }), c.code) << c.value;
        EXPECT_EQ(f.alpha(), 0.5);
        EXPECT_EQ(f.tao(), 5.0);
        EXPECT_EQ(f.ts(), 1.0);
    }

    // A negative value is stored; the rebuild refuses it and changes no
    // coefficient or state.
    LeadLag f(0.5, 5.0, 1.0, 1.0, 1.0);
    const std::vector<double> b = as_vector(f.b());
    const double z = f.state()[0];
    f.set_tao(-1.0);
    EXPECT_EQ(error_code([&] { f.rebuild(); }), Errc::negative_parameter);
    EXPECT_EQ(f.tao(), -1.0);
    EXPECT_EQ(as_vector(f.b()), b);
    EXPECT_EQ(f.state()[0], z);
}

TEST(LeadLag, RunEqualsSteps) {
    for (const double alpha : {0.0, 0.5}) {
        LeadLag single(alpha, 5.0, 1.0);
        LeadLag batch(alpha, 5.0, 1.0);
        const std::vector<double> u{0.0, 1.0, 1.0, 1.0, -2.5, 3.0};
        const std::vector<double> y_single = steps(single, u);
        std::vector<double> y(u.size());
        batch.run(std::span(u).first(4), std::span(y).first(4));
        y[4] = batch.step(u[4]);
        batch.run(std::span(u).subspan(5), std::span(y).subspan(5));
        EXPECT_EQ(y, y_single);
        EXPECT_EQ(as_vector(batch.state()), as_vector(single.state()));
        EXPECT_EQ(batch.last_input(), 3.0);
        EXPECT_EQ(batch.last_output(), y_single.back());
    }
}

TEST(LeadLag, RunInPlaceRecordsLastInput) {
    LeadLag f(0.5, 5.0, 1.0);
    std::vector<double> buffer{2.0, 4.0};
    f.run(buffer, buffer);
    EXPECT_EQ(buffer[0], 2.0);
    EXPECT_EQ(f.last_input(), 4.0);
    EXPECT_EQ(f.last_output(), buffer[1]);
}

TEST(LeadLag, RunRefusesEmptyInput) {
    std::vector<double> none;
    LeadLag fresh(0.5, 5.0, 1.0);
    EXPECT_EQ(error_code([&] { fresh.run(none, none); }), Errc::no_first_sample);
    EXPECT_FALSE(fresh.has_state());
    LeadLag running(0.5, 5.0, 1.0, 1.0, 1.0);
    EXPECT_EQ(error_code([&] { running.run(none, none); }), Errc::no_last_sample);
}

TEST(LeadLag, StateAndCoefficientsCanBeRestored) {
    LeadLag original(0.3, 7.0, 2.0);
    steps(original, {1.0, 2.0, 0.5});
    LeadLag restored(0.0, 0.0, 1.0);
    restored.set_coefficients(original.b(), original.a());
    restored.set_state(original.state());
    restored.set_last_input(original.last_input());
    restored.set_last_output(original.last_output());
    EXPECT_EQ(restored.step(-1.0), original.step(-1.0));
    // A set state must fit new coefficients.
    EXPECT_EQ(error_code([&] { restored.set_coefficients(std::vector{1.0}, std::vector{1.0}); }), Errc::size_mismatch);
    EXPECT_EQ(error_code([&] { restored.set_state(std::vector{1.0, 2.0}); }), Errc::size_mismatch);
    restored.clear_state();
    EXPECT_FALSE(restored.has_state());
}

TEST(FilterStepResponse, ContinuousStep) {
    const std::vector<double> r = ovelin::filter_step_response(5, 2.0, 0.25);
    ASSERT_EQ(r.size(), 5u);
    EXPECT_EQ(r[0], 0.25);
    for (std::size_t t = 0; t < r.size(); ++t) {
        EXPECT_NEAR(r[t], 1.0 - 0.75 * std::exp(-static_cast<double>(t) / 2.0), 1e-15);
    }
    EXPECT_EQ(ovelin::filter_step_response(3, 0.0, 0.25, 1.0, 3.0), (std::vector{3.0, 3.0, 3.0}));
    EXPECT_EQ(ovelin::filter_step_response(2, -1.0, 0.25, 1.0, 3.0), (std::vector{3.0, 3.0}));
    // Step down from 4 to 2 with a lead of 2: starts at 0, settles at 2.
    const std::vector<double> lead = ovelin::filter_step_response(200, 10.0, 2.0, 4.0, 2.0);
    EXPECT_EQ(lead[0], 0.0);
    EXPECT_NEAR(lead.back(), 2.0, 1e-8);
}

TEST(FilterStepResponse, CountEdgeCases) {
    EXPECT_TRUE(ovelin::filter_step_response(0, 2.0, 0.25).empty());
    EXPECT_TRUE(ovelin::filter_step_response(0, 0.0, 0.25).empty());
    EXPECT_TRUE(ovelin::filter_step_response(-3, 2.0, 0.25).empty());
    EXPECT_EQ(error_code([] { ovelin::filter_step_response(-3, 0.0, 0.25); }), Errc::negative_size);
}
