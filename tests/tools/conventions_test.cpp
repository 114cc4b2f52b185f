// What every program of the toolkit answers as users expect of a command: --help (the usage on
// standard output), --version, an unknown long option refused like an unknown letter, and -q,
// which leaves out vantrel's banner and nothing else.
#include "banner.h"
#include "process.h"
#include "tools.h"
#include "wave_fixture.h"

#include <gtest/gtest.h>
#include <string>

namespace {

using namespace testsupport;

TEST(Conventions, HelpVersionUnknownLongOptionsAndQuietInEveryProgram) {
    const struct {
        std::string path, name, banner;
    } programs[] = {{vantrel_binary(), "vantrel", banner},
                    {toolstest::decode_binary(), "vantrel-decode", ""},
                    {toolstest::info_binary(), "vantrel-info", ""}};
    for (const auto& p : programs) {
        SCOPED_TRACE(p.name);
        const auto h = run_process({p.path, "-h"});
        ASSERT_EQ(h.err.substr(0, p.banner.size()), p.banner);
        const std::string usage = h.err.substr(p.banner.size());
        ASSERT_EQ(usage.substr(0, 6), "Usage:");

        const auto help = run_process({p.path, "--help", "in.wav"});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.out, usage);
        EXPECT_EQ(help.err, p.banner);
        const auto version = run_process({p.path, "-q", "--version"});
        EXPECT_EQ(version.status, 0);
        EXPECT_EQ(version.out, p.name + " 1.5\n");
        EXPECT_EQ(version.err, "");

        const auto letter = run_process({p.path, "-x", "in.wav"});
        const auto word = run_process({p.path, "--frob", "in.wav"});
        EXPECT_EQ(word.status, letter.status);
        EXPECT_EQ(word.err, letter.err);
        EXPECT_EQ(word.out, "");
        const auto quiet = run_process({p.path, "-h", "-q"});
        EXPECT_EQ(quiet.status, 0);
        EXPECT_EQ(quiet.err, usage);
    }
}

TEST(Conventions, QuietEncodingDiffersOnlyByTheBanner) {
    TempDir dir;
    const auto pcm = to_pcm16(sine_frames(2, 44100, 128 * 10, 440, 0.5));
    write_file(dir / "in.wav", wave_file(2, 44100, 16, pcm16_le(pcm)));
    const std::string in = (dir / "in.wav").string();
    const auto loud = run_process({vantrel_binary(), "-v", in});
    const auto quiet = run_process({vantrel_binary(), in, "-qv"});
    ASSERT_EQ(loud.status, 0);
    EXPECT_EQ(quiet.status, 0);
    EXPECT_TRUE(quiet.out == loud.out);
    EXPECT_EQ(banner + quiet.err, loud.err);
    // A value that looks like -q is no -q (and no frequency either).
    const auto value = run_process({vantrel_binary(), "-F", "-q", in});
    EXPECT_EQ(value.err.substr(0, banner.size()), banner);
}

} // namespace
