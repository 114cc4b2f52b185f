// mSBC through the built program: every container from a file and through a pipe, the frames
// and H2 units read back independently, the refusals, and the stream decoded by decoders
// written elsewhere as well as the stream of another mSBC encoder.
#include "banner.h"
#include "container_fixture.h"
#include "decoders.h"
#include "fuzz/frame_check.h"
#include "process.h"
#include "wave_fixture.h"

#include <cstring>
#include <gtest/gtest.h>
#include <iostream>

namespace cli_msbc_test {

namespace {

using namespace testsupport;

constexpr int rate = 16000;
constexpr int frame_instants = 120;
constexpr int frame_bytes = 57;
constexpr int unit_bytes = 60;

std::string mono_wave(int channels, int wave_rate, int instants) {
    return wave_file(channels, wave_rate, 16,
                     pcm16_le(to_pcm16(sine_frames(channels, wave_rate, instants, 440, 0.5))));
}

std::string verbose(const char* frame, const char* kbps) {
    return std::string("mSBC    = 16000 Hz, MONO, 8 subbands, 15 blocks, LOUDNESS\n"
                       "bitpool = 26\n"
                       "frame   = ") +
           frame + "\nbitrate = " + kbps + " kbps\n";
}

// Every unit of `units` is 0x01, the sequence byte of its number, frame n of `frames`, 0x00.
void expect_units_carry(const std::string& units, const std::string& frames) {
    const std::string sequence = "\x08\x38\xC8\xF8";
    ASSERT_EQ(units.size() / unit_bytes, frames.size() / frame_bytes);
    ASSERT_EQ(units.size() % unit_bytes, 0u);
    for (size_t n = 0; n < units.size() / unit_bytes; ++n) {
        const std::string unit = units.substr(n * unit_bytes, unit_bytes);
        ASSERT_EQ(unit[0], '\x01') << "unit " << n;
        ASSERT_EQ(unit[1], sequence[n % 4]) << "unit " << n;
        ASSERT_TRUE(unit.substr(2, frame_bytes) == frames.substr(n * frame_bytes, frame_bytes))
            << "unit " << n;
        ASSERT_EQ(unit[59], '\0') << "unit " << n;
    }
}

} // namespace

// The same 16 kHz mono signal in every container, from a file and through a real pipe, bare
// and in H2 units: the stream of the WAVE file each time, whole frames only (the 50 instants
// after the last one are dropped), each frame and unit as an independent reading has it.
TEST(Msbc, EveryContainerFromAFileAndThroughAPipeBareAndInH2Units) {
    constexpr int frames = 23; // more than four, so that the sequence wraps
    constexpr int instants = frames * frame_instants + 50;
    const auto mono = to_pcm16(sine_frames(1, rate, instants, 440, 0.5));
    std::vector<float> floats;
    for (int16_t s : mono) floats.push_back(static_cast<float>(s) / 32768.0f);
    const auto comm = [](int bits, const std::string& type) {
        return aiff_chunk("COMM", comm_fields(1, instants, bits, rate, type, "name"));
    };
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"wave", wave_file(1, rate, 16, pcm16_le(mono))},
        {"sun", sun_file(3, rate, 1, pcm16_be(mono))},
        {"aiff", form("AIFF", comm(16, "") + ssnd(pcm16_be(mono)))},
        {"aifc fl32", form("AIFC", comm(32, "fl32") + ssnd(float32_be(floats)))},
        {"spw", spw_header(rate, instants, "Fixedpoint") + pcm16_be(mono)},
        {"512", h512_file(h512_words(1, rate, -32000, instants), false, pcm16_le(mono))},
    };
    TempDir dir;
    write_file(dir / "in.wav", cases[0].second);
    const auto bare = run_process({vantrel_binary(), "-v", "-m", (dir / "in.wav").string()});
    const auto h2 = run_process({vantrel_binary(), "-m", "-H", "-v", (dir / "in.wav").string()});
    ASSERT_EQ(bare.status, 0) << bare.err;
    ASSERT_EQ(h2.status, 0) << h2.err;
    EXPECT_EQ(bare.err, banner + verbose("57 bytes", " 60.80"));
    EXPECT_EQ(h2.err, banner + verbose("60 bytes (H2 unit)", " 64.00"));
    ASSERT_EQ(bare.out.size(), static_cast<size_t>(frames * frame_bytes));
    const auto stream =
        std::span(reinterpret_cast<const uint8_t*>(bare.out.data()), bare.out.size());
    EXPECT_TRUE(fuzzcheck::whole_frames(stream));
    for (size_t at = 0; at < bare.out.size(); at += frame_bytes)
        ASSERT_EQ(bare.out.substr(at, 3), std::string("\xAD\0\0", 3)) << "frame at " << at;
    expect_units_carry(h2.out, bare.out);

    for (const auto& [name, file] : cases) {
        SCOPED_TRACE(name);
        write_file(dir / "in", file);
        const auto from_file = run_process({vantrel_binary(), "-m", (dir / "in").string()});
        EXPECT_EQ(from_file.status, 0) << from_file.err;
        EXPECT_TRUE(from_file.out == bare.out);
        const auto piped = run_process({vantrel_binary(), "-m", "-H", "AUDIO_FROM_STDIN"}, file);
        EXPECT_EQ(piped.status, 0) << piped.err;
        EXPECT_TRUE(piped.out == h2.out);
    }
}

// Each refusal says what is wrong and how to go on, ends with status 1 and leaves the named
// output as -o made it: there, and empty.
TEST(Msbc, RefusalsNameTheCauseAndWriteNoFrame) {
    struct Case {
        std::vector<std::string> options;
        std::string wav;
        std::string message;
    };
    const std::string speech = mono_wave(1, rate, frame_instants * 4);
    const std::vector<Case> cases = {
        {{"-m", "-F", "8000"},
         speech,
         "\n-F 8000 cannot be used with -m: mSBC fixes the sampling frequency (16000 Hz)\n"},
        {{"-m", "-H"},
         wave_file(9, 44100, 16, pcm16_le(std::vector<int16_t>(9 * 1000))),
         "\nnumber of channels: 9 exceeds the maximum number: 8\n"},
        {{"-m", "-s"}, speech, "\n-s cannot be used with -m: mSBC fixes the channel mode (MONO)\n"},
        {{"-j", "-m"}, speech, "\n-j cannot be used with -m: mSBC fixes the channel mode (MONO)\n"},
        {{"-m", "-n", "8"}, speech, "\n-n cannot be used with -m: mSBC fixes subbands (8)\n"},
        {{"-m", "-l", "15"}, speech, "\n-l cannot be used with -m: mSBC fixes blk_len (15)\n"},
        {{"-m", "-l", "20"}, speech, "\n-l cannot be used with -m: mSBC fixes blk_len (15)\n"},
        {{"-pm"},
         speech,
         "\n-p cannot be used with -m: mSBC fixes the allocation method (LOUDNESS)\n"},
        {{"-m", "-r", "60800"},
         speech,
         "\n-r cannot be used with -m: mSBC fixes the bit rate (60800 bps)\n"},
        {{"-H"}, speech, "\n-H writes mSBC frames in H2 units and needs -m\n"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        std::string label;
        for (const auto& o : c.options) label += o + " ";
        write_file(dir / "in.wav", c.wav);
        write_file(dir / "out.msbc", "old bytes");
        std::vector<std::string> args = {vantrel_binary()};
        args.insert(args.end(), c.options.begin(), c.options.end());
        args.insert(args.end(), {"-o", (dir / "out.msbc").string(), (dir / "in.wav").string()});
        const auto r = run_process(args);
        EXPECT_EQ(r.status, 1) << label;
        EXPECT_EQ(r.err, banner + c.message) << label;
        EXPECT_EQ(read_file(dir / "out.msbc"), "") << label;
    }
}

// A 300-3000 Hz sweep at -3 dBFS, encoded by vantrel -m and by sbcenc -m, decoded by sbcdec -m
// and by ffmpeg: for each decoder, vantrel's stream comes back at least as well as sbcenc's,
// less 0.1 dB.
TEST(Msbc, DecodesWithThePeersAsWellAsThePeerEncodersStream) {
    for (const char* tool : {"sox", "sbcenc", "sbcdec", "ffmpeg"})
        if (!have_program(tool)) GTEST_SKIP() << tool << " is not installed: NOT checked";
    TempDir dir;
    const auto in = dir / "sweep.wav";
    ASSERT_EQ(run_process({"sox", "-D", "-n", "-r", "16000", "-c", "1", "-b", "16", in.string(),
                           "synth", "3", "sine", "300-3000", "vol", "-3dB"})
                  .status,
              0);
    ASSERT_EQ(run_process({"sox", in.string(), (dir / "sweep.au").string()}).status, 0);
    const auto ours =
        run_process({vantrel_binary(), "-m", "-o", (dir / "ours.msbc").string(), in.string()});
    const auto theirs = run_process({"sbcenc", "-m", (dir / "sweep.au").string()});
    ASSERT_EQ(ours.status, 0) << ours.err;
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    write_file(dir / "theirs.msbc", theirs.out);
    ASSERT_EQ(read_file(dir / "ours.msbc").size(), theirs.out.size());

    const std::string wav = read_file(in);
    std::vector<int16_t> input(wav.size() / 2 - 22);
    std::memcpy(input.data(), wav.data() + 44, input.size() * 2);
    for (const char* decoder : {"sbcdec", "ffmpeg"}) {
        double snr[2] = {};
        for (int which = 0; which < 2; ++which) {
            const auto d = decode_sbc(decoder, dir / (which == 0 ? "ours.msbc" : "theirs.msbc"),
                                      dir.path, rate, 1, /*msbc=*/true);
            ASSERT_EQ(d.problem, "") << decoder;
            ASSERT_EQ(d.pcm.size(), theirs.out.size() / frame_bytes * frame_instants);
            const auto measured = static_cast<int32_t>(d.pcm.size()) - codec_delay(8);
            snr[which] = snr_db(input, d.pcm, 1, codec_delay(8), 0, measured);
        }
        std::cout << decoder << ": vantrel -m " << snr[0] << " dB, sbcenc -m " << snr[1] << " dB\n";
        EXPECT_GT(snr[0], 50.0) << decoder;
        EXPECT_GE(snr[0], snr[1] - 0.1) << decoder;
    }
}

} // namespace cli_msbc_test
