#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "error_code.hpp"
#include "ovelin/ring_buffer.hpp"
#include "ovelin/soft_sensor.hpp"

using ovelin::BiasUpdate;
using ovelin::Errc;
using ovelin::LabWindow;
using ovelin::RingBuffer;

TEST(RingBuffer, FullQueueDiscardsAtTheFarEnd) {
    RingBuffer q(3);
    for (const double v : {1.0, 2.0, 3.0, 4.0, 5.0}) q.push_back(v);  // wraps around
    EXPECT_EQ(q.to_vector(), (std::vector{3.0, 4.0, 5.0}));
    q.push_front(0.5);  // drops the back
    EXPECT_EQ(q.to_vector(), (std::vector{0.5, 3.0, 4.0}));
    EXPECT_EQ(q.front(), 0.5);
    EXPECT_EQ(q.back(), 4.0);

    RingBuffer none(0);
    none.push_back(1.0);
    none.push_front(1.0);
    EXPECT_TRUE(none.empty() && none.full());
}

TEST(RingBuffer, CountNotGreaterIsAnUpperBound) {
    RingBuffer q(5);
    for (const double v : {0.0, 5.0, 6.0, 7.0, 10.0, 10.0, 20.0}) q.push_back(v);  // 6, 7, 10, 10, 20
    const std::vector<std::pair<double, std::size_t>> cases{{5.0, 0},  {6.0, 1},  {6.5, 1}, {10.0, 4},
                                                            {19.0, 4}, {20.0, 5}, {99.0, 5}};
    for (const auto& [value, count] : cases) EXPECT_EQ(q.count_not_greater(value), count) << value;
}

TEST(RingBuffer, RefusedAssignAndCopies) {
    RingBuffer q(2);
    q.push_back(1.0);
    EXPECT_EQ(error_code([&] { q.assign(std::vector{1.0, 2.0, 3.0}); }), Errc::size_mismatch);
    EXPECT_EQ(q.to_vector(), std::vector{1.0});
    RingBuffer copy = q;
    copy.push_back(2.0);
    EXPECT_EQ(q.to_vector(), std::vector{1.0});
    EXPECT_EQ(copy.capacity(), 2u);
    EXPECT_EQ(error_code([] { RingBuffer huge(SIZE_MAX / 2); }), Errc::out_of_memory);
}

// Histories that could not fit in memory are refused before any allocation.
TEST(BiasUpdate, HistoryLengthsAreLimitedByMemory) {
    const std::size_t max_prd = ovelin::max_prd_len(), max_window = ovelin::max_const_len();
    EXPECT_GT(max_prd, 28800u);
    EXPECT_LE(max_prd, SIZE_MAX / 16);
    EXPECT_GE(max_window, 2 * max_prd);  // one buffer, where the prediction history has two
    const std::vector<std::pair<std::size_t, std::size_t>> refused{
        {max_prd + 1, 0}, {0, max_window + 1}, {SIZE_MAX, 0}, {0, SIZE_MAX}, {SIZE_MAX - 1, SIZE_MAX - 2}};
    for (const auto& [prd_len, const_len] : refused)
        EXPECT_EQ(error_code([&] { BiasUpdate(prd_len, const_len, 1e-6); }), Errc::out_of_memory) << prd_len;
    EXPECT_EQ(error_code([&] { LabWindow(max_window + 1); }), Errc::out_of_memory);
    EXPECT_EQ(error_code([&] { LabWindow(SIZE_MAX); }), Errc::out_of_memory);
}

// settled_after() must be exactly the test after fill() and push(), without
// the change: random walks with frequent holds, several window lengths.
TEST(LabWindow, SettledAfterForeseesThePush) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<int> step(-3, 3);
    std::bernoulli_distribution hold(0.85);
    for (const std::size_t const_len : {0u, 1u, 3u, 8u}) {
        for (const double threshold : {1e-6, 1.0, 2.5, 0.0}) {
            LabWindow window(const_len);
            double value = 0.0;
            int settled = 0;
            for (int k = 0; k < 400; ++k) {
                if (!hold(rng)) value += step(rng);
                LabWindow pushed = window;
                pushed.fill(value);
                pushed.push(value);
                const bool expected = pushed.settled(threshold);
                ASSERT_EQ(window.settled_after(value, threshold), expected) << const_len << " " << k;
                settled += expected;
                window = pushed;
            }
            EXPECT_GT(settled, 0);
        }
    }
}

TEST(BiasUpdate, RestoreRefusesInconsistentHistories) {
    BiasUpdate block(2, 0, 1e-6);
    const std::vector<double> three{1.0, 2.0, 3.0}, two{1.0, 2.0};
    EXPECT_EQ(error_code([&] { block.restore_histories(three, two, two); }), Errc::size_mismatch);
    EXPECT_EQ(error_code([&] { block.restore_histories(two, two, two); }), Errc::size_mismatch);
    EXPECT_EQ(error_code([&] { block.restore_histories({}, {}, two); }), Errc::size_mismatch);
    EXPECT_TRUE(block.prd_data_history().empty());
    block.restore_histories(three, three, two);
    EXPECT_EQ(block.prd_time_history().to_vector(), three);
}
