// Files that libsndfile decodes for us, made by ffmpeg (a tool nobody here wrote) from one
// generated source, through the built program: lossless ones encode to the very stream of the
// WAVE source, from a file and through a pipe; lossy ones to the stream of ffmpeg's own decode
// of them, within the codec's noise; damaged ones end cleanly with whole frames.
#include "banner.h"
#include "decoders.h"
#include "foreign_files.h"
#include "process.h"
#include "refusals.h"
#include "source_files.h"
#include "wave_fixture.h"

#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <tuple>

namespace {

using namespace testsupport;

// The WAVE sources that ffmpeg converts, and the size of a frame of vantrel's streams of them.
using Sources = SourceFiles;
constexpr int rate = SourceFiles::rate;
constexpr size_t frame_bytes = SourceFiles::frame_bytes;

ProcessResult sh(const std::string& command) {
    return run_process({"sh", "-c", command});
}
std::string ffmpeg(const std::string& in, const std::string& args, const std::string& out) {
    return "ffmpeg -v error -y -i " + shell_quote(in) + " " + args + " " + out;
}
std::string vantrel(const std::string& input) {
    return shell_command({vantrel_binary(), input});
}

struct Conversion {
    const char* name;
    const char* source; // 16.wav, 24.wav or float.wav
    const char* args;   // ffmpeg's output options
};

constexpr Conversion lossless[] = {
    {"w64", "16.wav", "-f w64"},
    {"caf", "16.wav", "-f caf"},
    {"flac", "16.wav", "-f flac"},
    {"flac 24-bit", "24.wav", "-c:a flac -sample_fmt s32 -f flac"},
    {"caf 24-bit", "24.wav", "-c:a pcm_s24be -f caf"},
    {"w64 float (extensible)", "float.wav", "-c:a pcm_f32le -f w64"},
};

TEST(ForeignFiles, LosslessFilesEncodeLikeTheirWaveSourceFromAFileAndThroughAPipe) {
    if (!have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed: test skipped";
    const Sources src;
    for (const Conversion& c : lossless) {
        SCOPED_TRACE(c.name);
        const auto expected = run_process({vantrel_binary(), src(c.source)});
        ASSERT_EQ(expected.status, 0) << expected.err;
        ASSERT_EQ(expected.out.size(), 300 * frame_bytes);
        ASSERT_EQ(sh(ffmpeg(src(c.source), c.args, shell_quote(src("x")))).status, 0);
        const auto file = run_process({vantrel_binary(), src("x")});
        EXPECT_EQ(file.status, 0) << file.err;
        EXPECT_TRUE(file.out == expected.out);
        // On a pipe ffmpeg writes no sizes (FLAC), or sizes of "to the end" (CAF).
        const auto piped =
            sh(ffmpeg(src(c.source), c.args, "-") + " | " + vantrel("AUDIO_FROM_STDIN"));
        EXPECT_EQ(piped.status, 0) << piped.err;
        EXPECT_TRUE(piped.out == expected.out);
    }
}

// Two decoders of one lossy file (libsndfile's and ffmpeg's) agree to rounding, so the two SBC
// streams decode to nearly the same signal. Measured: 91 dB (MP3), 97 dB (Vorbis), 93 dB (Opus);
// a decode misaligned by one sample or misscaled gives far less.
TEST(ForeignFiles, LossyFilesEncodeLikeFfmpegsDecodeOfThem) {
    if (!have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed: test skipped";
    constexpr double least_snr_db = 80;
    const Sources src;
    const std::pair<const char*, int> cases[] = {
        {"-c:a libmp3lame -b:a 192k -f mp3", rate},
        {"-c:a libvorbis -f ogg", rate},
        {"-c:a libopus -b:a 160k -f ogg", 48000},
    };
    for (const auto& [args, decoded_rate] : cases) {
        SCOPED_TRACE(args);
        ASSERT_EQ(sh(ffmpeg(src("16.wav"), args, shell_quote(src("x")))).status, 0);
        ASSERT_EQ(sh(ffmpeg(src("x"), "-f f32le", shell_quote(src("raw")))).status, 0);
        write_file(src.dir / "ffmpeg.wav",
                   wave_file(2, decoded_rate, 32, read_file(src.dir / "raw"), 3));
        const auto ours = run_process({vantrel_binary(), "-o", src("ours.sbc"), src("x")});
        const auto theirs =
            run_process({vantrel_binary(), "-o", src("theirs.sbc"), src("ffmpeg.wav")});
        ASSERT_EQ(ours.status, 0) << ours.err;
        ASSERT_EQ(theirs.status, 0) << theirs.err;
        const Decoded a = decode_sbc("ffmpeg", src.dir / "ours.sbc", src.dir.path, decoded_rate, 2);
        const Decoded b =
            decode_sbc("ffmpeg", src.dir / "theirs.sbc", src.dir.path, decoded_rate, 2);
        ASSERT_TRUE(a.problem.empty() && b.problem.empty()) << a.problem << b.problem;
        // Vorbis: libsndfile gives the source's 300 frames, ffmpeg's decode one fewer.
        EXPECT_NEAR(a.pcm.size(), b.pcm.size(), 2 * 128);
        const auto count = static_cast<int32_t>(std::min(a.pcm.size(), b.pcm.size()) / 2);
        EXPECT_GT(snr_db(b.pcm, a.pcm, 2, 0, 0, count), least_snr_db);
    }
}

// Cut short, with bytes flipped, or only a magic word: from a file and through a pipe, every
// run ends by itself with a message or the stream of whole frames it could decode, never more
// than the intact file gives. A FLAC file cut short is never passed off as whole: its header
// gives the count, from a file and through a pipe alike (MP3 has none to go by).
TEST(ForeignFiles, DamagedFilesEndCleanlyWithWholeFrames) {
    if (!have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed: test skipped";
    const Sources src;
    for (const std::string args : {"-f flac", "-c:a libmp3lame -f mp3"}) {
        ASSERT_EQ(sh(ffmpeg(src("16.wav"), args, shell_quote(src("intact")))).status, 0);
        const std::string intact = read_file(src.dir / "intact");
        std::string flipped = intact;
        for (size_t at = 100; at < flipped.size(); at += 997) flipped[at] ^= 0x5A;
        const bool counted = args == "-f flac";
        const std::tuple<const char*, std::string, bool> damaged[] = {
            {"cut in the middle", intact.substr(0, intact.size() / 2), counted},
            {"cut in the header", intact.substr(0, 60), false},
            {"flipped bytes", flipped, false},
            {"magic word and garbage", intact.substr(0, 4) + std::string(3000, '\x33'), false},
        };
        for (const auto& [what, bytes, said] : damaged) {
            SCOPED_TRACE(args + ": " + what);
            write_file(src.dir / "damaged", bytes);
            for (const auto& r :
                 {run_process({"timeout", "20", vantrel_binary(), src("damaged")}),
                  run_process({"timeout", "20", vantrel_binary(), "AUDIO_FROM_STDIN"}, bytes)}) {
                ASSERT_TRUE(r.status == 0 || r.status == 1) << r.status << r.err;
                if (r.status == 1 || said) {
                    EXPECT_GT(r.err.size(), banner.size() + 2) << "not a word of the damage";
                }
                EXPECT_EQ(r.out.size() % frame_bytes, 0u);
                EXPECT_LE(r.out.size(), 300 * frame_bytes);
                EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << r.err;
            }
        }
    }
}

// A CAF file (libsndfile's) with a chunk put before its audio data: `header` is the chunk.
std::string caf_with_chunk(const std::string& caf, const std::string& header, size_t body) {
    const size_t data = caf.find("data", 8);
    return caf.substr(0, data) + header + std::string(body, '\0') + caf.substr(data);
}

// Files through a pipe give what the same files give by name, at once and within bounded memory,
// or are refused with a message that names the container and says to give the file by name:
//   - ALAC in CAF larger than a pipe's old 512 KiB look-ahead, whose last packet libsndfile reads
//     before the first, lost that packet's frames without a word;
//   - a CAF chunk whose size reaches far past the end of the input made the run hang with its
//     memory growing without bound;
//   - chunks before the audio that are longer than a pipe may hold cannot come through one.
TEST(ForeignFiles, APipeGivesWhatTheFileGivesOrSaysToGiveItByName) {
    std::vector<int16_t> noise(2 * 44100 * 8);
    uint32_t state = 12345;
    for (auto& v : noise) v = static_cast<int16_t>((state = state * 1103515245 + 12345) >> 18);
    const std::string caf = foreign_files(4096)[5].bytes;
    ASSERT_EQ(caf.substr(0, 4), "caff");
    const std::string info_352_mb = std::string("info\0\0\0\0\x14\xFB\x18\0", 12);
    const std::string free_20_mib = std::string("free\0\0\0\0\x01\x40\0\0", 12);
    const struct {
        const char* what;
        std::string bytes;
        bool refused_through_a_pipe;
    } cases[] = {
        {"ALAC, 8 s of noise", alac_in_caf(noise), false},
        {"an info chunk of 352 MB in a small file", caf_with_chunk(caf, info_352_mb, 26), true},
        {"20 MiB of padding before the audio", caf_with_chunk(caf, free_20_mib, 20 << 20), true},
    };
    TempDir dir;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_GT(c.bytes.size(), 600000u * !c.refused_through_a_pipe);
        write_file(dir / "x.caf", c.bytes);
        const auto named =
            run_process({"timeout", "20", vantrel_binary(), (dir / "x.caf").string()});
        const auto piped =
            run_process({"timeout", "20", vantrel_binary(), "AUDIO_FROM_STDIN"}, c.bytes);
        if (!c.refused_through_a_pipe) {
            EXPECT_EQ(named.status, 0) << named.err;
            EXPECT_EQ(piped.status, 0) << piped.err;
            EXPECT_EQ(piped.err, banner);
            EXPECT_EQ(named.out.size(), noise.size() / 2 / 128 * frame_bytes);
            EXPECT_TRUE(piped.out == named.out) << piped.out.size() << " " << named.out.size();
            continue;
        }
        EXPECT_EQ(piped.status, 1);
        EXPECT_EQ(piped.out, "");
        EXPECT_EQ(piped.err, banner +
                                 "\nCAF file through a pipe: reading it needs more of it at once "
                                 "than the 16 MiB held of a pipe; give the file by name\n\n"
                                 "Error opening inputfile\n");
    }
}

// A CAF chunk before the audio that claims more bytes than any file holds: libsndfile refused it
// by name as malformed, but took it through a pipe (whose length it is not told) as a file
// without audio. Now it is refused the same way both ways (found by foreign_pipe_fuzz).
TEST(ForeignFiles, AChunkLargerThanAnyFileIsRefusedByNameAndThroughAPipeAlike) {
    std::string caf = foreign_files(4096)[5].bytes;
    ASSERT_EQ(caf.substr(8, 4), "desc");
    caf.replace(12, 8, std::string("\x7D\xFF\xFF\xFF\0\0\0\x20", 8));
    TempDir dir;
    write_file(dir / "x.caf", caf);
    const auto named = run_process({vantrel_binary(), (dir / "x.caf").string()});
    const auto piped = run_process({vantrel_binary(), "AUDIO_FROM_STDIN"}, caf);
    const std::string refusal = banner +
                                "\nInputfile error: the CAF file cannot be decoded (a chunk "
                                "before the audio is larger than any file) !\n\nError opening "
                                "inputfile\n";
    for (const auto& r : {named, piped}) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, refusal);
    }
}

// The hint to convert it with ffmpeg comes only from a build without the FFmpeg reader.
TEST(ForeignFiles, AFileNobodyReadsIsRefusedWithAConversionHintWhereFfmpegHasNotTried) {
    const auto r = run_process({vantrel_binary(), "AUDIO_FROM_STDIN"}, std::string(2000, 'x'));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, banner + not_recognized + "\nError opening inputfile\n");
}

// A minute of FLAC through a pipe: libsndfile's buffers, the window and the sample buffer stay
// far below 16 MiB.
TEST(ForeignFiles, PeakMemoryOnAPipeIsBounded) {
    if (!have_program("ffmpeg")) GTEST_SKIP() << "ffmpeg is not installed: test skipped";
    if (under_sanitizer) GTEST_SKIP() << "peak memory is the sanitizer's";
    const auto r =
        sh("ffmpeg -v error -f lavfi -i anoisesrc=d=60:r=44100 -ac 2 -f flac - | " +
           shell_command({PEAK_RSS, vantrel_binary(), "AUDIO_FROM_STDIN"}) + " > /dev/null");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GT(peak_rss_kib(r), 0);
    EXPECT_LT(peak_rss_kib(r), 16 * 1024);
}

} // namespace
