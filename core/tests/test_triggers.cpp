#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <vector>

#include "ovelin/shift_register.hpp"
#include "ovelin/triggers.hpp"

namespace {

using Count = std::int64_t;

struct Trace {
    std::vector<Count> outputs, left;
};

// Feeds `inputs` to a fresh timer (previous input 0, nothing left to count),
// as the blocks do: the output is on while something is left (off-delay) or
// once nothing is (on-delay).
template <bool OnDelay>
Trace run(Count delay, std::vector<Count> inputs) {
    Trace out;
    Count before = 0, left = 0;
    for (const Count now : inputs) {
        const auto step = OnDelay ? ovelin::on_delay_count(now, before, delay, left)
                                  : ovelin::off_delay_count(now, before, delay, left);
        if (step.assigned) left = step.left;
        out.outputs.push_back(OnDelay ? (left > 0 ? 0 : 1) : (left > 0 ? 1 : 0));
        out.left.push_back(left);
        before = now;
    }
    return out;
}

struct Case {
    const char* name;
    Count delay;
    std::vector<Count> inputs, outputs, left;
};

class OnDelay : public testing::TestWithParam<Case> {};
class OffDelay : public testing::TestWithParam<Case> {};

TEST_P(OnDelay, Counts) {
    const Case& c = GetParam();
    const Trace r = run<true>(c.delay, c.inputs);
    EXPECT_EQ(r.outputs, c.outputs);
    if (!c.left.empty()) EXPECT_EQ(r.left, c.left);
}

TEST_P(OffDelay, Counts) {
    const Case& c = GetParam();
    const Trace r = run<false>(c.delay, c.inputs);
    EXPECT_EQ(r.outputs, c.outputs);
    if (!c.left.empty()) EXPECT_EQ(r.left, c.left);
}

const auto name = [](const testing::TestParamInfo<Case>& info) { return std::string(info.param.name); };

INSTANTIATE_TEST_SUITE_P(
    Timers, OnDelay,
    testing::Values(Case{"OnAfterDelaySamples", 3, {0, 1, 1, 1, 1, 0}, {0, 0, 0, 1, 1, 0}, {3, 2, 1, 0, 0, 3}},
                    Case{"DelayOneFollowsInput", 1, {0, 1, 1, 0, 1, 0}, {0, 1, 1, 0, 1, 0}, {}},
                    Case{"IncreaseIsNewRisingEdge", 3, {1, 1, 1, 2, 2, 2, 2}, {0, 0, 1, 0, 0, 1, 1}, {2, 1, 0, 2, 1, 0, 0}},
                    Case{"DelayZeroAlwaysOn", 0, {0, 1, 0, 5, -1}, {1, 1, 1, 1, 1}, {}},
                    Case{"NegativeInputKeepsOutputOn", 3, {1, 1, 1, -1}, {0, 0, 1, 1}, {}},
                    Case{"NegativeInputNeverSwitchesOn", 3, {0, -1, -1, -1}, {0, 0, 0, 0}, {3, 3, 3, 3}},
                    Case{"OffBeforeDelayRestarts", 3, {1, 1, 0, 1, 1, 1}, {0, 0, 0, 0, 0, 1}, {2, 1, 3, 2, 1, 0}},
                    Case{"AnyPositiveInputIsOn", 3, {5, 5, 5, 5}, {0, 0, 1, 1}, {2, 1, 0, 0}}),
    name);

INSTANTIATE_TEST_SUITE_P(
    Timers, OffDelay,
    testing::Values(Case{"OffAfterDelaySamples", 3, {0, 1, 1, 0, 0, 0, 0}, {0, 1, 1, 1, 1, 0, 0}, {0, 3, 3, 2, 1, 0, 0}},
                    Case{"DelayZeroAlwaysOff", 0, {0, 1, 1, 0, 2}, {0, 0, 0, 0, 0}, {}},
                    Case{"DelayOneFollowsInput", 1, {1, 0, 1, 1, 0}, {1, 0, 1, 1, 0}, {}},
                    Case{"NegativeInputCountsAsOff", 3, {1, -1, -1, -1}, {1, 1, 1, 0}, {3, 2, 1, 0}},
                    Case{"DecreaseRestartsCount", 3, {2, 1, 0, 0, 0}, {1, 1, 1, 1, 0}, {3, 2, 2, 1, 0}}),
    name);

TEST(Timers, SteadyFinishedCountIsNotAssigned) {
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

TEST(ShiftRegister, PushDropsOldest) {
    std::vector<double> h{1, 2, 3};
    ovelin::push_newest(std::span<double>(h), 9.0);
    EXPECT_EQ(h, (std::vector<double>{9, 1, 2}));
    std::vector<double> one{1};
    ovelin::push_newest(std::span<double>(one), 4.0);
    EXPECT_EQ(one, std::vector<double>{4});
    std::vector<double> none;
    ovelin::push_newest(std::span<double>(none), 4.0);
    EXPECT_TRUE(none.empty());
}

}  // namespace
