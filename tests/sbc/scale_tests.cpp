// Scale factors (smallest fitting power of two, clamping) and the joint-stereo decision.
#include "sbc/scale.h"

#include <gtest/gtest.h>

namespace {

using sbc::SampleRow;
using sbc::SubbandRow;

// One channel of 4 subbands × 4 blocks where subband 0 holds `values` (one per block).
int32_t scale_factor_of(std::array<float, 4> values, SampleRow* row_out = nullptr) {
    SampleRow row{};
    for (int b = 0; b < 4; ++b) row[b * 4] = values[b];
    SubbandRow sf{};
    EXPECT_EQ(sbc::calc_scale_factors(row, sf, 4, 4), 0);
    if (row_out) *row_out = row;
    return sf[0];
}

TEST(ScaleFactors, AreTheSmallestPowerOfTwoThatHoldsTheLargestMagnitude) {
    EXPECT_EQ(scale_factor_of({0, 0, 0, 0}), 0);
    EXPECT_EQ(scale_factor_of({2.0f, 0, 0, 0}), 0); // equal fits
    EXPECT_EQ(scale_factor_of({0, 2.0000002f, 0, 0}), 1);
    EXPECT_EQ(scale_factor_of({0, 0, 4.0f, 0}), 1);
    EXPECT_EQ(scale_factor_of({0, 0, 0, -3.0f}), 1); // magnitude counts
    EXPECT_EQ(scale_factor_of({32767.0f, 0, 0, 0}), 14);
    EXPECT_EQ(scale_factor_of({0, -32768.0f, 0, 0}), 14);
    EXPECT_EQ(scale_factor_of({0, 32768.5f, 0, 0}), 15);
}

TEST(ScaleFactors, ClampOutOfRangeSamplesInPlace) {
    SampleRow row{};
    EXPECT_EQ(scale_factor_of({1.0f, 100000.0f, -70000.0f, 5.0f}, &row), 15);
    EXPECT_EQ(row[4], 65536.0f);
    EXPECT_EQ(row[8], -65536.0f);
    EXPECT_EQ(row[0], 1.0f);
    EXPECT_EQ(row[12], 5.0f);
}

TEST(ScaleFactors, EachSubbandIsScaledOnItsOwn) {
    SampleRow row{};
    SubbandRow sf{};
    for (int b = 0; b < 16; ++b)
        for (int s = 0; s < 8; ++s)
            row[b * 8 + s] = static_cast<float>(1 << (s + 1)) * (b == 3 ? 1.0f : 0.5f);
    ASSERT_EQ(sbc::calc_scale_factors(row, sf, 8, 16), 0);
    for (int s = 0; s < 8; ++s) EXPECT_EQ(sf[s], s);
}

struct JointFixture {
    std::array<SampleRow, 2> lr{};
    std::array<SampleRow, 2> ms{};
    std::array<SubbandRow, 2> sf{};
    std::array<SubbandRow, 2> sf_ms{};
    SubbandRow join{};

    // Runs the joint-stereo steps in frame order for 4 subbands × 4 blocks.
    void run() {
        ASSERT_EQ(sbc::joint_transform(lr, ms, 4, 4), 0);
        for (int c = 0; c < 2; ++c) {
            ASSERT_EQ(sbc::calc_scale_factors(lr[c], sf[c], 4, 4), 0);
            ASSERT_EQ(sbc::calc_scale_factors(ms[c], sf_ms[c], 4, 4), 0);
        }
        ASSERT_EQ(sbc::joint_decision(lr, ms, sf, sf_ms, join, 4, 4), 0);
    }
};

TEST(JointStereo, IdenticalChannelsAreJoinedAndCarryMidAndSide) {
    JointFixture f;
    for (int b = 0; b < 4; ++b) {
        f.lr[0][b * 4 + 1] = f.lr[1][b * 4 + 1] = 100.0f - b; // subband 1: identical, > 2
        f.lr[0][b * 4 + 2] = f.lr[1][b * 4 + 2] = 1.5f;       // subband 2: identical, <= 2
    }
    f.run();
    EXPECT_EQ(f.join[1], 1);
    EXPECT_EQ(f.sf[0][1], 6); // mid = left, max 100
    EXPECT_EQ(f.sf[1][1], 0); // side = 0
    EXPECT_EQ(f.lr[0][4 + 1], 99.0f);
    EXPECT_EQ(f.lr[1][4 + 1], 0.0f);
    EXPECT_EQ(f.join[2], 0); // all four scale factors 0: equal sums
    EXPECT_EQ(f.lr[1][2], 1.5f);
}

TEST(JointStereo, EqualSumsStayLeftRightAndTheLastSubbandIsNeverJoined) {
    JointFixture f;
    f.sf = {{{5, 9, 9, 9}, {5, 9, 9, 9}}};
    f.sf_ms = {{{6, 9, 9, 0}, {4, 9, 9, 0}}};
    f.join = {7, 7, 7, 7, 7, 7, 7, 7};
    ASSERT_EQ(sbc::joint_decision(f.lr, f.ms, f.sf, f.sf_ms, f.join, 4, 4), 0);
    EXPECT_EQ(f.join[0], 0);
    EXPECT_EQ(f.join[3], 0); // 18 against 0, yet the last subband stays left/right
    EXPECT_EQ(f.sf[0][3], 9);
    EXPECT_EQ(f.join[4], 7); // beyond the subbands: untouched
}

TEST(JointStereo, MidAndSideComeFromUnclampedSamples) {
    JointFixture f;
    f.lr[0][0] = 100000.0f;
    f.run();
    EXPECT_EQ(f.ms[0][0], 50000.0f);
    EXPECT_EQ(f.ms[1][0], 50000.0f);
    EXPECT_EQ(f.sf_ms[0][0] + f.sf_ms[1][0], 30);
    EXPECT_EQ(f.join[0], 0); // left/right costs 15 + 0
    EXPECT_EQ(f.lr[0][0], 65536.0f);
}

} // namespace
