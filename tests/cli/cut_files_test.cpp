// Files that libsndfile decodes for us, written by libsndfile, cut short at every byte of their
// header and at points through their audio, each given to the encoding run by name and through
// a pipe. One rule holds for all of them:
//   - the same bytes give the same frames, the same messages and the same status both ways;
//   - a run ends by itself with status 0 or 1, and says why when it fails;
//   - a cut file gives the whole frames of the audio that is there (the start of the whole
//     file's stream) with status 0, and, where the header declares how much audio follows
//     (FLAC, W64, CAF), says that its data ended early exactly when frames are missing.
// With VANTREL_CUT_FILES_DIR set, every cut file is also kept there (for bench/pipe_bounds.sh).
#include "foreign_files.h"
#include "fuzz/frame_check.h"
#include "in_process_run.h"
#include "process.h"

#include <cstdlib>
#include <filesystem>
#include <gtest/gtest.h>

namespace {

using namespace testsupport;

class CutFiles : public testing::TestWithParam<ForeignFile> {
  protected:
    static void SetUpTestSuite() { watch_runs(); }
};

// Every byte of the header where it has its structure (its first 256 bytes, and the last 24
// before the audio: a data chunk's header), every 32nd byte of the bulk between (Vorbis's
// codebooks, CAF's padding), then ten points through the audio down to its last byte.
std::vector<size_t> cut_points(const ForeignFile& f) {
    constexpr size_t structure = 256, chunk_header = 24, stride = 32;
    std::vector<size_t> at;
    for (size_t n = 0; n <= f.audio_at && n < f.bytes.size(); ++n)
        if (n < structure || n + chunk_header >= f.audio_at || n % stride == 0) at.push_back(n);
    const size_t audio = f.bytes.size() - std::min(f.audio_at, f.bytes.size());
    for (size_t i = 1; i < 10; ++i) at.push_back(f.audio_at + audio * i / 10);
    at.push_back(f.bytes.size() - 1);
    return at;
}

// libsndfile's MP3 decoder writes its own warnings on standard error, more of them for a file
// whose size it knows; they are not the run's messages.
std::string without_mpg123(const std::string& text) {
    std::string kept;
    for (size_t at = 0; at < text.size();) {
        const size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
        const std::string line = text.substr(at, end - at);
        if (line.rfind("[src/libmpg123/", 0) != 0 && line.rfind("Warning: Xing", 0) != 0)
            kept += line;
        at = end;
    }
    return kept;
}

TEST_P(CutFiles, ByNameAndThroughAPipeGiveTheWholeFramesThereAndSaySo) {
    const ForeignFile& f = GetParam();
    TempDir dir;
    const std::string path = (dir / f.name).string();
    write_file(path, f.bytes);
    const EncodingRun whole = run_in_process(path, f.name);
    ASSERT_EQ(whole.status, 0) << whole.err;
    ASSERT_EQ(whole.err, "");
    const auto stream =
        std::span(reinterpret_cast<const uint8_t*>(whole.out.data()), whole.out.size());
    const size_t frame = fuzzcheck::frame_length(fuzzcheck::shape_of(stream));
    for (const size_t n : cut_points(f)) {
        const std::string label = f.name + " cut at " + std::to_string(n);
        write_file(path, f.bytes.substr(0, n));
        if (const char* keep = std::getenv("VANTREL_CUT_FILES_DIR")) // bench/pipe_bounds.sh
            write_file(std::filesystem::path(keep) / (f.name + "." + std::to_string(n)),
                       f.bytes.substr(0, n));
        const EncodingRun named = run_in_process(path, label);
        const EncodingRun piped = run_piped_in_process(f.bytes.substr(0, n), label + ", piped");
        SCOPED_TRACE(label + "\nby name:\n" + named.err + "\nthrough a pipe:\n" + piped.err);
        ASSERT_EQ(named.status, piped.status);
        ASSERT_TRUE(named.out == piped.out) << named.out.size() << " " << piped.out.size();
        ASSERT_EQ(without_mpg123(named.err), without_mpg123(piped.err));
        ASSERT_TRUE(named.status == 0 || named.status == 1);
        if (named.status == 1) {
            ASSERT_NE(named.err, "");
            continue;
        }
        // A lossy decoder's last frames depend on how the data ends.
        ASSERT_LE(named.out.size(), whole.out.size());
        const size_t same = f.lossless ? named.out.size()
                                       : named.out.size() - std::min(named.out.size(), 2 * frame);
        ASSERT_TRUE(named.out.compare(0, same, whole.out, 0, same) == 0);
        const bool said = named.err.find("ended early") != std::string::npos;
        if (f.declares_length && n >= f.audio_at) {
            ASSERT_EQ(said, named.out.size() < whole.out.size());
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EachContainer, CutFiles, testing::ValuesIn(foreign_files(4096)),
                         [](const testing::TestParamInfo<ForeignFile>& info) {
                             std::string name = info.param.name;
                             for (char& ch : name)
                                 if (!std::isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return name;
                         });

} // namespace
