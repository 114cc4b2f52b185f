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
