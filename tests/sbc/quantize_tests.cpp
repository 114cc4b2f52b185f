// Quantiser: truncation toward zero of (x / scale + 1) × levels / 2, band by band.
#include "sbc/encode/pack.h"
#include "sbc/encode/quantize.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>
#include <limits>
#include <memory>
#include <vector>

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

// A band sample from 24 random bits for scale factor `sf` and `bits` bits, where quantisers go
// wrong: ±scale, ±0, one step inside the scale, on or one step beside a quantised level's edge,
// the smallest magnitudes, or anywhere within the scale. With `beyond`, also samples outside the
// scale (which the encoder never makes): up to 2^36, infinite or NaN.
float edge_sample(uint32_t random, int32_t sf, int32_t bits, bool beyond) {
    const float scale = std::ldexp(1.0f, sf + 1);
    const float sign = (random & 8) != 0 ? -1.0f : 1.0f;
    const uint32_t rest = random >> 4;                            // 20 bits
    const float fraction = static_cast<float>(rest) / 1048576.0f; // 0 .. < 1
    const double levels = static_cast<double>((1u << bits) - 1u);
    switch (random % (beyond ? 8 : 6)) {
    case 0:
        return sign * scale;
    case 1:
        return sign * 0.0f;
    case 2:
        return sign * std::nextafter(scale, 0.0f);
    case 3: { // where (x / scale + 1) × levels / 2 is a whole number, or one step beside it
        const double k = std::floor(fraction * (levels + 1));
        const auto x = static_cast<float>(levels > 0 ? scale * (2 * k / levels - 1) : 0);
        const float direction[] = {0.0f, 1.0f, -1.0f};
        return std::nextafter(x, x + direction[rest % 3] * scale);
    }
    case 4:
        return sign * std::numeric_limits<float>::denorm_min() * static_cast<float>(rest % 4);
    case 5:
        return sign * scale * fraction;
    case 6:
        return sign * scale * (1.0f + fraction * 65536.0f);
    default: {
        const float odd[] = {std::numeric_limits<float>::infinity(),
                             std::numeric_limits<float>::quiet_NaN(), 65536.0f, 1e30f};
        return sign * odd[rest % 4];
    }
    }
}

// The formula as written: a division by the scale, each step rounded in double, then the
// saturation that quantize_channel promises for samples beyond their scale.
int32_t plain_quantize(float x, int32_t scale_factor, int32_t bits) {
    const double levels = static_cast<double>((1u << bits) - 1u);
    double q = ((static_cast<double>(x) / std::ldexp(1.0, scale_factor + 1)) + 1.0) * levels * 0.5;
    if (!(q >= 0.0)) q = 0.0;
    if (q > levels) q = levels;
    return static_cast<int32_t>(q);
}

// A random frame of any shape and mode: scale factors 0..15, bits 0..16 (a random top per frame,
// so that totals per block run from 0 to 256 bits), edge samples, beyond the scale in every
// eighth frame; or, `within_scale`, only samples the encoder makes: finite, |x| <= scale.
// Returns the sample bits per block.
int32_t random_frame(uint32_t& x, int32_t trial, sbc::EncoderState& s, sbc::FrameWorkspace& ws,
                     bool within_scale = false) {
    const auto next = [&x] { return (x = x * 1103515245u + 12345u) >> 8; };
    s.channels = 1 + trial % 2;
    s.channel_mode = s.channels == 1 ? sbc::MONO : static_cast<int32_t>(1 + next() % 3);
    s.subbands = trial % 4 < 2 ? 4 : 8;
    s.blk_len = 1 + static_cast<int32_t>(next() % 16);
    s.header_byte = static_cast<uint8_t>(next());
    s.bitpool = static_cast<int32_t>(next() % 256);
    const uint32_t top = next() % 17;
    int32_t per_block = 0;
    for (int32_t ch = 0; ch < s.channels; ++ch) {
        for (int32_t sb = 0; sb < s.subbands; ++sb) {
            ws.join[sb] = static_cast<int32_t>(next() % 2);
            ws.scale_factor[ch][sb] = static_cast<int32_t>(next() % 16);
            per_block += ws.bits[ch][sb] = static_cast<int32_t>(next() % (top + 1));
        }
        for (int32_t i = 0; i < s.blk_len * s.subbands; ++i) {
            const int32_t sf = ws.scale_factor[ch][i % s.subbands];
            const float x = edge_sample(next(), sf, ws.bits[ch][i % s.subbands],
                                        trial % 8 == 0 && !within_scale);
            const float scale = std::ldexp(1.0f, sf + 1);
            ws.sb_sample[ch][i] = within_scale ? std::clamp(x, -scale, scale) : x;
        }
    }
    return per_block;
}

void quantize_plainly(const sbc::EncoderState& s, sbc::FrameWorkspace& ws) {
    for (int32_t ch = 0; ch < s.channels; ++ch)
        for (int32_t i = 0; i < s.blk_len * s.subbands; ++i)
            ws.quantized[ch][i] =
                plain_quantize(ws.sb_sample[ch][i], ws.scale_factor[ch][i % s.subbands],
                               ws.bits[ch][i % s.subbands]);
}

// Every path of quantize_frame against the formula (the plain one on the widest vectors the
// compiler may use here).
TEST(Quantize, EveryPathMatchesThePlainFormulaAtEveryEdge) {
    auto ws = std::make_unique<sbc::FrameWorkspace>();
    auto plain = std::make_unique<sbc::FrameWorkspace>();
    for (sbc::QuantizePath path : {sbc::QuantizePath::plain, sbc::QuantizePath::avx512}) {
        if (!sbc::quantize_path_available(path)) continue;
        uint32_t x = 4242;
        for (int32_t trial = 0; trial < 3000; ++trial) {
            sbc::EncoderState s;
            random_frame(x, trial, s, *ws);
            for (auto& row : ws->quantized) row.fill(-1); // nothing past the frame is written
            *plain = *ws;
            quantize_plainly(s, *plain);
            sbc::quantize_frame_on(path, *ws, s);
            ASSERT_EQ(ws->quantized, plain->quantized)
                << "path " << static_cast<int>(path) << ", trial " << trial;
        }
    }
}

// Quantising while packing writes the frame of the formula's values packed plainly, for the
// samples the encoder makes (it trusts them to lie within their scale).
TEST(Quantize, WhilePackingMatchesThePlainFormulaAtEveryEdge) {
    if (!sbc::quantizing_pack_available()) GTEST_SKIP() << "no AVX-512 here";
    uint32_t x = 777;
    auto ws = std::make_unique<sbc::FrameWorkspace>();
    for (int32_t trial = 0; trial < 4000; ++trial) {
        sbc::EncoderState s;
        const int32_t per_block = random_frame(x, trial, s, *ws, true);
        const auto length = static_cast<size_t>(
            sbc::frame_bytes(s.channel_mode, s.channels, s.subbands, per_block * s.blk_len));
        // The bytes after the frame stay as they were.
        std::vector<uint8_t> fused(length + 32, 0x11), plain(length + 32, 0x11);
        ASSERT_EQ(sbc::quantize_and_write_frame(std::span(fused).first(length), s, *ws),
                  static_cast<int32_t>(length));
        quantize_plainly(s, *ws);
        sbc::write_frame_on(sbc::PackPath::scalar, std::span(plain).first(length), s, ws->join,
                            ws->scale_factor, ws->quantized, ws->bits);
        ASSERT_EQ(fused, plain) << "trial " << trial;
    }
}

} // namespace
