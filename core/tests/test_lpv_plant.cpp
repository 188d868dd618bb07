#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <vector>

#include "error_code.hpp"
#include "ovelin/lpv_plant.hpp"

using ovelin::Errc;
using ovelin::LinearFilter;
using ovelin::LpvPlant;
using ovelin::MimoSimulator;

namespace {

std::vector<double> as_vector(std::span<const double> s) {
    return {s.begin(), s.end()};
}

// A local simulator CV = gain * (MV - 50) over the plant's CVs `cvs` and MV 0.
LpvPlant::Local gain(double k, double point, std::vector<std::size_t> cvs) {
    std::vector<ovelin::PairModel> models;
    for (std::size_t c = 0; c < cvs.size(); ++c)
        models.push_back(std::make_shared<LinearFilter>(std::vector<double>{k}, std::vector<double>{1.0}));
    auto sim = std::make_shared<MimoSimulator>(std::move(models), std::vector<double>{50.0},
                                               std::vector<double>(cvs.size(), 0.0));
    return {sim, point, {0}, std::move(cvs)};
}

// MV0 at 50, CV0 at 100, CV1 at 0; locals at 10 (gain 1) and 20 (gain 3).
LpvPlant two_locals(std::vector<std::size_t> second_cvs = {0}) {
    LpvPlant plant;
    plant.add_input(50.0);
    plant.add_output(100.0);
    plant.add_output(0.0);
    plant.set_locals({gain(1.0, 10.0, {0}), gain(3.0, 20.0, std::move(second_cvs))});
    return plant;
}

const std::vector<unsigned char> kGiven{1}, kNotGiven{0};
const std::vector<double> kNoDisturbance{0.0, 0.0};

}  // namespace

TEST(LpvPlant, BlendsTheNeighboursOfTheWorkingValue) {
    struct Case {
        double working_value;
        std::vector<double> weights;
        double cv;
    };
    for (const Case& c : std::vector<Case>{{12.5, {0.75, 0.25}, 100.0 + 0.75 * 2.0 + 0.25 * 6.0},
                                           {5.0, {1.0, 0.0}, 102.0},
                                           {25.0, {0.0, 1.0}, 106.0},
                                           {20.0, {0.0, 1.0}, 106.0}}) {
        LpvPlant plant = two_locals();
        plant.step(c.working_value, kGiven, std::vector<double>{52.0}, kNoDisturbance);
        EXPECT_EQ(as_vector(plant.weights()), c.weights);
        EXPECT_EQ(as_vector(plant.outputs()), (std::vector<double>{c.cv, 0.0}));
        EXPECT_EQ(plant.working_value(), c.working_value);
    }
}

TEST(LpvPlant, EveryLocalStepsAndKeepsItsInputsAndDisturbancesReachTheBlendOnce) {
    LpvPlant plant = two_locals();
    plant.step(12.5, kGiven, std::vector<double>{52.0}, std::vector<double>{4.0, 1.0});
    EXPECT_EQ(plant.outputs()[0], 100.0 + 0.75 * 2.0 + 0.25 * 6.0 + 4.0);
    plant.step(30.0, kNotGiven, std::vector<double>{0.0}, kNoDisturbance);  // MV0 held at 52
    EXPECT_EQ(as_vector(plant.inputs()), (std::vector<double>{52.0}));
    EXPECT_EQ(plant.outputs()[0], 106.0);
    EXPECT_EQ(as_vector(plant.locals()[0].simulator->outputs()), (std::vector<double>{2.0}));
}

TEST(LpvPlant, RefusesWithoutChanges) {
    LpvPlant plant = two_locals({1});  // the second local lacks CV 0
    EXPECT_EQ(plant.missing_output(plant.weights_at(12.5)), std::optional<std::size_t>{0});
    EXPECT_EQ(plant.missing_output(plant.weights_at(5.0)), std::nullopt);
    EXPECT_EQ(error_code([&] { plant.step(12.5, kGiven, std::vector<double>{52.0}, kNoDisturbance); }),
              Errc::invalid_argument);
    EXPECT_EQ(error_code([&] { plant.step(NAN, kGiven, std::vector<double>{52.0}, kNoDisturbance); }),
              Errc::invalid_argument);
    EXPECT_EQ(error_code([&] { plant.step(5.0, kGiven, std::vector<double>{52.0}, std::vector<double>{0.0}); }),
              Errc::size_mismatch);
    EXPECT_EQ(as_vector(plant.locals()[0].simulator->inputs()), (std::vector<double>{50.0}));
    EXPECT_EQ(as_vector(plant.outputs()), (std::vector<double>{100.0, 0.0}));
    EXPECT_EQ(error_code([] { LpvPlant().weights_at(1.0); }), Errc::invalid_argument);
    LpvPlant bad;
    EXPECT_EQ(error_code([&] { bad.set_locals({gain(1.0, 0.0, {0})}); }), Errc::size_mismatch);  // no CV 0
}
