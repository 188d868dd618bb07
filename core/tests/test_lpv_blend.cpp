#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "ovelin/lpv_blend.hpp"

using ovelin::blend_outputs;
using ovelin::blend_weights;
using ovelin::BlendWeights;

namespace {

struct WeightCase {
    std::vector<double> points;
    double value;
    std::size_t first, second;
    double first_weight, second_weight;
};

class BlendWeightsTest : public testing::TestWithParam<WeightCase> {};

}  // namespace

TEST_P(BlendWeightsTest, InterpolatesThePositionOverTheWorkingPoints) {
    const WeightCase& c = GetParam();
    const BlendWeights w = blend_weights(c.points, c.value);
    EXPECT_EQ(w.first, c.first);
    EXPECT_EQ(w.second, c.second);
    EXPECT_EQ(w.first_weight, c.first_weight);
    EXPECT_EQ(w.second_weight, c.second_weight);
}

INSTANTIATE_TEST_SUITE_P(Cases, BlendWeightsTest,
                         testing::Values(WeightCase{{10.0, 20.0}, 12.5, 0, 1, 0.75, 0.25},  // between two points
                                         WeightCase{{10.0, 20.0}, 5.0, 0, 0, 1.0, 0.0},     // below the first
                                         WeightCase{{10.0, 20.0}, 25.0, 1, 1, 1.0, 0.0},    // above the last
                                         WeightCase{{10.0, 20.0}, 20.0, 1, 1, 1.0, 0.0},    // on the last
                                         WeightCase{{10.0, 15.0, 20.0}, 15.0, 1, 1, 1.0, 0.0},
                                         WeightCase{{10.0, 15.0, 20.0}, 16.0, 1, 2, 0.8, 0.19999999999999996},
                                         WeightCase{{3.0}, -1e300, 0, 0, 1.0, 0.0},  // one model
                                         WeightCase{
                                             {20.0, 10.0}, 15.0, 1, 1, 1.0, 0.0},  // unordered points stay in range
                                         WeightCase{{-INFINITY, INFINITY}, 0.0, 0, 0, 1.0, 0.0}));  // infinite points

TEST(BlendOutputs, WeighsTheNeighboursOrTakesOneAlone) {
    const std::vector<double> a{1.0, 2.0}, b{3.0, 6.0}, offset{10.0, 0.5};
    std::vector<double> out(2);
    blend_outputs(BlendWeights{0, 1, 0.75, 0.25}, a, b, offset, out);
    EXPECT_EQ(out, (std::vector<double>{11.5, 3.5}));
    blend_outputs(BlendWeights{1, 1, 1.0, 0.0}, a, b, offset, out);
    EXPECT_EQ(out, (std::vector<double>{11.0, 2.5}));
}
