// Analysis filter bank: against an unfolded double-precision model of the cosine-modulated
// filter bank, on a worked impulse, and for independence from the frame grouping.
#include "sbc/encode/analysis.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <numbers>
#include <random>
#include <vector>

namespace {

using sbc::AnalysisState;

// The textbook form: shift the history, window it, sum the five taps of each of the 2M
// columns, then multiply by the full M × 2M cosine matrix. All in double.
struct UnfoldedModel {
    int m;
    std::vector<double> window; // the signed analysis window, L = 10 M taps
    std::vector<double> x;      // history, newest first

    UnfoldedModel(int subbands, const AnalysisState& s)
        : m(subbands), window(s.window.begin(), s.window.begin() + 10 * subbands),
          x(10 * subbands, 0.0) {}

    std::vector<double> block(const float* in) {
        x.insert(x.begin(), static_cast<size_t>(m), 0.0);
        x.resize(static_cast<size_t>(10 * m));
        for (int i = 0; i < m; ++i) x[i] = in[m - 1 - i];
        std::vector<double> y(2 * m, 0.0);
        for (int i = 0; i < 2 * m; ++i)
            for (int n = 0; n < 5; ++n) y[i] += x[i + 2 * m * n] * window[i + 2 * m * n];
        std::vector<double> out(m, 0.0);
        for (int k = 0; k < m; ++k)
            for (int i = 0; i < 2 * m; ++i)
                out[k] += std::cos((k + 0.5) * (i - m / 2.0) * std::numbers::pi / m) * y[i];
        return out;
    }

    // Sum of |tap × sample| for the current history: the scale of single-precision rounding.
    double magnitude() const {
        double s = 0.0;
        for (size_t i = 0; i < x.size(); ++i) s += std::fabs(x[i] * window[i]);
        return s;
    }
};

void expect_matches_model(int subbands, const std::vector<float>& input) {
    auto state = sbc::analysis_init(subbands, 1);
    ASSERT_TRUE(state);
    UnfoldedModel model(subbands, *state);
    std::vector<float> out(input.size());
    const size_t frame = static_cast<size_t>(subbands) * 16; // frames of 16 blocks
    for (size_t at = 0; at < input.size(); at += frame)
        ASSERT_EQ(sbc::analysis_filter(*state, std::span(input).subspan(at, frame),
                                       std::span(out).subspan(at, frame), 0, 16),
                  0);
    for (size_t b = 0; b * subbands < input.size(); ++b) {
        const auto expected = model.block(&input[b * subbands]);
        const double tolerance = 4e-7 * model.magnitude() + 1e-30;
        for (int k = 0; k < subbands; ++k)
            ASSERT_NEAR(out[b * subbands + k], expected[k], tolerance)
                << "M=" << subbands << " block " << b << " band " << k;
    }
}

std::vector<float> random_pcm(size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::uniform_int_distribution<int> dist(-32768, 32767);
    std::vector<float> v(n);
    for (auto& s : v) s = static_cast<float>(dist(gen));
    return v;
}

TEST(AnalysisFilter, MatchesUnfoldedCosineModulationOnRandomInput) {
    expect_matches_model(8, random_pcm(8 * 16 * 6, 1));
    expect_matches_model(4, random_pcm(4 * 16 * 6, 2));
}

TEST(AnalysisFilter, MatchesUnfoldedCosineModulationOnImpulses) {
    for (int m : {4, 8}) {
        for (int pos : {0, 3, m - 1, 5 * m + 2}) {
            std::vector<float> in(static_cast<size_t>(m * 16), 0.0f);
            in[static_cast<size_t>(pos)] = 30000.0f;
            expect_matches_model(m, in);
        }
    }
}

TEST(AnalysisFilter, ImpulseAtFirstInstantGivesWorkedBandValuesForTenBlocks) {
    auto state = sbc::analysis_init(8, 1);
    ASSERT_TRUE(state);
    std::vector<float> in(8 * 16, 0.0f), out(8 * 16);
    const float v = 1000.0f;
    in[0] = v;
    ASSERT_EQ(sbc::analysis_filter(*state, in, out, 0, 16), 0);
    const float h7 = 1.7837172e-03f; // prototype tap 7
    for (int k = 0; k < 8; ++k) {
        const double c = static_cast<float>(std::cos((k + 0.5) * 3.0 * std::numbers::pi / 8.0));
        const auto expected = static_cast<float>(static_cast<double>(v * h7) * c);
        EXPECT_FLOAT_EQ(out[k], expected) << "band " << k;
    }
    for (int b = 1; b < 10; ++b) {
        float energy = 0.0f;
        for (int k = 0; k < 8; ++k) energy += std::fabs(out[b * 8 + k]);
        EXPECT_GT(energy, 0.0f) << "the impulse still sits in the history at block " << b;
    }
    for (int i = 10 * 8; i < 16 * 8; ++i) EXPECT_EQ(out[i], 0.0f) << "index " << i;
}

TEST(AnalysisFilter, FrameGroupingDoesNotChangeSubbandSamples) {
    for (int m : {4, 8}) {
        const auto in = random_pcm(static_cast<size_t>(m * 16 * 3), 7);
        auto whole = sbc::analysis_init(m, 2);
        auto quarters = sbc::analysis_init(m, 2);
        std::vector<float> a(in.size()), b(in.size());
        for (size_t f = 0; f < 3; ++f) {
            const size_t n16 = static_cast<size_t>(m * 16);
            ASSERT_EQ(sbc::analysis_filter(*whole, std::span(in).subspan(f * n16, n16),
                                           std::span(a).subspan(f * n16, n16), 1, 16),
                      0);
            for (size_t q = 0; q < 4; ++q) {
                const size_t at = f * n16 + q * n16 / 4;
                ASSERT_EQ(sbc::analysis_filter(*quarters, std::span(in).subspan(at, n16 / 4),
                                               std::span(b).subspan(at, n16 / 4), 1, 4),
                          0);
            }
        }
        EXPECT_EQ(a, b) << "M=" << m;
    }
}

TEST(AnalysisFilter, ChannelsKeepSeparateHistories) {
    const auto in = random_pcm(8 * 16, 3);
    const std::vector<float> zeros(8 * 16, 0.0f);
    auto state = sbc::analysis_init(8, 2);
    std::vector<float> out0(in.size()), out1(in.size());
    ASSERT_EQ(sbc::analysis_filter(*state, in, out0, 0, 16), 0);
    ASSERT_EQ(sbc::analysis_filter(*state, zeros, out1, 1, 16), 0);
    for (float v : out1) EXPECT_EQ(v, 0.0f);
}

TEST(AnalysisFilter, CoefficientsFollowTheTabulatedCosinesAndWindowSigns) {
    auto s4 = sbc::analysis_init(4, 1);
    const std::array<std::array<float, 4>, 2> rows4 = {
        {{0.70710677f, 0.9238795f, 1.0f, -0.38268343f},
         {-0.70710677f, 0.38268343f, 1.0f, 0.9238795f}}};
    for (int l = 0; l < 2; ++l)
        for (int j = 0; j < 4; ++j) EXPECT_FLOAT_EQ(s4->cosine[l][j], rows4[l][j]);
    auto s8 = sbc::analysis_init(8, 1);
    const std::array<float, 8> row8 = {0.70710677f, 0.8314696f,   0.9238795f,   0.98078525f,
                                       1.0f,        -0.19509032f, -0.38268343f, -0.55557024f};
    for (int j = 0; j < 8; ++j) EXPECT_FLOAT_EQ(s8->cosine[0][j], row8[j]);
    // Window: the prototype with odd groups of 2M taps negated, mirrored about L/2.
    EXPECT_EQ(s8->window[7], 1.7837172e-03f);
    EXPECT_EQ(s8->window[16], 5.6594945e-03f);  // h[16] negated
    EXPECT_EQ(s8->window[31], -5.3187303e-02f); // h[31] negated
    EXPECT_EQ(s8->window[40], 1.4695507e-01f);
    EXPECT_EQ(s8->window[49], s8->window[31]); // h[49] = h[31], both in negated groups
    EXPECT_EQ(s4->window[8], 1.0913762e-02f);  // h[8] negated
    EXPECT_EQ(s4->window[39], s4->window[1]);  // h[39] = h[1], groups 4 and 0 keep their sign
}

TEST(AnalysisFilter, RefusesWhatDoesNotFitItsArrays) {
    EXPECT_FALSE(sbc::analysis_init(6, 1));
    EXPECT_FALSE(sbc::analysis_init(8, 3));
    auto s = sbc::analysis_init(8, 1);
    std::vector<float> in(8 * 16), out(8 * 16);
    EXPECT_EQ(sbc::analysis_filter(*s, in, out, 1, 16), -1); // no such channel
    EXPECT_EQ(sbc::analysis_filter(*s, std::span(in).first(100), out, 0, 16), -1); // short input
    EXPECT_EQ(sbc::analysis_filter(*s, in, std::span(out).first(100), 0, 16), -1);
}

// Frame f of a test signal for the frame filter: random full-scale PCM, with every fifth frame
// one of the inputs where rounding and zero signs are easiest to get wrong: silence, the extreme
// values alternating, a square wave at full scale, lone impulses, and values of ±1. Frames 0-2
// and 12-16 of every 20 are silent (the filter skips whole silent frames), and the run at 12
// follows a frame whose only sound is its last instant, which the filter remembers longest.
std::vector<int16_t> frame_pcm(size_t values, int f, std::mt19937& rng) {
    std::uniform_int_distribution<int> sample(-32768, 32767);
    const int phase = f % 20;
    const int kind = phase < 3 || (phase >= 12 && phase < 17) ? 0
                     : phase == 11                            ? 6
                     : f % 5 == 4                             ? f / 5 % 5
                                                              : 5;
    std::vector<int16_t> pcm(values);
    for (size_t i = 0; i < values; ++i) {
        const int r = sample(rng);
        const std::array<int, 7> kinds = {0,
                                          i % 2 ? -32768 : 32767,
                                          i / 8 % 2 ? -32768 : 32767,
                                          i % 37 == 5 ? -32768 : 0,
                                          r % 2 ? 1 : -1,
                                          r,
                                          i + 2 >= values ? -1 : 0};
        pcm[i] = static_cast<int16_t>(kinds[static_cast<size_t>(kind)]);
    }
    return pcm;
}

// One frame of interleaved PCM through the plain filter (channel by channel, as floats) and
// through the frame filter: the same bits, or the first channel that differs. With `filter`
// false the frame filter only stores the frame (the frames after it show its history).
testing::AssertionResult same_bits(AnalysisState& plain, AnalysisState& fast,
                                   const std::vector<int16_t>& pcm, int channels, int blocks,
                                   bool filter = true) {
    const size_t n = pcm.size() / static_cast<size_t>(channels);
    std::array<sbc::SampleRow, 2> expected{}, got{};
    for (int c = 0; c < channels; ++c) {
        std::vector<float> in(n);
        for (size_t t = 0; t < n; ++t)
            in[t] = pcm[static_cast<size_t>(channels) * t + static_cast<size_t>(c)];
        if (sbc::analysis_filter(plain, in, expected[c], c, blocks) != 0)
            return testing::AssertionFailure() << "the plain filter refused the frame";
    }
    sbc::analysis_frame(fast, pcm, channels, blocks, got, filter);
    if (!filter) return testing::AssertionSuccess();
    for (int c = 0; c < channels; ++c)
        if (std::memcmp(expected[c].data(), got[c].data(), n * sizeof(float)) != 0)
            return testing::AssertionFailure() << "channel " << c << " differs";
    return testing::AssertionSuccess();
}

} // namespace

// The frame filter, on every implementation this processor runs, against the plain filter: the
// same bits for mono and stereo, every band count and block length, over enough frames that the
// history is moved back to the start of its rows several times.
TEST(AnalysisFrame, EveryImplementationGivesThePlainFiltersBits) {
    using sbc::FilterPath;
    std::mt19937 rng(11);
    for (FilterPath path :
         {FilterPath::scalar, FilterPath::sse2, FilterPath::avx2, FilterPath::avx512}) {
        if (!sbc::filter_path_available(path)) continue;
        for (int channels : {1, 2}) {
            for (int m : {4, 8}) {
                for (int blocks : {4, 8, 12, 15, 16}) { // 15: mSBC
                    auto plain = sbc::analysis_init(m, channels);
                    auto fast = sbc::analysis_init(m, channels);
                    fast->path = path;
                    const auto values = static_cast<size_t>(m * blocks * channels);
                    for (int frame = 0; frame < 80; ++frame)
                        ASSERT_TRUE(same_bits(*plain, *fast, frame_pcm(values, frame, rng),
                                              channels, blocks))
                            << "path " << static_cast<int>(path) << " channels " << channels
                            << " M=" << m << " blocks " << blocks << " frame " << frame;
                }
            }
        }
    }
}

// The frame filter folds partial sums with single-precision adds where the plain filter adds in
// double and rounds: the same value for any two singles, ties and cancellations included.
TEST(AnalysisFrame, SingleAddOfTwoSinglesIsTheirDoubleSumRoundedToSingle) {
    std::mt19937 rng(5);
    std::uniform_int_distribution<uint32_t> mantissa(0, (1u << 24) - 1);
    std::uniform_int_distribution<int> exponent(-30, 20), gap(0, 30), sign(0, 1);
    const auto single = [&](int e) {
        const float v = std::ldexp(static_cast<float>(mantissa(rng) | (1u << 23)), e - 23);
        return sign(rng) ? -v : v;
    };
    for (int i = 0; i < 200000; ++i) {
        const int e = exponent(rng);
        volatile float a = single(e), b = single(e - gap(rng));
        if (i % 4 == 0) b = std::ldexp(1.0f, e - 24) * (sign(rng) ? -1.0f : 1.0f); // a tie
        const float sum = a + b, difference = a - b;
        ASSERT_EQ(sum, static_cast<float>(static_cast<double>(a) + static_cast<double>(b)));
        ASSERT_EQ(difference, static_cast<float>(static_cast<double>(a) - static_cast<double>(b)));
    }
}

// All implementations share one history layout, a frame may hold any number of blocks from 1
// to 16, and a frame may be only stored (a filter being filled): a stream whose frames change
// all three at random still gives the plain filter's bits, so no implementation leaves the
// history in a state another one misreads.
TEST(AnalysisFrame, PathAndBlockCountMayChangeFromFrameToFrame) {
    using sbc::FilterPath;
    std::vector<FilterPath> paths;
    for (FilterPath p :
         {FilterPath::scalar, FilterPath::sse2, FilterPath::avx2, FilterPath::avx512})
        if (sbc::filter_path_available(p)) paths.push_back(p);
    std::mt19937 rng(23);
    std::uniform_int_distribution<int> block_count(1, 16);
    std::uniform_int_distribution<size_t> pick(0, paths.size() - 1);
    for (int channels : {1, 2}) {
        for (int m : {4, 8}) {
            auto plain = sbc::analysis_init(m, channels);
            auto fast = sbc::analysis_init(m, channels);
            for (int frame = 0; frame < 200; ++frame) {
                const int blocks = block_count(rng);
                fast->path = paths[pick(rng)];
                const auto values = static_cast<size_t>(m * blocks * channels);
                ASSERT_TRUE(same_bits(*plain, *fast, frame_pcm(values, frame, rng), channels,
                                      blocks, frame % 5 != 3))
                    << "path " << static_cast<int>(fast->path) << " channels " << channels
                    << " M=" << m << " blocks " << blocks << " frame " << frame;
            }
        }
    }
}
