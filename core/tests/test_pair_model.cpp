#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "error_code.hpp"
#include "ovelin/c2d.hpp"
#include "ovelin/pair_model.hpp"

using ovelin::Errc;
using ovelin::PairDefinition;
using ovelin::PairKind;

namespace {

std::vector<double> as_vector(std::span<const double> s) {
    return {s.begin(), s.end()};
}

PairDefinition discrete(std::vector<double> num, std::vector<double> den, std::size_t delay = 0,
                        bool integrating = false) {
    PairDefinition definition{.kind = PairKind::discrete, .integrating = integrating, .num = num, .den = den};
    definition.delay_samples = delay;
    return definition;
}

PairDefinition response(PairKind kind, std::vector<double> values, bool integrating, std::vector<double> points = {}) {
    PairDefinition definition{.kind = kind, .integrating = integrating};
    definition.response = values;
    definition.points = points;
    return definition;
}

}  // namespace

// The coefficients of the model of each kind of pair.
TEST(MakePairModel, BuildsTheDiscreteModelOfEachKind) {
    const double kAtOne = (3.0 - 1.0) / (1.5 - 0.0) * (1.0 - 0.0) + 1.0;  // the points interpolated at 1
    struct Case {
        PairDefinition definition;
        std::vector<double> b, a;
    };
    const std::vector<Case> cases{
        {discrete({0, 1, 0.5}, {1, -1.5, 0.7}), {0, 1, 0.5}, {1, -1.5, 0.7}},
        {discrete({0, 1, 0.5}, {1, -1.5, 0.7}, 2), {0, 0, 0, 1, 0.5}, {1, -1.5, 0.7}},
        {discrete({1}, {1, -0.8}, 0, true), {1}, {1, -1.8, 0.8}},              // times (1 - z^-1)
        {response(PairKind::step_response, {1, 2}, false), {1, 1}, {1}},       // the impulse response
        {response(PairKind::step_response, {1, 2, 3}, true), {1, 2, 3}, {1}},  // steps 1, 3, 6
        {response(PairKind::step_points, {10, 20, 30}, false, {1, 2, 3}), {10, 0, 10, 10}, {1}},
        {response(PairKind::step_points, {1, 1}, true, {0, 2}), {1, 0.5, 0.5}, {1}},  // summed before interpolating
        {response(PairKind::step_points, {1, 3}, false, {0, 1.5}), {1, kAtOne - 1, 3 - kAtOne}, {1}},  // grid 0, 1, 2
    };
    for (const Case& c : cases) {
        const ovelin::PairModel model = ovelin::make_pair_model(c.definition, 1.0);
        ASSERT_NE(model, nullptr);
        EXPECT_EQ(as_vector(model->b()), c.b);
        EXPECT_EQ(as_vector(model->a()), c.a);
    }
    EXPECT_EQ(ovelin::make_pair_model(PairDefinition{}, 1.0), nullptr);
}

TEST(MakePairModel, AnIntegratingContinuousPairGetsAnIntegrator) {
    PairDefinition definition{.kind = PairKind::continuous, .integrating = true, .num = {1}, .den = {5, 1}, .delay = 2};
    const ovelin::PairModel model = ovelin::make_pair_model(definition, 0.5);
    const std::vector<double> num{1}, den{5, 1, 0};
    const ovelin::TransferFunction expected = ovelin::c2d_zoh(num, den, 2, 0.5);
    EXPECT_EQ(as_vector(model->b()), expected.num);
    EXPECT_EQ(as_vector(model->a()), expected.den);
}

TEST(MakePairModel, RefusesWhatCannotBeBuilt) {
    struct Case {
        PairDefinition definition;
        Errc code;
    };
    PairDefinition long_delay{.kind = PairKind::continuous, .num = {1}, .den = {5, 1}, .delay = 0x1p45};
    const std::vector<Case> cases{
        {discrete({1}, {1}, std::size_t{1} << 62), Errc::out_of_memory},
        {discrete({1}, {1}, std::size_t{1} << 45), Errc::out_of_memory},
        {long_delay, Errc::out_of_memory},
        {response(PairKind::step_points, {0, 1}, false, {0, 0x1p45}), Errc::out_of_memory},
        {response(PairKind::step_points, {0, 1}, false, {0, NAN}), Errc::nan_to_integer},
        {response(PairKind::step_points, {1}, false, {0, 1}), Errc::invalid_argument},
        {response(PairKind::step_points, {}, false, {}), Errc::no_last_sample},
        {discrete({1}, {0, 1}), Errc::zero_leading_denominator},
        {response(PairKind::step_response, {}, false), Errc::empty_numerator},
    };
    for (const Case& c : cases) EXPECT_EQ(error_code([&] { ovelin::make_pair_model(c.definition, 1.0); }), c.code);
    const std::vector<ovelin::PairModel> models{ovelin::make_pair_model(discrete({1}, {1}), 1.0)};
    EXPECT_EQ(error_code([&] { ovelin::step_responses(models, std::size_t{1} << 45, 1e-6); }), Errc::out_of_memory);
}
