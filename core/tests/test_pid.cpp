#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "error_code.hpp"
#include "ovelin/numeric.hpp"
#include "ovelin/pid.hpp"

using ovelin::Errc;
using ovelin::Pid;

TEST(Numeric, LimitIsMaxThenMin) {
    EXPECT_EQ(ovelin::limit(5.0, 0.0, 10.0), 5.0);
    EXPECT_EQ(ovelin::limit(-1.0, 0.0, 10.0), 0.0);
    EXPECT_EQ(ovelin::limit(11.0, 0.0, 10.0), 10.0);
    EXPECT_EQ(ovelin::limit(5.0, 10.0, 0.0), 0.0);  // lo > hi gives hi
    EXPECT_TRUE(std::isnan(ovelin::limit(NAN, 0.0, 10.0)));
}

TEST(Numeric, RoundHalfEven) {
    EXPECT_EQ(ovelin::round_half_even(0.5), 0.0);
    EXPECT_EQ(ovelin::round_half_even(1.5), 2.0);
    EXPECT_EQ(ovelin::round_half_even(2.5), 2.0);
    EXPECT_EQ(ovelin::round_half_even(-0.5), 0.0);
    EXPECT_EQ(ovelin::round_half_even(1.4), 1.0);
    EXPECT_EQ(error_code([] { ovelin::round_half_even(NAN); }), Errc::nan_to_integer);
    EXPECT_EQ(error_code([] { ovelin::round_half_even(-INFINITY); }), Errc::infinity_to_integer);
}

TEST(Numeric, RequireSampleTime) {
    ovelin::require_sample_time(1e-300);
    for (const double ts : {0.0, -0.0, -1.0, double(NAN), double(INFINITY)}) {
        EXPECT_EQ(error_code([&] { ovelin::require_sample_time(ts); }), Errc::invalid_sample_time) << ts;
    }
}

TEST(Pid, FirstAutomaticSampleAddsOneIntegralStep) {
    Pid pid;
    EXPECT_DOUBLE_EQ(pid.run(1, 50, 40, 30, 0), 30.0 + 10.0 / 60.0);
    const auto& saved = *pid.saved();
    EXPECT_DOUBLE_EQ(saved.dop_i, 10.0 / 60.0);
    EXPECT_EQ(saved.dop_p, 0.0);
    EXPECT_FALSE(pid.ini_flag());
}

TEST(Pid, ManualTracksLimitedValueAndSavesUnlimited) {
    Pid pid;
    EXPECT_EQ(pid.run(0, 50, 40, 150, 0), 100.0);
    EXPECT_EQ(pid.saved()->op, 150.0);
    EXPECT_EQ(pid.working()->op1, 150.0);
}

TEST(Pid, NanModeFailsAfterInitialisation) {
    Pid pid;
    EXPECT_EQ(error_code([&] { pid.run(NAN, 1, 2, 3, 4); }), Errc::nan_to_integer);
    EXPECT_FALSE(pid.ini_flag());
    EXPECT_EQ(pid.working()->op1, 3.0);
}

TEST(Pid, AutomaticWithoutWorkingStateIsRefused) {
    Pid pid;
    EXPECT_EQ(error_code([&] { pid.run_auto(1, 2, 0); }), Errc::state_missing);
}

TEST(Pid, TuningBoundsAndLimits) {
    Pid pid;
    pid.set_tuning({2.0, -5.0, -1.0, 0.0});
    EXPECT_EQ(pid.tuning().ti, 0.0);
    EXPECT_EQ(pid.tuning().td, 0.0);
    EXPECT_EQ(pid.tuning().n, 1e-6);
    // A bound replaces a value only when it is greater, so NaN stays.
    pid.set_tuning({2.0, NAN, NAN, NAN});
    EXPECT_TRUE(std::isnan(pid.tuning().ti));
    EXPECT_TRUE(std::isnan(pid.tuning().td));
    EXPECT_TRUE(std::isnan(pid.tuning().n));
    EXPECT_FALSE(pid.set_limits(0.0, 100.0));
    EXPECT_EQ(pid.limits().hi, 100.0);
    EXPECT_TRUE(pid.set_limits(50.0, 50.0));
    EXPECT_FALSE(pid.set_limits(NAN, 0.0));
}

TEST(Pid, DerivativeDivisorHeldAtFloor) {
    Pid pid(0.0);
    pid.set_tuning({1.0, 0.0, 1e-9, 10.0});
    pid.run(0, 0, 0, 0, 0);
    EXPECT_DOUBLE_EQ(pid.run(1, 1, 0, 0, 0), 1.0 + 1e-9 / 1e-6);
}
