// The decoder's stages and its public face: fields read back from frames built bit by bit,
// the dequantiser's known values, rounding and saturation, every vector path against the plain
// one, what a damaged, lost or refused frame does to the output and the history, a round trip
// through the encoder, and locked digests of decoded output.
#include "decoder_model.h"
#include "decoders.h"
#include "sbc/bitalloc.h"
#include "sbc/decode/output.h"
#include "sbc/decode/reconstruct.h"
#include "sbc/decode/synthesis.h"
#include "sbc/decode/unpack.h"
#include "sbc_test_util.h"
#include "wave_fixture.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <limits>
#include <span>
#include <string>
#include <vector>

namespace {

using sbc::DUAL_CHANNEL, sbc::JOINT_STEREO, sbc::LOUDNESS, sbc::MONO, sbc::SNR, sbc::STEREO;

std::span<const uint8_t> bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

// One header of every channel mode, both allocations, both subband counts, every block count,
// every rate, the bitpool limits, and mSBC.
std::vector<sbc::FrameHeader> every_shape() {
    return {
        dectest::sbc_header(0, 4, MONO, LOUDNESS, 4, 0),
        dectest::sbc_header(1, 8, MONO, SNR, 8, 128),
        dectest::sbc_header(2, 12, DUAL_CHANNEL, SNR, 4, 64),
        dectest::sbc_header(3, 16, DUAL_CHANNEL, LOUDNESS, 8, 31),
        dectest::sbc_header(2, 16, STEREO, SNR, 8, 255),
        dectest::sbc_header(0, 4, STEREO, LOUDNESS, 4, 1),
        dectest::sbc_header(2, 16, JOINT_STEREO, SNR, 8, 53),
        dectest::sbc_header(3, 8, JOINT_STEREO, LOUDNESS, 4, 128),
        dectest::msbc_header(),
    };
}

TEST(DecoderUnpack, BuiltFramesReadBackFieldByField) {
    std::mt19937 rng(7);
    for (const sbc::FrameHeader& h : every_shape()) {
        for (int trial = 0; trial < 20; ++trial) {
            SCOPED_TRACE("bitpool " + std::to_string(h.bitpool) + " mode " +
                         std::to_string(h.channel_mode) + " trial " + std::to_string(trial));
            dectest::FrameFields fields = dectest::random_frame(h, rng, trial == 0);
            fields.join[h.subbands - 1] = trial % 2; // reserved: written, never honoured
            // Exactly the frame's bytes, in a buffer of their own: any read past them is caught
            // by the address sanitizer.
            const std::string frame = dectest::build_frame(fields);
            const std::vector<uint8_t> exact(frame.begin(), frame.end());
            sbc::FrameFields f;
            ASSERT_TRUE(sbc::unpack_frame(exact, h, f));
            std::array<sbc::SubbandRow, 2> bits{};
            sbc::allocate_frame_bits(sbc::allocation_params(h), fields.scale_factor, bits);
            for (int32_t ch = 0; ch < h.channels; ++ch) {
                for (int32_t sb = 0; sb < h.subbands; ++sb) {
                    EXPECT_EQ(f.scale_factor[ch][sb], fields.scale_factor[ch][sb]);
                    EXPECT_EQ(f.bits[ch][sb], bits[ch][sb]);
                    const bool joined = h.channel_mode == JOINT_STEREO && sb + 1 < h.subbands &&
                                        fields.join[sb] != 0;
                    EXPECT_EQ(f.join[sb], joined ? 1 : 0);
                }
                for (int32_t i = 0; i < h.blocks * h.subbands; ++i)
                    ASSERT_EQ(f.quantized[ch][i], fields.quantized[ch][i]) << "value " << i;
            }
        }
    }
}

TEST(DecoderReconstruct, BandSamplesFollowTheLevelFormulaAndJointStereoIsUndone) {
    struct Case {
        int32_t bits, scale_factor, q;
        double sample;
    };
    // scale × ((2q + 1) / levels − 1), levels = 2^bits − 1, scale = 2^(scale_factor + 1)
    const Case cases[] = {
        {16, 3, 32767, 0.0}, // the middle of 16 bits is exactly 0
        {16, 15, 65535, 65536.0 * 65536.0 / 65535.0},
        {16, 15, 0, -65536.0 * 65534.0 / 65535.0},
        {1, 5, 0, 0.0}, // one bit: 0 or twice the scale
        {1, 5, 1, 128.0},
        {2, 0, 0, -4.0 / 3.0}, // levels 3, scale 2: steps of 4/3
        {2, 0, 3, 8.0 / 3.0},
        {4, 1, 9, 4.0 * 4.0 / 15.0}, // (2·9 + 1 − 15) × 4 / 15
        {0, 9, 0, 0.0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("bits " + std::to_string(c.bits) + " q " + std::to_string(c.q));
        sbc::FrameHeader h = dectest::sbc_header(2, 4, MONO, SNR, 4, 0);
        sbc::FrameFields f{};
        f.bits[0] = {c.bits, 0, 0, 0};
        f.scale_factor[0] = {c.scale_factor, 0, 0, 0};
        for (int32_t blk = 0; blk < 4; ++blk) f.quantized[0][blk * 4] = c.q;
        std::array<sbc::BandRow, 2> sb{};
        sbc::reconstruct_frame(f, h, sb);
        EXPECT_DOUBLE_EQ(sb[0][0], c.sample);
        EXPECT_DOUBLE_EQ(sb[0][12], c.sample);
        EXPECT_EQ(sb[0][0] == 0.0, c.sample == 0.0) << "a zero is exact";
        EXPECT_FALSE(std::signbit(sb[0][1])) << "a band of 0 bits gives +0";
    }
    // Joined bands: left = mid + side, right = mid − side; the last band is never joined.
    sbc::FrameHeader h = dectest::sbc_header(2, 4, JOINT_STEREO, SNR, 4, 20);
    sbc::FrameFields f{};
    f.join = {1, 0, 1, 1};
    for (int32_t ch = 0; ch < 2; ++ch) {
        f.bits[ch] = {2, 2, 2, 2};
        f.scale_factor[ch] = {0, 0, 0, 0};
        for (int32_t i = 0; i < 16; ++i) f.quantized[ch][i] = ch == 0 ? 3 : 2; // 8/3, 4/3
    }
    std::array<sbc::BandRow, 2> sb{};
    sbc::reconstruct_frame(f, h, sb);
    const double mid = 8.0 / 3.0, side = 4.0 / 3.0;
    const double expect_left[] = {mid + side, mid, mid + side, mid};
    const double expect_right[] = {mid - side, side, mid - side, side};
    for (int32_t band = 0; band < 4; ++band) {
        EXPECT_DOUBLE_EQ(sb[0][12 + band], expect_left[band]) << band;
        EXPECT_DOUBLE_EQ(sb[1][12 + band], expect_right[band]) << band;
    }
}

TEST(DecoderOutput, RoundsHalvesAwayFromZeroSaturatesAndScalesFloats) {
    struct Case {
        double x;
        int16_t pcm;
    };
    const double below_half = std::nextafter(0.5, 0.0);
    const Case cases[] = {
        {0.5, 1},           {-0.5, -1},        {below_half, 0},  {-below_half, 0},
        {2.5, 3},           {-2.5, -3},        {1.4999, 1},      {-7.6, -8},
        {32766.5, 32767},   {32767.49, 32767}, {32767.5, 32767}, {70000.0, 32767},
        {-32768.5, -32768}, {-1e300, -32768},  {1e300, 32767},   {-0.0, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(sbc::pcm16_of(c.x), c.pcm) << c.x;
        std::array<sbc::BandRow, 2> pcm{};
        std::fill(pcm[0].begin(), pcm[0].end(), c.x);
        std::fill(pcm[1].begin(), pcm[1].end(), -c.x);
        for (sbc::OutputPath path : {sbc::OutputPath::plain, sbc::OutputPath::avx2}) {
            if (!sbc::output_path_available(path)) continue;
            std::array<int16_t, 256> out{};
            std::array<float, 256> floats{};
            sbc::write_pcm16_on(path, pcm, 2, 128, out);
            sbc::write_float_on(path, pcm, 2, 128, floats);
            EXPECT_EQ(out[254], c.pcm) << c.x;
            EXPECT_EQ(out[255], sbc::pcm16_of(-c.x)) << c.x;
            EXPECT_EQ(floats[254], static_cast<float>(c.x / 32768.0)) << "not saturated";
        }
    }
}

// Every path gives the plain path's bits: random values of every size and sign (ties, huge
// values, zeros of both signs) through every channel count and length.
TEST(DecoderOutput, EveryPathGivesThePlainPathsSamples) {
    std::mt19937_64 rng(11);
    std::array<sbc::BandRow, 2> pcm{};
    for (int trial = 0; trial < 200; ++trial) {
        for (auto& row : pcm) {
            for (double& v : row) {
                const uint64_t r = rng();
                v = r % 5 == 0   ? static_cast<double>(static_cast<int32_t>(r >> 40) % 70000) / 2
                    : r % 5 == 1 ? std::ldexp(static_cast<double>(r >> 11), -(int)(r % 60))
                    : r % 5 == 2 ? -0.0
                                 : static_cast<double>(static_cast<int64_t>(r)) / 1e14;
            }
        }
        const int32_t channels = 1 + trial % 2;
        const int32_t instants = 8 * (1 + trial % 16);
        std::array<int16_t, 256> plain{}, wide{};
        std::array<float, 256> plain_f{}, wide_f{};
        plain.fill(7), wide.fill(7), plain_f.fill(7), wide_f.fill(7);
        sbc::write_pcm16_on(sbc::OutputPath::plain, pcm, channels, instants, plain);
        sbc::write_float_on(sbc::OutputPath::plain, pcm, channels, instants, plain_f);
        if (!sbc::output_path_available(sbc::OutputPath::avx2)) GTEST_SKIP() << "no AVX2";
        sbc::write_pcm16_on(sbc::OutputPath::avx2, pcm, channels, instants, wide);
        sbc::write_float_on(sbc::OutputPath::avx2, pcm, channels, instants, wide_f);
        ASSERT_EQ(plain, wide) << "trial " << trial;
        ASSERT_EQ(std::memcmp(plain_f.data(), wide_f.data(), sizeof plain_f), 0) << trial;
    }
}

// Frames of every shape, one after another on each path's own history (so the history and the
// shape changes are covered too): band samples and history bit for bit the plain path's.
TEST(DecoderSynthesis, EveryPathGivesThePlainPathsBits) {
    std::mt19937_64 rng(5);
    const auto plain = sbc::synthesis_create();
    plain->path = sbc::SynthesisPath::plain;
    for (sbc::SynthesisPath path : {sbc::SynthesisPath::avx2, sbc::SynthesisPath::avx512}) {
        if (!sbc::synthesis_path_available(path)) continue;
        const auto wide = sbc::synthesis_create();
        wide->path = path;
        sbc::synthesis_clear(*plain);
        for (int frame = 0; frame < 300; ++frame) {
            const int32_t subbands = frame / 50 % 2 == 0 ? 8 : 4; // changes every 50 frames
            const int32_t blocks = 1 + static_cast<int32_t>(rng() % 16);
            if (frame % 50 == 0) {
                sbc::synthesis_clear(*plain);
                sbc::synthesis_clear(*wide);
            }
            sbc::BandRow sb{};
            for (double& v : sb)
                v = static_cast<double>(static_cast<int64_t>(rng())) / 9e13 *
                    (rng() % 3 == 0 ? 1e-9 : 1.0);
            for (int32_t ch = 0; ch < 2; ++ch) {
                sbc::BandRow a{}, b{};
                sbc::synthesize_channel(*plain, ch, subbands, blocks, sb, a);
                sbc::synthesize_channel(*wide, ch, subbands, blocks, sb, b);
                ASSERT_EQ(std::memcmp(a.data(), b.data(), sizeof a), 0)
                    << "path " << static_cast<int>(path) << " frame " << frame;
            }
            ASSERT_EQ(std::memcmp(plain->v.data(), wide->v.data(), sizeof plain->v), 0);
        }
    }
}

// ---- The public face ----------------------------------------------------------------------

constexpr int16_t guard = 0x5A5A;

struct Decoded {
    int32_t result = 0;
    std::vector<int16_t> pcm; // the whole buffer, guards included
};

Decoded decode_one(sbc::DecoderState& d, const std::string& frame, const sbc::FrameHeader& h,
                   size_t room = 256) {
    Decoded out{0, std::vector<int16_t>(room, guard)};
    out.result = sbc::decoder_decode_frame(d, bytes(frame), h, out.pcm);
    return out;
}

sbc::FrameHeader parsed(const std::string& frame) {
    sbc::FrameHeader h;
    EXPECT_EQ(sbc::frame_header_parse(bytes(frame), h), sbc::HEADER_OK);
    return h;
}

// A few frames of music from the encoder, one string each.
std::vector<std::string> encoded_frames(const sbctest::StreamParams& p, int32_t count) {
    const auto pcm =
        dectest::music(p.channels, p.sampling_frequency, count * p.subbands * p.blk_len);
    const std::string stream = sbctest::encode_stream(p, pcm);
    std::vector<std::string> frames;
    for (size_t at = 0; at < stream.size();) {
        const auto h = parsed(stream.substr(at));
        frames.push_back(stream.substr(at, static_cast<size_t>(h.length)));
        at += static_cast<size_t>(h.length);
    }
    return frames;
}

// What a fresh decoder makes of frames[from..]: a stream that starts after silence.
std::vector<int16_t> fresh_decode(const std::vector<std::string>& frames, size_t from) {
    std::string tail;
    for (size_t i = from; i < frames.size(); ++i) tail += frames[i];
    return dectest::decode_stream(tail);
}

TEST(Decoder, RefusedArgumentsWriteAndChangeNothing) {
    const auto frames = encoded_frames({44100, 2, 8, 16, JOINT_STEREO, 53, SNR}, 4);
    const sbc::FrameHeader h = parsed(frames[0]);
    sbc::FrameHeader other_bitpool = h;
    other_bitpool.bitpool = 52;
    sbc::FrameHeader bogus = h;
    bogus.subbands = 6;
    struct Case {
        const char* what;
        std::string frame;
        sbc::FrameHeader header;
        size_t room;
    };
    const Case cases[] = {
        {"a byte short", frames[0].substr(0, frames[0].size() - 1), h, 256},
        {"one value short of room", frames[0], h, 255},
        {"a header of other bytes", frames[0], other_bitpool, 256},
        {"a header no frame has", frames[0], bogus, 256},
        {"no header at all", std::string(200, '\0'), h, 256},
    };
    for (const Case& c : cases) {
        auto d = sbc::decoder_create();
        decode_one(*d, frames[0], h); // some history
        const Decoded r = decode_one(*d, c.frame, c.header, c.room);
        EXPECT_EQ(r.result, sbc::DECODE_REFUSED) << c.what;
        EXPECT_EQ(r.pcm, std::vector<int16_t>(c.room, guard)) << c.what;
        // The history is untouched: the next frames decode as if the refusal never happened.
        std::vector<int16_t> rest;
        for (size_t i = 1; i < frames.size(); ++i) {
            const Decoded next = decode_one(*d, frames[i], h);
            rest.insert(rest.end(), next.pcm.begin(), next.pcm.begin() + next.result * 2);
        }
        const auto all = fresh_decode(frames, 0);
        EXPECT_EQ(rest, std::vector<int16_t>(all.begin() + 256, all.end())) << c.what;
        EXPECT_EQ(d->frames_decoded, 4) << c.what;
    }
    auto d = sbc::decoder_create();
    std::vector<int16_t> room(256, guard);
    EXPECT_EQ(sbc::decoder_conceal_frame(*d, bogus, room), sbc::DECODE_REFUSED);
    sbc::FrameHeader mono_two = h;
    mono_two.channel_mode = MONO;
    EXPECT_EQ(sbc::decoder_conceal_frame(*d, mono_two, room), sbc::DECODE_REFUSED);
    EXPECT_EQ(sbc::decoder_conceal_frame(*d, h, std::span(room).first(255)), sbc::DECODE_REFUSED);
    EXPECT_EQ(room, std::vector<int16_t>(256, guard));
}

// With Concealment::silence, a damaged frame (its CRC fails) and a lost one give silence of
// exactly their length, count themselves, and restart the history: what follows decodes as a
// stream of its own would.
TEST(Decoder, SilencedFramesKeepTimingAndRestartTheHistory) {
    for (const sbctest::StreamParams& p :
         {sbctest::StreamParams{44100, 2, 8, 16, JOINT_STEREO, 53, SNR},
          sbctest::StreamParams{16000, 1, 4, 8, MONO, 30, LOUDNESS}}) {
        auto frames = encoded_frames(p, 12);
        const sbc::FrameHeader h = parsed(frames[0]);
        const int32_t values = h.blocks * h.subbands * h.channels;
        frames[5][5] ^= 0x10; // a scale-factor bit
        for (bool lost : {false, true}) {
            auto d = sbc::decoder_create();
            sbc::decoder_set_concealment(*d, sbc::Concealment::silence);
            std::vector<int16_t> out;
            for (size_t i = 0; i < frames.size(); ++i) {
                Decoded r{0, std::vector<int16_t>(300, guard)};
                if (i == 5 && lost)
                    r.result = sbc::decoder_conceal_frame(*d, h, r.pcm);
                else
                    r.result = sbc::decoder_decode_frame(*d, bytes(frames[i]), h, r.pcm);
                EXPECT_EQ(r.result,
                          i == 5 && !lost ? sbc::DECODE_CRC_ERROR : h.blocks * h.subbands);
                EXPECT_EQ(r.pcm[static_cast<size_t>(values)], guard) << "written past the frame";
                out.insert(out.end(), r.pcm.begin(), r.pcm.begin() + values);
            }
            const auto gap = out.begin() + 5 * values;
            EXPECT_TRUE(std::all_of(gap, gap + values, [](int16_t v) { return v == 0; }));
            EXPECT_EQ(std::vector<int16_t>(gap + values, out.end()), fresh_decode(frames, 6));
            EXPECT_EQ(d->frames_decoded, 11);
            EXPECT_EQ(d->frames_damaged, lost ? 0 : 1);
            EXPECT_EQ(d->frames_concealed, lost ? 1 : 0);
        }
    }
}

// A change of subbands or channels starts the history afresh; any other change (bitpool,
// allocation, blocks, joint or not, mSBC after SBC of the same shape) runs it on.
TEST(Decoder, HistoryRestartsOnlyWhenSubbandsOrChannelsChange) {
    std::mt19937 rng(3);
    const auto frames_of = [&rng](const sbc::FrameHeader& h, int n) {
        std::vector<std::string> f;
        for (int i = 0; i < n; ++i)
            f.push_back(dectest::build_frame(dectest::random_frame(h, rng, false, 9)));
        return f;
    };
    struct Case {
        sbc::FrameHeader first, then;
        bool restarts;
    };
    const Case cases[] = {
        {dectest::sbc_header(2, 16, JOINT_STEREO, SNR, 8, 53),
         dectest::sbc_header(2, 16, JOINT_STEREO, SNR, 4, 30), true},
        {dectest::sbc_header(2, 16, STEREO, SNR, 8, 53),
         dectest::sbc_header(2, 16, MONO, SNR, 8, 30), true},
        {dectest::sbc_header(0, 16, MONO, SNR, 8, 30), dectest::msbc_header(), false},
        {dectest::sbc_header(2, 16, STEREO, SNR, 8, 53),
         dectest::sbc_header(2, 4, DUAL_CHANNEL, LOUDNESS, 8, 9), false},
    };
    for (const Case& c : cases) {
        const auto a = frames_of(c.first, 3);
        const auto b = frames_of(c.then, 3);
        auto d = sbc::decoder_create();
        for (const auto& f : a) decode_one(*d, f, parsed(f));
        std::vector<int16_t> after;
        for (const auto& f : b) {
            const Decoded r = decode_one(*d, f, parsed(f));
            after.insert(after.end(), r.pcm.begin(), r.pcm.begin() + r.result * c.then.channels);
        }
        const auto alone = fresh_decode(b, 0);
        if (c.restarts)
            EXPECT_EQ(after, alone);
        else
            EXPECT_NE(after, alone) << "the history was dropped";
    }
}

// The reserved join flag of the last band changes the CRC but not the samples; float output
// is the same filter output scaled; bitpool 0 (no sample bits) decodes to silence.
TEST(Decoder, ReservedFlagFloatOutputAndEmptyFramesDecodeAsStated) {
    std::mt19937 rng(9);
    const sbc::FrameHeader h = dectest::sbc_header(3, 12, JOINT_STEREO, LOUDNESS, 8, 60);
    dectest::FrameFields fields = dectest::random_frame(h, rng, false, 9);
    fields.join[7] = 0;
    const std::string plain = dectest::build_frame(fields);
    fields.join[7] = 1;
    const std::string reserved = dectest::build_frame(fields);
    ASSERT_NE(plain, reserved);
    auto d1 = sbc::decoder_create(), d2 = sbc::decoder_create();
    EXPECT_EQ(decode_one(*d1, plain, h).pcm, decode_one(*d2, reserved, h).pcm);

    auto d3 = sbc::decoder_create();
    std::vector<float> floats(256, -9.0f);
    ASSERT_EQ(sbc::decoder_decode_frame_float(*d3, bytes(plain), h, floats), 96);
    const auto pcm = decode_one(*sbc::decoder_create(), plain, h).pcm;
    for (size_t i = 0; i < 192; ++i)
        EXPECT_EQ(sbc::pcm16_of(static_cast<double>(floats[i]) * 32768.0), pcm[i]) << i;
    EXPECT_EQ(floats[192], -9.0f);

    dectest::FrameFields empty =
        dectest::random_frame(dectest::sbc_header(2, 8, STEREO, SNR, 4, 0), rng);
    const Decoded silent =
        decode_one(*sbc::decoder_create(), dectest::build_frame(empty), empty.header);
    EXPECT_EQ(silent.result, 32);
    EXPECT_TRUE(
        std::all_of(silent.pcm.begin(), silent.pcm.begin() + 64, [](int16_t v) { return v == 0; }));
}

// Encoder and decoder in a row give the input back, delayed by 9M + 1 instants.
TEST(Decoder, TheEncodersStreamsComeBackAsTheirInput) {
    for (const sbctest::StreamParams& p :
         {sbctest::StreamParams{44100, 2, 8, 16, JOINT_STEREO, 53, SNR},
          sbctest::StreamParams{32000, 2, 4, 8, STEREO, 60, LOUDNESS},
          sbctest::StreamParams{16000, 1, 8, 12, MONO, 40, SNR}}) {
        auto tones = testsupport::sine_frames(p.channels, p.sampling_frequency, 24000, 441.3, 0.3);
        const auto high =
            testsupport::sine_frames(p.channels, p.sampling_frequency, 24000, 3107.9, 0.2);
        for (size_t i = 0; i < tones.size(); ++i) tones[i] += high[i];
        const auto input = testsupport::to_pcm16(tones);
        const auto decoded = dectest::decode_stream(sbctest::encode_stream(p, input));
        const double snr = testsupport::snr_db(input, decoded, p.channels,
                                               testsupport::codec_delay(p.subbands), 1000, 20000);
        EXPECT_GT(snr, 50.0) << p.subbands << " subbands, bitpool " << p.bitpool;
    }
}

// ---- Locked output --------------------------------------------------------------------------

// Decoded 16-bit and float samples of a table of streams, by FNV-1a, as first recorded from
// the plain path of an unoptimised build; every path of every build must give them. The
// streams are made from integers only (the encoder's output of a square wave and of noise,
// random frames from a fixed engine), so they are the same everywhere.
TEST(DecoderDigest, DecodedSamplesAreTheRecordedOnes) {
    std::vector<int16_t> noise;
    uint32_t x = 99;
    for (int i = 0; i < 2 * 16000; ++i) {
        x = x * 1664525u + 1013904223u;
        noise.push_back(static_cast<int16_t>(static_cast<int32_t>(x >> 18) - 8192));
    }
    const auto built = [](const sbc::FrameHeader& h, uint32_t seed, bool loud) {
        std::mt19937 rng(seed);
        std::string s;
        for (int i = 0; i < 50; ++i)
            s += dectest::build_frame(dectest::random_frame(h, rng, loud, 10));
        return s;
    };
    struct Case {
        std::string stream;
        uint64_t pcm16, pcm_float;
    };
    const Case cases[] = {
        {sbctest::encode_stream({44100, 2, 8, 16, JOINT_STEREO, 53, SNR}, noise),
         0x737e45a37be8ca4au, 0xfdbd3fded1809a95u},
        {sbctest::encode_stream({48000, 2, 4, 4, JOINT_STEREO, 2, SNR},
                                dectest::square(2, 8000, 40)),
         0xa6c72ebb01e39381u, 0xe0914b389821dad7u},
        {sbctest::encode_stream({16000, 1, 4, 12, MONO, 20, LOUDNESS}, noise), 0x569e272d48ba441au,
         0x12e7ca5dc634c0a2u},
        {built(dectest::sbc_header(1, 8, DUAL_CHANNEL, SNR, 8, 40), 1, false), 0x2cb6372b1f3be887u,
         0x1824e4274593e4edu},
        {built(dectest::sbc_header(2, 16, STEREO, LOUDNESS, 4, 70), 2, true), 0x4ed48bac50571cb2u,
         0x79a05c91955b0e4bu},
        {built(dectest::msbc_header(), 3, false), 0xf16b9de9be25ff20u, 0xee10b0d1e653c2e5u},
    };
    for (sbc::SynthesisPath path :
         {sbc::SynthesisPath::plain, sbc::SynthesisPath::avx2, sbc::SynthesisPath::avx512}) {
        if (!sbc::synthesis_path_available(path)) continue;
        for (size_t i = 0; i < std::size(cases); ++i) {
            const Case& c = cases[i];
            auto d16 = sbc::decoder_create(), dfloat = sbc::decoder_create();
            d16->synthesis->path = dfloat->synthesis->path = path;
            uint64_t h16 = sbctest::fnv1a(nullptr, 0), hfloat = h16;
            std::array<int16_t, 256> pcm{};
            std::array<float, 256> floats{};
            for (size_t at = 0; at < c.stream.size();) {
                const sbc::FrameHeader h = parsed(c.stream.substr(at));
                const auto frame = bytes(c.stream).subspan(at);
                const int32_t n = sbc::decoder_decode_frame(*d16, frame, h, pcm);
                ASSERT_EQ(sbc::decoder_decode_frame_float(*dfloat, frame, h, floats), n);
                ASSERT_GT(n, 0);
                const auto values = static_cast<size_t>(n * h.channels);
                h16 = sbctest::fnv1a(pcm.data(), values * sizeof(int16_t), h16);
                hfloat = sbctest::fnv1a(floats.data(), values * sizeof(float), hfloat);
                at += static_cast<size_t>(h.length);
            }
            SCOPED_TRACE("path " + std::to_string(static_cast<int>(path)) + " case " +
                         std::to_string(i));
            EXPECT_EQ(h16, c.pcm16) << std::hex << "0x" << h16;
            EXPECT_EQ(hfloat, c.pcm_float) << std::hex << "0x" << hfloat;
        }
    }
}

} // namespace
