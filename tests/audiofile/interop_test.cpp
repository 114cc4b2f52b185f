// WAVE files written by sox, a tool nobody here wrote, read back as the samples it was given.
#include "fixtures.h"

#include <cstring>

using namespace audiofile;

namespace {

struct SoxCase {
    const char* encoding; // sox's -e
    int bits;
    std::string raw;              // the samples handed to sox (little-endian, interleaved)
    std::vector<double> expected; // what must come back (sox keeps 32 bits of precision)
};

std::string raw_double(double d) {
    std::string out(8, '\0');
    std::memcpy(out.data(), &d, 8);
    return out;
}

} // namespace

TEST(SoxInterop, SoxWaveFilesOfEverySampleTypeReadBack) {
    if (!testsupport::have_program("sox")) GTEST_SKIP() << "sox is not installed: test skipped";
    const std::vector<SoxCase> cases = {
        {"unsigned-integer", 8, std::string("\x00\x80\xff\x01", 4), {-128, 0, 127, -127}},
        {"signed-integer",
         16,
         testsupport::pcm16_le({-32768, 32767, 0, -2}),
         {-32768, 32767, 0, -2}},
        {"signed-integer",
         24,
         testsupport::pcm24_le({-8388608, 8388607, 1, -1}),
         {-8388608, 8388607, 1, -1}},
        {"signed-integer",
         32,
         testsupport::pcm32_le({INT32_MIN, INT32_MAX, 5, -5}),
         {INT32_MIN, INT32_MAX, 5, -5}},
        {"floating-point",
         32,
         testsupport::float32_le({0.5f, -1.0f, 0.25f, -0.125f}),
         {0.5, -1.0, 0.25, -0.125}},
        {"floating-point",
         64,
         raw_double(0.5) + raw_double(-0.75) + raw_double(0.0625) + raw_double(-1.0),
         {0.5, -0.75, 0.0625, -1.0}},
    };
    testsupport::TempDir dir;
    for (const SoxCase& c : cases) {
        SCOPED_TRACE(std::string(c.encoding) + " " + std::to_string(c.bits));
        testsupport::write_file(dir / "in.raw", c.raw);
        const std::string out = (dir / "out.wav").string();
        const std::string bits = std::to_string(c.bits);
        // wavpcm: sox's plain (non-extensible) WAVE header, which this library reads.
        const auto r = testsupport::run_process({"sox", "-t", "raw", "-r", "8000", "-c", "2", "-e",
                                                 c.encoding, "-b", bits, "-L",
                                                 (dir / "in.raw").string(), "-t", "wavpcm", out});
        ASSERT_EQ(r.status, 0) << r.err;
        aftest::Opened o;
        aftest::open_captured(o, out);
        ASSERT_NE(o.file, nullptr) << o.err;
        EXPECT_EQ(o.info.num_samples, 2);
        std::vector<double> got;
        for (const auto& frame : aftest::read_frames(*o.file, 2))
            got.insert(got.end(), frame.begin(), frame.end());
        EXPECT_EQ(got, c.expected);
    }
}

// The 256 codes of each G.711 law in the files ffmpeg and sox write, read back as the values
// that both of them expand the codes to.
TEST(G711Interop, FilesFfmpegAndSoxWriteReadAsTheyExpandThem) {
    for (const char* tool : {"ffmpeg", "sox"})
        if (!testsupport::have_program(tool)) GTEST_SKIP() << tool << " is not installed: skipped";
    testsupport::TempDir dir;
    std::string codes(256, '\0');
    for (int c = 0; c < 256; ++c) codes[static_cast<size_t>(c)] = static_cast<char>(c);
    const std::string raw = (dir / "codes.raw").string();
    testsupport::write_file(raw, codes);
    const auto run = [](const std::vector<std::string>& argv) {
        const auto r = testsupport::run_process(argv);
        EXPECT_EQ(r.status, 0) << argv[0] << ": " << r.err;
        return r.out;
    };
    for (const std::string law : {"mulaw", "alaw"}) {
        SCOPED_TRACE(law);
        const std::string sox_law = law == "mulaw" ? "mu-law" : "a-law";
        const std::vector<std::string> sox_raw = {"sox", "-t", "raw",   "-r", "8000", "-c",
                                                  "1",   "-e", sox_law, "-b", "8",    raw};
        const auto ffmpeg_pcm = run({"ffmpeg", "-v", "error", "-f", law, "-ar", "8000", "-ac", "1",
                                     "-i", raw, "-f", "s16le", "-"});
        auto sox_to_pcm = sox_raw;
        sox_to_pcm.insert(sox_to_pcm.end(), {"-t", "raw", "-e", "signed", "-b", "16", "-L", "-"});
        ASSERT_EQ(ffmpeg_pcm.size(), 512u);
        EXPECT_EQ(run(sox_to_pcm), ffmpeg_pcm);
        std::vector<double> expected;
        for (size_t i = 0; i < 256; ++i) {
            int16_t v = 0;
            std::memcpy(&v, ffmpeg_pcm.data() + 2 * i, 2);
            expected.push_back(v);
        }
        const std::string wav = (dir / "ffmpeg.wav").string(),
                          aifc = (dir / "ffmpeg.aifc").string();
        const std::string au = (dir / "sox.au").string();
        const std::vector<std::string> from_codes = {"ffmpeg", "-v",   "error", "-y", "-f", law,
                                                     "-ar",    "8000", "-ac",   "1",  "-i", raw};
        for (const auto& tail :
             {std::vector<std::string>{"-c:a", "copy", wav},
              std::vector<std::string>{"-c:a", "pcm_" + law, "-f", "aiff", aifc}}) {
            auto argv = from_codes;
            argv.insert(argv.end(), tail.begin(), tail.end());
            run(argv);
        }
        auto sox_au = sox_raw;
        sox_au.insert(sox_au.end(), {"-t", "au", au});
        run(sox_au);
        for (const std::string& path : {wav, aifc, au}) {
            aftest::Opened o;
            aftest::open_captured(o, path);
            ASSERT_NE(o.file, nullptr) << path << ": " << o.err;
            std::vector<double> got;
            for (const auto& frame : aftest::read_frames(*o.file, 1)) got.push_back(frame[0]);
            EXPECT_EQ(got, expected) << path;
        }
    }
}
