// Bit allocation: the worked examples (slice search, both leftover passes, visiting order,
// silent subbands), exact spending across the whole bitpool range, and termination beyond it.
#include "sbc/bitalloc.h"

#include <algorithm>
#include <gtest/gtest.h>
#include <numeric>
#include <random>

namespace {

using sbc::SubbandRow;
using Rows = std::array<SubbandRow, 2>;

SubbandRow one(int32_t subbands, SubbandRow sf, int32_t bitpool, int32_t method, int32_t fi) {
    SubbandRow bits{};
    bits.fill(-7);
    EXPECT_EQ(sbc::allocate_bits_one_channel(subbands, sf, bitpool, bits, method, fi), 0);
    return bits;
}

Rows two(int32_t subbands, Rows sf, int32_t bitpool, int32_t method, int32_t fi) {
    Rows bits{};
    EXPECT_EQ(sbc::allocate_bits_two_channels(subbands, sf, bitpool, bits, method, fi), 0);
    return bits;
}

int32_t total(const SubbandRow& bits, int32_t subbands) {
    return std::accumulate(bits.begin(), bits.begin() + subbands, 0);
}

const SubbandRow descending = {10, 9, 8, 7, 6, 5, 4, 3};

TEST(BitAllocation, SnrOneChannelGivesLeftoverBitsToTheLowestSubbands) {
    EXPECT_EQ(one(8, descending, 32, sbc::SNR, 2), (SubbandRow{8, 7, 6, 5, 4, 2, 0, 0}));
}

TEST(BitAllocation, LoudnessUsesTheFrequencyOffsets) {
    EXPECT_EQ(one(8, descending, 32, sbc::LOUDNESS, 2), (SubbandRow{9, 5, 5, 4, 4, 3, 2, 0}));
    // Another frequency row gives other offsets: 16 kHz has -2 for subband 0 and +1 for 7.
    EXPECT_NE(one(8, descending, 32, sbc::LOUDNESS, 0), one(8, descending, 32, sbc::LOUDNESS, 2));
}

TEST(BitAllocation, SearchThatHitsTheBitpoolExactlyLeavesNothingOver) {
    EXPECT_EQ(one(4, {3, 3, 3, 3}, 9, sbc::LOUDNESS, 0), (SubbandRow{3, 2, 2, 2, -7, -7, -7, -7}));
}

TEST(BitAllocation, SilentSubbandsStillReceiveBits) {
    EXPECT_EQ(one(8, {0, 0, 0, 0, 0, 0, 0, 0}, 10, sbc::LOUDNESS, 2),
              (SubbandRow{2, 2, 2, 2, 2, 0, 0, 0}));
}

TEST(BitAllocation, TwoChannelsAlternateAndTheLastBitGoesByTheSecondPass) {
    const Rows bits = two(4, {{{4, 4, 4, 4}, {4, 4, 4, 4}}}, 7, sbc::SNR, 1);
    EXPECT_EQ(bits[0], (SubbandRow{3, 2, 0, 0}));
    EXPECT_EQ(bits[1], (SubbandRow{2, 0, 0, 0}));
}

TEST(BitAllocation, TwoChannelsShareOnePoolInChannelAlternatingOrder) {
    const Rows sf = {descending, SubbandRow{9, 9, 8, 2, 0, 0, 0, 0}};
    Rows bits = two(8, sf, 35, sbc::SNR, 2);
    EXPECT_EQ(bits[0], (SubbandRow{7, 5, 4, 3, 2, 0, 0, 0}));
    EXPECT_EQ(bits[1], (SubbandRow{5, 5, 4, 0, 0, 0, 0, 0}));
    bits = two(8, sf, 37, sbc::SNR, 2);
    EXPECT_EQ(bits[0], (SubbandRow{7, 6, 4, 3, 2, 0, 0, 0}));
    EXPECT_EQ(bits[1], (SubbandRow{6, 5, 4, 0, 0, 0, 0, 0}));
}

TEST(BitAllocation, EmptyOrNegativeBitpoolGivesNoBits) {
    EXPECT_EQ(total(one(8, descending, 0, sbc::SNR, 2), 8), 0);
    EXPECT_EQ(one(8, descending, -5, sbc::LOUDNESS, 2), (SubbandRow{0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(two(4, {descending, descending}, -1, sbc::SNR, 2), Rows{});
}

TEST(BitAllocation, LargestBitpoolFillsEverySubband) {
    EXPECT_EQ(one(8, descending, 128, sbc::SNR, 2), (SubbandRow{16, 16, 16, 16, 16, 16, 16, 16}));
    const Rows full =
        two(4, {SubbandRow{0, 1, 2, 3}, SubbandRow{15, 0, 0, 9}}, 128, sbc::LOUDNESS, 3);
    for (int c = 0; c < 2; ++c) EXPECT_EQ(total(full[c], 4), 64);
}

TEST(BitAllocation, SpendsEveryBitpoolWithinTheLimitsExactly) {
    std::mt19937 gen(11);
    std::uniform_int_distribution<int> sf_dist(0, 15);
    for (int trial = 0; trial < 40; ++trial) {
        for (int32_t m : {4, 8}) {
            Rows sf{};
            for (auto& row : sf)
                for (int s = 0; s < m; ++s) row[s] = trial % 5 == 0 ? 0 : sf_dist(gen);
            const int32_t method = trial % 2;
            const int32_t fi = trial % 4;
            for (int32_t pool = 0; pool <= 16 * m; ++pool)
                ASSERT_EQ(total(one(m, sf[0], pool, method, fi), m), pool) << "m=" << m;
            for (int32_t pool = 0; pool <= std::min(255, 32 * m); ++pool) {
                const Rows bits = two(m, sf, pool, method, fi);
                ASSERT_EQ(total(bits[0], m) + total(bits[1], m), pool) << "m=" << m;
                for (const auto& row : bits)
                    for (int s = 0; s < m; ++s) ASSERT_TRUE(row[s] >= 0 && row[s] <= 16);
            }
        }
    }
}

TEST(BitAllocation, BitpoolBeyondWhatCanBeSpentStillTerminates) {
    EXPECT_EQ(one(8, descending, 1000, sbc::LOUDNESS, 2),
              (SubbandRow{16, 16, 16, 16, 16, 16, 16, 16}));
    const Rows bits = two(4, {SubbandRow{}, SubbandRow{}}, 129, sbc::SNR, 0);
    EXPECT_EQ(total(bits[0], 4) + total(bits[1], 4), 128);
}

TEST(BitAllocation, RefusesUnknownSubbandCountOrFrequencyIndex) {
    SubbandRow bits{};
    EXPECT_EQ(sbc::allocate_bits_one_channel(6, descending, 10, bits, sbc::SNR, 0), -1);
    EXPECT_EQ(sbc::allocate_bits_one_channel(8, descending, 10, bits, sbc::LOUDNESS, 4), -1);
    Rows both{};
    EXPECT_EQ(sbc::allocate_bits_two_channels(8, {descending, descending}, 10, both, sbc::SNR, -1),
              -1);
}

// Every path gives the plain path's bits, whatever the scale factors: uniform, small, with
// silent bands, all alike or clustered around one value (many entries on one slice, so that
// 2-bit grants are passed over with one bit left), or split between the top and the bottom
// (the slice found just past a window of 16 slices searched at once); for every bitpool from
// below 0 to beyond what the pool can spend (down to the lowest slice), both methods (and
// another non-zero SNR code), every frequency, 4 and 8 bands, one pool (MONO, DUAL_CHANNEL)
// and two (STEREO).
TEST(BitAllocation, EveryPathGivesThePlainBits) {
    std::mt19937 gen(61);
    std::uniform_int_distribution<int> sf_dist(0, 15);
    std::uniform_int_distribution<int> small(0, 3);
    const auto random_scale_factors = [&](int trial) {
        Rows sf{};
        const int centre = sf_dist(gen);
        for (auto& row : sf) {
            for (auto& v : row) {
                switch (trial % 7) { // 7: every shape meets both pools, methods and sizes
                case 0:
                    v = sf_dist(gen);
                    break;
                case 1:
                    v = small(gen);
                    break;
                case 2:
                    v = sf_dist(gen) < 6 ? 0 : sf_dist(gen);
                    break;
                case 3:
                    v = centre;
                    break;
                case 4:
                    v = std::clamp(centre + small(gen) - 1, 0, 15);
                    break;
                default:
                    v = small(gen) < 2 ? 15 - small(gen) : small(gen);
                }
            }
        }
        return sf;
    };
    const int32_t modes[][2] = {{1, sbc::MONO}, {2, sbc::DUAL_CHANNEL}, {2, sbc::STEREO}};
    for (sbc::AllocationPath path : {sbc::AllocationPath::avx2, sbc::AllocationPath::avx512}) {
        if (!sbc::allocation_path_available(path)) continue;
        for (int trial = 0; trial < 1000; ++trial) {
            sbc::FrameWorkspace ws{};
            ws.scale_factor = random_scale_factors(trial);
            sbc::EncoderState s;
            s.subbands = trial % 2 == 0 ? 8 : 4;
            s.frequency_index = trial / 2 % 4;
            s.allocation_method = std::array{sbc::LOUDNESS, sbc::SNR, 3}[trial % 3];
            for (const auto& [channels, mode] : modes) {
                s.channels = channels;
                s.channel_mode = mode;
                const int32_t most = 16 * s.subbands * (mode == sbc::STEREO ? 2 : 1); // all at 16
                for (s.bitpool = -2; s.bitpool <= most + 3; ++s.bitpool) {
                    Rows plain{}, wide{};
                    for (auto* rows : {&plain, &wide}) {
                        for (auto& row : *rows) row.fill(-7);
                        ws.bits = *rows;
                        sbc::allocate_frame_bits_on(
                            rows == &plain ? sbc::AllocationPath::plain : path,
                            sbc::allocation_params(s), ws.scale_factor, ws.bits);
                        *rows = ws.bits;
                    }
                    ASSERT_EQ(plain, wide)
                        << "trial " << trial << " mode " << mode << " bitpool " << s.bitpool;
                }
            }
        }
    }
}

} // namespace
