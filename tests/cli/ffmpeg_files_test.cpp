// Files that only FFmpeg's libraries decode for us (M4A with ALAC or AAC, WavPack, TTA, ALAC in
// CAF as ffmpeg writes it), made by ffmpeg from one generated source, through the built program:
// lossless ones encode to the very stream of the WAVE source, from a file and through a pipe;
// AAC to the stream of ffmpeg's own decode of it, within the codec's noise; a file cut short
// ends with its whole frames and says so; what cannot be read is refused once, coherently.
#include "banner.h"
#include "decoders.h"
#include "process.h"
#include "refusals.h"
#include "source_files.h"
#include "wave_fixture.h"

#include <cmath>
#include <gtest/gtest.h>

namespace ffmpeg_files {

using namespace testsupport;

// The WAVE sources that ffmpeg converts, and the size of a frame of vantrel's streams of them.
using Sources = SourceFiles;
constexpr int rate = SourceFiles::rate;
constexpr size_t frame_bytes = SourceFiles::frame_bytes;
const std::string ended_early = "The input data ended early: ";

#define SKIP_WITHOUT_FFMPEG()                                                                      \
    if (!have_ffmpeg_reader) GTEST_SKIP() << "built without the FFmpeg reader";                    \
    if (!have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed: test skipped"

struct Conversion {
    const char* name;   // the file made, named for what ffmpeg writes
    const char* source; // 16.wav or 24.wav
    const char* args;   // ffmpeg's output options
};

constexpr Conversion lossless[] = {
    {"alac.m4a", "16.wav", "-c:a alac"},
    {"alac24.m4a", "24.wav", "-c:a alac"},
    {"x.wv", "16.wav", "-c:a wavpack"},
    {"x24.wv", "24.wav", "-c:a wavpack"},
    {"x.tta", "16.wav", "-c:a tta"},
    {"alac.caf", "16.wav", "-c:a alac"}, // libsndfile knows CAF but not this ALAC
};

TEST(FfmpegFiles, LosslessFilesEncodeLikeTheirWaveSourceFromAFileAndThroughAPipe) {
    SKIP_WITHOUT_FFMPEG();
    const Sources src;
    for (const Conversion& c : lossless) {
        SCOPED_TRACE(c.name);
        const auto expected = run_process({vantrel_binary(), src(c.source)});
        ASSERT_EQ(expected.status, 0) << expected.err;
        ASSERT_EQ(expected.out.size(), 300 * frame_bytes);
        ASSERT_TRUE(src.make(c.source, c.args, c.name));
        const auto named = run_process({vantrel_binary(), src(c.name)});
        EXPECT_EQ(named.status, 0) << named.err;
        EXPECT_EQ(named.err, banner); // not a word from libsndfile or FFmpeg
        EXPECT_TRUE(named.out == expected.out);
        const auto piped =
            run_process({vantrel_binary(), "AUDIO_FROM_STDIN"}, read_file(src.dir / c.name));
        EXPECT_EQ(piped.status, 0) << piped.err;
        EXPECT_TRUE(piped.out == expected.out);
    }
}

// Two decoders of one AAC file (FFmpeg's through the library, and ffmpeg's own to a float WAVE)
// give nearly the same signal; a decode misaligned by a sample or misscaled gives far less.
TEST(FfmpegFiles, AacEncodesLikeFfmpegsDecodeOfIt) {
    SKIP_WITHOUT_FFMPEG();
    const Sources src;
    ASSERT_TRUE(src.make("16.wav", "-c:a aac -b:a 192k", "aac.m4a"));
    ASSERT_TRUE(src.make("aac.m4a", "-c:a pcm_f32le", "ffmpeg.wav"));
    const auto ours = run_process({vantrel_binary(), "-o", src("ours.sbc"), src("aac.m4a")});
    const auto theirs = run_process({vantrel_binary(), "-o", src("theirs.sbc"), src("ffmpeg.wav")});
    ASSERT_EQ(ours.status, 0) << ours.err;
    ASSERT_EQ(theirs.status, 0) << theirs.err;
    const Decoded a = decode_sbc("ffmpeg", src.dir / "ours.sbc", src.dir.path, rate, 2);
    const Decoded b = decode_sbc("ffmpeg", src.dir / "theirs.sbc", src.dir.path, rate, 2);
    ASSERT_TRUE(a.problem.empty() && b.problem.empty()) << a.problem << b.problem;
    EXPECT_NEAR(a.pcm.size(), b.pcm.size(), 2 * 128);
    const auto count = static_cast<int32_t>(std::min(a.pcm.size(), b.pcm.size()) / 2);
    EXPECT_GT(snr_db(b.pcm, a.pcm, 2, 0, 0, count), 80);
}

// Cut in the middle: the frames that are there, as whole SBC frames, and the note that the data
// ended early (the header declares the count), the same by name and through a pipe. Three
// seconds, so that whole blocks of the codec (about a second each) come before the cut.
TEST(FfmpegFiles, ACutFileEndsWithItsWholeFramesAndSaysSo) {
    SKIP_WITHOUT_FFMPEG();
    const Sources src;
    for (const char* codec : {"wavpack", "tta"}) {
        SCOPED_TRACE(codec);
        const std::string whole = src(std::string("whole.") + (codec[0] == 'w' ? "wv" : "tta"));
        const auto made =
            run_process({"sh", "-c",
                         std::string("ffmpeg -v error -f lavfi -i sine=d=3 -ac 2 -c:a ") + codec +
                             " " + shell_quote(whole)});
        ASSERT_EQ(made.status, 0) << made.err;
        const std::string bytes = read_file(whole);
        const std::string cut = bytes.substr(0, bytes.size() / 2);
        write_file(src.dir / "cut", cut);
        const auto named = run_process({vantrel_binary(), src("cut")});
        const auto piped = run_process({vantrel_binary(), "AUDIO_FROM_STDIN"}, cut);
        for (const auto& r : {named, piped}) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_NE(r.err.find(ended_early), std::string::npos) << r.err;
            EXPECT_EQ(r.out.size() % frame_bytes, 0u);
            EXPECT_GT(r.out.size(), 2 * rate / 128 / 5 * frame_bytes); // more than 0.2 s
            EXPECT_LT(r.out.size(), 3 * rate / 128 * frame_bytes);
        }
        EXPECT_TRUE(named.out == piped.out);
    }
}

// What FFmpeg recognises but cannot use is refused in one message that names the container, and
// an M4A file whose index follows more audio than a pipe may hold is refused through a pipe
// with the message that says to give it by name (by name it is read).
TEST(FfmpegFiles, WhatCannotBeReadIsRefusedOnceWithItsReason) {
    SKIP_WITHOUT_FFMPEG();
    const Sources src;
    ASSERT_EQ(run_process({"sh", "-c",
                           "ffmpeg -v error -y -f lavfi -i testsrc=d=1:s=64x48 -c:v mpeg4 " +
                               shell_quote(src("video.mp4"))})
                  .status,
              0);
    const auto video = run_process({vantrel_binary(), src("video.mp4")});
    EXPECT_EQ(video.status, 1);
    EXPECT_EQ(video.err, banner +
                             "\nInputfile error: the M4A file cannot be decoded (no audio in it) "
                             "!\n\nError opening inputfile\n");
    ASSERT_EQ(
        run_process({"sh", "-c",
                     "ffmpeg -v error -y -f lavfi -i anoisesrc=d=120:r=44100 -ac 2 -c:a alac " +
                         shell_quote(src("long.m4a"))})
            .status,
        0);
    const std::string bytes = read_file(src.dir / "long.m4a");
    ASSERT_GT(bytes.size(), size_t{17} << 20);
    ASSERT_GT(bytes.find("moov"), bytes.find("mdat")); // ffmpeg writes the index last
    const auto piped = run_process({"timeout", "60", vantrel_binary(), "AUDIO_FROM_STDIN"}, bytes);
    EXPECT_EQ(piped.status, 1);
    EXPECT_EQ(piped.out, "");
    EXPECT_EQ(piped.err, banner +
                             "\nM4A file through a pipe: reading it needs more of it at once than "
                             "the 16 MiB held of a pipe; give the file by name\n\n"
                             "Error opening inputfile\n");
    const auto named = run_process({vantrel_binary(), "-o", "/dev/null", src("long.m4a")});
    EXPECT_EQ(named.status, 0) << named.err;
}

} // namespace ffmpeg_files
