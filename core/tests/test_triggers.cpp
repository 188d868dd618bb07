#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ovelin/shift_register.hpp"
#include "ovelin/triggers.hpp"

namespace {

using Count = std::int64_t;

struct Case {
    const char* name;
    bool on_delay;
    Count delay;
    std::vector<Count> inputs, outputs, left;  // left: empty when not checked
};

class Timer : public testing::TestWithParam<Case> {};

// A fresh timer (previous input 0, nothing left) fed the inputs, as the
// blocks run it: an on-delay output is on once nothing is left, an off-delay
// output while something is.
TEST_P(Timer, CountsSamples) {
    const Case& c = GetParam();
    std::vector<Count> outputs, left_after;
    Count before = 0, left = 0;
    for (const Count now : c.inputs) {
        const auto step = c.on_delay ? ovelin::on_delay_count(now, before, c.delay, left)
                                     : ovelin::off_delay_count(now, before, c.delay, left);
        if (step.assigned) left = step.left;
        outputs.push_back((left > 0) != c.on_delay);
        left_after.push_back(left);
        before = now;
    }
    EXPECT_EQ(outputs, c.outputs);
    if (!c.left.empty()) EXPECT_EQ(left_after, c.left);
}

INSTANTIATE_TEST_SUITE_P(
    Rules, Timer,
    testing::Values(
        Case{"OnAfterDelaySamples", true, 3, {0, 1, 1, 1, 1, 0}, {0, 0, 0, 1, 1, 0}, {3, 2, 1, 0, 0, 3}},
        Case{"OnDelayOneFollowsInput", true, 1, {0, 1, 1, 0, 1, 0}, {0, 1, 1, 0, 1, 0}, {}},
        Case{"IncreaseIsNewRisingEdge", true, 3, {1, 1, 1, 2, 2, 2, 2}, {0, 0, 1, 0, 0, 1, 1}, {2, 1, 0, 2, 1, 0, 0}},
        Case{"OnDelayZeroAlwaysOn", true, 0, {0, 1, 0, 5, -1}, {1, 1, 1, 1, 1}, {}},
        Case{"NegativeInputKeepsOutputOn", true, 3, {1, 1, 1, -1}, {0, 0, 1, 1}, {}},
        Case{"NegativeInputNeverSwitchesOn", true, 3, {0, -1, -1, -1}, {0, 0, 0, 0}, {3, 3, 3, 3}},
        Case{"OffBeforeDelayRestarts", true, 3, {1, 1, 0, 1, 1, 1}, {0, 0, 0, 0, 0, 1}, {2, 1, 3, 2, 1, 0}},
        Case{"OffAfterDelaySamples", false, 3, {0, 1, 1, 0, 0, 0, 0}, {0, 1, 1, 1, 1, 0, 0}, {0, 3, 3, 2, 1, 0, 0}},
        Case{"OffDelayZeroAlwaysOff", false, 0, {0, 1, 1, 0, 2}, {0, 0, 0, 0, 0}, {}},
        Case{"OffDelayOneFollowsInput", false, 1, {1, 0, 1, 1, 0}, {1, 0, 1, 1, 0}, {}},
        Case{"NegativeInputCountsAsOff", false, 3, {1, -1, -1, -1}, {1, 1, 1, 0}, {3, 2, 1, 0}},
        Case{"DecreaseRestartsCount", false, 3, {2, 1, 0, 0, 0}, {1, 1, 1, 1, 0}, {3, 2, 2, 1, 0}}),
    [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

TEST(Timer, FinishedCountInSteadyInputIsNotAssigned) {
    EXPECT_FALSE(ovelin::on_delay_count<Count>(1, 1, 3, 0).assigned);
    EXPECT_FALSE(ovelin::off_delay_count<Count>(0, 0, 3, 0).assigned);
    EXPECT_TRUE(ovelin::on_delay_count<Count>(1, 1, 3, 2).assigned);
}

TEST(SetReset, ResetWinsAndNeitherHolds) {
    EXPECT_EQ(ovelin::set_reset(true, false), true);
    EXPECT_EQ(ovelin::set_reset(false, true), false);
    EXPECT_EQ(ovelin::set_reset(true, true), false);
    EXPECT_EQ(ovelin::set_reset(false, false), std::nullopt);
}

TEST(ShiftRegister, EmptyHistoryStaysEmpty) {
    std::vector<double> none;
    ovelin::push_newest(std::span<double>(none), 4.0);
    EXPECT_TRUE(none.empty());
}

}  // namespace
