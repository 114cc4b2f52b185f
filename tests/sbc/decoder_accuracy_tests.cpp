// Accuracy of the decoder against the exact synthesis (decoder_model.h), over streams of
// every channel mode, both allocations, 4 and 8 subbands, every block count and rate, mSBC,
// and overdriven streams whose exact output passes twice full scale; and agreement with two
// decoders written elsewhere (run as black boxes), within their own distance from the exact
// values. Each case prints one line: decoder, max |diff|, RMS, % equal to the exact value
// rounded, wraps.
#include "decoder_model.h"
#include "decoders.h"
#include "process.h"
#include "sbc_test_util.h"

#include <cmath>
#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using dectest::Deviation;

struct Stream {
    std::string name;
    int32_t rate = 0;
    int32_t channels = 0;
    bool msbc = false;
    std::string bytes;
    bool overdriven = false; // the exact output passes twice full scale
};

// An encoded signal (this encoder), or random frames built field by field.
Stream encoded(const std::string& name, const sbctest::StreamParams& p,
               const std::vector<int16_t>& pcm) {
    return {name,  p.sampling_frequency,           p.channels,
            false, sbctest::encode_stream(p, pcm), p.bitpool <= 2};
}

// Random frames: scale factors up to 9 keep the output mostly within full scale; loud ones
// are every band at full scale.
Stream built(const std::string& name, const sbc::FrameHeader& h, int32_t frames, bool loud,
             uint32_t seed) {
    std::mt19937 rng(seed);
    Stream s{name, h.sampling_frequency, h.channels, h.kind == sbc::FrameKind::msbc, {}, loud};
    for (int32_t i = 0; i < frames; ++i)
        s.bytes += dectest::build_frame(dectest::random_frame(h, rng, loud, 9));
    return s;
}

// Frames whose bitpool, allocation, block count and channel mode change from one to the next
// (as A2DP allows): the history runs on through every change.
Stream mixed(const std::string& name, int32_t subbands) {
    using sbc::DUAL_CHANNEL, sbc::JOINT_STEREO, sbc::LOUDNESS, sbc::SNR, sbc::STEREO;
    const sbc::FrameHeader shapes[] = {
        dectest::sbc_header(2, 16, JOINT_STEREO, SNR, subbands, 53),
        dectest::sbc_header(2, 4, STEREO, LOUDNESS, subbands, 19),
        dectest::sbc_header(2, 8, DUAL_CHANNEL, SNR, subbands, 30),
        dectest::sbc_header(2, 12, JOINT_STEREO, LOUDNESS, subbands, 2 * subbands * 10),
    };
    std::mt19937 rng(static_cast<uint32_t>(subbands));
    Stream s{name, 44100, 2, false, {}, false};
    for (int32_t i = 0; i < 60; ++i)
        s.bytes += dectest::build_frame(dectest::random_frame(shapes[rng() % 4], rng, false, 9));
    return s;
}

std::vector<Stream> streams() {
    using P = sbctest::StreamParams;
    using sbc::DUAL_CHANNEL, sbc::JOINT_STEREO, sbc::LOUDNESS, sbc::MONO, sbc::SNR, sbc::STEREO;
    const auto music = [](int32_t channels, int32_t rate) {
        return dectest::music(channels, rate, rate / 2);
    };
    return {
        encoded("44.1k joint SNR 8x16 bp53", P{44100, 2, 8, 16, JOINT_STEREO, 53, SNR},
                music(2, 44100)),
        encoded("48k stereo loud 8x12 bp35", P{48000, 2, 8, 12, STEREO, 35, LOUDNESS},
                music(2, 48000)),
        encoded("32k dual SNR 4x8 bp20", P{32000, 2, 4, 8, DUAL_CHANNEL, 20, SNR}, music(2, 32000)),
        encoded("16k mono loud 4x4 bp12", P{16000, 1, 4, 4, MONO, 12, LOUDNESS}, music(1, 16000)),
        encoded("44.1k joint loud 4x16 bp40", P{44100, 2, 4, 16, JOINT_STEREO, 40, LOUDNESS},
                music(2, 44100)),
        encoded("16k mono SNR 8x12 bp128", P{16000, 1, 8, 12, MONO, 128, SNR}, music(1, 16000)),
        encoded("44.1k stereo SNR 8x8 bp255", P{44100, 2, 8, 8, STEREO, 255, SNR}, music(2, 44100)),
        encoded("48k joint square 4x4 bp2", P{48000, 2, 4, 4, JOINT_STEREO, 2, SNR},
                dectest::square(2, 24000, 40)),
        encoded("44.1k mono square 8x16 bp2", P{44100, 1, 8, 16, MONO, 2, LOUDNESS},
                dectest::square(1, 22050, 64)),
        built("built 32k joint 8x16 bp90", dectest::sbc_header(1, 16, JOINT_STEREO, SNR, 8, 90), 60,
              false, 1),
        built("built 16k dual 4x12 bp33", dectest::sbc_header(0, 12, DUAL_CHANNEL, LOUDNESS, 4, 33),
              60, false, 2),
        built("built full-scale joint 8x16", dectest::sbc_header(2, 16, JOINT_STEREO, SNR, 8, 120),
              40, true, 3),
        built("built full-scale mono 4x8", dectest::sbc_header(3, 8, MONO, LOUDNESS, 4, 40), 40,
              true, 4),
        built("built mSBC", dectest::msbc_header(), 100, false, 5),
        mixed("built mixed parameters 8", 8),
        mixed("built mixed parameters 4", 4),
    };
}

void report(const std::string& stream, const std::string& decoder, const Deviation& d) {
    std::printf("  %-30s %-7s max %6.2f  rms %5.3f  equal %6.2f%%  wraps %lld\n", stream.c_str(),
                decoder.c_str(), d.max_abs, d.rms, 100.0 * d.equal,
                static_cast<long long>(d.wraps));
}

TEST(DecoderAccuracy, EverySampleIsTheExactSynthesisRoundedAndSaturated) {
    for (const Stream& s : streams()) {
        SCOPED_TRACE(s.name);
        const auto exact = dectest::exact_decode(s.bytes);
        const Deviation d = dectest::compare(dectest::decode_stream(s.bytes), exact);
        report(s.name, "vantrel", d);
        ASSERT_GT(d.samples, 0);
        EXPECT_LE(d.max_abs, 1.0);
        EXPECT_GE(d.equal, 0.999);
        EXPECT_EQ(d.wraps, 0);
    }
}

// The peers are fixed-point: a few units off the exact values, and they wrap where those pass
// about twice full scale. On streams within that range this decoder must lie within their own
// distance of them (plus its own rounding); overdriven streams are only reported.
TEST(DecoderAccuracy, PeersAgreeWithinTheirOwnDistanceFromTheExactValues) {
    int checked = 0;
    for (const char* peer : testsupport::sbc_decoders) {
        if (!testsupport::have_program(peer)) {
            std::printf("  %s is not installed: agreement NOT checked\n", peer);
            continue;
        }
        ++checked;
        for (const Stream& s : streams()) {
            SCOPED_TRACE(s.name + " / " + peer);
            testsupport::TempDir dir;
            testsupport::write_file(dir / "in.sbc", s.bytes);
            const auto theirs =
                testsupport::decode_sbc(peer, dir / "in.sbc", dir.path, s.rate, s.channels, s.msbc);
            ASSERT_EQ(theirs.problem, "");
            const auto exact = dectest::exact_decode(s.bytes);
            const auto ours = dectest::decode_stream(s.bytes);
            const Deviation peer_dev = dectest::compare(theirs.pcm, exact);
            report(s.name, peer, peer_dev);
            ASSERT_EQ(theirs.pcm.size(), ours.size());
            if (s.overdriven) continue; // where the peers wrap, they are no measure
            EXPECT_LT(peer_dev.max_abs, 16.0) << "the peer is far off: is the model right?";
            std::vector<long double> ours_exact(ours.begin(), ours.end());
            const Deviation apart = dectest::compare(theirs.pcm, ours_exact);
            EXPECT_LE(apart.max_abs, std::ceil(peer_dev.max_abs + 0.5));
        }
    }
    if (checked == 0) GTEST_SKIP() << "neither ffmpeg nor sbcdec is installed";
}

} // namespace
