#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <vector>

#include "error_code.hpp"
#include "ovelin/mimo_sim.hpp"

using ovelin::Errc;
using ovelin::LinearFilter;
using ovelin::MimoSimulator;
using ovelin::PairModel;

namespace {

PairModel filter(std::vector<double> b, std::vector<double> a) { return std::make_shared<LinearFilter>(b, a); }

std::vector<double> as_vector(std::span<const double> s) { return {s.begin(), s.end()}; }

// CV0 = 2 * dMV0 + (dMV1 delayed one sample); CV1 has no models.
MimoSimulator two_by_two() {
    return MimoSimulator({filter({2.0}, {1.0}), filter({0.0, 1.0}, {1.0}), nullptr, nullptr}, {1.0, 5.0},
                         {10.0, 20.0});
}

}  // namespace

TEST(MimoSimulator, SumsDeviationsDisturbanceAndInitialValues) {
    MimoSimulator sim = two_by_two();
    EXPECT_EQ(as_vector(sim.outputs()), (std::vector<double>{10.0, 20.0}));
    sim.inputs()[0] = 3.0;
    sim.inputs()[1] = 9.0;
    sim.step(std::vector<double>{0.5, -1.0});
    EXPECT_EQ(as_vector(sim.outputs()), (std::vector<double>{14.5, 19.0}));
    sim.step(std::vector<double>{0.0, 0.0});
    EXPECT_EQ(as_vector(sim.outputs()), (std::vector<double>{18.0, 20.0}));
}

TEST(MimoSimulator, ResetKeepsTheModelState) {
    MimoSimulator sim = two_by_two();
    sim.inputs()[1] = 9.0;
    sim.step(std::vector<double>{0.0, 0.0});
    sim.reset();
    EXPECT_EQ(as_vector(sim.inputs()), (std::vector<double>{1.0, 5.0}));
    sim.step(std::vector<double>{0.0, 0.0});
    EXPECT_EQ(sim.outputs()[0], 14.0);  // the delayed pair still releases its stored sample
}

TEST(MimoSimulator, RefusesWrongSizesWithoutChanges) {
    EXPECT_EQ(error_code([] { MimoSimulator({nullptr}, {0.0, 0.0}, {0.0}); }), Errc::size_mismatch);
    MimoSimulator sim = two_by_two();
    sim.inputs()[0] = 2.0;
    EXPECT_EQ(error_code([&] { sim.step(std::vector<double>{0.0}); }), Errc::size_mismatch);
    EXPECT_EQ(error_code([&] { sim.set_values(std::vector<double>{1.0}, std::vector<double>{1.0, 2.0}); }),
              Errc::size_mismatch);
    EXPECT_EQ(as_vector(sim.outputs()), (std::vector<double>{10.0, 20.0}));
    EXPECT_EQ(sim.models()[0]->state().size(), 0u);
}

TEST(PairStepResponse, EqualsRepeatedStepsOfAFreshModel) {
    const PairModel model = filter({0.0, 1.0, 0.5}, {1.0, -1.5, 0.7});
    model->step(3.0);  // the response starts from rest whatever the model's state
    LinearFilter fresh(std::vector<double>{0.0, 1.0, 0.5}, std::vector<double>{1.0, -1.5, 0.7});
    std::vector<double> expected;
    for (int k = 0; k < 5; ++k) expected.push_back(fresh.step(1.0));
    EXPECT_EQ(ovelin::pair_step_response(model.get(), 5), expected);
    EXPECT_EQ(ovelin::pair_step_response(nullptr, 3), (std::vector<double>{0.0, 0.0, 0.0}));
}

TEST(IsFlat, ComparesTheSpreadAsASequentialScan) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    struct Case {
        std::vector<double> values;
        bool flat;
    };
    for (const Case& c : std::vector<Case>{{{2.0, 2.0}, true},
                                           {{0.0, 1e-6}, false},
                                           {{0.0, 0.999e-6}, true},
                                           {{nan, 1.0}, false},
                                           {{1.0, nan, 1.0}, true}})
        EXPECT_EQ(ovelin::is_flat(c.values, 1e-6), c.flat);
    EXPECT_EQ(error_code([] { ovelin::is_flat(std::vector<double>{}, 1e-6); }), Errc::no_first_sample);
}
