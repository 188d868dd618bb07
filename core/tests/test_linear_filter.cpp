#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "error_code.hpp"
#include "ovelin/linear_filter.hpp"

using ovelin::Errc;
using ovelin::lfiltic;
using ovelin::LinearFilter;

namespace {

std::vector<double> steps(LinearFilter& f, const std::vector<double>& x) {
    std::vector<double> y;
    for (const double v : x) y.push_back(f.step(v));
    return y;
}

std::vector<double> as_vector(std::span<const double> s) {
    return {s.begin(), s.end()};
}

// Order 4, a[0] != 1, numerator longer than denominator.
const std::vector<double> kB{0.25, -0.4, 0.8, 0.15, -0.05};
const std::vector<double> kA{1.7, -0.9, 0.35};
const std::vector<double> kX{1.0, 0.5, -2.0, 3.25, 0.0, 0.125, -1.5, 2.0, 2.0, -0.75};
const std::vector<double> kZi{0.3, -0.1, 0.05, 0.2};

}  // namespace

TEST(LinearFilter, FirstOrderLagStepResponse) {
    LinearFilter f(std::vector{0.0, 0.1}, std::vector{1.0, -0.9});
    const std::vector<double> y = steps(f, {1.0, 1.0, 1.0, 1.0, 1.0});
    const std::vector<double> expected{0.0, 0.1, 0.19, 0.271, 0.3439};
    for (std::size_t i = 0; i < y.size(); ++i) EXPECT_NEAR(y[i], expected[i], 1e-15) << i;
}

TEST(LinearFilter, MatchesReferenceBitForBit) {
    // Outputs and final state of the reference routine for this filter.
    const std::vector<double> y_ref{0x1.c9c9c9c9c9c9cp-2, -0x1.9b046dd740aacp-6, 0x1.cadf3ee9e0200p-9,
                                    0x1.7aa4cc4b7cba7p+0, -0x1.d155a0f1bb250p-1, 0x1.245292e8789fcp-1,
                                    0x1.2b811c1640be1p-1, 0x1.9ad8ffaebe25ap-1,  -0x1.2245d13ea8a9ep-1,
                                    -0x1.edbf0623a7686p-3};
    const std::vector<double> z_ref{0x1.53cb7ca9bcdf5p+0, -0x1.7c3a8dcb7ba6dp-3, -0x1.0000000000000p-3,
                                    0x1.6969696969697p-6};
    LinearFilter f(kB, kA);
    f.set_state(kZi);
    std::vector<double> y(kX.size());
    f.run(kX, y);
    EXPECT_EQ(y, y_ref);
    EXPECT_EQ(as_vector(f.state()), z_ref);
}

TEST(LinearFilter, ShortStatesMatchReferenceBitForBit) {
    struct Case {
        std::vector<double> b, a, y_ref, z_ref;
    };
    const std::vector<Case> cases{
        {{0.3, 0.2},
         {1.5, -0.6},
         {0x1.4ccccccccccccp-2, 0x1.740da740da740p-2, -0x1.810624dd2f1aap-3, 0x1.3b874df5e5832p-2, 0x1.1cf8ed75722b5p-1,
          0x1.fb27e25583787p-3, -0x1.7967835542e0ep-3, 0x1.02a365111872cp-3, 0x1.6f32790a3e2dap-1,
          0x1.9d3971e60f9bep-2},
         {0x1.f71e394698590p-5}},
        {{0.3, 0.2, 0.1},
         {1.3, -0.6, 0.08},
         {0x1.6c4ec4ec4ec4ep-2, 0x1.1deacafb74a3ap-1, -0x1.264a0fcceaa10p-4, 0x1.a7295378ab3fap-2, 0x1.1525acfbf22f7p-1,
          0x1.01a9b79be499dp-1, -0x1.0612e75d3aff8p-3, 0x1.33ed019ed7d26p-3, 0x1.7654bed2c71a4p-1,
          0x1.3bb920e8af382p-1},
         {0x1.1cbff7233e67cp-2, -0x1.87bd9a0c27001p-4}},
    };
    for (const Case& c : cases) {
        LinearFilter batch(c.b, c.a);
        batch.set_state(std::vector<double>(batch.state_size(), 0.125));
        LinearFilter single = batch;
        std::vector<double> y(kX.size());
        batch.run(kX, y);
        EXPECT_EQ(y, c.y_ref);
        EXPECT_EQ(as_vector(batch.state()), c.z_ref);
        EXPECT_EQ(steps(single, kX), c.y_ref);
    }
}

TEST(LinearFilter, FirMatchesReferenceSamples) {
    // A batch is a run of single steps, which match the reference sample by
    // sample. The reference's own batch convolution sums in another order, so
    // it can differ in the last bit (the y_batch and z_batch columns); the
    // batch is longer than the filter in the first case and shorter in the
    // second.
    struct Case {
        std::vector<double> b, zi, x, y_batch, z_batch, y_steps, z_steps;
    };
    const std::vector<Case> cases{
        {{0.3, -0.7, 0.45, 0.2},
         {0.1, -0.2, 0.3},
         kX,
         {0x1.5c28f5c28f5c2p-2, -0x1.47ae147ae147ap-1, -0x1.9999999999998p-4, 0x1.1eb851eb851ecp+1,
          -0x1.3ae147ae147aep+1, 0x1.c28f5c28f5c28p-1, 0x1.70a3d70a3d70cp-4, 0x1.5d70a3d70a3d6p+0,
          -0x1.28f5c28f5c28fp+0, -0x1.a3d70a3d70a3cp-1},
         {0x1.75c28f5c28f5cp+0, 0x1.999999999999cp-5, -0x1.eb851eb851eb8p-4},
         {0x1.5c28f5c28f5c2p-2, -0x1.47ae147ae147bp-1, -0x1.999999999999cp-4, 0x1.1eb851eb851ecp+1,
          -0x1.3ae147ae147aep+1, 0x1.c28f5c28f5c28p-1, 0x1.70a3d70a3d70cp-4, 0x1.5d70a3d70a3d6p+0,
          -0x1.28f5c28f5c28fp+0, -0x1.a3d70a3d70a3cp-1},
         {0x1.75c28f5c28f5cp+0, 0x1.9999999999998p-5, -0x1.eb851eb851eb8p-4}},
        {{0.3, -0.7, 0.45, 0.2, 0.15},
         {0.1, -0.2, 0.3, 0.05},
         {1.0, 0.5, -2.0},
         {0x1.5c28f5c28f5c2p-2, -0x1.47ae147ae147ap-1, -0x1.999999999999cp-4},
         {0x1.828f5c28f5c28p+0, -0x1.0a3d70a3d70a4p-1, -0x1.0a3d70a3d70a4p-2, -0x1.eb851eb851eb8p-3},
         {0x1.5c28f5c28f5c2p-2, -0x1.47ae147ae147bp-1, -0x1.999999999999cp-4},
         {0x1.828f5c28f5c28p+0, -0x1.0a3d70a3d70a4p-1, -0x1.0a3d70a3d70a4p-2, -0x1.eb851eb851eb8p-3}},
    };
    for (const Case& c : cases) {
        LinearFilter batch(c.b, std::vector{1.25});
        batch.set_state(c.zi);
        LinearFilter single = batch;
        std::vector<double> y(c.x.size());
        batch.run(c.x, y);
        EXPECT_EQ(y, c.y_steps);
        EXPECT_EQ(as_vector(batch.state()), c.z_steps);
        EXPECT_EQ(steps(single, c.x), c.y_steps);
        EXPECT_EQ(as_vector(single.state()), c.z_steps);
    }
}

TEST(LinearFilter, BadSampleLeavesFirStateButNotIirState) {
    // An FIR filter forgets a NaN or infinite input once it has left the
    // window. With two denominator coefficients the output enters the state,
    // through the zero a[1] too, and stays NaN, as in the reference.
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    constexpr double inf = std::numeric_limits<double>::infinity();
    struct Case {
        std::vector<double> a;
        double bad;
        std::vector<double> y;
    };
    const Case cases[] = {
        {{1.0}, nan, {0.5, nan, nan, 1.0, 1.0}},
        {{1.0}, -inf, {0.5, -inf, -inf, 1.0, 1.0}},
        {{1.0, 0.0}, inf, {0.5, inf, nan, nan, nan}},
    };
    for (const Case& c : cases) {
        LinearFilter single(std::vector{0.5, 0.5}, c.a);
        LinearFilter batch = single;
        const std::vector<double> x{1.0, c.bad, 1.0, 1.0, 1.0};
        std::vector<double> y(x.size());
        batch.run(x, y);
        for (const auto& [out, f] : {std::pair{steps(single, x), &single}, std::pair{y, &batch}}) {
            for (std::size_t i = 0; i < x.size(); ++i) {
                EXPECT_TRUE(out[i] == c.y[i] || (std::isnan(out[i]) && std::isnan(c.y[i])))
                    << c.bad << " sample " << i << ": " << out[i];
            }
            EXPECT_EQ(std::isnan(f->state()[0]), c.a.size() == 2);
        }
    }
}

TEST(LinearFilter, RunEqualsRepeatedStepsAndSplits) {
    for (const auto& [b, a] : {std::pair{kB, kA}, std::pair{std::vector{0.3, 0.2}, std::vector{1.5, -0.6}},
                               std::pair{std::vector{0.3, 0.2, 0.1}, std::vector{1.0, -0.6, 0.08}},
                               std::pair{std::vector{0.5, 0.25}, std::vector{2.0}}}) {
        LinearFilter single(b, a);
        single.set_state(std::vector<double>(single.state_size(), 0.125));
        LinearFilter batch = single;
        LinearFilter split = single;
        const std::vector<double> y_single = steps(single, kX);

        std::vector<double> y_batch(kX.size());
        batch.run(kX, y_batch);
        EXPECT_EQ(y_batch, y_single);
        EXPECT_EQ(as_vector(batch.state()), as_vector(single.state()));

        // Batch, single step, batch: the state carries across.
        std::vector<double> y_split(kX.size());
        const std::span<const double> x(kX);
        split.run(x.first(3), std::span(y_split).first(3));
        y_split[3] = split.step(kX[3]);
        split.run(x.subspan(4), std::span(y_split).subspan(4));
        EXPECT_EQ(y_split, y_single);
        EXPECT_EQ(as_vector(split.state()), as_vector(single.state()));
    }
}

TEST(LinearFilter, RunInPlace) {
    LinearFilter reference(kB, kA);
    LinearFilter in_place(kB, kA);
    std::vector<double> buffer = kX;
    in_place.run(buffer, buffer);
    EXPECT_EQ(buffer, steps(reference, kX));
}

TEST(LinearFilter, RunRefusesMismatchedLengths) {
    LinearFilter f(kB, kA);
    std::vector<double> y(kX.size() - 1);
    EXPECT_EQ(error_code([&] { f.run(kX, y); }), Errc::size_mismatch);
    EXPECT_EQ(as_vector(f.state()), std::vector<double>(4, 0.0));
}

TEST(LinearFilter, PureGain) {
    LinearFilter f(std::vector{2.0}, std::vector{4.0});
    EXPECT_EQ(f.state_size(), 0u);
    EXPECT_EQ(f.step(3.0), 1.5);
    EXPECT_EQ(f.step(-1.0), -0.5);
    std::vector<double> y(2);
    f.run(std::vector{8.0, 0.1}, y);
    EXPECT_EQ(y, (std::vector{4.0, 0.1 * (2.0 / 4.0)}));
    EXPECT_EQ(as_vector(f.b()), std::vector{2.0});
    EXPECT_EQ(as_vector(f.a()), std::vector{4.0});
}

TEST(LinearFilter, NumeratorShorterOrLongerThanDenominator) {
    LinearFilter shorter(std::vector{1.0}, std::vector{1.0, -0.5, 0.25, 0.0});
    EXPECT_EQ(shorter.state_size(), 3u);
    // Impulse response of 1 / (1 - 0.5 z^-1 + 0.25 z^-2).
    EXPECT_EQ(steps(shorter, {1.0, 0.0, 0.0, 0.0}), (std::vector{1.0, 0.5, 0.0, -0.125}));

    LinearFilter longer(std::vector{1.0, 2.0, 3.0, 4.0}, std::vector{2.0});
    EXPECT_EQ(longer.state_size(), 3u);
    EXPECT_EQ(steps(longer, {1.0, 0.0, 0.0, 0.0, 0.0}), (std::vector{0.5, 1.0, 1.5, 2.0, 0.0}));
    EXPECT_EQ(as_vector(longer.b()), (std::vector{1.0, 2.0, 3.0, 4.0}));
}

TEST(LinearFilter, SignedZerosMatchReference) {
    struct Case {
        std::vector<double> b, a, zi;
        double x, y;
        bool z_negative;
    };
    const Case cases[] = {
        // With a negative a[0] the padded numerator zeros become -0.0, which
        // decides the sign of a zero state.
        {{1.0}, {-1.0, 0.0, 0.0}, {-0.0, -0.0}, 1.0, -1.0, true},
        // FIR filters and gains sum onto +0.0.
        {{1.0, 1.0}, {1.0}, {-0.0}, -0.0, 0.0, false},
        {{2.0}, {4.0}, {}, -0.0, 0.0, false},
    };
    for (const Case& c : cases) {
        LinearFilter single(c.b, c.a);
        single.set_state(c.zi);
        LinearFilter batch = single;
        double y = 0.0;
        batch.run(std::span(&c.x, 1), std::span(&y, 1));
        for (const auto& [out, f] : {std::pair{single.step(c.x), &single}, std::pair{y, &batch}}) {
            EXPECT_EQ(out, c.y);
            EXPECT_EQ(std::signbit(out), std::signbit(c.y));
            for (const double z : f->state()) EXPECT_EQ(std::signbit(z), c.z_negative);
        }
    }
}

TEST(LinearFilter, RefusesInvalidCoefficients) {
    const std::vector<double> none;
    EXPECT_EQ(error_code([&] { LinearFilter(std::vector{1.0}, std::vector{0.0, 1.0}); }),
              Errc::zero_leading_denominator);
    EXPECT_EQ(error_code([&] { LinearFilter(std::vector{1.0}, std::vector{-0.0}); }), Errc::zero_leading_denominator);
    EXPECT_EQ(error_code([&] { LinearFilter(std::vector{1.0}, none); }), Errc::empty_denominator);
    EXPECT_EQ(error_code([&] { LinearFilter(none, std::vector{1.0}); }), Errc::empty_numerator);
}

TEST(LinearFilter, SetStateChecksLength) {
    LinearFilter f(std::vector{0.0, 0.1}, std::vector{1.0, -0.9});
    EXPECT_EQ(error_code([&] { f.set_state(std::vector{1.0, 2.0}); }), Errc::size_mismatch);
    EXPECT_EQ(f.state()[0], 0.0);
    f.set_state(std::vector{0.5});
    EXPECT_EQ(f.step(0.0), 0.5);
}

TEST(Lfiltic, MatchesReference) {
    EXPECT_EQ(lfiltic(std::vector{1.0, 2.0, 3.0, 0.5}, std::vector{2.0, -0.3, 0.1}, std::vector{1.5, -0.25},
                      std::vector{0.7, 0.2, -1.1}),
              (std::vector{0x1.eccccccccccccp-1, 0x1.0666666666666p+0, 0x1.6666666666666p-3}));
    // Numerator shorter, past inputs absent, a[0] == 1 (no division).
    EXPECT_EQ(lfiltic(std::vector{0.5}, std::vector{1.0, -0.3, 0.1, 0.2}, std::vector{1.5, -0.25, 4.0},
                      std::vector<double>{}),
              (std::vector{-0x1.4cccccccccccep-2, -0x1.999999999999bp-4, -0x1.3333333333334p-2}));
}

TEST(Lfiltic, LongSumsRoundLikeReference) {
    // Long enough for blocked pairwise summation; plain left-to-right sums
    // differ from the reference in elements 1 and 5.
    const std::vector<double> b{0x1.b5aadc179bb8cp+1,  0x1.64731cdda4792p-10, 0x1.f5a5501ecc27cp-4,
                                -0x1.983ee3aae0507p+5, -0x1.868dfa1baf748p-9, -0x1.5186a04dc3c8bp+2,
                                0x1.23b32c52e1acbp-1,  -0x1.cb47a6856ca69p-5, 0x1.75715bdf9d54cp+9,
                                -0x1.7177079ae8b70p+7, 0x1.394f4c1988a9ap+7,  -0x1.8afc72e26a98bp-4,
                                0x1.5430712829c2dp+9,  -0x1.1121f686ea2d7p+7};
    const std::vector<double> a{0x1.0000000000000p+0, -0x1.83aea32620d43p+0, 0x1.9476201c16edfp-2,
                                -0x1.575467551c077p-1};
    const std::vector<double> x{-0x1.f767e0207fff8p-10, -0x1.0abfc551b538ap-7,  -0x1.ded1e4fc88fe4p-2,
                                -0x1.2a4cf563e76f5p+10, -0x1.751db046c7f76p+10, 0x1.802ceaf6c2e3ap-12,
                                0x1.1f1ea8bb81ea3p+3,   -0x1.e8e9d4d0cda55p-13, -0x1.e752b64821624p-8,
                                0x1.f89e7c5acd48ep-9,   0x1.6f39881ed70f8p-1,   -0x1.eb8990b95a5a8p-6,
                                0x1.b3bbf79163655p+5};
    const std::vector<double> y{-0x1.52beee14f9c15p-1, -0x1.ad243849b91bap-1, -0x1.bbe8659f593bap+0};
    const std::vector<double> zi_ref{0x1.b717580670f42p+8,   0x1.8ad7c9a4e086ap+13,  -0x1.25537614233b1p+11,
                                     -0x1.0fc9133f7e5d7p+20, -0x1.2c86e43d2e477p+19, -0x1.dc703aa91cbc0p+12,
                                     -0x1.6f08edb276b60p+17, -0x1.efccce02c9e13p+19, -0x1.28e139ed43c71p+19,
                                     0x1.3da46c1ea6c52p+17,  0x1.d28e96f2e57f2p+5,   -0x1.8f05b678a32c0p-3,
                                     0x1.0c8c4796d5766p-2};
    EXPECT_EQ(lfiltic(b, a, y, x), zi_ref);
}

TEST(Lfiltic, ContinuesFromHistory) {
    // A filter run on a sequence and a fresh filter started from lfiltic of
    // the last outputs and inputs produce the same next output.
    const std::vector<double> b{0.2, 0.1}, a{1.0, -0.7};
    LinearFilter run(b, a);
    const std::vector<double> y = steps(run, {1.0, 2.0, 3.0});
    LinearFilter resumed(b, a);
    resumed.set_state_from_history(std::vector{y[2], y[1]}, std::vector{3.0, 2.0});
    EXPECT_EQ(as_vector(resumed.state()), as_vector(run.state()));
    EXPECT_EQ(resumed.step(4.0), run.step(4.0));
}

TEST(Lfiltic, AtRestWithZeroHistoryAndErrors) {
    EXPECT_EQ(lfiltic(std::vector{0.0, 0.1}, std::vector{1.0, -0.9}, std::vector{0.0, 0.0}, std::vector{0.0, 0.0}),
              std::vector{0.0});
    EXPECT_EQ(lfiltic(std::vector{2.0}, std::vector{4.0}, std::vector{1.0}, std::vector{1.0}), std::vector<double>{});
    // An empty numerator leaves only the output history.
    EXPECT_EQ(lfiltic(std::vector<double>{}, std::vector{2.0, 1.0}, std::vector{3.0}, std::vector<double>{}),
              std::vector{-1.5});
    EXPECT_EQ(error_code([] { lfiltic(std::vector{1.0}, std::vector{0.0, 1.0}, {}, {}); }),
              Errc::zero_leading_denominator);
    EXPECT_EQ(error_code([] { lfiltic(std::vector{1.0}, std::vector<double>{}, {}, {}); }), Errc::empty_denominator);
    std::vector<double> zi(2, 7.0);
    EXPECT_EQ(error_code([&] { lfiltic(std::vector{1.0, 2.0}, std::vector{1.0}, {}, {}, zi); }), Errc::size_mismatch);
    EXPECT_EQ(zi, (std::vector{7.0, 7.0}));
}
