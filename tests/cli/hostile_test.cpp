// Hostile input: a small valid file of every container and sample width, cut at every point of
// its header, with seeded byte flips and with lengths overwritten by extreme values, each given
// to the program's encoding run. Every run ends by itself with status 0 or 1, says why when it
// fails, trips no sanitizer, and never makes more frames than the bytes it was given could hold.
//
// The thousands of damaged files run inside the test's process (the run `vantrel -j file` makes
// after its options), not as a program each: a sanitizer build spends most of a process's life
// starting it and checking it for leaks at the end. Leaks are still checked, once for all of a
// container's runs, when the test's process ends.
#include "fuzz/frame_check.h"
#include "in_process_run.h"
#include "process.h"
#include "sample_files.h"

#include "audiofile/audiofile.h"

#include <gtest/gtest.h>
#include <random>
#include <set>

namespace {

using namespace testsupport;

struct Corruption {
    std::string label;
    std::string bytes;
};

size_t header_length(const SampleFile& f) {
    const size_t data = static_cast<size_t>(f.frames) * static_cast<size_t>(f.channels) *
                        static_cast<size_t>(audiofile::sample_bits(f.sample_type) / 8);
    return f.bytes.size() - data;
}

std::string with_word(std::string bytes, size_t at, uint32_t v, bool big_endian) {
    for (size_t i = 0; i < 4; ++i) {
        const size_t shift = 8 * (big_endian ? 3 - i : i);
        bytes[at + i] = static_cast<char>((v >> shift) & 0xFF);
    }
    return bytes;
}

std::vector<Corruption> corruptions(const SampleFile& f) {
    const size_t header = header_length(f);
    std::vector<Corruption> out;
    for (size_t n = 0; n <= header + 2 && n < f.bytes.size(); ++n)
        out.push_back({"cut at " + std::to_string(n), f.bytes.substr(0, n)});
    std::mt19937 random(static_cast<uint32_t>(std::hash<std::string>{}(f.name)));
    for (int i = 0; i < 12; ++i) {
        const size_t at = random() % header;
        std::string bytes = f.bytes;
        bytes[at] = static_cast<char>(bytes[at] ^ (1 + random() % 255));
        out.push_back({"flip at " + std::to_string(at), bytes});
    }
    for (size_t at = 0; at + 4 <= std::min<size_t>(header, 64); at += 4)
        for (uint32_t v : {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu})
            for (bool big : {false, true})
                out.push_back({"word " + std::to_string(v) + (big ? " BE" : " LE") + " at " +
                                   std::to_string(at),
                               with_word(f.bytes, at, v, big)});
    // The same bytes twice are the same run (0 and 0xFFFFFFFF read alike in both byte orders, a
    // word overwritten with the value it holds is the file itself): each is run once.
    std::set<std::string> seen;
    std::erase_if(out, [&](const Corruption& c) { return !seen.insert(c.bytes).second; });
    return out;
}

class CorruptionSweep : public testing::TestWithParam<SampleFile> {
  protected:
    static void SetUpTestSuite() { watch_runs(); }
};

TEST_P(CorruptionSweep, EveryDamagedFileEndsCleanlyAndInventsNoFrames) {
    const SampleFile& f = GetParam();
    TempDir dir;
    const std::string path = (dir / f.name).string();
    for (const Corruption& c : corruptions(f)) {
        write_file(path, c.bytes);
        const auto r = run_in_process(path, f.name + ", " + c.label);
        SCOPED_TRACE(f.name + ", " + c.label + "\n" + r.err);
        ASSERT_TRUE(r.status == 0 || r.status == 1) << "status " << r.status;
        if (r.status == 1) {
            ASSERT_FALSE(r.err.empty()) << "a failure without a word";
        }
        const auto stream = std::span(reinterpret_cast<const uint8_t*>(r.out.data()), r.out.size());
        ASSERT_TRUE(fuzzcheck::whole_frames(stream));
        if (stream.empty()) continue;
        const auto shape = fuzzcheck::shape_of(stream);
        const size_t frames = stream.size() / fuzzcheck::frame_length(shape);
        const size_t bytes_needed =
            frames * static_cast<size_t>(shape.blocks * shape.subbands * shape.channels);
        ASSERT_LE(bytes_needed, c.bytes.size()) << "frames from bytes that are not there";
    }
}

INSTANTIATE_TEST_SUITE_P(EveryContainerAndWidth, CorruptionSweep,
                         testing::ValuesIn(sample_files(300)),
                         [](const testing::TestParamInfo<SampleFile>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

// Headers made of many thousands of chunks or lines are walked in one pass: each opens well
// within the bound that every run of the sweep has.
TEST(ResourceBounds, LongHeadersAreWalkedInOnePass) {
    const auto files = sample_files(300);
    const auto of = [&](int32_t type) {
        for (const auto& f : files)
            if (f.sample_type == type) return f.bytes;
        return std::string();
    };
    const std::string wav = of(audiofile::ST_WAVE_PCM16);
    const std::string aiff = of(audiofile::ST_AIFF_PCM16);
    const std::string spw = of(audiofile::ST_SPW_FIXED16);
    std::string fact_chunks, name_chunks, spw_lines;
    for (int i = 0; i < 100000; ++i) {
        fact_chunks += std::string("fact") + std::string("\2\0\0\0ab", 6);
        name_chunks += std::string("NAME") + std::string("\0\0\0\2ab", 6);
        spw_lines += "Starting Time = 0\n";
    }
    const size_t spw_data = spw.find("$DATA");
    const std::pair<std::string, std::string> cases[] = {
        {"wave", wav.substr(0, 36) + fact_chunks + wav.substr(36)},
        {"aiff", aiff.substr(0, 12) + name_chunks + aiff.substr(12)},
        {"spw", spw.substr(0, spw_data) + spw_lines + spw.substr(spw_data)},
    };
    TempDir dir;
    for (const auto& [name, bytes] : cases) {
        write_file(dir / name, bytes);
        const auto r = run_process({"timeout", "20", vantrel_binary(), (dir / name).string()});
        EXPECT_EQ(r.status, 0) << name << r.err;
    }
}

// Peak memory does not grow with the input: a long stream through a pipe needs no more than a
// short one.
TEST(ResourceBounds, PeakMemoryIsFlatWhateverTheLength) {
    const auto wav = [](int seconds) {
        std::string data(static_cast<size_t>(seconds) * 44100 * 4, '\0');
        for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>((i * 7919) >> 3);
        return std::string("RIFF\xff\xff\xff\xff", 8) + "WAVEfmt " +
               std::string("\x10\0\0\0\1\0\2\0\x44\xac\0\0\x10\xb1\2\0\4\0\x10\0", 20) + "data" +
               std::string("\xff\xff\xff\xff", 4) + data;
    };
    const auto short_run = run_process({PEAK_RSS, vantrel_binary(), "AUDIO_FROM_STDIN"}, wav(1));
    const auto long_run = run_process({PEAK_RSS, vantrel_binary(), "AUDIO_FROM_STDIN"}, wav(120));
    ASSERT_EQ(short_run.status, 0) << short_run.err;
    ASSERT_EQ(long_run.status, 0) << long_run.err;
    EXPECT_GT(long_run.out.size(), 100 * short_run.out.size());
    EXPECT_GT(peak_rss_kib(short_run), 0);
    EXPECT_LT(peak_rss_kib(long_run), peak_rss_kib(short_run) + 512);
}

} // namespace
