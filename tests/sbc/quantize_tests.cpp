// Quantiser: truncation toward zero of (x / scale + 1) × levels / 2, band by band.
#include "sbc/quantize.h"

#include <gtest/gtest.h>

namespace {

// Quantises `values` (blocks 0..3 of subband 0; 4 subbands × 4 blocks) with one scale factor
// and bit count.
std::array<int32_t, 4> quantize(std::array<float, 4> values, int32_t scale_factor, int32_t bits) {
    sbc::SampleRow x{};
    for (int b = 0; b < 4; ++b) x[b * 4] = values[b];
    sbc::SubbandRow sf{scale_factor}, nbits{bits};
    sbc::QuantizedRow q{};
    EXPECT_EQ(sbc::quantize_channel(x, sf, q, nbits, 4, 4), 0);
    return {q[0], q[4], q[8], q[12]};
}

TEST(Quantize, TruncatesRatherThanRounds) {
    EXPECT_EQ(quantize({0.5f, -0.5f, 0, 0}, 0, 4), (std::array<int32_t, 4>{9, 5, 7, 7}));
    EXPECT_EQ(quantize({1.0f, 2.0f, -2.0f, 4.0f}, 1, 2), (std::array<int32_t, 4>{1, 2, 0, 3}));
}

TEST(Quantize, FullScaleMapsToTheEndsOfTheRange) {
    EXPECT_EQ(quantize({4096.0f, -4096.0f, 0.0f, 0.0f}, 11, 16),
              (std::array<int32_t, 4>{65535, 0, 32767, 32767}));
    EXPECT_EQ(quantize({0.0f, 2.0f, -2.0f, 1.9f}, 0, 1), (std::array<int32_t, 4>{0, 1, 0, 0}));
}

TEST(Quantize, ZeroBitsGiveZerosWhateverTheSamples) {
    EXPECT_EQ(quantize({3.0f, -3.0f, 0, 4.0f}, 1, 0), (std::array<int32_t, 4>{0, 0, 0, 0}));
}

TEST(Quantize, WritesBlockMajorOrderForEverySubband) {
    sbc::SampleRow x{};
    for (int i = 0; i < 16; ++i) x[i] = static_cast<float>(i % 4) - 1.5f; // subband s: s - 1.5
    sbc::SubbandRow sf{0, 0, 0, 0}, bits{4, 4, 4, 4};
    sbc::QuantizedRow q{};
    q.fill(-1);
    ASSERT_EQ(sbc::quantize_channel(x, sf, q, bits, 4, 4), 0);
    for (int b = 0; b < 4; ++b) {
        EXPECT_EQ(q[b * 4 + 0], 1);  // (-0.75 + 1) × 7.5 = 1.875
        EXPECT_EQ(q[b * 4 + 1], 5);  // 5.625
        EXPECT_EQ(q[b * 4 + 2], 9);  // 9.375
        EXPECT_EQ(q[b * 4 + 3], 13); // 13.125
    }
    EXPECT_EQ(q[16], -1); // nothing beyond blk_len × subbands
}

TEST(Quantize, RefusesScaleFactorsAndBitCountsOutsideTheirRange) {
    sbc::SampleRow x{};
    sbc::QuantizedRow q{};
    EXPECT_EQ(sbc::quantize_channel(x, sbc::SubbandRow{16}, q, sbc::SubbandRow{4}, 4, 4), -1);
    EXPECT_EQ(sbc::quantize_channel(x, sbc::SubbandRow{0}, q, sbc::SubbandRow{17}, 4, 4), -1);
    EXPECT_EQ(sbc::quantize_channel(x, sbc::SubbandRow{0}, q, sbc::SubbandRow{4}, 17, 4), -1);
}

} // namespace
