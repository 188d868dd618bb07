#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
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

PairModel filter(std::vector<double> b, std::vector<double> a) {
    return std::make_shared<LinearFilter>(b, a);
}

std::vector<double> as_vector(std::span<const double> s) {
    return {s.begin(), s.end()};
}

// CV0 = 2 * dMV0 + (dMV1 delayed one sample); CV1 has no models.
MimoSimulator two_by_two() {
    return MimoSimulator({filter({2.0}, {1.0}), filter({0.0, 1.0}, {1.0}), nullptr, nullptr}, {1.0, 5.0}, {10.0, 20.0});
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

// The simulator lays the states of its models out in its own buffer; the
// models must still see (and step) those very states, also a model that two
// pairs or two simulators use, and a copy of a model must own its state.
TEST(MimoSimulator, StepsTheStatesItsModelsSee) {
    const std::vector<double> b{0.0, 0.0, 0.3, 0.2}, a{1.0, -1.2, 0.5}, b1{0.5, 0.1}, a1{1.0, -0.8};
    const std::vector<double> b2{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1.0}, a2{1.0, -0.5};  // past the unrolled orders
    const PairModel lagged = filter(b, a), shared = filter(b1, a1), long_delay = filter(b2, a2);
    LinearFilter ref_lagged(b, a), ref_shared(b1, a1), ref_long(b2, a2);
    MimoSimulator sim({lagged, shared, shared, long_delay}, {0.0, 0.0}, {0.0, 0.0});
    MimoSimulator other({lagged}, {0.0}, {0.0});  // its state is already the first simulator's
    for (const double u : {1.0, -2.0, 0.5, std::numeric_limits<double>::infinity(), 3.0}) {
        sim.inputs()[0] = u;
        sim.inputs()[1] = 2.0 * u;
        sim.step(std::vector<double>{0.0, 0.0});
        // Stepped in the order the simulator groups them: the shared model by its MV-1 pair first.
        const double y00 = ref_lagged.step(u), y01 = ref_shared.step(2.0 * u), y10 = ref_shared.step(u);
        const double y11 = ref_long.step(2.0 * u);
        EXPECT_EQ(std::bit_cast<std::uint64_t>(sim.outputs()[0]),
                  std::bit_cast<std::uint64_t>(0.0 + y00 + y01 + 0.0 + 0.0));
        EXPECT_EQ(std::bit_cast<std::uint64_t>(sim.outputs()[1]),
                  std::bit_cast<std::uint64_t>(0.0 + y10 + y11 + 0.0 + 0.0));
        other.inputs()[0] = -u;
        other.step(std::vector<double>{0.0});
        ref_lagged.step(-u);
        lagged->step(0.25);  // the model stepped on its own, between samples
        ref_lagged.step(0.25);
    }
    const LinearFilter copy = *lagged;
    sim.step(std::vector<double>{0.0, 0.0});
    ref_lagged.step(3.0);
    for (std::size_t i = 0; i < b.size() - 1; ++i) {
        EXPECT_TRUE(std::isnan(lagged->state()[i]) && std::isnan(ref_lagged.state()[i]));  // the infinity spread
        EXPECT_TRUE(std::isnan(copy.state()[i]));
    }
    EXPECT_NE(copy.state().data(), lagged->state().data());
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
