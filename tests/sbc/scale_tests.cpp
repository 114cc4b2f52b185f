// Scale factors (smallest fitting power of two, clamping) and the joint-stereo decision.
#include "sbc/encode/scale.h"

#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <random>
#include <string>

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

// ---- Every path against the plain one --------------------------------------------------

using sbc::FrameWorkspace;
using sbc::ScalePath;

// A copy of a workspace that starts `skew` floats past a 64-byte line, wherever the stack
// may put one.
struct PlacedWorkspace {
    std::unique_ptr<std::array<std::byte, sizeof(FrameWorkspace) + 128>> buffer =
        std::make_unique<std::array<std::byte, sizeof(FrameWorkspace) + 128>>();
    FrameWorkspace* ws;

    PlacedWorkspace(const FrameWorkspace& from, int skew) {
        const auto address = reinterpret_cast<uintptr_t>(buffer->data());
        const size_t offset = (64 - address % 64) % 64 + static_cast<size_t>(skew) * sizeof(float);
        ws = std::construct_at(reinterpret_cast<FrameWorkspace*>(buffer->data() + offset), from);
    }
};

// The step on `path` and on the plain path from the same workspace; every output must agree
// bit for bit (rows beyond the frame and join outside JOINT_STEREO must stay untouched).
void expect_paths_agree(const FrameWorkspace& in, const sbc::EncoderState& s, int skew,
                        const std::string& what) {
    for (ScalePath path : {ScalePath::avx2, ScalePath::avx512}) {
        if (!sbc::scale_path_available(path)) continue;
        auto plain = std::make_unique<FrameWorkspace>(in);
        const PlacedWorkspace placed(in, skew);
        FrameWorkspace* const wide = placed.ws;
        sbc::scale_and_join_on(ScalePath::plain, *plain, s);
        sbc::scale_and_join_on(path, *wide, s);
        ASSERT_EQ(
            std::memcmp(plain->sb_sample.data(), wide->sb_sample.data(), sizeof plain->sb_sample),
            0)
            << what;
        ASSERT_EQ(std::memcmp(plain->sb_sample_ms.data(), wide->sb_sample_ms.data(),
                              sizeof plain->sb_sample_ms),
                  0)
            << what;
        ASSERT_EQ(plain->scale_factor, wide->scale_factor) << what;
        ASSERT_EQ(plain->scale_factor_ms, wide->scale_factor_ms) << what;
        ASSERT_EQ(plain->join, wide->join) << what;
    }
}

std::unique_ptr<sbc::EncoderState> shape(int32_t channels, int32_t mode, int32_t subbands,
                                         int32_t blk_len) {
    auto s = std::make_unique<sbc::EncoderState>();
    s->channels = channels;
    s->channel_mode = mode;
    s->subbands = subbands;
    s->blk_len = blk_len;
    return s;
}

// A workspace whose rows hold `value(row, index)`; everything else holds marker values.
template <typename Value> std::unique_ptr<FrameWorkspace> workspace_of(Value value) {
    auto ws = std::make_unique<FrameWorkspace>();
    for (int c = 0; c < 2; ++c) {
        for (int i = 0; i < sbc::MAX_FRAME_SAMPLES; ++i) {
            ws->sb_sample[c][i] = value(c, i);
            ws->sb_sample_ms[c][i] = -123.0f;
        }
        ws->scale_factor[c].fill(-7);
        ws->scale_factor_ms[c].fill(-7);
    }
    ws->join.fill(-7);
    return ws;
}

// Filter-like frames of every shape and mode: Gaussian bands of random loudness, some beyond
// the clamp bound, some bands identical or opposite in both channels (joined), silent bands
// and values at the powers of two where the scale factor steps.
TEST(ScaleAndJoin, EveryPathMatchesThePlainOne) {
    std::mt19937 gen(2026);
    std::normal_distribution<float> gauss(0.0f, 1.0f);
    std::uniform_int_distribution<int> pick(0, 9);
    const int32_t modes[][2] = {
        {1, sbc::MONO}, {2, sbc::DUAL_CHANNEL}, {2, sbc::STEREO}, {2, sbc::JOINT_STEREO}};
    for (int trial = 0; trial < 3000; ++trial) {
        const int32_t m = trial % 2 == 0 ? 8 : 4;
        constexpr int32_t lengths[] = {4, 8, 12, 15, 16}; // SBC's, and mSBC's 15
        const int32_t blk_len = trial % 5 == 0 ? 1 + trial / 5 % 16 : lengths[trial / 2 % 5];
        const auto [channels, mode] = modes[trial / 8 % 4];
        std::array<std::array<float, 8>, 2> loudness{};
        std::array<int, 8> kind{};
        for (int s = 0; s < m; ++s) {
            kind[s] = pick(gen);
            for (auto& l : loudness) l[s] = std::ldexp(1.0f, pick(gen) * 2 - 2);
        }
        auto ws = workspace_of([&](int c, int i) {
            const int s = i % m;
            const float x = gauss(gen) * loudness[c][s];
            switch (kind[s]) {
            case 0:
                return 0.0f;
            case 1:
                return c == 0 ? x * 3e4f : -x * 3e4f; // some beyond ±65536
            case 2:
                return std::ldexp(1.0f, pick(gen) + 1) * (i % 3 == 0 ? -1.0f : 1.0f);
            case 3:
                return loudness[0][s] * gauss(gen) * 0.1f; // both channels alike
            default:
                return x;
            }
        });
        if (trial % 7 == 0) ws->sb_sample[1] = ws->sb_sample[0]; // identical: mid = left, side = 0
        expect_paths_agree(*ws, *shape(channels, mode, m, blk_len), trial / 3 % 16,
                           "trial " + std::to_string(trial));
    }
}

// Mid and side formed in single precision on the vector path equal the double-precision form
// of the plain path for every finite pair below 2^126: random bit patterns, exponent gaps
// around 28/29 bits, subnormals, exact ties of the rounding, ±0, x and −x.
TEST(ScaleAndJoin, VectorPathMatchesPlainOnEdgeValues) {
    std::mt19937 gen(7);
    std::uniform_int_distribution<uint32_t> bits_dist;
    std::uniform_int_distribution<int> gap(-40, 40);
    const auto random_float = [&](int max_exponent) {
        uint32_t b = bits_dist(gen);
        const uint32_t exponent = (b >> 23 & 0xFF) % static_cast<uint32_t>(max_exponent + 127);
        b = (b & 0x807FFFFFu) | exponent << 23; // exponent field 0 (subnormal) .. max
        return std::bit_cast<float>(b);
    };
    const std::array<float, 10> special = {0.0f,
                                           -0.0f,
                                           std::numeric_limits<float>::denorm_min(),
                                           -std::numeric_limits<float>::denorm_min(),
                                           std::numeric_limits<float>::min(),
                                           1.0f,
                                           std::ldexp(1.0f, -24),
                                           std::ldexp(3.0f, -25),
                                           std::ldexp(1.0f, 125),
                                           -std::ldexp(1.0f, -126)};
    for (int trial = 0; trial < 2000; ++trial) {
        auto ws = workspace_of([&](int c, int i) {
            if (c == 1) return 0.0f; // filled below from the left channel
            return trial % 4 == 0 ? special[static_cast<size_t>(i) % special.size()]
                                  : random_float(trial % 3 == 0 ? 126 : 20);
        });
        const auto below_2_126 = [](float x, float fallback) {
            return std::fabs(x) < std::ldexp(1.0f, 126) ? x : fallback;
        };
        for (int i = 0; i < sbc::MAX_FRAME_SAMPLES; ++i) {
            const float left = ws->sb_sample[0][i];
            switch ((i + trial) % 6) {
            case 0: // exponents up to 40 apart, either way
                ws->sb_sample[1][i] =
                    below_2_126(std::ldexp(random_float(0), gap(gen)) * left, left);
                break;
            case 1:
                ws->sb_sample[1][i] = -left;
                break;
            case 2:
                ws->sb_sample[1][i] = special[static_cast<size_t>(trial) % special.size()];
                break;
            case 3: // one ulp of the left value away, halved: ties of the rounding
                ws->sb_sample[1][i] = below_2_126(std::nextafter(left, 2 * left) - left, 0.0f);
                break;
            default:
                ws->sb_sample[1][i] = random_float(trial % 3 == 0 ? 126 : 20);
            }
        }
        expect_paths_agree(*ws, *shape(2, sbc::JOINT_STEREO, trial % 2 == 0 ? 8 : 4, 16),
                           trial % 16, "trial " + std::to_string(trial));
    }
}

} // namespace
