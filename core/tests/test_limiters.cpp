#include <gtest/gtest.h>

#include <cmath>
#include <optional>

#include "ovelin/anti_windup.hpp"
#include "ovelin/rate_limit.hpp"

using ovelin::AntiWindupLimiter;
using ovelin::Bound;
using ovelin::RateLimiter;

TEST(RateLimit, StepsAreAbsoluteAndTheFallDefaultsToTheRise) {
    EXPECT_EQ(ovelin::change_per_sample(-12.0, 0.5), 0.1);
    RateLimiter limiter(0.0, 0.5);
    EXPECT_EQ(limiter.step(1.0, 12.0, -30.0), 0.1);
    EXPECT_EQ(limiter.step(-1.0, 12.0, 30.0), 0.1 - 0.25);
    EXPECT_EQ(limiter.step(-5.0, -120.0), 0.1 - 0.25 - 1.0);
    limiter.reset(3.0);
    EXPECT_EQ(limiter.step(3.0, 0.0, 0.0), 3.0);  // no change passes even without any rate
}

TEST(RateLimit, AChangeEqualToTheLimitAndANanChangePass) {
    EXPECT_EQ(ovelin::rate_step(0.0, 1.0, 1.0, -1.0).limited, false);
    EXPECT_EQ(ovelin::rate_step(0.0, -1.0, 1.0, -1.0).limited, false);
    const ovelin::RateStep nan_target = ovelin::rate_step(0.0, NAN, 1.0, -1.0);
    EXPECT_TRUE(std::isnan(nan_target.output) && !nan_target.limited);
    EXPECT_EQ(ovelin::rate_step(NAN, 5.0, 1.0, -1.0).output, 5.0);  // back in operation at once
}

TEST(AntiWindup, LimitReportsTheBoundThatApplied) {
    EXPECT_EQ(ovelin::limit_reporting(5.0, 0.0, 10.0).bound, Bound::none);
    EXPECT_EQ(ovelin::limit_reporting(-1.0, 0.0, 10.0).bound, Bound::low);
    EXPECT_EQ(ovelin::limit_reporting(11.0, 0.0, 10.0).bound, Bound::high);
    EXPECT_EQ(ovelin::limit_reporting(5.0, 10.0, 0.0).bound, Bound::high);  // lo > hi gives hi
    EXPECT_EQ(ovelin::limit_reporting(10.0, 0.0, 10.0).bound, Bound::none);
    EXPECT_EQ(ovelin::limit_reporting(NAN, 0.0, 10.0).bound, Bound::none);
}

TEST(AntiWindup, MovesByTheInputsChanges) {
    AntiWindupLimiter limiter;
    double out[6];
    const double in[6] = {90, 110, 120, 115, 105, 95};
    for (int k = 0; k < 6; ++k) out[k] = limiter.step(in[k], 100.0, 0.0).value;
    EXPECT_EQ(std::vector<double>(out, out + 6), (std::vector<double>{90, 100, 100, 95, 85, 75}));
    EXPECT_EQ(limiter.last_input(), std::optional<double>(95.0));
    EXPECT_EQ(limiter.last_output(), std::optional<double>(75.0));
}

TEST(AntiWindup, FirstSampleStartsFromTheLimitedInput) {
    AntiWindupLimiter limiter;
    const ovelin::Limited first = limiter.step(150.0, 100.0, 0.0);
    EXPECT_EQ(first.value, 100.0);
    EXPECT_EQ(first.bound, Bound::none);  // 100 + 0 is not beyond the limit
    EXPECT_EQ(limiter.step(140.0, 100.0, 0.0).value, 90.0);
    AntiWindupLimiter from_infinity;
    EXPECT_TRUE(std::isnan(from_infinity.step(INFINITY, 100.0, 0.0).value));  // inf - inf
}
