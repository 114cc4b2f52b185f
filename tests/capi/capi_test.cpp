// The C interface against the programs it stands for, its refusals, and its memory use.
//
//   samples ─► WAVE file ─► vantrel [options] ───────────────► bytes ┐ equal, for every channel
//           └─────────────► vantrel_encoder_encode (pieces) ─► bytes ┘ mode, allocation, shape,
//                                                                      mSBC, H2, float input
//   damaged stream ─► vantrel-decode -t raw ─► samples + summary ┐ equal
//                  └─► vantrel_decoder_decode (pieces) ─► samples + counts ┘
#include "process.h"
#include "vantrel/vantrel.h"
#include "wave_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "counting_new.h"

namespace {

using namespace testsupport;

struct Closer {
    void operator()(vantrel_encoder* e) const { vantrel_encoder_close(e); }
    void operator()(vantrel_decoder* d) const { vantrel_decoder_close(d); }
};
using Encoder = std::unique_ptr<vantrel_encoder, Closer>;
using Decoder = std::unique_ptr<vantrel_decoder, Closer>;

// Encodes `samples` in pieces of `step` values (a multiple of the channel count).
std::string encode(vantrel_encoder* e, const std::vector<int16_t>& samples, size_t step) {
    std::string out;
    std::vector<uint8_t> buffer(200000);
    for (size_t at = 0; at < samples.size(); at += step) {
        size_t written = 0;
        const size_t n = std::min(step, samples.size() - at);
        EXPECT_EQ(
            vantrel_encoder_encode(e, &samples[at], n, buffer.data(), buffer.size(), &written),
            VANTREL_OK);
        out.append(reinterpret_cast<const char*>(buffer.data()), written);
    }
    return out;
}

struct EncodeCase {
    const char* name;
    int rate, channels;
    std::vector<std::string> options; // the program's
    int mode, allocation, subbands, blocks, bit_rate;
    uint32_t msbc = 0; // 1: mSBC, with VANTREL_MSBC_H2 << 1: in H2 units
};

Encoder open(const EncodeCase& c) {
    vantrel_encoder* e = nullptr;
    if (c.msbc != 0) {
        EXPECT_EQ(vantrel_encoder_open_msbc(c.msbc >> 1, &e), VANTREL_OK);
        return Encoder(e);
    }
    vantrel_config config;
    vantrel_config_default(&config, c.rate, c.channels);
    config.channel_mode = c.mode;
    config.allocation = c.allocation;
    config.subbands = c.subbands;
    config.blocks = c.blocks;
    config.bit_rate = c.bit_rate;
    EXPECT_EQ(vantrel_encoder_open(&config, &e), VANTREL_OK);
    return Encoder(e);
}

std::string program_output(std::vector<std::string> options, const std::string& input) {
    options.insert(options.begin(), vantrel_binary());
    options.push_back(input);
    const auto run = run_process(options);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_FALSE(run.out.empty());
    return run.out;
}

TEST(CApi, EncodesTheProgramsBytesForTheSameSamplesAndSettings) {
    const auto auto_mode = VANTREL_CHANNEL_MODE_AUTO;
    const std::vector<EncodeCase> cases = {
        {"mono", 44100, 1, {}, auto_mode, VANTREL_SNR, 8, 16, 375000},
        {"dual channel", 44100, 2, {}, auto_mode, VANTREL_SNR, 8, 16, 375000},
        {"stereo, loudness",
         48000,
         2,
         {"-s", "-p"},
         VANTREL_STEREO,
         VANTREL_LOUDNESS,
         8,
         16,
         375000},
        {"joint stereo, 4 subbands, 8 blocks",
         32000,
         2,
         {"-j", "-n", "4", "-l", "8"},
         VANTREL_JOINT_STEREO,
         VANTREL_SNR,
         4,
         8,
         375000},
        {"joint stereo at 200 kbit/s, 4 blocks",
         16000,
         2,
         {"-j", "-r", "200000", "-l", "4"},
         VANTREL_JOINT_STEREO,
         VANTREL_SNR,
         8,
         4,
         200000},
        {"mono asked as joint stereo",
         44100,
         1,
         {"-j", "-p"},
         VANTREL_JOINT_STEREO,
         VANTREL_LOUDNESS,
         8,
         16,
         375000},
        {"mSBC", 16000, 1, {"-m"}, 0, 0, 0, 0, 0, 1},
        {"mSBC in H2 units", 16000, 1, {"-m", "-H"}, 0, 0, 0, 0, 0, 1 | VANTREL_MSBC_H2 << 1},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto samples = to_pcm16(sine_frames(c.channels, c.rate, 128 * 37 + 50, 997, 0.7));
        write_file(dir / "in.wav", wave_file(c.channels, c.rate, 16, pcm16_le(samples)));
        const auto expected = program_output(c.options, (dir / "in.wav").string());
        EXPECT_EQ(encode(open(c).get(), samples, samples.size()), expected);
        EXPECT_EQ(encode(open(c).get(), samples, 37 * static_cast<size_t>(c.channels)), expected);
    }
}

TEST(CApi, EncodesFloatSamplesAsTheProgramConvertsAFloatFile) {
    std::vector<float> values;
    for (double v : sine_frames(2, 44100, 128 * 20, 440, 1.3))
        values.push_back(static_cast<float>(v));
    values[7] = std::numeric_limits<float>::quiet_NaN();
    TempDir dir;
    write_file(dir / "in.wav", wave_file(2, 44100, 32, float32_le(values), 3));
    Encoder e = open({"", 44100, 2, {}, VANTREL_JOINT_STEREO, VANTREL_SNR, 8, 16, 375000});
    std::vector<uint8_t> out(20 * 200);
    size_t written = 0;
    ASSERT_EQ(vantrel_encoder_encode_float(e.get(), values.data(), values.size(), out.data(),
                                           out.size(), &written),
              VANTREL_OK);
    EXPECT_EQ(std::string(out.begin(), out.begin() + static_cast<ptrdiff_t>(written)),
              program_output({"-j"}, (dir / "in.wav").string()));
}

struct Decoded {
    std::string samples; // 16-bit little-endian, as vantrel-decode -t raw writes them
    vantrel_stream_info info{};
    int status = VANTREL_OK; // of the last call
};

// Follows `bytes` given in pieces of `step`, as the header's loop reads, then finishes.
Decoded decode(const std::string& bytes, size_t step, size_t capacity = VANTREL_MAX_FRAME_VALUES) {
    Decoded r;
    vantrel_decoder* raw = nullptr;
    EXPECT_EQ(vantrel_decoder_open(nullptr, &raw), VANTREL_OK);
    const Decoder d(raw);
    std::vector<int16_t> pcm(capacity);
    const auto* in = reinterpret_cast<const uint8_t*>(bytes.data());
    for (size_t at = 0, used = 0, got = 0, n = 0; r.status >= 0;) {
        n = std::min(step, bytes.size() - at);
        r.status = vantrel_decoder_decode(d.get(), in + at, n, pcm.data(), pcm.size(), &used, &got);
        r.samples.append(reinterpret_cast<const char*>(pcm.data()), got * 2);
        at += used;
        if (got == 0 && used == n && at == bytes.size()) {
            if (r.info.ended != 0) break; // (used as "finished" until the end)
            EXPECT_EQ(vantrel_decoder_finish(d.get()), VANTREL_OK);
            r.info.ended = 1;
        }
    }
    r.info.struct_size = sizeof r.info;
    EXPECT_EQ(vantrel_decoder_get_info(d.get(), &r.info), VANTREL_OK);
    return r;
}

// Frames of a JOINT_STEREO stream, then damaged: a bad CRC, bytes cut out of a frame, bytes of
// no frame between two; and mSBC in H2 units with a unit lost.
std::string damaged_streams(bool h2) {
    const auto samples = to_pcm16(sine_frames(h2 ? 1 : 2, h2 ? 16000 : 44100, 128 * 60, 523, 0.6));
    const EncodeCase c =
        h2 ? EncodeCase{"", 16000, 1, {}, 0, 0, 0, 0, 0, 1 | VANTREL_MSBC_H2 << 1}
           : EncodeCase{"", 44100, 2, {}, VANTREL_JOINT_STEREO, VANTREL_SNR, 8, 16, 375000};
    std::string s = encode(open(c).get(), samples, samples.size());
    if (h2) return s.erase(10 * 60, 60);
    s[5 * 135 + 6] ^= 0x5A;
    s.erase(20 * 135 + 30, 40);
    return s.insert(40 * 135, std::string(33, '\x55'));
}

TEST(CApi, FollowsADamagedStreamAsTheDecoderProgramDoes) {
    TempDir dir;
    for (const bool h2 : {false, true}) {
        SCOPED_TRACE(h2 ? "H2" : "SBC");
        const std::string stream = damaged_streams(h2);
        write_file(dir / "in.sbc", stream);
        const auto program =
            run_process({VANTREL_DECODE_BINARY, "-t", "raw", (dir / "in.sbc").string()});
        for (const size_t step : {stream.size(), size_t{1}, size_t{97}}) {
            const Decoded r = decode(stream, step, step == 97 ? 2 : 1000);
            EXPECT_EQ(r.status, VANTREL_OK);
            EXPECT_EQ(r.samples, program.out);
            char summary[200];
            std::snprintf(
                summary, sizeof summary,
                "%lld frames decoded; %lld damaged and %lld lost concealed; %lld bytes skipped",
                static_cast<long long>(r.info.frames), static_cast<long long>(r.info.damaged),
                static_cast<long long>(r.info.lost), static_cast<long long>(r.info.skipped_bytes));
            EXPECT_NE(program.err.find(summary), std::string::npos) << program.err << summary;
            EXPECT_EQ(r.info.ended, 1);
        }
    }
}

// Concealment is the default; VANTREL_DECODER_SILENCE (kept by reset) gives silence; the
// caller's own losses take the last frame's shape, frame by frame and following a stream.
TEST(CApi, ConcealsByDefaultSilencesOnRequestAndFillsTheCallersLosses) {
    const auto stereo = to_pcm16(sine_frames(2, 44100, 128 * 8, 440, 0.5));
    const std::string stream =
        encode(open({"", 44100, 2, {}, -1, 1, 8, 16, 375000}).get(), stereo, stereo.size());
    const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data());
    vantrel_decoder_config config{sizeof config, 2};
    vantrel_decoder* raw = nullptr;
    EXPECT_EQ(vantrel_decoder_open(&config, &raw), VANTREL_ERROR_BAD_ARGUMENT);
    for (const uint32_t flags : {0u, VANTREL_DECODER_SILENCE}) {
        config.flags = flags;
        ASSERT_EQ(vantrel_decoder_open(&config, &raw), VANTREL_OK);
        const Decoder d(raw);
        std::vector<int16_t> pcm(VANTREL_MAX_FRAME_VALUES);
        size_t used = 0, got = 7;
        for (int round = 0; round < 2; ++round) { // the second after a reset
            EXPECT_EQ(vantrel_decoder_conceal(d.get(), pcm.data(), pcm.size(), &got),
                      VANTREL_ERROR_NEED_MORE);
            EXPECT_EQ(got, 0u);
            for (size_t frame = 0, at = 0; frame < 3; ++frame, at += used)
                ASSERT_EQ(vantrel_decoder_decode_frame(d.get(), bytes + at, stream.size() - at,
                                                       pcm.data(), pcm.size(), &used, &got,
                                                       nullptr),
                          VANTREL_OK);
            EXPECT_EQ(vantrel_decoder_conceal(d.get(), pcm.data(), 255, &got),
                      VANTREL_ERROR_BUFFER_TOO_SMALL);
            ASSERT_EQ(vantrel_decoder_conceal(d.get(), pcm.data(), pcm.size(), &got), VANTREL_OK);
            EXPECT_EQ(got, 256u);
            const bool silent =
                std::all_of(pcm.begin(), pcm.begin() + 256, [](int16_t v) { return v == 0; });
            EXPECT_EQ(silent, flags != 0);
            ASSERT_EQ(vantrel_decoder_reset(d.get()), VANTREL_OK);
        }
        ASSERT_EQ(vantrel_decoder_decode(d.get(), bytes, stream.size(), pcm.data(), pcm.size(),
                                         &used, &got),
                  VANTREL_OK);
        EXPECT_EQ(vantrel_decoder_conceal(d.get(), pcm.data(), pcm.size(), &got),
                  VANTREL_ERROR_WRONG_USE); // the first frame's samples wait to be taken
        do
            ASSERT_EQ(
                vantrel_decoder_decode(d.get(), nullptr, 0, pcm.data(), pcm.size(), &used, &got),
                VANTREL_OK);
        while (got > 0);
        EXPECT_EQ(vantrel_decoder_conceal(d.get(), pcm.data(), pcm.size(), &got), VANTREL_OK);
        EXPECT_EQ(got, 256u);
    }
}

// Many frames a call, some of them lost, give what the frames one by one and
// vantrel_decoder_conceal give (bare SBC; the mSBC frames 2 bytes into 60-byte H2 units), and a
// call that cannot go on says how far it came.
TEST(CApi, DecodesFramesInOneCallAsOneByOneWithTheCallersLosses) {
    const auto stereo = to_pcm16(sine_frames(2, 44100, 128 * 12, 440, 0.5));
    const auto mono = to_pcm16(sine_frames(1, 16000, 120 * 12, 440, 0.5));
    const std::string sbc =
        encode(open({"", 44100, 2, {}, -1, 1, 8, 16, 375000}).get(), stereo, stereo.size());
    const std::string h2 = encode(
        open({"", 16000, 1, {}, 0, 0, 0, 0, 0, 1 | VANTREL_MSBC_H2 << 1}).get(), mono, mono.size());
    const std::vector<uint8_t> lost = {1, 0, 1, 0, 1, 1, 1, 0, 0, 1, 0, 1};
    const uint8_t* from_second = lost.data() + 1; // a lost first frame has no shape to take
    const size_t count = lost.size() - 1;
    for (const auto& [stream, offset, length] :
         {std::tuple{sbc, 0, sbc.size() / 12}, std::tuple{h2, 2, size_t{57}}}) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(stream.data()) + offset;
        const size_t stride = stream.size() / lost.size(), size = stream.size() - offset;
        vantrel_decoder *raw_one = nullptr, *raw_many = nullptr;
        ASSERT_EQ(vantrel_decoder_open(nullptr, &raw_one), VANTREL_OK);
        ASSERT_EQ(vantrel_decoder_open(nullptr, &raw_many), VANTREL_OK);
        const Decoder one(raw_one), many(raw_many);
        std::vector<int16_t> expected, pcm(VANTREL_MAX_FRAME_VALUES);
        size_t used = 0, got = 0, done = 0;
        for (size_t i = 1; i < lost.size(); ++i) {
            ASSERT_EQ(lost[i] != 0
                          ? vantrel_decoder_conceal(one.get(), pcm.data(), pcm.size(), &got)
                          : vantrel_decoder_decode_frame(one.get(), bytes + i * stride,
                                                         size - i * stride, pcm.data(), pcm.size(),
                                                         &used, &got, nullptr),
                      VANTREL_OK);
            expected.insert(expected.end(), pcm.begin(), pcm.begin() + static_cast<ptrdiff_t>(got));
        }
        std::vector<int16_t> all(expected.size() + 1, 7);
        EXPECT_EQ(vantrel_decoder_decode_frames(many.get(), bytes, size, stride, lost.data(), 2,
                                                all.data(), all.size(), &done, &got),
                  VANTREL_ERROR_NEED_MORE);
        EXPECT_EQ(done + got, 0u);
        ASSERT_EQ(vantrel_decoder_decode_frames(many.get(), bytes + stride, size - stride, stride,
                                                from_second, count, all.data(), all.size(), &done,
                                                &got),
                  VANTREL_OK);
        EXPECT_EQ(done, count);
        EXPECT_EQ(std::vector(all.begin(), all.end() - 1), expected);
        EXPECT_EQ(all.back(), 7); // nothing beyond
        // Stopped by the bytes' end within the third frame.
        EXPECT_EQ(vantrel_decoder_decode_frames(many.get(), bytes, 2 * stride + length - 1, stride,
                                                nullptr, 4, all.data(), all.size(), &done, &got),
                  VANTREL_ERROR_NEED_MORE);
        EXPECT_EQ(done, 2u);
    }
}

TEST(CApi, StreamWithoutFramesAndChangedStreamEndTheDecoding) {
    EXPECT_EQ(decode(std::string(5000, 'x'), 1000).status, VANTREL_ERROR_NO_FRAMES);
    const auto mono = to_pcm16(sine_frames(1, 44100, 128 * 10, 440, 0.5));
    const auto stereo = to_pcm16(sine_frames(2, 44100, 128 * 10, 440, 0.5));
    const EncodeCase one{"", 44100, 1, {}, -1, 1, 8, 16, 375000},
        two{"", 44100, 2, {}, -1, 1, 8, 16, 375000};
    const Decoded r = decode(encode(open(one).get(), mono, mono.size()) +
                                 encode(open(two).get(), stereo, stereo.size()),
                             500);
    EXPECT_EQ(r.status, VANTREL_ERROR_STREAM_CHANGED);
    EXPECT_EQ(r.samples.size(), mono.size() * 2);
    EXPECT_EQ(r.info.changed, 1);
    EXPECT_EQ(r.info.change_channels, 2);
}

TEST(CApi, RefusesBadCallsWithTheirStatusAndStaysUsable) {
    const EncodeCase joint{"", 44100, 2, {}, VANTREL_JOINT_STEREO, VANTREL_SNR, 8, 16, 375000};
    const Encoder e = open(joint);
    vantrel_decoder* raw = nullptr;
    ASSERT_EQ(vantrel_decoder_open(nullptr, &raw), VANTREL_OK);
    const Decoder d(raw);
    const auto open_with = [](auto change) {
        vantrel_config c;
        vantrel_config_default(&c, 44100, 2);
        change(c);
        vantrel_encoder* made = nullptr;
        const int status = vantrel_encoder_open(&c, &made);
        vantrel_encoder_close(made);
        return status;
    };
    const std::vector<int16_t> pcm(512, 100);
    std::vector<uint8_t> out(4096);
    std::vector<int16_t> back(512);
    const uint8_t frame[] = {0x9C, 0xBD, 0x10, 0x00, 0x00};
    size_t n = 0, m = 0;
    vantrel_encoder* none = nullptr;
    const struct {
        const char* what;
        int status, expected;
    } cases[] = {
        {"null config", vantrel_encoder_open(nullptr, &none), VANTREL_ERROR_NULL_POINTER},
        {"22050 Hz", open_with([](auto& c) { c.sampling_frequency = 22050; }),
         VANTREL_ERROR_BAD_RATE},
        {"3 channels", open_with([](auto& c) { c.channels = 3; }), VANTREL_ERROR_BAD_CHANNELS},
        {"MONO, 2 channels", open_with([](auto& c) { c.channel_mode = VANTREL_MONO; }),
         VANTREL_ERROR_BAD_CHANNEL_MODE},
        {"6 subbands", open_with([](auto& c) { c.subbands = 6; }), VANTREL_ERROR_BAD_SUBBANDS},
        {"5 blocks", open_with([](auto& c) { c.blocks = 5; }), VANTREL_ERROR_BAD_BLOCKS},
        {"allocation 2", open_with([](auto& c) { c.allocation = 2; }),
         VANTREL_ERROR_BAD_ALLOCATION},
        {"bitpool 129", open_with([](auto& c) { c.bitpool = 129; }), VANTREL_ERROR_BAD_BITPOOL},
        {"1500000 bit/s", open_with([](auto& c) { c.bit_rate = 1500000; }),
         VANTREL_ERROR_BAD_BITPOOL},
        {"struct_size 4", open_with([](auto& c) { c.struct_size = 4; }),
         VANTREL_ERROR_BAD_STRUCT_SIZE},
        {"mSBC flag 4", vantrel_encoder_open_msbc(4, &none), VANTREL_ERROR_BAD_ARGUMENT},
        {"null samples", vantrel_encoder_encode(e.get(), nullptr, 256, out.data(), out.size(), &n),
         VANTREL_ERROR_NULL_POINTER},
        {"null count",
         vantrel_encoder_encode(e.get(), pcm.data(), 256, out.data(), out.size(), nullptr),
         VANTREL_ERROR_NULL_POINTER},
        {"half an instant",
         vantrel_encoder_encode(e.get(), pcm.data(), 255, out.data(), out.size(), &n),
         VANTREL_ERROR_BAD_LENGTH},
        {"buffer too small", vantrel_encoder_encode(e.get(), pcm.data(), 512, out.data(), 134, &n),
         VANTREL_ERROR_BUFFER_TOO_SMALL},
        {"not a frame",
         vantrel_decoder_decode_frame(d.get(), out.data(), 10, back.data(), 512, &n, &m, nullptr),
         VANTREL_ERROR_NOT_A_FRAME},
        {"cut frame",
         vantrel_decoder_decode_frame(d.get(), frame, sizeof frame, back.data(), 512, &n, &m,
                                      nullptr),
         VANTREL_ERROR_NEED_MORE},
        {"null frame",
         vantrel_decoder_decode_frame(d.get(), nullptr, 10, back.data(), 512, &n, &m, nullptr),
         VANTREL_ERROR_NULL_POINTER},
        {"null info", vantrel_frame_parse(frame, sizeof frame, nullptr),
         VANTREL_ERROR_NULL_POINTER},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.status, c.expected) << c.what;
        EXPECT_NE(std::string(vantrel_strerror(c.status)), "unknown status") << c.what;
    }
    // The refused calls took nothing: the encoder's bytes are a fresh encoder's.
    const auto samples = to_pcm16(sine_frames(2, 44100, 128 * 5, 440, 0.5));
    EXPECT_EQ(encode(e.get(), samples, 64), encode(open(joint).get(), samples, samples.size()));
    // A frame of the stream decodes on the decoder that refused; a stream is then refused.
    const std::string bytes = encode(open(joint).get(), samples, samples.size());
    const auto* first = reinterpret_cast<const uint8_t*>(bytes.data());
    EXPECT_EQ(vantrel_decoder_decode_frame(d.get(), first, bytes.size(), back.data(), 256, &n, &m,
                                           nullptr),
              VANTREL_OK);
    EXPECT_EQ(n, 135u);
    EXPECT_EQ(m, 256u);
    EXPECT_EQ(vantrel_decoder_decode(d.get(), first, 10, back.data(), 512, &n, &m),
              VANTREL_ERROR_WRONG_USE);
    EXPECT_EQ(vantrel_decoder_decode_frame(d.get(), first, bytes.size(), back.data(), 255, &n, &m,
                                           nullptr),
              VANTREL_ERROR_BUFFER_TOO_SMALL);
}

TEST(CApi, NamesTheBitRatesTheProgramNamesForARefusedRate) {
    vantrel_config c;
    vantrel_config_default(&c, 44100, 2);
    int32_t lowest = 0, highest = 0;
    ASSERT_EQ(vantrel_config_bit_rate_range(&c, &lowest, &highest), VANTREL_OK);
    TempDir dir;
    write_file(dir / "in.wav", wave_file(2, 44100, 16, pcm16_le(std::vector<int16_t>(512))));
    const auto run = run_process({vantrel_binary(), "-r", "1500000", (dir / "in.wav").string()});
    EXPECT_NE(run.err.find("bit rates from " + std::to_string(lowest) + " to " +
                           std::to_string(highest) + " bps"),
              std::string::npos)
        << run.err;
}

TEST(CApi, ScanGivesTheFiguresOfVantrelInfo) {
    const std::string stream = damaged_streams(false);
    vantrel_stream_report r;
    r.struct_size = sizeof r;
    ASSERT_EQ(vantrel_scan(reinterpret_cast<const uint8_t*>(stream.data()), stream.size(), &r),
              VANTREL_OK);
    TempDir dir;
    write_file(dir / "in.sbc", stream);
    const auto info = run_process({VANTREL_INFO_BINARY, (dir / "in.sbc").string()}).out;
    for (const std::string& line :
         std::vector<std::string>{"kind: SBC", "frames: " + std::to_string(r.frames),
                                  "damaged frames: " + std::to_string(r.damaged),
                                  "skipped bytes: " + std::to_string(r.skipped_bytes),
                                  "bitpool: 61", "channel mode: JOINT_STEREO"})
        EXPECT_NE(info.find(line + "\n"), std::string::npos) << line << "\n" << info;
    EXPECT_EQ(r.kind, VANTREL_KIND_SBC);
    EXPECT_EQ(r.bitpool_min, 61);
    EXPECT_EQ(r.bitpool_max, 61);
    EXPECT_EQ(r.bitpool_frames[61], r.frames);
}

TEST(CApi, EncodingAndDecodingAllocateNothing) {
    const auto samples = to_pcm16(sine_frames(2, 44100, 128 * 1000, 440, 0.5));
    const EncodeCase joint{"", 44100, 2, {}, VANTREL_JOINT_STEREO, VANTREL_SNR, 8, 16, 375000};
    const Encoder e = open(joint);
    vantrel_decoder* raw = nullptr;
    const long opening = allocations;
    ASSERT_EQ(vantrel_decoder_open(nullptr, &raw), VANTREL_OK);
    EXPECT_GT(allocations - opening, 0); // the count sees the library's allocations
    const Decoder d(raw);
    std::vector<uint8_t> bytes(1000 * 135);
    std::vector<int16_t> pcm(1000);
    size_t total = 0, written = 0, used = 0, got = 0, instants = 0;
    const long before = allocations;
    for (size_t at = 0; at < samples.size(); at += 998, total += written)
        vantrel_encoder_encode(e.get(), &samples[at], std::min<size_t>(998, samples.size() - at),
                               &bytes[total], bytes.size() - total, &written);
    for (size_t at = 0; at < total || got > 0; at += used, instants += got / 2)
        vantrel_decoder_decode(d.get(), &bytes[at], std::min<size_t>(333, total - at), pcm.data(),
                               pcm.size(), &used, &got);
    EXPECT_EQ(allocations - before, 0);
    EXPECT_EQ(total, bytes.size());
    EXPECT_EQ(instants, 128u * 1000);
}

} // namespace

namespace capi_convert {

struct ConverterCloser {
    void operator()(vantrel_converter* c) const { vantrel_converter_close(c); }
};
using Converter = std::unique_ptr<vantrel_converter, ConverterCloser>;

// Everything the converter makes of `samples`, given `step` values at a time into an output
// buffer of `room` values, then finished and drained.
// A `mask` of 0 or more opens it with vantrel_converter_open_layout.
std::vector<int16_t> convert_all(const vantrel_convert_config& config,
                                 const std::vector<int16_t>& samples, size_t step, size_t room,
                                 long mask = -1) {
    vantrel_converter* raw = nullptr;
    EXPECT_EQ(mask < 0 ? vantrel_converter_open(&config, &raw)
                       : vantrel_converter_open_layout(&config, static_cast<uint32_t>(mask), &raw),
              VANTREL_OK);
    const Converter c(raw);
    std::vector<int16_t> out, buffer(room);
    const auto pump = [&](const int16_t* in, size_t n) {
        for (;;) {
            size_t used = 0, written = 0;
            EXPECT_EQ(vantrel_converter_convert(raw, in, n, &used, buffer.data(), room, &written),
                      VANTREL_OK);
            out.insert(out.end(), buffer.begin(), buffer.begin() + static_cast<ptrdiff_t>(written));
            in += used;
            n -= used;
            if (n == 0 && written == 0) return;
        }
    };
    for (size_t at = 0; at < samples.size(); at += step)
        pump(&samples[at], std::min(step, samples.size() - at));
    EXPECT_EQ(vantrel_converter_finish(raw), VANTREL_OK);
    pump(nullptr, 0);
    return out;
}

} // namespace capi_convert

// The converter and an encoder give the program's bytes for -F and -m, in any pieces and
// through any output buffer, with the length vantrel_converter_length promises; the default bit
// rate takes the highest bitpool where a frame cannot carry it, as the program without -r.
TEST(CApi, ConvertsAndEncodesAsTheProgramDoesWithFAndM) {
    struct Case {
        const char* name;
        int rate, channels;
        std::vector<std::string> options;
        int to_rate, to_channels;
    };
    const std::vector<Case> cases = {
        {"-F 44100 from 22050 Hz stereo", 22050, 2, {"-F", "44100"}, 44100, 2},
        {"-m from 44100 Hz stereo", 44100, 2, {"-m"}, 16000, 1},
        {"-m from 48000 Hz mono", 48000, 1, {"-m"}, 16000, 1},
        {"-m from 16000 Hz stereo: the mix alone", 16000, 2, {"-m"}, 16000, 1},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto samples = to_pcm16(sine_frames(c.channels, c.rate, 7000, 997, 0.7));
        write_file(dir / "in.wav", wave_file(c.channels, c.rate, 16, pcm16_le(samples)));
        const auto expected = program_output(c.options, (dir / "in.wav").string());
        vantrel_convert_config config;
        vantrel_convert_config_default(&config, c.rate, c.to_rate, c.channels);
        config.to_channels = c.to_channels;
        const auto whole = capi_convert::convert_all(config, samples, samples.size(), 1 << 16);
        config.threads = 2;
        EXPECT_EQ(capi_convert::convert_all(config, samples, 6 * 7, 5 * c.to_channels), whole);
        vantrel_converter* raw = nullptr;
        ASSERT_EQ(vantrel_converter_open(&config, &raw), VANTREL_OK);
        int64_t length = 0;
        EXPECT_EQ(vantrel_converter_length(raw, 7000, &length), VANTREL_OK);
        vantrel_converter_close(raw);
        EXPECT_EQ(static_cast<int64_t>(whole.size()), length * c.to_channels);
        Encoder e;
        if (c.options[0] == "-m") {
            vantrel_encoder* m = nullptr;
            ASSERT_EQ(vantrel_encoder_open_msbc(0, &m), VANTREL_OK);
            e.reset(m);
        } else {
            e = open({"",
                      c.to_rate,
                      c.to_channels,
                      {},
                      VANTREL_CHANNEL_MODE_AUTO,
                      VANTREL_SNR,
                      8,
                      16,
                      375000});
        }
        EXPECT_EQ(encode(e.get(), whole, whole.size()), expected);
    }

    const auto mono = to_pcm16(sine_frames(1, 16000, 3000, 997, 0.7));
    write_file(dir / "in.wav", wave_file(1, 16000, 16, pcm16_le(mono)));
    const auto expected = program_output({}, (dir / "in.wav").string());
    EXPECT_EQ(encode(open({"",
                           16000,
                           1,
                           {},
                           VANTREL_CHANNEL_MODE_AUTO,
                           VANTREL_SNR,
                           8,
                           16,
                           VANTREL_BIT_RATE_DEFAULT})
                         .get(),
                     mono, mono.size()),
              expected);
}

// 3 to 8 channels: a converter of 6 channels mixes 5.1 down, and with an encoder gives the
// program's bytes for the extensible WAVE of that layout, to stereo and with -m; with the layout
// given as 0 it takes the first two channels, as the program does for a WAVE that names no
// speakers.
TEST(CApi, DownmixesAsTheProgramDoes) {
    const auto samples = to_pcm16(sine_frames(6, 48000, 5000, 331, 0.3));
    TempDir dir;
    write_file(dir / "51.wav", wave_extensible_file(6, 48000, 0x3F, pcm16_le(samples)));
    write_file(dir / "plain.wav", wave_file(6, 48000, 16, pcm16_le(samples)));
    vantrel_convert_config config;
    vantrel_convert_config_default(&config, 48000, 48000, 6);
    EXPECT_EQ(config.to_channels, 2);
    const auto stereo_encoder = [] {
        return open({"", 48000, 2, {}, VANTREL_CHANNEL_MODE_AUTO, VANTREL_SNR, 8, 16, 375000});
    };
    for (const auto& [mask, file] :
         {std::pair{-1L, "51.wav"}, {0x3FL, "51.wav"}, {0L, "plain.wav"}}) {
        SCOPED_TRACE(mask);
        const auto stereo = capi_convert::convert_all(config, samples, 6 * 77, 10, mask);
        EXPECT_EQ(encode(stereo_encoder().get(), stereo, stereo.size()),
                  program_output({}, (dir / file).string()));
    }
    config.to_rate = 16000;
    config.to_channels = 1;
    const auto mono = capi_convert::convert_all(config, samples, samples.size(), 1 << 16);
    vantrel_encoder* m = nullptr;
    ASSERT_EQ(vantrel_encoder_open_msbc(0, &m), VANTREL_OK);
    const Encoder msbc(m);
    EXPECT_EQ(encode(msbc.get(), mono, mono.size()),
              program_output({"-m"}, (dir / "51.wav").string()));
}

TEST(CApi, ConverterRefusesWhatItCannotConvertAndInputAfterFinish) {
    vantrel_convert_config c;
    vantrel_convert_config_default(&c, 44100, 48000, 1);
    vantrel_converter* raw = nullptr;
    for (const auto& [channels, to_channels, from_rate, status] :
         {std::array<int, 4>{1, 2, 44100, VANTREL_ERROR_BAD_CHANNELS},
          std::array<int, 4>{9, 2, 44100, VANTREL_ERROR_BAD_CHANNELS},
          std::array<int, 4>{6, 6, 44100, VANTREL_ERROR_BAD_CHANNELS},
          std::array<int, 4>{1, 1, 0, VANTREL_ERROR_BAD_ARGUMENT}}) {
        auto bad = c;
        bad.channels = channels;
        bad.to_channels = to_channels;
        bad.from_rate = from_rate;
        EXPECT_EQ(vantrel_converter_open(&bad, &raw), status);
        EXPECT_EQ(raw, nullptr);
    }
    ASSERT_EQ(vantrel_converter_open(&c, &raw), VANTREL_OK);
    const capi_convert::Converter owned(raw);
    std::array<int16_t, 4> in{}, out{};
    size_t used = 9, written = 9;
    EXPECT_EQ(vantrel_converter_convert(raw, in.data(), 4, &used, out.data(), 0, &written),
              VANTREL_ERROR_BUFFER_TOO_SMALL);
    EXPECT_EQ(used + written, 0u);
    vantrel_converter_finish(raw);
    EXPECT_EQ(vantrel_converter_convert(raw, in.data(), 4, &used, out.data(), 4, &written),
              VANTREL_ERROR_FINISHED);
}
